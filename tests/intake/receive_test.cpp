// What each command-channel text does to the collection and the download queue.
#include <cstdio>
#include <set>
#include <thread>

#include "os/clock.h"
#include "os/file.h"
#include "os/log.h"
#include "tests/intake/intake_fixture.h"
#include "ui/iconindex.h"

namespace zentu::testing {
namespace {

TEST_F(IntakeTest, UseCacheFilesOneItemAndQueuesItWithTheCacheAllowed) {
  for (const char* text : {"<!--UseCache-->\nhttp://example.com/a.html",
                           "<!--UseCache-->\r\nhttp://example.com/b.html\r\n",
                           "<!--UseCache-->http://example.com/c.html"}) {
    SCOPED_TRACE(text);
    ASSERT_EQ(Receive(text), 1);
    TreeNode* item = receive->lastChild;
    ASSERT_TRUE(IsItem(item));
    EXPECT_EQ(item->title, "*");
    EXPECT_EQ(item->property, kPropertyUrlItem);
    EXPECT_EQ(item->downloadFlag, kDownloadChanged);
    EXPECT_EQ(ui::NodeIcon(item, false), ui::kIconChangeUrl);
    DownloadJob job;
    ASSERT_TRUE(FindJob(item->url, &job)) << item->url;
    EXPECT_TRUE(job.FromLocal);
    EXPECT_EQ(job.SourceURL, "");
    EXPECT_EQ(job.Node, item);
    EXPECT_GT(views.Refreshed(item), 0);
  }
  EXPECT_EQ(receive->firstChild->url, "http://example.com/a.html");
  EXPECT_EQ(receive->firstChild->next->url, "http://example.com/b.html");
  EXPECT_EQ(Jobs(), 3u);
  // Saved at addition.
  std::string saved;
  ASSERT_TRUE(os::ReadWholeFile(Path("default.html"), saved));
  EXPECT_NE(saved.find("http://example.com/c.html"), std::string::npos);
}

TEST_F(IntakeTest, AUrlTheQueueHoldsAlreadyAttachesTheNewItem) {
  ASSERT_EQ(Receive("<!--UseCache-->\nhttp://example.com/a.html"), 1);
  ASSERT_EQ(Receive("<!--UseCache-->\nhttp://example.com/a.html"), 1);
  EXPECT_EQ(Children(receive).size(), 2u);
  EXPECT_EQ(Jobs(), 1u);
  DownloadJob job;
  ASSERT_TRUE(FindJob("http://example.com/a.html", &job));
  EXPECT_EQ(job.Node, receive->lastChild);
}

TEST_F(IntakeTest, MinusUFilesOneItemCapturedWithoutTheCache) {
  ASSERT_EQ(ReceiveCommandLine("-u \"http://example.com/page.html\""), 1);
  ASSERT_EQ(Children(receive).size(), 1u);
  TreeNode* item = receive->firstChild;
  EXPECT_EQ(item->title, "*");
  EXPECT_EQ(item->url, "http://example.com/page.html");
  EXPECT_EQ(item->downloadFlag, kDownloadChanged);
  DownloadJob job;
  ASSERT_TRUE(FindJob(item->url, &job));
  EXPECT_FALSE(job.FromLocal);
  EXPECT_EQ(job.SourceURL, "");
  EXPECT_EQ(job.Node, item);
  ASSERT_EQ(views.notices.size(), 1u);
  EXPECT_EQ(views.notices[0], SJ("取り込み開始"));
}

TEST_F(IntakeTest, ReservationLinesAddOneItemPerUrlWhateverTheLineEnds) {
  ASSERT_EQ(Receive("<!--NoCache-->\r\n\r\nhttp://a.example/1\r\nhttp://a.example/2\n\nhttp://a.example/3\r"
                    "  http://a.example/4  \r\n\r\n",
                    kCommandNoCache),
            1);
  std::vector<std::string> urls;
  for (TreeNode* c : Children(receive)) urls.push_back(c->url);
  EXPECT_EQ(urls, (std::vector<std::string>{"http://a.example/1", "http://a.example/2", "http://a.example/3",
                                            "http://a.example/4"}));
  EXPECT_EQ(Jobs(), 4u);
  // Marker alone: nothing to add, nothing saved, no folder.
  ASSERT_EQ(Receive("<!--NoCache-->\n", kCommandNoCache), 1);
  EXPECT_EQ(Children(receive).size(), 4u);
}

TEST_F(IntakeTest, TwoReservationsNamingOneFolderCreateItOnce) {
  log::SetDebugFlag(true);
  const std::string name = SJ("表示テスト");  // a trail byte 0x5C in the name
  ASSERT_EQ(Receive("<!--NoCache-->\nFOLDER=" + name + "\nhttp://b.example/1\nhttp://b.example/2", kCommandNoCache), 1);
  ASSERT_EQ(Receive("<!--NoCache-->\r\nfolder=" + name + "\r\nhttp://b.example/3\r\n", kCommandNoCache), 1);
  ASSERT_EQ(CountFolders(receive, name), 1);
  TreeNode* folder = receive->lastChild;
  EXPECT_EQ(folder->title, name);
  EXPECT_EQ(folder->property, kPropertyFolder);
  std::vector<std::string> urls;
  for (TreeNode* c : Children(folder)) urls.push_back(c->url);
  EXPECT_EQ(urls, (std::vector<std::string>{"http://b.example/1", "http://b.example/2", "http://b.example/3"}));
  EXPECT_TRUE(LogContains("# Set Insert Folder : " + name));
  EXPECT_TRUE(LogContains("# Create Insert Folder : " + name));
  EXPECT_TRUE(LogContains("# Insert URLs"));
  int created = 0;
  for (const std::string& line : log::Lines()) created += line.rfind("# Create Insert Folder", 0) == 0;
  EXPECT_EQ(created, 1);
  // A folder of that name elsewhere, or an item of that title, is not the target.
  TreeNode* decoy = CreateNode("Decoy", {}, {}, kNodeFolder);
  Link(decoy, other, kLinkLastChild);
  ASSERT_EQ(Receive("<!--NoCache-->\nFOLDER=Other\nhttp://b.example/4", kCommandNoCache), 1);
  EXPECT_EQ(CountFolders(receive, "Other"), 1);
  EXPECT_EQ(Children(other).size(), 1u);
  // An empty name means the receive folder itself.
  ASSERT_EQ(Receive("<!--NoCache-->\nFOLDER=\nhttp://b.example/5", kCommandNoCache), 1);
  EXPECT_EQ(receive->lastChild->url, "http://b.example/5");
}

TEST_F(IntakeTest, AddItemOnlyReadsKeyLinesInAnyOrderAndQueuesNothing) {
  ASSERT_EQ(Receive("<!--Zentu AddItemOnly-->\r\nTITLE=" + SJ("題名") + "\r\nURL=http://c.example/\r\n"), 1);
  TreeNode* item = receive->lastChild;
  ASSERT_TRUE(IsItem(item));
  EXPECT_EQ(item->title, SJ("題名"));
  EXPECT_EQ(item->url, "http://c.example/");
  EXPECT_EQ(item->downloadFlag, kDownloadNone);
  EXPECT_EQ(ui::NodeIcon(item, false), ui::kIconUndlUrl);
  EXPECT_EQ(Jobs(), 0u);

  ASSERT_EQ(Receive("<!--Zentu AddItemOnly-->\nURL=http://d.example/\nTITLE=D\nother\nTITLE=ignored"), 1);
  EXPECT_EQ(receive->lastChild->title, "D");
  // Reading stops at the first other line: a URL after it does not count.
  EXPECT_EQ(Receive("<!--Zentu AddItemOnly-->\nTITLE=T\n\nURL=http://e.example/"), 0);
  EXPECT_EQ(Receive("<!--Zentu AddItemOnly-->\nTITLE=only a title"), 0);
  EXPECT_EQ(Children(receive).size(), 2u);
}

TEST_F(IntakeTest, SiteDownloadAsksForSettingsAndQueuesASiteJob) {
  CurrentProfile().LimitationOfLinkHop = 7;
  ASSERT_EQ(Receive("<!--Zentu SiteDownload-->\nURL=http://example.com/site/index.html\nTITLE=Site"), 1);
  ASSERT_EQ(calls.dialogs.size(), 1u);
  EXPECT_EQ(calls.dialogs[0], "http://example.com/site/index.html|Site|http://example.com/site/|7|0");
  TreeNode* item = receive->lastChild;
  EXPECT_EQ(item->title, "Site");
  EXPECT_EQ(item->downloadFlag, kDownloadChanged);
  DownloadJob job;
  ASSERT_TRUE(FindJob("http://example.com/site/index.html", &job));
  EXPECT_TRUE(job.SiteDown);
  EXPECT_EQ(job.Limit, 3);
  EXPECT_EQ(job.SizeUpTo, 100);
  EXPECT_EQ(job.Filter, "http://example.com/site/");
  EXPECT_EQ(job.Node, item);
  EXPECT_EQ(CurrentProfile().LimitationOfLinkHop, 3);

  // The dialog shows the last size limit again; no title gives "No Title".
  ASSERT_EQ(Receive("<!--Zentu SiteDownload-->\nURL=http://example.com/x/"), 1);
  EXPECT_EQ(calls.dialogs.back(), "http://example.com/x/||http://example.com/x/|3|100");
  EXPECT_EQ(receive->lastChild->title, "No Title");

  // Cancelled: nothing at all.
  dialogAnswer = false;
  const size_t items = Children(receive).size(), jobs = Jobs();
  EXPECT_EQ(Receive("<!--Zentu SiteDownload-->\nURL=http://example.com/y/"), 0);
  EXPECT_EQ(Children(receive).size(), items);
  EXPECT_EQ(Jobs(), jobs);
  // No URL: not even the dialog.
  EXPECT_EQ(Receive("<!--Zentu SiteDownload-->\nTITLE=x"), 0);
  EXPECT_EQ(calls.dialogs.size(), 3u);
}

TEST_F(IntakeTest, SiteDownloadWithAnExternalDownloaderStartsItInstead) {
  for (const char* program : {"dl3", "/usr/bin/wget"}) {
    SCOPED_TRACE(program);
    CurrentProfile().Downloader = program;
    const size_t jobs = Jobs();
    ASSERT_EQ(Receive(std::string("<!--Zentu SiteDownload-->\nURL=http://example.com/") + program), 1);
    EXPECT_EQ(calls.downloaders.back(), std::string(program) + " http://example.com/" + program);
    EXPECT_EQ(receive->lastChild->url, std::string("http://example.com/") + program);
    EXPECT_EQ(Jobs(), jobs);
  }
  EXPECT_TRUE(calls.dialogs.empty());
  // Without the hook the command says what it would have started.
  ClearChannelHooks();
  ASSERT_EQ(Receive("<!--Zentu SiteDownload-->\nURL=http://example.com/z"), 1);
  EXPECT_TRUE(LogContains("external downloader: /usr/bin/wget http://example.com/z"));
}

TEST_F(IntakeTest, DownloadOnlyQueuesWithoutAnItem) {
  ASSERT_EQ(ReceiveCommandLine("-d http://example.com/file.zip"), 1);
  DownloadJob job;
  ASSERT_TRUE(FindJob("http://example.com/file.zip", &job));
  EXPECT_EQ(job.Node, nullptr);
  EXPECT_TRUE(job.FromLocal);
  EXPECT_TRUE(Children(receive).empty());
  EXPECT_EQ(Receive("<!--Zentu DownloadOnly-->\nTITLE=x\nURL=http://example.com/f"), 0);
  EXPECT_TRUE(LogContains("Error [Download Only] not exist URL=TITLE=x"));
  EXPECT_EQ(Jobs(), 1u);
}

TEST_F(IntakeTest, ScrapHtmlHandsTheUrlToTheScrapCommand) {
  ASSERT_EQ(ReceiveCommandLine("-t http://example.com/sel.html"), 1);
  EXPECT_EQ(calls.scraps, (std::vector<std::string>{"http://example.com/sel.html"}));
  EXPECT_TRUE(LogContains("scrap html : http://example.com/sel.html"));
  ASSERT_EQ(Receive("<!--ScrapHTML-->\r\nhttp://x.example/\r\nrest"), 1);
  EXPECT_EQ(calls.scraps.back(), "http://x.example/");
  // "-t" without a URL, and a URL that is too short, are refused.
  log::Clear();
  EXPECT_EQ(ReceiveCommandLine("-t"), 0);
  EXPECT_TRUE(LogContains("Error [Scrap HTML] not exist URL="));
  EXPECT_EQ(Receive("<!--ScrapHTML-->\nabcd"), 0);
  EXPECT_TRUE(LogContains("Error [Scrap HTML] not exist URL=abcd"));
  EXPECT_EQ(calls.scraps.size(), 2u);
}

TEST_F(IntakeTest, AddTextFilesACapturedItemAndStoresTheFragment) {
  const std::string html = "<p>A &amp; B &amp;amp; " + SJ("日本語") + "</p>\r\n";
  ASSERT_EQ(Receive("<!--Zentu AddText-->\r\nURL=http://example.com/frag.html\r\n" + html), 1);
  TreeNode* item = receive->lastChild;
  ASSERT_TRUE(IsItem(item));
  EXPECT_EQ(item->title, "*");
  EXPECT_EQ(item->url, "http://example.com/frag.html");
  EXPECT_EQ(item->downloadFlag, kDownloadDone);
  EXPECT_TRUE(item->unread);
  EXPECT_EQ(receive->unreadCount, 1);
  EXPECT_EQ(item->size, html.size());
  const os::LocalTime t = os::LocalNow();
  char now[32];
  std::snprintf(now, sizeof now, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  EXPECT_EQ(item->lastCheck, now);

  DownloadJob job;
  ASSERT_TRUE(FindJob(item->url, &job));
  EXPECT_EQ(job.Status, kJobDownloaded);
  EXPECT_EQ(job.Node, item);
  std::string stored;
  ASSERT_TRUE(os::ReadWholeFile(job.LocalFile, stored)) << job.LocalFile;
  EXPECT_EQ(stored, "<p>A & B &amp; " + SJ("日本語") + "</p>\r\n");

  // No URL line: the error line with what followed the marker.
  EXPECT_EQ(Receive("<!--Zentu AddText-->\r\n<p>no url</p>"), 0);
  EXPECT_TRUE(LogContains("Error [Add Text From DLL] not exist URL=<p>no url</p>"));
  EXPECT_EQ(Receive("<!--Zentu AddText-->\r\nURL=\r\n<p>empty</p>"), 0);
  EXPECT_EQ(Children(receive).size(), 1u);
}

TEST_F(IntakeTest, OpenUrlPicksTheEditorForTextFiles) {
  struct Row {
    const char* url;
    bool editor;
  } rows[] = {
      {"http://example.com/readme.txt", true},
      {"Z:\\home\\a\\NOTES.TXT", true},
      {"http://example.com/a.txt?x=1", true},
      {"http://example.com/a.text", false},
      {"http://example.com/a.html?file=b.txt", false},
      {"Z:\\data\\a.txt" "\x95\x5c" "b", true},  // the 0x5C of a two-byte character is no separator
      {"http://example.com/index.html", false},
      {"http://example.com/a.txt/b", false},
      {"http://example.com/", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    calls = {};
    ASSERT_EQ(Receive(std::string("<!--Zentu OpenURL-->\r\nURL=") + row.url + "\r\n"), 1);
    EXPECT_EQ(calls.editor.size(), row.editor ? 1u : 0u);
    EXPECT_EQ(calls.browser.size(), row.editor ? 0u : 1u);
    const auto& got = row.editor ? calls.editor : calls.browser;
    if (!got.empty()) {
      EXPECT_EQ(got[0], row.url);
    }
  }
  // A second start naming a text file goes the same way.
  calls = {};
  ASSERT_EQ(ReceiveCommandLine("  \"Z:\\home\\a\\memo.txt\""), 1);
  EXPECT_EQ(calls.editor, (std::vector<std::string>{"Z:\\home\\a\\memo.txt"}));
  EXPECT_EQ(Receive("<!--Zentu OpenURL-->\r\nhttp://example.com/"), 0);
  EXPECT_TRUE(LogContains("Error [Add Text From DLL] not exist URL=http://example.com/"));
  EXPECT_TRUE(Children(receive).empty());
}

TEST_F(IntakeTest, UnknownTextsAndCodesChangeNothing) {
  struct Row {
    uint32_t code;
    std::string text;
    bool logged;
  } rows[] = {
      {kCommandOther, "hello", true},
      {kCommandOther, "<!--usecache-->\nhttp://x.example/", true},
      {kCommandOther, "<!--Zentu AddText-->\nURL=http://x.example/\n<p>", true},  // LF alone after the marker
      {kCommandOther, "<!--Zentu OpenURL-->URL=http://x.example/", true},
      {kCommandOther, "", false},
      {kCommandOther, std::string("\0<!--UseCache-->\nhttp://x.example/", 34), false},
      {6005, "<!--UseCache-->\nhttp://x.example/", false},
      {0, "<!--UseCache-->\nhttp://x.example/", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    log::Clear();
    EXPECT_EQ(Receive(row.text, row.code), 0);
    EXPECT_EQ(LogContains("Error [Add Text From DLL] not exist <!--Zentu AddText-->"), row.logged);
  }
  EXPECT_TRUE(Children(receive).empty());
  EXPECT_EQ(Jobs(), 0u);
  // The high half of the code does not matter, as with the window message.
  EXPECT_EQ(Receive("<!--UseCache-->\nhttp://x.example/", 0x10000u | kCommandOther), 1);
}

TEST_F(IntakeTest, LongValuesAreCutWithoutSplittingACharacter) {
  const std::string kanji = SJ("表");  // 0x95 0x5C
  // The 2047th byte is a lead byte: the whole character goes.
  std::string url = "http://example.com/" + std::string(2027, 'a') + kanji + "tail";
  ASSERT_EQ(Receive("<!--UseCache-->\n" + url), 1);
  EXPECT_EQ(receive->lastChild->url, url.substr(0, 2046));

  std::string title(600, 't');
  ASSERT_EQ(Receive("<!--Zentu AddItemOnly-->\nURL=http://example.com/\nTITLE=" + title), 1);
  EXPECT_EQ(receive->lastChild->title.size(), kChannelMaxTitle);

  std::string open = "http://example.com/" + std::string(3000, 'o');
  ASSERT_EQ(Receive("<!--Zentu OpenURL-->\r\nURL=" + open), 1);
  ASSERT_EQ(calls.browser.size(), 1u);
  EXPECT_EQ(calls.browser[0].size(), kChannelMaxOpenUrl);
}

TEST_F(IntakeTest, ItemsGoWhereTheReceiveFolderIs) {
  // The receive folder moved down: it is still found.
  receive->isProtected = false;
  ASSERT_EQ(MoveNode(receive, other), receive);
  receive->isProtected = true;
  ASSERT_EQ(root->firstChild, other);
  ASSERT_EQ(Receive("<!--UseCache-->\nhttp://example.com/1"), 1);
  EXPECT_EQ(receive->lastChild->url, "http://example.com/1");

  // No receive folder at all: the root takes the items.
  {
    std::lock_guard lock(TreeMutex());
    receive->isProtected = false;
    DestroyNode(receive);
    receive = nullptr;
  }
  ASSERT_EQ(Receive("<!--Zentu AddItemOnly-->\nURL=http://example.com/2"), 1);
  EXPECT_EQ(root->lastChild->url, "http://example.com/2");

  // No collection: dropped.
  ResetTreeState();
  root = nullptr;
  EXPECT_EQ(Receive("<!--UseCache-->\nhttp://example.com/3"), 0);
  EXPECT_TRUE(LogContains("> no collection: command dropped"));
}

TEST_F(IntakeTest, CommandsWaitForTheCollection) {
  SetTreeLoaded(false);
  std::atomic<int> result{-1};
  std::thread sender([&] { result = ReceiveCommand(kCommandOther, "<!--UseCache-->\nhttp://example.com/w"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard lock(TreeMutex());
    EXPECT_EQ(receive->firstChild, nullptr);  // still waiting
  }
  SetTreeLoaded(true);
  sender.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(receive->lastChild->url, "http://example.com/w");

  // Closing the channel lets a waiting command go without acting.
  SetTreeLoaded(false);
  std::thread late([&] { result = ReceiveCommand(kCommandNoCache, "<!--NoCache-->\nhttp://example.com/late"); });
  CloseCommandChannel();
  late.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Children(receive).size(), 1u);
  EXPECT_EQ(ReceiveCommand(kCommandOther, "<!--UseCache-->\nhttp://example.com/closed"), 0);
}

}  // namespace
}  // namespace zentu::testing

namespace zentu::testing {
namespace {

// Reservations file their items from their own threads while the main thread
// keeps running commands and even deletes the folder they fill.
TEST_F(IntakeTest, ConcurrentReservationsShareOneFolderWithTheMainThread) {
  CurrentProfile().SaveAtAddition = false;
  constexpr int kTexts = 8, kUrls = 150;
  for (int t = 0; t < kTexts; ++t) {
    std::string text = "<!--NoCache-->\r\nFOLDER=Batch\r\n";
    for (int u = 0; u < kUrls; ++u) text += "http://r.example/" + std::to_string(t) + "/" + std::to_string(u) + "\r\n";
    ASSERT_EQ(ReceiveCommand(kCommandNoCache, text), 1);
    ASSERT_EQ(ReceiveCommand(kCommandOther, "<!--UseCache-->\nhttp://m.example/" + std::to_string(t)), 1);
    ASSERT_EQ(ReceiveCommand(kCommandOther, "<!--Zentu AddItemOnly-->\nURL=http://i.example/" + std::to_string(t)), 1);
  }
  // Take the folder away once, as a user deleting it would.
  bool deleted = false;
  while (!deleted) {
    std::lock_guard lock(TreeMutex());
    for (TreeNode* c = receive->firstChild; c; c = c->next) {
      if (IsFolder(c) && c->title == "Batch" && c->firstChild) {
        GetDownloadManager().DetachSubtree(c);
        DestroyNode(c);
        deleted = true;
        break;
      }
    }
  }
  JoinDownloadReservations();

  std::lock_guard lock(TreeMutex());
  EXPECT_LE(CountFolders(receive, "Batch"), 1);
  std::set<const TreeNode*> inTree;
  for (TreeNode* n = root; n; n = NextInPreorder(n, root)) {
    inTree.insert(n);
    const TreeNode* last = nullptr;
    for (TreeNode* c = n->firstChild; c; c = c->next) {
      EXPECT_EQ(c->parent, n);
      EXPECT_EQ(c->prev, last);
      last = c;
    }
    EXPECT_EQ(n->lastChild, last);
  }
  size_t itemsInTree = 0;
  for (const TreeNode* n : inTree) itemsInTree += IsItem(n) && n->url.rfind("http://r.example/", 0) == 0;
  size_t withNode = 0;
  for (const DownloadJob& job : GetDownloadManager().Snapshot()) {
    if (!job.Node) continue;
    ++withNode;
    EXPECT_TRUE(inTree.count(job.Node)) << job.URL;  // never a freed item
    EXPECT_EQ(job.Node->url, job.URL);
  }
  EXPECT_EQ(withNode, itemsInTree + kTexts);  // reservation items left plus the UseCache ones
  EXPECT_EQ(GetDownloadManager().Size(), static_cast<size_t>(kTexts * kUrls + kTexts));
}

}  // namespace
}  // namespace zentu::testing
