// The tree commands in the window: locking the selected items' URLs, the
// group menu's choice, new top-level folders joining the group shown, and
// deleting the list's rows.
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QTreeView>

#include "store/groups.h"
#include "store/locklist.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/foldermodel.h"
#include "ui/iconindex.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"

namespace zentu::testing {
namespace {

void SelectAllRows(ui::AppWindows& w) {
  QTreeView* list = w.mainWindow()->listView();
  list->setFocus();
  QApplication::processEvents();
  list->setCurrentIndex(w.mainWindow()->listModel()->index(0, 0));
  list->selectAll();
}

TEST_F(UiTest, LockGroupAndListDeleteCommandsWorkOnWhatTheUserSelected) {
  TreeNode* a = AddFolder(Root(), "A");
  TreeNode* b = AddFolder(Root(), "B");
  TreeNode* i1 = AddItem(a, "i1", "http://example.jp/one");
  AddItem(a, "i2", "http://example.jp/two");
  ui::AppWindows& w = Open();
  w.ShowMain(1);
  w.SelectFolder(a);
  SelectAllRows(w);
  ASSERT_TRUE(w.mainWindow()->ListPaneActive());

  // Both URLs locked and shown with the locked picture, then free again.
  w.Dispatch(ui::kCmdLockUrl);
  EXPECT_TRUE(IsUrlLocked("http://example.jp/one"));
  EXPECT_TRUE(IsUrlLocked("http://example.jp/two#part"));
  {
    std::lock_guard lock(TreeMutex());
    EXPECT_EQ(ui::NodeDisplayIcon(i1, false), ui::kIconDlUrlLocked);
  }
  w.Dispatch(ui::kCmdUnlockUrl);
  EXPECT_FALSE(IsUrlLocked("http://example.jp/one"));
  EXPECT_FALSE(IsUrlLocked("http://example.jp/two"));

  // Choosing a group hides the other top-level folders; a new top-level
  // folder joins it under the name the user gives.
  TreeNode* group = AddGroup("work");
  ASSERT_NE(AddGroupMember(group, "A"), nullptr);
  w.ChooseGroup("work");
  EXPECT_EQ(CurrentProfile().Group, "work");
  ui::FolderTreeModel* tree = w.mainWindow()->treeModel();
  EXPECT_TRUE(tree->IndexOf(a).isValid());
  EXPECT_FALSE(tree->IndexOf(b).isValid());
  ModalStep<QInputDialog> name([](QInputDialog& d) {
    d.setTextValue(QString::fromUtf8("新規"));
    d.accept();
  });
  TreeNode* made = w.NewFolder(Root());
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(IsGroupMember(group, SJ("新規")));
  EXPECT_TRUE(tree->IndexOf(made).isValid());

  // The list's delete asks once and takes every selected row.
  w.SelectFolder(a);
  SelectAllRows(w);
  BoxAnswerer ok(os::IDOK);
  w.Dispatch(ui::kCmdDeleteItem);
  EXPECT_EQ(ok.answered, 1);
  EXPECT_EQ(ok.text, QString::fromUtf8("削除してよろしいですか？消えますよ"));
  EXPECT_EQ(a->firstChild, nullptr);
  EXPECT_EQ(w.mainWindow()->listModel()->rowCount(), 0);
}

}  // namespace
}  // namespace zentu::testing
