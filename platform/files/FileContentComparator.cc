#include "platform/files/FileContentComparator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace zorva {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&&) = delete;
  ~UniqueFd() {
    // Not retried on EINTR: on Linux the descriptor is released even then, and a retry could
    // close one that another thread has just been given.
    if (fd_ >= 0) close(fd_);
  }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

int openRetrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens `path` only if it is a regular file, and gives its size as the open file reports it.
UniqueFd openRegular(const std::string& path, off_t* size) {
  // Opening a device node can act by itself (a watchdog arms, a tape rewinds) and a symlink on a
  // watched volume can point at one, so anything but a regular file is refused before the open.
  // The fstat of the open file below is the check that counts; this one narrows the window for
  // swapping the path in between.
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return UniqueFd();

  // Non-blocking so that a FIFO swapped in after the stat cannot hold the queue waiting for a
  // writer. Reading must not touch access times the user sees, but the kernel refuses O_NOATIME
  // on another user's file without CAP_FOWNER.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = openRetrying(path, flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = openRetrying(path, flags);
  UniqueFd file(fd);
  if (!file || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return UniqueFd();
  // Some file systems (FUSE among them) pass O_NONBLOCK on and may answer EAGAIN to a read.
  const int fileFlags = fcntl(fd, F_GETFL);
  if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) return UniqueFd();
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only; a refusal changes nothing
  *size = status.st_size;
  return file;
}

ssize_t readRetrying(int fd, char* buffer, size_t length) {
  ssize_t count;
  do {
    count = read(fd, buffer, length);
  } while (count < 0 && errno == EINTR);
  return count;
}

// True when `length` bytes were read; false when the file ended first or a read failed.
bool readBlock(int fd, char* buffer, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    ssize_t count = readRetrying(fd, buffer + filled, length - filled);
    if (count <= 0) return false;
    filled += static_cast<size_t>(count);
  }
  return true;
}

bool atEnd(int fd, char* scratch) { return readRetrying(fd, scratch, 1) == 0; }

}  // namespace

FileContentComparator::FileContentComparator(size_t blockSize)
    : blockSize_(std::max<size_t>(blockSize, 1)),
      buffers_(std::make_unique_for_overwrite<char[]>(2 * blockSize_)) {}

bool FileContentComparator::contentsEqual(const std::string& a, const std::string& b) {
  off_t size = 0;
  off_t otherSize = 0;
  UniqueFd fileA = openRegular(a, &size);
  if (!fileA) return false;
  UniqueFd fileB = openRegular(b, &otherSize);
  if (!fileB || size != otherSize) return false;

  char* blockA = buffers_.get();
  char* blockB = blockA + blockSize_;
  // The loop is bounded by the size fstat gave, not by end of file, so a file that keeps growing
  // cannot keep the queue reading; a file that shrinks ends early and fails its block.
  for (off_t left = size; left > 0;) {
    const size_t length = static_cast<size_t>(std::min(left, static_cast<off_t>(blockSize_)));
    if (!readBlock(fileA.get(), blockA, length) || !readBlock(fileB.get(), blockB, length) ||
        std::memcmp(blockA, blockB, length) != 0) {
      return false;
    }
    left -= static_cast<off_t>(length);
  }
  // Bytes past the size were never compared: the file grew during the comparison, or it is one
  // whose fstat size is not its length (procfs reports 0).
  return atEnd(fileA.get(), blockA) && atEnd(fileB.get(), blockB);
}

}  // namespace zorva
