#include "e2e/ProductRig.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/fanotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "platform/settings/SqliteSettingsStore.h"
#include "tracking/WatchRegistry.h"

namespace zorva::e2e {
namespace {

using json = nlohmann::json;

constexpr const char* kUploadPath = "/api/1/audit_event";
constexpr const char* kTrackPath = "/zorva/1/track";

std::string errnoText() { return std::strerror(errno); }

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

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
  const auto deadline = Steady::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (Steady::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

std::optional<std::string> whyProductCannotRun() {
  if (::geteuid() != 0) return "needs root: zorvad watches the machine through fanotify";
  // The service needs both of its groups; a kernel without directory handles cannot run it.
  int fd = ::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME_TARGET, O_RDONLY);
  if (fd < 0) return "fanotify with directory handles is not available: " + errnoText();
  ::close(fd);
  return std::nullopt;
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<AuditEvent> parseUpload(const std::string& body, std::vector<std::string>& problems) {
  static const std::regex kId("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  static const std::regex kTime("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  static const std::set<std::string> kMembers = {"audit_event_id", "volume_id", "source", "dest",
                                                 "create_time"};
  const json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object() || parsed.size() != 1 || !parsed.contains("event_list") ||
      !parsed["event_list"].is_array()) {
    problems.push_back("not an event list: " + body.substr(0, 300));
    return {};
  }
  std::vector<AuditEvent> events;
  for (const json& record : parsed["event_list"]) {
    std::set<std::string> members;
    if (record.is_object()) {
      for (const auto& [name, value] : record.items()) members.insert(name);
    }
    const bool valid = members == kMembers && record["audit_event_id"].is_string() &&
                       std::regex_match(record["audit_event_id"].get<std::string>(), kId) &&
                       record["volume_id"].is_number_integer() && record["source"].is_string() &&
                       record["dest"].is_string() && record["create_time"].is_string() &&
                       std::regex_match(record["create_time"].get<std::string>(), kTime);
    if (!valid) {
      problems.push_back("malformed record: " + record.dump());
      continue;
    }
    events.push_back({record["audit_event_id"].get<std::string>(),
                      record["volume_id"].get<int64_t>(), record["source"].get<std::string>(),
                      record["dest"].get<std::string>(), record["create_time"].get<std::string>()});
  }
  return events;
}

Background::~Background() { signalAndWait(SIGKILL); }

void Background::start(const std::vector<std::string>& argv, std::vector<std::string> environment,
                       const std::string& outputPath) {
  if (_pid > 0) throw std::logic_error(argv[0] + " is still running");
  std::vector<std::string> args = argv;
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(environment);
  const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) throw std::runtime_error("cannot create " + outputPath + ": " + errnoText());
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls from here to exec: the parent has threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  if (child < 0) throw std::runtime_error("fork: " + errnoText());
  _pid = child;
}

int Background::signalAndWait(int signal) {
  if (_pid <= 0) return -1;
  ::kill(_pid, signal);
  int status = 0;
  while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
  }
  _pid = -1;
  return status;
}

bool Background::running() const {
  if (_pid <= 0) return false;
  // Reaps nothing: a program that ended on its own stays waitable for signalAndWait().
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

std::string BackendMode::describe() const {
  std::string text = !up ? "down" : !tls ? "plain HTTP" : paused ? "paused" : "up";
  if (uploadStatus) text += ", uploads answered " + std::to_string(uploadStatus);
  if (analyticsStatus) text += ", analytics answered " + std::to_string(analyticsStatus);
  return text;
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
  _process.signalAndWait(SIGKILL);  // the request log is written and flushed line by line
  if (!mode.up) return;
  std::lock_guard lock(_mutex);
  const std::string run = _folder + "/backend-" + std::to_string(_runs.size() + 1);
  std::vector<std::string> argv = {
      _program, "--port", std::to_string(_port), "--log", run + ".log", "--valid-token", _validKey};
  if (mode.tls)
    argv.insert(argv.end(), {"--cert", _certificate.cert(), "--key", _certificate.key()});
  if (mode.uploadStatus) {
    argv.insert(argv.end(), {"--status", kUploadPath + ("=" + std::to_string(mode.uploadStatus))});
  }
  if (mode.analyticsStatus) {
    argv.insert(argv.end(),
                {"--status", kTrackPath + ("=" + std::to_string(mode.analyticsStatus))});
  }
  // The port was just released: taking it again can only fail for a moment.
  const bool listening = waitFor(
      [&] {
        _process.start(argv, {}, run + ".out");
        std::string said;
        waitFor(
            [&] {
              said = readFile(run + ".out");
              return said.find('\n') != std::string::npos || !_process.running();
            },
            10s, 1ms);
        if (said.starts_with("listening ")) {
          _port = std::stoi(said.substr(said.rfind(':') + 1));
          return true;
        }
        _process.signalAndWait(SIGKILL);
        return false;
      },
      10s, 50ms);
  if (!listening) throw std::runtime_error("zorva-devbackend: " + readFile(run + ".out"));
  if (mode.paused) ::kill(_process.pid(), SIGSTOP);
  _runs.push_back({mode, run + ".log"});
}

void RigBackend::record(const std::string& line, const BackendMode& mode) const {
  const json entry = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!entry.is_object() || entry.value("method", "") != "POST") return;
  const std::string path = entry.value("path", "");
  const std::string body = entry.value("body", "");
  Request request{.time = parseTime(entry.value("time", "")), .upload = path == kUploadPath};
  if (request.upload) {
    std::vector<std::string> found;
    request.events = parseUpload(body, found);
    // The development backend refuses an unknown key and a body that is not JSON.
    const json key = entry.value("query", json::object()).value("device_session_key", json());
    request.accepted = success(mode.uploadStatus) && found.empty() && key == _validKey;
    _problems.insert(_problems.end(), found.begin(), found.end());
  } else if (path == kTrackPath) {
    request.accepted = success(mode.analyticsStatus);
    const json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
    const json events = parsed.is_object() ? parsed.value("events", json()) : json();
    if (!events.is_array()) _problems.push_back("a telemetry upload without events: " + body);
    for (const json& event : events) request.telemetry.push_back(event.dump());
  } else {
    return;
  }
  _requests.push_back(std::move(request));
}

std::vector<RigBackend::Request> RigBackend::requests() const {
  std::lock_guard lock(_mutex);
  for (Run& run : _runs) {
    std::ifstream in(run.log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(run.read));
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    // Only whole lines: the program may be writing the next one.
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      record(text.substr(at, end - at), run.mode);
      run.read += end + 1 - at;
    }
  }
  return _requests;
}

std::vector<AuditEvent> RigBackend::delivered() const {
  std::vector<AuditEvent> out;
  for (const Request& r : requests()) {
    if (r.accepted) out.insert(out.end(), r.events.begin(), r.events.end());
  }
  return out;
}

std::vector<AuditEvent> RigBackend::sent() const {
  std::vector<AuditEvent> out;
  for (const Request& r : requests()) out.insert(out.end(), r.events.begin(), r.events.end());
  return out;
}

std::vector<AuditEvent> RigBackend::deliveredTo(const std::string& dest) const {
  std::vector<AuditEvent> out;
  for (const AuditEvent& event : delivered()) {
    if (event.dest == dest) out.push_back(event);
  }
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
  return waitFor([&] { return !deliveredTo(dest).empty(); }, timeout, 20ms);
}

bool RigBackend::waitForAttempt(const std::string& dest, std::chrono::milliseconds timeout) const {
  return waitFor(
      [&] {
        const auto all = sent();
        return std::any_of(all.begin(), all.end(), [&](const auto& e) { return e.dest == dest; });
      },
      timeout, 20ms);
}

std::vector<std::string> RigBackend::acceptedTelemetryEvents() const {
  std::vector<std::string> out;
  for (const Request& r : requests()) {
    if (r.accepted) out.insert(out.end(), r.telemetry.begin(), r.telemetry.end());
  }
  return out;
}

size_t RigBackend::telemetryUploads() const {
  const auto all = requests();
  return static_cast<size_t>(
      std::count_if(all.begin(), all.end(), [](const Request& r) { return !r.upload; }));
}

std::vector<std::string> RigBackend::problems() const {
  requests();
  std::lock_guard lock(_mutex);
  return _problems;
}

ZorvadProcess::ZorvadProcess(std::string program, std::vector<std::string> environment,
                             std::string logFolder)
    : _program(std::move(program)),
      _environment(std::move(environment)),
      _logFolder(std::move(logFolder)) {}

void ZorvadProcess::start() {
  ++_runs;
  _process.start({_program}, _environment,
                 _logFolder + "/zorvad-" + std::to_string(_runs) + ".log");
}

bool ZorvadProcess::waitUntilReady(std::chrono::milliseconds timeout) const {
  return waitForLog("ZORVA_LOG: dispatch_main", timeout);
}

std::string ZorvadProcess::logOfRun(int run) const {
  return readFile(_logFolder + "/zorvad-" + std::to_string(run) + ".log");
}

bool ZorvadProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return log().find(text) != std::string::npos; }, timeout, 20ms);
}

std::vector<std::string> ZorvadProcess::logLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::istringstream in(log());
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

void saveServiceState(const std::string& stateDir, const std::string& deviceKey,
                      const std::map<int64_t, std::string>& volumes) {
  std::filesystem::create_directories(stateDir);
  auto settings = SqliteSettingsStore::open(stateDir);
  SettingValue::Dictionary roots;
  for (const auto& [volumeId, folder] : volumes) {
    const std::string root = WatchRegistry::watchRoot(folder);
    roots.emplace(root, SettingValue::Dictionary{{"path", root}, {"volumeId", volumeId}});
  }
  if (!settings->set("zorva_device_key", deviceKey) ||
      !settings->set(WatchRegistry::kSettingsKey, std::move(roots))) {
    throw std::runtime_error("cannot save the service's state in " + stateDir);
  }
}

std::vector<std::string> storedAuditEvents(const std::string& stateDir) {
  const std::string path = stateDir + "/audit-events.sqlite3";
  std::vector<std::string> records;
  if (!std::filesystem::exists(path)) return records;
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "SELECT record FROM audit_events ORDER BY id", -1, &select, nullptr) !=
          SQLITE_OK) {
    const std::string reason = db ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close_v2(db);
    throw std::runtime_error("cannot read " + path + ": " + reason);
  }
  while (sqlite3_step(select) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 0));
    records.emplace_back(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(select, 0)));
  }
  sqlite3_finalize(select);
  sqlite3_close_v2(db);
  return records;
}

const char* driveKindName(DriveKind kind) {
  static const char* const kNames[] = {"ext4",    "xfs",      "btrfs_subvolume", "tmpfs",
                                       "overlay", "fuse_fat", "fuse_ntfs",       "fuse_exfat"};
  return kNames[static_cast<int>(kind)];
}

LoopDrive::LoopDrive(const std::string& folder, DriveKind kind)
    : _image(folder + "/drive.img"), _mountPoint(folder + "/drive"), _tmpfs(folder + "/tmpfs") {
  for (const char* made : {"/drive", "/tmpfs", "/lower", "/upper", "/work"}) {
    std::filesystem::create_directories(folder + made);
  }
  auto check = [](const std::vector<std::string>& step) {
    const CommandResult result = runCommand(step);
    if (result.status != 0) {
      throw std::runtime_error(step[0] + " for the loop drive failed: " + result.out + result.err);
    }
    return result.out;
  };
  // Sparse images: xfs wants 300 MB at least, but only what is written takes room.
  const bool big = kind == DriveKind::Xfs || kind == DriveKind::BtrfsSubvolume;
  if (kind != DriveKind::Tmpfs && kind != DriveKind::Overlay) {
    check({"truncate", "-s", big ? "320M" : "64M", _image});
  }
  const std::vector<std::string> loop = {"mount", "-o", "loop", _image, _mountPoint};
  std::vector<std::vector<std::string>> steps;
  switch (kind) {
    case DriveKind::Ext4:
      steps = {{"mkfs.ext4", "-q", "-F", _image}, loop};
      break;
    case DriveKind::Xfs:
      steps = {{"mkfs.xfs", "-q", _image}, loop};
      break;
    case DriveKind::BtrfsSubvolume:
      steps = {{"mkfs.btrfs", "-q", _image},
               loop,
               {"btrfs", "-q", "subvolume", "create", _mountPoint + "/volume"},
               {"umount", _mountPoint},
               {"mount", "-o", "loop,subvol=volume", _image, _mountPoint}};
      break;
    case DriveKind::Tmpfs:
      steps = {{"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e-drive", _mountPoint}};
      break;
    case DriveKind::Overlay:
      steps = {{"mount", "-t", "overlay", "zorva-e2e-drive", "-o",
                "lowerdir=" + folder + "/lower,upperdir=" + folder + "/upper,workdir=" + folder +
                    "/work",
                _mountPoint}};
      break;
    case DriveKind::FuseFat:
      steps = {{"mkfs.vfat", _image}, {"fusefat", "-o", "rw+", _image, _mountPoint}};
      break;
    case DriveKind::FuseNtfs:
      steps = {{"mkfs.ntfs", "-F", "-f", "-q", _image}, {"ntfs-3g", _image, _mountPoint}};
      break;
    case DriveKind::FuseExfat:  // the driver wants a block device, attached here
      check({"mkfs.exfat", _image});
      _loopDevice = check({"losetup", "-f", "--show", _image});
      _loopDevice.erase(_loopDevice.find_last_not_of('\n') + 1);
      steps = {{"mount.exfat-fuse", _loopDevice, _mountPoint}};
      break;
  }
  steps.push_back({"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e", _tmpfs});
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
  std::filesystem::remove(_image, ignored);
}

ProductRig::ProductRig(std::string zorvadProgram, std::string devBackendProgram, RigOptions options)
    : _options(std::move(options)), _temp("zorva-e2e") {
  _watched = _temp / "Watched";
  if (_options.loopDrive) {
    _drive = std::make_unique<LoopDrive>(_temp.path(), _options.driveKind);
    _watched = _drive->mountPoint() + "/Watched";
    _driveOut = _drive->mountPoint() + "/out";
    std::filesystem::create_directories(_driveOut);
  }
  _watched2 = _temp / "watched2";
  _outside = _temp / "outside";
  _stateDir = _options.stateDir.empty() ? _temp / "state" : _options.stateDir;
  for (const std::string& folder : {_watched, _watched2, _outside, _stateDir, _temp / "logs"}) {
    std::filesystem::create_directories(folder);
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
    saveServiceState(_stateDir, _options.deviceKey,
                     {{kVolume, _watched}, {kOtherVolume, _watched2}});
  }
  restart();
}

void ProductRig::restart() {
  _service->start();
  if (!_service->waitUntilReady()) {
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
