// A private input method for a test on its own X display: a D-Bus session
// bus of its own and an ibus daemon with the anthy engine, everything kept
// below one directory (HOME, the XDG directories, the bus's socket, ibus's
// address file, and the settings that make anthy start in hiragana with
// romaji input), stopped again with the object. Programs started with
// ClientEnvironment() type through it (QT_IM_MODULE=ibus, Qt's own plugin).
//
// ibus with anthy is the deterministic choice here: Qt ships the ibus plugin
// itself (no frontend package that must match the Qt version), the daemon
// writes its address to a file the test names, a fresh anthy with nothing
// learnt commits the hiragana of its preedit on Return, and the engine's
// settings are read from a plain key file.
#pragma once
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zentu::testing {

class ImeSession {
 public:
  // What is missing to run one (programs, the engine, Qt's plugin), or empty.
  static std::string MissingParts();

  // Starts the bus and the daemon for `display` (":<n>"), keeping everything
  // below `dir`, which is made. Started() tells whether both run.
  ImeSession(const std::string& display, const std::string& dir);
  ~ImeSession();
  ImeSession(const ImeSession&) = delete;
  ImeSession& operator=(const ImeSession&) = delete;

  bool Started() const { return started_; }
  const std::string& Error() const { return error_; }

  // Environment changes for a Qt program that types through this input method.
  std::map<std::string, std::optional<std::string>> ClientEnvironment() const;
  // Turns the input method on with the engine (ibus's own command line) and
  // waits until ibus names it as the engine; false (see Error()) when it did
  // not within the time.
  bool SetEngine(const std::string& engine, int timeoutMs = 20000);
  // What the daemon and its engine wrote (for failure messages).
  std::string DaemonLog() const;

 private:
  // Runs ibus's command line with the daemon's environment; its exit code
  // (-1 when it did not end in time) and what it printed.
  int Ibus(const std::vector<std::string>& args, std::string& out, int timeoutMs = 10000) const;
  std::vector<std::string> Environment() const;

  std::string dir_, display_;
  std::string busAddress_, addressFile_, log_;
  pid_t bus_ = -1, daemon_ = -1;
  bool started_ = false;
  std::string error_;
};

}  // namespace zentu::testing
