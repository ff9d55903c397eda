#include "platform/event_source/ReplayParser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace zorva {
namespace {

using ::testing::HasSubstr;

constexpr std::string_view kCommon =
    R"({"pid": 101, "ppid": 100, "executable": "/usr/bin/cp", "platform": true, )";

std::string line(std::string_view event, std::string_view fields) {
  std::string text(kCommon);
  text.append("\"event\": ").append(event);
  if (!fields.empty()) text.append(", ").append(fields);
  return text.append("}");
}

std::string_view text(es_string_token_t token) { return {token.data, token.length}; }
std::string_view path(const es_file_t* file) { return text(file->path); }

TEST(ReplayParser, EachEventKindFillsItsFields) {
  using Check = std::function<void(const es_events_t&)>;
  struct Kind {
    std::string_view event;
    std::string_view fields;
    es_event_type_t type;
    Check check;
  };
  const Kind kinds[] = {
      {R"("OPEN")", R"("path": "/m/a", "mode": 16877, "size": 1000, "fflag": 3)",
       ES_EVENT_TYPE_NOTIFY_OPEN,
       [](const es_events_t& e) {
         EXPECT_EQ(path(e.open.file), "/m/a");
         EXPECT_EQ(e.open.file->stat.st_mode, S_IFDIR | 0755u);
         EXPECT_EQ(e.open.file->stat.st_size, 1000);
         EXPECT_EQ(e.open.fflag, 3);
       }},
      {"10", R"("path": "/m/a")", ES_EVENT_TYPE_NOTIFY_OPEN,
       [](const es_events_t& e) {
         EXPECT_EQ(e.open.file->stat.st_mode, S_IFREG | 0644u);
         EXPECT_EQ(e.open.file->stat.st_size, 0);
         EXPECT_EQ(e.open.fflag, 0);
       }},
      {R"("CLOSE")", R"("path": "/m/b", "size": 7, "modified": true)", ES_EVENT_TYPE_NOTIFY_CLOSE,
       [](const es_events_t& e) {
         EXPECT_EQ(path(e.close.target), "/m/b");
         EXPECT_EQ(e.close.target->stat.st_size, 7);
         EXPECT_TRUE(e.close.modified);
       }},
      {R"("EXCHANGEDATA")", R"("file1": "/x", "file2": "/y")", ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA,
       [](const es_events_t& e) {
         EXPECT_EQ(path(e.exchangedata.file1), "/x");
         EXPECT_EQ(path(e.exchangedata.file2), "/y");
       }},
      {R"("LINK")", R"("target_dir": "/m", "target_filename": "l")", ES_EVENT_TYPE_NOTIFY_LINK,
       [](const es_events_t& e) {
         ASSERT_NE(e.link.source, nullptr);
         EXPECT_EQ(path(e.link.source), "");
         EXPECT_EQ(path(e.link.target_dir), "/m");
         EXPECT_TRUE(S_ISDIR(e.link.target_dir->stat.st_mode));
         EXPECT_EQ(text(e.link.target_filename), "l");
       }},
      {R"("LINK")", R"("source": "/s", "target_dir": "/m", "target_filename": "l")",
       ES_EVENT_TYPE_NOTIFY_LINK,
       [](const es_events_t& e) { EXPECT_EQ(path(e.link.source), "/s"); }},
      {R"("RENAME")", R"("source": "/a", "existing_file": "/b")", ES_EVENT_TYPE_NOTIFY_RENAME,
       [](const es_events_t& e) {
         EXPECT_EQ(path(e.rename.source), "/a");
         ASSERT_EQ(e.rename.destination_type, ES_DESTINATION_TYPE_EXISTING_FILE);
         EXPECT_EQ(path(e.rename.destination.existing_file), "/b");
       }},
      {R"("RENAME")", R"("source": "/a", "dir": "/m", "filename": "c")",
       ES_EVENT_TYPE_NOTIFY_RENAME,
       [](const es_events_t& e) {
         ASSERT_EQ(e.rename.destination_type, ES_DESTINATION_TYPE_NEW_PATH);
         EXPECT_EQ(path(e.rename.destination.new_path.dir), "/m");
         EXPECT_EQ(text(e.rename.destination.new_path.filename), "c");
       }},
      {R"("UNLINK")", R"("path": "/m/d/")", ES_EVENT_TYPE_NOTIFY_UNLINK,
       [](const es_events_t& e) {
         EXPECT_EQ(path(e.unlink.target), "/m/d/");
         EXPECT_EQ(path(e.unlink.parent_dir), "/m");
       }},
      {R"("TRUNCATE")", R"("path": "/t")", ES_EVENT_TYPE_NOTIFY_TRUNCATE,
       [](const es_events_t& e) { EXPECT_EQ(path(e.truncate.target), "/t"); }},
      {R"("CLONE")", R"("source": "/a", "target_dir": "/m", "target_name": "n")",
       ES_EVENT_TYPE_NOTIFY_CLONE,
       [](const es_events_t& e) {
         EXPECT_EQ(path(e.clone.source), "/a");
         EXPECT_EQ(path(e.clone.target_dir), "/m");
         EXPECT_EQ(text(e.clone.target_name), "n");
       }},
      {R"("COPYFILE")", R"("source": "/a", "target_dir": "/m", "target_name": "n")",
       ES_EVENT_TYPE_NOTIFY_COPYFILE,
       [](const es_events_t& e) {
         EXPECT_EQ(path(e.copyfile.source), "/a");
         EXPECT_EQ(e.copyfile.target_file, nullptr);
         EXPECT_EQ(path(e.copyfile.target_dir), "/m");
         EXPECT_EQ(text(e.copyfile.target_name), "n");
       }},
  };
  for (const Kind& kind : kinds) {
    std::string input = line(kind.event, kind.fields);
    SCOPED_TRACE(input);
    std::string error;
    auto message = parseReplayLine(input, &error);
    ASSERT_NE(message, nullptr) << error;
    const es_message_t& m = message->message();
    EXPECT_EQ(m.event_type, kind.type);
    EXPECT_EQ(m.process->pid, 101);
    EXPECT_EQ(m.process->ppid, 100);
    EXPECT_TRUE(m.process->is_platform_binary);
    EXPECT_EQ(path(m.process->executable), "/usr/bin/cp");
    kind.check(m.event);
  }
}

TEST(ReplayParser, HexGivesAnyBytesButNul) {
  auto message = parseReplayLine(
      R"({"event": "RENAME", "pid": 1, "ppid": 0, "platform": false,
          "executable": {"hex": "2F62696eFF"}, "source": {"hex": "2f610a62"},
          "dir": {"hex": ""}, "filename": {"hex": "ff"}})",
      nullptr);
  ASSERT_NE(message, nullptr);
  const es_message_t& m = message->message();
  EXPECT_EQ(path(m.process->executable), "/bin\xff");
  EXPECT_EQ(path(m.event.rename.source), "/a\nb");
  EXPECT_EQ(path(m.event.rename.destination.new_path.dir), "");
  EXPECT_EQ(text(m.event.rename.destination.new_path.filename), "\xff");
  EXPECT_EQ(m.event.rename.destination.new_path.filename.data[1], '\0');
}

TEST(ReplayParser, UnknownNumberKeepsItsTypeAndNeedsNoEventFields) {
  auto message = parseReplayLine(line("999", ""), nullptr);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(message->message().event_type), 999u);
  EXPECT_EQ(message->message().process->pid, 101);
  EXPECT_NE(parseReplayLine(line("4294967295", ""), nullptr), nullptr);
}

TEST(ReplayParser, RejectsWithAReason) {
  const std::pair<std::string, std::string_view> cases[] = {
      {line(R"("OPEN")", R"("path": "/a", "mode": -1)"), "\"mode\": out of range"},
      {line(R"("OPEN")", R"("path": "/a", "fflag": 2147483648)"), "\"fflag\": out of range"},
      {line(R"("OPEN")", R"("path": "/a", "fflag": 1.0)"), "\"fflag\": not an integer"},
      {line(R"("OPEN")", R"("path": {"hex": "2f", "x": 1})"), "\"path\": object"},
      {line(R"("OPEN")", R"("path": {"hex": "2f00"})"), "\"path\": contains NUL"},
      {line(R"("CLOSE")", R"("path": "/a")"), "missing \"modified\""},
      {line(R"("RENAME")", R"("source": "/a", "dir": "/m")"), "missing \"filename\""},
      {line(R"("RENAME")", R"("source": "/a")"), "rename needs"},
      {line(R"("RENAME")", R"("source": "/a", "existing_file": "/b", "filename": "c")"),
       "rename needs"},
      {line("4294967296", ""), "\"event\": out of range"},
      {line("null", ""), "\"event\": not an integer"},
      {"{\"a\": \"\xff\"}", "not JSON"},
      {"{} {}", "not JSON"},
      {R"({"event": 1e400})", "not JSON"},
      {std::string(100000, '['), "not JSON"},
  };
  for (const auto& [input, reason] : cases) {
    SCOPED_TRACE(input.substr(0, 200));
    std::string error;
    EXPECT_EQ(parseReplayLine(input, &error), nullptr);
    EXPECT_THAT(error, HasSubstr(reason));
  }
}

}  // namespace
}  // namespace zorva
