#include "e2e/ProductRig.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/settings/SqliteSettingsStore.h"
#include "tracking/WatchRegistry.h"

namespace zorva::e2e {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kUploadPath = "/api/1/audit_event";
constexpr const char* kTrackPath = "/zorva/1/track";

// The request log's "2026-12-07T04:45:45.123Z".
Wall::time_point parseTime(const std::string& text) {
  std::tm tm{};
  const char* millis = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S.", &tm);
  return millis ? Wall::from_time_t(timegm(&tm)) + std::chrono::milliseconds(std::atoi(millis))
                : Wall::time_point{};
}

std::string check(const std::vector<std::string>& step) {
  const CommandResult result = runCommand(step);
  if (result.status != 0) {
    throw std::runtime_error(step[0] + " failed: " + result.out + result.err);
  }
  return result.out;
}

// The lines of `text` that hold `having`.
std::vector<std::string> lines(const std::string& text, const std::string& having = "") {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(having) != std::string::npos) out.push_back(line);
  }
  return out;
}

bool success(int status) { return status == 0 || (status >= 200 && status < 300); }

}  // namespace

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; !condition();
       std::this_thread::sleep_for(interval)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
  return true;
}

std::optional<std::string> whyProductCannotRun() {
  if (::geteuid() != 0) return "needs root: zorvad watches the machine through fanotify";
  const int fd = ::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME_TARGET, O_RDONLY);
  if (fd < 0) return std::string("no fanotify with directory handles: ") + std::strerror(errno);
  ::close(fd);
  return std::nullopt;
}

void writeFile(const std::string& path, const std::string& content) {
  if (!(std::ofstream(path, std::ios::binary) << content))
    throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<AuditEvent> parseUpload(const std::string& body, std::vector<std::string>& problems) {
  static const std::regex kId("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  static const std::regex kTime("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  const json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object() || parsed.size() != 1 || !parsed.value("event_list", json()).is_array()) {
    problems.push_back("not an event list: " + body.substr(0, 300));
    return {};
  }
  std::vector<AuditEvent> events;
  for (const json& r : parsed["event_list"]) {
    const auto text = [&](const char* name, const std::regex* form = nullptr) {
      const json value = r.value(name, json());
      return value.is_string() && (!form || std::regex_match(value.get<std::string>(), *form));
    };
    if (!r.is_object() || r.size() != 5 || !text("audit_event_id", &kId) ||
        !r.value("volume_id", json()).is_number_integer() || !text("source") || !text("dest") ||
        !text("create_time", &kTime)) {
      problems.push_back("malformed record: " + r.dump());
      continue;
    }
    events.push_back(
        {r["audit_event_id"], r["volume_id"], r["source"], r["dest"], r["create_time"]});
  }
  return events;
}

RigBackend::RigBackend(std::string program, const TestCertificate& certificate,
                       std::string validKey, std::string folder, BackendMode mode)
    : _program(std::move(program)),
      _validKey(std::move(validKey)),
      _log(folder + "/backend.log"),
      _certificate(certificate) {
  set({});  // the first run picks the port that every later one takes again
  set(mode);
}

void RigBackend::set(BackendMode mode) {
  _process.reset();  // killed: the request log is written and flushed line by line
  requests();        // the last of it, before the next run writes the log afresh
  if (!mode.up) return;
  std::vector<std::string> argv = {_program,        "--port", std::to_string(_port), "--log", _log,
                                   "--valid-token", _validKey};
  if (mode.tls)
    argv.insert(argv.end(), {"--cert", _certificate.cert(), "--key", _certificate.key()});
  for (auto [path, status] :
       {std::pair{kUploadPath, mode.uploadStatus}, std::pair{kTrackPath, mode.analyticsStatus}}) {
    if (status) argv.insert(argv.end(), {"--status", path + ("=" + std::to_string(status))});
  }
  // Its first line says where it listens. The port was just released: taking it again can only
  // fail for a moment.
  std::optional<std::string> said;
  const bool listening = waitFor(
      [&] {
        _process = ChildProcess::spawn(argv, {.dieWithTest = true});
        said = _process->readLine(ChildProcess::Stream::Out);
        return said && said->starts_with("listening ");
      },
      10s, 50ms);
  if (!listening)
    throw std::runtime_error("zorva-devbackend: " +
                             _process->readLine(ChildProcess::Stream::Err).value_or(""));
  _port = std::stoi(said->substr(said->rfind(':') + 1));
  if (mode.paused) _process->signal(SIGSTOP);
  _mode = mode;
  _read = 0;
}

std::vector<RigBackend::Request> RigBackend::requests() const {
  const std::string all = readFile(_log);
  // Only whole lines: the program may be writing the next one.
  for (size_t end; (end = all.find('\n', _read)) != std::string::npos; _read = end + 1) {
    const json entry = json::parse(all.substr(_read, end - _read), nullptr, false);
    const std::string path = entry.is_object() ? entry.value("path", "") : "";
    if ((path != kUploadPath && path != kTrackPath) || entry.value("method", "") != "POST")
      continue;
    const std::string body = entry.value("body", "");
    Request request{.time = parseTime(entry.value("time", ""))};
    if (path == kUploadPath) {
      const size_t before = _problems.size();
      request.events = parseUpload(body, _problems);
      // The development backend refuses an unknown key and a body that is not JSON.
      const json key = entry.value("query", json::object()).value("device_session_key", json());
      request.accepted =
          success(_mode.uploadStatus) && _problems.size() == before && key == _validKey;
    } else {
      request.accepted = success(_mode.analyticsStatus);
      const json parsed = json::parse(body, nullptr, false);
      const json events = parsed.is_object() ? parsed.value("events", json()) : json();
      if (!events.is_array()) _problems.push_back("a telemetry upload without events: " + body);
      for (const json& event : events) request.telemetry.push_back(event.dump());
    }
    _requests.push_back(std::move(request));
  }
  return _requests;
}

std::vector<AuditEvent> RigBackend::deliveredTo(const std::string& dest) const {
  std::vector<AuditEvent> out;
  for (const AuditEvent& e : delivered())
    if (e.dest == dest && std::ranges::count(out, e.id, &AuditEvent::id) == 0) out.push_back(e);
  return out;
}

bool RigBackend::waitForDelivery(const std::string& dest, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return !deliveredTo(dest).empty(); }, timeout);
}

bool RigBackend::waitForAttempt(const std::string& dest, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return std::ranges::count(sent(), dest, &AuditEvent::dest) > 0; }, timeout);
}

std::vector<std::string> storedAuditEvents(const std::string& stateDir) {
  const std::string path = stateDir + "/audit-events.sqlite3";
  if (!fs::exists(path)) return {};
  return lines(
      check({"sqlite3", "-readonly", path, "SELECT record FROM audit_events ORDER BY id"}));
}

LoopDrive::LoopDrive(const std::string& folder, const std::string& kind)
    : image(folder + "/drive.img"), mountPoint(folder + "/drive"), tmpfs(folder + "/tmpfs") {
  for (const char* made : {"/drive", "/tmpfs", "/lower", "/upper", "/work"})
    fs::create_directories(folder + made);
  // Sparse images: xfs wants 300 MB at least, but only what is written takes room.
  check({"truncate", "-s", kind == "xfs" || kind == "btrfs_subvolume" ? "320M" : "64M", image});
  if (kind == "fuse_exfat") {  // the driver wants a block device
    check({"mkfs.exfat", image});
    loopDevice = check({"losetup", "-f", "--show", image});
    loopDevice.erase(loopDevice.find_last_not_of('\n') + 1);
  }
  const std::vector<std::string> loop = {"mount", "-o", "loop", image, mountPoint};
  const std::string layers =
      "lowerdir=" + folder + "/lower,upperdir=" + folder + "/upper,workdir=" + folder + "/work";
  const std::map<std::string, std::vector<std::vector<std::string>>> steps = {
      {"ext4", {{"mkfs.ext4", "-q", "-F", image}, loop}},
      {"xfs", {{"mkfs.xfs", "-q", image}, loop}},
      {"btrfs_subvolume",
       {{"mkfs.btrfs", "-q", image},
        loop,
        {"btrfs", "-q", "subvolume", "create", mountPoint + "/volume"},
        {"umount", mountPoint},
        {"mount", "-o", "loop,subvol=volume", image, mountPoint}}},
      {"tmpfs", {{"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e-drive", mountPoint}}},
      {"overlay", {{"mount", "-t", "overlay", "zorva-e2e-drive", "-o", layers, mountPoint}}},
      {"fuse_fat", {{"mkfs.vfat", image}, {"fusefat", "-o", "rw+", image, mountPoint}}},
      {"fuse_ntfs", {{"mkfs.ntfs", "-F", "-f", "-q", image}, {"ntfs-3g", image, mountPoint}}},
      {"fuse_exfat", {{"mount.exfat-fuse", loopDevice, mountPoint}}}};
  check({"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e", tmpfs});
  for (const auto& step : steps.at(kind)) check(step);
}

bool LoopDrive::unmount() { return runCommand({"umount", mountPoint}).status == 0; }

LoopDrive::~LoopDrive() {
  // The image goes with the temporary folder.
  for (const std::string& mounted : {mountPoint, tmpfs})
    if (runCommand({"umount", mounted}).status != 0) runCommand({"umount", "-l", mounted});
  if (!loopDevice.empty()) runCommand({"losetup", "-d", loopDevice});
}

ProductRig::ProductRig(std::string zorvadProgram, std::string devBackendProgram, RigOptions options)
    : _options(std::move(options)),
      _temp("zorva-e2e"),
      _certificate(_temp.path()),
      _backend(std::move(devBackendProgram), _certificate, _options.deviceKey, _temp.path(),
               _options.backend),
      _watched(_temp / "Watched"),
      _zorvad(std::move(zorvadProgram)) {
  if (!_options.drive.empty()) {
    _drive = std::make_unique<LoopDrive>(_temp.path(), _options.drive);
    _watched = _drive->mountPoint + "/Watched";
    fs::create_directories(onDrive());
  }
  _stateDir = _options.stateDir.empty() ? _temp / "state" : _options.stateDir;
  for (const std::string& folder : {_watched, watched2(), outside(), _stateDir})
    fs::create_directories(folder);
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, "ZORVA_", 6) != 0) _environment.emplace_back(*entry);
  _environment.insert(
      _environment.end(),
      {"ZORVA_EVENT_SOURCE=fanotify", "ZORVA_STATE_DIR=" + _stateDir,
       "ZORVA_BACKEND_URL=" + _backend.url(), "ZORVA_ANALYTICS_URL=" + _backend.url(),
       "ZORVA_CA_FILE=" + _certificate.cert(), "ZORVA_LOG=stderr",
       "ZORVA_BUS=" + _options.busAddress.value_or("unix:path=" + _temp / "nobus")});
}

void ProductRig::start() {
  if (_options.seedState) {
    SettingValue::Dictionary roots;
    for (const auto& [id, folder] : {std::pair{kVolume, _watched}, {8, watched2()}}) {
      const std::string root = WatchRegistry::watchRoot(folder);
      roots.emplace(root, SettingValue::Dictionary{{"path", root}, {"volumeId", id}});
    }
    auto settings = SqliteSettingsStore::open(_stateDir);
    if (!settings->set("zorva_device_key", _options.deviceKey) ||
        !settings->set(WatchRegistry::kSettingsKey, std::move(roots))) {
      throw std::runtime_error("cannot save the service's state in " + _stateDir);
    }
  }
  restart();
}

void ProductRig::restart() {
  launch();
  if (!waitForLog("ZORVA_LOG: dispatch_main", 60s)) {
    throw std::runtime_error("zorvad did not start; its log:\n" + log());
  }
}

void ProductRig::launch() {
  if (running()) throw std::logic_error("zorvad is still running");
  ++_runs;
  _service = ChildProcess::spawn(
      {_zorvad}, {.environment = _environment, .output = logPath(), .dieWithTest = true});
  if (!_service) throw std::runtime_error("cannot start " + _zorvad);
}

int ProductRig::end(int signal) {
  if (!_service) return -1;
  _service->signal(signal);
  return _service->wait();
}

bool ProductRig::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return log().find(text) != std::string::npos; }, timeout);
}

std::vector<std::string> ProductRig::logLines(const std::string& text) const {
  return lines(log(), text);
}

std::optional<std::string> ProductRig::markerCopy(std::chrono::milliseconds timeout) {
  const std::string name = "marker-" + std::to_string(++_markers) + ".txt";
  // Distinct content and size, so that no other watched file is taken for its source.
  writeFile(watched(name), name + std::string(static_cast<size_t>(7000 + _markers), 'm'));
  const std::string dest = outside(name);
  if (runCommand({"cp", watched(name), dest}).status != 0) return std::nullopt;
  if (!_backend.waitForDelivery(dest, timeout)) return std::nullopt;
  return dest;
}

}  // namespace zorva::e2e
