#pragma once

// Builders of event messages for tests and benchmarks: each returns a message that owns its
// storage, filled as a backend would fill it.

#include <memory>
#include <string_view>
#include <tuple>

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

using Message = std::unique_ptr<OwnedMessage>;
constexpr mode_t kFile = S_IFREG | 0644;

inline Message makeMessage(uint32_t type, const Actor& actor = {}) {
  auto message = std::make_unique<OwnedMessage>(type);
  message->setExecutable(actor.executable, actor.platform);
  es_process_t& p = message->process();
  std::tie(p.pid, p.ppid, p.grandparent, p.great_grandparent) =
      std::tuple(actor.pid, actor.ppid, actor.grandparent, actor.greatGrandparent);
  return message;
}
inline const es_file_t* folder(Message& message, std::string_view path) {
  return message->file(path, S_IFDIR | 0755, 0);
}

inline Message makeOpen(std::string_view path, mode_t mode = kFile, off_t size = 1000,
                        int32_t fflag = 1, const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_OPEN, actor);
  m->message().event.open = {m->file(path, mode, size), fflag};
  return m;
}
inline Message makeClose(std::string_view path, bool modified, mode_t mode = kFile,
                         off_t size = 1000, const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_CLOSE, actor);
  m->message().event.close = {modified, m->file(path, mode, size)};
  return m;
}
inline Message makeExchange(std::string_view file1, std::string_view file2,
                            const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA, actor);
  m->message().event.exchangedata = {m->file(file1), m->file(file2)};
  return m;
}
inline Message makeLink(std::string_view source, std::string_view dir, std::string_view name,
                        const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_LINK, actor);
  m->message().event.link = {m->file(source), folder(m, dir), m->token(name)};
  return m;
}
inline Message makeRenameToExisting(std::string_view source, std::string_view existing,
                                    const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_RENAME, actor);
  es_event_rename_t& rename = m->message().event.rename;
  rename.source = m->file(source);
  rename.destination_type = ES_DESTINATION_TYPE_EXISTING_FILE;
  rename.destination.existing_file = m->file(existing);
  return m;
}
inline Message makeRenameToNew(std::string_view source, std::string_view dir, std::string_view name,
                               const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_RENAME, actor);
  es_event_rename_t& rename = m->message().event.rename;
  rename.source = m->file(source);
  rename.destination_type = ES_DESTINATION_TYPE_NEW_PATH;
  rename.destination.new_path = {folder(m, dir), m->token(name)};
  return m;
}
// UNLINK or TRUNCATE: the events that name one path.
inline Message makeModify(uint32_t type, std::string_view path, mode_t mode = kFile,
                          const Actor& actor = {}) {
  auto m = makeMessage(type, actor);
  const es_file_t* file = m->file(path, mode, 0);
  if (type == ES_EVENT_TYPE_NOTIFY_UNLINK) m->message().event.unlink = {file, nullptr};
  if (type == ES_EVENT_TYPE_NOTIFY_TRUNCATE) m->message().event.truncate = {file};
  return m;
}
// CLONE or COPYFILE: a source and a destination directory and name.
inline Message makeCopy(uint32_t type, std::string_view source, std::string_view dir,
                        std::string_view name, const Actor& actor = {}) {
  auto m = makeMessage(type, actor);
  const es_file_t* from = m->file(source);
  const es_file_t* to = folder(m, dir);
  if (type == ES_EVENT_TYPE_NOTIFY_CLONE) m->message().event.clone = {from, to, m->token(name)};
  if (type == ES_EVENT_TYPE_NOTIFY_COPYFILE) {
    m->message().event.copyfile = {from, nullptr, to, m->token(name), 0644, 0};
  }
  return m;
}

}  // namespace zorva::testing
