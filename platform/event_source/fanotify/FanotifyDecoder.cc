#include "platform/event_source/fanotify/FanotifyDecoder.h"

#include <fcntl.h>
#include <linux/fanotify.h>

#include <cstring>

namespace zorva {
namespace {

template <class T>
T load(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);  // records are packed; no alignment is promised
  return value;
}

bool isFidInfo(uint8_t type) {
  return type == FAN_EVENT_INFO_TYPE_FID || type == FAN_EVENT_INFO_TYPE_DFID ||
         type == FAN_EVENT_INFO_TYPE_DFID_NAME || type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
         type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME;
}

bool hasName(uint8_t type) {
  return type == FAN_EVENT_INFO_TYPE_DFID_NAME || type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
         type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME;
}

// Decodes one fid info record of `length` bytes at `at`; false when it does not hold together.
bool decodeFidInfo(const std::byte* at, size_t length, uint8_t type, FanotifyRecord::Info* info) {
  constexpr size_t kHeader = sizeof(fanotify_event_info_header) + sizeof(__kernel_fsid_t);
  constexpr size_t kHandleHeader = sizeof(unsigned int) + sizeof(int);  // handle_bytes, type
  if (length < kHeader + kHandleHeader) return false;
  info->type = type;
  info->fsid = load<uint64_t>(at + sizeof(fanotify_event_info_header));
  const std::byte* handle = at + kHeader;
  auto handleBytes = load<unsigned int>(handle);
  size_t handleLength = kHandleHeader + handleBytes;
  if (handleBytes > length - kHeader - kHandleHeader) return false;
  const auto* first = reinterpret_cast<const unsigned char*>(handle);
  info->handle.assign(first, first + handleLength);
  if (hasName(type)) {
    const char* name = reinterpret_cast<const char*>(handle + handleLength);
    size_t room = length - kHeader - handleLength;
    size_t nameLength = strnlen(name, room);
    if (nameLength == room) return false;  // no terminating NUL inside the record
    info->name.assign(name, nameLength);
  }
  return true;
}

}  // namespace

bool FanotifyRecord::isOverflow() const { return (mask & FAN_Q_OVERFLOW) != 0; }

const FanotifyRecord::Info* FanotifyRecord::info(uint8_t type) const {
  for (const Info& candidate : infos) {
    if (candidate.type == type) return &candidate;
  }
  return nullptr;
}

FanotifyBatch decodeFanotifyBuffer(std::span<const std::byte> buffer) {
  FanotifyBatch batch;
  constexpr size_t kMetadata = sizeof(fanotify_event_metadata);
  size_t offset = 0;
  while (buffer.size() - offset >= kMetadata) {
    const std::byte* at = buffer.data() + offset;
    auto metadata = load<fanotify_event_metadata>(at);
    if (metadata.event_len < kMetadata || metadata.event_len > buffer.size() - offset ||
        metadata.vers != FANOTIFY_METADATA_VERSION || metadata.metadata_len < kMetadata ||
        metadata.metadata_len > metadata.event_len) {
      // Nothing after a record of unknown length can be trusted.
      if (metadata.fd >= 0 && metadata.vers == FANOTIFY_METADATA_VERSION) {
        batch.strayFds.push_back(metadata.fd);
      }
      ++batch.malformed;
      return batch;
    }
    offset += metadata.event_len;

    FanotifyRecord record;
    record.mask = metadata.mask;
    record.fd = metadata.fd;
    record.pid = metadata.pid;
    // The overflow record carries no info records; it is whole as it stands.
    if (record.isOverflow()) {
      batch.records.push_back(std::move(record));
      continue;
    }
    bool whole = true;
    size_t infoOffset = metadata.metadata_len;
    while (whole && metadata.event_len - infoOffset >= sizeof(fanotify_event_info_header)) {
      auto header = load<fanotify_event_info_header>(at + infoOffset);
      if (header.len < sizeof header || header.len > metadata.event_len - infoOffset) {
        whole = false;
        break;
      }
      if (isFidInfo(header.info_type)) {
        FanotifyRecord::Info info;
        whole = decodeFidInfo(at + infoOffset, header.len, header.info_type, &info);
        if (whole) record.infos.push_back(std::move(info));
      }
      // Other info types (pidfd, error) are not used; their length still moves us on.
      infoOffset += header.len;
    }
    if (!whole) {
      if (record.fd >= 0) batch.strayFds.push_back(record.fd);
      ++batch.malformed;
      continue;
    }
    batch.records.push_back(std::move(record));
  }
  if (offset != buffer.size()) ++batch.malformed;  // a cut record: the kernel never sends one
  return batch;
}

}  // namespace zorva
