#include "os/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

#include "os/file.h"

namespace zentu {
namespace {

// The list keeps the newest lines; older ones are still in zentu.log when debugging.
constexpr size_t kMaxLines = 200000;
constexpr size_t kLineBuffer = 65536;

struct LogState {
  std::mutex mutex;
  std::deque<std::string> lines;
  std::string file;
  bool debug = false;
  bool echo = false;
  int nextObserver = 1;
  std::vector<std::pair<int, log::Observer>> observers;
};

LogState& State() {
  static LogState* state = new LogState;  // never destroyed: threads may log during exit
  return *state;
}

void Emit(std::string line, int replaces) {
  LogState& s = State();
  std::vector<std::pair<int, log::Observer>> observers;
  {
    std::lock_guard lock(s.mutex);
    for (int i = 0; i < replaces && !s.lines.empty(); ++i) s.lines.pop_back();
    s.lines.push_back(line);
    if (s.lines.size() > kMaxLines) s.lines.pop_front();
    if (s.debug && !s.file.empty()) {
      os::File f;
      if (f.Open(s.file, os::File::Mode::Append)) {
        // CR LF, as every other text file Zentu writes.
        (void)f.Write(line);
        (void)f.Write("\r\n");
        f.Close();
      }
    }
    if (s.echo) std::fprintf(stderr, "%s\n", line.c_str());
    observers = s.observers;
  }
  for (auto& [id, fn] : observers) fn(line, replaces);
}

// Lines are cut to kLineBuffer - 1 bytes. Most are short: they are formatted
// on the stack first, and only a longer one is formatted again at its size
// (a capture writes a few lines per file; clearing 64 KB for each cost more
// than the rest of the line).
std::string Format(const char* format, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(small, sizeof small, format, args);
  if (n < 0) n = 0;
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(again);
    return std::string(small, static_cast<size_t>(n));
  }
  const size_t size = std::min(static_cast<size_t>(n), kLineBuffer - 1);
  std::string buf(size + 1, '\0');
  std::vsnprintf(buf.data(), buf.size(), format, again);
  va_end(again);
  buf.resize(size);
  return buf;
}

}  // namespace

int WriteLog(const char* format, ...) {
  if (!format || !*format) return 1;
  va_list args;
  va_start(args, format);
  std::string line = Format(format, args);
  va_end(args);
  Emit(std::move(line), 0);
  return 1;
}

int WriteLogVerbose(const char* format, ...) {
  if (!format || !*format || !log::DebugFlag()) return 1;
  va_list args;
  va_start(args, format);
  std::string line = Format(format, args);
  va_end(args);
  Emit(std::move(line), 0);
  return 1;
}

int WriteLogProgress(int rows, const char* format, ...) {
  if (!format || !*format) return 1;
  va_list args;
  va_start(args, format);
  std::string line = Format(format, args);
  va_end(args);
  if (rows < 0) rows = 0;
  if (rows > 3) rows = 3;
  Emit(std::move(line), rows);
  return 1;
}

namespace log {

void SetDebugFlag(bool on) {
  std::lock_guard lock(State().mutex);
  State().debug = on;
}

bool DebugFlag() {
  std::lock_guard lock(State().mutex);
  return State().debug;
}

void SetLogFile(const std::string& path) {
  std::lock_guard lock(State().mutex);
  State().file = path;
}

std::string LogFile() {
  std::lock_guard lock(State().mutex);
  return State().file;
}

std::vector<std::string> Lines() {
  std::lock_guard lock(State().mutex);
  return {State().lines.begin(), State().lines.end()};
}

void Clear() {
  std::lock_guard lock(State().mutex);
  State().lines.clear();
}

int AddObserver(Observer observer) {
  std::lock_guard lock(State().mutex);
  int id = State().nextObserver++;
  State().observers.emplace_back(id, std::move(observer));
  return id;
}

void RemoveObserver(int id) {
  std::lock_guard lock(State().mutex);
  auto& v = State().observers;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it->first == id) {
      v.erase(it);
      break;
    }
  }
}

void SetEcho(bool on) {
  std::lock_guard lock(State().mutex);
  State().echo = on;
}

}  // namespace log
}  // namespace zentu
