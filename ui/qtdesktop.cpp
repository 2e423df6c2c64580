#include "ui/qtdesktop.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "os/log.h"
#include "ui/appwindows.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"
#include "ui/uithread.h"

namespace zentu::ui {
namespace {

std::atomic<bool> g_closing{false};

struct RefreshInbox {
  std::mutex mutex;
  std::unordered_set<const void*> nodes;
  bool posted = false;
};
RefreshInbox& Refreshes() {
  static RefreshInbox* inbox = new RefreshInbox;  // never destroyed: workers may refresh during exit
  return *inbox;
}

// A busy capture refreshes nodes all the time: the views follow at most this often.
constexpr auto kRefreshSpacing = std::chrono::milliseconds(40);

void DeliverRefreshes() {
  static std::chrono::steady_clock::time_point last;
  const auto now = std::chrono::steady_clock::now();
  if (now - last < kRefreshSpacing) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kRefreshSpacing - (now - last));
    QTimer::singleShot(static_cast<int>(wait.count()) + 1, UiContext(), DeliverRefreshes);
    return;
  }
  last = now;
  std::unordered_set<const void*> nodes;
  TakePendingRefreshes(nodes);
  if (AppWindows* app = AppWindows::Live()) app->SyncViews(nodes);
}

const char* ResultName(int r) {
  switch (r) {
    case os::IDOK: return "OK";
    case os::IDCANCEL: return "Cancel";
    case os::IDYES: return "Yes";
    case os::IDNO: return "No";
    default: return "?";
  }
}

QWidget* DialogParent() {
  AppWindows* app = AppWindows::Live();
  if (app && app->mainWindow() && app->mainWindow()->isVisible() && !app->mainWindow()->isMinimized())
    return app->mainWindow();
  return nullptr;
}

}  // namespace

void TakePendingRefreshes(std::unordered_set<const void*>& into) {
  RefreshInbox& inbox = Refreshes();
  std::lock_guard lock(inbox.mutex);
  if (into.empty()) {
    into.swap(inbox.nodes);
  } else {
    into.insert(inbox.nodes.begin(), inbox.nodes.end());
    inbox.nodes.clear();
  }
  inbox.posted = false;
}

int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption, os::Buttons buttons,
                   int defaultResult) {
  QMessageBox box(parent);
  box.setWindowTitle(caption);
  box.setText(text);
  box.setTextFormat(Qt::PlainText);
  box.setIcon(buttons == os::Buttons::Ok ? QMessageBox::Information : QMessageBox::Question);
  struct Choice {
    os::DialogResult result;
    const char* label;
    QMessageBox::ButtonRole role;
  };
  std::vector<Choice> choices;
  switch (buttons) {
    case os::Buttons::Ok: choices = {{os::IDOK, "OK", QMessageBox::AcceptRole}}; break;
    case os::Buttons::OkCancel:
      choices = {{os::IDOK, "OK", QMessageBox::AcceptRole}, {os::IDCANCEL, "キャンセル", QMessageBox::RejectRole}};
      break;
    case os::Buttons::YesNo:
      choices = {{os::IDYES, "はい(&Y)", QMessageBox::YesRole}, {os::IDNO, "いいえ(&N)", QMessageBox::NoRole}};
      break;
    case os::Buttons::YesNoCancel:
      choices = {{os::IDYES, "はい(&Y)", QMessageBox::YesRole},
                 {os::IDNO, "いいえ(&N)", QMessageBox::NoRole},
                 {os::IDCANCEL, "キャンセル", QMessageBox::RejectRole}};
      break;
  }
  std::vector<QPushButton*> made;
  for (const Choice& c : choices) {
    QPushButton* b = box.addButton(U(c.label), c.role);
    b->setProperty("zentuResult", static_cast<int>(c.result));
    made.push_back(b);
    if (c.result == defaultResult) box.setDefaultButton(b);
  }
  // Escape answers No or Cancel, as the system's boxes do.
  box.setEscapeButton(made.back());
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  if (!clicked) return buttons == os::Buttons::Ok ? os::IDOK : made.back()->property("zentuResult").toInt();
  return clicked->property("zentuResult").toInt();
}

QWidget* ShowNotice(const QString& text) {
  auto* notice = new QDialog(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  notice->setObjectName(QStringLiteral("ZentuNotice"));
  notice->setAttribute(Qt::WA_DeleteOnClose);
  notice->setAttribute(Qt::WA_ShowWithoutActivating);
  notice->setStyleSheet(QStringLiteral("QDialog#ZentuNotice { background: #fffbe6; border: 1px solid #8a7a3c; }"));
  auto* label = new QLabel(text, notice);
  label->setTextFormat(Qt::PlainText);
  auto* layout = new QVBoxLayout(notice);
  layout->setContentsMargins(24, 14, 24, 14);
  layout->addWidget(label);
  notice->adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    notice->move(area.center() - QPoint(notice->width() / 2, notice->height() / 2));
  }
  notice->show();
  notice->raise();
  QTimer::singleShot(1000, notice, &QWidget::close);
  return notice;
}

QtDesktop::QtDesktop() { UiContext(); }

void QtDesktop::SetClosing(bool closing) { g_closing = closing; }
bool QtDesktop::Closing() { return g_closing.load(); }

int QtDesktop::MessageBox(std::string_view text, std::string_view caption, os::Buttons buttons,
                          int defaultResult) {
  const QString t = Q(text), c = Q(caption);
  if (OnUiThread()) return ShowMessageBox(DialogParent(), t, c, buttons, defaultResult);
  if (g_closing) {
    std::string tx(text), cx(caption);
    WriteLog("[MessageBox] %s : %s -> %s", cx.c_str(), tx.c_str(), ResultName(defaultResult));
    return defaultResult;
  }
  int result = defaultResult;
  RunOnUiAndWait([&] { result = ShowMessageBox(DialogParent(), t, c, buttons, defaultResult); });
  return result;
}

void QtDesktop::Notice(std::string_view text) {
  std::string t(text);
  WriteLog("%s", t.c_str());
  PostToUi([t] { ShowNotice(Q(t)); });
}

void QtDesktop::StatusText(std::string_view text) {
  PostToUi([t = std::string(text)] {
    if (AppWindows* app = AppWindows::Live()) app->ShowState(Q(t));
  });
}

void QtDesktop::TrayTip(std::string_view text) {
  PostToUi([t = std::string(text)] {
    if (AppWindows* app = AppWindows::Live()) app->SetTrayTip(Q(t));
  });
}

void QueueNodeRefresh(const void* node) {
  if (!node) return;
  RefreshInbox& inbox = Refreshes();
  std::lock_guard lock(inbox.mutex);
  inbox.nodes.insert(node);
  if (!inbox.posted) {
    inbox.posted = true;
    PostToUi(DeliverRefreshes);
  }
}

void QtDesktop::ShowDownloadManager() {
  PostToUi([] {
    if (AppWindows* app = AppWindows::Live()) app->ShowDownloadManager(true);
  });
}

}  // namespace zentu::ui
