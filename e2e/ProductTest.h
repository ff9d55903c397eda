#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>

#include "e2e/ProductRig.h"

namespace zorva::e2e {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// Real processes on a machine shared with builds and sanitizers: deadlines are generous, and
// only ever reached when something is broken.
constexpr auto kDeadline = std::chrono::milliseconds(60s);

class ProductTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    rig = std::make_unique<ProductRig>(ZORVA_E2E_ZORVAD, ZORVA_E2E_DEVBACKEND, rigOptions());
    rig->start();
  }
  void TearDown() override {
    const std::string log = rig && HasFailure() ? rig->log() : "";
    std::cerr << log.substr(log.size() - std::min<size_t>(log.size(), 6000));  // zorvad's, its end
    rig.reset();
  }
  virtual RigOptions rigOptions() { return {}; }

  // A file whose size and content no other file of the test shares, so that a content match can
  // only find the intended source.
  std::string makeFile(const std::string& path) {
    ++_files;
    std::string content = path + "\n";
    content.resize(1000 + 37 * static_cast<size_t>(_files), static_cast<char>('a' + _files % 26));
    writeFile(path, content);
    return path;
  }

  void run(const std::vector<std::string>& argv) {
    const CommandResult r = runCommand(argv);
    ASSERT_EQ(r.status, 0) << ::testing::PrintToString(argv) << ": " << r.out << r.err;
  }

  // Whether the service's audit-event store holds a record for `dest`.
  bool stores(const std::string& dest) {
    return std::ranges::any_of(storedAuditEvents(rig->stateDir()), [&](const std::string& record) {
      return record.find("\"dest\":\"" + dest + "\"") != std::string::npos;
    });
  }

  std::unique_ptr<ProductRig> rig;

 private:
  int _files = 0;
};

}  // namespace zorva::e2e
