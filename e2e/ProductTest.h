#pragma once

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

// Whether the service's audit-event store holds a record for `dest`.
inline bool stores(const std::string& stateDir, const std::string& dest) {
  return std::ranges::any_of(storedAuditEvents(stateDir), [&](const std::string& record) {
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
    const std::string log = rig && HasFailure() ? rig->service().log() : "";
    if (!log.empty())
      std::cerr << "--- zorvad's log, its end:\n"
                << log.substr(log.size() - std::min<size_t>(log.size(), 6000));
    rig.reset();
  }
  virtual RigOptions rigOptions() { return {}; }

  // A file whose size and content no other file of the test shares, so that a content match can
  // only find the intended source.
  std::string makeFile(const std::string& path) {
    std::string content = path + "\n";
    ++_files;
    content.resize(1000 + 37 * static_cast<size_t>(_files), static_cast<char>('a' + _files % 26));
    writeFile(path, content);
    return path;
  }

  void run(const std::vector<std::string>& argv) {
    const CommandResult result = runCommand(argv);
    ASSERT_EQ(result.status, 0) << ::testing::PrintToString(argv) << ": " << result.out
                                << result.err;
  }

  // The distinct audit events accepted for `dest`: a record resent after a lost answer counts once.
  std::vector<AuditEvent> eventsTo(const std::string& dest) {
    std::vector<AuditEvent> distinct;
    for (const AuditEvent& event : rig->backend().deliveredTo(dest)) {
      if (std::ranges::count(distinct, event.id, &AuditEvent::id) == 0) distinct.push_back(event);
    }
    return distinct;
  }

  std::unique_ptr<ProductRig> rig;

 private:
  int _files = 0;
};

}  // namespace zorva::e2e
