#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorva::testing {

// A program a test runs, with its standard output and error read through pipes.
class ChildProcess {
 public:
  enum class Stream { Out, Err };

  // The child, or nullptr when it could not be started.
  static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv);
  // Kills a child still running.
  ~ChildProcess();

  // The next line of `stream` without its newline; nothing at its end or when no line comes
  // within `limit` (a guard against a broken child, not a wait for something slow).
  std::optional<std::string> readLine(Stream stream,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Everything left on both streams, until the child closes them.
  void readToEnd(std::string& out, std::string& err);

  void signal(int number) const;
  // The exit status, or 128 + the signal that ended it.
  int wait();

 private:
  ChildProcess(pid_t pid, int out, int err) : _pid(pid), _fds{out, err} {}
  // Appends what `stream` has within `limit` to its buffer; false at its end or on timeout.
  bool fill(int stream, std::chrono::milliseconds limit);

  pid_t _pid;
  int _fds[2];
  std::string _buffered[2];
  int _status = -1;
};

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end.
CommandResult runCommand(const std::vector<std::string>& argv);

}  // namespace zorva::testing
