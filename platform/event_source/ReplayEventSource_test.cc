#include "platform/event_source/ReplayEventSource.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <thread>
#include <vector>

#include "platform/log/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string event(std::string_view type, int64_t pid, std::string_view fields = R"("path": "/p")") {
  std::string line = R"({"pid": )" + std::to_string(pid) +
                     R"(, "ppid": 1, "executable": "/bin/x", "platform": false, "event": )";
  line.append(type);
  if (!fields.empty()) line.append(", ").append(fields);
  return line.append("}");
}
std::string open(int pid) { return event(R"("OPEN")", pid); }

class TempFile {
 public:
  explicit TempFile(std::string_view content) : path_(::testing::TempDir() + "replayXXXXXX") {
    int fd = mkstemp(path_.data());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Seen {
  uint32_t type;
  pid_t pid;
  std::thread::id thread;
  size_t pathLength;
};

class ReplayEventSourceTest : public ::testing::Test {
 protected:
  ReplayEventSource::EndOfInput onEnd() {
    return [this](uint64_t lines) { ended_.set_value(lines); };
  }

  es_handler_block_t handler() {
    return [this](es_client_t*, const es_message_t* message) {
      std::lock_guard lock(mutex_);
      size_t length = message->event_type == ES_EVENT_TYPE_NOTIFY_OPEN
                          ? message->event.open.file->path.length
                          : 0;
      seen_.push_back(
          {message->event_type, message->process->pid, std::this_thread::get_id(), length});
      if (!subscribed_) ADD_FAILURE() << "delivered before subscribe";
      delivered_.notify_all();
    };
  }

  es_client_t* start(ReplayEventSource& source,
                     std::vector<es_event_type_t> types = {ES_EVENT_TYPE_NOTIFY_OPEN}) {
    es_client_t* client = nullptr;
    EXPECT_EQ(source.newClient(&client, handler()), ES_NEW_CLIENT_RESULT_SUCCESS);
    {
      std::lock_guard lock(mutex_);
      subscribed_ = true;
    }
    EXPECT_EQ(source.subscribe(client, types.data(), static_cast<uint32_t>(types.size())),
              ES_RETURN_SUCCESS);
    return client;
  }

  // The whole trace through a fresh source; returns the lines it counted.
  uint64_t replay(std::string_view content,
                  std::vector<es_event_type_t> types = {ES_EVENT_TYPE_NOTIFY_OPEN}) {
    TempFile file(content);
    ReplayEventSource source(file.path(), onEnd());
    es_client_t* client = start(source, std::move(types));
    uint64_t lines = ended_.get_future().get();
    EXPECT_EQ(source.deleteClient(client), ES_RETURN_SUCCESS);
    return lines;
  }

  std::vector<pid_t> pids() {
    std::lock_guard lock(mutex_);
    std::vector<pid_t> out;
    for (const Seen& seen : seen_) out.push_back(seen.pid);
    return out;
  }

  std::vector<std::string> errors() {
    std::vector<std::string> out;
    for (const auto& line : log_.lines()) {
      if (line.level == LogLevel::Error) out.push_back(line.text);
    }
    return out;
  }

  void waitForDeliveries(size_t count) {
    std::unique_lock lock(mutex_);
    delivered_.wait(lock, [&] { return seen_.size() >= count; });
  }

  MemoryLogWriter log_;
  std::promise<uint64_t> ended_;
  std::mutex mutex_;
  std::condition_variable delivered_;
  std::vector<Seen> seen_;
  bool subscribed_ = false;
};

TEST_F(ReplayEventSourceTest, DeliversInFileOrderOnOneThreadOfItsOwn) {
  std::string trace = open(1) + "\n\n \t\n" + open(2) + "\r\n" + open(3);
  EXPECT_EQ(replay(trace), 5u);
  EXPECT_THAT(pids(), ElementsAre(1, 2, 3));
  EXPECT_NE(seen_[0].thread, std::this_thread::get_id());
  for (const Seen& seen : seen_) EXPECT_EQ(seen.thread, seen_[0].thread);
  EXPECT_THAT(errors(), ElementsAre());
  EXPECT_THAT(log_.texts(), ElementsAre("ZORVA_LOG: replay: end of input after 5 lines"));
}

TEST_F(ReplayEventSourceTest, BadLinesAreLoggedWithTheirNumberAndSkipped) {
  const std::pair<std::string, std::string_view> bad[] = {
      {"not json", "not JSON"},
      {"[1, 2]", "not a JSON object"},
      {R"({"event": "OPEN", "ppid": 1, "executable": "/x", "platform": true, "path": "/p"})",
       "missing \"pid\""},
      {event(R"("OPEN")", 1, R"("path": 5)"), "\"path\": not a string"},
      {event(R"("OPEN")", 1, R"("path": {"hex": "2g"})"), "\"path\": not hex"},
      {event(R"("OPEN")", 1, R"("path": {"hex": "2f6"})"), "\"path\": odd number"},
      {event(R"("OPEN")", 1, R"("path": "/a\u0000b")"), "\"path\": contains NUL"},
      {event(R"("OPENX")", 1), "\"event\": unknown event"},
      {event(R"("OPEN")", 2147483648), "\"pid\": out of range"},
      {event("-1", 1), "\"event\": out of range"},
  };
  std::string trace = open(1) + "\n\n";
  for (const auto& [line, reason] : bad) trace += line + "\n";
  EXPECT_EQ(replay(trace + open(2) + "\n"), std::size(bad) + 3);

  EXPECT_THAT(pids(), ElementsAre(1, 2));
  std::vector<std::string> logged = errors();
  ASSERT_EQ(logged.size(), std::size(bad));
  for (size_t i = 0; i < logged.size(); ++i) {
    std::string prefix = "ZORVA_LOG: ERROR: replay: line " + std::to_string(i + 3) + ": ";
    EXPECT_THAT(logged[i], StartsWith(prefix));
    EXPECT_THAT(logged[i], HasSubstr(bad[i].second));
  }
}

TEST_F(ReplayEventSourceTest, LongLinesSpanReadsAndOverlongOnesAreSkipped) {
  auto withPath = [](int pid, size_t length) {
    return event(R"("OPEN")", pid, R"("path": "/)" + std::string(length - 1, 'a') + "\"");
  };
  std::string trace = withPath(1, 10000) + "\n" + withPath(2, 200000) + "\n" +
                      std::string(1024 * 1024 + 1, 'x') + "\n" + open(4);
  EXPECT_EQ(replay(trace), 4u);
  EXPECT_THAT(pids(), ElementsAre(1, 2, 4));
  EXPECT_EQ(seen_[0].pathLength, 10000u);
  EXPECT_EQ(seen_[1].pathLength, 200000u);
  EXPECT_THAT(errors(), ElementsAre(StartsWith("ZORVA_LOG: ERROR: replay: line 3: longer than")));
}

TEST_F(ReplayEventSourceTest, DropsUnsubscribedKnownTypesButNotUnknownOnes) {
  std::string trace = open(1) + "\n" + event(R"("TRUNCATE")", 2) + "\n" + event("999", 3, "") +
                      "\n" + event("41", 4) + "\n" + event(R"("UNLINK")", 5) + "\n";
  replay(trace, {ES_EVENT_TYPE_NOTIFY_OPEN, ES_EVENT_TYPE_NOTIFY_UNLINK});
  EXPECT_THAT(pids(), ElementsAre(1, 3, 5));
  EXPECT_EQ(seen_[1].type, 999u);
}

TEST_F(ReplayEventSourceTest, NewClientFailsWhenTheFileCannotBeOpened) {
  ReplayEventSource source("/nonexistent/trace.jsonl");
  es_client_t* client = nullptr;
  EXPECT_EQ(source.newClient(&client, handler()), ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(client, nullptr);
  EXPECT_THAT(errors(), ElementsAre(AllOf(HasSubstr("/nonexistent/trace.jsonl"),
                                          HasSubstr("No such file or directory"))));
}

TEST_F(ReplayEventSourceTest, RejectsBadSubscriptionsAndStrayClients) {
  TempFile file(open(1) + "\n");
  ReplayEventSource source(file.path());
  es_client_t* client = nullptr;
  ASSERT_EQ(source.newClient(&client, handler()), ES_NEW_CLIENT_RESULT_SUCCESS);
  es_client_t* second = nullptr;
  EXPECT_EQ(source.newClient(&second, handler()), ES_NEW_CLIENT_RESULT_ERR_INTERNAL);

  es_event_type_t types[] = {ES_EVENT_TYPE_NOTIFY_OPEN, static_cast<es_event_type_t>(999)};
  EXPECT_EQ(source.subscribe(nullptr, types, 1), ES_RETURN_ERROR);
  EXPECT_EQ(source.subscribe(client, types, 0), ES_RETURN_ERROR);
  EXPECT_EQ(source.subscribe(client, types, 2), ES_RETURN_ERROR);
  es_client_t stray;
  EXPECT_EQ(source.subscribe(&stray, types, 1), ES_RETURN_ERROR);
  EXPECT_EQ(source.deleteClient(&stray), ES_RETURN_ERROR);

  EXPECT_EQ(source.deleteClient(client), ES_RETURN_SUCCESS);
  EXPECT_EQ(source.deleteClient(client), ES_RETURN_ERROR);
  EXPECT_TRUE(pids().empty());
}

TEST_F(ReplayEventSourceTest, DeleteClientWakesAReaderWaitingOnAnOpenPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ReplayEventSource source(fds[0], "pipe", onEnd());
  es_client_t* client = start(source);

  EXPECT_EQ(source.deleteClient(client), ES_RETURN_SUCCESS);
  EXPECT_EQ(ended_.get_future().wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  es_client_t* again = nullptr;
  EXPECT_EQ(source.newClient(&again, handler()), ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT);
  close(fds[1]);
}

TEST_F(ReplayEventSourceTest, ReadsStandardInputAndLeavesItOpen) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int savedStdin = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
  close(fds[0]);
  std::string trace = open(1) + "\n" + open(2) + "\n";
  ASSERT_EQ(write(fds[1], trace.data(), trace.size()), static_cast<ssize_t>(trace.size()));
  close(fds[1]);
  {
    ReplayEventSource source("-", onEnd());
    es_client_t* client = start(source);
    EXPECT_EQ(ended_.get_future().get(), 2u);
    EXPECT_EQ(source.deleteClient(client), ES_RETURN_SUCCESS);
  }
  EXPECT_GE(fcntl(STDIN_FILENO, F_GETFD), 0);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  EXPECT_THAT(pids(), ElementsAre(1, 2));
}

}  // namespace
}  // namespace zorva
