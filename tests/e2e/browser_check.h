// A capture home with headless Chromium, cut off from the network, to open
// saved copies in, and the record of every request the pages made.
#pragma once
#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/browser.h"
#include "tests/e2e/json.h"
#include "tests/support/sample_site.h"

namespace zentu::testing {

using namespace std::chrono_literals;

inline std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The native path a file:// URL names; "" for any other URL.
inline std::string PathOfFileUrl(std::string_view url) {
  if (url.rfind("file://", 0) != 0) return {};
  return PercentDecode(url.substr(7));
}

inline std::string FileUrl(const std::string& nativePath) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : nativePath) {
    if (std::isalnum(c) || std::string_view("/-._~;:@&=+$,").find(static_cast<char>(c)) != std::string_view::npos) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return url;
}

// What the browser reported about the requests of every frame, and what its
// console showed as errors.
struct RequestLog {
  struct Request {
    std::string url;
    bool finished = false;
    std::string failure;  // errorText of a failed request
  };
  std::map<std::string, Request> requests;  // by session and request id
  std::vector<std::string> order;           // keys in the order the requests were sent
  std::vector<std::string> consoleErrors;   // uncaught exceptions and errors the console showed

  void Sent(const std::string& key, const std::string& url) { At(key) = Request{url, false, {}}; }
  // An end reported for a request never announced still counts (its URL stays empty).
  Request& At(const std::string& key) {
    if (!requests.count(key)) order.push_back(key);
    return requests[key];
  }
  size_t Pending() const {
    size_t n = 0;
    for (const auto& [key, r] : requests) n += !r.finished && r.failure.empty();
    return n;
  }
};

// A capture home with a headless browser to open saved pages in.
class BrowserCheck : public CaptureHome {
 protected:
  // Starts the browser with the network cut off (no proxy answers, no name
  // resolves), opens a tab on `top` and leaves its session in `session`.
  void OpenOffline(HeadlessBrowser& browser, const std::string& top, std::string& session) {
    ASSERT_TRUE(browser.Start(nativeHome, {"--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>",
                                           "--host-resolver-rules=MAP * ~NOTFOUND"}))
        << browser.Error();
    Json result;
    ASSERT_TRUE(browser.Call("Target.createTarget", R"({"url":"about:blank"})", "", &result))
        << browser.Error() << browser.LogTail();
    const std::string targetId = result["targetId"].Str();
    ASSERT_TRUE(browser.Call("Target.attachToTarget", "{\"targetId\":" + JsonQuote(targetId) + ",\"flatten\":true}",
                             "", &result))
        << browser.Error();
    session = result["sessionId"].Str();
    for (const char* method : {"Network.enable", "Page.enable", "Runtime.enable", "Log.enable"})
      ASSERT_TRUE(browser.Call(method, "{}", session, nullptr)) << browser.Error();
    ASSERT_TRUE(browser.Call("Target.setAutoAttach",
                             R"({"autoAttach":true,"waitForDebuggerOnStart":true,"flatten":true})", session, nullptr))
        << browser.Error();
    ASSERT_TRUE(browser.Call("Page.navigate", "{\"url\":" + JsonQuote(FileUrl(top)) + "}", session, &result))
        << browser.Error();
    ASSERT_FALSE(result.Has("errorText")) << result.Dump();
  }

  // The value of a JSON.stringify(...) expression evaluated in the page's own world.
  void EvaluateJson(HeadlessBrowser& browser, const std::string& session, const std::string& expression, Json& out) {
    Json value;
    ASSERT_TRUE(browser.Call("Runtime.evaluate", "{\"expression\":" + JsonQuote(expression) + ",\"returnByValue\":true}",
                             session, &value))
        << browser.Error();
    ASSERT_TRUE(ParseJson(value["result"]["value"].Str(), out)) << value.Dump();
  }

  // Lets the browser show the page until every needed file was asked for and
  // every request has ended, or the time is up.
  void Watch(HeadlessBrowser& browser, RequestLog& log, const std::set<std::string>& needed) {
    auto until = std::chrono::steady_clock::now() + 60s;
    auto lastNetwork = std::chrono::steady_clock::now();
    for (;;) {
      auto now = std::chrono::steady_clock::now();
      if (now >= until) break;
      std::set<std::string> seen;
      for (const auto& [key, r] : log.requests) seen.insert(PathOfFileUrl(r.url));
      bool allSeen = std::includes(seen.begin(), seen.end(), needed.begin(), needed.end());
      if (allSeen && log.Pending() == 0 && now - lastNetwork > 700ms) break;
      Json event;
      if (!browser.NextEvent(event, 200ms)) continue;
      const std::string& method = event["method"].Str();
      const Json& params = event["params"];
      const std::string key = event["sessionId"].Str() + "/" + params["requestId"].Str();
      if (method.rfind("Network.", 0) == 0) lastNetwork = std::chrono::steady_clock::now();
      if (method == "Network.requestWillBeSent") {
        log.Sent(key, params["request"]["url"].Str());
      } else if (method == "Network.loadingFinished") {
        log.At(key).finished = true;
      } else if (method == "Network.loadingFailed") {
        std::string& failure = log.At(key).failure;
        failure = params["errorText"].Str();
        if (failure.empty()) failure = "failed";
      } else if (method == "Runtime.exceptionThrown") {
        const Json& details = params["exceptionDetails"];
        log.consoleErrors.push_back(details["text"].Str() + " " + details["exception"]["description"].Str());
      } else if (method == "Runtime.consoleAPICalled" && params["type"].Str() == "error") {
        log.consoleErrors.push_back("console.error: " + params["args"].Dump());
      } else if (method == "Log.entryAdded" && params["entry"]["level"].Str() == "error") {
        log.consoleErrors.push_back(params["entry"]["text"].Str() + " " + params["entry"]["url"].Str());
      } else if (method == "Target.attachedToTarget") {
        // A frame the browser put in a process of its own reports on its own session.
        const std::string session = params["sessionId"].Str();
        browser.Send("Network.enable", "{}", session);
        browser.Send("Target.setAutoAttach", R"({"autoAttach":true,"waitForDebuggerOnStart":true,"flatten":true})",
                     session);
        browser.Send("Runtime.runIfWaitingForDebugger", "{}", session);
      }
    }
  }
};

}  // namespace zentu::testing
