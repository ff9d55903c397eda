#include "service/ProcessFilter.h"

#include <gtest/gtest.h>

#include "platform/event_source/OwnedMessage.h"

namespace zorva {
namespace {

// Each case: "P" for a platform executable or "-" for another, then "+" when it is ignored, "-"
// when not, "~" when it is not UTF-8 (never ignored, and handed back as nothing), then its path.
TEST(ProcessFilter, DecidesByPrefixPlatformFlagAndCaseAndHandsBackTheExecutable) {
  const std::string cases[] = {
      // The client application: non-platform executables by plain prefix (a sibling bundle too).
      "-+/Applications/Zorva Client.app/Contents/MacOS/Zorva Client",
      "-+/Applications/Zorva Client.application/x", "-+/opt/zorva-client/bin/zorva-client",
      "--/opt/zorva-clientx/bin/tool",
      "P-/Applications/Zorva Client.app/Contents/MacOS/Zorva Client",
      // The ignore table: platform executables only, each suffix with its own prefix.
      "P+/usr/sbin/cupsd", "--/usr/sbin/cupsd", "P-/usr/sbin/sshd", "P-/usr/libexec/cupsd",
      "P+/usr/libexec/promotedcontentd",
      "P+/System/Library/Frameworks/CoreServices.framework/x/mds",
      "P+/System/Library/Frameworks/A.framework/Versions/A/Support/cmds",
      "P+/System/Library/Frameworks/A.framework/fseventsd",
      "P+/System/Library/CoreServices/TimeMachine/backupd",
      "P-/System/Library/CoreServices/TimeMachine/backupd2",
      // Case matters, and the system's own copy command is never ignored.
      "P-/USR/SBIN/cupsd", "P-/usr/bin/cp", "P-", "-~/opt/zorva-client/\xff",
      "P~/usr/sbin/\xff/cupsd"};
  for (const std::string& c : cases) {
    OwnedMessage message(ES_EVENT_TYPE_NOTIFY_OPEN);
    message.setExecutable(c.substr(2), c[0] == 'P');
    std::optional<std::string> exec = "stale";
    EXPECT_EQ(ignoreProcess(message.process(), &exec), c[1] == '+') << c;
    EXPECT_EQ(exec, c[1] == '~' ? std::nullopt : std::optional(c.substr(2))) << c;
  }
}

}  // namespace
}  // namespace zorva
