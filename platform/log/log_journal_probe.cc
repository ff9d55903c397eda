// Writes through the log functions to the real journal, for log_journal_test.sh to read back:
// a transfer line with every field, a fault line and a line without fields.
// Usage: log_journal_probe SOURCE DESTINATION EXE
#include <cstdint>
#include <string>

#include "platform/log/Log.h"

int main(int argc, char** argv) {
  using namespace zorva;
  if (argc != 4) return 2;
  auto writer = makeLogWriter(LogTarget::Journal, LogLevel::Default);
  setLogWriter(writer.get());
  const std::string source = argv[1], dest = argv[2], exe = argv[3];
  ZorvaLog({.volumeId = 7,
            .source = source,
            .destination = dest,
            .exe = exe,
            .pid = 4242,
            .kind = "rename"},
           "PathTracker.track: volumeId: %ld, %@ => %@", int64_t{7}, source, dest);
  ZorvaError(FaultKind::Store, "settings %@ cannot be opened: %@", dest, std::string("locked"));
  ZorvaLog("probe: done");
  setLogWriter(nullptr);
  return 0;
}
