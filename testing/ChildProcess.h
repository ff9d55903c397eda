#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorva::testing {

struct ChildOptions {
  // The child's whole environment; nothing: this process's.
  std::optional<std::vector<std::string>> environment{};
  // Its standard input; -1: /dev/null.
  int input = -1;
  // A file that takes both standard output and error ("/dev/null" discards them); empty: pipes,
  // read with readLine() and readToEnd().
  std::string output{};
  // Killed when this process ends, even by a crash (through setpriv, which keeps the pid).
  bool dieWithTest = false;
};

// A program a test runs.
class ChildProcess {
 public:
  enum class Stream { Out, Err };

  // The child, or nullptr when it could not be started.
  static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                             const ChildOptions& options = {});
  // A child this process forked itself, to be waited for and killed like the others.
  static std::unique_ptr<ChildProcess> adopt(pid_t pid) {
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, -1, -1));
  }
  // Kills a child still running and reaps it.
  ~ChildProcess();

  pid_t pid() const { return _pid; }
  // The next line of `stream` without its newline; nothing at its end or when no line comes
  // within `limit` (a guard against a broken child, not a wait for something slow).
  std::optional<std::string> readLine(Stream stream,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Everything left on both streams, until the child closes them.
  void readToEnd(std::string& out, std::string& err);

  void signal(int number) const;
  // Whether it has not ended yet; reaps nothing.
  bool running() const;
  // Waits for the end: the exit status, or 128 + the signal that ended it. With `reap` false the
  // child stays a zombie until destroyed, so that its pid and /proc entry remain its own.
  int wait(bool reap = true);

 private:
  ChildProcess(pid_t pid, int out, int err) : _pid(pid), _fds{out, err} {}
  // Appends what `stream` has within `limit` to its buffer; false at its end or on timeout.
  bool fill(int stream, std::chrono::milliseconds limit);

  pid_t _pid;
  int _fds[2];
  std::string _buffered[2];
  int _status = -1;
  bool _reaped = false;
};

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end.
CommandResult runCommand(const std::vector<std::string>& argv);

}  // namespace zorva::testing
