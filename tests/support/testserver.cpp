#include "tests/support/testserver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "os/text.h"

namespace zentu::testing {
namespace {

constexpr size_t kHeadLimit = 1 << 20;           // request heads beyond this get 431
constexpr size_t kRequestBodyLimit = 64u << 20;  // request bodies are read up to this
constexpr int kDrainMs = 2000;  // how long a closing answer waits for the client's FIN

using os::EqualsNoCase;
using os::StartsWithNoCase;

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// A failed write to a closed peer must come back as EPIPE, not kill the test program.
// OpenSSL writes without MSG_NOSIGNAL, so the server's threads block the signal;
// a pending thread-directed SIGPIPE is dropped when the thread ends.
void BlockSigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Target reduced to origin form: "http://h:p/a?b" -> "/a?b".
std::string OriginForm(std::string_view target) {
  size_t scheme = target.find("://");
  if (scheme == std::string_view::npos ||
      target.substr(0, scheme).find('/') != std::string_view::npos)
    return std::string(target);
  size_t slash = target.find('/', scheme + 3);
  return slash == std::string_view::npos ? "/" : std::string(target.substr(slash));
}

std::string WithoutQuery(std::string_view target) {
  return std::string(target.substr(0, target.find_first_of("?#")));
}

// Exact match of a target against a route path (see Route::path); 0 no match,
// otherwise a rank where longer and exact matches rank higher.
size_t MatchRank(std::string_view routePath, std::string_view target) {
  std::string origin = OriginForm(target);
  if (!routePath.empty() && routePath.back() == '*') {
    std::string_view prefix = routePath.substr(0, routePath.size() - 1);
    return origin.compare(0, prefix.size(), prefix) == 0 ? prefix.size() + 1 : 0;
  }
  if (origin == routePath) return SIZE_MAX;
  if (routePath.find('?') == std::string_view::npos && WithoutQuery(origin) == routePath)
    return SIZE_MAX - 1;
  return 0;
}

const char* Reason(int status) {
  static const std::pair<int, const char*> kReasons[] = {
      {100, "Continue"},
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {203, "Non-Authoritative Information"},
      {204, "No Content"},
      {206, "Partial Content"},
      {300, "Multiple Choices"},
      {301, "Moved Permanently"},
      {302, "Found"},
      {303, "See Other"},
      {304, "Not Modified"},
      {307, "Temporary Redirect"},
      {308, "Permanent Redirect"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {431, "Request Header Fields Too Large"},
      {500, "Internal Server Error"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
  };
  for (const auto& [code, text] : kReasons)
    if (code == status) return text;
  return "Status";
}

TestRequest ParseHead(std::string head) {
  TestRequest req;
  size_t pos = 0;
  bool first = true;
  while (pos < head.size()) {
    size_t end = head.find('\n', pos);
    if (end == std::string::npos) end = head.size();
    std::string_view line(head.data() + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      first = false;
      size_t a = line.find(' ');
      req.method = std::string(line.substr(0, a));
      if (a == std::string_view::npos) continue;
      std::string_view rest = line.substr(a + 1);
      size_t b = rest.find(' ');
      req.target = std::string(rest.substr(0, b));
      if (b != std::string_view::npos) req.protocol = std::string(rest.substr(b + 1));
      continue;
    }
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    req.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  req.head = std::move(head);
  return req;
}

// ---------------------------------------------------------------------------
// Accept thread and one thread per connection. Stop() shuts down every socket a
// connection registered, which wakes any blocked read or write, then joins.
class Listener {
 public:
  using Serve = std::function<void(int fd)>;

  ~Listener() { Stop(); }

  bool Start(Serve serve) {
    serve_ = std::move(serve);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (wakeFd_ < 0 || listenFd_ < 0) return false;
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    if (::listen(listenFd_, SOMAXCONN) != 0) return false;
    socklen_t len = sizeof addr;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
      stopping_ = true;
      for (int fd : tracked_) ::shutdown(fd, SHUT_RDWR);
    }
    sleepCv_.notify_all();
    if (wakeFd_ >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    for (auto& w : workers_) w.thread.join();
    workers_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    listenFd_ = wakeFd_ = -1;
  }

  int Port() const { return port_; }
  bool Stopping() const { return stopping_; }

  // Registers a socket for shutdown on Stop; false when already stopping.
  bool Track(int fd) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    tracked_.insert(fd);
    return true;
  }
  // Must come before the socket is closed, so that Stop never touches a reused number.
  void Untrack(int fd) {
    std::lock_guard lock(mutex_);
    if (auto it = tracked_.find(fd); it != tracked_.end()) tracked_.erase(it);
  }

  // Sleeps ms unless the server stops first; false when stopping.
  bool Sleep(int ms) {
    if (ms <= 0) return !stopping_;
    std::unique_lock lock(mutex_);
    sleepCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
    return !stopping_;
  }

  // poll() on the sockets and the stop signal; returns the poll result (0 timeout),
  // or -1 when stopping.
  int Poll(pollfd* fds, int count, int timeoutMs) {
    std::vector<pollfd> all(fds, fds + count);
    all.push_back({wakeFd_, POLLIN, 0});
    int r;
    do {
      r = ::poll(all.data(), all.size(), timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (stopping_ || (all.back().revents & POLLIN)) return -1;
    for (int i = 0; i < count; ++i) fds[i].revents = all[i].revents;
    return r;
  }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop() {
    BlockSigpipe();
    for (;;) {
      pollfd p{listenFd_, POLLIN, 0};
      int r = Poll(&p, 1, 1000);
      if (r < 0) break;
      Reap();
      if (r == 0) continue;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) Sleep(50);  // let connections end
        continue;
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (!Track(fd)) {
        ::close(fd);
        break;
      }
      auto done = std::make_shared<std::atomic<bool>>(false);
      try {
        workers_.push_back({std::thread([this, fd, done] {
                              BlockSigpipe();
                              serve_(fd);
                              Untrack(fd);
                              ::close(fd);
                              *done = true;
                            }),
                            done});
      } catch (const std::system_error&) {
        // Out of threads: drop this connection, as an overloaded server would.
        Untrack(fd);
        ::close(fd);
      }
    }
  }

  // Joins connection threads that have finished, so long tests do not pile them up.
  void Reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (*it->done) {
        it->thread.join();
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }

  Serve serve_;
  int listenFd_ = -1;
  int wakeFd_ = -1;  // eventfd, readable once stopping
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  bool stopped_ = false;
  std::mutex mutex_;
  std::condition_variable sleepCv_;
  std::multiset<int> tracked_;
  std::list<Worker> workers_;  // only the accept thread touches it until Stop joins that
  std::thread acceptThread_;
};

// One accepted connection, plain or TLS.
class Conn {
 public:
  Conn(Listener& listener, int fd, SSL* ssl) : listener_(listener), fd_(fd), ssl_(ssl) {}

  // Bytes read; 0 when the peer closed, on error, or once the server stops.
  size_t Read(char* buffer, size_t size) {
    if (ssl_ != nullptr) {
      int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, size, 0);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return 0;
    }
  }

  bool Write(std::string_view data) {
    while (!data.empty()) {
      if (listener_.Stopping()) return false;
      size_t step = std::min<size_t>(data.size(), 1 << 20);
      if (ssl_ != nullptr) {
        int w = SSL_write(ssl_, data.data(), static_cast<int>(step));
        if (w <= 0) return false;
        data.remove_prefix(static_cast<size_t>(w));
        continue;
      }
      ssize_t n = ::send(fd_, data.data(), step, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Reads up to and including the blank line. rest receives bytes read beyond it.
  // Returns 1 with a head, 0 when the peer closed first, -1 when the head is too long.
  int ReadHead(std::string& head, std::string& rest) {
    std::string data;
    char buffer[8192];
    for (;;) {
      size_t from = data.size() < 3 ? 0 : data.size() - 3;
      size_t n = Read(buffer, sizeof buffer);
      if (n == 0) return 0;
      data.append(buffer, n);
      size_t crlf = data.find("\r\n\r\n", from);
      size_t lf = data.find("\n\n", from);
      size_t end = std::string::npos;
      if (crlf != std::string::npos) end = crlf + 4;
      if (lf != std::string::npos && (end == std::string::npos || lf + 2 < end)) end = lf + 2;
      if (end != std::string::npos) {
        head = data.substr(0, end);
        rest = data.substr(end);
        return 1;
      }
      if (data.size() > kHeadLimit) return -1;
    }
  }

  // Waits, discarding whatever arrives, until the peer closes or the server stops.
  void StallUntilClosed() {
    char buffer[4096];
    while (Read(buffer, sizeof buffer) > 0) {
    }
  }

  // Ends the answer: close_notify, FIN, then a short wait for the client to close,
  // so that unread request bytes cannot turn the close into a reset that loses the answer.
  void Finish() {
    if (ssl_ != nullptr) SSL_shutdown(ssl_);
    ::shutdown(fd_, SHUT_WR);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
    char buffer[4096];
    for (;;) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      if (listener_.Poll(&p, 1, left) <= 0) return;
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0 && !(n < 0 && errno == EINTR)) return;
    }
  }

 private:
  Listener& listener_;
  int fd_;
  SSL* ssl_;
};

std::string EncodeChunked(std::string_view body) {
  std::string out;
  size_t piece = body.size() / 3 + 1;
  for (size_t at = 0; at < body.size(); at += piece) {
    std::string_view chunk = body.substr(at, piece);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    out += size;
    out += chunk;
    out += "\r\n";
  }
  out += "0\r\n\r\n";
  return out;
}

std::string Garbage(size_t size) {
  std::string out(size, '\0');
  uint32_t state = 0x2545F491u;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    out[i] = static_cast<char>(state >> 24);
  }
  // Never "HTTP" nor "<" at the start: this must not pass for any kind of answer.
  const char start[] = {'\0', '\x8F', '\xFF', '\x01'};
  for (size_t i = 0; i < size && i < sizeof start; ++i) out[i] = start[i];
  return out;
}

bool HasHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& h : headers)
    if (EqualsNoCase(h.first, name)) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// TestRequest

std::string TestRequest::Header(std::string_view name) const {
  for (const auto& h : headers)
    if (EqualsNoCase(h.first, name)) return h.second;
  return {};
}

bool TestRequest::HasHeader(std::string_view name) const { return HeaderCount(name) > 0; }

size_t TestRequest::HeaderCount(std::string_view name) const {
  return static_cast<size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto& h) { return EqualsNoCase(h.first, name); }));
}

std::string TestRequest::Path() const { return WithoutQuery(OriginForm(target)); }

// ---------------------------------------------------------------------------
// TestServer

struct TestServer::Impl {
  TestServerOptions options;
  Listener listener;
  SSL_CTX* ctx = nullptr;
  std::atomic<int> delayMs{0};
  std::atomic<size_t> connections{0}, handshakeFailures{0};
  mutable std::mutex mutex;  // routes and requests
  mutable std::condition_variable requestCv;
  std::vector<Route> routes;
  std::vector<TestRequest> requests;
  size_t ticketsSent = 0;

  ~Impl() {
    listener.Stop();
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }

  bool MakeContext() {
    const TestCert& cert = GetTestCa().Cert(options.cert);
    ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) return false;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    BIO* certBio = BIO_new_mem_buf(cert.certPem.data(), static_cast<int>(cert.certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(cert.keyPem.data(), static_cast<int>(cert.keyPem.size()));
    X509* x509 = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    bool ok = x509 != nullptr && key != nullptr && SSL_CTX_use_certificate(ctx, x509) == 1 &&
              SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    X509_free(x509);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    return ok;
  }

  void Serve(int fd) {
    ++connections;
    SSL* ssl = nullptr;
    if (ctx != nullptr) {
      ssl = SSL_new(ctx);
      if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1) {
        ++handshakeFailures;
        SSL_free(ssl);
        ERR_clear_error();
        return;
      }
    }
    Conn conn(listener, fd, ssl);
    size_t answered = 0;
    while (Answer(conn)) {
      if (ssl != nullptr && options.ticketAfterAnswer && SSL_version(ssl) == TLS1_3_VERSION &&
          SSL_new_session_ticket(ssl) == 1 && SSL_do_handshake(ssl) == 1) {
        {
          std::lock_guard lock(mutex);
          ++ticketsSent;
        }
        requestCv.notify_all();
      }
      if (options.dropAfter != 0 && ++answered >= options.dropAfter) {
        // The next request arrives as the server gives the connection up: it
        // is read, never answered nor recorded, and the connection closes.
        std::string head, rest;
        (void)conn.ReadHead(head, rest);
        break;
      }
    }
    SSL_free(ssl);
    ERR_clear_error();
  }

  void Record(const TestRequest& req) {
    {
      std::lock_guard lock(mutex);
      requests.push_back(req);
    }
    requestCv.notify_all();
  }

  // One request and its answer; true when the connection stays open for another.
  bool Answer(Conn& conn) {
    std::string head, rest;
    int got = conn.ReadHead(head, rest);
    if (got == 0) return false;
    if (got < 0) {
      Send(conn, "GET", Route{.status = 431, .body = "request head too long\n"}, {});
      return false;
    }
    TestRequest req = ParseHead(std::move(head));
    if (std::string length = req.Header("Content-Length"); !length.empty()) {
      size_t want = std::min<size_t>(std::strtoull(length.c_str(), nullptr, 10), kRequestBodyLimit);
      req.body = std::move(rest);
      char buffer[8192];
      while (req.body.size() < want) {
        size_t n = conn.Read(buffer, std::min(sizeof buffer, want - req.body.size()));
        if (n == 0) break;
        req.body.append(buffer, n);
      }
      if (req.body.size() > want) req.body.resize(want);
    }
    Record(req);

    Route route;
    bool found = false, otherMethod = false;
    {
      std::lock_guard lock(mutex);
      size_t best = 0;
      for (const Route& r : routes) {
        size_t rank = MatchRank(r.path, req.target);
        if (rank == 0) continue;
        if (!r.method.empty() && r.method != req.method) {
          otherMethod = true;
          continue;
        }
        if (rank > best) {
          best = rank;
          route = r;
          found = true;
        }
      }
    }
    if (!found) {
      route = otherMethod ? Route{.status = 405,
                                  .headers = {{"Content-Type", "text/plain"}},
                                  .body = "Method Not Allowed\n"}
                          : Route{.status = 404,
                                  .headers = {{"Content-Type", "text/html"}},
                                  .body = "<html><body><h1>404 Not Found</h1></body></html>\n"};
    }
    if (!listener.Sleep(delayMs + route.delayMs)) return false;
    return Send(conn, req.method, route, req);
  }

  static bool AsksKeepAlive(const TestRequest& req) {
    std::string connection = req.Header("Connection");
    for (char& c : connection) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (connection.find("close") != std::string::npos) return false;
    return req.protocol == "HTTP/1.1" || connection.find("keep-alive") != std::string::npos;
  }

  // True when the connection stays open for the next request.
  bool Send(Conn& conn, const std::string& method, const Route& route, const TestRequest& req) {
    const bool keep = options.keepAlive && route.fault == Fault::None && AsksKeepAlive(req);
    TestResponse res{route.status, route.reason, route.headers, route.body, route.framing};
    if (route.handler) route.handler(req, res);

    const std::string port = std::to_string(listener.Port());
    ReplaceAll(res.body, "{{port}}", port);
    for (auto& h : res.headers) ReplaceAll(h.second, "{{port}}", port);
    std::string statusLine = route.statusLine;
    ReplaceAll(statusLine, "{{port}}", port);

    switch (route.fault) {
      case Fault::Stall:
        conn.StallUntilClosed();
        return false;
      case Fault::Garbage:
        if (conn.Write(Garbage(route.faultSize ? route.faultSize : 1024))) conn.Finish();
        return false;
      case Fault::Raw:
        if (conn.Write(res.body)) conn.Finish();
        return false;
      case Fault::EndlessHeader:
        SendEndlessHeader(conn, statusLine, route.faultSize ? route.faultSize : 10u << 20);
        return false;
      case Fault::MalformedStatus:
        if (statusLine.empty()) statusLine = "HTTP/1.1 " + std::to_string(res.status) + "OK";
        break;
      case Fault::LongHeaderLine: {
        size_t line = std::max<size_t>(route.faultSize ? route.faultSize : 8192, 9);
        res.headers.emplace_back("X-Long", std::string(line - 8, 'a'));
        break;
      }
      case Fault::LongLocation: {
        std::string value = "http://127.0.0.1:" + port + "/";
        size_t want = route.faultSize ? route.faultSize : 4096;
        if (value.size() < want) value.append(want - value.size(), 'a');
        std::erase_if(res.headers, [](const auto& h) { return EqualsNoCase(h.first, "Location"); });
        res.headers.emplace_back("Location", value);
        break;
      }
      default:
        break;
    }

    if (route.fault == Fault::EndlessChunked) res.framing = Framing::Chunked;
    std::string body = res.framing == Framing::Chunked ? EncodeChunked(res.body) : res.body;
    std::string out = statusLine.empty()
                          ? "HTTP/1.1 " + std::to_string(res.status) + " " +
                                (res.reason.empty() ? Reason(res.status) : res.reason)
                          : statusLine;
    out += "\r\n";
    for (const auto& [name, value] : res.headers) out += name + ": " + value + "\r\n";
    if (res.framing == Framing::Length && !HasHeader(res.headers, "Content-Length"))
      out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
    if (res.framing == Framing::Chunked && !HasHeader(res.headers, "Transfer-Encoding"))
      out += "Transfer-Encoding: chunked\r\n";
    if (!HasHeader(res.headers, "Connection")) out += keep ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    const bool head = method == "HEAD";

    switch (route.fault) {
      case Fault::Drip:
        if (!conn.Write(out) || head) return false;
        for (char c : body) {
          if (!listener.Sleep(route.faultSize ? static_cast<int>(route.faultSize) : 100)) return false;
          if (!conn.Write(std::string_view(&c, 1))) return false;
        }
        conn.Finish();
        return false;
      case Fault::EndlessChunked: {
        if (head) break;
        const size_t piece = route.faultSize ? route.faultSize : 65536;
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", piece);
        const std::string chunk = size + std::string(piece, 'x') + "\r\n";
        if (!conn.Write(out)) return false;
        while (conn.Write(chunk)) {
        }
        return false;
      }
      case Fault::StallAfterHead:
        if (conn.Write(out)) conn.StallUntilClosed();
        return false;
      case Fault::StallMidBody:
        if (!head) out += body.substr(0, body.size() / 2);
        if (conn.Write(out)) conn.StallUntilClosed();
        return false;
      case Fault::CloseMidBody:
        if (!head) out += body.substr(0, body.size() / 2);
        break;
      default:
        if (!head) out += body;
        break;
    }
    if (!conn.Write(out)) return false;
    if (keep) return true;
    conn.Finish();
    return false;
  }

  void SendEndlessHeader(Conn& conn, std::string statusLine, size_t limit) {
    if (statusLine.empty()) statusLine = "HTTP/1.1 200 OK";
    if (!conn.Write(statusLine + "\r\n")) return;
    std::string block;
    size_t sent = statusLine.size() + 2, line = 0;  // the limit counts the whole head
    while (sent < limit) {
      block.clear();
      while (block.size() < 65536) {
        char name[40];
        std::snprintf(name, sizeof name, "X-Filler-%08zu: ", ++line);
        block += name;
        block.append(80, 'f');
        block += "\r\n";
      }
      if (block.size() > limit - sent) block.resize(limit - sent);
      if (!conn.Write(block)) return;
      sent += block.size();
    }
    conn.Finish();
  }
};

TestServer::TestServer(TestServerOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = options;
  impl_->delayMs = options.delayMs;
  if (options.https && !impl_->MakeContext()) {
    ADD_FAILURE() << "test server: TLS context could not be made";
    return;
  }
  if (!impl_->listener.Start([impl = impl_.get()](int fd) { impl->Serve(fd); }))
    ADD_FAILURE() << "test server: cannot listen on 127.0.0.1: " << std::strerror(errno);
}

TestServer::~TestServer() = default;

int TestServer::Port() const { return impl_->listener.Port(); }
bool TestServer::Https() const { return impl_->options.https; }

std::string TestServer::Url(std::string_view path) const {
  return std::string(Https() ? "https" : "http") + "://127.0.0.1:" + std::to_string(Port()) +
         std::string(path);
}

void TestServer::Add(Route route) {
  std::lock_guard lock(impl_->mutex);
  for (Route& r : impl_->routes) {
    if (r.path == route.path && r.method == route.method) {
      r = std::move(route);
      return;
    }
  }
  impl_->routes.push_back(std::move(route));
}

void TestServer::AddPage(std::string path, std::string body, std::string contentType) {
  Add(Route{.path = std::move(path),
            .headers = {{"Content-Type", std::move(contentType)}},
            .body = std::move(body)});
}

void TestServer::ClearRoutes() {
  std::lock_guard lock(impl_->mutex);
  impl_->routes.clear();
}

void TestServer::SetDelay(int ms) { impl_->delayMs = ms; }

std::vector<TestRequest> TestServer::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

size_t TestServer::RequestCount(std::string_view path) const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<size_t>(std::count_if(
      impl_->requests.begin(), impl_->requests.end(),
      [&](const TestRequest& r) { return !path.empty() && MatchRank(path, r.target) != 0; }));
}

size_t TestServer::RequestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests.size();
}

void TestServer::ClearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

bool TestServer::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->requestCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return impl_->requests.size() >= count; });
}

bool TestServer::WaitForTickets(size_t count, int timeoutMs) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->requestCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return impl_->ticketsSent >= count; });
}

size_t TestServer::Connections() const { return impl_->connections; }
size_t TestServer::HandshakeFailures() const { return impl_->handshakeFailures; }

// ---------------------------------------------------------------------------
// TestProxy

struct TestProxy::Impl {
  Listener listener;
  mutable std::mutex mutex;
  std::vector<TestRequest> requests;
  size_t ticketsSent = 0;

  ~Impl() { listener.Stop(); }

  static void Reply(Conn& conn, int status, std::string_view text) {
    std::string out =
        "HTTP/1.0 " + std::to_string(status) + " " + Reason(status) +
        "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
        "\r\nConnection: close\r\n\r\n";
    out += text;
    if (conn.Write(out)) conn.Finish();
  }

  // Connected socket to 127.0.0.1:port, registered with the listener; -1 on failure.
  int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!listener.Track(fd)) {
      ::close(fd);
      return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      listener.Untrack(fd);
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Copies bytes both ways until both sides have closed, or an error, or the stop.
  void Relay(int a, int b) {
    bool open[2] = {true, true};  // a->b, b->a
    char buffer[16384];
    while (open[0] || open[1]) {
      // A finished direction is left out (negative fd), so a reset socket cannot spin the loop.
      pollfd p[2] = {{open[0] ? a : -1, POLLIN, 0}, {open[1] ? b : -1, POLLIN, 0}};
      if (listener.Poll(p, 2, -1) < 0) return;
      for (int i = 0; i < 2; ++i) {
        if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        int from = i == 0 ? a : b, to = i == 0 ? b : a;
        ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        if (n == 0) {
          open[i] = false;
          ::shutdown(to, SHUT_WR);
          continue;
        }
        for (ssize_t done = 0; done < n;) {
          ssize_t w = ::send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) return;
          done += w;
        }
      }
    }
  }

  void Serve(int fd) {
    Conn conn(listener, fd, nullptr);
    std::string head, rest;
    int got = conn.ReadHead(head, rest);
    if (got == 0) return;
    if (got < 0) return Reply(conn, 431, "request head too long\n");
    TestRequest req = ParseHead(head);
    {
      std::lock_guard lock(mutex);
      requests.push_back(req);
    }

    const bool tunnel = req.method == "CONNECT";
    std::string authority, path = "/";
    if (tunnel) {
      authority = req.target;
    } else if (StartsWithNoCase(req.target, "http://")) {
      std::string_view t = std::string_view(req.target).substr(7);
      size_t slash = t.find('/');
      authority = std::string(t.substr(0, slash));
      if (slash != std::string_view::npos) path = std::string(t.substr(slash));
    } else {
      return Reply(conn, 400, "absolute-form request or CONNECT expected\n");
    }
    std::string host = authority;
    int port = tunnel ? 443 : 80;
    if (size_t colon = authority.rfind(':'); colon != std::string::npos) {
      host = authority.substr(0, colon);
      port = std::atoi(authority.c_str() + colon + 1);
    }
    if (host != "127.0.0.1" && !EqualsNoCase(host, "localhost"))
      return Reply(conn, 403, "this proxy forwards to 127.0.0.1 only\n");
    int up = port > 0 && port < 65536 ? Connect(port) : -1;
    if (up < 0) return Reply(conn, 502, "cannot connect\n");

    bool sent;
    if (tunnel) {
      sent = conn.Write("HTTP/1.0 200 Connection established\r\n\r\n");
    } else {
      // Same request in origin form; the rest of the head goes on unchanged.
      size_t lineEnd = head.find('\n');
      std::string out = req.method + " " + path + (req.protocol.empty() ? "" : " " + req.protocol) +
                        "\r\n" +
                        head.substr(lineEnd == std::string::npos ? head.size() : lineEnd + 1);
      sent = SendAll(up, out);
    }
    if (sent && SendAll(up, rest)) Relay(fd, up);
    listener.Untrack(up);
    ::close(up);
  }

  static bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
};

TestProxy::TestProxy() : impl_(std::make_unique<Impl>()) {
  if (!impl_->listener.Start([impl = impl_.get()](int fd) { impl->Serve(fd); }))
    ADD_FAILURE() << "test proxy: cannot listen on 127.0.0.1: " << std::strerror(errno);
}

TestProxy::~TestProxy() = default;

int TestProxy::Port() const { return impl_->listener.Port(); }

std::vector<TestRequest> TestProxy::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

size_t TestProxy::RequestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests.size();
}

}  // namespace zentu::testing
