#include "control/zorvactl/StatusText.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zorva {

namespace {

using json = nlohmann::json;

constexpr size_t kLabelWidth = 14;

uint64_t count(const json& object, const char* key) {
  auto found = object.find(key);
  return found != object.end() && found->is_number_unsigned() ? found->get<uint64_t>() : 0;
}

std::string text(const json& object, const char* key) {
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

std::string number(uint64_t value) { return std::to_string(value); }

// "1d 2h 3m", "2h 3m 4s", "3m 4s" or "4s".
std::string duration(uint64_t seconds) {
  const uint64_t days = seconds / 86400, hours = seconds / 3600 % 24;
  const uint64_t minutes = seconds / 60 % 60, rest = seconds % 60;
  if (days > 0) return number(days) + "d " + number(hours) + "h " + number(minutes) + "m";
  if (hours > 0) return number(hours) + "h " + number(minutes) + "m " + number(rest) + "s";
  if (minutes > 0) return number(minutes) + "m " + number(rest) + "s";
  return number(rest) + "s";
}

class Lines {
 public:
  void add(const std::string& label, const std::string& value) {
    std::string line = label;
    line.resize(std::max(kLabelWidth, label.size() + 1), ' ');
    _out += line + value + "\n";
  }
  // Rows under a heading, each column as wide as its widest cell.
  void list(const std::string& heading, const std::vector<std::vector<std::string>>& rows) {
    _out += heading + "\n";
    std::vector<size_t> widths;
    for (const auto& row : rows) {
      widths.resize(std::max(widths.size(), row.size()));
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
      std::string line;
      for (size_t i = 0; i < row.size(); ++i) {
        std::string cell = row[i];
        if (i + 1 < row.size()) cell.resize(widths[i], ' ');
        line += "  " + cell;
      }
      _out += line + "\n";
    }
  }
  const std::string& text() const { return _out; }

 private:
  std::string _out;
};

}  // namespace

std::string describeStatus(const json& status) {
  Lines lines;
  const json none = json::object();
  auto section = [&](const char* key) -> const json& {
    auto found = status.find(key);
    return found != status.end() && found->is_object() ? *found : none;
  };

  lines.add("version", text(status, "version").empty() ? "(none)" : text(status, "version"));
  lines.add("uptime", duration(count(status, "uptimeSeconds")));
  if (auto key = status.find("deviceKeyHeld"); key != status.end() && key->is_boolean()) {
    lines.add("device key", key->get<bool>() ? "held" : "none");
  }
  if (const json& events = section("events"); !events.empty()) {
    const uint64_t filter = count(events, "droppedByFilter");
    const uint64_t tracker = count(events, "droppedByTracker");
    lines.add("events", number(count(events, "read")) + " read, " + number(filter + tracker) +
                            " dropped early (" + number(filter) + " by the process filter, " +
                            number(tracker) + " by the tracker)");
  }
  if (const json& transfers = section("transfers"); !transfers.empty()) {
    const uint64_t byRename = count(transfers, "byRename");
    const uint64_t byContent = count(transfers, "byContent");
    lines.add("transfers", number(byRename + byContent) + " (" + number(byRename) + " by rename, " +
                               number(byContent) + " by content), " +
                               number(count(transfers, "comparisons")) + " comparisons");
  }
  if (const json& audit = section("audit"); !audit.empty()) {
    std::string waiting = number(count(audit, "waiting")) + " waiting";
    if (!text(audit, "oldestWaitingSince").empty()) {
      waiting += ", the oldest since " + text(audit, "oldestWaitingSince") + " (" +
                 duration(count(audit, "oldestWaitingSeconds")) + ")";
    }
    lines.add("audit events", waiting);
    auto upload = audit.find("lastUpload");
    if (upload != audit.end() && upload->is_object()) {
      std::string result = text(*upload, "result");
      if (result != "accepted" && count(*upload, "status") > 0) {
        result += " (status " + number(count(*upload, "status")) + ")";
      }
      lines.add("", "last upload " + text(*upload, "at") + ": " + result);
    } else {
      lines.add("", "no upload yet");
    }
    lines.add("", number(count(audit, "droppedByCap")) + " dropped at the cap, " +
                      number(count(audit, "droppedRefused")) + " refused by the backend");
  }
  if (const json& telemetry = section("telemetry"); !telemetry.empty()) {
    lines.add("telemetry", number(count(telemetry, "eventsWaiting")) + " events, " +
                               number(count(telemetry, "logLinesWaiting")) + " log lines waiting");
  }
  if (const json& kernel = section("kernel"); !kernel.empty()) {
    lines.add("kernel", number(count(kernel, "queueOverflows")) + " queue overflows, " +
                            number(count(kernel, "processTableLosses")) +
                            " process-table losses, " + number(count(kernel, "staleHandles")) +
                            " stale handles");
  }
  if (auto volumes = status.find("volumes"); volumes != status.end() && volumes->is_array()) {
    std::vector<std::vector<std::string>> rows;
    for (const json& volume : *volumes) {
      std::string notify = volume.value("notify", false) ? "notifications on" : "notifications off";
      auto listener = volume.find("listener");
      if (volume.value("notify", false) && listener != volume.end()) {
        notify += listener->is_string() ? ", told to " + listener->get<std::string>()
                                        : ", no client listening";
      }
      rows.push_back(
          {std::to_string(volume.value("id", int64_t{0})), text(volume, "path"), notify});
    }
    if (rows.empty()) rows.push_back({"(none registered)"});
    lines.list("volumes", rows);
  }
  if (auto mounts = status.find("mounts"); mounts != status.end() && mounts->is_array()) {
    std::vector<std::vector<std::string>> rows;
    for (const json& mount : *mounts) {
      const std::string coverage = text(mount, "coverage");
      std::string how = coverage == "full"      ? "fully watched"
                        : coverage == "partial" ? "partly watched"
                                                : "not watched";
      if (!text(mount, "detail").empty()) how += ": " + text(mount, "detail");
      rows.push_back({text(mount, "mountPoint"), text(mount, "fsType"), how});
    }
    if (rows.empty()) rows.push_back({"(none known yet)"});
    lines.list("mounts", rows);
  }
  if (auto late = status.find("late"); late != status.end() && late->is_array() && !late->empty()) {
    std::string names;
    for (const json& name : *late) names += (names.empty() ? "" : ", ") + name.get<std::string>();
    lines.add("no answer", names + " (busy past the deadline; figures left out)");
  }
  return lines.text();
}

}  // namespace zorva
