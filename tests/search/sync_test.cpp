#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "search/sync.h"
#include "store/treefile.h"
#include "tests/search/search_fixture.h"

namespace zentu::testing {
namespace {

namespace fs = std::filesystem;

class SyncTest : public SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    dir = Path("Sync");
    nativeDir = nativeHome + "/Sync";
    WriteNative("Sync/memo.txt", "memo");
    WriteNative("Sync/page.html", "<title>p</title>");
    WriteNative("Sync/site.url", "[InternetShortcut]\r\nURL=http://www.example.jp/\r\n");
    WriteNative("Sync/README", "plain");
    WriteNative("Sync/sub/inner.txt", "inner");
    WriteNative("Sync/page.files/img.png", "png");
  }
  // Every file below a native directory with its size, sorted.
  static std::vector<std::string> Listing(const std::string& native) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(native))
      if (e.is_regular_file()) out.push_back(fs::relative(e.path(), native).string() + " " +
                                             std::to_string(e.file_size()));
    std::sort(out.begin(), out.end());
    return out;
  }
  TreeNode* NewSync(bool sub, bool skipFiles) {
    bool options[4] = {false, false, sub, skipFiles};
    TreeNode* f = NewSyncFolderNode("sync", dir, options);
    EXPECT_EQ(Link(f, root, kLinkLastChild), f);
    return f;
  }
  std::string dir, nativeDir;
};

TEST_F(SyncTest, FilesBecomeItemsByKind) {
  SyncSettings settings;
  struct Row {
    bool sub, skipFiles;
    std::vector<std::string> titles;
  } rows[] = {
      {false, false, {"README", "memo", "page.html", "site"}},
      {true, true, {"README", "memo", "page.html", "site", "sub"}},
      {true, false, {"README", "memo", "page.files", "page.html", "site", "sub"}},
  };
  for (const Row& r : rows) {
    TreeNode* f = NewSync(r.sub, r.skipFiles);
    EXPECT_EQ(FillSyncFolder(f, dir, settings), static_cast<int>(r.titles.size()) + (r.sub ? r.skipFiles ? 1 : 2 : 0));
    EXPECT_EQ(Titles(f), r.titles);
    DestroyNode(f);
  }
  TreeNode* f = NewSync(true, true);
  ASSERT_GT(FillSyncFolder(f, dir, settings), 0);
  const TreeNode* readme = f->firstChild;
  const TreeNode* memo = readme->next;
  const TreeNode* page = memo->next;
  const TreeNode* site = page->next;
  const TreeNode* sub = site->next;
  EXPECT_TRUE(IsTextItem(readme));
  EXPECT_TRUE(IsTextItem(memo));
  EXPECT_EQ(memo->localFile, os::JoinPath(dir, "memo.txt"));
  EXPECT_EQ(memo->url, memo->localFile);
  EXPECT_EQ(memo->size, 4u);
  EXPECT_EQ(memo->lastCheck.size(), 19u);
  EXPECT_EQ(memo->lastCheck, memo->originalDate);
  EXPECT_EQ(page->property, kPropertyUrlItem);
  EXPECT_EQ(page->downloadFlag, kDownloadDone);
  EXPECT_EQ(site->url, "http://www.example.jp/");
  EXPECT_EQ(site->localFile, "http://www.example.jp/");
  EXPECT_TRUE(IsSyncFolder(sub));
  EXPECT_TRUE(sub->syncOptions[3]);
  EXPECT_EQ(Titles(sub), std::vector<std::string>{"inner"});
  EXPECT_TRUE(LogContains("New Path: " + os::JoinPath(dir, "sub")));
  EXPECT_EQ(TextDirectoryForFolder(sub), os::JoinPath(dir, "sub"));
  EXPECT_EQ(TextDirectoryForFolder(root), "");

  settings.importUrlAsHtmlItem = true;
  EXPECT_GT(ReloadSyncFolder(f, settings), 0);
  EXPECT_EQ(f->firstChild->next->next->next->localFile, os::JoinPath(dir, "site.url"));
  TreeNode* missing = NewSyncFolderNode("gone", Path("NoSuchDir"), f->syncOptions);
  ASSERT_EQ(Link(missing, root, kLinkLastChild), missing);
  EXPECT_EQ(ReloadSyncFolder(missing, settings), 0);
  EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(SyncTest, ReloadSeesOutsideChangesAndKeepsNamesCodePage932Lacks) {
  TreeNode* f = NewSync(false, false);
  ASSERT_EQ(ReloadSyncFolder(f, {}), 4);
  fs::remove(nativeDir + "/README");
  WriteNative("Sync/new.txt", "n");
  WriteNative("Sync/caf\xC3\xA9 \xE2\x98\x83.txt", "accents");  // é and a snowman: not in code page 932
  WriteNative("Sync/odd&#233;.txt", "literal");
  WriteNative("Sync/bad\xFF.txt", "not utf-8");
  ASSERT_EQ(ReloadSyncFolder(f, {}), 7);
  EXPECT_EQ(Titles(f), (std::vector<std::string>{"bad&#56575;", "caf&#233; &#9731;", "memo", "new",
                                                 "odd&#38;#233;", "page.html", "site"}));
  // Each of them leads back to its own file.
  for (TreeNode* c = f->firstChild; c; c = c->next) {
    if (c->localFile.find("://") != std::string::npos) continue;
    EXPECT_TRUE(os::FileExists(c->localFile)) << U8(c->localFile);
  }
  std::string bytes;
  ASSERT_TRUE(os::ReadWholeFile(f->firstChild->next->localFile, bytes));
  EXPECT_EQ(bytes, "accents");
  ASSERT_TRUE(os::ReadWholeFile(f->firstChild->next->next->next->next->localFile, bytes));
  EXPECT_EQ(bytes, "literal");
  const std::vector<std::string> before = Listing(nativeDir);
  ASSERT_EQ(ReloadSyncFolder(f, {}), 7);
  EXPECT_EQ(Listing(nativeDir), before);
}

TEST_F(SyncTest, MovesCarryFilesAndNeverOverwrite) {
  TreeNode* f = NewSync(true, true);
  ASSERT_GT(ReloadSyncFolder(f, {}), 0);
  TreeNode* plain = Folder(root, "plain");
  TreeNode* folder = Folder(root, "other");
  WriteFile(os::JoinPath(text, "n1.txt"), "first note");
  WriteFile(os::JoinPath(text, "n2.txt"), "second note");
  TreeNode* note = Item(plain, "memo", os::JoinPath(text, "n1.txt"), "n1.txt");
  note->property = kPropertyTextItem;
  TreeNode* note2 = Item(plain, "memo", os::JoinPath(text, "n2.txt"), "n2.txt");
  note2->property = kPropertyTextItem;
  TreeNode* web = Item(plain, "web", "http://e.jp/", "e.jp\\index.html");
  std::vector<std::string> before = Listing(nativeDir);
  std::vector<std::string> textBefore = Listing(nativeHome + "/Text");

  EXPECT_FALSE(CheckMoveIntoOrOutOfSync(folder, f, text));
  EXPECT_TRUE(LogContains("Can't move folder to sync folder"));
  EXPECT_FALSE(CheckMoveIntoOrOutOfSync(web, f, text));
  EXPECT_TRUE(LogContains("Can't move url item to sync folder"));
  TreeNode* sub = f->lastChild;
  ASSERT_TRUE(IsSyncFolder(sub));
  EXPECT_FALSE(CheckMoveIntoOrOutOfSync(sub, f, text));
  EXPECT_TRUE(LogContains("Can't move sync folder to sync folder"));
  EXPECT_TRUE(CheckMoveIntoOrOutOfSync(folder, plain, text));
  EXPECT_EQ(Listing(nativeDir), before);

  // Into the sync folder: named by its title; the second one gets the counter.
  ASSERT_TRUE(CheckMoveIntoOrOutOfSync(note, f, text));
  EXPECT_EQ(note->localFile, os::JoinPath(dir, "memo (1).txt"));  // memo.txt is there already
  ASSERT_TRUE(CheckMoveIntoOrOutOfSync(note2, f, text));
  EXPECT_EQ(note2->localFile, os::JoinPath(dir, "memo (2).txt"));
  EXPECT_EQ(note2->url, note2->localFile);
  ASSERT_NE(MoveNode(note2, f), nullptr);
  EXPECT_TRUE(LogContains("rename " + os::JoinPath(text, "n2.txt") + " -> " + note2->localFile));

  // Out again into an ordinary folder: back to the Text directory, bare name.
  TreeNode* memo = f->firstChild->next;
  ASSERT_EQ(memo->title, "memo");
  ASSERT_TRUE(CheckMoveIntoOrOutOfSync(memo, plain, text));
  EXPECT_EQ(memo->localFile, "memo.txt");
  EXPECT_EQ(memo->url, os::JoinPath(text, "memo.txt"));
  WriteNative("Text/memo.txt.keep", "");
  ASSERT_TRUE(CheckMoveIntoOrOutOfSync(note2, plain, text));
  EXPECT_EQ(note2->localFile, "memo (1).txt");

  // Nothing was lost or overwritten: the same contents, some under new names.
  std::vector<std::string> all = Listing(nativeDir), textAll = Listing(nativeHome + "/Text");
  all.insert(all.end(), textAll.begin(), textAll.end());
  std::vector<std::string> sizes, sizesBefore;
  for (auto& v : {all}) for (auto& s : v) sizes.push_back(s.substr(s.rfind(' ')));
  before.insert(before.end(), textBefore.begin(), textBefore.end());
  for (auto& s : before) sizesBefore.push_back(s.substr(s.rfind(' ')));
  sizesBefore.push_back(" 0");  // the marker file
  std::sort(sizes.begin(), sizes.end());
  std::sort(sizesBefore.begin(), sizesBefore.end());
  EXPECT_EQ(sizes, sizesBefore);
  EXPECT_EQ(all.size(), before.size() + 1);
}

TEST_F(SyncTest, FreeFileNameCounts) {
  WriteNative("Sync/a.html.bak", "");
  WriteNative("Sync/noext", "");
  EXPECT_EQ(FreeFileName(dir, "fresh.txt"), "fresh.txt");
  EXPECT_EQ(FreeFileName(dir, "memo.txt"), "memo (1).txt");
  EXPECT_EQ(FreeFileName(dir, "noext"), "noext (1).txt");
  WriteNative("Sync/memo (1).txt", "");
  EXPECT_EQ(FreeFileName(dir, "memo.txt"), "memo (2).txt");
}

}  // namespace
}  // namespace zentu::testing

namespace zentu::testing {
namespace {

// A sync folder over 10,000 files in nested directories: load, reload after
// outside changes, moves out and in; the directory keeps every byte.
TEST_F(SyncTest, TenThousandFilesLoadReloadAndMove) {
  namespace fs = std::filesystem;
  const std::string big = nativeHome + "/Big";
  for (int i = 0; i < 10000; ++i) {
    fs::path d = fs::path(big) / ("d" + std::to_string(i % 25)) / ("e" + std::to_string(i % 4));
    fs::create_directories(d);
    std::ofstream(d / ("f" + std::to_string(i) + (i % 3 ? ".txt" : ".html")), std::ios::binary) << i;
  }
  bool options[4] = {false, false, true, true};
  TreeNode* f = NewSyncFolderNode("big", Path("Big"), options);
  ASSERT_EQ(Link(f, root, kLinkLastChild), f);
  auto items = [&] {
    int n = 0;
    for (TreeNode* c = f; c; c = NextInPreorder(c, f)) n += IsItem(c);
    return n;
  };
  ASSERT_EQ(ReloadSyncFolder(f, {}), 10000 + 25 + 100);
  EXPECT_EQ(items(), 10000);

  fs::remove(fs::path(big) / "d0" / "e0" / "f0.html");
  fs::remove_all(fs::path(big) / "d1");
  WriteNative("Big/d2/e2/added.txt", "new");
  const std::vector<std::string> listed = Listing(big);
  ASSERT_GT(ReloadSyncFolder(f, {}), 0);
  EXPECT_EQ(items(), static_cast<int>(listed.size()));

  // One out into an ordinary folder (to the Text directory), one back in.
  TreeNode* plain = Folder(root, "plain");
  TreeNode* first = f->firstChild->firstChild->firstChild;
  ASSERT_TRUE(IsItem(first));
  std::string before, after;
  ASSERT_TRUE(os::ReadWholeFile(first->localFile, before));
  ASSERT_TRUE(CheckMoveIntoOrOutOfSync(first, plain, text));
  ASSERT_NE(MoveNode(first, plain), nullptr);
  EXPECT_TRUE(os::FileExists(os::JoinPath(text, first->localFile)));
  ASSERT_TRUE(CheckMoveIntoOrOutOfSync(first, f->firstChild->firstChild, text));
  ASSERT_NE(MoveNode(first, f->firstChild->firstChild), nullptr);
  ASSERT_TRUE(os::ReadWholeFile(first->localFile, after));
  EXPECT_EQ(after, before);
  EXPECT_EQ(Listing(big).size(), listed.size());
  EXPECT_EQ(Listing(nativeHome + "/Text").size(), 0u);
  ASSERT_GT(ReloadSyncFolder(f, {}), 0);
  EXPECT_EQ(items(), static_cast<int>(listed.size()));
}

}  // namespace
}  // namespace zentu::testing

namespace zentu::testing {
namespace {

// With the fill hook installed, a sync folder read from the tree file comes
// back with its directory's files, and the file holds none of them.
TEST_F(SyncTest, TreeFileLoadFillsSyncFolders) {
  InstallSyncFolders();
  TreeFileSettings settings = CurrentTreeFileSettings();
  TreeNode* f = NewSync(true, false);
  ASSERT_GT(ReloadSyncFolder(f, {}), 0);
  const std::string file = Path("tree.html");
  ASSERT_EQ(SaveTree(file, root, settings), 1);
  std::string saved;
  ASSERT_TRUE(os::ReadWholeFile(file, saved));
  EXPECT_EQ(saved.find("memo.txt"), std::string::npos);
  WriteNative("Sync/later.txt", "added outside");

  ResetTreeState();
  ASSERT_EQ(LoadTree(file, nullptr, settings).ok, 1);
  TreeNode* loaded = nullptr;
  for (TreeNode* n = GetTreeState().root; n; n = NextInPreorder(n, nullptr))
    if (IsSyncFolder(n) && !IsSyncFolder(n->parent)) loaded = n;
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->localFile, dir);
  EXPECT_TRUE(loaded->syncOptions[2]);
  EXPECT_EQ(Titles(loaded), (std::vector<std::string>{"README", "later", "memo", "page.files", "page.html",
                                                     "site", "sub"}));
  CurrentTreeFileSettings().fillSyncFolder = nullptr;
}

}  // namespace
}  // namespace zentu::testing
