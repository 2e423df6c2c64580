// Feeds, OPML and scheduled updates: the reader's tolerance, what an update
// does to an RSS folder, the schedule table and its tick, and whole captures
// of RSS 2.0, RSS 1.0 (EUC-JP) and Atom feeds from the test server.
#include <random>

#include "capture/feeds.h"
#include "capture/pipeline.h"
#include "capture/schedule.h"
#include "os/cp932.h"
#include "os/file.h"
#include "pagelib/codedetect.h"
#include "store/profile.h"
#include "store/tree.h"
#include "tests/support/sample_site.h"

namespace zentu::testing {
namespace {

TEST(FeedScan, EntriesFromEveryForm) {
  struct Row {
    const char* name;
    std::string feed;
    std::vector<FeedEntry> want;
  };
  const std::vector<Row> rows = {
      {"rss2", "<rss><channel><title>C</title><link>http://c/</link><item><title>A &amp; B</title>"
               "<link>http://h/a</link><dc:date>2007-01-01</dc:date></item></channel></rss>",
       {{"A & B", "http://h/a", "2007-01-01"}}},
      {"host without path gets a slash", "<item><link>http://host.example</link></item>", {{"", "http://host.example/", ""}}},
      {"cdata and markup", "<item><title><![CDATA[<b>x</b> > y]]></title><link>\r\n http://h/b \r\n</link></item>",
       {{"x > y", "http://h/b", ""}}},
      {"atom alternate href, other rels skipped",
       "<feed><entry><title type=\"text\">E</title><link rel=\"edit\" href=\"http://h/edit\"/>"
       "<link rel=\"alternate\" href=\"http://h/e\"/><link href=\"http://h/second\"/><updated>U</updated></entry></feed>",
       {{"E", "http://h/e", "U"}}},
      {"rdf items table ignored", "<rdf:RDF><channel><items><rdf:Seq/></items></channel><item rdf:about=\"x\">"
                                  "<title>R</title><link>http://h/r</link><dc:date>D</dc:date></item></rdf:RDF>",
       {{"R", "http://h/r", "D"}}},
      {"empty title tag", "<item><title/><link>http://h/t</link></item>", {{"", "http://h/t", ""}}},
      {"entry without link dropped", "<item><title>no link</title></item><item><link>http://h/ok</link></item>",
       {{"", "http://h/ok", ""}}},
      {"text outside entries ignored", "junk <link>http://h/x</link> <item><link>http://h/in</link></item> tail",
       {{"", "http://h/in", ""}}},
  };
  for (const Row& row : rows) {
    std::vector<FeedEntry> got = ScanFeedEntries(row.feed);
    ASSERT_EQ(got.size(), row.want.size()) << row.name;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].title, row.want[i].title) << row.name;
      EXPECT_EQ(got[i].link, row.want[i].link) << row.name;
      EXPECT_EQ(got[i].date, row.want[i].date) << row.name;
    }
  }
}

TEST(FeedScan, OpmlOutlines) {
  const auto got = ScanOpmlOutlines(
      "<opml><body><outline text=\"x\" title=\"One\" xmlUrl=\"http://h/1.xml\"/>"
      "<OUTLINE TITLE=\"Two\" XMLURL=\"http://h/2?a=1&amp;b=2\"/><outline title=\"no url\"/></body></opml>");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].title, "One");
  EXPECT_EQ(got[1].xmlUrl, "http://h/2?a=1&b=2");
}

// Hostile feeds end quickly, with bounded results.
TEST(FeedScanFuzz, HostileInputs) {
  std::string many = "<rss><channel>";
  for (int i = 0; i < 100000; ++i) many += "<item><title>t</title><link>http://h/" + std::to_string(i) + "</link></item>";
  std::string loops = "<!DOCTYPE r [<!ENTITY a \"&b;&b;\"><!ENTITY b \"&a;&a;\">]><rss><item><title>&a;</title>"
                      "<link>http://h/&a;</link></item></rss>";
  std::string huge(50u << 20, 'x');
  huge.replace(0, 6, "<item>");
  std::mt19937 random(7);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = "<>/!-[]CDATAitemlink&\"= \r\nx"[random() % 27];
  const std::string cases[] = {"not xml at all", "<rss><item><title>cut", "<item><link>http://h/a</li", many, loops,
                               huge, noise, "<![CDATA[" + std::string(1 << 20, '<')};
  for (const std::string& text : cases) {
    std::vector<FeedEntry> got = ScanFeedEntries(text);
    EXPECT_LE(got.size(), kMaxFeedEntries);
    for (const FeedEntry& e : got) {
      EXPECT_LE(e.link.size(), kMaxUrlLength);
      EXPECT_LE(e.title.size(), kMaxFeedText * 8);
    }
    (void)ScanOpmlOutlines(text);
  }
  EXPECT_EQ(ScanFeedEntries(many).size(), kMaxFeedEntries);
  EXPECT_EQ(ScanFeedEntries(loops).at(0).title, "&a;");  // never expanded
}

// AnalyzeFeed on a folder of the collection, links checked by a table.
class FeedAnalysisTest : public CaptureHome {
 protected:
  void SetUp() override {
    CaptureHome::SetUp();
    GetDownloadManager().ClearHooks();  // nothing is fetched
    SetFeedLinkResolver([](std::string_view url) {
      return url == "http://h/moved" ? std::string("http://h/target") : std::string(url);
    });
    std::lock_guard tree(TreeMutex());
    folder = CreateRssFolder(GetTreeState().root, "Feed", "http://h/feed.xml");
  }
  void TearDown() override {
    SetFeedLinkResolver({});
    CaptureHome::TearDown();
  }
  int Analyze(const std::string& feed) {
    DownloadJob job;
    job.URL = "http://h/feed.xml";
    job.Node = folder;
    std::string text = feed;
    return AnalyzeFeed(job, text);
  }
  static std::string Item(const std::string& link, const std::string& date) {
    return "<item><title>" + link + "</title><link>" + link + "</link>" +
           (date.empty() ? "" : "<dc:date>" + date + "</dc:date>") + "</item>";
  }
  TreeNode* Child(const std::string& url) {
    for (TreeNode* c = folder->firstChild; c; c = c->next)
      if (c->url == url) return c;
    return nullptr;
  }
  TreeNode* folder = nullptr;
};

TEST_F(FeedAnalysisTest, NewChangedAndStaleEntries) {
  const std::string first = Item("http://h/a", "1") + Item("http://h/b", "1") + Item("http://h/nodate", "") +
                            Item("http://h/moved", "1") + Item("file:///etc/passwd", "1");
  ASSERT_EQ(Analyze(first), 1);
  EXPECT_NE(Child("http://h/target"), nullptr);  // the redirect's target is kept
  EXPECT_EQ(Child("file:///etc/passwd"), nullptr);
  EXPECT_EQ(GetDownloadManager().Size(), 4u);
  // The same feed again: nothing new, nothing changed.
  ASSERT_EQ(Analyze(first), 1);
  int children = 0;
  for (TreeNode* c = folder->firstChild; c; c = c->next, ++children) EXPECT_FALSE(c->unread);
  EXPECT_EQ(children, 4);

  folder->autoDelete = true;
  TreeNode* a = Child("http://h/a");
  TreeNode* b = Child("http://h/b");
  TreeNode* marked = Child("http://h/target");
  TreeNode* nodate = Child("http://h/nodate");
  {
    std::lock_guard tree(TreeMutex());
    for (TreeNode* n : {a, b, marked, nodate}) SetDownloadFlag(n, kDownloadDone);
    SetMark(marked, 3);
    SetUnreadFlag(b, true);  // gone from the feed, but not read yet
  }
  // b changes date... no: a changes, b, marked and nodate disappear.
  ASSERT_EQ(Analyze(Item("http://h/a", "2") + Item("http://h/new", "1")), 1);
  EXPECT_TRUE(a->unread);
  EXPECT_EQ(a->downloadFlag, kDownloadChanged);
  EXPECT_EQ(a->originalDate, "2");
  EXPECT_NE(Child("http://h/new"), nullptr);
  EXPECT_NE(Child("http://h/b"), nullptr);       // unread stays
  EXPECT_NE(Child("http://h/target"), nullptr);  // marked stays
  EXPECT_EQ(Child("http://h/nodate"), nullptr);  // read and downloaded: gone
}

TEST_F(FeedAnalysisTest, FeedOnlyAndMissingFolder) {
  folder->feedOnly = true;
  ASSERT_EQ(Analyze(Item("http://h/a", "1")), 1);
  EXPECT_TRUE(Child("http://h/a")->unread);
  EXPECT_EQ(GetDownloadManager().Size(), 0u);
  DownloadJob job;
  job.URL = "http://h/unknown.xml";
  std::string text = "<item><link>http://h/x</link></item>";
  EXPECT_EQ(AnalyzeFeed(job, text), 0);
  EXPECT_EQ(job.Message, "Can't detect RSS Folder");
}

TEST_F(FeedAnalysisTest, OpmlMakesFoldersOnce) {
  DownloadJob job;
  job.URL = "http://h/list.opml";
  std::string text = "<outline title=\"A\" xmlUrl=\"http://h/a.xml\"/><outline title=\"B\" xmlUrl=\"http://h/b.xml\"/>"
                     "<outline title=\"No\"/>";
  ASSERT_EQ(AnalyzeOPML(job, text), 1);
  text = "<outline title=\"A again\" xmlUrl=\"http://h/a.xml\"/>";
  ASSERT_EQ(AnalyzeOPML(job, text), 1);
  std::lock_guard tree(TreeMutex());
  TreeNode* opml = FindOrCreateOpmlFolder();
  int n = 0;
  for (TreeNode* c = opml->firstChild; c; c = c->next, ++n) EXPECT_TRUE(IsRssFolder(c));
  EXPECT_EQ(n, 2);
  std::string none = "<outline title=\"x\"/>";
  desktop.messages.clear();
  ASSERT_EQ(AnalyzeOPML(job, none), 1);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].text, SJ("RSSアイテムを検出できませんでした"));
}

// --- Schedule ---

TEST(ScheduleTick, ModesOfEachTick) {
  int counter = 1;
  std::map<int, int> runs;
  for (int tick = 1; tick <= 288; ++tick)
    for (int mode : ScheduleModesForTick(counter)) ++runs[mode];
  EXPECT_EQ(runs[kUpdatePer10Minutes], 288);
  EXPECT_EQ(runs[kUpdatePer30Minutes], 96);
  EXPECT_EQ(runs[kUpdatePer1Hour], 48);
  EXPECT_EQ(runs[kUpdatePer3Hours], 16);
  EXPECT_EQ(runs[kUpdatePer24Hours], 2);
  EXPECT_EQ(counter, 1);
}

class ScheduleTest : public FeedAnalysisTest {
 protected:
  void SetUp() override {
    FeedAnalysisTest::SetUp();
    CurrentProfile().SaveAtAddition = false;
    ResetSchedule();
    std::lock_guard tree(TreeMutex());
    TreeNode* root = GetTreeState().root;
    hourly = CreateNode(SJ("毎時表示"), {}, {}, kNodeFolder);  // "表" ends in 0x5C
    (void)Link(hourly, root, kLinkLastChild);
    TreeNode* item = CreateNode("i", "http://h/hourly.html", {}, kNodeItem);
    (void)Link(item, hourly, kLinkLastChild);
    TreeNode* sub = CreateNode("sub", {}, {}, kNodeFolder);
    (void)Link(sub, hourly, kLinkLastChild);
    (void)Link(CreateNode("deep", "http://h/deep.html", {}, kNodeItem), sub, kLinkLastChild);
  }
  void TearDown() override {
    ResetSchedule();
    FeedAnalysisTest::TearDown();
  }
  // Jobs asked for per URL after `ticks` ticks, each tick's runs waited for.
  std::map<std::string, int> Ticks(int ticks) {
    std::map<std::string, int> asked;
    int counter = 1;
    for (int t = 0; t < ticks; ++t) {
      RunScheduleTick(counter);
      EXPECT_TRUE(WaitForScheduleIdle(std::chrono::seconds(10)));
      for (const DownloadJob& j : GetDownloadManager().Snapshot()) ++asked[j.URL];
      GetDownloadManager().Clear();
    }
    return asked;
  }
  TreeNode* hourly = nullptr;
};

TEST_F(ScheduleTest, FileRoundTripAndHandWrittenPaths) {
  WriteNative("update.dat", "# c\nFolder=Zentu\\x\n[update per 1 HOUR]\nFolder=Zentu\\" + SJ("毎時表示") +
                                "\r\nFolder=Other\\x\n[Update per 10 minutes]\nFolder=Zentu\tFeed\n");
  ASSERT_EQ(LoadSchedule(Path("update.dat")), 1);
  const auto entries = ScheduleEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].mode, 0);
  EXPECT_EQ(entries[1], (ScheduleEntry{kUpdatePer1Hour, "Zentu\t" + SJ("毎時表示")}));
  EXPECT_EQ(AddScheduleEntry(kUpdatePer1Hour, "Zentu\t" + SJ("毎時表示")), 0);
  ASSERT_EQ(SaveSchedule(Path("update.dat")), 1);
  EXPECT_TRUE(ScheduleEntries().empty());
  const std::string saved = ReadNative("update.dat");
  EXPECT_EQ(saved.substr(0, 39), "# for Update\r\n[Update at first]\r\n\r\n[Upd");
  EXPECT_NE(saved.find("[Update per 1 hour]\r\nFolder=Zentu\t" + SJ("毎時表示") + "\r\n\r\n"), std::string::npos);
  ASSERT_EQ(LoadSchedule(Path("update.dat")), 1);
  EXPECT_EQ(ScheduleEntries().size(), 2u);  // the mode-0 line is not kept
}

TEST_F(ScheduleTest, TicksQueueEachModeInTime) {
  ASSERT_EQ(AddScheduleEntry(kUpdatePer10Minutes, "Zentu\tFeed"), 1);
  ASSERT_EQ(AddScheduleEntry(kUpdatePer1Hour, "Zentu\t" + SJ("毎時表示")), 1);
  ASSERT_EQ(AddScheduleEntry(kUpdatePer24Hours, "Zentu\tFeed"), 1);
  ASSERT_EQ(AddScheduleEntry(kUpdatePer10Minutes, "Zentu\tGone"), 1);  // skipped silently
  auto asked = Ticks(144);
  EXPECT_EQ(asked["http://h/feed.xml"], 144);   // 10 minutes (and the 24-hour run re-arms it)
  EXPECT_EQ(asked["http://h/hourly.html"], 24);  // every sixth tick
  EXPECT_EQ(asked.count("http://h/deep.html"), 0u);  // updates do not descend
}

// --- Whole captures from the test server ---

class FeedCaptureTest : public CaptureHome {
 protected:
  void SetUp() override {
    CaptureHome::SetUp();
    InstallFeeds();
    SetFeedLinkResolver([](std::string_view url) { return std::string(url); });
  }
  void TearDown() override {
    SetFeedLinkResolver({});
    ClearPipelineHooks();
    CaptureHome::TearDown();
  }
  TreeNode* AddFeed(const std::string& title, const std::string& url) {
    std::lock_guard tree(TreeMutex());
    return CreateRssFolder(GetTreeState().root, title, url);
  }
  void Update(TreeNode* folder) {
    {
      std::lock_guard tree(TreeMutex());
      ASSERT_GT(QueueFeed(folder, true, true), 0);
    }
    ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
  }
  std::vector<TreeNode*> Children(TreeNode* folder) {
    std::lock_guard tree(TreeMutex());
    std::vector<TreeNode*> out;
    for (TreeNode* c = folder->firstChild; c; c = c->next) out.push_back(c);
    return out;
  }
  TestServer server;
};

TEST_F(FeedCaptureTest, ThreeFeedKindsFillTheirFolders) {
  const std::string base = "http://127.0.0.1:{{port}}";
  for (const char* p : {"/p/1.html", "/p/2.html", "/p/3.html", "/p/4.html", "/p/5.html"})
    server.AddPage(p, std::string("<html><title>page</title><body>") + p + "</body></html>");
  auto rss2 = [&](const std::string& date1, bool withNew) {
    return "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>R2</title><item><title>One</title><link>" +
           base + "/p/1.html</link><dc:date>" + date1 + "</dc:date></item><item><title>Two</title><link>" + base +
           "/p/2.html</link><dc:date>d</dc:date></item>" +
           (withNew ? "<item><title>New</title><link>" + base + "/p/5.html</link></item>" : std::string()) +
           "</channel></rss>";
  };
  server.Add({.path = "/rss2.xml", .headers = {{"Content-Type", "application/rss+xml"}}, .body = rss2("d", false)});
  const std::string rdf = os::Utf8ToSjis(
      "<?xml version=\"1.0\" encoding=\"EUC-JP\"?><rdf:RDF><channel><items><rdf:Seq><rdf:li/></rdf:Seq></items>"
      "</channel><item><title>日本語の見出し</title><link>http://127.0.0.1:{{port}}/p/3.html</link>"
      "<dc:date>2007</dc:date></item></rdf:RDF>");
  server.Add({.path = "/rdf.xml", .headers = {{"Content-Type", "text/xml"}},
              .body = FromUtf8(os::SjisToUtf8(rdf), "EUC-JP")});
  server.Add({.path = "/atom.xml", .headers = {{"Content-Type", "application/atom+xml; charset=utf-8"}},
              .body = "<feed xmlns=\"http://www.w3.org/2005/Atom\"><title>A</title><entry><title>\xE6\x9E\xA0 &#8212; "
                      "x</title><link rel=\"alternate\" href=\"" + base + "/p/4.html\"/><updated>u</updated></entry></feed>"});

  TreeNode* r2 = AddFeed("rss2", server.Url("/rss2.xml"));
  TreeNode* rd = AddFeed("rdf", server.Url("/rdf.xml"));
  TreeNode* at = AddFeed("atom", server.Url("/atom.xml"));
  Update(r2);
  Update(rd);
  Update(at);
  ASSERT_EQ(Children(r2).size(), 2u);
  ASSERT_EQ(Children(rd).size(), 1u);
  ASSERT_EQ(Children(at).size(), 1u);
  EXPECT_EQ(Children(rd)[0]->title, SJ("日本語の見出し"));
  EXPECT_EQ(Children(at)[0]->title, SJ("枠 &#8212; x"));
  for (TreeNode* f : {r2, rd, at})
    for (TreeNode* c : Children(f)) {
      EXPECT_EQ(c->downloadFlag, kDownloadDone) << c->url;
      EXPECT_TRUE(os::FileExists(c->localFile)) << c->url;
    }

  // The feed changes: entry one has a new date, entry five is new, and with
  // auto delete the read entry two, gone from the feed, is removed.
  server.Add({.path = "/rss2.xml", .headers = {{"Content-Type", "application/rss+xml"}},
              .body = "<rss><channel><item><title>One</title><link>" + base +
                      "/p/1.html</link><dc:date>d2</dc:date></item><item><title>New</title><link>" + base +
                      "/p/5.html</link></item></channel></rss>"});
  TreeNode* one = Children(r2)[0];
  {
    std::lock_guard tree(TreeMutex());
    r2->autoDelete = true;
    for (TreeNode* c : Children(r2)) SetUnreadFlag(c, false);
  }
  const size_t before = server.RequestCount("/p/1.html");
  Update(r2);
  auto after = Children(r2);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], one);
  EXPECT_TRUE(one->unread);
  EXPECT_EQ(one->originalDate, "d2");
  EXPECT_GT(server.RequestCount("/p/1.html"), before);  // fetched again
  EXPECT_EQ(after[1]->url, server.Url("/p/5.html"));
  EXPECT_EQ(after[1]->downloadFlag, kDownloadDone);
}

TEST_F(FeedCaptureTest, OpmlWithThreeOutlinesMakesThreeFolders) {
  server.Add({.path = "/list.opml", .headers = {{"Content-Type", "text/x-opml"}},
              .body = "<opml><body><outline title=\"a\" xmlUrl=\"http://h/a\"/><outline title=\"b\" xmlUrl=\"http://h/b\"/>"
                      "<outline title=\"c\" xmlUrl=\"http://h/c\"/></body></opml>"});
  ASSERT_EQ(ImportOPML(server.Url("/list.opml")), 1);
  ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
  std::lock_guard tree(TreeMutex());
  TreeNode* opml = FindOrCreateOpmlFolder();
  int n = 0;
  for (TreeNode* c = opml->firstChild; c; c = c->next, ++n) EXPECT_TRUE(IsRssFolder(c));
  EXPECT_EQ(n, 3);
}

}  // namespace
}  // namespace zentu::testing
