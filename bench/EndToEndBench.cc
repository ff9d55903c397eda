// The product end to end, through the same rig as the end-to-end tests (the real zorvad on
// fanotify, zorva-devbackend over HTTPS). Needs root.
//
//   sudo end_to_end_bench [COPIES] [EVENTS]
//
// (1) Latency: COPIES (1,000) files copied one at a time out of a watched folder by this process
//     (open, read, write, close); for each, the time from the close of the copy to the upload
//     carrying its audit event reaching the backend. Median, 99th percentile and maximum. The
//     next copy starts 100 ms after the previous event arrived, so that the backend's answer
//     (which can take some 40 ms over loopback TLS) has reached the service: a copy detected
//     while an upload is still in flight waits for the pause after it (5 s), which is the
//     queue's rule, not its speed.
// (2) CPU: EVENTS (500,000) file events made by opening and closing unwatched files (one open and
//     one close count as two events), with zorvad watching and then with the bare fanotify reader
//     of bench/fanotify watching the same filesystem (the least any fd-mode listener does);
//     CPU time of each (all threads, from /proc/<pid>/task/*/schedstat) per 100,000 events, after
//     the listener has drained, in 3 alternating rounds; medians and their ratio. The CPU each
//     listener spends in a second of the workload being idle is printed beside it: zorvad watches
//     every filesystem, so other programs on a busy machine are in its figure.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>
#include <vector>

#include "bench/Stats.h"
#include "e2e/ProductRig.h"

namespace {

using namespace zorva::e2e;
using zorva::bench::median;
using zorva::bench::percentile;

double ms(Wall::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// CPU nanoseconds of every thread of a process.
uint64_t cpuNs(pid_t pid) {
  uint64_t total = 0;
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    uint64_t ns = 0;
    std::FILE* file = std::fopen((task.path() / "schedstat").c_str(), "r");
    if (!file) continue;
    if (std::fscanf(file, "%lu", &ns) == 1) total += ns;
    std::fclose(file);
  }
  return total;
}

// Waits until a listener stops using CPU (under 0.5 ms in 50 ms), at most 10 s.
void drain(pid_t pid) {
  uint64_t previous = cpuNs(pid);
  for (int step = 0; step < 200; ++step) {
    std::this_thread::sleep_for(50ms);
    const uint64_t now = cpuNs(pid);
    if (now - previous < 500000) return;
    previous = now;
  }
}

void copyFile(const std::string& from, const std::string& to) {
  char buffer[65536];
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0;) {
    if (::write(out, buffer, static_cast<size_t>(n)) != n) throw std::runtime_error("write");
  }
  ::close(in);
  if (::close(out) != 0) throw std::runtime_error("close");
}

// When the first upload that carried `dest` was accepted.
Wall::time_point firstDeliveryTime(const RigBackend& backend, const std::string& dest) {
  for (const RigBackend::Request& r : backend.requests()) {
    if (r.accepted && std::ranges::count(r.events, dest, &AuditEvent::dest)) return r.time;
  }
  return {};
}

void latency(ProductRig& rig, int copies) {
  std::vector<std::string> sources;
  for (int i = 0; i < copies; ++i) {
    const std::string path = rig.watched("src-" + std::to_string(i));
    std::string content = path;
    content.resize(4096 + static_cast<size_t>(i), static_cast<char>('a' + i % 26));
    writeFile(path, content);
    sources.push_back(path);
  }
  std::vector<double> latencies;
  int lost = 0;
  for (int i = 0; i < copies; ++i) {
    const std::string dest = rig.outside("copy-" + std::to_string(i));
    copyFile(sources[i], dest);
    const auto closed = Wall::now();  // the backend's request log is on the wall clock, in ms
    if (!rig.backend().waitForDelivery(dest, 30s)) {
      ++lost;
      continue;
    }
    latencies.push_back(ms(firstDeliveryTime(rig.backend(), dest) - closed));
    std::this_thread::sleep_for(100ms);
  }
  std::printf("(1) close of a copy -> its audit event at the backend, %d copies (%d not seen):\n",
              copies, lost);
  if (latencies.empty()) return;
  std::printf("    median %.2f ms, p99 %.2f ms, max %.2f ms\n", median(latencies),
              percentile(latencies, 0.99), *std::max_element(latencies.begin(), latencies.end()));
}

// Opens and closes `events / 2` times files of an unwatched folder.
void openCloseWorkload(const std::string& folder, long events) {
  constexpr int kFiles = 100;
  std::vector<std::string> files;
  files.reserve(kFiles);
  for (int i = 0; i < kFiles; ++i) files.push_back(folder + "/f" + std::to_string(i));
  for (long i = 0; i < events / 2; ++i) {
    int fd = ::open(files[static_cast<size_t>(i % kFiles)].c_str(), O_RDONLY | O_CLOEXEC);
    ::close(fd);
  }
}

double idleUsPerSecond(pid_t pid) {
  const uint64_t before = cpuNs(pid);
  std::this_thread::sleep_for(1s);
  return static_cast<double>(cpuNs(pid) - before) / 1e3;
}

// Its standard output (a summary when it ends) goes with its error to `errPath`.
std::unique_ptr<ChildProcess> startBareReader(const std::string& program,
                                              const std::string& mountPoint,
                                              const std::string& errPath) {
  auto reader = ChildProcess::spawn({program, mountPoint}, {.output = errPath});
  if (!reader) throw std::runtime_error("cannot start " + program);
  if (!waitFor([&] { return readFile(errPath).find("ready") != std::string::npos; }, 10s)) {
    throw std::runtime_error("the bare reader did not start: " + readFile(errPath));
  }
  return reader;
}

std::string mountPointOf(const std::string& path) {
  const CommandResult found = runCommand({"findmnt", "-n", "-o", "TARGET", "-T", path});
  std::string target = found.out.substr(0, found.out.find('\n'));
  return target.empty() ? "/" : target;
}

void cpu(ProductRig& rig, const std::string& bareReader, long events) {
  const std::string folder = rig.outside("cpu");
  std::filesystem::create_directories(folder);
  for (int i = 0; i < 100; ++i) writeFile(folder + "/f" + std::to_string(i), "x");
  const std::string mountPoint = mountPointOf(folder);
  std::vector<double> zorvad, bare, zorvadIdle, bareIdle;
  for (int round = 0; round < 3; ++round) {
    {
      const pid_t pid = rig.pid();
      zorvadIdle.push_back(idleUsPerSecond(pid));
      drain(pid);
      const uint64_t before = cpuNs(pid);
      openCloseWorkload(folder, events);
      drain(pid);
      zorvad.push_back(static_cast<double>(cpuNs(pid) - before) / 1e6 * 100000.0 /
                       static_cast<double>(events));
    }
    {
      const auto reader = startBareReader(bareReader, mountPoint, rig.root() + "/bare.err");
      const pid_t pid = reader->pid();
      bareIdle.push_back(idleUsPerSecond(pid));
      const uint64_t before = cpuNs(pid);
      openCloseWorkload(folder, events);
      drain(pid);
      bare.push_back(static_cast<double>(cpuNs(pid) - before) / 1e6 * 100000.0 /
                     static_cast<double>(events));
      reader->signal(SIGTERM);
      reader->wait();
    }
    std::printf("    round %d: zorvad %.1f ms, bare reader %.1f ms per 100,000 events\n", round + 1,
                zorvad.back(), bare.back());
  }
  std::printf("(2) CPU per 100,000 file events (%ld opens and closes of unwatched files, %s):\n",
              events, mountPoint.c_str());
  std::printf(
      "    zorvad %.1f ms (idle: %.0f us/s), bare fanotify reader %.1f ms (idle: %.0f us/s),"
      " ratio %.2fx\n",
      median(zorvad), median(zorvadIdle), median(bare), median(bareIdle),
      median(zorvad) / median(bare));
}

}  // namespace

int main(int argc, char** argv) {
  if (auto why = whyProductCannotRun()) {
    std::fprintf(stderr, "end_to_end_bench: %s\n", why->c_str());
    return 1;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int copies = argc > 1 ? std::atoi(argv[1]) : 1000;
  const long events = argc > 2 ? std::atol(argv[2]) : 500000;
  ProductRig rig(ZORVA_BENCH_ZORVAD, ZORVA_BENCH_DEVBACKEND);
  rig.start();
  std::printf("zorvad: %s\nmachine: %u CPUs\n", ZORVA_BENCH_ZORVAD,
              std::thread::hardware_concurrency());
  latency(rig, copies);
  cpu(rig, ZORVA_BENCH_BARE_READER, events);
  return 0;
}
