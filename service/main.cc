// zorvad: the file-activity monitoring service.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <variant>

#include "Version.h"
#include "platform/dispatch/DispatchMain.h"
#include "service/Config.h"
#include "service/Daemon.h"

namespace {

constexpr int kBadUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zorvad: watches file activity and reports data leaving watched volumes.", "zorvad"};
  app.set_version_flag("--version", zorva::kVersion, "Print the version and exit");
  app.footer(zorva::configHelp());
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version end here with status 0; a wrong command line is a usage error.
    return app.exit(error) == 0 ? 0 : kBadUsage;
  }

  auto created = zorva::Daemon::create(zorva::processEnvironment());
  if (auto* error = std::get_if<zorva::ConfigError>(&created)) {
    std::fprintf(stderr, "zorvad: %s\n", error->message.c_str());
    return error->exitStatus;
  }
  // The daemon is never destroyed: its queues are already at work, and they outlive everything.
  zorva::Daemon& daemon = *std::get<std::unique_ptr<zorva::Daemon>>(created).release();
  // A failed start leaves without destroying anything either (log lines are written as they are
  // made).
  if (int status = daemon.start(); status != EXIT_SUCCESS) std::_Exit(status);
  zorva::dispatchMain();
}
