// Folder sort modes and the Japanese title collation.
#include <string>
#include <vector>

#include "os/cp932.h"
#include "tests/store/tree_fixture.h"

namespace zentu::testing {
namespace {

class TreeSortTest : public TreeTest {
 protected:
  // A folder holding every kind of child, in a deliberately unsorted order:
  // two special folders in the middle, folders and items with Japanese and
  // ASCII titles, equal titles, URLs, dates and sizes, an empty URL and dates.
  TreeNode* MixedFolder() {
    TreeNode* root = NewRoot();
    TreeNode* f = AddFolder(root, "mixed", "F");
    // Folders carry keys too (an RSS folder has a URL): only titles may move them.
    FolderKeys(AddFolder(f, "Zebra", "fZ"), "http://z/", "9", 9);
    Item(f, "Banana", "http://b.example/", "2007/01/02 10:00:00", "Tue, 02 Jan 2007 10:00:00 GMT", 300, "iBan");
    TreeNode* recv = AddFolder(f, "未整理フォルダ", "R");
    SetProperty(recv, kPropertyReceiveFolder);
    recv->isProtected = true;
    Item(f, "かき", "http://a.example/z", "2007/01/01 09:00:00", "Mon, 01 Jan 2007 09:00:00 GMT", 20, "iKaki");
    TreeNode* ao = AddFolder(f, "あお", "fAo");
    FolderKeys(ao, "http://m/", "5", 5);
    AddItem(ao, "inside", "http://i/", true);
    Item(f, "同じ", "http://c.example/1", "", "", 300, "iSame1");
    TreeNode* search = AddFolder(f, "検索結果", "S");
    SetProperty(search, kPropertySearchFolder);
    search->isProtected = true;
    AddItem(search, "hit", "http://h/", true);
    Item(f, "カメラ", "http://a.example/a", "2006/12/31 23:59:59", "Sun, 31 Dec 2006 23:59:59 GMT", 4000000000u, "iKame", true);
    Item(f, "同じ", "http://c.example/1", "", "", 0, "iSame2");
    FolderKeys(AddFolder(f, "apple", "fApple"), "http://0/", "0", 0);
    Item(f, "漢字", "http://d.example/", "2007/01/02 10:00:00", "Tue, 02 Jan 2007 10:00:00 GMT", 300, "iKanji");
    Item(f, "apple", "", "2007/01/03 00:00:00", "Wed, 03 Jan 2007 00:00:00 GMT", 5, "iApple");
    return f;
  }
  static void FolderKeys(TreeNode* n, const char* url, const char* date, uint32_t size) {
    n->url = url;
    n->lastCheck = date;
    n->originalDate = date;
    n->size = size;
  }
  TreeNode* Item(TreeNode* parent, const char* title, const char* url, const char* check,
                 const char* original, uint32_t size, const char* label, bool unread = false) {
    TreeNode* n = AddItem(parent, title, url, unread, label);
    n->lastCheck = check;
    n->originalDate = original;
    n->size = size;
    return n;
  }
};

TEST_F(TreeSortTest, EveryModeOrdersAMixedFolder) {
  const std::string folders = "fZ fAo fApple";  // their order where only items sort
  struct Row {
    uint32_t mode;
    std::string expected;
  };
  const std::string urlAsc = "iApple iKame iKaki iBan iSame1 iSame2 iKanji";
  const std::string urlDesc = "iKanji iSame1 iSame2 iBan iKaki iKame iApple";
  const std::string checkAsc = "iSame1 iSame2 iKame iKaki iBan iKanji iApple";
  const std::string checkDesc = "iApple iBan iKanji iKaki iKame iSame1 iSame2";
  // Original dates compare as text, not as dates.
  const std::string origAsc = "iSame1 iSame2 iKaki iKame iBan iKanji iApple";
  const std::string origDesc = "iApple iBan iKanji iKame iKaki iSame1 iSame2";
  const std::string sizeAsc = "iSame2 iApple iKaki iBan iSame1 iKanji iKame";
  const std::string sizeDesc = "iKame iBan iSame1 iKanji iKaki iApple iSame2";
  const std::string titleItemsAsc = "iApple iBan iKaki iKame iKanji iSame1 iSame2";
  const std::string titleItemsDesc = "iSame1 iSame2 iKanji iKame iKaki iBan iApple";
  const std::string titleFoldersAsc = "fApple fZ fAo";
  const std::string titleFoldersDesc = "fAo fZ fApple";
  const Row rows[] = {
      {kSortUrlDescItemsFirst, urlDesc + " " + folders},
      {kSortUrlAscItemsFirst, urlAsc + " " + folders},
      {kSortTitleAscMixed, "fApple iApple iBan fZ fAo iKaki iKame iKanji iSame1 iSame2"},
      {kSortTitleDescMixed, "iSame1 iSame2 iKanji iKame iKaki fAo fZ iBan fApple iApple"},
      {kSortTitleAscItemsFirst, titleItemsAsc + " " + titleFoldersAsc},
      {kSortTitleDescItemsFirst, titleItemsDesc + " " + titleFoldersDesc},
      {kSortTitleAscFoldersFirst, titleFoldersAsc + " " + titleItemsAsc},
      {kSortTitleDescFoldersFirst, titleFoldersDesc + " " + titleItemsDesc},
      {kSortUrlAscFoldersFirst, folders + " " + urlAsc},
      {kSortUrlDescFoldersFirst, folders + " " + urlDesc},
      {kSortCheckAscFoldersFirst, folders + " " + checkAsc},
      {kSortCheckDescFoldersFirst, folders + " " + checkDesc},
      {kSortCheckAscItemsFirst, checkAsc + " " + folders},
      {kSortCheckDescItemsFirst, checkDesc + " " + folders},
      {kSortOriginalAscFoldersFirst, folders + " " + origAsc},
      {kSortOriginalDescFoldersFirst, folders + " " + origDesc},
      {kSortOriginalAscItemsFirst, origAsc + " " + folders},
      {kSortOriginalDescItemsFirst, origDesc + " " + folders},
      {kSortSizeAscFoldersFirst, folders + " " + sizeAsc},
      {kSortSizeDescFoldersFirst, folders + " " + sizeDesc},
      {kSortSizeAscItemsFirst, sizeAsc + " " + folders},
      {kSortSizeDescItemsFirst, sizeDesc + " " + folders},
  };
  static_assert(std::size(rows) == kSortLast - kSortNone);
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "mode " << r.mode << " " << U8(SortMenuText(r.mode)));
    ResetTreeState();
    TreeNode* f = MixedFolder();
    TreeNode* root = f->parent;
    const int rootCount = root->unreadCount;
    const int count = f->unreadCount;
    GetTreeState().modified = false;
    ASSERT_EQ(SortChildren(f, r.mode), 1);
    EXPECT_EQ(Children(f), "R S " + r.expected);
    EXPECT_TRUE(GetTreeState().modified);
    EXPECT_TRUE(f->firstChild->isProtected);
    EXPECT_TRUE(f->firstChild->next->isProtected);
    EXPECT_EQ(f->unreadCount, count);
    EXPECT_EQ(root->unreadCount, rootCount);
    EXPECT_TRUE(CheckSubtree(root));
    // Sorting again changes nothing: equal keys stay put in both directions.
    ASSERT_EQ(SortChildren(f, r.mode), 1);
    EXPECT_EQ(Children(f), "R S " + r.expected);
  }
}

TEST_F(TreeSortTest, NoSortAndUnknownModesLeaveTheFolderAlone) {
  TreeNode* f = MixedFolder();
  const std::string before = Children(f);
  GetTreeState().modified = false;
  EXPECT_EQ(SortChildren(f, kSortNone), 0);
  EXPECT_EQ(SortChildren(f, 40999), 0);
  EXPECT_EQ(SortChildren(f, kSortLast + 1), 0);
  EXPECT_EQ(SortChildren(f->firstChild->next, kSortTitleAscMixed), 0);  // an item
  EXPECT_EQ(Children(f), before);
  EXPECT_FALSE(GetTreeState().modified);
}

TEST_F(TreeSortTest, TitlesFollowJapaneseCollation) {
  // Byte order of Shift_JIS would put every katakana after every hiragana and
  // upper-case letters before lower-case ones.
  const std::vector<std::vector<const char*>> cases = {
      {"あめ", "カメラ", "きつね"},
      {"apple", "Banana", "cherry"},
      {"ABC", "かな", "漢字"},
      {"アイス", "いちご", "ウニ"},
      {"ｶﾀｶﾅ", "きかい"},  // half-width katakana sorts by its reading too
  };
  for (const auto& sorted : cases) {
    SCOPED_TRACE(sorted.front());
    ResetTreeState();
    TreeNode* root = NewRoot();
    for (size_t i = sorted.size(); i-- > 0;) AddItem(root, sorted[i], "", false, sorted[i]);
    ASSERT_EQ(SortChildren(root, kSortTitleAscMixed), 1);
    std::string expected;
    for (const char* t : sorted) expected += std::string(expected.empty() ? "" : " ") + t;
    EXPECT_EQ(Children(root), expected);
  }
}

TEST_F(TreeSortTest, AddedItemsFollowTheStoredMode) {
  TreeNode* f = MixedFolder();
  ASSERT_EQ(SetSortMode(f, kSortTitleAscMixed), 1);
  TreeNode* n = CreateNode(SJ("あい"), "http://new/", {}, kNodeItem);
  n->contents = "new";
  n->unread = true;
  const int count = f->unreadCount;
  EXPECT_EQ(AddItemToFolder(f, n), 2);
  EXPECT_EQ(Children(f), "R S fApple iApple iBan fZ new fAo iKaki iKame iKanji iSame1 iSame2");
  EXPECT_EQ(f->unreadCount, count + 1);

  ASSERT_EQ(SetSortMode(f, kSortNone), 1);
  TreeNode* last = CreateNode("0", {}, {}, kNodeItem);
  last->contents = "last";
  EXPECT_EQ(AddItemToFolder(f, last), 1);
  EXPECT_EQ(f->lastChild, last);
  EXPECT_EQ(AddItemToFolder(f, last), 0);  // already linked
  EXPECT_TRUE(CheckSubtree(f->parent));
}

TEST_F(TreeSortTest, MenuTexts) {
  EXPECT_EQ(SortMenuText(kSortNone), SJ("ソートしない"));
  EXPECT_EQ(SortMenuText(kSortOriginalAscItemsFirst), SJ("オリジナルの最終更新日Lで昇順ソート(ファイルが先)"));
  EXPECT_EQ(SortMenuText(kSortSizeDescItemsFirst), SJ("ファイルサイズで降順ソート(ファイルが先)"));
  EXPECT_EQ(SortMenuText(41023), "");
  for (uint32_t m = kSortNone; m <= kSortLast; ++m) {
    const SortModeInfo* info = FindSortMode(m);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->mode, m);
    bool lossy = false;
    os::Utf8ToSjis(info->menuTextUtf8, &lossy);
    EXPECT_FALSE(lossy) << m;
  }
}

}  // namespace
}  // namespace zentu::testing
