#include "os/channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

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

enum class ReadResult { Ok, Closed, Failed };

// Reads exactly `size` bytes before the deadline. Closed: the peer ended the
// connection before the first byte.
ReadResult ReadFull(int fd, char* buffer, size_t size, Clock::time_point deadline) {
  size_t got = 0;
  while (got < size) {
    pollfd p{fd, POLLIN, 0};
    int left = MsLeft(deadline);
    if (left == 0) return ReadResult::Failed;
    int r = ::poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      return ReadResult::Failed;
    }
    if (r == 0) return ReadResult::Failed;
    ssize_t n = ::recv(fd, buffer + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return ReadResult::Failed;
    }
    if (n == 0) return got == 0 ? ReadResult::Closed : ReadResult::Failed;
    got += static_cast<size_t>(n);
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

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

InstanceLock AcquireInstanceLock() {
  InstanceLock lock;
  if (!EnsureZentuHome()) {
    WriteLog("> Can't create the Zentu home %s", ZentuHome().c_str());
    return lock;
  }
  std::string program = InstanceLockPath();
  std::optional<std::string> native = ToNativePath(program);
  if (!native) return lock;
  Fd fd(::open(native->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.fd < 0) {
    WriteLog("> Can't open the lock file %s: %s", program.c_str(), std::strerror(errno));
    return lock;
  }
  for (;;) {
    if (::flock(fd.fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) WriteLog("> Can't lock %s: %s", program.c_str(), std::strerror(errno));
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

bool ChannelServer::Start(Handler handler, ChannelServerOptions options) {
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
  slotFree_.notify_all();
  uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
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

void ChannelServer::AcceptLoop() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      ReapFinished();
      slotFree_.wait(lock, [&] {
        if (stopping_.load()) return true;
        ReapFinished();
        return connections_.size() < static_cast<size_t>(options_.maxConnections);
      });
      if (stopping_.load()) return;
    }
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int r = ::poll(p, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      WriteLog("> command channel: poll: %s", std::strerror(errno));
      return;
    }
    if (p[1].revents != 0 || stopping_.load()) return;
    if ((p[0].revents & POLLIN) == 0) continue;
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
  for (;;) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
    unsigned char header[kHeaderBytes];
    ReadResult r = ReadFull(fd, reinterpret_cast<char*>(header), kHeaderBytes, deadline);
    if (r == ReadResult::Closed) break;
    if (r == ReadResult::Failed) {
      if (!stopping_.load()) WriteLog("> command channel: incomplete frame dropped");
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
    if (ReadFull(fd, text.data(), count, deadline) != ReadResult::Ok) {
      if (!stopping_.load()) WriteLog("> command channel: incomplete frame dropped (%u bytes announced)", count);
      break;
    }
    if (size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    {
      std::lock_guard lock(handlerMutex_);
      if (stopping_.load()) break;
      if (handler_) handler_(code, std::move(text));
    }
    accepted_.fetch_add(1);
    Reply(fd, kReplyAccepted);
  }
  {
    std::lock_guard lock(mutex_);
    ::close(fd);
    c->fd = -1;
    c->done = true;
  }
  slotFree_.notify_all();
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
  if (ReadFull(fd.fd, &reply, 1, deadline) != ReadResult::Ok) {
    WriteLogVerbose("# command channel: no answer");
    return false;
  }
  return reply == kReplyAccepted;
}

}  // namespace zentu::os
