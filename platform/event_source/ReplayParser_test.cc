#include "platform/event_source/ReplayParser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

namespace zorva {
namespace {

std::string_view text(es_string_token_t token) { return {token.data, token.length}; }

// path:mode:size, with the mode in octal, so that a wrong kind of file is as plain as a wrong path.
std::string show(const es_file_t* file) {
  if (!file) return " -";
  std::ostringstream out;
  out << ' ' << text(file->path) << ':' << std::oct << file->stat.st_mode << std::dec << ':'
      << file->stat.st_size;
  return out.str();
}

// Everything a message's event carries on one line, so that each table row states it all.
std::string show(const es_message_t& m) {
  const es_events_t& e = m.event;
  auto name = [](es_string_token_t token) { return " " + std::string(text(token)); };
  switch (m.event_type) {
    case ES_EVENT_TYPE_NOTIFY_OPEN:
      return "OPEN" + show(e.open.file) + " " + std::to_string(e.open.fflag);
    case ES_EVENT_TYPE_NOTIFY_CLOSE:
      return "CLOSE" + show(e.close.target) + " " + std::to_string(e.close.modified);
    case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA:
      return "EXCHANGEDATA" + show(e.exchangedata.file1) + show(e.exchangedata.file2);
    case ES_EVENT_TYPE_NOTIFY_LINK:
      return "LINK" + show(e.link.source) + show(e.link.target_dir) + name(e.link.target_filename);
    case ES_EVENT_TYPE_NOTIFY_RENAME:
      return "RENAME" + show(e.rename.source) +
             (e.rename.destination_type == ES_DESTINATION_TYPE_EXISTING_FILE
                  ? " existing" + show(e.rename.destination.existing_file)
                  : " new" + show(e.rename.destination.new_path.dir) +
                        name(e.rename.destination.new_path.filename));
    case ES_EVENT_TYPE_NOTIFY_UNLINK:
      return "UNLINK" + show(e.unlink.target) + show(e.unlink.parent_dir);
    case ES_EVENT_TYPE_NOTIFY_TRUNCATE:
      return "TRUNCATE" + show(e.truncate.target);
    case ES_EVENT_TYPE_NOTIFY_CLONE:
      return "CLONE" + show(e.clone.source) + show(e.clone.target_dir) + name(e.clone.target_name);
    case ES_EVENT_TYPE_NOTIFY_COPYFILE:
      return "COPYFILE" + show(e.copyfile.source) + show(e.copyfile.target_file) +
             show(e.copyfile.target_dir) + name(e.copyfile.target_name) + " " +
             std::to_string(e.copyfile.mode) + " " + std::to_string(e.copyfile.flags);
  }
  return "event " + std::to_string(m.event_type);
}

constexpr std::string_view kCommon =
    R"({"pid": 101, "ppid": 100, "executable": "/usr/bin/cp", "platform": true, "event": )";

TEST(ReplayParser, EachEventFillsItsFields) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"("OPEN", "path": "/m/a", "mode": 16877, "size": 1000, "fflag": 3)",
       "OPEN /m/a:40755:1000 3"},
      {R"(10, "path": "/m/a")", "OPEN /m/a:100644:0 0"},
      {R"("CLOSE", "path": "/m/b", "size": 7, "modified": true)", "CLOSE /m/b:100644:7 1"},
      {R"("EXCHANGEDATA", "file1": "/x", "file2": "/y")", "EXCHANGEDATA /x:100644:0 /y:100644:0"},
      {R"("LINK", "target_dir": "/m", "target_filename": "l")", "LINK :0:0 /m:40755:0 l"},
      {R"("LINK", "source": "/s", "target_dir": "/m", "target_filename": "l")",
       "LINK /s:100644:0 /m:40755:0 l"},
      {R"("RENAME", "source": "/a", "existing_file": "/b")",
       "RENAME /a:100644:0 existing /b:100644:0"},
      // Hex carries bytes that are not UTF-8, and a newline, which a trace line cannot hold raw.
      {R"("RENAME", "source": {"hex": "2F61ff"}, "dir": {"hex": ""}, "filename": {"hex": "0a62"})",
       "RENAME /a\xff:100644:0 new :40755:0 \nb"},
      {R"("UNLINK", "path": "/m/d/")", "UNLINK /m/d/:100644:0 /m:40755:0"},
      {R"("TRUNCATE", "path": "/t")", "TRUNCATE /t:100644:0"},
      {R"("CLONE", "source": "/a", "target_dir": "/m", "target_name": "n")",
       "CLONE /a:100644:0 /m:40755:0 n"},
      {R"("COPYFILE", "source": "/a", "target_dir": "/m", "target_name": "n")",
       "COPYFILE /a:100644:0 - /m:40755:0 n 0 0"},
      // Unknown numbers keep their type and need no event fields.
      {"4294967295", "event 4294967295"},
  };
  for (const auto& [event, expected] : cases) {
    std::string line = std::string(kCommon) + std::string(event) + "}";
    SCOPED_TRACE(line);
    std::string error;
    auto message = parseReplayLine(line, &error);
    ASSERT_NE(message, nullptr) << error;
    const es_process_t& process = *message->message().process;
    EXPECT_EQ(
        std::tuple(process.pid, process.ppid, process.is_platform_binary, show(process.executable)),
        std::tuple(101, 100, true, " /usr/bin/cp:100755:0"));
    EXPECT_EQ(show(message->message()), expected);
  }
}

}  // namespace
}  // namespace zorva
