// The whole program in the test's own process, with its windows: the instance
// lock, the windows' side of the frame, the start-up up to the main loop, and
// the ordered shutdown as closing the main window runs it. A test may start
// one after another in the same home, as a user starts Zentu again.
#pragma once
#include <memory>

#include "app/frame.h"
#include "tests/support/testhome.h"

namespace zentu::ui {
class AppWindows;
class MainWindow;
}  // namespace zentu::ui

namespace zentu::testing {

class RunningFrame {
 public:
  explicit RunningFrame(FrameOptions options = {});
  // Shuts down when the test has not.
  ~RunningFrame();
  RunningFrame(const RunningFrame&) = delete;
  RunningFrame& operator=(const RunningFrame&) = delete;

  // True when the start-up reached the main loop with a main window.
  bool Started() const { return main_ != nullptr && windows_ != nullptr; }
  Frame& frame() { return *frame_; }
  ui::MainWindow* main() const { return main_; }
  ui::AppWindows* windows() const { return windows_; }
  // The close request, then what follows the main loop: the exit code.
  int Quit();

 private:
  std::unique_ptr<FrameUi> ui_;
  std::unique_ptr<Frame> frame_;
  ui::MainWindow* main_ = nullptr;
  ui::AppWindows* windows_ = nullptr;
  bool running_ = false;
};

// The program's main window among the application's windows, nullptr when none.
ui::MainWindow* FindMainWindow();

// A fresh home for the whole program with windows: message boxes are shown
// again, and the collection, the groups and the tree file's place a run
// leaves are forgotten.
class WindowFrameHome : public TempHome {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace zentu::testing
