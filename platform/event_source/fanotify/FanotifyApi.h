#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zorva {

// Every system call the fanotify event source makes, its process table's included, behind one
// interface, so decoding and the turning of records into messages are tested from recorded
// buffers with a mock instead of the kernel. Results follow the system calls': -1 with errno set
// on failure.
class FanotifyApi {
 public:
  virtual ~FanotifyApi() = default;

  virtual int init(unsigned flags, unsigned eventFlags) = 0;
  virtual int mark(int group, unsigned flags, uint64_t mask, const std::string& path) = 0;
  virtual ssize_t read(int fd, void* buffer, size_t size) = 0;
  virtual int close(int fd) = 0;
  virtual int fstat(int fd, struct stat* status) = 0;
  virtual int stat(const std::string& path, struct stat* status) = 0;
  // Opens a directory by the handle of an event, relative to an open descriptor of its mount.
  virtual int openByHandle(int mountFd, const std::vector<unsigned char>& handle) = 0;
  virtual int openPath(const std::string& path) = 0;  // a directory, to open handles from
  virtual std::optional<std::string> readLink(const std::string& path) = 0;
  virtual std::optional<std::string> readFile(const std::string& path) = 0;
  // The filesystem id fanotify reports for the filesystem holding the open descriptor.
  virtual std::optional<uint64_t> filesystemId(int fd) = 0;
  // The handle fanotify reports for the file at `path` (a struct file_handle, as in a record),
  // also where the filesystem cannot open files by handle.
  virtual std::optional<std::vector<unsigned char>> handleOf(const std::string& path) = 0;
  // The names of the folders directly in `folder`, on its own filesystem only.
  virtual std::optional<std::vector<std::string>> subfolders(const std::string& folder) = 0;
  virtual ssize_t readAt(int fd, void* buffer, size_t size, off_t offset) = 0;

  // A non-blocking socket subscribed to the kernel's process events (fork, exec and exit of
  // processes only: threads and other kinds are filtered out in the kernel).
  virtual int openProcessConnector() = 0;
  // One datagram from that socket; -1 with EAGAIN when none waits, ENOBUFS when some were lost.
  virtual ssize_t receive(int fd, void* buffer, size_t size) = 0;
  // The ids of the processes running now.
  virtual std::optional<std::vector<pid_t>> processIds() = 0;
  // CLOCK_MONOTONIC, the clock the process events are stamped with.
  virtual uint64_t monotonicNanoseconds() = 0;
};

// The real system calls.
class SystemFanotifyApi final : public FanotifyApi {
 public:
  SystemFanotifyApi();
  ~SystemFanotifyApi() override;
  SystemFanotifyApi(const SystemFanotifyApi&) = delete;
  SystemFanotifyApi& operator=(const SystemFanotifyApi&) = delete;

  int init(unsigned flags, unsigned eventFlags) override;
  int mark(int group, unsigned flags, uint64_t mask, const std::string& path) override;
  ssize_t read(int fd, void* buffer, size_t size) override;
  int close(int fd) override;
  int fstat(int fd, struct stat* status) override;
  int stat(const std::string& path, struct stat* status) override;
  int openByHandle(int mountFd, const std::vector<unsigned char>& handle) override;
  int openPath(const std::string& path) override;
  std::optional<std::string> readLink(const std::string& path) override;
  std::optional<std::string> readFile(const std::string& path) override;
  std::optional<uint64_t> filesystemId(int fd) override;
  std::optional<std::vector<unsigned char>> handleOf(const std::string& path) override;
  std::optional<std::vector<std::string>> subfolders(const std::string& folder) override;
  ssize_t readAt(int fd, void* buffer, size_t size, off_t offset) override;
  int openProcessConnector() override;
  ssize_t receive(int fd, void* buffer, size_t size) override;
  std::optional<std::vector<pid_t>> processIds() override;
  uint64_t monotonicNanoseconds() override;

 private:
  const int _ownFds;  // /proc/self/fd, where descriptors' paths are read
};

}  // namespace zorva
