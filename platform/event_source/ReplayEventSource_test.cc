#include "platform/event_source/ReplayEventSource.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "platform/event_source/ReplayParser.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

using namespace ::testing;

std::string event(std::string_view type, int64_t pid = 1,
                  std::string_view fields = R"("path": "/p")") {
  return R"({"ppid": 1, "executable": "/x", "platform": false, "event": )" + std::string(type) +
         ", \"pid\": " + std::to_string(pid) + (fields.empty() ? "" : ", ") + std::string(fields) +
         "}";
}
std::string open(int64_t pid, size_t pathLength = 2) {
  return event(R"("OPEN")", pid, R"("path": "/)" + std::string(pathLength - 1, 'a') + "\"");
}

using Types = std::vector<es_event_type_t>;

class ReplayEventSourceTest : public ::testing::Test {
 protected:
  const std::string& file(std::string_view content) {
    std::ofstream(_path, std::ios::binary) << content;
    return _path;
  }

  // The whole trace through a fresh source; returns the lines it counted.
  uint64_t replay(const std::string& path, Types types = {ES_EVENT_TYPE_NOTIFY_OPEN}) {
    ReplayEventSource source(path, _onEnd);
    es_client_t* client = nullptr;
    EXPECT_EQ(source.newClient(&client, _handler), ES_NEW_CLIENT_RESULT_SUCCESS);
    _subscribed = true;
    EXPECT_EQ(source.subscribe(client, types.data(), types.size()), ES_RETURN_SUCCESS);
    uint64_t lines = _ended.get_future().get();
    EXPECT_EQ(source.deleteClient(client), ES_RETURN_SUCCESS);
    return lines;
  }

  MemoryLogWriter _log;
  TempFolder _folder{"zorva-replay"};
  const std::string _path = _folder / "trace.jsonl";
  std::promise<uint64_t> _ended;
  ReplayEventSource::EndOfInput _onEnd = [this](uint64_t lines) { _ended.set_value(lines); };
  // Written by the reader thread alone, and read once it has been joined: the pid of each event,
  // and the length of an open's path.
  std::vector<std::string> _seen;
  std::set<std::thread::id> _threads;
  std::atomic<bool> _subscribed = false;
  es_handler_block_t _handler = [this](es_client_t*, const es_message_t* m) {
    if (!_subscribed) ADD_FAILURE() << "delivered before subscribe";
    _threads.insert(std::this_thread::get_id());
    const bool open = m->event_type == ES_EVENT_TYPE_NOTIFY_OPEN;
    _seen.push_back(std::to_string(m->process->pid) +
                    (open ? ":" + std::to_string(m->event.open.file->path.length) : ""));
  };
};

// Blank and CRLF lines count, the last needs no newline, and unknown types need no subscription.
// Long lines span reads, and one over the limit is skipped without upsetting the lines after it.
TEST_F(ReplayEventSourceTest, DeliversInFileOrderOnOneThreadOfItsOwnAndLogsBadLinesByNumber) {
  auto opening = [](std::string_view fields) { return event(R"("OPEN")", 1, fields); };
  const std::pair<std::string, std::string_view> bad[] = {
      {"not json", "not JSON"},
      {"{} {}", "not JSON"},
      {"{\"a\": \"\xff\"}", "not JSON"},
      {R"({"event": 1e400})", "not JSON"},
      {std::string(1024 * 1024 + 1, 'x'), "longer than"},
      // Split across reads, so that what is left of it would spoil the next line.
      {std::string(100000, '['), "not JSON"},
      {"[1, 2]", "not a JSON object"},
      {R"({"event": "TRUNCATE"})", "missing \"pid\""},
      {event(R"("OPENX")"), "\"event\": unknown event"},
      {event("-1"), "\"event\": out of range"},
      {event("4294967296"), "\"event\": out of range"},
      {event("null"), "\"event\": not an integer"},
      {open(2147483648), "\"pid\": out of range"},
      {opening(R"("path": 5)"), "\"path\": not a string"},
      {opening(R"("path": {"hex": "2g"})"), "\"path\": not hex"},
      {opening(R"("path": {"hex": "2f6"})"), "\"path\": odd number"},
      {opening(R"("path": {"hex": "2f", "x": 1})"), "\"path\": object"},
      {opening(R"("path": {"hex": "2f00"})"), "\"path\": contains NUL"},
      {opening(R"("path": "/a\u0000b")"), "\"path\": contains NUL"},
      {opening(R"("path": "/a", "mode": -1)"), "\"mode\": out of range"},
      {opening(R"("path": "/a", "fflag": 2147483648)"), "\"fflag\": out of range"},
      {opening(R"("path": "/a", "fflag": 1.0)"), "\"fflag\": not an integer"},
      {event(R"("CLOSE")"), "missing \"modified\""},
      {event(R"("RENAME")", 1, R"("source": "/a", "dir": "/m")"), "missing \"filename\""},
      {event(R"("RENAME")", 1, R"("source": "/a")"), "rename needs"},
      {event(R"("RENAME")", 1, R"("source": "/a", "existing_file": "/b", "filename": "c")"),
       "rename needs"},
  };
  std::string trace = open(1, 10000) + "\n\n \t\n" + event(R"("TRUNCATE")", 2) + "\n" +
                      event("999", 3, "") + "\r\n" + event("41", 4) + "\n" +
                      event(R"("UNLINK")", 5) + "\n";
  for (const auto& [line, reason] : bad) trace += line + "\n";
  const size_t lines = std::size(bad) + 8;
  EXPECT_EQ(replay(file(trace + open(6, 200000)),
                   {ES_EVENT_TYPE_NOTIFY_OPEN, ES_EVENT_TYPE_NOTIFY_UNLINK}),
            lines);
  EXPECT_THAT(_seen, ElementsAre("1:10000", "3", "5", "6:200000"));
  EXPECT_THAT(_threads, ElementsAre(Ne(std::this_thread::get_id())));
  std::vector<std::string> logged = _log.texts();
  ASSERT_EQ(logged.size(), std::size(bad) + 1);
  for (size_t i = 0; i < std::size(bad); ++i) {
    std::string prefix = "ZORVA_LOG: ERROR: replay: line " + std::to_string(i + 8) + ": ";
    EXPECT_THAT(logged[i], AllOf(StartsWith(prefix), HasSubstr(bad[i].second)));
  }
  EXPECT_EQ(logged.back(),
            "ZORVA_LOG: replay: end of input after " + std::to_string(lines) + " lines");
}

TEST_F(ReplayEventSourceTest, RefusesBadSubscriptionsAndStrayClients) {
  es_client_t* client = nullptr;
  // Unknown types always go through, so a reader started before subscribe would deliver this.
  ReplayEventSource source(::open(file(event("999", 1, "")).c_str(), O_RDONLY | O_CLOEXEC), "fd");
  ASSERT_EQ(source.newClient(&client, _handler), ES_NEW_CLIENT_RESULT_SUCCESS);
  es_client_t* other = nullptr;
  EXPECT_EQ(source.newClient(&other, _handler), ES_NEW_CLIENT_RESULT_ERR_INTERNAL);
  es_event_type_t unknown = static_cast<es_event_type_t>(999);
  EXPECT_EQ(source.subscribe(client, &unknown, 1), ES_RETURN_ERROR);
  es_client_t stray;
  EXPECT_EQ(source.deleteClient(&stray), ES_RETURN_ERROR);
  EXPECT_EQ(source.deleteClient(client), ES_RETURN_SUCCESS);
  EXPECT_EQ(source.deleteClient(client), ES_RETURN_ERROR);
  // A descriptor handed over is read by one client only.
  EXPECT_EQ(source.newClient(&other, _handler), ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT);
}

TEST_F(ReplayEventSourceTest, DeleteClientWakesAReaderBlockedOnAnOpenPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ReplayEventSource source(fds[0], "pipe", _onEnd);
  es_client_t* client = nullptr;
  ASSERT_EQ(source.newClient(&client, _handler), ES_NEW_CLIENT_RESULT_SUCCESS);
  ASSERT_EQ(source.subscribe(client, Types{ES_EVENT_TYPE_NOTIFY_OPEN}.data(), 1),
            ES_RETURN_SUCCESS);
  EXPECT_EQ(source.deleteClient(client), ES_RETURN_SUCCESS);
  EXPECT_EQ(_ended.get_future().wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  close(fds[1]);
}

TEST_F(ReplayEventSourceTest, ReadsStandardInputAndLeavesItOpen) {
  int savedStdin = dup(STDIN_FILENO);
  int fd = ::open(file(open(1)).c_str(), O_RDONLY);
  ASSERT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
  close(fd);
  EXPECT_EQ(replay("-"), 1u);
  EXPECT_GE(fcntl(STDIN_FILENO, F_GETFD), 0);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  EXPECT_THAT(_seen, ElementsAre("1:2"));
}

// ---- Parsing

std::string_view text(es_string_token_t token) { return {token.data, token.length}; }

// path:mode:size, with the mode in octal, so that a wrong kind of file is as plain as a wrong path.
std::string show(const es_file_t* file) {
  std::ostringstream out;
  if (file) out << text(file->path) << ':' << std::oct << file->stat.st_mode << std::dec << ':';
  return file ? " " + out.str() + std::to_string(file->stat.st_size) : " -";
}
std::string show(es_string_token_t name) { return " " + std::string(text(name)); }

// Everything a message's event carries on one line, so that each table row states it all.
std::string show(const es_message_t& m) {
  const es_events_t& e = m.event;
  switch (m.event_type) {
    case ES_EVENT_TYPE_NOTIFY_OPEN:
      return "OPEN" + show(e.open.file) + " " + std::to_string(e.open.fflag);
    case ES_EVENT_TYPE_NOTIFY_CLOSE:
      return "CLOSE" + show(e.close.target) + " " + std::to_string(e.close.modified);
    case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA:
      return "EXCHANGEDATA" + show(e.exchangedata.file1) + show(e.exchangedata.file2);
    case ES_EVENT_TYPE_NOTIFY_LINK:
      return "LINK" + show(e.link.source) + show(e.link.target_dir) + show(e.link.target_filename);
    case ES_EVENT_TYPE_NOTIFY_RENAME:
      return "RENAME" + show(e.rename.source) +
             (e.rename.destination_type == ES_DESTINATION_TYPE_EXISTING_FILE
                  ? " existing" + show(e.rename.destination.existing_file)
                  : " new" + show(e.rename.destination.new_path.dir) +
                        show(e.rename.destination.new_path.filename));
    case ES_EVENT_TYPE_NOTIFY_UNLINK:
      return "UNLINK" + show(e.unlink.target) + show(e.unlink.parent_dir);
    case ES_EVENT_TYPE_NOTIFY_TRUNCATE:
      return "TRUNCATE" + show(e.truncate.target);
    case ES_EVENT_TYPE_NOTIFY_CLONE:
      return "CLONE" + show(e.clone.source) + show(e.clone.target_dir) + show(e.clone.target_name);
    case ES_EVENT_TYPE_NOTIFY_COPYFILE:
      return "COPYFILE" + show(e.copyfile.source) + show(e.copyfile.target_file) +
             show(e.copyfile.target_dir) + show(e.copyfile.target_name) + " " +
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
    SCOPED_TRACE(event);
    std::string error;
    auto message = parseReplayLine(std::string(kCommon).append(event) + "}", &error);
    ASSERT_NE(message, nullptr) << error;
    const es_process_t& p = *message->message().process;
    EXPECT_EQ(std::tuple(p.pid, p.ppid, p.is_platform_binary, show(p.executable),
                         show(message->message())),
              std::tuple(101, 100, true, " /usr/bin/cp:100755:0", expected));
  }
}

}  // namespace
}  // namespace zorva
