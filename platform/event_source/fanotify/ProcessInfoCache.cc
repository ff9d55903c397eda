#include "platform/event_source/fanotify/ProcessInfoCache.h"

#include <charconv>
#include <string_view>

#include "platform/event_source/PlatformExecutable.h"

namespace zorva {
namespace {

constexpr auto kTrustFor = std::chrono::seconds(1);
constexpr size_t kMaxEntries = 8192;

}  // namespace

bool ProcessInfoCache::parseStat(const std::string& text, pid_t* ppid, uint64_t* startTime) {
  // "pid (comm) state ppid ...": the name may hold spaces and parentheses, so fields are counted
  // from the last ")".
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::string_view rest = std::string_view(text).substr(close + 1);
  bool haveParent = false;
  for (int field = 3; field <= 22; ++field) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return false;
    rest.remove_prefix(start);
    size_t end = rest.find(' ');
    std::string_view value = rest.substr(0, end);
    if (field == 4) {
      haveParent =
          std::from_chars(value.data(), value.data() + value.size(), *ppid).ec == std::errc();
    } else if (field == 22) {
      return haveParent &&
             std::from_chars(value.data(), value.data() + value.size(), *startTime).ec ==
                 std::errc();
    }
    if (end == std::string_view::npos) return false;
    rest.remove_prefix(end);
  }
  return false;
}

void ProcessInfoCache::readExecutable(pid_t pid, Info* info) {
  info->executable = api_.readLink("/proc/" + std::to_string(pid) + "/exe").value_or("");
  struct stat status {};
  info->platform = !info->executable.empty() && api_.stat(info->executable, &status) == 0 &&
                   isPlatformExecutable(info->executable, status.st_uid, status.st_mode);
}

void ProcessInfoCache::trim(Clock::TimePoint now) {
  if (entries_.size() < kMaxEntries) return;
  std::erase_if(entries_,
                [&](const auto& entry) { return now - entry.second.checked > kTrustFor; });
  if (entries_.size() >= kMaxEntries) entries_.clear();  // a fork storm: start over
}

const ProcessInfoCache::Info& ProcessInfoCache::lookup(pid_t pid) {
  const Clock::TimePoint now = clock_.now();
  auto found = entries_.find(pid);
  if (found != entries_.end() && now - found->second.checked < kTrustFor) return found->second.info;

  pid_t ppid = 0;
  uint64_t startTime = 0;
  std::optional<std::string> stat = api_.readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat || !parseStat(*stat, &ppid, &startTime)) {
    if (found != entries_.end()) {
      found->second.checked = now;  // gone: keep what was learned while it lived
      return found->second.info;
    }
    trim(now);
    Entry& entry = entries_[pid];
    entry.info = Info{pid, "", false};
    entry.checked = now;
    return entry.info;
  }
  if (found != entries_.end() && found->second.startTime == startTime) {
    found->second.checked = now;
    found->second.info.ppid = ppid;  // a parent that exits hands its children on
    return found->second.info;
  }
  trim(now);
  Entry& entry = entries_[pid];
  entry.startTime = startTime;
  entry.checked = now;
  entry.info.ppid = ppid;
  readExecutable(pid, &entry.info);
  return entry.info;
}

}  // namespace zorva
