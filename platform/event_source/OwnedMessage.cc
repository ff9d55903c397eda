#include "platform/event_source/OwnedMessage.h"

#include <stdexcept>

namespace zorva {

OwnedMessage::OwnedMessage(uint32_t eventType) {
  message_.version = 1;
  message_.event_type = static_cast<es_event_type_t>(eventType);
  message_.process = &process_;
  setExecutable("", false);
}

const std::string& OwnedMessage::keep(std::string_view text) {
  if (stringCount_ == kMaxStrings) throw std::length_error("OwnedMessage: too many strings");
  return strings_[stringCount_++].assign(text);
}

es_string_token_t OwnedMessage::token(std::string_view text) {
  const std::string& kept = keep(text);
  return {kept.size(), kept.c_str()};
}

const es_file_t* OwnedMessage::file(std::string_view path, const struct stat& status,
                                    const EventFile* opened) {
  if (fileCount_ == kMaxFiles) throw std::length_error("OwnedMessage: too many files");
  es_file_t& record = files_[fileCount_++];
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
  executablePath_.assign(path);
  executable_.path = {executablePath_.size(), executablePath_.c_str()};
  executable_.stat.st_mode = S_IFREG | 0755;
  process_.executable = &executable_;
  process_.is_platform_binary = isPlatformBinary;
}

}  // namespace zorva
