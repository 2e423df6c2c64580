// The cleaner on a real capture: fifty pages captured into the collection, a
// third of the items deleted, strays added. The cleaner must list exactly the
// files that the test's own model of the site says nothing reaches, move them
// to Dustbox, and every remaining item's saved copy must still open offline
// with no failed request.
#include <unistd.h>

#include <filesystem>
#include <set>

#include "capture/rules.h"
#include "cleaner/cleaner.h"
#include "os/path.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/e2e/browser_check.h"

namespace zentu::testing {
namespace {

constexpr int kPages = 50;

// Page n shows its own picture and the shared one; every fifth page also
// shows the next page's picture; pages link on to the next in runs of five.
std::string SitePage(int n) {
  std::string page = "<html><head><title>page " + std::to_string(n) + "</title>"
                     "<link rel=\"stylesheet\" href=\"css/site.css\"></head><body>"
                     "<img src=\"img/p" + std::to_string(n) + ".gif\"> <img src=\"/img/shared.gif\">";
  if (n % 5 == 0 && n + 1 < kPages) page += "<img src=\"img/p" + std::to_string(n + 1) + ".gif\">";
  if (n % 5 != 4 && n + 1 < kPages) page += "<a href=\"p" + std::to_string(n + 1) + ".html\">next</a>";
  return page + "</body></html>\n";
}

// The files below the host's folder that page n needs, and the page it links to.
std::set<std::string> PageNeeds(int n) {
  std::set<std::string> need{"p" + std::to_string(n) + ".html", "img/p" + std::to_string(n) + ".gif",
                             "img/shared.gif", "css/site.css", "img/bg.gif"};
  if (n % 5 == 0 && n + 1 < kPages) need.insert("img/p" + std::to_string(n + 1) + ".gif");
  return need;
}

class CleanerOfflineTest : public BrowserCheck {};

// The saved style sheet names its picture through the host folder
// ("../../127.0.0.1;PORT/img/bg.gif"): the ";" must not end the url().
TEST_F(CleanerOfflineTest, MovesExactlyTheOrphansAndLeavesEveryItemWhole) {
  if (access(kChromiumPath, X_OK) != 0) GTEST_SKIP() << kChromiumPath << " is not installed (scripts/dev installs it)";
  std::string hostFolder;
  std::vector<TreeNode*> items;
  {
    TestServer server;
    HeaderList html = {{"Content-Type", "text/html"}};
    for (int n = 0; n < kPages; ++n) {
      server.Add({.path = "/p" + std::to_string(n) + ".html", .headers = html, .body = SitePage(n)});
      server.Add({.path = "/img/p" + std::to_string(n) + ".gif", .headers = {{"Content-Type", "image/gif"}},
                  .body = SampleGif()});
    }
    server.Add({.path = "/img/shared.gif", .headers = {{"Content-Type", "image/gif"}}, .body = SampleGif()});
    server.Add({.path = "/img/bg.gif", .headers = {{"Content-Type", "image/gif"}}, .body = SampleGif()});
    server.Add({.path = "/css/site.css", .headers = {{"Content-Type", "text/css"}},
                .body = "body { background: url(../img/bg.gif) }\n"});
    hostFolder = "127.0.0.1;" + std::to_string(server.Port());
    for (int n = 0; n < kPages; ++n) {
      const std::string url = server.Url("/p" + std::to_string(n) + ".html");
      items.push_back(AddUrlItem(url));
      GetDownloadManager().AddJob(url, "", false, items.back());
    }
    ASSERT_TRUE(WaitUntilIdle(120s));
    ASSERT_TRUE(StopCaptureAndWait(30s));
  }
  const std::string site = nativeHome + "/Data/" + hostFolder + "/";
  for (int n = 0; n < kPages; ++n) ASSERT_TRUE(std::filesystem::exists(site + "p" + std::to_string(n) + ".html")) << n;

  // A third of the items go; strays come.
  std::set<int> kept;
  {
    std::lock_guard tree(TreeMutex());
    for (int n = 0; n < kPages; ++n) {
      if (n % 3 == 1) {
        DestroyNode(Unlink(items[static_cast<size_t>(n)]));
      } else {
        kept.insert(n);
      }
    }
  }
  WriteNative("Data/" + hostFolder + "/img/stray.gif", "GIF89a");
  WriteNative("Data/" + hostFolder + "/old/forgotten.html", "<html><img src=\"../img/p1.gif\"></html>");
  WriteNative("Data/elsewhere.example/index.html", "<html></html>");
  TreeFileSettings treeSettings;
  treeSettings.treeFile = home + "\\default.html";
  treeSettings.dataDirectory = home + "\\Data";
  ASSERT_EQ(SaveTree(treeSettings.treeFile, GetTreeState().root, treeSettings), 1);

  // The model's answer: what the kept items reach through their pages, the
  // next-page links included, against every file on disk.
  std::set<std::string> reached;
  std::vector<int> todo(kept.begin(), kept.end());
  std::set<int> seenPages(kept.begin(), kept.end());
  while (!todo.empty()) {
    int n = todo.back();
    todo.pop_back();
    for (const std::string& f : PageNeeds(n)) reached.insert(site + f);
    if (n % 5 != 4 && n + 1 < kPages && seenPages.insert(n + 1).second) todo.push_back(n + 1);
  }
  std::set<std::string> expected;
  for (const auto& e : std::filesystem::recursive_directory_iterator(nativeHome + "/Data"))
    if (e.is_regular_file() && !reached.count(e.path().string())) expected.insert(e.path().string());
  ASSERT_FALSE(expected.empty());

  cleaner::Settings settings = cleaner::ReadSettings(home);
  ReadExtensionListOnly(home + "\\config\\extension.dat");
  cleaner::Result result = cleaner::FindOrphans(settings, {});
  ASSERT_EQ(result.outcome, cleaner::Outcome::Done);
  std::set<std::string> listed;
  for (const cleaner::Orphan& f : result.orphans) listed.insert(*os::ToNativePath(f.path));
  EXPECT_EQ(listed, expected);

  for (const cleaner::Orphan& f : result.orphans)
    EXPECT_EQ(cleaner::MoveToDust(settings, cleaner::Mode::Data, f), cleaner::MoveStatus::Moved) << f.path;
  for (const std::string& f : expected) {
    EXPECT_FALSE(std::filesystem::exists(f)) << f;
    EXPECT_TRUE(std::filesystem::exists(nativeHome + "/Dustbox/" + f.substr(nativeHome.size() + 6))) << f;
  }
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/Data/elsewhere.example"));

  // Every kept item's saved copy shows offline with all it needs.
  HeadlessBrowser browser;
  std::string session;
  ASSERT_NO_FATAL_FAILURE(OpenOffline(browser, site + "p0.html", session));
  // Each page must read its files from disk itself, not from the copy the last page left.
  ASSERT_TRUE(browser.Call("Network.setCacheDisabled", R"({"cacheDisabled":true})", session, nullptr));
  for (int n : kept) {
    if (n != 0) {
      Json result;
      ASSERT_TRUE(browser.Call("Page.navigate", "{\"url\":" + JsonQuote(FileUrl(site + "p" + std::to_string(n) + ".html")) + "}",
                               session, &result))
          << browser.Error();
    }
    RequestLog log;
    std::set<std::string> needed;
    for (const std::string& f : PageNeeds(n)) needed.insert(site + f);
    Watch(browser, log, needed);
    std::set<std::string> requested;
    for (const std::string& key : log.order) {
      const RequestLog::Request& r = log.requests[key];
      EXPECT_EQ(r.url.rfind("file://", 0), 0u) << "page " << n << " went online: " << r.url;
      EXPECT_TRUE(r.failure.empty()) << "page " << n << ": " << r.url << " (" << r.failure << ")";
      requested.insert(PathOfFileUrl(r.url));
    }
    for (const std::string& f : needed) EXPECT_TRUE(requested.count(f)) << "page " << n << " never loaded " << f;
  }
}

}  // namespace
}  // namespace zentu::testing
