// Headless Chromium driven over its debugging protocol through a pair of
// pipes (--remote-debugging-pipe: the browser reads commands on fd 3 and
// writes answers and events on fd 4, each message ended by a zero byte).
//
//   HeadlessBrowser browser;
//   ASSERT_TRUE(browser.Start(dir, {"--proxy-server=127.0.0.1:9"})) << browser.Error();
//   Json target;
//   browser.Call("Target.createTarget", R"({"url":"about:blank"})", "", &target);
//   ... browser.NextEvent(event, 1s) ...
#pragma once
#include <sys/types.h>

#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/e2e/json.h"

namespace zentu::testing {

inline constexpr char kChromiumPath[] = "/usr/bin/chromium";

class HeadlessBrowser {
 public:
  HeadlessBrowser() = default;
  ~HeadlessBrowser();
  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  // Starts the browser with a new profile under `workDir` (its output goes to
  // workDir/chromium.log) and the flags on top of the usual headless ones.
  [[nodiscard]] bool Start(const std::string& workDir, const std::vector<std::string>& flags);
  // How a browser with an extension starts: the new headless mode (which
  // loads extensions), the profile in `userDataDir` (the browser looks for
  // native-messaging hosts in its "NativeMessagingHosts"; headless runs
  // would otherwise take a throw-away profile), and these variables set for
  // it and the hosts it starts.
  struct Launch {
    bool withExtensions = false;
    std::string userDataDir;
    std::vector<std::pair<std::string, std::string>> environment;
  };
  [[nodiscard]] bool Start(const std::string& workDir, const std::vector<std::string>& flags, const Launch& launch);
  // Sends a command; its id, or 0 when the browser is gone.
  int Send(std::string_view method, std::string_view params = "{}", std::string_view session = "");
  // Sends a command and waits for its answer; events that arrive meanwhile
  // are kept for NextEvent. False on an error answer or a time-out (Error() says).
  [[nodiscard]] bool Call(std::string_view method, std::string_view params, std::string_view session, Json* result,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The next event (a message without an id); false when none came in time.
  bool NextEvent(Json& event, std::chrono::milliseconds timeout);
  // Closes the browser and waits for it; kills its process group when it
  // does not end in time.
  void Close();

  const std::string& Error() const { return error_; }
  // The end of the browser's own output, for failure messages.
  std::string LogTail() const;

 private:
  // Reads one message into `out`; false at the time limit or when the pipe closed.
  bool ReadMessage(Json& out, std::chrono::steady_clock::time_point until);

  pid_t pid_ = -1;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  int nextId_ = 1;
  std::string buffer_;
  std::deque<Json> events_;
  std::string error_;
  std::string logPath_;
};

}  // namespace zentu::testing
