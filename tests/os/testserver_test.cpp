// Checks the test server, proxy and CA that the network tests rely on, with plain
// sockets and OpenSSL as the client.
#include "tests/support/testserver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testca.h"

namespace zentu {
namespace {

using testing::Fault;
using testing::Framing;
using testing::GetTestCa;
using testing::Route;
using testing::TestCertKind;
using testing::TestProxy;
using testing::TestRequest;
using testing::TestResponse;
using testing::TestServer;

// Connected socket with a receive time-out, so that a broken server fails the test
// instead of hanging it.
int Dial(int port, int recvTimeoutMs = 10000) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{recvTimeoutMs / 1000, (recvTimeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads until the peer closes; timedOut tells a receive time-out from a close.
std::string ReadAll(int fd, bool* timedOut = nullptr) {
  std::string out;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (timedOut != nullptr) *timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    return out;
  }
}

std::string Exchange(int port, std::string_view request, int recvTimeoutMs = 10000,
                     bool* timedOut = nullptr) {
  int fd = Dial(port, recvTimeoutMs);
  if (fd < 0) return "(no connection)";
  std::string out = SendAll(fd, request) ? ReadAll(fd, timedOut) : "(send failed)";
  ::close(fd);
  return out;
}

std::string Get(int port, std::string_view target, std::string_view method = "GET") {
  return Exchange(port, std::string(method) + " " + std::string(target) +
                            " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: Close\r\n\r\n");
}

struct Answer {
  int status = 0;
  std::string head, body;
  bool Has(std::string_view line) const {
    return head.find("\r\n" + std::string(line) + "\r\n") != std::string::npos;
  }
};

Answer Split(const std::string& raw) {
  Answer a;
  size_t end = raw.find("\r\n\r\n");
  a.head = raw.substr(0, end == std::string::npos ? raw.size() : end + 2);
  if (end != std::string::npos) a.body = raw.substr(end + 4);
  if (raw.compare(0, 9, "HTTP/1.1 ") == 0) a.status = std::atoi(raw.c_str() + 9);
  return a;
}

std::string Dechunk(std::string_view body, int* chunks) {
  std::string out;
  *chunks = 0;
  for (;;) {
    size_t eol = body.find("\r\n");
    if (eol == std::string_view::npos) return "(bad chunk)";
    size_t size = std::strtoul(std::string(body.substr(0, eol)).c_str(), nullptr, 16);
    body.remove_prefix(eol + 2);
    if (size == 0) return body == "\r\n" ? out : "(bad end)";
    ++*chunks;
    out.append(body.substr(0, size));
    body.remove_prefix(std::min(body.size(), size + 2));
  }
}

TEST(TestServerTest, AnswersFromTheRouteTable) {
  TestServer server;
  server.AddPage("/index.html", "<a href=\"http://127.0.0.1:{{port}}/x\">x</a>");
  server.Add({.path = "/moved",
              .status = 301,
              .headers = {{"Location", "http://127.0.0.1:{{port}}/new"}}});
  server.Add({.path = "/plain", .body = "plain"});
  server.Add({.path = "/q?x=1", .body = "query one"});
  server.Add({.path = "/dir/*", .body = "prefix"});
  server.Add({.path = "/dir/exact", .body = "exact"});
  server.Add({.path = "/form", .method = "POST", .body = "posted"});
  server.Add(
      {.path = "/chunked", .body = std::string(1000, 'c') + "end", .framing = Framing::Chunked});
  server.Add({.path = "/close", .body = "until close", .framing = Framing::Close});
  server.Add({.path = "/plain", .body = "replaced"});  // same path and method: replaces
  const std::string port = std::to_string(server.Port());

  struct Row {
    const char* method;
    std::string target;
    int status;
    std::string body;
  } rows[] = {
      {"GET", "/plain", 200, "replaced"},
      {"GET", "/plain?y=2", 200, "replaced"},
      {"GET", "/q?x=1", 200, "query one"},
      {"GET", "/q?x=2", 404, ""},
      {"GET", "/dir/a/b.png", 200, "prefix"},
      {"GET", "/dir/exact", 200, "exact"},
      {"GET", "http://127.0.0.1:" + port + "/dir/exact", 200, "exact"},  // absolute form
      {"POST", "/form", 200, "posted"},
      {"GET", "/form", 405, ""},
      {"GET", "/missing", 404, ""},
      {"GET", "/index.html", 200, "<a href=\"http://127.0.0.1:" + port + "/x\">x</a>"},
      {"GET", "/close", 200, "until close"},
  };
  for (const Row& row : rows) {
    Answer a = Split(Get(server.Port(), row.target, row.method));
    EXPECT_EQ(a.status, row.status) << row.method << " " << row.target;
    if (!row.body.empty()) {
      EXPECT_EQ(a.body, row.body) << row.target;
    }
    if (row.status == 404) {
      EXPECT_NE(a.body.find("Not Found"), std::string::npos);
    }
    EXPECT_TRUE(a.Has("Connection: close")) << row.target;
  }

  Answer page = Split(Get(server.Port(), "/index.html"));
  EXPECT_TRUE(page.Has("Content-Type: text/html"));
  EXPECT_TRUE(page.Has("Content-Length: " + std::to_string(page.body.size())));
  Answer moved = Split(Get(server.Port(), "/moved"));
  EXPECT_EQ(moved.status, 301);
  EXPECT_TRUE(moved.Has("Location: http://127.0.0.1:" + port + "/new"));

  // HEAD: the head that GET would give, no body.
  Answer head = Split(Get(server.Port(), "/index.html", "HEAD"));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  EXPECT_TRUE(head.Has("Content-Length: " + std::to_string(page.body.size())));

  Answer chunked = Split(Get(server.Port(), "/chunked"));
  EXPECT_TRUE(chunked.Has("Transfer-Encoding: chunked"));
  EXPECT_EQ(chunked.head.find("Content-Length"), std::string::npos);
  int chunks = 0;
  EXPECT_EQ(Dechunk(chunked.body, &chunks), std::string(1000, 'c') + "end");
  EXPECT_GT(chunks, 1);

  EXPECT_EQ(Split(Get(server.Port(), "/close")).head.find("Content-Length"), std::string::npos);
}

TEST(TestServerTest, RecordsEveryRequest) {
  TestServer server;
  server.AddPage("/a", "a");
  const std::string head =
      "GET /a?b=1 HTTP/1.0\r\nHost: 127.0.0.1\r\nuser-agent: Zentu/0.99\r\nX-Dup: 1\r\n"
      "X-Dup:  2 \r\nConnection: Close\r\n\r\n";
  EXPECT_EQ(Split(Exchange(server.Port(), head)).status, 200);
  EXPECT_EQ(
      Split(Exchange(server.Port(), "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello")).status,
      200);
  EXPECT_EQ(Split(Get(server.Port(), "/other")).status, 404);

  ASSERT_TRUE(server.WaitForRequests(3));
  std::vector<TestRequest> got = server.Requests();
  ASSERT_EQ(got.size(), 3u);
  const TestRequest& r = got[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/a?b=1");
  EXPECT_EQ(r.Path(), "/a");
  EXPECT_EQ(r.protocol, "HTTP/1.0");
  EXPECT_EQ(r.head, head);
  ASSERT_EQ(r.headers.size(), 5u);
  EXPECT_EQ(r.headers[1].first, "user-agent");
  EXPECT_EQ(r.Header("User-Agent"), "Zentu/0.99");
  EXPECT_EQ(r.Header("x-dup"), "1");
  EXPECT_EQ(r.headers[3].second, "2");
  EXPECT_EQ(r.HeaderCount("X-DUP"), 2u);
  EXPECT_FALSE(r.HasHeader("Referer"));
  EXPECT_EQ(got[1].method, "POST");
  EXPECT_EQ(got[1].body, "hello");

  EXPECT_EQ(server.RequestCount("/a"), 2u);
  EXPECT_EQ(server.RequestCount("/a?b=1"), 1u);
  EXPECT_EQ(server.RequestCount("/other"), 1u);
  EXPECT_EQ(server.RequestCount("/*"), 3u);
  EXPECT_EQ(server.RequestCount(), 3u);
  server.ClearRequests();
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(TestServerTest, HandlerAnswersDynamicallyAndInParallel) {
  TestServer server;
  std::atomic<int> calls{0};
  server.Add({.path = "/page",
              .headers = {{"Last-Modified", "Sun, 28 Jan 2007 00:00:00 GMT"}},
              .body = "version ",
              .handler = [&](const TestRequest& req, TestResponse& res) {
                if (req.Header("If-Modified-Since") == "Sun, 28 Jan 2007 00:00:00 GMT") {
                  res.status = 304;
                  res.body.clear();
                  return;
                }
                res.body += std::to_string(++calls);
              }});
  EXPECT_EQ(Split(Get(server.Port(), "/page")).body, "version 1");
  EXPECT_EQ(Split(Get(server.Port(), "/page")).body, "version 2");
  Answer notModified = Split(
      Exchange(server.Port(),
               "GET /page HTTP/1.0\r\nIf-Modified-Since: Sun, 28 Jan 2007 00:00:00 GMT\r\n\r\n"));
  EXPECT_EQ(notModified.status, 304);
  EXPECT_EQ(notModified.body, "");

  // Many clients at once, as a site capture does.
  server.AddPage("/p/*", "parallel {{port}}");
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 16; ++i)
    answers.push_back(std::async(std::launch::async, [&server, i] {
      return Split(Get(server.Port(), "/p/" + std::to_string(i) + ".html")).body;
    }));
  for (auto& a : answers) EXPECT_EQ(a.get(), "parallel " + std::to_string(server.Port()));
  EXPECT_EQ(server.RequestCount("/p/*"), 16u);
}

TEST(TestServerTest, MisbehavesAsScripted) {
  TestServer server;
  const std::string body(1000, 'b');
  server.Add({.path = "/cut", .body = body, .fault = Fault::CloseMidBody});
  server.Add({.path = "/garbage", .fault = Fault::Garbage, .faultSize = 300});
  server.Add({.path = "/raw", .body = "<html>no head</html>", .fault = Fault::Raw});
  server.Add({.path = "/status", .fault = Fault::MalformedStatus});
  server.Add({.path = "/status2", .fault = Fault::MalformedStatus, .statusLine = "HTTP/1.1 200"});
  server.Add({.path = "/longline", .fault = Fault::LongHeaderLine, .faultSize = 3000});
  server.Add({.path = "/longloc", .status = 302, .fault = Fault::LongLocation, .faultSize = 5000});
  server.Add({.path = "/endless", .fault = Fault::EndlessHeader, .faultSize = 1 << 20});
  server.Add({.path = "/stall", .body = body, .fault = Fault::StallMidBody});

  Answer cut = Split(Get(server.Port(), "/cut"));
  EXPECT_TRUE(cut.Has("Content-Length: 1000"));
  EXPECT_EQ(cut.body, body.substr(0, 500));

  std::string garbage = Get(server.Port(), "/garbage");
  EXPECT_EQ(garbage.size(), 300u);
  EXPECT_NE(garbage.compare(0, 4, "HTTP"), 0);
  EXPECT_NE(garbage[0], '<');

  EXPECT_EQ(Get(server.Port(), "/raw"), "<html>no head</html>");
  EXPECT_EQ(Get(server.Port(), "/status").compare(0, 16, "HTTP/1.1 200OK\r\n"), 0);
  EXPECT_EQ(Get(server.Port(), "/status2").compare(0, 14, "HTTP/1.1 200\r\n"), 0);

  Answer longLine = Split(Get(server.Port(), "/longline"));
  EXPECT_TRUE(longLine.Has("X-Long: " + std::string(3000 - 8, 'a')));

  Answer longLoc = Split(Get(server.Port(), "/longloc"));
  EXPECT_EQ(longLoc.status, 302);
  size_t at = longLoc.head.find("\r\nLocation: ");
  ASSERT_NE(at, std::string::npos);
  std::string location = longLoc.head.substr(at + 12, longLoc.head.find("\r\n", at + 2) - at - 12);
  EXPECT_EQ(location.size(), 5000u);
  EXPECT_EQ(location.rfind("http://127.0.0.1:" + std::to_string(server.Port()) + "/aaa", 0), 0u);

  std::string endless = Get(server.Port(), "/endless");
  EXPECT_EQ(endless.size(), size_t{1} << 20);
  EXPECT_EQ(endless.find("\r\n\r\n"), std::string::npos);

  // The stalled answer: head and half of the body, then silence until the client gives up.
  bool timedOut = false;
  Answer stalled = Split(Exchange(server.Port(), "GET /stall HTTP/1.0\r\n\r\n", 300, &timedOut));
  EXPECT_TRUE(timedOut);
  EXPECT_TRUE(stalled.Has("Content-Length: 1000"));
  EXPECT_EQ(stalled.body, body.substr(0, 500));
}

struct TlsOutcome {
  bool connected = false;
  long verify = X509_V_OK;
  std::string raw;
};

// TLS client that trusts only the test CA and checks the host name or IP.
TlsOutcome TlsGet(int port, const char* host, bool isIp) {
  TlsOutcome out;
  int fd = Dial(port);
  if (fd < 0) return out;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  EXPECT_EQ(SSL_CTX_load_verify_locations(ctx, GetTestCa().caFileNative.c_str(), nullptr), 1);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (isIp) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host);
  } else {
    SSL_set_tlsext_host_name(ssl, host);
    SSL_set1_host(ssl, host);
  }
  out.connected = SSL_connect(ssl) == 1;
  out.verify = SSL_get_verify_result(ssl);
  if (out.connected) {
    std::string req = "GET /secure HTTP/1.0\r\nHost: " + std::string(host) + "\r\n\r\n";
    SSL_write(ssl, req.data(), static_cast<int>(req.size()));
    char buffer[4096];
    for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) out.raw.append(buffer, n);
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ::close(fd);
  ERR_clear_error();
  return out;
}

TEST(TestServerTest, HttpsVerifiesAgainstTheTestCaAndVariantsFail) {
  ASSERT_TRUE(std::filesystem::exists(GetTestCa().caFileNative));
  EXPECT_EQ(GetTestCa().caFile.rfind("Z:\\", 0), 0u);

  TestServer good({.https = true});
  good.AddPage("/secure", "secret {{port}}");
  EXPECT_EQ(good.Url("/x"), "https://127.0.0.1:" + std::to_string(good.Port()) + "/x");
  for (auto [host, isIp] : {std::pair{"localhost", false}, std::pair{"127.0.0.1", true}}) {
    TlsOutcome o = TlsGet(good.Port(), host, isIp);
    EXPECT_TRUE(o.connected) << host << ": " << X509_verify_cert_error_string(o.verify);
    EXPECT_EQ(Split(o.raw).body, "secret " + std::to_string(good.Port())) << host;
  }
  EXPECT_EQ(good.HandshakeFailures(), 0u);

  struct Row {
    TestCertKind kind;
    long verify;
  } rows[] = {
      {TestCertKind::SelfSigned, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
      {TestCertKind::WrongHost, X509_V_ERR_HOSTNAME_MISMATCH},
      {TestCertKind::Expired, X509_V_ERR_CERT_HAS_EXPIRED},
  };
  for (const Row& row : rows) {
    TestServer bad({.https = true, .cert = row.kind});
    bad.AddPage("/secure", "secret");
    TlsOutcome o = TlsGet(bad.Port(), "localhost", false);
    EXPECT_FALSE(o.connected) << static_cast<int>(row.kind);
    EXPECT_EQ(o.verify, row.verify) << X509_verify_cert_error_string(o.verify);
    EXPECT_EQ(o.raw, "");
    EXPECT_EQ(bad.RequestCount(), 0u);
  }

  // Plain HTTP to an HTTPS server is a failed handshake, not a request.
  TestServer secure({.https = true});
  Get(secure.Port(), "/");
  EXPECT_EQ(secure.RequestCount(), 0u);
  for (int i = 0; i < 100 && secure.HandshakeFailures() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(secure.HandshakeFailures(), 1u);
}

TEST(TestProxyTest, ForwardsAbsoluteFormAndTunnels) {
  TestServer server;
  server.AddPage("/index.html", "through the proxy");
  TestProxy proxy;
  const std::string origin = "127.0.0.1:" + std::to_string(server.Port());

  Answer a = Split(Exchange(proxy.Port(), "GET http://" + origin +
                                              "/index.html HTTP/1.0\r\nHost: " + origin +
                                              "\r\nConnection: Close\r\n\r\n"));
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "through the proxy");
  ASSERT_EQ(server.RequestCount(), 1u);
  TestRequest seen = server.Requests()[0];
  EXPECT_EQ(seen.target, "/index.html");
  EXPECT_EQ(seen.Header("Host"), origin);
  ASSERT_EQ(proxy.RequestCount(), 1u);
  EXPECT_EQ(proxy.Requests()[0].target, "http://" + origin + "/index.html");

  // CONNECT, then TLS end to end with the HTTPS server behind the tunnel.
  TestServer secure({.https = true});
  secure.AddPage("/secure", "tunnelled");
  int fd = Dial(proxy.Port());
  ASSERT_GE(fd, 0);
  std::string connect = "CONNECT localhost:" + std::to_string(secure.Port()) + " HTTP/1.0\r\n\r\n";
  ASSERT_TRUE(SendAll(fd, connect));
  std::string reply;
  char c;
  while (reply.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) reply += c;
  EXPECT_EQ(reply.compare(0, 12, "HTTP/1.0 200"), 0) << reply;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_load_verify_locations(ctx, GetTestCa().caFileNative.c_str(), nullptr);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  SSL_set1_host(ssl, "localhost");
  ASSERT_EQ(SSL_connect(ssl), 1);
  std::string req = "GET /secure HTTP/1.0\r\n\r\n";
  SSL_write(ssl, req.data(), static_cast<int>(req.size()));
  std::string raw;
  char buffer[4096];
  for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) raw.append(buffer, n);
  EXPECT_EQ(Split(raw).body, "tunnelled");
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ::close(fd);
  EXPECT_EQ(secure.RequestCount("/secure"), 1u);

  // Only 127.0.0.1 is served; a closed port is a gateway error.
  EXPECT_EQ(Exchange(proxy.Port(), "GET http://example.com/ HTTP/1.0\r\n\r\n")
                .compare(0, 12, "HTTP/1.0 403"),
            0);
  int closedPort;
  {
    TestServer gone;
    closedPort = gone.Port();
  }
  EXPECT_EQ(Exchange(proxy.Port(),
                     "CONNECT 127.0.0.1:" + std::to_string(closedPort) + " HTTP/1.0\r\n\r\n")
                .compare(0, 12, "HTTP/1.0 502"),
            0);
  EXPECT_EQ(proxy.RequestCount(), 4u);
}

TEST(TestServerTest, DestructorReturnsWhileClientsHoldConnections) {
  auto server = std::make_unique<TestServer>();
  server->Add({.path = "/stall", .fault = Fault::Stall});
  server->Add({.path = "/endless", .fault = Fault::EndlessHeader});  // 10 MB, never read
  auto secure = std::make_unique<TestServer>(testing::TestServerOptions{.https = true});

  int stalled = Dial(server->Port());
  int endless = Dial(server->Port());
  int silent = Dial(server->Port());  // connects and sends nothing
  int noHandshake = Dial(secure->Port());
  ASSERT_TRUE(SendAll(stalled, "GET /stall HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(SendAll(endless, "GET /endless HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(server->WaitForRequests(2));

  // Hang guard only: the destructors must come back at all.
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread([s = std::move(server), t = std::move(secure), done = std::move(done)]() mutable {
    s.reset();
    t.reset();
    done.set_value();
  }).detach();
  ASSERT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready);

  bool timedOut = true;
  EXPECT_EQ(ReadAll(stalled, &timedOut), "");
  EXPECT_FALSE(timedOut);  // closed by the server, not left hanging
  for (int fd : {stalled, endless, silent, noHandshake}) ::close(fd);
}

}  // namespace
}  // namespace zentu
