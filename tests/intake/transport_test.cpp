// The socket that carries command-channel texts, and the single-instance lock.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "os/channel.h"
#include "os/log.h"
#include "os/path.h"
#include "tests/intake/intake_fixture.h"

namespace zentu::testing {
namespace {

// Records what the server hands over.
struct Received {
  std::mutex mutex;
  std::vector<std::pair<uint32_t, std::string>> frames;
  void Add(uint32_t code, std::string text) {
    std::lock_guard lock(mutex);
    frames.emplace_back(code, std::move(text));
  }
  size_t Count() {
    std::lock_guard lock(mutex);
    return frames.size();
  }
};

class ChannelTransportTest : public TempHome {
 protected:
  void TearDown() override {
    server.Stop();
    TempHome::TearDown();
  }
  bool StartServer(int readTimeoutMs = 10000, int maxConnections = 16) {
    os::ChannelServerOptions options;
    options.readTimeoutMs = readTimeoutMs;
    options.maxConnections = maxConnections;
    return server.Start([this](uint32_t code, std::string text) { received.Add(code, std::move(text)); },
                        options);
  }
  std::string NativeSocket() { return nativeHome + "/zentu.sock"; }

  // A raw connection for frames SendFrame would never make.
  int RawConnect() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, NativeSocket().c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  }
  static std::string Header(uint32_t code, uint32_t count) {
    std::string h(8, '\0');
    for (int i = 0; i < 4; ++i) {
      h[i] = static_cast<char>(code >> (8 * i));
      h[4 + i] = static_cast<char>(count >> (8 * i));
    }
    return h;
  }
  // Sends bytes and closes the writing side; returns the reply byte, or -1
  // when the server closed without one.
  static int SendRaw(int fd, const std::string& bytes, bool closeWrite = true) {
    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (closeWrite) ::shutdown(fd, SHUT_WR);
    char reply = 0;
    ssize_t n = ::recv(fd, &reply, 1, 0);
    ::close(fd);
    return n == 1 ? reply : -1;
  }

  os::ChannelServer server;
  Received received;
};

TEST_F(ChannelTransportTest, AFrameArrivesWithItsCodeAndText) {
  ASSERT_TRUE(StartServer());
  EXPECT_FALSE(StartServer());  // already running
  const std::string text = SJ("<!--UseCache-->\nhttp://example.com/表");
  EXPECT_TRUE(os::SendFrame(os::kChannelCodeCommand, text));
  EXPECT_TRUE(os::SendFrame(os::kChannelCodeNoCache, std::string("a\0b", 3)));
  EXPECT_TRUE(os::SendFrame(os::kChannelCodeCommand, ""));
  ASSERT_EQ(received.Count(), 3u);
  EXPECT_EQ(received.frames[0], std::make_pair(os::kChannelCodeCommand, text));
  EXPECT_EQ(received.frames[1], std::make_pair(os::kChannelCodeNoCache, std::string("a")));
  EXPECT_EQ(received.frames[2], std::make_pair(os::kChannelCodeCommand, std::string()));
  EXPECT_EQ(server.FramesAccepted(), 3u);

  // Several frames on one connection are each answered.
  int fd = RawConnect();
  std::string two = Header(6004, 3) + std::string("ab\0", 3) + Header(6003, 2) + std::string("c\0", 2);
  ASSERT_EQ(::send(fd, two.data(), two.size(), MSG_NOSIGNAL), static_cast<ssize_t>(two.size()));
  char replies[2] = {0, 0};
  ASSERT_EQ(::recv(fd, replies, 1, MSG_WAITALL), 1);
  ASSERT_EQ(::recv(fd, replies + 1, 1, MSG_WAITALL), 1);
  ::close(fd);
  EXPECT_EQ(replies[0], 1);
  EXPECT_EQ(replies[1], 1);
  EXPECT_EQ(received.Count(), 5u);

  server.Stop();
  EXPECT_FALSE(std::filesystem::exists(NativeSocket()));
  EXPECT_FALSE(os::SendFrame(os::kChannelCodeCommand, "after stop", 500));
}

TEST_F(ChannelTransportTest, OnlyTheOwnerMayConnect) {
  ASSERT_TRUE(StartServer());
  struct stat st {};
  ASSERT_EQ(::lstat(NativeSocket().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_TRUE(os::IsChannelPeerAllowed(::geteuid()));
  EXPECT_FALSE(os::IsChannelPeerAllowed(::geteuid() + 1));
  EXPECT_FALSE(os::IsChannelPeerAllowed(65534));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  uid_t uid = 12345;
  EXPECT_TRUE(os::ChannelPeerUid(pair[0], &uid));
  EXPECT_EQ(uid, ::geteuid());
  ::close(pair[0]);
  ::close(pair[1]);
  int notSocket = ::open("/dev/null", O_RDONLY);
  EXPECT_FALSE(os::ChannelPeerUid(notSocket, &uid));
  ::close(notSocket);
}

TEST_F(ChannelTransportTest, AStaleSocketIsReplacedButALiveOneIsNot) {
  // A socket file left by a crashed instance.
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, NativeSocket().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  ASSERT_TRUE(std::filesystem::exists(NativeSocket()));
  ASSERT_TRUE(StartServer());
  EXPECT_TRUE(os::SendFrame(6004, "x"));

  os::ChannelServer second;
  EXPECT_FALSE(second.Start([](uint32_t, std::string) {}));
  EXPECT_TRUE(LogContains("another instance listens"));
  EXPECT_TRUE(os::SendFrame(6004, "y"));  // the first keeps its socket
  EXPECT_EQ(received.Count(), 2u);
  server.Stop();

  // Something else in the way is left alone.
  WriteNative("zentu.sock", "not a socket");
  EXPECT_FALSE(StartServer());
  EXPECT_EQ(ReadNative("zentu.sock"), "not a socket");
}

TEST_F(ChannelTransportTest, ALongHomePathStillWorks) {
  std::string deep = nativeHome;
  while (deep.size() < 200) deep += "/directory-with-a-long-name";
  std::filesystem::create_directories(deep);
  os::ChannelServerOptions options;
  options.socketPath = os::FromNativePath(deep + "/zentu.sock");
  ASSERT_TRUE(server.Start([this](uint32_t code, std::string text) { received.Add(code, std::move(text)); },
                           options));
  EXPECT_TRUE(os::SendFrame(6004, "deep", 5000, options.socketPath));
  EXPECT_EQ(received.Count(), 1u);
  server.Stop();
  EXPECT_FALSE(std::filesystem::exists(deep + "/zentu.sock"));
}

TEST_F(ChannelTransportTest, OneInstanceHoldsTheLock) {
  os::InstanceLock first = os::AcquireInstanceLock();
  ASSERT_TRUE(first.Held());
  EXPECT_TRUE(std::filesystem::exists(nativeHome + "/zentu.lock"));
  os::InstanceLock busy = os::AcquireInstanceLock();
  EXPECT_FALSE(busy);
  EXPECT_TRUE(busy.HeldElsewhere());
  EXPECT_EQ(busy.Error(), "");
  os::InstanceLock moved = std::move(first);
  EXPECT_FALSE(first.Held());
  EXPECT_FALSE(os::AcquireInstanceLock());
  moved.Release();
  os::InstanceLock again = os::AcquireInstanceLock();
  EXPECT_TRUE(again.Held());
}

// Something in the lock file's place, or a home without write access, is no
// running instance: the token says why it is empty.
TEST_F(ChannelTransportTest, HostileLockFileIsAnErrorNotAnotherInstance) {
  const std::string lock = nativeHome + "/zentu.lock";
  struct Row {
    const char* what;
    std::function<void()> make;
    std::string cause;
  } rows[] = {
      {"a symbolic link to a file",
       [&] {
         WriteNative("target", "keep me");
         std::filesystem::create_symlink(nativeHome + "/target", lock);
       },
       "symbolic link"},
      {"a dangling symbolic link", [&] { std::filesystem::create_symlink(nativeHome + "/nowhere", lock); },
       "symbolic link"},
      {"a directory", [&] { std::filesystem::create_directory(lock); }, std::strerror(EISDIR)},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0); }, "not a regular file"},
      // Root writes anywhere; the program tests this case under another user.
      {"a home without write access", [&] { ::chmod(nativeHome.c_str(), 0500); },
       ::geteuid() == 0 ? "" : std::strerror(EACCES)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.cause.empty()) continue;
    row.make();
    os::InstanceLock token = os::AcquireInstanceLock();
    EXPECT_FALSE(token.Held());
    EXPECT_FALSE(token.HeldElsewhere());
    EXPECT_NE(token.Error().find(row.cause), std::string::npos) << token.Error();
    EXPECT_TRUE(LogContains("> Can't use the lock file "));
    ::chmod(nativeHome.c_str(), 0700);
    std::filesystem::remove(lock);
  }
  EXPECT_EQ(ReadNative("target"), "keep me");
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/nowhere"));
  EXPECT_TRUE(os::AcquireInstanceLock().Held());
}

TEST_F(ChannelTransportTest, BadInputFramesAreRefusedAndTheServerGoesOn) {
  ASSERT_TRUE(StartServer(300));
  struct Row {
    const char* what;
    std::string bytes;
    bool closeWrite;
    int reply;  // 0 refused, -1 dropped without an answer
  } rows[] = {
      {"unknown code", Header(1234, 2) + std::string("x\0", 2), true, 0},
      {"code in the high half", Header(0x10000 | 6004, 2) + std::string("x\0", 2), true, 0},
      {"empty count", Header(6004, 0), true, 0},
      {"count over the limit", Header(6004, 0xFFFFFFFFu), true, 0},
      {"count larger than sent, then closed", Header(6004, 100) + "short", true, -1},
      {"count larger than sent, then silence", Header(6004, 100) + "short", false, -1},
      {"half a header", std::string("\x74\x17", 2), true, -1},
      {"nothing at all", "", true, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(SendRaw(RawConnect(), row.bytes, row.closeWrite), row.reply);
  }
  // Binary junk.
  std::mt19937 random(7);
  for (int i = 0; i < 20; ++i) {
    std::string junk(8 + random() % 64, '\0');
    for (char& c : junk) c = static_cast<char>(random());
    junk[0] = static_cast<char>(0xEE);  // never a valid code
    EXPECT_EQ(SendRaw(RawConnect(), junk), 0);
  }
  EXPECT_EQ(received.Count(), 0u);
  EXPECT_TRUE(LogContains("> command channel: frame with code 1234 refused"));
  EXPECT_TRUE(LogContains("> command channel: frame of 4294967295 bytes refused"));
  EXPECT_TRUE(os::SendFrame(6004, "still serving"));
  ASSERT_EQ(received.Count(), 1u);
  EXPECT_EQ(received.frames[0].second, "still serving");
}

TEST_F(ChannelTransportTest, BadInputTooLargeIsRefusedWhileTenMegabytesPass) {
  ASSERT_TRUE(StartServer());
  std::string big(10u * 1024 * 1024, 'a');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>('b' + i % 20);
  EXPECT_TRUE(os::SendFrame(6004, big));
  ASSERT_EQ(received.Count(), 1u);
  EXPECT_TRUE(received.frames[0].second == big);

  std::string huge(17u * 1024 * 1024, 'h');
  EXPECT_FALSE(os::SendFrame(6004, huge));
  EXPECT_TRUE(LogContains("> command channel: frame of 17825793 bytes refused (limit 16777216)"));
  EXPECT_EQ(received.Count(), 1u);
  EXPECT_TRUE(os::SendFrame(6004, "after the refusal"));
  EXPECT_EQ(received.Count(), 2u);
  EXPECT_EQ(server.FramesRefused(), 1u);
}

TEST_F(ChannelTransportTest, ConcurrentSendersGetThroughWhileOneStalls) {
  ASSERT_TRUE(StartServer(/*readTimeoutMs=*/60000, /*maxConnections=*/4));
  // Connected, half a header, then nothing: holds one connection slot.
  int stalled = RawConnect();
  ASSERT_EQ(::send(stalled, "\x74\x17", 2, MSG_NOSIGNAL), 2);
  int idle = RawConnect();  // and one that sends nothing at all
  std::vector<std::thread> senders;
  std::atomic<int> ok{0};
  for (int i = 0; i < 20; ++i) {
    senders.emplace_back([i, &ok] {
      if (os::SendFrame(6004, "sender " + std::to_string(i))) ++ok;
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(ok.load(), 20);
  EXPECT_EQ(received.Count(), 20u);
  ::close(stalled);
  ::close(idle);
}

TEST_F(ChannelTransportTest, StalledConnectionsTimeOut) {
  ASSERT_TRUE(StartServer(/*readTimeoutMs=*/200, /*maxConnections=*/1));
  int stalled = RawConnect();
  ASSERT_EQ(::send(stalled, "\x74\x17\0\0\x05", 5, MSG_NOSIGNAL), 5);
  // With a single slot the next sender waits until the stalled one is cut off.
  EXPECT_TRUE(os::SendFrame(6004, "next", 10000));
  char byte;
  EXPECT_EQ(::recv(stalled, &byte, 1, 0), 0);  // closed by the server
  ::close(stalled);
  EXPECT_TRUE(LogContains("> command channel: incomplete frame dropped"));
  EXPECT_EQ(received.Count(), 1u);
}

TEST_F(ChannelTransportTest, HostileSilentClientsAreClosedToMakeRoom) {
  ASSERT_TRUE(StartServer(/*readTimeoutMs=*/60000, /*maxConnections=*/3));
  // Fewer than the slots: nobody waits behind them, so they are left alone.
  int first = RawConnect(), second = RawConnect();
  EXPECT_TRUE(os::SendFrame(6004, "beside two quiet ones"));
  EXPECT_EQ(server.ConnectionsEvicted(), 0u);

  // More than the slots, silent or stalled in a header: they would hold every
  // slot for the whole read time-out.
  std::vector<int> hostile{first, second};
  for (int i = 0; i < 8; ++i) {
    int fd = RawConnect();
    if (i % 2) {
      ASSERT_EQ(::send(fd, "\x74\x17", 2, MSG_NOSIGNAL), 2);
    }
    hostile.push_back(fd);
  }
  EXPECT_TRUE(os::SendFrame(6004, "past them", 20000));
  EXPECT_GE(server.ConnectionsEvicted(), 1u);
  EXPECT_TRUE(LogContains("closed to make room"));
  for (int fd : hostile) ::close(fd);
  ASSERT_EQ(received.Count(), 2u);
  EXPECT_EQ(received.frames[1].second, "past them");
  EXPECT_EQ(server.FramesAbandoned(), 0u);
}

// The sender's verdict and the server's agree: whatever SendFrame reports
// true was settled as answered, whatever it reports false was not, even when
// the sender gives up while the server is busy with its frame.
TEST_F(ChannelTransportTest, ConcurrentGivingUpAndAnsweringAgreeOnEveryFrame) {
  std::mutex mutex;
  std::string last;
  std::set<std::string> answered, dropped;
  std::atomic<int> handled{0};
  std::mt19937 random(2007);
  std::atomic<int> delayMs{0};
  std::atomic<bool> gate{true};
  auto handler = [&](uint32_t, std::string text) {
    while (!gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
    std::lock_guard lock(mutex);
    last = std::move(text);
  };
  auto settled = [&](bool ok) {
    std::lock_guard lock(mutex);
    (ok ? answered : dropped).insert(last);
    ++handled;
  };
  ASSERT_TRUE(server.Start(handler, {}, settled));

  // One sender gives up while its frame waits in the handler.
  gate = false;
  EXPECT_FALSE(os::SendFrame(6004, "gave up", 300));
  gate = true;
  for (int i = 0; i < 500 && handled.load() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(dropped, std::set<std::string>{"gave up"});
    EXPECT_TRUE(answered.empty());
  }
  EXPECT_EQ(server.FramesAbandoned(), 1u);
  EXPECT_TRUE(LogContains("the sender had given up before the answer"));

  // Many at once, each with a wait about as long as the server's work.
  std::set<std::string> reported;
  std::vector<std::thread> senders;
  std::vector<int> waits;
  for (int i = 0; i < 40; ++i) waits.push_back(1 + static_cast<int>(random() % 80));
  delayMs = 3;
  for (int i = 0; i < 40; ++i) {
    senders.emplace_back([&, i] {
      const std::string text = "frame " + std::to_string(i);
      if (os::SendFrame(6004, text, waits[i])) {
        std::lock_guard lock(mutex);
        reported.insert(text);
      }
    });
  }
  for (auto& t : senders) t.join();
  server.Stop();  // every frame read so far is settled when it returns
  std::lock_guard lock(mutex);
  std::set<std::string> answeredNow = answered;
  EXPECT_EQ(answeredNow, reported);
  for (const std::string& text : dropped) EXPECT_EQ(reported.count(text), 0u) << text;
}

TEST_F(ChannelTransportTest, StressHundredSendersEachHandedOverOnce) {
  ASSERT_TRUE(StartServer());
  constexpr int kSenders = 100;
  std::vector<std::thread> senders;
  std::atomic<int> ok{0};
  std::atomic<bool> go{false};
  for (int i = 0; i < kSenders; ++i) {
    senders.emplace_back([i, &ok, &go] {
      while (!go.load()) std::this_thread::yield();
      const uint32_t code = i % 2 ? os::kChannelCodeNoCache : os::kChannelCodeCommand;
      if (os::SendFrame(code, "<!--UseCache-->\nhttp://example.com/" + std::to_string(i), 30000)) ++ok;
    });
  }
  go = true;
  for (auto& t : senders) t.join();
  EXPECT_EQ(ok.load(), kSenders);
  std::map<std::string, int> seen;
  {
    std::lock_guard lock(received.mutex);
    for (const auto& [code, text] : received.frames) {
      ++seen[text];
      const int i = std::stoi(text.substr(text.rfind('/') + 1));
      EXPECT_EQ(code, i % 2 ? os::kChannelCodeNoCache : os::kChannelCodeCommand);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kSenders));
  for (const auto& [text, n] : seen) EXPECT_EQ(n, 1) << text;
}

TEST_F(ChannelTransportTest, StopEndsStalledConnections) {
  ASSERT_TRUE(StartServer(/*readTimeoutMs=*/600000));
  int stalled = RawConnect();
  ASSERT_EQ(::send(stalled, "\x74", 1, MSG_NOSIGNAL), 1);
  EXPECT_TRUE(os::SendFrame(6004, "x"));
  server.Stop();  // must not wait for the stalled client's time-out
  EXPECT_FALSE(server.Running());
  ::close(stalled);
}

// The whole way: a second start's command line through the socket, marshalled
// to the receiving thread, filed in the collection.
class ChannelEndToEndTest : public IntakeTest {
 protected:
  void TearDown() override {
    server.Stop();
    IntakeTest::TearDown();
  }
  os::ChannelServer server;
  std::mutex mutex;
  std::deque<std::pair<uint32_t, std::string>> inbox;  // the main thread's queue
};

TEST_F(ChannelEndToEndTest, ConcurrentSecondStartsReachTheCollection) {
  ASSERT_TRUE(server.Start([this](uint32_t code, std::string text) {
    std::lock_guard lock(mutex);
    inbox.emplace_back(code, std::move(text));
  }));
  constexpr int kStarts = 24;
  std::vector<std::thread> starts;
  std::atomic<int> sent{0}, finished{0};
  for (int i = 0; i < kStarts; ++i) {
    starts.emplace_back([i, &sent, &finished] {
      const std::string url = "http://example.com/" + std::to_string(i);
      const std::string line = (i % 3 == 0 ? "-u " : i % 3 == 1 ? "-i " : "") + url;
      auto send = [](uint32_t code, const std::string& text) { return os::SendFrame(code, text); };
      if (SendCommandLine(line, send) == 1) ++sent;
      ++finished;
    });
  }
  // The main thread runs what arrives while the senders go on.
  for (;;) {
    std::pair<uint32_t, std::string> next;
    bool done = false;
    {
      std::lock_guard lock(mutex);
      if (!inbox.empty()) {
        next = std::move(inbox.front());
        inbox.pop_front();
      } else {
        done = finished.load() == kStarts;
      }
    }
    if (done) break;
    if (next.first == 0) {
      std::this_thread::yield();
      continue;
    }
    ReceiveCommand(next.first, next.second);
  }
  for (auto& t : starts) t.join();
  JoinDownloadReservations();
  EXPECT_EQ(sent.load(), kStarts);

  std::map<std::string, int> items;
  for (TreeNode* c : Children(receive)) ++items[c->url];
  EXPECT_EQ(items.size(), static_cast<size_t>(kStarts / 3 * 2));  // "-u" and "-i" file items
  for (const auto& [url, n] : items) EXPECT_EQ(n, 1) << url;
  EXPECT_EQ(Jobs(), static_cast<size_t>(kStarts / 3));               // only "-u" captures
  EXPECT_EQ(calls.browser.size(), static_cast<size_t>(kStarts / 3));  // the bare URLs open
}

}  // namespace
}  // namespace zentu::testing
