#pragma once

// The whole product on one machine, for end-to-end tests, the demo and benchmarks: temporary
// folders on a real filesystem, the development backend in-process over HTTPS with a fresh
// certificate, the real zorvad as a child process on the fanotify source, and real commands run
// against them. Everything is observed from outside: the service's log lines and the requests the
// backend received.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backend/devbackend/DevBackend.h"
#include "testing/TempFolder.h"

namespace zorva::e2e {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Polls `condition` every `interval` until it holds or `timeout` has passed; true when it held.
// Real processes give no other signal, so tests wait with generous deadlines and never assert on
// how long something took.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval = 10ms);

// Why the end-to-end tests cannot run here (not root, no fanotify with directory handles), or
// nothing when they can.
std::optional<std::string> whyProductCannotRun();

struct CommandResult {
  int status = -1;     // the exit status, or 128 + the signal that ended it
  std::string output;  // standard output and standard error together
};

// Runs a program (looked up in PATH) as a child process with the rig's environment and waits for
// it. Safe from a process with threads: the child is made with posix_spawn.
CommandResult runCommand(const std::vector<std::string>& argv);

// Writes `content` to `path`, creating or replacing the file.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// A self-signed certificate for 127.0.0.1 that serves as its own authority: the backend serves
// it and zorvad trusts it through ZORVA_CA_FILE.
class TestCertificate {
 public:
  explicit TestCertificate(const std::string& folder);
  const std::string& cert() const { return cert_; }
  const std::string& key() const { return key_; }

 private:
  std::string cert_;
  std::string key_;
};

// One audit event as the backend received it.
struct AuditEvent {
  std::string id;
  int64_t volumeId = 0;
  std::string source;
  std::string dest;
  std::string createTime;
  bool operator==(const AuditEvent&) const = default;
};

// The records of an upload body. Anything that is not a well-formed record (missing or extra
// members, wrong types, an id or time in the wrong form, a body that does not parse) is described
// in `problems`.
std::vector<AuditEvent> parseUpload(const std::string& body, std::vector<std::string>& problems);

// What the backend does with requests; the device check is always answered as the healthy
// backend would, so that the stored key survives every fault.
struct BackendBehaviour {
  enum class Kind {
    Healthy,       // the development backend
    Slow,          // the development backend, each request held for `delay` first
    Status,        // the development backend, uploads answered with `status`
    Down,          // nothing listens on the port
    GarbageBytes,  // bytes that are neither TLS nor HTTP, then the connection is closed
    GarbageBody,   // HTTPS, uploads answered 200 with a body that is not JSON
  };
  Kind kind = Kind::Healthy;
  int status = 0;
  std::chrono::milliseconds delay{0};

  static BackendBehaviour healthy() { return {}; }
  static BackendBehaviour slow(std::chrono::milliseconds delay) { return {Kind::Slow, 0, delay}; }
  static BackendBehaviour answering(int status) { return {Kind::Status, status, {}}; }
  static BackendBehaviour down() { return {Kind::Down, 0, {}}; }
  static BackendBehaviour garbageBytes() { return {Kind::GarbageBytes, 0, {}}; }
  static BackendBehaviour garbageBody() { return {Kind::GarbageBody, 0, {}}; }
  std::string describe() const;
};

// A request as the rig's backend saw it, with whether the upload counts as delivered: answered
// with a success status that the service takes as acceptance.
struct BackendRequest {
  RecordedRequest request;
  BackendBehaviour::Kind servedAs = BackendBehaviour::Kind::Healthy;
  bool accepted = false;  // an upload with the valid key that was answered 2xx
};

// The backend on one fixed loopback port for the rig's whole life, so that a service started
// against its URL finds it again after it changed behaviour (or came back from being down).
class RigBackend {
 public:
  static constexpr const char* kUploadPath = "/api/1/audit_event";
  static constexpr const char* kCheckPath = "/api/1/device/current";
  static constexpr const char* kTrackPath = "/zorva/1/track";

  RigBackend(const TestCertificate& certificate, std::string validKey,
             BackendBehaviour behaviour = {});
  ~RigBackend();
  RigBackend(const RigBackend&) = delete;
  RigBackend& operator=(const RigBackend&) = delete;

  // Stops serving as before and serves as `behaviour` on the same port.
  void set(BackendBehaviour behaviour);
  // The status the analytics service answers its event uploads with; 0: it takes them.
  void setAnalyticsStatus(int status);
  BackendBehaviour behaviour() const;
  std::string url() const { return url_; }
  int port() const { return port_; }

  std::vector<BackendRequest> requests() const;
  std::vector<BackendRequest> uploads() const;
  // Every record of every accepted upload, in arrival order (a record resent after a crash or a
  // lost answer appears again).
  std::vector<AuditEvent> delivered() const;
  // The accepted records whose destination is `dest`.
  std::vector<AuditEvent> deliveredTo(const std::string& dest) const;
  // When the first accepted record for `dest` arrived (its upload was received, before the
  // answer), on the steady clock.
  std::optional<Steady::time_point> firstDeliveryTime(const std::string& dest) const;
  // Waits until a record for `dest` has been accepted.
  bool waitForDelivery(const std::string& dest, std::chrono::milliseconds timeout) const;
  // Waits until some upload, accepted or not, carried a record for `dest`.
  bool waitForAttempt(const std::string& dest, std::chrono::milliseconds timeout) const;
  // The telemetry events of every analytics event upload answered with a success, in arrival
  // order; each is the JSON object as sent.
  std::vector<std::string> acceptedTelemetryEvents() const;
  // How many analytics event uploads arrived, whatever they were answered.
  size_t telemetryUploads() const;

  // Problems found in the bodies of all uploads so far (see parseUpload).
  std::vector<std::string> problems() const;

 public:
  class Server;  // one way of serving the port

 private:
  void record(const RecordedRequest& request, BackendBehaviour::Kind kind);
  std::unique_ptr<Server> makeServer(const BackendBehaviour& behaviour, int port);

  const TestCertificate& certificate_;
  const std::string validKey_;
  mutable std::mutex mutex_;
  BackendBehaviour behaviour_;
  int analyticsStatus_ = 0;
  std::vector<std::string> telemetryEvents_;
  size_t telemetryUploads_ = 0;
  std::vector<BackendRequest> requests_;
  std::map<std::string, std::vector<AuditEvent>> byDest_;  // accepted records
  std::map<std::string, Steady::time_point> firstDelivery_;
  std::vector<AuditEvent> delivered_;
  std::vector<std::string> problems_;
  int port_ = 0;
  std::string url_;
  std::unique_ptr<Server> server_;  // last: stopped before what its handlers use
};

struct ZorvadOptions {
  std::string program;  // path of the zorvad binary
  std::string stateDir;
  std::string backendUrl;
  std::string analyticsUrl;
  std::string caFile;
  // A D-Bus address for the control interface; nothing: an address where nothing listens, so
  // that the service runs without one.
  std::optional<std::string> busAddress;
  std::string logFolder;                      // each run's stderr goes to zorvad-<n>.log here
  std::vector<std::string> extraEnvironment;  // NAME=VALUE
};

// zorvad as a child process on the fanotify source, logging to stderr into a file per run.
class ZorvadProcess {
 public:
  explicit ZorvadProcess(ZorvadOptions options);
  ~ZorvadProcess();  // kills a service still running
  ZorvadProcess(const ZorvadProcess&) = delete;
  ZorvadProcess& operator=(const ZorvadProcess&) = delete;

  // Starts a new run; the previous must have ended.
  void start();
  // Waits for the "dispatch_main" line of this run: events are watched from then on.
  bool waitUntilReady(std::chrono::milliseconds timeout = 60s) const;
  // SIGTERM, then waits; returns the wait status.
  int stop();
  // SIGKILL, then waits; returns the wait status.
  int kill();
  bool running() const;
  pid_t pid() const { return pid_; }
  int runs() const { return runs_; }

  // This run's log so far, and one earlier run's (1 is the first).
  std::string log() const;
  std::string logOfRun(int run) const;
  std::string logPath(int run) const;
  // Waits until this run's log holds `text`.
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
  // Lines of this run containing `text`.
  std::vector<std::string> logLines(const std::string& text) const;

  const ZorvadOptions& options() const { return options_; }

 private:
  int signalAndWait(int signal);

  ZorvadOptions options_;
  std::string noBus_;
  pid_t pid_ = -1;
  int runs_ = 0;
};

// The saved state a client application would have left: the device key and the watched volumes
// (volume id -> folder), written through the settings store before the service starts.
void saveServiceState(const std::string& stateDir, const std::string& deviceKey,
                      const std::map<int64_t, std::string>& volumes);
// The records waiting in the service's audit-event store (read-only), oldest first, as JSON.
std::vector<std::string> storedAuditEvents(const std::string& stateDir);

// The kinds of filesystem drives come with that this machine can mount: through the kernel, a
// btrfs subvolume mounted on its own, an overlay, and FUSE drivers of USB sticks' filesystems.
enum class DriveKind { Ext4, Xfs, BtrfsSubvolume, Tmpfs, Overlay, FuseFat, FuseNtfs, FuseExfat };
const char* driveKindName(DriveKind kind);

// A removable drive as the kernel sees one: an image on a loop device (ext4 unless asked),
// mounted for the drive's life, with a tmpfs beside it as a second, other filesystem. Unmounted
// (lazily, if it is still busy) when destroyed.
class LoopDrive {
 public:
  explicit LoopDrive(const std::string& folder, DriveKind kind = DriveKind::Ext4);
  ~LoopDrive();
  LoopDrive(const LoopDrive&) = delete;
  LoopDrive& operator=(const LoopDrive&) = delete;

  const std::string& mountPoint() const { return mountPoint_; }
  const std::string& tmpfs() const { return tmpfs_; }
  // Unmounts the drive now; false while something holds a file on it open.
  bool unmount();

 private:
  std::string image_;
  std::string mountPoint_;
  std::string tmpfs_;
  std::string loopDevice_;  // attached by the test itself, for drivers that want a block device
};

struct RigOptions {
  std::string deviceKey = "e2e-device-key-0123";
  // Volume 7 on a loop-mounted drive instead of the temporary folder's filesystem.
  bool loopDrive = false;
  DriveKind driveKind = DriveKind::Ext4;
  std::optional<std::string> busAddress;  // see ZorvadOptions
  BackendBehaviour backend{};
  // The state folder; empty: a folder "state" in the rig's temporary folder.
  std::string stateDir{};
  // Whether start() saves the key and both volumes first, as a client application would have
  // done earlier; without, the service starts with nothing registered.
  bool seedState = true;
  // What the analytics service answers event uploads with; 0: it takes them.
  int analyticsStatus = 0;
};

// The product put together: folders, backend, service. Two watched folders, volume 7 ("watched")
// and volume 8 ("watched2"), and an unwatched "outside" folder, all on the temporary folder's
// filesystem.
class ProductRig {
 public:
  static constexpr int64_t kVolume = 7;
  static constexpr int64_t kOtherVolume = 8;

  ProductRig(std::string zorvadProgram, RigOptions options = {});
  ~ProductRig();

  const std::string& root() const { return temp_.path(); }
  std::string watched(const std::string& name = {}) const { return join(watched_, name); }
  std::string watched2(const std::string& name = {}) const { return join(watched2_, name); }
  std::string outside(const std::string& name = {}) const { return join(outside_, name); }
  // With a loop drive: a folder on the drive outside volume 7, and the tmpfs beside it.
  std::string onDrive(const std::string& name = {}) const { return join(driveOut_, name); }
  std::string onTmpfs(const std::string& name = {}) const { return join(drive_->tmpfs(), name); }
  LoopDrive& drive() { return *drive_; }
  const std::string& stateDir() const { return stateDir_; }
  const std::string& deviceKey() const { return options_.deviceKey; }

  RigBackend& backend() { return *backend_; }
  ZorvadProcess& service() { return *service_; }

  // Saves the key and both volumes (unless told not to), starts zorvad and waits until it
  // watches.
  void start();
  // Starts zorvad again on the same state.
  void restart();

  // Copies a new file out of the watched folder with cp and waits until its audit event has been
  // accepted: everything the service detected before it has then been handled. Returns the
  // marker's destination, or nothing when its event did not arrive in time.
  std::optional<std::string> markerCopy(std::chrono::milliseconds timeout = 60s);

 private:
  static std::string join(const std::string& folder, const std::string& name) {
    return name.empty() ? folder : folder + "/" + name;
  }

  RigOptions options_;
  TempFolder temp_;
  std::unique_ptr<LoopDrive> drive_;
  std::string watched_, watched2_, outside_, stateDir_, driveOut_;
  std::unique_ptr<TestCertificate> certificate_;
  std::unique_ptr<RigBackend> backend_;
  std::unique_ptr<ZorvadProcess> service_;
  int markers_ = 0;
};

}  // namespace zorva::e2e
