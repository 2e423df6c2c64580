// TLS client sessions over connected sockets (OpenSSL 3). Certificates are
// checked against the system's CA store plus the files added here.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace zentu::os {

// Trusts the CA certificates of a PEM file (program path) besides the system
// store, for every later handshake. False when the file cannot be read.
[[nodiscard]] bool AddTrustedCaFile(std::string_view path);
// Forgets the added files: later handshakes trust the system store only.
void ResetTrustedCaFiles();

enum class TlsStatus {
  Ok,
  CertificateError,  // the chain or the host name did not verify
  Failed,            // no TLS handshake (not a TLS server, reset, protocol error)
  TimedOut,
};

// Called before the session reads from or writes to the socket: 0 when the
// socket is ready, else an errno (ETIMEDOUT, ECANCELED) that ends the call.
using SocketWait = std::function<int(int fd, bool forWrite)>;

// One client session on a socket it does not own. Reads and writes go
// through send/recv with MSG_NOSIGNAL, so the socket's time-outs apply and a
// closed peer never raises SIGPIPE.
class TlsSession {
 public:
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Handshake on `fd` for `host`; nullptr with `status` and `reason` on failure.
  // `wait` (may be empty) guards every read and write, the handshake's too.
  static std::unique_ptr<TlsSession> Handshake(int fd, std::string_view host, TlsStatus& status,
                                               std::string& reason, SocketWait wait = {});

  // Like Connection::SendAll / Receive; `error` gets errno, `timedOut` is set
  // when the socket's time-out ran out.
  bool WriteAll(std::string_view data, int& error, bool& timedOut);
  long Read(char* buffer, size_t size, int& error, bool& timedOut);
  // For a connection between requests: takes in, without waiting, the
  // records the server sent unasked that carry no data (TLS 1.3 session
  // tickets, key updates). True when nothing else is there: no application
  // data, no close, no error.
  bool TakeIdleRecords();
  // Bytes of a record already read from the socket wait inside the session.
  bool HasPending() const;
  // Sends close_notify (best effort, never waits for the peer's).
  void Shutdown();

 private:
  TlsSession();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zentu::os
