#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "search/search.h"
#include "tests/search/search_fixture.h"

namespace zentu::testing {
namespace {

TEST(FindKeywordTest, CaseAndBytes) {
  struct Row {
    std::string text, keyword;
    bool matchCase;
    size_t at;
  } rows[] = {
      {"xabcx", "ABC", false, 1},
      {"xabcx", "ABC", true, std::string::npos},
      {"xAbCxabc", "abc", true, 5},
      {"ab", "abc", false, std::string::npos},
      {"", "a", false, std::string::npos},
      {"abc", "", false, std::string::npos},
      {SJ("日本語のページ"), SJ("ページ"), false, 8},
      // Every byte offset is tried: the keyword may start on a trail byte.
      {"\x83\x41" "A", "AA", false, 1},
      {"zzzQq", "qQ", false, 3},
  };
  for (const Row& r : rows) EXPECT_EQ(FindKeyword(r.text, r.keyword, r.matchCase), r.at) << r.keyword;
}

TEST(ItemFilePathTest, WhereTheFileLies) {
  struct Row {
    const char* local;
    const char* path;
  } rows[] = {
      {"Z:\\x\\a.html#top", "Z:\\x\\a.html"},
      {"\\\\server\\a.html", "\\\\server\\a.html"},
      {"memo.txt", "Z:\\t\\memo.txt"},
      {"www.example.jp\\index.html", "Z:\\d\\www.example.jp\\index.html"},
      {"", ""},
  };
  for (const Row& r : rows) EXPECT_EQ(ItemFilePath(r.local, "Z:\\d", "Z:\\t"), r.path) << r.local;
}

TEST(IndexResultPathTest, Lines) {
  struct Row {
    const char* line;
    const char* path;
  } rows[] = {
      {"/C|/pages/a.html\r\n", "C:/pages/a.html"},
      {"/home/u/data/x.html\n", "Z:\\home\\u\\data\\x.html"},
      {"/a", ""},
      {"No document matching your query.\n", ""},
      {"", ""},
  };
  for (const Row& r : rows) EXPECT_EQ(IndexResultPath(r.line), r.path) << r.line;
}

TEST_F(SearchTest, TitleUrlMarkAndUnreadSearches) {
  TreeNode* a = Folder(root, "a");
  Item(a, "small letters zentu page", "http://e.jp/one");
  TreeNode* marked = Item(a, "second", "http://E.JP/two");
  marked->mark = 3;
  TreeNode* b = Folder(a, "b");
  TreeNode* unread = Item(b, "third", "http://x.jp/");
  ASSERT_EQ(SetUnreadFlag(unread, true), 1);
  Item(result, "old hit zentu");  // the result folder is never searched, and emptied

  EXPECT_EQ(SearchTitles(nullptr, "ZENTU", result), 1);
  EXPECT_EQ(Titles(result), std::vector<std::string>{"small letters zentu page"});
  EXPECT_EQ(SearchTitles(nullptr, "ZENTU", result, true), 0);
  EXPECT_EQ(SearchUrls(b, "e.jp", result), 0);
  EXPECT_EQ(SearchUrls(nullptr, "e.jp", result), 2);
  EXPECT_EQ(SearchMarked(2, result), 1);
  EXPECT_EQ(result->firstChild->url, "http://E.JP/two");
  EXPECT_EQ(SearchUnread(result), 1);
  EXPECT_EQ(Titles(result), std::vector<std::string>{"third"});
  EXPECT_EQ(result->unreadCount, 1);
  EXPECT_EQ(a->unreadCount, 1);  // the copy does not count above the result folder

  EXPECT_EQ(SearchTitles(result, "t", result), -1);
  EXPECT_EQ(result->firstChild, nullptr);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].text, SJ("検索フォルダを検索することはできません"));
  EXPECT_EQ(SearchTitles(nullptr, "", result), -1);
}

TEST_F(SearchTest, FindFolderStartsAfterTheSelectionAndWraps) {
  TreeNode* first = Folder(root, "News");
  TreeNode* inner = Folder(first, "old news");
  TreeNode* last = Folder(root, "NEWS");
  EXPECT_EQ(FindFolderAfter(root, first, "news", false, false), inner);
  EXPECT_EQ(FindFolderAfter(root, inner, "news", true, false), last);
  EXPECT_EQ(FindFolderAfter(root, last, "news", true, false), first);  // from the top again
  EXPECT_EQ(FindFolderAfter(root, last, "NEWS", true, true), last);
  EXPECT_EQ(FindFolderAfter(root, first, "nothing", false, false), nullptr);
}

class ContentsTest : public SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    const std::string word = "日本語の検索語";
    std::string euc, sjis = SJ("<html><title>EUC頁</title>本文 日本語の検索語 おわり</html>");
    ASSERT_TRUE(os::IconvConvert("EUC-JP-MS", "CP932", sjis, euc));
    WriteFile(os::JoinPath(data, "e.jp\\euc.html"), euc);
    WriteFile(os::JoinPath(data, "e.jp\\utf8.html"), "<html><title>UTF</title>まえ " + word + " あと</html>");
    WriteFile(os::JoinPath(data, "e.jp\\sjis.html"), SJ("<title>SJIS頁</title>前の文 日本語の検索語"));
    WriteFile(os::JoinPath(data, "e.jp\\none.html"), SJ("<title>無し</title>日本語だけ"));
    WriteFile(os::JoinPath(data, "e.jp\\binary.html"), std::string("\0", 1) + SJ("日本語の検索語"));
    WriteFile(os::JoinPath(data, "e.jp\\image.png"), SJ("日本語の検索語"));
    WriteFile(os::JoinPath(text, "note.txt"), SJ("メモ 日本語の検索語"));
    folder = Folder(root, "pages");
    Item(folder, "euc", "http://e.jp/euc.html", "e.jp\\euc.html");
    Item(folder, "utf8", "http://e.jp/utf8.html", "e.jp\\utf8.html");
    Item(folder, "sjis", "http://e.jp/sjis.html", "e.jp\\sjis.html");
    Item(folder, "sjis again", "http://e.jp/sjis.html#x", "e.jp\\sjis.html#x");
    Item(folder, "none", "http://e.jp/none.html", "e.jp\\none.html");
    Item(folder, "binary", "http://e.jp/binary.html", "e.jp\\binary.html");
    Item(folder, "image", "http://e.jp/image.png", "e.jp\\image.png");
    Item(folder, "gone", "http://e.jp/gone.html", "e.jp\\gone.html");
    Item(root, "note", "", "note.txt");
    query.keyword = SJ("日本語の検索語");
    query.dataDirectory = data;
    query.textDirectory = text;
  }
  TreeNode* folder = nullptr;
  ContentsQuery query;
};

TEST_F(ContentsTest, NodeVariantFindsEveryEncodingOncePerItem) {
  EXPECT_EQ(RunContentsSearch(query, {}), 5);
  EXPECT_EQ(Titles(result), (std::vector<std::string>{"euc", "utf8", "sjis", "sjis again", "note"}));
  EXPECT_EQ(U8(result->firstChild->contents), "日本語の検索語 おわり</html>");
  EXPECT_EQ(result->firstChild->url, "http://e.jp/euc.html");

  query.scope = folder;
  EXPECT_EQ(RunContentsSearch(query, {}), 4);
  query.keyword = SJ("日");  // one character is two bytes: enough
  EXPECT_EQ(RunContentsSearch(query, {}), 5);
  query.keyword = "x";  // one byte starts nothing, and leaves the results alone
  EXPECT_EQ(RunContentsSearch(query, {}), 0);
  EXPECT_EQ(Titles(result).size(), 5u);
  query.keyword = SJ("日本語の検索語");
  query.scope = result;
  EXPECT_EQ(RunContentsSearch(query, {}), 0);
  ASSERT_EQ(desktop.messages.size(), 1u);
  std::stop_source stopped;
  stopped.request_stop();
  query.scope = nullptr;
  EXPECT_EQ(RunContentsSearch(query, stopped.get_token()), 0);
  EXPECT_EQ(result->firstChild, nullptr);
}

TEST_F(ContentsTest, FileVariantSearchesEachFileOnceAndFollowsLinks) {
  query.searchLink = true;
  WriteFile(os::JoinPath(data, "e.jp\\start.html"),
            "<title>start</title><a href=\"linked.html\">x</a><iframe src=\"framed.html\"></iframe>"
            "<a href=\"start.html\">me</a>");
  WriteFile(os::JoinPath(data, "e.jp\\linked.html"), SJ("<title>L</title>日本語の検索語"));
  WriteFile(os::JoinPath(data, "e.jp\\framed.html"),
            SJ("<title>framed page</title>日本語の検索語<a href=\"deep.html\">d</a>"));
  WriteFile(os::JoinPath(data, "e.jp\\deep.html"), SJ("<title>deep</title>日本語の検索語"));
  Item(root, "start", "http://e.jp/start.html", "e.jp\\start.html");

  query.ignoreAtag = true;
  EXPECT_EQ(RunContentsSearch(query, {}), 5);
  // The shared file is one hit; the frame is followed, the A links are not.
  EXPECT_EQ(Titles(result), (std::vector<std::string>{"EUC頁", "UTF", "SJIS頁", "No Name", "framed page"}));
  const TreeNode* framed = result->lastChild;
  EXPECT_EQ(framed->url, "e.jp\\framed.html");
  EXPECT_EQ(framed->localFile, os::JoinPath(data, "e.jp\\framed.html"));
  EXPECT_EQ(framed->downloadFlag, kDownloadDone);
  EXPECT_FALSE(framed->unread);
  EXPECT_GT(framed->size, 0u);
  EXPECT_EQ(result->firstChild->next->next->next->url, os::JoinPath(text, "note.txt"));

  query.ignoreAtag = false;
  EXPECT_EQ(RunContentsSearch(query, {}), 7);  // linked.html and deep.html too, start.html once
}

// Holds the worker in its first status text until the test lets it go.
class GateDesktop : public RecordingDesktop {
 public:
  void StatusText(std::string_view text) override {
    std::unique_lock lock(gate);
    if (text.starts_with("Searching")) {
      held = true;
      changed.notify_all();
      changed.wait(lock, [&] { return open; });
    }
  }
  void WaitHeld() {
    std::unique_lock lock(gate);
    changed.wait(lock, [&] { return held; });
  }
  void Open() {
    std::lock_guard lock(gate);
    open = true;
    changed.notify_all();
  }
  std::mutex gate;
  std::condition_variable changed;
  bool held = false, open = false;
};

TEST_F(ContentsTest, WorkerRunsOnceStopsAndStartsAgain) {
  GateDesktop gate;
  os::SetDesktop(&gate);
  ContentsSearch search;
  std::atomic<int> lastHits{-1};
  ASSERT_TRUE(search.Start(query, [&](int hits) { lastHits = hits; }));
  gate.WaitHeld();
  EXPECT_TRUE(search.Running());
  EXPECT_FALSE(search.Start(query));  // one at a time: the running one goes on
  EXPECT_FALSE(search.Stop(std::chrono::milliseconds(0)));  // asked, still held
  gate.Open();
  ASSERT_TRUE(search.WaitIdle(std::chrono::minutes(5)));
  EXPECT_EQ(lastHits, 0);  // stopped before its first item
  EXPECT_EQ(result->firstChild, nullptr);
  ASSERT_TRUE(search.Start(query, [&](int hits) { lastHits = hits; }));
  ASSERT_TRUE(search.WaitIdle(std::chrono::minutes(5)));
  EXPECT_EQ(lastHits, 5);
  os::SetDesktop(&desktop);
}

}  // namespace
}  // namespace zentu::testing
