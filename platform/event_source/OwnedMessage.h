#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/event_source/EndpointSecurity.h"

namespace zorva {

// One message together with the storage its pointers refer to, so a backend (or a test) builds a
// message from plain values and no branch can leave a pointer dangling. Pointers handed out stay
// valid for the object's lifetime; the object does not move.
class OwnedMessage {
 public:
  explicit OwnedMessage(uint32_t eventType);

  OwnedMessage(const OwnedMessage&) = delete;
  OwnedMessage& operator=(const OwnedMessage&) = delete;

  const es_message_t& message() const { return _message; }
  es_message_t& message() { return _message; }
  es_process_t& process() { return _process; }

  // A file record with the given path bytes and status; the path may hold any bytes but NUL.
  const es_file_t* file(std::string_view path, const struct stat& status = {},
                        const EventFile* opened = nullptr);
  // A file record whose status says only what kind of file it is (S_IFREG, S_IFDIR, ...).
  const es_file_t* file(std::string_view path, mode_t mode, off_t size);
  es_string_token_t token(std::string_view text);
  void setExecutable(std::string_view path, bool isPlatformBinary);

 private:
  const std::string& keep(std::string_view text);

  // Fixed room, enough for any event (the executable, up to three files and a name): a message
  // is built for every event on the machine, so it allocates nothing beyond long strings.
  static constexpr size_t kMaxFiles = 6;
  static constexpr size_t kMaxStrings = 8;

  es_message_t _message{};
  es_process_t _process{};
  es_file_t _executable{};
  std::string _executablePath;
  std::array<std::string, kMaxStrings> _strings;
  std::array<es_file_t, kMaxFiles> _files{};
  size_t _stringCount = 0;
  size_t _fileCount = 0;
};

}  // namespace zorva
