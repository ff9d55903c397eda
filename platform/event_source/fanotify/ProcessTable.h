#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/ProcessConnector.h"

namespace zorva {

// Who acted, for every file event: each process's parent as it was forked, its ancestors, and
// the program it runs. The kernel tells as it happens: forks and exits from the process connector,
// and the program from the descriptor of the open-for-execution that fanotify reports, which
// names the program even when the process is gone by the time its events are read. The table is
// seeded from /proc once, for the processes that were already running.
//
// Process events and file events come through two channels. Every process's fork reaches the
// connector before its first file event can happen, so reading the connector after each batch of
// file events makes the table complete for that batch; events sent after the batch was read are
// held back (they carry the kernel's time) so that a process id ended and given to a new process
// meanwhile still names the old one for the old one's events. An exited process is forgotten only
// once every file event read before its exit has been handled.
//
// Without the connector (no permission, a kernel built without it), or for processes it missed
// because messages were lost, answers come from /proc as they are asked for: the parent from
// /proc/<pid>/stat and the program from /proc/<pid>/exe, trusted for a second and kept per process
// id and start time. That is slower, and wrong for a process that has already exited.
//
// Used on the event source's reader thread only.
class ProcessTable {
 public:
  struct Program {
    std::string path;  // empty when not known
    bool platform = false;
  };
  struct Process {
    pid_t ppid = 0;
    pid_t grandparent = 0;                   // 0 when not known
    pid_t greatGrandparent = 0;              // 0 when not known
    std::shared_ptr<const Program> program;  // never null
  };

  // How an open-for-execution goes on: most programs name a loader, and scripts an interpreter,
  // which the kernel opens for execution next, as part of the same exec.
  enum class Image : uint8_t { Complete, HandsOver };

  ProcessTable(FanotifyApi& api, Clock& clock);
  ~ProcessTable();
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Subscribes to the process connector and reads /proc for the processes running now. Call once
  // the filesystems are marked, so a program started after the reading is seen by its exec.
  void start();
  // The connector's socket, to wait on; -1 when there is none.
  int connectorFd() const { return _connector; }

  // Reads what the connector has sent, without waiting. Called whenever its socket is readable
  // and after each read of file events.
  void receive();
  // Applies the process events the kernel sent up to `timeNs`: called with the time just after a
  // batch of file events was read, before the batch is handled.
  void advanceTo(uint64_t timeNs);
  // Every file event that happened before `timeNs` has been handled: what was held back up to
  // then is applied, and processes that exited before then are forgotten.
  void settle(uint64_t timeNs);

  // A process opened a file for execution. The first such open of an exec is its program; the
  // loader or interpreter it hands over to comes next, and is not.
  void execOpened(pid_t pid, const std::string& path, const struct stat& status, Image image);
  // A process opened a file, not for execution: an exec it makes later is a new program.
  void opened(pid_t pid);

  Process lookup(pid_t pid);

  // What the connector has done, for tests, benchmarks and status.
  struct Counts {
    size_t processes = 0;    // in the table now
    uint64_t received = 0;   // process events applied
    uint64_t losses = 0;     // times the connector said messages were lost
    uint64_t procReads = 0;  // processes looked up in /proc after start-up
    bool connected = false;
  };
  Counts counts() const;

  // Reads enough of an executable through `fd` to tell whether it hands over to a loader or an
  // interpreter.
  static Image imageOf(FanotifyApi& api, int fd);
  // The parent and start time from the text of /proc/<pid>/stat.
  static bool parseStat(const std::string& text, pid_t* ppid, uint64_t* startTime);

 private:
  struct Entry {
    pid_t ppid = 0;
    std::shared_ptr<const Program> program;  // shared with the children that did not exec
    uint64_t exitedAt = 0;                   // CLOCK_MONOTONIC of the exit; 0 while it runs
    // Entries read from /proc without the connector are checked again after a while.
    bool exact = false;
    uint64_t startTime = 0;
    Clock::TimePoint checked{};
    bool inExec = false;  // its program was named; its loader or interpreter may come next
  };

  void apply(const ProcessEvent& event);
  Entry& readProc(pid_t pid, Entry* known);
  std::shared_ptr<const Program> programAt(pid_t pid);
  void seed();
  void resync(uint64_t timeNs);
  void trimGuesses();

  FanotifyApi& _api;
  Clock& _clock;
  int _connector = -1;
  std::unordered_map<pid_t, Entry> _entries;
  std::deque<ProcessEvent> _held;  // received, not yet applied, in the kernel's order
  std::deque<std::pair<uint64_t, pid_t>> _exits;  // exit times, oldest first
  std::vector<ProcessEvent> _decoded;
  std::vector<std::byte> _buffer;
  uint64_t _seededAt = 0;
  bool _lostSinceResync = false;
  uint64_t _lastResyncNs = 0;
  uint64_t _received = 0;
  uint64_t _losses = 0;
  uint64_t _procReads = 0;
  uint64_t _malformed = 0;
  const std::shared_ptr<const Program> _unknown = std::make_shared<const Program>();
};

}  // namespace zorva
