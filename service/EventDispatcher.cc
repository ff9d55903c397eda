#include "service/EventDispatcher.h"

#include <string_view>

#include "platform/log/Log.h"
#include "platform/text/Utf8.h"
#include "service/ProcessFilter.h"

namespace zorva {
namespace {

using OptionalString = PathTrackerInterface::OptionalString;

std::string_view bytes(const es_string_token_t& token) { return {token.data, token.length}; }
std::string_view bytes(const es_file_t* file) { return bytes(file->path); }

OptionalString decoded(const es_file_t* file) { return decodeUtf8(bytes(file)); }

// Directory, "/", name, with nothing collapsed: a directory of "/" gives a path starting "//".
OptionalString joined(const es_file_t* dir, const es_string_token_t& name) {
  std::string path;
  path.reserve(dir->path.length + 1 + name.length);
  path.append(bytes(dir)).append("/").append(bytes(name));
  if (!isValidUtf8(path)) return std::nullopt;
  return path;
}

bool isDirectory(const es_file_t* file) { return S_ISDIR(file->stat.st_mode); }

}  // namespace

const es_event_type_t EventDispatcher::kSubscriptions[9] = {
    ES_EVENT_TYPE_NOTIFY_TRUNCATE, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_LINK,
    ES_EVENT_TYPE_NOTIFY_OPEN,     ES_EVENT_TYPE_NOTIFY_CLOSE,  ES_EVENT_TYPE_NOTIFY_CLONE,
    ES_EVENT_TYPE_NOTIFY_COPYFILE, ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA,
};

void EventDispatcher::handle(const es_message_t& message) const {
  if (_counters) _counters->dispatched.add();
  OptionalString exec;
  if (ignoreProcess(*message.process, &exec)) return dropped();

  const es_events_t& event = message.event;
  const es_process_t& process = *message.process;
  const Lineage actor{process.pid, process.ppid, process.grandparent, process.great_grandparent};
  switch (message.event_type) {
    case ES_EVENT_TYPE_NOTIFY_OPEN:
      if (isDirectory(event.open.file)) return dropped();
      _tracker.open(bytes(event.open.file), event.open.file->stat, actor, std::move(exec),
                    static_cast<uint32_t>(event.open.fflag), event.open.file->opened);
      return;
    case ES_EVENT_TYPE_NOTIFY_CLOSE:
      if (isDirectory(event.close.target)) return dropped();
      _tracker.close(bytes(event.close.target), event.close.target->stat, actor, std::move(exec),
                     event.close.modified, event.close.target->opened);
      return;
    case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA:
      _tracker.source(bytes(event.exchangedata.file1), decoded(event.exchangedata.file2), true,
                      true, std::move(exec), "EXCHANGEDATA", actor);
      return;
    case ES_EVENT_TYPE_NOTIFY_LINK:
      _tracker.modify(joined(event.link.target_dir, event.link.target_filename), std::move(exec),
                      "LINK");
      return;
    case ES_EVENT_TYPE_NOTIFY_RENAME: {
      const es_event_rename_t& rename = event.rename;
      OptionalString dest =
          rename.destination_type == ES_DESTINATION_TYPE_EXISTING_FILE
              ? decoded(rename.destination.existing_file)
              : joined(rename.destination.new_path.dir, rename.destination.new_path.filename);
      _tracker.source(bytes(rename.source), std::move(dest), false, true, std::move(exec), "RENAME",
                      actor);
      return;
    }
    case ES_EVENT_TYPE_NOTIFY_UNLINK:
      _tracker.modify(decoded(event.unlink.target), std::move(exec), "UNLINK");
      return;
    case ES_EVENT_TYPE_NOTIFY_TRUNCATE:
      _tracker.modify(decoded(event.truncate.target), std::move(exec), "TRUNCATE");
      return;
    case ES_EVENT_TYPE_NOTIFY_CLONE:
      _tracker.source(bytes(event.clone.source),
                      joined(event.clone.target_dir, event.clone.target_name), false, false,
                      std::move(exec), "CLONE", actor);
      return;
    case ES_EVENT_TYPE_NOTIFY_COPYFILE:
      // The destination is always the joined name, also when the copy replaced a file.
      _tracker.source(bytes(event.copyfile.source),
                      joined(event.copyfile.target_dir, event.copyfile.target_name), false, false,
                      std::move(exec), "COPYFILE", actor);
      return;
  }
  ZorvaError(FaultKind::EventSource, "Unexpected event type encountered: %d\n",
             static_cast<uint32_t>(message.event_type));
}

}  // namespace zorva
