#pragma once

// What the end-to-end tests share: a rig per test, files with contents no other file has, and
// the service's detection lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>

#include "e2e/ProductRig.h"

namespace zorva::e2e {

// Real processes on a machine shared with builds and sanitizers: deadlines are generous, and
// only ever reached when something is broken.
constexpr auto kDeadline = std::chrono::milliseconds(60s);

// Parameterised tests show the behaviour by name.
inline void PrintTo(const BackendBehaviour& behaviour, std::ostream* out) {
  *out << behaviour.describe();
}

inline std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Whether a service log holds the transfer finding for `dest`: a content match logs
// "REMOTE: test: found: SOURCE => DEST", a rename "REMOTE: track: RENAME: SOURCE, dest
// lower-cased, EXEC". Both come after the event was handed to the audit-event queue.
inline bool logShowsTransferTo(const std::string& log, const std::string& dest) {
  const bool found = log.find("REMOTE: test: found: ") != std::string::npos &&
                     log.find(" => " + dest + "\n") != std::string::npos;
  const bool renamed = log.find("REMOTE: track: ") != std::string::npos &&
                       log.find(", " + lowerAscii(dest) + ", ") != std::string::npos;
  return found || renamed;
}

class ProductTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    rig = std::make_unique<ProductRig>(ZORVA_E2E_ZORVAD, rigOptions());
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
    const size_t size = 1000 + 37 * static_cast<size_t>(++files_);
    std::string content = path + "\n";
    content.resize(size, static_cast<char>('a' + files_ % 26));
    writeFile(path, content);
    return path;
  }

  // Runs a command that must succeed.
  void run(const std::vector<std::string>& argv) {
    const CommandResult result = runCommand(argv);
    std::string line;
    for (const auto& arg : argv) line += arg + " ";
    ASSERT_EQ(result.status, 0) << line << ": " << result.output;
  }

  bool waitDetected(const std::string& dest, std::chrono::milliseconds timeout = kDeadline) {
    return waitFor([&] { return logShowsTransferTo(rig->service().log(), dest); }, timeout, 20ms);
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
  int files_ = 0;
};

}  // namespace zorva::e2e
