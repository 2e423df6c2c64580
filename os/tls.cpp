#include "os/tls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

#include "os/path.h"

namespace zentu::os {
namespace {

// What the I/O callbacks of one session saw last.
struct BioState {
  int fd = -1;
  SocketWait wait;  // may be empty
  int error = 0;  // errno of the last failed send/recv, 0 after an orderly close
  // Reads and writes that would wait say "retry" instead (the idle check).
  bool nonBlocking = false;
};

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Socket I/O through send/recv with MSG_NOSIGNAL. OpenSSL's own socket BIO
// writes with write(), which raises SIGPIPE on a closed peer; and a time-out
// (EAGAIN from SO_RCVTIMEO) must end the call instead of being retried.
int BioWrite(BIO* bio, const char* data, size_t size, size_t* written) {
  auto* state = static_cast<BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (state->wait && !state->nonBlocking) {
    if (int e = state->wait(state->fd, true); e != 0) {
      state->error = e;
      return 0;
    }
  }
  for (;;) {
    ssize_t n = ::send(state->fd, data, size, MSG_NOSIGNAL | (state->nonBlocking ? MSG_DONTWAIT : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && state->nonBlocking && WouldBlock(errno)) {
      BIO_set_retry_write(bio);
      return 0;
    }
    if (n < 0) {
      state->error = errno;
      return 0;
    }
    *written = static_cast<size_t>(n);
    return 1;
  }
}

int BioRead(BIO* bio, char* data, size_t size, size_t* readBytes) {
  auto* state = static_cast<BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (state->wait && !state->nonBlocking) {
    if (int e = state->wait(state->fd, false); e != 0) {
      state->error = e;
      return 0;
    }
  }
  for (;;) {
    ssize_t n = ::recv(state->fd, data, size, state->nonBlocking ? MSG_DONTWAIT : 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && state->nonBlocking && WouldBlock(errno)) {
      BIO_set_retry_read(bio);
      return 0;
    }
    if (n < 0) {
      state->error = errno;
      return 0;
    }
    if (n == 0) {
      state->error = 0;
      return 0;  // end of stream
    }
    *readBytes = static_cast<size_t>(n);
    return 1;
  }
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

int BioDestroy(BIO*) { return 1; }

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zentu socket");
    if (m != nullptr) {
      BIO_meth_set_write_ex(m, BioWrite);
      BIO_meth_set_read_ex(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_create(m, BioCreate);
      BIO_meth_set_destroy(m, BioDestroy);
    }
    return m;
  }();
  return method;
}

bool IsTimeout(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

// The client context, built on first use and rebuilt when the trusted files
// change; sessions keep their own reference to the context they began with.
std::mutex g_contextMutex;
SSL_CTX* g_context = nullptr;
std::vector<std::string> g_caFiles;  // native paths

bool LoadCaFile(SSL_CTX* ctx, const std::string& nativePath) {
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  bool ok = X509_STORE_load_file(store, nativePath.c_str()) == 1;
  ERR_clear_error();
  return ok;
}

SSL_CTX* AcquireContext() {
  std::lock_guard lock(g_contextMutex);
  if (g_context == nullptr) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx);
    // Many servers close without close_notify; the HTTP layer checks lengths itself.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    for (const std::string& file : g_caFiles) LoadCaFile(ctx, file);
    ERR_clear_error();
    g_context = ctx;
  }
  SSL_CTX_up_ref(g_context);
  return g_context;
}

bool IsIpAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string OpenSslErrorText() {
  unsigned long code = ERR_get_error();
  std::string text;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

}  // namespace

bool AddTrustedCaFile(std::string_view path) {
  auto native = ToNativePath(path);
  if (!native) return false;
  // Check the file before remembering it.
  X509_STORE* probe = X509_STORE_new();
  bool ok = probe != nullptr && X509_STORE_load_file(probe, native->c_str()) == 1;
  X509_STORE_free(probe);
  ERR_clear_error();
  if (!ok) return false;
  std::lock_guard lock(g_contextMutex);
  g_caFiles.push_back(*native);
  if (g_context != nullptr) {
    SSL_CTX_free(g_context);  // sessions under way keep theirs
    g_context = nullptr;
  }
  return true;
}

void ResetTrustedCaFiles() {
  std::lock_guard lock(g_contextMutex);
  g_caFiles.clear();
  if (g_context != nullptr) {
    SSL_CTX_free(g_context);
    g_context = nullptr;
  }
}

struct TlsSession::Impl {
  BioState state;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~Impl() {
    if (ssl != nullptr) SSL_free(ssl);  // frees the BIO too
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }
};

TlsSession::TlsSession() : impl_(std::make_unique<Impl>()) {}
TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Handshake(int fd, std::string_view hostView, TlsStatus& status,
                                                  std::string& reason, SocketWait wait) {
  status = TlsStatus::Failed;
  reason.clear();
  std::unique_ptr<TlsSession> session(new TlsSession);
  Impl& s = *session->impl_;
  s.state.fd = fd;
  s.state.wait = std::move(wait);
  s.ctx = AcquireContext();
  BIO_METHOD* method = SocketBioMethod();
  if (s.ctx == nullptr || method == nullptr || (s.ssl = SSL_new(s.ctx)) == nullptr) {
    reason = "TLS set-up failed";
    ERR_clear_error();
    return nullptr;
  }
  BIO* bio = BIO_new(method);
  if (bio == nullptr) {
    reason = "TLS set-up failed";
    ERR_clear_error();
    return nullptr;
  }
  BIO_set_data(bio, &s.state);
  SSL_set_bio(s.ssl, bio, bio);

  std::string host(hostView);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (IsIpAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), host.c_str());
  } else {
    SSL_set_tlsext_host_name(s.ssl, host.c_str());
    SSL_set1_host(s.ssl, host.c_str());
  }

  s.state.error = 0;
  int r = SSL_connect(s.ssl);
  if (r == 1) {
    status = TlsStatus::Ok;
    ERR_clear_error();
    return session;
  }
  long verify = SSL_get_verify_result(s.ssl);
  if (verify != X509_V_OK) {
    status = TlsStatus::CertificateError;
    reason = X509_verify_cert_error_string(verify);
    ERR_clear_error();
    return nullptr;
  }
  if (IsTimeout(s.state.error)) {
    status = TlsStatus::TimedOut;
    reason = "time-out";
    ERR_clear_error();
    return nullptr;
  }
  reason = OpenSslErrorText();
  if (reason.empty()) {
    reason = s.state.error != 0 ? std::string("connection error: ") + std::strerror(s.state.error)
                                : "the server closed the connection";
  }
  return nullptr;
}

bool TlsSession::WriteAll(std::string_view data, int& error, bool& timedOut) {
  Impl& s = *impl_;
  timedOut = false;
  while (!data.empty()) {
    size_t step = data.size() < (1u << 30) ? data.size() : (1u << 30);
    size_t written = 0;
    s.state.error = 0;
    if (SSL_write_ex(s.ssl, data.data(), step, &written) != 1) {
      error = s.state.error != 0 ? s.state.error : EPIPE;
      timedOut = IsTimeout(s.state.error);
      ERR_clear_error();
      return false;
    }
    data.remove_prefix(written);
  }
  return true;
}

long TlsSession::Read(char* buffer, size_t size, int& error, bool& timedOut) {
  Impl& s = *impl_;
  timedOut = false;
  if (size > INT_MAX) size = INT_MAX;
  s.state.error = 0;
  size_t got = 0;
  if (SSL_read_ex(s.ssl, buffer, size, &got) == 1) return static_cast<long>(got);
  int code = SSL_get_error(s.ssl, 0);
  ERR_clear_error();
  if (code == SSL_ERROR_ZERO_RETURN) return 0;
  if (code == SSL_ERROR_SYSCALL && s.state.error == 0) return 0;  // closed without close_notify
  if (IsTimeout(s.state.error)) {
    timedOut = true;
    error = s.state.error;
    return -1;
  }
  error = s.state.error != 0 ? s.state.error : EPROTO;
  return -1;
}

bool TlsSession::TakeIdleRecords() {
  Impl& s = *impl_;
  s.state.nonBlocking = true;
  s.state.error = 0;
  char byte;
  size_t got = 0;
  // A peek processes every whole record that has come: tickets and key
  // updates are taken in, application data stays buffered, a close is seen.
  const int r = SSL_peek_ex(s.ssl, &byte, 1, &got);
  const int code = r == 1 ? SSL_ERROR_NONE : SSL_get_error(s.ssl, r);
  s.state.nonBlocking = false;
  ERR_clear_error();
  return code == SSL_ERROR_WANT_READ;
}

bool TlsSession::HasPending() const { return SSL_has_pending(impl_->ssl) == 1; }

void TlsSession::Shutdown() {
  if (impl_->ssl != nullptr) {
    SSL_shutdown(impl_->ssl);
    ERR_clear_error();
  }
}

}  // namespace zentu::os
