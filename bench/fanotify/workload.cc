// File activity for fanotify listeners to keep up with, as fast as one thread can make it.
//
//   fanotify_workload prepare DIR                    the files "mix" reads and rewrites
//   fanotify_workload mix DIR --seconds S | --count N
//   fanotify_workload flood-prepare DIR N            N small files for "flood"
//   fanotify_workload flood DIR N                    open + read + close each of them once
//
// "mix" repeats (a) open + 4 KiB read + close of DIR/read.dat, (b) open + 4 KiB write + close of
// DIR/write.dat, (c) create + 4 KiB write + close + rename + unlink; --count N does N rounds of the
// three. The preparing modes exist so that setting up makes no events while a listener runs.
//
// Prints one line of key=value pairs: ops, ops_per_s, seconds and the count of each kind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Steady = std::chrono::steady_clock;

constexpr size_t kBlock = 4096;
// Small enough to sit in the inode when the filesystem has inline data, so 50,000 of them write
// little to the image.
constexpr size_t kFloodFileSize = 48;
constexpr const char* kReadFile = "read.dat";
constexpr const char* kWriteFile = "write.dat";
constexpr const char* kNewFile = "new.tmp";
constexpr const char* kRenamedFile = "renamed.tmp";

alignas(64) char block[kBlock];

[[noreturn]] void fail(const char* what, const std::string& name) {
  std::fprintf(stderr, "fanotify_workload: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
  std::exit(1);
}

int openDir(const char* path) {
  int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) fail("open", path);
  return dir;
}

void writeFile(int dir, const std::string& name, size_t size, int extraFlags) {
  int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | extraFlags, 0644);
  if (fd < 0) fail("create", name);
  if (write(fd, block, size) != static_cast<ssize_t>(size)) fail("write", name);
  if (close(fd) != 0) fail("close", name);
}

std::string floodName(long index) {
  char name[32];
  std::snprintf(name, sizeof name, "f%06ld", index);
  return name;
}

double secondsSince(Steady::time_point start) {
  return std::chrono::duration<double>(Steady::now() - start).count();
}

void readOnce(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open", name);
  if (read(fd, block, kBlock) < 0) fail("read", name);
  if (close(fd) != 0) fail("close", name);
}

void rewrite(int dir) {
  int fd = openat(dir, kWriteFile, O_WRONLY | O_CLOEXEC);
  if (fd < 0) fail("open", kWriteFile);
  if (write(fd, block, kBlock) != static_cast<ssize_t>(kBlock)) fail("write", kWriteFile);
  if (close(fd) != 0) fail("close", kWriteFile);
}

void createRenameUnlink(int dir) {
  writeFile(dir, kNewFile, kBlock, O_EXCL);
  if (renameat(dir, kNewFile, dir, kRenamedFile) != 0) fail("rename", kNewFile);
  if (unlinkat(dir, kRenamedFile, 0) != 0) fail("unlink", kRenamedFile);
}

int prepare(const char* path) {
  int dir = openDir(path);
  writeFile(dir, kReadFile, kBlock, O_TRUNC);
  writeFile(dir, kWriteFile, kBlock, O_TRUNC);
  unlinkat(dir, kNewFile, 0);
  unlinkat(dir, kRenamedFile, 0);
  syncfs(dir);
  std::printf("mode=prepare dir=%s\n", path);
  return 0;
}

int mix(const char* path, double seconds, long rounds) {
  int dir = openDir(path);
  struct stat info;
  if (fstatat(dir, kReadFile, &info, 0) != 0 || fstatat(dir, kWriteFile, &info, 0) != 0) {
    std::fprintf(stderr, "fanotify_workload: run \"prepare %s\" first\n", path);
    return 1;
  }
  uint64_t reads = 0, writes = 0, creates = 0;
  const Steady::time_point start = Steady::now();
  const Steady::time_point deadline =
      start + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
  for (long round = 0; rounds < 0 || round < rounds; ++round) {
    readOnce(dir, kReadFile);
    ++reads;
    rewrite(dir);
    ++writes;
    createRenameUnlink(dir);
    ++creates;
    // The clock is read through the vDSO: a few tens of ns against several µs of system calls.
    if (rounds < 0 && Steady::now() >= deadline) break;
  }
  const double elapsed = secondsSince(start);
  const uint64_t ops = reads + writes + creates;
  std::printf("mode=mix seconds=%.3f ops=%llu ops_per_s=%.0f read=%llu write=%llu create=%llu\n",
              elapsed, static_cast<unsigned long long>(ops), static_cast<double>(ops) / elapsed,
              static_cast<unsigned long long>(reads), static_cast<unsigned long long>(writes),
              static_cast<unsigned long long>(creates));
  return 0;
}

int floodPrepare(const char* path, long files) {
  int dir = openDir(path);
  for (long i = 0; i < files; ++i) writeFile(dir, floodName(i), kFloodFileSize, O_TRUNC);
  // Writeback of the new inodes must not land in a measured run.
  syncfs(dir);
  std::printf("mode=flood-prepare files=%ld\n", files);
  return 0;
}

int flood(const char* path, long files) {
  int dir = openDir(path);
  const Steady::time_point start = Steady::now();
  for (long i = 0; i < files; ++i) readOnce(dir, floodName(i).c_str());
  const double elapsed = secondsSince(start);
  std::printf("mode=flood seconds=%.3f ops=%ld ops_per_s=%.0f read=%ld\n", elapsed, files,
              static_cast<double>(files) / elapsed, files);
  return 0;
}

long positive(const char* text) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return (*text && !*end && value > 0) ? value : -1;
}

int usage() {
  std::fprintf(stderr,
               "usage: fanotify_workload prepare DIR\n"
               "       fanotify_workload mix DIR --seconds S | --count N\n"
               "       fanotify_workload flood-prepare DIR N\n"
               "       fanotify_workload flood DIR N\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::memset(block, 'z', sizeof block);
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  const char* dir = argv[2];
  if (mode == "prepare" && argc == 3) return prepare(dir);
  if (mode == "mix" && argc == 5) {
    const std::string limit = argv[3];
    if (limit == "--seconds") {
      char* end = nullptr;
      double seconds = std::strtod(argv[4], &end);
      if (*end || !(seconds > 0)) return usage();
      return mix(dir, seconds, -1);
    }
    if (limit == "--count" && positive(argv[4]) > 0) return mix(dir, 0, positive(argv[4]));
    return usage();
  }
  if ((mode == "flood-prepare" || mode == "flood") && argc == 4) {
    long files = positive(argv[3]);
    if (files < 0) return usage();
    return mode == "flood" ? flood(dir, files) : floodPrepare(dir, files);
  }
  return usage();
}
