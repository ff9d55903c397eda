#pragma once

#include <sys/types.h>

#include <string>
#include <unordered_map>

#include "platform/dispatch/Clock.h"
#include "platform/event_source/fanotify/FanotifyApi.h"

namespace zorva {

// What the event source learns of an acting process from /proc: its parent and its executable.
//
// A busy machine cannot pay a /proc read per event, so answers are kept per process id and
// trusted for a second; after that one read of /proc/<pid>/stat checks the start time, and the
// executable is read again only when the process id now belongs to another process. An exec keeps
// the process id and start time, so the source calls forget() when a process opens a file for
// execution.
class ProcessInfoCache {
 public:
  struct Info {
    pid_t ppid = 0;
    std::string executable;  // empty when it could not be read
    bool platform = false;
  };

  ProcessInfoCache(FanotifyApi& api, Clock& clock) : api_(api), clock_(clock) {}

  // A process already gone is described by what was learned before, or else by its own id as
  // its parent (so its events are grouped with nobody else's) and no executable.
  const Info& lookup(pid_t pid);
  void forget(pid_t pid) { entries_.erase(pid); }
  size_t size() const { return entries_.size(); }

  // The parent and start time from the text of /proc/<pid>/stat.
  static bool parseStat(const std::string& text, pid_t* ppid, uint64_t* startTime);

 private:
  struct Entry {
    Info info;
    uint64_t startTime = 0;
    Clock::TimePoint checked;
  };

  void readExecutable(pid_t pid, Info* info);
  void trim(Clock::TimePoint now);

  FanotifyApi& api_;
  Clock& clock_;
  std::unordered_map<pid_t, Entry> entries_;
};

}  // namespace zorva
