// The process connector's datagrams are decoded before the process table trusts a process id in
// them; a message of another kernel's layout must never make the decoder read past the datagram.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/event_source/fanotify/ProcessConnector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<zorva::ProcessEvent> events;
  zorva::decodeProcessEvents(
      std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), size), events);
  // Every event takes a whole message of at least a netlink and a connector header.
  if (events.size() > size / 36) std::abort();
  return 0;
}
