// Helpers of the window tests: a fresh home and collection, the Qt desktop,
// waiting for posted work, and answering message boxes.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "os/desktop.h"
#include "store/groups.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"
#include "ui/appwindows.h"
#include "ui/qtdesktop.h"

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace zentu::testing {

// Runs the event loop until `done` answers true or the time is up.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

// Answers the next message box that opens with the button of `result`
// (os::IDYES, os::IDNO, ...), and remembers what the box said.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(int result) : result_(result) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      for (QAbstractButton* b : box->buttons()) {
        if (b->property("zentuResult").toInt() == result_) {
          text = box->text();
          caption = box->windowTitle();
          parent = box->parentWidget();
          for (QAbstractButton* each : box->buttons()) buttons << each->text();
          ++answered;
          timer_.stop();
          b->click();
          return;
        }
      }
    });
    timer_.start();
  }
  QString text, caption;
  QStringList buttons;
  QWidget* parent = nullptr;  // the window the box was shown over
  int answered = 0;

 private:
  int result_;
  QTimer timer_;
};

// Runs `step` once on the first modal dialog of type D that opens (dialogs
// run their own event loop, so the test acts from inside it).
template <typename D>
class ModalStep {
 public:
  explicit ModalStep(std::function<void(D&)> step) : step_(std::move(step)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* dialog = dynamic_cast<D*>(QApplication::activeModalWidget());
      if (!dialog) return;
      timer_.stop();
      ++ran;
      step_(*dialog);
    });
    timer_.start();
  }
  int ran = 0;

 private:
  std::function<void(D&)> step_;
  QTimer timer_;
};

// A temporary home with the default collection (root, receive folder,
// search-result folder, site folder) and the Qt desktop installed.
class UiTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    // An earlier test that ended the program's frame (QCoreApplication::exit
    // with no main loop running) leaves every later event loop, a dialog's
    // included, ending at once; one short main loop clears that.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    Profile& p = CurrentProfile();
    LoadProfile(p, ProfilePath());
    ui::QtDesktop::SetClosing(false);
    os::SetDesktop(&qtDesktop);
    TreeFileSettings settings;
    BuildDefaultTree(settings);
    GetTreeState().modified = false;
  }
  void TearDown() override {
    windows.reset();
    QApplication::processEvents();
    os::SetDesktop(nullptr);
    ResetTreeState();
    ResetGroups();
    TempHome::TearDown();
  }

  TreeNode* Root() { return GetTreeState().root; }
  TreeNode* Receive() { return GetTreeState().receiveFolder; }
  TreeNode* AddFolder(TreeNode* parent, const char* utf8Title) {
    std::lock_guard lock(TreeMutex());
    TreeNode* n = CreateNode(SJ(utf8Title), {}, {}, kNodeFolder);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }
  TreeNode* AddItem(TreeNode* parent, const char* utf8Title, const char* url = "", bool unread = false) {
    std::lock_guard lock(TreeMutex());
    TreeNode* n = CreateNode(SJ(utf8Title), url, {}, kNodeItem);
    SetDownloadFlag(n, kDownloadDone);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    if (unread) SetUnreadFlag(n, true);
    return n;
  }
  ui::AppWindows& Open(std::function<void()> shutdown = {}) {
    windows = std::make_unique<ui::AppWindows>(std::move(shutdown));
    return *windows;
  }

  ui::QtDesktop qtDesktop;
  std::unique_ptr<ui::AppWindows> windows;
};

}  // namespace zentu::testing
