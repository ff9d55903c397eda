#pragma once

// Buffers laid out byte for byte as the kernel hands them over, for tests of what decodes them:
// fanotify records as read(2) returns them from a group, and the process connector's datagrams.

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/fanotify.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace zorva::testing {

// Builds a buffer of records as read(2) returns them from a fanotify group. Directory-entry
// records are all by process 100 on filesystem 42; a handle number stands for one file or folder.
class Records {
 public:
  Records& file(uint64_t mask, int fd, int pid = 100) { return record(mask, fd, pid, {}); }
  Records& entry(uint64_t mask, uint32_t dir, const std::string& name) {
    return record(mask, FAN_NOFD, 100, {{FAN_EVENT_INFO_TYPE_DFID_NAME, dir, name}});
  }
  // `file`, when given, is the handle of the file moved; `folder` says it was a folder.
  Records& rename(uint32_t fromDir, const std::string& from, uint32_t toDir, const std::string& to,
                  uint32_t file = 0, bool folder = false) {
    std::vector<Info> infos = {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, fromDir, from},
                               {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, toDir, to}};
    if (file) infos.push_back({FAN_EVENT_INFO_TYPE_FID, file, ""});
    return record(FAN_RENAME | (folder ? FAN_ONDIR : 0), FAN_NOFD, 100, infos);
  }

  std::vector<std::byte> bytes() const { return _bytes; }
  std::span<const std::byte> span() const { return _bytes; }

 private:
  struct Info {
    uint8_t type;
    uint32_t handle;  // 4 bytes of handle data
    std::string name;
  };

  Records& record(uint64_t mask, int fd, int pid, const std::vector<Info>& infos) {
    std::vector<std::byte> body;
    for (const Info& info : infos) {
      std::vector<std::byte> part(sizeof(fanotify_event_info_header) + 8 + 8 + 4 +
                                  (info.name.empty() ? 0 : info.name.size() + 1));
      part.resize((part.size() + 3) / 4 * 4);  // the kernel pads info records
      fanotify_event_info_header header{info.type, 0, static_cast<uint16_t>(part.size())};
      const uint64_t fsid = 42;
      const unsigned int handleBytes = 4;
      const int handleType = 1;
      std::memcpy(part.data(), &header, sizeof header);
      std::memcpy(part.data() + 4, &fsid, 8);
      std::memcpy(part.data() + 12, &handleBytes, 4);
      std::memcpy(part.data() + 16, &handleType, 4);
      std::memcpy(part.data() + 20, &info.handle, 4);
      std::memcpy(part.data() + 24, info.name.data(), info.name.size());
      body.insert(body.end(), part.begin(), part.end());
    }
    fanotify_event_metadata metadata{};
    metadata.event_len = static_cast<uint32_t>(sizeof metadata + body.size());
    metadata.vers = FANOTIFY_METADATA_VERSION;
    metadata.metadata_len = sizeof metadata;
    metadata.mask = mask;
    metadata.fd = fd;
    metadata.pid = pid;
    const auto* raw = reinterpret_cast<const std::byte*>(&metadata);
    _bytes.insert(_bytes.end(), raw, raw + sizeof metadata);
    _bytes.insert(_bytes.end(), body.begin(), body.end());
    return *this;
  }

  std::vector<std::byte> _bytes;
};

// One datagram of the process connector: netlink header, connector header, process event.
inline std::vector<std::byte> connectorMessage(enum proc_event::what what, uint64_t timeNs,
                                               const decltype(proc_event::event_data)& data) {
  proc_event event{};
  event.what = what;
  event.timestamp_ns = timeNs;
  event.event_data = data;
  std::vector<std::byte> bytes(NLMSG_HDRLEN + sizeof(cn_msg) + sizeof(proc_event));
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(bytes.size());
  header.nlmsg_type = NLMSG_DONE;
  cn_msg message{};
  message.id = {CN_IDX_PROC, CN_VAL_PROC};
  message.len = sizeof(proc_event);
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + NLMSG_HDRLEN, &message, sizeof message);
  std::memcpy(bytes.data() + NLMSG_HDRLEN + sizeof(cn_msg), &event, sizeof event);
  return bytes;
}

inline std::vector<std::byte> forkMessage(pid_t parent, pid_t child, uint64_t timeNs,
                                          pid_t childThread = 0) {
  return connectorMessage(proc_event::PROC_EVENT_FORK, timeNs,
                          {.fork = {parent, parent, childThread ? childThread : child, child}});
}
inline std::vector<std::byte> execMessage(pid_t pid, uint64_t timeNs) {
  return connectorMessage(proc_event::PROC_EVENT_EXEC, timeNs, {.exec = {pid, pid}});
}
inline std::vector<std::byte> exitMessage(pid_t pid, uint64_t timeNs, pid_t thread = 0) {
  return connectorMessage(proc_event::PROC_EVENT_EXIT, timeNs,
                          {.exit = {thread ? thread : pid, pid, 0, 0, 0, 0}});
}

}  // namespace zorva::testing
