// A captured site opened in a real browser with the network cut off: the saved
// page and its frames must find every file they use on disk.
//
// The site is captured through the whole pipeline from the test server, the
// server is stopped, and headless Chromium opens the saved top page as a
// file:// URL with every network request bound to fail. Its debugging
// protocol reports each request, so a link left pointing online, a file that
// was not saved or a rewritten path that leads nowhere shows as a request
// that is not a file, or as a failed one.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <vector>

#include "capture/http.h"
#include "capture/pipeline.h"
#include "capture/rules.h"
#include "os/cp932.h"
#include "pagelib/charref.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/e2e/browser.h"
#include "tests/e2e/browser_check.h"
#include "tests/e2e/json.h"
#include "tests/support/sample_site.h"

namespace zentu::testing {
namespace {

using namespace std::chrono_literals;

// The sample site with Shift_JIS, EUC-JP and UTF-8 pages (with two-byte
// characters whose second byte is "\"), an iframe and a frameset reached by a
// meta refresh, a script file and an image named only in a script string,
// relative, root-relative and absolute links, and real images.
void ServeSite(TestServer& server) {
  ServeSampleResources(server, SampleImages::Gif);
  HeaderList html = {{"Content-Type", "text/html"}};
  auto add = [&](const std::string& path, const std::string& body, const HeaderList& headers) {
    server.Add({.path = path, .headers = headers, .body = body});
  };
  add("/index.html",
      os::Utf8ToSjis("<html><head>\n"
                     "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n"
                     "<title>トップ表示</title>\n"
                     "<link rel=\"stylesheet\" href=\"css/main.css\">\n"
                     "<script src=\"/js/app.js\"></script>\n"
                     "</head>\n<body>\n"
                     "<table background=\"img/bg.gif\"><tr><td>表示ソース</td></tr></table>\n"
                     "<div class=\"x\">x</div><div class=\"y\">y</div>\n"
                     "<script>var pic = \"img/script.gif\";\n"
                     "document.write('<img id=\"scripted\" src=\"' + pic + '\">');</script>\n"
                     "<img src=\"img/a.gif\"> <img src='/img/root.png'> "
                     "<img src=\"http://127.0.0.1:{{port}}/img/abs.jpg\">\n"
                     "<img src=\"img/missing.png\">\n"
                     "<iframe src=\"frame/inner.html\"></iframe>\n"
                     "<iframe src=\"/frame/refresh.html\"></iframe>\n"
                     "<img src=\"redirect.gif\">\n"
                     "<a href=\"sub/other.html\">表示ソース</a>\n"
                     "</body></html>\n"),
      html);
  add("/js/app.js", "document.documentElement.setAttribute(\"data-app\", \"ran\");\n",
      {{"Content-Type", "application/javascript"}});
  add("/frame/inner.html",
      FromUtf8("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=EUC-JP\">"
               "<title>内側の能力</title></head><body><img src=\"../img/inner.gif\">能力</body></html>\n",
               "EUC-JP"),
      html);
  add("/frame/refresh.html",
      "<html><head><meta http-equiv=\"refresh\" content=\"1; url=frameset.html\"><title>wait</title></head>"
      "<body>moving</body></html>\n",
      html);
  add("/frame/frameset.html",
      "<html><head><meta "
      "charset=\"UTF-8\"><title>\xE6\x9E\xA0\xE3\x81\xAE\xE3\x83\x9A\xE3\x83\xBC\xE3\x82\xB8</title></head>\n"
      "<frameset cols=\"50%,50%\"><frame src=\"left.html\"><frame src=\"/frame/right.html\"></frameset></html>\n",
      {{"Content-Type", "text/html; charset=UTF-8"}});
}

// Files of the saved site (relative to the host's folder) that the browser
// must read to show the page, its frames and the frameset the refresh leads to.
const char* const kNeeded[] = {
    "index.html",    "css/main.css",       "css/imported.css",    "css/deep.css",    "css/deep.png",
    "img/cssbg.png", "img/imp.gif",        "js/app.js",           "img/script.gif",  "img/bg.gif",
    "img/a.gif",     "img/root.png",       "img/abs.jpg",         "redirect.gif",    "frame/inner.html",
    "img/inner.gif", "frame/refresh.html", "frame/frameset.html", "frame/left.html", "frame/right.html",
    "frame/utf.png",
};
constexpr char kMissing[] = "img/missing.png";

// The parameter is the number of check threads and of download threads.
class OfflineViewTest : public BrowserCheck, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    CaptureHome::SetUp();
    Profile& p = CurrentProfile();
    p.MaxNumberOfCheckThread = p.MaxNumberOfDownloadThread = GetParam();
    p.IgnoreJavaScript = false;  // the site names an image only in a script string
  }
};

void CollectFrames(const Json& tree, std::vector<const Json*>& frames) {
  frames.push_back(&tree["frame"]);
  for (const Json& child : tree["childFrames"].items) CollectFrames(child, frames);
}

TEST_P(OfflineViewTest, SavedSiteShowsWithEverythingFromDisk) {
  if (access(kChromiumPath, X_OK) != 0) GTEST_SKIP() << kChromiumPath << " is not installed (scripts/dev installs it)";

  std::string hostFolder;
  {
    TestServer server;
    ServeSite(server);
    hostFolder = "127.0.0.1;" + std::to_string(server.Port());
    TreeNode* item = AddUrlItem(server.Url("/index.html"));
    GetDownloadManager().AddJob(server.Url("/index.html"), "", false, item);
    ASSERT_TRUE(WaitUntilIdle(60s));
    ASSERT_TRUE(StopCaptureAndWait(30s));
  }  // the server is gone: nothing can come from it any more
  const std::string site = nativeHome + "/Data/" + hostFolder + "/";
  const std::string top = site + "index.html";
  ASSERT_TRUE(std::filesystem::exists(top));

  std::set<std::string> needed;
  for (const char* f : kNeeded) needed.insert(site + f);
  const std::string missing = site + kMissing;

  HeadlessBrowser browser;
  std::string session;
  ASSERT_NO_FATAL_FAILURE(OpenOffline(browser, top, session));
  Json result;

  RequestLog log;
  Watch(browser, log, needed);

  // Every request the page made went to a saved file under the data directory,
  // and only the image the site lacks failed.
  std::set<std::string> requested;
  std::vector<std::string> online, outside, failed;
  for (const std::string& key : log.order) {
    const RequestLog::Request& r = log.requests[key];
    if (r.url.rfind("file://", 0) != 0) {
      online.push_back((r.url.empty() ? std::string("<unannounced request>") : r.url) +
                       (r.failure.empty() ? "" : " (" + r.failure + ")"));
      continue;
    }
    std::string path = PathOfFileUrl(r.url);
    requested.insert(path);
    if (path.rfind(site, 0) != 0) outside.push_back(path);
    if (!r.failure.empty()) failed.push_back(path + " (" + r.failure + ")");
  }
  EXPECT_TRUE(online.empty()) << "requests that left the disk:\n  " << ::testing::PrintToString(online);
  EXPECT_TRUE(outside.empty()) << "files outside the saved site:\n  " << ::testing::PrintToString(outside);
  EXPECT_EQ(failed, std::vector<std::string>{missing + " (net::ERR_FILE_NOT_FOUND)"});
  std::vector<std::string> notRead;
  for (const std::string& f : needed)
    if (!requested.count(f)) notRead.push_back(f.substr(site.size()));
  EXPECT_TRUE(notRead.empty()) << "files the browser never asked for: " << ::testing::PrintToString(notRead);
  EXPECT_EQ(log.Pending(), 0u);

  // Each frame, read in a world of its own (file pages cannot see each other):
  // where it is, its title as the browser decoded it, and the images that did not show.
  ASSERT_TRUE(browser.Call("Page.getFrameTree", "{}", session, &result)) << browser.Error();
  std::vector<const Json*> frames;
  CollectFrames(result["frameTree"], frames);
  struct Shown {
    std::string title, app;
    std::vector<std::string> broken;
    bool scripted = false;
  };
  std::map<std::string, Shown> shown;  // by path relative to the site
  for (const Json* frame : frames) {
    std::string path = PathOfFileUrl((*frame)["url"].Str());
    ASSERT_EQ(path.rfind(site, 0), 0u) << "frame outside the saved site: " << (*frame)["url"].Str();
    Json world, value;
    ASSERT_TRUE(browser.Call("Page.createIsolatedWorld",
                             "{\"frameId\":" + JsonQuote((*frame)["id"].Str()) + ",\"worldName\":\"check\"}", session,
                             &world))
        << browser.Error();
    const std::string expression =
        "JSON.stringify({title: document.title,"
        " app: document.documentElement.getAttribute('data-app') || '',"
        " scripted: !!document.getElementById('scripted'),"
        " broken: Array.from(document.images).filter(i => !(i.complete && i.naturalWidth > 0))"
        ".map(i => i.getAttribute('src'))})";
    ASSERT_TRUE(browser.Call("Runtime.evaluate",
                             "{\"expression\":" + JsonQuote(expression) + ",\"contextId\":" +
                                 std::to_string(static_cast<long long>(world["executionContextId"].number)) +
                                 ",\"returnByValue\":true}",
                             session, &value))
        << browser.Error();
    Json report;
    ASSERT_TRUE(ParseJson(value["result"]["value"].Str(), report)) << value.Dump();
    Shown s{report["title"].Str(), report["app"].Str(), {}, report["scripted"].boolean};
    for (const Json& b : report["broken"].items) s.broken.push_back(b.Str());
    shown[path.substr(site.size())] = s;
  }
  std::set<std::string> framePaths;
  for (const auto& [path, s] : shown) framePaths.insert(path);
  EXPECT_EQ(framePaths, (std::set<std::string>{"index.html", "frame/inner.html", "frame/frameset.html",
                                               "frame/left.html", "frame/right.html"}));
  // Titles decoded right: each copy's bytes agree with the charset it declares.
  EXPECT_EQ(shown["index.html"].title, "トップ表示");
  EXPECT_EQ(shown["frame/inner.html"].title, "内側の能力");
  EXPECT_EQ(shown["frame/frameset.html"].title, "枠のページ");
  // The script file ran and the image the inline script wrote showed.
  EXPECT_EQ(shown["index.html"].app, "ran");
  EXPECT_TRUE(shown["index.html"].scripted);
  ASSERT_EQ(shown["index.html"].broken.size(), 1u) << ::testing::PrintToString(shown["index.html"].broken);
  EXPECT_NE(shown["index.html"].broken[0].find("missing.png"), std::string::npos);
  EXPECT_TRUE(shown["frame/inner.html"].broken.empty()) << ::testing::PrintToString(shown["frame/inner.html"].broken);
  EXPECT_TRUE(shown["frame/left.html"].broken.empty()) << ::testing::PrintToString(shown["frame/left.html"].broken);

  if (HasFailure()) ADD_FAILURE() << "browser output:\n" << browser.LogTail();
}

INSTANTIATE_TEST_SUITE_P(Workers, OfflineViewTest, ::testing::Values(1, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return "Threads" + std::to_string(info.param); });

// A page like those of a generated documentation site, in UTF-8: a style
// sheet named with a query that imports another and names images with url(),
// a script file and an inline script that build URLs with new URL(...) and
// hold "url(" in strings and comments, a page icon, characters code page 932
// lacks, a commented-out link to another host and a title over two lines.
constexpr char kDocPage[] =
    "<!DOCTYPE html>\n<html><head>\n<meta charset=\"utf-8\">\n"
    "<title>\n  \xE7\xB5\x84\xE3\x81\xBF\xE8\xBE\xBC\xE3\x81\xBF\xE5\x9E\x8B &#8212; Python\n"  // 組み込み型
    "  3.12 &trade; \xE3\x83\x89\xE3\x82\xAD\xE3\x83\xA5\xE3\x83\xA1\xE3\x83\xB3\xE3\x83\x88\n"   // ドキュメント
    "  </title>\n"
    "<link rel=\"stylesheet\" href=\"_static/theme.css?2022.1\" type=\"text/css\">\n"
    "<link rel=\"icon\" href=\"_static/favicon.gif?v=1\">\n"
    "<script src=\"_static/doc.js?v=3\"></script>\n"
    "</head><body>\n"
    "<!-- the old mirror, gone:\n"
    "<a href=\"http://127.0.0.1:{{other}}/mirror/index.html\">mirror</a>\n"
    "-->\n"
    "<p id=\"chars\">\xE2\x80\x94 \xC3\x9F \xC2\xA9 \xC2\xAB \xE2\x80\x93 \xE2\x84\xA2 "
    "\xE6\x97\xA5\xE6\x9C\xAC</p>\n"  // — ß © « – ™ 日本
    "<script>\n"
    "// url( in a script is no style sheet function: new URL(x) stays as it is.\n"
    "var page = new URL(location.href);\n"
    "var css = 'background: url(' + page.protocol + ')';\n"
    "document.documentElement.setAttribute('data-inline', css);\n"
    "</script>\n"
    "</body></html>\n";

constexpr char kDocScript[] =
    "/* Reads its own address; url(x) in a comment is no link. */\n"
    "(function () {\n"
    "  var here = new URL(window.location);\n"
    "  var rule = \"body { background: url(\" + here.pathname + \") }\";  // url( in a string\n"
    "  var base = new URL(\"..\", here);\n"
    "  document.documentElement.setAttribute(\"data-app\",\n"
    "      here.protocol + (rule.indexOf(\"url(\") > 0 ? \"ok\" : \"bad\") + (base.href ? \"\" : \"?\"));\n"
    "})();\n";

// The parameter is IgnoreJavaScript: the script file is the same byte for
// byte whether its links were looked for or not.
class OfflineDocPageTest : public BrowserCheck, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    CaptureHome::SetUp();
    CurrentProfile().IgnoreJavaScript = GetParam();
  }
};

TEST_P(OfflineDocPageTest, SavedDocumentationPageShowsAsServed) {
  if (access(kChromiumPath, X_OK) != 0) GTEST_SKIP() << kChromiumPath << " is not installed (scripts/dev installs it)";

  TestServer other;  // the commented-out link's host: it must hear nothing
  other.AddPage("/mirror/index.html", "<html><body>mirror</body></html>");
  std::string page = kDocPage;
  page.replace(page.find("{{other}}"), 9, std::to_string(other.Port()));

  std::string hostFolder, url;
  std::vector<TestRequest> requests;
  std::set<std::string> served;
  {
    TestServer server;
    auto add = [&](const std::string& path, const std::string& type, const std::string& body) {
      server.Add({.path = path, .headers = {{"Content-Type", type}}, .body = body});
      served.insert(path);
    };
    add("/doc/index.html", "text/html; charset=utf-8", page);
    add("/doc/_static/theme.css", "text/css",
        "@import url(\"basic.css?v=1\");\n"
        "body { color: rgb(1, 2, 3); background: url(bg.gif?x) repeat; }\n");
    add("/doc/_static/basic.css", "text/css",
        "#chars { border-left: 3px solid rgb(4, 5, 6); background-image: url('../img/dot.gif'); }\n");
    add("/doc/_static/bg.gif", "image/gif", SampleGif());
    add("/doc/img/dot.gif", "image/gif", SampleGif());
    add("/doc/_static/favicon.gif", "image/gif", SampleGif());
    add("/doc/_static/doc.js", "application/javascript", kDocScript);
    hostFolder = "127.0.0.1;" + std::to_string(server.Port());
    url = server.Url("/doc/index.html");
    TreeNode* item = AddUrlItem(url);
    GetDownloadManager().AddJob(url, "", false, item);
    ASSERT_TRUE(WaitUntilIdle(60s));
    ASSERT_TRUE(StopCaptureAndWait(30s));
    requests = server.Requests();
  }
  // Only files the site has were asked for (no path made of a script's words),
  // and the other host heard nothing.
  for (const TestRequest& r : requests) EXPECT_TRUE(served.count(r.Path())) << r.target;
  EXPECT_EQ(other.RequestCount(), 0u);

  // The title in the tree file: Shift_JIS, one line, references for what code page 932 lacks.
  TreeFileSettings settings;
  settings.treeFile = Path("tree.html");
  settings.dataDirectory = Path("Data");
  {
    std::lock_guard tree(TreeMutex());
    ASSERT_EQ(SaveTree(settings.treeFile, GetTreeState().root, settings), 1);
  }
  const std::string storedTitle = SJ("組み込み型 &#8212; Python 3.12 &#8482; ドキュメント");
  ItemLineFields fields;
  {
    std::ifstream in(nativeHome + "/tree.html", std::ios::binary);
    std::string line;
    bool found = false;
    while (std::getline(in, line))
      if (line.find(url) != std::string::npos && ParseItemLine(line, fields)) found = true;
    ASSERT_TRUE(found) << "no item line for " << url;
  }
  EXPECT_EQ(fields.title, storedTitle);

  const std::string site = nativeHome + "/Data/" + hostFolder + "/doc/";
  const std::string top = site + "index.html";
  std::ifstream topIn(top, std::ios::binary);
  const std::string savedPage{std::istreambuf_iterator<char>(topIn), {}};
  // The comment is as it was: its link neither fetched nor rewritten.
  EXPECT_NE(savedPage.find("<a href=\"http://127.0.0.1:" + std::to_string(other.Port()) + "/mirror/index.html\">"),
            std::string::npos)
      << savedPage;

  std::set<std::string> needed;
  for (const char* f : {"index.html", "_static/theme.css72022.1.css", "_static/basic.css7v=1.css",
                        "_static/bg.gif7x.gif", "img/dot.gif", "_static/doc.js7v=3.js"})
    needed.insert(site + f);

  HeadlessBrowser browser;
  std::string session;
  ASSERT_NO_FATAL_FAILURE(OpenOffline(browser, top, session));
  RequestLog log;
  Watch(browser, log, needed);

  std::vector<std::string> bad, notRead;
  std::set<std::string> requested;
  for (const std::string& key : log.order) {
    const RequestLog::Request& r = log.requests[key];
    const std::string path = PathOfFileUrl(r.url);
    requested.insert(path);
    if (path.rfind(nativeHome + "/Data/" + hostFolder + "/", 0) != 0 || !r.failure.empty())
      bad.push_back((r.url.empty() ? std::string("<unannounced request>") : r.url) + " " + r.failure);
  }
  EXPECT_TRUE(bad.empty()) << "requests that failed or left the saved site:\n  " << ::testing::PrintToString(bad);
  for (const std::string& f : needed)
    if (!requested.count(f)) notRead.push_back(f.substr(site.size()));
  EXPECT_TRUE(notRead.empty()) << "files the browser never asked for: " << ::testing::PrintToString(notRead);
  EXPECT_EQ(log.Pending(), 0u);
  EXPECT_TRUE(log.consoleErrors.empty()) << ::testing::PrintToString(log.consoleErrors);

  Json shown;
  ASSERT_NO_FATAL_FAILURE(EvaluateJson(
      browser, session,
      "JSON.stringify({title: document.title,"
      " chars: document.getElementById('chars').textContent,"
      " app: document.documentElement.getAttribute('data-app') || '',"
      " inline: document.documentElement.getAttribute('data-inline') || '',"
      " color: getComputedStyle(document.body).color,"
      " border: getComputedStyle(document.getElementById('chars')).borderLeftColor,"
      " scripts: Array.from(document.scripts).filter(s => s.src).map(s => s.src),"
      " icons: Array.from(document.querySelectorAll('link[rel~=icon]')).map(l => l.href)})",
      shown));
  const std::string browserTitle = "組み込み型 — Python 3.12 ™ ドキュメント";
  EXPECT_EQ(shown["title"].Str(), browserTitle);
  // The list shows the stored title as the page did.
  EXPECT_EQ(DecodeReferencesForDisplay(fields.title), browserTitle);
  EXPECT_EQ(shown["chars"].Str(), "— ß © « – ™ 日本");
  // Both scripts ran, the style sheet and the one it imports apply.
  EXPECT_EQ(shown["app"].Str(), "file:ok");
  EXPECT_EQ(shown["inline"].Str(), "background: url(file:)");
  EXPECT_EQ(shown["color"].Str(), "rgb(1, 2, 3)");
  EXPECT_EQ(shown["border"].Str(), "rgb(4, 5, 6)");

  // The script file is the served one, byte for byte.
  ASSERT_EQ(shown["scripts"].items.size(), 1u) << shown.Dump();
  const std::string scriptPath = PathOfFileUrl(shown["scripts"].items[0].Str());
  EXPECT_EQ(scriptPath, site + "_static/doc.js7v=3.js");
  std::ifstream scriptIn(scriptPath, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(scriptIn), {}), kDocScript);
  // The page icon is saved and linked.
  ASSERT_EQ(shown["icons"].items.size(), 1u) << shown.Dump();
  const std::string iconPath = PathOfFileUrl(shown["icons"].items[0].Str());
  EXPECT_EQ(iconPath.rfind(site, 0), 0u) << iconPath;
  std::ifstream iconIn(iconPath, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(iconIn), {}), SampleGif()) << iconPath;

  if (HasFailure()) ADD_FAILURE() << "saved page:\n" << savedPage << "\nbrowser output:\n" << browser.LogTail();
}

INSTANTIATE_TEST_SUITE_P(Scripts, OfflineDocPageTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "IgnoreJavaScript" : "ScriptsScanned";
                         });

}  // namespace
}  // namespace zentu::testing
