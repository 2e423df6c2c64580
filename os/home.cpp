#include "os/home.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "os/file.h"
#include "os/path.h"

namespace zentu::os {
namespace {
std::mutex g_mutex;
std::string g_home;

std::string ComputeHome() {
  std::string native;
  if (const char* h = std::getenv("ZENTU_HOME"); h && *h) {
    native = h;
  } else if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) {
    native = std::string(x) + "/zentu";
  } else {
    const char* home = std::getenv("HOME");
    native = std::string(home && *home ? home : "/tmp") + "/.local/share/zentu";
  }
  if (native.empty() || native[0] != '/') {
    // A relative ZENTU_HOME is taken from the working directory.
    if (char* cwd = ::realpath(".", nullptr)) {
      native = std::string(cwd) + "/" + native;
      std::free(cwd);
    }
  }
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  return FromNativePath(native);
}
}  // namespace

std::string ZentuHome() {
  std::lock_guard lock(g_mutex);
  if (g_home.empty()) g_home = ComputeHome();
  return g_home;
}

bool EnsureZentuHome() {
  std::string home = ZentuHome();
  if (!DirectoryExists(home) && !CreateDirectories(home)) return false;
  // Passwords, cookies and the collection live here: the home is the user's
  // alone, also when an older start left it open to others.
  (void)RestrictToOwner(home);
  return true;
}

std::string UserHomeDirectory() {
  const char* home = std::getenv("HOME");
  return FromNativePath(home && *home == '/' ? home : "/tmp");
}

std::string UserConfigDirectory() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') return FromNativePath(x);
  return JoinPath(UserHomeDirectory(), ".config");
}

bool ProgramOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path || name.empty() || name.find('/') != std::string::npos) return false;
  std::string dirs(path);
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

void ResetZentuHome() {
  std::lock_guard lock(g_mutex);
  g_home.clear();
}

}  // namespace zentu::os
