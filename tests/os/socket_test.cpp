// Name look-ups are bounded by the connect's time-out: a name server that
// never answers must not hold a capture thread for the resolver's own minutes.
#include <netdb.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "os/socket.h"
#include "os/tls.h"
#include "tests/support/testca.h"
#include "tests/support/testserver.h"

namespace zentu::os {
namespace {

// A stand-in name server: "stuck.invalid" answers only when released, every
// other name at once with the loopback address; literals must never reach it.
struct FakeNameServer {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int stuckCalls = 0, finishedStuck = 0, calls = 0;
  std::string lastHost;
};
FakeNameServer* g_server = nullptr;

int FakeLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  FakeNameServer& s = *g_server;
  {
    std::unique_lock lock(s.mutex);
    ++s.calls;
    s.lastHost = host;
    if (std::strcmp(host, "stuck.invalid") == 0) {
      ++s.stuckCalls;
      s.changed.wait(lock, [&] { return s.released; });
    }
  }
  const int r = ::getaddrinfo("127.0.0.1", service, hints, result);
  std::lock_guard lock(s.mutex);
  if (std::strcmp(host, "stuck.invalid") == 0) ++s.finishedStuck;
  s.changed.notify_all();
  return r;
}

TEST(SocketTest, HostileNameServerCannotHoldAConnectBeyondItsTimeOut) {
  FakeNameServer server;
  g_server = &server;
  SetNameLookupForTesting(&FakeLookup);
  testing::TestServer web;
  web.AddPage("/", "ok");

  // A name that never resolves: the connect gives up at its time-out.
  Connection stuck;
  EXPECT_EQ(stuck.Connect("stuck.invalid", web.Port(), 200), ConnectStatus::HostNotFound);
  EXPECT_TRUE(stuck.TimedOut());
  EXPECT_FALSE(SocketErrorText(stuck.Error()).empty());

  // A name that resolves goes through the same bounded look-up.
  Connection named;
  EXPECT_EQ(named.Connect("web.example", web.Port(), 5000), ConnectStatus::Ok);
  EXPECT_FALSE(named.TimedOut());
  // Address literals need no name server.
  const int before = server.calls;
  Connection literal;
  EXPECT_EQ(literal.Connect("127.0.0.1", web.Port(), 5000), ConnectStatus::Ok);
  Connection literal6;
  (void)literal6.Connect("[::1]", web.Port(), 500);  // the host may lack IPv6; it must not look up
  EXPECT_EQ(server.calls, before);

  // The late answer arrives after the connect gave up and is dropped cleanly.
  {
    std::unique_lock lock(server.mutex);
    server.released = true;
    server.changed.notify_all();
    server.changed.wait(lock, [&] { return server.finishedStuck == server.stuckCalls; });
  }
  SetNameLookupForTesting(nullptr);
  g_server = nullptr;
}

// Sends a GET on the connection and reads its answer of "ok" to the end.
std::string GetOk(Connection& c, const std::string& path) {
  EXPECT_TRUE(c.SendAll("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n"));
  std::string data;
  char buffer[4096];
  for (;;) {
    size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos && data.size() >= end + 4 + 2) break;
    long n = c.Receive(buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data.substr(data.find("\r\n\r\n") + 4);
}

// Between answers a kept TLS connection takes in the session tickets the
// server sends late and stays idle; a server that closes it makes it so.
TEST(SocketTest, LateSessionTicketsLeaveATlsConnectionIdle) {
  ASSERT_TRUE(AddTrustedCaFile(testing::GetTestCa().caFile));
  StartSockets();
  auto server = std::make_unique<testing::TestServer>(
      testing::TestServerOptions{.https = true, .keepAlive = true, .ticketAfterAnswer = true});
  server->AddPage("/*", "ok");
  Connection c;
  ASSERT_EQ(c.Connect("127.0.0.1", server->Port(), 5000), ConnectStatus::Ok);
  std::string reason;
  ASSERT_EQ(c.StartTls("127.0.0.1", reason), TlsStatus::Ok) << reason;
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(GetOk(c, "/" + std::to_string(i)), "ok");
    ASSERT_TRUE(server->WaitForTickets(static_cast<size_t>(i)));
    EXPECT_TRUE(c.LooksIdle()) << "after answer " << i;
  }
  EXPECT_EQ(server->Connections(), 1u);
  server.reset();  // closes the connection from its side
  EXPECT_FALSE(c.LooksIdle());
  ResetTrustedCaFiles();
}

}  // namespace
}  // namespace zentu::os
