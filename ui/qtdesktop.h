// The Desktop of the window program: message boxes with the Japanese texts,
// the one-second notice, status texts, the tray tip, node refreshes and the
// download manager, callable from any thread. Calls from worker threads are
// carried to the UI thread; a message box asked for by a worker blocks that
// worker until the user answers, so a worker never asks while it holds the
// tree lock (the UI thread may be waiting for that lock).
//
// It exists before the windows do (the frame installs it at the start) and
// reaches them through AppWindows::Live() on the UI thread; what comes while
// there are no windows is shown without a parent or dropped.
#pragma once
#include <QString>
#include <string_view>
#include <unordered_set>

#include "os/desktop.h"

class QWidget;

namespace zentu::ui {

class QtDesktop : public os::Desktop {
 public:
  QtDesktop();
  int MessageBox(std::string_view text, std::string_view caption, os::Buttons buttons,
                 int defaultResult) override;
  void Notice(std::string_view text) override;
  void StatusText(std::string_view text) override;
  void TrayTip(std::string_view text) override;
  void ShowDownloadManager() override;

  // While closing, message boxes asked for by other threads are not shown:
  // they are logged and answered with their default, so a worker never waits
  // for a window that the shutdown is about to take away.
  static void SetClosing(bool closing);
  static bool Closing();
};

// The message box itself (UI thread). Returns one of os::DialogResult.
int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption, os::Buttons buttons,
                   int defaultResult);
// The notice itself (UI thread): a small frameless window on top, centred on
// the screen, that closes itself after one second.
QWidget* ShowNotice(const QString& text);

// Asks the views to redraw a node (nullptr is ignored). Never blocks: callers
// may hold the tree lock (the tree observer calls it). Refreshes are collected
// and applied together on the UI thread, at most every 40 ms.
void QueueNodeRefresh(const void* node);
// Takes the refreshes collected so far (UI thread).
void TakePendingRefreshes(std::unordered_set<const void*>& into);

}  // namespace zentu::ui
