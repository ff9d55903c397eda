#include "platform/event_source/ReplayEventSource.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/event_source/ReplayParser.h"
#include "platform/log/Log.h"

namespace zorva {
namespace {

constexpr size_t kReadSize = size_t{64} * 1024;
// Far above any real message (paths end at PATH_MAX); what lies beyond is a broken or hostile
// trace, which must not make the service buffer without bound.
constexpr size_t kMaxLineBytes = size_t{1024} * 1024;

// strerror() may share one buffer between threads.
std::string errorText(int error) { return std::system_category().message(error); }

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

class ReplayEventSource::Client final : public es_client_t {
 public:
  Client(int fd, int wakeFd, std::string name, es_handler_block_t handler, EndOfInput onEnd,
         SingleWriterCounter& eventsRead)
      : fd_(fd),
        wakeFd_(wakeFd),
        name_(std::move(name)),
        handler_(std::move(handler)),
        onEnd_(std::move(onEnd)),
        eventsRead_(eventsRead) {}

  ~Client() override {
    stop();
    close(fd_);
    close(wakeFd_);
  }

  // Called with the source's lock held, so never twice at once.
  void subscribe(uint32_t bits) {
    subscribed_.fetch_or(bits, std::memory_order_relaxed);
    if (!reader_.joinable()) reader_ = std::thread([this] { run(); });
  }

  bool isReaderThread() const { return reader_.get_id() == std::this_thread::get_id(); }

 private:
  void stop() {
    stopping_.store(true, std::memory_order_relaxed);
    uint64_t one = 1;
    // The counter cannot overflow from a single write, so this cannot fail in a way that matters.
    while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (reader_.joinable()) reader_.join();
  }

  void run() {
    std::vector<char> chunk(kReadSize);
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
      int ready = poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        ZorvaError(FaultKind::EventSource, "replay: waiting for %@ failed: %@", name_,
                   errorText(errno));
        break;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents == 0) continue;
      ssize_t got = read(fd_, chunk.data(), chunk.size());
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        ZorvaError(FaultKind::EventSource, "replay: reading %@ failed: %@", name_,
                   errorText(errno));
        break;
      }
      if (got == 0) break;
      consume(chunk.data(), static_cast<size_t>(got));
      if (stopping_.load(std::memory_order_relaxed)) return;
    }
    // A last line without its newline is still a line.
    if (skipping_ || !pending_.empty()) {
      ++lines_;
      if (!skipping_) handleLine(pending_);
    }
    ZorvaLog("replay: end of input after %ld lines", lines_);
    if (onEnd_) onEnd_(lines_);
  }

  // Lines that lie whole in the chunk are parsed where they are; only a line split across reads
  // is copied, and one over the limit is dropped as it arrives.
  void consume(const char* data, size_t size) {
    while (size > 0 && !stopping_.load(std::memory_order_relaxed)) {
      const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
      size_t length = newline ? static_cast<size_t>(newline - data) : size;
      if (!skipping_ && pending_.size() + length > kMaxLineBytes) {
        skipping_ = true;
        pending_.clear();
        ZorvaError(FaultKind::EventSource, "replay: line %ld: longer than %ld bytes", lines_ + 1,
                   kMaxLineBytes);
      }
      if (!newline) {
        if (!skipping_) pending_.append(data, length);
        return;
      }
      ++lines_;
      if (skipping_) {
        skipping_ = false;
      } else if (pending_.empty()) {
        handleLine({data, length});
      } else {
        pending_.append(data, length);
        handleLine(pending_);
        pending_.clear();
      }
      data = newline + 1;
      size -= length + 1;
    }
  }

  void handleLine(std::string_view line) {
    if (isBlank(line)) return;
    std::string reason;
    std::unique_ptr<OwnedMessage> message = parseReplayLine(line, &reason);
    if (!message) {
      ZorvaError(FaultKind::EventSource, "replay: line %ld: %@", lines_, reason);
      return;
    }
    const es_message_t& event = message->message();
    int index = knownEventIndex(event.event_type);
    // Unknown types pass so that the dispatcher's handling of them can be exercised.
    if (index >= 0 && !(subscribed_.load(std::memory_order_relaxed) & (1u << index))) return;
    eventsRead_.add();
    handler_(this, &event);
  }

  const int fd_;
  const int wakeFd_;
  const std::string name_;
  const es_handler_block_t handler_;
  const EndOfInput onEnd_;
  SingleWriterCounter& eventsRead_;  // the source's, which outlives every client
  std::atomic<uint32_t> subscribed_{0};
  std::atomic<bool> stopping_{false};
  std::thread reader_;
  // Only the reader thread touches these.
  std::string pending_;
  bool skipping_ = false;
  uint64_t lines_ = 0;
};

ReplayEventSource::ReplayEventSource(std::string path, EndOfInput onEndOfInput)
    : path_(std::move(path)),
      name_(path_ == "-" ? "standard input" : path_),
      onEndOfInput_(std::move(onEndOfInput)) {}

ReplayEventSource::ReplayEventSource(int fd, std::string name, EndOfInput onEndOfInput)
    : name_(std::move(name)),
      onEndOfInput_(std::move(onEndOfInput)),
      adoptedFd_(fd),
      adopted_(true) {}

ReplayEventSource::~ReplayEventSource() {
  std::unique_ptr<Client> client;
  {
    std::lock_guard lock(mutex_);
    client = std::move(client_);
    if (adoptedFd_ >= 0) close(adoptedFd_);
  }
}

// Called with mutex_ held.
int ReplayEventSource::openInput() {
  if (adopted_) {
    if (adoptedFd_ < 0)
      ZorvaError(FaultKind::EventSource, "replay: %@ was already replayed", name_);
    return std::exchange(adoptedFd_, -1);
  }
  // A copy of standard input, so that closing it leaves the process's own open.
  int fd = path_ == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                        : open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    ZorvaError(FaultKind::EventSource, "replay: cannot open %@: %@", name_, errorText(errno));
  return fd;
}

es_new_client_result_t ReplayEventSource::newClient(es_client_t** client,
                                                    es_handler_block_t handler) {
  if (!client || !handler) return ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT;
  std::lock_guard lock(mutex_);
  if (client_) {
    ZorvaError(FaultKind::EventSource, "replay: %@ already has a client", name_);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int wakeFd = eventfd(0, EFD_CLOEXEC);
  if (wakeFd < 0) {
    ZorvaError(FaultKind::EventSource, "replay: cannot create an eventfd: %@", errorText(errno));
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int fd = openInput();
  if (fd < 0) {
    close(wakeFd);
    return ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT;
  }
  client_ =
      std::make_unique<Client>(fd, wakeFd, name_, std::move(handler), onEndOfInput_, eventsRead_);
  *client = client_.get();
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

es_return_t ReplayEventSource::subscribe(es_client_t* client, const es_event_type_t* events,
                                         uint32_t count) {
  if (!client || !events || count == 0) return ES_RETURN_ERROR;
  uint32_t bits = 0;
  for (uint32_t i = 0; i < count; ++i) {
    int index = knownEventIndex(events[i]);
    if (index < 0) {
      ZorvaError(FaultKind::EventSource, "replay: cannot subscribe to event type %ld",
                 static_cast<uint32_t>(events[i]));
      return ES_RETURN_ERROR;
    }
    bits |= 1u << index;
  }
  std::lock_guard lock(mutex_);
  if (client != client_.get()) return ES_RETURN_ERROR;
  client_->subscribe(bits);
  return ES_RETURN_SUCCESS;
}

es_return_t ReplayEventSource::deleteClient(es_client_t* client) {
  std::unique_ptr<Client> deleted;
  {
    std::lock_guard lock(mutex_);
    if (!client || client != client_.get()) return ES_RETURN_ERROR;
    if (client_->isReaderThread()) {
      ZorvaError(FaultKind::EventSource, "replay: a client cannot be deleted from its own thread");
      return ES_RETURN_ERROR;
    }
    deleted = std::move(client_);
  }
  // Joined outside the lock, so that a handler may still call into the source meanwhile.
  deleted.reset();
  return ES_RETURN_SUCCESS;
}

}  // namespace zorva
