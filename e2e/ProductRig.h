#pragma once

// The whole product on one machine, for end-to-end tests and benchmarks: temporary folders on a
// real filesystem, the real zorva-devbackend over HTTPS with a fresh certificate, the real zorvad
// as a child process on the fanotify source, and real commands run against them. Everything is
// observed from outside: the service's log lines and the backend's request log.

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dbus/testing/ChildProcess.h"
#include "testing/TempFolder.h"
#include "testing/TestCertificate.h"

namespace zorva::e2e {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;
using testing::CommandResult;
using testing::runCommand;

// Polls `condition` every `interval` until it holds or `timeout` has passed; true when it held.
// Real processes give no other signal, so tests wait with generous deadlines.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval = 10ms);

// Why the end-to-end tests cannot run here (not root, no fanotify with directory handles), or
// nothing when they can.
std::optional<std::string> whyProductCannotRun();

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

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

// A program in the background with its standard output and error in a file. It is killed when the
// test process dies, so that no service watching the machine outlives a crashed test.
class Background {
 public:
  Background() = default;
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  void start(const std::vector<std::string>& argv, std::vector<std::string> environment,
             const std::string& outputPath);
  // Sends `signal` and waits; returns the wait status (-1 when nothing runs).
  int signalAndWait(int signal);
  bool running() const;
  pid_t pid() const { return _pid; }

 private:
  pid_t _pid = -1;
};

// How zorva-devbackend is run; each field but the default is a fault the service must outlive.
// The device check is always answered as usual, so that the stored key survives every fault.
struct BackendMode {
  bool up = true;           // false: nothing listens on the port
  bool tls = true;          // false: plain HTTP where the service expects TLS
  bool paused = false;      // stopped with SIGSTOP: connections are taken but never answered
  int uploadStatus = 0;     // what audit-event uploads are answered; 0: the usual
  int analyticsStatus = 0;  // what the analytics service's event uploads are answered; 0: usual
  std::string describe() const;
};

// zorva-devbackend on one loopback port for the rig's whole life, so that a service started
// against its URL finds it again after it changed mode or came back from being down. Each run of
// the program writes a request log of its own; what was received is read from those logs.
class RigBackend {
 public:
  RigBackend(std::string program, const TestCertificate& certificate, std::string validKey,
             std::string folder, BackendMode mode = {});

  // Ends the program's run and runs it again, on the same port, as `mode` says.
  void set(BackendMode mode);
  std::string url() const { return "https://127.0.0.1:" + std::to_string(_port); }

  // Every record of every accepted upload (a valid key, answered with a success), in arrival
  // order: a record resent after a crash or a lost answer appears again.
  std::vector<AuditEvent> delivered() const;
  std::vector<AuditEvent> sent() const;  // every record of every upload, accepted or not
  std::vector<AuditEvent> deliveredTo(const std::string& dest) const;
  // When the first accepted record for `dest` was received, to the millisecond.
  std::optional<Wall::time_point> firstDeliveryTime(const std::string& dest) const;
  bool waitForDelivery(const std::string& dest, std::chrono::milliseconds timeout) const;
  // Waits until some upload, accepted or not, carried a record for `dest`.
  bool waitForAttempt(const std::string& dest, std::chrono::milliseconds timeout) const;
  // The events of every accepted analytics upload, each the JSON object as sent, in order.
  std::vector<std::string> acceptedTelemetryEvents() const;
  size_t telemetryUploads() const;  // accepted or not
  // Problems found in the bodies of all uploads so far (see parseUpload).
  std::vector<std::string> problems() const;

 private:
  struct Request {
    Wall::time_point time{};
    bool upload = false;  // else an analytics event upload
    bool accepted = false;
    std::vector<AuditEvent> events{};
    std::vector<std::string> telemetry{};
  };
  struct Run {
    BackendMode mode{};
    std::string log{};
    size_t read = 0;  // bytes of the log taken in
  };
  std::vector<Request> requests() const;  // all so far, taking in what the logs gained
  void record(const std::string& line, const BackendMode& mode) const;

  const std::string _program, _validKey, _folder;
  const TestCertificate& _certificate;
  int _port = 0;
  Background _process;
  mutable std::mutex _mutex;
  mutable std::vector<Run> _runs;
  mutable std::vector<Request> _requests;
  mutable std::vector<std::string> _problems;
};

// zorvad as a child process on the fanotify source, logging to stderr into a file per run.
class ZorvadProcess {
 public:
  ZorvadProcess(std::string program, std::vector<std::string> environment, std::string logFolder);

  // Starts a new run; the previous must have ended.
  void start();
  // Waits for the "dispatch_main" line of this run: events are watched from then on.
  bool waitUntilReady(std::chrono::milliseconds timeout = 60s) const;
  int stop() { return _process.signalAndWait(SIGTERM); }  // the wait status
  int kill() { return _process.signalAndWait(SIGKILL); }
  bool running() const { return _process.running(); }
  pid_t pid() const { return _process.pid(); }
  int runs() const { return _runs; }

  // This run's log so far, and one earlier run's (1 is the first).
  std::string log() const { return _runs == 0 ? std::string() : logOfRun(_runs); }
  std::string logOfRun(int run) const;
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
  // Lines of this run containing `text`.
  std::vector<std::string> logLines(const std::string& text) const;

 private:
  const std::string _program;
  const std::vector<std::string> _environment;
  const std::string _logFolder;
  Background _process;
  int _runs = 0;
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

  const std::string& mountPoint() const { return _mountPoint; }
  const std::string& tmpfs() const { return _tmpfs; }
  // Unmounts the drive now; false while something holds a file on it open.
  bool unmount();

 private:
  std::string _image, _mountPoint, _tmpfs;
  std::string _loopDevice;  // attached by the rig itself, for drivers that want a block device
};

struct RigOptions {
  std::string deviceKey = "e2e-device-key-0123";
  // Volume 7 on a loop-mounted drive instead of the temporary folder's filesystem.
  bool loopDrive = false;
  DriveKind driveKind = DriveKind::Ext4;
  // A D-Bus address for the control interface; nothing: an address where nothing listens, so
  // that the service runs without one.
  std::optional<std::string> busAddress{};
  BackendMode backend{};
  // The state folder; empty: a folder "state" in the rig's temporary folder.
  std::string stateDir{};
  // Whether start() saves the key and both volumes first, as a client application would have
  // done earlier; without, the service starts with nothing registered.
  bool seedState = true;
};

// The product put together: folders, backend, service. Two watched folders, volume 7 ("Watched")
// and volume 8 ("watched2"), and an unwatched "outside" folder, all on the temporary folder's
// filesystem unless volume 7 is on a loop drive.
class ProductRig {
 public:
  static constexpr int64_t kVolume = 7;
  static constexpr int64_t kOtherVolume = 8;

  ProductRig(std::string zorvadProgram, std::string devBackendProgram, RigOptions options = {});
  ~ProductRig();

  const std::string& root() const { return _temp.path(); }
  std::string watched(const std::string& name = {}) const { return join(_watched, name); }
  std::string watched2(const std::string& name = {}) const { return join(_watched2, name); }
  std::string outside(const std::string& name = {}) const { return join(_outside, name); }
  // With a loop drive: a folder on the drive outside volume 7, and the tmpfs beside it.
  std::string onDrive(const std::string& name = {}) const { return join(_driveOut, name); }
  std::string onTmpfs(const std::string& name = {}) const { return join(_drive->tmpfs(), name); }
  LoopDrive& drive() { return *_drive; }
  const std::string& stateDir() const { return _stateDir; }
  const std::string& deviceKey() const { return _options.deviceKey; }

  RigBackend& backend() { return *_backend; }
  ZorvadProcess& service() { return *_service; }

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

  RigOptions _options;
  TempFolder _temp;
  std::unique_ptr<LoopDrive> _drive;
  std::string _watched, _watched2, _outside, _stateDir, _driveOut;
  std::unique_ptr<TestCertificate> _certificate;
  std::unique_ptr<RigBackend> _backend;
  std::unique_ptr<ZorvadProcess> _service;
  int _markers = 0;
};

}  // namespace zorva::e2e
