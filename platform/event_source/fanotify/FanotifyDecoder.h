#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zorva {

// One fanotify record, decoded from the bytes read off a group. Pure data: decoding opens,
// closes and reads nothing, so it is tested from recorded buffers and fuzzed.
struct FanotifyRecord {
  // A directory (or file) handle and, for directory-entry events, the entry's name.
  struct Info {
    uint8_t type = 0;  // FAN_EVENT_INFO_TYPE_*
    uint64_t fsid = 0;
    std::vector<unsigned char> handle;  // a struct file_handle, ready for open_by_handle_at
    std::string name;                   // raw bytes, no NUL; empty when the info has none
  };

  uint64_t mask = 0;
  int fd = -1;  // the event's open file (fd groups); FAN_NOFD otherwise
  int pid = 0;
  std::vector<Info> infos;

  bool isOverflow() const;
  // The record's info of a FAN_EVENT_INFO_TYPE_*, or null.
  const Info* info(uint8_t type) const;
};

struct FanotifyBatch {
  std::vector<FanotifyRecord> records;
  // Descriptors of records that could not be decoded whole: the caller closes them too, so a
  // broken record cannot leak the file the kernel opened for it.
  std::vector<int> strayFds;
  size_t malformed = 0;  // records skipped, and the unreadable rest of the buffer counts as one
};

// Decodes every whole record of a buffer read from a fanotify group. Never reads outside the
// buffer, whatever its bytes.
FanotifyBatch decodeFanotifyBuffer(std::span<const std::byte> buffer);

}  // namespace zorva
