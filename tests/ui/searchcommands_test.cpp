// The search windows: the search dialog fills the result folder and selects it;
// a contents search over many pages runs beside a responsive window, can be
// stopped half-way and started again; the sync folder dialog makes a filled
// sync folder.
#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QMimeData>
#include <QTreeView>
#include <QUrl>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>

#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "search/search.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/foldermodel.h"
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

// 20,000 saved pages of about 20 KB in Shift_JIS, EUC-JP and UTF-8 (some 400 MB
// in the test's own home, removed after). Which pages hold the keyword is
// drawn at random; the expected set is counted again from the bytes on disk,
// each page's keyword in its own encoding, without Zentu's conversion.
TEST_F(UiTest, ContentsSearchStopsHalfWayAndStartsAgainWhileTheWindowRuns) {
  namespace fs = std::filesystem;
  const int pages = 20000;
  const char* encodings[3] = {"CP932", "EUC-JP-MS", "UTF-8"};
  const std::string keywordUtf8 = "探している言葉";
  std::string fillers[3], keywords[3], head[3];
  {
    std::string filler;
    while (filler.size() < 20000) filler += "<p>今日の東京はよく晴れて、気持ちのよい一日でした。Lorem ipsum 123.</p>\n";
    for (int e = 0; e < 3; ++e) {
      ASSERT_TRUE(os::IconvConvert(encodings[e], "UTF-8", filler, fillers[e]));
      ASSERT_TRUE(os::IconvConvert(encodings[e], "UTF-8", keywordUtf8, keywords[e]));
      ASSERT_TRUE(os::IconvConvert(encodings[e], "UTF-8", "<html><head><title>頁</title></head><body>", head[e]));
    }
  }
  // One pass: each folder made once, each page written with one call.
  std::mt19937 random(20261209);
  TreeNode* folder = AddFolder(Root(), "pages");
  const std::string data = nativeHome + "/Data/h";
  std::vector<std::string> locals;
  {
    std::lock_guard lock(TreeMutex());
    std::string page;
    for (int i = 0; i < pages; ++i) {
      const int e = i % 3;
      const std::string dir = "d" + std::to_string(i / 1000);
      if (i % 1000 == 0) fs::create_directories(data + "/" + dir);
      page = head[e];
      page += fillers[e];
      if (random() % 7 == 0) {
        // At a line start somewhere in the page: never inside a character.
        const size_t line = fillers[e].find('\n', random() % fillers[e].size());
        page.insert(head[e].size() + (line == std::string::npos ? 0 : line + 1), keywords[e]);
      }
      page += "</body></html>";
      std::ofstream(data + "/" + dir + "/p" + std::to_string(i) + ".html", std::ios::binary) << page;
      locals.push_back("h\\" + dir + "\\p" + std::to_string(i) + ".html");
      TreeNode* n = CreateNode("p", "http://h/", locals.back(), kNodeItem);
      ASSERT_EQ(Link(n, folder, kLinkLastChild), n);
    }
  }
  std::set<std::string> expected;
  {
    std::string bytes;
    for (int i = 0; i < pages; ++i) {
      std::ifstream in(data + "/d" + std::to_string(i / 1000) + "/p" + std::to_string(i) + ".html", std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), {});
      if (bytes.find(keywords[i % 3]) != std::string::npos) expected.insert(locals[static_cast<size_t>(i)]);
    }
  }
  ASSERT_GT(expected.size(), 2000u);
  CurrentProfile().dirs.data = Path("Data");
  ui::AppWindows& w = Open();
  SearchSettings s;
  s.keyword = os::Utf8ToSjis(keywordUtf8);
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
  EXPECT_LT(halfWay, static_cast<int>(expected.size()));

  ASSERT_TRUE(ui::StartContentsSearch(w, s));
  ASSERT_TRUE(TheContentsSearch().WaitIdle(std::chrono::minutes(10)));
  QApplication::processEvents();
  std::lock_guard lock(TreeMutex());
  std::set<std::string> found;
  for (const TreeNode* c = result->firstChild; c; c = c->next) {
    EXPECT_TRUE(found.insert(c->localFile).second) << c->localFile;  // each page once
    EXPECT_EQ(c->contents.substr(0, s.keyword.size()), s.keyword) << c->localFile;
  }
  EXPECT_EQ(found, expected);
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

// A drop from the file manager, as Qt delivers it to the tree's viewport.
void DropOnTree(ui::AppWindows& w, TreeNode* target, const QStringList& nativePaths) {
  QTreeView* tree = w.mainWindow()->treeView();
  QList<QUrl> urls;
  for (const QString& p : nativePaths) urls << QUrl::fromLocalFile(p);
  QMimeData mime;
  mime.setUrls(urls);
  const QPoint at = tree->visualRect(w.mainWindow()->treeModel()->IndexOf(target)).center();
  QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(tree->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(tree->viewport(), &drop);
  EXPECT_TRUE(drop.isAccepted());
}

TEST_F(UiTest, DirectoryDroppedOnTheTreeBecomesASyncFolderWhenTheUserAgrees) {
  WriteNative("Shelf/note.txt", "n");
  WriteNative("Shelf/page.html", "<title>x</title>");
  WriteNative("Loose/file.txt", "f");
  TreeNode* parent = AddFolder(Root(), "置き場");
  TreeNode* item = AddItem(parent, "item");
  ui::AppWindows& w = Open();
  w.SelectFolder(parent);
  const auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
  };
  {
    // A plain file is no sync folder and asks nothing; the directory asks, with its path as caption.
    BoxAnswerer yes(os::IDYES);
    DropOnTree(w, parent, {QString::fromStdString(nativeHome + "/Loose/file.txt"),
                           QString::fromStdString(nativeHome + "/Shelf")});
    ASSERT_TRUE(waitFor([&] { return yes.answered == 1 && Children(parent) == 2; }));
    EXPECT_EQ(yes.text, QString::fromUtf8("通常のフォルダを同期フォルダとして指定しますか？"));
    EXPECT_EQ(yes.caption.toStdString(), U8(Path("Shelf")));
  }
  {
    std::lock_guard lock(TreeMutex());
    TreeNode* sync = item->next;
    ASSERT_TRUE(IsSyncFolder(sync));
    EXPECT_EQ(sync->title, "Shelf");
    EXPECT_EQ(sync->localFile, Path("Shelf"));
  }
  EXPECT_EQ(w.mainWindow()->CurrentFolder(), item->next);
  EXPECT_EQ(Children(item->next), 2);
  {
    BoxAnswerer no(os::IDNO);
    DropOnTree(w, parent, {QString::fromStdString(nativeHome + "/Loose")});
    ASSERT_TRUE(waitFor([&] { return no.answered == 1; }));
    QApplication::processEvents();
    EXPECT_EQ(Children(parent), 2);
  }
  // Into a sync folder the new one would be lost at the next reload.
  DropOnTree(w, item->next, {QString::fromStdString(nativeHome + "/Loose")});
  ASSERT_TRUE(waitFor([] { return LogContains("Can't make sync folder here"); }));
  EXPECT_EQ(Children(item->next), 2);
}

}  // namespace
}  // namespace zentu::testing
