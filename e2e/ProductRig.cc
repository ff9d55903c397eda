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
  if (pid_ > 0) throw std::logic_error(argv[0] + " is still running");
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
  pid_ = child;
}

int Background::signalAndWait(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

bool Background::running() const {
  if (pid_ <= 0) return false;
  // Reaps nothing: a program that ended on its own stays waitable for signalAndWait().
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
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
    : program_(std::move(program)),
      validKey_(std::move(validKey)),
      folder_(std::move(folder)),
      certificate_(certificate) {
  set({});  // the first run picks the port that every later one takes again
  set(mode);
}

void RigBackend::set(BackendMode mode) {
  process_.signalAndWait(SIGKILL);  // the request log is written and flushed line by line
  if (!mode.up) return;
  std::lock_guard lock(mutex_);
  const std::string run = folder_ + "/backend-" + std::to_string(runs_.size() + 1);
  std::vector<std::string> argv = {
      program_, "--port", std::to_string(port_), "--log", run + ".log", "--valid-token", validKey_};
  if (mode.tls)
    argv.insert(argv.end(), {"--cert", certificate_.cert(), "--key", certificate_.key()});
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
        process_.start(argv, {}, run + ".out");
        std::string said;
        waitFor(
            [&] {
              said = readFile(run + ".out");
              return said.find('\n') != std::string::npos || !process_.running();
            },
            10s, 1ms);
        if (said.starts_with("listening ")) {
          port_ = std::stoi(said.substr(said.rfind(':') + 1));
          return true;
        }
        process_.signalAndWait(SIGKILL);
        return false;
      },
      10s, 50ms);
  if (!listening) throw std::runtime_error("zorva-devbackend: " + readFile(run + ".out"));
  if (mode.paused) ::kill(process_.pid(), SIGSTOP);
  runs_.push_back({mode, run + ".log"});
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
    request.accepted = success(mode.uploadStatus) && found.empty() && key == validKey_;
    problems_.insert(problems_.end(), found.begin(), found.end());
  } else if (path == kTrackPath) {
    request.accepted = success(mode.analyticsStatus);
    const json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
    const json events = parsed.is_object() ? parsed.value("events", json()) : json();
    if (!events.is_array()) problems_.push_back("a telemetry upload without events: " + body);
    for (const json& event : events) request.telemetry.push_back(event.dump());
  } else {
    return;
  }
  requests_.push_back(std::move(request));
}

std::vector<RigBackend::Request> RigBackend::requests() const {
  std::lock_guard lock(mutex_);
  for (Run& run : runs_) {
    std::ifstream in(run.log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(run.read));
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    // Only whole lines: the program may be writing the next one.
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      record(text.substr(at, end - at), run.mode);
      run.read += end + 1 - at;
    }
  }
  return requests_;
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
  std::lock_guard lock(mutex_);
  return problems_;
}

ZorvadProcess::ZorvadProcess(std::string program, std::vector<std::string> environment,
                             std::string logFolder)
    : program_(std::move(program)),
      environment_(std::move(environment)),
      logFolder_(std::move(logFolder)) {}

void ZorvadProcess::start() {
  ++runs_;
  process_.start({program_}, environment_,
                 logFolder_ + "/zorvad-" + std::to_string(runs_) + ".log");
}

bool ZorvadProcess::waitUntilReady(std::chrono::milliseconds timeout) const {
  return waitForLog("ZORVA_LOG: dispatch_main", timeout);
}

std::string ZorvadProcess::logOfRun(int run) const {
  return readFile(logFolder_ + "/zorvad-" + std::to_string(run) + ".log");
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
    : image_(folder + "/drive.img"), mountPoint_(folder + "/drive"), tmpfs_(folder + "/tmpfs") {
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
    check({"truncate", "-s", big ? "320M" : "64M", image_});
  }
  const std::vector<std::string> loop = {"mount", "-o", "loop", image_, mountPoint_};
  std::vector<std::vector<std::string>> steps;
  switch (kind) {
    case DriveKind::Ext4:
      steps = {{"mkfs.ext4", "-q", "-F", image_}, loop};
      break;
    case DriveKind::Xfs:
      steps = {{"mkfs.xfs", "-q", image_}, loop};
      break;
    case DriveKind::BtrfsSubvolume:
      steps = {{"mkfs.btrfs", "-q", image_},
               loop,
               {"btrfs", "-q", "subvolume", "create", mountPoint_ + "/volume"},
               {"umount", mountPoint_},
               {"mount", "-o", "loop,subvol=volume", image_, mountPoint_}};
      break;
    case DriveKind::Tmpfs:
      steps = {{"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e-drive", mountPoint_}};
      break;
    case DriveKind::Overlay:
      steps = {{"mount", "-t", "overlay", "zorva-e2e-drive", "-o",
                "lowerdir=" + folder + "/lower,upperdir=" + folder + "/upper,workdir=" + folder +
                    "/work",
                mountPoint_}};
      break;
    case DriveKind::FuseFat:
      steps = {{"mkfs.vfat", image_}, {"fusefat", "-o", "rw+", image_, mountPoint_}};
      break;
    case DriveKind::FuseNtfs:
      steps = {{"mkfs.ntfs", "-F", "-f", "-q", image_}, {"ntfs-3g", image_, mountPoint_}};
      break;
    case DriveKind::FuseExfat:  // the driver wants a block device, attached here
      check({"mkfs.exfat", image_});
      loopDevice_ = check({"losetup", "-f", "--show", image_});
      loopDevice_.erase(loopDevice_.find_last_not_of('\n') + 1);
      steps = {{"mount.exfat-fuse", loopDevice_, mountPoint_}};
      break;
  }
  steps.push_back({"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e", tmpfs_});
  for (const auto& step : steps) check(step);
}

bool LoopDrive::unmount() { return runCommand({"umount", mountPoint_}).status == 0; }

LoopDrive::~LoopDrive() {
  for (const std::string& mounted : {mountPoint_, tmpfs_}) {
    if (runCommand({"mountpoint", "-q", mounted}).status != 0) continue;
    if (runCommand({"umount", mounted}).status != 0) runCommand({"umount", "-l", mounted});
  }
  if (!loopDevice_.empty()) runCommand({"losetup", "-d", loopDevice_});
  std::error_code ignored;
  std::filesystem::remove(image_, ignored);
}

ProductRig::ProductRig(std::string zorvadProgram, std::string devBackendProgram, RigOptions options)
    : options_(std::move(options)), temp_("zorva-e2e") {
  watched_ = temp_ / "Watched";
  if (options_.loopDrive) {
    drive_ = std::make_unique<LoopDrive>(temp_.path(), options_.driveKind);
    watched_ = drive_->mountPoint() + "/Watched";
    driveOut_ = drive_->mountPoint() + "/out";
    std::filesystem::create_directories(driveOut_);
  }
  watched2_ = temp_ / "watched2";
  outside_ = temp_ / "outside";
  stateDir_ = options_.stateDir.empty() ? temp_ / "state" : options_.stateDir;
  for (const std::string& folder : {watched_, watched2_, outside_, stateDir_, temp_ / "logs"}) {
    std::filesystem::create_directories(folder);
  }
  certificate_ = std::make_unique<TestCertificate>(temp_.path());
  backend_ = std::make_unique<RigBackend>(std::move(devBackendProgram), *certificate_,
                                          options_.deviceKey, temp_ / "logs", options_.backend);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, "ZORVA_", 6) != 0) environment.emplace_back(*entry);
  }
  environment.insert(
      environment.end(),
      {"ZORVA_EVENT_SOURCE=fanotify", "ZORVA_STATE_DIR=" + stateDir_,
       "ZORVA_BACKEND_URL=" + backend_->url(), "ZORVA_ANALYTICS_URL=" + backend_->url(),
       "ZORVA_CA_FILE=" + certificate_->cert(), "ZORVA_LOG=stderr",
       "ZORVA_BUS=" + options_.busAddress.value_or("unix:path=" + temp_ / "nobus")});
  service_ = std::make_unique<ZorvadProcess>(std::move(zorvadProgram), std::move(environment),
                                             temp_ / "logs");
}

ProductRig::~ProductRig() {
  service_.reset();  // first: the service must not outlive the folders it watches
  backend_.reset();
  drive_.reset();  // before the temporary folder that holds it is removed
}

void ProductRig::start() {
  if (options_.seedState) {
    saveServiceState(stateDir_, options_.deviceKey,
                     {{kVolume, watched_}, {kOtherVolume, watched2_}});
  }
  restart();
}

void ProductRig::restart() {
  service_->start();
  if (!service_->waitUntilReady()) {
    throw std::runtime_error("zorvad did not start; its log:\n" + service_->log());
  }
}

std::optional<std::string> ProductRig::markerCopy(std::chrono::milliseconds timeout) {
  const std::string name = "marker-" + std::to_string(++markers_) + ".txt";
  // Distinct content and size, so that no other watched file is taken for its source.
  writeFile(watched(name), name + std::string(static_cast<size_t>(7000 + markers_), 'm'));
  const std::string dest = outside(name);
  if (runCommand({"cp", watched(name), dest}).status != 0) return std::nullopt;
  if (!backend_->waitForDelivery(dest, timeout)) return std::nullopt;
  return dest;
}

}  // namespace zorva::e2e
