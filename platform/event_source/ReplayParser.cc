#include "platform/event_source/ReplayParser.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>

namespace zorva {
namespace {

using Json = nlohmann::json;

constexpr mode_t kFileMode = S_IFREG | 0644;
constexpr mode_t kFolderMode = S_IFDIR | 0755;

// Raised only inside this file, so that each check stays one line; parseReplayLine turns it into
// the reason it reports.
struct BadLine {
  std::string reason;
};

[[noreturn]] void bad(std::string_view key, std::string_view problem) {
  std::string reason;
  reason.append("\"").append(key).append("\": ").append(problem);
  throw BadLine{std::move(reason)};
}

const Json* optionalField(const Json& object, const char* key) {
  auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

const Json& field(const Json& object, const char* key) {
  if (const Json* value = optionalField(object, key)) return *value;
  throw BadLine{std::string("missing \"") + key + "\""};
}

// nlohmann keeps non-negative integers as unsigned and converts silently between its integer
// kinds, so the range is checked on the value as stored.
int64_t integerIn(const Json& value, const char* key, int64_t lowest, int64_t highest) {
  if (!value.is_number_integer()) bad(key, "not an integer");
  if (value.is_number_unsigned()) {
    uint64_t number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(highest)) bad(key, "out of range");
    return static_cast<int64_t>(number);
  }
  int64_t number = value.get<int64_t>();
  if (number < lowest || number > highest) bad(key, "out of range");
  return number;
}

int32_t int32Of(const Json& value, const char* key) {
  return static_cast<int32_t>(integerIn(value, key, std::numeric_limits<int32_t>::min(),
                                        std::numeric_limits<int32_t>::max()));
}

bool boolean(const Json& object, const char* key) {
  const Json& value = field(object, key);
  if (!value.is_boolean()) bad(key, "not a boolean");
  return value.get<bool>();
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decodeHex(std::string_view hex, const char* key) {
  if (hex.size() % 2 != 0) bad(key, "odd number of hex digits");
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = hexDigit(hex[i]);
    int low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0) bad(key, "not hex");
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

// Paths reach C APIs as NUL-terminated strings, where a NUL would silently cut them short.
std::string bytesOf(const Json& value, const char* key) {
  std::string bytes;
  if (value.is_string()) {
    bytes = value.get<std::string>();
  } else if (value.is_object()) {
    const Json* hex = optionalField(value, "hex");
    if (!hex || value.size() != 1) bad(key, "object without only \"hex\"");
    if (!hex->is_string()) bad(key, "hex is not a string");
    bytes = decodeHex(hex->get_ref<const std::string&>(), key);
  } else {
    bad(key, "not a string");
  }
  if (bytes.find('\0') != std::string::npos) bad(key, "contains NUL");
  return bytes;
}

std::string bytes(const Json& object, const char* key) { return bytesOf(field(object, key), key); }

const es_file_t* regularFile(OwnedMessage& message, const Json& object, const char* key) {
  return message.file(bytes(object, key), kFileMode, 0);
}

const es_file_t* folder(OwnedMessage& message, const Json& object, const char* key) {
  return message.file(bytes(object, key), kFolderMode, 0);
}

// "path" is the one file a trace may describe further.
const es_file_t* pathFile(OwnedMessage& message, const Json& object) {
  std::string path = bytes(object, "path");
  mode_t mode = kFileMode;
  if (const Json* value = optionalField(object, "mode")) {
    mode = static_cast<mode_t>(integerIn(*value, "mode", 0, std::numeric_limits<uint32_t>::max()));
  }
  off_t size = 0;
  if (const Json* value = optionalField(object, "size")) {
    size = static_cast<off_t>(integerIn(*value, "size", 0, std::numeric_limits<int64_t>::max()));
  }
  return message.file(path, mode, size);
}

std::string_view dirname(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

uint32_t eventType(const Json& object) {
  const Json& value = field(object, "event");
  if (value.is_string()) {
    const auto& word = value.get_ref<const std::string&>();
    for (const auto& [name, type] : kReplayEventTypes) {
      if (word == name) return type;
    }
    bad("event", "unknown event");
  }
  return static_cast<uint32_t>(integerIn(value, "event", 0, std::numeric_limits<uint32_t>::max()));
}

void fillEvent(OwnedMessage& message, const Json& object) {
  es_events_t& event = message.message().event;
  switch (message.message().event_type) {
    case ES_EVENT_TYPE_NOTIFY_OPEN: {
      event.open.file = pathFile(message, object);
      const Json* fflag = optionalField(object, "fflag");
      event.open.fflag = fflag ? int32Of(*fflag, "fflag") : 0;
      break;
    }
    case ES_EVENT_TYPE_NOTIFY_CLOSE:
      event.close.target = pathFile(message, object);
      event.close.modified = boolean(object, "modified");
      break;
    case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA:
      event.exchangedata.file1 = regularFile(message, object, "file1");
      event.exchangedata.file2 = regularFile(message, object, "file2");
      break;
    case ES_EVENT_TYPE_NOTIFY_LINK:
      event.link.source = optionalField(object, "source") ? regularFile(message, object, "source")
                                                          : message.file("");
      event.link.target_dir = folder(message, object, "target_dir");
      event.link.target_filename = message.token(bytes(object, "target_filename"));
      break;
    case ES_EVENT_TYPE_NOTIFY_RENAME: {
      event.rename.source = regularFile(message, object, "source");
      bool existing = optionalField(object, "existing_file");
      bool newPath = optionalField(object, "dir") || optionalField(object, "filename");
      if (existing == newPath) {
        throw BadLine{"rename needs \"existing_file\" or \"dir\" and \"filename\", not both"};
      }
      if (existing) {
        event.rename.destination_type = ES_DESTINATION_TYPE_EXISTING_FILE;
        event.rename.destination.existing_file = regularFile(message, object, "existing_file");
      } else {
        event.rename.destination_type = ES_DESTINATION_TYPE_NEW_PATH;
        event.rename.destination.new_path.dir = folder(message, object, "dir");
        event.rename.destination.new_path.filename = message.token(bytes(object, "filename"));
      }
      break;
    }
    case ES_EVENT_TYPE_NOTIFY_UNLINK:
      event.unlink.target = pathFile(message, object);
      event.unlink.parent_dir =
          message.file(dirname({event.unlink.target->path.data, event.unlink.target->path.length}),
                       kFolderMode, 0);
      break;
    case ES_EVENT_TYPE_NOTIFY_TRUNCATE:
      event.truncate.target = pathFile(message, object);
      break;
    case ES_EVENT_TYPE_NOTIFY_CLONE:
      event.clone.source = regularFile(message, object, "source");
      event.clone.target_dir = folder(message, object, "target_dir");
      event.clone.target_name = message.token(bytes(object, "target_name"));
      break;
    case ES_EVENT_TYPE_NOTIFY_COPYFILE:
      event.copyfile.source = regularFile(message, object, "source");
      event.copyfile.target_file = nullptr;
      event.copyfile.target_dir = folder(message, object, "target_dir");
      event.copyfile.target_name = message.token(bytes(object, "target_name"));
      event.copyfile.mode = 0;
      event.copyfile.flags = 0;
      break;
  }
}

std::unique_ptr<OwnedMessage> parse(std::string_view line) {
  Json object;
  try {
    object = Json::parse(line.begin(), line.end());
  } catch (const Json::parse_error& error) {
    throw BadLine{"not JSON (byte " + std::to_string(error.byte) + ")"};
  } catch (const Json::out_of_range&) {
    // A number too large even for a double, such as 1e400.
    throw BadLine{"not JSON (number out of range)"};
  }
  if (!object.is_object()) throw BadLine{"not a JSON object"};

  auto message = std::make_unique<OwnedMessage>(eventType(object));
  es_process_t& process = message->process();
  process.pid = int32Of(field(object, "pid"), "pid");
  process.ppid = int32Of(field(object, "ppid"), "ppid");
  std::string executable = bytes(object, "executable");
  message->setExecutable(executable, boolean(object, "platform"));
  fillEvent(*message, object);
  return message;
}

}  // namespace

int knownEventIndex(uint32_t type) {
  for (size_t i = 0; i < kReplayEventTypes.size(); ++i) {
    if (kReplayEventTypes[i].second == type) return static_cast<int>(i);
  }
  return -1;
}

std::unique_ptr<OwnedMessage> parseReplayLine(std::string_view line, std::string* error) {
  std::string reason;
  try {
    return parse(line);
  } catch (BadLine& badLine) {
    reason = std::move(badLine.reason);
  } catch (const std::exception& exception) {
    // Every type is checked before it is read, so this is a fault here, not in the line.
    reason = std::string("cannot parse: ") + exception.what();
  }
  if (error) *error = std::move(reason);
  return nullptr;
}

}  // namespace zorva
