// zorva-devbackend: serves the backend and analytics endpoints on loopback for the demo and tests.

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "backend/devbackend/DevBackend.h"

namespace {

constexpr int kUsageError = 2;

int usageError(const std::string& message) {
  std::fprintf(stderr, "zorva-devbackend: %s\n", message.c_str());
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  zorva::DevBackendOptions options;
  std::string logPath;
  std::vector<std::string> statuses;

  CLI::App app{"zorva-devbackend: a loopback stand-in for the backend and analytics service.",
               "zorva-devbackend"};
  app.add_option("--host", options.host, "Loopback address to serve on (127.0.0.0/8 or ::1)")
      ->capture_default_str();
  app.add_option("--port", options.port, "Port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  auto* cert = app.add_option("--cert", options.certPath, "PEM certificate; serves HTTPS");
  auto* key = app.add_option("--key", options.keyPath, "PEM private key of --cert");
  cert->needs(key);
  key->needs(cert);
  app.add_option("--log", logPath, "File for the request log (default: standard output)");
  bool readable = false;
  app.add_flag("--readable", readable,
               "Print requests on standard output as lines to read (audit events one per line)");
  app.add_option("--valid-token", options.validTokens,
                 "Device key the check accepts (repeatable; none: every key)");
  app.add_option("--disabled-token", options.disabledTokens,
                 "Device key the check reports as disabled (repeatable)");
  app.add_option("--status", statuses, "PATH=CODE: answer CODE for PATH (repeatable)");
  app.add_option("--org", options.org, "Organisation in the analytics paths")
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsageError;
  }

  if (!zorva::isLoopbackHost(options.host)) {
    return usageError("refusing --host " + options.host +
                      ": only loopback addresses (127.0.0.0/8, ::1) are served");
  }
  for (const std::string& status : statuses) {
    auto parsed = zorva::parseStatusOverride(status);
    if (!parsed) return usageError("--status " + status + " is not PATH=CODE with CODE 200..599");
    options.statusOverrides[parsed->first] = parsed->second;
  }
  options.logPath = logPath;
  if (readable) {
    options.onRequest = [](const zorva::RecordedRequest& request) {
      for (const std::string& line : zorva::describeRequest(request)) {
        std::printf("%s\n", line.c_str());
      }
      std::fflush(stdout);
    };
  } else if (logPath.empty()) {
    options.onRequest = [](const zorva::RecordedRequest& request) {
      std::printf("%s\n", zorva::toJsonLine(request).c_str());
      std::fflush(stdout);
    };
  }
  options.onListening = [](const std::string& url) {
    std::printf("listening %s\n", url.c_str());
    std::fflush(stdout);
  };

  // A client that hangs up mid-response must not end the server.
  std::signal(SIGPIPE, SIG_IGN);
  // Blocked before the server threads exist so that they inherit the mask and only sigwait()
  // below receives the stop request.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  zorva::DevBackend backend(std::move(options));
  try {
    backend.start();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zorva-devbackend: %s\n", error.what());
    return 1;
  }
  int received = 0;
  sigwait(&stopSignals, &received);
  backend.stop();
  return 0;
}
