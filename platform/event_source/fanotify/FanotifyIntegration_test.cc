#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
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
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/dispatch/RealClock.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/FanotifyEventSource.h"
#include "platform/event_source/fanotify/testing/PrefixRoots.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

// Every type the service asks for.
constexpr es_event_type_t kEveryType[] = {
    ES_EVENT_TYPE_NOTIFY_TRUNCATE, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_LINK,
    ES_EVENT_TYPE_NOTIFY_OPEN,     ES_EVENT_TYPE_NOTIFY_CLOSE,  ES_EVENT_TYPE_NOTIFY_CLONE,
    ES_EVENT_TYPE_NOTIFY_COPYFILE, ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA,
};

using namespace std::chrono_literals;

// Long enough for a sanitizer build on a loaded machine; a broken source fails instead of hanging.
constexpr auto kPatience = 10s;

// What a test needs of one message, copied out while the message is still valid: `path` is the
// file opened, closed, removed, renamed, linked or exchanged; `other` the second file of an
// exchange or the folder of a removal; `dest` the new name of a rename or link.
struct Event {
  es_event_type_t type{};
  std::string path, other, dest;
  bool modified = false;
  struct stat status {};
  pid_t pid = 0, ppid = 0, grandparent = 0;
  std::string executable;
  bool platform = false;
};

void PrintTo(const Event& e, std::ostream* out) {
  *out << "{type " << e.type << " pid " << e.pid << " ppid " << e.ppid << " exe '" << e.executable
       << "' path '" << e.path << "' other '" << e.other << "' dest '" << e.dest << "' modified "
       << e.modified << "}";
}

std::string text(const es_string_token_t& token) {
  return token.data ? std::string(token.data, token.length) : std::string();
}
std::string text(const es_file_t* file) { return file ? text(file->path) : std::string(); }

Event copyOf(const es_message_t& m) {
  const es_process_t& p = *m.process;
  Event event;
  event.type = m.event_type;
  event.pid = p.pid;
  event.ppid = p.ppid;
  event.grandparent = p.grandparent;
  event.executable = text(p.executable);
  event.platform = p.is_platform_binary;
  const es_events_t& e = m.event;
  const auto file = [&](const es_file_t* f) {
    event.status = f->stat;
    return text(f);
  };
  switch (m.event_type) {
    case ES_EVENT_TYPE_NOTIFY_OPEN:
      event.path = file(e.open.file);
      break;
    case ES_EVENT_TYPE_NOTIFY_CLOSE:
      event.path = file(e.close.target);
      event.modified = e.close.modified;
      break;
    case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA:
      event.path = text(e.exchangedata.file1);
      event.other = text(e.exchangedata.file2);
      break;
    case ES_EVENT_TYPE_NOTIFY_LINK:
      event.path = text(e.link.source);
      event.dest = text(e.link.target_dir) + "/" + text(e.link.target_filename);
      break;
    case ES_EVENT_TYPE_NOTIFY_RENAME:  // the source gives only new paths
      event.path = text(e.rename.source);
      event.dest = text(e.rename.destination.new_path.dir) + "/" +
                   text(e.rename.destination.new_path.filename);
      break;
    case ES_EVENT_TYPE_NOTIFY_UNLINK:
      event.path = text(e.unlink.target);
      event.other = text(e.unlink.parent_dir);
      break;
    default:  // not produced by this source
      break;
  }
  return event;
}

bool isUnder(std::string_view path, std::string_view root) {
  return path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/');
}

bool fanotifyMissing() {
  int fd = fanotify_init(FAN_CLASS_NOTIF, O_RDONLY);
  if (fd >= 0) close(fd);
  return fd < 0 && errno == ENOSYS;
}

class FanotifyIntegrationTest : public ::testing::Test {
 protected:
  using Events = std::vector<Event>;
  using Match = std::function<bool(const Event&)>;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "fanotify needs root (CAP_SYS_ADMIN); run as root";
    if (fanotifyMissing()) GTEST_SKIP() << "this kernel is built without fanotify";
    _root = _folder.path();
    ASSERT_NO_FATAL_FAILURE(makeDirs({"state"}));
    _source = std::make_unique<FanotifyEventSource>(_api, RealClock::shared());
    _source->muteFolder(path("state"));
    ASSERT_EQ(
        _source->newClient(&_client, [this](es_client_t*, const es_message_t* m) { record(*m); }),
        ES_NEW_CLIENT_RESULT_SUCCESS)
        << logText();
    ASSERT_EQ(_source->subscribe(_client, kEveryType, std::size(kEveryType)), ES_RETURN_SUCCESS)
        << logText();
  }

  void TearDown() override {
    releaseReader();
    if (_client) {
      EXPECT_EQ(_source->deleteClient(_client), ES_RETURN_SUCCESS);
    }
    _source.reset();
    for (pid_t pid : _children) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (auto mount = _mounts.rbegin(); mount != _mounts.rend(); ++mount) {
      // Another watcher on the machine can keep a filesystem busy; detaching still frees the
      // name, and the loop device goes with its last user.
      if (umount2(mount->c_str(), 0) != 0) {
        EXPECT_EQ(umount2(mount->c_str(), MNT_DETACH), 0) << *mount << ": " << strerror(errno);
      }
    }
    if (HasFailure()) std::cerr << "log:\n" << logText() << "events:\n" << dump();
  }

  // Called on the source's reader thread while the test thread reads the events.
  void record(const es_message_t& message) {
    Event event = copyOf(message);
    if (!isUnder(event.path, _root) && !isUnder(event.other, _root) &&
        !isUnder(event.dest, _root)) {
      return;
    }
    std::unique_lock lock(_mutex);
    _events.push_back(event);
    _changed.notify_all();
    if (_holdAt && event.type == ES_EVENT_TYPE_NOTIFY_CLOSE && event.path == *_holdAt) {
      _held = true;
      _changed.notify_all();
      _changed.wait_for(lock, kPatience, [&] { return !_holdAt; });
    }
  }

  // Every event so far, or those of one process.
  Events events(pid_t pid = 0) const {
    std::lock_guard lock(_mutex);
    Events all = _events;
    if (pid) std::erase_if(all, [&](const Event& e) { return e.pid != pid; });
    return all;
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

  size_t count(const Match& match) const { return std::ranges::count_if(events(), match); }

  // An empty path or a zero pid matches any.
  static Match of(es_event_type_t type, const std::string& path, pid_t pid = 0) {
    return [=](const Event& e) {
      return e.type == type && (path.empty() || e.path == path) && (pid == 0 || e.pid == pid);
    };
  }

  // Stops the reader inside the handler once it has delivered the CLOSE of a gate file, so the
  // source reads whatever happens next only after it has happened: a file already gone, a name
  // already changed. releaseReader() lets it go on.
  void holdReader() {
    {
      std::lock_guard lock(_mutex);
      _holdAt = path("gate");
      _held = false;
    }
    write(path("gate"));
    std::unique_lock lock(_mutex);
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
  pid_t sh(const std::string& command) { return run({"/bin/sh", "-c", command}); }
  pid_t write(const std::string& file) { return sh("echo x > '" + file + "'"); }

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
  static void writeFile(const std::string& path, std::string_view content = "content\n") {
    std::ofstream(path, std::ios::binary) << content;
  }
  void makeDirs(std::initializer_list<const char*> names) {
    for (const char* name : names) ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0) << name;
  }

  std::string path(const std::string& name) const { return _root + "/" + name; }

  // Moves `from` to `to` in a child and checks the one rename that gives. Renames come in order
  // and the source holds one back only to pair it with the next, so this also proves every
  // earlier rename has been delivered.
  void mv(const std::string& from, const std::string& to) {
    pid_t mv = run({"/bin/mv", from, to});
    std::optional<Event> renamed = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_RENAME, from, mv));
    ASSERT_TRUE(renamed) << dump();
    EXPECT_EQ(renamed->dest, to);
    EXPECT_EQ(renamed->ppid, getpid());
    EXPECT_EQ(events(mv).size(), 1u) << dump();
  }

  std::string logText() const {
    std::string all;
    for (const std::string& line : _log.texts()) all.append(line).append("\n");
    return all;
  }
  std::string dump() const {
    std::string all;
    for (const Event& event : events()) all.append(::testing::PrintToString(event)).append("\n");
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
  Events _events;
  std::optional<std::string> _holdAt;
  bool _held = false;
};

// cat waits on its standard input after reading, so it is still alive (and its executable still
// readable) when the source looks it up; cp's copy ends in the folder ls listed before it.
TEST_F(FanotifyIntegrationTest, ReadsAndWritesGiveOpensAndClosesOfTheActingProcess) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"d"}));
  const std::string from = path("a");
  const std::string to = path("d/b");
  writeFile(from, "hello");
  struct stat onDisk {};
  ASSERT_EQ(lstat(from.c_str(), &onDisk), 0);
  const pid_t ls = run({"/bin/ls", "-a", path("d")});
  int input[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  const pid_t cat = spawn({"/bin/cat", from, "-"}, input[0]);
  close(input[0]);
  std::optional<Event> closed = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_CLOSE, from, cat));
  close(input[1]);
  EXPECT_EQ(exitCode(cat), 0);
  ASSERT_TRUE(closed) << dump();
  const pid_t cp = run({"/bin/cp", from, to});
  std::optional<Event> written = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_CLOSE, to, cp));
  ASSERT_TRUE(written) << dump();

  Events read = events(cat);
  EXPECT_TRUE(of(ES_EVENT_TYPE_NOTIFY_OPEN, from)(read.at(0))) << "the open comes first";
  EXPECT_FALSE(closed->modified);
  const std::string executable = std::filesystem::canonical("/bin/cat");
  for (const Event& event : {read[0], *closed, *written}) {
    SCOPED_TRACE(::testing::PrintToString(event));
    EXPECT_EQ(event.ppid, getpid());
    EXPECT_TRUE(S_ISREG(event.status.st_mode));
    EXPECT_EQ(event.status.st_size, 5);
    if (event.pid != cat) continue;
    EXPECT_EQ(event.executable, executable);
    EXPECT_EQ(event.platform, executable.starts_with("/usr/"));
    EXPECT_EQ(event.status.st_ino, onDisk.st_ino);
    EXPECT_EQ(event.status.st_dev, onDisk.st_dev);
  }
  // The tracker groups a copy's read and write by the acting process's parent.
  EXPECT_TRUE(written->modified);
  EXPECT_EQ(count(of(ES_EVENT_TYPE_NOTIFY_CLOSE, to)), 1u) << dump();
  for (const auto& [type, file] : {std::pair{ES_EVENT_TYPE_NOTIFY_OPEN, from},
                                   {ES_EVENT_TYPE_NOTIFY_OPEN, to},
                                   {ES_EVENT_TYPE_NOTIFY_CLOSE, from}}) {
    EXPECT_GE(count([&](const Event& e) { return of(type, file, cp)(e) && !e.modified; }), 1u)
        << file << "\n"
        << dump();
  }
  for (const Event& event : events(ls)) {
    if (event.path != path("d")) continue;
    EXPECT_TRUE(S_ISDIR(event.status.st_mode)) << "the dispatcher only drops directories by mode";
  }
}

// An exchange is one event, not two renames; two renames of one file by one process, there and
// back, are indistinguishable by their names from the two records of an exchange: only the file
// each record is about tells them apart. The reader finds the records all queued at once.
TEST_F(FanotifyIntegrationTest, ExchangeGivesOneExchangeAndARenameThereAndBackTwoRenames) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"x", "y"}));
  const std::string a = path("x/a"), b = path("y/b"), c = path("c"), d = path("d");
  for (const std::string& file : {a, b, c}) writeFile(file);
  holdReader();
  const pid_t child = runForked([&] {
    return syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 &&
           rename(c.c_str(), d.c_str()) == 0 && rename(d.c_str(), c.c_str()) == 0;
  });
  releaseReader();
  write(path("later"));
  mv(path("later"), path("later2"));
  Events seen = events(child);
  ASSERT_EQ(seen.size(), 3u) << dump();
  EXPECT_EQ(seen[0].type, ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA);
  EXPECT_THAT((std::vector{seen[0].path, seen[0].other}), ::testing::UnorderedElementsAre(a, b));
  for (const auto& [event, from, to] : {std::tuple{seen[1], c, d}, {seen[2], d, c}}) {
    EXPECT_TRUE(of(ES_EVENT_TYPE_NOTIFY_RENAME, from)(event)) << ::testing::PrintToString(event);
    EXPECT_EQ(event.dest, to);
  }
}

TEST_F(FanotifyIntegrationTest, LinkAndRemovalOfANameAreReportedButNewFilesAndDirectoriesAreNot) {
  const std::string file = path("a");
  const std::string link = path("l");
  writeFile(file);
  pid_t creator = write(path("plain"));
  pid_t ln = run({"/bin/ln", file, link});
  std::optional<Event> linked = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_LINK, "", ln));
  ASSERT_TRUE(linked) << dump();
  EXPECT_EQ(linked->dest, link);
  EXPECT_EQ(linked->ppid, getpid());
  // Each absence checked below is of something queued before an event already delivered.
  EXPECT_EQ(count(of(ES_EVENT_TYPE_NOTIFY_LINK, "", creator)), 0u) << dump();

  ASSERT_NO_FATAL_FAILURE(makeDirs({"d"}));
  pid_t rmdir = run({"/bin/rmdir", path("d")});
  pid_t rmLink = run({"/bin/rm", link});
  pid_t rmFile = run({"/bin/rm", file});
  std::optional<Event> unlinked = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_UNLINK, file, rmFile));
  ASSERT_TRUE(unlinked) << dump();
  EXPECT_EQ(unlinked->other, _root);
  EXPECT_EQ(unlinked->ppid, getpid());
  EXPECT_EQ(count(of(ES_EVENT_TYPE_NOTIFY_UNLINK, file)), 1u) << dump();
  Events byRmLink = events(rmLink);
  ASSERT_EQ(byRmLink.size(), 1u) << dump();
  EXPECT_TRUE(of(ES_EVENT_TYPE_NOTIFY_UNLINK, link)(byRmLink[0])) << dump();
  EXPECT_EQ(events(rmdir).size(), 0u) << dump();
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
  const pid_t child = runForked([&] {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd >= 0 && ::write(fd, "x", 1) == 1 && close(fd) == 0;
  });
  // The path of a close is the file's name when the source reads it, so the rename waits.
  std::optional<Event> closed = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_CLOSE, "", child));
  ASSERT_TRUE(closed) << dump();
  EXPECT_EQ(closed->path.size(), kLength);
  EXPECT_EQ(closed->path, file);
  EXPECT_TRUE(closed->modified);
  mv(file, path("y/\xfe\xff.bin"));
}

// The kernel marks a removed name with " (deleted)", whether or not the file has other names
// left; a file can also really be named so.
TEST_F(FanotifyIntegrationTest, NamesRemovedBeforeTheirEventsAreReadLoseOnlyTheKernelsMark) {
  const std::string gone = path("gone");
  const std::string file = path("a");
  const std::string link = path("l");
  const std::string named = path("x (deleted)");
  writeFile(file);
  writeFile(named);
  ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(holdReader());
  pid_t removed = sh("echo x > '" + gone + "' && rm '" + gone + "'");
  pid_t unlinked = sh("echo x >> '" + link + "' && rm '" + link + "'");
  releaseReader();
  pid_t cat = run({"/bin/cat", named});

  // A write merged into its unread open is delivered at the end of its batch, so it may come
  // after cat's close: wait for each.
  for (const auto& [pid, expected] : {std::pair{removed, gone}, {unlinked, link}, {cat, named}}) {
    ASSERT_TRUE(waitForEvent(of(ES_EVENT_TYPE_NOTIFY_CLOSE, expected, pid))) << dump();
    for (const Event& e : events(pid)) EXPECT_EQ(e.path, expected) << ::testing::PrintToString(e);
  }
}

// Whether another process could take a write lock on `file` now: it could not while this process
// holds one.
bool lockIsFree(const std::string& file) {
  const pid_t child = fork();
  if (child == 0) {
    int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_len = 1;
    _exit(fd >= 0 && fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type == F_UNLCK ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The service's own activity is muted while its children's arrives. Closing any descriptor of a
// file drops every POSIX lock the process holds on it: a descriptor of the service's own
// database, handed over with another process's read and closed again, would cost the service its
// SQLite locks. Its state folder is muted, so none is ever handed over.
TEST_F(FanotifyIntegrationTest, OwnActivityAndReadsOfTheServicesFilesAreMuted) {
  writeFile(path("own"));
  ASSERT_EQ(rename(path("own").c_str(), path("own2").c_str()), 0);
  ASSERT_EQ(link(path("own2").c_str(), path("own3").c_str()), 0);
  ASSERT_EQ(unlink(path("own2").c_str()), 0);
  const std::string database = path("state/defaults.sqlite3");
  writeFile(database);
  const int fd = open(database.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
  const pid_t reader = run({"/bin/cat", database});

  // Each group delivers in order, so a child's close and rename after ours prove ours are past.
  const std::string marker = path("marker");
  pid_t writer = write(marker);
  ASSERT_TRUE(waitForEvent(of(ES_EVENT_TYPE_NOTIFY_CLOSE, marker, writer))) << dump();
  mv(marker, marker + "2");
  EXPECT_EQ(count([&](const Event& e) {
              return e.pid == getpid() || e.pid == reader ||
                     e.path.find("/own") != std::string::npos ||
                     e.dest.find("/own") != std::string::npos;
            }),
            0u)
      << dump();
  EXPECT_FALSE(lockIsFree(database)) << "the service lost its lock on its own database";
  close(fd);
}

// `sh -c 'cat a; true'` forks cat, and both are gone when their events are read: the lineage and
// the program are what the kernel reported as it happened, not what /proc no longer has.
TEST_F(FanotifyIntegrationTest, ProcessesGoneBeforeTheirEventsAreReadStillNameTheirFamily) {
  const std::string file = path("a");
  writeFile(file);
  holdReader();
  pid_t shell = run({"/bin/sh", "-c", "cat \"$1\"; true", "sh", file});
  releaseReader();
  std::optional<Event> read = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_OPEN, file));
  ASSERT_TRUE(read) << dump();
  EXPECT_NE(read->pid, shell) << "cat was forked";
  EXPECT_EQ(read->ppid, shell);
  EXPECT_EQ(read->grandparent, getpid());
  EXPECT_EQ(read->executable, std::filesystem::canonical("/bin/cat"));
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
  std::optional<Event> opened = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_OPEN, file));
  ASSERT_TRUE(opened) << dump();
  EXPECT_EQ(opened->pid, child);
  EXPECT_EQ(opened->ppid, getpid());
  EXPECT_EQ(opened->executable, std::filesystem::canonical("/proc/self/exe"));
}

// Machines with containers or snaps list far more than a page of mounts, a drive plugged in is
// listed last, and watching it must not stop its owner from unmounting it.
TEST_F(FanotifyIntegrationTest, FilesystemMountedLaterPastTheFirstPageIsWatchedAndCanBeUnmounted) {
  ASSERT_NO_FATAL_FAILURE(makeDirs({"empty", "mnt"}));
  const auto mountTableSize = [] {
    std::ifstream table("/proc/self/mountinfo");
    return std::string(std::istreambuf_iterator<char>(table), {}).size();
  };
  // Binds of an already watched filesystem lengthen the table and add nothing to watch.
  for (int i = 0; mountTableSize() < 4096 + 1024; ++i) {
    ASSERT_LT(i, 100) << "the mount table does not grow";
    const std::string bind = path(std::to_string(i) + std::string(200, 'b'));
    ASSERT_EQ(mkdir(bind.c_str(), 0755), 0);
    ASSERT_EQ(mount(path("empty").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    _mounts.push_back(bind);
  }
  // A fresh ext4 filesystem on a loop device, mounted after the source has started.
  const std::string image = path("mnt.img");
  std::ofstream{image};
  std::filesystem::resize_file(image, 64 << 20);
  run({"/sbin/mkfs.ext4", "-q", "-F", image});
  const std::string mountPoint = path("mnt");
  ASSERT_EQ(exitCode(spawn({"/bin/mount", "-o", "loop", image, mountPoint})), 0) << image;
  _mounts.push_back(mountPoint);
  // Writes made before the source has marked the new filesystem are rightly unseen, so each try
  // waits only briefly.
  std::optional<Event> seen;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (int i = 0; !seen && std::chrono::steady_clock::now() < deadline; ++i) {
    const std::string file = mountPoint + "/probe" + std::to_string(i);
    seen = waitForEvent(of(ES_EVENT_TYPE_NOTIFY_CLOSE, file, write(file)), 100ms);
  }
  ASSERT_TRUE(seen) << "no write in the new filesystem was seen";
  EXPECT_TRUE(seen->modified);
  EXPECT_EQ(seen->ppid, getpid());

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
      ASSERT_TRUE(waitForEvent(of(ES_EVENT_TYPE_NOTIFY_OPEN, path("w/b"), marker))) << dump();
      if (count(of(ES_EVENT_TYPE_NOTIFY_OPEN, file, reader)) == 0) return;
    }
    FAIL() << "reads of " << file << " never stopped being reported\n" << logText();
  }
  // A child reads each file; its open must arrive.
  void expectSeen(std::initializer_list<std::string> files) {
    for (const std::string& file : files) {
      const pid_t reader = run({"/bin/cat", file});
      EXPECT_TRUE(waitForEvent(of(ES_EVENT_TYPE_NOTIFY_OPEN, file, reader))) << file << "\n"
                                                                             << dump();
    }
  }

  testing::PrefixRoots _roots;
};

TEST_F(FanotifyFilterTest, ReadsOutsideTheRootsStopOnceTheirFolderIsMarkedAndNothingElseDoes) {
  ASSERT_NO_FATAL_FAILURE(readUntilIgnored(path("u/a")));
  const pid_t again = run({"/bin/cat", path("u/a")});
  // A copy's destination may be anywhere: its modified close still comes, from the same folder.
  const pid_t copier = run({"/bin/cp", path("w/b"), path("u/c")});
  ASSERT_TRUE(waitForEvent(of(ES_EVENT_TYPE_NOTIFY_CLOSE, path("u/c"), copier))) << dump();
  EXPECT_EQ(count(of(ES_EVENT_TYPE_NOTIFY_OPEN, path("w/b"), copier)), 1u) << dump();
  EXPECT_THAT(events(again), ::testing::IsEmpty()) << dump();
  // A name in a root for a file of a marked folder is opened through the root, and the folder
  // below a marked one is a folder of its own.
  ASSERT_EQ(link(path("u/a").c_str(), path("w/linked").c_str()), 0) << strerror(errno);
  expectSeen({path("w/linked"), path("u/s/b")});
  // Names removed there are dropped too; a rename there still comes, after them.
  const pid_t remover = run({"/bin/rm", path("u/gone")});
  ASSERT_NO_FATAL_FAILURE(mv(path("u/a"), path("u/a2")));
  EXPECT_THAT(events(remover), ::testing::IsEmpty()) << dump();
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
