#pragma once

// Builders of event messages for tests and benchmarks: each returns a message that owns its
// storage, filled as a backend would fill it.

#include <memory>
#include <string_view>

#include "platform/event_source/OwnedMessage.h"

namespace zorva::testing {

struct Actor {
  std::string_view executable = "/usr/bin/cp";
  bool platform = true;
  pid_t pid = 101;
  pid_t ppid = 100;
  pid_t grandparent = 0;
  pid_t greatGrandparent = 0;
};

inline std::unique_ptr<OwnedMessage> makeMessage(uint32_t type, const Actor& actor = {}) {
  auto message = std::make_unique<OwnedMessage>(type);
  message->setExecutable(actor.executable, actor.platform);
  message->process().pid = actor.pid;
  message->process().ppid = actor.ppid;
  message->process().grandparent = actor.grandparent;
  message->process().great_grandparent = actor.greatGrandparent;
  return message;
}

inline std::unique_ptr<OwnedMessage> makeOpen(std::string_view path, mode_t mode = S_IFREG | 0644,
                                              off_t size = 1000, int32_t fflag = 1,
                                              const Actor& actor = {}) {
  auto message = makeMessage(ES_EVENT_TYPE_NOTIFY_OPEN, actor);
  message->message().event.open = {message->file(path, mode, size), fflag};
  return message;
}

inline std::unique_ptr<OwnedMessage> makeClose(std::string_view path, bool modified,
                                               mode_t mode = S_IFREG | 0644, off_t size = 1000,
                                               const Actor& actor = {}) {
  auto message = makeMessage(ES_EVENT_TYPE_NOTIFY_CLOSE, actor);
  message->message().event.close = {modified, message->file(path, mode, size)};
  return message;
}

inline std::unique_ptr<OwnedMessage> makeExchange(std::string_view file1, std::string_view file2,
                                                  const Actor& actor = {}) {
  auto message = makeMessage(ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA, actor);
  message->message().event.exchangedata = {message->file(file1), message->file(file2)};
  return message;
}

inline std::unique_ptr<OwnedMessage> makeLink(std::string_view source, std::string_view dir,
                                              std::string_view name, const Actor& actor = {}) {
  auto message = makeMessage(ES_EVENT_TYPE_NOTIFY_LINK, actor);
  message->message().event.link = {message->file(source), message->file(dir, S_IFDIR | 0755, 0),
                                   message->token(name)};
  return message;
}

inline std::unique_ptr<OwnedMessage> makeRenameToExisting(std::string_view source,
                                                          std::string_view existing,
                                                          const Actor& actor = {}) {
  auto message = makeMessage(ES_EVENT_TYPE_NOTIFY_RENAME, actor);
  es_event_rename_t& rename = message->message().event.rename;
  rename.source = message->file(source);
  rename.destination_type = ES_DESTINATION_TYPE_EXISTING_FILE;
  rename.destination.existing_file = message->file(existing);
  return message;
}

inline std::unique_ptr<OwnedMessage> makeRenameToNew(std::string_view source, std::string_view dir,
                                                     std::string_view name,
                                                     const Actor& actor = {}) {
  auto message = makeMessage(ES_EVENT_TYPE_NOTIFY_RENAME, actor);
  es_event_rename_t& rename = message->message().event.rename;
  rename.source = message->file(source);
  rename.destination_type = ES_DESTINATION_TYPE_NEW_PATH;
  rename.destination.new_path.dir = message->file(dir, S_IFDIR | 0755, 0);
  rename.destination.new_path.filename = message->token(name);
  return message;
}

// UNLINK or TRUNCATE: the events that name one path.
inline std::unique_ptr<OwnedMessage> makeModify(uint32_t type, std::string_view path,
                                                mode_t mode = S_IFREG | 0644,
                                                const Actor& actor = {}) {
  auto message = makeMessage(type, actor);
  if (type == ES_EVENT_TYPE_NOTIFY_UNLINK) {
    message->message().event.unlink = {message->file(path, mode, 0), nullptr};
  } else {
    message->message().event.truncate = {message->file(path, mode, 0)};
  }
  return message;
}

// CLONE or COPYFILE: a source and a destination directory and name.
inline std::unique_ptr<OwnedMessage> makeCopy(uint32_t type, std::string_view source,
                                              std::string_view dir, std::string_view name,
                                              const Actor& actor = {}) {
  auto message = makeMessage(type, actor);
  const es_file_t* sourceFile = message->file(source);
  const es_file_t* dirFile = message->file(dir, S_IFDIR | 0755, 0);
  es_string_token_t token = message->token(name);
  if (type == ES_EVENT_TYPE_NOTIFY_CLONE) {
    message->message().event.clone = {sourceFile, dirFile, token};
  } else {
    message->message().event.copyfile = {sourceFile, nullptr, dirFile, token, 0644, 0};
  }
  return message;
}

}  // namespace zorva::testing
