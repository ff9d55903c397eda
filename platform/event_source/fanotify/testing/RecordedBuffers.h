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
#include <tuple>
#include <vector>

namespace zorva::testing {

template <typename T>
void put(std::vector<std::byte>& to, const T& value) {
  const auto* raw = reinterpret_cast<const std::byte*>(&value);
  to.insert(to.end(), raw, raw + sizeof value);
}

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

  // Each info record: header, filesystem id 42, a 4-byte handle of type 1, the name, padding.
  Records& record(uint64_t mask, int fd, int pid, const std::vector<Info>& infos) {
    std::vector<std::byte> body;
    for (const Info& info : infos) {
      const size_t length = (24 + info.name.size() + !info.name.empty() + 3) / 4 * 4;
      put(body, fanotify_event_info_header{info.type, 0, static_cast<uint16_t>(length)});
      for (uint32_t word : {42u, 0u, 4u, 1u, info.handle}) put(body, word);  // little-endian
      body.insert(body.end(), reinterpret_cast<const std::byte*>(info.name.data()),
                  reinterpret_cast<const std::byte*>(info.name.data() + info.name.size()));
      body.resize(body.size() + length - 24 - info.name.size());
    }
    put(_bytes, fanotify_event_metadata{
                    static_cast<uint32_t>(sizeof(fanotify_event_metadata) + body.size()),
                    FANOTIFY_METADATA_VERSION, 0, sizeof(fanotify_event_metadata), mask, fd, pid});
    _bytes.insert(_bytes.end(), body.begin(), body.end());
    return *this;
  }

  std::vector<std::byte> _bytes;
};

// One datagram of the process connector: netlink header, connector header, process event.
inline std::vector<std::byte> connectorMessage(enum proc_event::what what, uint64_t timeNs,
                                               const decltype(proc_event::event_data)& data) {
  std::vector<std::byte> bytes;
  put(bytes, nlmsghdr{NLMSG_HDRLEN + sizeof(cn_msg) + sizeof(proc_event), NLMSG_DONE, 0, 0, 0});
  cn_msg message{};
  message.id = {CN_IDX_PROC, CN_VAL_PROC};
  message.len = sizeof(proc_event);
  put(bytes, message);
  proc_event event{};
  std::tie(event.what, event.timestamp_ns, event.event_data) = std::tuple(what, timeNs, data);
  put(bytes, event);
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
