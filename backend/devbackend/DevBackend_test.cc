#include "backend/devbackend/DevBackend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "testing/ChildProcess.h"
#include "testing/TempFolder.h"
#include "testing/TestCertificate.h"

namespace zorva {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Optional;
using json = nlohmann::json;
using testing::ChildProcess;

struct Exchange {
  std::string method, path;
  int status;
  json reply = nullptr;  // null: any, but an error names itself
  std::string body = "{}";
  std::string type = "application/json";
};

void expectReplies(const DevBackendOptions& options, const std::vector<Exchange>& exchanges) {
  DevBackend backend(options);
  backend.start();
  httplib::Client client(backend.url());
  for (const Exchange& e : exchanges) {
    SCOPED_TRACE(e.method + " " + e.path + " " + e.body.substr(0, 40));
    const auto result = e.method == "GET"   ? client.Get(e.path)
                        : e.method == "PUT" ? client.Put(e.path, e.body, e.type)
                                            : client.Post(e.path, e.body, e.type);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, e.status);
    const json got = json::parse(result->body, nullptr, false);
    EXPECT_TRUE(e.reply.is_null() ? e.status < 400 || got["error"].is_string() : got == e.reply)
        << result->body;
  }
}

TEST(DevBackend, RoutesAnswerOnlyTheirMethodPathAndToken) {
  const std::string check = "/api/1/device/current?device_session_key=";
  const std::string audit = "/api/1/audit_event?device_session_key=";
  const json ok{{"ok", true}}, unknown{{"error", "unknown device"}},
      notFound{{"error", "not found"}};
  const json enabled{{"is_disabled", 0}}, disabled{{"is_disabled", 1}};
  expectReplies(
      {.validTokens = {"good"}, .disabledTokens = {"off"}, .org = "acme"},
      {{"GET", check + "good", 200, enabled},
       {"GET", check + "off", 200, disabled},
       {"GET", check + "other", 401, unknown},
       {"GET", check, 401, unknown},
       // The token is checked before the body; a disabled device is told so by the check only.
       {"POST", audit + "good", 200, ok, R"({"events":[{"path":"/v/a"}]})"},
       {"POST", audit + "off", 200, ok},
       {"POST", audit + "bad", 401, unknown, "not json"},
       {"POST", audit + "good", 400, nullptr, "{\"events\": ["},
       {"POST", "/api/1/audit_event", 401, unknown, "device_session_key=good",
        "application/x-www-form-urlencoded"},
       // Batches of several megabytes are what the service sends after an outage.
       {"POST", audit + "good", 200, ok, json{{"blob", std::string(5 << 20, 'x')}}.dump()},
       {"POST", "/acme/1/track?current_time=1", 200, ok},
       {"POST", "/acme/1/app_log", 400, nullptr, "{"},
       {"POST", "/zorva/1/track", 404, notFound},
       {"GET", "/acme/1/track", 404, notFound},
       {"POST", check + "k", 404, notFound, "{}", "text/plain"},
       {"PUT", audit + "good", 404, notFound},
       {"GET", "/api/1/device/current/more?device_session_key=good", 404, notFound}});
  // The demo names no valid token: then any non-empty key passes.
  expectReplies({}, {{"GET", check + "x", 200, enabled}, {"GET", check, 401, unknown}});
}

TEST(DevBackend, LogHoldsOneJsonLinePerRequestInTheFormTheRigReads) {
  TempFolder folder("devbackend");
  const std::string logPath = folder / "requests.jsonl";
  std::ofstream(logPath) << "left from an earlier run\n";
  DevBackend backend({.statusOverrides = {{"/api/1/audit_event", 500}}, .logPath = logPath});
  backend.start();
  httplib::Client client(backend.url());
  client.Get("/api/1/device/current?device_session_key=a%20b&x=1&x=2");
  client.Post("/api/1/audit_event?device_session_key=k", "line1\n\"quoted\"\xff", "text/plain");

  std::ifstream in(logPath);
  std::vector<json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  ASSERT_EQ(lines.size(), 2u) << "an overridden request is logged all the same";
  EXPECT_THAT(lines[0]["time"].get<std::string>(),
              MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z"));
  lines[0].erase("time");
  EXPECT_EQ(lines[0], R"({"method": "GET", "path": "/api/1/device/current", "body": "",
                          "query": {"device_session_key": "a b", "x": ["1", "2"]}})"_json);
  EXPECT_EQ(lines[1]["body"], "line1\n\"quoted\"\xef\xbf\xbd");
}

// A stand-in that answers any token must never be reachable from another machine.
TEST(DevBackend, ServesOnlyLoopbackAndHttpsOnlyWithAWholeCertificatePair) {
  for (const char* host : {"127.0.0.1", "127.255.3.4", "::1", "0:0:0:0:0:0:0:1"})
    EXPECT_TRUE(isLoopbackHost(host)) << host;
  for (const char* host : {"0.0.0.0", "::", "128.0.0.1", "10.0.0.1", "::ffff:127.0.0.1",
                           "localhost", "127.1", "", "127.0.0.1 "})
    EXPECT_FALSE(isLoopbackHost(host)) << host;
  EXPECT_FALSE(isLoopbackHost(std::string_view("127.0.0.1\0x", 11)));
  DevBackend v6({.host = "::1"});
  v6.start();
  EXPECT_THAT(v6.url(), MatchesRegex(R"(http://\[::1\]:[0-9]+)"));
  EXPECT_THROW(v6.start(), std::logic_error);
  TempFolder folder("devbackend");
  const TestCertificate certificate(folder.path());
  EXPECT_THROW(DevBackend({.host = "0.0.0.0"}).start(), std::invalid_argument);
  EXPECT_THROW(DevBackend({.certPath = certificate.cert()}).start(), std::invalid_argument);
  EXPECT_THROW(DevBackend({.certPath = certificate.key(), .keyPath = certificate.cert()}).start(),
               std::runtime_error);
}

TEST(DevBackend, StatusOverridesTakeOnlyAnAbsolutePathAndACodeFrom200To599) {
  EXPECT_EQ(parseStatusOverride("/a=b=429"), std::make_pair(std::string("/a=b"), 429));
  for (const char* bad : {"/a", "a=500", "=500", "/a=", "/a=5x", "/a=99", "/a=600", "/a=-500"})
    EXPECT_EQ(parseStatusOverride(bad), std::nullopt) << bad;
}

// As the demo and the rig run it: the first line says where it listens, requests go to standard
// output without --log, SIGTERM ends it well, and what it cannot serve is an error.
TEST(DevBackend, TheProgramSaysWhereItListensLogsRequestsAndEndsWithTheRightStatus) {
  auto server = ChildProcess::spawn({ZORVA_DEVBACKEND_PROGRAM});
  const std::string first = server->readLine(ChildProcess::Stream::Out).value_or("");
  ASSERT_THAT(first, MatchesRegex("listening http://127\\.0\\.0\\.1:[0-9]+"));
  httplib::Client(first.substr(10)).Get("/api/1/device/current?device_session_key=k");
  EXPECT_THAT(server->readLine(ChildProcess::Stream::Out),
              Optional(HasSubstr(R"("query":{"device_session_key":"k"})")));
  TempFolder folder("devbackend");
  using Run =
      std::tuple<std::string, std::string, int, std::string>;  // option, value, exit status, error
  for (const auto& [option, value, status, says] :
       std::vector<Run>{{"--host", "0.0.0.0", 2, "only loopback addresses"},
                        {"--status", "/a=99", 2, "is not PATH=CODE"},
                        {"--port", first.substr(first.rfind(':') + 1), 1, "cannot listen on"},
                        {"--log", folder / "missing/log", 1, "cannot open request log"}}) {
    // Bounded: a program that serves anyway would never end.
    const auto ran =
        testing::runCommand({"timeout", "10", ZORVA_DEVBACKEND_PROGRAM, option, value});
    EXPECT_EQ(ran.status, status) << option;
    EXPECT_THAT(ran.err, HasSubstr(says)) << option;
  }
  server->signal(SIGTERM);
  EXPECT_EQ(server->wait(), 0);
}

}  // namespace
}  // namespace zorva
