// What the in-process window tests share: the private X display the program
// runs on, waiting while the program's event loop runs, and where pictures go.
#pragma once
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "tests/e2e_window/xsession.h"

namespace zentu::testing {

// The display of this process (main.cpp starts it before the application).
extern XSession* g_x;

// Runs the program's event loop until `done` answers true or the time is up.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
  return true;
}

// $ZENTU_SCREENSHOT_DIR, else "screenshots" in the working folder; made when missing.
inline std::filesystem::path ScreenshotDir() {
  const char* dir = std::getenv("ZENTU_SCREENSHOT_DIR");
  std::filesystem::path out = dir && *dir ? std::filesystem::path(dir) : std::filesystem::current_path() / "screenshots";
  std::filesystem::create_directories(out);
  return out;
}

}  // namespace zentu::testing
