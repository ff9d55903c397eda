#include "testing/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace zorva::testing {

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv,
                                                  const ChildOptions& options) {
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  const bool piped = options.output.empty();
  if (piped && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0))
    throw std::system_error(errno, std::generic_category(), "pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  options.input >= 0 ? posix_spawn_file_actions_adddup2(&actions, options.input, 0)
                     : posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  piped ? posix_spawn_file_actions_adddup2(&actions, out[1], 1)
        : posix_spawn_file_actions_addopen(&actions, 1, options.output.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, piped ? err[1] : 1, 2);
  const auto pointers = [](const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
  };
  std::vector<std::string> args = argv;
  if (options.dieWithTest) args.insert(args.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
  const std::vector<char*> argp = pointers(args);
  std::vector<char*> envp;
  if (options.environment) envp = pointers(*options.environment);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(),
                                  options.environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {out[1], err[1]}) ::close(fd);
  std::unique_ptr<ChildProcess> child(new ChildProcess(pid, out[0], err[0]));
  child->_reaped = failed != 0;  // then destroyed at once, which closes the pipes
  return failed ? nullptr : std::move(child);
}

ChildProcess::~ChildProcess() {
  signal(SIGKILL);
  wait();
  for (int fd : _fds) ::close(fd);
}

bool ChildProcess::fill(int stream, std::chrono::milliseconds limit) {
  pollfd ready{_fds[stream], POLLIN, 0};
  if (_fds[stream] < 0 || ::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t got = ::read(_fds[stream], chunk, sizeof chunk);
  if (got <= 0) ::close(std::exchange(_fds[stream], -1));
  if (got > 0) _buffered[stream].append(chunk, static_cast<size_t>(got));
  return got > 0;
}

std::optional<std::string> ChildProcess::readLine(Stream stream, std::chrono::milliseconds limit) {
  const int index = static_cast<int>(stream);
  std::string& buffered = _buffered[index];
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (buffered.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !fill(index, left)) return std::nullopt;
  }
  std::string line = buffered.substr(0, buffered.find('\n'));
  buffered.erase(0, line.size() + 1);
  return line;
}

void ChildProcess::readToEnd(std::string& out, std::string& err) {
  // A child that runs to its end may take this long between two writes.
  while (_fds[0] >= 0 || _fds[1] >= 0) {
    pollfd ready[2] = {{_fds[0], POLLIN, 0}, {_fds[1], POLLIN, 0}};
    if (::poll(ready, 2, 30'000) <= 0) break;
    for (int stream : {0, 1})
      if (ready[stream].revents != 0) fill(stream, std::chrono::milliseconds(0));
  }
  out = std::move(_buffered[0]);
  err = std::move(_buffered[1]);
}

void ChildProcess::signal(int number) const {
  if (!_reaped) ::kill(_pid, number);
}

bool ChildProcess::running() const {
  siginfo_t info{};
  return _status < 0 &&
         ::waitid(P_PID, static_cast<id_t>(_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

int ChildProcess::wait(bool reap) {
  if (_reaped || (_status >= 0 && !reap)) return _status;
  siginfo_t info{};
  if (TEMP_FAILURE_RETRY(
          ::waitid(P_PID, static_cast<id_t>(_pid), &info, WEXITED | (reap ? 0 : WNOWAIT))) == 0) {
    _status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    _reaped = reap;
  }
  return _status;
}

CommandResult runCommand(const std::vector<std::string>& argv) {
  CommandResult result;
  if (auto child = ChildProcess::spawn(argv)) {
    child->readToEnd(result.out, result.err);
    result.status = child->wait();
  }
  return result;
}

}  // namespace zorva::testing
