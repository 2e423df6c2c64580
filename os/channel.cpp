#include "os/channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"

namespace zentu::os {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHeaderBytes = 8;
constexpr char kReplyAccepted = 1;
constexpr char kReplyRefused = 0;

void PutU32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

bool SetTimeout(int fd, int option, int ms) {
  if (ms < 1) ms = 1;  // 0 would mean "wait for ever"
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

// A file descriptor closed on scope exit.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Take() { return std::exchange(fd, -1); }
};

// The address of a socket file. sun_path holds 107 bytes; a longer path is
// reached through the directory's descriptor in /proc, which bind and connect
// resolve like any other path.
struct SocketAddress {
  sockaddr_un addr{};
  socklen_t length = 0;
  Fd dir;

  bool Set(const std::string& nativePath) {
    addr.sun_family = AF_UNIX;
    std::string path = nativePath;
    if (path.size() >= sizeof addr.sun_path) {
      size_t slash = path.rfind('/');
      if (slash == std::string::npos) return false;
      std::string dirPath = slash == 0 ? "/" : path.substr(0, slash);
      dir.fd = ::open(dirPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dir.fd < 0) return false;
      path = "/proc/self/fd/" + std::to_string(dir.fd) + path.substr(slash);
      if (path.size() >= sizeof addr.sun_path) return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    addr.sun_path[path.size()] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
  }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

std::optional<std::string> NativeSocketPath(std::string_view socketPath) {
  std::string program = socketPath.empty() ? ChannelSocketPath() : std::string(socketPath);
  return ToNativePath(program);
}

enum class ReadResult { Ok, Closed, Silent, Failed };

// Reads exactly `size` bytes before the deadline. Closed: the peer ended the
// connection before the first byte; Silent: the time ran out before it.
// `activity`, when given, takes the time of every byte received.
ReadResult ReadFull(int fd, char* buffer, size_t size, Clock::time_point deadline,
                    std::atomic<int64_t>* activity = nullptr) {
  size_t got = 0;
  while (got < size) {
    pollfd p{fd, POLLIN, 0};
    int left = MsLeft(deadline);
    if (left == 0) return got == 0 ? ReadResult::Silent : ReadResult::Failed;
    int r = ::poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      return ReadResult::Failed;
    }
    if (r == 0) return got == 0 ? ReadResult::Silent : ReadResult::Failed;
    ssize_t n = ::recv(fd, buffer + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return ReadResult::Failed;
    }
    if (n == 0) return got == 0 ? ReadResult::Closed : ReadResult::Failed;
    got += static_cast<size_t>(n);
    if (activity) activity->store(NowMs());
  }
  return ReadResult::Ok;
}

bool SendAll(int fd, const char* data, size_t size, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < size) {
    int left = MsLeft(deadline);
    if (left == 0 || !SetTimeout(fd, SO_SNDTIMEO, left)) return false;
    ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

void Reply(int fd, char value) {
  // One byte into an idle socket's buffer: never blocks for long.
  (void)SetTimeout(fd, SO_SNDTIMEO, 1000);
  (void)::send(fd, &value, 1, MSG_NOSIGNAL);
}

// The "accepted" byte, and whether it reached the sender's socket. A sender
// that gave up has shut its reading side (or is gone), and the kernel then
// refuses the byte: the two cannot cross, so the sender and the server agree
// on whether the frame was taken.
bool Answer(int fd) {
  const char value = kReplyAccepted;
  for (;;) {
    if (::send(fd, &value, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) return true;
    if (errno != EINTR) return false;
  }
}

// True when a server answers at the path (a live instance, not a stale file).
bool SomeoneListens(const std::string& nativePath) {
  SocketAddress address;
  if (!address.Set(nativePath)) return false;
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.fd < 0) return false;
  if (::connect(fd.fd, address.Get(), address.length) == 0) return true;
  return errno == EAGAIN;  // its listen queue is full: alive all the same
}

}  // namespace

std::string ChannelSocketPath() { return JoinPath(ZentuHome(), kChannelSocketName); }
std::string InstanceLockPath() { return JoinPath(ZentuHome(), kInstanceLockName); }

// --- Single instance --------------------------------------------------------------------

InstanceLock::~InstanceLock() { Release(); }

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      heldElsewhere_(std::exchange(other.heldElsewhere_, false)),
      error_(std::move(other.error_)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    heldElsewhere_ = std::exchange(other.heldElsewhere_, false);
    error_ = std::move(other.error_);
  }
  return *this;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

InstanceLock AcquireInstanceLock() { return AcquireNamedLock(kInstanceLockName); }

InstanceLock AcquireNamedLock(std::string_view name) {
  InstanceLock lock;
  const std::string program = JoinPath(ZentuHome(), name);
  // Anything but "another instance holds it" means no instance can be
  // reached either: the caller must say so instead of forwarding.
  auto unusable = [&](std::string cause) {
    WriteLog("> Can't use the lock file %s: %s", program.c_str(), cause.c_str());
    lock.error_ = std::move(cause);
  };
  if (!EnsureZentuHome()) {
    unusable("the Zentu home cannot be created");
    return lock;
  }
  std::optional<std::string> native = ToNativePath(program);
  if (!native) {
    unusable("no such place");
    return lock;
  }
  // O_NONBLOCK: a FIFO put in its place must not hang the start.
  Fd fd(::open(native->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (fd.fd < 0) {
    const int error = errno;
    struct stat st {};
    if (error == ELOOP && ::lstat(native->c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      unusable("it is a symbolic link, which Zentu does not follow");
    } else {
      unusable(std::strerror(error));
    }
    return lock;
  }
  struct stat st {};
  if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    unusable("it is not a regular file");
    return lock;
  }
  for (;;) {
    if (::flock(fd.fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      lock.heldElsewhere_ = true;
    } else {
      unusable(std::string("cannot lock it: ") + std::strerror(errno));
    }
    return lock;
  }
  lock.fd_ = fd.Take();
  return lock;
}

// --- Peers ------------------------------------------------------------------------------------

bool IsChannelPeerAllowed(uid_t peerUid) { return peerUid == ::geteuid(); }

bool ChannelPeerUid(int fd, uid_t* uid) {
  ucred cred{};
  socklen_t size = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return false;
  *uid = cred.uid;
  return true;
}

// --- Server -----------------------------------------------------------------------------------

ChannelServer::~ChannelServer() { Stop(); }

bool ChannelServer::Start(Handler handler, ChannelServerOptions options, Settled settled) {
  if (running_.load()) return false;
  if (options.socketPath.empty()) {
    if (!EnsureZentuHome()) {
      WriteLog("> Can't create the Zentu home %s", ZentuHome().c_str());
      return false;
    }
    options.socketPath = ChannelSocketPath();
  }
  if (options.maxConnections < 1) options.maxConnections = 1;
  if (options.readTimeoutMs < 1) options.readTimeoutMs = 1;
  if (options.quietWhenFullMs < 1) options.quietWhenFullMs = 1;
  std::optional<std::string> native = ToNativePath(options.socketPath);
  if (!native) {
    WriteLog("> command channel: no such place %s", options.socketPath.c_str());
    return false;
  }

  struct stat st {};
  if (::lstat(native->c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      WriteLog("> command channel: %s is not a socket", options.socketPath.c_str());
      return false;
    }
    if (SomeoneListens(*native)) {
      WriteLog("> command channel: another instance listens on %s", options.socketPath.c_str());
      return false;
    }
    // Left behind by an instance that crashed.
    ::unlink(native->c_str());
  }

  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.fd < 0) {
    WriteLog("> command channel: socket: %s", std::strerror(errno));
    return false;
  }
  // The file bind creates takes the socket's own mode: no window in which
  // another user could connect.
  (void)::fchmod(fd.fd, 0600);
  SocketAddress address;
  if (!address.Set(*native)) {
    WriteLog("> command channel: path too long: %s", options.socketPath.c_str());
    return false;
  }
  if (::bind(fd.fd, address.Get(), address.length) != 0) {
    WriteLog("> command channel: bind %s: %s", options.socketPath.c_str(), std::strerror(errno));
    return false;
  }
  if (::chmod(native->c_str(), 0600) != 0 || ::listen(fd.fd, SOMAXCONN) != 0) {
    WriteLog("> command channel: listen %s: %s", options.socketPath.c_str(), std::strerror(errno));
    ::unlink(native->c_str());
    return false;
  }
  Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wake.fd < 0) {
    WriteLog("> command channel: eventfd: %s", std::strerror(errno));
    ::unlink(native->c_str());
    return false;
  }

  handler_ = std::move(handler);
  settled_ = std::move(settled);
  options_ = std::move(options);
  nativePath_ = *native;
  listenFd_ = fd.Take();
  wakeFd_ = wake.Take();
  stopping_.store(false);
  running_.store(true);
  try {
    acceptThread_ = std::thread(&ChannelServer::AcceptLoop, this);
  } catch (const std::system_error&) {
    WriteLog("> command channel: thread start error");
    running_.store(false);
    ::close(listenFd_);
    ::close(wakeFd_);
    listenFd_ = wakeFd_ = -1;
    ::unlink(nativePath_.c_str());
    return false;
  }
  return true;
}

void ChannelServer::Stop() {
  if (!running_.exchange(false)) return;
  {
    std::lock_guard lock(mutex_);
    stopping_.store(true);
  }
  Wake();
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard lock(mutex_);
    for (Connection& c : connections_) {
      if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
    }
  }
  // Only Serve touches the list now, and it never removes entries.
  for (Connection& c : connections_) {
    if (c.thread.joinable()) c.thread.join();
  }
  connections_.clear();
  ::close(listenFd_);
  ::close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
  ::unlink(nativePath_.c_str());
}

void ChannelServer::ReapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->done) {
      if (it->thread.joinable()) it->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void ChannelServer::Wake() {
  uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
}

int ChannelServer::EvictQuietest() {
  const int64_t now = NowMs();
  const int64_t grace = options_.quietWhenFullMs;
  Connection* quietest = nullptr;
  int64_t soonest = grace;
  for (Connection& c : connections_) {
    if (c.done || c.evicted || c.fd < 0 || c.busy.load()) continue;
    // Bytes not read yet mean its own thread has not got round to it (a busy
    // machine), not a quiet sender: it waits like a fresh connection.
    int unread = 0;
    if (::ioctl(c.fd, FIONREAD, &unread) == 0 && unread > 0) {
      soonest = std::min(soonest, grace);
      continue;
    }
    const int64_t quiet = now - c.lastActivity.load();
    if (quiet < grace) {
      soonest = std::min(soonest, grace - quiet);
    } else if (!quietest || c.lastActivity.load() < quietest->lastActivity.load()) {
      quietest = &c;
    }
  }
  if (!quietest) return static_cast<int>(std::max<int64_t>(soonest, 1));
  WriteLog("> command channel: a connection quiet for %lld ms closed to make room",
           static_cast<long long>(now - quietest->lastActivity.load()));
  quietest->evicted = true;
  evicted_.fetch_add(1);
  // Its thread sees the end at once and frees the slot.
  ::shutdown(quietest->fd, SHUT_RDWR);
  return 0;
}

void ChannelServer::AcceptLoop() {
  for (;;) {
    if (stopping_.load()) return;
    bool full;
    {
      std::lock_guard lock(mutex_);
      ReapFinished();
      full = connections_.size() >= static_cast<size_t>(options_.maxConnections);
    }
    pollfd p[2] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    nfds_t watched = 2;
    int timeoutMs = -1;
    if (full) {
      // Room is made only for a newcomer: a quiet connection with nobody
      // waiting behind it harms no one.
      pollfd probe{listenFd_, POLLIN, 0};
      if (::poll(&probe, 1, 0) > 0 && (probe.revents & POLLIN) != 0) {
        std::lock_guard lock(mutex_);
        const int until = EvictQuietest();
        // After an eviction the connection's end wakes the loop; the time
        // is only a bound.
        timeoutMs = until > 0 ? until : options_.quietWhenFullMs;
        watched = 1;  // the listen socket stays readable until a slot frees
      }
    }
    int r = ::poll(p, watched, timeoutMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      WriteLog("> command channel: poll: %s", std::strerror(errno));
      return;
    }
    if (p[0].revents != 0) {
      // Stop, or a connection ended: look again.
      uint64_t count;
      (void)!::read(wakeFd_, &count, sizeof count);
      continue;
    }
    if (full || watched < 2 || (p[1].revents & POLLIN) == 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
        // Out of descriptors and the like: give the system a moment.
        WriteLog("> command channel: accept: %s", std::strerror(errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    uid_t uid = 0;
    if (!ChannelPeerUid(fd, &uid) || !IsChannelPeerAllowed(uid)) {
      WriteLog("> command channel: connection of user %u refused", static_cast<unsigned>(uid));
      refused_.fetch_add(1);
      ::close(fd);
      continue;
    }
    std::lock_guard lock(mutex_);
    Connection& c = connections_.emplace_back();
    c.fd = fd;
    c.lastActivity.store(NowMs());
    try {
      c.thread = std::thread(&ChannelServer::Serve, this, &c);
    } catch (const std::system_error&) {
      WriteLog("> command channel: thread start error");
      ::close(fd);
      connections_.pop_back();
    }
  }
}

void ChannelServer::Serve(Connection* c) {
  int fd;
  {
    std::lock_guard lock(mutex_);
    fd = c->fd;
  }
  // Whether the connection was cut to make room or by Stop (both said so already).
  auto cutOff = [&] {
    std::lock_guard lock(mutex_);
    return c->evicted || stopping_.load();
  };
  for (;;) {
    c->lastActivity.store(NowMs());
    const auto deadline = Clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
    unsigned char header[kHeaderBytes];
    ReadResult r = ReadFull(fd, reinterpret_cast<char*>(header), kHeaderBytes, deadline, &c->lastActivity);
    if (r == ReadResult::Closed) break;
    if (r == ReadResult::Silent) {
      if (!cutOff()) WriteLog("> command channel: a connection that sent nothing was closed");
      break;
    }
    if (r == ReadResult::Failed) {
      if (!cutOff()) WriteLog("> command channel: incomplete frame dropped");
      break;
    }
    const uint32_t code = GetU32(header);
    const uint32_t count = GetU32(header + 4);
    if (code != kChannelCodeNoCache && code != kChannelCodeCommand) {
      WriteLog("> command channel: frame with code %u refused", code);
      refused_.fetch_add(1);
      Reply(fd, kReplyRefused);
      break;
    }
    if (count == 0 || count > options_.maxBytes) {
      WriteLog("> command channel: frame of %u bytes refused (limit %zu)", count, options_.maxBytes);
      refused_.fetch_add(1);
      Reply(fd, kReplyRefused);
      break;
    }
    std::string text(count, '\0');
    if (ReadFull(fd, text.data(), count, deadline, &c->lastActivity) != ReadResult::Ok) {
      if (!cutOff()) WriteLog("> command channel: incomplete frame dropped (%u bytes announced)", count);
      break;
    }
    if (size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    c->busy.store(true);
    bool answered = false;
    {
      std::lock_guard lock(handlerMutex_);
      if (stopping_.load()) break;
      if (handler_) handler_(code, std::move(text));
      // The answer is the commitment: the handler's frame stands only when
      // the byte reached a sender that still waits for it.
      // Counted before the sender can see the answer, so a sender that asks
      // right after finds its frame counted.
      accepted_.fetch_add(1);
      answered = Answer(fd);
      if (!answered) accepted_.fetch_sub(1);
      if (settled_) settled_(answered);
    }
    c->busy.store(false);
    if (!answered) {
      WriteLog("> command channel: the sender had given up before the answer; its command is not carried out");
      abandoned_.fetch_add(1);
      break;
    }
  }
  {
    std::lock_guard lock(mutex_);
    ::close(fd);
    c->fd = -1;
    c->done = true;
  }
  Wake();
}

// --- Client ---------------------------------------------------------------------------------------

bool SendFrame(uint32_t code, std::string_view text, int timeoutMs, std::string_view socketPath) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 1);
  std::optional<std::string> native = NativeSocketPath(socketPath);
  if (!native) return false;
  if (text.size() >= UINT32_MAX) return false;
  SocketAddress address;
  if (!address.Set(*native)) return false;
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.fd < 0) return false;
  // A connect to a busy server waits in its listen queue, bounded by the send time-out.
  if (!SetTimeout(fd.fd, SO_SNDTIMEO, MsLeft(deadline))) return false;
  for (;;) {
    if (::connect(fd.fd, address.Get(), address.length) == 0) break;
    if (errno == EINTR && MsLeft(deadline) > 0) continue;
    WriteLogVerbose("# command channel: connect: %s", std::strerror(errno));
    return false;
  }
  unsigned char header[kHeaderBytes];
  PutU32(header, code);
  PutU32(header + 4, static_cast<uint32_t>(text.size() + 1));
  const char nul = '\0';
  if (!SendAll(fd.fd, reinterpret_cast<const char*>(header), kHeaderBytes, deadline) ||
      !SendAll(fd.fd, text.data(), text.size(), deadline) || !SendAll(fd.fd, &nul, 1, deadline)) {
    WriteLogVerbose("# command channel: send failed");
    return false;
  }
  char reply = kReplyRefused;
  const ReadResult r = ReadFull(fd.fd, &reply, 1, deadline);
  if (r == ReadResult::Ok) return reply == kReplyAccepted;
  if (r == ReadResult::Closed) {
    WriteLogVerbose("# command channel: closed without an answer");
    return false;
  }
  // Giving up: once the reading side is shut the server's answer can no
  // longer arrive, and the server then drops the frame. An answer that came
  // in the meantime still counts.
  (void)::shutdown(fd.fd, SHUT_RD);
  for (;;) {
    const ssize_t n = ::recv(fd.fd, &reply, 1, MSG_DONTWAIT);
    if (n == 1) return reply == kReplyAccepted;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  WriteLogVerbose("# command channel: no answer in time");
  return false;
}

}  // namespace zentu::os
