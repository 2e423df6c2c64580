// Rename, new folder and properties: what the user types reaches the
// collection as one clean line, refusals say why, and nothing is lost.
#include <QInputDialog>
#include <QLineEdit>
#include <QTreeView>

#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/foldermodel.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"

namespace zentu::testing {
namespace {

using InputStep = ModalStep<QInputDialog>;
using DialogStep = ModalStep<QDialog>;

QStringList ListTitles(ui::AppWindows& w) {
  QStringList out;
  ui::ItemListModel* m = w.mainWindow()->listModel();
  for (int r = 0; r < m->rowCount(); ++r) out << m->data(m->index(r, kColumnTitle)).toString();
  return out;
}

void FocusListRow(ui::AppWindows& w, int row) {
  QTreeView* list = w.mainWindow()->listView();
  list->setFocus();
  QApplication::processEvents();
  list->setCurrentIndex(w.mainWindow()->listModel()->index(row, 0));
}

TEST_F(UiTest, RenameFromTheListKeepsTheFolderOrderAndRefusesEmptyNames) {
  TreeNode* folder = AddFolder(Root(), "資料");
  SetSortMode(folder, kSortTitleAscItemsFirst);
  AddItem(folder, "あ", "http://a/");
  TreeNode* b = AddItem(folder, "い", "http://b/");
  AddItem(folder, "う", "http://c/");
  ui::AppWindows& w = Open();
  w.ShowMain(1);
  w.SelectFolder(folder);
  FocusListRow(w, 1);
  ASSERT_EQ(w.TargetNode(), b);
  GetTreeState().modified = false;

  // Line breaks become spaces; the folder sorts by title, so the item moves.
  InputStep rename([](QInputDialog& d) {
    EXPECT_EQ(d.textValue(), QString::fromUtf8("い"));
    d.setTextValue(QString::fromUtf8("ん\n最後"));
    d.accept();
  });
  w.Dispatch(ui::kCmdRename);
  EXPECT_EQ(rename.ran, 1);
  EXPECT_EQ(b->title, SJ("ん 最後"));
  EXPECT_TRUE(GetTreeState().modified.load());
  EXPECT_EQ(ListTitles(w), (QStringList{QString::fromUtf8("あ"), QString::fromUtf8("う"), QString::fromUtf8("ん 最後")}));

  // Cancel and an empty name change nothing; the empty name is explained.
  InputStep cancel([](QInputDialog& d) { d.reject(); });
  EXPECT_FALSE(w.RenameNode(b));
  BoxAnswerer told(os::IDOK);
  InputStep empty([](QInputDialog& d) {
    d.setTextValue("   ");
    d.accept();
  });
  EXPECT_FALSE(w.RenameNode(b));
  EXPECT_EQ(told.answered, 1);
  EXPECT_EQ(b->title, SJ("ん 最後"));

  // The root keeps its name, and says so without asking.
  BoxAnswerer rootTold(os::IDOK);
  EXPECT_FALSE(w.RenameNode(Root()));
  EXPECT_EQ(rootTold.answered, 1);
}

TEST_F(UiTest, NewFolderIsNamedAtOnceAndRefusedWhereTheProgramFillsTheFolder) {
  TreeNode* parent = AddFolder(Root(), "親");
  ui::AppWindows& w = Open();
  w.SelectFolder(parent);
  InputStep name([](QInputDialog& d) {
    EXPECT_EQ(d.textValue(), QString::fromUtf8("新しいフォルダ"));
    d.setTextValue(QString::fromUtf8("子"));
    d.accept();
  });
  w.Dispatch(ui::kCmdNewFolder);
  ASSERT_NE(parent->firstChild, nullptr);
  EXPECT_TRUE(IsFolder(parent->firstChild));
  EXPECT_EQ(parent->firstChild->title, SJ("子"));
  EXPECT_EQ(w.mainWindow()->CurrentFolder(), parent->firstChild);
  ui::FolderTreeModel* tree = w.mainWindow()->treeModel();
  EXPECT_TRUE(tree->IndexOf(parent->firstChild).isValid());

  // Cancelling the name keeps the folder under its first name.
  InputStep cancel([](QInputDialog& d) { d.reject(); });
  TreeNode* second = w.NewFolder(parent);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->title, SJ("新しいフォルダ"));

  TreeNode* search = nullptr;
  for (TreeNode* n = Root()->firstChild; n; n = n->next)
    if (IsSearchFolder(n)) search = n;
  ASSERT_NE(search, nullptr);
  BoxAnswerer refused(os::IDOK);
  EXPECT_EQ(w.NewFolder(search), nullptr);
  EXPECT_EQ(refused.answered, 1);
  EXPECT_EQ(search->firstChild, nullptr);
}

TEST_F(UiTest, PropertiesChangeTitleAndUrlButNeverEmptyTheUrl) {
  TreeNode* item = AddItem(Receive(), "題名", "http://example.org/a");
  ui::AppWindows& w = Open();
  auto edit = [&](const QString& title, const QString& url) {
    DialogStep step([=](QDialog& d) {
      d.findChild<QLineEdit*>("title")->setText(title);
      d.findChild<QLineEdit*>("url")->setText(url);
      d.accept();
    });
    w.ShowProperties(item);
    EXPECT_EQ(step.ran, 1);
  };
  edit(QString::fromUtf8("新しい題名"), " http://example.org/b ");
  EXPECT_EQ(item->title, SJ("新しい題名"));
  EXPECT_EQ(item->url, "http://example.org/b");

  BoxAnswerer told(os::IDOK);
  edit(QString::fromUtf8("新しい題名"), "");
  EXPECT_EQ(told.answered, 1);
  EXPECT_EQ(item->url, "http://example.org/b") << "an item without a URL would be dropped from the file";
}

}  // namespace
}  // namespace zentu::testing
