#include "store/groups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/file.h"
#include "os/log.h"
#include "store/tree.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;
using testing::U8;

class GroupsTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetTreeState();
    ResetGroups();
  }
  void TearDown() override {
    ResetGroups();
    ResetTreeState();
    TempHome::TearDown();
  }

  static TreeNode* Folder(TreeNode* parent, const char* utf8, NodeProperty property = kPropertyFolder) {
    TreeNode* f = CreateNode(SJ(utf8), {}, {}, kNodeFolder);
    SetProperty(f, property);
    EXPECT_EQ(Link(f, parent, kLinkLastChild), f);
    return f;
  }

  // A collection with the special folders, ordinary, sync and RSS folders at
  // the top, one top-level item and one nested folder.
  void BuildCollection() {
    TreeState& st = GetTreeState();
    st.root = CreateNode("Zentu", {}, {}, kNodeRoot);
    st.receiveFolder = Folder(st.root, "未整理フォルダ", kPropertyReceiveFolder);
    st.receiveFolder->isProtected = true;
    st.searchFolder = Folder(st.root, "検索結果", kPropertySearchFolder);
    st.searchFolder->isProtected = true;
    for (const char* t : {"ニュース", "技術", "写真", "ソフトウェア", "その他"}) Folder(st.root, t);
    Folder(st.root, "同期", kPropertySyncFolder);
    Folder(st.root, "フィード", kPropertyRssFolder);
    Folder(st.root->firstChild->next->next, "技術");  // below ニュース: never filtered
    TreeNode* item = CreateNode("item", "http://example.com/", {}, kNodeItem);
    item->listed = false;  // a list filter's choice that groups leave alone
    ASSERT_TRUE(Link(item, st.root, kLinkLastChild));
  }

  // Titles (UTF-8) of the top-level nodes whose listed flag is on.
  static std::vector<std::string> Listed() {
    std::vector<std::string> out;
    for (const TreeNode* n = GetTreeState().root->firstChild; n; n = n->next) {
      if (n->listed) out.push_back(U8(n->title));
    }
    return out;
  }

  static std::vector<std::string> Members(const char* utf8Group) {
    std::vector<std::string> out;
    const TreeNode* g = FindGroup(SJ(utf8Group));
    if (!g) return {"<no group>"};
    for (const TreeNode* m = g->firstChild; m; m = m->next) out.push_back(U8(m->title));
    return out;
  }

  static std::vector<std::string> GroupNames() {
    std::vector<std::string> out;
    for (const TreeNode* g = GroupRoot()->firstChild; g; g = g->next) out.push_back(U8(g->title));
    return out;
  }
};

TEST_F(GroupsTest, LoadsFileAndAppliesGroupsByName) {
  CopyData("lists");
  ASSERT_EQ(LoadGroups(Path("group.dat")), 1);
  EXPECT_EQ(U8(GroupRoot()->title), "Group List");
  EXPECT_EQ(GroupNames(), (std::vector<std::string>{"default", "趣味", "空"}));
  EXPECT_EQ(Members("default"), (std::vector<std::string>{"ニュース", "技術"}));
  EXPECT_EQ(Members("趣味"), (std::vector<std::string>{"写真", "ソフトウェア"}));
  EXPECT_TRUE(Members("空").empty());

  BuildCollection();
  const std::vector<std::string> special = {"未整理フォルダ", "検索結果"};
  const std::vector<std::string> all = {"未整理フォルダ", "検索結果", "ニュース", "技術", "写真",
                                        "ソフトウェア", "その他", "同期", "フィード"};
  struct Row {
    const char* group;
    int found;
    std::vector<std::string> listed;  // top-level folders; the unlisted item never shows
  };
  const Row rows[] = {
      {"default", 1, {"未整理フォルダ", "検索結果", "ニュース", "技術"}},
      {"趣味", 1, {"未整理フォルダ", "検索結果", "写真", "ソフトウェア"}},
      {"空", 1, special},         // a group without members hides all but the special folders
      {"存在しない", 0, all},     // an unknown group shows everything
      {"default", 1, {"未整理フォルダ", "検索結果", "ニュース", "技術"}},
      {"", 0, all},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.group);
    EXPECT_EQ(ApplyGroup(SJ(row.group)), row.found);
    EXPECT_EQ(Listed(), row.listed);
    // A folder below the top level keeps its flag whatever the group.
    EXPECT_TRUE(GetTreeState().root->firstChild->next->next->firstChild->listed);
  }
}

TEST_F(GroupsTest, MembersNamingNoFolderHideAllButSpecialFolders) {
  BuildCollection();
  TreeNode* g = AddGroup("elsewhere");
  ASSERT_TRUE(AddGroupMember(g, SJ("どこにもない")));
  EXPECT_EQ(ApplyGroup("elsewhere"), 1);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"未整理フォルダ", "検索結果"}));
}

TEST_F(GroupsTest, SaveWritesTheFileBackByteForByte) {
  CopyData("lists");
  ASSERT_EQ(LoadGroups(Path("group.dat")), 1);
  ASSERT_EQ(SaveGroups(Path("saved.dat"), true), 1);
  EXPECT_EQ(ReadNative("saved.dat"), ReadNative("group.dat"));

  // Built through the functions, the format is "[name]", "+title", empty line.
  ResetGroups();
  AddGroupMember(AddGroup(SJ("ゾ")), SJ("表"));
  AddGroup("x");
  ASSERT_EQ(SaveGroups(Path("built.dat"), true), 1);
  EXPECT_EQ(ReadNative("built.dat"), SJ("[ゾ]\r\n+表\r\n\r\n[x]\r\n\r\n"));
  ASSERT_EQ(LoadGroups(Path("built.dat")), 1);
  EXPECT_EQ(Members("ゾ"), (std::vector<std::string>{"表"}));
}

TEST_F(GroupsTest, ParsesHandWrittenLines) {
  // Members before any group and after a refused name go nowhere; a
  // two-byte character ending in 0x5D is not a closing bracket.
  WriteNative("g.dat", SJ("+stray\r\n[a]\r\n+one\r\n garbage\r\n+\r\n[]\r\n+lost\r\n[ゾ\r\n+two\r\n"
                          "[b]]\r\n+three\n[a]\r\n+again\r\n"));
  ASSERT_EQ(LoadGroups(Path("g.dat")), 1);
  EXPECT_EQ(GroupNames(), (std::vector<std::string>{"a", "ゾ", "b]", "a"}));
  EXPECT_EQ(Members("a"), (std::vector<std::string>{"one", ""}));
  EXPECT_EQ(Members("ゾ"), (std::vector<std::string>{"two"}));
  EXPECT_EQ(Members("b]"), (std::vector<std::string>{"three"}));
  // The first of two groups with one name is the one applied.
  BuildCollection();
  ApplyGroup("a");
  EXPECT_EQ(Listed(), (std::vector<std::string>{"未整理フォルダ", "検索結果"}));
}

TEST_F(GroupsTest, RefusesTextsTheFileCannotKeep) {
  EXPECT_EQ(AddGroup(""), nullptr);
  EXPECT_EQ(AddGroup("a\nb"), nullptr);
  TreeNode* g = AddGroup("ok");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(AddGroupMember(g, "x\r"), nullptr);
  EXPECT_EQ(AddGroupMember(GroupRoot(), "x"), nullptr);  // the root is no group
  EXPECT_EQ(AddGroupMember(nullptr, "x"), nullptr);
  EXPECT_EQ(FormatGroups(), "[ok]\n\n");
}

TEST_F(GroupsTest, NewTopLevelFolderJoinsTheCurrentGroup) {
  BuildCollection();
  ASSERT_TRUE(AddGroupMember(AddGroup("default"), SJ("ニュース")));
  AddGroup(SJ("空"));
  Profile profile;
  TreeNode* root = GetTreeState().root;
  TreeNode* added = Folder(root, "新しい");
  TreeNode* nested = Folder(added, "下の");

  struct Row {
    const char* current;
    const TreeNode* folder;
    int result;
  };
  const Row rows[] = {
      {"default", added, 1},
      {"default", added, 0},   // already a member
      {"default", nested, 0},  // not at the top level
      {"default", root, 0},
      {"空", added, 0},        // a group without members stays empty
      {"ない", added, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.current);
    profile.Group = SJ(row.current);
    EXPECT_EQ(AddFolderToCurrentGroup(row.folder, profile), row.result);
  }
  EXPECT_EQ(Members("default"), (std::vector<std::string>{"ニュース", "新しい"}));
  EXPECT_TRUE(Members("空").empty());

  // Picking a group makes it current and filters the tree.
  EXPECT_EQ(SelectGroup(profile, "default"), 1);
  EXPECT_EQ(profile.Group, "default");
  EXPECT_EQ(Listed(), (std::vector<std::string>{"未整理フォルダ", "検索結果", "ニュース", "新しい"}));
}

TEST_F(GroupsTest, MissingFileUnwritableFileAndSavingSwitchedOff) {
  AddGroup("kept");
  EXPECT_EQ(LoadGroups(Path("none.dat")), 0);
  EXPECT_TRUE(LogContains("# Group File Open Error : " + Path("none.dat")));
  EXPECT_EQ(GroupRoot()->firstChild, nullptr);

  AddGroup("g");
  EXPECT_EQ(SaveGroups(Path("off.dat"), false), 0);
  EXPECT_FALSE(os::FileExists(Path("off.dat")));
  EXPECT_EQ(SaveGroups(Path("no\\such\\dir\\group.dat"), true), -1);
  EXPECT_TRUE(LogContains("# Can't open / create group file"));

  // A failed rewrite leaves the previous file whole.
  WriteNative("group.dat", "[old]\r\n\r\n");
  os::SetFileFaultAt(1);
  EXPECT_EQ(SaveGroups(Path("group.dat"), true), -1);
  os::SetFileFaultAt(0);
  EXPECT_EQ(ReadNative("group.dat"), "[old]\r\n\r\n");
}

TEST_F(GroupsTest, BadInputLoadsWhatIsSound) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) & 0xFF);
  std::string longName(3000, 'n');
  std::string bytes = "[first]\r\n+a\r\n" + junk + "\r\n[" + longName + "]\r\n+" + longName + "\r\n+b";
  bytes += '\0';
  bytes += "c\r\n[second]\r\n+" + std::string(2046, 'm') + "\r\n+" + std::string(2047, 'o') + "\r\n+\x83";
  WriteNative("bad.dat", bytes);
  ASSERT_EQ(LoadGroups(Path("bad.dat")), 1);
  // The over-long name is skipped whole: its members still follow the group
  // started last, and the tail of a long line is never a line of its own.
  std::vector<std::string> names = GroupNames();
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names.front(), "first");
  EXPECT_EQ(names.back(), "second");
  for (const TreeNode* g = GroupRoot()->firstChild; g; g = g->next) {
    for (const TreeNode* m = g->firstChild; m; m = m->next) {
      EXPECT_LE(m->title.size(), 2046u);
      EXPECT_EQ(m->title.find('\0'), std::string::npos);
    }
  }
  const TreeNode* second = FindGroup("second");
  ASSERT_TRUE(second && second->firstChild);
  EXPECT_EQ(second->firstChild->title, std::string(2046, 'm'));
  EXPECT_EQ(second->firstChild->next, second->lastChild);  // the 2048-byte line is skipped
  EXPECT_EQ(second->lastChild->title, "\x83");  // a lone lead byte at the end is kept as it is

  WriteNative("empty.dat", "");
  EXPECT_EQ(LoadGroups(Path("empty.dat")), 1);
  EXPECT_EQ(GroupRoot()->firstChild, nullptr);
}

}  // namespace
}  // namespace zentu
