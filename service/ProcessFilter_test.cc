#include "service/ProcessFilter.h"

#include <gtest/gtest.h>

#include "platform/event_source/OwnedMessage.h"

namespace zorva {
namespace {

struct Case {
  const char* executable;
  bool platform;
  bool ignored;
  bool utf8 = true;  // else never ignored, and handed back as nothing
};

class ProcessFilterTest : public ::testing::TestWithParam<Case> {};

TEST_P(ProcessFilterTest, DecidesAndHandsBackTheExecutable) {
  const Case& c = GetParam();
  OwnedMessage message(ES_EVENT_TYPE_NOTIFY_OPEN);
  message.setExecutable(c.executable, c.platform);
  std::optional<std::string> exec = "stale";
  EXPECT_EQ(ignoreProcess(message.process(), &exec), c.ignored) << c.executable;
  EXPECT_EQ(exec, c.utf8 ? std::optional<std::string>(c.executable) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    DecisionTable, ProcessFilterTest,
    ::testing::Values(
        // The client application: any non-platform executable under its prefixes, by plain
        // prefix (a sibling bundle whose name extends it counts too).
        Case{"/Applications/Zorva Client.app/Contents/MacOS/Zorva Client", false, true},
        Case{"/Applications/Zorva Client.application/x", false, true},
        Case{"/opt/zorva-client/bin/zorva-client", false, true},
        Case{"/opt/zorva-clientx/bin/tool", false, false},
        Case{"/Applications/Zorva Client.app/Contents/MacOS/Zorva Client", true, false},
        // The ignore table applies to platform executables only, suffix with its own prefix.
        Case{"/usr/sbin/cupsd", true, true}, Case{"/usr/sbin/cupsd", false, false},
        Case{"/usr/sbin/sshd", true, false}, Case{"/usr/libexec/cupsd", true, false},
        Case{"/usr/libexec/promotedcontentd", true, true},
        Case{"/System/Library/Frameworks/CoreServices.framework/x/mds", true, true},
        Case{"/System/Library/Frameworks/A.framework/Versions/A/Support/cmds", true, true},
        Case{"/System/Library/Frameworks/A.framework/fseventsd", true, true},
        Case{"/System/Library/CoreServices/TimeMachine/backupd", true, true},
        Case{"/System/Library/CoreServices/TimeMachine/backupd2", true, false},
        // Case matters, and the system's own copy command is never ignored.
        Case{"/USR/SBIN/cupsd", true, false}, Case{"/usr/bin/cp", true, false},
        Case{"", true, false}, Case{"/opt/zorva-client/\xff", false, false, false},
        Case{"/usr/sbin/\xff/cupsd", true, false, false}));

}  // namespace
}  // namespace zorva
