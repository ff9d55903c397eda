#include "e2e/ProductRig.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
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
  int millis = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &millis) != 7) {
    return {};
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return Wall::from_time_t(timegm(&tm)) + std::chrono::milliseconds(millis);
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
  if (!(std::ofstream(path, std::ios::binary) << content)) {
    throw std::runtime_error("cannot write " + path);
  }
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
    events.push_back({r["audit_event_id"].get<std::string>(), r["volume_id"].get<int64_t>(),
                      r["source"].get<std::string>(), r["dest"].get<std::string>(),
                      r["create_time"].get<std::string>()});
  }
  return events;
}

RigBackend::RigBackend(std::string program, const TestCertificate& certificate,
                       std::string validKey, std::string folder, BackendMode mode)
    : _program(std::move(program)),
      _validKey(std::move(validKey)),
      _folder(std::move(folder)),
      _certificate(certificate) {
  set({});  // the first run picks the port that every later one takes again
  set(mode);
}

void RigBackend::set(BackendMode mode) {
  _process.reset();  // killed: the request log is written and flushed line by line
  if (!mode.up) return;
  const std::string run = _folder + "/backend-" + std::to_string(_runs.size() + 1);
  std::vector<std::string> argv = {
      _program, "--port", std::to_string(_port), "--log", run + ".log", "--valid-token", _validKey};
  if (mode.tls)
    argv.insert(argv.end(), {"--cert", _certificate.cert(), "--key", _certificate.key()});
  for (auto [path, status] :
       {std::pair{kUploadPath, mode.uploadStatus}, std::pair{kTrackPath, mode.analyticsStatus}}) {
    if (status) argv.insert(argv.end(), {"--status", path + ("=" + std::to_string(status))});
  }
  // The port was just released: taking it again can only fail for a moment.
  const bool listening = waitFor(
      [&] {
        _process = ChildProcess::spawn(argv, {.output = run + ".out", .dieWithTest = true});
        std::string said;
        waitFor(
            [&] {
              said = readFile(run + ".out");
              return said.find('\n') != std::string::npos || !_process->running();
            },
            10s, 1ms);
        if (!said.starts_with("listening ")) return false;
        _port = std::stoi(said.substr(said.rfind(':') + 1));
        return true;
      },
      10s, 50ms);
  if (!listening) throw std::runtime_error("zorva-devbackend: " + readFile(run + ".out"));
  if (mode.paused) _process->signal(SIGSTOP);
  _runs.push_back({mode, run + ".log"});
}

void RigBackend::record(const std::string& line, const BackendMode& mode) const {
  const json entry = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!entry.is_object() || entry.value("method", "") != "POST") return;
  const std::string path = entry.value("path", ""), body = entry.value("body", "");
  Request request{.time = parseTime(entry.value("time", ""))};
  if (path == kUploadPath) {
    const size_t before = _problems.size();
    request.events = parseUpload(body, _problems);
    // The development backend refuses an unknown key and a body that is not JSON.
    const json key = entry.value("query", json::object()).value("device_session_key", json());
    request.accepted = success(mode.uploadStatus) && _problems.size() == before && key == _validKey;
  } else if (path == kTrackPath) {
    request.accepted = success(mode.analyticsStatus);
    const json parsed = json::parse(body, nullptr, false);
    const json events = parsed.is_object() ? parsed.value("events", json()) : json();
    if (!events.is_array()) _problems.push_back("a telemetry upload without events: " + body);
    for (const json& event : events) request.telemetry.push_back(event.dump());
  } else {
    return;
  }
  _requests.push_back(std::move(request));
}

std::vector<RigBackend::Request> RigBackend::requests() const {
  for (Run& run : _runs) {
    const std::string all = readFile(run.log);
    const std::string text = all.substr(std::min(run.read, all.size()));
    // Only whole lines: the program may be writing the next one.
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      record(text.substr(at, end - at), run.mode);
      run.read += end + 1 - at;
    }
  }
  return _requests;
}

std::vector<AuditEvent> RigBackend::events(bool acceptedOnly) const {
  std::vector<AuditEvent> out;
  for (const Request& r : requests()) {
    if (r.accepted || !acceptedOnly) out.insert(out.end(), r.events.begin(), r.events.end());
  }
  return out;
}

std::vector<AuditEvent> RigBackend::deliveredTo(const std::string& dest) const {
  std::vector<AuditEvent> out = delivered();
  std::erase_if(out, [&](const AuditEvent& e) { return e.dest != dest; });
  return out;
}

std::optional<Wall::time_point> RigBackend::firstDeliveryTime(const std::string& dest) const {
  for (const Request& r : requests()) {
    for (const AuditEvent& event : r.events) {
      if (r.accepted && event.dest == dest) return r.time;
    }
  }
  return std::nullopt;
}

bool RigBackend::waitForDelivery(const std::string& dest, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return !deliveredTo(dest).empty(); }, timeout);
}

bool RigBackend::waitForAttempt(const std::string& dest, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return std::ranges::count(sent(), dest, &AuditEvent::dest) > 0; }, timeout);
}

std::vector<std::string> RigBackend::telemetryEvents(bool acceptedOnly) const {
  std::vector<std::string> out;
  for (const Request& r : requests()) {
    if (r.accepted || !acceptedOnly) out.insert(out.end(), r.telemetry.begin(), r.telemetry.end());
  }
  return out;
}

std::vector<std::string> RigBackend::problems() const {
  requests();
  return _problems;
}

void ZorvadProcess::start() {
  if (running()) throw std::logic_error("zorvad is still running");
  _process = ChildProcess::spawn(
      {_program}, {.environment = _environment, .output = logPath(++_runs), .dieWithTest = true});
  if (!_process) throw std::runtime_error("cannot start " + _program);
}

int ZorvadProcess::end(int signal) {
  if (!_process) return -1;
  _process->signal(signal);
  return _process->wait();
}

bool ZorvadProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return log().find(text) != std::string::npos; }, timeout);
}

std::vector<std::string> ZorvadProcess::logLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::istringstream in(log());
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> storedAuditEvents(const std::string& stateDir) {
  const std::string path = stateDir + "/audit-events.sqlite3";
  if (!fs::exists(path)) return {};
  const CommandResult read =
      runCommand({"sqlite3", "-readonly", path, "SELECT record FROM audit_events ORDER BY id"});
  if (read.status != 0) throw std::runtime_error("cannot read " + path + ": " + read.err);
  std::vector<std::string> records;
  std::istringstream in(read.out);
  for (std::string line; std::getline(in, line);) records.push_back(line);
  return records;
}

namespace {

std::string check(const std::vector<std::string>& step) {
  const CommandResult result = runCommand(step);
  if (result.status != 0) {
    throw std::runtime_error(step[0] + " for the drive failed: " + result.out + result.err);
  }
  return result.out;
}

}  // namespace

LoopDrive::LoopDrive(const std::string& folder, const std::string& kind)
    : _image(folder + "/drive.img"), _mountPoint(folder + "/drive"), _tmpfs(folder + "/tmpfs") {
  for (const char* made : {"/drive", "/tmpfs", "/lower", "/upper", "/work"}) {
    fs::create_directories(folder + made);
  }
  // Sparse images: xfs wants 300 MB at least, but only what is written takes room.
  check({"truncate", "-s", kind == "xfs" || kind == "btrfs_subvolume" ? "320M" : "64M", _image});
  const std::vector<std::string> loop = {"mount", "-o", "loop", _image, _mountPoint};
  std::vector<std::vector<std::string>> steps = {
      {"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e", _tmpfs}};
  if (kind == "ext4") steps.insert(steps.end(), {{"mkfs.ext4", "-q", "-F", _image}, loop});
  if (kind == "xfs") steps.insert(steps.end(), {{"mkfs.xfs", "-q", _image}, loop});
  if (kind == "btrfs_subvolume") {
    steps.insert(steps.end(), {{"mkfs.btrfs", "-q", _image},
                               loop,
                               {"btrfs", "-q", "subvolume", "create", _mountPoint + "/volume"},
                               {"umount", _mountPoint},
                               {"mount", "-o", "loop,subvol=volume", _image, _mountPoint}});
  }
  if (kind == "tmpfs") {
    steps.push_back({"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e-drive", _mountPoint});
  }
  if (kind == "overlay") {
    steps.push_back(
        {"mount", "-t", "overlay", "zorva-e2e-drive", "-o",
         "lowerdir=" + folder + "/lower,upperdir=" + folder + "/upper,workdir=" + folder + "/work",
         _mountPoint});
  }
  if (kind == "fuse_fat") {
    steps.insert(steps.end(),
                 {{"mkfs.vfat", _image}, {"fusefat", "-o", "rw+", _image, _mountPoint}});
  }
  if (kind == "fuse_ntfs") {
    steps.insert(steps.end(),
                 {{"mkfs.ntfs", "-F", "-f", "-q", _image}, {"ntfs-3g", _image, _mountPoint}});
  }
  if (kind == "fuse_exfat") {  // the driver wants a block device
    check({"mkfs.exfat", _image});
    _loopDevice = check({"losetup", "-f", "--show", _image});
    _loopDevice.erase(_loopDevice.find_last_not_of('\n') + 1);
    steps.push_back({"mount.exfat-fuse", _loopDevice, _mountPoint});
  }
  for (const auto& step : steps) check(step);
}

bool LoopDrive::unmount() { return runCommand({"umount", _mountPoint}).status == 0; }

LoopDrive::~LoopDrive() {
  for (const std::string& mounted : {_mountPoint, _tmpfs}) {
    if (runCommand({"mountpoint", "-q", mounted}).status != 0) continue;
    if (runCommand({"umount", mounted}).status != 0) runCommand({"umount", "-l", mounted});
  }
  if (!_loopDevice.empty()) runCommand({"losetup", "-d", _loopDevice});
  std::error_code ignored;
  fs::remove(_image, ignored);
}

ProductRig::ProductRig(std::string zorvadProgram, std::string devBackendProgram, RigOptions options)
    : _options(std::move(options)), _temp("zorva-e2e"), _watched(_temp / "Watched") {
  if (!_options.drive.empty()) {
    _drive = std::make_unique<LoopDrive>(_temp.path(), _options.drive);
    _watched = _drive->mountPoint() + "/Watched";
    fs::create_directories(onDrive());
  }
  _stateDir = _options.stateDir.empty() ? _temp / "state" : _options.stateDir;
  for (const std::string& folder : {_watched, watched2(), outside(), _stateDir, _temp / "logs"}) {
    fs::create_directories(folder);
  }
  _certificate = std::make_unique<TestCertificate>(_temp.path());
  _backend = std::make_unique<RigBackend>(std::move(devBackendProgram), *_certificate,
                                          _options.deviceKey, _temp / "logs", _options.backend);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, "ZORVA_", 6) != 0) environment.emplace_back(*entry);
  }
  environment.insert(
      environment.end(),
      {"ZORVA_EVENT_SOURCE=fanotify", "ZORVA_STATE_DIR=" + _stateDir,
       "ZORVA_BACKEND_URL=" + _backend->url(), "ZORVA_ANALYTICS_URL=" + _backend->url(),
       "ZORVA_CA_FILE=" + _certificate->cert(), "ZORVA_LOG=stderr",
       "ZORVA_BUS=" + _options.busAddress.value_or("unix:path=" + _temp / "nobus")});
  _service = std::make_unique<ZorvadProcess>(std::move(zorvadProgram), std::move(environment),
                                             _temp / "logs");
}

ProductRig::~ProductRig() {
  _service.reset();  // first: the service must not outlive the folders it watches
  _backend.reset();
  _drive.reset();  // before the temporary folder that holds it is removed
}

void ProductRig::start() {
  if (_options.seedState) {
    SettingValue::Dictionary roots;
    for (const auto& [id, folder] : {std::pair{kVolume, _watched}, {kOtherVolume, watched2()}}) {
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
  _service->start();
  if (!_service->waitForLog("ZORVA_LOG: dispatch_main", 60s)) {
    throw std::runtime_error("zorvad did not start; its log:\n" + _service->log());
  }
}

std::optional<std::string> ProductRig::markerCopy(std::chrono::milliseconds timeout) {
  const std::string name = "marker-" + std::to_string(++_markers) + ".txt";
  // Distinct content and size, so that no other watched file is taken for its source.
  writeFile(watched(name), name + std::string(static_cast<size_t>(7000 + _markers), 'm'));
  const std::string dest = outside(name);
  if (runCommand({"cp", watched(name), dest}).status != 0) return std::nullopt;
  if (!_backend->waitForDelivery(dest, timeout)) return std::nullopt;
  return dest;
}

}  // namespace zorva::e2e
