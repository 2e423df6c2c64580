// Capturing a whole local site through the pipeline: the files that land under
// the data directory, how the pages are rewritten, the tree item afterwards,
// re-capture and stopping half-way.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <sys/stat.h>

#include "capture/http.h"
#include "capture/pipeline.h"
#include "capture/rules.h"
#include "os/cp932.h"
#include "pagelib/codedetect.h"
#include "os/file.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/sample_site.h"
#include "ui/iconindex.h"

namespace zentu::testing {
namespace {

constexpr const char* kLastModified = "Mon, 12 Feb 2007 01:02:03 GMT";

// The sample site with a top page sent with Last-Modified, an EUC-JP frame that
// declares no charset and refreshes to a frameset only the server's header
// declares UTF-8, and images whose bodies name their path.
void ServeSite(TestServer& server, const std::string& topTitle = "トップ表示") {
  ServeSampleResources(server, SampleImages::Labelled);
  HeaderList html = {{"Content-Type", "text/html"}, {"Last-Modified", kLastModified}};
  auto page = [&](const std::string& path, const std::string& body, HeaderList headers) {
    server.Add({.path = path, .headers = std::move(headers), .body = body});
  };
  page("/index.html",
       os::Utf8ToSjis(
           "<html><head>\n"
           "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n"
           "<title>" + topTitle + "</title>\n"
           "<link rel=\"stylesheet\" href=\"css/main.css\">\n"
           "<script>var pic = \"img/script.gif\";</script>\n"
           "</head>\n<body background=\"img/bg.gif\">\n"
           "<img src=\"img/a.gif\"> <img src='/img/root.png'> <img src=\"http://127.0.0.1:{{port}}/img/abs.jpg\">\n"
           "<img src=\"img/missing.png\">\n"
           "<iframe src=\"frame/inner.html\"></iframe>\n"
           "<img src=\"redirect.gif\">\n"
           "<a href=\"sub/other.html\">表示ソース</a>\n"
           "</body></html>\n"),
       html);
  page("/frame/inner.html",
       FromUtf8("<html><head><meta http-equiv=\"refresh\" content=\"5; url=frameset.html\">"
                "<title>内側の能力</title></head><body><img src=\"../img/inner.gif\"></body></html>\n",
                "EUC-JP"),
       {{"Content-Type", "text/html"}});
  page("/frame/frameset.html",
       "<html><head><title>\xE6\x9E\xA0</title></head>\n"
       "<frameset cols=\"50%,50%\"><frame src=\"left.html\"><frame src=\"right.html\"></frameset></html>\n",
       {{"Content-Type", "text/html; charset=UTF-8"}});
}

class PipelineTest : public CaptureHome {
 protected:
  void SetUp() override {
    CaptureHome::SetUp();
    // The sample site names an image only in a script string.
    CurrentProfile().IgnoreJavaScript = false;
  }

  void Capture(const std::string& url, TreeNode* item) {
    GetDownloadManager().AddJob(url, "", false, item);
    ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
    ASSERT_TRUE(StopCaptureAndWait(std::chrono::seconds(30)));
  }

  // Every file under the data directory, relative, with "/" separators.
  std::set<std::string> DataFiles() {
    std::set<std::string> files;
    std::string root = nativeHome + "/Data";
    if (!std::filesystem::exists(root)) return files;
    for (auto& e : std::filesystem::recursive_directory_iterator(root))
      if (e.is_regular_file()) files.insert(std::filesystem::relative(e.path(), root).string());
    return files;
  }

  std::string Host(const TestServer& server) { return "127.0.0.1;" + std::to_string(server.Port()); }
};

TEST_F(PipelineTest, CapturesASiteWithEverythingItNeeds) {
  TestServer server;
  ServeSite(server);
  TreeNode* item = AddUrlItem(server.Url("/index.html"));
  Capture(server.Url("/index.html"), item);

  const std::string h = Host(server);
  std::set<std::string> expected;
  for (const char* f : {"index.html", "css/main.css", "css/imported.css", "css/deep.css", "css/deep.png",
                        "img/cssbg.png", "img/imp.gif", "img/script.gif", "img/bg.gif", "img/a.gif", "img/root.png",
                        "img/abs.jpg", "frame/inner.html", "frame/frameset.html", "frame/left.html",
                        "frame/right.html", "frame/utf.png", "img/inner.gif", "img/moved.gif", "redirect.gif"})
    expected.insert(h + "/" + f);
  EXPECT_EQ(DataFiles(), expected);

  // The top page, rewritten whole.
  std::string up = "../" + h + "/";
  std::string top = ReadNative("Data/" + h + "/index.html");
  std::string want = os::Utf8ToSjis(
      "<html><head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n"
      "<title>トップ表示</title>\n"
      "<link rel=\"stylesheet\" href=\"" + up + "css/main.css\">\n"
      "<script>var pic = \"" + up + "img/script.gif\";</script>\n"
      "</head>\n<body background=\"" + up + "img/bg.gif\">\n"
      "<img src=\"" + up + "img/a.gif\"> <img src='" + up + "img/root.png'> <img src=\"" + up + "img/abs.jpg\">\n"
      "<img src=\"" + up + "img/missing.png\">\n"
      "<iframe src=\"" + up + "frame/inner.html\"></iframe>\n"
      "<img src=\"" + up + "redirect.gif\">\n"
      "<a href=\"sub/other.html\">表示ソース</a>\n"
      "</body></html>\n");
  EXPECT_EQ(top, want);
  // Style sheets: @import chains and url() point at the local copies.
  std::string css = ReadNative("Data/" + h + "/css/main.css");
  EXPECT_EQ(css, "@import \"../../" + h + "/css/imported.css\";\nbody { background: url(../../" + h + "/img/cssbg.png); }\n");
  EXPECT_NE(ReadNative("Data/" + h + "/css/imported.css").find("url(\"../../" + h + "/css/deep.css\")"), std::string::npos);
  // The EUC-JP frame is stored as Shift_JIS, its meta refresh followed and rewritten.
  std::string inner = ReadNative("Data/" + h + "/frame/inner.html");
  EXPECT_NE(inner.find(os::Utf8ToSjis("内側の能力")), std::string::npos);
  EXPECT_NE(inner.find("url=../../" + h + "/frame/frameset.html"), std::string::npos);
  // The redirected image is where the page looks for it.
  EXPECT_EQ(ReadNative("Data/" + h + "/redirect.gif"), "\x89PNG-not-really:/img/moved.gif");
  // Nothing left in the temporary directory.
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/Data/Temp") &&
               !std::filesystem::is_empty(nativeHome + "/Data/Temp"));

  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(item->title, os::Utf8ToSjis("トップ表示"));
  EXPECT_EQ(item->localFile, Path("Data") + "\\" + h + "\\index.html");
  EXPECT_EQ(item->downloadFlag, kDownloadDone);
  EXPECT_EQ(ui::NodeIcon(item, true), ui::kIconDlUrl);
  EXPECT_EQ(item->size, top.size() == 0 ? 0u : item->size);
  EXPECT_GT(item->size, 0u);
  EXPECT_EQ(item->lastCheck.size(), 19u);
  EXPECT_FALSE(item->originalDate.empty());
  EXPECT_TRUE(item->unread);
  // The missing image is the one failed job.
  int failed = 0;
  for (const DownloadJob& j : GetDownloadManager().Snapshot())
    if (j.Status == kJobError) {
      ++failed;
      EXPECT_NE(j.URL.find("missing.png"), std::string::npos);
    }
  EXPECT_EQ(failed, 1);
}

TEST_F(PipelineTest, RecaptureMarksChangesAndSkipsUnchangedPages) {
  TestServer server;
  ServeSite(server);
  TreeNode* item = AddUrlItem(server.Url("/index.html"));
  Capture(server.Url("/index.html"), item);
  {
    std::lock_guard tree(TreeMutex());
    SetUnreadFlag(item, false);
  }
  // Unchanged: the HEAD check says so and no GET is sent for the page.
  server.ClearRequests();
  GetDownloadManager().Clear();
  Capture(server.Url("/index.html"), item);
  size_t gets = 0;
  for (const TestRequest& r : server.Requests())
    if (r.method == "GET" && r.Path() == "/index.html") ++gets;
  EXPECT_EQ(gets, 0u);
  {
    std::lock_guard tree(TreeMutex());
    EXPECT_FALSE(item->unread);
  }
  // Changed on the server: downloaded again, marked changed and unread.
  server.ClearRoutes();
  HeaderList html = {{"Content-Type", "text/html"}, {"Last-Modified", "Tue, 13 Feb 2007 01:02:03 GMT"}};
  server.Add({.path = "/index.html", .headers = html,
              .body = os::Utf8ToSjis("<html><head><title>新しい</title></head><body>new</body></html>")});
  GetDownloadManager().Clear();
  Capture(server.Url("/index.html"), item);
  std::lock_guard tree(TreeMutex());
  EXPECT_TRUE(item->unread);
  EXPECT_NE(ReadNative("Data/" + Host(server) + "/index.html").find("new"), std::string::npos);
}

TEST_F(PipelineTest, StoppingHalfWayKeepsTheQueueAndALaterCaptureFinishes) {
  TestServer server;
  ServeSite(server);
  server.SetDelay(150);
  TreeNode* item = AddUrlItem(server.Url("/index.html"));
  GetDownloadManager().AddJob(server.Url("/index.html"), "", false, item);
  ASSERT_TRUE(server.WaitForRequests(4, 20000));
  ASSERT_TRUE(StopCaptureAndWait(std::chrono::seconds(30)));
  // Consistent: every job is in a resting state, none is held.
  for (const DownloadJob& j : GetDownloadManager().Snapshot()) {
    EXPECT_EQ(j.claim, 0u) << j.URL;
    EXPECT_NE(j.Status, kJobHead) << j.URL;
    EXPECT_NE(j.Status, kJobDownloading) << j.URL;
    EXPECT_NE(j.Status, kJobAnalyzing) << j.URL;
  }
  // No half file under a final name: each stored file is whole.
  for (auto& e : std::filesystem::recursive_directory_iterator(nativeHome + "/Data")) {
    std::string name = e.path().filename().string();
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
  }
  server.SetDelay(0);
  StartWorkers();
  ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
  ASSERT_TRUE(StopCaptureAndWait(std::chrono::seconds(30)));
  EXPECT_EQ(DataFiles().size(), 20u) << ::testing::PrintToString(DataFiles());
  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(item->downloadFlag, kDownloadDone);
}

// A server that keeps a worker waiting does not keep the stop waiting: the
// transfer ends at once and the job is taken up again later. A page too big to
// analyse is kept as it came.
TEST_F(PipelineTest, HostileStopEndsAStalledTransferAndBigPagesStayUnanalysed) {
  CurrentProfile().TimeOut = 120000;
  TestServer server;
  server.Add(Route{.path = "/stall.html", .headers = {{"Content-Type", "text/html"}},
                   .body = std::string(5000, 's'), .fault = Fault::StallMidBody});
  TreeNode* item = AddUrlItem(server.Url("/stall.html"));
  GetDownloadManager().AddJob(server.Url("/stall.html"), "", false, item);
  ASSERT_TRUE(server.WaitForRequests(1, 20000));  // the GET that stalls (no HEAD without a copy)
  ASSERT_TRUE(StopCaptureAndWait(std::chrono::seconds(30))) << "the stop must not wait out the time-out of 120 s";
  DownloadJob job;
  ASSERT_TRUE(GetDownloadManager().FindJob(server.Url("/stall.html"), &job));
  EXPECT_EQ(job.Status, kJobWaiting);
  EXPECT_EQ(job.Trials, 0);

  const std::string big = "<html><body><img src=\"pic.gif\">" + std::string(4000, 'b') + "</body></html>";
  server.AddPage("/stall.html", big);
  server.Add(Route{.path = "/pic.gif", .headers = {{"Content-Type", "image/gif"}}, .body = "GIF89a"});
  SetAnalysisSizeLimit(1000);
  StartWorkers();
  ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
  ASSERT_TRUE(StopCaptureAndWait(std::chrono::seconds(30)));
  SetAnalysisSizeLimit(0);
  ASSERT_TRUE(GetDownloadManager().FindJob(server.Url("/stall.html"), &job));
  EXPECT_EQ(job.Message, "<too large to analyse>");
  std::string saved;
  ASSERT_TRUE(os::ReadWholeFile(job.LocalFile, saved));
  EXPECT_EQ(saved, big) << "kept byte for byte";
  EXPECT_EQ(server.RequestCount("/pic.gif"), 0u);
  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(item->downloadFlag, kDownloadDone);
}

// Four download threads against a server that keeps connections open use a
// few connections each, not one per file.
TEST_F(PipelineTest, ManyResourcesShareAFewKeptConnections) {
  CurrentProfile().MaxNumberOfDownloadThread = 4;
  CurrentProfile().MaxNumberOfCheckThread = 4;
  ASSERT_TRUE(os::AddTrustedCaFile(GetTestCa().caFile));
  for (bool https : {false, true}) {
    SCOPED_TRACE(https ? "https" : "http");
    CloseKeptConnections();
    std::filesystem::remove_all(nativeHome + "/Data");
    TestServer server({.https = https, .keepAlive = true});
    std::string page = "<html><body>\n";
    for (int i = 0; i < 240; ++i) page += "<img src=\"img/" + std::to_string(i) + ".gif\">\n";
    server.AddPage("/many.html", page + "</body></html>\n");
    server.Add(Route{.path = "/img/*", .headers = {{"Content-Type", "image/gif"}}, .body = "GIF89a"});
    Capture(server.Url("/many.html"), AddUrlItem(server.Url("/many.html")));
    EXPECT_EQ(DataFiles().size(), 241u);
    EXPECT_EQ(server.RequestCount(), 241u) << "one GET each, no HEAD without a copy";
    EXPECT_LE(server.Connections(), 12u);
  }
  os::ResetTrustedCaFiles();
}

// A short UTF-8 page of kanji alone looks like Shift_JIS to the detector: the
// charset the server declares decides.
TEST_F(PipelineTest, DeclaredCharsetWinsOverTheGuess) {
  TestServer server;
  server.Add({.path = "/k.html", .headers = {{"Content-Type", "text/html; charset=UTF-8"}},
              .body = "<html><head><title>\xE6\x9E\xA0</title></head><body>\xE6\x9E\xA0</body></html>"});
  server.Add({.path = "/m.html", .headers = {{"Content-Type", "text/html"}},
              .body = "<html><head><meta charset=\"euc-jp\"><title>\xCF\xC8</title></head></html>"});
  TreeNode* k = AddUrlItem(server.Url("/k.html"));
  TreeNode* m = AddUrlItem(server.Url("/m.html"));
  GetDownloadManager().AddJob(server.Url("/k.html"), "", false, k);
  Capture(server.Url("/m.html"), m);
  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(k->title, os::Utf8ToSjis("\xE6\x9E\xA0"));  // 枠
  EXPECT_EQ(m->title, os::Utf8ToSjis("\xE6\x9E\xA0"));  // 枠 in EUC-JP is CF C8
}

// A generated documentation site: style sheets, scripts and images named with
// a query are saved under names that end in their kind's extension and linked
// by those names; what code page 932 lacks stays as references.
TEST_F(PipelineTest, QueryNamedResourcesAreSavedAsWhatTheyAre) {
  TestServer server;
  server.Add({.path = "/doc/index.html",
              .headers = {{"Content-Type", "text/html; charset=utf-8"}},
              .body = "<html><head><title>Built-in Types &#8211; Python\n3.11</title>\n"
                      "<link rel=\"stylesheet\" href=\"_static/pydoctheme.css?2022.1\">\n"
                      "<script src=\"_static/doc.js?v=2\"></script></head>\n"
                      "<body>Stra\xC3\x9F" "e \xC2\xA9 \xE3\x81\x82<img src=\"logo.png?w=1\"></body></html>\n"});
  server.Add({.path = "/doc/_static/pydoctheme.css", .headers = {{"Content-Type", "text/css"}},
              .body = "@import url(\"basic.css?v=1\");\nbody { background: url(bg.gif?x); }\n"});
  server.Add({.path = "/doc/_static/basic.css", .headers = {{"Content-Type", "text/css"}}, .body = "p {}\n"});
  server.Add({.path = "/doc/_static/bg.gif", .headers = {{"Content-Type", "image/gif"}}, .body = "GIF89a"});
  server.Add({.path = "/doc/_static/doc.js", .headers = {{"Content-Type", "text/javascript"}}, .body = "var a;\n"});
  server.Add({.path = "/doc/logo.png", .headers = {{"Content-Type", "image/png"}}, .body = "\x89PNG"});
  TreeNode* item = AddUrlItem(server.Url("/doc/index.html"));
  Capture(server.Url("/doc/index.html"), item);

  const std::string h = Host(server);
  std::set<std::string> expected;
  for (const char* f : {"index.html", "_static/pydoctheme.css72022.1.css", "_static/basic.css7v=1.css",
                        "_static/bg.gif7x.gif", "_static/doc.js7v=2.js", "logo.png7w=1.png"})
    expected.insert(h + "/doc/" + f);
  EXPECT_EQ(DataFiles(), expected);
  const std::string up = "../../" + h + "/doc/";
  const std::string page = ReadNative("Data/" + h + "/doc/index.html");
  EXPECT_NE(page.find("href=\"" + up + "_static/pydoctheme.css72022.1.css\""), std::string::npos) << page;
  EXPECT_NE(page.find("src=\"" + up + "_static/doc.js7v=2.js\""), std::string::npos) << page;
  EXPECT_NE(page.find("src=\"" + up + "logo.png7w=1.png\""), std::string::npos) << page;
  EXPECT_NE(page.find("Stra&#223;e &#169; " + SJ("あ")), std::string::npos) << page;
  const std::string css = ReadNative("Data/" + h + "/doc/_static/pydoctheme.css72022.1.css");
  EXPECT_EQ(css, "@import url(\"../../../" + h + "/doc/_static/basic.css7v=1.css\");\n"
                 "body { background: url(../../../" + h + "/doc/_static/bg.gif7x.gif); }\n");

  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(item->title, "Built-in Types &#8211; Python 3.11");
}

// Pages kept in their own code (ForceConvToSJIS=0): the title is converted once.
TEST_F(PipelineTest, TitlesOfPagesKeptInTheirOwnCodeAreConvertedOnce) {
  CurrentProfile().ForceConvToSJIS = false;
  TestServer server;
  const std::string title = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x9A\xE3\x83\xBC\xE3\x82\xB8";
  server.Add({.path = "/u.html", .headers = {{"Content-Type", "text/html; charset=UTF-8"}},
              .body = "<html><head><title>" + title + " \xC3\x9F</title></head><body>x</body></html>"});
  server.Add({.path = "/e.html", .headers = {{"Content-Type", "text/html"}},
              .body = "<html><head><title>" + FromUtf8(title, "EUC-JP") + "</title></head><body>" +
                      FromUtf8("\xE3\x81\x82\xE3\x81\x84", "EUC-JP") + "</body></html>"});
  TreeNode* u = AddUrlItem(server.Url("/u.html"));
  TreeNode* e = AddUrlItem(server.Url("/e.html"));
  GetDownloadManager().AddJob(server.Url("/u.html"), "", false, u);
  Capture(server.Url("/e.html"), e);
  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(u->title, os::Utf8ToSjis(title) + " &#223;");
  EXPECT_EQ(e->title, os::Utf8ToSjis(title));
}

// A page that converts to nothing (only the escapes of its declared code) is
// kept as it came instead of failing as an empty page.
// A page the rewrite leaves as it is (nothing to rewrite) is the copy as it
// came: the analysis leaves the saved file alone, where a page with a link
// is written again.
TEST_F(PipelineTest, PageTheRewriteLeavesAloneIsNotWrittenAgain) {
  TestServer server;
  server.Add({.path = "/img/*", .headers = {{"Content-Type", "image/png"}}, .body = "png"});
  const std::string local =
      "<html><head><title>t</title></head><body><p>text</p></body></html>\n";
  const std::string online =
      "<html><body><img src=\"" + server.Url("/img/y.png") + "\"></body></html>\n";
  struct Row {
    const char* path;
    std::string body;
    bool rewritten;
  };
  for (const Row& row : {Row{"/p/a.html", local, false}, Row{"/p/b.html", online, true}}) {
    SCOPED_TRACE(row.path);
    DownloadJob job;
    job.URL = server.Url(row.path);
    ASSERT_TRUE(InitJob(job));
    ASSERT_TRUE(os::CreateDirectories(job.DirName));
    ASSERT_TRUE(os::WriteFileAtomic(job.LocalFile, row.body));
    const std::string native = os::ToNativePath(job.LocalFile).value_or("");
    // An old write time that only a write of the file can change (the
    // rewrite goes into the saved file itself, so its inode stays).
    constexpr std::time_t kOld = 1000000000;
    ASSERT_TRUE(os::SetFileTime(job.LocalFile, kOld));
    struct stat after{};
    EXPECT_EQ(AnalyzeFile(job), 1);
    ASSERT_EQ(::stat(native.c_str(), &after), 0);
    std::string saved;
    ASSERT_TRUE(os::ReadWholeFile(job.LocalFile, saved));
    EXPECT_EQ(saved != row.body, row.rewritten);
    EXPECT_EQ(after.st_mtime != kOld, row.rewritten);
  }
  EXPECT_EQ(ReadNative("Data/" + Host(server) + "/p/b.html"),
            "<html><body><img src=\"../../" + Host(server) + "/img/y.png\"></body></html>\n");
  ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
  ASSERT_TRUE(StopCaptureAndWait(std::chrono::seconds(30)));
}

TEST_F(PipelineTest, ConversionToNothingKeepsThePlainCopy) {
  CurrentProfile().ForceConvToSJIS = true;
  const std::string body = "\x1B$B\x1B(B";
  TestServer server;
  server.Add({.path = "/e.html", .headers = {{"Content-Type", "text/html; charset=iso-2022-jp"}}, .body = body});
  ASSERT_EQ(ConvertToSjis(body, kCodeJis), "");
  TreeNode* item = AddUrlItem(server.Url("/e.html"));
  Capture(server.Url("/e.html"), item);
  EXPECT_EQ(ReadNative("Data/" + Host(server) + "/e.html"), body);
  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(item->downloadFlag, kDownloadDone);
}

// A locked URL's saved copy stays as it is, whichever way its job comes:
// with or without the HEAD check, or restored from the job file as waiting.
TEST_F(PipelineTest, LockedPageIsNeverFetchedOverItsCopy) {
  TestServer server;
  server.Add({.path = "/locked.html", .headers = {{"Content-Type", "text/html"}}, .body = "<html>v1</html>"});
  const std::string url = server.Url("/locked.html");
  TreeNode* item = AddUrlItem(url);
  Capture(url, item);
  const std::string copy = "Data/" + Host(server) + "/locked.html";
  ASSERT_EQ(ReadNative(copy), "<html>v1</html>");
  server.ClearRoutes();
  server.Add({.path = "/locked.html", .headers = {{"Content-Type", "text/html"}}, .body = "<html>v2</html>"});
  SetPipelineHook(&PipelineHooks::isUrlLocked, [url](std::string_view u) { return u == url; });
  enum class Way { Head, NoHead, Restored };
  for (Way way : {Way::Head, Way::NoHead, Way::Restored}) {
    SCOPED_TRACE(static_cast<int>(way));
    GetDownloadManager().Clear();
    server.ClearRequests();
    {
      std::lock_guard tree(TreeMutex());
      SetDownloadFlag(item, kDownloadChanged);
    }
    CurrentProfile().PrecheckByHeadRequest = way == Way::Head;
    if (way == Way::Restored) {
      DownloadJob job;
      job.URL = url;
      ASSERT_TRUE(MapJobLocation(job));
      job.Status = kJobWaiting;
      job.Node = item;
      GetDownloadManager().RestoreJobs({job});
      StartWorkers();
      ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
      ASSERT_TRUE(StopCaptureAndWait(std::chrono::seconds(30)));
    } else {
      Capture(url, item);
    }
    EXPECT_EQ(ReadNative(copy), "<html>v1</html>");
    EXPECT_TRUE(server.Requests().empty());
    DownloadJob job;
    ASSERT_TRUE(GetDownloadManager().FindJob(url, &job));
    EXPECT_EQ(job.Message, "Locked.");
    EXPECT_EQ(job.Status, kJobComplete);
    std::lock_guard tree(TreeMutex());
    EXPECT_EQ(item->downloadFlag, kDownloadDone);
  }
  ClearPipelineHooks();
}

// Without Last-Modified the page's WWWC text dates the item; a page the same
// analysis thread takes up afterwards that has none must not take it over.
TEST_F(PipelineTest, WwwcTextDatesOnlyItsOwnPage) {
  SetWorkerIdleLimit(std::chrono::seconds(60));  // one analysis thread for both pages
  TestServer server;
  const std::string wwwc = SJ("2007/02/12 更新");
  server.Add({.path = "/a.html", .headers = {{"Content-Type", "text/html"}},
              .body = "<html><head><meta name=\"WWWC\" content=\"" + wwwc + "\"><title>a</title></head></html>"});
  server.Add({.path = "/b.html", .headers = {{"Content-Type", "text/html"}},
              .body = "<html><head><title>b</title></head></html>"});
  TreeNode* a = AddUrlItem(server.Url("/a.html"));
  TreeNode* b = AddUrlItem(server.Url("/b.html"));
  {
    std::lock_guard tree(TreeMutex());
    SetOriginalDate(b, "old");
  }
  GetDownloadManager().AddJob(server.Url("/a.html"), "", false, a);
  ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(60)));
  Capture(server.Url("/b.html"), b);
  std::lock_guard tree(TreeMutex());
  EXPECT_EQ(a->originalDate, wwwc);
  EXPECT_EQ(b->originalDate, "");
  for (const DownloadJob& j : GetDownloadManager().Snapshot()) EXPECT_EQ(j.UpdateContents, "") << j.URL;
}

TEST_F(PipelineTest, LinkHandlingRules) {
  DownloadJob page;
  page.URL = "http://h.example/dir/page.html";
  ASSERT_TRUE(MapJobLocation(page));
  page.UpLinkRoot = "../../";
  GetDownloadManager().ClearHooks();  // queue only, no workers
  struct Row {
    const char* link;
    const char* result;
    bool queued;
  } rows[] = {
      {"\"img/a.gif\"", "../../h.example/dir/img/a.gif", true},
      {"'../up.css'", "../../h.example/up.css", true},
      {"/root.png", "../../h.example/root.png", true},
      {"//other.example/x.js", "../../other.example/x.js", true},
      {"http://h.example", "../../h.example/index.html", true},
      {"img\\win.gif", "../../h.example/dir/img/win.gif", true},
      {"a.html#sec", "../../h.example/dir/a.html#sec", true},
      {"./x/../y/./z.png", "../../h.example/dir/y/z.png", true},
      {"mailto:a@b", "mailto:a@b", false},
      {"file:///c/x.html", "file:///c/x.html", false},
      {"http://bad host/x.gif", "http://bad host/x.gif", false},
      {"q.cgi?a=1/2", "../../h.example/dir/q.cgi7a=112.html", true},
  };
  for (const Row& r : rows) {
    size_t before = GetDownloadManager().Size();
    EXPECT_EQ(HandleLink(page, r.link, 0), r.result) << r.link;
    EXPECT_EQ(GetDownloadManager().Size() > before, r.queued) << r.link;
  }
  // A site download's hop beyond its limit stays online and is not queued.
  page.SiteDown = true;
  page.Limit = 0;
  page.Filter = "http://h.example/";
  size_t before = GetDownloadManager().Size();
  EXPECT_EQ(HandleLink(page, "next.html", 1), "http://h.example/dir/next.html");
  EXPECT_EQ(GetDownloadManager().Size(), before);
}

// A hostile server and a planted link: whatever the page, its redirects and
// the folders under the data directory say, nothing is written outside it.
TEST_F(PipelineTest, HostileRedirectsAndLinksNeverWriteOutsideTheDataFolder) {
  namespace fs = std::filesystem;
  const std::string victim = nativeHome + "-victim";
  fs::create_directories(victim);
  { std::ofstream(victim + "/target.txt") << "keep"; }
  std::string up;
  for (int i = 0; i < 16; ++i) up += "../";
  std::string backUp;
  for (int i = 0; i < 16; ++i) backUp += "..\\";
  std::string victimRel = victim.substr(1);  // below "/"
  std::string victimBack = victimRel;
  std::replace(victimBack.begin(), victimBack.end(), '/', '\\');

  TestServer server;
  server.AddPage("/index.html",
                 "<html><body><img src=\"r1.png\"><img src=\"r2.png\"><img src=\"r3.png\">"
                 "<img src=\"sub/x.gif\"><img src=\"lnk.gif\"></body></html>");
  server.Add({.path = "/r1.png", .status = 302, .headers = {{"Location", "/" + up + victimRel + "/r1.png"}}});
  server.Add({.path = "/r2.png", .status = 302, .headers = {{"Location", "\\" + backUp + victimBack + "\\r2.png"}}});
  server.Add({.path = "/r3.png", .status = 302,
              .headers = {{"Location", "http://127.0.0.1:{{port}}/a/" + up + victimRel + "/r3.png"}}});
  server.Add({.path = "*", .headers = {{"Content-Type", "image/png"}}, .body = "PNG data"});

  const std::string hostDir = nativeHome + "/Data/" + Host(server);
  fs::create_directories(hostDir);
  fs::create_directory_symlink(victim, hostDir + "/sub");
  fs::create_symlink(victim + "/target.txt", hostDir + "/lnk.gif");

  TreeNode* item = AddUrlItem(server.Url("/index.html"));
  Capture(server.Url("/index.html"), item);

  std::set<std::string> outside;
  for (auto& e : fs::recursive_directory_iterator(victim)) outside.insert(e.path().filename().string());
  EXPECT_EQ(outside, std::set<std::string>{"target.txt"});
  std::ifstream in(victim + "/target.txt");
  std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, "keep");
  // The redirect targets are kept in the host's folder; the file link was
  // replaced by the image, not followed.
  EXPECT_TRUE(fs::is_regular_file(hostDir + "/" + victimRel + "/r1.png"));
  EXPECT_TRUE(fs::is_regular_file(hostDir + "/" + victimRel + "/r2.png"));
  EXPECT_TRUE(fs::is_regular_file(hostDir + "/" + victimRel + "/r3.png"));
  EXPECT_FALSE(fs::is_symlink(hostDir + "/lnk.gif"));
  DownloadJob linked;
  ASSERT_TRUE(GetDownloadManager().FindJob(server.Url("/sub/x.gif"), &linked));
  EXPECT_EQ(linked.Status, kJobError);
  EXPECT_NE(linked.Message.find(os::Utf8ToSjis("シンボリックリンク")), std::string::npos) << linked.Message;
  fs::remove_all(victim);
}

// With no check threads allowed, jobs that need a HEAD wait in "untreated";
// the analysis thread ends and starts its successor round after round and
// never joins itself, and a second caller never exceeds the download count.
TEST_F(PipelineTest, ThreadStressWithoutCheckThreadsJobsWaitAndNothingJoinsItself) {
  CurrentProfile().MaxNumberOfCheckThread = 0;
  CurrentProfile().MaxNumberOfDownloadThread = 2;
  CurrentProfile().PrecheckByHeadRequest = true;
  SetWorkerIdleLimit(std::chrono::milliseconds(50));
  TestServer server;
  server.AddPage("/a.html", "<html><title>a</title></html>");
  TreeNode* item = AddUrlItem(server.Url("/a.html"));
  GetDownloadManager().AddJob(server.Url("/a.html"), "", false, item);
  std::vector<std::jthread> starters;
  for (int t = 0; t < 4; ++t)
    starters.emplace_back([] {
      for (int i = 0; i < 200; ++i) StartWorkers();
    });
  for (auto& t : starters) t.join();
  for (int i = 0; i < 20; ++i) {
    EXPECT_LE(GetDownloadManager().downloadCount.load(), 2);
    EXPECT_EQ(GetDownloadManager().checkCount.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  DownloadJob job;
  ASSERT_TRUE(GetDownloadManager().FindJob(server.Url("/a.html"), &job));
  EXPECT_EQ(job.Status, kJobUntreated);
  EXPECT_EQ(server.RequestCount(), 0u);
  EXPECT_TRUE(StopCaptureAndWait(std::chrono::seconds(30)));
}

// Scripts, comments and icons of a one-page capture, with IgnoreJavaScript at
// its default and then off: a script is saved byte for byte but for the links
// rewritten in its strings, a commented-out link to another host is never
// fetched, and the page's icons are saved beside it.
TEST_F(PipelineTest, ScriptsCommentsAndIconsOfAOnePageCapture) {
  TestServer server;
  TestServer other;  // stands for another host: it must never be asked
  other.AddPage("/gone.html", "<html>gone</html>");
  // UTF-8 text that a conversion would change, new URL() and url( in code,
  // a comment and a string.
  const std::string script =
      "// \xE6\x97\xA5\xE6\x9C\xAC\n"
      "var u = new URL(window.location); /* url(x.png) */ var s = 'url(y.png)';\n"
      "var pic = \"img/js.gif\";\n";
  auto page = [&](const std::string& js) {
    return "<html><head><title>t</title>\n"
           "<link rel=\"shortcut icon\" href=\"/favicon.ico\">\n"
           "<link rel=\"apple-touch-icon\" href=\"touch.png\">\n"
           "<script src=\"" + js + "\"></script>\n"
           "<script>var pic = \"img/inline.gif\";</script>\n"
           "</head><body>\n"
           "<!-- <a href=\"" + other.Url("/gone.html") + "\">old</a> -->\n"
           "<a href=\"javascript:void(0)\" onclick=\"show('img/big.gif')\">big</a>\n"
           "</body></html>\n";
  };
  server.AddPage("/one.html", page("one.js"));
  server.AddPage("/two.html", page("two.js"));
  server.AddPage("/one.js", script, "application/javascript");
  server.AddPage("/two.js", script, "application/javascript");
  for (const char* f : {"/favicon.ico", "/touch.png", "/img/js.gif", "/img/inline.gif", "/img/big.gif"})
    server.AddPage(f, std::string("\x89PNG-not-really:") + f, "image/png");
  const std::string h = Host(server);
  const std::string up = "../" + h + "/";

  CurrentProfile().IgnoreJavaScript = true;
  Capture(server.Url("/one.html"), AddUrlItem(server.Url("/one.html")));
  EXPECT_EQ(ReadNative("Data/" + h + "/one.js"), script);
  std::string one = ReadNative("Data/" + h + "/one.html");
  EXPECT_NE(one.find("<link rel=\"shortcut icon\" href=\"" + up + "favicon.ico\">"), std::string::npos) << one;
  EXPECT_NE(one.find("<link rel=\"apple-touch-icon\" href=\"" + up + "touch.png\">"), std::string::npos) << one;
  EXPECT_NE(one.find("<script>var pic = \"img/inline.gif\";</script>"), std::string::npos) << one;
  EXPECT_NE(one.find("<!-- <a href=\"" + other.Url("/gone.html") + "\">old</a> -->"), std::string::npos) << one;
  EXPECT_NE(one.find("onclick=\"show('img/big.gif')\""), std::string::npos) << one;
  EXPECT_EQ(ReadNative("Data/" + h + "/favicon.ico"), "\x89PNG-not-really:/favicon.ico");
  EXPECT_EQ(ReadNative("Data/" + h + "/touch.png"), "\x89PNG-not-really:/touch.png");
  for (const char* f : {"/img/js.gif", "/img/inline.gif", "/img/big.gif"}) EXPECT_EQ(server.RequestCount(f), 0u) << f;

  // With scripts scanned, only their resource strings change.
  CurrentProfile().IgnoreJavaScript = false;
  Capture(server.Url("/two.html"), AddUrlItem(server.Url("/two.html")));
  std::string want = script;
  want.replace(want.find("img/js.gif"), 10, up + "img/js.gif");
  EXPECT_EQ(ReadNative("Data/" + h + "/two.js"), want);
  std::string two = ReadNative("Data/" + h + "/two.html");
  EXPECT_NE(two.find("<!-- <a href=\"" + other.Url("/gone.html") + "\">old</a> -->"), std::string::npos) << two;
  EXPECT_NE(two.find("onclick=\"show('" + up + "img/big.gif')\""), std::string::npos) << two;
  EXPECT_GT(server.RequestCount("/img/js.gif"), 0u);
  EXPECT_EQ(other.RequestCount(), 0u);
}

}  // namespace
}  // namespace zentu::testing

namespace zentu {
namespace {

// Installing one module's hook must not drop another's.
TEST(HookTest, SettingOneHookKeepsTheOthers) {
  auto installed = [] {
    PipelineHooks copy;
    detail::EditPipelineHooks([&](PipelineHooks& h) { copy = h; });
    return std::vector<bool>{bool(copy.analyzeFeed), bool(copy.importOpml), bool(copy.isUrlLocked)};
  };
  ClearPipelineHooks();
  SetPipelineHook(&PipelineHooks::isUrlLocked, [](std::string_view) { return true; });
  SetPipelineHook(&PipelineHooks::analyzeFeed, [](DownloadJob&, std::string&) { return 7; });
  EXPECT_EQ(installed(), (std::vector<bool>{true, false, true}));
  SetPipelineHook(&PipelineHooks::importOpml, [](DownloadJob&, std::string&) { return 8; });
  SetPipelineHook(&PipelineHooks::analyzeFeed, {});  // an empty function removes only that one
  EXPECT_EQ(installed(), (std::vector<bool>{false, true, true}));
  ClearPipelineHooks();
  EXPECT_EQ(installed(), (std::vector<bool>{false, false, false}));

  // The queue's two hooks, set in either order, both stay. An initialisation
  // that refuses makes a text job fail before anything is written.
  DownloadManager manager;
  int starts = 0, inits = 0;
  manager.SetHook(&JobHooks::initJob, [&](DownloadJob&) {
    ++inits;
    return false;
  });
  manager.SetHook(&JobHooks::startWorkers, [&] { ++starts; });
  EXPECT_EQ(manager.AddBufferJob("http://example.com/t.html", "<p>t</p>", nullptr), -1);
  EXPECT_EQ(inits, 1);
  ASSERT_EQ(manager.AddJob("http://example.com/a.html", "", false, nullptr), 1);
  EXPECT_GE(starts, 1);
  const int startsBefore = starts;
  manager.SetHook(&JobHooks::initJob, [&](DownloadJob&) {
    inits += 10;
    return false;
  });
  EXPECT_EQ(manager.AddBufferJob("http://example.com/u.html", "<p>u</p>", nullptr), -1);
  EXPECT_EQ(inits, 11);
  ASSERT_EQ(manager.AddJob("http://example.com/b.html", "", false, nullptr), 1);
  EXPECT_GT(starts, startsBefore);  // replacing initJob kept startWorkers
  manager.SetHook(&JobHooks::startWorkers, {});
  EXPECT_EQ(manager.AddBufferJob("http://example.com/v.html", "<p>v</p>", nullptr), -1);
  EXPECT_EQ(inits, 21);  // and removing startWorkers kept initJob
  manager.ClearHooks();
}

}  // namespace
}  // namespace zentu
