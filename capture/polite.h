// Politeness of site downloads: requests to one server are spaced by the
// profile's DelayOfSiteDownload, and robots.txt is obeyed (the profile's
// ObeyRobotsTxt turns that off). The pipeline asks here before each
// site-download request; nothing else of it knows these rules.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zentu {

// Waits for the turn of the URL's server (scheme, host and port): at most one
// request to a server starts per `delay`. False when `stop` was set meanwhile
// (WakePoliteWaits makes the waiters look at it).
bool WaitForHostTurn(std::string_view url, std::chrono::milliseconds delay, const std::atomic<bool>& stop);
// Wakes every waiter of WaitForHostTurn (the stop command).
void WakePoliteWaits();

// The rules of one robots.txt for our user agent ("Zentu", else "*").
struct RobotsRules {
  struct Rule {
    std::string path;
    bool allow = false;
  };
  std::vector<Rule> rules;
};
RobotsRules ParseRobotsTxt(std::string_view text);
// The longest matching rule wins ("*" and a final "$" understood); allowed
// when none matches.
bool RobotsAllow(const RobotsRules& rules, std::string_view pathAndQuery);

// Whether robots.txt of the URL's server lets us fetch it. The file is read
// once per server and run (a missing or failing one allows everything).
bool RobotsAllowUrl(std::string_view url);
// Tests and benchmarks replace the fetch of robots.txt ({} restores it);
// it returns the file's text, "" for none.
void SetRobotsFetcher(std::function<std::string(std::string_view robotsUrl)> fetch);
// Forgets the servers' files and turns (tests, a new run).
void ResetPoliteness();

}  // namespace zentu
