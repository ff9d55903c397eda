#pragma once

// What the end-to-end tests share: a rig per test, files with contents no other file has, and
// what the service kept and delivered.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>

#include "e2e/ProductRig.h"

namespace zorva::e2e {

// Real processes on a machine shared with builds and sanitizers: deadlines are generous, and
// only ever reached when something is broken.
constexpr auto kDeadline = std::chrono::milliseconds(60s);

// Parameterised tests show the mode by name.
inline void PrintTo(const BackendMode& mode, std::ostream* out) { *out << mode.describe(); }

// Whether the service's audit-event store holds a record for `dest`.
inline bool stores(const std::string& stateDir, const std::string& dest) {
  const auto records = storedAuditEvents(stateDir);
  return std::any_of(records.begin(), records.end(), [&](const std::string& record) {
    return record.find("\"dest\":\"" + dest + "\"") != std::string::npos;
  });
}

class ProductTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    rig = std::make_unique<ProductRig>(ZORVA_E2E_ZORVAD, ZORVA_E2E_DEVBACKEND, rigOptions());
    rig->start();
  }

  void TearDown() override {
    if (rig && HasFailure()) {
      const std::string log = rig->service().log();
      std::cerr << "--- zorvad run " << rig->service().runs() << " log (last 6000 bytes):\n"
                << log.substr(log.size() > 6000 ? log.size() - 6000 : 0) << "---\n";
    }
    rig.reset();
  }

  virtual RigOptions rigOptions() { return {}; }

  // A file whose size and content no other file of the test shares, so that a content match can
  // only find the intended source.
  std::string makeFile(const std::string& path) {
    const size_t size = 1000 + 37 * static_cast<size_t>(++_files);
    std::string content = path + "\n";
    content.resize(size, static_cast<char>('a' + _files % 26));
    writeFile(path, content);
    return path;
  }

  // Runs a command that must succeed.
  void run(const std::vector<std::string>& argv) {
    const CommandResult result = runCommand(argv);
    ASSERT_EQ(result.status, 0) << ::testing::PrintToString(argv) << ": " << result.out
                                << result.err;
  }

  // The distinct audit events accepted for `dest` (a record resent after a lost answer counts
  // once).
  std::vector<AuditEvent> eventsTo(const std::string& dest) {
    std::vector<AuditEvent> distinct;
    for (const AuditEvent& event : rig->backend().deliveredTo(dest)) {
      if (std::none_of(distinct.begin(), distinct.end(),
                       [&](const AuditEvent& seen) { return seen.id == event.id; })) {
        distinct.push_back(event);
      }
    }
    return distinct;
  }

  std::unique_ptr<ProductRig> rig;

 private:
  int _files = 0;
};

}  // namespace zorva::e2e
