#include "pagelib/scanner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "os/file.h"
#include "os/log.h"
#include "pagelib/codedetect.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;
using testing::TempHome;

// A scan with a pipeline stand-in: a resource link becomes "[link]", a page
// link "[[link]]", and every call is recorded.
struct Rewriter {
  ScanJob job;
  PageScanner scanner;
  std::vector<std::pair<std::string, int>> links;

  Rewriter() {
    job.url = "http://www.example.jp/dir/page.html";
    scanner.job = &job;
    scanner.handleLink = [this](ScanJob&, std::string_view link, int kind) {
      links.emplace_back(std::string(link), kind);
      return kind == kLinkPage ? "[[" + std::string(link) + "]]" : "[" + std::string(link) + "]";
    };
  }
  Rewriter(const Rewriter&) = delete;

  std::string Page(std::string_view page) {
    EXPECT_EQ(RewritePage(scanner, page), 1);
    return scanner.out;
  }
};

// Tests that look at the log or write files get a home of their own.
class ScannerHomeTest : public TempHome {};

std::string ReadData(const std::string& name) {
  std::ifstream in(std::filesystem::path(ZENTU_SOURCE_DIR) / "tests" / "data" / "pages" / name,
                   std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(NextSegmentTest, CutsTextTagsAndComments) {
  struct Row {
    std::string text;
    int mode;
    size_t length;
  } rows[] = {
      {"", ModeText, 0},
      {"abc<b>x", ModeText, 3},
      {"<b>x", ModeText, 3},
      {"<!DOCTYPE html>\n", ModeText, 15},
      {"<?xml version=\"1.0\"?><a>", ModeText, 21},
      {"</p>", ModeText, 4},
      // A "<" not followed by a letter, "!", "/" or "?" stays text.
      {"1 < 2 and 3 <4 done", ModeText, 19},
      {"x <1> y<b>", ModeText, 7},
      {"<", ModeText, 1},
      {"text<", ModeText, 5},
      {"<<<<a>", ModeText, 3},
      // Comments: nested tags keep them open; a bare ">" with nothing open ends them.
      {"<!-- <b>x</b> -->tail", ModeText, 17},
      {"<!-- a > b -->", ModeText, 8},
      {"<!---->", ModeText, 7},
      {"<!-- <a <b> c -->x", ModeText, 17},
      // No end: no segment.
      {"<!-- never closed", ModeText, 0},
      {"<a href=x", ModeText, 0},
      {"<!-- <b> open", ModeText, 0},
      // Script and style text runs to its closing tag, whatever it holds.
      {"var a = '<b>';</script>", ModeScript, 14},
      {"</SCRIPT>rest", ModeScript, 9},
      {"</Style>rest", ModeStyle, 8},
      {"a{}</style>", ModeScript, 3},
      {"body{} </script >", ModeStyle, 17},
      {"", ModeScript, 0},
      {"<!-- x --></script>", ModeScript, 10},
      {"</scrip", ModeStyle, 7},
  };
  for (const Row& r : rows) EXPECT_EQ(NextSegment(r.text, r.mode), r.length) << r.text;
}

TEST(RewriteTagTest, TagTableAndPatterns) {
  struct Row {
    const char* name;
    std::string tag;
    std::string expected;
    std::vector<std::pair<std::string, int>> links;
    bool followLinks = false;
    bool commentOutIFrame = false;
  } rows[] = {
      {"single-quoted src keeps its blank", "<img src='a b.gif'>", "<img src='[a b.gif]'>", {{"a b.gif", 0}}},
      {"unquoted src ends at the bracket", "<img src=pic.gif>", "<img src=[pic.gif]>", {{"pic.gif", 0}}},
      {"double-quoted src",
       "<img alt=\"x\" src=\"my pic.gif\" width=3>",
       "<img alt=\"x\" src=\"[my pic.gif]\" width=3>",
       {{"my pic.gif", 0}}},
      {"names ignore case", "<IMG SRC=\"A.GIF\">", "<IMG SRC=\"[A.GIF]\">", {{"A.GIF", 0}}},
      {"only the first link of a tag",
       "<img src=\"a.gif\" lowsrc=\"b.gif\">",
       "<img src=\"[a.gif]\" lowsrc=\"b.gif\">",
       {{"a.gif", 0}}},
      {"line ends in a tag become blanks",
       "<img\r\nsrc=\"a.gif\">",
       "<img  src=\"[a.gif]\">",
       {{"a.gif", 0}}},
      {"background attribute", "<td background=\"bg.gif\">", "<td background=\"[bg.gif]\">", {{"bg.gif", 0}}},
      {"inline url() after a blank",
       "<p style=\"color:red; background: url(img/b.png)\">",
       "<p style=\"color:red; background: url([img/b.png])\">",
       {{"img/b.png", 0}}},
      {"inline url() without a blank is not seen",
       "<p style=\"background:url(x.png)\">",
       "<p style=\"background:url(x.png)\">",
       {}},
      {"div is written as it is",
       "<div style=\"background: url(x.png)\">",
       "<div style=\"background: url(x.png)\">",
       {}},
      {"iframe to http gets an empty value",
       "<iframe src=\"http://ads.example.net/x.html\" width=1>",
       "<iframe src=\"\" width=1>",
       {}},
      {"relative iframe", "<iframe src=\"side.html\">", "<iframe src=\"[side.html]\">", {{"side.html", 0}}},
      {"relative iframe commented out", "<iframe src=\"side.html\">", "<iframe src=\"\">", {}, false, true},
      {"frame", "<frame src=\"menu.html\" name=m>", "<frame src=\"[menu.html]\" name=m>", {{"menu.html", 0}}},
      {"a without following", "<a href=\"x.html\">", "<a href=\"x.html\">", {}},
      {"a when following", "<a href=\"x.html\">", "<a href=\"[[x.html]]\">", {{"x.html", 1}}, true},
      {"a bare fragment stays", "<a href=\"#top\">", "<a href=\"#top\">", {}, true},
      {"area when following",
       "<area shape=rect href=\"m.html\">",
       "<area shape=rect href=\"[[m.html]]\">",
       {{"m.html", 1}},
       true},
      {"area without following",
       "<area shape=rect href=\"m.html\">",
       "<area shape=rect href=\"m.html\">",
       {}},
      {"javascript link, strings after its first (",
       "<a href=\"javascript:void(0)\" onclick=\"openWin('big.jpg', 'w')\">",
       "<a href=\"javascript:void(0)\" onclick=\"openWin('[[big.jpg]]', 'w')\">",
       {{"big.jpg", 1}}},
      {"javascript link alone",
       "<a href=\"javascript:openWin('p.jpg')\">",
       "<a href=\"javascript:openWin('p.jpg')\">",
       {}},
      {"picture script before href",
       "<a href=\"javascript:;\" onclick=\"w('show_picture.pl?img_src=p/1.jpg')\">",
       "<a href=\"javascript:;\" onclick=\"w('show_picture.pl?img_src=[p/1.jpg]')\">",
       {{"p/1.jpg", 0}}},
      {"applet archive before code",
       "<applet code=\"Main.class\" archive=\"app.jar\">",
       "<applet code=\"Main.class\" archive=\"[app.jar]\">",
       {{"app.jar", 0}}},
      {"applet code",
       "<applet code='Main.class' width=3>",
       "<applet code='[Main.class]' width=3>",
       {{"Main.class", 0}}},
      {"param with a flash movie",
       "<param name=\"movie\" value=\"intro.swf\">",
       "<param name=\"movie\" value=\"[intro.swf]\">",
       {{"intro.swf", 0}}},
      {"param without one",
       "<param name=\"src\" value=\"a.mov\">",
       "<param name=\"src\" value=\"a.mov\">",
       {}},
      {"style sheet link",
       "<link rel=\"stylesheet\" href=\"s.css\">",
       "<link rel=\"stylesheet\" href=\"[s.css]\">",
       {{"s.css", 0}}},
      {"other link", "<link rel=\"alternate\" href=\"f.rss\">", "<link rel=\"alternate\" href=\"f.rss\">", {}},
      // The page's icons are resources like its style sheets.
      {"shortcut icon",
       "<link rel=\"shortcut icon\" href=\"/favicon.ico\">",
       "<link rel=\"shortcut icon\" href=\"[/favicon.ico]\">",
       {{"/favicon.ico", 0}}},
      {"unquoted touch icon",
       "<LINK REL=apple-touch-icon HREF=t.png>",
       "<LINK REL=apple-touch-icon HREF=[t.png]>",
       {{"t.png", 0}}},
      {"icon only in another attribute",
       "<link rel=\"next\" title=\"icon\" href=\"icon.html\">",
       "<link rel=\"next\" title=\"icon\" href=\"icon.html\">",
       {}},
      // url( is CSS only in the style attribute; in an event handler it is script.
      {"url( in style beside a handler",
       "<p onclick=\"u = new URL(b.html)\" style=\"background: url(c.gif)\">",
       "<p onclick=\"u = new URL(b.html)\" style=\"background: url([c.gif])\">",
       {{"c.gif", 0}}},
      {"xml style sheet",
       "<?xml-stylesheet type=\"text/xsl\" href=\"t.xsl\"?>",
       "<?xml-stylesheet type=\"text/xsl\" href=\"[t.xsl]\"?>",
       {{"t.xsl", 0}}},
      {"script src",
       "<script type=\"text/javascript\" src=\"app.js\">",
       "<script type=\"text/javascript\" src=\"[app.js]\">",
       {{"app.js", 0}}},
      {"input image",
       "<input type=\"image\" src=\"go.png\">",
       "<input type=\"image\" src=\"[go.png]\">",
       {{"go.png", 0}}},
      {"base without href", "<base target=\"_top\">", "<base target=\"_top\">", {}},
      {"base with href is left out", "<base href=\"http://www.example.jp/other/\">", "", {}},
      {"plain end tag", "</a>", "</a>", {}},
  };
  for (const Row& r : rows) {
    Rewriter w;
    w.job.followLinks = r.followLinks;
    w.scanner.settings.commentOutIFrameTag = r.commentOutIFrame;
    EXPECT_EQ(w.Page(r.tag), r.expected) << r.name;
    EXPECT_EQ(w.links, r.links) << r.name;
  }
}

TEST(RewriteTagTest, ModesFollowTheTag) {
  PageScanner s;
  struct Row {
    const char* tag;
    int mode;
  } rows[] = {
      {"<title>", ModeTitle},
      {"<TITLE lang=ja>", ModeTitle},
      {"<script>", ModeScript},
      {"<script src=\"a.js\">", ModeScript},
      {"<style type=\"text/css\">", ModeStyle},
      {"</script>", ModeText},
      {"<span class=x>", ModeText},
      {"<!-- c -->", ModeText},
      {"<body>", ModeText},
  };
  for (const Row& r : rows) EXPECT_EQ(RewriteTag(s, r.tag), r.mode) << r.tag;
}

TEST(RewriteTagTest, BaseTagGoesToThePipeline) {
  Rewriter w;
  std::string seen;
  w.scanner.handleBase = [&](ScanJob&, std::string_view href) {
    seen = href;
    return std::string();
  };
  EXPECT_EQ(w.Page("<base href='http://www.example.jp/a/'><base href=http://www.example.jp/b/>"),
            "<base href=''><base href=>");
  EXPECT_EQ(seen, "http://www.example.jp/b/");
  EXPECT_EQ(w.job.baseUrl, "http://www.example.jp/b/");
}

TEST(RewriteTagTest, ConvertRulesAndShortTags) {
  Rewriter w;
  std::vector<std::string> seen;
  w.scanner.convertTag = [&](std::string& tag) {
    seen.push_back(tag);
    if (tag.find("ad.gif") != std::string::npos) {
      tag.clear();
      return true;
    }
    size_t amp = tag.find("&amp;");
    if (amp == std::string::npos) return false;
    tag.replace(amp, 5, "&");
    return true;
  };
  EXPECT_EQ(w.Page("<b>x</b><img src=\"a.cgi?x=1&amp;y=2\"><img src=\"ad.gif\"><hr size=1>"),
            "<b>x</b><img src=\"[a.cgi?x=1&y=2]\"><hr size=1>");
  // Tags of 7 characters or fewer never reach the rules or the patterns; nor do
  // the tags written as they are (hr).
  EXPECT_EQ(seen, (std::vector<std::string>{"<img src=\"a.cgi?x=1&amp;y=2\">", "<img src=\"ad.gif\">"}));
}

TEST(RewriteTagTest, LocalPagesAreNotRewritten) {
  Rewriter w;
  w.job.url = "file:///Z:/pages/a.html";
  EXPECT_EQ(w.Page("<img src=\"a.gif\"><style>a{background:url(b.gif)}</style>"),
            "<img src=\"a.gif\"><style>a{background:url([b.gif])}</style>");
}

TEST(MetaTagTest, RefreshDelaysUpToTenSecondsAreRewritten) {
  struct Row {
    std::string tag;
    bool rewritten;
  } rows[] = {
      {"<meta http-equiv=\"refresh\" content=\"5;URL=next.html\">", true},
      {"<meta http-equiv=\"refresh\" content=\"10; url='next.html'\">", true},
      {"<meta http-equiv=\"Refresh\" content=\"0;URL=next.html\">", true},
      {"<meta http-equiv=\"refresh\" content=\"30;URL=next.html\">", false},
      {"<meta http-equiv=\"refresh\" content=\"11;URL=next.html\">", false},
      {"<meta http-equiv=\"refresh\" content=\"12345678901234;URL=next.html\">", false},
      {"<meta http-equiv=\"refresh\" content=\"URL=next.html\">", false},
  };
  for (const Row& r : rows) {
    Rewriter w;
    std::string out = w.Page(r.tag);
    EXPECT_EQ(out.find("[next.html]") != std::string::npos, r.rewritten) << r.tag << " -> " << out;
    if (!r.rewritten) {
      EXPECT_EQ(out, r.tag);
    }
  }
}

TEST(MetaTagTest, WwwcContentsAreKept) {
  Rewriter w;
  const std::string tag = "<meta name=\"WWWC\" content=\"2007/01/02 news\">";
  EXPECT_EQ(w.Page(tag), tag);
  EXPECT_TRUE(w.job.hasUpdateContents);
  EXPECT_EQ(w.job.updateContents, "2007/01/02 news");

  EXPECT_EQ(CutUpdateContents(std::string(100, 'a')), std::string(100, 'a'));
  EXPECT_EQ(CutUpdateContents(std::string(101, 'a')), std::string(96, 'a') + "...");
  // Never half a character: a two-byte character across the 96th byte stays out whole.
  std::string sjis = std::string(95, 'a') + SJ("表示表示");
  EXPECT_EQ(CutUpdateContents(sjis), std::string(95, 'a') + "...");
}

TEST(MetaTagTest, CharsetIsRewrittenOnlyForShiftJisCopies) {
  const std::string http = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=EUC-JP\">";
  const std::string httpSjis = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">";
  const std::string html5 = "<meta charset=\"utf-8\">";
  const std::string xml = "<?xml version=\"1.0\" encoding='UTF-8'?>";
  struct Row {
    bool storedAsSjis, force;
    std::string in, out;
  } rows[] = {
      {false, false, http, http},
      {true, false, http, httpSjis},
      {false, true, http, httpSjis},
      {true, false, html5, "<meta charset=\"Shift_JIS\">"},
      {false, false, html5, html5},
      {true, false, xml, "<?xml version=\"1.0\" encoding='Shift_JIS'?>"},
      {false, false, xml, xml},
      // Fewer than three of charset / content-type / http-equiv, and no charset attribute.
      {true, false, "<meta name=\"x\" content=\"text/html; charset=EUC-JP\">",
       "<meta name=\"x\" content=\"text/html; charset=EUC-JP\">"},
  };
  for (const Row& r : rows) {
    Rewriter w;
    w.job.storedAsSjis = r.storedAsSjis;
    w.scanner.settings.forceConvToSjis = r.force;
    EXPECT_EQ(w.Page(r.in), r.out) << r.in << " sjis=" << r.storedAsSjis << " force=" << r.force;
  }
}

TEST(PageWalkTest, XmlDeclarationCanBeLeftOut) {
  Rewriter w;
  w.scanner.settings.commentOutXmlTag = true;
  w.scanner.settings.cutFrontOfHtmlTag = true;
  // Nothing was written before <html>, so the line end after the declaration goes too.
  EXPECT_EQ(w.Page("<?xml version=\"1.0\"?>\r\n<html>\r\n</html>"), "<html>\r\n</html>");
}

TEST(PageWalkTest, CutFrontOfHtmlTag) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {" \r\n\t <html> x </html>", "<html> x </html>"},
      {" a b <html>", "ab<html>"},
      {SJ("  表 x <html>"), SJ("表 x <html>")},
      {"no tags at all ", "notagsatall"},
  };
  for (const Row& r : rows) {
    Rewriter w;
    w.scanner.settings.cutFrontOfHtmlTag = true;
    EXPECT_EQ(w.Page(r.in), r.out) << r.in;
  }
  Rewriter off;
  EXPECT_EQ(off.Page(" \r\n<html>"), " \r\n<html>");
}

TEST(PageWalkTest, TitleIsGatheredAndConverted) {
  {
    Rewriter w;
    w.job.title = "http://www.example.jp/dir/page.html";  // the placeholder
    EXPECT_EQ(w.Page("<title>\r\n  My\tPage <b>Two</b>\r\n</title><p>x</p>"),
              "<title>\r\n  My\tPage <b>Two</b>\r\n</title><p>x</p>");
    EXPECT_EQ(w.job.title, "MyPage Two");
  }
  {
    // A page kept in EUC-JP: its title comes back as Shift_JIS.
    Rewriter w;
    w.job.code = kCodeEuc;
    const std::string euc = "\xC6\xFC\xCB\xDC";  // 日本
    w.Page("<title>" + euc + "</title>");
    EXPECT_EQ(w.job.title, SJ("日本"));
  }
  {
    Rewriter w;
    w.job.code = kCodeEuc;
    w.job.storedAsSjis = true;
    w.Page("<title>abc</title>");
    EXPECT_EQ(w.job.title, "abc");
  }
}

// Titles as the tree keeps them: one space for a line break, references
// decoded as far as code page 932 goes, converted from the page's code once.
TEST(PageWalkTest, TitleBreaksReferencesAndConversion) {
  const std::string eucDoc = "\xA5\xC9\xA5\xAD\xA5\xE5\xA5\xE1\xA5\xF3\xA5\xC8";  // ドキュメント
  const std::string utf8Doc = "\xE3\x83\x89\xE3\x82\xAD\xE3\x83\xA5\xE3\x83\xA1\xE3\x83\xB3\xE3\x83\x88";
  const struct {
    const char* name;
    std::string page;
    int code;
    bool storedAsSjis;
    std::string title;
  } rows[] = {
      {"line break between words", "<title>2.4\r\n" + SJ("ドキュメント") + "</title>", kCodeSjis, true,
       SJ("2.4 ドキュメント")},
      {"breaks at the ends and beside spaces", "<title>\n a \n b\n\n</title>", kCodeSjis, true, "a b"},
      {"indented lines", "<title>\n  a\n  b\n  </title>", kCodeSjis, true, "a b"},
      {"break after an inner tag", "<title>a<b>b</b>\nc</title>", kCodeSjis, true, "ab c"},
      {"references", "<title>Apache Ant&trade; User &amp; &lt;Manual&gt;</title>", kCodeSjis, true,
       "Apache Ant&#8482; User & <Manual>"},
      {"EUC-JP page kept in its code", "<title>2.4\n" + eucDoc + " &copy;</title>", kCodeEuc, false,
       SJ("2.4 ドキュメント") + " &#169;"},
      {"UTF-8 page kept in its code", "<title>" + utf8Doc + " \xC3\x9F</title>", kCodeUtf8, false,
       SJ("ドキュメント") + " &#223;"},
  };
  for (const auto& r : rows) {
    Rewriter w;
    w.job.code = r.code;
    w.job.storedAsSjis = r.storedAsSjis;
    w.Page(r.page);
    EXPECT_EQ(w.job.title, r.title) << r.name;
  }
}

TEST_F(ScannerHomeTest, ArchiveScriptIsDroppedOnArchivedPagesOnly) {
  const std::string page =
      "<script>var sWayBackCGI = \"http://web.archive.org/web/2005/\";</script>"
      "<script><!-- var sWayBackCGI = \"http://web.archive.org/web/2005/\"; --></script><p>x</p>";
  Rewriter archived;
  archived.job.url = "http://web.archive.org/web/2005/http://www.example.jp/";
  EXPECT_EQ(archived.Page(page), "<script></script><script></script><p>x</p>");
  EXPECT_TRUE(LogContains("way back"));

  Rewriter live;
  EXPECT_EQ(live.Page(page), page);
}

TEST_F(ScannerHomeTest, FragmentLinksAreSkippedWithVerboseLog) {
  log::SetDebugFlag(true);
  Rewriter w;
  w.job.followLinks = true;
  EXPECT_EQ(w.Page("<a href=\"#top\">"), "<a href=\"#top\">");
  EXPECT_TRUE(LogContains("skip name only [#top]"));
}

TEST(RewriteCssTest, StyleConstructs) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"a{background:url(x.png)}", "a{background:url([x.png])}"},
      {"a{background:URL( \"x.png\" )}", "a{background:URL( \"[x.png]\" )}"},
      {"a{background:url ('x.png')}", "a{background:url ('[x.png]')}"},
      {"@import \"a.css\";", "@import \"[a.css]\";"},
      {"@import 'b.css' screen;", "@import '[b.css]' screen;"},
      {"@import url(c.css);", "@import url([c.css]);"},
      {"@IMPORT url(\"d.css\") print;", "@IMPORT url(\"[d.css]\") print;"},
      // A ";" inside url() or a quoted import is part of the name: saved
      // copies link through host folders such as "127.0.0.1;8080".
      {"a{b:url(../../127.0.0.1;8080/img/bg.gif)}", "a{b:url([../../127.0.0.1;8080/img/bg.gif])}"},
      {"a{b:url('x;y.png')}", "a{b:url('[x;y.png]')}"},
      {"@import \"../h;81/a.css\";", "@import \"[../h;81/a.css]\";"},
      {"@import '../h;81/b.css' screen;", "@import '[../h;81/b.css]' screen;"},
      {"a{b:url(x.png;c:d}", "a{b:url(x.png;c:d}"},
      // Data is no file; a line end stops a construct, and what does not match stays.
      {"a{b:url(data:image/png;base64,AAA=)}", "a{b:url(data:image/png;base64,AAA=)}"},
      {"a{b:url(x.png\n)}", "a{b:url(x.png\n)}"},
      {"a{fill:url(#grad)}", "a{fill:url(#grad)}"},
      {"a{b:url}", "a{b:url}"},
      {"url(", "url("},
      {"@import", "@import"},
      {"@import \"never.css", "@import \"[never.css]"},
      {"a{font-family:\"MS Gothic\"}", "a{font-family:\"MS Gothic\"}"},
  };
  for (const Row& r : rows) {
    Rewriter w;
    RewriteCss(w.scanner, r.in, ModeStyle);
    EXPECT_EQ(w.scanner.out, r.out) << r.in;
  }
}

TEST(RewriteCssTest, ScriptStrings) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"img.src = \"images/a.gif\";", "img.src = \"[images/a.gif]\";"},
      {"x = 'a.js';", "x = '[a.js]';"},
      {"x = '.js';", "x = '.js';"},
      {"x = \"abc.xyz\";", "x = \"abc.xyz\";"},
      {"x = \"a b.gif\";", "x = \"a b.gif\";"},
      {"document.write('<img src=\"dw.png\" alt=\"\">');",
       "document.write('<img src=\"[dw.png]\" alt=\"\">');"},
      {"x = \"it\\\"s\";y = 'c.css'", "x = \"it\\\"s\";y = '[c.css]'"},
      {"x = \"never closed.gif", "x = \"never closed.gif"},
      {"x = \"p.gif", "x = \"p.gif"},
  };
  for (const Row& r : rows) {
    Rewriter w;
    RewriteCss(w.scanner, r.in, ModeScript);
    EXPECT_EQ(w.scanner.out, r.out) << r.in;
  }
  Rewriter ignoring;
  ignoring.scanner.settings.ignoreJavaScript = true;
  RewriteCss(ignoring.scanner, "x = 'a.gif';", ModeScript);
  EXPECT_EQ(ignoring.scanner.out, "x = 'a.gif';");
  EXPECT_TRUE(ignoring.links.empty());
}

// url( is the CSS function only where CSS has one: not after a name's
// character, and never in script text, where only whole resource strings count.
TEST(RewriteCssTest, UrlNeedsAWordBoundaryAndCssText) {
  struct Row {
    std::string in;
    int mode;
    std::string out;
    std::vector<std::pair<std::string, int>> links;
  } rows[] = {
      {"a{background:url(x.png)}", ModeStyle, "a{background:url([x.png])}", {{"x.png", 0}}},
      {"a{b:myurl(x.png);c:-url(y.png);d:_url(z.png);e:2url(w.png)}",
       ModeStyle,
       "a{b:myurl(x.png);c:-url(y.png);d:_url(z.png);e:2url(w.png)}",
       {}},
      {"\x83\x5Curl(x.png)", ModeStyle, "\x83\x5Curl(x.png)", {}},
      {"var u = new URL(window.location); s = 'url(y.png)'; /* url(z.png) @import \"q.css\" */",
       ModeScript,
       "var u = new URL(window.location); s = 'url(y.png)'; /* url(z.png) @import \"[q.css]\" */",
       {{"q.css", 0}}},
      {"s = 'myurl(x)/a.gif'", ModeScript, "s = '[myurl(x)/a.gif]'", {{"myurl(x)/a.gif", 0}}},
  };
  for (const Row& r : rows) {
    Rewriter w;
    RewriteCss(w.scanner, r.in, r.mode);
    EXPECT_EQ(w.scanner.out, r.out) << r.in;
    EXPECT_EQ(w.links, r.links) << r.in;
  }
}

TEST(RewriteCssTest, ShiftJisTrailBytesAreNotSyntax) {
  struct Row {
    std::string in, out;
    int mode;
  } rows[] = {
      // ソ ends in 0x5C: it escapes nothing, so the string closes at its quote.
      {SJ("var s = 'ソ'+'img/a.gif';"), SJ("var s = 'ソ'+'[img/a.gif]';"), ModeScript},
      {SJ("var s = \"表示/能力.gif\";"), SJ("var s = \"[表示/能力.gif]\";"), ModeScript},
      // マ ends in 0x7D ("}"), which would otherwise end the construct.
      {SJ("a{b:url(画像/マーク.gif)}"), SJ("a{b:url([画像/マーク.gif])}"), ModeStyle},
      {SJ("@import \"ソ/マ.css\";"), SJ("@import \"[ソ/マ.css]\";"), ModeStyle},
  };
  for (const Row& r : rows) {
    Rewriter w;
    RewriteCss(w.scanner, r.in, r.mode);
    EXPECT_EQ(w.scanner.out, r.out) << testing::U8(r.in);
  }
  Rewriter tag;
  EXPECT_EQ(tag.Page(SJ("<img src=\"表\\ソ.gif\" alt='能'>")), SJ("<img src=\"[表\\ソ.gif]\" alt='能'>"));
}

TEST(PageWalkTest, HostileInputEndsCleanly) {
  const std::string nul("<img src=\"a\0b.gif\">\0<p>\0", 24);
  struct Row {
    const char* name;
    std::string page;
  } rows[] = {
      {"lone bracket at the end", "<p>x<"},
      {"unterminated tag", "<p>x<img src=\"a.gif\" "},
      {"unterminated comment", "<p><!-- <b> x"},
      {"unquoted attributes", "<img src=a.gif alt=b c=d>"},
      {"quote never closed", "<img src=\"a.gif alt=x>"},
      {"NUL bytes", nul},
      {"brackets only", std::string(1 << 20, '<')},
      {"comment openers",
       [] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "<!-";
         return s;
       }()},
      {"tag openers",
       [] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "<a ";
         return s;
       }()},
      {"script never closed", "<script>" + std::string(300000, '"')},
  };
  for (const Row& r : rows) {
    Rewriter w;
    std::string out = w.Page(r.page);
    // Nothing here can be rewritten except the one src value; the copy keeps every byte.
    if (out.find("[") == std::string::npos) {
      EXPECT_EQ(out, r.page) << r.name;
    }
  }
}

TEST(PageWalkTest, StopFlagEndsTheWalk) {
  std::atomic<bool> stop{true};
  Rewriter w;
  w.scanner.stop = &stop;
  EXPECT_EQ(RewritePage(w.scanner, "<img src=\"a.gif\">"), 0);
  EXPECT_TRUE(w.links.empty());
}

// Pages shaped like real ones, rewritten whole and compared with the copies
// worked out by hand under tests/data/pages.
TEST(GoldenPageTest, RewrittenCopiesMatch) {
  struct Row {
    const char* page;
    const char* title;
    bool followLinks = false;
    bool storedAsSjis = false;
    bool cutFront = false;
  } rows[] = {
      {"frames", "Frames Sample"},
      {"iframes_base", "NewsIndex"},
      {"meta", "Moved", false, true},
      {"styles", "Style test"},
      {"scripts", "Scripts"},
      {"sjis", "\x95\x5C\x8E\xA6\x83\x65\x83\x58\x83\x67", false, false, true},
      {"broken", "Broken"},
      {"site", "Site Top", true},
      {"fragment", ""},
  };
  for (const Row& r : rows) {
    Rewriter w;
    w.job.followLinks = r.followLinks;
    w.job.storedAsSjis = r.storedAsSjis;
    w.scanner.settings.cutFrontOfHtmlTag = r.cutFront;
    std::string out = w.Page(ReadData(std::string(r.page) + ".html"));
    EXPECT_EQ(out, ReadData(std::string(r.page) + ".expected.html")) << r.page;
    EXPECT_EQ(w.job.title, r.title) << r.page;
  }
}

TEST_F(ScannerHomeTest, StyleSheetFilesAreRewritten) {
  ASSERT_TRUE(os::CreateDirectories(Path("data\\www.example.jp\\css")));
  for (const char* name : {"chain", "common"}) {
    Rewriter w;
    w.job.localPath = Path(std::string("data\\www.example.jp\\css\\") + name + ".css");
    ASSERT_EQ(RewriteStylesheetFile(w.scanner, ReadData(std::string(name) + ".css")), 1) << name;
    std::string written;
    ASSERT_TRUE(os::ReadWholeFile(w.job.localPath, written));
    EXPECT_EQ(written, ReadData(std::string(name) + ".expected.css")) << name;
  }
  Rewriter html;
  html.job.localPath = Path("data\\www.example.jp\\css\\error.css");
  EXPECT_EQ(RewriteStylesheetFile(html.scanner, "<HTML><body>Not Found</body></html>"), 0);
  EXPECT_TRUE(LogContains("Not css, this is html file."));
  EXPECT_FALSE(os::FileExists(html.job.localPath));

  Rewriter missing;
  missing.job.localPath = Path("data\\nowhere\\a.css");
  EXPECT_EQ(RewriteStylesheetFile(missing.scanner, "a{}"), 0);
  EXPECT_TRUE(LogContains("[Error] Can't create file: Folder not found."));
  EXPECT_EQ(missing.job.message, "Can't create file: Folder not found.");
}

// Tags inside a comment follow the rules they follow outside it; the
// comment's bare text keeps the old script-string rule.
TEST(PageWalkTest, CommentLinksFollowTheTagRules) {
  const std::string other = "<!-- <a href=\"http://other.example/x.html\">x</a> -->";
  struct Row {
    const char* name;
    std::string page;
    bool followLinks, ignoreJavaScript;
    std::string out;
    std::vector<std::pair<std::string, int>> links;
  } rows[] = {
      {"page link of a one-page capture", other, false, false, other, {}},
      {"page link of a site download",
       other,
       true,
       false,
       "<!-- <a href=\"[[http://other.example/x.html]]\">x</a> -->",
       {{"http://other.example/x.html", 1}}},
      {"resource tag", "<!-- <img src=\"old.gif\"> ->", false, false, "<!-- <img src=\"[old.gif]\"> ->",
       {{"old.gif", 0}}},
      {"bare string", "<!-- \"img/c.gif\" -->", false, false, "<!-- \"[img/c.gif]\" -->", {{"img/c.gif", 0}}},
      {"bare string with scripts ignored",
       "<!-- 'img/c.gif' <img src=\"d.gif\"> -->",
       false,
       true,
       "<!-- 'img/c.gif' <img src=\"[d.gif]\"> -->",
       {{"d.gif", 0}}},
      // One level only: an opener inside is text under the string rule, so no page can nest the walk.
      {"a comment opener inside a comment", "<!-- <!--<img src=\"e.gif\">> -->", false, false,
       "<!-- <!--<img src=\"[e.gif]\">> -->", {{"e.gif", 0}}},
  };
  for (const Row& r : rows) {
    Rewriter w;
    w.job.followLinks = r.followLinks;
    w.scanner.settings.ignoreJavaScript = r.ignoreJavaScript;
    EXPECT_EQ(w.Page(r.page), r.out) << r.name;
    EXPECT_EQ(w.links, r.links) << r.name;
  }
  Rewriter titled;
  (void)titled.Page("<title>Real</title><!-- <title>Old</title> -->");
  EXPECT_EQ(titled.job.title, "Real");
  // A reader that skips page links finds none in a comment either.
  ReadOptions options;
  options.location = "http://www.example.jp/dir/page.html";
  options.followLinks = false;
  EXPECT_TRUE(ReadPage(other, options).links.empty());
}

TEST(ReadPageTest, TitleAndLinksBySource) {
  const std::string page =
      "<html><head><title> Read me </title>"
      "<link rel=\"stylesheet\" href=\"s.css\"><meta http-equiv=\"refresh\" content=\"3;URL=next.html\">"
      "<style>a{background:url(bg.png)}</style><script>var x = \"js/a.js\";</script></head>"
      "<body><!-- 'c.gif' --><a href=\"a.html\">a</a><a href=\"#top\">t</a>"
      "<iframe src=\"http://www.example.jp/f.html\"></iframe><frame src=\"f2.html\">"
      "<img src=\"img/x.gif\"><map><area href=\"m.html\"></map></body></html>";
  using S = LinkSource;
  struct Row {
    bool follow, resources;
    std::vector<std::pair<std::string, S>> links;
  } rows[] = {
      {true,
       true,
       {{"s.css", S::Resource},
        {"next.html", S::Resource},
        {"bg.png", S::Resource},
        {"js/a.js", S::Resource},
        {"c.gif", S::Resource},
        {"a.html", S::Page},
        {"http://www.example.jp/f.html", S::Frame},
        {"f2.html", S::Frame},
        {"img/x.gif", S::Resource},
        {"m.html", S::Page}}},
      {false, false, {{"http://www.example.jp/f.html", S::Frame}, {"f2.html", S::Frame}}},
      {true,
       false,
       {{"a.html", S::Page},
        {"http://www.example.jp/f.html", S::Frame},
        {"f2.html", S::Frame},
        {"m.html", S::Page}}},
  };
  for (const Row& r : rows) {
    ReadOptions o;
    o.dataDirectory = "Z:\\data";
    o.location = "http://www.example.jp/dir/page.html";
    o.host = "www.example.jp";
    o.followLinks = r.follow;
    o.scanResources = r.resources;
    PageReading got = ReadPage(page, o);
    EXPECT_EQ(got.title, "Read me ");
    EXPECT_EQ(got.wayBack, "../../");
    std::vector<std::pair<std::string, S>> links;
    for (const FoundLink& f : got.links) links.emplace_back(f.link, f.source);
    EXPECT_EQ(links, r.links) << r.follow << r.resources;
    for (const FoundLink& f : got.links)
      if (f.link == "img/x.gif") {
        ASSERT_FALSE(f.targets.empty());
        EXPECT_EQ(f.targets.back(), "http://www.example.jp/dir/img/x.gif");
      }
  }
}

TEST(ReadPageTest, StyleSheetLinksAndStrings) {
  ReadOptions o;
  o.dataDirectory = "Z:\\data";
  o.location = "http://www.example.jp/css/main.css";
  o.host = "www.example.jp";
  PageReading got = ReadStyleSheet(
      "@import \"a.css\";\nbody{background:url(../img/b.png)}\n.x{content:\"c.gif\";font-family:\"MS "
      "Gothic\"}",
      o);
  std::vector<std::string> links;
  for (const FoundLink& f : got.links) links.push_back(f.link);
  EXPECT_EQ(links, (std::vector<std::string>{"a.css", "../img/b.png", "c.gif"}));
  ASSERT_EQ(got.links.size(), 3u);
  ASSERT_FALSE(got.links[1].targets.empty());
  EXPECT_EQ(got.links[1].targets.back(), "http://www.example.jp/img/b.png");
}

TEST(FileKindTest, PagesAndTextFiles) {
  struct Row {
    std::string path;
    bool page, text;
  } rows[] = {
      {"Z:\\data\\www.example.jp\\index.html", true, true},
      {"a.HTM", true, true},
      {"view.cgi", true, true},
      {"memo.txt", false, true},
      {"site.css", false, true},
      {"photo.jpg", false, false},
      {"list.cgi7p=2", false, false},
      {"README", false, false},
      {SJ("Z:\\data\\表\\a.html"), true, true},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(IsPageFile(r.path), r.page) << r.path;
    EXPECT_EQ(IsReadableTextFile(r.path), r.text) << r.path;
  }
}

}  // namespace
}  // namespace zentu
