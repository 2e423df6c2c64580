#include "capture/sitedownload.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "os/cp932.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

using os::SJ;

TEST(SiteFilter, HeldToTheUrlsOwnSite) {
  struct Row {
    const char* url;
    const char* filter;
    bool accepted;
  } rows[] = {
      {"http://example.com/a/b.html", "http://example.com/a/", true},
      {"http://example.com/a/b.html", "http://example.com", true},
      {"http://Example.COM/a/", "HTTP://example.com/a/", true},
      {"https://example.com/a/", "https://example.com/a/", true},  // not only http
      {"http://example.com:8080/a/", "http://example.com:8080/a/", true},
      {"http://example.com/a/", "http://other.com/a/", false},
      {"http://example.com/a/", "http://example.com.evil.net/", false},  // a longer host is another site
      {"http://example.com/a/", "http://example.com:81/", false},
      {"http://example.com/a/", "https://example.com/a/", false},
      {"http://example.com/a/", "example.com/a/", false},
      {"http://example.com/a/", "", false},
      {"not a url", "not a url", false},
  };
  for (const Row& r : rows) EXPECT_EQ(SiteFilterAccepted(r.url, r.filter), r.accepted) << r.url << " / " << r.filter;
  EXPECT_EQ(SiteBaseUrl("HTTP://Host:81/x?y"), "http://host:81");
  EXPECT_EQ(SiteBaseUrl("http:///x"), "");
}

class DownloaderTest : public TempHome {};

// The downloader gets the URL as one argument, no shell between: a URL with
// blanks, quotes and ";" arrives as it was.
TEST_F(DownloaderTest, StartsTheProgramWithTheUrlAndRefusesWhatItCannot) {
  const std::string script = nativeHome + "/fake-downloader";
  const std::string record = nativeHome + "/args.txt";
  WriteNative("fake-downloader", "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > " + record + ".tmp\n"
                                 "mv " + record + ".tmp " + record + "\n");
  ASSERT_EQ(::chmod(script.c_str(), 0700), 0);
  const std::string url = "http://example.com/a b;'x'\"$(touch " + nativeHome + "/owned)\".html";
  ASSERT_EQ(StartExternalDownloader(script, url), 1);
  for (int i = 0; i < 200 && !std::filesystem::exists(record); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ReadNative("args.txt"), "[" + url + "]\n");
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/owned"));
  EXPECT_TRUE(desktop.messages.empty());

  // Found on PATH by its bare name, and in its program form.
  EXPECT_FALSE(os::FindProgram("sh").empty());
  EXPECT_EQ(os::FindProgram(os::FromNativePath(script)), os::FromNativePath(script));
  EXPECT_EQ(os::FindProgram(script), os::FromNativePath(script));

  struct Refusal {
    std::string program, url, text;
  } refusals[] = {
      {"no-such-downloader-zentu", "http://example.com/", "ダウンローダが見つかりません"},
      {nativeHome + "/args.txt", "http://example.com/", "ダウンローダが見つかりません"},  // not executable
      {script, "-O/tmp/x http://example.com/", "ダウンローダに渡せないURL"},        // would pass for an option
      {script, "file:///etc/passwd", "ダウンローダに渡せないURL"},
  };
  for (const Refusal& r : refusals) {
    desktop.messages.clear();
    EXPECT_EQ(StartExternalDownloader(r.program, r.url), 0) << r.program << " " << r.url;
    ASSERT_EQ(desktop.messages.size(), 1u) << r.url;
    EXPECT_NE(desktop.messages[0].text.find(SJ(r.text.c_str())), std::string::npos) << r.url;
    EXPECT_EQ(desktop.messages[0].caption, SJ("エラー"));
  }
}

}  // namespace
}  // namespace zentu::testing
