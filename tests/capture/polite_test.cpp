#include "capture/polite.h"

#include <gtest/gtest.h>

#include <thread>

namespace zentu::testing {
namespace {

TEST(PoliteTest, RobotsRulesForOurAgentLongestMatchWins) {
  const RobotsRules any = ParseRobotsTxt(
      "# comment\r\nUser-agent: other\r\nDisallow: /\r\n\r\n"
      "User-agent: *\r\nDisallow: /private/\r\nAllow: /private/open\r\nDisallow: /*.cgi$\r\nDisallow:\r\n");
  const RobotsRules ours = ParseRobotsTxt(
      "User-agent: *\nDisallow: /\n\nUser-agent: googlebot\nUser-agent: Zentu/0.99\nDisallow: /tmp # ours\n");
  struct Row {
    const RobotsRules* rules;
    const char* path;
    bool allowed;
  } rows[] = {
      {&any, "/index.html", true},          {&any, "/private/x.html", false},
      {&any, "/private/open/y.html", true}, {&any, "/bin/run.cgi", false},
      {&any, "/bin/run.cgi?x=1", true},     {&ours, "/index.html", true},
      {&ours, "/tmp/a", false},             {&ours, "/", true},
  };
  for (const Row& row : rows) EXPECT_EQ(RobotsAllow(*row.rules, row.path), row.allowed) << row.path;
}

TEST(PoliteTest, RobotsFileIsReadOncePerServer) {
  ResetPoliteness();
  std::vector<std::string> asked;
  SetRobotsFetcher([&](std::string_view url) {
    asked.emplace_back(url);
    return std::string("User-agent: *\nDisallow: /no/\n");
  });
  EXPECT_TRUE(RobotsAllowUrl("http://Site.test:8080/a.html"));
  EXPECT_FALSE(RobotsAllowUrl("http://site.test:8080/no/b.html#x"));
  EXPECT_TRUE(RobotsAllowUrl("http://other.test/no"));
  EXPECT_EQ(asked, (std::vector<std::string>{"http://site.test:8080/robots.txt", "http://other.test/robots.txt"}));
  SetRobotsFetcher({});
  ResetPoliteness();
}

TEST(PoliteTest, AWaitForAServersTurnEndsAtTheStop) {
  ResetPoliteness();
  std::atomic<bool> stop{false};
  // The first request of a server goes at once; the next waits an hour for
  // its turn unless the stop wakes it.
  EXPECT_TRUE(WaitForHostTurn("http://h.test/1", std::chrono::hours(1), stop));
  EXPECT_TRUE(WaitForHostTurn("http://other.test/1", std::chrono::hours(1), stop));
  std::thread waiter([&] { EXPECT_FALSE(WaitForHostTurn("http://h.test/2", std::chrono::hours(1), stop)); });
  stop = true;
  WakePoliteWaits();
  waiter.join();
  ResetPoliteness();
}

}  // namespace
}  // namespace zentu::testing
