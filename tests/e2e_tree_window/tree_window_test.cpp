// The program's frame with its windows in this process, on a private X
// display: three list rows dragged with the real mouse onto a folder of the
// tree move there, the same drag with a protected row among them moves
// nothing, a folder deleted from the tree is asked about and goes, and the
// tree file written at shutdown holds exactly that collection.
//
// Pictures of the drag, its result and the delete question go to
// $ZENTU_SCREENSHOT_DIR, else to "screenshots" in the working folder.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/e2e_tree_window/display.h"
#include "tests/e2e_window/xsession.h"
#include "tests/support/testhome.h"
#include "tests/support/window/running_frame.h"
#include "ui/appwindows.h"
#include "ui/commands.h"
#include "ui/foldermodel.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"

namespace zentu::testing {

namespace {

bool LogHas(const char* utf8) {
  const std::string text = os::SJ(utf8);
  for (const std::string& line : log::Lines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

std::vector<std::string> Children(const TreeNode* folder) {
  std::vector<std::string> out;
  std::lock_guard lock(TreeMutex());
  for (const TreeNode* c = folder ? folder->firstChild : nullptr; c; c = c->next) out.push_back(os::SjisToUtf8(c->title));
  return out;
}

class TreeWindowTest : public WindowFrameHome {
 protected:
  void SetUp() override {
    WindowFrameHome::SetUp();
    WriteNative("zentu.ini", "[Zentu]\nFinishConfirm=0\nSaveConfirm=0\nSaveAtAddition=0\n");
    out_ = ScreenshotDir();
  }
  void Keep(const QImage& image, const char* name) {
    ASSERT_FALSE(image.isNull()) << name;
    EXPECT_GT(DistinctColours(image), 20) << name << " looks blank";
    EXPECT_TRUE(image.save(QString::fromStdString((out_ / name).string()), "PNG")) << name;
  }
  std::filesystem::path out_;
};

QPoint ListRowPoint(ui::MainWindow* main, int row) {
  QTreeView* list = main->listView();
  const QRect r = list->visualRect(main->listModel()->index(row, 0));
  return list->viewport()->mapToGlobal(QPoint(r.left() + 30, r.center().y()));
}

QPoint TreePoint(ui::MainWindow* main, const TreeNode* folder) {
  QTreeView* tree = main->treeView();
  const QRect r = tree->visualRect(main->treeModel()->IndexOf(folder));
  return tree->viewport()->mapToGlobal(QPoint(r.left() + 30, r.center().y()));
}

// Selects the list's rows `first`..`last` as the user would leave them.
void SelectRows(ui::MainWindow* main, int first, int last) {
  QItemSelectionModel* s = main->listView()->selectionModel();
  ui::ItemListModel* m = main->listModel();
  s->setCurrentIndex(m->index(first, 0), QItemSelectionModel::NoUpdate);
  s->select(QItemSelection(m->index(first, 0), m->index(last, m->columnCount() - 1)),
            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// A real drag on another thread while this one runs the event loop, repeated
// once when `done` did not come about (a lost press).
bool DragUntil(QPoint from, QPoint to, const std::function<bool()>& done, QRect area = {}, QImage* shot = nullptr) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::atomic<bool> finished{false};
    std::thread drag([&] {
      (void)DragPointer(g_x->Name(), from, to, 800, area, shot);
      finished = true;
    });
    const bool ok = WaitUntil([&] { return finished && done(); }, 15000);
    WaitUntil([&] { return finished.load(); }, 15000);
    drag.join();
    if (ok) return true;
  }
  return false;
}

TEST_F(TreeWindowTest, ListRowsDraggedOntoAFolderMoveAndAFolderDeletedAfterTheQuestionIsGoneFromTheFile) {
  ASSERT_NE(g_x, nullptr);
  RunningFrame zentu;
  ASSERT_TRUE(zentu.Started());
  ui::MainWindow* main = zentu.main();
  ui::AppWindows* app = zentu.windows();
  const std::string treeFile = CurrentTreeFileSettings().treeFile;

  // The collection of the test: a source folder of six articles, the fifth
  // protected, a destination, and a folder to delete with something inside.
  TreeNode *dest, *source, *doomed;
  {
    std::lock_guard tree(TreeMutex());
    TreeNode* root = GetTreeState().root;
    dest = CreateNode(os::SJ("移動先"), {}, {}, kNodeFolder);
    source = CreateNode(os::SJ("資料"), {}, {}, kNodeFolder);
    doomed = CreateNode(os::SJ("削除するフォルダ"), {}, {}, kNodeFolder);
    for (TreeNode* f : {dest, source, doomed}) ASSERT_NE(Link(f, root, kLinkLastChild), nullptr);
    for (int i = 1; i <= 6; ++i) {
      TreeNode* item = CreateNode(os::SJ("記事") + std::to_string(i), "http://example.jp/" + std::to_string(i),
                                  {}, kNodeItem);
      SetDownloadFlag(item, kDownloadDone);
      item->isProtected = i == 5;
      ASSERT_NE(Link(item, source, kLinkLastChild), nullptr);
    }
    TreeNode* inner = CreateNode(os::SJ("中のフォルダ"), {}, {}, kNodeFolder);
    ASSERT_NE(Link(inner, doomed, kLinkLastChild), nullptr);
    ASSERT_NE(Link(CreateNode(os::SJ("中の記事"), "http://example.jp/in", {}, kNodeItem), inner, kLinkLastChild),
              nullptr);
  }
  app->Refresh();
  main->setGeometry(0, 0, 1000, 640);
  main->showNormal();
  main->raise();
  main->activateWindow();
  app->SelectFolder(source);
  ASSERT_TRUE(WaitUntil([&] { return main->windowHandle() && main->windowHandle()->isExposed(); }));
  ASSERT_TRUE(WaitUntil([&] { return main->listModel()->rowCount() == 6; }));
  WaitUntil([] { return false; }, 300);  // the first paint settles

  // Three rows onto the destination: they move, in their order.
  SelectRows(main, 0, 2);
  QImage during;
  const QRect area = main->frameGeometry();
  ASSERT_TRUE(DragUntil(ListRowPoint(main, 0), TreePoint(main, dest),
                        [&] { return Children(dest).size() == 3; }, area, &during))
      << "the rows did not move";
  EXPECT_EQ(Children(dest), (std::vector<std::string>{"記事1", "記事2", "記事3"}));
  EXPECT_EQ(Children(source), (std::vector<std::string>{"記事4", "記事5", "記事6"}));
  EXPECT_TRUE(LogHas("> Target"));
  Keep(during, "tree-drag.png");
  ASSERT_TRUE(WaitUntil([&] { return main->listModel()->rowCount() == 3; }));
  app->SelectFolder(dest);
  WaitUntil([] { return false; }, 300);
  Keep(g_x->Grab(main->winId()), "tree-drag-result.png");

  // The other three, the protected one among them: refused, nothing moves.
  app->SelectFolder(source);
  ASSERT_TRUE(WaitUntil([&] { return main->listModel()->rowCount() == 3; }));
  SelectRows(main, 0, 2);
  ASSERT_TRUE(DragUntil(ListRowPoint(main, 0), TreePoint(main, dest),
                        [] { return LogHas("プロテクトされたフォルダは移動できません"); }))
      << "the refusal was never told";
  EXPECT_EQ(Children(dest).size(), 3u);
  EXPECT_EQ(Children(source), (std::vector<std::string>{"記事4", "記事5", "記事6"}));

  // Deleting the folder from the tree asks first; OK deletes it with all inside.
  app->SelectFolder(doomed);
  int asked = 0;
  QString question;
  QTimer answer;
  answer.setInterval(20);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->windowHandle() || !box->windowHandle()->isExposed()) return;
    answer.stop();
    ++asked;
    question = box->text();
    // The question over the main window, as the user sees it.
    for (int i = 0; i < 20; ++i) {
      QApplication::processEvents();
      QThread::msleep(10);
    }
    Keep(g_x->GrabArea(main->frameGeometry()), "tree-delete-confirm.png");
    for (QAbstractButton* b : box->buttons())
      if (b->property("zentuResult").toInt() == os::IDOK) b->click();
  });
  answer.start();
  app->Dispatch(ui::kCmdDeleteTreeFolder);
  answer.stop();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(question, QString::fromUtf8("削除してよろしいですか？"));
  EXPECT_TRUE(WaitUntil([] { return LogHas("削除しました．"); }));
  {
    std::lock_guard tree(TreeMutex());
    EXPECT_EQ(FindByTitle(GetTreeState().root, os::SJ("削除するフォルダ")), nullptr);
    EXPECT_EQ(FindByTitle(GetTreeState().root, os::SJ("中の記事")), nullptr);
  }
  std::vector<std::string> top = Children(GetTreeState().root);

  EXPECT_EQ(zentu.Quit(), 0);

  // The file written at shutdown: the same folders at the top, the moved rows
  // in their new folder, the refused ones where they were, the deleted folder gone.
  ResetTreeState();
  TreeFileSettings settings;
  settings.treeFile = treeFile;
  ASSERT_EQ(LoadTree(treeFile, nullptr, settings).ok, 1);
  TreeNode* root = GetTreeState().root;
  EXPECT_EQ(Children(root), top);
  EXPECT_EQ(std::count(top.begin(), top.end(), "削除するフォルダ"), 0);
  EXPECT_EQ(Children(FindFolderByTitle(root, os::SJ("移動先"), TitleMatch::Whole, true)),
            (std::vector<std::string>{"記事1", "記事2", "記事3"}));
  TreeNode* kept = FindFolderByTitle(root, os::SJ("資料"), TitleMatch::Whole, true);
  EXPECT_EQ(Children(kept), (std::vector<std::string>{"記事4", "記事5", "記事6"}));
  EXPECT_EQ(FindByTitle(root, os::SJ("中の記事")), nullptr);
}

}  // namespace
}  // namespace zentu::testing
