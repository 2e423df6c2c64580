// The zentu program as a whole: the running instance, second starts, --once,
// an orderly shutdown during captures, hard kills during captures and saves,
// and a command channel under abuse. Each test starts the built binary in a
// fresh Zentu home and serves pages from a local test server.
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "capture/job.h"
#include "os/channel.h"
#include "os/file.h"
#include "os/path.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/zentu_process.h"
#include "tests/support/testhome.h"
#include "tests/support/testserver.h"

namespace zentu::testing {
namespace {

constexpr uint32_t kNoCache = 6003;
constexpr uint32_t kOther = 6004;

struct Item {
  std::string url, title, localFile, folder;
  uint32_t downloadFlag = 0;
};

struct Collection {
  TreeLoadResult result;
  std::vector<Item> items;
  std::map<std::string, int> urlCount;
  const Item* Find(const std::string& url) const {
    for (const Item& item : items)
      if (item.url == url) return &item;
    return nullptr;
  }
};

class FrameTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    WriteProfile("");
  }
  void TearDown() override {
    ResetTreeState();
    TempHome::TearDown();
  }

  // Short network time-out; `extra` adds lines to the [Zentu] section.
  void WriteProfile(const std::string& extra) {
    WriteNative("zentu.ini", "[Zentu]\nTimeOut=5\n" + extra + "[DownloadManager]\nDelayOfDownload=0\n");
  }

  // Capture workers end soon after the queue drains, so the log shows it.
  ZentuProcess::Environment Env(ZentuProcess::Environment more = {}) {
    ZentuProcess::Environment env{{"ZENTU_WORKER_IDLE_MS", "300"},
                                  {"DISPLAY", std::nullopt},
                                  {"WAYLAND_DISPLAY", std::nullopt},
                                  {"QT_QPA_PLATFORM", std::nullopt}};
    for (auto& [k, v] : more) env[k] = v;
    return env;
  }

  // Reads the tree file the way a start-up does.
  Collection Load() {
    Collection c;
    TreeFileSettings settings;
    settings.treeFile = Path("default.html");
    settings.dataDirectory = Path("Data");
    c.result = LoadTree(settings.treeFile, nullptr, settings);
    std::lock_guard tree(TreeMutex());
    const TreeNode* root = GetTreeState().root;
    for (const TreeNode* n = root; n; n = NextInPreorder(n, root)) {
      if (!IsItem(n)) continue;
      c.items.push_back({n->url, n->title, n->localFile, n->parent ? n->parent->title : "", n->downloadFlag});
      ++c.urlCount[n->url];
    }
    return c;
  }

  // The saved copy of an item, as a native path.
  std::string SavedCopy(const Item& item) {
    std::string path = item.localFile;
    if (path.size() < 2 || path[1] != ':') path = os::JoinPath(Path("Data"), path);
    auto native = os::ToNativePath(path);
    return native ? *native : "";
  }

  static bool Send(uint32_t code, const std::string& text, int timeoutMs = 20000) {
    return os::SendFrame(code, text, timeoutMs);
  }

  // Every text in order, each found after the one before.
  static void ExpectInOrder(const ZentuProcess& z, const std::vector<std::string>& texts) {
    int at = 0;
    for (const std::string& text : texts) {
      int found = z.FindLine(text, at);
      ASSERT_GE(found, 0) << "missing or out of order: " << text << "\n" << z.Output();
      at = found + 1;
    }
  }
};

std::string TitledPage(const std::string& title, const std::string& more = "") {
  return "<html><head><meta charset=\"UTF-8\"><title>" + title + "</title></head><body>" + more +
         "</body></html>\n";
}

TEST_F(FrameTest, HeadlessInstanceStartsAnswersAndShutsDownInOrder) {
  WriteProfile("DebugFlag=1\n");
  {
    ZentuProcess z({"--headless"}, Env());
    ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
    ExpectInOrder(z, {"-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-", " Zentu version 0.99M",
                      "   - Update Date 2007/02/12", "Load Initialize File [", "Load Keyword-URL List [",
                      "Load Extension List [", "Load Close URL List [", "Load URL-USER-PASSWORD File [",
                      "Load Referrer List [", "Load Lock List [", "Load AutoUpdate File [", "Load Keyconfig File [",
                      "Load Keyconfig File for Editor [", "Init Application Zentu [Moruska]", "Load Some Resources",
                      "Load Custom Icon File [", "Load Zentu Tree [", "Load Group File [", "OLEInitialize",
                      "# Zentu: WM_CREATE", "# Set Timer", "# Zentu: WM_CREATE [ok]", "Zentu Init: ok",
                      "RegisterHotKey", "Load Accelerators", "Init Menu Items", "Set Current Group",
                      "Load Reject List [", "Load Convert List [", "timer.dat", "# Run Schedule: mode 1",
                      "# Ready"});
    // A fresh home: the first-time setup's question is answered in the log.
    EXPECT_TRUE(z.WaitForLine("First Setup")) << z.Output();
    EXPECT_TRUE(z.WaitForLine("> レジストリへの登録を行いませんでした")) << z.Output();

    // Second starts: without a command line the running one is asked to show
    // itself; with one it carries the command out.
    ZentuProcess show({}, Env());
    EXPECT_EQ(show.Wait(), 0) << show.Output();
    EXPECT_TRUE(z.WaitForLine("no window to bring to the front"));
    ZentuProcess add({"-i", "http://example.invalid/first"}, Env());
    EXPECT_EQ(add.Wait(), 0) << add.Output();
    ZentuProcess asksNothing({"--headless", "plain words"}, Env());
    EXPECT_EQ(asksNothing.Wait(), 0);
    EXPECT_NE(asksNothing.Output().find("asks it for nothing"), std::string::npos);
    // The log file of the running instance is its own.
    EXPECT_NE(ReadNative("zentu.log").find("Load Zentu Tree"), std::string::npos);

    z.Signal(SIGTERM);
    ASSERT_EQ(z.Wait(), 0) << z.Output();
    ExpectInOrder(z, {"signal 15", "# Confirm : Save", "# SaveProfileData : ", "SaveProfileData : ",
                      "# Save Group File : ", "# Save Lock List: ", "# UnregisterHotKey", "# Kill Timer",
                      "Deinit Winsock", "# Destroy Child Window", "# Delete All Log", "# Free Resources",
                      "# Release Mutex & Close Handle"});
    EXPECT_EQ(z.FindLine("# Confirm : Save", z.FindLine("# Delete All Log")), -1) << "shutdown ran twice";
  }
  for (const char* file : {"zentu.ini", "default.html", "Config/lock.dat", "Config/group.dat", "zentu.log"})
    EXPECT_TRUE(std::filesystem::exists(nativeHome + "/" + file)) << file;
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/zentu.sock"));
  EXPECT_NE(ReadNative("zentu.ini").find("LastFolder=Zentu"), std::string::npos);
  Collection c = Load();
  ASSERT_NE(c.Find("http://example.invalid/first"), nullptr);
  EXPECT_EQ(c.Find("http://example.invalid/first")->folder, SJ("未整理フォルダ"));

  // The next start takes the lock again, begins a new log and finds the item.
  ZentuProcess again({"--headless"}, Env());
  ASSERT_TRUE(again.WaitForLine("# Ready")) << again.Output();
  EXPECT_EQ(ReadNative("zentu.log").find("# Kill Timer"), std::string::npos) << "old log kept";
  again.Signal(SIGINT);
  EXPECT_EQ(again.Wait(), 0);
  EXPECT_EQ(again.FindLine("First Setup"), -1) << "asked again with a tree file";
  EXPECT_NE(Load().Find("http://example.invalid/first"), nullptr);
}

TEST_F(FrameTest, SecondStartHandsItsUrlToTheRunningInstance) {
  TestServer server;
  server.AddPage("/page.html", TitledPage("取り込みテスト", "<img src=\"pic.png\">"), "text/html; charset=UTF-8");
  server.Add({.path = "/pic.png", .headers = {{"Content-Type", "image/png"}}, .body = "\x89PNG\r\n\x1a\n"});
  const std::string url = server.Url("/page.html");

  ZentuProcess first({"--headless"}, Env());
  ASSERT_TRUE(first.WaitForLine("# Ready")) << first.Output();
  ZentuProcess second({"-u", url}, Env());
  EXPECT_EQ(second.Wait(), 0) << second.Output();
  EXPECT_EQ(second.FindLine("# Ready"), -1) << "the second start must not become an instance";
  ASSERT_TRUE(first.WaitForLine("Finish. Analyze Thread.", 30000, true)) << first.Output();
  first.Signal(SIGTERM);
  ASSERT_EQ(first.Wait(), 0) << first.Output();

  Collection c = Load();
  const Item* item = c.Find(url);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(c.urlCount[url], 1);
  EXPECT_EQ(item->folder, SJ("未整理フォルダ"));
  EXPECT_EQ(item->title, SJ("取り込みテスト"));
  EXPECT_EQ(item->downloadFlag, kDownloadDone);
  std::string saved;
  ASSERT_TRUE(os::ReadWholeFile(os::FromNativePath(SavedCopy(*item)), saved)) << item->localFile;
  EXPECT_NE(saved.find("pic.png"), std::string::npos);
  EXPECT_EQ(server.RequestCount("/pic.png") > 0, true);
}

// A headless instance with a feed scheduled every 10 minutes refreshes it by
// itself (the tick shortened through the test-only knob, not the default).
TEST_F(FrameTest, ScheduledFeedIsRefreshedWithoutAnyUserAction) {
  TestServer server;
  server.AddPage("/entry.html", TitledPage("Entry"), "text/html");
  server.Add({.path = "/feed.xml", .headers = {{"Content-Type", "application/rss+xml"}},
              .body = "<rss><channel><item><title>E</title><link>http://127.0.0.1:{{port}}/entry.html</link>"
                      "</item></channel></rss>"});
  {
    TreeFileSettings settings;
    settings.treeFile = Path("default.html");
    settings.dataDirectory = Path("Data");
    BuildDefaultTree(settings);
    std::lock_guard tree(TreeMutex());
    TreeNode* feed = CreateNode("feed", server.Url("/feed.xml"), server.Url("/feed.xml"), kNodeFolder);
    SetProperty(feed, kPropertyRssFolder);
    ASSERT_TRUE(Link(feed, GetTreeState().root, kLinkLastChild));
    ASSERT_EQ(SaveTree(settings), 1);
    ResetTreeState();
  }
  WriteNative("Config/update.dat", "# for Update\n[Update per 10 minutes]\nFolder=Zentu\\feed\n");
  ZentuProcess z({"--headless"}, Env({{"ZENTU_SCHEDULE_TICK_MS", "300"}}));
  ASSERT_TRUE(z.WaitForLine("# Ready"));
  // Each arrival is waited for: the feed at least twice, and its entry.
  for (size_t k = 1; k < 40 && (server.RequestCount("/feed.xml") < 2 || server.RequestCount("/entry.html") < 1); ++k)
    ASSERT_TRUE(server.WaitForRequests(k, 30000)) << z.Output();
  EXPECT_GE(server.RequestCount("/feed.xml"), 2u);
  EXPECT_GE(server.RequestCount("/entry.html"), 1u);
  z.Signal(SIGTERM);
  ASSERT_EQ(z.Wait(), 0) << z.Output();
  Collection c = Load();
  const Item* entry = c.Find(server.Url("/entry.html"));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->folder, "feed");
  EXPECT_EQ(c.urlCount[server.Url("/entry.html")], 1);
  EXPECT_NE(ReadNative("Config/update.dat").find("Folder=Zentu\tfeed"), std::string::npos);
}

TEST_F(FrameTest, OnceCapturesSavesTheCollectionAndTheProfileAndExits) {
  TestServer server;
  server.AddPage("/once*", TitledPage("Once"), "text/html");
  struct Row {
    std::vector<std::string> mode;
    ZentuProcess::Environment env;
    std::string announced;
  };
  // Without a display (and no Qt platform named) there is no window either way.
  const Row rows[] = {
      {{"--headless"}, {}, "headless: no window"},
      {{}, {}, ": running headless"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.announced);
    const std::string url = server.Url("/once" + std::to_string(++n) + ".html");
    std::vector<std::string> args = row.mode;
    args.insert(args.end(), {"--once", "-u", url});
    ZentuProcess z(args, Env(row.env));
    ASSERT_EQ(z.Wait(), 0) << z.Output();
    ExpectInOrder(z, {"Command Line: [", row.announced, "# Ready", "# Capture queue drained", "# Confirm : Save",
                      "# Delete All Log"});
    Collection c = Load();
    const Item* item = c.Find(url);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->title, "Once");
    EXPECT_TRUE(std::filesystem::exists(SavedCopy(*item)));
    EXPECT_TRUE(std::filesystem::exists(nativeHome + "/zentu.ini"));
    EXPECT_EQ(c.items.size(), 3u + n) << "the three default items and one per run";
  }
  // With nothing to capture --once ends at once.
  ZentuProcess idle({"--headless", "--once"}, Env());
  EXPECT_EQ(idle.Wait(), 0);
}

TEST_F(FrameTest, SigtermDuringCapturesKeepsTheQueueAndTheNextStartFinishesIt) {
  TestServer server({.delayMs = 150});
  server.Add({.path = "/q/*", .handler = [](const TestRequest& request, TestResponse& response) {
                response.headers = {{"Content-Type", "text/html"}};
                response.body = TitledPage("Page " + request.Path().substr(3));
              }});
  constexpr int kPages = 8;
  std::string text = "<!--NoCache-->\n";
  for (int i = 0; i < kPages; ++i) text += server.Url("/q/" + std::to_string(i)) + "\n";

  {
    ZentuProcess z({"--headless"}, Env());
    ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
    ASSERT_TRUE(Send(kNoCache, text));
    ASSERT_TRUE(server.WaitForRequests(2, 20000));
    z.Signal(SIGTERM);
    ASSERT_EQ(z.Wait(), 0) << z.Output();
  }
  std::vector<JobRecord> records = ParseJobRecords(ReadNative("Timer/timer.dat"));
  ASSERT_EQ(records.size(), static_cast<size_t>(kPages)) << ReadNative("Timer/timer.dat");
  int unfinished = 0;
  for (const JobRecord& r : records) {
    EXPECT_FALSE(r.treePath.empty()) << r.job.URL;
    EXPECT_TRUE(r.job.Status == kJobUntreated || r.job.Status == kJobWaiting || r.job.Status == kJobDownloaded ||
                r.job.Status == kJobComplete)
        << r.job.URL << " " << r.job.Status;
    if (r.job.Status != kJobComplete) ++unfinished;
  }
  EXPECT_GT(unfinished, 0) << "the shutdown came too late to leave work behind";
  EXPECT_EQ(Load().items.size(), 3u + kPages);

  ZentuProcess next({"--headless", "--once"}, Env());
  ASSERT_EQ(next.Wait(), 0) << next.Output();
  Collection c = Load();
  EXPECT_EQ(c.items.size(), 3u + kPages);
  for (int i = 0; i < kPages; ++i) {
    const std::string url = server.Url("/q/" + std::to_string(i));
    const Item* item = c.Find(url);
    ASSERT_NE(item, nullptr) << url;
    EXPECT_EQ(c.urlCount[url], 1) << url;
    EXPECT_EQ(item->title, "Page " + std::to_string(i));
    EXPECT_EQ(item->downloadFlag, kDownloadDone) << url;
    EXPECT_TRUE(std::filesystem::exists(SavedCopy(*item))) << url;
  }
  for (const JobRecord& r : ParseJobRecords(ReadNative("Timer/timer.dat")))
    EXPECT_EQ(r.job.Status, kJobComplete) << r.job.URL;
}

// A collection that takes long to read: SIGTERM ends the run in order, and
// the part read so far is never saved over the file.
TEST_F(FrameTest, SigtermDuringALongTreeLoadEndsWithoutSavingOverTheFile) {
  constexpr int kDepth = 300000;
  std::string file = "<HTML>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>0.99</VERSION>\r\n<UL>\r\n";
  for (int i = 0; i < kDepth; ++i)
    file += "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">d" + std::to_string(i) + "<UL>\r\n";
  for (int i = 0; i < kDepth; ++i) file += "</UL>\r\n";
  file += "</UL>\r\n</HTML>\r\n";
  WriteNative("default.html", file);
  const std::string profile = ReadNative("zentu.ini");

  ZentuProcess z({"--headless"}, Env());
  // Early in the start-up, so the signal is there before the load is through.
  ASSERT_TRUE(z.WaitForLine("Load Initialize File")) << z.Output();
  z.Signal(SIGTERM);
  ASSERT_EQ(z.Wait(), 0) << z.Output();
  ExpectInOrder(z, {"Load Zentu Tree [", "> load of the tree stopped", "> end requested during the load"});
  EXPECT_LT(z.FindLine("# Confirm : Save"), 0) << z.Output();
  EXPECT_TRUE(ReadNative("default.html") == file) << "the tree file was written";
  EXPECT_EQ(ReadNative("zentu.ini"), profile);
  for (const auto& e : std::filesystem::directory_iterator(nativeHome)) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name.find(".bak") == std::string::npos && name.find(".damaged") == std::string::npos) << name;
  }
}

TEST_F(FrameTest, StressKillDuringCapturesAndSavesNeverLosesASavedItem) {
  // Saves after every addition and a periodic save every few milliseconds.
  WriteProfile("DefaultHTML_AutoSave=1\nBackupInterval=1\n");
  TestServer server({.delayMs = 5});
  server.Add({.path = "/k/*", .handler = [](const TestRequest& request, TestResponse& response) {
                response.headers = {{"Content-Type", "text/html"}};
                response.body = TitledPage("K" + request.Path().substr(3), "<img src=\"/k/img.png\">");
              }});
  std::mt19937 random(20070212);
  std::set<std::string> saved;  // every URL a tree file has held so far
  int next = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool hadTreeFile = std::filesystem::exists(nativeHome + "/default.html");
    ZentuProcess z({"--headless"}, Env({{"ZENTU_SAVE_INTERVAL_MS", "20"}}));
    ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
    EXPECT_EQ(z.FindLine("damaged"), -1) << z.Output();
    EXPECT_EQ(z.FindLine("READ ERROR"), -1);
    if (hadTreeFile) {
      EXPECT_EQ(z.FindLine("> not found : "), -1) << z.Output();
    }
    const int frames = 1 + static_cast<int>(random() % 3);
    for (int f = 0; f < frames; ++f) {
      std::string text = "<!--NoCache-->\n";
      for (int i = 0; i < 3; ++i) text += server.Url("/k/" + std::to_string(next++)) + "\n";
      ASSERT_TRUE(Send(kNoCache, text));
      ASSERT_TRUE(Send(kOther, "<!--Zentu AddItemOnly-->\nURL=http://example.invalid/i" + std::to_string(next++)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
    z.Signal(SIGKILL);
    ASSERT_EQ(z.Wait(), 128 + SIGKILL);

    Collection c = Load();
    ASSERT_EQ(c.result.ok, 1);
    EXPECT_FALSE(c.result.damaged) << "round " << round;
    for (const std::string& url : saved) EXPECT_EQ(c.urlCount.count(url), 1u) << "lost: " << url;
    for (auto& [url, count] : c.urlCount) {
      EXPECT_EQ(count, 1) << url;
      saved.insert(url);
    }
  }
  EXPECT_GT(saved.size(), 20u) << "hardly anything was ever saved";

  ZentuProcess last({"--headless"}, Env());
  ASSERT_TRUE(last.WaitForLine("# Ready")) << last.Output();
  last.Signal(SIGTERM);
  ASSERT_EQ(last.Wait(), 0) << last.Output();
  Collection c = Load();
  for (const std::string& url : saved) EXPECT_EQ(c.urlCount.count(url), 1u) << url;
}

// Waits (bounded; no measure of speed) until `done` says yes.
template <typename Done>
bool WaitUntil(Done done, int timeoutMs = 30000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Spool files ("YYYYMMDDhhmmssmmm.dat", ".body") and ".part" files below the data folder.
std::vector<std::string> CaptureLeftovers(const std::string& nativeData) {
  std::vector<std::string> found;
  std::error_code ec;
  if (!std::filesystem::exists(nativeData)) return found;
  for (auto it = std::filesystem::recursive_directory_iterator(nativeData, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const bool inTemp = it->path().parent_path().filename() == "Temp";
    if ((inTemp && (name.ends_with(".dat") || name.ends_with(".body"))) || name.ends_with(".part"))
      found.push_back(it->path().string());
  }
  return found;
}

// Killed while pages are captured, some of them done already and some still
// arriving: the queue on disk lets the next start finish every capture (those
// whose files were complete before the kill too), and what the dead run left
// in Data\Temp goes.
TEST_F(FrameTest, KillDuringCapturesTheNextStartFinishesEveryCaptureAndLeavesNoTemporaryFile) {
  TestServer server;
  server.Add({.path = "/c/*", .handler = [](const TestRequest& request, TestResponse& response) {
                response.headers = {{"Content-Type", "text/html"}};
                response.body = TitledPage("Page " + request.Path().substr(3), "<img src=\"/r/img.png\">");
              }});
  server.Add({.path = "/r/img.png", .headers = {{"Content-Type", "image/png"}}, .body = "\x89PNG\r\n\x1a\n"});
  constexpr int kFast = 6, kSlow = 2;
  for (int i = 0; i < kSlow; ++i) {
    // A byte every 15 ms: still arriving when the kill comes, yet done soon after the restart.
    server.Add({.path = "/slow/" + std::to_string(i), .headers = {{"Content-Type", "text/html"}},
                .body = TitledPage("Slow " + std::to_string(i)), .fault = Fault::Drip, .faultSize = 15});
  }
  std::vector<std::pair<std::string, std::string>> pages;  // URL, title
  for (int i = 0; i < kFast; ++i) pages.push_back({server.Url("/c/" + std::to_string(i)), "Page " + std::to_string(i)});
  for (int i = 0; i < kSlow; ++i)
    pages.push_back({server.Url("/slow/" + std::to_string(i)), "Slow " + std::to_string(i)});
  std::string text = "<!--NoCache-->\n";
  for (const auto& [url, title] : pages) text += url + "\n";

  {
    ZentuProcess z({"--headless"}, Env());
    ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
    ASSERT_TRUE(Send(kNoCache, text));
    // The queue reaches the disk while it runs: the finished pages are
    // complete in timer.dat long before any shutdown.
    ASSERT_TRUE(WaitUntil([&] {
      int complete = 0;
      for (const JobRecord& r : ParseJobRecords(ReadNative("Timer/timer.dat")))
        complete += r.job.Status == kJobComplete && r.job.URL.find("/c/") != std::string::npos;
      return complete == kFast && server.RequestCount("/slow/0") > 0 && server.RequestCount("/slow/1") > 0;
    })) << ReadNative("Timer/timer.dat") << z.Output();
    z.Signal(SIGKILL);
    ASSERT_EQ(z.Wait(), 128 + SIGKILL);
  }
  const std::string nativeData = nativeHome + "/Data";
  ASSERT_FALSE(CaptureLeftovers(nativeData).empty()) << "the slow pages were being spooled";
  {
    Collection c = Load();
    const Item* slow = c.Find(pages.back().first);
    ASSERT_NE(slow, nullptr) << "saved at the addition";
    EXPECT_EQ(slow->title, "*");
  }

  ZentuProcess next({"--headless", "--once"}, Env());
  ASSERT_EQ(next.Wait(), 0) << next.Output();
  EXPECT_GE(next.FindLine("> removed a file left by a run that ended without shutdown: "), 0) << next.Output();
  EXPECT_LT(next.FindLine("> removed a file left by a run that ended without shutdown: "), next.FindLine("# Ready"));
  Collection c = Load();
  EXPECT_EQ(c.items.size(), 3u + pages.size());
  for (const auto& [url, title] : pages) {
    SCOPED_TRACE(url);
    const Item* item = c.Find(url);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(c.urlCount[url], 1);
    EXPECT_EQ(item->title, title);
    EXPECT_EQ(item->downloadFlag, kDownloadDone);
    EXPECT_TRUE(std::filesystem::exists(SavedCopy(*item))) << item->localFile;
  }
  const std::vector<std::string> left = CaptureLeftovers(nativeData);
  EXPECT_TRUE(left.empty()) << left.front();
  for (const JobRecord& r : ParseJobRecords(ReadNative("Timer/timer.dat")))
    EXPECT_EQ(r.job.Status, kJobComplete) << r.job.URL;
}

// Kills at random moments while captures run and the collection is saved
// every few milliseconds: whatever moment the kill hits, the next start
// finishes every capture whose item the tree file holds.
TEST_F(FrameTest, StressKillDuringCapturesNeverLeavesAnItemUnfinished) {
  WriteProfile("BackupInterval=1\n");
  TestServer server({.delayMs = 5});
  server.Add({.path = "/k/*", .handler = [](const TestRequest& request, TestResponse& response) {
                response.headers = {{"Content-Type", "text/html"}};
                response.body = TitledPage("K" + request.Path().substr(3), "<img src=\"/r/img.png\">");
              }});
  server.Add({.path = "/r/img.png", .headers = {{"Content-Type", "image/png"}}, .body = "\x89PNG\r\n\x1a\n"});
  std::mt19937 random(20070213);
  int next = 0;
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ZentuProcess z({"--headless"}, Env({{"ZENTU_SAVE_INTERVAL_MS", "15"}}));
    ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
    std::string text = "<!--NoCache-->\n";
    for (int i = 0; i < 4; ++i) text += server.Url("/k/" + std::to_string(next++)) + "\n";
    ASSERT_TRUE(Send(kNoCache, text));
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 120));
    z.Signal(SIGKILL);
    ASSERT_EQ(z.Wait(), 128 + SIGKILL);
  }
  ZentuProcess last({"--headless", "--once"}, Env());
  ASSERT_EQ(last.Wait(), 0) << last.Output();
  Collection c = Load();
  int pages = 0;
  for (const Item& item : c.items) {
    if (item.url.find("/k/") == std::string::npos) continue;
    SCOPED_TRACE(item.url);
    ++pages;
    EXPECT_EQ(c.urlCount[item.url], 1);
    EXPECT_EQ(item.title, "K" + item.url.substr(item.url.find("/k/") + 3));
    EXPECT_EQ(item.downloadFlag, kDownloadDone);
    EXPECT_TRUE(std::filesystem::exists(SavedCopy(item))) << item.localFile;
  }
  EXPECT_GT(pages, 0) << "no item ever reached the tree file";
  const std::vector<std::string> left = CaptureLeftovers(nativeHome + "/Data");
  EXPECT_TRUE(left.empty()) << left.front();
}

// A raw connection to the running instance's socket.
int RawConnect(const std::string& nativeSocket) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, nativeSocket.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{15, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

std::string Header(uint32_t code, uint32_t count) {
  std::string h(8, '\0');
  for (int i = 0; i < 4; ++i) {
    h[i] = static_cast<char>(code >> (8 * i));
    h[4 + i] = static_cast<char>(count >> (8 * i));
  }
  return h;
}

TEST_F(FrameTest, ConcurrentStressOnTheChannelKeepsServingAndRunsEachCommandOnce) {
  TestServer server;
  server.Add({.path = "/n/*", .handler = [](const TestRequest& request, TestResponse& response) {
                response.headers = {{"Content-Type", "text/html"}};
                response.body = TitledPage("N" + request.Path().substr(3));
              }});
  ZentuProcess z({"--headless"}, Env());
  ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
  const std::string socket = nativeHome + "/zentu.sock";

  // Clients that connect and then say nothing, or stop in the middle of a header.
  int silent = RawConnect(socket);
  int stalled = RawConnect(socket);
  ASSERT_GE(silent, 0);
  ASSERT_GE(stalled, 0);
  ASSERT_EQ(::send(stalled, "\x74\x17\x00", 3, MSG_NOSIGNAL), 3);

  std::mt19937 random(7);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const std::string garbage[] = {
      Header(1234, 5) + "hello",                  // unknown code
      Header(kOther, 0),                          // empty frame
      Header(kOther, 64u * 1024 * 1024),          // beyond the limit
      Header(kOther, 100) + "only a part",        // cut short
      std::string("\x74\x17"),                    // half a header
      noise,
      Header(kOther, 12) + std::string("\0\0\0\0\0\0\0\0\0\0\0\0", 12),  // nothing but NULs
      Header(kOther, 21) + "no marker at all here",
  };
  for (const std::string& bytes : garbage) {
    int fd = RawConnect(socket);
    ASSERT_GE(fd, 0);
    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char reply = 0;
    (void)::recv(fd, &reply, 1, 0);
    ::close(fd);
  }

  // A 10 MB text: one item, its title cut.
  std::string big = "<!--Zentu AddItemOnly-->\nURL=http://example.invalid/big\nTITLE=" + std::string(10u << 20, 'x');
  EXPECT_TRUE(Send(kOther, big, 60000));

  // 100 senders at once, and a few second starts among them.
  constexpr int kSenders = 100;
  std::atomic<int> accepted{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < kSenders; ++i) {
    senders.emplace_back([&, i] {
      bool ok = i % 5 == 0 ? Send(kNoCache, "<!--NoCache-->\r\n" + server.Url("/n/" + std::to_string(i)) + "\r\n")
                           : Send(kOther, "<!--Zentu AddItemOnly-->\nURL=http://example.invalid/c" +
                                              std::to_string(i) + "\nTITLE=c" + std::to_string(i));
      if (ok) ++accepted;
    });
  }
  std::vector<std::unique_ptr<ZentuProcess>> starts;
  for (int i = 0; i < 6; ++i)
    starts.push_back(std::make_unique<ZentuProcess>(
        std::vector<std::string>{"-i", "http://example.invalid/p" + std::to_string(i)}, Env()));
  for (std::thread& t : senders) t.join();
  EXPECT_EQ(accepted.load(), kSenders);
  for (auto& p : starts) EXPECT_EQ(p->Wait(), 0) << p->Output();
  EXPECT_TRUE(Send(kOther, "<!--Zentu AddItemOnly-->\nURL=http://example.invalid/after"));

  z.Signal(SIGTERM);
  ASSERT_EQ(z.Wait(), 0) << z.Output();
  ::close(silent);
  ::close(stalled);

  Collection c = Load();
  for (int i = 0; i < kSenders; ++i) {
    const std::string url =
        i % 5 == 0 ? server.Url("/n/" + std::to_string(i)) : "http://example.invalid/c" + std::to_string(i);
    EXPECT_EQ(c.urlCount[url], 1) << url;
    if (i % 5 == 0) {
      EXPECT_LE(server.RequestCount("/n/" + std::to_string(i)), 2u) << "captured more than once: " << url;
    }
  }
  for (int i = 0; i < 6; ++i) EXPECT_EQ(c.urlCount["http://example.invalid/p" + std::to_string(i)], 1);
  EXPECT_EQ(c.urlCount["http://example.invalid/after"], 1);
  ASSERT_EQ(c.urlCount["http://example.invalid/big"], 1);
  EXPECT_EQ(c.Find("http://example.invalid/big")->title.size(), 511u);
  EXPECT_NE(z.FindLine("not exist <!--Zentu AddText-->"), -1) << "the text without a marker";
  int refused = 0, dropped = 0;
  for (const std::string& line : z.Lines()) {
    if (line.find("command channel: frame") != std::string::npos && line.find("refused") != std::string::npos)
      ++refused;
    if (line.find("command channel: incomplete frame dropped") != std::string::npos) ++dropped;
  }
  EXPECT_GE(refused, 4);  // unknown codes, an empty frame, one beyond the limit
  EXPECT_GE(dropped, 2);  // the frames cut short
}

// Connections that hold every slot of the channel and say nothing (or stop in
// the middle of a header) must not keep a real second start out.
TEST_F(FrameTest, HostileSilentClientsDoNotKeepASecondStartOut) {
  ZentuProcess z({"--headless"}, Env());
  ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
  const std::string socket = nativeHome + "/zentu.sock";
  // More than the instance serves at once: the rest wait in the listen queue
  // ahead of the second start.
  std::vector<int> silent;
  for (int i = 0; i < 40; ++i) {
    int fd = RawConnect(socket);
    ASSERT_GE(fd, 0);
    if (i % 4 == 0) {
      ASSERT_EQ(::send(fd, "\x74\x17\x00", 3, MSG_NOSIGNAL), 3);
    }
    silent.push_back(fd);
  }
  ZentuProcess add({"-i", "http://example.invalid/past-the-silent"}, Env());
  EXPECT_EQ(add.Wait(), 0) << add.Output();
  EXPECT_NE(z.FindLine("closed to make room"), -1) << z.Output();

  z.Signal(SIGTERM);
  ASSERT_EQ(z.Wait(), 0) << z.Output();
  for (int fd : silent) ::close(fd);
  EXPECT_EQ(Load().urlCount["http://example.invalid/past-the-silent"], 1);
}

// "Exit 1" from a second start means the command will not run, so a retry
// makes one item, not two: the instance drops a frame whose sender gave up
// before the answer, even when it reads it later.
TEST_F(FrameTest, SecondStartThatGaveUpIsNotCarriedOutAndARetryAddsOneItem) {
  const std::string url = "http://example.invalid/given-up";
  ZentuProcess z({"--headless"}, Env());
  ASSERT_TRUE(z.WaitForLine("# Ready")) << z.Output();
  // A stopped instance still lets the connection and the frame in, but
  // cannot answer before the second start gives up.
  z.Signal(SIGSTOP);
  {
    ZentuProcess late({"-i", url}, Env({{"ZENTU_FORWARD_WAIT_MS", "700"}}));
    EXPECT_EQ(late.Wait(), 1) << late.Output();
    EXPECT_NE(late.Output().find("nothing was done"), std::string::npos) << late.Output();
  }
  z.Signal(SIGCONT);
  ASSERT_TRUE(z.WaitForLine("the sender had given up before the answer")) << z.Output();
  ZentuProcess retry({"-i", url}, Env());
  EXPECT_EQ(retry.Wait(), 0) << retry.Output();

  z.Signal(SIGTERM);
  ASSERT_EQ(z.Wait(), 0) << z.Output();
  EXPECT_EQ(Load().urlCount[url], 1);
}

// A lock file that cannot be used is no running instance: the start says what
// is wrong and where, and forwards nothing.
TEST_F(FrameTest, HostileLockFileIsReportedInsteadOfForwarding) {
  // A symbolic link in the lock file's place; its target must stay untouched.
  const std::string target = nativeHome + "/elsewhere";
  std::filesystem::create_symlink(target, nativeHome + "/zentu.lock");
  {
    ZentuProcess z({"--headless", "-i", "http://example.invalid/lock"}, Env());
    EXPECT_EQ(z.Wait(), 1) << z.Output();
    EXPECT_NE(z.Output().find("cannot use the lock file " + nativeHome + "/zentu.lock"), std::string::npos)
        << z.Output();
    EXPECT_NE(z.Output().find("symbolic link"), std::string::npos) << z.Output();
    EXPECT_EQ(z.Output().find("runs already"), std::string::npos) << z.Output();
    EXPECT_EQ(z.FindLine("# Ready"), -1);
  }
  EXPECT_FALSE(std::filesystem::exists(target));

  // A home the program may not write: run as another user when this is root
  // (root writes anywhere), else take the write bit away.
  const std::string readOnly = nativeHome + "/readonly";
  std::filesystem::create_directory(readOnly);
  std::vector<std::string> launcher;
  if (::geteuid() == 0) {
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is needed to test as a plain user";
    launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    ::chmod(nativeHome.c_str(), 0711);
    ::chmod(readOnly.c_str(), 0755);
  } else {
    ::chmod(readOnly.c_str(), 0555);
  }
  {
    ZentuProcess z({"--headless", "-i", "http://example.invalid/lock"}, Env({{"ZENTU_HOME", readOnly}}), launcher);
    EXPECT_EQ(z.Wait(), 1) << z.Output();
    EXPECT_NE(z.Output().find("cannot use the lock file " + readOnly + "/zentu.lock: " + std::strerror(EACCES)),
              std::string::npos)
        << z.Output();
    EXPECT_EQ(z.Output().find("runs already"), std::string::npos) << z.Output();
  }
  ::chmod(readOnly.c_str(), 0755);
  ::chmod(nativeHome.c_str(), 0700);
}

// A port on which nothing listens (any more).
int ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    ::close(fd);
    return 0;
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST_F(FrameTest, OnceExitStatusSaysWhetherEverythingWasCapturedAndSaved) {
  TestServer server;
  server.AddPage("/good.html", TitledPage("Good"), "text/html");
  server.Add({.path = "/missing.html", .status = 404, .body = "not here"});
  const int closed = ClosedPort();
  ASSERT_GT(closed, 0);
  struct Row {
    const char* what;
    std::string url;
    bool treeUnwritable;
    int exitCode;
  } rows[] = {
      {"a good capture", server.Url("/good.html"), false, 0},
      {"a page that answers 404", server.Url("/missing.html"), false, 2},
      {"a refused connection", "http://127.0.0.1:" + std::to_string(closed) + "/refused.html", false, 2},
      {"a tree file that cannot be written", server.Url("/good.html?unsaved"), true, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // The tree file is written through a temporary file beside it: a
    // directory of that name makes every save fail.
    const std::string blocker = nativeHome + "/default.html.$$$";
    if (row.treeUnwritable) std::filesystem::create_directory(blocker);
    ZentuProcess z({"--headless", "--once", "-u", row.url}, Env());
    EXPECT_EQ(z.Wait(), row.exitCode) << z.Output();
    EXPECT_NE(z.FindLine("# Capture queue drained"), -1) << z.Output();
    std::filesystem::remove(blocker);
  }
}

}  // namespace
}  // namespace zentu::testing
