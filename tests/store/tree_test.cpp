// Nodes, links, unread counts, walks, finds and tree paths.
#include <memory>
#include <string>
#include <vector>

#include "tests/store/tree_fixture.h"
#include "ui/iconindex.h"

namespace zentu::testing {
namespace {

TEST_F(TreeTest, NewNodesAndIconsFollowKindPropertyAndDownloadFlag) {
  struct Row {
    NodeType type;
    int property;  // -1: as created
    uint32_t flag;
    bool setFlag;
    int open, closed;
  };
  const Row rows[] = {
      {kNodeRoot, -1, 0, false, ui::kIconBoxOpen, ui::kIconBoxClose},
      {kNodeFolder, -1, 0, false, ui::kIconFolderOpen, ui::kIconFolderClose},
      {kNodeItem, -1, 0, false, ui::kIconTextFile, ui::kIconTextFile},  // until the flag is set
      {kNodeItem, -1, 0, true, ui::kIconUndlUrl, ui::kIconUndlUrl},
      {kNodeItem, -1, 1, true, ui::kIconChangeUrl, ui::kIconChangeUrl},
      {kNodeItem, -1, 2, true, ui::kIconDlUrl, ui::kIconDlUrl},
      {kNodeItem, -1, 3, true, ui::kIconErrorUrl, ui::kIconErrorUrl},
      {kNodeItem, kPropertyTextItem, 2, true, ui::kIconTextFile, ui::kIconTextFile},
      {kNodeItem, kPropertyRssFolder, 2, true, ui::kIconUndlUrl, ui::kIconUndlUrl},
      {kNodeFolder, kPropertyProductFolder, 2, true, ui::kIconFolderOpen, ui::kIconFolderClose},
      {kNodeFolder, kPropertyReceiveFolder, 0, false, ui::kIconReceiveFolderOpen, ui::kIconReceiveFolderClose},
      {kNodeFolder, kPropertySyncFolder, 0, false, ui::kIconSyncFolderOpen, ui::kIconSyncFolderClose},
      {kNodeFolder, kPropertyImportFolder, 0, false, ui::kIconImportFolderOpen, ui::kIconImportFolderClose},
      {kNodeFolder, kPropertyBookmarkFolder, 0, false, ui::kIconBookmarkFolderOpen, ui::kIconBookmarkFolderClose},
      {kNodeFolder, kPropertySearchFolder, 0, false, ui::kIconSearchFolderOpen, ui::kIconSearchFolderClose},
      {kNodeFolder, kPropertyRssFolder, 0, false, ui::kIconRssFolderOpen, ui::kIconRssFolderClose},
      {kNodeFolder, 42, 0, false, ui::kIconFolderOpen, ui::kIconFolderClose},
  };
  for (const Row& r : rows) {
    std::unique_ptr<TreeNode, NodeDeleter> n(CreateNode({}, {}, {}, r.type));
    SCOPED_TRACE(::testing::Message() << "type " << r.type << " property " << r.property << " flag " << r.flag);
    EXPECT_EQ(n->listed, true);
    EXPECT_EQ(n->sortMode, kSortNone);
    EXPECT_EQ(n->selectedChild, -1);
    if (r.property >= 0) SetProperty(n.get(), static_cast<NodeProperty>(r.property));
    if (r.setFlag) SetDownloadFlag(n.get(), r.flag);
    EXPECT_EQ(ui::NodeIcon(n.get(), true), r.open);
    EXPECT_EQ(ui::NodeIcon(n.get(), false), r.closed);
  }
  // A text item turned back into a URL item shows its download state again.
  std::unique_ptr<TreeNode, NodeDeleter> item(CreateNode("t", {}, {}, kNodeItem));
  SetDownloadFlag(item.get(), kDownloadDone);
  SetProperty(item.get(), kPropertyTextItem);
  SetProperty(item.get(), kPropertyUrlItem);
  EXPECT_EQ(ui::NodeIcon(item.get(), true), ui::kIconDlUrl);
  EXPECT_STREQ(ui::kTreeIconFiles[ui::kIconTimerFolderClose - 1], "icon/timer_folder_open.ico");
  EXPECT_STREQ(ui::kTreeIconFiles[ui::kIconRssFolderClose], "icon/rss_folder_close.ico");
}

TEST_F(TreeTest, SettersMarkTheTreeModifiedOnlyOnChange) {
  std::unique_ptr<TreeNode, NodeDeleter> n(CreateNode("a", "http://x/", "f.html", kNodeItem));
  struct Setter {
    const char* name;
    void (*set)(TreeNode*, std::string_view);
    std::string TreeNode::*field;
  };
  const Setter setters[] = {
      {"title", SetTitle, &TreeNode::title},
      {"url", SetUrl, &TreeNode::url},
      {"local file", SetLocalFile, &TreeNode::localFile},
      {"last check", SetLastCheck, &TreeNode::lastCheck},
      {"original date", SetOriginalDate, &TreeNode::originalDate},
  };
  std::atomic<bool>& modified = GetTreeState().modified;
  for (const Setter& s : setters) {
    SCOPED_TRACE(s.name);
    std::string same = (*n).*(s.field);
    modified = false;
    s.set(n.get(), same);
    EXPECT_FALSE(modified);
    s.set(n.get(), SJ("新しい"));
    EXPECT_TRUE(modified);
    EXPECT_EQ((*n).*(s.field), SJ("新しい"));
  }
  modified = false;
  SetDownloadFlag(n.get(), kDownloadNone);  // same value, but the icon changes from text file
  EXPECT_TRUE(modified);
  EXPECT_EQ(ui::NodeIcon(n.get(), true), ui::kIconUndlUrl);
  modified = false;
  SetDownloadFlag(n.get(), kDownloadNone);
  SetSize(n.get(), 0);
  SetMark(n.get(), 0);
  SetMark(n.get(), 10);  // out of range
  EXPECT_FALSE(modified);
  EXPECT_EQ(n->mark, 0);
  EXPECT_EQ(SetSortMode(n.get(), 41023), 0);
  EXPECT_EQ(SetSortMode(n.get(), kSortNone), 1);
  EXPECT_FALSE(modified);
  EXPECT_EQ(SetSortMode(n.get(), kSortSizeDescItemsFirst), 1);
  EXPECT_TRUE(modified);
}

TEST_F(TreeTest, LinkPositions) {
  struct Row {
    int position;
    const char* reference;  // label of the reference node
    const char* expected;   // children of P afterwards
  };
  const Row rows[] = {
      {kLinkFirstChild, "E", "x"},            // the usual case: an empty folder
      {kLinkFirstChild, "P", "x a b c E"},     // existing children are kept behind it
      {kLinkLastChild, "P", "a b c E x"},
      {kLinkBefore, "a", "x a b c E"},
      {kLinkBefore, "b", "a x b c E"},
      {kLinkAfter, "b", "a b x c E"},
      {kLinkAfter, "E", "a b c E x"},
      {kLinkAfterLastSibling, "a", "a b c E x"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "position " << r.position << " at " << r.reference);
    ResetTreeState();
    TreeNode* root = NewRoot();
    TreeNode* p = AddFolder(root, "P", "P");
    TreeNode* a = AddItem(p, "a", "", false, "a");
    TreeNode* b = AddItem(p, "b", "", false, "b");
    AddItem(p, "c", "", false, "c");
    TreeNode* e = AddFolder(p, "E", "E");
    TreeNode* ref = std::string(r.reference) == "P" ? p : std::string(r.reference) == "E" ? e
                    : std::string(r.reference) == "a" ? a : b;
    TreeNode* x = CreateNode("x", {}, {}, kNodeItem);
    x->contents = "x";
    x->unread = true;
    GetTreeState().modified = false;
    ASSERT_EQ(Link(x, ref, r.position), x);
    EXPECT_TRUE(GetTreeState().modified);
    TreeNode* holder = ref == e && r.position <= kLinkLastChild ? e : p;
    EXPECT_EQ(Children(holder), r.expected);
    EXPECT_EQ(x->parent, holder);
    EXPECT_TRUE(CheckSubtree(root));
    EXPECT_EQ(p->unreadCount, 1);
  }
}

TEST_F(TreeTest, RefusedLinksChangeNothing) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "a", "a");
  TreeNode* a1 = AddFolder(a, "a1", "a1");
  TreeNode* item = AddItem(a, "i", "", true, "i");
  TreeNode* b = AddFolder(root, "b", "b");
  std::unique_ptr<TreeNode, NodeDeleter> loose(CreateNode("loose", {}, {}, kNodeFolder));
  std::unique_ptr<TreeNode, NodeDeleter> other(CreateNode("", {}, {}, kNodeRoot));

  GetTreeState().modified = false;
  EXPECT_EQ(Link(b, root, kLinkLastChild), nullptr);       // still linked
  EXPECT_EQ(Link(loose.get(), root, 1), nullptr);           // no such position
  EXPECT_EQ(Link(loose.get(), root, 6), nullptr);
  EXPECT_EQ(Link(loose.get(), root, kLinkBefore), nullptr);  // the root has no siblings
  EXPECT_EQ(Link(loose.get(), item, kLinkLastChild), nullptr);  // items hold no children
  EXPECT_EQ(Link(loose.get(), loose.get(), kLinkLastChild), nullptr);
  EXPECT_EQ(Link(other.get(), a, kLinkLastChild), nullptr);  // a root stays a root
  EXPECT_EQ(Link(loose.get(), nullptr, kLinkLastChild), nullptr);
  EXPECT_FALSE(GetTreeState().modified);

  // A folder cannot move into its own subtree.
  EXPECT_EQ(MoveNode(a, a1), nullptr);
  EXPECT_EQ(MoveNode(a, a), nullptr);
  EXPECT_EQ(a->parent, root);
  EXPECT_EQ(Children(root), "a b");
  EXPECT_TRUE(CheckSubtree(root));
}

TEST_F(TreeTest, UnlinkRefusesRootAndProtectedNodes) {
  TreeNode* root = NewRoot();
  TreeNode* recv = AddFolder(root, "未整理フォルダ", "R");
  SetProperty(recv, kPropertyReceiveFolder);
  recv->isProtected = true;
  TreeNode* search = AddFolder(root, "検索結果", "S");
  SetProperty(search, kPropertySearchFolder);
  search->isProtected = true;
  TreeNode* a = AddFolder(root, "a", "a");
  TreeNode* b = AddFolder(root, "b", "b");

  GetTreeState().modified = false;
  EXPECT_EQ(Unlink(root), nullptr);
  EXPECT_EQ(Unlink(recv), nullptr);
  EXPECT_EQ(Unlink(search), nullptr);
  EXPECT_EQ(MoveNode(search, a), nullptr);
  EXPECT_FALSE(GetTreeState().modified);
  EXPECT_EQ(Children(root), "R S a b");

  // Detaching the first child moves the parent's first child on; the node keeps its subtree.
  AddItem(a, "x", "", true, "x");
  std::unique_ptr<TreeNode, NodeDeleter> moved(Unlink(a));
  ASSERT_TRUE(moved);
  recv->isProtected = false;
  ASSERT_EQ(Unlink(recv), recv);
  EXPECT_EQ(root->firstChild, search);
  EXPECT_EQ(search->prev, nullptr);
  ASSERT_EQ(Link(recv, b, kLinkAfter), recv);
  EXPECT_EQ(Children(root), "S b R");
  EXPECT_EQ(Children(moved.get()), "x");
  EXPECT_EQ(moved->unreadCount, 1);
  EXPECT_EQ(moved->parent, nullptr);
  EXPECT_TRUE(CheckSubtree(root));
  EXPECT_TRUE(CheckSubtree(moved.get()));
}

TEST_F(TreeTest, UnreadItemMovedBetweenFoldersAdjustsBothChains) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "A");
  TreeNode* a1 = AddFolder(a, "A1");
  TreeNode* a2 = AddFolder(a1, "A2");
  TreeNode* b = AddFolder(root, "B");
  TreeNode* b1 = AddFolder(b, "B1");
  TreeNode* u = AddItem(a2, "u", "http://u/", true);
  AddItem(a1, "v", "http://v/", true);
  EXPECT_EQ(a2->unreadCount, 1);
  EXPECT_EQ(a1->unreadCount, 2);
  EXPECT_EQ(a->unreadCount, 2);
  EXPECT_EQ(root->unreadCount, 0);

  desktop.refreshed.clear();
  ASSERT_EQ(MoveNode(u, b1), u);
  EXPECT_EQ(a2->unreadCount, 0);
  EXPECT_EQ(a1->unreadCount, 1);
  EXPECT_EQ(a->unreadCount, 1);
  EXPECT_EQ(b1->unreadCount, 1);
  EXPECT_EQ(b->unreadCount, 1);
  EXPECT_EQ(root->unreadCount, 0);
  // Every adjusted folder is redrawn, the root is not touched.
  for (TreeNode* n : {a2, a1, a, b1, b}) EXPECT_EQ(desktop.refreshed[n], 1) << U8(n->title);
  EXPECT_EQ(desktop.refreshed.count(root), 0u);

  // Directly under the root the root itself counts.
  ASSERT_EQ(MoveNode(u, root), u);
  EXPECT_EQ(root->unreadCount, 1);
  EXPECT_EQ(b->unreadCount, 0);
  EXPECT_EQ(SetUnreadFlag(u, false), 1);
  EXPECT_EQ(root->unreadCount, 0);
  EXPECT_EQ(SetUnreadFlag(u, false), 1);  // unchanged flag, unchanged counts
  EXPECT_EQ(root->unreadCount, 0);
  EXPECT_TRUE(CheckSubtree(root));
}

TEST_F(TreeTest, RootCountStaysConsistentWhenFoldersMoveInAndOut) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "A");
  TreeNode* f = AddFolder(root, "F");
  for (int i = 0; i < 3; ++i) AddItem(f, "u", "http://u/", true);
  AddItem(root, "top", "http://top/", true);
  EXPECT_EQ(root->unreadCount, 1);
  // Moving a folder full of unread items out of the root and back must never
  // push the root's count off what it shows: its own unread items.
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(MoveNode(f, a), f);
    EXPECT_EQ(root->unreadCount, 1);
    EXPECT_EQ(a->unreadCount, 3);
    ASSERT_EQ(MoveNode(f, root), f);
    EXPECT_EQ(root->unreadCount, 1);
    EXPECT_EQ(a->unreadCount, 0);
  }
  EXPECT_TRUE(CheckSubtree(root));
}

TEST_F(TreeTest, SearchResultFolderKeepsItsCountToItself) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "A");
  TreeNode* search = AddFolder(a, "検索結果");
  SetProperty(search, kPropertySearchFolder);
  search->isProtected = true;
  TreeNode* sub = AddFolder(search, "sub");
  AddItem(search, "hit", "http://h/", true);
  AddItem(sub, "hit2", "http://h2/", true);
  EXPECT_EQ(sub->unreadCount, 1);
  EXPECT_EQ(search->unreadCount, 2);
  EXPECT_EQ(a->unreadCount, 0);

  // Sorting its parent moves it without changing the parent's count.
  AddItem(a, "z", "http://z/", true);
  ASSERT_EQ(SortChildren(a, kSortTitleDescItemsFirst), 1);
  EXPECT_EQ(a->firstChild, search);
  EXPECT_TRUE(search->isProtected);
  EXPECT_EQ(a->unreadCount, 1);
  EXPECT_EQ(search->unreadCount, 2);

  // Moving it elsewhere (protection lifted) carries nothing along either.
  search->isProtected = false;
  TreeNode* b = AddFolder(root, "B");
  ASSERT_EQ(MoveNode(search, b), search);
  EXPECT_EQ(b->unreadCount, 0);
  EXPECT_EQ(a->unreadCount, 1);

  // A folder that becomes the search-result folder stops counting for its parent, and back.
  TreeNode* c = AddFolder(b, "C");
  AddItem(c, "c", "http://c/", true);
  EXPECT_EQ(b->unreadCount, 1);
  SetProperty(c, kPropertySearchFolder);
  EXPECT_EQ(b->unreadCount, 0);
  SetProperty(c, kPropertyFolder);
  EXPECT_EQ(b->unreadCount, 1);
  EXPECT_TRUE(CheckSubtree(root));
}

TEST_F(TreeTest, FoldersCannotBeMarkedReadOrUnread) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "A");
  AddItem(a, "u", "http://u/", true);
  GetTreeState().modified = false;
  EXPECT_EQ(SetUnreadFlag(a, false), 0);
  EXPECT_EQ(SetUnreadFlag(root, true), 0);
  ASSERT_EQ(desktop.messages.size(), 2u);
  EXPECT_EQ(desktop.messages[0].text, SJ("Folder なので既読・未読の切り替えはできません．"));
  EXPECT_EQ(a->unreadCount, 1);
  EXPECT_FALSE(a->unread);
  EXPECT_FALSE(GetTreeState().modified);
}

TEST_F(TreeTest, DestroyFreesProtectedSubtreesAndClearsTreeReferences) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "A");
  TreeNode* recv = AddFolder(a, "未整理フォルダ");
  SetProperty(recv, kPropertyReceiveFolder);
  recv->isProtected = true;
  AddItem(recv, "u", "http://u/", true);
  TreeNode* keep = AddFolder(a, "keep");
  TreeState& state = GetTreeState();
  state.receiveFolder = recv;
  state.currentFolder = recv;

  DestroyNode(recv);  // protection guards moves and user deletes, not the owner
  EXPECT_EQ(state.receiveFolder, nullptr);
  EXPECT_EQ(state.currentFolder, a);
  EXPECT_EQ(a->firstChild, keep);
  EXPECT_EQ(a->unreadCount, 0);
  EXPECT_TRUE(CheckSubtree(root));

  // Deep chains are freed without recursion. Built bottom-up so that linking stays cheap.
  TreeNode* bottom = CreateNode("leaf", {}, {}, kNodeItem);
  bottom->unread = true;
  TreeNode* top = bottom;
  for (int i = 0; i < 200000; ++i) {
    TreeNode* f = CreateNode("f", {}, {}, kNodeFolder);
    ASSERT_EQ(Link(top, f, kLinkFirstChild), top);
    top = f;
  }
  EXPECT_EQ(top->unreadCount, 1);
  ASSERT_EQ(Link(top, keep, kLinkLastChild), top);
  EXPECT_EQ(keep->unreadCount, 1);
  EXPECT_EQ(a->unreadCount, 1);
  EXPECT_EQ(TreePath(bottom).size(), std::string("Zentu\tA\tkeep").size() + 200000 * 2 + 5);
  DestroyNode(top);
  EXPECT_EQ(keep->firstChild, nullptr);
  EXPECT_EQ(a->unreadCount, 0);
  ResetTreeState();
  EXPECT_EQ(state.root, nullptr);
}

TEST_F(TreeTest, PreorderWalksStayInsideTheLimitAndSkipUnlistedSubtrees) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "A", "A");
  AddItem(a, "a1", "", true, "a1");
  TreeNode* a2 = AddFolder(a, "A2", "A2");
  AddItem(a2, "a21", "", true, "a21");
  TreeNode* b = AddFolder(root, "B", "B");
  TreeNode* b1 = AddItem(b, "b1", "", true, "b1");
  AddItem(root, "c", "", true, "c");

  auto walk = [](TreeNode* from, const TreeNode* limit, bool listedOnly) {
    std::string out;
    for (TreeNode* n = from; n; n = listedOnly ? NextListedInPreorder(n, limit) : NextInPreorder(n, limit)) {
      out += n->contents.empty() ? "root" : n->contents;
      out += ' ';
    }
    return out;
  };
  EXPECT_EQ(walk(root, nullptr, false), "root A a1 A2 a21 B b1 c ");
  EXPECT_EQ(walk(a, a, false), "A a1 A2 a21 ");
  EXPECT_EQ(walk(a2, a2, false), "A2 a21 ");
  EXPECT_EQ(walk(b1, nullptr, false), "b1 c ");
  EXPECT_EQ(walk(b1, b, false), "b1 ");

  a2->listed = false;
  b1->listed = false;
  EXPECT_EQ(walk(root, nullptr, true), "root A a1 B c ");
  EXPECT_EQ(CountUnread(root), 2);
  EXPECT_EQ(CountUnread(a), 1);
  a2->listed = true;
  EXPECT_EQ(CountUnread(root), 3);
  EXPECT_EQ(CountUnread(a2), 1);
}

TEST_F(TreeTest, FindsWalkFromAStartWithinALimit) {
  TreeNode* root = NewRoot();
  TreeNode* a = AddFolder(root, "A", "A");
  TreeNode* x1 = AddItem(a, "same", "http://x/", false, "x1");
  x1->localFile = "Z:\\data\\x.html";
  TreeNode* b = AddFolder(root, "B", "B");
  TreeNode* x2 = AddItem(b, "same", "http://x/", false, "x2");
  x2->localFile = "Z:\\data\\x.html";

  EXPECT_EQ(FindByUrl(root, "http://x/"), x1);
  EXPECT_EQ(FindByUrl(x1, "http://x/"), x1);  // the start itself counts
  EXPECT_EQ(FindByUrl(NextInPreorder(x1, nullptr), "http://x/"), x2);
  EXPECT_EQ(FindByUrl(b, "http://x/", b), x2);
  EXPECT_EQ(FindByUrl(a, "http://y/"), nullptr);
  EXPECT_EQ(FindByTitle(a, "B", a), nullptr);  // B lies outside the limit
  EXPECT_EQ(FindByUrl(root, ""), nullptr);  // folders have no URL to match
  EXPECT_EQ(FindByLocalFile(b, "Z:\\data\\x.html"), x2);
  EXPECT_EQ(FindByLocalFile(root, ""), nullptr);
  EXPECT_EQ(FindByTitle(root, "same"), x1);
  EXPECT_EQ(FindByTitle(b, "same", b), x2);
  EXPECT_EQ(FindByTitle(root, "B"), b);
}

TEST_F(TreeTest, FolderByTitleMatchesWholeCharacters) {
  TreeNode* root = NewRoot();
  AddItem(root, "news", "http://n/", false, "item");  // items never match
  AddFolder(root, "ア", "kanaA");                     // 83 41: trail byte 'A'
  AddFolder(root, "表示", "hyouji");                  // 95 5C: trail byte '\'
  TreeNode* news = AddFolder(root, "News", "News");
  AddFolder(news, "old news archive", "archive");
  AddFolder(root, "ニュース", "nyuusu");

  struct Row {
    const char* title;  // UTF-8
    TitleMatch match;
    bool caseSensitive;
    const char* expected;  // label, "" = none
  };
  const Row rows[] = {
      {"news", TitleMatch::Whole, true, ""},
      {"news", TitleMatch::Whole, false, "News"},
      {"NEWS", TitleMatch::Whole, false, "News"},
      {"new", TitleMatch::Whole, false, ""},
      {"news", TitleMatch::Part, true, "archive"},
      {"NEWS", TitleMatch::Part, false, "News"},
      {"A", TitleMatch::Part, true, ""},
      {"a", TitleMatch::Part, false, "archive"},
      {"\\", TitleMatch::Part, true, ""},
      {"示", TitleMatch::Part, true, "hyouji"},
      {"表示", TitleMatch::Whole, false, "hyouji"},
      {"ュー", TitleMatch::Part, false, "nyuusu"},
      {"ニュース", TitleMatch::Whole, true, "nyuusu"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.title);
    TreeNode* found = FindFolderByTitle(root, SJ(r.title), r.match, r.caseSensitive);
    EXPECT_EQ(found ? found->contents : std::string(), r.expected);
  }
  EXPECT_EQ(FindFolderByTitle(news->firstChild, "News", TitleMatch::Whole, true), nullptr);
}

TEST_F(TreeTest, TreePathsBothWays) {
  TreeNode* root = NewRoot();
  TreeNode* n1 = AddFolder(root, "News");
  TreeNode* n2 = AddFolder(root, "News");
  TreeNode* sub = AddFolder(n2, "表示");  // trail byte '\'
  TreeNode* item = AddItem(sub, "ページ", "http://p/");
  AddItem(sub, "other", "http://q/");
  std::unique_ptr<TreeNode, NodeDeleter> loose(CreateNode("loose", {}, {}, kNodeFolder));

  EXPECT_EQ(TreePath(root), "Zentu");
  EXPECT_EQ(TreePath(n1), "Zentu\tNews");
  EXPECT_EQ(TreePath(sub), "Zentu\tNews\t" + SJ("表示"));
  EXPECT_EQ(TreePath(item), "Zentu\tNews\t" + SJ("表示\tページ"));
  EXPECT_EQ(TreePath(loose.get()), "");
  EXPECT_EQ(TreePath(nullptr), "");

  EXPECT_EQ(FindFolderByTreePath(root, "Zentu"), root);
  EXPECT_EQ(FindFolderByTreePath(root, "Zentu\tNews"), n1);
  // The first "News" has no such subfolder: the second one is taken.
  EXPECT_EQ(FindFolderByTreePath(root, TreePath(sub)), sub);
  EXPECT_EQ(FindFolderByTreePath(root, "Zentu\tNew"), nullptr);
  EXPECT_EQ(FindFolderByTreePath(root, "Zentu\tNews\t"), nullptr);
  EXPECT_EQ(FindFolderByTreePath(root, "Other\tNews"), nullptr);
  EXPECT_EQ(FindFolderByTreePath(root, ""), nullptr);
  EXPECT_EQ(FindFolderByTreePath(root, TreePath(item)), nullptr);  // items are no folders

  EXPECT_EQ(FindItemByTreePath(root, TreePath(sub), "http://p/"), item);
  EXPECT_EQ(FindItemByTreePath(root, TreePath(item), "http://p/"), item);
  EXPECT_EQ(FindItemByTreePath(root, TreePath(sub) + "\tother", "http://p/"), nullptr);
  EXPECT_EQ(FindItemByTreePath(root, "Zentu\tNews", "http://p/"), nullptr);
}

}  // namespace
}  // namespace zentu::testing
