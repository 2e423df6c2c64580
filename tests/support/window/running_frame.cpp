#include "tests/support/window/running_frame.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include "app/window_ui.h"
#include "os/channel.h"
#include "store/groups.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "ui/appwindows.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

namespace zentu::testing {

RunningFrame::RunningFrame(FrameOptions options) {
  os::InstanceLock lock = os::AcquireInstanceLock();
  EXPECT_TRUE(lock) << "another Zentu holds the home";
  ui_ = CreateWindowUi([this] {
    if (running_) frame_->Close();
  });
  if (!ui_ || !ui_->HasWindow()) {
    ADD_FAILURE() << "the frame was built without its windows";
    return;
  }
  frame_ = std::make_unique<Frame>(*ui_, std::move(options), std::move(lock));
  running_ = true;
  const int started = frame_->StartUp();
  EXPECT_EQ(started, -1) << "the start-up ended early";
  if (started != -1) return;
  main_ = FindMainWindow();
  windows_ = ui::AppWindows::Live();
  EXPECT_NE(main_, nullptr);
  EXPECT_NE(windows_, nullptr);
}

RunningFrame::~RunningFrame() {
  if (running_) (void)Quit();
}

int RunningFrame::Quit() {
  if (!running_) return -1;
  running_ = false;
  frame_->Close();
  const int code = frame_->Finish(0);
  // Closing asks the main loop to end; with none running the request stays
  // and every later event loop (a dialog's) would end at once. One short main
  // loop takes it.
  QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
  main_ = nullptr;
  windows_ = nullptr;
  return code;
}

ui::MainWindow* FindMainWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* main = dynamic_cast<ui::MainWindow*>(w)) return main;
  return nullptr;
}

void WindowFrameHome::SetUp() {
  TempHome::SetUp();
  // A run before this one closed the desktop for questions on its way out.
  ui::QtDesktop::SetClosing(false);
  // No first-time question over the windows unless a test asks for one.
  RegisterOneBrowserEntry();
}

void WindowFrameHome::TearDown() {
  QApplication::processEvents();
  os::SetDesktop(nullptr);
  ResetTreeState();
  ResetGroups();
  // The frame points the tree file, its backups and the index into this
  // home; a later test of the process must not write there.
  CurrentTreeFileSettings() = TreeFileSettings{};
  TempHome::TearDown();
}

}  // namespace zentu::testing
