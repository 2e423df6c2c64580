#include "tests/e2e_window/imesession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLibraryInfo>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zentu::testing {
namespace {

namespace fs = std::filesystem;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The program's full path on PATH, or empty.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');) {
    if (d.empty()) continue;
    const fs::path candidate = fs::path(d) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

std::string QtIbusPlugin() {
  return QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() +
         "/platforminputcontexts/libibusplatforminputcontextplugin.so";
}

bool WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Starts `argv` with exactly `env`, standard input from /dev/null and its
// output appended to `log` (or to `outFd` when given); `fd3` becomes its
// descriptor 3. Daemons get a process group of their own, so that what they
// start themselves (the engine) is stopped with them.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log,
            int outFd = -1, int fd3 = -1, bool ownGroup = false) {
  std::vector<std::string> a = argv, e = env;
  std::vector<char*> args, envp;
  for (std::string& s : a) args.push_back(s.data());
  args.push_back(nullptr);
  for (std::string& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  }
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (ownGroup) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Reads from `fd` until `done` says enough, the writer closes it, or the time passes.
void ReadUntil(int fd, std::string& out, int timeoutMs, bool (*done)(const std::string&)) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd p{fd, POLLIN, 0};
  while (!(done && done(out))) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
}

bool HasExited(pid_t pid) {
  siginfo_t info{};
  // WNOWAIT: the zombie keeps the pid (and so the group's id) taken until
  // the group has been stopped.
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Stops a child started in a group of its own, and whatever it started.
void StopGroup(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGTERM);
  for (int i = 0; i < 50 && !HasExited(pid); ++i) Sleep(100);
  ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::string ImeSession::MissingParts() {
  std::string missing;
  auto need = [&](bool ok, const std::string& what) {
    if (!ok) missing += (missing.empty() ? "" : ", ") + what;
  };
  need(!FindOnPath("dbus-daemon").empty(), "dbus-daemon (package dbus-daemon)");
  need(!FindOnPath("ibus-daemon").empty() && !FindOnPath("ibus").empty(), "ibus-daemon and ibus (package ibus)");
  need(fs::exists("/usr/share/ibus/component/anthy.xml"), "the anthy engine (package ibus-anthy)");
  need(fs::exists("/usr/lib/python3/dist-packages/gi"), "the engine's Python bindings (package python3-gi)");
  need(fs::exists(QtIbusPlugin()), "Qt's ibus plugin " + QtIbusPlugin());
  return missing;
}

ImeSession::ImeSession(const std::string& display, const std::string& dir) : dir_(dir), display_(display) {
  std::error_code ec;
  for (const char* sub : {"home", "config/glib-2.0/settings", "data", "cache", "run"})
    fs::create_directories(fs::path(dir_) / sub, ec);
  fs::permissions(fs::path(dir_) / "run", fs::perms::owner_all, ec);
  log_ = (fs::path(dir_) / "ime.log").string();
  addressFile_ = (fs::path(dir_) / "ibus-address").string();

  // The engine's settings: hiragana, romaji, nothing else from the user's desktop.
  if (!WriteFile(fs::path(dir_) / "config/glib-2.0/settings/keyfile",
                 "[org/freedesktop/ibus/engine/anthy/common]\n"
                 "input-mode=0\n"
                 "typing-method=0\n")) {
    error_ = "cannot write the engine's settings below " + dir_;
    return;
  }
  // A session bus that serves this test only: no activatable services, so
  // nothing of the desktop (settings daemons, portals) starts on it.
  const std::string busConfig = (fs::path(dir_) / "bus.conf").string();
  WriteFile(busConfig,
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:dir=" + (fs::path(dir_) / "run").string() + "</listen>\n"
            "  <auth>EXTERNAL</auth>\n"
            "  <policy context=\"default\">\n"
            "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
            "    <allow eavesdrop=\"true\"/>\n"
            "    <allow own=\"*\"/>\n"
            "  </policy>\n"
            "</busconfig>\n");
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  bus_ = Spawn({FindOnPath("dbus-daemon"), "--config-file=" + busConfig, "--nofork", "--print-address=3"},
               {"PATH=/usr/bin:/bin", "HOME=" + dir_ + "/home"}, log_, -1, ready[1], true);
  ::close(ready[1]);
  ReadUntil(ready[0], busAddress_, 10000, [](const std::string& s) { return s.find('\n') != std::string::npos; });
  ::close(ready[0]);
  if (bus_ <= 0 || busAddress_.find('\n') == std::string::npos) {
    error_ = "the private D-Bus session bus did not start: " + ReadFile(log_);
    return;
  }
  busAddress_.erase(busAddress_.find('\n'));

  // No panel, no emoji window, no settings service: only the daemon and the
  // engine it starts when asked for one.
  daemon_ = Spawn({FindOnPath("ibus-daemon"), "--panel=disable", "--emoji-extension=disable", "--config=disable",
                   "--cache=none"},
                  Environment(), log_, -1, -1, true);
  if (daemon_ <= 0) {
    error_ = "ibus-daemon could not be started";
    return;
  }
  // The daemon writes its address file once it accepts clients.
  const std::string mine = "IBUS_DAEMON_PID=" + std::to_string(daemon_);
  for (int waited = 0; ReadFile(addressFile_).find(mine) == std::string::npos; waited += 100) {
    if (waited >= 20000 || HasExited(daemon_)) {
      error_ = "ibus-daemon did not come up: " + DaemonLog();
      return;
    }
    Sleep(100);
  }
  started_ = true;
}

ImeSession::~ImeSession() {
  StopGroup(daemon_);
  StopGroup(bus_);
}

std::vector<std::string> ImeSession::Environment() const {
  // The engine is a Python script run as "python3": the system's, since a
  // Python of the developer's own earlier on PATH lacks the gi bindings.
  return {"PATH=/usr/bin:/bin",
          "LANG=C.UTF-8",
          "HOME=" + dir_ + "/home",
          "XDG_CONFIG_HOME=" + dir_ + "/config",
          "XDG_DATA_HOME=" + dir_ + "/data",
          "XDG_CACHE_HOME=" + dir_ + "/cache",
          "XDG_RUNTIME_DIR=" + dir_ + "/run",
          "DISPLAY=" + display_,
          "DBUS_SESSION_BUS_ADDRESS=" + busAddress_,
          "GSETTINGS_BACKEND=keyfile",
          "IBUS_ADDRESS_FILE=" + addressFile_};
}

std::map<std::string, std::optional<std::string>> ImeSession::ClientEnvironment() const {
  return {{"QT_IM_MODULE", "ibus"},
          {"IBUS_ADDRESS_FILE", addressFile_},
          {"DBUS_SESSION_BUS_ADDRESS", busAddress_},
          {"IBUS_ADDRESS", std::nullopt},
          {"IBUS_USE_PORTAL", std::nullopt},
          {"QT_IM_MODULES", std::nullopt}};
}

int ImeSession::Ibus(const std::vector<std::string>& args, std::string& out, int timeoutMs) const {
  out.clear();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> argv{FindOnPath("ibus")};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = Spawn(argv, Environment(), log_, fds[1]);
  ::close(fds[1]);
  if (pid <= 0) {
    ::close(fds[0]);
    return -1;
  }
  ReadUntil(fds[0], out, timeoutMs, nullptr);
  ::close(fds[0]);
  int status = 0;
  for (int i = 0; i < 20 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) Sleep(50);
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ImeSession::SetEngine(const std::string& engine, int timeoutMs) {
  if (!Started()) return false;
  std::string out;
  for (int waited = 0; waited < timeoutMs; waited += 500) {
    // The command's own exit code is not reliable (1 even when the engine was
    // set); what the daemon names afterwards is.
    Ibus({"engine", engine}, out);
    if (Ibus({"engine"}, out) == 0 && out == engine + "\n") return true;
    Sleep(500);
  }
  error_ = "ibus did not take the engine " + engine + " (\"" + out + "\"): " + DaemonLog();
  return false;
}

std::string ImeSession::DaemonLog() const { return ReadFile(log_); }

}  // namespace zentu::testing
