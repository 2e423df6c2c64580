// The single-instance lock and the command channel between a second start (or
// the browser's messaging host) and the running Zentu.
//
// The lock is an exclusive flock on "zentu.lock" in the Zentu home. The channel
// is a Unix-domain stream socket "zentu.sock" beside it, mode 0600, that only
// the owning user may use. A connection carries one or more frames:
//
//   4 bytes  command code (6003 or 6004), little-endian
//   4 bytes  byte count n, little-endian, at most kChannelMaxBytes
//   n bytes  Shift_JIS text, normally ended by a NUL that the count includes
//
// and the server answers each frame with one byte: 1 accepted, 0 refused.
// A refused frame also ends the connection.
//
// The answer is binding both ways. The server carries a frame out only when
// its "accepted" byte reached a sender that still waits for it; a sender that
// gives up shuts its reading side first (after which the server's answer can
// no longer arrive) and then looks once more whether the byte came. So a
// sender that reports failure can be sure the frame will not run, and one
// that reports success that it will.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace zentu::os {

inline constexpr uint32_t kChannelCodeNoCache = 6003;  // download reservation, cache bypassed
inline constexpr uint32_t kChannelCodeCommand = 6004;  // every other command
inline constexpr size_t kChannelMaxBytes = 16u * 1024 * 1024;
inline constexpr char kChannelSocketName[] = "zentu.sock";
inline constexpr char kInstanceLockName[] = "zentu.lock";

// Program paths in the Zentu home.
std::string ChannelSocketPath();
std::string InstanceLockPath();

// --- Single instance ----------------------------------------------------------------

// Holds the lock while it lives (and the process runs). Move-only. An empty
// token tells why it is empty: another instance holds the lock, or the lock
// file cannot be used at all (then there is no instance to hand anything to).
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;

  bool Held() const { return fd_ >= 0; }
  explicit operator bool() const { return Held(); }
  // Not held because another process holds the lock: Zentu runs already.
  bool HeldElsewhere() const { return heldElsewhere_; }
  // Not held because the lock file could not be opened, created or locked:
  // the cause, in words ("" otherwise).
  const std::string& Error() const { return error_; }
  void Release();

 private:
  friend InstanceLock AcquireNamedLock(std::string_view name);
  int fd_ = -1;
  bool heldElsewhere_ = false;
  std::string error_;
};

// Takes the lock without waiting. The lock file is never followed through a
// symbolic link and must be a regular file; a failure other than "held by
// another instance" is logged with the path and its cause.
[[nodiscard]] InstanceLock AcquireInstanceLock();
// The same lock under another file name in the Zentu home, for the helper
// programs that must run once at a time as well ("cleaner.lock").
[[nodiscard]] InstanceLock AcquireNamedLock(std::string_view name);

// --- Peers ------------------------------------------------------------------------------

// Only the user the program runs as may hand it commands.
bool IsChannelPeerAllowed(uid_t peerUid);
// The user at the other end of a connected Unix-domain socket; false when the
// system cannot tell.
bool ChannelPeerUid(int fd, uid_t* uid);

// --- Server -------------------------------------------------------------------------------

struct ChannelServerOptions {
  // A frame must arrive whole within this time from the moment the server
  // waits for it; a connection that sends nothing for this long is closed.
  int readTimeoutMs = 10000;
  size_t maxBytes = kChannelMaxBytes;
  // Connections served at once; further ones wait in the listen queue.
  int maxConnections = 16;
  // While every slot is taken and a newcomer waits, the connection that has
  // been quiet longest (no byte for at least this long, and the server not
  // busy with its frame) is closed to make room. A real sender writes its
  // frame at once, so only a silent or stalled one ever waits this long.
  int quietWhenFullMs = 250;
  // Program path of the socket; "" = ChannelSocketPath().
  std::string socketPath;
};

class ChannelServer {
 public:
  // Receives each well-formed frame's code and its text (up to the first NUL)
  // just before the server answers it. Calls are made one at a time from the
  // server's threads: the handler marshals the work to its own thread and
  // returns quickly.
  using Handler = std::function<void(uint32_t code, std::string text)>;
  // Told right after each handler call whether the answer reached the
  // sender. False: the sender had given up (it reports failure), and the
  // frame just handed over must not be carried out. Called under the same
  // serialisation as the handler, so it always concerns the last frame.
  using Settled = std::function<void(bool answered)>;

  ChannelServer() = default;
  ~ChannelServer();
  ChannelServer(const ChannelServer&) = delete;
  ChannelServer& operator=(const ChannelServer&) = delete;

  // Binds the socket (replacing a stale one: the caller holds the instance
  // lock, so no live instance owns it) and starts listening. False, with a log
  // line, when the socket cannot be made.
  [[nodiscard]] bool Start(Handler handler, ChannelServerOptions options = {}, Settled settled = {});
  // Closes the socket, ends every connection and removes the socket file.
  void Stop();
  bool Running() const { return running_.load(); }

  // Counters for the log and tests.
  uint64_t FramesAccepted() const { return accepted_.load(); }
  uint64_t FramesRefused() const { return refused_.load(); }
  // Frames whose sender had gone when the answer was due (not carried out).
  uint64_t FramesAbandoned() const { return abandoned_.load(); }
  // Quiet connections closed to make room.
  uint64_t ConnectionsEvicted() const { return evicted_.load(); }

 private:
  struct Connection {
    int fd = -1;
    std::thread thread;
    bool done = false;
    bool evicted = false;                  // mutex_
    std::atomic<int64_t> lastActivity{0};  // steady-clock ms of the last byte, or of the wait's start
    std::atomic<bool> busy{false};         // the server works on a frame of it
  };
  void AcceptLoop();
  void Serve(Connection* connection);
  void ReapFinished();  // mutex_ held
  // Closes the quietest connection when one has been quiet long enough;
  // otherwise returns how many ms until one may be (mutex_ held).
  int EvictQuietest();
  void Wake();

  Handler handler_;
  Settled settled_;
  ChannelServerOptions options_;
  std::string nativePath_;
  int listenFd_ = -1;
  int wakeFd_ = -1;  // eventfd that wakes the accept loop for Stop
  std::thread acceptThread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::list<Connection> connections_;
  std::mutex handlerMutex_;  // one handler call at a time
  std::atomic<uint64_t> accepted_{0}, refused_{0}, abandoned_{0}, evicted_{0};
};

// --- Client ----------------------------------------------------------------------------

// Connects to the running instance, sends one frame (the text with its NUL)
// and waits for the answer; the whole exchange gives up after `timeoutMs`.
// True when the frame was accepted: it will be carried out. False: it will
// not be (refused, never delivered, or the answer did not come in time), so
// sending it again cannot run it twice.
[[nodiscard]] bool SendFrame(uint32_t code, std::string_view text, int timeoutMs = 10000,
                             std::string_view socketPath = {});

}  // namespace zentu::os
