// The least a fanotify listener in fd mode can do: read records, look at each file descriptor
// once, close it. Its CPU time per record is the floor other listeners are compared with.
//
//   fanotify_bare_reader MOUNTPOINT
//
// Prints "ready" on standard error once the mark is in place, and one line of counts on standard
// output when stopped with SIGTERM or SIGINT.

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t kMask = FAN_OPEN | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE;
constexpr size_t kBufferSize = size_t{64} * 1024;

// The signal handler prints these, so they must be lock-free atomics; only this thread writes
// them, which lets a plain load and store replace a locked read-modify-write on every record.
std::atomic<uint64_t> records{0};
std::atomic<uint64_t> opens{0};
std::atomic<uint64_t> closeWrites{0};
std::atomic<uint64_t> closeNoWrites{0};
std::atomic<uint64_t> overflows{0};

void bump(std::atomic<uint64_t>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// snprintf is not async-signal-safe.
char* appendText(char* out, const char* text) {
  while (*text) *out++ = *text++;
  return out;
}

char* appendNumber(char* out, uint64_t value) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

// Printing from the handler and leaving at once means no window in which a signal that arrives
// between a check of a flag and the blocking read() is lost, and costs the read loop nothing.
void printAndExit(int) {
  char line[256];
  char* out = line;
  out = appendText(out, "records=");
  out = appendNumber(out, records.load(std::memory_order_relaxed));
  out = appendText(out, " opens=");
  out = appendNumber(out, opens.load(std::memory_order_relaxed));
  out = appendText(out, " close_write=");
  out = appendNumber(out, closeWrites.load(std::memory_order_relaxed));
  out = appendText(out, " close_nowrite=");
  out = appendNumber(out, closeNoWrites.load(std::memory_order_relaxed));
  out = appendText(out, " overflows=");
  out = appendNumber(out, overflows.load(std::memory_order_relaxed));
  *out++ = '\n';
  ssize_t ignored = write(STDOUT_FILENO, line, static_cast<size_t>(out - line));
  (void)ignored;
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MOUNTPOINT\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];

  int fan = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
  if (fan < 0) {
    std::fprintf(stderr, "fanotify_init: %s\n", std::strerror(errno));
    return 1;
  }
  const char* markKind = "filesystem";
  if (fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMask, AT_FDCWD, path) != 0) {
    // Older kernels and some filesystems take only mount marks.
    if (errno != EINVAL ||
        fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_MOUNT, kMask, AT_FDCWD, path) != 0) {
      std::fprintf(stderr, "fanotify_mark %s: %s\n", path, std::strerror(errno));
      return 1;
    }
    markKind = "mount";
  }

  struct sigaction action {};
  action.sa_handler = printAndExit;
  sigfillset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::fprintf(stderr, "ready (%s mark on %s)\n", markKind, path);

  alignas(fanotify_event_metadata) static char buffer[kBufferSize];
  for (;;) {
    ssize_t length = read(fan, buffer, sizeof buffer);
    if (length < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "read: %s\n", std::strerror(errno));
      return 1;
    }
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
    for (; FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length)) {
      if (event->vers != FANOTIFY_METADATA_VERSION) {
        std::fprintf(stderr, "fanotify metadata version %u, built for %u\n", event->vers,
                     FANOTIFY_METADATA_VERSION);
        return 1;
      }
      if (event->mask & FAN_Q_OVERFLOW) {
        bump(overflows);
        continue;
      }
      bump(records);
      if (event->mask & FAN_OPEN) bump(opens);
      if (event->mask & FAN_CLOSE_WRITE) bump(closeWrites);
      if (event->mask & FAN_CLOSE_NOWRITE) bump(closeNoWrites);
      if (event->fd >= 0) {
        struct stat info;
        fstat(event->fd, &info);
        close(event->fd);
      }
    }
  }
}
