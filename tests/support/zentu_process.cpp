#include "tests/support/zentu_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace zentu::testing {

const char* ZentuBinary() { return ZENTU_BINARY; }

ZentuProcess::ZentuProcess(std::vector<std::string> args, Environment env, std::vector<std::string> launcher,
                           std::string program) {
  const bool launched = !launcher.empty();
  std::vector<std::string> argv = std::move(launcher);
  argv.push_back(program.empty() ? std::string(ZentuBinary()) : std::move(program));
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argp;
  for (std::string& a : argv) argp.push_back(a.data());
  argp.push_back(nullptr);

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (auto& [name, value] : env) {
    if (value) vars[name] = *value;
    else vars.erase(name);
  }
  std::vector<std::string> envText;
  for (auto& [name, value] : vars) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  pid_t pid = -1;
  const int rc = launched ? ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data())
                          : ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return;
  }
  pid_ = pid;
  reader_ = std::thread([this, fd = out[0]] { ReadOutput(fd); });
}

ZentuProcess::~ZentuProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    Wait(60000);
  }
  if (reader_.joinable()) reader_.join();
}

void ZentuProcess::ReadOutput(int fd) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      if (!partial_.empty()) lines_.push_back(std::move(partial_));
      closed_ = true;
      changed_.notify_all();
      break;
    }
    partial_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
      lines_.push_back(partial_.substr(start, nl - start));
    partial_.erase(0, start);
    changed_.notify_all();
  }
  ::close(fd);
}

bool ZentuProcess::WaitForLine(const std::string& text, int timeoutMs, bool exact) {
  std::unique_lock lock(mutex_);
  size_t seen = 0;
  auto found = [&] {
    for (; seen < lines_.size(); ++seen) {
      const std::string& line = lines_[seen];
      if (exact ? line == text : line.find(text) != std::string::npos) return true;
    }
    return closed_;
  };
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), found)) return false;
  return seen < lines_.size();
}

std::vector<std::string> ZentuProcess::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string ZentuProcess::Output() const {
  std::string all;
  for (const std::string& line : Lines()) all += line + "\n";
  return all;
}

int ZentuProcess::FindLine(const std::string& text, int from) const {
  std::lock_guard lock(mutex_);
  for (size_t i = static_cast<size_t>(std::max(from, 0)); i < lines_.size(); ++i)
    if (lines_[i].find(text) != std::string::npos) return static_cast<int>(i);
  return -1;
}

void ZentuProcess::Signal(int signo) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signo);
}

int ZentuProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  if (reaped_) return exitCode_;
  {
    // The child's end of the pipe closes when it exits.
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_; })) return -1;
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  reaped_ = true;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  return exitCode_;
}

}  // namespace zentu::testing
