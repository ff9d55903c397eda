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
  pid_t pid = 101, ppid = 100, grandparent = 0, greatGrandparent = 0;
};

using Message = std::unique_ptr<OwnedMessage>;
constexpr mode_t kFile = S_IFREG | 0644, kFolder = S_IFDIR | 0755;

inline Message makeMessage(uint32_t type, const Actor& actor = {}) {
  auto m = std::make_unique<OwnedMessage>(type);
  m->setExecutable(actor.executable, actor.platform);
  es_process_t& p = m->process();
  std::tie(p.pid, p.ppid, p.grandparent, p.great_grandparent) =
      std::tuple(actor.pid, actor.ppid, actor.grandparent, actor.greatGrandparent);
  return m;
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
  m->message().event.link = {m->file(source), m->file(dir, kFolder, 0), m->token(name)};
  return m;
}
inline Message makeRenameToExisting(std::string_view source, std::string_view existing,
                                    const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_RENAME, actor);
  m->message().event.rename = {
      m->file(source), ES_DESTINATION_TYPE_EXISTING_FILE, {.existing_file = m->file(existing)}};
  return m;
}
inline Message makeRenameToNew(std::string_view source, std::string_view dir, std::string_view name,
                               const Actor& actor = {}) {
  auto m = makeMessage(ES_EVENT_TYPE_NOTIFY_RENAME, actor);
  m->message().event.rename = {m->file(source),
                               ES_DESTINATION_TYPE_NEW_PATH,
                               {.new_path = {m->file(dir, kFolder, 0), m->token(name)}}};
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
  const es_file_t* to = m->file(dir, kFolder, 0);
  es_events_t& e = m->message().event;
  if (type == ES_EVENT_TYPE_NOTIFY_CLONE) e.clone = {from, to, m->token(name)};
  if (type == ES_EVENT_TYPE_NOTIFY_COPYFILE) {
    e.copyfile = {from, nullptr, to, m->token(name), 0644, 0};
  }
  return m;
}

}  // namespace zorva::testing
