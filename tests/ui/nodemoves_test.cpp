// The rules of drag and drop and of deleting nodes: refusals move nothing and
// say why, mixed selections are checked whole before anything moves, files of
// sync folders go with their items, and deleting asks first.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "capture/job.h"
#include "os/file.h"
#include "os/path.h"
#include "search/sync.h"
#include "store/groups.h"
#include "tests/ui/ui_fixture.h"
#include "ui/nodemoves.h"

namespace zentu::testing {
namespace {

using ui::DragSource;

class NodeMovesTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    os::SetDesktop(&desktop);  // notices and answers recorded, no windows
    CurrentProfile().SaveAtAddition = false;
    a = AddFolder(Root(), "A");
    a1 = AddFolder(a, "A1");
    a11 = AddFolder(a1, "A11");
    b = AddFolder(Root(), "B");
    i1 = AddItem(a, "i1", "http://e.jp/1", true);
    i2 = AddItem(a, "i2", "http://e.jp/2");
    i3 = AddItem(a, "i3", "http://e.jp/3");
    GetTreeState().currentFolder = a;
    ui::NumberListRows(a, true);
  }
  std::string LastNotice() { return desktop.notices.empty() ? "" : U8(desktop.notices.back()); }
  static std::vector<std::string> Titles(const TreeNode* folder) {
    std::vector<std::string> out;
    for (const TreeNode* c = folder->firstChild; c; c = c->next) out.push_back(c->title);
    return out;
  }
  TreeNode *a, *a1, *a11, *b, *i1, *i2, *i3;
};

TEST_F(NodeMovesTest, NumberListRowsSkipsUnlistedChildrenAndFoldersWhenTheListHidesThem) {
  i2->listed = false;
  EXPECT_EQ(ui::NumberListRows(a, true), 2);  // A1, i1, (i2), i3
  EXPECT_EQ((std::vector<int>{a1->listId, i1->listId, i2->listId, i3->listId}), (std::vector<int>{0, 1, -1, 2}));
  EXPECT_EQ(ui::NumberListRows(a, false), 1);
  EXPECT_EQ((std::vector<int>{a1->listId, i1->listId, i2->listId, i3->listId}), (std::vector<int>{-1, 0, -1, 1}));
  EXPECT_EQ(ui::NumberListRows(a11, true), -1);
}

// Drops onto the tree that are refused: the notice, and nothing moved anywhere.
TEST_F(NodeMovesTest, RefusedDropsOntoTheTreeMoveNothing) {
  TreeNode* receive = Receive();
  TreeNode* search = GetTreeState().searchFolder;
  struct Case {
    const char* name;
    DragSource source;
    TreeNode* dragged;
    std::vector<TreeNode*> rows;
    TreeNode* target;
    const char* notice;
  };
  const std::vector<Case> cases = {
      {"folder onto itself", DragSource::Tree, a, {}, a, "親フォルダを子フォルダにドロップできません"},
      {"folder onto a descendant", DragSource::Tree, a, {}, a11, "親フォルダを子フォルダにドロップできません"},
      {"protected folder", DragSource::Tree, receive, {}, b, "プロテクトされているため移動できません"},
      {"item onto the root", DragSource::Tree, i1, {}, Root(), "ルートにファイルはドロップできません"},
      {"onto an item", DragSource::Tree, a1, {}, i2, "ファイルにはドロップできません"},
      {"into the search results", DragSource::Tree, a1, {}, search, "検索結果フォルダにはドロップできません"},
      {"rows, second protected", DragSource::List, nullptr, {i1, receive, i3}, b, "プロテクトされたフォルダは移動できません"},
      {"rows, one is the target", DragSource::List, nullptr, {i1, a1}, a1, "自分にドロップすることは出来ません"},
      {"row folder onto its child", DragSource::List, nullptr, {i1, a1}, a11, "親フォルダを子フォルダにドロップできません"},
      {"row item onto the root", DragSource::List, nullptr, {a1, i2}, Root(), "ルートにファイルはドロップできません"},
      {"rows into the search results", DragSource::List, nullptr, {i1}, search, "検索結果フォルダにはドロップできません"},
  };
  const std::vector<std::string> rootBefore = Titles(Root()), aBefore = Titles(a), a1Before = Titles(a1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop.notices.clear();
    GetTreeState().modified = false;
    const ui::DropOutcome out = ui::DropOntoTree(c.source, c.dragged, c.rows, c.target, a);
    EXPECT_FALSE(out.moved);
    EXPECT_EQ(LastNotice(), c.notice);
    EXPECT_EQ(Titles(Root()), rootBefore);
    EXPECT_EQ(Titles(a), aBefore);
    EXPECT_EQ(Titles(a1), a1Before);
    EXPECT_EQ(b->firstChild, nullptr);
    EXPECT_FALSE(GetTreeState().modified.load());
  }
  // The protected row is the one the list deselects.
  const ui::DropOutcome out = ui::DropOntoTree(DragSource::List, nullptr, {i1, receive, i3}, b, a);
  EXPECT_EQ(out.deselect, (std::vector<TreeNode*>{receive}));

  // No target, or no folder shown: logged only.
  desktop.notices.clear();
  EXPECT_FALSE(ui::DropOntoTree(DragSource::Tree, a1, {}, nullptr, a).moved);
  EXPECT_TRUE(LogContains("Drop: Target not found."));
  EXPECT_FALSE(ui::DropOntoTree(DragSource::Tree, a1, {}, b, nullptr).moved);
  EXPECT_TRUE(LogContains("Drag Error"));
  EXPECT_TRUE(desktop.notices.empty());
}

TEST_F(NodeMovesTest, RowsDroppedOnAFolderMoveInOrderWithTheirUnreadCounts) {
  ASSERT_EQ(a->unreadCount, 1);
  const ui::DropOutcome out = ui::DropOntoTree(DragSource::List, nullptr, {i1, i2, i3}, b, a);
  EXPECT_TRUE(out.moved);
  EXPECT_FALSE(out.folderMoved);
  EXPECT_FALSE(out.rebuild);
  EXPECT_EQ(Titles(b), (std::vector<std::string>{"i1", "i2", "i3"}));
  EXPECT_EQ(Titles(a), (std::vector<std::string>{"A1"}));
  EXPECT_EQ(a->unreadCount, 0);
  EXPECT_EQ(b->unreadCount, 1);
  EXPECT_TRUE(GetTreeState().modified.load());
  EXPECT_TRUE(LogContains("> Target i1"));
}

TEST_F(NodeMovesTest, AFolderMovedToTheTopJoinsTheGroupShown) {
  TreeNode* group = AddGroup("work");
  ASSERT_NE(AddGroupMember(group, "A"), nullptr);
  CurrentProfile().Group = "work";
  const ui::DropOutcome out = ui::DropOntoTree(DragSource::Tree, a1, {}, Root(), a);
  EXPECT_TRUE(out.moved);
  EXPECT_TRUE(out.folderMoved);
  EXPECT_EQ(a1->parent, Root());
  EXPECT_TRUE(IsGroupMember(group, "A1"));
  // Shown again after the group is applied anew; B, no member, is not.
  ApplyGroup("work");
  EXPECT_TRUE(a1->listed);
  EXPECT_FALSE(b->listed);
}

TEST_F(NodeMovesTest, SyncFolderTargetsMoveTextFilesAndRefuseTheRest) {
  CurrentProfile().dirs.text = Path("Text");
  ASSERT_TRUE(os::CreateDirectories(Path("Text")));
  ASSERT_TRUE(os::CreateDirectories(Path("mirror")));
  WriteNative("Text/note.txt", "a note");
  const bool options[4] = {false, false, false, false};
  TreeNode* sync = NewSyncFolderNode("mirror", Path("mirror"), options);
  TreeNode* note;
  {
    std::lock_guard lock(TreeMutex());
    ASSERT_NE(Link(sync, Root(), kLinkLastChild), nullptr);
    note = CreateNode("note", Path("Text\\note.txt"), "note.txt", kNodeItem);
    SetProperty(note, kPropertyTextItem);
    ASSERT_NE(Link(note, a, kLinkLastChild), nullptr);
  }
  ui::NumberListRows(a, true);
  // The text item goes in with its file; the folder and the URL item stay.
  const ui::DropOutcome out = ui::DropOntoTree(DragSource::List, nullptr, {a1, note, i2}, sync, a);
  EXPECT_TRUE(out.moved);
  EXPECT_TRUE(out.rebuild);
  EXPECT_EQ(note->parent, sync);
  EXPECT_EQ(note->localFile, Path("mirror\\note.txt"));
  EXPECT_EQ(ReadNative("mirror/note.txt"), "a note");
  EXPECT_FALSE(os::FileExists(Path("Text\\note.txt")));
  EXPECT_EQ(a1->parent, a);
  EXPECT_EQ(i2->parent, a);
  EXPECT_TRUE(LogContains("Can't move folder to sync folder"));
  EXPECT_TRUE(LogContains("Can't move url item to sync folder"));
}

TEST_F(NodeMovesTest, ReorderingWithinTheListRefusesNeighboursAndPutsRowsInFront) {
  TreeNode* i4 = AddItem(a, "i4", "http://e.jp/4");
  TreeNode* i5 = AddItem(a, "i5", "http://e.jp/5");
  struct Case {
    const char* name;
    std::vector<TreeNode*> rows;
    TreeNode* target;
    const char* notice;  // "" when the move goes ahead
    std::vector<std::string> order;
  };
  const std::vector<Case> cases = {
      {"onto itself", {i2}, i2, "ここにはドロップできません", {}},
      {"onto the next sibling", {i2}, i3, "ここにはドロップできません", {}},
      {"onto the previous sibling", {i2}, i1, "ここにはドロップできません", {}},
      {"two rows further down", {i2}, i4, "", {"A1", "i1", "i3", "i2", "i4", "i5"}},
      {"two rows in selection order", {i1, i2}, i5, "", {"A1", "i3", "i4", "i1", "i2", "i5"}},
      {"a folder to the end's front", {a1}, i5, "", {"i3", "i4", "i1", "i2", "A1", "i5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop.notices.clear();
    const std::vector<std::string> before = Titles(a);
    ui::NumberListRows(a, true);
    const ui::DropOutcome out = ui::DropOntoList(DragSource::List, c.rows, c.target, a);
    EXPECT_EQ(LastNotice(), c.notice);
    EXPECT_EQ(out.moved, std::string(c.notice).empty());
    EXPECT_EQ(Titles(a), std::string(c.notice).empty() ? c.order : before);
  }
  // The list's numbers follow the new order.
  EXPECT_EQ(i3->listId, 0);
  EXPECT_EQ(i5->listId, 5);

  // From the tree, or onto a row the list does not show: nothing happens.
  desktop.notices.clear();
  EXPECT_FALSE(ui::DropOntoList(DragSource::Tree, {}, i3, a).moved);
  EXPECT_EQ(LastNotice(), "ツリーからリストへはドロップできません");
  i4->listed = false;
  ui::NumberListRows(a, true);
  EXPECT_FALSE(ui::DropOntoList(DragSource::List, {i3}, i4, a).moved);
  EXPECT_TRUE(LogContains("> Drag Error: Drop Target is not found"));
  // A protected row is not moved.
  {
    std::lock_guard lock(TreeMutex());
    i1->isProtected = true;
  }
  EXPECT_FALSE(ui::DropOntoList(DragSource::List, {i1}, i5, a).moved);
  EXPECT_EQ(LastNotice(), "移動できないふぉるだを移動しようとしてます");
  EXPECT_FALSE(ui::DropOntoList(DragSource::List, {i3}, a1, a11).moved);
  EXPECT_TRUE(LogContains(SJ("> Drag Error: 対象となるファイルが存在しないように感じます")));
}

TEST_F(NodeMovesTest, DeletingAsksAndRefusesProtectedNodes) {
  // Nothing selected, the root, a folder that holds the receive folder.
  EXPECT_FALSE(ui::DeleteTreeNode(nullptr, a).deleted);
  EXPECT_EQ(LastNotice(), "アイテムが選択されていませんよぉ");
  EXPECT_FALSE(ui::DeleteTreeNode(a, nullptr).deleted);
  EXPECT_EQ(LastNotice(), "アイテムが選択されていません");
  EXPECT_FALSE(ui::DeleteTreeNode(Root(), Root()).deleted);
  EXPECT_EQ(LastNotice(), "プロテクトにより削除できません");
  {
    std::lock_guard lock(TreeMutex());
    TreeNode* receive = Receive();
    receive->isProtected = false;
    ASSERT_NE(MoveNode(receive, b), nullptr);
    receive->isProtected = true;
  }
  EXPECT_FALSE(ui::DeleteTreeNode(b, b).deleted);
  EXPECT_EQ(LastNotice(), "プロテクトにより削除できません");
  EXPECT_TRUE(desktop.messages.empty());

  // Cancel keeps the folder; OK deletes it with its subtree, and a job of an
  // item below forgets the item.
  desktop.answers = {os::IDCANCEL};
  EXPECT_FALSE(ui::DeleteTreeNode(a, a).deleted);
  EXPECT_EQ(LastNotice(), "削除しませんでした");
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(U8(desktop.messages[0].text), "削除してよろしいですか？");
  EXPECT_EQ(a->parent, Root());
  ASSERT_EQ(GetDownloadManager().AddJob("http://e.jp/1", "", false, i1), 1);
  desktop.answers = {os::IDOK};
  const ui::DeleteOutcome out = ui::DeleteTreeNode(a, a);
  EXPECT_TRUE(out.deleted);
  EXPECT_EQ(out.successor, b);
  EXPECT_EQ(LastNotice(), "削除しました．");
  EXPECT_EQ(Root()->unreadCount, 0);
  EXPECT_EQ(FindByTitle(Root(), "A"), nullptr);
  EXPECT_EQ(GetTreeState().currentFolder, Root());
  EXPECT_EQ(GetDownloadManager().JobNode("http://e.jp/1"), nullptr);
  GetDownloadManager().Clear();
}

TEST_F(NodeMovesTest, DeletingASyncItemRemovesItsFileOnlyOnTheSecondYes) {
  ASSERT_TRUE(os::CreateDirectories(Path("mirror")));
  WriteNative("mirror/keep.txt", "keep");
  WriteNative("mirror/gone.txt", "gone");
  const bool options[4] = {false, false, false, false};
  TreeNode* sync = NewSyncFolderNode("mirror", Path("mirror"), options);
  {
    std::lock_guard lock(TreeMutex());
    ASSERT_NE(Link(sync, Root(), kLinkLastChild), nullptr);
    ASSERT_EQ(ReloadSyncFolder(sync, {}), 2);
  }
  TreeNode* keep = FindByTitle(sync, "keep");
  TreeNode* gone = FindByTitle(sync, "gone");
  ASSERT_TRUE(keep && gone);

  desktop.answers = {os::IDCANCEL};
  EXPECT_FALSE(ui::DeleteTreeNode(keep, keep).deleted);
  EXPECT_EQ(LastNotice(), "削除しませんﾅした");

  desktop.messages.clear();
  desktop.answers = {os::IDOK, os::IDCANCEL};
  EXPECT_TRUE(ui::DeleteTreeNode(keep, keep).deleted);
  ASSERT_EQ(desktop.messages.size(), 2u);
  EXPECT_EQ(U8(desktop.messages[0].text), "削除してよろしいですか？消えますよ");
  EXPECT_EQ(U8(desktop.messages[1].text), "実際のファイルも削除してしまってよろしいですか？");
  EXPECT_EQ(desktop.messages[1].caption, "keep");
  EXPECT_EQ(ReadNative("mirror/keep.txt"), "keep");

  desktop.answers = {os::IDOK, os::IDOK};
  EXPECT_TRUE(ui::DeleteTreeNode(gone, gone).deleted);
  EXPECT_FALSE(os::FileExists(Path("mirror\\gone.txt")));
  EXPECT_EQ(sync->firstChild, nullptr);
}

TEST_F(NodeMovesTest, DeletingListRowsAsksOnceAndLeavesProtectedRows) {
  {
    std::lock_guard lock(TreeMutex());
    i2->isProtected = true;
  }
  desktop.answers = {os::IDOK};
  EXPECT_EQ(ui::DeleteListNodes({i1, i2, a1}), 2);
  EXPECT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(Titles(a), (std::vector<std::string>{"i2", "i3"}));
  EXPECT_NE(std::find(desktop.notices.begin(), desktop.notices.end(), SJ("プロテクトにより削除できません")),
            desktop.notices.end());
}

}  // namespace
}  // namespace zentu::testing
