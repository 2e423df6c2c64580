// TCP connections for the HTTP client: name resolution (IPv4 and IPv6), a
// connect that gives up after the time-out, send and receive time-outs, and
// TLS on top when asked. Nothing else in the program touches sockets.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "os/tls.h"

struct addrinfo;

namespace zentu::os {

// Process-wide socket set-up: a write to a connection the peer has closed
// must come back as an error, never as SIGPIPE. Harmless to call twice.
bool StartSockets();
void StopSockets();

// Replaces getaddrinfo for name look-ups (nullptr restores it): tests use it
// to stand in for a name server that does not answer.
using NameLookup = int (*)(const char* host, const char* service, const ::addrinfo* hints, ::addrinfo** result);
void SetNameLookupForTesting(NameLookup lookup);

// The text for an error code of a Connection: errno values and, as negative
// numbers, the codes of name resolution.
std::string SocketErrorText(int code);

// Lets one thread end the transfers of others at once: every connection that
// watches it wakes from its wait when Stop is called, and fails until Reset.
class TransferStop {
 public:
  TransferStop();
  ~TransferStop();
  TransferStop(const TransferStop&) = delete;
  TransferStop& operator=(const TransferStop&) = delete;

  void Stop();
  void Reset();
  bool Stopped() const { return stopped_.load(); }
  // Readable while stopped (an eventfd); -1 when none could be made, and the
  // waits then only see the flag at their next wake-up.
  int Handle() const { return fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> stopped_{false};
};

enum class ConnectStatus {
  Ok,
  NoSocket,             // the socket could not be made
  SendTimeoutFailed,    // setsockopt(SO_SNDTIMEO)
  ReceiveTimeoutFailed, // setsockopt(SO_RCVTIMEO)
  HostNotFound,
  ConnectFailed,        // refused, unreachable, or no answer within the time-out
};

// One TCP connection, plain or TLS. Move-only; the destructor closes it.
class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;

  // The stop whose Stop ends this connection's waits at once (nullptr: none).
  // Set before Connect; kept across Close.
  void WatchStop(const TransferStop* stop);
  // No wait of this connection goes past `deadline`, however steadily bytes
  // trickle in: the bound of a whole transfer. Kept across Close.
  void LimitTransfer(std::chrono::steady_clock::time_point deadline);

  // Resolves `host` (a name, a dotted IPv4 address or an IPv6 address, with or
  // without brackets) and connects to the first address that answers. Every
  // later send and receive waits at most `timeoutMs`; the connect as a whole
  // (all addresses together) too; 0 is no time-out at all. On failure Error()
  // holds the cause.
  ConnectStatus Connect(std::string_view host, int port, int timeoutMs);

  // Runs a TLS handshake over the connected socket: SNI, the certificate chain
  // against the trusted store (os/tls.h) and the host name (or IP address).
  // On failure `reason` says why, in English.
  TlsStatus StartTls(std::string_view host, std::string& reason);

  bool IsOpen() const { return fd_ >= 0; }
  bool IsTls() const { return tls_ != nullptr; }

  // Every send and receive waits at most the time-out for the next byte: a
  // peer that goes quiet ends the transfer after that long.
  // Sends every byte; false on an error or a time-out.
  [[nodiscard]] bool SendAll(std::string_view data);
  // Bytes received (> 0), 0 when the peer has closed, -1 on an error or a
  // time-out (TimedOut() tells which).
  long Receive(char* buffer, size_t size);

  // Code of the last failure (errno, or a negative resolver code); 0 = none.
  int Error() const { return error_; }
  bool TimedOut() const { return timedOut_; }
  // The last failure came from the watched stop, or from the transfer's deadline.
  bool Stopped() const;
  bool OverLimit() const;

  // An idle connection that can take another request: open, nothing waiting
  // to be read (a kept connection that turns readable was closed by the peer,
  // or holds bytes no request asked for), no error. TLS records that carry
  // no data (session tickets) are read and kept, not taken for a close.
  bool LooksIdle();

  // Shuts both directions down and closes the socket.
  void Close();

 private:
  int fd_ = -1;
  int error_ = 0;
  bool timedOut_ = false;
  std::unique_ptr<TlsSession> tls_;
  // On the heap, so the TLS session's wait callback stays valid when the
  // connection is moved.
  struct Waits;
  std::shared_ptr<Waits> waits_;
};

}  // namespace zentu::os
