// Zentu's extension in a real Chromium: the registration writes the
// native-messaging manifest into the browser's configuration under a
// temporary home, the browser loads extension/ and starts `zentu
// --native-host` for it, and a running headless Zentu files what the
// extension hands over: a whole page (captured from the local server) and a
// selection (a captured fragment). The capture handler is called in the
// extension's service worker over the debugging protocol, as the context menu
// calls it. The host's own refusals are checked on the built program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "intake/browserreg.h"
#include "intake/nativehost.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "tests/e2e/browser.h"
#include "tests/support/testhome.h"
#include "tests/support/testserver.h"
#include "tests/support/zentu_process.h"

namespace zentu::testing {
namespace {

using namespace std::chrono_literals;

class ExtensionCaptureTest : public TempHome {
 protected:
  // Waits until the tree file holds every text; the file as last read.
  std::string WaitForTreeFile(const std::vector<std::string>& texts, std::chrono::seconds limit = 60s) {
    std::string tree;
    for (auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;) {
      std::ifstream in(nativeHome + "/default.html", std::ios::binary);
      tree.assign(std::istreambuf_iterator<char>(in), {});
      bool all = true;
      for (const std::string& t : texts) all = all && tree.find(t) != std::string::npos;
      if (all) return tree;
      std::this_thread::sleep_for(100ms);
    }
    return tree;
  }
};

TEST_F(ExtensionCaptureTest, ChromiumHandsAPageAndASelectionToTheRunningZentu) {
  if (::access(kChromiumPath, X_OK) != 0) {
    if (std::getenv("CI")) FAIL() << kChromiumPath << " is missing";
    GTEST_SKIP() << kChromiumPath << " is missing";
  }
  TestServer server;
  server.AddPage("/page.html",
                 "<html><head><title>Extension Page Title</title></head><body><p>whole page</p></body></html>");
  server.AddPage("/sel.html", "<html><head><meta charset=\"utf-8\"><title>sel</title></head><body>"
                              "<p id=\"s\">選んだ<b>文章</b>です</p><p>rest</p></body></html>",
                 "text/html; charset=utf-8");
  const std::string pageUrl = server.Url("/page.html"), selUrl = server.Url("/sel.html");

  // The registration, as the menu command runs it, for a Chromium whose
  // configuration lives in the temporary home.
  ASSERT_TRUE(os::CreateDirectories(Path("user\\.config\\chromium")));
  BrowserIntegrationHooks hooks;
  hooks.userHome = Path("user");
  hooks.configHome = Path("user\\.config");
  hooks.hostProgram = ZentuBinary();
  BrowserGroupFlags flags{};
  flags[kGroupPage] = flags[kGroupSelection] = true;
  desktop.answers = {os::IDYES};
  ASSERT_EQ(RegisterBrowserIntegration(home, flags, hooks), 1);
  ASSERT_TRUE(std::filesystem::exists(nativeHome + "/user/.config/chromium/NativeMessagingHosts/zentu.host.json"));

  WriteNative("zentu.ini", "[Zentu]\nTimeOut=5\nFinishConfirm=0\nSaveConfirm=0\n"
                           "[DownloadManager]\nDelayOfDownload=0\nShowByDownload=0\n");
  ZentuProcess zentu({"--headless"}, {{"DISPLAY", std::nullopt},
                                      {"WAYLAND_DISPLAY", std::nullopt},
                                      {"ZENTU_SAVE_INTERVAL_MS", "300"},
                                      {"ZENTU_WORKER_IDLE_MS", "1000"}});
  ASSERT_TRUE(zentu.WaitForLine("# Ready")) << zentu.Output();

  HeadlessBrowser browser;
  HeadlessBrowser::Launch launch;
  launch.withExtensions = true;
  launch.userDataDir = nativeHome + "/user/.config/chromium";
  launch.environment = {{"HOME", nativeHome + "/user"},
                        {"XDG_CONFIG_HOME", nativeHome + "/user/.config"},
                        {"ZENTU_HOME", nativeHome}};
  const std::string extension = std::string(ZENTU_SOURCE_DIR) + "/extension";
  ASSERT_TRUE(browser.Start(nativeHome, {"--no-proxy-server", "--load-extension=" + extension,
                                         "--disable-extensions-except=" + extension},
                            launch))
      << browser.Error();

  // The selection's tab, with its paragraph selected.
  Json result;
  ASSERT_TRUE(browser.Call("Target.createTarget", "{\"url\":" + JsonQuote(selUrl) + "}", "", &result))
      << browser.Error() << browser.LogTail();
  ASSERT_TRUE(browser.Call("Target.attachToTarget",
                           "{\"targetId\":" + JsonQuote(result["targetId"].Str()) + ",\"flatten\":true}", "", &result))
      << browser.Error();
  const std::string page = result["sessionId"].Str();
  // Asked again until the tab shows the page (it starts on about:blank, and
  // the navigation ends the first document's context).
  const std::string select =
      "(() => { const p = document.getElementById('s'); if (!p) return '';"
      " const r = document.createRange(); r.selectNodeContents(p); getSelection().removeAllRanges();"
      " getSelection().addRange(r); return String(getSelection()); })()";
  std::string selected;
  for (auto until = std::chrono::steady_clock::now() + 30s;
       selected.empty() && std::chrono::steady_clock::now() < until;) {
    if (browser.Call("Runtime.evaluate", "{\"expression\":" + JsonQuote(select) + ",\"returnByValue\":true}", page,
                     &result))
      selected = result["result"]["value"].Str();
    if (selected.empty()) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(selected, "選んだ文章です") << result.Dump() << browser.LogTail();

  // The extension's service worker, attached and answering. A worker that was
  // starting when the session attached can wait for the debugger, and one the
  // browser stopped and started again is a new target: both are attached anew
  // until the handler is there.
  const std::string origin = "chrome-extension://" + std::string(kChromiumExtensionId) + "/";
  std::string worker;
  for (auto until = std::chrono::steady_clock::now() + 60s; worker.empty() && std::chrono::steady_clock::now() < until;) {
    std::string workerId;
    ASSERT_TRUE(browser.Call("Target.getTargets", "{}", "", &result)) << browser.Error();
    for (const Json& t : result["targetInfos"].items)
      if (t["type"].Str() == "service_worker" && t["url"].Str().rfind(origin, 0) == 0) workerId = t["targetId"].Str();
    if (!workerId.empty() &&
        browser.Call("Target.attachToTarget", "{\"targetId\":" + JsonQuote(workerId) + ",\"flatten\":true}", "",
                     &result)) {
      const std::string session = result["sessionId"].Str();
      (void)browser.Send("Runtime.runIfWaitingForDebugger", "{}", session);
      if (browser.Call("Runtime.evaluate", "{\"expression\":\"typeof zentuCapture\",\"returnByValue\":true}", session,
                       &result, 5s) &&
          result["result"]["value"].Str() == "function")
        worker = session;
    }
    if (worker.empty()) std::this_thread::sleep_for(200ms);
  }
  ASSERT_FALSE(worker.empty()) << "the extension's worker did not answer: " << browser.Error() << result.Dump()
                               << browser.LogTail();

  // What the context menu's entries do: the page (of its URL) and the selection.
  // Started without waiting on the promise, then asked for its result in short
  // calls: one long call whose answer is lost would hang the test, while a
  // later question still finds the answer the worker keeps.
  const std::string run = "globalThis.zentuTestResult = undefined; (async () => { const tabs = await chrome.tabs.query({});"
                          " const sel = tabs.find(t => t.url === " + JsonQuote(selUrl) + ");"
                          " if (!sel) return 'no tab: ' + JSON.stringify(tabs.map(t => t.url));"
                          " const page = await zentuCapture('page', sel, { pageUrl: " + JsonQuote(pageUrl) + " });"
                          " const selection = await zentuCapture('selection', sel);"
                          " return JSON.stringify([page, selection]); })()"
                          ".then(r => { globalThis.zentuTestResult = r; }, e => { globalThis.zentuTestResult = 'error: ' + e; });"
                          " 'started'";
  ASSERT_TRUE(browser.Call("Runtime.evaluate", "{\"expression\":" + JsonQuote(run) + ",\"returnByValue\":true}",
                           worker, &result))
      << browser.Error() << browser.LogTail() << zentu.Output();
  const std::string ask = "String(globalThis.zentuTestResult ?? '')";
  std::string answer;
  for (auto until = std::chrono::steady_clock::now() + 60s;
       answer.empty() && std::chrono::steady_clock::now() < until;) {
    if (browser.Call("Runtime.evaluate", "{\"expression\":" + JsonQuote(ask) + ",\"returnByValue\":true}", worker,
                     &result, 5s))
      answer = result["result"]["value"].Str();
    if (answer.empty()) std::this_thread::sleep_for(200ms);
  }
  ASSERT_FALSE(answer.empty()) << "the captures never ended: " << browser.Error() << browser.LogTail()
                               << zentu.Output();
  if (answer != "[true,true]") {
    // What the browser says about the host, for the failure message.
    const std::string probe = "new Promise(r => chrome.runtime.sendNativeMessage('zentu.host', {code: 6004, text: 'x'},"
                              " reply => r(String(chrome.runtime.lastError && chrome.runtime.lastError.message) +"
                              " ' ' + JSON.stringify(reply))))";
    Json why;
    (void)browser.Call("Runtime.evaluate",
                       "{\"expression\":" + JsonQuote(probe) + ",\"awaitPromise\":true,\"returnByValue\":true}", worker,
                       &why);
    ADD_FAILURE() << answer << "\nhost: " << why.Dump() << "\n" << browser.LogTail() << zentu.Output();
    return;
  }

  // Both land in the receive folder; the page is captured with its title.
  // Once the workers have gone idle the shutdown saves the collection.
  ASSERT_TRUE(zentu.WaitForLine("Analyzing: " + selUrl, 60000)) << zentu.Output();
  ASSERT_TRUE(zentu.WaitForLine("Finish. Analyze Thread.", 60000)) << zentu.Output();
  browser.Close();
  zentu.Signal(SIGTERM);
  EXPECT_EQ(zentu.Wait(), 0) << zentu.Output();
  const std::string tree = WaitForTreeFile({pageUrl, "Extension Page Title", selUrl}, 5s);
  EXPECT_NE(tree.find("\">Extension Page Title</A>"), std::string::npos) << tree << zentu.Output();
  EXPECT_NE(tree.find("HREF=\"" + selUrl + "\""), std::string::npos) << tree;
  // The selection's fragment was stored as that item's page.
  bool fragment = false;
  for (const auto& e : std::filesystem::recursive_directory_iterator(nativeHome + "/Data")) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    fragment = fragment || bytes.find(os::SJ("選んだ<b>文章</b>です")) != std::string::npos;
  }
  EXPECT_TRUE(fragment) << "no saved page holds the selection";
}

// The host as the browser would start it, fed hostile input: only a pipe,
// only Zentu's extension, and nothing forwarded from a damaged stream.
TEST_F(ExtensionCaptureTest, NativeHostBadInputIsRefusedAtTheProcess) {
  const std::string origin = "chrome-extension://" + std::string(kChromiumExtensionId) + "/";
  {
    ZentuProcess host({"--native-host", origin});  // standard input is not a pipe
    EXPECT_EQ(host.Wait(), 1);
    EXPECT_NE(host.FindLine("> native host: standard input is not a browser's pipe"), -1) << host.Output();
  }
  auto feed = [&](const std::string& bytes, const std::string& caller) {
    const std::string file = nativeHome + "/frames.bin";
    std::ofstream(file, std::ios::binary) << bytes;
    return std::make_unique<ZentuProcess>(std::vector<std::string>{caller},
                                          ZentuProcess::Environment{},
                                          std::vector<std::string>{"sh", "-c", "cat '" + file + "' | \"$0\" \"$@\""});
  };
  {
    auto host = feed(NativeMessageFrame(R"({"code":6004,"text":"<!--ScrapHTML-->\nhttp://x.example/"})"),
                     "chrome-extension://someoneelse/");
    EXPECT_EQ(host->Wait(), 1);
    EXPECT_NE(host->FindLine("is not Zentu's"), -1) << host->Output();
  }
  // No Zentu runs here: had anything been accepted, forwarding it would fail
  // and say so; the damaged frames are refused before that.
  std::string hostile = NativeMessageFrame("{\"code\":6004,\"text\":\"<!--ScrapHTML-->\\nhttp://x/\xff\"}") +
                        NativeMessageFrame(R"({"code":6004,"text":"<!--Zentu OpenURL-->\r\nURL=file:///etc/passwd"})") +
                        NativeMessageFrame("[1,2") + std::string("\xff\xff\xff\x7f", 4) + "tail";
  auto host = feed(hostile, origin);
  EXPECT_EQ(host->Wait(), 0);
  EXPECT_NE(host->FindLine("> native host: message refused (not valid JSON)"), -1) << host->Output();
  EXPECT_NE(host->FindLine("> native host: message refused (not a command of the extension)"), -1);
  EXPECT_NE(host->FindLine("more than"), -1) << host->Output();
}

}  // namespace
}  // namespace zentu::testing
