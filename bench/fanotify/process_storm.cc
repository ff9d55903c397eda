// A fork/exec storm against the fanotify source's process table: what following every process
// costs the source's reader and the programs that fork, and whether the file events of processes
// that live a fraction of a millisecond still name their parent and program.
//
//   sudo fanotify_process_storm [RATE=10000] [SECONDS=10]
//
// A driver process (this program again, started afresh for each storm) forks RATE children a
// second for SECONDS seconds. Nine in ten open, read and close a 100-byte probe file and leave at
// once; the tenth runs cat on the probe, with its output thrown away. The storm runs twice: first
// with nothing listening (the baseline: the rate the driver reaches, its wall time, and the CPU it
// and its children use), then with a FanotifyEventSource subscribed as the service subscribes,
// whose handler notes the acting process of every open of the probe.
//
// Prints readable text and one line of key=value pairs that starts with "storm ". Exits 0 once it
// has run, whatever the figures, and 1 when it cannot run (not root, no fanotify).

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/RealClock.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/FanotifyEventSource.h"
#include "platform/log/LogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

constexpr size_t kProbeSize = 100;
constexpr uint64_t kTenthOfASecondNs = 100'000'000;
// Delivery is over once the probe's opens stop coming for this long, or this long after the storm.
constexpr uint64_t kQuietNs = 1'000'000'000;
constexpr uint64_t kDeliveryLimitNs = 30'000'000'000;
constexpr size_t kExamples = 5;

// The types the service subscribes to, so that the source marks what it marks in production.
constexpr es_event_type_t kSubscriptions[] = {
    ES_EVENT_TYPE_NOTIFY_TRUNCATE, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_LINK,
    ES_EVENT_TYPE_NOTIFY_OPEN,     ES_EVENT_TYPE_NOTIFY_CLOSE,  ES_EVENT_TYPE_NOTIFY_CLONE,
    ES_EVENT_TYPE_NOTIFY_COPYFILE, ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA,
};

// The kernel's process events and the source's delivery times are on this clock.
uint64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t cpuUsOf(const rusage& usage) {
  return static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1'000'000 +
         static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Every thread of this process; with the storm in other processes, that is the source's reader.
uint64_t ownCpuUs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return cpuUsOf(usage);
}

std::string grouped(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

double ratio(double value, double baseline) { return baseline > 0 ? value / baseline : 0; }

// Thrown rather than exiting, so the scratch folder and the source are cleaned up on the way out.
struct CannotRun : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message) { throw CannotRun(message); }

enum class Kind : uint8_t { Plain, Exec };

struct Forked {
  pid_t pid;
  Kind kind;
  uint64_t forkedNs;  // just before the fork
};

// Written by the driver into memory shared with this process, read once it has exited.
struct DriverReport {
  uint64_t forks = 0;
  uint64_t plain = 0;
  uint64_t exec = 0;
  uint64_t forkFailures = 0;
  uint64_t childFailures = 0;  // children that did not exit 0: an unreadable probe, a failed exec
  uint64_t startNs = 0;
  uint64_t forkingEndNs = 0;
  uint64_t endNs = 0;      // every child reaped
  uint64_t mostAlive = 0;  // forked and not yet reaped, at the most
  int firstForkError = 0;
  uint64_t driverCpuUs = 0;    // the driver itself: forking and reaping
  uint64_t childrenCpuUs = 0;  // its children, from their start to their exit
};

struct Plan {
  double rate = 0;
  double seconds = 0;
  uint64_t total = 0;
  std::string probe;
  std::string cat;  // as found in PATH, to execute
  int devNull = -1;
};

// The driver's report and the children it made, in a memory file that the driver maps again
// after it has run this program afresh.
class SharedRecord {
 public:
  // Made by the benchmark.
  explicit SharedRecord(uint64_t capacity)
      : _capacity(capacity), _bytes(sizeof(DriverReport) + capacity * sizeof(Forked)) {
    _fd = memfd_create("zorva-storm", MFD_CLOEXEC);
    if (_fd < 0 || ftruncate(_fd, static_cast<off_t>(_bytes)) != 0) {
      fail(std::string("memfd: ") + std::strerror(errno));
    }
    map();
  }
  // Mapped by the driver; null memory when it cannot be.
  SharedRecord(int fd, uint64_t capacity)
      : _capacity(capacity), _bytes(sizeof(DriverReport) + capacity * sizeof(Forked)), _fd(fd) {
    void* memory = mmap(nullptr, _bytes, PROT_READ | PROT_WRITE, MAP_SHARED, _fd, 0);
    _memory = memory == MAP_FAILED ? nullptr : memory;
  }
  ~SharedRecord() {
    if (_memory) munmap(_memory, _bytes);
    close(_fd);
  }
  SharedRecord(const SharedRecord&) = delete;
  SharedRecord& operator=(const SharedRecord&) = delete;

  bool mapped() const { return _memory != nullptr; }
  int fd() const { return _fd; }
  DriverReport& report() { return *static_cast<DriverReport*>(_memory); }
  Forked* forked() {
    return reinterpret_cast<Forked*>(static_cast<char*>(_memory) + sizeof(DriverReport));
  }
  uint64_t capacity() const { return _capacity; }
  void clear() { new (&report()) DriverReport(); }

 private:
  void map() {
    void* memory = mmap(nullptr, _bytes, PROT_READ | PROT_WRITE, MAP_SHARED, _fd, 0);
    if (memory == MAP_FAILED) fail(std::string("mmap: ") + std::strerror(errno));
    _memory = memory;
  }

  uint64_t _capacity;
  size_t _bytes;
  int _fd = -1;
  void* _memory = nullptr;
};

[[noreturn]] void child(const Plan& plan, char* const* catArgv, Kind kind) {
  if (kind == Kind::Exec) {
    if (dup2(plan.devNull, STDOUT_FILENO) < 0) _exit(126);
    execv(plan.cat.c_str(), catArgv);
    _exit(127);
  }
  int fd = open(plan.probe.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) _exit(1);
  char buffer[kProbeSize * 2];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  close(fd);
  _exit(got == static_cast<ssize_t>(kProbeSize) ? 0 : 1);
}

// Forks on a schedule (child i at i / RATE seconds), catching up at once when behind, and stops
// at SECONDS whether or not the schedule was kept.
void drive(const Plan& plan, SharedRecord& shared) {
  std::string catName = plan.cat;
  std::string probe = plan.probe;
  char* const catArgv[] = {catName.data(), probe.data(), nullptr};
  DriverReport& report = shared.report();
  Forked* forked = shared.forked();
  const uint64_t total = std::min(plan.total, shared.capacity());
  const double nsPerChild = 1e9 / plan.rate;
  const uint64_t start = monotonicNs();
  const uint64_t stopAt = start + static_cast<uint64_t>(plan.seconds * 1e9);
  report.startNs = start;
  uint64_t made = 0;
  uint64_t reaped = 0;
  auto reapOne = [&](int flags) {
    int status = 0;
    if (waitpid(-1, &status, flags) <= 0) return false;
    ++reaped;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++report.childFailures;
    return true;
  };

  while (made < total) {
    const uint64_t now = monotonicNs();
    if (now >= stopAt) break;
    const uint64_t due =
        std::min(total, static_cast<uint64_t>(static_cast<double>(now - start) / nsPerChild) + 1);
    while (made < due) {
      const Kind kind = made % 10 == 9 ? Kind::Exec : Kind::Plain;
      const uint64_t at = monotonicNs();
      if (at >= stopAt) break;
      const pid_t pid = fork();
      if (pid == 0) child(plan, catArgv, kind);
      if (pid < 0) {
        if (report.forkFailures++ == 0) report.firstForkError = errno;
        // Out of processes or memory: wait for one to end rather than spin.
        reapOne(0);
        break;
      }
      forked[made] = Forked{pid, kind, at};
      ++made;
      ++(kind == Kind::Exec ? report.exec : report.plain);
      report.mostAlive = std::max(report.mostAlive, made - reaped);
      // Reaped as they go, so a driver that is behind does not pile up zombies while it catches
      // up.
      while (reapOne(WNOHANG)) {
      }
    }
    if (made < total) {
      const uint64_t next =
          std::min(stopAt, start + static_cast<uint64_t>(static_cast<double>(made) * nsPerChild));
      if (next > monotonicNs()) {
        timespec until{static_cast<time_t>(next / 1'000'000'000),
                       static_cast<long>(next % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
      }
    }
  }
  report.forks = made;
  report.forkingEndNs = monotonicNs();
  while (reapOne(0)) {
  }
  report.endNs = monotonicNs();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  report.driverCpuUs = cpuUsOf(usage);
  getrusage(RUSAGE_CHILDREN, &usage);
  report.childrenCpuUs = cpuUsOf(usage);
}

// The driver: this program run afresh by a child of the benchmark, so that both storms fork from
// the same small, single-threaded process, whatever threads and memory the benchmark has by then.
//
//   fanotify_process_storm --driver RATE SECONDS TOTAL PROBE CAT RECORD_FD GO_FD READY_FD NULL_FD
int driverMain(int argc, char** argv) {
  if (argc != 11) return 2;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == 1) return 1;
  // 100 µs between forks at the default rate: the default 50 µs of timer slack would show.
  prctl(PR_SET_TIMERSLACK, 1UL);
  // The benchmark may be pinned to the listener's CPU; the storm gets every CPU.
  cpu_set_t every;
  CPU_ZERO(&every);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &every);
  sched_setaffinity(0, sizeof every, &every);

  Plan plan;
  plan.rate = std::strtod(argv[2], nullptr);
  plan.seconds = std::strtod(argv[3], nullptr);
  plan.total = std::strtoull(argv[4], nullptr, 10);
  plan.probe = argv[5];
  plan.cat = argv[6];
  const int recordFd = std::atoi(argv[7]);
  const int goFd = std::atoi(argv[8]);
  const int readyFd = std::atoi(argv[9]);
  plan.devNull = std::atoi(argv[10]);
  // Handed over open; cat is to get none of them.
  for (int fd : {recordFd, goFd, readyFd, plan.devNull}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (!(plan.rate > 0) || !(plan.seconds > 0)) return 2;
  SharedRecord shared(recordFd, plan.total);
  if (!shared.mapped()) return 1;

  const char ready = 1;
  char go = 0;
  if (write(readyFd, &ready, 1) != 1 || read(goFd, &go, 1) != 1) return 1;
  close(readyFd);
  close(goFd);
  drive(plan, shared);
  return 0;
}

struct StormRun {
  pid_t driver = 0;
  DriverReport report;
  std::vector<Forked> forked;
  uint64_t stormCpuUs = 0;  // the driver and every child it reaped
  double rate = 0;          // children made per second of the storm
  double wallMs = 0;        // from the first fork to the last child reaped
};

// Starts the driver, calls `ready` with its pid once it waits for the start, starts it, and calls
// `tick` every 100 ms until it has exited.
template <class Ready, class Tick>
StormRun runStorm(const std::string& self, const Plan& plan, SharedRecord& shared, Ready ready,
                  Tick tick) {
  shared.clear();
  int go[2];
  int readyPipe[2];
  if (pipe2(go, O_CLOEXEC) != 0 || pipe2(readyPipe, O_CLOEXEC) != 0) {
    fail(std::string("pipe: ") + std::strerror(errno));
  }
  // Built before the fork: the child of a threaded process must not allocate, as another thread
  // may have held the allocator's lock.
  std::vector<std::string> args = {self,
                                   "--driver",
                                   std::to_string(plan.rate),
                                   std::to_string(plan.seconds),
                                   std::to_string(plan.total),
                                   plan.probe,
                                   plan.cat,
                                   std::to_string(shared.fd()),
                                   std::to_string(go[0]),
                                   std::to_string(readyPipe[1]),
                                   std::to_string(plan.devNull)};
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t driver = fork();
  if (driver < 0) fail(std::string("fork: ") + std::strerror(errno));
  if (driver == 0) {
    for (int fd : {shared.fd(), go[0], readyPipe[1], plan.devNull}) fcntl(fd, F_SETFD, 0);
    execv(self.c_str(), argv.data());
    _exit(127);
  }
  close(go[0]);
  close(readyPipe[1]);
  auto stop = [&](const std::string& why) {
    kill(driver, SIGKILL);
    waitpid(driver, nullptr, 0);
    close(go[1]);
    close(readyPipe[0]);
    fail(why);
  };
  pollfd waiting{readyPipe[0], POLLIN, 0};
  char byte = 0;
  if (poll(&waiting, 1, 10'000) != 1 || read(readyPipe[0], &byte, 1) != 1) {
    stop("the storm's driver did not start");
  }
  close(readyPipe[0]);
  ready(driver);
  const char start = 1;
  if (write(go[1], &start, 1) != 1)
    stop(std::string("cannot start the driver: ") + std::strerror(errno));
  close(go[1]);

  StormRun run;
  run.driver = driver;
  const uint64_t limit =
      monotonicNs() + static_cast<uint64_t>(plan.seconds * 1e9) + 120'000'000'000;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(driver, &status, WNOHANG, &usage);
    if (done == driver) break;
    if (done < 0 && errno != EINTR) fail(std::string("wait4: ") + std::strerror(errno));
    if (monotonicNs() > limit) {
      kill(driver, SIGKILL);
      fail("the driver did not finish within two minutes of the storm's end");
    }
    timespec pause{0, static_cast<long>(kTenthOfASecondNs)};
    nanosleep(&pause, nullptr);
    tick();
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("the storm's driver failed");
  run.report = shared.report();
  run.forked.assign(shared.forked(), shared.forked() + run.report.forks);
  run.stormCpuUs = cpuUsOf(usage);
  const double seconds = std::max(
      plan.seconds, static_cast<double>(run.report.forkingEndNs - run.report.startNs) / 1e9);
  run.rate = static_cast<double>(run.report.forks) / seconds;
  run.wallMs = static_cast<double>(run.report.endNs - run.report.startNs) / 1e6;
  return run;
}

// What the source said about one open of the probe. The executable is kept as an index: 0 this
// program, 1 cat, 2 and up the other paths seen, in `others`.
struct ProbeOpen {
  pid_t pid;
  pid_t ppid;
  pid_t grandparent;
  uint16_t executable;
  uint64_t deliveredNs;
};

// Runs on the source's reader thread, so it compares and appends and nothing more.
class ProbeRecorder {
 public:
  static constexpr uint16_t kSelf = 0;
  static constexpr uint16_t kCat = 1;
  static constexpr size_t kMostOthers = 64;

  ProbeRecorder(std::string probe, std::string self, std::string cat, size_t capacity)
      : _probe(std::move(probe)), _self(std::move(self)), _cat(std::move(cat)) {
    _opens.reserve(capacity);
  }

  void onMessage(const es_message_t& message) {
    _messages.store(_messages.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (message.event_type != ES_EVENT_TYPE_NOTIFY_OPEN || !message.event.open.file) return;
    const es_string_token_t& path = message.event.open.file->path;
    if (std::string_view(path.data, path.length) != _probe) return;
    const es_process_t& process = *message.process;
    std::string_view executable;
    if (process.executable && process.executable->path.data) {
      executable = std::string_view(process.executable->path.data, process.executable->path.length);
    }
    const uint64_t now = monotonicNs();
    std::lock_guard lock(_mutex);
    uint16_t index = executable == _self ? kSelf : executable == _cat ? kCat : other(executable);
    if (_opens.size() < _opens.capacity()) {
      _opens.push_back({process.pid, process.ppid, process.grandparent, index, now});
    } else {
      ++_dropped;
    }
    _seen.store(_seen.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  uint64_t seen() const { return _seen.load(std::memory_order_relaxed); }
  uint64_t messages() const { return _messages.load(std::memory_order_relaxed); }

  // Once the source is gone.
  const std::vector<ProbeOpen>& opens() const { return _opens; }
  uint64_t dropped() const { return _dropped; }
  std::string executable(uint16_t index) const {
    if (index == kSelf) return _self;
    if (index == kCat) return _cat;
    if (index - 2u < _others.size()) return _others[index - 2u];
    return "(one of many other programs)";
  }

 private:
  uint16_t other(std::string_view executable) {
    for (size_t i = 0; i < _others.size(); ++i) {
      if (_others[i] == executable) return static_cast<uint16_t>(i + 2);
    }
    if (_others.size() >= kMostOthers) return UINT16_MAX;
    _others.emplace_back(executable);
    return static_cast<uint16_t>(_others.size() + 1);
  }

  const std::string _probe;
  const std::string _self;
  const std::string _cat;
  std::atomic<uint64_t> _messages{0};
  std::atomic<uint64_t> _seen{0};
  std::mutex _mutex;
  std::vector<ProbeOpen> _opens;
  std::vector<std::string> _others;
  uint64_t _dropped = 0;
};

// The source tells of what it lost only in its log: lines are counted here and written nowhere.
class CountingLogWriter final : public LogWriter {
 public:
  bool isEnabled(LogLevel level) const override { return level != LogLevel::Console; }
  void write(LogLevel level, std::string_view line) override {
    std::lock_guard lock(_mutex);
    if (line.find("lost") != std::string_view::npos) ++_lost;
    if (level == LogLevel::Error) {
      ++_errors;
      if (_firstErrors.size() < kExamples) _firstErrors.emplace_back(line);
    }
  }
  uint64_t lost() const {
    std::lock_guard lock(_mutex);
    return _lost;
  }
  uint64_t errors() const {
    std::lock_guard lock(_mutex);
    return _errors;
  }
  std::vector<std::string> firstErrors() const {
    std::lock_guard lock(_mutex);
    return _firstErrors;
  }

 private:
  mutable std::mutex _mutex;
  uint64_t _lost = 0;
  uint64_t _errors = 0;
  std::vector<std::string> _firstErrors;
};

CountingLogWriter logLines;

std::string findInPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path && *path ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    std::string directory(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (directory.empty()) continue;
    std::string candidate = directory.append("/").append(program);
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool parsePositive(const char* text, double most, double* value) {
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(parsed > 0) || parsed > most) return false;
  *value = parsed;
  return true;
}

struct Lineage {
  uint64_t expected = 0;    // children that opened the probe: every one
  uint64_t matched = 0;     // opens attributed to a child of the storm
  uint64_t unmatched = 0;   // opens by no child, or more than a child made
  uint64_t outOfOrder = 0;  // attributed to a child forked after the open was delivered
  uint64_t wrongPpid = 0;
  uint64_t wrongExecutable = 0;
  uint64_t wrongGrandparent = 0;
  uint64_t wrongExecutableOfKind[2] = {0, 0};
  uint64_t pidReuses = 0;  // children given the id of an earlier child of the same storm
  std::vector<std::string> examples;
};

// Process ids come round again within the storm (pid_max is often 32,768), so an open is matched to
// a child by order: the n-th open by an id is the n-th child forked under it. The kernel queues a
// child's open before that child exits, hence before the next process under its id can exist.
Lineage checkLineage(const StormRun& run, const ProbeRecorder& recorder, pid_t benchmark) {
  Lineage lineage;
  lineage.expected = run.report.forks;
  std::unordered_map<pid_t, std::vector<uint32_t>> byPid;
  byPid.reserve(run.forked.size());
  for (uint32_t i = 0; i < run.forked.size(); ++i) {
    std::vector<uint32_t>& children = byPid[run.forked[i].pid];
    if (!children.empty()) ++lineage.pidReuses;
    children.push_back(i);
  }
  std::unordered_map<pid_t, size_t> next;
  size_t ppidExamples = 0;
  size_t executableExamples = 0;
  for (const ProbeOpen& open : recorder.opens()) {
    auto children = byPid.find(open.pid);
    size_t& cursor = next[open.pid];
    if (children == byPid.end() || cursor >= children->second.size()) {
      ++lineage.unmatched;
      continue;
    }
    const Forked& forked = run.forked[children->second[cursor++]];
    ++lineage.matched;
    if (open.deliveredNs < forked.forkedNs) ++lineage.outOfOrder;
    const char* kind = forked.kind == Kind::Exec ? "cat" : "forked only";
    const uint16_t want = forked.kind == Kind::Exec ? ProbeRecorder::kCat : ProbeRecorder::kSelf;
    if (open.ppid != run.driver) {
      ++lineage.wrongPpid;
      if (ppidExamples++ < kExamples) {
        lineage.examples.push_back("pid " + std::to_string(open.pid) + " (" + kind + "): ppid " +
                                   std::to_string(open.ppid) + ", expected " +
                                   std::to_string(run.driver) + " (the driver); executable '" +
                                   recorder.executable(open.executable) + "'");
      }
    }
    if (open.executable != want) {
      ++lineage.wrongExecutable;
      ++lineage.wrongExecutableOfKind[forked.kind == Kind::Exec ? 1 : 0];
      if (executableExamples++ < kExamples) {
        lineage.examples.push_back("pid " + std::to_string(open.pid) + " (" + kind +
                                   "): executable '" + recorder.executable(open.executable) +
                                   "', expected '" + recorder.executable(want) + "'; ppid " +
                                   std::to_string(open.ppid));
      }
    }
    if (open.grandparent != benchmark) ++lineage.wrongGrandparent;
  }
  return lineage;
}

std::string describe(const StormRun& run) {
  const double forks = static_cast<double>(run.report.forks);
  char line[640];
  int length = std::snprintf(
      line, sizeof line,
      "%s processes (%s forked only, %s cat) = %.0f/s; driver wall %.3f s (%.0f processes/s "
      "through to the last one reaped), at most %s not yet reaped\n"
      "    CPU of the driver and its children %.3f s = %.1f µs per process (the driver's own "
      "forking and reaping %.1f µs, the child's %.1f µs)",
      grouped(run.report.forks).c_str(), grouped(run.report.plain).c_str(),
      grouped(run.report.exec).c_str(), run.rate, run.wallMs / 1e3, ratio(forks, run.wallMs / 1e3),
      grouped(run.report.mostAlive).c_str(), static_cast<double>(run.stormCpuUs) / 1e6,
      ratio(static_cast<double>(run.stormCpuUs), forks),
      ratio(static_cast<double>(run.report.driverCpuUs), forks),
      ratio(static_cast<double>(run.report.childrenCpuUs), forks));
  if (run.report.forkFailures + run.report.childFailures > 0 && length > 0 &&
      static_cast<size_t>(length) < sizeof line) {
    std::snprintf(line + length, sizeof line - static_cast<size_t>(length),
                  "\n    %s forks failed (first: %s), %s children did not exit 0",
                  grouped(run.report.forkFailures).c_str(),
                  run.report.forkFailures > 0 ? std::strerror(run.report.firstForkError) : "-",
                  grouped(run.report.childFailures).c_str());
  }
  return line;
}

int runBenchmark(int argc, char** argv) {
  if (argc > 3) {
    std::fprintf(stderr, "usage: %s [RATE=10000] [SECONDS=10]\n", argv[0]);
    return 2;
  }
  Plan plan;
  plan.rate = 10000;
  plan.seconds = 10;
  if ((argc > 1 && !parsePositive(argv[1], 1e6, &plan.rate)) ||
      (argc > 2 && !parsePositive(argv[2], 3600, &plan.seconds))) {
    std::fprintf(stderr,
                 "usage: %s [RATE=10000] [SECONDS=10]: positive numbers, RATE <= 10^6, "
                 "SECONDS <= 3600\n",
                 argv[0]);
    return 2;
  }
  if (geteuid() != 0) fail("must be run as root (fanotify and the kernel's process events)");
  SystemFanotifyApi api;
  // Before the baseline, so that a machine without fanotify is told at once.
  if (int group = api.init(FAN_CLASS_NOTIF | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC); group >= 0) {
    api.close(group);
  } else {
    fail(std::string("fanotify is not available: ") + std::strerror(errno));
  }
  plan.total = static_cast<uint64_t>(std::llround(plan.rate * plan.seconds));
  if (plan.total == 0) fail("RATE x SECONDS makes no process");

  const char* tmp = std::getenv("TMPDIR");
  TempFolder scratch("zorva-storm", tmp && *tmp ? tmp : "/tmp");
  const std::string folder = std::filesystem::canonical(scratch.path()).string();
  plan.probe = folder + "/probe";
  {
    int fd = open(plan.probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::string bytes(kProbeSize, 'p');
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        close(fd) != 0) {
      fail("cannot write " + plan.probe + ": " + std::strerror(errno));
    }
  }
  plan.cat = findInPath("cat");
  if (plan.cat.empty()) fail("cat not found in PATH");
  std::error_code error;
  // The kernel names a program by the file behind the descriptor it opened, links resolved.
  const std::string catResolved = std::filesystem::canonical(plan.cat, error).string();
  if (error) fail("cannot resolve " + plan.cat + ": " + error.message());
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error) fail("cannot read /proc/self/exe: " + error.message());
  plan.devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (plan.devNull < 0) fail(std::string("/dev/null: ") + std::strerror(errno));
  const pid_t benchmark = getpid();

  SharedRecord shared(plan.total);
  std::printf(
      "== Process storm: %s processes/s for %g s, 9 in 10 open, read and close %s and exit,\n"
      "   1 in 10 runs %s on it (expected executable %s); pid_max ",
      grouped(static_cast<uint64_t>(plan.rate)).c_str(), plan.seconds, plan.probe.c_str(),
      plan.cat.c_str(), catResolved.c_str());
  {
    FILE* pidMax = std::fopen("/proc/sys/kernel/pid_max", "r");
    long most = 0;
    if (pidMax && std::fscanf(pidMax, "%ld", &most) == 1) {
      std::printf("%s\n", grouped(static_cast<uint64_t>(most)).c_str());
    } else {
      std::printf("unknown\n");
    }
    if (pidMax) std::fclose(pidMax);
  }

  // The baseline: the same storm with nothing listening.
  StormRun baseline = runStorm(
      self, plan, shared, [](pid_t) {}, [] {});
  std::printf("baseline, no listener: %s\n", describe(baseline).c_str());

  setLogWriter(&logLines);
  FanotifyEventSource source(api, RealClock::shared());
  ProbeRecorder recorder(plan.probe, self, catResolved,
                         static_cast<size_t>(plan.total + plan.total / 10 + 1024));
  es_client_t* client = nullptr;
  const es_new_client_result_t made = source.newClient(
      &client,
      [&recorder](es_client_t*, const es_message_t* message) { recorder.onMessage(*message); });
  if (made != ES_NEW_CLIENT_RESULT_SUCCESS) {
    std::vector<std::string> why = logLines.firstErrors();
    fail("fanotify is not available" + (why.empty() ? std::string() : ": " + why.front()));
  }
  if (source.subscribe(client, kSubscriptions, std::size(kSubscriptions)) != ES_RETURN_SUCCESS) {
    std::vector<std::string> why = logLines.firstErrors();
    fail("cannot subscribe" + (why.empty() ? std::string() : ": " + why.front()));
  }
  // The counts appear after the reader's first pass; an open of the probe wakes it (its own events
  // are muted, not unread).
  for (int attempt = 0; attempt < 500 && source.processCounts().processes == 0; ++attempt) {
    if (attempt % 50 == 0) close(open(plan.probe.c_str(), O_RDONLY | O_CLOEXEC));
    timespec pause{0, 10'000'000};
    nanosleep(&pause, nullptr);
  }
  // What the rest of the machine costs the reader, to set the storm's figures against.
  const ProcessTable::Counts idleStart = source.processCounts();
  const uint64_t idleCpu = ownCpuUs();
  const uint64_t idleStartNs = monotonicNs();
  timespec second{1, 0};
  nanosleep(&second, nullptr);
  const double idleSeconds = static_cast<double>(monotonicNs() - idleStartNs) / 1e9;
  const double idleCpuPerSecond = static_cast<double>(ownCpuUs() - idleCpu) / idleSeconds;
  const double idleEventsPerSecond =
      static_cast<double>(source.processCounts().received - idleStart.received) / idleSeconds;

  ProcessTable::Counts before;
  size_t tableMax = 0;
  uint64_t cpuStart = 0;
  auto sample = [&] { tableMax = std::max(tableMax, source.processCounts().processes); };
  StormRun storm = runStorm(
      self, plan, shared,
      [&](pid_t) {
        before = source.processCounts();
        tableMax = before.processes;
        cpuStart = ownCpuUs();
      },
      sample);
  const uint64_t cpuStorm = ownCpuUs() - cpuStart;

  // Delivered once the probe's opens stop coming; the reader's CPU is taken where they last grew.
  const uint64_t deliveryStart = monotonicNs();
  uint64_t lastSeen = recorder.seen();
  uint64_t lastGrowthNs = deliveryStart;
  uint64_t cpuDelivered = ownCpuUs() - cpuStart;
  for (;;) {
    timespec pause{0, static_cast<long>(kTenthOfASecondNs)};
    nanosleep(&pause, nullptr);
    sample();
    const uint64_t now = monotonicNs();
    const uint64_t seen = recorder.seen();
    if (seen != lastSeen) {
      lastSeen = seen;
      lastGrowthNs = now;
      cpuDelivered = ownCpuUs() - cpuStart;
    } else if (now - lastGrowthNs >= kQuietNs) {
      break;
    }
    if (now - deliveryStart >= kDeliveryLimitNs) break;
  }
  const double deliveryMs = static_cast<double>(lastGrowthNs - deliveryStart) / 1e6;
  const ProcessTable::Counts after = source.processCounts();
  source.deleteClient(client);
  close(plan.devNull);

  const Lineage lineage = checkLineage(storm, recorder, benchmark);
  const uint64_t received = after.received - before.received;
  const uint64_t losses = after.losses - before.losses;
  const uint64_t procReads = after.procReads - before.procReads;
  const double usPerEvent = ratio(static_cast<double>(cpuDelivered), static_cast<double>(received));
  const double usPerProcess =
      ratio(static_cast<double>(cpuDelivered), static_cast<double>(storm.report.forks));
  const double rateRatio = ratio(baseline.rate, storm.rate);
  const double wallRatio = ratio(storm.wallMs, baseline.wallMs);
  const double baseCpuPerProcess =
      ratio(static_cast<double>(baseline.stormCpuUs), static_cast<double>(baseline.report.forks));
  const double cpuPerProcess =
      ratio(static_cast<double>(storm.stormCpuUs), static_cast<double>(storm.report.forks));
  const uint64_t missing =
      lineage.expected > lineage.matched ? lineage.expected - lineage.matched : 0;

  std::printf("with the fanotify source: %s\n", describe(storm).c_str());
  std::printf(
      "  slowdown against the baseline: rate %.2fx, driver wall time %.2fx, CPU of the driver "
      "and children per process %.2fx\n",
      rateRatio, wallRatio, ratio(cpuPerProcess, baseCpuPerProcess));
  std::printf("  target rate %s/s %s\n", grouped(static_cast<uint64_t>(plan.rate)).c_str(),
              storm.rate >= plan.rate * 0.99 ? "reached" : "not reached");
  std::printf(
      "probe opens: expected %s, seen %s (attributed to a child %s, missing %s, by no child "
      "of the storm %s, attributed out of order %s)\n",
      grouped(lineage.expected).c_str(), grouped(recorder.seen()).c_str(),
      grouped(lineage.matched).c_str(), grouped(missing).c_str(),
      grouped(lineage.unmatched).c_str(), grouped(lineage.outOfOrder).c_str());
  std::printf(
      "  wrong ppid (not the driver %d): %s; wrong executable: %s (forked only: %s, cat: "
      "%s); wrong grandparent (not this program, %d): %s\n",
      storm.driver, grouped(lineage.wrongPpid).c_str(), grouped(lineage.wrongExecutable).c_str(),
      grouped(lineage.wrongExecutableOfKind[0]).c_str(),
      grouped(lineage.wrongExecutableOfKind[1]).c_str(), benchmark,
      grouped(lineage.wrongGrandparent).c_str());
  std::printf("  %s children had the process id of an earlier child of the storm\n",
              grouped(lineage.pidReuses).c_str());
  for (const std::string& example : lineage.examples) std::printf("    %s\n", example.c_str());
  if (recorder.dropped() > 0) {
    std::printf("  %s opens not kept (more than expected)\n", grouped(recorder.dropped()).c_str());
  }
  std::printf("process table: %s before the storm, at most %s during it, %s after; connector %s\n",
              grouped(before.processes).c_str(), grouped(tableMax).c_str(),
              grouped(after.processes).c_str(), after.connected ? "connected" : "NOT connected");
  std::printf("  process events applied %s; connector losses %s; /proc look-ups %s\n",
              grouped(received).c_str(), grouped(losses).c_str(), grouped(procReads).c_str());
  std::printf(
      "reader CPU: %.3f s from the start until the last probe open was delivered (%.0f ms "
      "after the storm), %.3f s during the storm\n",
      static_cast<double>(cpuDelivered) / 1e6, deliveryMs, static_cast<double>(cpuStorm) / 1e6);
  std::printf(
      "  %.2f µs per process event, %.2f µs per process made; before the storm the rest "
      "of the machine cost %.0f µs/s (%.0f process events/s)\n",
      usPerEvent, usPerProcess, idleCpuPerSecond, idleEventsPerSecond);
  std::printf(
      "  messages delivered to the handler: %s; log lines saying something was lost: %s "
      "(error lines %s)\n",
      grouped(recorder.messages()).c_str(), grouped(logLines.lost()).c_str(),
      grouped(logLines.errors()).c_str());
  for (const std::string& line : logLines.firstErrors()) std::printf("    %s\n", line.c_str());

  std::printf(
      "storm rate_target=%.0f seconds=%g base_forks=%lu base_rate=%.1f base_wall_ms=%.1f "
      "base_cpu_us_per_proc=%.2f forks=%lu plain=%lu exec=%lu rate=%.1f wall_ms=%.1f "
      "cpu_us_per_proc=%.2f rate_ratio=%.3f wall_ratio=%.3f proc_cpu_ratio=%.3f fork_failures=%lu "
      "child_failures=%lu expected_opens=%lu seen_opens=%lu matched=%lu missing=%lu "
      "unmatched=%lu out_of_order=%lu pid_reuses=%lu wrong_ppid=%lu wrong_exe=%lu "
      "wrong_exe_plain=%lu "
      "wrong_exe_cat=%lu wrong_gp=%lu table_before=%zu table_max=%zu table_after=%zu losses=%lu "
      "proc_reads=%lu received=%lu connected=%d reader_cpu_us=%lu reader_cpu_storm_us=%lu "
      "us_per_event=%.3f us_per_proc=%.3f idle_cpu_us_per_s=%.0f delivery_ms=%.0f messages=%lu "
      "lost_lines=%lu\n",
      plan.rate, plan.seconds, baseline.report.forks, baseline.rate, baseline.wallMs,
      baseCpuPerProcess, storm.report.forks, storm.report.plain, storm.report.exec, storm.rate,
      storm.wallMs, cpuPerProcess, rateRatio, wallRatio, ratio(cpuPerProcess, baseCpuPerProcess),
      storm.report.forkFailures + baseline.report.forkFailures,
      storm.report.childFailures + baseline.report.childFailures, lineage.expected, recorder.seen(),
      lineage.matched, missing, lineage.unmatched, lineage.outOfOrder, lineage.pidReuses,
      lineage.wrongPpid, lineage.wrongExecutable, lineage.wrongExecutableOfKind[0],
      lineage.wrongExecutableOfKind[1], lineage.wrongGrandparent, before.processes, tableMax,
      after.processes, losses, procReads, received, after.connected ? 1 : 0, cpuDelivered, cpuStorm,
      usPerEvent, usPerProcess, idleCpuPerSecond, deliveryMs, recorder.messages(), logLines.lost());
  std::fflush(stdout);
  setLogWriter(nullptr);
  return 0;
}

}  // namespace
}  // namespace zorva

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--driver") == 0) return zorva::driverMain(argc, argv);
  try {
    return zorva::runBenchmark(argc, argv);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "fanotify_process_storm: %s\n", error.what());
    return 1;
  }
}
