#include "platform/event_source/fanotify/ProcessConnector.h"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>

#include <algorithm>
#include <cstring>

namespace zorva {
namespace {

template <class T>
T load(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace

size_t decodeProcessEvents(std::span<const std::byte> datagram, std::vector<ProcessEvent>& events) {
  size_t malformed = 0;
  size_t offset = 0;
  while (datagram.size() - offset >= sizeof(nlmsghdr)) {
    const std::byte* at = datagram.data() + offset;
    const auto header = load<nlmsghdr>(at);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - offset) {
      return malformed + 1;  // nothing after a message of unknown length can be trusted
    }
    offset = std::min<size_t>(offset + NLMSG_ALIGN(header.nlmsg_len), datagram.size());
    // The connector sends each event as a one-part message marked done; anything else (an error
    // answer, padding) carries no event.
    if (header.nlmsg_type != NLMSG_DONE) continue;
    const size_t payload = header.nlmsg_len - NLMSG_HDRLEN;
    if (payload < sizeof(cn_msg)) {
      ++malformed;
      continue;
    }
    const auto message = load<cn_msg>(at + NLMSG_HDRLEN);
    if (message.id.idx != CN_IDX_PROC || message.id.val != CN_VAL_PROC) continue;
    constexpr size_t kEventHeader = offsetof(proc_event, event_data);
    if (message.len > payload - sizeof(cn_msg) || message.len < kEventHeader) {
      ++malformed;
      continue;
    }
    const std::byte* event = at + NLMSG_HDRLEN + sizeof(cn_msg);
    const auto what = load<uint32_t>(event + offsetof(proc_event, what));
    const auto timeNs = load<uint64_t>(event + offsetof(proc_event, timestamp_ns));
    const std::byte* data = event + kEventHeader;
    const size_t dataLength = message.len - kEventHeader;
    auto pidAt = [&](size_t field) { return load<pid_t>(data + field); };
    // Offsets within event_data, which every kind's fields start.
    auto field = [](size_t offsetInEvent) { return offsetInEvent - kEventHeader; };
    switch (what) {
      case proc_event::PROC_EVENT_FORK: {
        if (dataLength < sizeof(proc_event{}.event_data.fork)) break;
        // A new thread has its process's thread-group id: not a new process.
        const pid_t child = pidAt(field(offsetof(proc_event, event_data.fork.child_pid)));
        const pid_t childGroup = pidAt(field(offsetof(proc_event, event_data.fork.child_tgid)));
        if (child != childGroup) continue;
        events.push_back({ProcessEvent::Kind::Fork, childGroup,
                          pidAt(field(offsetof(proc_event, event_data.fork.parent_tgid))), timeNs});
        continue;
      }
      case proc_event::PROC_EVENT_EXEC: {
        if (dataLength < sizeof(proc_event{}.event_data.exec)) break;
        events.push_back({ProcessEvent::Kind::Exec,
                          pidAt(field(offsetof(proc_event, event_data.exec.process_tgid))), 0,
                          timeNs});
        continue;
      }
      case proc_event::PROC_EVENT_EXIT: {
        if (dataLength < field(offsetof(proc_event, event_data.exit.exit_code))) break;
        // Only the leader's end is the process's; its other threads end on their own.
        const pid_t thread = pidAt(field(offsetof(proc_event, event_data.exit.process_pid)));
        const pid_t group = pidAt(field(offsetof(proc_event, event_data.exit.process_tgid)));
        if (thread != group) continue;
        events.push_back({ProcessEvent::Kind::Exit, group, 0, timeNs});
        continue;
      }
      default:
        continue;  // uid, gid, session, ptrace, name and core-dump changes do not matter here
    }
    ++malformed;  // a known kind too short to hold its fields
  }
  if (offset != datagram.size()) ++malformed;  // a cut message: the kernel never sends one
  return malformed;
}

}  // namespace zorva
