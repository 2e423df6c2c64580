// The search windows: the search dialog fills the result folder and selects it;
// a contents search over many pages runs beside a responsive window, can be
// stopped half-way and started again; the sync folder dialog makes a filled
// sync folder.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "search/search.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/mainwindow.h"
#include "ui/searchcommands.h"

namespace zentu::testing {
namespace {

void Picture(QWidget& w, const char* name) {
  if (const char* dir = std::getenv("ZENTU_SCREENSHOT_DIR")) w.grab().save(QString::fromUtf8(dir) + "/" + name);
}

int Children(const TreeNode* folder) {
  std::lock_guard lock(TreeMutex());
  int n = 0;
  for (const TreeNode* c = folder->firstChild; c; c = c->next) ++n;
  return n;
}

TEST_F(UiTest, TitleSearchFromTheDialogSelectsTheResults) {
  TreeNode* folder = AddFolder(Root(), "資料");
  AddItem(folder, "Zentu manual");
  AddItem(folder, "other");
  ui::AppWindows& w = Open();
  ModalStep<ui::SearchDialog> step([](ui::SearchDialog& d) {
    EXPECT_EQ(d.windowTitle(), QString::fromUtf8("検索ダイアログ"));
    EXPECT_EQ(d.ignoreA->isEnabled(), d.link->isChecked());
    d.link->setChecked(false);
    EXPECT_FALSE(d.ignoreA->isEnabled());
    d.keyword->setText("MANUAL");
    Picture(d, "search_dialog.png");
    d.accept();
  });
  w.Dispatch(ui::kCmdSearchTitle);
  TreeNode* result = GetTreeState().searchFolder;
  EXPECT_EQ(Children(result), 1);
  EXPECT_EQ(w.mainWindow()->CurrentFolder(), result);
  EXPECT_EQ(CurrentSearchSettings().keyword, "MANUAL");
  EXPECT_FALSE(CurrentProfile().SearchLink);
}

TEST_F(UiTest, ContentsSearchStopsHalfWayAndStartsAgainWhileTheWindowRuns) {
  namespace fs = std::filesystem;
  const int pages = 3000;
  const std::string keyword = SJ("探している言葉");
  std::string filler;
  while (filler.size() < 20000) filler += SJ("<p>今日の東京はよく晴れて、気持ちのよい一日でした。</p>\n");
  TreeNode* folder = AddFolder(Root(), "pages");
  int expected = 0;
  for (int i = 0; i < pages; ++i) {
    std::string page = "<html><title>p</title>" + filler + (i % 7 == 0 ? keyword : "") + "</html>";
    expected += i % 7 == 0;
    WriteNative("Data/h/p" + std::to_string(i) + ".html", page);
    std::lock_guard lock(TreeMutex());
    TreeNode* n = CreateNode("p", "http://h/", "h\\p" + std::to_string(i) + ".html", kNodeItem);
    ASSERT_EQ(Link(n, folder, kLinkLastChild), n);
  }
  CurrentProfile().dirs.data = Path("Data");
  ui::AppWindows& w = Open();
  SearchSettings s;
  s.keyword = keyword;
  s.searchLink = false;
  TreeNode* result = GetTreeState().searchFolder;

  // The window's own timer keeps firing while the worker reads; the first hit
  // it sees stops the search.
  int ticks = 0;
  bool stopped = false;
  QTimer timer;
  timer.setInterval(1);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    if (!stopped && Children(result) > 0) {
      stopped = true;
      TheContentsSearch().Stop();
    }
  });
  timer.start();
  ASSERT_TRUE(ui::StartContentsSearch(w, s));
  EXPECT_EQ(w.mainWindow()->CurrentFolder(), result);
  {
    // A second start while it runs, answered No, leaves the first one alone.
    BoxAnswerer no(os::IDNO);
    EXPECT_FALSE(ui::StartContentsSearch(w, s));
    EXPECT_EQ(no.answered, 1);
    EXPECT_EQ(no.text, QString::fromUtf8("検索中です．検索を中止しますか？"));
  }
  while (TheContentsSearch().Running() || !stopped) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!TheContentsSearch().Running() && !stopped) break;
  }
  timer.stop();
  EXPECT_TRUE(stopped);
  EXPECT_GT(ticks, 0);
  const int halfWay = Children(result);
  EXPECT_GT(halfWay, 0);
  EXPECT_LT(halfWay, expected);

  ASSERT_TRUE(ui::StartContentsSearch(w, s));
  ASSERT_TRUE(TheContentsSearch().WaitIdle(std::chrono::minutes(10)));
  QApplication::processEvents();
  EXPECT_EQ(Children(result), expected);
  std::lock_guard lock(TreeMutex());
  EXPECT_EQ(result->firstChild->contents.substr(0, keyword.size()), keyword);
}

TEST_F(UiTest, SyncFolderDialogMakesAFilledFolder) {
  WriteNative("Mirror/note.txt", "n");
  WriteNative("Mirror/page.html", "<title>x</title>");
  TreeNode* parent = AddFolder(Root(), "同期");
  ui::AppWindows& w = Open();
  w.SelectFolder(parent);
  ModalStep<ui::SyncFolderDialog> step([&](ui::SyncFolderDialog& d) {
    EXPECT_FALSE(d.boxes[3]->isEnabled());
    d.nameEdit->setText(QString::fromUtf8("ミラー"));
    d.dirEdit->setText(QString::fromStdString(nativeHome + "/Mirror"));
    d.boxes[0]->setChecked(true);  // dropped: only kept with the next option
    d.boxes[2]->setChecked(true);
    EXPECT_TRUE(d.boxes[3]->isEnabled());
    Picture(d, "sync_folder_dialog.png");
    EXPECT_TRUE(d.Validate());
    d.accept();
  });
  w.Dispatch(ui::kCmdNewSyncFolder);
  std::lock_guard lock(TreeMutex());
  TreeNode* sync = parent->firstChild;
  ASSERT_TRUE(IsSyncFolder(sync));
  EXPECT_EQ(sync->title, SJ("ミラー"));
  EXPECT_EQ(sync->localFile, Path("Mirror"));
  EXPECT_FALSE(sync->syncOptions[0]);
  EXPECT_TRUE(sync->syncOptions[2]);
  EXPECT_EQ(Children(sync), 2);
}

}  // namespace
}  // namespace zentu::testing
