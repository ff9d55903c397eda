#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/dispatch/RealClock.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/FanotifyEventSource.h"
#include "platform/event_source/fanotify/testing/PrefixRoots.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;

// Every type the service asks for.
constexpr es_event_type_t kEveryType[] = {
    ES_EVENT_TYPE_NOTIFY_TRUNCATE, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_LINK,
    ES_EVENT_TYPE_NOTIFY_OPEN,     ES_EVENT_TYPE_NOTIFY_CLOSE,  ES_EVENT_TYPE_NOTIFY_CLONE,
    ES_EVENT_TYPE_NOTIFY_COPYFILE, ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA,
};

// Long enough for a sanitizer build on a loaded machine; a broken source fails instead of hanging.
constexpr auto kPatience = 10s;

// One message, copied out while it is still valid, as "open a", "write a" (a modified close),
// "rename a b", "exchange a b", "link b" (a file's second name), "unlink a"; an open or close of
// what is not a regular file is "open?". A removal's folder is `other` only when wrong.
struct Event {
  std::string kind, path, other;
  struct stat status {};
  pid_t pid, ppid, grandparent;
  std::string executable;
  bool platform;
};

std::string text(const es_string_token_t& token) {
  return token.data ? std::string(token.data, token.length) : std::string();
}
std::string text(const es_file_t* file) { return file ? text(file->path) : std::string(); }
std::string text(const es_file_t* dir, const es_string_token_t& name) {
  return text(dir) + "/" + text(name);
}

Event copyOf(const es_message_t& m) {
  const es_process_t& p = *m.process;
  Event event{
      "", "", "", {}, p.pid, p.ppid, p.grandparent, text(p.executable), p.is_platform_binary};
  const es_events_t& e = m.event;
  const auto set = [&](std::string kind, std::string path, std::string other = "") {
    std::tie(event.kind, event.path, event.other) = std::tuple(kind, path, other);
  };
  const auto file = [&](std::string kind, const es_file_t* f) {
    event.status = f->stat;
    set(kind + (S_ISREG(f->stat.st_mode) ? "" : "?"), text(f));
  };
  switch (m.event_type) {
    case ES_EVENT_TYPE_NOTIFY_OPEN:
      file("open", e.open.file);
      break;
    case ES_EVENT_TYPE_NOTIFY_CLOSE:
      file(e.close.modified ? "write" : "close", e.close.target);
      break;
    case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA: {
      const std::string one = text(e.exchangedata.file1), two = text(e.exchangedata.file2);
      set("exchange", std::min(one, two), std::max(one, two));
      break;
    }
    case ES_EVENT_TYPE_NOTIFY_LINK:
      set("link", text(e.link.target_dir, e.link.target_filename), text(e.link.source));
      break;
    case ES_EVENT_TYPE_NOTIFY_RENAME:  // the source gives only new paths
      set("rename", text(e.rename.source),
          text(e.rename.destination.new_path.dir, e.rename.destination.new_path.filename));
      break;
    case ES_EVENT_TYPE_NOTIFY_UNLINK: {
      const std::string target = text(e.unlink.target), parent = text(e.unlink.parent_dir);
      set("unlink", target, std::filesystem::path(target).parent_path() == parent ? "" : parent);
      break;
    }
    default:  // not produced by this source
      break;
  }
  return event;
}

bool isUnder(std::string_view path, std::string_view root) {
  return path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/');
}

// With paths relative to `dir`.
std::string describe(const Event& e, const std::string& dir) {
  const auto rel = [&](const std::string& path) {
    return isUnder(path, dir) ? path.substr(dir.size() + 1) : path;
  };
  return e.kind + " " + rel(e.path) + (e.other.empty() ? "" : " " + rel(e.other));
}

class FanotifyIntegrationTest : public ::testing::Test {
 protected:
  using Match = std::function<bool(const Event&)>;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "fanotify needs root (CAP_SYS_ADMIN); run as root";
    const int fd = fanotify_init(FAN_CLASS_NOTIF, O_RDONLY);
    if (fd < 0 && errno == ENOSYS) GTEST_SKIP() << "this kernel is built without fanotify";
    if (fd >= 0) close(fd);
    _root = _folder.path();
    ASSERT_NO_FATAL_FAILURE(makeDirs({"state"}));
    _source = std::make_unique<FanotifyEventSource>(_api, RealClock::shared());
    _source->muteFolder(path("state"));
    ASSERT_EQ(
        _source->newClient(&_client, [this](es_client_t*, const es_message_t* m) { record(*m); }),
        ES_NEW_CLIENT_RESULT_SUCCESS);
    ASSERT_EQ(_source->subscribe(_client, kEveryType, std::size(kEveryType)), ES_RETURN_SUCCESS);
  }

  void TearDown() override {
    releaseReader();
    EXPECT_TRUE(!_client || _source->deleteClient(_client) == ES_RETURN_SUCCESS);
    _source.reset();
    for (pid_t pid : _children) waitpid(pid, nullptr, 0);
    for (auto mount = _mounts.rbegin(); mount != _mounts.rend(); ++mount) {
      // Another watcher on the machine can keep a filesystem busy; detaching still frees the
      // name, and the loop device goes with its last user.
      if (umount2(mount->c_str(), 0) != 0) {
        EXPECT_EQ(umount2(mount->c_str(), MNT_DETACH), 0) << *mount << ": " << strerror(errno);
      }
    }
    if (!HasFailure()) return;
    for (const std::string& line : _log.texts()) std::cerr << line << "\n";
    std::cerr << "events:\n" << dump();
  }

  // Called on the source's reader thread while the test thread reads the events.
  void record(const es_message_t& message) {
    Event event = copyOf(message);
    if (!isUnder(event.path, _root) && !isUnder(event.other, _root)) return;
    std::unique_lock lock(_mutex);
    _events.push_back(event);
    _changed.notify_all();
    if (_holdAt && event.kind == "write" && event.path == *_holdAt) {
      _held = true;
      _changed.notify_all();
      _changed.wait_for(lock, kPatience, [&] { return !_holdAt; });
    }
  }

  // The first event that matches, once it has arrived within `patience`.
  std::optional<Event> waitForEvent(const Match& match,
                                    std::chrono::milliseconds patience = kPatience) {
    std::unique_lock lock(_mutex);
    std::optional<Event> found;
    _changed.wait_for(lock, patience, [&] {
      auto at = std::ranges::find_if(_events, match);
      if (at != _events.end()) found = *at;
      return found.has_value();
    });
    return found;
  }

  size_t count(const Match& match) const {
    std::lock_guard lock(_mutex);
    return std::ranges::count_if(_events, match);
  }

  // A zero pid matches any.
  static Match of(const std::string& kind, const std::string& path, pid_t pid = 0) {
    return
        [=](const Event& e) { return e.kind == kind && e.path == path && (!pid || e.pid == pid); };
  }

  // Waits until the events under `dir` of `actor` and its children are `expected`, in any order
  // but each file's close after an open of it, and checks the family of each (the tracker groups
  // a copy's read and write by the acting process's parent) and, when given, its program.
  void expectEvents(pid_t actor, const std::string& dir, std::vector<std::string> expected,
                    const std::string& program = "") {
    std::ranges::sort(expected);
    std::vector<Event> mine;
    std::vector<std::string> seen;
    std::unique_lock lock(_mutex);
    _changed.wait_for(lock, kPatience, [&] {
      mine.clear();
      seen.clear();
      for (const Event& e : _events) {
        if ((e.pid == actor || e.ppid == actor) &&
            (isUnder(e.path, dir) || isUnder(e.other, dir))) {
          mine.push_back(e);
          seen.push_back(describe(e, dir));
        }
      }
      std::ranges::sort(seen);
      return seen == expected;
    });
    lock.unlock();
    EXPECT_EQ(seen, expected);
    for (auto e = mine.begin(); e != mine.end(); ++e) {
      SCOPED_TRACE(describe(*e, dir));
      EXPECT_EQ(e->pid == actor ? e->ppid : e->grandparent, getpid());
      EXPECT_TRUE(program.empty() || e->executable == std::filesystem::canonical(program));
      EXPECT_EQ(e->platform, e->executable.starts_with("/usr/"));
      const bool closed = e->kind == "close" || e->kind == "write";
      EXPECT_TRUE(!closed || std::any_of(mine.begin(), e, of("open", e->path))) << "open missing";
      // The tracker tells files apart by device and inode, and copies by size once closed.
      struct stat now {};
      if (e->status.st_mode && lstat(e->path.c_str(), &now) == 0) {
        EXPECT_EQ(std::tuple(e->status.st_ino, e->status.st_dev, closed ? e->status.st_size : 0),
                  std::tuple(now.st_ino, now.st_dev, closed ? now.st_size : 0));
      }
    }
  }

  // Stops the reader inside the handler once it has delivered the write of a gate file, so the
  // source reads whatever happens next only after it has happened: a file already gone, a name
  // already changed, a process already ended. releaseReader() lets it go on.
  void holdReader() {
    std::unique_lock lock(_mutex);
    std::tie(_holdAt, _held) = std::tuple(path("gate"), false);
    lock.unlock();
    write(path("gate"));
    lock.lock();
    ASSERT_TRUE(_changed.wait_for(lock, kPatience, [&] { return _held; })) << "never held";
  }
  void releaseReader() {
    std::lock_guard lock(_mutex);
    _holdAt.reset();
    _changed.notify_all();
  }

  // Starts a program with its output thrown away and, when given, `input` as its standard input.
  pid_t spawn(const std::vector<std::string>& args, int input = -1) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, 0);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << args[0] << ": " << strerror(error);
    return error == 0 ? pid : -1;
  }

  // Waits for a child to end but leaves it unreaped until TearDown: its /proc entry keeps
  // answering who its parent is, and its id cannot be handed to another process meanwhile.
  int exitCode(pid_t pid) {
    if (pid <= 0) return -1;
    _children.push_back(pid);
    siginfo_t info{};
    while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) != 0) {
      if (errno != EINTR) return -1;
    }
    return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  }

  pid_t run(const std::vector<std::string>& args) {
    pid_t pid = spawn(args);
    EXPECT_EQ(exitCode(pid), 0) << ::testing::PrintToString(args);
    return pid;
  }
  pid_t write(const std::string& file) { return run({"/bin/sh", "-c", "echo x > \"$0\"", file}); }

  // A forked copy of this process running `body`, which must keep to system calls: other threads
  // may hold locks at the fork.
  pid_t runForked(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    EXPECT_GT(pid, 0) << strerror(errno);
    EXPECT_EQ(exitCode(pid), 0) << "forked child failed";
    return pid;
  }

  // Writes a file from this process, whose own events the source mutes.
  static void writeFile(const std::string& path) { std::ofstream(path) << "content\n"; }
  void makeDirs(std::initializer_list<const char*> names) {
    for (const char* name : names) ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0) << name;
  }
  std::string path(const std::string& name) const { return _root + "/" + name; }

  // Renames come in order and the source holds one back only to pair it with the next, so the
  // rename seen also proves every earlier one has been delivered.
  void mv(const std::string& from, const std::string& to) {
    const auto rel = [&](const std::string& p) { return p.substr(_root.size() + 1); };
    expectEvents(run({"/bin/mv", from, to}), _root, {"rename " + rel(from) + " " + rel(to)});
  }

  std::string dump() const {
    std::lock_guard lock(_mutex);
    std::string all;
    for (const Event& e : _events) {
      all += describe(e, _root) + " by " + std::to_string(e.pid) + " " + e.executable + "\n";
    }
    return all;
  }

  MemoryLogWriter _log;
  SystemFanotifyApi _api;
  TempFolder _folder{"zorva-fint"};
  std::string _root;
  std::vector<std::string> _mounts;  // unmounted last to first
  std::unique_ptr<FanotifyEventSource> _source;
  es_client_t* _client = nullptr;
  std::vector<pid_t> _children;

  mutable std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<Event> _events;
  std::optional<std::string> _holdAt;
  bool _held = false;
};

// Each script runs in a fresh folder, after `setup` in another shell. `held` has the reader wait
// until the script has ended: its files and processes are gone when read.
TEST_F(FanotifyIntegrationTest, CommandsGiveTheirEventsWithTheirFilesAndFamilyAsTheyWere) {
  struct Scenario {
    std::string setup, script;
    std::vector<std::string> expected;
    std::string program = "";
    bool held = false;
  };
  const Scenario scenarios[] = {
      {"echo > a", "cat a", {"open a", "close a"}, "/bin/cat"},
      {"echo > a; mkdir d", "cp a d/b", {"open a", "close a", "open d/b", "write d/b"}, "/bin/cp"},
      {"echo > a", "echo x >> a", {"open a", "write a"}, "/bin/sh"},
      {"echo > c; mkdir d", "mv c e && mv e d/f", {"rename c e", "rename e d/f"}},
      // New files and folders and removed folders are not reported; links and removals are.
      {"echo > a",
       "echo x > new; ln a l; mkdir d; rmdir d; rm l; rm a",
       {"open new", "write new", "link l", "unlink l", "unlink a"}},
      // The kernel marks a removed name with " (deleted)", whether or not the file has other
      // names left; a file can also really be named so.
      {"echo > a; ln a l; echo > 'x (deleted)'",
       "echo x > gone && rm gone; echo x >> l && rm l; cat 'x (deleted)'",
       {"open gone", "write gone", "unlink gone", "open l", "write l", "unlink l",
        "open x (deleted)", "close x (deleted)"},
       "",
       true},
      // cat is forked and gone with its shell when read: its family and program are what the
      // kernel reported as it happened, not what /proc no longer has.
      {"echo > a", "cat a; true", {"open a", "close a"}, "/bin/cat", true},
  };
  for (size_t i = 0; i < std::size(scenarios); ++i) {
    const Scenario& s = scenarios[i];
    SCOPED_TRACE(s.script);
    const std::string dir = path(std::to_string(i));
    const auto sh = [&](const std::string& script) {
      return run({"/bin/sh", "-c", "cd \"$0\" && " + script, dir});
    };
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    sh(s.setup);
    if (s.held) holdReader();
    const pid_t shell = sh(s.script);
    releaseReader();
    expectEvents(shell, dir, s.expected, s.program);
  }
}

// An exchange is one event, not two renames; two renames of one file by one process, there and
// back, are indistinguishable by their names from the two records of an exchange: only the file
// each record is about tells them apart. The reader finds the records all queued at once.
TEST_F(FanotifyIntegrationTest, ExchangeGivesOneExchangeAndARenameThereAndBackTwoRenames) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"x", "y"}));
  const std::string a = path("x/a"), b = path("y/b"), c = path("c"), d = path("d");
  for (const std::string& file : {a, b, c}) writeFile(file);
  ASSERT_NO_FATAL_FAILURE(holdReader());
  const pid_t child = runForked([&] {
    return syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 &&
           rename(c.c_str(), d.c_str()) == 0 && rename(d.c_str(), c.c_str()) == 0;
  });
  releaseReader();
  expectEvents(child, _root, {"exchange x/a y/b", "rename c d", "rename d c"});
}

// Nearly the longest path a system call accepts, made of names within the length limit and
// ending in bytes that are not UTF-8; then moved across folders.
TEST_F(FanotifyIntegrationTest, LongAndNonUtf8PathsArriveByteForByte) {
  constexpr size_t kLength = PATH_MAX - 96;
  ASSERT_NO_FATAL_FAILURE(makeDirs({"y"}));
  std::string dir = _root;
  while (kLength - dir.size() > 1 + NAME_MAX) {
    dir += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
  }
  const std::string file = dir + "/\xff\xfe" + std::string(kLength - dir.size() - 3, 'f');
  const std::string name = file.substr(_root.size() + 1);
  // The path of a close is the file's name when the source reads it, so the rename waits.
  expectEvents(write(file), _root, {"open " + name, "write " + name});
  mv(file, path("y/\xfe\xff.bin"));
}

// The service's own activity is muted while its children's arrives. Closing any descriptor of a
// file drops every POSIX lock the process holds on it: a descriptor of the service's own
// database, handed over with another process's read and closed again, would cost the service its
// SQLite locks. Its state folder is muted, so none is ever handed over.
TEST_F(FanotifyIntegrationTest, OwnActivityAndReadsOfTheServicesFilesAreMuted) {
  writeFile(path("own"));
  std::filesystem::rename(path("own"), path("own2"));
  std::filesystem::create_hard_link(path("own2"), path("own3"));
  std::filesystem::remove(path("own2"));
  const std::string database = path("state/defaults.sqlite3");
  writeFile(database);
  const int fd = open(database.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock lock {
    F_WRLCK, SEEK_SET, 0, 1, 0
  };
  ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
  const pid_t reader = run({"/bin/cat", database});
  // Each group delivers in order, so a child's close and rename after ours prove ours are past.
  expectEvents(write(path("marker")), _root, {"open marker", "write marker"});
  mv(path("marker"), path("marker2"));
  EXPECT_EQ(count([&](const Event& e) {
              return e.pid == getpid() || e.pid == reader || e.path.find("/own") != e.path.npos ||
                     e.other.find("/own") != e.other.npos;
            }),
            0u)
      << dump();
  // An open file description's lock conflicts with this process's own POSIX locks.
  const int other = open(database.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(fcntl(other, F_OFD_GETLK, &lock), 0);
  EXPECT_EQ(lock.l_type, F_WRLCK) << "the service lost its lock on its own database";
  close(other);
  close(fd);
}

int openAndEndThread(void* file) {
  int fd = open(static_cast<const char*>(file), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  syscall(SYS_exit, 0);
  return 0;
}

// fanotify names the process, not the thread: a file opened by a thread that is not the leader
// is the process's open, with the process's parent and program.
TEST_F(FanotifyIntegrationTest, AThreadsOpenIsItsProcesss) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot follow a thread started by clone(2) directly";
#endif
  const std::string file = path("threaded");
  writeFile(file);
  pid_t child = runForked([&] {
    alignas(16) static char stack[64 * 1024];
    static pid_t thread = 0;
    const int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                      CLONE_SYSVSEM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
    if (clone(openAndEndThread, stack + sizeof stack, flags, const_cast<char*>(file.c_str()),
              &thread, nullptr, &thread) < 0) {
      return false;
    }
    while (__atomic_load_n(&thread, __ATOMIC_ACQUIRE) != 0) sched_yield();
    return true;
  });
  expectEvents(child, _root, {"open threaded", "close threaded"}, "/proc/self/exe");
}

// Machines with containers or snaps list far more than a page of mounts, a drive plugged in is
// listed last, and watching it must not stop its owner from unmounting it.
TEST_F(FanotifyIntegrationTest, FilesystemMountedLaterPastTheFirstPageIsWatchedAndCanBeUnmounted) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"empty", "mnt"}));
  // Binds of an already watched filesystem lengthen the table past 5 KiB and add nothing to watch.
  for (int i = 0; i < 24; ++i) {
    const std::string bind = path(std::to_string(i) + std::string(200, 'b'));
    ASSERT_EQ(mkdir(bind.c_str(), 0755), 0);
    ASSERT_EQ(mount(path("empty").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    _mounts.push_back(bind);
  }
  // A fresh ext4 filesystem on a loop device, mounted after the source has started.
  const std::string image = path("mnt.img"), mountPoint = path("mnt");
  std::ofstream{image};
  std::filesystem::resize_file(image, 64 << 20);
  run({"/sbin/mkfs.ext4", "-q", "-F", image});
  ASSERT_EQ(exitCode(spawn({"/bin/mount", "-o", "loop", image, mountPoint})), 0) << image;
  _mounts.push_back(mountPoint);
  // Writes made before the source has marked the new filesystem are rightly unseen, so each try
  // waits only briefly.
  std::optional<Event> seen;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (int i = 0; !seen && std::chrono::steady_clock::now() < deadline; ++i) {
    const std::string file = mountPoint + "/probe" + std::to_string(i);
    seen = waitForEvent(of("write", file, write(file)), 100ms);
  }
  ASSERT_TRUE(seen) << "no write in the new filesystem was seen";
  // Renames need the filesystem's directory handles, opened from the mount itself.
  ASSERT_NO_FATAL_FAILURE(mv(seen->path, mountPoint + "/renamed"));

  // Another listener on the machine (a test running beside this one) may hold one of its files
  // for the moment it handles an event; ours lets go at once.
  const auto unmountBy = std::chrono::steady_clock::now() + 2s;
  int unmounted;
  while ((unmounted = umount2(mountPoint.c_str(), 0)) != 0 && errno == EBUSY &&
         std::chrono::steady_clock::now() < unmountBy) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(unmounted, 0) << strerror(errno);
  _mounts.pop_back();
}

// The kernel drops the opens and unmodified closes of folders under no root once the source has
// marked them; no open of a file under a root may be lost to a mark.
class FanotifyFilterTest : public FanotifyIntegrationTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FanotifyIntegrationTest::SetUp());
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(makeDirs({"w", "u", "u/s", "v"}));
    _roots.add(path("w"));
    _source->setWatchedFolders(&_roots);
    for (const char* file : {"w/b", "u/a", "u/s/b", "u/gone", "v/a"}) writeFile(path(file));
  }
  void TearDown() override {
    if (_source) _source->setWatchedFolders(nullptr);
    FanotifyIntegrationTest::TearDown();
  }

  // Reads `file` in a child until a read of it is no longer reported: its folder is marked. A
  // read of a watched file after each tells that every event before it has been read.
  void readUntilIgnored(const std::string& file) {
    for (int i = 0; i < 50; ++i) {
      const pid_t reader = run({"/bin/cat", file});
      const pid_t marker = run({"/bin/cat", path("w/b")});
      ASSERT_TRUE(waitForEvent(of("open", path("w/b"), marker))) << dump();
      if (count(of("open", file, reader)) == 0) return;
    }
    FAIL() << "reads of " << file << " never stopped being reported";
  }
  void expectSeen(std::initializer_list<std::string> files) {
    for (const std::string& file : files) {
      const pid_t reader = run({"/bin/cat", file});
      EXPECT_TRUE(waitForEvent(of("open", file, reader))) << file << dump();
    }
  }

  testing::PrefixRoots _roots;
};

TEST_F(FanotifyFilterTest, ReadsOutsideTheRootsStopOnceTheirFolderIsMarkedAndNothingElseDoes) {
  ASSERT_NO_FATAL_FAILURE(readUntilIgnored(path("u/a")));
  const pid_t again = run({"/bin/cat", path("u/a")});
  // A copy's destination may be anywhere: its modified close still comes, from the same folder.
  const pid_t copier = run({"/bin/cp", path("w/b"), path("u/c")});
  ASSERT_TRUE(waitForEvent(of("write", path("u/c"), copier))) << dump();
  EXPECT_EQ(count(of("open", path("w/b"), copier)), 1u) << dump();
  EXPECT_EQ(count([&](const Event& e) { return e.pid == again; }), 0u) << dump();
  // A name in a root for a file of a marked folder is opened through the root, and the folder
  // below a marked one is a folder of its own.
  ASSERT_EQ(link(path("u/a").c_str(), path("w/linked").c_str()), 0) << strerror(errno);
  expectSeen({path("w/linked"), path("u/s/b")});
  // Names removed there are dropped too; a rename there still comes, after them.
  const pid_t remover = run({"/bin/rm", path("u/gone")});
  ASSERT_NO_FATAL_FAILURE(mv(path("u/a"), path("u/a2")));
  EXPECT_EQ(count([&](const Event& e) { return e.pid == remover; }), 0u) << dump();
}

// A root registered over a marked folder, and marked folders moved under a root, unmark them.
TEST_F(FanotifyFilterTest, MarkedFoldersThatComeUnderARootAreWatched) {
  for (const char* file : {"u/a", "u/s/b", "v/a"}) {
    ASSERT_NO_FATAL_FAILURE(readUntilIgnored(path(file)));
  }
  _roots.add(path("v"));
  _source->rootsAdded();
  expectSeen({path("v/a")});
  ASSERT_NO_FATAL_FAILURE(mv(path("u"), path("w/u")));
  expectSeen({path("w/u/a"), path("w/u/s/b")});
}

// A mark holds for a folder under every path it has: a root reachable through a second mount is
// never hidden by a read through the other.
TEST_F(FanotifyFilterTest, AFolderReachableThroughAnotherMountIsNeverHidden) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"alias"}));
  ASSERT_EQ(mount(path("w").c_str(), path("alias").c_str(), nullptr, MS_BIND, nullptr), 0)
      << strerror(errno);
  _mounts.push_back(path("alias"));
  for (int i = 0; i < 3; ++i) expectSeen({path("alias/b"), path("w/b")});
}

}  // namespace
}  // namespace zorva
