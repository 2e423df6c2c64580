// The main window: the tree and list views follow the collection, commands,
// the title, and the close confirmation.
#include <QHeaderView>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTreeView>
#include <atomic>
#include <random>
#include <unordered_set>
#include <thread>

#include "os/cp932.h"
#include "os/log.h"
#include "store/customicons.h"
#include "store/groups.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/foldermodel.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"
#include "ui/treeicons.h"
#include "ui/iconindex.h"

namespace zentu::testing {
namespace {

QString ListTitle(ui::AppWindows& w, int row) {
  ui::ItemListModel* m = w.mainWindow()->listModel();
  return m->data(m->index(row, kColumnTitle)).toString();
}

QStringList ListTitles(ui::AppWindows& w) {
  QStringList out;
  for (int r = 0; r < w.mainWindow()->listModel()->rowCount(); ++r) out << ListTitle(w, r);
  return out;
}

QString TreeText(ui::AppWindows& w, const TreeNode* folder) {
  ui::FolderTreeModel* m = w.mainWindow()->treeModel();
  return m->data(m->IndexOf(folder)).toString();
}

// The model's folders, depth first, each as "title/depth".
QStringList ModelShape(ui::FolderTreeModel* m, const QModelIndex& parent = {}, int depth = 0) {
  QStringList out;
  for (int r = 0; r < m->rowCount(parent); ++r) {
    QModelIndex i = m->index(r, 0, parent);
    EXPECT_EQ(m->parent(i), parent);
    TreeNode* n = m->NodeAt(i);
    out << QString::fromStdString(n->title) + "/" + QString::number(depth);
    out += ModelShape(m, i, depth + 1);
  }
  return out;
}

QStringList CollectionShape(const TreeNode* folder, int depth = 0) {
  QStringList out{QString::fromStdString(folder->title) + "/" + QString::number(depth)};
  for (TreeNode* c : ui::FolderTreeModel::ShownChildren(folder)) out += CollectionShape(c, depth + 1);
  return out;
}

TEST_F(UiTest, SelectingAFolderFillsTheListInItsSortOrder) {
  TreeNode* sorted = AddFolder(Root(), "ソート済み");
  TreeNode* plain = AddFolder(Root(), "そのまま");
  // Linked in an order the folder's mode does not keep; the mode is applied when shown.
  const char* titles[] = {"ねこ", "あひる", "Zebra", "いぬ", "apple"};
  for (const char* t : titles) AddItem(sorted, t);
  AddFolder(sorted, "かばん");
  for (const char* t : titles) AddItem(plain, t);
  {
    std::lock_guard lock(TreeMutex());
    ASSERT_TRUE(SetSortMode(sorted, kSortTitleAscMixed));
  }
  GetTreeState().modified = false;

  ui::AppWindows& w = Open();
  w.SelectFolder(sorted);
  QStringList want;
  for (const char* t : {"apple", "Zebra", "あひる", "いぬ", "かばん", "ねこ"}) want << QString::fromUtf8(t);
  EXPECT_EQ(ListTitles(w), want);
  EXPECT_EQ(GetTreeState().currentFolder, sorted);
  EXPECT_EQ(w.mainWindow()->CurrentFolder(), sorted);
  EXPECT_TRUE(GetTreeState().modified.load());  // the order changed
  // Opening it again in the same order is no change of the collection.
  GetTreeState().modified = false;
  w.SelectFolder(plain);
  w.SelectFolder(sorted);
  EXPECT_FALSE(GetTreeState().modified.load());

  // A folder without a mode keeps the collection's order; folders show in the list too.
  w.SelectFolder(plain);
  QStringList asLinked;
  for (const char* t : titles) asLinked << QString::fromUtf8(t);
  EXPECT_EQ(ListTitles(w), asLinked);

  // The sort command orders the current folder and the list follows.
  EXPECT_TRUE(w.Dispatch(ui::SortCommand(kSortTitleDescItemsFirst)));
  QStringList descending;
  for (const char* t : {"ねこ", "いぬ", "あひる", "Zebra", "apple"}) descending << QString::fromUtf8(t);
  EXPECT_EQ(ListTitles(w), descending);
  EXPECT_EQ(plain->sortMode, kSortTitleDescItemsFirst);
  EXPECT_TRUE(w.mainWindow()->action(ui::SortCommand(kSortTitleDescItemsFirst))->isChecked());
}

TEST_F(UiTest, ItemAddedFromAnotherThreadAppearsAndTakesItsPageTitle) {
  ui::AppWindows& w = Open();
  w.SelectFolder(Receive());
  ASSERT_EQ(w.mainWindow()->listModel()->rowCount(), 0);

  std::atomic<TreeNode*> made{nullptr};
  // As a capture does it: the "*" item under the tree lock; the tree tells the views.
  std::thread channel([&] {
    TreeNode* item;
    {
      std::lock_guard lock(TreeMutex());
      item = CreateNode("*", "http://127.0.0.1/page.html", {}, kNodeItem);
      SetProperty(item, kPropertyUrlItem);
      SetDownloadFlag(item, kDownloadChanged);
      ASSERT_TRUE(AddItemToFolder(GetTreeState().receiveFolder, item));
    }
    made = item;
  });
  channel.join();
  ASSERT_TRUE(WaitUntil([&] { return w.mainWindow()->listModel()->rowCount() == 1; }));
  EXPECT_EQ(ListTitle(w, 0), "*");
  EXPECT_EQ(w.mainWindow()->listModel()->NodeAt(0), made.load());

  // The page arrives: title, flags and unread state change on a worker.
  std::thread worker([&] {
    TreeNode* item = made.load();
    {
      std::lock_guard lock(TreeMutex());
      SetTitle(item, SJ("取り込んだページ"));
      SetDownloadFlag(item, kDownloadDone);
      SetSize(item, 1234);
      SetUnreadFlag(item, true);
    }
  });
  worker.join();
  ASSERT_TRUE(WaitUntil([&] { return ListTitle(w, 0) == QString::fromUtf8("取り込んだページ"); }));
  ui::ItemListModel* m = w.mainWindow()->listModel();
  EXPECT_EQ(m->data(m->index(0, kColumnSize)).toString(), "1234");
  EXPECT_TRUE(m->data(m->index(0, kColumnTitle), Qt::FontRole).value<QFont>().bold());
  // The unread count reached the tree.
  EXPECT_EQ(TreeText(w, Receive()), QString::fromUtf8("未整理フォルダ (1)"));
}

// A stored title keeps references for what code page 932 cannot hold; the
// list and the tree show the characters.
TEST_F(UiTest, TitlesShowTheCharactersTheirReferencesStandFor) {
  TreeNode* folder = AddFolder(Root(), "Caf&#233; &amp;amp;");
  AddItem(folder, "Apache Ant&#8482; &amp;trade;", "http://127.0.0.1/ant.html", false);
  ui::AppWindows& w = Open();
  EXPECT_EQ(TreeText(w, folder), QString::fromUtf8("Caf\u00E9 &amp;"));
  w.SelectFolder(folder);
  ASSERT_TRUE(WaitUntil([&] { return w.mainWindow()->listModel()->rowCount() == 1; }));
  EXPECT_EQ(ListTitle(w, 0), QString::fromUtf8("Apache Ant\u2122 &trade;"));
}

// A title as a capture of a UTF-8 documentation page stores it (references
// for what code page 932 lacks) comes back from the tree file and shows as
// the page's own title in the list.
TEST_F(UiTest, CapturedTitleShowsAsThePageDidAfterTheTreeFile) {
  TreeNode* item = AddItem(Receive(), "", "http://127.0.0.1/doc/index.html", false);
  {
    std::lock_guard lock(TreeMutex());
    SetTitle(item, SJ("組み込み型 &#8212; Python 3.12 &#8482; ドキュメント"));
  }
  TreeFileSettings settings;
  settings.treeFile = Path("tree.html");
  settings.dataDirectory = Path("Data");
  ASSERT_EQ(SaveTree(settings.treeFile, Root(), settings), 1);
  ResetTreeState();
  ASSERT_EQ(LoadTree(settings.treeFile, nullptr, settings).ok, 1);
  ui::AppWindows& w = Open();
  w.SelectFolder(Receive());
  ASSERT_TRUE(WaitUntil([&] { return w.mainWindow()->listModel()->rowCount() == 1; }));
  EXPECT_EQ(ListTitle(w, 0), QString::fromUtf8("組み込み型 \u2014 Python 3.12 \u2122 ドキュメント"));
}

TEST_F(UiTest, TreeShowsListedFoldersWithUnreadCountsAndIcons) {
  TreeNode* news = AddFolder(Root(), "ニュース");
  TreeNode* sub = AddFolder(news, "国内");
  AddItem(sub, "記事1", "http://a/1", true);
  AddItem(sub, "記事2", "http://a/2", true);
  AddItem(news, "記事3", "http://a/3", false);
  TreeNode* hidden = AddFolder(Root(), "趣味");
  {
    std::lock_guard lock(TreeMutex());
    sub->expanded = true;
    news->expanded = true;
  }
  AddGroup(SJ("仕事"));
  AddGroupMember(FindGroup(SJ("仕事")), SJ("ニュース"));
  ASSERT_EQ(ApplyGroup(SJ("仕事")), 1);

  ui::AppWindows& w = Open();
  EXPECT_EQ(TreeText(w, news), QString::fromUtf8("ニュース (2)"));
  EXPECT_EQ(TreeText(w, sub), QString::fromUtf8("国内 (2)"));
  EXPECT_FALSE(w.mainWindow()->treeModel()->IndexOf(hidden).isValid());
  EXPECT_TRUE(w.mainWindow()->treeView()->isExpanded(w.mainWindow()->treeModel()->IndexOf(news)));
  EXPECT_EQ(ModelShape(w.mainWindow()->treeModel()), CollectionShape(Root()));

  // Icons: the selected folder open, the others closed; the receive folder its own.
  w.SelectFolder(news);
  ui::FolderTreeModel* m = w.mainWindow()->treeModel();
  ui::TreeImageList& icons = ui::TreeImageList::Get();
  auto iconKey = [&](const TreeNode* n) {
    return m->data(m->IndexOf(n), Qt::DecorationRole).value<QIcon>().pixmap(16).toImage();
  };
  EXPECT_EQ(iconKey(news), icons.Icon(ui::kIconFolderOpen).pixmap(16).toImage());
  EXPECT_EQ(iconKey(sub), icons.Icon(ui::kIconFolderClose).pixmap(16).toImage());
  EXPECT_EQ(iconKey(Receive()), icons.Icon(ui::kIconReceiveFolderClose).pixmap(16).toImage());

  // Back to every folder: the group's filter is lifted and the tree rebuilt.
  ApplyGroup("no such group");
  w.ShowCurrentGroup(news);
  EXPECT_TRUE(m->IndexOf(hidden).isValid());
  EXPECT_EQ(w.mainWindow()->CurrentFolder(), news);

  // Reading an item lowers the counts on the way up.
  w.SelectFolder(sub);
  w.mainWindow()->listView()->setCurrentIndex(w.mainWindow()->listModel()->index(0, 0));
  EXPECT_TRUE(w.Dispatch(ui::kCmdSetRead));
  EXPECT_EQ(TreeText(w, news), QString::fromUtf8("ニュース (1)"));
  EXPECT_TRUE(w.Dispatch(ui::kCmdSetUnread));
  EXPECT_EQ(TreeText(w, sub), QString::fromUtf8("国内 (2)"));
}

// Random changes of the collection, each followed by a refresh: the model must
// always have the collection's shape, and the list the current folder's children.
TEST_F(UiTest, ViewsFollowRandomChangesOfTheCollection) {
  std::mt19937 rng(20070212);
  std::vector<TreeNode*> folders{Root()};
  for (int i = 0; i < 30; ++i) {
    TreeNode* parent = folders[rng() % folders.size()];
    folders.push_back(AddFolder(parent, ("f" + std::to_string(i)).c_str()));
    AddItem(folders.back(), ("i" + std::to_string(i)).c_str(), "", rng() % 2);
  }
  ui::AppWindows& w = Open();
  auto liveFolders = [&] {
    std::vector<TreeNode*> out;
    for (TreeNode* n = Root(); n; n = NextInPreorder(n, Root()))
      if (IsFolder(n) || IsRoot(n)) out.push_back(n);
    return out;
  };
  for (int step = 0; step < 400; ++step) {
    std::vector<TreeNode*> all = liveFolders();
    TreeNode* a = all[rng() % all.size()];
    TreeNode* b = all[rng() % all.size()];
    // What the changing code reports, as it would through the Desktop; freeing
    // nodes is followed by a whole refresh instead.
    std::unordered_set<const void*> reported{a};
    bool freed = false;
    {
      std::lock_guard lock(TreeMutex());
      switch (rng() % 7) {
        case 0: {
          TreeNode* n = CreateNode("new" + std::to_string(step), {}, {}, kNodeFolder);
          if (!Link(n, a, kLinkLastChild)) DestroyNode(n);
          else reported.insert(n);
          break;
        }
        case 1:
          if (IsFolder(b) && !b->isProtected && !IsInSubtree(a, b)) {
            reported.insert(b->parent);
            MoveNode(b, a);
            reported.insert(b);
          }
          break;
        case 2:
          if (IsFolder(b) && !b->isProtected) {
            DestroyNode(b);
            freed = true;
          }
          break;
        case 3:
          if (IsFolder(b) && b->parent) {
            b->listed = !b->listed;
            reported.insert(b);
            reported.insert(b->parent);
          }
          break;
        case 4:
          SortChildren(a, kSortTitleDescFoldersFirst + (rng() % 2));
          break;
        case 5: {
          TreeNode* n = CreateNode("item" + std::to_string(step), {}, {}, kNodeItem);
          if (!AddItemToFolder(a, n)) DestroyNode(n);
          else reported.insert(n);
          break;
        }
        case 6:
          SetTitle(a, "t" + std::to_string(step));
          break;
      }
    }
    if (freed) w.Refresh();
    else w.SyncViews(reported);
    if (step % 3 == 0) w.SelectFolder(liveFolders()[rng() % liveFolders().size()]);
    ASSERT_EQ(ModelShape(w.mainWindow()->treeModel()), CollectionShape(Root())) << "step " << step;
    TreeNode* current = w.mainWindow()->CurrentFolder();
    ASSERT_NE(current, nullptr);
    std::vector<TreeNode*> rows = ui::ItemListModel::ShownChildren(current, true);
    ASSERT_EQ(w.mainWindow()->listModel()->rows(), rows) << "step " << step;
    QApplication::processEvents();
  }
}

TEST_F(UiTest, TitleNamesTheCurrentFolder) {
  Profile& p = CurrentProfile();
  EXPECT_EQ(ui::WindowTitleText(p, {}), "Zentu v0.99M");
  EXPECT_EQ(ui::WindowTitleText(p, "Page"), "Zentu v0.99M [Page]");
  p.ShowVersionOnTitleBar = false;
  EXPECT_EQ(ui::WindowTitleText(p, "Page"), "Zentu  [Page]");
  p.ShowVersionOnTitleBar = true;

  ui::AppWindows& w = Open();
  w.SelectFolder(Receive());
  EXPECT_EQ(w.mainWindow()->windowTitle(), QString::fromUtf8("Zentu v0.99M [未整理フォルダ]"));
}

TEST_F(UiTest, CloseConfirmationNoKeepsEverythingRunning) {
  Profile& p = CurrentProfile();
  p.FinishConfirm = true;
  int shutdowns = 0;
  ui::AppWindows& w = Open([&] { ++shutdowns; });
  w.ShowMain(1);
  ASSERT_TRUE(WaitUntil([&] { return w.mainWindow()->isVisible(); }));
  TreeNode* item = AddItem(Receive(), "before");
  GetTreeState().modified = false;

  {
    BoxAnswerer no(os::IDNO);
    w.mainWindow()->close();
    ASSERT_EQ(no.answered, 1);
    EXPECT_EQ(no.text, QString::fromUtf8("終了してもよいですか"));
    EXPECT_EQ(no.caption, QString::fromUtf8("終了確認"));
    EXPECT_EQ(no.buttons.size(), 2);
  }
  EXPECT_EQ(shutdowns, 0);
  EXPECT_FALSE(w.closing());
  EXPECT_TRUE(w.mainWindow()->isVisible());
  EXPECT_FALSE(ui::QtDesktop::Closing());
  EXPECT_FALSE(GetTreeState().modified.load());  // nothing saved, nothing touched
  // Still running: a worker's change reaches the views.
  std::thread([&] {
    {
      std::lock_guard lock(TreeMutex());
      SetTitle(item, "after");
    }
  }).join();
  w.SelectFolder(Receive());
  ASSERT_TRUE(WaitUntil([&] { return ListTitle(w, 0) == "after"; }));

  // The exit command asks the same; Yes runs the shutdown once and keeps the layout.
  w.mainWindow()->listView()->header()->resizeSection(kColumnUrl, 333);
  {
    BoxAnswerer yes(os::IDYES);
    EXPECT_TRUE(w.Dispatch(ui::kCmdExit));
    EXPECT_EQ(yes.answered, 1);
  }
  EXPECT_EQ(shutdowns, 1);
  EXPECT_TRUE(w.closing());
  EXPECT_EQ(p.ColumnWidth[0][kColumnUrl], 333);
  w.RequestClose();
  EXPECT_EQ(shutdowns, 1);
  ui::QtDesktop::SetClosing(false);
}

TEST_F(UiTest, CloseButtonMinimisesWhenTheProfileSaysSo) {
  Profile& p = CurrentProfile();
  p.MinimizeByCloseButton = true;
  int shutdowns = 0;
  ui::AppWindows& w = Open([&] { ++shutdowns; });
  w.ShowMain(1);
  w.mainWindow()->close();
  EXPECT_EQ(shutdowns, 0);
  EXPECT_TRUE(w.mainWindow()->isMinimized());
  // Minimised to the tray only when there is a tray to come back from.
  p.MinimizeOnlyTasktray = true;
  w.RaiseMain();
  w.mainWindow()->showMinimized();
  QApplication::processEvents();
  EXPECT_EQ(w.tray()->isVisible(), false);
  EXPECT_FALSE(w.mainWindow()->isHidden());
  // Without a confirmation the exit command shuts down at once.
  p.FinishConfirm = false;
  w.Dispatch(ui::kCmdExit);
  EXPECT_EQ(shutdowns, 1);
  ui::QtDesktop::SetClosing(false);
}

TEST_F(UiTest, ListColumnsFollowTheProfile) {
  Profile& p = CurrentProfile();
  p.ColumnArray = {6, 0, 1, 2, 3, 4, 5};
  p.ColumnWidth[0] = {300, 200, 50, 100, 110, 40, 90};
  p.NameOfTitle = SJ("題名");
  p.ListMarkTextColor[2] = {1, 2, 3};
  p.FolderTextColor = {9, 8, 7};
  TreeNode* folder = AddFolder(Receive(), "中のフォルダ");
  TreeNode* item = AddItem(Receive(), "印付き", "http://example.jp/");
  {
    std::lock_guard lock(TreeMutex());
    SetMark(item, 3);
  }
  ui::AppWindows& w = Open();
  w.SelectFolder(Receive());
  QHeaderView* header = w.mainWindow()->listView()->header();
  for (int v = 0; v < kListColumnCount; ++v) EXPECT_EQ(header->logicalIndex(v), p.ColumnArray[v]);
  EXPECT_EQ(header->sectionSize(kColumnTitle), 300);
  ui::ItemListModel* m = w.mainWindow()->listModel();
  EXPECT_EQ(m->headerData(kColumnTitle, Qt::Horizontal).toString(), QString::fromUtf8("題名"));
  const int itemRow = m->RowOf(item), folderRow = m->RowOf(folder);
  EXPECT_EQ(m->data(m->index(itemRow, kColumnMark)).toString(), QString::fromStdString(U8(p.NameOfMark[3])));
  EXPECT_EQ(m->data(m->index(itemRow, 0), Qt::ForegroundRole).value<QBrush>().color(), QColor(1, 2, 3));
  EXPECT_EQ(m->data(m->index(folderRow, 0), Qt::ForegroundRole).value<QBrush>().color(), QColor(9, 8, 7));

  // The user's rearrangement is what the profile keeps.
  header->moveSection(header->visualIndex(kColumnUrl), 0);
  w.StoreGeometry(p);
  EXPECT_EQ(p.ColumnArray[0], kColumnUrl);
  EXPECT_EQ(p.ColumnArray[1], kColumnContents);
  // Mark commands act on the selection.
  w.mainWindow()->listView()->setCurrentIndex(m->index(itemRow, 0));
  EXPECT_TRUE(w.Dispatch(ui::kCmdClearMark));
  EXPECT_EQ(item->mark, 0);
  EXPECT_TRUE(w.Dispatch(ui::kCmdSetMarkFirst + 8));
  EXPECT_EQ(item->mark, 9);
}

TEST_F(UiTest, WorkerMessageBoxWaitsForTheAnswer) {
  Open();
  std::atomic<int> result{0};
  {
    BoxAnswerer no(os::IDNO);
    std::thread worker([&] {
      result = os::MessageBox(SJ("続けますか"), SJ("確認"), os::Buttons::YesNo, os::IDYES);
    });
    ASSERT_TRUE(WaitUntil([&] { return result.load() != 0; }));
    worker.join();
    EXPECT_EQ(no.text, QString::fromUtf8("続けますか"));
  }
  EXPECT_EQ(result.load(), os::IDNO);

  // While closing, a worker's question is answered with its default at once.
  ui::QtDesktop::SetClosing(true);
  std::thread([&] { result = os::MessageBox(SJ("続けますか"), SJ("確認"), os::Buttons::YesNo, os::IDYES); }).join();
  EXPECT_EQ(result.load(), os::IDYES);
  ui::QtDesktop::SetClosing(false);
}

TEST_F(UiTest, EveryImageListEntryIsDrawn) {
  ui::TreeImageList& icons = ui::TreeImageList::Get();
  EXPECT_TRUE(icons.ok());
  for (int i = 0; i < ui::kIconCount; ++i) {
    QIcon icon = icons.Icon(i);
    ASSERT_FALSE(icon.isNull()) << ui::kTreeIconFiles[i];
    QImage image = icon.pixmap(16).toImage();
    int painted = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) painted += qAlpha(image.pixel(x, y)) > 0;
    EXPECT_GT(painted, 40) << ui::kTreeIconFiles[i];
  }
  EXPECT_FALSE(icons.AppIcon().isNull());
  // A folder whose custom icon cannot be drawn shows its ordinary icon.
  TreeNode* folder = AddFolder(Root(), "custom");
  folder->customOpenIcon = folder->customCloseIcon = 5;  // no such custom image
  EXPECT_EQ(icons.NodeIcon(folder, false).pixmap(16).toImage(), icons.Icon(ui::kIconFolderClose).pixmap(16).toImage());
}

}  // namespace
}  // namespace zentu::testing
