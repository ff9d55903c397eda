#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zorva {

// Every system call the fanotify event source makes, behind one interface, so decoding and the
// turning of records into messages are tested from recorded buffers with a mock instead of the
// kernel. Results follow the system calls': -1 with errno set on failure.
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
};

// The real system calls.
class SystemFanotifyApi final : public FanotifyApi {
 public:
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
};

}  // namespace zorva
