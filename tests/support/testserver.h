// An in-process HTTP/HTTPS server and a tiny forward proxy for network tests.
//
// The server binds 127.0.0.1 on a port the system picks, answers from a route
// table, can misbehave on purpose, and records every request it got. Each
// connection carries one request and is closed after the answer, unless the
// server keeps connections alive (options.keepAlive). The destructor
// shuts every socket down and joins every thread, even while a client still
// holds a connection open.
//
//   TestServer server;  // or TestServer server({.https = true}) with GetTestCa().caFile
//   server.AddPage("/index.html", "<img src=\"http://127.0.0.1:{{port}}/a.png\">");
//   server.Add({.path = "/a.png", .headers = {{"Content-Type", "image/png"}}, .body = png});
//   server.Add({.path = "/slow", .fault = Fault::StallAfterHead});
//   ... fetch server.Url("/index.html") ...
//   EXPECT_EQ(server.RequestCount("/a.png"), 1u);
//   EXPECT_EQ(server.Requests()[0].Header("user-agent"), "Zentu/0.99");
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/testca.h"

namespace zentu::testing {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server (or proxy) read it.
struct TestRequest {
  std::string method{};    // "GET"
  std::string target{};    // as sent: "/a/b.html?x=1" or "http://127.0.0.1:8080/a"
  std::string protocol{};  // "HTTP/1.0"; empty when the request line had none
  HeaderList headers{};    // in the order received, names as sent
  std::string head{};      // raw bytes of the request line and headers, blank line included
  std::string body{};      // the body when the request announced a Content-Length

  // Value of the first header of that name (any case), "" when missing.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // Number of headers of that name (any case).
  size_t HeaderCount(std::string_view name) const;
  // Target without query; an absolute-form target is reduced to its path.
  std::string Path() const;
};

// How the body of an answer ends.
enum class Framing {
  Length,   // Content-Length (unless the route's headers already carry one)
  Close,    // no Content-Length: the body ends when the connection closes
  Chunked,  // Transfer-Encoding: chunked, the body split into a few chunks
};

// Scripted misbehaviour of a route.
enum class Fault {
  None,
  Stall,            // send nothing until the client gives up or the server stops
  StallAfterHead,   // send the head, then stall
  StallMidBody,     // send the head and half of the body, then stall
  CloseMidBody,     // announce the whole body, send half of it, close
  EndlessHeader,    // status line, then header lines up to faultSize bytes (10 MB)
                    // or until the client closes; the head never ends
  Garbage,          // faultSize (1024) bytes of binary garbage instead of a status line
  Raw,              // the body exactly as given, with no status line or headers
  MalformedStatus,  // "HTTP/1.1 200OK" instead of a sound status line (or statusLine)
  LongHeaderLine,   // an extra header line "X-Long: aaa..." of faultSize (8192) bytes
  LongLocation,     // a Location header whose value is faultSize (4096) characters
  Drip,             // the head, then the body one byte every faultSize (100) ms
  EndlessChunked,   // a chunked head, then chunks of faultSize (65536) bytes for ever
};

// The answer, as a handler sees and changes it.
struct TestResponse {
  int status = 200;
  std::string reason{};  // empty: the usual phrase for the status
  HeaderList headers{};
  std::string body{};
  Framing framing = Framing::Length;
};

struct Route {
  // Exact match of the request target, or of its path when this has no query;
  // a trailing "*" makes it a prefix.
  std::string path{};
  std::string method{};  // empty: any method
  int status = 200;
  std::string reason{};
  HeaderList headers{};
  std::string body{};
  Framing framing = Framing::Length;
  int delayMs = 0;  // wait before answering (on top of the server's delay)
  Fault fault = Fault::None;
  size_t faultSize = 0;      // size parameter of the fault; 0 takes the default
  std::string statusLine{};  // when set, sent verbatim (without CR LF) as the first line
  // Dynamic answers: called with the request and the answer prefilled from the
  // fields above. Runs on connection threads, possibly several at once.
  std::function<void(const TestRequest&, TestResponse&)> handler{};
};

struct TestServerOptions {
  bool https = false;
  TestCertKind cert = TestCertKind::Good;  // the certificate an HTTPS server shows
  int delayMs = 0;                         // answer every request after this many ms
  // Keeps a connection open for the next request when the client asks for it
  // (HTTP/1.1, or "Connection: keep-alive"); otherwise each answer closes it.
  bool keepAlive = false;
  // With keepAlive: after this many answers on one connection the server reads
  // the next request and drops the connection without an answer, as a server
  // does that gives up an idle connection just as a request comes (0 = never).
  size_t dropAfter = 0;
  // With https and keepAlive: a TLS 1.3 session ticket follows every kept
  // answer, as servers do that issue tickets once the answer is out.
  bool ticketAfterAnswer = false;
};

// "{{port}}" in bodies, header values and status lines becomes the server's port.
class TestServer {
 public:
  explicit TestServer(TestServerOptions options = {});
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int Port() const;
  bool Https() const;
  // "http://127.0.0.1:<port>" + path (https for an HTTPS server).
  std::string Url(std::string_view path = "/") const;

  // Adds a route; one with the same path and method is replaced.
  void Add(Route route);
  // Shorthand for a 200 answer with a Content-Type.
  void AddPage(std::string path, std::string body, std::string contentType = "text/html");
  void ClearRoutes();
  // Delay before every answer; may change while the server runs.
  void SetDelay(int ms);

  // Every complete request head received, in arrival order.
  std::vector<TestRequest> Requests() const;
  // Requests that a route of this path would match (a trailing "*" counts a prefix).
  size_t RequestCount(std::string_view path) const;
  size_t RequestCount() const;
  void ClearRequests();
  // Waits until at least count requests arrived (or timeoutMs passed); true when they did.
  bool WaitForRequests(size_t count, int timeoutMs = 10000) const;
  // Accepted connections and failed TLS handshakes so far.
  size_t Connections() const;
  size_t HandshakeFailures() const;
  // Waits until at least count tickets of ticketAfterAnswer were sent (or timeoutMs passed).
  bool WaitForTickets(size_t count, int timeoutMs = 10000) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A forward proxy for tests: absolute-form requests ("GET http://host:port/path
// HTTP/1.0") and CONNECT tunnels, forwarded to 127.0.0.1 only (other hosts get
// 403, unreachable ports 502). Absolute-form targets are passed on in origin form.
class TestProxy {
 public:
  TestProxy();
  ~TestProxy();
  TestProxy(const TestProxy&) = delete;
  TestProxy& operator=(const TestProxy&) = delete;

  int Port() const;
  // Every request head the proxy got (CONNECT included), in arrival order.
  std::vector<TestRequest> Requests() const;
  size_t RequestCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zentu::testing
