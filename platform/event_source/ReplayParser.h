#pragma once

// A replay trace holds one message per line, as one JSON object:
//
//   {"event": "OPEN", "pid": 101, "ppid": 100, "executable": "/usr/bin/cp", "platform": true,
//    "path": "/media/usb/a.txt", "mode": 33188, "size": 1000, "fflag": 1}
//
// Client tools write these traces, so what a line may hold does not change lightly:
//
// Every line: "event" is one of OPEN CLOSE EXCHANGEDATA LINK RENAME UNLINK TRUNCATE CLONE
//   COPYFILE (exactly so spelt) or a number 0..4294967295. A known number is the same as its word;
//   any other number is kept as the message's event type with no event fields, so that the
//   dispatcher meets types it does not know. "pid" and "ppid" (int32), "executable" (a path) and
//   "platform" (bool) are required.
// Per event, all required unless marked optional:
//   OPEN          "path"; optional "fflag" (int32, default 0)
//   CLOSE         "path", "modified" (bool)
//   UNLINK        "path"; the parent folder is the path's dirname
//   TRUNCATE      "path"
//   EXCHANGEDATA  "file1", "file2"
//   LINK          "target_dir", "target_filename"; optional "source", else a record with an empty
//                 path and a zeroed status, as when the kernel does not say
//   RENAME        "source", and either "existing_file" or both "dir" and "filename"
//   CLONE         "source", "target_dir", "target_name"
//   COPYFILE      "source", "target_dir", "target_name"; no target file, mode and flags 0
// "path" may come with optional "mode" (uint32, default S_IFREG|0644) and "size" (non-negative
// int64, default 0). Every other file is a regular file (S_IFREG|0644) or, for "target_dir" and
// "dir", a folder (S_IFDIR|0755), of size 0. Keys not named here are ignored, so newer tools may
// add some.
// Paths and names are JSON strings, or {"hex": "2f746d70ff"} for bytes that are not UTF-8 (an
// even number of hex digits in either case). Neither form may hold a NUL byte.

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/event_source/OwnedMessage.h"

namespace zorva {

// The event types a trace may name by word, in the order of their subscription bits.
inline constexpr std::array<std::pair<std::string_view, es_event_type_t>, 9> kReplayEventTypes{{
    {"OPEN", ES_EVENT_TYPE_NOTIFY_OPEN},
    {"CLOSE", ES_EVENT_TYPE_NOTIFY_CLOSE},
    {"EXCHANGEDATA", ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA},
    {"LINK", ES_EVENT_TYPE_NOTIFY_LINK},
    {"RENAME", ES_EVENT_TYPE_NOTIFY_RENAME},
    {"UNLINK", ES_EVENT_TYPE_NOTIFY_UNLINK},
    {"TRUNCATE", ES_EVENT_TYPE_NOTIFY_TRUNCATE},
    {"CLONE", ES_EVENT_TYPE_NOTIFY_CLONE},
    {"COPYFILE", ES_EVENT_TYPE_NOTIFY_COPYFILE},
}};

// The type's place in kReplayEventTypes, or -1 for a type the dispatcher does not know.
int knownEventIndex(uint32_t type);

// The message one line describes, or nullptr with a short reason in *error (when error is not
// null). Never throws, whatever the bytes.
std::unique_ptr<OwnedMessage> parseReplayLine(std::string_view line, std::string* error);

}  // namespace zorva
