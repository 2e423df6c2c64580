#include <filesystem>
#include <random>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "store/customicons.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"
#include "ui/iconindex.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

class TreeFileTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    settings.treeFile = Path("default.html");
    settings.dataDirectory = Path("Data");
    settings.backupDirectory = Path("Backup");
    settings.localIndexFile = Path("local.html");
    settings.siteUrl = "http://site.example/";
    settings.bbsUrl = "http://site.example/bbs";
    settings.helpUrl = "http://site.example/help";
    ResetTreeState();
  }
  void TearDown() override {
    ResetTreeState();
    TempHome::TearDown();
  }
  std::string Saved() {
    EXPECT_EQ(SaveTree(settings), 1);
    return ReadNative("default.html");
  }
  TreeNode* Child(TreeNode* folder, int index) {
    if (!folder) return nullptr;
    TreeNode* n = folder->firstChild;
    while (n && index-- > 0) n = n->next;
    return n;
  }
  TreeFileSettings settings;
};

// Every node kind, property, flag and mark, Japanese titles with 0x5C trail
// bytes, LF-only line ends, the older item and folder forms.
std::string HandWritten() {
  return SJ(
      "<HTML>\n<TITLE>Zentu</TITLE>\n<VERSION>0.99</VERSION>\n<UL>\n"
      "<LI TYPE=\"1\" PROPERTY=\"5\" PROTECTINFO=\"1\" EXPAND=\"1\" SORT=\"0\">未整理フォルダ<UL>\n"
      "<LI><A HREF=\"http://a.example/表示.html\" LOCALFILE=\"a.example\\表示.html\" LASTCHECK=\"2007/02/12 10:11:12\" "
      "ORIGINAL=\"Mon, 12 Feb 2007 01:02:03 GMT\" SIZE=\"1A2B\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"3:1\" PROTECTINFO=\"0\" DLFLAG=\"2\">表示ソース能力</A>\n"
      "</UL>\n"
      "<LI TYPE=\"1\" PROPERTY=\"10\" PROTECTINFO=\"1\" EXPAND=\"0\" SORT=\"0\">検索結果<UL>\n"
      "</UL>\n"
      "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"3\">ソフト<UL>\n"
      "<LI><A HREF=\"\" LOCALFILE=\"Z:\\elsewhere\\memo.txt\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"10\" MARK=\"0:0\" PROTECTINFO=\"0\" DLFLAG=\"0\">メモ</A>\n"
      "<LI><A HREF=\"http://old.example/\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" NEXTCHECK=\"\" SIZE=\"10\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"9:0\" PROTECTINFO=\"0\" DLFLAG=\"3\">古い形式</A>\n"
      "<LI TYPE=\"1\" PROPERTY=\"6\" PROTECTINFO=\"0\" EXPAND=\"1\" SORT=\"2\" PATH=\"Z:\\srv\\同期\" OPTION=\"1010\">同期フォルダ<UL>\n"
      "</UL>\n"
      "<LI TYPE=\"1\" PROPERTY=\"11\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\" PATH=\"http://feed.example/rss\" OPTION=\"131\">ニュース<UL>\n"
      "<LI><A HREF=\"http://feed.example/1\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:1\" PROTECTINFO=\"0\" DLFLAG=\"1\">記事</A>\n"
      "</UL>\n"
      "<LI TYPE=\"1\" PROPERTY=\"9\" PROTECTINFO=\"0\" EXPAND=\"0\">ブックマーク<UL>\n"
      "</UL>\n"
      "</UL>\n"
      "<LI TYPE=\"1\" PROPERTY=\"8\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"22\">取り込み<UL>\n"
      "<LI TYPE=\"1\" PROPERTY=\"1\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">入れ子<UL>\n"
      "<LI><A HREF=\"http://deep.example/\" LOCALFILE=\"deep.example\\index.html\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"FFFFFFFF\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"1:1\" PROTECTINFO=\"0\" DLFLAG=\"2\">深い</A>\n"
      "</UL>\n"
      "</UL>\n"
      "</UL>\n</HTML>\n");
}

TEST_F(TreeFileTest, HandWrittenFileLoadsEveryFieldAndRoundTripsByteForByte) {
  WriteNative("default.html", HandWritten());
  TreeLoadResult r = LoadTree(settings.treeFile, nullptr, settings);
  ASSERT_EQ(r.ok, 1);
  EXPECT_FALSE(r.damaged);
  EXPECT_EQ(r.readErrors, 0);
  TreeState& st = GetTreeState();
  TreeNode* root = st.root;
  ASSERT_TRUE(root);
  EXPECT_EQ(st.currentFolder, root);
  EXPECT_EQ(st.receiveFolder, Child(root, 0));
  EXPECT_EQ(st.searchFolder, Child(root, 1));
  EXPECT_TRUE(st.receiveFolder->isProtected);
  EXPECT_TRUE(st.receiveFolder->expanded);

  TreeNode* item = st.receiveFolder->firstChild;
  ASSERT_TRUE(item);
  EXPECT_EQ(item->title, SJ("表示ソース能力"));
  EXPECT_EQ(item->url, SJ("http://a.example/表示.html"));
  EXPECT_EQ(item->localFile, SJ("a.example\\表示.html"));
  EXPECT_EQ(item->lastCheck, "2007/02/12 10:11:12");
  EXPECT_EQ(item->originalDate, "Mon, 12 Feb 2007 01:02:03 GMT");
  EXPECT_EQ(item->size, 0x1A2Bu);
  EXPECT_EQ(item->mark, 3);
  EXPECT_TRUE(item->unread);
  EXPECT_EQ(item->downloadFlag, 2u);
  EXPECT_EQ(ui::NodeIcon(item, true), ui::kIconDlUrl);
  EXPECT_EQ(st.receiveFolder->unreadCount, 1);

  TreeNode* soft = Child(root, 2);
  EXPECT_EQ(soft->title, SJ("ソフト"));
  EXPECT_EQ(soft->sortMode, kSortTitleAscMixed);
  TreeNode* memo = Child(soft, 0);
  EXPECT_EQ(memo->property, kPropertyTextItem);
  EXPECT_EQ(ui::NodeIcon(memo, true), ui::kIconTextFile);
  EXPECT_EQ(memo->localFile, "Z:\\elsewhere\\memo.txt");
  TreeNode* old = Child(soft, 1);
  EXPECT_EQ(old->title, SJ("古い形式"));
  EXPECT_EQ(old->size, 0x10u);
  EXPECT_EQ(old->mark, 9);
  EXPECT_EQ(old->downloadFlag, 3u);
  EXPECT_EQ(ui::NodeIcon(old, true), ui::kIconErrorUrl);
  TreeNode* sync = Child(soft, 2);
  EXPECT_EQ(sync->property, kPropertySyncFolder);
  EXPECT_EQ(sync->localFile, SJ("Z:\\srv\\同期"));
  EXPECT_TRUE(sync->syncOptions[0]);
  EXPECT_FALSE(sync->syncOptions[1]);
  EXPECT_TRUE(sync->syncOptions[2]);
  EXPECT_FALSE(sync->syncOptions[3]);
  EXPECT_EQ(sync->sortMode, kSortUrlAscItemsFirst);
  TreeNode* rss = Child(soft, 3);
  EXPECT_EQ(rss->url, "http://feed.example/rss");
  EXPECT_TRUE(rss->feedOnly);
  EXPECT_EQ(rss->feedSetting, 3);
  EXPECT_TRUE(rss->autoDelete);
  EXPECT_EQ(rss->unreadCount, 1);
  TreeNode* bookmarks = Child(soft, 4);
  EXPECT_EQ(bookmarks->property, kPropertyBookmarkFolder);
  EXPECT_EQ(bookmarks->sortMode, kSortNone);  // the older form has no SORT
  EXPECT_EQ(soft->unreadCount, 1);
  TreeNode* imported = Child(root, 3);
  ASSERT_TRUE(imported);
  EXPECT_EQ(imported->sortMode, kSortSizeDescItemsFirst);
  TreeNode* deep = Child(Child(imported, 0), 0);
  EXPECT_EQ(deep->size, 0xFFFFFFFFu);
  EXPECT_EQ(imported->unreadCount, 1);
  EXPECT_EQ(root->unreadCount, 0);  // the root counts only items directly under it
  EXPECT_FALSE(st.modified.load());

  // Written back: CR LF, the NEXTCHECK and no-SORT forms become the current form.
  std::string first = Saved();
  EXPECT_NE(first.find(SJ("古い形式")), std::string::npos);
  EXPECT_EQ(first.find("NEXTCHECK"), std::string::npos);
  EXPECT_EQ(first.find("\n"), first.find("\r\n") + 1);
  EXPECT_NE(first.find(SJ("<LI TYPE=\"1\" PROPERTY=\"9\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">ブックマーク<UL>\r\n</UL>\r\n")),
            std::string::npos);
  EXPECT_NE(first.find(SJ("<LI TYPE=\"1\" PROPERTY=\"11\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\" PATH=\"http://feed.example/rss\" OPTION=\"131\">ニュース<UL>\r\n")),
            std::string::npos);
  ASSERT_EQ(LoadTree(settings.treeFile, nullptr, settings).ok, 1);
  std::string second = Saved();
  EXPECT_EQ(first, second);
}

TEST_F(TreeFileTest, WriterFormsAndOmissions) {
  BuildDefaultTree(settings);
  TreeState& st = GetTreeState();
  TreeNode* sync = CreateNode(SJ("同期"), {}, "Z:\\srv\\mirror", kNodeFolder);
  SetProperty(sync, kPropertySyncFolder);
  Link(sync, st.root, kLinkLastChild);
  Link(CreateNode("child", "http://x/", {}, kNodeItem), sync, kLinkLastChild);
  TreeNode* inside = CreateNode("in data", "http://in/", Path("Data") + "\\in\\index.html", kNodeItem);
  TreeNode* near = CreateNode("near data", "http://near/", Path("Database") + "\\x.html", kNodeItem);
  TreeNode* empty = CreateNode("", "", "", kNodeItem);
  empty->url = "http://empty/";
  Link(inside, st.receiveFolder, kLinkLastChild);
  Link(near, st.receiveFolder, kLinkLastChild);
  Link(empty, st.receiveFolder, kLinkLastChild);
  std::string text = Saved();
  EXPECT_EQ(text.rfind("<HTML>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>0.99</VERSION>\r\n<UL>\r\n", 0), 0u);
  EXPECT_EQ(text.find("child"), std::string::npos);  // sync folder children are never written
  EXPECT_NE(text.find("PATH=\"Z:\\srv\\mirror\" OPTION=\"0000\">" + SJ("同期") + "<UL>\r\n</UL>\r\n"), std::string::npos);
  EXPECT_NE(text.find("LOCALFILE=\"in\\index.html\""), std::string::npos);
  EXPECT_NE(text.find("LOCALFILE=\"" + Path("Database") + "\\x.html\""), std::string::npos);
  EXPECT_NE(text.find(">no title</A>"), std::string::npos);
  EXPECT_NE(text.find(SJ("SORT=\"0\">検索結果<UL>\r\n</UL>\r\n")), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 16), "</UL>\r\n</HTML>\r\n");
  // The older format drops SORT from ordinary and sync folders only.
  ASSERT_EQ(SaveTree(Path("old.html"), st.root, settings, TreeFormat::Older), 1);
  std::string older = ReadNative("old.html");
  EXPECT_NE(older.find(SJ("EXPAND=\"0\">検索結果<UL>")), std::string::npos);
  EXPECT_NE(older.find("EXPAND=\"0\" PATH=\"Z:\\srv\\mirror\""), std::string::npos);
}

TEST_F(TreeFileTest, SaveKeepsExactlyOneBakOfThePreviousFile) {
  BuildDefaultTree(settings);
  std::string v1 = Saved();
  SetTitle(GetTreeState().receiveFolder->next->next, "renamed");
  std::string v2 = Saved();
  EXPECT_NE(v1, v2);
  EXPECT_EQ(ReadNative("default.html.bak"), v1);
  SetTitle(GetTreeState().receiveFolder->next->next, "again");
  std::string v3 = Saved();
  EXPECT_EQ(ReadNative("default.html.bak"), v2);
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(nativeHome)) {
    std::string name = e.path().filename().string();
    if (name.rfind("default.html", 0) == 0) ++files;
  }
  EXPECT_EQ(files, 2);
}

// A save that dies after any single file operation leaves the old or the new
// tree file complete, and a complete ".bak".
TEST_F(TreeFileTest, InterruptedSaveNeverLosesTheTree) {
  BuildDefaultTree(settings);
  std::string older = Saved();
  SetTitle(GetTreeState().receiveFolder->next->next, "middle");
  std::string old = Saved();
  ASSERT_EQ(ReadNative("default.html.bak"), older);
  SetTitle(GetTreeState().receiveFolder->next->next, "newest title");
  std::string expectedNew;
  {
    TreeFileSettings probe = settings;
    probe.treeFile = Path("probe.html");
    ASSERT_EQ(SaveTree(probe.treeFile, GetTreeState().root, probe), 1);
    expectedNew = ReadNative("probe.html");
  }
  int completed = 0;
  for (int at = 1; at <= 40 && completed < 3; ++at) {
    WriteNative("default.html", old);
    WriteNative("default.html.bak", older);
    os::SetFileFaultAt(at);
    int r = SaveTree(settings);
    os::SetFileFaultAt(0);
    std::string now = ReadNative("default.html");
    std::string bak = ReadNative("default.html.bak");
    EXPECT_TRUE(now == old || now == expectedNew) << "fault at " << at;
    EXPECT_TRUE(bak == older || bak == old) << "fault at " << at;
    if (r == 1) {
      EXPECT_EQ(now, expectedNew);
      EXPECT_EQ(bak, old);
      ++completed;
    } else {
      EXPECT_EQ(now, old) << "a failed save must leave the old file";
    }
  }
  EXPECT_GT(completed, 0);
}

TEST_F(TreeFileTest, DamagedFilesNeverCrashAndAreKeptBeforeAnySave) {
  std::string good = HandWritten();
  std::mt19937 rng(7);
  std::string junk(5000, '\0');
  for (auto& c : junk) c = static_cast<char>(rng());
  std::string longLine = "<LI><A HREF=\"http://x/" + std::string(40000, 'a') + "\" LOCALFILE=\"\">t</A>\n";
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"truncated", good.substr(0, good.size() / 2)},
      {"binary", junk},
      {"unbalanced-open", "<HTML>\n<UL>\n<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\">a<UL>\n<LI TYPE=\"1\" PROPERTY=\"3\">b<UL>\n"},
      {"unbalanced-close", "<HTML>\n<UL>\n</UL>\n</UL>\n</UL>\n</UL>\n</HTML>\n"},
      {"long-lines", "<HTML>\n<VERSION>0.99</VERSION>\n<UL>\n" + longLine + std::string(3000, 'x') + "\n</UL>\n</HTML>\n"},
      {"garbage-lines", "<HTML>\n<UL>\n<LI TYPE=\"\n<LI TYPE=\"1\" PROPERTY=\"6\" PATH=\"\n<LI TYPE=\"1\" PROPERTY=\"11\"\n<>\n<LI><A HREF=\"x\">\n</UL>\n</HTML>\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteNative("default.html", c.content);
    TreeLoadResult r = LoadTree(settings.treeFile, nullptr, settings);
    EXPECT_EQ(r.ok, 1);
    EXPECT_TRUE(r.damaged);
    ASSERT_FALSE(r.keptCopy.empty());
    std::string copy;
    ASSERT_TRUE(os::ReadWholeFile(r.keptCopy, copy));
    EXPECT_EQ(copy, c.content);
    TreeState& st = GetTreeState();
    ASSERT_TRUE(st.root && st.receiveFolder && st.searchFolder);
    EXPECT_EQ(SaveTree(settings), 1);  // and the collection can be saved again
    ASSERT_TRUE(std::filesystem::remove(os::ToNativePath(r.keptCopy).value()));
  }
  // Empty: the message, and the tree still works.
  WriteNative("default.html", "");
  desktop.messages.clear();
  TreeLoadResult r = LoadTree(settings.treeFile, nullptr, settings);
  EXPECT_TRUE(r.damaged);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].text, SJ("ツリー情報が壊れています．バックアップからデータを戻してください．"));
}

TEST_F(TreeFileTest, MissingFileGivesTheDefaultTreeOrTheBak) {
  TreeLoadResult r = LoadTree(settings.treeFile, nullptr, settings);
  EXPECT_TRUE(r.usedDefault);
  EXPECT_TRUE(LogContains("> not found : " + settings.treeFile));
  TreeState& st = GetTreeState();
  EXPECT_EQ(st.receiveFolder->title, SJ("未整理フォルダ"));
  EXPECT_EQ(st.searchFolder->title, SJ("検索結果"));
  EXPECT_EQ(st.receiveFolder->next, st.searchFolder);
  TreeNode* site = st.searchFolder->next;
  ASSERT_TRUE(site);
  EXPECT_EQ(site->title, "Zentu Site");
  EXPECT_EQ(site->property, kPropertyProductFolder);
  ASSERT_TRUE(site->firstChild);
  EXPECT_EQ(site->firstChild->title, "Zentu Home");
  EXPECT_EQ(site->firstChild->url, settings.siteUrl);
  EXPECT_EQ(site->firstChild->next->title, "Zentu [BBS]");
  EXPECT_EQ(site->firstChild->next->next->title, "Zentu Help [Wiki]");
  // Only a ".bak" on disk: it is loaded instead of starting empty.
  WriteNative("default.html.bak", HandWritten());
  r = LoadTree(settings.treeFile, nullptr, settings);
  EXPECT_FALSE(r.usedDefault);
  EXPECT_EQ(GetTreeState().receiveFolder->unreadCount, 1);
}

TEST_F(TreeFileTest, ReaderRules) {
  std::string longTitle;
  for (int i = 0; i < 300; ++i) longTitle += SJ("表");  // 600 bytes of 0x5C trail characters
  WriteNative("default.html",
              "<HTML>\n<UL>\n"
              "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\">" + longTitle + "<UL>\n</UL>\n"
              "<LI><A HREF=\"\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:0\" PROTECTINFO=\"0\" DLFLAG=\"0\">dropped</A>\n"
              "<LI><A HREF=\"http://u/\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:0\" PROTECTINFO=\"0\" DLFLAG=\"0\"></A>\n"
              "</UL>\n</HTML>\n");
  TreeLoadResult r = LoadTree(settings.treeFile, nullptr, settings);
  TreeState& st = GetTreeState();
  // Receive and search-result folders are made when the file has none.
  EXPECT_EQ(st.root->firstChild, st.receiveFolder);
  EXPECT_EQ(st.receiveFolder->next, st.searchFolder);
  TreeNode* folder = st.searchFolder->next;
  EXPECT_EQ(folder->title.size(), 512u);  // cut at 512 bytes, on a character boundary
  EXPECT_EQ(folder->title, longTitle.substr(0, 512));
  TreeNode* item = folder->next;
  ASSERT_TRUE(item);
  EXPECT_EQ(item->title, "Untitled");
  EXPECT_EQ(item->next, nullptr);
  EXPECT_FALSE(r.damaged);
}

// One folder in the next, as deep as a generated or hand-edited file makes it:
// read and written in time linear in the file, counts and custom icons right.
TEST_F(TreeFileTest, DeeplyNestedFoldersRoundTrip) {
  constexpr int kDepth = 100000;
  auto folderLine = [](const std::string& title) {
    return "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">" + title + "<UL>\r\n";
  };
  auto itemLine = [](int i, int unread) {
    return "<LI><A HREF=\"http://d.example/" + std::to_string(i) +
           "\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:" +
           std::to_string(unread) + "\" PROTECTINFO=\"0\" DLFLAG=\"0\">i" + std::to_string(i) + "</A>\r\n";
  };
  std::string file = "<HTML>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>0.99</VERSION>\r\n<UL>\r\n";
  file += "<LI TYPE=\"1\" PROPERTY=\"5\" PROTECTINFO=\"1\" EXPAND=\"0\" SORT=\"0\">" + SJ("未整理フォルダ") +
          "<UL>\r\n</UL>\r\n";
  file += "<LI TYPE=\"1\" PROPERTY=\"10\" PROTECTINFO=\"1\" EXPAND=\"0\" SORT=\"0\">" + SJ("検索結果") +
          "<UL>\r\n</UL>\r\n";
  std::string deepestKey = std::string(kRootWord);
  int unreadItems = 0;
  for (int i = 0; i < kDepth; ++i) {
    file += folderLine("d" + std::to_string(i));
    deepestKey += "\td" + std::to_string(i);
    if (i % 1000 == 999) {
      file += itemLine(i, 1);
      ++unreadItems;
    }
  }
  for (int i = 0; i < kDepth; ++i) file += "</UL>\r\n";
  file += "</UL>\r\n</HTML>\r\n";
  WriteNative("default.html", file);

  WriteNative("o.ico", "open");
  WriteNative("c.ico", "close");
  ResetCustomIcons();
  ASSERT_EQ(SetCustomIcon(deepestKey, Path("o.ico"), Path("c.ico")), 1);
  settings.applyCustomIcon = &ApplyCustomIcon;
  TreeLoadResult r = LoadTree(settings.treeFile, nullptr, settings);
  ResetCustomIcons();
  ASSERT_EQ(r.ok, 1);
  EXPECT_FALSE(r.damaged);
  TreeState& st = GetTreeState();
  TreeNode* top = st.searchFolder->next;
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->unreadCount, unreadItems);
  TreeNode* n = top;
  int depth = 1;
  auto subfolder = [](TreeNode* f) {
    TreeNode* c = f->firstChild;
    while (c && IsItem(c)) c = c->next;
    return c;
  };
  while (subfolder(n)) {
    n = subfolder(n);
    ++depth;
    if (depth == kDepth / 2) {
      EXPECT_EQ(n->title, "d49999");
      EXPECT_EQ(n->unreadCount, 51);  // the items of d49999, d50999, ..., d99999
    }
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(n->title, "d" + std::to_string(kDepth - 1));
  EXPECT_GE(ui::NodeIcon(n, true), ui::kFirstCustomIconIndex);
  EXPECT_LT(ui::NodeIcon(n->parent, true), ui::kFirstCustomIconIndex);
  EXPECT_EQ(FindFolderByTreePath(st.root, deepestKey), n);
  EXPECT_EQ(FindItemByTreePath(st.root, deepestKey.substr(0, deepestKey.rfind('\t')), "http://d.example/99998"),
            nullptr);
  EXPECT_EQ(Saved(), file);
}

// A load told to stop gives up at once; nothing of it is to be kept or saved.
TEST_F(TreeFileTest, StopRequestEndsALoadWithoutKeepingAnything) {
  WriteNative("default.html", HandWritten());
  WriteNative("other.html", HandWritten());
  const std::atomic<bool> stop{true};
  settings.stop = &stop;
  for (bool full : {true, false}) {
    SCOPED_TRACE(full);
    log::Clear();
    if (!full) BuildDefaultTree(settings);
    TreeLoadResult r = LoadTree(full ? settings.treeFile : Path("other.html"), full ? nullptr : GetTreeState().root,
                                settings);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.ok, 0);
    EXPECT_TRUE(r.keptCopy.empty());
    EXPECT_TRUE(LogContains("> load of the tree stopped"));
  }
  for (const auto& e : std::filesystem::directory_iterator(nativeHome))
    EXPECT_EQ(e.path().string().find(".damaged"), std::string::npos) << e.path();
  EXPECT_EQ(ReadNative("default.html"), HandWritten());
}

TEST_F(TreeFileTest, ImportMakesAnImportFolderAndKeepsOwnSpecialFolders) {
  BuildDefaultTree(settings);
  TreeState& st = GetTreeState();
  TreeNode* receive = st.receiveFolder;
  std::string other = Path("other.html");
  WriteNative("other.html", HandWritten());
  TreeLoadResult r = LoadTree(other, st.root, settings);
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(st.receiveFolder, receive);
  TreeNode* imported = LastChild(st.root);
  EXPECT_EQ(imported->title, other);
  EXPECT_EQ(imported->property, kPropertyImportFolder);
  EXPECT_EQ(st.currentFolder, imported);
  TreeNode* was = imported->firstChild;
  EXPECT_EQ(was->property, kPropertyFolder);
  EXPECT_FALSE(was->isProtected);
  EXPECT_EQ(was->next->property, kPropertyFolder);
  EXPECT_EQ(imported->unreadCount, 3);
  // A file that cannot be read: the path and the caption, nothing added.
  desktop.messages.clear();
  LoadTree(Path("missing.html"), st.root, settings);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].text, Path("missing.html"));
  EXPECT_EQ(desktop.messages[0].caption, SJ("ファイルを読み込むことができません"));
}

TEST_F(TreeFileTest, FastItemParserAgreesWithThePattern) {
  const char* pieces[] = {"\"", "\" ", "\">", "<", ">", " SIZE=\"", "\" LOCALFILE=\"", "</A>", "a", "\x95\x5C", "NEXTCHECK=\"\""};
  std::string base =
      "<LI><A HREF=\"http://h/p\" LOCALFILE=\"h\\p\" LASTCHECK=\"d\" ORIGINAL=\"o\" SIZE=\"1F\" TYPE=\"2\" "
      "PROPERTY=\"8\" MARK=\"1:0\" PROTECTINFO=\"0\" DLFLAG=\"2\">title</A>";
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; ++i) {
    std::string line = base;
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % (line.size() + 1);
      line.insert(at, pieces[rng() % std::size(pieces)]);
    }
    ItemLineFields fast, slow;
    bool a = ParseItemLine(line, fast);
    bool b = ParseItemLineByPattern(line, slow);
    ASSERT_EQ(a, b) << line;
    if (a) {
      EXPECT_EQ(fast.href, slow.href) << line;
      EXPECT_EQ(fast.localFile, slow.localFile) << line;
      EXPECT_EQ(fast.size, slow.size) << line;
      EXPECT_EQ(fast.dlflag, slow.dlflag) << line;
      EXPECT_EQ(fast.title, slow.title) << line;
    }
  }
}

TEST_F(TreeFileTest, VersionCheck) {
  struct Row {
    const char* content;
    TreeVersionFinding finding;
    int setups, upgrades, messages;
  } rows[] = {
      {nullptr, TreeVersionFinding::Missing, 1, 0, 0},
      {"<HTML>\n<UL>\n", TreeVersionFinding::Broken, 0, 0, 1},
      {"<VERSION>0</VERSION>\n", TreeVersionFinding::Broken, 0, 0, 1},
      {"<VERSION>0.30</VERSION>\n", TreeVersionFinding::TooOld, 0, 0, 1},
      {"<VERSION>0.47</VERSION>\n", TreeVersionFinding::Upgrade, 1, 1, 0},
      {"<VERSION>0.80</VERSION>\n", TreeVersionFinding::Upgrade, 0, 1, 0},
      {"<HTML>\n<VERSION>0.99</VERSION>\n", TreeVersionFinding::Current, 0, 0, 0},
  };
  for (auto& row : rows) {
    std::filesystem::remove(nativeHome + "/default.html");
    if (row.content) WriteNative("default.html", row.content);
    int setups = 0, upgrades = 0;
    desktop.messages.clear();
    TreeVersionHooks hooks{[&] { ++setups; }, [&](double, double) { ++upgrades; }};
    EXPECT_EQ(CheckTreeVersion(settings.treeFile, hooks), row.finding) << (row.content ? row.content : "missing");
    EXPECT_EQ(setups, row.setups);
    EXPECT_EQ(upgrades, row.upgrades);
    EXPECT_EQ(static_cast<int>(desktop.messages.size()), row.messages);
  }
}

TEST_F(TreeFileTest, TimerStepBackupAndExitSave) {
  clock.now = 1171238400 + 3600 * 12;  // 2007-02-12 noon
  BuildDefaultTree(settings);
  TreeState& st = GetTreeState();
  st.modified = false;
  settings.autoSave = true;
  PeriodicSaveStep(settings);
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/default.html"));  // nothing changed, nothing written
  SetTitle(st.searchFolder->next, "changed");
  PeriodicSaveStep(settings);
  EXPECT_TRUE(std::filesystem::exists(nativeHome + "/default.html"));
  EXPECT_TRUE(std::filesystem::exists(nativeHome + "/Backup/20070212.html"));
  EXPECT_FALSE(st.modified.load());
  // Exit with confirmation: No saves nothing.
  settings.saveConfirm = true;
  SetTitle(st.searchFolder->next, "unsaved");
  desktop.answers = {os::IDNO};
  EXPECT_TRUE(SaveTreeAtExit(settings));  // declined: no failure
  EXPECT_EQ(ReadNative("default.html").find("unsaved"), std::string::npos);
  desktop.answers = {os::IDYES};
  EXPECT_TRUE(SaveTreeAtExit(settings));
  EXPECT_NE(ReadNative("default.html").find("unsaved"), std::string::npos);
  // A save that cannot be written is reported.
  settings.saveConfirm = false;
  std::filesystem::create_directory(nativeHome + "/default.html.$$$");
  EXPECT_FALSE(SaveTreeAtExit(settings));
  std::filesystem::remove(nativeHome + "/default.html.$$$");
  // Saving disabled: nothing at all, and nothing failed.
  settings.flagSave = false;
  SetTitle(st.searchFolder->next, "never");
  EXPECT_TRUE(SaveTreeAtExit(settings));
  EXPECT_EQ(ReadNative("default.html").find("never"), std::string::npos);
}

TEST_F(TreeFileTest, LocalIndexPage) {
  BuildDefaultTree(settings);
  TreeState& st = GetTreeState();
  TreeNode* item = CreateNode(SJ("ページ"), "http://p/", Path("Data") + "\\p\\index.html", kNodeItem);
  item->size = 4096;
  item->lastCheck = "2007/02/12 00:00:00";
  Link(item, st.receiveFolder, kLinkLastChild);
  ASSERT_EQ(SaveLocalIndex(settings.localIndexFile, settings), 1);
  std::string page = ReadNative("local.html");
  EXPECT_EQ(page.rfind("<HTML><HEAD>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>0.99</VERSION>\r\n", 0), 0u);
  EXPECT_NE(page.find("<base href=\"file://" + nativeHome + "/Data/\"></HEAD><BODY>\r\n<UL>\r\n"), std::string::npos);
  EXPECT_NE(page.find("<LI><A HREF=\"p\\index.html\">" + SJ("ページ") +
                      "</A> - <A HREF=\"http://p/\">*</A> - 4KB [2007/02/12 00:00:00]</LI>\r\n"),
            std::string::npos);
  EXPECT_NE(page.find(SJ("<LI>未整理フォルダ</LI><UL>\r\n")), std::string::npos);
  settings.baseHref = "http://mirror/";
  ASSERT_EQ(SaveLocalIndex(settings.localIndexFile, settings), 1);
  EXPECT_NE(ReadNative("local.html").find("<base href=\"http://mirror/\"></HEAD>"), std::string::npos);
}

// Titles come from pages and from the user: markup-like text and line breaks
// in them must not change the collection's shape or lose nodes when the file
// is read back. An item's "<" comes back as "＜", a "\">" as "”>", a line
// break as a space.
TEST_F(TreeFileTest, BadInputTitlesWithMarkupRoundTrip) {
  const std::vector<std::string> titles = {"a</A>b", "x<UL>y", "<LI><A HREF=\"q\">z", "</UL>", "p\"q",
                                           "1 > 0 < 2", "two\r\nlines", SJ("表</A>示<UL>")};
  BuildDefaultTree(settings);
  TreeNode* root = GetTreeState().root;
  int n = 0;
  for (const std::string& t : titles) {
    TreeNode* f = CreateNode(t, {}, {}, kNodeFolder);
    Link(f, root, kLinkLastChild);
    TreeNode* item = CreateNode(t, "http://example.org/" + std::to_string(n++), {}, kNodeItem);
    Link(item, f, kLinkLastChild);
  }
  ASSERT_EQ(SaveTree(settings), 1);
  ResetTreeState();
  TreeLoadResult r = LoadTree(settings.treeFile, nullptr, settings);
  EXPECT_EQ(r.readErrors, 0);
  root = GetTreeState().root;
  ASSERT_NE(root, nullptr);
  std::vector<std::string> folders, items, expectedFolders, expectedItems;
  for (const std::string& t : titles) {
    std::string folder = t, item;
    for (char& c : folder)
      if (c == '\r' || c == '\n') c = ' ';
    for (size_t i = 0; i < folder.size(); ++i) {
      if (folder[i] == '<') item += SJ("＜");
      else if (folder[i] == '"' && i + 1 < folder.size() && folder[i + 1] == '>') item += SJ("”");
      else item += folder[i];
    }
    expectedFolders.push_back(folder);
    expectedItems.push_back(item);
  }
  for (TreeNode* f = root->firstChild; f; f = f->next) {
    if (!IsFolder(f) || IsReceiveFolder(f) || IsSearchFolder(f) || f->title == "Zentu Site") continue;
    folders.push_back(f->title);
    ASSERT_NE(f->firstChild, nullptr) << f->title;
    items.push_back(f->firstChild->title);
  }
  EXPECT_EQ(folders, expectedFolders);
  EXPECT_EQ(items, expectedItems);
}

}  // namespace
}  // namespace zentu

namespace zentu {
namespace {

// Every field a tree file can hold, one line per node in pre-order; the sort
// mode only where `withSort`.
std::string DumpTree(const TreeNode* node, bool olderFormat, int depth = 0) {
  std::string out;
  for (const TreeNode* n = node->firstChild; n; n = n->next) {
    const bool rss = n->property == kPropertyRssFolder;
    out += std::string(static_cast<size_t>(depth) * 2, ' ') + std::to_string(n->type) + "/" +
           std::to_string(n->property) + " [" + n->title + "] url=" + n->url + " local=" + n->localFile +
           " check=" + n->lastCheck + " orig=" + n->originalDate + " size=" + std::to_string(n->size) +
           " mark=" + std::to_string(n->mark) + " unread=" + std::to_string(n->unread) +
           " dl=" + std::to_string(n->downloadFlag) + " expand=" + std::to_string(n->expanded) +
           " protect=" + std::to_string(n->isProtected) +
           " sort=" + std::to_string(olderFormat && n->type != kNodeItem && !rss ? kSortNone : n->sortMode) +
           " sync=" + std::to_string(n->syncOptions[0]) + std::to_string(n->syncOptions[1]) +
           std::to_string(n->syncOptions[2]) + std::to_string(n->syncOptions[3]) +
           " feed=" + std::to_string(n->feedOnly) + std::to_string(n->feedSetting) + std::to_string(n->autoDelete) +
           " unreadCount=" + std::to_string(n->unreadCount) + "\n";
    out += DumpTree(n, olderFormat, depth + 1);
  }
  return out;
}

// The older format differs from the current one only by the sort modes of
// ordinary and sync folders: read back, everything else is as it was.
TEST_F(TreeFileTest, OlderFormatReadsBackWithEverythingItCanHold) {
  WriteNative("default.html", HandWritten());
  ASSERT_EQ(LoadTree(settings.treeFile, nullptr, settings).ok, 1);
  TreeState& st = GetTreeState();
  // A folder whose sort mode the older format cannot hold, and one (RSS) whose it can.
  TreeNode* soft = Child(st.root, 2);
  ASSERT_NE(soft->sortMode, kSortNone);
  SetSortMode(Child(soft, 3), kSortTitleDescMixed);
  const std::string before = DumpTree(st.root, true);
  const std::string exact = DumpTree(st.root, false);
  const std::string tree = ReadNative("default.html");

  ASSERT_EQ(SaveTree(Path("Export\\old.html"), st.root, settings, TreeFormat::Older), 1);
  EXPECT_EQ(ReadNative("default.html"), tree);  // the live tree file is not touched
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/default.html.bak"));
  const std::string older = ReadNative("Export/old.html");
  EXPECT_EQ(older.find(SJ("SORT=\"3\">ソフト")), std::string::npos);
  EXPECT_NE(older.find(SJ("SORT=\"") + std::to_string(kSortTitleDescMixed) + SJ("\" PATH=\"http://feed.example/rss\"")),
            std::string::npos);

  ResetTreeState();
  TreeLoadResult r = LoadTree(Path("Export\\old.html"), nullptr, settings);
  ASSERT_EQ(r.ok, 1);
  EXPECT_FALSE(r.damaged);
  EXPECT_EQ(DumpTree(GetTreeState().root, true), before);
  EXPECT_NE(DumpTree(GetTreeState().root, false), exact);  // only the sort modes went
  // Saved again in the current format, it is the older file with SORT="0" put back.
  ASSERT_EQ(SaveTree(Path("again.html"), GetTreeState().root, settings), 1);
  ResetTreeState();
  ASSERT_EQ(LoadTree(Path("again.html"), nullptr, settings).ok, 1);
  EXPECT_EQ(DumpTree(GetTreeState().root, true), before);
}

// One backup copy a day, named by the local date; a later backup of the same
// day replaces it whole, the next day's is a new file.
TEST_F(TreeFileTest, BackupCopiesAreNamedByDayAndReplacedThatDay) {
  struct Row {
    int64_t now;
    const char* name;
  };
  const Row rows[] = {
      {1171238400 + 3600 * 12, "20070212.html"},  // 2007-02-12 noon
      {1167652800, "20070101.html"},              // 2007-01-01 noon: month and day padded
      {1924948800, "20301231.html"},              // 2030-12-31 noon
  };
  for (const Row& row : rows) {
    clock.now = row.now;
    EXPECT_EQ(os::FileNameOf(BackupFileName(settings)), row.name);
  }

  clock.now = rows[0].now;
  BuildDefaultTree(settings);
  TreeState& st = GetTreeState();
  ASSERT_EQ(BackupTree(settings), 1);
  EXPECT_TRUE(LogContains("# Backup MyZentu File : " + Path("Backup\\20070212.html")));
  SetTitle(st.searchFolder->next, SJ("二度目"));
  clock.now += 3600;
  ASSERT_EQ(BackupTree(settings), 1);
  clock.now += 86400;
  SetTitle(st.searchFolder->next, SJ("翌日"));
  ASSERT_EQ(BackupTree(settings), 1);
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(nativeHome + "/Backup")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"20070212.html", "20070213.html"}));  // no temporary file left
  EXPECT_NE(ReadNative("Backup/20070212.html").find(SJ("二度目")), std::string::npos);
  EXPECT_NE(ReadNative("Backup/20070213.html").find(SJ("翌日")), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/default.html"));  // a backup is no save of the tree file

  // A backup directory that cannot be made: the message names it, nothing is written.
  settings.backupDirectory = Path("blocked\\Backup");
  WriteNative("blocked", "a file where the folder should be");
  desktop.messages.clear();
  EXPECT_EQ(BackupTree(settings), 0);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].text, SJ("バックアップ用ディレクトリが作成できません\r\n\r\nフォルダ名 = ") +
                                          settings.backupDirectory);
  EXPECT_EQ(desktop.messages[0].caption, SJ("エラー"));
  // Saving switched off: no backup either.
  settings.backupDirectory = Path("Backup2");
  settings.flagSave = false;
  EXPECT_EQ(BackupTree(settings), 0);
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/Backup2"));
}

}  // namespace
}  // namespace zentu
