#include "os/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace zentu::os {
namespace {

bool IsTimeoutError(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

bool SetTimeout(int fd, int option, int timeoutMs) {
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

// A name look-up bounded by a deadline. getaddrinfo has no time-out of its own
// (a dead name server holds it for half a minute and more), so it runs on a
// thread of its own; one that outlives the deadline finishes on its own and
// frees its answer.
std::atomic<NameLookup> g_lookup{nullptr};

int LookUp(const std::string& host, const std::string& service, const addrinfo& hints, addrinfo** list) {
  NameLookup f = g_lookup.load();
  return f ? f(host.c_str(), service.c_str(), &hints, list) : ::getaddrinfo(host.c_str(), service.c_str(), &hints, list);
}

struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int result = EAI_AGAIN;
  int error = 0;
  addrinfo* list = nullptr;
  ~Lookup() {
    if (list) ::freeaddrinfo(list);
  }
};

}  // namespace

void SetNameLookupForTesting(NameLookup lookup) { g_lookup = lookup; }

namespace {

bool IsAddressLiteral(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// getaddrinfo's result code; `timedOut` when the deadline passed first.
int Resolve(const std::string& host, const std::string& service, const addrinfo& hints,
            std::chrono::steady_clock::time_point deadline, addrinfo** list, int* error, bool* timedOut) {
  *timedOut = false;
  if (IsAddressLiteral(host)) {
    const int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, list);
    *error = errno;
    return r;
  }
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host, service, hints] {
      addrinfo* answer = nullptr;
      const int r = LookUp(host, service, hints, &answer);
      const int e = errno;
      std::lock_guard lock(lookup->mutex);
      lookup->result = r;
      lookup->error = e;
      lookup->list = answer;
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: look up here, without the bound.
    const int r = LookUp(host, service, hints, list);
    *error = errno;
    return r;
  }
  std::unique_lock lock(lookup->mutex);
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    lookup->done.wait(lock, [&] { return lookup->finished; });
  } else if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
    *timedOut = true;
    *error = ETIMEDOUT;
    return EAI_AGAIN;
  }
  *list = lookup->list;
  lookup->list = nullptr;  // the caller frees it
  *error = lookup->error;
  return lookup->result;
}

bool SetBlocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

// connect() on a non-blocking socket, waiting at most `waitMs` (-1: as long as
// it takes); 0 or an errno. A readable `stopFd` ends the wait with ECANCELED.
int ConnectWithin(int fd, const sockaddr* address, socklen_t length, int waitMs, int stopFd) {
  if (!SetBlocking(fd, false)) return errno;
  int error = 0;
  if (::connect(fd, address, length) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (waitMs >= 0 && left.count() <= 0) {
          error = ETIMEDOUT;
          break;
        }
        int r = ::poll(p, stopFd >= 0 ? 2 : 1, waitMs < 0 ? -1 : static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
          error = errno;
          break;
        }
        if (r == 0) {
          error = ETIMEDOUT;
          break;
        }
        if (p[0].revents == 0) {
          error = ECANCELED;
          break;
        }
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        break;
      }
    }
  }
  if (error == 0 && !SetBlocking(fd, true)) error = errno;
  return error;
}

}  // namespace

struct Connection::Waits {
  const TransferStop* stop = nullptr;
  int idleMs = 60000;  // 0: no time-out, only the deadline and the stop
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  bool stopped = false;    // the last wait ended by the stop
  bool overLimit = false;  // the last wait ended by the deadline

  // Waits until fd is ready for `events`: 0, or ETIMEDOUT (quiet for idleMs,
  // or the deadline passed) or ECANCELED (stopped).
  int Wait(int fd, short events) {
    stopped = overLimit = false;
    const auto idleEnd = idleMs > 0 ? std::chrono::steady_clock::now() + std::chrono::milliseconds(idleMs)
                                    : std::chrono::steady_clock::time_point::max();
    for (;;) {
      if (stop != nullptr && stop->Stopped()) {
        stopped = true;
        return ECANCELED;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        overLimit = true;
        return ETIMEDOUT;
      }
      const auto end = std::min(idleEnd, deadline);
      if (now >= end) return ETIMEDOUT;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1;
      pollfd p[2] = {{fd, events, 0}, {stop != nullptr ? stop->Handle() : -1, POLLIN, 0}};
      const int r = ::poll(p, p[1].fd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
      if (r < 0 && errno != EINTR) return errno;
      if (r > 0 && p[0].revents != 0) return 0;  // ready, or an error recv/send will report
    }
  }
};

TransferStop::TransferStop() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TransferStop::~TransferStop() {
  if (fd_ >= 0) ::close(fd_);
}

void TransferStop::Stop() {
  stopped_ = true;
  if (fd_ >= 0) {
    const uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
  }
}

void TransferStop::Reset() {
  stopped_ = false;
  if (fd_ >= 0) {
    uint64_t count = 0;
    (void)!::read(fd_, &count, sizeof count);
  }
}

bool StartSockets() {
  // MSG_NOSIGNAL covers our own sends; this also covers any library that writes
  // to a socket on its own.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

void StopSockets() {}

std::string SocketErrorText(int code) {
  if (code < 0) return gai_strerror(code);
  char buffer[256];
  // GNU strerror_r returns the text (which may not be in buffer).
  return strerror_r(code, buffer, sizeof buffer);
}

Connection::Connection() : waits_(std::make_shared<Waits>()) {}

Connection::~Connection() { Close(); }

Connection::Connection(Connection&& other) noexcept : waits_(std::make_shared<Waits>()) { *this = std::move(other); }

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    error_ = other.error_;
    timedOut_ = other.timedOut_;
    tls_ = std::move(other.tls_);
    std::swap(waits_, other.waits_);
    other.fd_ = -1;
  }
  return *this;
}

void Connection::WatchStop(const TransferStop* stop) { waits_->stop = stop; }

void Connection::LimitTransfer(std::chrono::steady_clock::time_point deadline) { waits_->deadline = deadline; }

bool Connection::Stopped() const { return waits_->stopped; }

bool Connection::OverLimit() const { return waits_->overLimit; }

ConnectStatus Connection::Connect(std::string_view hostView, int port, int timeoutMs) {
  Close();
  error_ = 0;
  timedOut_ = false;
  waits_->idleMs = timeoutMs;
  waits_->stopped = waits_->overLimit = false;
  std::string host(hostView);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  // The time-out bounds the whole connect: the look-up and every address of the
  // host. 0 is no time-out, as for the socket options below.
  const bool bounded = timeoutMs > 0;
  const auto deadline = bounded ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)
                                : std::chrono::steady_clock::time_point::max();
  int lookupError = 0;
  bool lookupTimedOut = false;
  int r = Resolve(host, service, hints, deadline, &list, &lookupError, &lookupTimedOut);
  if (r != 0) {
    error_ = lookupTimedOut ? ETIMEDOUT : r == EAI_SYSTEM ? lookupError : r;
    timedOut_ = lookupTimedOut;
    return ConnectStatus::HostNotFound;
  }
  ConnectStatus status = ConnectStatus::ConnectFailed;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error_ = errno;
      status = ConnectStatus::NoSocket;
      continue;
    }
    if (!SetTimeout(fd, SO_SNDTIMEO, timeoutMs)) {
      error_ = errno;
      status = ConnectStatus::SendTimeoutFailed;
      ::close(fd);
      continue;
    }
    if (!SetTimeout(fd, SO_RCVTIMEO, timeoutMs)) {
      error_ = errno;
      status = ConnectStatus::ReceiveTimeoutFailed;
      ::close(fd);
      continue;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const TransferStop* stop = waits_->stop;
    if (stop != nullptr && stop->Stopped()) {
      waits_->stopped = true;
      error_ = ECANCELED;
      status = ConnectStatus::ConnectFailed;
      ::close(fd);
      break;
    }
    const int stopFd = stop != nullptr ? stop->Handle() : -1;
    int error = !bounded           ? ConnectWithin(fd, a->ai_addr, a->ai_addrlen, -1, stopFd)
                : left.count() > 0 ? ConnectWithin(fd, a->ai_addr, a->ai_addrlen, static_cast<int>(left.count()), stopFd)
                                   : ETIMEDOUT;
    if (error == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      error_ = 0;
      ::freeaddrinfo(list);
      return ConnectStatus::Ok;
    }
    error_ = error;
    timedOut_ = error == ETIMEDOUT;
    waits_->stopped = error == ECANCELED;
    status = ConnectStatus::ConnectFailed;
    ::shutdown(fd, SHUT_WR);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    if (timedOut_ || waits_->stopped) break;  // the time-out is spent, or the transfer was stopped
  }
  ::freeaddrinfo(list);
  return status;
}

TlsStatus Connection::StartTls(std::string_view host, std::string& reason) {
  if (fd_ < 0) {
    reason = "not connected";
    return TlsStatus::Failed;
  }
  TlsStatus status = TlsStatus::Failed;
  std::shared_ptr<Waits> waits = waits_;
  tls_ = TlsSession::Handshake(fd_, host, status, reason, [waits](int fd, bool forWrite) {
    return waits->Wait(fd, forWrite ? POLLOUT : POLLIN);
  });
  timedOut_ = status == TlsStatus::TimedOut;
  return status;
}

bool Connection::SendAll(std::string_view data) {
  timedOut_ = false;
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  if (tls_) return tls_->WriteAll(data, error_, timedOut_);
  while (!data.empty()) {
    if (int e = waits_->Wait(fd_, POLLOUT); e != 0) {
      error_ = e;
      timedOut_ = e == ETIMEDOUT;
      return false;
    }
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      timedOut_ = IsTimeoutError(error_);
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

long Connection::Receive(char* buffer, size_t size) {
  timedOut_ = false;
  if (fd_ < 0) {
    error_ = EBADF;
    return -1;
  }
  if (tls_) return tls_->Read(buffer, size, error_, timedOut_);
  if (int e = waits_->Wait(fd_, POLLIN); e != 0) {
    error_ = e;
    timedOut_ = e == ETIMEDOUT;
    return -1;
  }
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    error_ = errno;
    timedOut_ = IsTimeoutError(error_);
    return -1;
  }
}

bool Connection::LooksIdle() {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return false;
  if (r == 0 && !(tls_ && tls_->HasPending())) return true;
  // A TLS server may send session tickets after its answer: they make the
  // socket readable but leave the connection as good as it was.
  return tls_ != nullptr && tls_->TakeIdleRecords();
}

void Connection::Close() {
  if (tls_) {
    tls_->Shutdown();
    tls_.reset();
  }
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace zentu::os
