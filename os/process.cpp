#include "os/process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string_view>

extern char** environ;

namespace zentu::os {

int RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
  if (args.empty() || args[0].empty()) return -1;
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
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
  std::vector<char*> envp;
  envp.reserve(own.size() + 1);
  for (std::string& e : own) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zentu::os
