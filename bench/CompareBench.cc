// Whole-file comparison speed: FileContentComparator against the least any comparison does (a
// plain loop of 1 MiB read() and memcmp on both files, the baseline) and against the system's
// cmp (the peer), on the same two equal, page-cached files in one run. A memcmp of two buffers
// already in memory shows the ceiling that memory bandwidth sets for all of them.
//
//   out/release/bench/compare_bench [MiB per file]
//
// The files are 1 GiB each, or 256 MiB when the temporary folder has under 4 GiB free or memory
// could not keep both cached; they are removed however the run ends short of a signal. Each
// method runs a few times, interleaved; the closing lines give median speeds and their ratios.

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/Stats.h"
#include "platform/files/FileContentComparator.h"
#include "testing/ChildProcess.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kBlock = kMiB;
constexpr int kRounds = 5;

uint64_t freeBytes(const std::string& folder) {
  struct statvfs status;
  if (statvfs(folder.c_str(), &status) != 0) return 0;
  return static_cast<uint64_t>(status.f_bavail) * status.f_frsize;
}

uint64_t availableMemory() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  while (in >> key >> kib) {
    if (key == "MemAvailable:") return kib * 1024;
    in.ignore(64, '\n');
  }
  return 0;
}

class Fd {
 public:
  Fd(const std::string& path, int flags) : _fd(open(path.c_str(), flags | O_CLOEXEC, 0644)) {
    if (_fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  ~Fd() { close(_fd); }
  int get() const { return _fd; }

 private:
  int _fd;
};

void writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
    data += written;
    length -= static_cast<size_t>(written);
  }
}

// The same pseudo-random bytes into both files, so nothing compresses or deduplicates them.
void writeEqualFiles(const std::string& a, const std::string& b, uint64_t size) {
  Fd fileA(a, O_WRONLY | O_CREAT | O_TRUNC);
  Fd fileB(b, O_WRONLY | O_CREAT | O_TRUNC);
  std::vector<uint64_t> block(kBlock / sizeof(uint64_t));
  uint64_t state = 0x9e3779b97f4a7c15;
  for (uint64_t done = 0; done < size; done += kBlock) {
    for (uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    const size_t length = static_cast<size_t>(std::min(kBlock, size - done));
    writeAll(fileA.get(), reinterpret_cast<const char*>(block.data()), length);
    writeAll(fileB.get(), reinterpret_cast<const char*>(block.data()), length);
  }
}

// The baseline: what any whole-file comparison does at least.
bool plainLoop(const std::string& a, const std::string& b) {
  static std::vector<char> bufferA(kBlock), bufferB(kBlock);
  Fd fileA(a, O_RDONLY);
  Fd fileB(b, O_RDONLY);
  for (;;) {
    ssize_t countA = read(fileA.get(), bufferA.data(), kBlock);
    ssize_t countB = read(fileB.get(), bufferB.data(), kBlock);
    if (countA != countB || countA < 0) return false;
    if (countA == 0) return true;
    if (std::memcmp(bufferA.data(), bufferB.data(), static_cast<size_t>(countA)) != 0) {
      return false;
    }
  }
}

bool runCmp(const std::string& a, const std::string& b) {
  auto cmp = testing::ChildProcess::spawn({"cmp", a, b}, {.output = "/dev/null"});
  if (!cmp) throw std::runtime_error("cmp cannot be started");
  return cmp->wait() == 0;
}

struct Method {
  const char* name;
  uint64_t bytes;  // both files' bytes, or both buffers'
  std::function<bool()> equal;
  std::vector<double> seconds = {};

  double median() const { return bench::median(seconds); }
  double gbPerSecond(double time) const { return static_cast<double>(bytes) / time / 1e9; }
};

std::string pickFolder(uint64_t needed) {
  std::string best = "/tmp";
  if (freeBytes("/tmp") < needed && freeBytes("/var/tmp") > freeBytes("/tmp")) best = "/var/tmp";
  return best;
}

int run(int argc, char** argv) {
  constexpr uint64_t kLarge = 1024 * kMiB;
  constexpr uint64_t kSmall = 256 * kMiB;
  constexpr uint64_t kRoomForLarge = 4096 * kMiB;
  const std::string folder = pickFolder(kRoomForLarge);
  uint64_t size = kLarge;
  if (argc > 1) {
    size = std::stoull(argv[1]) * kMiB;
    if (size == 0) throw std::runtime_error("the size in MiB must be at least 1");
  } else if (freeBytes(folder) < kRoomForLarge) {
    std::printf("note: only %.1f GiB free in %s (under 4 GiB): using 256 MiB files\n",
                static_cast<double>(freeBytes(folder)) / (1024 * kMiB), folder.c_str());
    size = kSmall;
  } else if (availableMemory() < 2 * kLarge + kLarge / 2) {
    std::printf(
        "note: only %.1f GiB of memory available, too little to keep two 1 GiB files "
        "cached: using 256 MiB files\n",
        static_cast<double>(availableMemory()) / (1024 * kMiB));
    size = kSmall;
  }

  TempFolder scratch("zorva-compare", folder);
  const std::string a = scratch.path() + "/a";
  const std::string b = scratch.path() + "/b";
  std::printf("writing 2 x %llu MiB in %s ...\n", static_cast<unsigned long long>(size / kMiB),
              scratch.path().c_str());
  std::fflush(stdout);
  writeEqualFiles(a, b, size);
  if (!plainLoop(a, b)) throw std::runtime_error("the written files differ");  // warms the cache

  // No comparison of files can beat memcmp of the same bytes already in this process's memory.
  const size_t inMemory = static_cast<size_t>(std::min(size, 256 * kMiB));
  std::vector<char> memoryA(inMemory, 'z');
  std::vector<char> memoryB(inMemory, 'z');

  FileContentComparator comparator;
  std::vector<Method> methods = {
      {"FileContentComparator", 2 * size, [&] { return comparator.contentsEqual(a, b); }},
      {"plain read+memcmp loop", 2 * size, [&] { return plainLoop(a, b); }},
      {"cmp", 2 * size, [&] { return runCmp(a, b); }},
      {"memcmp in memory", 2 * inMemory,
       [&] { return std::memcmp(memoryA.data(), memoryB.data(), inMemory) == 0; }},
  };
  for (int round = 0; round < kRounds; ++round) {
    for (Method& method : methods) {
      auto start = std::chrono::steady_clock::now();
      bool equal = method.equal();
      std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      if (!equal) throw std::runtime_error(std::string(method.name) + " found the files unequal");
      method.seconds.push_back(elapsed.count());
    }
  }

  std::printf("\n%-24s %8s %8s   (GB/s over both files, %d runs each)\n", "method", "median",
              "best", kRounds);
  for (const Method& method : methods) {
    std::printf(
        "%-24s %8.2f %8.2f\n", method.name, method.gbPerSecond(method.median()),
        method.gbPerSecond(*std::min_element(method.seconds.begin(), method.seconds.end())));
  }
  auto ratio = [&](size_t over, size_t under) {
    return methods[over].gbPerSecond(methods[over].median()) /
           methods[under].gbPerSecond(methods[under].median());
  };
  std::printf("\ncomparator / plain loop  %6.2fx   (target at least 0.8x)\n", ratio(0, 1));
  std::printf("comparator / cmp         %6.2fx   (target at least 4x)\n", ratio(0, 2));
  std::printf("in memory / cmp          %6.2fx   (the most any file comparison could reach)\n",
              ratio(3, 2));
  return 0;
}

}  // namespace
}  // namespace zorva

int main(int argc, char** argv) {
  try {
    return zorva::run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "compare_bench: %s\n", error.what());
    return 1;
  }
}
