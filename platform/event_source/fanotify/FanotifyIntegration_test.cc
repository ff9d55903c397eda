#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/syscall.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/dispatch/RealClock.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/FanotifyEventSource.h"
#include "platform/event_source/fanotify/testing/PrefixRoots.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/ChildProcess.h"
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

std::string text(const es_string_token_t& t) { return t.data ? std::string(t.data, t.length) : ""; }
std::string text(const es_file_t* file) { return file ? text(file->path) : ""; }
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
    return event;
  };
  const auto file = [&](std::string kind, const es_file_t* f) {
    event.status = f->stat;
    return set(kind + (S_ISREG(f->stat.st_mode) ? "" : "?"), text(f));
  };
  switch (m.event_type) {
    case ES_EVENT_TYPE_NOTIFY_OPEN:
      return file("open", e.open.file);
    case ES_EVENT_TYPE_NOTIFY_CLOSE:
      return file(e.close.modified ? "write" : "close", e.close.target);
    case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA: {
      const std::string one = text(e.exchangedata.file1), two = text(e.exchangedata.file2);
      return set("exchange", std::min(one, two), std::max(one, two));
    }
    case ES_EVENT_TYPE_NOTIFY_LINK:
      return set("link", text(e.link.target_dir, e.link.target_filename), text(e.link.source));
    case ES_EVENT_TYPE_NOTIFY_RENAME:  // the source gives only new paths
      return set("rename", text(e.rename.source),
                 text(e.rename.destination.new_path.dir, e.rename.destination.new_path.filename));
    case ES_EVENT_TYPE_NOTIFY_UNLINK: {
      const std::string target = text(e.unlink.target), parent = text(e.unlink.parent_dir);
      return set("unlink", target,
                 std::filesystem::path(target).parent_path() == parent ? "" : parent);
    }
    default:  // not produced by this source
      return event;
  }
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
    _children.clear();
    // Another watcher on the machine can keep a filesystem busy; detaching still frees the name,
    // and the loop device goes with its last user.
    for (auto at = _mounts.rbegin(); at != _mounts.rend(); ++at) {
      EXPECT_TRUE(umount2(at->c_str(), 0) == 0 || umount2(at->c_str(), MNT_DETACH) == 0)
          << *at << ": " << strerror(errno);
    }
    if (!HasFailure()) return;
    for (const std::string& line : _log.texts()) std::cerr << line << "\n";
    std::cerr << "events:\n";
    for (const Event& e : _events) {
      std::cerr << describe(e, _root) << " by " << e.pid << " " << e.executable << "\n";
    }
  }

  // Called on the source's reader thread while the test thread reads the events.
  void record(const es_message_t& message) {
    Event event = copyOf(message);
    if (!isUnder(event.path, _root) && !isUnder(event.other, _root)) return;
    std::unique_lock lock(_mutex);
    _events.push_back(event);
    _held = _holdAt && event.kind == "write" && event.path == *_holdAt;
    _changed.notify_all();
    if (_held) _changed.wait_for(lock, kPatience, [&] { return !_holdAt; });
  }

  // Whether an event that matches arrives within `patience`.
  bool waitForEvent(const Match& match, std::chrono::milliseconds patience = kPatience) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, patience, [&] { return std::ranges::any_of(_events, match); });
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

  // Waits for a child to end well, and leaves it unreaped until TearDown: its /proc entry keeps
  // answering who its parent is, and its id cannot be handed to another process meanwhile.
  pid_t ended(std::unique_ptr<testing::ChildProcess> child, const std::string& what) {
    const bool ok = child && child->wait(/*reap=*/false) == 0;
    EXPECT_TRUE(ok) << what << " failed";
    if (child) _children.push_back(std::move(child));
    return ok ? _children.back()->pid() : -1;
  }
  // Runs a program to its end with its output thrown away.
  pid_t run(const std::vector<std::string>& args) {
    return ended(testing::ChildProcess::spawn(args, {.output = "/dev/null"}),
                 ::testing::PrintToString(args));
  }
  pid_t write(const std::string& file) { return run({"/bin/sh", "-c", "echo x > \"$0\"", file}); }
  // A forked copy of this process running `body`, which must keep to system calls: other threads
  // may hold locks at the fork.
  pid_t runForked(const std::function<bool()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    return ended(pid > 0 ? testing::ChildProcess::adopt(pid) : nullptr, "forked child");
  }

  // Writes a file from this process, whose own events the source mutes.
  static void writeFile(const std::string& path) { std::ofstream(path) << "content\n"; }
  void makeDirs(std::initializer_list<const char*> names) {
    for (const char* name : names) ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0) << name;
  }
  std::string path(const std::string& name) const { return _root + "/" + name; }
  void bind(const std::string& folder, const std::string& to) {
    ASSERT_EQ(mkdir(to.c_str(), 0755), 0);
    ASSERT_EQ(mount(folder.c_str(), to.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    _mounts.push_back(to);
  }

  // Renames come in order and the source holds one back only to pair it with the next, so the
  // rename seen also proves every earlier one has been delivered.
  void mv(const std::string& from, const std::string& to) {
    const auto rel = [&](const std::string& p) { return p.substr(_root.size() + 1); };
    expectEvents(run({"/bin/mv", from, to}), _root, {"rename " + rel(from) + " " + rel(to)});
  }

  MemoryLogWriter _log;
  SystemFanotifyApi _api;
  TempFolder _folder{"zorva-fint"};
  const std::string _root = _folder.path();
  std::vector<std::string> _mounts;  // unmounted last to first
  testing::PrefixRoots _roots;       // asked by the reader thread until TearDown
  std::unique_ptr<FanotifyEventSource> _source;
  es_client_t* _client = nullptr;
  std::vector<std::unique_ptr<testing::ChildProcess>> _children;

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
      // New files and folders and removed folders are not reported; links and removals are. A
      // link is told from a new file by its count of names when read, so both names stay.
      {"echo > a",
       "echo x > new; ln a l; mkdir d; rmdir d; rm new",
       {"open new", "write new", "link l", "unlink new"}},
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
      return run({"/bin/sh", "-c", "mkdir -p \"$0\" && cd \"$0\" && " + script, dir});
    };
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
  std::string dir = _root;
  while (kLength - dir.size() > 1 + NAME_MAX) dir += "/" + std::string(200, 'd');
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/\xff\xfe" + std::string(kLength - dir.size() - 3, 'f');
  const std::string name = file.substr(_root.size() + 1);
  // The path of a close is the file's name when the source reads it, so the rename waits.
  expectEvents(write(file), _root, {"open " + name, "write " + name});
  mv(file, path("\xfe\xff.bin"));
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
  const int fd = open(database.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  struct flock lock = {F_WRLCK, SEEK_SET, 0, 1, 0};
  ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
  const pid_t reader = run({"/bin/cat", database});
  // Each group delivers in order, so a child's close and rename after ours prove ours are past.
  expectEvents(write(path("marker")), _root, {"open marker", "write marker"});
  mv(path("marker"), path("marker2"));
  const auto ours = [&](const Event& e) {
    return e.pid == getpid() || e.pid == reader || (e.path + e.other).find("/own") != e.path.npos;
  };
  EXPECT_EQ(count(ours), 0u);
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
  const pid_t child = runForked([&] {
    alignas(16) static char stack[64 * 1024];
    static pid_t thread = 0;
    const int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                      CLONE_SYSVSEM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
    const bool started = clone(openAndEndThread, stack + sizeof stack, flags,
                               const_cast<char*>(file.c_str()), &thread, nullptr, &thread) > 0;
    while (started && __atomic_load_n(&thread, __ATOMIC_ACQUIRE) != 0) sched_yield();
    return started;
  });
  expectEvents(child, _root, {"open threaded", "close threaded"}, "/proc/self/exe");
}

// Machines with containers or snaps list far more than a page of mounts, a drive plugged in is
// listed last, and watching it must not stop its owner from unmounting it.
TEST_F(FanotifyIntegrationTest, FilesystemMountedLaterPastTheFirstPageIsWatchedAndCanBeUnmounted) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"empty", "mnt"}));
  // Binds of an already watched filesystem lengthen the table past 5 KiB and add nothing to watch.
  for (int i = 0; i < 24; ++i) {
    ASSERT_NO_FATAL_FAILURE(bind(path("empty"), path(std::to_string(i) + std::string(200, 'b'))));
  }
  // A fresh ext4 filesystem on a loop device, mounted after the source has started.
  const std::string image = path("mnt.img"), mountPoint = path("mnt");
  run({"/sbin/mkfs.ext4", "-q", "-F", image, "64M"});
  ASSERT_GT(run({"/bin/mount", "-o", "loop", image, mountPoint}), 0);
  _mounts.push_back(mountPoint);
  // Writes made before the source has marked the new filesystem are rightly unseen, so each try
  // waits only briefly.
  std::string file;
  bool seen = false;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (int i = 0; !seen && std::chrono::steady_clock::now() < deadline; ++i) {
    file = mountPoint + "/probe" + std::to_string(i);
    seen = waitForEvent(of("write", file, write(file)), 100ms);
  }
  ASSERT_TRUE(seen) << "no write in the new filesystem was seen";
  // Renames need the filesystem's directory handles, opened from the mount itself.
  ASSERT_NO_FATAL_FAILURE(mv(file, mountPoint + "/renamed"));

  // Another listener on the machine (a test running beside this one) may hold one of its files
  // for the moment it handles an event; ours lets go at once.
  const auto unmountBy = std::chrono::steady_clock::now() + 2s;
  while (umount2(mountPoint.c_str(), 0) != 0) {
    ASSERT_TRUE(errno == EBUSY && std::chrono::steady_clock::now() < unmountBy) << strerror(errno);
    std::this_thread::sleep_for(20ms);
  }
  _mounts.pop_back();
}

// The kernel drops the opens and unmodified closes of folders under no root once the source has
// marked them; no open of a file under a root may be lost to a mark.
TEST_F(FanotifyIntegrationTest, KernelFilteringHidesOnlyWhatCannotMatter) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"w", "u", "u/s", "v"}));
  _roots.add(path("w"));
  _source->setWatchedFolders(&_roots);
  for (const char* file : {"w/b", "u/a", "u/s/b", "u/gone", "v/a"}) writeFile(path(file));
  // Reads `file` until a read of it is no longer reported: its folder is marked. A read of a
  // watched file after each tells that every event before it has been read.
  const auto readUntilIgnored = [&](const std::string& file) {
    for (int i = 0; i < 50; ++i) {
      const pid_t reader = run({"/bin/cat", path(file)}), marker = run({"/bin/cat", path("w/b")});
      if (!waitForEvent(of("open", path("w/b"), marker))) break;
      if (count(of("open", path(file), reader)) == 0) return true;
    }
    return false;
  };
  const auto expectSeen = [&](std::initializer_list<const char*> files) {
    for (const char* file : files) {
      EXPECT_TRUE(waitForEvent(of("open", path(file), run({"/bin/cat", path(file)})))) << file;
    }
  };
  ASSERT_TRUE(readUntilIgnored("u/a"));
  const pid_t again = run({"/bin/cat", path("u/a")});
  // A copy's destination may be anywhere: its modified close still comes, from the same folder.
  const pid_t copier = run({"/bin/cp", path("w/b"), path("u/c")});
  ASSERT_TRUE(waitForEvent(of("write", path("u/c"), copier)));
  EXPECT_EQ(count(of("open", path("w/b"), copier)), 1u);
  EXPECT_EQ(count([&](const Event& e) { return e.pid == again; }), 0u);
  // A name in a root for a file of a marked folder is opened through the root, and the folder
  // below a marked one is a folder of its own.
  ASSERT_EQ(link(path("u/a").c_str(), path("w/linked").c_str()), 0) << strerror(errno);
  expectSeen({"w/linked", "u/s/b"});
  // Names removed there are dropped too; a rename there still comes, after them.
  const pid_t remover = run({"/bin/rm", path("u/gone")});
  ASSERT_NO_FATAL_FAILURE(mv(path("u/a"), path("u/a2")));
  EXPECT_EQ(count([&](const Event& e) { return e.pid == remover; }), 0u);
  // Marked folders moved under a root, and a root registered over a marked folder, unmark them.
  for (const char* file : {"u/a2", "u/s/b"}) ASSERT_TRUE(readUntilIgnored(file)) << file;
  ASSERT_NO_FATAL_FAILURE(mv(path("u"), path("w/u")));
  expectSeen({"w/u/a2", "w/u/s/b"});
  ASSERT_TRUE(readUntilIgnored("v/a"));
  _roots.add(path("v"));
  _source->rootsAdded();
  expectSeen({"v/a"});
  // A mark holds for a folder under every path it has: a root reachable through a second mount is
  // never hidden by a read through the other.
  ASSERT_NO_FATAL_FAILURE(bind(path("w"), path("alias")));
  for (int i = 0; i < 3; ++i) expectSeen({"alias/b", "w/b"});
}

}  // namespace
}  // namespace zorva
