// The clipboard's HTML as other programs and this desktop put it there, the
// confirmation's preview, and the conversion into captured items.
#include "intake/clipboard.h"

#include "os/cp932.h"
#include "os/file.h"
#include "tests/intake/intake_fixture.h"

namespace zentu::testing {
namespace {

using os::SJ;

TEST(HtmlFormat, BuiltOffsetsPointAtTheFragmentAndParseBack) {
  const std::string fragment = "<b>" + SJ("選択した部分") + "</b>";
  const std::string data = BuildHtmlFormat(fragment, "http://example.com/a%20b.html");
  auto offset = [&](const char* key) {
    size_t at = data.find(key);
    EXPECT_NE(at, std::string::npos) << key;
    return static_cast<size_t>(std::stoul(data.substr(at + std::string(key).size(), 10)));
  };
  size_t startHtml = offset("StartHTML:"), endHtml = offset("EndHTML:");
  size_t start = offset("StartFragment:"), end = offset("EndFragment:");
  EXPECT_EQ(data.substr(start, end - start), fragment);
  EXPECT_EQ(data.compare(startHtml, 6, "<html>"), 0);
  EXPECT_EQ(endHtml, data.size());
  EXPECT_EQ(data.compare(start - 20, 20, "<!--StartFragment-->"), 0);

  ClipboardHtml clip = ParseHtmlFormat(data, "http://remembered.example/");
  EXPECT_TRUE(clip.urlFromData);
  EXPECT_EQ(clip.sourceUrl, "http://example.com/a b.html");  // "%20" as blanks
  EXPECT_EQ(clip.html, data.substr(startHtml));
}

TEST(HtmlFormat, SourceUrlFallsBackToTheRememberedOneWhenMissingOrNotAWebPage) {
  struct Case {
    const char* name;
    std::string data;
    const char* remembered;
    const char* url;
    const char* html;
  };
  const Case cases[] = {
      {"no source line: after EndFragment", "Version:0.9\r\nEndFragment:0000000099\r\n<p>x</p>", "http://r.example/",
       "http://r.example/", "<p>x</p>"},
      {"LF only ends the URL", "Version:0.9\nSourceURL:https://lf.example/p\n<p>y</p>", "", "https://lf.example/p",
       "<p>y</p>"},
      {"a file is not a source", "SourceURL:file:///etc/passwd\r\n<p>z</p>", "http://r.example/", "http://r.example/",
       "<p>z</p>"},
      {"nothing at all", "SourceURL:javascript:alert(1)\r\n<p>z</p>", "file:///x", "", "<p>z</p>"},
      {"the body's text is no header", "Version:0.9\r\n<p>SourceURL:http://fake.example/</p>", "http://r.example/",
       "http://r.example/", "Version:0.9\r\n<p>SourceURL:http://fake.example/</p>"},
  };
  for (const Case& c : cases) {
    ClipboardHtml clip = ParseHtmlFormat(c.data, c.remembered);
    EXPECT_EQ(clip.sourceUrl, c.url) << c.name;
    EXPECT_EQ(clip.html, c.html) << c.name;
  }
}

TEST(HtmlFormat, DesktopHtmlKeepsOnlyTheMarkedFragment) {
  const std::string data =
      HtmlFormatFromDesktop("<html><body><!--StartFragment--><i>f</i><!--EndFragment--></body></html>",
                            "http://moz.example/\r\nTitle");
  ClipboardHtml clip = ParseHtmlFormat(data, "");
  EXPECT_EQ(clip.sourceUrl, "http://moz.example/");
  EXPECT_NE(clip.html.find("<!--StartFragment--><i>f</i><!--EndFragment-->"), std::string::npos);
  EXPECT_NE(ParseHtmlFormat(HtmlFormatFromDesktop("<u>all</u>", ""), "").html.find("<!--StartFragment--><u>all</u>"),
            std::string::npos);
}

TEST(ClipboardText, ShortUtf8AndShiftJisBothArriveAsShiftJis) {
  EXPECT_EQ(ClipboardTextToSjis("<p>日本語</p>"), "<p>" + SJ("日本語") + "</p>");
  EXPECT_EQ(ClipboardTextToSjis("<p>" + SJ("日本語のページ") + "</p>"), "<p>" + SJ("日本語のページ") + "</p>");
  EXPECT_EQ(ClipboardTextToSjis("\xF0\x9F\x98\x80"), "&#128512;");
}

TEST(ScrapPreview, CutsAtThirtyOneLinesOrTheByteLimit) {
  std::string forty;
  for (int i = 0; i < 40; ++i) forty += "line " + std::to_string(i) + "\r\n";
  std::string preview = ScrapPreview(forty);
  EXPECT_EQ(std::count(preview.begin(), preview.end(), '\n'), 31 + 2);
  EXPECT_EQ(preview.find("line 31"), std::string::npos);
  EXPECT_NE(preview.find("line 30\r\n...\r\n\r\n" + SJ("(後略)")), std::string::npos);

  std::string wide;
  for (int i = 0; i < 300; ++i) wide += SJ("あ");
  preview = ScrapPreview(wide);
  EXPECT_EQ(preview.substr(0, 482), wide.substr(0, 482));  // never half a character
  EXPECT_EQ(preview.substr(482, 3), "...");
  EXPECT_EQ(ScrapPreview("short"), "short");
}

class ClipboardCaptureTest : public IntakeTest {
 protected:
  std::vector<std::string> notices, asked;
  bool answer = true;
  ScrapHooks Hooks() {
    ScrapHooks h;
    h.confirm = [this](std::string_view preview, std::string_view title) {
      asked.push_back(std::string(title) + "|" + std::string(preview));
      return answer;
    };
    h.notice = [this](std::string_view text) { notices.emplace_back(text); };
    return h;
  }
};

TEST_F(ClipboardCaptureTest, HtmlBecomesACapturedItemWithItsSourceUrl) {
  CurrentProfile().ConfirmScrapText = true;
  // UTF-8 from the desktop arrives as Shift_JIS in the item's page.
  const std::string data = BuildHtmlFormat("<p>" + std::string("日本語 &amp; more") + "</p>", "http://s.example/a%20b");
  EXPECT_TRUE(ConvertClipboardHtml(data, true, ScrapMode::Html, "", Hooks()));
  TreeNode* item = receive->lastChild;
  ASSERT_TRUE(IsItem(item));
  EXPECT_EQ(item->url, "http://s.example/a b");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].rfind(SJ("以下のHTMLを登録しますか？") + "|", 0), 0u);
  EXPECT_EQ(notices, std::vector<std::string>{SJ("取り込み成功")});
  DownloadJob job;
  ASSERT_TRUE(FindJob(item->url, &job));
  std::string stored;
  ASSERT_TRUE(os::ReadWholeFile(job.LocalFile, stored));
  EXPECT_NE(stored.find("<p>" + SJ("日本語") + " & more</p>"), std::string::npos) << stored;
}

TEST_F(ClipboardCaptureTest, NoSaysNothingIsAddedAndLinksNeedTheFragmentMarker) {
  const size_t before = Children(receive).size();
  answer = false;
  EXPECT_FALSE(ConvertClipboardHtml(BuildHtmlFormat("<p>x</p>", "http://n.example/"), true, ScrapMode::Html, "",
                                    Hooks()));
  answer = true;
  EXPECT_FALSE(ConvertClipboardHtml("SourceURL:http://n.example/\r\n<p>no marker</p>", false,
                                    ScrapMode::HtmlWithLinks, "", Hooks()));
  EXPECT_EQ(Children(receive).size(), before);
  EXPECT_TRUE(notices.empty());
  // A drop never asks; the links mode marks the fragment for link collection.
  EXPECT_TRUE(ConvertClipboardHtml(BuildHtmlFormat("<a href=x.html>x</a>", "http://l.example/"), false,
                                   ScrapMode::HtmlWithLinks, "", Hooks()));
  EXPECT_EQ(asked.size(), 1u);
  DownloadJob job;
  ASSERT_TRUE(FindJob("http://l.example/", &job));
  std::string stored;
  ASSERT_TRUE(os::ReadWholeFile(job.LocalFile, stored));
  EXPECT_NE(stored.find("<!--StartFragment--><!--GetLinkUrls--><a href=x.html>"), std::string::npos) << stored;
  // No URL from the data and none remembered: nothing to file it under.
  EXPECT_FALSE(ConvertClipboardHtml("<p>orphan</p>", false, ScrapMode::Html, "", Hooks()));
  EXPECT_EQ(notices.back(), SJ("取り込み失敗"));
}

}  // namespace
}  // namespace zentu::testing
