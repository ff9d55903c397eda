#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zorva {

// Fields that go beside a log line's text under fixed names, so that the journal can select
// lines by them: `journalctl -t zorvad ZORVA_VOLUME_ID=7`. Values are any bytes (a path may hold
// a line break, an "=" or bytes that are not UTF-8); the writer keeps each value apart from the
// others, so no value can add a field of its own. Values are views: a LogFields lives no longer
// than the call that writes it, and making one copies nothing, whether its line is written or not.
struct LogFields {
  // Each has a default, so that a line names only the fields it has: {.volumeId = 7, .kind = k}.
  std::optional<int64_t> volumeId = {};
  std::optional<std::string_view> source = {};
  std::optional<std::string_view> destination = {};
  std::optional<std::string_view> exe = {};
  std::optional<int64_t> pid = {};
  // How a transfer was found, or what a fault is about (FaultKind); empty for none.
  std::string_view kind = {};

  static constexpr size_t kMaxFields = 6;

  // Calls visit(name, value) for each field that is set, in a fixed order, numbers in decimal.
  template <class Visit>
  void forEach(Visit&& visit) const {
    auto number = [&](std::string_view name, const std::optional<int64_t>& value) {
      if (!value) return;
      char text[24];
      auto end = std::to_chars(text, text + sizeof text, *value).ptr;
      visit(name, std::string_view(text, static_cast<size_t>(end - text)));
    };
    auto bytes = [&](std::string_view name, const std::optional<std::string_view>& value) {
      if (value) visit(name, *value);
    };
    number("ZORVA_VOLUME_ID", volumeId);
    bytes("ZORVA_SOURCE", source);
    bytes("ZORVA_DESTINATION", destination);
    bytes("ZORVA_EXE", exe);
    number("ZORVA_PID", pid);
    if (!kind.empty()) visit("ZORVA_KIND", kind);
  }
};

// What a fault line is about: its ZORVA_KIND, one of a small fixed set, so that one query finds
// every line of one kind of trouble (`journalctl -t zorvad ZORVA_KIND=store`).
enum class FaultKind {
  Store,        // a settings or audit-event database cannot be opened, read or written
  Upload,       // the backend refused audit events, or events were dropped
  DeviceKey,    // the device key cannot be read or checked, or was refused
  Bus,          // the control interface's bus: its connection, its name, a call's handling
  Client,       // a client's request that is refused or cannot be answered
  EventSource,  // the event source cannot start, read, or lost events
};

constexpr std::string_view faultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::Store:
      return "store";
    case FaultKind::Upload:
      return "upload";
    case FaultKind::DeviceKey:
      return "device-key";
    case FaultKind::Bus:
      return "bus";
    case FaultKind::Client:
      return "client";
    case FaultKind::EventSource:
      return "event-source";
  }
  return "fault";
}

}  // namespace zorva
