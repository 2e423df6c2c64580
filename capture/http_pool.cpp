// Connections kept open between requests to the same server (HTTP keep-alive).
#include <chrono>
#include <deque>
#include <map>
#include <mutex>

#include "capture/http_internal.h"
#include "os/log.h"

namespace zentu::http_detail {
namespace {

struct Idle {
  os::Connection connection;
  std::chrono::steady_clock::time_point since;
};

// Few per server: as many as threads may ask it at once, no more.
constexpr size_t kIdlePerServer = 8;
constexpr size_t kIdleInAll = 64;

std::mutex g_mutex;
std::map<std::string, std::deque<Idle>, std::less<>> g_idle;
size_t g_count = 0;

bool Expired(const Idle& idle, std::chrono::steady_clock::time_point now) {
  return now - idle.since > std::chrono::milliseconds(kIdleKeepMs);
}

// Closing happens outside the lock: a TLS close_notify is a write.
void DropExpired(std::chrono::steady_clock::time_point now, std::deque<os::Connection>& closing) {
  for (auto it = g_idle.begin(); it != g_idle.end();) {
    auto& list = it->second;
    while (!list.empty() && Expired(list.front(), now)) {
      closing.push_back(std::move(list.front().connection));
      list.pop_front();
      --g_count;
    }
    it = list.empty() ? g_idle.erase(it) : std::next(it);
  }
}

}  // namespace

bool TakeIdleConnection(const std::string& key, os::Connection& connection) {
  std::deque<os::Connection> closing;
  bool found = false;
  {
    std::lock_guard lock(g_mutex);
    const auto now = std::chrono::steady_clock::now();
    DropExpired(now, closing);
    auto it = g_idle.find(key);
    // The most recently used first: the likeliest to be open still.
    while (it != g_idle.end() && !it->second.empty()) {
      Idle idle = std::move(it->second.back());
      it->second.pop_back();
      --g_count;
      if (idle.connection.LooksIdle()) {
        connection = std::move(idle.connection);
        found = true;
        break;
      }
      closing.push_back(std::move(idle.connection));
    }
    if (it != g_idle.end() && it->second.empty()) g_idle.erase(it);
  }
  return found;
}

void KeepIdleConnection(const std::string& key, os::Connection&& connection) {
  if (!connection.IsOpen()) return;
  std::deque<os::Connection> closing;
  {
    std::lock_guard lock(g_mutex);
    const auto now = std::chrono::steady_clock::now();
    DropExpired(now, closing);
    auto& list = g_idle[key];
    if (list.size() >= kIdlePerServer || g_count >= kIdleInAll) {
      closing.push_back(std::move(connection));
      return;
    }
    // The stop and the deadline of the finished transfer must not reach the next one.
    connection.WatchStop(nullptr);
    connection.LimitTransfer(std::chrono::steady_clock::time_point::max());
    list.push_back(Idle{std::move(connection), now});
    ++g_count;
  }
}

size_t CloseIdleConnections() {
  std::deque<os::Connection> closing;
  {
    std::lock_guard lock(g_mutex);
    for (auto& [key, list] : g_idle)
      for (auto& idle : list) closing.push_back(std::move(idle.connection));
    g_idle.clear();
    g_count = 0;
  }
  return closing.size();
}

}  // namespace zentu::http_detail
