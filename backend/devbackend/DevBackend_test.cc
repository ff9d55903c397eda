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
#include <nlohmann/json.hpp>
#include <regex>

#include "testing/TempFolder.h"
#include "testing/TestCertificate.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using json = nlohmann::json;
using namespace std::string_literals;

struct Reply {
  int status = 0;       // 0: no answer at all
  json body = nullptr;  // null: any body
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
const Reply kBadRequest{400, nullptr};

struct Exchange {
  std::string method;
  std::string path;
  Reply expected;
  std::string body = "{}";
  std::string type = "application/json";
};

void expectReplies(httplib::Client& c, const std::vector<Exchange>& exchanges) {
  for (const Exchange& e : exchanges) {
    SCOPED_TRACE(e.method + " " + e.path + " " + e.body.substr(0, 40));
    const Reply got = reply(e.method == "GET"   ? c.Get(e.path)
                            : e.method == "PUT" ? c.Put(e.path, e.body, e.type)
                                                : c.Post(e.path, e.body, e.type));
    EXPECT_EQ(got.status, e.expected.status) << got;
    EXPECT_TRUE(e.expected.body.is_null() || got.body == e.expected.body) << got;
    EXPECT_TRUE(e.expected.status < 400 || got.body["error"].is_string()) << got;
  }
}

class DevBackendTest : public ::testing::Test {
 protected:
  httplib::Client& serve(DevBackendOptions options = {}) {
    _backend = std::make_unique<DevBackend>(std::move(options));
    _backend->start();
    _client = std::make_unique<httplib::Client>(_backend->url());
    return *_client;
  }
  std::unique_ptr<DevBackend> _backend;
  std::unique_ptr<httplib::Client> _client;
};

TEST_F(DevBackendTest, RoutesAnswerOnlyTheirMethodPathAndToken) {
  const std::string check = "/api/1/device/current?device_session_key=";
  const std::string audit = "/api/1/audit_event?device_session_key=";
  const Reply enabled{200, {{"is_disabled", 0}}};
  const Reply disabled{200, {{"is_disabled", 1}}};
  auto& c = serve({.validTokens = {"good"}, .disabledTokens = {"off"}, .org = "acme"});
  expectReplies(
      c, {{"GET", check + "good", enabled},
          {"GET", check + "off", disabled},
          {"GET", check + "other", kUnknownDevice},
          {"GET", "/api/1/device/current", kUnknownDevice},
          {"GET", check, kUnknownDevice},
          // The token is checked before the body; a disabled device is told so by the check only.
          {"POST", audit + "good", kOk, R"({"events":[{"path":"/v/a"}]})"},
          {"POST", audit + "off", kOk},
          {"POST", audit + "bad", kUnknownDevice, "not json"},
          {"POST", audit + "good", kBadRequest, "{\"events\": ["},
          {"POST", "/api/1/audit_event", kUnknownDevice, "device_session_key=good",
           "application/x-www-form-urlencoded"},
          {"POST", "/acme/1/track?current_time=1", kOk},
          {"POST", "/acme/1/app_log?current_time=1", kOk, "[1]"},
          {"POST", "/acme/1/app_log", kBadRequest, "{"},
          {"POST", "/zorva/1/track", kNotFound},
          {"GET", "/acme/1/track", kNotFound},
          {"POST", check + "k", kNotFound, "{}", "text/plain"},
          {"GET", audit + "good", kNotFound},
          {"PUT", audit + "good", kNotFound},
          {"GET", "/api/1/device/current/more?device_session_key=good", kNotFound}});
  // Batches of several megabytes are what the service sends after an outage.
  const std::string large = json{{"blob", std::string(5 << 20, 'x')}}.dump();
  expectReplies(c, {{"POST", audit + "good", kOk, large}});

  // Without valid tokens any non-empty key passes; status overrides precede the routes.
  expectReplies(
      serve({.disabledTokens = {"off"}, .statusOverrides = {{"/api/1/audit_event", 500}}}),
      {{"GET", check + "x", enabled},
       {"GET", check + "off", disabled},
       {"GET", check, kUnknownDevice},
       {"POST", audit + "x", Reply{500, json{{"error", "rehearsed"}}}}});
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
  TempFolder folder("devbackend");
  const std::string logPath = folder / "requests.jsonl";
  std::ofstream(logPath) << "left from an earlier run\n";
  // An overridden request is logged all the same.
  auto& c = serve({.statusOverrides = {{"/api/1/audit_event", 500}}, .logPath = logPath});
  c.Get("/api/1/device/current?device_session_key=a%20b&x=1&x=2");
  c.Post("/api/1/audit_event?device_session_key=k", "line1\n\"quoted\"\xff", "text/plain");

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

TEST(DescribeRequest, ShowsEachAuditEventAndTelemetryBatchAndSurvivesAnyBody) {
  RecordedRequest audit{.time = "2026-12-06T10:41:02.123Z",
                        .method = "POST",
                        .path = "/api/1/audit_event",
                        .query = {},
                        .body = R"({"event_list": [{"volume_id": 7, "source": "/a.txt",
                                   "dest": "/home/u/a.txt", "create_time": "2026-12-06T10:41:01Z"},
                                   "not an event", {"volume_id": 7}]})"};
  EXPECT_THAT(describeRequest(audit),
              ElementsAre("10:41:02.123  POST /api/1/audit_event: 3 audit event(s)",
                          "    volume 7: /a.txt -> /home/u/a.txt  (2026-12-06T10:41:01Z)",
                          "    volume 7: (none) -> (none)  ((none))"));

  RecordedRequest track = audit;
  track.path = "/zorva/1/track";
  track.body = R"({"events": [{"type": "install"}, {"type": "dau"}, {"log_line": "x"}, 5]})";
  EXPECT_THAT(describeRequest(track),
              ElementsAre("10:41:02.123  POST /zorva/1/track: 4 record(s): install, dau, x"));

  for (const char* body : {"", "{", "[1]", R"({"event_list": 5})", "\xff\xfe"}) {
    audit.body = body;
    EXPECT_THAT(describeRequest(audit), ::testing::SizeIs(1)) << body;
  }
  audit.time = "";  // a record made by hand must not be cut out of range
  EXPECT_THAT(describeRequest(audit), ::testing::SizeIs(1));
}

TEST_F(DevBackendTest, ServesHttpsAndIpv6LoopbackAndRefusesWhatItCannotServeSafely) {
  TempFolder folder("devbackend");
  const TestCertificate certificate(folder.path());
  const std::string& cert = certificate.cert();
  const std::string& key = certificate.key();
  auto& c = serve({.certPath = cert, .keyPath = key});
  ASSERT_THAT(_backend->url(), MatchesRegex(R"(https://127\.0\.0\.1:[0-9]+)"));
  c.set_ca_cert_path(cert);
  c.enable_server_certificate_verification(true);
  expectReplies(c, {{"POST", "/zorva/1/track", kOk}});
  httplib::Client plain("http://" + _backend->url().substr(8));
  EXPECT_EQ(reply(plain.Get("/api/1/device/current")).status, 0);
  expectReplies(serve({.host = "::1"}), {{"POST", "/zorva/1/track", kOk}});
  EXPECT_THAT(_backend->url(), MatchesRegex(R"(http://\[::1\]:[0-9]+)"));

  EXPECT_THROW(DevBackend({.host = "0.0.0.0"}).start(), std::invalid_argument);
  EXPECT_THROW(DevBackend({.certPath = cert}).start(), std::invalid_argument);
  EXPECT_THROW(DevBackend({.certPath = key, .keyPath = cert}).start(), std::runtime_error);
  EXPECT_THROW(DevBackend({.logPath = folder / "missing/log"}).start(), std::runtime_error);
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

// The program, run as the demo runs it, with its standard output and error on one pipe.
struct Program {
  explicit Program(std::vector<std::string> args) {
    int pipe[2];
    EXPECT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
    args.insert(args.begin(), ZORVA_DEVBACKEND_PROGRAM);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    output = pipe[0];
  }
  ~Program() {
    if (pid > 0) ::kill(pid, SIGKILL);
    exitStatus();
    ::close(output);
  }
  // The next line, or what came of it before the output ended or ten seconds passed.
  std::string readLine() {
    std::string line;
    for (char c = 0; c != '\n';) {
      pollfd p{.fd = output, .events = POLLIN, .revents = 0};
      if (::poll(&p, 1, kWaitMs) <= 0 || ::read(output, &c, 1) != 1) break;
      line.push_back(c);
    }
    return line;
  }
  int exitStatus() {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid = 0;
  int output = -1;
  static constexpr int kWaitMs = 10000;
};

TEST(DevBackendProgram, AnnouncesItsUrlFirstLogsToStdoutAndStopsOnSigterm) {
  Program refused({"--host", "0.0.0.0"});
  EXPECT_THAT(refused.readLine(), HasSubstr("only loopback addresses"));
  EXPECT_EQ(refused.exitStatus(), 2) << "a usage error";

  Program program({"--port", "0", "--valid-token", "good"});
  const std::string first = program.readLine();
  std::smatch url;
  ASSERT_TRUE(
      std::regex_match(first, url, std::regex("listening (http://127\\.0\\.0\\.1:[0-9]+)\n")))
      << first;
  httplib::Client c(url[1].str());
  EXPECT_EQ(reply(c.Get("/api/1/device/current?device_session_key=good")).status, 200);
  EXPECT_EQ(json::parse(program.readLine())["query"]["device_session_key"], "good");
  ::kill(program.pid, SIGTERM);
  EXPECT_EQ(program.readLine(), "");
  EXPECT_EQ(program.exitStatus(), 0);
}

}  // namespace
}  // namespace zorva
