#include "platform/event_source/fanotify/ProcessTable.h"

#include <elf.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "platform/event_source/PlatformExecutable.h"
#include "platform/log/Log.h"

namespace zorva {
namespace {

// What was read from /proc without the connector is trusted this long before it is checked
// against the process's start time again.
constexpr auto kTrustFor = std::chrono::seconds(1);
// Entries guessed from /proc are dropped past this many; the connector's are bounded by the
// processes alive.
constexpr size_t kMaxGuesses = 8192;
// After lost messages the table is checked against /proc at most this often.
constexpr uint64_t kResyncEveryNs = 1'000'000'000;
constexpr size_t kDatagramSize = 4096;
// Fields of /proc/<pid>/stat, counted from 1 as proc(5) does.
constexpr int kStatParentField = 4;
constexpr int kStatStartTimeField = 22;

// Logs the 1st, 10th, 100th... time, so a storm cannot flood the log.
bool isPowerOfTen(uint64_t count) {
  for (uint64_t power = 1; power <= count; power *= 10) {
    if (power == count) return true;
  }
  return false;
}

template <class T>
T load(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Whether the program headers at `headers` (count of size each) name a loader.
bool namesInterpreter(const std::byte* headers, size_t count, size_t size) {
  for (size_t i = 0; i < count; ++i) {
    // p_type is the first word of a program header in both classes.
    if (load<uint32_t>(headers + i * size) == PT_INTERP) return true;
  }
  return false;
}

}  // namespace

ProcessTable::ProcessTable(FanotifyApi& api, Clock& clock)
    : _api(api), _clock(clock), _buffer(kDatagramSize) {}

ProcessTable::~ProcessTable() {
  if (_connector >= 0) _api.close(_connector);
}

bool ProcessTable::parseStat(const std::string& text, pid_t* ppid, uint64_t* startTime) {
  // "pid (comm) state ppid ...": the name may hold spaces and parentheses, so fields are counted
  // from the last ")".
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::string_view rest = std::string_view(text).substr(close + 1);
  bool haveParent = false;
  for (int field = kStatParentField - 1; field <= kStatStartTimeField; ++field) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return false;
    rest.remove_prefix(start);
    size_t end = rest.find(' ');
    std::string_view value = rest.substr(0, end);
    if (field == kStatParentField) {
      haveParent =
          std::from_chars(value.data(), value.data() + value.size(), *ppid).ec == std::errc();
    } else if (field == kStatStartTimeField) {
      return haveParent &&
             std::from_chars(value.data(), value.data() + value.size(), *startTime).ec ==
                 std::errc();
    }
    if (end == std::string_view::npos) return false;
    rest.remove_prefix(end);
  }
  return false;
}

ProcessTable::Image ProcessTable::imageOf(FanotifyApi& api, int fd) {
  std::array<std::byte, 1024> head{};
  const ssize_t got = api.readAt(fd, head.data(), head.size(), 0);
  if (got < 4) return Image::Complete;
  const auto length = static_cast<size_t>(got);
  if (head[0] == std::byte{'#'} && head[1] == std::byte{'!'}) return Image::HandsOver;
  if (length < EI_NIDENT || std::memcmp(head.data(), ELFMAG, SELFMAG) != 0) {
    return Image::Complete;  // another format handed to a registered interpreter: not ours to tell
  }
  const auto elfClass = static_cast<unsigned char>(head[EI_CLASS]);
  uint64_t phoff = 0;
  size_t entrySize = 0;
  size_t count = 0;
  if (elfClass == ELFCLASS64 && length >= sizeof(Elf64_Ehdr)) {
    const auto header = load<Elf64_Ehdr>(head.data());
    phoff = header.e_phoff;
    entrySize = header.e_phentsize;
    count = header.e_phnum;
  } else if (elfClass == ELFCLASS32 && length >= sizeof(Elf32_Ehdr)) {
    const auto header = load<Elf32_Ehdr>(head.data());
    phoff = header.e_phoff;
    entrySize = header.e_phentsize;
    count = header.e_phnum;
  } else {
    return Image::Complete;
  }
  if (entrySize < sizeof(uint32_t) || count == 0 || count > 256) return Image::Complete;
  const size_t span = entrySize * count;
  if (phoff <= length && span <= length - phoff) {
    return namesInterpreter(head.data() + phoff, count, entrySize) ? Image::HandsOver
                                                                   : Image::Complete;
  }
  // Program headers placed further in: read them where they are.
  std::vector<std::byte> headers(span);
  if (api.readAt(fd, headers.data(), span, static_cast<off_t>(phoff)) !=
      static_cast<ssize_t>(span)) {
    return Image::Complete;
  }
  return namesInterpreter(headers.data(), count, entrySize) ? Image::HandsOver : Image::Complete;
}

void ProcessTable::start() {
  _connector = _api.openProcessConnector();
  if (_connector < 0) {
    ZorvaLog(
        "fanotify: the kernel's process events cannot be read (%@): the acting process's parent "
        "and program are read from /proc, and may be unknown for a process that has already "
        "exited",
        std::system_category().message(errno));
  }
  // Process events sent before the reading of /proc are already in what it reads.
  _seededAt = _api.monotonicNanoseconds();
  seed();
}

void ProcessTable::seed() {
  std::optional<std::vector<pid_t>> pids = _api.processIds();
  if (!pids) return;
  for (pid_t pid : *pids) readProc(pid, nullptr);
  _procReads = 0;  // only the reads made for processes missed later count
}

void ProcessTable::receive() {
  if (_connector < 0) return;
  for (;;) {
    const ssize_t got = _api.receive(_connector, _buffer.data(), _buffer.size());
    if (got < 0) {
      if (errno == ENOBUFS) {
        // The socket overflowed: some forks or exits are gone for good.
        ++_losses;
        _lostSinceResync = true;
        if (isPowerOfTen(_losses)) {
          ZorvaError(
              FaultKind::EventSource,
              "fanotify: the kernel's process events overflowed and some were lost (%ld times so "
              "far); processes missed are looked up in /proc",
              static_cast<int64_t>(_losses));
        }
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        ZorvaError(FaultKind::EventSource, "fanotify: reading process events failed: %@",
                   std::system_category().message(errno));
      }
      return;
    }
    if (got == 0) return;
    _decoded.clear();
    if (decodeProcessEvents(std::span<const std::byte>(_buffer.data(), static_cast<size_t>(got)),
                            _decoded) > 0 &&
        isPowerOfTen(++_malformed)) {
      ZorvaError(FaultKind::EventSource,
                 "fanotify: a process event could not be decoded (%ld so far)",
                 static_cast<int64_t>(_malformed));
    }
    for (const ProcessEvent& event : _decoded) {
      if (event.timeNs >= _seededAt) _held.push_back(event);
    }
  }
}

void ProcessTable::advanceTo(uint64_t timeNs) {
  while (!_held.empty() && _held.front().timeNs <= timeNs) {
    apply(_held.front());
    _held.pop_front();
  }
}

void ProcessTable::apply(const ProcessEvent& event) {
  ++_received;
  switch (event.kind) {
    case ProcessEvent::Kind::Fork: {
      // A new process, or a new one under a reused id: nothing of an earlier holder carries over.
      auto parent = _entries.find(event.parent);
      Entry entry;
      entry.ppid = event.parent;
      entry.exact = true;
      if (parent != _entries.end()) entry.program = parent->second.program;
      _entries.insert_or_assign(event.pid, std::move(entry));
      return;
    }
    case ProcessEvent::Kind::Exec:
      // The program is named by the open-for-execution that fanotify reports, in order with the
      // process's file events; the connector's exec comes after it and adds nothing.
      return;
    case ProcessEvent::Kind::Exit: {
      auto found = _entries.find(event.pid);
      if (found == _entries.end()) return;
      found->second.exitedAt = event.timeNs;
      _exits.emplace_back(event.timeNs, event.pid);
      return;
    }
  }
}

void ProcessTable::settle(uint64_t timeNs) {
  advanceTo(timeNs);
  while (!_exits.empty() && _exits.front().first <= timeNs) {
    auto [exitedAt, pid] = _exits.front();
    _exits.pop_front();
    auto found = _entries.find(pid);
    // Forked again under the same id since: that is another process.
    if (found != _entries.end() && found->second.exitedAt == exitedAt) _entries.erase(found);
  }
  if (_lostSinceResync && timeNs - _lastResyncNs >= kResyncEveryNs) resync(timeNs);
}

// Exits lost with the connector's messages would leave their processes in the table for good, and
// a later process under the same id would inherit them: what /proc no longer lists goes.
void ProcessTable::resync(uint64_t timeNs) {
  _lostSinceResync = false;
  _lastResyncNs = timeNs;
  std::optional<std::vector<pid_t>> pids = _api.processIds();
  if (!pids) return;
  std::unordered_set<pid_t> alive(pids->begin(), pids->end());
  std::erase_if(_entries, [&](const auto& entry) {
    return entry.second.exitedAt == 0 && !alive.contains(entry.first);
  });
}

ProcessTable::Entry& ProcessTable::readProc(pid_t pid, Entry* known) {
  const Clock::TimePoint now = _clock.now();
  pid_t ppid = 0;
  uint64_t startTime = 0;
  std::optional<std::string> stat = _api.readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat || !parseStat(*stat, &ppid, &startTime)) {
    if (known) {
      known->checked = now;  // gone: keep what was learned while it lived
      return *known;
    }
    // Gone before anything was learned: its own id as its parent, so its files are grouped
    // with nobody else's.
    trimGuesses();
    Entry& entry = _entries[pid];
    entry = Entry{};
    entry.ppid = pid;
    entry.program = _unknown;
    entry.checked = now;
    return entry;
  }
  if (known && !known->exact && known->startTime == startTime) {
    known->checked = now;
    known->ppid = ppid;  // a parent that exits hands its children on
    return *known;
  }
  if (_connector < 0) trimGuesses();
  Entry& entry = _entries[pid];
  entry = Entry{};
  entry.ppid = ppid;
  entry.startTime = startTime;
  entry.checked = now;
  // With the connector, its exit will be reported like any other process's.
  entry.exact = _connector >= 0;
  entry.program = programAt(pid);
  return entry;
}

std::shared_ptr<const ProcessTable::Program> ProcessTable::programAt(pid_t pid) {
  auto program = std::make_shared<Program>();
  program->path = _api.readLink("/proc/" + std::to_string(pid) + "/exe").value_or("");
  struct stat status {};
  program->platform = !program->path.empty() && _api.stat(program->path, &status) == 0 &&
                      isPlatformExecutable(program->path, status.st_uid, status.st_mode);
  return program;
}

void ProcessTable::trimGuesses() {
  if (_entries.size() < kMaxGuesses) return;
  const Clock::TimePoint now = _clock.now();
  std::erase_if(_entries, [&](const auto& entry) {
    return !entry.second.exact && now - entry.second.checked > kTrustFor;
  });
  if (_entries.size() >= kMaxGuesses) {
    std::erase_if(_entries, [](const auto& entry) { return !entry.second.exact; });
  }
}

void ProcessTable::execOpened(pid_t pid, const std::string& path, const struct stat& status,
                              Image image) {
  auto found = _entries.find(pid);
  Entry& entry = found != _entries.end() ? found->second : readProc(pid, nullptr);
  if (!entry.inExec) {
    auto program = std::make_shared<Program>();
    program->path = path;
    program->platform = isPlatformExecutable(path, status.st_uid, status.st_mode);
    entry.program = std::move(program);
  }
  // A script's interpreter may itself need the loader: the exec goes on until an image that
  // hands over to nothing.
  entry.inExec = image == Image::HandsOver;
}

void ProcessTable::opened(pid_t pid) {
  auto found = _entries.find(pid);
  if (found != _entries.end()) found->second.inExec = false;
}

ProcessTable::Process ProcessTable::lookup(pid_t pid) {
  auto found = _entries.find(pid);
  Entry* entry = found != _entries.end() ? &found->second : nullptr;
  if (!entry || (!entry->exact && _clock.now() - entry->checked >= kTrustFor)) {
    ++_procReads;
    entry = &readProc(pid, entry);
  }
  if (!entry->program) {
    // Forked by a process the table did not know: ask /proc while it still runs.
    entry->program = entry->exitedAt == 0 ? programAt(pid) : _unknown;
  }
  Process process;
  process.ppid = entry->ppid;
  process.program = entry->program;
  auto parentOf = [&](pid_t child) -> pid_t {
    if (child <= 0) return 0;
    auto up = _entries.find(child);
    return up == _entries.end() || up->second.ppid == child ? 0 : up->second.ppid;
  };
  process.grandparent = parentOf(process.ppid);
  process.greatGrandparent = parentOf(process.grandparent);
  return process;
}

ProcessTable::Counts ProcessTable::counts() const {
  return {_entries.size(), _received, _losses, _procReads, _connector >= 0};
}

}  // namespace zorva
