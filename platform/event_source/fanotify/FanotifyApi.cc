#include "platform/event_source/fanotify/FanotifyApi.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <sys/fanotify.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string_view>

namespace zorva {

int SystemFanotifyApi::init(unsigned flags, unsigned eventFlags) {
  return fanotify_init(flags, eventFlags);
}

int SystemFanotifyApi::mark(int group, unsigned flags, uint64_t mask, const std::string& path) {
  return fanotify_mark(group, flags, mask, AT_FDCWD, path.c_str());
}

ssize_t SystemFanotifyApi::read(int fd, void* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

int SystemFanotifyApi::close(int fd) { return ::close(fd); }

int SystemFanotifyApi::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }

int SystemFanotifyApi::stat(const std::string& path, struct stat* status) {
  return ::lstat(path.c_str(), status);
}

int SystemFanotifyApi::openByHandle(int mountFd, const std::vector<unsigned char>& handle) {
  // Copied into storage aligned for struct file_handle; the record's bytes need not be.
  std::vector<unsigned int> aligned((handle.size() + sizeof(unsigned int) - 1) /
                                    sizeof(unsigned int));
  std::memcpy(aligned.data(), handle.data(), handle.size());
  return open_by_handle_at(mountFd, reinterpret_cast<file_handle*>(aligned.data()),
                           O_PATH | O_CLOEXEC);
}

int SystemFanotifyApi::openPath(const std::string& path) {
  // open_by_handle_at refuses O_PATH descriptors as the mount to open from.
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

SystemFanotifyApi::SystemFanotifyApi()
    : _ownFds(::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

SystemFanotifyApi::~SystemFanotifyApi() {
  if (_ownFds >= 0) ::close(_ownFds);
}

std::optional<std::string> SystemFanotifyApi::readLink(const std::string& path) {
  // Paths of open files can exceed PATH_MAX; the kernel gives up to a page.
  char target[size_t{2} * PATH_MAX];
  // Every event's path is read through its descriptor: looking up /proc/self/fd each time would
  // cost more than the rest.
  constexpr std::string_view kOwnFds = "/proc/self/fd/";
  const ssize_t length =
      _ownFds >= 0 && path.starts_with(kOwnFds)
          ? ::readlinkat(_ownFds, path.c_str() + kOwnFds.size(), target, sizeof target)
          : ::readlink(path.c_str(), target, sizeof target);
  if (length < 0 || static_cast<size_t>(length) == sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(length));
}

std::optional<std::string> SystemFanotifyApi::readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // Read to the end: the mount table of a machine with containers runs to many pages.
  std::string text;
  char chunk[16384];
  for (;;) {
    ssize_t length = ::read(fd, chunk, sizeof chunk);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      ::close(fd);
      if (length < 0) return std::nullopt;
      return text;
    }
    text.append(chunk, static_cast<size_t>(length));
  }
}

std::optional<uint64_t> SystemFanotifyApi::filesystemId(int fd) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return std::nullopt;
  uint64_t id;
  static_assert(sizeof id == sizeof info.f_fsid);
  std::memcpy(&id, &info.f_fsid, sizeof id);
  return id;
}

std::optional<std::vector<unsigned char>> SystemFanotifyApi::handleOf(const std::string& path) {
#ifndef AT_HANDLE_FID
  constexpr int AT_HANDLE_FID = 0x200;  // Linux 6.5: the handle fanotify reports, decodable or not
#endif
  std::array<unsigned int, (sizeof(file_handle) + MAX_HANDLE_SZ) / sizeof(unsigned int) + 1>
      storage{};
  auto* handle = reinterpret_cast<file_handle*>(storage.data());
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountId, AT_HANDLE_FID) != 0) {
    return std::nullopt;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(handle);
  return std::vector<unsigned char>(bytes, bytes + sizeof(file_handle) + handle->handle_bytes);
}

std::optional<std::vector<std::string>> SystemFanotifyApi::subfolders(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat own {};
  DIR* listing = ::fstat(fd, &own) == 0 ? ::fdopendir(fd) : nullptr;
  if (!listing) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)) {
      continue;
    }
    // Some FUSE filesystems leave the type unknown; a mount point below is another filesystem.
    struct stat status {};
    if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode) && status.st_dev == own.st_dev) {
      names.emplace_back(name);
    }
  }
  ::closedir(listing);
  return names;
}

ssize_t SystemFanotifyApi::readAt(int fd, void* buffer, size_t size, off_t offset) {
  ssize_t got;
  do {
    got = ::pread(fd, buffer, size, offset);
  } while (got < 0 && errno == EINTR);
  return got;
}

namespace {

// Room for a few hundred thousand messages: a fork storm must not outrun the reader.
constexpr int kConnectorBufferBytes = 16 << 20;
// Where the fields the filter reads lie in a datagram: netlink header, connector header, event.
constexpr uint32_t kEventAt = NLMSG_HDRLEN + sizeof(cn_msg);
constexpr uint32_t kWhatAt = kEventAt + offsetof(proc_event, what);

// Keeps the forks of processes (not threads), the exits of processes' leaders and every exec, and
// drops the rest in the kernel: a busy machine starts and ends threads far more often than
// processes, and each dropped message is one less that can overflow the socket. Classic BPF loads
// words in network order, so the constants are swapped to match; comparing two loaded words
// needs no swap. Jump offsets count the instructions skipped.
std::array<sock_filter, 15> processEventFilter() {
  constexpr uint32_t kAccept = 0xffffffff;
  return {{
      /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kWhatAt),
      /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXEC), 12, 0),  // to
                                                                                               // 14
      /* 2 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_FORK), 2, 0),   // to
                                                                                               // 5
      /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXIT), 5, 0),   // to
                                                                                               // 9
      /* 4 */ BPF_STMT(BPF_RET | BPF_K, 0),
      // A fork is a process's when the child's thread id is its thread-group id.
      /* 5 */
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               kEventAt + offsetof(proc_event, event_data.fork.child_pid)),
      /* 6 */ BPF_STMT(BPF_MISC | BPF_TAX, 0),
      /* 7 */
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               kEventAt + offsetof(proc_event, event_data.fork.child_tgid)),
      /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 5, 4),  // to 14, else to 13
      // An exit is a process's when the thread that ends is its leader.
      /* 9 */
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               kEventAt + offsetof(proc_event, event_data.exit.process_pid)),
      /* 10 */ BPF_STMT(BPF_MISC | BPF_TAX, 0),
      /* 11 */
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               kEventAt + offsetof(proc_event, event_data.exit.process_tgid)),
      /* 12 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 1, 0),  // to 14, else to 13
      /* 13 */ BPF_STMT(BPF_RET | BPF_K, 0),
      /* 14 */ BPF_STMT(BPF_RET | BPF_K, kAccept),
  }};
}

}  // namespace

int SystemFanotifyApi::openProcessConnector() {
  int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (fd < 0) return -1;
  auto fail = [fd] {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  };
  // Forcing the size needs CAP_NET_ADMIN, which subscribing needs anyway.
  int room = kConnectorBufferBytes;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  }
  auto program = processEventFilter();
  sock_fprog code{static_cast<unsigned short>(program.size()), program.data()};
  if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &code, sizeof code) != 0) return fail();

  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail();

  // Netlink header, connector header, then the operation: "listen".
  std::array<std::byte, NLMSG_HDRLEN + sizeof(cn_msg) + sizeof(uint32_t)> listen{};
  nlmsghdr header{};
  header.nlmsg_len = listen.size();
  header.nlmsg_type = NLMSG_DONE;
  header.nlmsg_pid = static_cast<uint32_t>(::getpid());
  cn_msg message{};
  message.id = {CN_IDX_PROC, CN_VAL_PROC};
  message.len = sizeof(uint32_t);
  const uint32_t op = PROC_CN_MCAST_LISTEN;
  std::memcpy(listen.data(), &header, sizeof header);
  std::memcpy(listen.data() + NLMSG_HDRLEN, &message, sizeof message);
  std::memcpy(listen.data() + NLMSG_HDRLEN + sizeof(cn_msg), &op, sizeof op);
  if (::send(fd, listen.data(), listen.size(), 0) != static_cast<ssize_t>(listen.size())) {
    return fail();
  }
  return fd;
}

ssize_t SystemFanotifyApi::receive(int fd, void* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::recv(fd, buffer, size, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  return got;
}

std::optional<std::vector<pid_t>> SystemFanotifyApi::processIds() {
  DIR* proc = ::opendir("/proc");
  if (!proc) return std::nullopt;
  std::vector<pid_t> ids;
  while (const dirent* entry = ::readdir(proc)) {
    const char* name = entry->d_name;
    pid_t pid = 0;
    auto [end, error] = std::from_chars(name, name + std::strlen(name), pid);
    if (error == std::errc() && *end == '\0' && pid > 0) ids.push_back(pid);
  }
  ::closedir(proc);
  return ids;
}

uint64_t SystemFanotifyApi::monotonicNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace zorva
