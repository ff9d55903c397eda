#include "platform/event_source/OwnedMessage.h"

namespace zorva {

OwnedMessage::OwnedMessage(uint32_t eventType) {
  message_.version = 1;
  message_.event_type = static_cast<es_event_type_t>(eventType);
  message_.process = &process_;
  setExecutable("", false);
}

const std::string& OwnedMessage::keep(std::string_view text) { return strings_.emplace_back(text); }

es_string_token_t OwnedMessage::token(std::string_view text) {
  const std::string& kept = keep(text);
  return {kept.size(), kept.c_str()};
}

const es_file_t* OwnedMessage::file(std::string_view path, const struct stat& status) {
  es_file_t& record = files_.emplace_back();
  record.path = token(path);
  record.path_truncated = false;
  record.stat = status;
  return &record;
}

const es_file_t* OwnedMessage::file(std::string_view path, mode_t mode, off_t size) {
  struct stat status {};
  status.st_mode = mode;
  status.st_size = size;
  return file(path, status);
}

void OwnedMessage::setExecutable(std::string_view path, bool isPlatformBinary) {
  process_.executable = file(path, S_IFREG | 0755, 0);
  process_.is_platform_binary = isPlatformBinary;
}

}  // namespace zorva
