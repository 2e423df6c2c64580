// The HTTP client against the in-process test server: fetching and storing,
// request texts, redirects, the HEAD precheck, failures and retries, proxies, TLS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <zlib.h>

#include "capture/fetch.h"
#include "os/clock.h"
#include "capture/http_internal.h"
#include "tests/capture/http_fixture.h"
#include "ui/iconindex.h"

namespace zentu::testing {
namespace {

int ListenLoopback(int backlog, int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::listen(fd, backlog), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  port = ntohs(addr.sin_port);
  return fd;
}

// A port whose accept queue is full and never served: new connects get no
// answer at all, like an address that drops every packet.
class BlackHole {
 public:
  BlackHole() {
    listen_ = ListenLoopback(0, port_);
    for (int i = 0; i < 3; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<uint16_t>(port_));
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      fillers_.push_back(fd);
    }
    ::usleep(50000);  // let the handshakes fill the queue
  }
  ~BlackHole() {
    for (int fd : fillers_) ::close(fd);
    ::close(listen_);
  }
  int Port() const { return port_; }

 private:
  int listen_ = -1, port_ = 0;
  std::vector<int> fillers_;
};

// Answers one connection with fixed bytes, whatever it is sent, then closes.
class RawReply {
 public:
  explicit RawReply(std::string reply) : reply_(std::move(reply)) {
    listen_ = ListenLoopback(4, port_);
    thread_ = std::thread([this] {
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      char buffer[4096];
      ::recv(fd, buffer, sizeof buffer, 0);
      ::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::shutdown(fd, SHUT_RDWR);
      ::close(fd);
    });
  }
  ~RawReply() {
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  int Port() const { return port_; }

 private:
  std::string reply_;
  int listen_ = -1, port_ = 0;
  std::thread thread_;
};

TEST_F(HttpTest, GetStoresTheBodyForEveryFraming) {
  TestServer server;
  std::string big;
  for (int i = 0; big.size() < 300000; ++i) big += "line " + std::to_string(i) + "\n";
  const struct {
    Framing framing;
    std::string body;
    const char* type;
    int status;  // expected job status
  } rows[] = {
      {Framing::Length, "<html><title>a</title></html>", "text/html", kJobDownloaded},
      {Framing::Close, "<html>no length</html>", "text/html; charset=Shift_JIS", kJobDownloaded},
      {Framing::Chunked, big, "text/plain", kJobDownloaded},
      {Framing::Length, "", "text/html", kJobDownloaded},
      {Framing::Chunked, "", "text/html", kJobDownloaded},
      {Framing::Length, std::string("\x89PNG\r\n\x1a\n\0\0", 10), "image/png", kJobComplete},
      {Framing::Close, big, "application/zip", kJobComplete},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(n);
    const std::string path = "/p" + std::to_string(n++) + ".html";
    server.Add(Route{.path = path, .headers = {{"Content-Type", row.type}}, .body = row.body, .framing = row.framing});
    DownloadJob job = MakeJob(server.Url(path));
    job.Status = kJobWaiting;
    EXPECT_EQ(GetProcedure(job, manager), kHttpOk) << job.Message;
    EXPECT_EQ(job.Status, row.status);
    EXPECT_EQ(job.Connection, 200);
    EXPECT_EQ(Read(job.LocalFile), row.body);
    EXPECT_EQ(job.Size, row.body.size());
    EXPECT_FALSE(os::PathExists(job.LocalFile + ".part"));
    EXPECT_TRUE(TempFiles().empty());
  }
}

TEST_F(HttpTest, TextTypesAndBinaryExtensions) {
  TestServer server;
  const struct {
    const char* path;
    const char* type;
    std::string body;
    int status;
    const char* message;
  } rows[] = {
      {"/a.html", "text/html", "<p>", kJobDownloaded, ""},
      {"/feed.rdf", "application/rdf+xml", "<rdf/>", kJobDownloaded, ""},
      {"/a.js", "application/javascript", "x=1", kJobDownloaded, ""},
      {"/pic.gif", "text/html", "GIF89a", kJobComplete, "<binary>"},  // "<binary!>" then "<binary>"
      {"/movie.swf", "application/x-shockwave-flash", "FWS", kJobComplete, "<swf>"},
      {"/doc.pdf", "application/octet-stream", "%PDF", kJobComplete, "<binary>"},  // extension.dat
      {"/sneaky.html", "text/html", std::string("\x89PNG\r\n\x1a\nxx", 10), kJobComplete, "<binary>"},
  };
  LoadExtensionList(Path("extension.dat"));  // writes and reads the default lists
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    server.Add(Route{.path = row.path, .headers = {{"Content-Type", row.type}}, .body = row.body});
    DownloadJob job = MakeJob(server.Url(row.path));
    job.Status = kJobWaiting;
    ASSERT_EQ(GetProcedure(job, manager), kHttpOk) << job.Message;
    EXPECT_EQ(job.Status, row.status);
    EXPECT_EQ(job.Message, row.message);
    EXPECT_EQ(Read(job.LocalFile), row.body);
  }
}

TEST_F(HttpTest, ExactRequestTextDirectAndThroughProxy) {
  TestServer server;
  TestProxy proxy;
  server.AddPage("/a%20b/page.html", "<p>");
  const std::string port = std::to_string(server.Port());
  const std::string tail =
      "User-Agent: Zentu/0.99\r\nReferer: http://src.example/x.html\r\nAccept: */*\r\n"
      "Accept-Language: ja\r\n";

  DownloadJob job = MakeJob(server.Url("/a b/page.html"));
  job.SourceURL = "http://src.example/x.html";
  job.Status = kJobWaiting;
  ASSERT_EQ(GetProcedure(job, manager), kHttpOk) << job.Message;
  job.Status = kJobUntreated;
  ASSERT_EQ(HeadProcedure(job, manager), kHttpOk) << job.Message;
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].head, "GET /a%20b/page.html HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n" + tail +
                                  "Pragma: no-cache\r\nAccept-Encoding: gzip, deflate\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(requests[1].head, "HEAD /a%20b/page.html HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n" + tail +
                                  "Accept-Encoding: gzip, deflate\r\nConnection: keep-alive\r\n\r\n");

  CurrentProfile().UseProxy = true;
  CurrentProfile().ProxyServer = "127.0.0.1";
  CurrentProfile().ProxyPort = proxy.Port();
  job.Status = kJobWaiting;
  ASSERT_EQ(GetProcedure(job, manager), kHttpOk) << job.Message;
  EXPECT_FALSE(job.ViaProxy) << "only the system proxy sets it";
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].head, "GET http://127.0.0.1:" + port + "/a%20b/page.html HTTP/1.0\r\nHost: 127.0.0.1:" +
                                          port + "\r\n" + tail + "Pragma: no-cache\r\nAccept-Encoding: gzip, deflate\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(server.Requests().back().target, "/a%20b/page.html");
}

TEST_F(HttpTest, RequestHeadersFollowProfileAndLists) {
  TestServer server;
  server.AddPage("/secret/page.html", "<p>");
  server.AddPage("/other.html", "<p>");
  const std::string url = server.Url("/secret/page.html");
  auto fetch = [&](DownloadJob job) {
    job.Status = kJobWaiting;
    EXPECT_EQ(GetProcedure(job, manager), kHttpOk) << job.Message;
    return server.Requests().back();
  };

  // Referer: the referrer list wins over the page the link was on, and comes once.
  ASSERT_EQ(SetReferrerList({{"HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/secret/", "http://ref.example/"}}),
            0);
  DownloadJob job = MakeJob(url);
  job.SourceURL = "http://src.example/";
  TestRequest r = fetch(job);
  EXPECT_EQ(r.Header("Referer"), "http://ref.example/");
  EXPECT_EQ(r.HeaderCount("Referer"), 1u);
  ClearCaptureRules();
  job.SourceURL = "no scheme";
  EXPECT_FALSE(fetch(job).HasHeader("Referer"));

  // Cookie from cookies.txt, Basic authorisation from the password list.
  WriteNative(kCookieFileName, "127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tabc\n");
  CurrentProfile().UseCookie = true;
  ASSERT_EQ(SetPasswordList({{"http://127.0.0.1:" + std::to_string(server.Port()) + "/secret", "user", "pass"}}), 0);
  r = fetch(MakeJob(url));
  EXPECT_EQ(r.Header("Cookie"), "sid=abc");
  EXPECT_EQ(r.Header("Authorization"), "Basic dXNlcjpwYXNz");
  EXPECT_FALSE(fetch(MakeJob(server.Url("/other.html"))).HasHeader("Authorization"));
  SetPasswordList({{"http://127.0.0.1:" + std::to_string(server.Port()) + "/secret", "user", ""}});
  EXPECT_FALSE(fetch(MakeJob(url)).HasHeader("Authorization")) << "an empty password sends none";

  // Profile texts.
  CurrentProfile().UseCookie = false;
  CurrentProfile().UseAcceptLanguage = false;
  CurrentProfile().UserAgent = "Mozilla/5.0 (test)";
  CurrentProfile().Protocol = "HTTP/1.1";
  r = fetch(MakeJob(url));
  EXPECT_FALSE(r.HasHeader("Cookie"));
  EXPECT_FALSE(r.HasHeader("Accept-Language"));
  EXPECT_EQ(r.Header("User-Agent"), "Mozilla/5.0 (test)");
  EXPECT_EQ(r.protocol, "HTTP/1.1");
  CurrentProfile().UseAcceptLanguage = true;
  CurrentProfile().AcceptLanguage = "en-US,ja;q=0.5";
  EXPECT_EQ(fetch(MakeJob(url)).Header("Accept-Language"), "en-US,ja;q=0.5");
}

TEST_F(HttpTest, HostHeaderAndTargetForms) {
  const struct {
    const char* url;
    bool proxy;
    const char* line;
    const char* host;
  } rows[] = {
      {"http://example.com/a.html", false, "GET /a.html HTTP/1.0", "Host: example.com"},
      {"http://example.com:80/a.html", false, "GET /a.html HTTP/1.0", "Host: example.com"},
      {"http://example.com:8080/a.html", false, "GET /a.html HTTP/1.0", "Host: example.com:8080"},
      {"http://example.com", false, "GET / HTTP/1.0", "Host: example.com"},
      {"https://example.com/s", false, "GET /s HTTP/1.0", "Host: example.com"},
      {"https://example.com:8443/s", false, "GET /s HTTP/1.0", "Host: example.com:8443"},
      {"http://example.com/a b.html", true, "GET http://example.com/a%20b.html HTTP/1.0", "Host: example.com"},
      {"http://example.com/x\r\nEvil: 1", false, "GET /x%0D%0AEvil:%201 HTTP/1.0", "Host: example.com"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url);
    DownloadJob job = MakeJob(row.url);
    const std::string text = BuildRequest(job, "GET", "HTTP/1.0", row.proxy);
    EXPECT_EQ(text.substr(0, text.find("\r\n")), row.line);
    EXPECT_NE(text.find(std::string("\r\n") + row.host + "\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Evil"), text.find("Evil:%201")) << "no header can be smuggled in";
  }
}

TEST_F(HttpTest, RedirectsQueueTheTargetAndMoveTheItem) {
  TestServer server;
  server.Add(Route{.path = "/abs", .status = 301, .headers = {{"Location", "http://127.0.0.1:{{port}}/new.html"}}});
  server.Add(Route{.path = "/root",
                   .status = 302,
                   .headers = {{"Location", "/new.html"}, {"Content-Type", "text/html"}},
                   .body = "moved"});
  const std::string target = server.Url("/new.html");
  for (const char* path : {"/abs", "/root"}) {
    for (int kind : {kHttpHead, kHttpGet}) {
      SCOPED_TRACE(std::string(path) + (kind == kHttpHead ? " HEAD" : " GET"));
      manager.Clear();
      SetUrl(star, server.Url(path));
      DownloadJob job = Claim(server.Url(path), star, kind == kHttpHead ? kJobUntreated : kJobWaiting);
      ASSERT_TRUE(os::CreateDirectories(job.DirName));
      ASSERT_TRUE(os::WriteFileAtomic(job.LocalFile, "old copy"));
      int r = kind == kHttpHead ? HeadProcedure(job, manager) : GetProcedure(job, manager);
      manager.ReleaseJob(job);
      EXPECT_EQ(r, kHttpOk);
      EXPECT_EQ(job.Status, kJobComplete);
      EXPECT_EQ(job.Message, "=> " + target);
      EXPECT_EQ(star->url, target);
      EXPECT_EQ(star->title, target);
      EXPECT_EQ(Read(job.LocalFile), "old copy") << "a redirect's body is no copy of the page";
      DownloadJob queued;
      ASSERT_TRUE(manager.FindJob(target, &queued));
      EXPECT_EQ(queued.Node, star);
      EXPECT_EQ(queued.SourceURL, server.Url(path));
    }
  }

  // Without a tree item the target is queued alone; in an RSS folder it is not followed.
  manager.Clear();
  DownloadJob job = MakeJob(server.Url("/root"));
  job.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(job, manager), kHttpOk);
  DownloadJob queued;
  ASSERT_TRUE(manager.FindJob(target, &queued));
  EXPECT_EQ(queued.Node, nullptr);

  manager.Clear();
  TreeNode* feedItem = AddItem(news, "entry", "");
  job = Claim(server.Url("/root"), feedItem);
  EXPECT_EQ(GetProcedure(job, manager), kHttpOk);
  EXPECT_EQ(job.Status, kJobDownloaded) << "handled as an ordinary answer";
  EXPECT_EQ(Read(job.LocalFile), "moved");
  EXPECT_FALSE(manager.FindJob(target, nullptr));
}

TEST_F(HttpTest, RedirectLoopBetweenItemsEnds) {
  TestServer server;
  server.Add(Route{.path = "/a", .status = 302, .headers = {{"Location", "/b"}}});
  server.Add(Route{.path = "/b", .status = 302, .headers = {{"Location", "/a"}}});
  DownloadJob a = Claim(server.Url("/a"), star);
  EXPECT_EQ(GetProcedure(a, manager), kHttpOk);
  manager.ReleaseJob(a);
  DownloadJob b;
  ASSERT_EQ(manager.ClaimJob(server.Url("/b"), &b), 1);
  ASSERT_TRUE(MapJobLocation(b));
  b.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(b, manager), kHttpFailed);
  manager.ReleaseJob(b);
  EXPECT_EQ(b.Status, kJobError);
  EXPECT_NE(b.Message.find(SJ("ループ")), std::string::npos) << U8(b.Message);
  DownloadJob again;
  ASSERT_TRUE(manager.FindJob(server.Url("/a"), &again));
  EXPECT_EQ(again.Status, kJobComplete) << "the first job is not re-armed";
}

TEST_F(HttpTest, HeadPrecheckComparesTheSavedStamp) {
  TestServer server;
  const char* kStamp = "Sun, 06 Nov 1994 08:49:37 GMT";
  server.Add(Route{.path = "/page.html",
                   .headers = {{"Content-Type", "text/html"}, {"Last-Modified", kStamp}},
                   .body = "<p>v1</p>"});
  server.AddPage("/nodate.html", "<p>");

  DownloadJob job = Claim(server.Url("/page.html"), star, kJobUntreated);
  ASSERT_EQ(HeadProcedure(job, manager), kHttpOk);
  EXPECT_EQ(job.Status, kJobWaiting) << "no saved copy yet";
  const os::LocalTime local = os::GetClock().ToLocal(784111777);
  char modified[32];
  std::snprintf(modified, sizeof modified, "%04d/%02d/%02d %02d:%02d:%02d", local.year, local.month, local.day,
                local.hour, local.minute, local.second);
  EXPECT_EQ(job.Modified, modified);
  EXPECT_EQ(job.LastModifiedTime, os::FileTimeFromUnix(784111777));

  ASSERT_EQ(GetProcedure(job, manager), kHttpOk);
  uint64_t stamp = 0;
  ASSERT_TRUE(os::GetFileCreationTime(job.LocalFile, stamp));
  EXPECT_EQ(stamp, job.LastModifiedTime);
  std::time_t written = 0;
  ASSERT_TRUE(os::GetFileTime(job.LocalFile, written));
  EXPECT_EQ(written, 784111777) << "the write time follows the server too";

  // Unchanged page: "Not Modified." and the item counts as downloaded.
  job.Status = kJobUntreated;
  ASSERT_EQ(HeadProcedure(job, manager), kHttpOk);
  EXPECT_EQ(job.Status, kJobComplete);
  EXPECT_EQ(job.Message, "Not Modified.");
  EXPECT_EQ(star->downloadFlag, kDownloadDone);

  // Editing the saved copy changes its write time only: still not modified.
  {
    os::File f;
    ASSERT_TRUE(f.Open(job.LocalFile, os::File::Mode::Append));
    ASSERT_TRUE(f.Write("<!-- my note -->"));
    ASSERT_TRUE(f.Close());
  }
  ASSERT_TRUE(os::SetFileTime(job.LocalFile, 1700000000));
  job.Status = kJobUntreated;
  ASSERT_EQ(HeadProcedure(job, manager), kHttpOk);
  EXPECT_EQ(job.Message, "Not Modified.");

  // A newer page on the server, or none of its date: download again.
  server.Add(Route{.path = "/page.html",
                   .headers = {{"Content-Type", "text/html"}, {"Last-Modified", "Sun, 06 Nov 1994 08:49:38 GMT"}},
                   .body = "<p>v2</p>"});
  job.Status = kJobUntreated;
  ASSERT_EQ(HeadProcedure(job, manager), kHttpOk);
  EXPECT_EQ(job.Status, kJobWaiting);
  DownloadJob plain = MakeJob(server.Url("/nodate.html"));
  ASSERT_TRUE(os::CreateDirectories(plain.DirName));
  ASSERT_TRUE(os::WriteFileAtomic(plain.LocalFile, "<p>"));
  ASSERT_EQ(HeadProcedure(plain, manager), kHttpOk);
  EXPECT_EQ(plain.Status, kJobWaiting) << "without Last-Modified a HEAD always leads to a GET";
}

TEST_F(HttpTest, FinalAndPassingServerAnswers) {
  TestServer server;
  server.Add(Route{.path = "/gone", .status = 404});
  server.Add(Route{.path = "/notmod", .status = 304});
  server.Add(Route{.path = "/busy", .status = 503});
  server.Add(Route{.path = "/broken", .status = 500});

  for (const char* path : {"/gone", "/notmod"}) {
    SCOPED_TRACE(path);
    star->downloadFlag = kDownloadNone;
    DownloadJob job = Claim(server.Url(path), star);
    EXPECT_EQ(GetProcedure(job, manager), kHttpFailed);
    manager.ReleaseJob(job);
    EXPECT_EQ(job.Status, kJobError);
    EXPECT_EQ(job.Message, "Not Found.");
    EXPECT_EQ(job.Trials, 0) << "no retry";
    EXPECT_EQ(star->downloadFlag, kDownloadError);
    EXPECT_EQ(ui::NodeIcon(star, false), ui::kIconErrorUrl);
    manager.Clear();
  }
  for (const char* path : {"/busy", "/broken"}) {
    SCOPED_TRACE(path);
    DownloadJob job = MakeJob(server.Url(path));
    job.Status = kJobWaiting;
    EXPECT_EQ(GetProcedure(job, manager), kHttpRetry);
    EXPECT_EQ(job.Status, kJobWaiting) << "back to the step before";
    EXPECT_EQ(job.Trials, 1);
    EXPECT_EQ(job.Message, "Server Error [" + std::string(path == std::string("/busy") ? "503" : "500") + "]");
  }
}

TEST_F(HttpTest, TrialLimitEndsTheJob) {
  TestServer server;
  server.Add(Route{.path = "/busy", .status = 503});
  for (int kind : {kHttpHead, kHttpGet}) {
    SCOPED_TRACE(kind);
    DownloadJob job = MakeJob(server.Url("/busy"));
    const int before = kind == kHttpHead ? kJobUntreated : kJobWaiting;
    job.Status = before;
    for (int attempt = 1; attempt <= kMaxTrials + 1; ++attempt) {
      int r = kind == kHttpHead ? HeadProcedure(job, manager) : GetProcedure(job, manager);
      EXPECT_EQ(r, kHttpRetry);
      EXPECT_EQ(job.Trials, attempt);
      if (attempt <= kMaxTrials) {
        EXPECT_EQ(job.Status, before);
      }
    }
    EXPECT_EQ(job.Status, kJobError);
    EXPECT_EQ(job.Message, SJ(kind == kHttpHead ? "エラー回数が多いため取り込みを中止しました"
                                                : "エラー回数が多いため取り込み中止しました"));
  }
}

TEST_F(HttpTest, SizeLimitByHeaderAndByBody) {
  TestServer server;
  server.Add(Route{.path = "/2mb", .headers = {{"Content-Type", "application/zip"}}, .body = std::string(2097152, 'z')});
  server.Add(Route{.path = "/nolength", .headers = {{"Content-Type", "text/html"}}, .body = std::string(6000, 'x'),
                   .framing = Framing::Close});

  DownloadJob job = MakeJob(server.Url("/2mb"));
  job.SizeUpTo = 2048;
  job.Status = kJobUntreated;
  EXPECT_EQ(HeadProcedure(job, manager), kHttpOk) << "2048 is not less than 2048";
  EXPECT_EQ(job.Size, 2097152u);
  job.SizeUpTo = 2047;
  job.Status = kJobUntreated;
  EXPECT_EQ(HeadProcedure(job, manager), kHttpSizeOver);
  EXPECT_EQ(job.Status, kJobComplete);
  EXPECT_EQ(job.Message, "size over [2048KB > 2047KB]");
  job.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(job, manager), kHttpSizeOver);
  EXPECT_FALSE(os::PathExists(job.LocalFile));

  // A body without a length is held to the limit as it arrives.
  job = MakeJob(server.Url("/nolength"));
  job.SizeUpTo = 4;
  job.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(job, manager), kHttpSizeOver);
  EXPECT_EQ(job.Message, "size over [5KB > 4KB]");
  EXPECT_FALSE(os::PathExists(job.LocalFile));
  job.SizeUpTo = 5;
  job.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(job, manager), kHttpOk);
  EXPECT_EQ(job.Size, 6000u);
  EXPECT_TRUE(TempFiles().empty());
}

// The sockets take 0 for "no time-out"; only a negative setting falls back to 60 s.
TEST_F(HttpTest, TimeOutSettingToSocketMilliseconds) {
  const struct {
    int setting, ms;
  } rows[] = {{-5000, 60000}, {-1, 60000}, {0, 0}, {1, 1}, {120000, 120000}};
  for (const auto& row : rows) {
    CurrentProfile().TimeOut = row.setting;
    EXPECT_EQ(http_detail::TimeOutMs(), row.ms) << row.setting;
  }
  CurrentProfile().TimeOut = 0;
  TestServer server({.delayMs = 200});
  server.AddPage("/slow.html", "<html>slow</html>", "text/html");
  DownloadJob job = MakeJob(server.Url("/slow.html"));
  job.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(job, manager), kHttpOk) << job.Message;
  EXPECT_EQ(Read(job.LocalFile), "<html>slow</html>");
}

TEST_F(HttpTest, StallsAndCutBodiesAreRetriedAndKeepTheOldCopy) {
  CurrentProfile().TimeOut = 500;
  TestServer server;
  const std::string body(100000, 'b');
  const struct {
    Fault fault;
    const char* message;
  } rows[] = {
      {Fault::Stall, "Socket Error: 110"},
      {Fault::StallAfterHead, "Socket Error: 110"},
      {Fault::StallMidBody, "Socket Error: 110"},
      {Fault::CloseMidBody, "Connection closed. [50000/100000]"},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(n);
    const std::string path = "/f" + std::to_string(n++) + ".html";
    server.Add(Route{.path = path, .headers = {{"Content-Type", "text/html"}}, .body = body, .fault = row.fault});
    DownloadJob job = MakeJob(server.Url(path));
    ASSERT_TRUE(os::CreateDirectories(job.DirName));
    ASSERT_TRUE(os::WriteFileAtomic(job.LocalFile, "old copy"));
    job.Status = kJobWaiting;
    EXPECT_EQ(GetProcedure(job, manager), kHttpRetry);
    EXPECT_EQ(job.Status, kJobWaiting);
    EXPECT_EQ(job.Trials, 1);
    EXPECT_EQ(job.Message.substr(0, std::string(row.message).size()), row.message) << job.Message;
    EXPECT_EQ(Read(job.LocalFile), "old copy");
    EXPECT_FALSE(os::PathExists(job.LocalFile + ".part"));
    EXPECT_TRUE(TempFiles().empty());
  }
}

// A server that trickles, never ends its body, or redirects for ever holds
// a worker only as long as the bounds allow; a stop ends any transfer at once.
TEST_F(HttpTest, HostileTransfersEndAtTheirBounds) {
  CurrentProfile().TimeOut = 1000;
  TestServer server;
  server.Add(Route{.path = "/drip.html", .headers = {{"Content-Type", "text/html"}},
                   .body = std::string(1000, 'd'), .fault = Fault::Drip, .faultSize = 50});
  server.Add(Route{.path = "/endless", .headers = {{"Content-Type", "text/html"}}, .fault = Fault::EndlessChunked});
  server.Add(Route{.path = "/huge", .headers = {{"Content-Type", "text/html"}, {"Content-Length", "99999999999"}},
                   .fault = Fault::StallAfterHead});
  struct Row {
    const char* path;
    int seconds;
    uint64_t maxBody;
    const char* message;
  } rows[] = {
      // Bytes keep coming within the time-out, so only the whole-transfer bound ends it.
      {"/drip.html", 2, 0, "Transfer time over [2 s]"},
      {"/endless", 0, 1 << 20, "Body too large. [> 1048576 bytes]"},
      {"/huge", 0, 1 << 20, "Body too large. [> 1048576 bytes]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    SetTransferLimits(row.seconds, row.maxBody);
    DownloadJob job = MakeJob(server.Url(row.path));
    ASSERT_TRUE(os::CreateDirectories(job.DirName));
    ASSERT_TRUE(os::WriteFileAtomic(job.LocalFile, "old copy"));
    job.Status = kJobWaiting;
    EXPECT_EQ(GetProcedure(job, manager), kHttpFailed);
    EXPECT_EQ(job.Status, kJobError) << "a retry would only repeat it";
    EXPECT_EQ(job.Message, row.message);
    EXPECT_EQ(Read(job.LocalFile), "old copy");
    EXPECT_TRUE(TempFiles().empty());
  }
  // The same bound holds inside TLS, where the reads wait in the TLS layer.
  TestServer tls({.https = true});
  tls.Add(Route{.path = "/drip.html", .body = std::string(1000, 'd'), .fault = Fault::Drip, .faultSize = 50});
  SetTransferLimits(1, 0);
  DownloadJob overTls = MakeJob(tls.Url("/drip.html"));
  overTls.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(overTls, manager), kHttpFailed);
  EXPECT_EQ(overTls.Message, "Transfer time over [1 s]");
  SetTransferLimits(0, 0);

  // The stop reaches a transfer that waits for a quiet server, and a connect.
  CurrentProfile().TimeOut = 60000;
  server.Add(Route{.path = "/quiet.html", .body = std::string(1000, 'q'), .fault = Fault::StallAfterHead});
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    DownloadJob job = MakeJob(server.Url("/quiet.html"));
    job.Status = kJobWaiting;
    const size_t before = server.RequestCount();
    std::thread stopper([&] {
      if (round == 0) server.WaitForRequests(before + 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      manager.SetStopFlags(true);
    });
    EXPECT_EQ(GetProcedure(job, manager), kHttpStopped);
    stopper.join();
    EXPECT_EQ(job.Status, kJobWaiting) << "taken up again when the capture goes on";
    EXPECT_EQ(job.Trials, 0);
    EXPECT_EQ(job.Message, "Stopped.");
    // While stopped, no transfer starts; after the stop ends they run again.
    EXPECT_EQ(HeadProcedure(job, manager), kHttpStopped);
    manager.SetStopFlags(false);
  }
  server.AddPage("/fine.html", "<p>fine");
  DownloadJob fine = MakeJob(server.Url("/fine.html"));
  EXPECT_EQ(HttpRequest(fine, kHttpGet), kHttpOk);
}

TEST_F(HttpTest, HostileEndlessRedirectChainEndsAfterTwentyHops) {
  TestServer server;
  server.Add(Route{.path = "/hop/*", .status = 302, .handler = [](const TestRequest& req, TestResponse& res) {
                     const int n = std::stoi(req.Path().substr(5));
                     res.headers.emplace_back("Location", "/hop/" + std::to_string(n + 1));
                   }});
  std::string url = server.Url("/hop/0");
  DownloadJob job = Claim(url, star);
  for (int hop = 0;; ++hop) {
    ASSERT_LE(hop, kMaxRedirects);
    const int r = GetProcedure(job, manager);
    manager.ReleaseJob(job);
    if (r != kHttpOk) break;
    url = server.Url("/hop/" + std::to_string(hop + 1));
    ASSERT_EQ(manager.ClaimJob(url, &job), 1) << url;
    ASSERT_TRUE(MapJobLocation(job));
    EXPECT_EQ(job.Redirects, hop + 1);
    job.Status = kJobWaiting;
  }
  EXPECT_EQ(server.RequestCount("/hop/*"), static_cast<size_t>(kMaxRedirects + 1));
  EXPECT_EQ(job.Status, kJobError);
  EXPECT_EQ(job.Message, SJ("リダイレクトが多すぎます (20)"));
  EXPECT_EQ(star->url, url) << "the item follows the chain as far as it goes";
  EXPECT_FALSE(manager.FindJob(server.Url("/hop/" + std::to_string(kMaxRedirects + 1)), nullptr));
}

namespace {
// `data` compressed as gzip (31), zlib (15) or a raw deflate stream (-15).
std::string Compress(const std::string& data, int windowBits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}
}  // namespace

// Compressed answers are stored as the page itself, whatever the framing.
TEST_F(HttpTest, CompressedBodiesAreStoredDecoded) {
  std::string page;
  for (int i = 0; i < 3000; ++i) page += "<p>line " + std::to_string(i) + " \x93\xFA\x96\x7B</p>\n";
  TestServer server;
  const struct {
    const char* name;
    const char* coding;
    std::string body;
    Framing framing;
  } rows[] = {
      {"gzip", "gzip", Compress(page, 31), Framing::Length},
      {"x-gzip", "x-gzip", Compress(page, 31), Framing::Close},
      {"zlib", "deflate", Compress(page, 15), Framing::Length},
      {"raw", "deflate", Compress(page, -15), Framing::Length},
      {"chunked", "gzip", Compress(page, 31), Framing::Chunked},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = std::string("/") + row.name + ".html";
    server.Add(Route{.path = path, .headers = {{"Content-Type", "text/html"}, {"Content-Encoding", row.coding}},
                     .body = row.body, .framing = row.framing});
    DownloadJob job = MakeJob(server.Url(path));
    ASSERT_EQ(HttpRequest(job, kHttpGet), kHttpOk) << job.Message;
    EXPECT_TRUE(Read(job.LocalFile) == page) << "stored decoded, byte for byte";
    EXPECT_EQ(job.Size, page.size());
  }
  EXPECT_EQ(server.Requests().front().Header("Accept-Encoding"), "gzip, deflate");

  // A stream that breaks off, or is no stream at all, is retried; the old copy stays.
  std::string cut = Compress(page, 31);
  cut.resize(cut.size() / 2);
  server.Add(Route{.path = "/cut.html", .headers = {{"Content-Encoding", "gzip"}}, .body = cut});
  server.Add(Route{.path = "/junk.html", .headers = {{"Content-Encoding", "gzip"}}, .body = "not gzip at all"});
  for (const char* path : {"/cut.html", "/junk.html"}) {
    SCOPED_TRACE(path);
    DownloadJob job = MakeJob(server.Url(path));
    ASSERT_TRUE(os::CreateDirectories(job.DirName));
    ASSERT_TRUE(os::WriteFileAtomic(job.LocalFile, "old copy"));
    EXPECT_EQ(HttpRequest(job, kHttpGet), kHttpRetry);
    EXPECT_EQ(job.Message, "Broken compressed data.");
    EXPECT_EQ(Read(job.LocalFile), "old copy");
  }
}

// A server that keeps connections serves the next requests on the same one;
// one that closes each, or drops a kept one unannounced, still answers every
// request, without a trial counted.
TEST_F(HttpTest, KeptConnectionsServeTheNextRequests) {
  for (bool https : {false, true}) {
    SCOPED_TRACE(https ? "https" : "http");
    CloseKeptConnections();
    TestServer kept({.https = https, .keepAlive = true});
    TestServer closing({.https = https});
    TestServer dropping({.https = https, .keepAlive = true, .dropAfter = 1});
    for (TestServer* server : {&kept, &closing, &dropping}) {
      server->AddPage("/p*", "<p>page");
      server->Add(Route{.path = "/none", .status = 404, .body = "gone"});
      for (int i = 0; i < 6; ++i) {
        DownloadJob job = MakeJob(server->Url("/p" + std::to_string(i)));
        job.Status = i % 2 ? kJobUntreated : kJobWaiting;
        EXPECT_EQ(i % 2 ? HeadProcedure(job, manager) : GetProcedure(job, manager), kHttpOk) << job.Message;
        EXPECT_EQ(job.Trials, 0);
        DownloadJob missing = MakeJob(server->Url("/none"));
        missing.Status = kJobWaiting;
        EXPECT_EQ(GetProcedure(missing, manager), kHttpFailed);
      }
    }
    EXPECT_EQ(kept.Connections(), 1u) << "every request on the first connection";
    EXPECT_EQ(closing.Connections(), 12u);
    EXPECT_EQ(dropping.Connections(), 12u);
    EXPECT_EQ(dropping.RequestCount(), 12u) << "no request is lost on a dropped connection";
  }
}

// A TLS server that sends a session ticket after each answer leaves its
// kept connection as good as before: the ticket is read on the way, and the
// next request goes over the same connection.
TEST_F(HttpTest, SessionTicketsAfterAnAnswerKeepTheConnection) {
  TestServer server({.https = true, .keepAlive = true, .ticketAfterAnswer = true});
  server.AddPage("/t*", "<p>ticket");
  for (int i = 0; i < 4; ++i) {
    DownloadJob job = MakeJob(server.Url("/t" + std::to_string(i)));
    job.Status = i % 2 ? kJobUntreated : kJobWaiting;
    ASSERT_EQ(i % 2 ? HeadProcedure(job, manager) : GetProcedure(job, manager), kHttpOk) << job.Message;
    if (i % 2 == 0) {
      EXPECT_EQ(Read(job.LocalFile), "<p>ticket");
    }
    // The ticket is on its way to the client before the next request leaves.
    ASSERT_TRUE(server.WaitForTickets(static_cast<size_t>(i) + 1));
  }
  EXPECT_EQ(server.RequestCount(), 4u);
  EXPECT_EQ(server.Connections(), 1u) << "a ticket is no close";
}

// A fetch without a job: the answer in memory, nothing saved, redirects told.
TEST_F(HttpTest, FetchAnswersWithoutSavingAnything) {
  TestServer server({.keepAlive = true});
  const std::string page = "<p>" + std::string(5000, 'f');
  server.Add(Route{.path = "/page.html", .headers = {{"Content-Type", "text/html"}, {"Content-Encoding", "gzip"}},
                   .body = Compress(page, 31)});
  server.Add(Route{.path = "/moved", .status = 302, .headers = {{"Location", "../page.html"}}});
  server.Add(Route{.path = "/gone", .status = 404, .body = "gone"});
  const struct {
    const char* path;
    bool head;
    uint64_t maxBody;
    int result, status;
    std::string body, location;
  } rows[] = {
      {"/page.html", false, 1 << 20, kHttpOk, 200, page, ""},
      {"/page.html", true, 1 << 20, kHttpOk, 200, "", ""},
      {"/moved", false, 1 << 20, kHttpOk, 302, "", server.Url("/page.html")},
      {"/gone", false, 1 << 20, kHttpFailed, 404, "", ""},
      {"/page.html", false, 1000, kHttpSizeOver, 0, "", ""},  // refused as it arrives
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.path) + (row.head ? " HEAD" : ""));
    FetchRequest request;
    request.url = server.Url(row.path);
    request.head = row.head;
    request.maxBody = row.maxBody;
    const FetchResponse answer = Fetch(request);
    EXPECT_EQ(answer.result, row.result) << answer.message;
    EXPECT_EQ(answer.status, row.status);
    EXPECT_TRUE(answer.body == row.body);
    EXPECT_EQ(answer.location, row.location);
  }
  EXPECT_EQ(server.Connections(), 1u) << "the fetches share the kept connection";
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_FALSE(os::PathExists(MakeJob(server.Url("/page.html")).LocalFile)) << "no saved copy";

  os::TransferStop stop;
  stop.Stop();
  FetchRequest stopped;
  stopped.url = server.Url("/page.html");
  stopped.stop = &stop;
  EXPECT_EQ(Fetch(stopped).result, kHttpStopped);
}

// The plain fetch keeps its answer in memory even when the temporary files
// are kept for the jobs: nothing of it lands in the data folder, and a failed
// answer brings no half body.
TEST_F(HttpTest, FetchWritesNothingEvenWhenTemporaryFilesAreKept) {
  TestServer server;
  server.AddPage("/feed.xml", "<rss/>", "application/rss+xml");
  server.Add(Route{.path = "/cut", .body = std::string(4000, 'c'), .fault = Fault::CloseMidBody});
  CurrentProfile().StoreTempData = true;
  FetchRequest request;
  request.url = server.Url("/feed.xml");
  FetchResponse answer = Fetch(request);
  EXPECT_EQ(answer.result, kHttpOk) << answer.message;
  EXPECT_EQ(answer.body, "<rss/>");
  EXPECT_EQ(answer.contentType, "application/rss+xml");
  request.url = server.Url("/cut");
  answer = Fetch(request);
  EXPECT_EQ(answer.result, kHttpRetry);
  EXPECT_EQ(answer.message, "Connection closed. [2000/4000]");
  EXPECT_TRUE(answer.body.empty());
  EXPECT_FALSE(os::PathExists(CurrentProfile().dirs.data + "\\Temp"));
}

TEST_F(HttpTest, ConnectionFailuresAreFinal) {
  int closedPort;
  {
    TestServer gone;
    closedPort = gone.Port();
  }
  DownloadJob job = Claim("http://127.0.0.1:" + std::to_string(closedPort) + "/x.html", star);
  EXPECT_EQ(GetProcedure(job, manager), kHttpFailed);
  EXPECT_EQ(job.Status, kJobError);
  EXPECT_EQ(job.Trials, 0);
  EXPECT_EQ(job.Message, "Not Found.") << "the connection text stays in the log";
  EXPECT_TRUE(LogContains(SJ("サーバへの接続に失敗しました") + " 127.0.0.1:" + std::to_string(closedPort)));

  job = MakeJob("http://no-such-host.invalid/x.html");
  EXPECT_EQ(HttpRequest(job, kHttpHead), kHttpFailed);
  EXPECT_TRUE(LogContains(SJ("というホストを検出できませんでした")));

  // An address that never answers gives up after the time-out.
  BlackHole hole;
  job = MakeJob("http://127.0.0.1:" + std::to_string(hole.Port()) + "/x.html");
  EXPECT_EQ(HttpRequest(job, kHttpHead), kHttpFailed);
  EXPECT_TRUE(LogContains(SJ("接続できませんでした") + " : 127.0.0.1"));
  EXPECT_TRUE(LogContains(os::SocketErrorText(ETIMEDOUT)));

  job = MakeJob("http://127.0.0.1/x.html");
  job.Host.clear();
  EXPECT_EQ(HttpRequest(job, kHttpHead), kHttpFailed);
  EXPECT_EQ(job.Message, SJ("サーバ名がありません"));
  job = MakeJob("http://127.0.0.1/x.html");
  job.Port = 0;
  EXPECT_EQ(HttpRequest(job, kHttpHead), kHttpFailed);
  EXPECT_TRUE(LogContains("Port number has error. [0]"));
}

TEST_F(HttpTest, ProxiesProfileAndSystem) {
  TestServer server;
  TestServer tlsServer({.https = true});
  TestProxy proxy;
  server.AddPage("/p.html", "<p>plain</p>");
  tlsServer.AddPage("/s.html", "<p>secure</p>");
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.Port());

  // The system proxy, for http and, through CONNECT, for https.
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  ::setenv("http_proxy", proxyUrl.c_str(), 1);
  CurrentProfile().UseIEProxySetting = true;
  CurrentProfile().UseProxy = true;  // the system setting wins
  CurrentProfile().ProxyServer = "127.0.0.1";
  CurrentProfile().ProxyPort = 1;
  DownloadJob job = MakeJob(server.Url("/p.html"));
  EXPECT_EQ(HttpRequest(job, kHttpGet), kHttpOk) << job.Message;
  EXPECT_TRUE(job.ViaProxy);
  EXPECT_EQ(Read(job.LocalFile), "<p>plain</p>");
  job = MakeJob(tlsServer.Url("/s.html"));
  EXPECT_EQ(HttpRequest(job, kHttpGet), kHttpOk) << job.Message;
  EXPECT_EQ(Read(job.LocalFile), "<p>secure</p>");
  auto seen = proxy.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].target, server.Url("/p.html"));
  EXPECT_EQ(seen[1].method, "CONNECT");
  EXPECT_EQ(seen[1].target, "127.0.0.1:" + std::to_string(tlsServer.Port()));
  EXPECT_EQ(tlsServer.Requests().back().target, "/s.html") << "inside the tunnel the server's own form";

  // Hosts on the bypass list go straight to the server.
  ::setenv("no_proxy", "localhost,127.0.0.1", 1);
  job = MakeJob(server.Url("/p.html"));
  EXPECT_EQ(HttpRequest(job, kHttpGet), kHttpOk) << job.Message;
  EXPECT_FALSE(job.ViaProxy);
  EXPECT_EQ(proxy.RequestCount(), 2u);
  ::unsetenv("no_proxy");

  // Without a system proxy the request goes straight to the server.
  ::unsetenv("http_proxy");
  job = MakeJob(server.Url("/p.html"));
  EXPECT_EQ(HttpRequest(job, kHttpGet), kHttpOk) << job.Message;
  EXPECT_FALSE(job.ViaProxy);
  EXPECT_EQ(proxy.RequestCount(), 2u);
  EXPECT_EQ(server.Requests().back().target, "/p.html");

  // A profile proxy that does not answer is a final failure.
  CurrentProfile().UseIEProxySetting = false;
  job = MakeJob(server.Url("/p.html"));
  job.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(job, manager), kHttpFailed);
  EXPECT_TRUE(LogContains(SJ("プロキシサーバへの接続に失敗しました") + " 127.0.0.1:1"));
}

TEST_F(HttpTest, HttpsVerifiesChainAndHostName) {
  TestServer good({.https = true});
  good.AddPage("/s.html", "<p>secure</p>", "text/html");
  good.Add(Route{.path = "/chunked", .headers = {{"Content-Type", "text/plain"}}, .body = "abc def ghi",
                 .framing = Framing::Chunked});
  DownloadJob job = MakeJob(good.Url("/s.html"));
  job.Status = kJobWaiting;
  ASSERT_EQ(GetProcedure(job, manager), kHttpOk) << U8(job.Message);
  EXPECT_EQ(Read(job.LocalFile), "<p>secure</p>");
  EXPECT_EQ(good.Requests().back().Header("Host"), "127.0.0.1:" + std::to_string(good.Port()));
  job = MakeJob("https://localhost:" + std::to_string(good.Port()) + "/chunked");
  ASSERT_EQ(HttpRequest(job, kHttpGet), kHttpOk) << U8(job.Message);
  EXPECT_EQ(Read(job.LocalFile), "abc def ghi");

  for (TestCertKind kind : {TestCertKind::SelfSigned, TestCertKind::WrongHost, TestCertKind::Expired}) {
    SCOPED_TRACE(static_cast<int>(kind));
    TestServer bad({.https = true, .cert = kind});
    bad.AddPage("/s.html", "<p>");
    DownloadJob j = Claim(bad.Url("/s.html"), star);
    EXPECT_EQ(GetProcedure(j, manager), kHttpFailed);
    EXPECT_EQ(j.Status, kJobError);
    EXPECT_EQ(j.Trials, 0) << "no retry";
    const std::string prefix = SJ("証明書を確認できません: ") + "127.0.0.1 (";
    EXPECT_EQ(j.Message.substr(0, prefix.size()), prefix) << U8(j.Message);
    EXPECT_GT(j.Message.size(), prefix.size() + 2);
    EXPECT_FALSE(os::PathExists(j.LocalFile));
    EXPECT_EQ(bad.RequestCount(), 0u) << "nothing was sent";
    manager.Clear();
  }

  // A server that answers in plain text on an https URL, and one that says nothing.
  RawReply plain("HTTP/1.0 400 Bad Request\r\n\r\nplain text\n");
  job = MakeJob("https://127.0.0.1:" + std::to_string(plain.Port()) + "/");
  EXPECT_EQ(HttpRequest(job, kHttpHead), kHttpFailed);
  EXPECT_NE(job.Message.find(SJ("TLS接続に失敗しました: ") + "127.0.0.1 ("), std::string::npos) << U8(job.Message);
  TestServer silent;
  job = MakeJob("https://127.0.0.1:" + std::to_string(silent.Port()) + "/");
  EXPECT_EQ(HttpRequest(job, kHttpHead), kHttpRetry) << "a time-out is worth another try";
  EXPECT_EQ(job.Message.substr(0, 17), "Socket Error: 110");
}

// Status texts come from every worker at once; the recording desktop is not
// made for that.
class QuietDesktop : public os::Desktop {
 public:
  int MessageBox(std::string_view, std::string_view, os::Buttons, int defaultResult) override { return defaultResult; }
  void Notice(std::string_view) override {}
  void StatusText(std::string_view) override {}
  void TrayTip(std::string_view) override {}
};

TEST_F(HttpTest, ConcurrentRequestsKeepTheirOwnFiles) {
  QuietDesktop quiet;
  os::SetDesktop(&quiet);
  TestServer server;
  constexpr int kThreads = 6, kEach = 5;
  for (int i = 0; i < kThreads * kEach; ++i)
    server.AddPage("/c" + std::to_string(i) + ".html", std::string(20000 + i, static_cast<char>('a' + i % 26)));
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kEach; ++k) {
        int i = t * kEach + k;
        DownloadJob job;
        job.URL = server.Url("/c" + std::to_string(i) + ".html");
        if (!MapJobLocation(job) || HttpRequest(job, kHttpGet) != kHttpOk ||
            Read(job.LocalFile) != std::string(20000 + i, static_cast<char>('a' + i % 26)))
          ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  os::SetDesktop(&desktop);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_TRUE(TempFiles().empty());
}

// A body waits beside its local file; requests whose URLs share that file
// must not write one spool file between them, or one of them stores the
// other's half body or loses its own.
TEST_F(HttpTest, RequestsSharingALocalFileSpoolApart) {
  QuietDesktop quiet;
  os::SetDesktop(&quiet);
  TestServer server;
  std::string body(300000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 251);
  server.Add(Route{.path = "/shared.png", .headers = {{"Content-Type", "image/png"}}, .body = body});
  constexpr int kThreads = 4, kEach = 6;
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int k = 0; k < kEach; ++k) {
        DownloadJob job = MakeJob(server.Url("/shared.png"));
        if (HttpRequest(job, kHttpGet) != kHttpOk || !job.BodyFile.empty()) ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  os::SetDesktop(&desktop);
  EXPECT_EQ(bad.load(), 0);
  DownloadJob job = MakeJob(server.Url("/shared.png"));
  EXPECT_TRUE(Read(job.LocalFile) == body);
  EXPECT_FALSE(os::PathExists(job.LocalFile + ".part"));
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(HttpTest, TempFilesKeptOnRequest) {
  TestServer server;
  server.AddPage("/k.html", "<p>kept</p>");
  CurrentProfile().StoreTempData = true;
  DownloadJob job = MakeJob(server.Url("/k.html"));
  ASSERT_EQ(HttpRequest(job, kHttpGet), kHttpOk);
  EXPECT_EQ(Read(job.LocalFile), "<p>kept</p>");
  std::string head = Read(job.TempFile);
  EXPECT_EQ(head.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(static_cast<size_t>(job.HeaderLength), head.size());
  EXPECT_EQ(Read(BodyFileOf(job.TempFile)), "<p>kept</p>");
  const std::string name = os::FileNameOf(job.TempFile);
  EXPECT_EQ(name.size(), 21u) << name;  // YYYYMMDDhhmmssmmm.dat
}

TEST_F(HttpTest, ProgressReportsRunningCountAndStoredSize) {
  TestServer server;
  server.Add(Route{.path = "/big", .headers = {{"Content-Type", "application/zip"}}, .body = std::string(1 << 20, 'q')});
  std::vector<uint64_t> counts;
  SetHttpProgress([&](const DownloadJob&, uint64_t bytes) { counts.push_back(bytes); });
  DownloadJob job = MakeJob(server.Url("/big"));
  ASSERT_EQ(HttpRequest(job, kHttpGet), kHttpOk);
  ASSERT_GE(counts.size(), 2u);
  EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end() - 1));
  EXPECT_GT(counts[counts.size() - 2], 1u << 20) << "the running count includes the head";
  EXPECT_EQ(counts.back(), 1u << 20) << "the stored size comes last";
}

TEST_F(HttpTest, ResolveMovedUrlAndSnsUserId) {
  TestServer server;
  server.Add(Route{.path = "/old", .status = 301, .headers = {{"Location", "/new"}}});
  server.AddPage("/same", "<p>");
  server.AddPage("/show_profile.pl",
                 "<html>\n<a href=\"home.pl\">home</a>\n<a href=\"list_friend.pl?id=123456\">friends</a>\n");
  EXPECT_EQ(ResolveMovedURL(server.Url("/old")), server.Url("/new"));
  EXPECT_EQ(ResolveMovedURL(server.Url("/same")), server.Url("/same"));
  EXPECT_EQ(ResolveMovedURL("abc"), "");
  EXPECT_EQ(DetectSnsUserId(server.Url("/show_profile.pl")), std::optional<std::string>("123456"));
  EXPECT_EQ(DetectSnsUserId(server.Url("/same")), std::nullopt);
}

}  // namespace
}  // namespace zentu::testing
