#include "app/window_ui.h"

#include <QCoreApplication>

#ifdef ZENTU_WITH_WINDOWS
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QShortcut>
#include <QString>

#include "os/log.h"
#include <cstdio>

#include "os/file.h"
#include "os/home.h"
#include "os/path.h"
#include "store/profile.h"
#include "ui/appwindows.h"
#include "ui/browserregdialog.h"
#include "ui/editorview.h"
#include "ui/texteditor.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"
#include "ui/splash.h"
#include "ui/treeicons.h"
#endif

namespace zentu {

#ifdef ZENTU_WITH_WINDOWS
namespace {

// Logs the main window's first paint: the moment the user sees the collection.
class FirstPaintWatch : public QObject {
 public:
  bool painted = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted) {
      painted = true;
      watched->removeEventFilter(this);
      WriteLog("> window: first paint");
    }
    return false;
  }
};

class WindowUi : public FrameUi {
 public:
  explicit WindowUi(std::function<void()> close) : close_(std::move(close)) {}

  bool HasWindow() const override { return true; }
  os::Desktop* Desktop() override { return &desktop_; }
  void Announce() override {
    WriteLog("> window: %s", QGuiApplication::platformName().toUtf8().constData());
  }

  void ShowSplash(std::chrono::milliseconds duration) override {
    splash_ = ui::ShowSplash(duration);
  }
  void LoadImageLists() override { (void)ui::TreeImageList::Get(); }
  bool CreatePanes() override {
    windows_ = std::make_unique<ui::AppWindows>([this] {
      if (close_) close_();
    });
    return true;
  }
  void SelectRootInTree() override { windows_->SelectFolder(GetTreeState().root); }
  void FinishMainWindow(const Profile&, std::string_view) override { windows_->mainWindow()->UpdateTitle(); }
  void UseTimers(SetTimerFn set, std::function<void(int)> kill) override {
    windows_->UseTimers(std::move(set), std::move(kill));
  }
  void ShowMainWindow(const Profile&, int showState) override {
    windows_->mainWindow()->installEventFilter(&firstPaint_);
    windows_->ShowMain(showState);
  }
  void WaitUntilShown(std::chrono::milliseconds limit) override {
    QElapsedTimer timer;
    timer.start();
    while (!firstPaint_.painted && timer.elapsed() < limit.count())
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  }
  void AddTrayIcon(std::string_view tip) override { windows_->AddTrayIcon(tip); }
  bool RegisterHotKeys(const Profile&) override { return windows_->RegisterHotKeys(); }
  void UnregisterHotKeys() override {
    if (windows_) windows_->UnregisterHotKeys();
  }
  void AutoSaveText() override {
    if (windows_) windows_->AutoSaveText();
  }
  void ShowCurrentGroup(TreeNode* currentFolder) override {
    windows_->ShowCurrentGroup(currentFolder);
    // The tabs open once the collection shows: a start page may be a saved copy.
    windows_->StartBrowser(CurrentProfile());
  }
  std::function<bool(BrowserGroupFlags&)> BrowserIntegrationDialog() override {
    return ui::CurrentBrowserIntegrationDialog(windows_ ? windows_->mainWindow() : nullptr);
  }
  bool CloseOpenTexts() override { return !windows_ || windows_->CloseOpenTexts(); }
  void DestroyChildWindows() override {
    if (windows_) windows_->UninitBrowser();
  }
  void PlaceLogWindow(const Profile&) override { windows_->PlaceLogWindow(); }
  void RaiseMainWindow() override {
    if (windows_) windows_->RaiseMain();
  }

  void HideMainWindow() override {
    // From here on the shutdown waits for the capture threads: a question
    // from one of them must not wait for a window.
    ui::QtDesktop::SetClosing(true);
    if (windows_) windows_->mainWindow()->hide();
  }
  void RemoveTrayIcon() override {
    if (windows_) windows_->RemoveTrayIcon();
  }
  // The shutdown may run inside a window's own handler: the windows are only
  // hidden here and freed after the loop.
  void DestroyWindows() override {
    if (windows_) windows_->HideAll();
  }
  void FreeImageLists() override {
    splash_.reset();
    windows_.reset();
  }

 private:
  std::function<void()> close_;
  FirstPaintWatch firstPaint_;
  ui::QtDesktop desktop_;
  std::unique_ptr<ui::AppWindows> windows_;
  std::unique_ptr<QWidget> splash_;
};

}  // namespace

bool WindowsBuiltIn() { return true; }

int RunEditorWindow(int& argc, char** argv, const std::string& nativePath) {
  QApplication app(argc, argv);
  Profile& profile = CurrentProfile();
  SetProfileDefaults(profile);
  const std::string ini = os::JoinPath(os::ZentuHome(), "zentu.ini");
  if (os::FileExists(ini)) (void)LoadProfile(profile, ini);
  const std::string path = os::FromNativePath(nativePath);
  if (!os::FileExists(path)) {
    std::fprintf(stderr, "zentu: cannot read %s\n", nativePath.c_str());
    return 1;
  }
  // The file is read in the encoding it is in and saved back in it (Ctrl+S,
  // and when the window closes).
  ui::TextEditor view;
  view.setWindowTitle(QString::fromUtf8(nativePath.c_str()));
  if (!view.Open(path, nullptr)) {
    std::fprintf(stderr, "zentu: cannot read %s\n", nativePath.c_str());
    return 1;
  }
  auto* save = new QShortcut(QKeySequence::Save, &view);
  QObject::connect(save, &QShortcut::activated, &view, [&view] { view.RunCommand(40306); });
  view.resize(800, 600);
  view.show();
  return app.exec();
}

std::unique_ptr<QCoreApplication> CreateWindowApplication(int& argc, char** argv) {
  return std::make_unique<QApplication>(argc, argv);
}

std::unique_ptr<FrameUi> CreateWindowUi(std::function<void()> close) {
  return std::make_unique<WindowUi>(std::move(close));
}

#else

bool WindowsBuiltIn() { return false; }

int RunEditorWindow(int&, char**, const std::string&) { return 1; }

std::unique_ptr<QCoreApplication> CreateWindowApplication(int& argc, char** argv) {
  return std::make_unique<QCoreApplication>(argc, argv);
}

std::unique_ptr<FrameUi> CreateWindowUi(std::function<void()>) { return nullptr; }

#endif

}  // namespace zentu
