// The whole program in this process with its windows (offscreen): the frame
// starts up with the main window, a real second start of the built zentu
// program hands it a URL, and the list shows the new item as "*" until the
// page has arrived and then with the page's title.
#include <QApplication>
#include <QTimer>
#include <QTreeView>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <string>

#include "app/frame.h"
#include "app/window_ui.h"
#include "intake/browserreg.h"
#include "os/channel.h"
#include "os/cp932.h"
#include "os/log.h"
#include "store/profile.h"
#include "store/tree.h"
#include "tests/support/testserver.h"
#include "tests/support/window/running_frame.h"
#include "tests/support/zentu_process.h"
#include "tests/ui/ui_fixture.h"
#include "ui/foldermodel.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"

namespace zentu::testing {
namespace {

std::string LogText() {
  std::string out;
  for (const std::string& line : log::Lines()) out += os::SjisToUtf8(line) + "\n";
  return out;
}

class FrameWindowTest : public WindowFrameHome {
 protected:
  void SetUp() override {
    WindowFrameHome::SetUp();
    // No confirmation on the way out; captures start at once.
    WriteNative("zentu.ini", "[Zentu]\nTimeOut=5\nFinishConfirm=0\nSaveConfirm=0\n"
                             "[DownloadManager]\nDelayOfDownload=0\nShowByDownload=0\n");
    // A frame closed earlier in this process asked the application to quit,
    // which ends every dialog's loop at once; one turn of the main loop clears it.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    (void)QCoreApplication::exec();
  }
};

TEST_F(FrameWindowTest, SecondStartCaptureShowsTheItemAsStarThenWithItsPageTitle) {
  TestServer server;
  // The page takes a while, so the "*" item is on screen before it arrives.
  server.Add({.path = "/page.html",
              .headers = {{"Content-Type", "text/html; charset=UTF-8"}},
              .body = "<html><head><meta charset=\"UTF-8\"><title>取り込んだページ</title></head>"
                      "<body><img src=\"pic.png\"></body></html>\n",
              .delayMs = 800});
  server.Add({.path = "/pic.png", .headers = {{"Content-Type", "image/png"}}, .body = "\x89PNG\r\n\x1a\n"});
  const std::string url = server.Url("/page.html");

  FrameOptions options;
  options.workerIdle = std::chrono::milliseconds(300);
  RunningFrame zentu(std::move(options));
  ASSERT_TRUE(zentu.Started());
  ui::MainWindow* main = zentu.main();
  TreeNode* receive = GetTreeState().receiveFolder;
  ASSERT_NE(receive, nullptr);
  main->SelectFolder(receive);
  ui::ItemListModel* list = main->listModel();
  ASSERT_EQ(list->rowCount(), 0);

  // The second start: the built program, in the same home, without a display.
  ZentuProcess second({"-u", url}, {{"DISPLAY", std::nullopt},
                                    {"WAYLAND_DISPLAY", std::nullopt},
                                    {"QT_QPA_PLATFORM", std::nullopt}});
  ASSERT_TRUE(second.Started());

  auto title = [&] { return list->data(list->index(0, kColumnTitle)).toString(); };
  bool sawStar = false;
  ASSERT_TRUE(WaitUntil(
      [&] {
        if (list->rowCount() != 1) return false;
        if (title() == "*") sawStar = true;
        return title() == QString::fromUtf8("取り込んだページ");
      },
      30000))
      << "rows " << list->rowCount() << "; log:\n" << LogText();
  EXPECT_TRUE(sawStar) << "the item was never shown as \"*\" while its page was on the way";
  EXPECT_EQ(second.Wait(), 0) << second.Output();
  EXPECT_EQ(second.FindLine("# Ready"), -1) << "the second start must not become an instance";

  // The page arrived: its URL and the receive folder's unread count are shown.
  EXPECT_EQ(list->data(list->index(0, kColumnUrl)).toString().toStdString(), url);
  ui::FolderTreeModel* tree = main->treeModel();
  EXPECT_TRUE(WaitUntil([&] {
    return tree->data(tree->IndexOf(receive)).toString() == QString::fromUtf8("未整理フォルダ (1)");
  })) << tree->data(tree->IndexOf(receive)).toString().toStdString();

  EXPECT_EQ(zentu.Quit(), 0);
  EXPECT_FALSE(zentu.frame().WorkersAbandoned());
}

// A start without a tree file offers the first-time setup once the main
// window shows; "No" registers nothing. With one entry registered already it
// asks nothing.
TEST_F(FrameWindowTest, StartWithoutTreeFileAsksAboutTheBrowserIntegrationOverTheMainWindow) {
  for (const bool registered : {false, true}) {
    SCOPED_TRACE(registered ? "one entry registered" : "nothing registered");
    ui::QtDesktop::SetClosing(false);
    std::filesystem::remove(nativeHome + "/default.html");
    std::filesystem::remove(nativeHome + "/registry.dat");
    if (registered) RegisterOneBrowserEntry();
    log::Clear();
    BoxAnswerer no(os::IDNO);
    {
      os::InstanceLock lock = os::AcquireInstanceLock();
      ASSERT_TRUE(lock);
      Frame* running = nullptr;
      std::unique_ptr<FrameUi> windowUi = CreateWindowUi([&running] {
        if (running) running->Close();
      });
      Frame frame(*windowUi, FrameOptions{}, std::move(lock));
      running = &frame;
      ASSERT_EQ(frame.StartUp(), -1);
      EXPECT_TRUE(frame.FirstSetupDue()) << "the start-up itself must not ask";
      ui::MainWindow* main = FindMainWindow();
      ASSERT_NE(main, nullptr);
      EXPECT_TRUE(WaitUntil([&] { return !frame.FirstSetupDue(); }, 20000)) << LogText();
      if (registered) {
        EXPECT_EQ(no.answered, 0) << no.caption.toStdString();
      } else {
        EXPECT_EQ(no.answered, 1);
        EXPECT_EQ(no.caption, QStringLiteral("First Setup"));
        EXPECT_TRUE(no.text.startsWith(QString::fromUtf8("レジストリに登録しますか？"))) << no.text.toStdString();
        EXPECT_EQ(no.parent, main);
      }
      EXPECT_EQ(LogContains(SJ("> レジストリへの登録を行いませんでした")), !registered) << LogText();
      BrowserGroupFlags flags{};
      EXPECT_EQ(QueryBrowserIntegration(flags), registered);
      frame.Close();
      EXPECT_EQ(frame.Finish(0), 0);
    }
    ResetTreeState();
    ResetGroups();
  }
}

}  // namespace
}  // namespace zentu::testing
