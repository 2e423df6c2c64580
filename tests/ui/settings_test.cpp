// The settings dialog: OK takes the entries into the running profile and the
// file, Cancel takes nothing, and while captures run nothing is taken and
// nothing typed is lost.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <chrono>

#include "capture/job.h"
#include "capture/pipeline.h"
#include "os/file.h"
#include "tests/support/testserver.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/downloadwindow.h"
#include "ui/logwindow.h"
#include "ui/mainwindow.h"
#include "ui/settingsdialog.h"

namespace zentu::testing {
namespace {

using DialogDriver = ModalStep<ui::SettingsDialog>;

template <typename W>
W* EditorOf(ui::SettingsDialog& d, const char* key) {
  W* w = dynamic_cast<W*>(d.Editor(key));
  EXPECT_NE(w, nullptr) << key;
  return w;
}

std::string ProfileFile() {
  std::string text;
  (void)os::ReadWholeFile(ProfilePath(), text);
  return text;
}

TEST_F(UiTest, SettingsDialogOkTakesTheEntriesAndCancelTakesNothing) {
  ui::AppWindows& w = Open();
  const Profile before = CurrentProfile();

  // Cancel: nothing changes, nothing is written.
  DialogDriver cancel([](ui::SettingsDialog& d) {
    EditorOf<QSpinBox>(d, "TimeOut")->setValue(33);
    d.reject();
  });
  w.Dispatch(ui::kCmdSettings);
  EXPECT_EQ(cancel.ran, 1);
  EXPECT_EQ(CurrentProfile(), before);
  EXPECT_FALSE(os::FileExists(ProfilePath()));

  // OK from the download manager's menu: the capture page opens.
  int page = -1;
  DialogDriver ok([&](ui::SettingsDialog& d) {
    page = d.findChild<QTabWidget*>()->currentIndex();
    EditorOf<QSpinBox>(d, "TimeOut")->setValue(30);
    EditorOf<QSpinBox>(d, "MaxNumberOfDownloadThread")->setValue(0);  // below the range: kept at 1
    EditorOf<QLineEdit>(d, "UserAgent")->setText(QString::fromUtf8("ゼンツ/0.99"));
    EditorOf<QCheckBox>(d, "FinishConfirm")->setChecked(false);
    EditorOf<QCheckBox>(d, "ShowVersionOnTitleBar")->setChecked(false);
    EditorOf<QCheckBox>(d, "StatusBar")->setChecked(false);
    EditorOf<QCheckBox>(d, "LogViewFlag")->setChecked(true);
    auto* colour = EditorOf<QPushButton>(d, "ErrorTextColor");
    colour->setProperty("colour", QColor(1, 2, 3));
    d.accept();
  });
  w.downloadWindow()->openSettings();
  EXPECT_EQ(ok.ran, 1);
  EXPECT_EQ(page, ui::SettingsDialog::kPageCapture);
  const Profile& p = CurrentProfile();
  EXPECT_EQ(p.TimeOut, 30000);
  EXPECT_EQ(p.MaxNumberOfDownloadThread, 1);
  EXPECT_EQ(p.UserAgent, SJ("ゼンツ/0.99"));
  EXPECT_FALSE(p.FinishConfirm);
  EXPECT_EQ(p.StatusTextColor[0], (Rgb{1, 2, 3}));
  EXPECT_EQ(w.mainWindow()->windowTitle().left(6), "Zentu ");
  EXPECT_FALSE(w.mainWindow()->windowTitle().contains("0.99"));
  EXPECT_TRUE(w.mainWindow()->statusBar()->isHidden());
  EXPECT_TRUE(p.LogViewFlag) << "the dialog's choice, not the hidden window's state";
  EXPECT_TRUE(w.logWindow()->isVisible());
  // The file holds them, in its own units.
  const std::string file = ProfileFile();
  EXPECT_NE(file.find("TimeOut=30\r\n"), std::string::npos) << file;
  EXPECT_NE(file.find("ErrorTextColor=(1,2,3)"), std::string::npos);
  EXPECT_NE(file.find("UserAgent=" + SJ("ゼンツ/0.99")), std::string::npos);
  // And a fresh load reads back what the dialog set.
  Profile reloaded;
  ASSERT_EQ(LoadProfile(reloaded, ProfilePath()), 1);
  EXPECT_EQ(reloaded.TimeOut, 30000);
  EXPECT_EQ(reloaded.StatusTextColor[0], (Rgb{1, 2, 3}));
}

TEST_F(UiTest, SettingsAreNotTakenWhileACaptureRunsAndNothingTypedIsLost) {
  TestServer server;
  server.Add({.path = "/slow.html", .headers = {{"Content-Type", "text/html"}}, .body = "<title>x</title>",
              .delayMs = 1500});
  CurrentProfile().DelayOfDownload = 0;
  CurrentProfile().ShowByDownload = false;
  CurrentProfile().PrecheckByHeadRequest = false;
  InstallPipeline();
  SetWorkerIdleLimit(std::chrono::milliseconds(100));
  ui::AppWindows& w = Open();
  GetDownloadManager().AddJob(server.Url("/slow.html"), "", false, nullptr);
  ASSERT_TRUE(WaitUntil([] { return GetDownloadManager().AnyWorkerRunning(); }));

  BoxAnswerer busy(os::IDOK);
  int tries = 0;
  bool stayedOpen = false;
  DialogDriver driver([&](ui::SettingsDialog& d) {
    EditorOf<QSpinBox>(d, "DelayOfDownload")->setValue(700);
    d.accept();  // refused: a capture runs
    ++tries;
    stayedOpen = d.isVisible();
    // Once the capture is over, the same entries are taken.
    ASSERT_TRUE(WaitUntil([] { return RunWhileCaptureIdle([] {}); }, 20000));
    EXPECT_EQ(EditorOf<QSpinBox>(d, "DelayOfDownload")->value(), 700);
    d.accept();
    ++tries;
  });
  w.Dispatch(ui::kCmdCaptureSettings);
  EXPECT_EQ(tries, 2);
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(busy.answered, 1);
  EXPECT_TRUE(busy.text.contains(QString::fromUtf8("取り込み中は設定を変更できません")));
  EXPECT_EQ(CurrentProfile().DelayOfDownload, 700);
  (void)StopCaptureAndWait(std::chrono::seconds(10));
  GetDownloadManager().Clear();
}

}  // namespace
}  // namespace zentu::testing
