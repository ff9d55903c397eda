// What a fanotify group returns is read by the decoder before anything else looks at it; a kernel
// of another version or a bug must never make it read past the buffer or lose a descriptor.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/event_source/fanotify/FanotifyDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto batch = zorva::decodeFanotifyBuffer(
      std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), size));
  // Descriptors are only numbers here: they are checked, never closed, so the fuzzer's own files
  // stay open.
  size_t withFd = 0;
  for (const auto& record : batch.records) {
    if (record.fd >= 0) ++withFd;
    for (const auto& info : record.infos) {
      if (info.name.find('\0') != std::string::npos) std::abort();
    }
  }
  if (withFd + batch.strayFds.size() > size / 24 + 1) std::abort();  // no descriptor made up
  return 0;
}
