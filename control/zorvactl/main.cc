// zorvactl: the command-line client of the service's control interface.

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "control/zorvactl/ControlClient.h"
#include "control/zorvactl/StatusText.h"

namespace {

constexpr int kUnreachable = 1;
constexpr int kUsage = 2;

// --bus when given, else ZORVA_BUS, else the bus a service of this user would use.
std::optional<zorva::BusAddress> chooseBus(const std::string& word) {
  if (!word.empty()) return zorva::BusAddress::parse(word);
  if (const char* fromEnvironment = std::getenv("ZORVA_BUS"); fromEnvironment && *fromEnvironment) {
    return zorva::BusAddress::parse(fromEnvironment);
  }
  return zorva::BusAddress::defaultFor(::geteuid() == 0);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zorvactl: controls the Zorva service over D-Bus.", "zorvactl"};
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 on success, 1 when the service cannot be reached, 2 for a bad command line "
      "or a request the service refused.");
  std::string busWord;
  app.add_option("--bus", busWord,
                 "system, session, or a D-Bus address such as unix:path=/run/x/bus "
                 "(default: $ZORVA_BUS, else system as root and session otherwise)");

  std::string token;
  auto* tokenCommand = app.add_subcommand("token", "Hand the device session key to the service");
  tokenCommand->add_option("TOKEN", token, "the device session key")->required();

  int64_t volumeId = 0;
  std::string path;
  bool notify = false;
  auto* addCommand = app.add_subcommand("add-volume", "Register a volume for the service to watch");
  addCommand->add_option("ID", volumeId, "the volume identifier (a signed 64-bit integer)")
      ->required();
  addCommand->add_option("PATH", path, "the volume's mount point")->required();
  addCommand->add_flag("--notify", notify, "have this connection told of changes (while it lasts)");

  auto* runningCommand =
      app.add_subcommand("is-running", "Print true when the service holds a device key");

  std::string message;
  auto* pingCommand = app.add_subcommand("ping", "Ask the service to answer; prints its answer");
  pingCommand->add_option("MESSAGE", message, "any text (default: empty)");

  auto* versionCommand = app.add_subcommand("version", "Print the service's version");

  bool asJson = false;
  auto* statusCommand = app.add_subcommand(
      "status",
      "Print the service's health: uptime, volumes, device key, event and transfer counts, "
      "records waiting to be sent, and how each mount is watched");
  statusCommand->add_flag("--json", asJson,
                          "print the status as one JSON object, for scripts (its members are "
                          "described in the README's \"Control interface\" section)");

  auto* watchCommand = app.add_subcommand(
      "watch", "Register a volume with notifications and print each changed path under it");
  watchCommand->add_option("ID", volumeId, "the volume identifier")->required();
  watchCommand->add_option("PATH", path, "the volume's mount point")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsage;
  }

  auto bus = chooseBus(busWord);
  if (!bus) {
    std::fprintf(stderr, "zorvactl: bus \"%s\": expected system, session or a D-Bus address\n",
                 busWord.empty() ? std::getenv("ZORVA_BUS") : busWord.c_str());
    return kUsage;
  }
  // The service compares paths as given: a relative one would never match an event's path.
  if (!path.empty()) path = std::filesystem::absolute(path).lexically_normal().string();

  // A watch ends on these; they must be blocked before any thread exists to take them.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGUSR1);
  if (watchCommand->parsed()) pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  try {
    zorva::ControlClient client(*bus);
    if (tokenCommand->parsed()) {
      client.saveDeviceToken(token);
    } else if (addCommand->parsed()) {
      client.addVolume(volumeId, path, notify);
    } else if (runningCommand->parsed()) {
      std::printf("%s\n", client.isRunning() ? "true" : "false");
    } else if (pingCommand->parsed()) {
      std::printf("%s\n", client.ping(message).c_str());
    } else if (versionCommand->parsed()) {
      std::printf("%s\n", client.version().c_str());
    } else if (statusCommand->parsed()) {
      const auto status = nlohmann::json::parse(client.status(), nullptr, false);
      if (!status.is_object()) {
        std::fprintf(stderr, "zorvactl: the service's status is not a JSON object\n");
        return kUnreachable;
      }
      std::fputs(asJson ? (status.dump(2) + "\n").c_str() : zorva::describeStatus(status).c_str(),
                 stdout);
    } else if (watchCommand->parsed()) {
      return client.watch(volumeId, path, stdout, stderr);
    }
  } catch (const zorva::ControlClient::ClientError& error) {
    std::fprintf(stderr, "zorvactl: %s\n", error.what());
    return error.kind == zorva::ControlClient::ClientError::Kind::Unreachable ? kUnreachable
                                                                              : kUsage;
  }
  return 0;
}
