#include "tests/e2e/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace zentu::testing {
namespace {

// A descriptor moved above the range the child's fds 3 and 4 take, so that
// dup2 in the child always makes a fresh, inheritable copy.
int AboveStdio(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return moved;
}

}  // namespace

HeadlessBrowser::~HeadlessBrowser() { Close(); }

bool HeadlessBrowser::Start(const std::string& workDir, const std::vector<std::string>& flags) {
  return Start(workDir, flags, Launch{});
}

bool HeadlessBrowser::Start(const std::string& workDir, const std::vector<std::string>& flags, const Launch& launch) {
  if (access(kChromiumPath, X_OK) != 0) {
    error_ = std::string(kChromiumPath) + " is missing";
    return false;
  }
  // A browser that dies must not take the test program with it on the next write.
  signal(SIGPIPE, SIG_IGN);
  int commands[2], answers[2];
  if (pipe(commands) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe(answers) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    close(commands[0]);
    close(commands[1]);
    return false;
  }
  for (int* fd : {&commands[0], &commands[1], &answers[0], &answers[1]}) *fd = AboveStdio(*fd);

  logPath_ = workDir + "/chromium.log";
  std::vector<std::string> args = {kChromiumPath,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--no-default-browser-check",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--disable-extensions",
                                   "--mute-audio",
                                   "--user-data-dir=" + workDir + "/profile",
                                   "--remote-debugging-pipe"};
  if (launch.withExtensions) {
    for (std::string& a : args) {
      if (a == "--headless") a = "--headless=new";
    }
    std::erase_if(args, [](const std::string& a) { return a == "--disable-extensions"; });
  }
  if (!launch.userDataDir.empty()) {
    for (std::string& a : args)
      if (a.rfind("--user-data-dir=", 0) == 0) a = "--user-data-dir=" + launch.userDataDir;
  }
  args.insert(args.end(), flags.begin(), flags.end());
  args.push_back("about:blank");
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : launch.environment) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) environment.push_back(entry);
  }
  for (const auto& [name, value] : launch.environment) environment.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_adddup2(&actions, commands[0], 3);
  posix_spawn_file_actions_adddup2(&actions, answers[1], 4);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group: the renderers can be ended with it if it hangs.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  int rc = posix_spawn(&pid_, kChromiumPath, &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(commands[0]);
  close(answers[1]);
  toBrowser_ = commands[1];
  fromBrowser_ = answers[0];
  if (rc != 0) {
    pid_ = -1;
    error_ = std::string("posix_spawn: ") + std::strerror(rc);
    Close();
    return false;
  }
  return true;
}

int HeadlessBrowser::Send(std::string_view method, std::string_view params, std::string_view session) {
  if (toBrowser_ < 0) return 0;
  int id = nextId_++;
  std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":" + JsonQuote(method) +
                        ",\"params\":" + std::string(params.empty() ? "{}" : params);
  if (!session.empty()) message += ",\"sessionId\":" + JsonQuote(session);
  message += "}";
  message.push_back('\0');
  size_t sent = 0;
  while (sent < message.size()) {
    ssize_t n = write(toBrowser_, message.data() + sent, message.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = std::string("write to browser: ") + std::strerror(errno);
      return 0;
    }
    sent += static_cast<size_t>(n);
  }
  return id;
}

bool HeadlessBrowser::ReadMessage(Json& out, std::chrono::steady_clock::time_point until) {
  for (;;) {
    size_t end = buffer_.find('\0');
    if (end != std::string::npos) {
      std::string text = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      if (!ParseJson(text, out)) {
        error_ = "bad message from browser: " + text.substr(0, 200);
        continue;
      }
      return true;
    }
    if (fromBrowser_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fromBrowser_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[65536];
    ssize_t n = read(fromBrowser_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "the browser closed its pipe";
      close(fromBrowser_);
      fromBrowser_ = -1;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

bool HeadlessBrowser::Call(std::string_view method, std::string_view params, std::string_view session, Json* result,
                           std::chrono::milliseconds timeout) {
  int id = Send(method, params, session);
  if (id == 0) return false;
  auto until = std::chrono::steady_clock::now() + timeout;
  Json message;
  while (ReadMessage(message, until)) {
    if (!message.Has("id")) {
      events_.push_back(std::move(message));
      continue;
    }
    if (static_cast<int>(message["id"].number) != id) continue;  // a late answer to a plain Send
    if (message.Has("error")) {
      error_ = std::string(method) + ": " + message["error"].Dump();
      return false;
    }
    if (result) *result = message["result"];
    return true;
  }
  error_ = std::string(method) + ": no answer (" + error_ + ")";
  return false;
}

bool HeadlessBrowser::NextEvent(Json& event, std::chrono::milliseconds timeout) {
  if (!events_.empty()) {
    event = std::move(events_.front());
    events_.pop_front();
    return true;
  }
  auto until = std::chrono::steady_clock::now() + timeout;
  while (ReadMessage(event, until))
    if (!event.Has("id")) return true;
  return false;
}

void HeadlessBrowser::Close() {
  if (pid_ > 0) {
    if (toBrowser_ >= 0) Send("Browser.close");
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      ended = r == pid_ || (r < 0 && errno == ECHILD);
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ended) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  for (int* fd : {&toBrowser_, &fromBrowser_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

std::string HeadlessBrowser::LogTail() const {
  std::ifstream in(logPath_);
  std::string text, line;
  // Complaints about the missing session bus say nothing about the page.
  while (std::getline(in, line))
    if (line.find("dbus") == std::string::npos) text += line + "\n";
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

}  // namespace zentu::testing
