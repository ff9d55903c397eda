#include "platform/dbus/testing/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorva::testing {

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return nullptr;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ::close(err[0]);
    return nullptr;
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid, out[0], err[0]));
}

ChildProcess::~ChildProcess() {
  if (status_ < 0) {
    signal(SIGKILL);
    wait();
  }
  for (int fd : fds_) {
    if (fd >= 0) ::close(fd);
  }
}

std::optional<std::string> ChildProcess::readLine(Stream stream, std::chrono::milliseconds limit) {
  const int index = stream == Stream::Out ? 0 : 1;
  std::string& buffered = buffered_[index];
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    size_t end = buffered.find('\n');
    if (end != std::string::npos) {
      std::string line = buffered.substr(0, end);
      buffered.erase(0, end + 1);
      return line;
    }
    if (fds_[index] < 0) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd ready{fds_[index], POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t got = ::read(fds_[index], chunk, sizeof chunk);
    if (got <= 0) {
      ::close(fds_[index]);
      fds_[index] = -1;
      continue;
    }
    buffered.append(chunk, static_cast<size_t>(got));
  }
}

void ChildProcess::readToEnd(std::string& out, std::string& err) {
  std::string* targets[2] = {&out, &err};
  for (int i = 0; i < 2; ++i) *targets[i] = std::move(buffered_[i]);
  while (fds_[0] >= 0 || fds_[1] >= 0) {
    pollfd ready[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (::poll(ready, 2, 30'000) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0 || ready[i].revents == 0) continue;
      char chunk[4096];
      ssize_t got = ::read(fds_[i], chunk, sizeof chunk);
      if (got <= 0) {
        ::close(fds_[i]);
        fds_[i] = -1;
      } else {
        targets[i]->append(chunk, static_cast<size_t>(got));
      }
    }
  }
}

void ChildProcess::signal(int number) const {
  if (status_ < 0) ::kill(pid_, number);
}

int ChildProcess::wait() {
  if (status_ >= 0) return status_;
  int raw = 0;
  while (::waitpid(pid_, &raw, 0) < 0) {
  }
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

CommandResult runCommand(const std::vector<std::string>& argv) {
  CommandResult result;
  auto child = ChildProcess::spawn(argv);
  if (!child) return result;
  child->readToEnd(result.out, result.err);
  result.status = child->wait();
  return result;
}

}  // namespace zorva::testing
