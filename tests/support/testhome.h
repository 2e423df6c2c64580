// A fresh temporary Zentu home per test: ZENTU_HOME points at it, the log
// is cleared and the clock and desktop are the test's own.
#pragma once
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "os/clock.h"
#include "os/desktop.h"

namespace zentu::testing {

// Converts a UTF-8 literal to Shift_JIS (test sources are UTF-8).
std::string SJ(const char* utf8);
std::string U8(const std::string& sjis);

class FakeClock : public os::Clock {
 public:
  std::time_t now = 1170000000;  // 2007-01-28
  uint64_t tick = 1000;
  std::time_t Now() const override { return now; }
  uint64_t TickMs() const override { return tick; }
};

// Records every message and answers with a scripted result (default button when empty).
// Worker threads call it too: every call takes the lock; read the records once
// the workers have stopped.
class RecordingDesktop : public os::Desktop {
 public:
  struct Message { std::string text, caption; };
  std::vector<Message> messages;
  std::vector<std::string> notices, statuses, tips;
  std::vector<int> answers;  // consumed front to back
  int MessageBox(std::string_view text, std::string_view caption, os::Buttons buttons,
                 int defaultResult) override;
  void Notice(std::string_view text) override {
    std::lock_guard lock(mutex);
    notices.emplace_back(text);
  }
  void StatusText(std::string_view text) override {
    std::lock_guard lock(mutex);
    statuses.emplace_back(text);
  }
  void TrayTip(std::string_view text) override {
    std::lock_guard lock(mutex);
    tips.emplace_back(text);
  }
  std::mutex mutex;
};

class TempHome : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Native and program forms of the home.
  std::string nativeHome;
  std::string home;
  // Program path of a file in the home.
  std::string Path(const std::string& name) const;
  // Copies tests/data/<sub> into the home (native copy).
  void CopyData(const std::string& sub, const std::string& to = "");
  void WriteNative(const std::string& relative, const std::string& bytes);
  std::string ReadNative(const std::string& relative);
  // One context-menu entry of the browser integration in the home's registry
  // file: a start without a tree file then has nothing to ask.
  void RegisterOneBrowserEntry();
  FakeClock clock;
  RecordingDesktop desktop;
};

// True when some log line contains the text.
bool LogContains(const std::string& text);

}  // namespace zentu::testing
