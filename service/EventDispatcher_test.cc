#include "service/EventDispatcher.h"

#include <gtest/gtest.h>

#include "platform/event_source/testing/MessageBuilders.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using namespace testing;  // the message builders
using Str = std::optional<std::string>;

// Each call as one line with every argument the dispatcher chooses; "-" for nothing, and the
// builders' default process (101/100, /usr/bin/cp) left out.
struct RecordingTracker final : PathTrackerInterface {
  void open(std::string_view path, const struct stat& s, const Lineage& actor, Str exec,
            uint32_t flags, const EventFile* file) override {
    add({"open", path, std::to_string(s.st_size), who(actor), or_(exec), std::to_string(flags),
         file ? "file" : "-"});
  }
  void close(std::string_view path, const struct stat& s, const Lineage& actor, Str exec,
             bool modified, const EventFile* file) override {
    add({"close", path, std::to_string(s.st_size), who(actor), or_(exec),
         modified ? "modified" : "-", file ? "file" : "-"});
  }
  void source(std::string_view source, Str dest, bool either, bool both, Str exec,
              std::string_view type, const Lineage& actor) override {
    add({type, source, or_(dest), either ? "either" : "-", both ? "both" : "-", or_(exec),
         who(actor)});
  }
  void modify(Str path, Str exec, std::string_view type) override {
    add({type, or_(path), or_(exec)});
  }
  static std::string or_(const Str& s) { return s == "/usr/bin/cp" ? "" : s.value_or("-"); }
  static std::string who(const Lineage& l) {
    if (l == Lineage{101, 100, 0, 0}) return "";
    return std::to_string(l.pid) + "/" + std::to_string(l.ppid) + "/" +
           std::to_string(l.grandparent) + "/" + std::to_string(l.greatGrandparent);
  }
  void add(std::initializer_list<std::string_view> words) {
    for (std::string_view word : words) {
      if (!word.empty()) calls.append(calls.empty() ? "" : " ").append(word);
    }
  }
  std::string calls;
};

// Raw first paths, decoded second paths and programs (nothing when not UTF-8), joined
// destinations with nothing collapsed ("/" and "b" make "//b"), the whole family, the open file
// handed over; folders' opens and closes dropped, single-path changes of folders not; ignored
// processes make no call and no line, unknown types a line.
TEST(EventDispatcherTest, EachEventTypeMakesItsOneCallWithEveryArgument) {
  MemoryLogWriter log;
  RecordingTracker tracker;
  EventDispatcher dispatcher{tracker};
  struct : EventFile {
    SharedOpenFile retain() const override { return nullptr; }
  } file;
  const Actor grandchild{.pid = 301, .ppid = 201, .grandparent = 200, .greatGrandparent = 100};
  const Actor client{.executable = "/opt/zorva-client/bin/client", .platform = false};
  const std::string longDir = "/media/usb/" + std::string(8000, 'd');  // beyond PATH_MAX
  auto openFile = makeMessage(ES_EVENT_TYPE_NOTIFY_OPEN, grandchild);
  struct stat status {};
  status.st_size = 5;
  openFile->message().event.open = {openFile->file("/v/b", status, &file), 2};
  const std::pair<std::unique_ptr<OwnedMessage>, std::string> rows[] = {
      {makeOpen("/v/a"), "open /v/a 1000 1 -"},
      {std::move(openFile), "open /v/b 5 301/201/200/100 2 file"},
      {makeClose("/v/a", true), "close /v/a 1000 modified -"},
      {makeClose("/v/a", false, S_IFREG, 7), "close /v/a 7 - -"},
      {makeOpen("/v/dir", S_IFDIR | 0755), ""},
      {makeClose("/v/dir", true, S_IFDIR | 0755), ""},
      {makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/v/dir", S_IFDIR), "UNLINK /v/dir"},
      {makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/v/dir", S_IFDIR), "TRUNCATE /v/dir"},
      {makeLink("/v/original", "/tmp", "link"), "LINK /tmp/link"},
      {makeExchange("/v/a", "/tmp/b"), "EXCHANGEDATA /v/a /tmp/b either both"},
      {makeRenameToExisting("/v/a", "/tmp/b"), "RENAME /v/a /tmp/b - both"},
      {makeRenameToNew("/v/a", "/tmp", "b"), "RENAME /v/a /tmp/b - both"},
      {makeRenameToNew("/v/a", "/tmp/", "./b"), "RENAME /v/a /tmp//./b - both"},
      {makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/v/a", "/", "b"), "CLONE /v/a //b - -"},
      {makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/", "b"), "COPYFILE /v/a //b - -"},
      {makeRenameToNew(longDir + "/a", longDir, "b"),
       "RENAME " + longDir + "/a " + longDir + "/b - both"},
      {makeOpen("/v/\xff", S_IFREG, 9, 1, Actor{.executable = "/usr/bin/\xfe"}),
       "open /v/\xff 9 - 1 -"},
      {makeRenameToNew("/v/\xff", "/tmp", "\xc0\xaf"), "RENAME /v/\xff - - both"},
      {makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/tmp/\xff", "b"), "COPYFILE /v/a - - -"},
      {makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/v/\xed\xa0\x80"), "UNLINK -"},
      // Which processes are ignored is the filter's own test; here, that they are.
      {makeOpen("/v/a", S_IFREG, 10, 0, client), ""},
      {makeLink("/v/a", "/t", "b", client), ""},
      {makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/v/a", S_IFREG, client), ""},
      {makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/t", "b", client), ""},
      {makeMessage(4294967295u), ""},
  };
  for (const auto& [message, expected] : rows) {
    tracker.calls.clear();
    dispatcher.handle(message->message());
    EXPECT_EQ(tracker.calls, expected);
  }
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "ZORVA_LOG: ERROR: Unexpected event type encountered: 4294967295\n"}));
}

}  // namespace
}  // namespace zorva
