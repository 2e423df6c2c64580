#include "store/locklist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "store/tree.h"
#include "store/tree_observer.h"
#include "tests/support/testhome.h"
#include "ui/iconindex.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

class RefreshCounter : public testing::RecordingDesktop, public TreeObserver {
 public:
  std::map<const void*, int> refreshed;
  void NodeChanged(const TreeNode* node) override { ++refreshed[node]; }
};

class LockListTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    os::SetDesktop(&counter);
    ResetLockList();
    ResetTreeState();
    AddTreeObserver(&counter);
  }
  void TearDown() override {
    RemoveTreeObserver(&counter);
    ResetLockList();
    ResetTreeState();
    TempHome::TearDown();
  }
  RefreshCounter counter;
};

TEST_F(LockListTest, LoadsFileAndLooksUpWithoutTheFragment) {
  CopyData("lists");
  log::SetDebugFlag(true);
  ASSERT_EQ(LoadLockList(Path("lock.dat")), 1);
  // Comments and lines of four bytes or fewer are left out; fragments and a
  // bare "#" at the end are dropped, so a lock stored with one still applies.
  EXPECT_EQ(LockedUrls(), (std::vector<std::string>{"abcde", "http://example.com/a.html", "http://example.com/b.html",
                                                    "http://example.com/c.html", SJ("http://example.jp/日本語.html")}));
  struct Row {
    std::string url;
    bool locked;
  };
  const Row rows[] = {
      {"http://example.com/a.html", true},
      {"http://example.com/a.html#top", true},
      {"http://example.com/a.html#", true},
      {"http://example.com/a.html#a#b", true},
      {"http://example.com/b.html", true},
      {"http://example.com/c.html", true},
      {"http://example.com/c.html#part", true},
      {"http://example.com/c.html#other", true},
      {"http://example.com/commented.html", false},
      {"#http://example.com/commented.html", false},
      {"abcd", false},
      {"abcde#x", true},
      {"http://example.com/a.htm", false},
      {"HTTP://EXAMPLE.COM/a.html", false},
      {"http://example.com/a.html?q", false},
      {SJ("http://example.jp/日本語.html#節"), true},
      {"", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsUrlLocked(row.url), row.locked) << row.url;
  EXPECT_TRUE(LogContains("locked [http://example.com/a.html]"));
}

TEST_F(LockListTest, SaveWritesHeaderAndSortedUrlsAndLoadsBack) {
  for (const char* url : {"http://z.example/", "http://a.example/x#frag", "http://m.example/"}) {
    EXPECT_EQ(LockUrl(url), 1);
  }
  ASSERT_EQ(SaveLockList(Path("lock.dat")), 1);
  EXPECT_TRUE(LogContains("# Save Lock List"));
  const std::string expected =
      "# List of lock items\r\nhttp://a.example/x\r\nhttp://m.example/\r\nhttp://z.example/\r\n";
  EXPECT_EQ(ReadNative("lock.dat"), expected);
  std::vector<std::string> before = LockedUrls();
  ResetLockList();
  ASSERT_EQ(LoadLockList(Path("lock.dat")), 1);
  EXPECT_EQ(LockedUrls(), before);
  ASSERT_EQ(SaveLockList(Path("lock.dat")), 1);
  EXPECT_EQ(ReadNative("lock.dat"), expected);

  ResetLockList();
  ASSERT_EQ(SaveLockList(Path("empty.dat")), 1);
  EXPECT_EQ(ReadNative("empty.dat"), "# List of lock items\r\n");
}

TEST_F(LockListTest, LockAndUnlockSingleUrls) {
  struct Row {
    std::string url;
    int lock;  // result of LockUrl
  };
  const Row rows[] = {
      {"http://x.example/p#sec", 1},
      {"http://x.example/p", 0},  // the same page
      {"abcd", 0},
      {"abcd#efgh", 0},  // four bytes without the fragment
      {"", 0},
      {"#http://x.example/", 0},
      {"http://x.example/a\r\nb", 0},
      {std::string("http://x.example/\0z", 19), 0},
      {"abcde", 1},
  };
  for (const Row& row : rows) EXPECT_EQ(LockUrl(row.url), row.lock) << row.url;
  EXPECT_EQ(LockedUrls(), (std::vector<std::string>{"abcde", "http://x.example/p"}));
  EXPECT_EQ(UnlockUrl("http://x.example/p#other"), 1);
  EXPECT_EQ(UnlockUrl("http://x.example/p"), 0);
  EXPECT_FALSE(IsUrlLocked("http://x.example/p"));

  // URLs are held at the length of the program's URL buffers, and a lock of
  // a longer one survives a save and a load.
  std::string longUrl = "http://long.example/" + std::string(3000, 'q');
  EXPECT_EQ(LockUrl(longUrl), 1);
  EXPECT_TRUE(IsUrlLocked(longUrl));
  EXPECT_TRUE(IsUrlLocked(longUrl.substr(0, 2047)));
  ASSERT_EQ(SaveLockList(Path("lock.dat")), 1);
  ResetLockList();
  ASSERT_EQ(LoadLockList(Path("lock.dat")), 1);
  EXPECT_TRUE(IsUrlLocked(longUrl));
}

TEST_F(LockListTest, ItemCommandsLockTheirUrlsAndChangeTheIcon) {
  TreeNode* root = CreateNode("Zentu", {}, {}, kNodeRoot);
  GetTreeState().root = root;
  auto add = [&](const char* url, NodeType type, NodeProperty property) {
    TreeNode* n = CreateNode("t", url, {}, type);
    SetProperty(n, property);
    if (type == kNodeItem && property == kPropertyUrlItem) SetDownloadFlag(n, kDownloadDone);
    EXPECT_TRUE(Link(n, root, kLinkLastChild));
    return n;
  };
  TreeNode* page = add("http://p.example/index.html", kNodeItem, kPropertyUrlItem);
  TreeNode* twin = add("http://p.example/index.html#part", kNodeItem, kPropertyUrlItem);
  TreeNode* text = add("http://t.example/memo", kNodeItem, kPropertyTextItem);
  TreeNode* noUrl = add("", kNodeItem, kPropertyUrlItem);
  TreeNode* feed = add("http://f.example/rss", kNodeFolder, kPropertyRssFolder);

  EXPECT_EQ(LockItemUrls({page, text, noUrl, feed, nullptr}), 2);
  EXPECT_EQ(counter.refreshed[page], 1);
  EXPECT_EQ(counter.refreshed[text], 1);
  EXPECT_EQ(counter.refreshed.count(feed), 0u);
  EXPECT_TRUE(IsUrlLocked("http://t.example/memo"));
  EXPECT_FALSE(IsUrlLocked("http://f.example/rss"));

  std::lock_guard lock(TreeMutex());
  struct Row {
    const TreeNode* node;
    int32_t open, closed;
  };
  const Row locked[] = {
      {page, ui::kIconDlUrlLocked, ui::kIconDlUrlLocked},
      {twin, ui::kIconDlUrlLocked, ui::kIconDlUrlLocked},  // same page, other fragment
      {text, ui::kIconTextFile, ui::kIconTextFile},        // only URL items show the lock
      {noUrl, ui::kIconDlUrl, ui::kIconDlUrl},
      {feed, ui::kIconRssFolderOpen, ui::kIconRssFolderClose},
  };
  for (const Row& row : locked) {
    EXPECT_EQ(ui::NodeDisplayIcon(row.node, true), row.open);
    EXPECT_EQ(ui::NodeDisplayIcon(row.node, false), row.closed);
  }
  EXPECT_EQ(UnlockItemUrls({twin}), 1);  // unlocking through the fragment twin frees the page
  EXPECT_EQ(ui::NodeDisplayIcon(page, true), ui::kIconDlUrl);
  EXPECT_EQ(ui::NodeDisplayIcon(nullptr, true), -1);
}

TEST_F(LockListTest, MissingAndUnwritableFiles) {
  ASSERT_EQ(LockUrl("http://kept.example/"), 1);
  EXPECT_EQ(LoadLockList(Path("none.dat")), 0);
  EXPECT_TRUE(LogContains("Can't open lock file."));
  EXPECT_TRUE(LockedUrls().empty());

  ASSERT_EQ(LockUrl("http://kept.example/"), 1);
  EXPECT_EQ(SaveLockList(Path("no\\dir\\lock.dat")), 0);
  EXPECT_TRUE(LogContains("# File not found : " + Path("no\\dir\\lock.dat")));
  // A save that fails halfway leaves the previous file whole.
  WriteNative("lock.dat", "# List of lock items\r\nhttp://old.example/\r\n");
  os::SetFileFaultAt(1);
  EXPECT_EQ(SaveLockList(Path("lock.dat")), 0);
  os::SetFileFaultAt(0);
  EXPECT_EQ(ReadNative("lock.dat"), "# List of lock items\r\nhttp://old.example/\r\n");
}

TEST_F(LockListTest, BadInputLoadsWhatIsSound) {
  std::string bytes = "http://first.example/\r\n";
  for (int i = 0; i < 6000; ++i) bytes += static_cast<char>((i * 53 + 11) & 0xFF);
  bytes += "\r\nhttp://" + std::string(2100, 'x') + "\r\n";
  bytes += "http://" + std::string(2040, 'y') + "\r\n";  // exactly 2047 bytes
  bytes += "http://nul.example/";
  bytes += '\0';
  bytes += "tail\r\nhttp://last.example/";  // no line end at the end of the file
  WriteNative("bad.dat", bytes);
  ASSERT_EQ(LoadLockList(Path("bad.dat")), 1);
  EXPECT_TRUE(IsUrlLocked("http://first.example/"));
  EXPECT_TRUE(IsUrlLocked("http://" + std::string(2040, 'y')));
  EXPECT_TRUE(IsUrlLocked("http://last.example/"));
  EXPECT_FALSE(IsUrlLocked("http://nul.example/"));
  for (const std::string& url : LockedUrls()) {
    EXPECT_GT(url.size(), 4u);
    EXPECT_LE(url.size(), 2047u);
    EXPECT_EQ(url.find_first_of(std::string("\r\n\0#", 4)), std::string::npos);
    EXPECT_NE(url.find("xxxxxxxxxx"), 0u);  // the tail of the over-long line is not a URL
  }
  // What was read saves and loads back unchanged.
  std::vector<std::string> read = LockedUrls();
  ASSERT_EQ(SaveLockList(Path("again.dat")), 1);
  ASSERT_EQ(LoadLockList(Path("again.dat")), 1);
  EXPECT_EQ(LockedUrls(), read);
}

TEST_F(LockListTest, WorkersReadWhileTheListChanges) {
  ASSERT_EQ(LockUrl("http://always.example/"), 1);
  WriteNative("lock.dat", "http://always.example/\r\nhttp://file.example/\r\n");
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      // Every reader sees the steady URLs right whatever the writer is doing.
      for (int i = 0;; ++i) {
        if (!IsUrlLocked("http://always.example/#x")) ++wrong;
        if (IsUrlLocked("http://never.example/")) ++wrong;
        if (i >= 20000 && done.load()) break;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    std::string url = "http://w.example/" + std::to_string(i % 50);
    (void)LockUrl(url);
    (void)UnlockUrl("http://w.example/" + std::to_string((i + 25) % 50));
    if (i % 200 == 0) {
      EXPECT_EQ(LoadLockList(Path("lock.dat")), 1);
    }
    if (i % 500 == 0) (void)FormatLockList();
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zentu
