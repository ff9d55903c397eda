// Messages per second through the process filter and the dispatcher, against the least any
// dispatcher does (building each message's path strings), and replay decoding on its own.
//
//   out/release/bench/dispatch_bench
//
// The closing lines give each figure as a ratio to the baseline measured in the same run.

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_source/ReplayParser.h"
#include "platform/event_source/testing/MessageBuilders.h"
#include "service/EventDispatcher.h"

namespace zorva {
namespace {

class NoopTracker final : public PathTrackerInterface {
 public:
  void open(std::string_view path, const struct stat&, const Lineage&, OptionalString exec,
            uint32_t, const EventFile*) override {
    benchmark::DoNotOptimize(path.data());
    benchmark::DoNotOptimize(exec);
  }
  void close(std::string_view path, const struct stat&, const Lineage&, OptionalString exec, bool,
             const EventFile*) override {
    benchmark::DoNotOptimize(path.data());
    benchmark::DoNotOptimize(exec);
  }
  void source(std::string_view source, OptionalString dest, bool, bool, OptionalString exec,
              std::string_view, const Lineage&) override {
    benchmark::DoNotOptimize(source.data());
    benchmark::DoNotOptimize(dest);
    benchmark::DoNotOptimize(exec);
  }
  void modify(OptionalString path, OptionalString exec, std::string_view) override {
    benchmark::DoNotOptimize(path);
    benchmark::DoNotOptimize(exec);
  }
};

// A busy machine's mix: mostly opens and closes of files below home folders by ordinary
// programs, a few renames, unlinks and links, and a share of ignored daemons.
std::vector<std::unique_ptr<OwnedMessage>> buildMessages() {
  using namespace testing;
  const Actor editor{
      .executable = "/usr/lib/libreoffice/program/soffice.bin", .pid = 4242, .ppid = 4200};
  const Actor shell{.executable = "/usr/bin/bash", .pid = 5000, .ppid = 4999};
  const Actor cupsd{.executable = "/usr/sbin/cupsd", .pid = 300, .ppid = 1};
  std::vector<std::unique_ptr<OwnedMessage>> messages;
  for (int i = 0; i < 1000; ++i) {
    std::string dir = "/home/someone/Documents/projects/quarterly-report-" + std::to_string(i % 37);
    std::string file = dir + "/section-" + std::to_string(i) + ".odt";
    const Actor& actor = i % 10 == 9 ? cupsd : (i % 3 == 0 ? shell : editor);
    switch (i % 20) {
      case 0:
        messages.push_back(makeRenameToNew(file, "/media/usb", "copy.odt", actor));
        break;
      case 1:
        messages.push_back(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, file, S_IFREG | 0644, actor));
        break;
      case 2:
        messages.push_back(makeLink(file, dir, "hard-link", actor));
        break;
      case 3:
        messages.push_back(makeOpen(dir, S_IFDIR | 0755, 4096, 0, actor));
        break;
      default:
        if (i % 2 == 0) {
          messages.push_back(makeOpen(file, S_IFREG | 0644, 20000 + i, 1, actor));
        } else {
          messages.push_back(makeClose(file, i % 4 == 1, S_IFREG | 0644, 20000 + i, actor));
        }
    }
  }
  return messages;
}

const std::vector<std::unique_ptr<OwnedMessage>>& messages() {
  static const auto built = buildMessages();
  return built;
}

std::string_view bytes(const es_file_t* file) { return {file->path.data, file->path.length}; }

// The baseline: the strings of every path a message names, and nothing else; any dispatcher
// that hands paths on as strings does at least this.
void BM_BuildPathStrings(benchmark::State& state) {
  auto text = [](const es_file_t* file) { return std::string(bytes(file)); };
  for (auto _ : state) {
    for (const auto& owned : messages()) {
      const es_message_t& message = owned->message();
      std::string exec = text(message.process->executable);
      benchmark::DoNotOptimize(exec);
      std::string path;
      switch (message.event_type) {
        case ES_EVENT_TYPE_NOTIFY_OPEN:
          path = text(message.event.open.file);
          break;
        case ES_EVENT_TYPE_NOTIFY_CLOSE:
          path = text(message.event.close.target);
          break;
        case ES_EVENT_TYPE_NOTIFY_UNLINK:
          path = text(message.event.unlink.target);
          break;
        case ES_EVENT_TYPE_NOTIFY_RENAME: {
          const auto& to = message.event.rename.destination.new_path;
          path = text(message.event.rename.source);
          std::string dest = text(to.dir) + "/" + std::string(to.filename.data, to.filename.length);
          benchmark::DoNotOptimize(dest);
          break;
        }
        case ES_EVENT_TYPE_NOTIFY_LINK: {
          const auto& link = message.event.link;
          path = text(link.target_dir) + "/" +
                 std::string(link.target_filename.data, link.target_filename.length);
          break;
        }
        default:
          break;
      }
      benchmark::DoNotOptimize(path);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(messages().size()));
}
BENCHMARK(BM_BuildPathStrings);

void BM_FilterAndDispatch(benchmark::State& state) {
  NoopTracker tracker;
  EventDispatcher dispatcher(tracker);
  for (auto _ : state) {
    for (const auto& owned : messages()) dispatcher.handle(owned->message());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(messages().size()));
}
BENCHMARK(BM_FilterAndDispatch);

void BM_ReplayDecode(benchmark::State& state) {
  std::vector<std::string> lines;
  for (int i = 0; i < 100; ++i) {
    std::string path = "/home/someone/Documents/projects/report-" + std::to_string(i) + ".odt";
    lines.push_back(R"({"event": "OPEN", "pid": 4242, "ppid": 4200, "executable": )"
                    R"("/usr/lib/libreoffice/program/soffice.bin", "platform": true, "path": ")" +
                    path + R"(", "mode": 33188, "size": 20000, "fflag": 1})");
    lines.push_back(R"({"event": "RENAME", "pid": 5000, "ppid": 4999, "executable": "/usr/bin/mv",)"
                    R"( "platform": true, "source": ")" +
                    path + R"(", "dir": "/media/usb", "filename": "copy.odt"})");
  }
  for (auto _ : state) {
    for (const std::string& line : lines) {
      auto message = parseReplayLine(line, nullptr);
      benchmark::DoNotOptimize(message);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
}
BENCHMARK(BM_ReplayDecode);

// Prints the usual table, then each benchmark's time per message as a ratio to the baseline.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      double items = run.counters.count("items_per_second")
                         ? static_cast<double>(run.counters.at("items_per_second"))
                         : 0;
      if (items > 0) _perItemNs[run.benchmark_name()] = 1e9 / items;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto baseline = _perItemNs.find("BM_BuildPathStrings");
    if (baseline == _perItemNs.end()) return;
    for (const auto& [name, ns] : _perItemNs) {
      std::printf("%-22s %8.1f ns/message  %5.2fx baseline\n", name.c_str(), ns,
                  ns / baseline->second);
    }
  }

 private:
  std::map<std::string, double> _perItemNs;
};

}  // namespace
}  // namespace zorva

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  zorva::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
