#include "backend/devbackend/DevBackend.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

extern char** environ;

namespace zorva {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using json = nlohmann::json;
using namespace std::string_literals;

struct Reply {
  int status = 0;  // 0: no answer at all
  json body;
  bool operator==(const Reply&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Reply& r) {
    return out << r.status << " " << r.body.dump();
  }
};

Reply reply(const httplib::Result& result) {
  if (!result) return {};
  return {result->status, json::parse(result->body, nullptr, false)};
}

const Reply kOk{200, {{"ok", true}}};
const Reply kUnknownDevice{401, {{"error", "unknown device"}}};
const Reply kNotFound{404, {{"error", "not found"}}};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "devbackend.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

class DevBackendTest : public ::testing::Test {
 protected:
  httplib::Client& serve(DevBackendOptions options = {}) {
    options.onRequest = [this](const RecordedRequest& request) {
      std::lock_guard lock(mutex_);
      recorded_.push_back(request);
    };
    backend_ = std::make_unique<DevBackend>(std::move(options));
    backend_->start();
    client_ = std::make_unique<httplib::Client>(backend_->url());
    return *client_;
  }
  std::vector<RecordedRequest> recorded() {
    std::lock_guard lock(mutex_);
    return recorded_;
  }

  std::mutex mutex_;
  std::vector<RecordedRequest> recorded_;
  std::unique_ptr<DevBackend> backend_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(DevBackendTest, DeviceCheckAnswersByToken) {
  auto& c = serve({.validTokens = {"good"}, .disabledTokens = {"off"}});
  const std::string check = "/api/1/device/current";
  EXPECT_EQ(reply(c.Get(check + "?device_session_key=good")), (Reply{200, {{"is_disabled", 0}}}));
  EXPECT_EQ(reply(c.Get(check + "?device_session_key=off")), (Reply{200, {{"is_disabled", 1}}}));
  EXPECT_EQ(reply(c.Get(check + "?device_session_key=other")), kUnknownDevice);
  EXPECT_EQ(reply(c.Get(check)), kUnknownDevice);
  EXPECT_EQ(reply(c.Get(check + "?device_session_key=")), kUnknownDevice);
}

TEST_F(DevBackendTest, WithoutValidTokensAnyKeyPassesButAMissingOneDoesNot) {
  auto& c = serve({.disabledTokens = {"off"}});
  EXPECT_EQ(reply(c.Get("/api/1/device/current?device_session_key=x")).body["is_disabled"], 0);
  EXPECT_EQ(reply(c.Get("/api/1/device/current?device_session_key=off")).body["is_disabled"], 1);
  EXPECT_EQ(reply(c.Get("/api/1/device/current")), kUnknownDevice);
}

TEST_F(DevBackendTest, AuditEventChecksTheTokenBeforeTheBody) {
  auto& c = serve({.validTokens = {"good"}, .disabledTokens = {"off"}});
  const auto post = [&](const std::string& key, const std::string& body) {
    return reply(c.Post("/api/1/audit_event?device_session_key=" + key, body, "application/json"));
  };
  EXPECT_EQ(post("good", R"({"events":[{"path":"/v/a"}]})"), kOk);
  EXPECT_EQ(post("off", "{}"), kOk);
  EXPECT_EQ(post("bad", "{}"), kUnknownDevice);
  EXPECT_EQ(post("bad", "not json"), kUnknownDevice);
  EXPECT_EQ(reply(c.Post("/api/1/audit_event", "device_session_key=good",
                         "application/x-www-form-urlencoded")),
            kUnknownDevice);
  EXPECT_TRUE(recorded().back().query.empty());
  const Reply rejected = post("good", "{\"events\": [");
  EXPECT_EQ(rejected.status, 400);
  EXPECT_TRUE(rejected.body["error"].is_string());

  // Batches of several megabytes are what the service sends after an outage.
  const std::string large = json{{"blob", std::string(5 << 20, 'x')}}.dump();
  EXPECT_EQ(post("good", large), kOk);
  EXPECT_EQ(recorded().back().body.size(), large.size());
}

TEST_F(DevBackendTest, RoutesAnswerOnlyTheirMethodAndPath) {
  auto& c = serve({.org = "acme"});
  EXPECT_EQ(reply(c.Post("/acme/1/track?current_time=1", "{}", "application/json")), kOk);
  EXPECT_EQ(reply(c.Post("/acme/1/app_log?current_time=1", "[1]", "application/json")), kOk);
  EXPECT_EQ(reply(c.Post("/acme/1/app_log", "{", "application/json")).status, 400);
  EXPECT_EQ(reply(c.Post("/zorva/1/track", "{}", "application/json")), kNotFound);
  EXPECT_EQ(reply(c.Get("/acme/1/track")), kNotFound);
  EXPECT_EQ(reply(c.Post("/api/1/device/current?device_session_key=k", "{}", "text/plain")),
            kNotFound);
  EXPECT_EQ(reply(c.Get("/api/1/audit_event?device_session_key=k")), kNotFound);
  EXPECT_EQ(reply(c.Put("/api/1/audit_event?device_session_key=k", "{}", "application/json")),
            kNotFound);
  EXPECT_EQ(reply(c.Get("/api/1/device/current/more?device_session_key=k")), kNotFound);
}

TEST_F(DevBackendTest, StatusOverridesPrecedeTheRoutesAndAreStillRecorded) {
  auto& c =
      serve({.statusOverrides = {{"/api/1/audit_event", 500}, {"/api/1/device/current", 503}}});
  const Reply rehearsed500{500, {{"error", "rehearsed"}}};
  EXPECT_EQ(reply(c.Post("/api/1/audit_event?device_session_key=k", "{}", "application/json")),
            rehearsed500);
  EXPECT_EQ(reply(c.Get("/api/1/device/current")).status, 503);
  EXPECT_EQ(reply(c.Post("/zorva/1/track", "{}", "application/json")), kOk);
  std::vector<std::string> paths;
  for (const auto& request : recorded()) paths.push_back(request.path);
  EXPECT_THAT(paths, ElementsAre("/api/1/audit_event", "/api/1/device/current", "/zorva/1/track"));
}

TEST(ParseStatusOverride, AcceptsOnlyAnAbsolutePathAndAnHttpErrorOrSuccessCode) {
  EXPECT_EQ(parseStatusOverride("/api/1/audit_event=500"),
            std::make_pair("/api/1/audit_event"s, 500));
  EXPECT_EQ(parseStatusOverride("/a=b=429"), std::make_pair("/a=b"s, 429));
  for (const char* bad : {"/a", "a=500", "=500", "/a=", "/a=5x", "/a=99", "/a=600", "/a=-500"}) {
    EXPECT_EQ(parseStatusOverride(bad), std::nullopt) << bad;
  }
}

TEST_F(DevBackendTest, LogFileHoldsOneJsonLinePerRequestWrittenBeforeTheAnswer) {
  TempDir dir;
  const std::string logPath = dir.file("requests.jsonl");
  std::ofstream(logPath) << "left from an earlier run\n";
  auto& c = serve({.logPath = logPath});
  c.Get("/api/1/device/current?device_session_key=a%20b&x=1&x=2");
  const std::string awkward = "line1\n\"quoted\"\xff";
  c.Post("/api/1/audit_event?device_session_key=k", awkward, "text/plain");

  std::ifstream in(logPath);
  std::vector<json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["method"], "GET");
  EXPECT_EQ(lines[0]["path"], "/api/1/device/current");
  EXPECT_EQ(lines[0]["query"], (json{{"device_session_key", "a b"}, {"x", {"1", "2"}}}));
  EXPECT_EQ(lines[0]["body"], "");
  EXPECT_EQ(lines[1]["method"], "POST");
  EXPECT_EQ(lines[1]["body"], "line1\n\"quoted\"\xef\xbf\xbd");
  EXPECT_THAT(lines[1]["time"].get<std::string>(),
              MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z"));
}

class DevBackendHttpsTest : public DevBackendTest {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " +
                                dir_->file("key.pem") + " -out " + dir_->file("cert.pem") +
                                " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                                " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  static void TearDownTestSuite() { delete dir_; }
  static TempDir* dir_;
};
TempDir* DevBackendHttpsTest::dir_ = nullptr;

TEST_F(DevBackendHttpsTest, ServesWithTheGivenCertificate) {
  auto& c = serve({.certPath = dir_->file("cert.pem"), .keyPath = dir_->file("key.pem")});
  ASSERT_THAT(backend_->url(), MatchesRegex(R"(https://127\.0\.0\.1:[0-9]+)"));
  c.set_ca_cert_path(dir_->file("cert.pem").c_str());
  c.enable_server_certificate_verification(true);
  EXPECT_EQ(reply(c.Post("/zorva/1/track", "{}", "application/json")), kOk);

  httplib::Client plain("http://127.0.0.1:" +
                        backend_->url().substr(backend_->url().rfind(':') + 1));
  EXPECT_EQ(reply(plain.Get("/api/1/device/current")).status, 0);
}

TEST_F(DevBackendHttpsTest, StartRefusesWhatItCannotServeSafely) {
  EXPECT_THROW(DevBackend({.host = "0.0.0.0"}).start(), std::invalid_argument);
  EXPECT_THROW(DevBackend({.certPath = dir_->file("cert.pem")}).start(), std::invalid_argument);
  EXPECT_THROW(
      DevBackend({.certPath = dir_->file("key.pem"), .keyPath = dir_->file("cert.pem")}).start(),
      std::runtime_error);
  EXPECT_THROW(DevBackend({.logPath = dir_->file("missing/log")}).start(), std::runtime_error);

  DevBackend first(DevBackendOptions{});
  const int port = first.start();
  EXPECT_THROW(first.start(), std::logic_error);
  EXPECT_THROW(DevBackend({.port = port}).start(), std::runtime_error);
}

TEST(IsLoopbackHost, AcceptsOnlyTheLoopbackRanges) {
  for (const char* host : {"127.0.0.1", "127.255.3.4", "::1", "0:0:0:0:0:0:0:1"}) {
    EXPECT_TRUE(isLoopbackHost(host)) << host;
  }
  for (const char* host : {"0.0.0.0", "::", "128.0.0.1", "10.0.0.1", "::ffff:127.0.0.1",
                           "localhost", "127.1", "", "127.0.0.1 "}) {
    EXPECT_FALSE(isLoopbackHost(host)) << host;
  }
  EXPECT_FALSE(isLoopbackHost(std::string_view("127.0.0.1\0x", 11)));
}

TEST_F(DevBackendTest, ServesOnIpv6Loopback) {
  auto& c = serve({.host = "::1"});
  EXPECT_THAT(backend_->url(), MatchesRegex(R"(http://\[::1\]:[0-9]+)"));
  EXPECT_EQ(reply(c.Post("/zorva/1/track", "{}", "application/json")), kOk);
}

// The program, run as the demo runs it.
struct Program {
  explicit Program(const std::vector<std::string>& args) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> all = {ZORVA_DEVBACKEND_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    stdoutFd = out[0];
    stderrFd = err[0];
  }
  ~Program() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      exitStatus();
    }
    ::close(stdoutFd);
    ::close(stderrFd);
  }

  // Reads until `lines` lines have arrived or the stream ends, failing after ten seconds.
  static std::string readLines(int fd, size_t lines) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string text;
    while (lines == 0 || static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        ADD_FAILURE() << "timed out after reading: " << text;
        break;
      }
      char buffer[4096];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, n);
    }
    return text;
  }
  int exitStatus() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid = 0;
  int stdoutFd = -1;
  int stderrFd = -1;
};

TEST(DevBackendProgram, RefusesANonLoopbackHostAsAUsageError) {
  Program program({"--host", "0.0.0.0"});
  EXPECT_THAT(Program::readLines(program.stderrFd, 0), HasSubstr("only loopback addresses"));
  EXPECT_EQ(program.exitStatus(), 2);
}

TEST(DevBackendProgram, AnnouncesItsUrlFirstLogsToStdoutAndStopsOnSigterm) {
  Program program({"--port", "0", "--valid-token", "good"});
  const std::string first = Program::readLines(program.stdoutFd, 1);
  std::smatch url;
  ASSERT_TRUE(
      std::regex_match(first, url, std::regex("listening (http://127\\.0\\.0\\.1:[0-9]+)\n")))
      << first;
  httplib::Client c(url[1].str());
  EXPECT_EQ(reply(c.Get("/api/1/device/current?device_session_key=good")).status, 200);
  const json logged = json::parse(Program::readLines(program.stdoutFd, 1));
  EXPECT_EQ(logged["query"]["device_session_key"], "good");

  ::kill(program.pid, SIGTERM);
  EXPECT_EQ(Program::readLines(program.stdoutFd, 0), "");
  EXPECT_EQ(program.exitStatus(), 0);
}

}  // namespace
}  // namespace zorva
