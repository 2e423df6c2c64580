// The file and help commands of the main window: backups on demand, the
// older-format save, help and documents, the splash, and the auto navigation
// with its timers.
#include <QSplashScreen>
#include <QTreeView>
#include <chrono>
#include <filesystem>
#include <map>

#include "browser/navigation.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "store/profile_bridge.h"
#include "tests/ui/ui_fixture.h"
#include "ui/qttext.h"
#include "ui/commands.h"
#include "ui/filecommands.h"
#include "ui/importcommands.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"
#include "ui/splash.h"

namespace zentu::testing {
namespace {

class FileCommandsTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    CurrentTreeFileSettings() = TreeFileSettingsFrom(CurrentProfile(), {});
    GetTreeState().currentFolder = GetTreeState().root;
  }
  void TearDown() override {
    ui::SetDocumentOpener({});
    ui::SetSaveFileChooser({});
    UiTest::TearDown();
  }
  QString Native(const std::string& path) { return QString::fromUtf8(os::ToNativePath(path)->c_str()); }
};

TEST_F(FileCommandsTest, HelpAndDocumentsOpenWhenTheyExistAndSaySoWhenNot) {
  ui::AppWindows& w = Open();
  std::vector<std::string> opened;
  ui::SetDocumentOpener([&](const std::string& path) {
    opened.push_back(path);
    return true;
  });
  WriteNative("Document/history.txt", "0.99\r\n");
  struct Row {
    int command;
    std::string path;
    bool exists;
  };
  const Row rows[] = {
      {ui::kCmdHelp, Path("zentu.hlp"), false},
      {ui::kCmdShowAbout, Path("Document\\readme.txt"), false},
      {ui::kCmdShowHistory, Path("Document\\history.txt"), true},
      {ui::kCmdShowTodo, Path("Document\\todo.txt"), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    opened.clear();
    BoxAnswerer ok(os::IDOK);
    ASSERT_TRUE(w.Dispatch(row.command));
    if (row.exists) {
      EXPECT_EQ(opened, std::vector<std::string>{row.path});
      EXPECT_EQ(ok.answered, 0);
    } else {
      EXPECT_TRUE(opened.empty());
      EXPECT_EQ(ok.text, ui::U("ヘルプが存在しません．確認してください．"));
    }
  }
  // A desktop that cannot open the file says so too.
  ui::SetDocumentOpener([](const std::string&) { return false; });
  BoxAnswerer ok(os::IDOK);
  EXPECT_FALSE(ui::OpenHelpFile(Path("Document\\history.txt")));
  EXPECT_EQ(ok.answered, 1);
}

TEST_F(FileCommandsTest, OlderFormatGoesWhereChosenButNeverOverTheTreeFile) {
  ui::AppWindows& w = Open();
  const TreeFileSettings& settings = CurrentTreeFileSettings();
  TreeNode* folder = AddFolder(Root(), "並べた");
  AddItem(folder, "項目", "http://a.example/");
  {
    std::lock_guard lock(TreeMutex());
    SetSortMode(folder, kSortTitleAscMixed);
  }
  ASSERT_EQ(SaveTree(settings), 1);
  std::string tree;
  ASSERT_TRUE(os::ReadWholeFile(settings.treeFile, tree));

  QString offered;
  QString answer = Native(Path("Export\\old.html"));
  ui::SetSaveFileChooser([&](const QString&, const QString& start) {
    offered = start;
    return answer;
  });
  ASSERT_TRUE(w.Dispatch(ui::kCmdSaveOlderFormat));
  EXPECT_TRUE(offered.endsWith(QStringLiteral("/Export/default_old.html"))) << offered.toStdString();
  const std::string older = ReadNative("Export/old.html");
  EXPECT_NE(older.find(SJ("EXPAND=\"0\">並べた<UL>")), std::string::npos);
  EXPECT_EQ(older.find("SORT=\"3\""), std::string::npos);

  // The live tree file and its ".bak" are refused; both stay as they were.
  for (const std::string& target : {settings.treeFile, settings.treeFile + ".bak"}) {
    SCOPED_TRACE(target);
    answer = Native(target);
    BoxAnswerer ok(os::IDOK);
    ASSERT_TRUE(w.Dispatch(ui::kCmdSaveOlderFormat));
    EXPECT_TRUE(ok.text.startsWith(ui::U("使用中のツリーファイルには旧形式で保存できません．")));
  }
  std::string after;
  ASSERT_TRUE(os::ReadWholeFile(settings.treeFile, after));
  EXPECT_EQ(after, tree);
  // Cancelled: nothing at all.
  answer.clear();
  ASSERT_TRUE(w.Dispatch(ui::kCmdSaveOlderFormat));
}

TEST_F(FileCommandsTest, BackupOnDemandWritesTodaysCopy) {
  ui::AppWindows& w = Open();
  clock.now = 1171238400 + 3600 * 12;  // 2007-02-12 noon
  ASSERT_TRUE(w.Dispatch(ui::kCmdBackupNow));
  const std::string copy = os::JoinPath(CurrentProfile().dirs.backup, "20070212.html");
  EXPECT_TRUE(os::FileExists(copy));
  EXPECT_TRUE(w.mainWindow()->StatusPart(0).contains(QStringLiteral("20070212.html")));
  EXPECT_TRUE(LogContains("# Backup MyZentu File : " + copy));
  // Saving switched off: the command says why nothing happened.
  CurrentTreeFileSettings().flagSave = false;
  BoxAnswerer ok(os::IDOK);
  ASSERT_TRUE(w.Dispatch(ui::kCmdBackupNow));
  EXPECT_EQ(ok.answered, 1);
}

TEST_F(FileCommandsTest, ABackupIsImportedFromTheBackupDirectory) {
  ui::AppWindows& w = Open();
  clock.now = 1171238400 + 3600 * 12;
  AddItem(Receive(), "控え", "http://kept.example/");
  ASSERT_TRUE(w.Dispatch(ui::kCmdBackupNow));
  const std::string copy = os::JoinPath(CurrentProfile().dirs.backup, "20070212.html");
  std::vector<ui::ImportRequest> asked;
  ui::SetImportFileChooser([&](const ui::ImportRequest& r) {
    asked.push_back(r);
    return Native(copy);
  });
  w.SelectFolder(Root());
  ASSERT_TRUE(w.Dispatch(ui::kCmdImportBackup));
  ui::SetImportFileChooser({});
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].start, Native(CurrentProfile().dirs.backup));
  TreeNode* imported = Root()->lastChild;
  ASSERT_NE(imported, nullptr);
  EXPECT_EQ(imported->property, kPropertyImportFolder);
  // Its receive folder came in as an ordinary folder holding the item.
  ASSERT_NE(imported->firstChild, nullptr);
  EXPECT_EQ(imported->firstChild->property, kPropertyFolder);
  ASSERT_NE(imported->firstChild->lastChild, nullptr);
  EXPECT_EQ(imported->firstChild->lastChild->url, "http://kept.example/");
  EXPECT_EQ(GetTreeState().receiveFolder, Receive());
}

TEST_F(FileCommandsTest, AutoNavigationOpensEachItemInTurnAndEnds) {
  CurrentProfile().AutoNavigateTiming = 7;
  TreeNode* folder = AddFolder(Root(), "巡回");
  TreeNode* a = AddItem(folder, "一", "http://a.example/", true);
  AddFolder(folder, "中のフォルダ");
  TreeNode* b = AddItem(folder, "二", "http://b.example/", true);
  ui::AppWindows& w = Open();
  // The frame's timer table, recorded.
  struct Set {
    std::chrono::milliseconds period;
    std::function<void()> step;
    bool singleShot;
  };
  std::map<int, Set> running;
  std::vector<int> killed;
  w.UseTimers([&](int id, std::chrono::milliseconds period, std::function<void()> step,
                  bool singleShot) { running[id] = {period, std::move(step), singleShot}; },
              [&](int id) {
                running.erase(id);
                killed.push_back(id);
              });
  w.SelectFolder(folder);
  ASSERT_TRUE(w.Dispatch(ui::kCmdAutoNavigateStart));
  ASSERT_EQ(running.count(kAutoNavigateTimer), 1u);
  EXPECT_EQ(running[kAutoNavigateTimer].period, std::chrono::seconds(7));
  EXPECT_FALSE(running[kAutoNavigateTimer].singleShot);

  QTreeView* list = w.mainWindow()->listView();
  auto tick = [&] {
    std::function<void()> step = running.at(kAutoNavigateTimer).step;
    step();
  };
  tick();
  EXPECT_EQ(w.mainWindow()->listModel()->NodeAt(list->currentIndex().row()), a);
  EXPECT_FALSE(a->unread);  // opened, so read
  EXPECT_TRUE(LogContains("auto navigate"));
  // The focus comes back to the list by the one-shot timer.
  ASSERT_EQ(running.count(kFocusBackTimer), 1u);
  EXPECT_TRUE(running[kFocusBackTimer].singleShot);
  std::function<void()> focusBack = running[kFocusBackTimer].step;
  focusBack();
  EXPECT_EQ(running.count(kFocusBackTimer), 0u);  // it killed itself

  tick();  // past the folder to the next item
  EXPECT_EQ(w.mainWindow()->listModel()->NodeAt(list->currentIndex().row()), b);
  EXPECT_FALSE(b->unread);
  tick();  // nothing after it: the navigation ends
  EXPECT_EQ(running.count(kAutoNavigateTimer), 0u);
  EXPECT_FALSE(w.autoNavigating);

  // Ended by its command.
  ASSERT_TRUE(w.Dispatch(ui::kCmdAutoNavigateStart));
  ASSERT_TRUE(w.Dispatch(ui::kCmdAutoNavigateStop));
  EXPECT_EQ(running.count(kAutoNavigateTimer), 0u);
  EXPECT_EQ(w.mainWindow()->StatusPart(0), ui::U("オートナビゲート終了"));
}

TEST_F(FileCommandsTest, SplashShowsTheProgramsPictureOrItsOwnAndClosesItself) {
  for (bool ownFile : {false, true}) {
    SCOPED_TRACE(ownFile);
    if (ownFile) {
      QImage picture(123, 45, QImage::Format_RGB32);
      picture.fill(Qt::darkGreen);
      ASSERT_TRUE(picture.save(Native(Path("startup.bmp")), "BMP"));
    }
    std::unique_ptr<QWidget> splash = ui::ShowSplash(std::chrono::milliseconds(50));
    ASSERT_TRUE(splash);
    EXPECT_TRUE(splash->isVisible());
    if (ownFile) {
      EXPECT_EQ(splash->size(), QSize(123, 45));
    }
    EXPECT_TRUE(WaitUntil([&] { return !splash->isVisible(); }));
  }
}

}  // namespace
}  // namespace zentu::testing
