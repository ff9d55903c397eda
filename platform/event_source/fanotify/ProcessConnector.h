#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zorva {

// One process event of the kernel's process connector, as far as the process table needs it.
struct ProcessEvent {
  enum class Kind : uint8_t { Fork, Exec, Exit };

  Kind kind = Kind::Fork;
  pid_t pid = 0;        // the process (its thread-group id)
  pid_t parent = 0;     // for a fork: the process that forked it
  uint64_t timeNs = 0;  // when the kernel sent it, on CLOCK_MONOTONIC

  bool operator==(const ProcessEvent&) const = default;
};

// Decodes the process events in one datagram read off the connector socket and appends them to
// `events`. A thread's start and end are not a process's and are left out, as are the connector's
// other kinds of event. Never reads outside the datagram; returns how many messages in it could
// not be decoded.
size_t decodeProcessEvents(std::span<const std::byte> datagram, std::vector<ProcessEvent>& events);

}  // namespace zorva
