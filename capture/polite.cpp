#include "capture/polite.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "capture/fetch.h"
#include "os/log.h"
#include "os/text.h"

namespace zentu {
namespace {

using Clock = std::chrono::steady_clock;

struct Polite {
  std::mutex mutex;
  std::condition_variable wake;
  std::map<std::string, Clock::time_point> nextTurn;  // server -> earliest next start
  std::map<std::string, RobotsRules> robots;           // server -> its rules
  std::function<std::string(std::string_view)> fetch;
};
Polite& P() {
  static Polite* p = new Polite;
  return *p;
}

// "http://host:port" of a URL, lower-cased; "" when it has no server part.
std::string ServerOf(std::string_view url) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  size_t end = url.find_first_of("/?#", scheme + 3);
  std::string server(url.substr(0, end));
  for (char& c : server) c = static_cast<char>(os::AsciiLower(c));
  return server;
}

std::string PathOf(std::string_view url) {
  size_t scheme = url.find("://");
  size_t start = scheme == std::string_view::npos ? 0 : url.find_first_of("/?#", scheme + 3);
  if (start == std::string_view::npos) return "/";
  std::string path(url.substr(start));
  if (size_t hash = path.find('#'); hash != std::string::npos) path.resize(hash);
  if (path.empty() || path[0] != '/') path = std::string(1, '/') + path;
  return path;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Whether `pattern` ("*" any run, "$" the end) matches the start of `path`.
bool Matches(std::string_view pattern, std::string_view path) {
  if (pattern.empty()) return true;
  if (pattern == "$") return path.empty();
  if (pattern[0] == '*') {
    for (size_t i = 0; i <= path.size(); ++i)
      if (Matches(pattern.substr(1), path.substr(i))) return true;
    return false;
  }
  return !path.empty() && pattern[0] == path[0] && Matches(pattern.substr(1), path.substr(1));
}

std::string FetchRobots(std::string_view robotsUrl) {
  FetchRequest request;
  request.url = std::string(robotsUrl);
  request.maxBody = 512 << 10;
  FetchResponse response = Fetch(request);
  return response.status == 200 ? response.body : std::string();
}

}  // namespace

bool WaitForHostTurn(std::string_view url, std::chrono::milliseconds delay, const std::atomic<bool>& stop) {
  if (delay.count() <= 0) return !stop.load();
  std::unique_lock lock(P().mutex);
  const Clock::time_point now = Clock::now();
  Clock::time_point& next = P().nextTurn[ServerOf(url)];
  const Clock::time_point turn = std::max(now, next);
  next = turn + delay;
  P().wake.wait_until(lock, turn, [&] { return stop.load(); });
  return !stop.load();
}

void WakePoliteWaits() {
  std::lock_guard lock(P().mutex);
  P().wake.notify_all();
}

RobotsRules ParseRobotsTxt(std::string_view text) {
  // Groups: consecutive User-agent lines, then their rules. Ours is the
  // group naming "zentu"; without one, the "*" group.
  RobotsRules mine, any;
  bool haveMine = false;
  bool inMine = false, inAny = false, lastWasAgent = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (os::EqualsNoCase(key, "user-agent")) {
      if (!lastWasAgent) inMine = inAny = false;
      lastWasAgent = true;
      if (os::ContainsNoCase(value, "zentu")) inMine = haveMine = true;
      if (value == "*") inAny = true;
      continue;
    }
    lastWasAgent = false;
    const bool allow = os::EqualsNoCase(key, "allow");
    if (!allow && !os::EqualsNoCase(key, "disallow")) continue;
    if (value.empty()) continue;  // "Disallow:" with nothing forbids nothing
    if (inMine) mine.rules.push_back({std::string(value), allow});
    if (inAny) any.rules.push_back({std::string(value), allow});
  }
  return haveMine ? mine : any;
}

bool RobotsAllow(const RobotsRules& rules, std::string_view pathAndQuery) {
  size_t best = 0;
  bool allowed = true;
  for (const RobotsRules::Rule& rule : rules.rules) {
    if (!Matches(rule.path, pathAndQuery)) continue;
    // The longest rule wins; on a tie, Allow.
    if (rule.path.size() > best || (rule.path.size() == best && rule.allow)) {
      best = rule.path.size();
      allowed = rule.allow;
    }
  }
  return allowed;
}

bool RobotsAllowUrl(std::string_view url) {
  const std::string server = ServerOf(url);
  if (server.empty()) return true;
  std::function<std::string(std::string_view)> fetch;
  {
    std::lock_guard lock(P().mutex);
    auto known = P().robots.find(server);
    if (known != P().robots.end()) return RobotsAllow(known->second, PathOf(url));
    fetch = P().fetch;
  }
  // Two workers may both read a new server's file once; the first kept wins.
  const std::string robotsUrl = server + "/robots.txt";
  const std::string text = fetch ? fetch(robotsUrl) : FetchRobots(robotsUrl);
  RobotsRules rules = ParseRobotsTxt(text);
  WriteLogVerbose("robots.txt: %s (%zu rules)", robotsUrl.c_str(), rules.rules.size());
  std::lock_guard lock(P().mutex);
  auto [at, added] = P().robots.emplace(server, std::move(rules));
  return RobotsAllow(at->second, PathOf(url));
}

void SetRobotsFetcher(std::function<std::string(std::string_view robotsUrl)> fetch) {
  std::lock_guard lock(P().mutex);
  P().fetch = std::move(fetch);
}

void ResetPoliteness() {
  std::lock_guard lock(P().mutex);
  P().nextTurn.clear();
  P().robots.clear();
}

}  // namespace zentu
