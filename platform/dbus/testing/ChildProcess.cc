#include "platform/dbus/testing/ChildProcess.h"

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

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {out[1], err[1]}) ::close(fd);
  if (spawned == 0) return std::unique_ptr<ChildProcess>(new ChildProcess(pid, out[0], err[0]));
  for (int fd : {out[0], err[0]}) ::close(fd);
  return nullptr;
}

ChildProcess::~ChildProcess() {
  signal(SIGKILL);
  wait();
  for (int fd : _fds) {
    if (fd >= 0) ::close(fd);
  }
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
  const int index = stream == Stream::Out ? 0 : 1;
  std::string& buffered = _buffered[index];
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (buffered.find('\n') == std::string::npos) {
    auto left =
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
    for (int stream : {0, 1}) {
      if (ready[stream].revents != 0) fill(stream, std::chrono::milliseconds(0));
    }
  }
  out = std::move(_buffered[0]);
  err = std::move(_buffered[1]);
}

void ChildProcess::signal(int number) const {
  if (_status < 0) ::kill(_pid, number);
}

int ChildProcess::wait() {
  int raw = 0;
  if (_status < 0 && TEMP_FAILURE_RETRY(::waitpid(_pid, &raw, 0)) == _pid) {
    _status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
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
