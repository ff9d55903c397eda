#pragma once

// The event-source vocabulary the dispatcher is written against: messages, processes, files and
// results, with the numeric event types that recorded traces and client tools rely on. Backends
// (fanotify, replay) fill these plain records; nothing here touches the kernel.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "platform/event_source/EventFile.h"

namespace zorva {

enum es_event_type_t : uint32_t {
  ES_EVENT_TYPE_NOTIFY_OPEN = 10,
  ES_EVENT_TYPE_NOTIFY_CLOSE = 12,
  ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA = 14,
  ES_EVENT_TYPE_NOTIFY_LINK = 19,
  ES_EVENT_TYPE_NOTIFY_RENAME = 25,
  ES_EVENT_TYPE_NOTIFY_UNLINK = 32,
  ES_EVENT_TYPE_NOTIFY_TRUNCATE = 41,
  ES_EVENT_TYPE_NOTIFY_CLONE = 61,
  ES_EVENT_TYPE_NOTIFY_COPYFILE = 110,
};

enum es_new_client_result_t : uint32_t {
  ES_NEW_CLIENT_RESULT_SUCCESS = 0,
  ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT = 1,
  ES_NEW_CLIENT_RESULT_ERR_INTERNAL = 2,
  ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED = 3,
  ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED = 4,
};

enum es_return_t : uint32_t {
  ES_RETURN_SUCCESS = 0,
  ES_RETURN_ERROR = 1,
};

enum es_destination_type_t : uint32_t {
  ES_DESTINATION_TYPE_EXISTING_FILE = 0,
  ES_DESTINATION_TYPE_NEW_PATH = 1,
};

// A byte string; `data` is NUL-terminated and need not be valid UTF-8.
struct es_string_token_t {
  size_t length;
  const char* data;
};

struct es_file_t {
  es_string_token_t path;
  bool path_truncated;
  struct stat stat;
  // Not in the original vocabulary: the open file behind an open or close event, where the
  // backend has one (fanotify does; a replayed trace does not). Valid during the handler call.
  const EventFile* opened;
};

struct es_process_t {
  pid_t pid;
  pid_t ppid;  // the parent that forked the process, where the backend knows it
  bool is_platform_binary;
  const es_file_t* executable;
  // Not in the original vocabulary: the parent's parent and its parent, as forked; 0 where not
  // known. Copies made by a process's grandchild are looked for through them.
  pid_t grandparent;
  pid_t great_grandparent;
};

struct es_event_open_t {
  const es_file_t* file;
  int32_t fflag;
};

struct es_event_close_t {
  bool modified;
  const es_file_t* target;
};

struct es_event_exchangedata_t {
  const es_file_t* file1;
  const es_file_t* file2;
};

struct es_event_link_t {
  const es_file_t* source;
  const es_file_t* target_dir;
  es_string_token_t target_filename;
};

struct es_event_rename_t {
  const es_file_t* source;
  es_destination_type_t destination_type;
  union {
    const es_file_t* existing_file;
    struct {
      const es_file_t* dir;
      es_string_token_t filename;
    } new_path;
  } destination;
};

struct es_event_unlink_t {
  const es_file_t* target;
  const es_file_t* parent_dir;
};

struct es_event_truncate_t {
  const es_file_t* target;
};

struct es_event_clone_t {
  const es_file_t* source;
  const es_file_t* target_dir;
  es_string_token_t target_name;
};

struct es_event_copyfile_t {
  const es_file_t* source;
  const es_file_t* target_file;  // null unless the copy replaced an existing file
  const es_file_t* target_dir;
  es_string_token_t target_name;
  mode_t mode;
  int32_t flags;
};

union es_events_t {
  es_event_open_t open;
  es_event_close_t close;
  es_event_exchangedata_t exchangedata;
  es_event_link_t link;
  es_event_rename_t rename;
  es_event_unlink_t unlink;
  es_event_truncate_t truncate;
  es_event_clone_t clone;
  es_event_copyfile_t copyfile;
};

struct es_message_t {
  uint32_t version;
  es_event_type_t event_type;
  const es_process_t* process;
  es_events_t event;
};

// A subscribed client; each backend defines what lies behind it.
struct es_client_t {
  virtual ~es_client_t() = default;
};

// Called for each message, one at a time, on the client's own serial thread. The message and
// everything it points to are valid only during the call.
using es_handler_block_t = std::function<void(es_client_t*, const es_message_t*)>;

}  // namespace zorva
