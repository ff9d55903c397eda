#include "platform/event_source/OwnedMessage.h"

#include <stdexcept>

namespace zorva {

OwnedMessage::OwnedMessage(uint32_t eventType) {
  _message.version = 1;
  _message.event_type = static_cast<es_event_type_t>(eventType);
  _message.process = &_process;
  setExecutable("", false);
}

const std::string& OwnedMessage::keep(std::string_view text) {
  if (_stringCount == kMaxStrings) throw std::length_error("OwnedMessage: too many strings");
  return _strings[_stringCount++].assign(text);
}

es_string_token_t OwnedMessage::token(std::string_view text) {
  const std::string& kept = keep(text);
  return {kept.size(), kept.c_str()};
}

const es_file_t* OwnedMessage::file(std::string_view path, const struct stat& status,
                                    const EventFile* opened) {
  if (_fileCount == kMaxFiles) throw std::length_error("OwnedMessage: too many files");
  es_file_t& record = _files[_fileCount++];
  record.path = token(path);
  record.path_truncated = false;
  record.stat = status;
  record.opened = opened;
  return &record;
}

const es_file_t* OwnedMessage::file(std::string_view path, mode_t mode, off_t size) {
  struct stat status {};
  status.st_mode = mode;
  status.st_size = size;
  return file(path, status);
}

void OwnedMessage::setExecutable(std::string_view path, bool isPlatformBinary) {
  _executablePath.assign(path);
  _executable.path = {_executablePath.size(), _executablePath.c_str()};
  _executable.stat.st_mode = S_IFREG | 0755;
  _process.executable = &_executable;
  _process.is_platform_binary = isPlatformBinary;
}

}  // namespace zorva
