// The built zentu program as a child process: its stderr (the log, in UTF-8)
// read line by line, signals, and its exit.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zentu::testing {

class ZentuProcess {
 public:
  // Environment changes for the child: a value sets the variable, nullopt removes it.
  using Environment = std::map<std::string, std::optional<std::string>>;

  // `launcher`, when given, runs the program (for example under another
  // user): its words come first, found on PATH, then the binary and `args`.
  // `program` replaces zentu by another binary of the tests (a full path).
  ZentuProcess(std::vector<std::string> args, Environment env = {}, std::vector<std::string> launcher = {},
               std::string program = {});
  ~ZentuProcess();  // a child still running is killed
  ZentuProcess(const ZentuProcess&) = delete;
  ZentuProcess& operator=(const ZentuProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // Waits until a line containing the text has been written (true), or the
  // output ended or the time passed (false). `exact` compares whole lines.
  bool WaitForLine(const std::string& text, int timeoutMs = 30000, bool exact = false);
  std::vector<std::string> Lines() const;
  std::string Output() const;
  // The index of the first line containing the text at or after `from`; -1 when none.
  int FindLine(const std::string& text, int from = 0) const;
  void Signal(int signo);
  // The exit code, 128 + the signal for a killed child, -1 when it did not end in time.
  int Wait(int timeoutMs = 60000);

 private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  int exitCode_ = -1;
  bool reaped_ = false;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string partial_;
  bool closed_ = false;
};

// Path of the zentu binary under test.
const char* ZentuBinary();

}  // namespace zentu::testing
