#include "os/process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "os/cp932.h"
#include "os/log.h"
#include "os/path.h"

extern char** environ;

namespace zentu::os {
namespace {

// The null-terminated pointer array posix_spawn takes for argv and envp. It
// points into `texts`, which must outlive the spawn call.
std::vector<char*> SpawnArray(std::vector<std::string>& texts) {
  std::vector<char*> array;
  array.reserve(texts.size() + 1);
  for (std::string& t : texts) array.push_back(t.data());
  array.push_back(nullptr);
  return array;
}

}  // namespace

int RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
  if (args.empty() || args[0].empty()) return -1;
  std::vector<std::string> texts = args;
  std::vector<char*> argv = SpawnArray(texts);
  std::vector<std::string> own;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const std::string& x : environment) {
      std::string_view name = std::string_view(x).substr(0, x.find('='));
      if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') replaced = true;
    }
    if (!replaced) own.emplace_back(entry);
  }
  for (const std::string& x : environment)
    if (x.find('=') != std::string::npos) own.push_back(x);
  std::vector<char*> envp = SpawnArray(own);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string native(buffer, static_cast<size_t>(n));
  size_t slash = native.rfind('/');
  if (slash == std::string::npos) return {};
  native.resize(slash == 0 ? 1 : slash);
  return FromNativePath(native);
}

std::string FindProgram(std::string_view name) {
  if (name.empty()) return {};
  const bool bare = name.find('/') == std::string_view::npos && name.find('\\') == std::string_view::npos &&
                    !(name.size() >= 2 && name[1] == ':');
  if (!bare) {
    // A native absolute path is taken in its program form.
    const std::string program = name.front() == '/' ? FromNativePath(name) : std::string(name);
    auto native = ToNativePath(program);
    struct stat st {};
    const bool runnable = native && ::stat(native->c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                          ::access(native->c_str(), X_OK) == 0;
    return runnable ? program : std::string();
  }
  return FindProgramOnPath(SjisToUtf8(name));
}

bool StartProgram(std::string_view program, const std::vector<std::string>& arguments) {
  auto native = ToNativePath(program);
  if (!native || ::access(native->c_str(), X_OK) != 0) return false;
  std::vector<std::string> texts;
  texts.push_back(*native);
  for (const std::string& a : arguments) texts.push_back(a);
  std::vector<char*> argv = SpawnArray(texts);
  pid_t pid = 0;
  if (::posix_spawn(&pid, native->c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    WriteLog("> Can't start %s", std::string(program).c_str());
    return false;
  }
  // The helper outlives nothing of ours: a waiting thread only collects its exit.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

std::string FindProgramOnPath(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return {};
  const char* path = std::getenv("PATH");
  std::string_view dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    if (dir.empty() || dir[0] != '/') continue;  // a relative PATH entry would depend on the working folder
    std::string candidate = std::string(dir) + "/" + std::string(name);
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return FromNativePath(candidate);
  }
  return {};
}

bool OpenWithDesktop(std::string_view path) {
  auto native = ToNativePath(path);
  struct stat st {};
  if (!native || ::stat(native->c_str(), &st) != 0) return false;
  const std::string opener = FindProgramOnPath("xdg-open");
  if (opener.empty()) {
    WriteLog("> xdg-open not found: can't open %s", std::string(path).c_str());
    return false;
  }
  // The path is one argument and never begins with "-": it is absolute.
  return StartProgram(opener, {*native});
}

}  // namespace zentu::os
