#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorva::testing {

struct ChildOptions {
  std::optional<std::vector<std::string>> environment{};  // the whole of it; nothing: this one's
  int input = -1;                                         // standard input; -1: /dev/null
  // A file for both standard output and error; empty: pipes, for readLine() and readToEnd().
  std::string output{};
  // Killed when this process ends, even by a crash (through setpriv, which keeps the pid).
  bool dieWithTest = false;
};

// A program a test runs, killed and reaped when destroyed.
class ChildProcess {
 public:
  enum class Stream { Out, Err };

  // Nothing when it could not be started.
  static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                             const ChildOptions& options = {});
  // A child this process forked itself.
  static std::unique_ptr<ChildProcess> adopt(pid_t pid) {
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, -1, -1));
  }
  ~ChildProcess();

  pid_t pid() const { return _pid; }
  // The next line without its newline; nothing at the stream's end or when none comes within
  // `limit` (a guard against a broken child, not a wait for something slow).
  std::optional<std::string> readLine(Stream stream,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10));
  void readToEnd(std::string& out, std::string& err);  // until the child closes both
  void signal(int number) const;
  bool running() const;  // reaps nothing
  // The exit status, or 128 + the signal that ended it. With `reap` false the child stays a
  // zombie until destroyed, so that its pid and /proc entry remain its own.
  int wait(bool reap = true);

 private:
  ChildProcess(pid_t pid, int out, int err) : _pid(pid), _fds{out, err} {}
  bool fill(int stream, std::chrono::milliseconds limit);  // false at the end or on timeout

  pid_t _pid;
  int _fds[2];
  std::string _buffered[2];
  int _status = -1;
  bool _reaped = false;
};

struct CommandResult {
  int status = -1;
  std::string out, err;
};

CommandResult runCommand(const std::vector<std::string>& argv);  // to its end

}  // namespace zorva::testing
