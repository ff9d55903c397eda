#pragma once

// The whole product on one machine, for end-to-end tests and benchmarks: the real zorvad on the
// fanotify source and the real zorva-devbackend over HTTPS, observed from outside through the
// service's log and the backend's request log.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/ChildProcess.h"
#include "testing/TempFolder.h"
#include "testing/TestCertificate.h"

namespace zorva::e2e {

using namespace std::chrono_literals;
using Wall = std::chrono::system_clock;
using testing::ChildProcess;
using testing::CommandResult;
using testing::runCommand;

// Polls `condition` until it holds (true) or `timeout` has passed: real processes signal nothing.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval = 20ms);
// Why the end-to-end tests cannot run here, or nothing when they can.
std::optional<std::string> whyProductCannotRun();
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

struct AuditEvent {
  std::string id;
  int64_t volumeId = 0;
  std::string source, dest, createTime;
  bool operator==(const AuditEvent&) const = default;
};

// The records of an upload body; anything that is not a well-formed record (members, types, the
// id's and time's forms) is described in `problems`.
std::vector<AuditEvent> parseUpload(const std::string& body, std::vector<std::string>& problems);

// How zorva-devbackend runs; each field but the default is a fault the service must outlive. The
// device check is always answered as usual, so that the stored key survives every fault.
struct BackendMode {
  bool up = true;           // false: nothing listens on the port
  bool tls = true;          // false: plain HTTP where the service expects TLS
  bool paused = false;      // SIGSTOP: connections are taken but never answered
  int uploadStatus = 0;     // what audit-event uploads are answered; 0: the usual
  int analyticsStatus = 0;  // the same for the analytics service's uploads
};

// zorva-devbackend on one loopback port for the rig's whole life, so that the service finds it
// again after it changed mode or came back.
class RigBackend {
 public:
  RigBackend(std::string program, const TestCertificate& certificate, std::string validKey,
             std::string folder, BackendMode mode);
  void set(BackendMode mode);  // ends the run and starts one as `mode` says
  std::string url() const { return "https://127.0.0.1:" + std::to_string(_port); }

  struct Request {
    Wall::time_point time{};
    bool accepted = false;  // a valid key, a success
    std::vector<AuditEvent> events{};
    std::vector<std::string> telemetry{};
  };
  std::vector<Request> requests() const;  // the uploads so far, taking in what the log gained
  // The records of accepted uploads, in arrival order, resendings included; sent(): of all.
  std::vector<AuditEvent> delivered() const { return collect(&Request::events, true); }
  std::vector<AuditEvent> sent() const { return collect(&Request::events, false); }
  // The distinct records accepted for `dest`: one resent after a lost answer counts once.
  std::vector<AuditEvent> deliveredTo(const std::string& dest) const;
  bool waitForDelivery(const std::string& dest, std::chrono::milliseconds timeout) const;
  bool waitForAttempt(const std::string& dest, std::chrono::milliseconds timeout) const;
  // The events of analytics uploads, each as JSON text.
  std::vector<std::string> telemetryEvents(bool acceptedOnly = true) const {
    return collect(&Request::telemetry, acceptedOnly);
  }
  std::vector<std::string> problems() const {  // in any body so far (see parseUpload)
    requests();
    return _problems;
  }

 private:
  template <typename T>
  std::vector<T> collect(std::vector<T> Request::*member, bool acceptedOnly) const {
    std::vector<T> out;
    for (const Request& r : requests()) {
      if (r.accepted || !acceptedOnly)
        out.insert(out.end(), (r.*member).begin(), (r.*member).end());
    }
    return out;
  }

  const std::string _program, _validKey, _log;
  const TestCertificate& _certificate;
  int _port = 0;
  std::unique_ptr<ChildProcess> _process;
  BackendMode _mode;
  mutable size_t _read = 0;  // bytes of this run's log taken in
  mutable std::vector<Request> _requests;
  mutable std::vector<std::string> _problems;
};

// The records waiting in the service's audit-event store, oldest first, as JSON (read-only).
std::vector<std::string> storedAuditEvents(const std::string& stateDir);

// A removable drive as the kernel sees one, mounted for its life: an image on a loop device (as
// "ext4", "xfs", "btrfs_subvolume", "fuse_fat", "fuse_ntfs", "fuse_exfat"), or a "tmpfs" or an
// "overlay"; with a tmpfs beside it as another filesystem. Unmounted when destroyed.
struct LoopDrive {
  LoopDrive(const std::string& folder, const std::string& kind);
  ~LoopDrive();
  bool unmount();  // false while something holds a file on it open

  const std::string image, mountPoint, tmpfs;
  std::string loopDevice;  // attached here, for drivers that want a block device
};

struct RigOptions {
  std::string deviceKey = "e2e-device-key-0123";
  std::string drive{};  // a kind of LoopDrive for volume 7; empty: the temporary folder's disk
  // The control interface's bus; nothing: an address where nothing listens.
  std::optional<std::string> busAddress{};
  BackendMode backend{};
  std::string stateDir{};  // empty: "state" in the rig's folder
  bool seedState = true;   // start() saves the key and both volumes first
};

// The product put together: volume 7 ("Watched"), volume 8 ("watched2") and an unwatched
// "outside" folder, on the temporary folder's filesystem unless volume 7 is on a drive; zorvad
// with its log (stderr) in a file per run.
class ProductRig {
 public:
  static constexpr int64_t kVolume = 7;

  ProductRig(std::string zorvadProgram, std::string devBackendProgram, RigOptions options = {});

  const std::string& root() const { return _temp.path(); }
  std::string watched(const std::string& name = {}) const { return join(_watched, name); }
  std::string watched2(const std::string& name = {}) const {
    return join(_temp / "watched2", name);
  }
  std::string outside(const std::string& name = {}) const { return join(_temp / "outside", name); }
  // With a drive: a folder on it outside volume 7, and the tmpfs beside it.
  std::string onDrive(const std::string& name = {}) const {
    return join(_drive->mountPoint + "/out", name);
  }
  std::string onTmpfs(const std::string& name = {}) const { return join(_drive->tmpfs, name); }
  LoopDrive& drive() { return *_drive; }
  const std::string& stateDir() const { return _stateDir; }
  const std::string& deviceKey() const { return _options.deviceKey; }
  RigBackend& backend() { return _backend; }

  // Saves the key and both volumes as a client would have (unless told not to), then restart().
  void start();
  void restart();  // launch() and wait until zorvad watches
  void launch();   // a new run of zorvad; the previous must have ended
  // The exit status, or 128 + the signal that ended it.
  int stop() { return end(SIGTERM); }
  int kill() { return end(SIGKILL); }
  bool running() const { return _service && _service->running(); }
  pid_t pid() const { return _service->pid(); }
  std::string log() const { return readFile(logPath()); }  // this run's so far
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
  std::vector<std::string> logLines(const std::string& text) const;  // this run's with `text`

  // Copies a new file out of volume 7 and waits until its audit event was accepted: everything
  // detected before it has been handled then. Its destination, or nothing when it did not arrive.
  std::optional<std::string> markerCopy(std::chrono::milliseconds timeout = 60s);

 private:
  static std::string join(const std::string& folder, const std::string& name) {
    return name.empty() ? folder : folder + "/" + name;
  }
  int end(int signal);
  std::string logPath() const { return _temp / ("zorvad-" + std::to_string(_runs) + ".log"); }

  // Destroyed bottom up: the service must not outlive the folders it watches, nor the drive the
  // temporary folder that holds it.
  RigOptions _options;
  TempFolder _temp;
  TestCertificate _certificate;
  RigBackend _backend;
  std::unique_ptr<LoopDrive> _drive;
  std::string _watched, _stateDir, _zorvad;
  std::vector<std::string> _environment;
  std::unique_ptr<ChildProcess> _service;
  int _runs = 0, _markers = 0;
};

}  // namespace zorva::e2e
