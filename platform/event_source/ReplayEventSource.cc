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
      : _fd(fd),
        _wakeFd(wakeFd),
        _name(std::move(name)),
        _handler(std::move(handler)),
        _onEnd(std::move(onEnd)),
        _eventsRead(eventsRead) {}

  ~Client() override {
    stop();
    close(_fd);
    close(_wakeFd);
  }

  // Called with the source's lock held, so never twice at once.
  void subscribe(uint32_t bits) {
    _subscribed.fetch_or(bits, std::memory_order_relaxed);
    if (!_reader.joinable()) _reader = std::thread([this] { run(); });
  }

  bool isReaderThread() const { return _reader.get_id() == std::this_thread::get_id(); }

 private:
  void stop() {
    _stopping.store(true, std::memory_order_relaxed);
    uint64_t one = 1;
    // The counter cannot overflow from a single write, so this cannot fail in a way that matters.
    while (write(_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (_reader.joinable()) _reader.join();
  }

  void run() {
    std::vector<char> chunk(kReadSize);
    pollfd fds[2] = {{_fd, POLLIN, 0}, {_wakeFd, POLLIN, 0}};
    for (;;) {
      int ready = poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        ZorvaError(FaultKind::EventSource, "replay: waiting for %@ failed: %@", _name,
                   errorText(errno));
        break;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents == 0) continue;
      ssize_t got = read(_fd, chunk.data(), chunk.size());
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        ZorvaError(FaultKind::EventSource, "replay: reading %@ failed: %@", _name,
                   errorText(errno));
        break;
      }
      if (got == 0) break;
      consume(chunk.data(), static_cast<size_t>(got));
      if (_stopping.load(std::memory_order_relaxed)) return;
    }
    // A last line without its newline is still a line.
    if (_skipping || !_pending.empty()) {
      ++_lines;
      if (!_skipping) handleLine(_pending);
    }
    ZorvaLog("replay: end of input after %ld lines", _lines);
    if (_onEnd) _onEnd(_lines);
  }

  // Lines that lie whole in the chunk are parsed where they are; only a line split across reads
  // is copied, and one over the limit is dropped as it arrives.
  void consume(const char* data, size_t size) {
    while (size > 0 && !_stopping.load(std::memory_order_relaxed)) {
      const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
      size_t length = newline ? static_cast<size_t>(newline - data) : size;
      if (!_skipping && _pending.size() + length > kMaxLineBytes) {
        _skipping = true;
        _pending.clear();
        ZorvaError(FaultKind::EventSource, "replay: line %ld: longer than %ld bytes", _lines + 1,
                   kMaxLineBytes);
      }
      if (!newline) {
        if (!_skipping) _pending.append(data, length);
        return;
      }
      ++_lines;
      if (_skipping) {
        _skipping = false;
      } else if (_pending.empty()) {
        handleLine({data, length});
      } else {
        _pending.append(data, length);
        handleLine(_pending);
        _pending.clear();
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
      ZorvaError(FaultKind::EventSource, "replay: line %ld: %@", _lines, reason);
      return;
    }
    const es_message_t& event = message->message();
    int index = knownEventIndex(event.event_type);
    // Unknown types pass so that the dispatcher's handling of them can be exercised.
    if (index >= 0 && !(_subscribed.load(std::memory_order_relaxed) & (1u << index))) return;
    _eventsRead.add();
    _handler(this, &event);
  }

  const int _fd;
  const int _wakeFd;
  const std::string _name;
  const es_handler_block_t _handler;
  const EndOfInput _onEnd;
  SingleWriterCounter& _eventsRead;  // the source's, which outlives every client
  std::atomic<uint32_t> _subscribed{0};
  std::atomic<bool> _stopping{false};
  std::thread _reader;
  // Only the reader thread touches these.
  std::string _pending;
  bool _skipping = false;
  uint64_t _lines = 0;
};

ReplayEventSource::ReplayEventSource(std::string path, EndOfInput onEndOfInput)
    : _path(std::move(path)),
      _name(_path == "-" ? "standard input" : _path),
      _onEndOfInput(std::move(onEndOfInput)) {}

ReplayEventSource::ReplayEventSource(int fd, std::string name, EndOfInput onEndOfInput)
    : _name(std::move(name)),
      _onEndOfInput(std::move(onEndOfInput)),
      _adoptedFd(fd),
      _adopted(true) {}

ReplayEventSource::~ReplayEventSource() {
  std::unique_ptr<Client> client;
  {
    std::lock_guard lock(_mutex);
    client = std::move(_client);
    if (_adoptedFd >= 0) close(_adoptedFd);
  }
}

// Called with _mutex held.
int ReplayEventSource::openInput() {
  if (_adopted) {
    if (_adoptedFd < 0)
      ZorvaError(FaultKind::EventSource, "replay: %@ was already replayed", _name);
    return std::exchange(_adoptedFd, -1);
  }
  // A copy of standard input, so that closing it leaves the process's own open.
  int fd = _path == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                        : open(_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    ZorvaError(FaultKind::EventSource, "replay: cannot open %@: %@", _name, errorText(errno));
  return fd;
}

es_new_client_result_t ReplayEventSource::newClient(es_client_t** client,
                                                    es_handler_block_t handler) {
  if (!client || !handler) return ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT;
  std::lock_guard lock(_mutex);
  if (_client) {
    ZorvaError(FaultKind::EventSource, "replay: %@ already has a client", _name);
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
  _client =
      std::make_unique<Client>(fd, wakeFd, _name, std::move(handler), _onEndOfInput, _eventsRead);
  *client = _client.get();
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
  std::lock_guard lock(_mutex);
  if (client != _client.get()) return ES_RETURN_ERROR;
  _client->subscribe(bits);
  return ES_RETURN_SUCCESS;
}

es_return_t ReplayEventSource::deleteClient(es_client_t* client) {
  std::unique_ptr<Client> deleted;
  {
    std::lock_guard lock(_mutex);
    if (!client || client != _client.get()) return ES_RETURN_ERROR;
    if (_client->isReaderThread()) {
      ZorvaError(FaultKind::EventSource, "replay: a client cannot be deleted from its own thread");
      return ES_RETURN_ERROR;
    }
    deleted = std::move(_client);
  }
  // Joined outside the lock, so that a handler may still call into the source meanwhile.
  deleted.reset();
  return ES_RETURN_SUCCESS;
}

}  // namespace zorva
