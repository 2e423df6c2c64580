// The texts a second start sends for its command line.
#include <gtest/gtest.h>

#include "intake/channel.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

TEST(CommandLineTest, EveryOptionBuildsItsText) {
  struct Row {
    const char* line;
    uint32_t code;
    const char* text;
  } rows[] = {
      {"-u http://example.com/a.html", 6003, "<!--NoCache-->\nhttp://example.com/a.html"},
      {"-U \"http://example.com/a b.html\"", 6003, "<!--NoCache-->\nhttp://example.com/a b.html"},
      {"  -u   'http://example.com/q'  ", 6003, "<!--NoCache-->\nhttp://example.com/q"},
      {"-t http://example.com/sel", 6004, "<!--ScrapHTML-->\nhttp://example.com/sel"},
      {"-tXhttp://example.com/sel", 6004, "<!--ScrapHTML-->\nhttp://example.com/sel"},
      {"-T \"http://example.com/sel\"", 6004, "<!--ScrapHTML-->\nhttp://example.com/sel"},
      {"-t", 6004, "<!--ScrapHTML-->\n"},
      {"-t ", 6004, "<!--ScrapHTML-->\n"},
      {"-s http://example.com/site/", 6004, "<!--Zentu SiteDownload-->\nURL=http://example.com/site/"},
      {"-S http://example.com/site/", 6004, "<!--Zentu SiteDownload-->\nURL=http://example.com/site/"},
      {"-d http://example.com/f.zip", 6004, "<!--Zentu DownloadOnly-->\nURL=http://example.com/f.zip"},
      {"-D http://example.com/f.zip", 6004, "<!--Zentu DownloadOnly-->\nURL=http://example.com/f.zip"},
      {"-i http://example.com/", 6004, "<!--Zentu AddItemOnly-->\nURL=http://example.com/"},
      {"-I\thttp://example.com/", 6004, "<!--Zentu AddItemOnly-->\nURL=http://example.com/"},
      // Without the blank the letter is no option; the line names a URL.
      {"-uhttp://example.com/", 6004, "<!--Zentu OpenURL-->\r\nURL=-uhttp://example.com/"},
      {"-x http://example.com/", 6004, "<!--Zentu OpenURL-->\r\nURL=-x http://example.com/"},
      {"http://example.com/page.html", 6004, "<!--Zentu OpenURL-->\r\nURL=http://example.com/page.html"},
      {"   \"Z:\\home\\a\\memo.txt\"", 6004, "<!--Zentu OpenURL-->\r\nURL=Z:\\home\\a\\memo.txt"},
      {"Z:/home/a/x.html", 6004, "<!--Zentu OpenURL-->\r\nURL=Z:/home/a/x.html"},
      // Quotes go up to the second one of each kind.
      {"\"'file:///Z:/a.html'\" \"x\"", 6004, "<!--Zentu OpenURL-->\r\nURL=file:///Z:/a.html \"x\""},
      // Nothing to send.
      {"", 0, ""},
      {"   ", 0, ""},
      {"hello world", 0, ""},
      {"-u", 0, ""},
      {"-s", 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    ChannelCommand c = SendCommandLine(row.line);
    EXPECT_EQ(c.code, row.code);
    EXPECT_EQ(c.text, row.text);
  }
}

TEST(CommandLineTest, TheSenderIsCalledOnlyWhenThereIsSomethingToSend) {
  std::vector<std::pair<uint32_t, std::string>> sent;
  auto send = [&](uint32_t code, const std::string& text) {
    sent.emplace_back(code, text);
    return text.find("fail") == std::string::npos;
  };
  EXPECT_EQ(SendCommandLine("-u http://a.example/", send), 1);
  EXPECT_EQ(SendCommandLine("nothing", send), 0);
  EXPECT_EQ(SendCommandLine("-d http://a.example/fail", send), -1);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].first, kCommandNoCache);
}

TEST(CommandLineTest, ArgumentsBecomeOneCommandLine) {
  EXPECT_EQ(CommandLineFromArguments({"-u", "http://example.com/a"}), "-u http://example.com/a");
  EXPECT_EQ(CommandLineFromArguments({"/tmp/a b/メモ.txt"}), "\"" + SJ("Z:\\tmp\\a b\\メモ.txt") + "\"");
  EXPECT_EQ(CommandLineFromArguments({}), "");
  // A native path reaches the receiver as a path it can open.
  ChannelCommand c = SendCommandLine(CommandLineFromArguments({"/home/a/x y.txt"}));
  EXPECT_EQ(c.text, "<!--Zentu OpenURL-->\r\nURL=Z:\\home\\a\\x y.txt");
}

}  // namespace
}  // namespace zentu::testing
