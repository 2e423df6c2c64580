#include "pagelib/bregexp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

// Marks a group that did not take part in the match.
const char kUnset[] = "<unset>";

struct MatchResult {
  int result = 0;
  std::string message;
  std::vector<std::string> groups;  // kUnset for a group that did not take part
  std::vector<size_t> offsets;      // start offset of each group in the target
};

MatchResult Match(const std::string& pattern, std::string target) {
  MatchResult r;
  BREGEXP* rx = nullptr;
  char msg[kBregexpMessageSize] = {};
  char* start = target.data();
  r.result = BMatch(pattern.c_str(), start, start + target.size(), &rx, msg);
  r.message = msg;
  if (rx && r.result) {
    for (int i = 0; i <= rx->nparens; ++i) {
      EXPECT_TRUE(rx->startp[i] >= start && rx->endp[i] <= start + target.size());
      r.offsets.push_back(static_cast<size_t>(rx->startp[i] - start));
      r.groups.push_back(rx->endp[i] > rx->startp[i] ? std::string(rx->startp[i], rx->endp[i])
                         : rx->endp[i] == rx->startp[i] && i > 0 ? std::string(kUnset)
                                                                 : std::string());
    }
  }
  if (rx) BRegfree(rx);
  return r;
}

struct SubstResult {
  int result = 0;
  std::string message;
  bool null = true;
  std::string out;
};

SubstResult Subst(const std::string& pattern, std::string target) {
  SubstResult r;
  BREGEXP* rx = nullptr;
  char msg[kBregexpMessageSize] = {};
  r.result = BSubst(pattern.c_str(), target.data(), target.data() + target.size(), &rx, msg);
  r.message = msg;
  if (rx && rx->outp) {
    r.null = false;
    r.out.assign(rx->outp, rx->outendp);
    EXPECT_EQ(std::strlen(rx->outp), r.out.size());
  }
  if (rx) BRegfree(rx);
  return r;
}

// Item lines as the tree file writes them.
const char kItemPattern[] =
    R"re(m/^<LI><A HREF=\"(.*)\" LOCALFILE=\"(.*)\" LASTCHECK=\"(.*)\" ORIGINAL=\"(.*)\" SIZE=\"(.*)\" TYPE=\"(.+)\" PROPERTY=\"(.+)\" MARK=\"(.+)\" PROTECTINFO=\"(.+)\" DLFLAG=\"(.+)\">([^<]*)<\/A>/)re";
const char kItemPatternNextCheck[] =
    R"re(m/^<LI><A HREF=\"(.*)\" LOCALFILE=\"(.*)\" LASTCHECK=\"(.*)\" ORIGINAL=\"(.*)\" NEXTCHECK=\"(.*)\" SIZE=\"(.*)\" TYPE=\"(.+)\" PROPERTY=\"(.+)\" MARK=\"(.+)\" PROTECTINFO=\"(.+)\" DLFLAG=\"(.+)\">([^<]*)<\/A>/)re";

TEST(Bregexp, MatchesProgramPatterns) {
  const std::string title = SJ("表計算ソフト能力");  // trail bytes 0x5C
  const std::string item = "<LI><A HREF=\"http://www.example.jp/a/index.html\" LOCALFILE=\"Z:\\data\\" + SJ("表") +
                           "\\index.html\" LASTCHECK=\"2007/01/28 10:00:00\" ORIGINAL=\"\" SIZE=\"1A2B\" "
                           "TYPE=\"2\" PROPERTY=\"0\" MARK=\"0:1\" PROTECTINFO=\"0\" DLFLAG=\"1\">" +
                           title + "</A>\r\n";
  const std::string itemNext = "<LI><A HREF=\"http://x.jp/\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" "
                               "NEXTCHECK=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"1\" MARK=\"3:0\" "
                               "PROTECTINFO=\"1\" DLFLAG=\"0\"></A>";
  const struct {
    const char* name;
    std::string pattern;
    std::string target;
    int result;
    std::vector<std::string> groups;  // from group 1 on
  } rows[] = {
      // Page scanner patterns.
      {"src quoted", R"re(m/[ 	][Ss][Rr][Cc][ 	]*=[ 	]*'([^"'>	]+)'/)re", "<img SRC = 'a/b.gif' alt=\"x\">", 1,
       {"a/b.gif"}},
      {"src double-quoted", R"re(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*"([^">\t]+)"/)re", "<script\tsrc=\"js/app.js\">", 1,
       {"js/app.js"}},
      {"src bare", R"re(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*([^ >\t]+)[ >\t]/)re", "<img src=pic.png width=3>", 1,
       {"pic.png"}},
      {"src absent", R"re(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*'([^"'>\t]+)'/)re", "<img alt='x'>", 0, {}},
      {"href with Shift_JIS bytes", R"re(m/[ \t][Hh][Rr][Ee][Ff][ \t]*=[ \t"]*([^" \t]+)[ \t">]/)re",
       "<a href=\"" + SJ("表/ソ.html") + "\">", 1, {SJ("表/ソ.html")}},
      {"url()", R"re(m/[ \t][Uu][Rr][Ll]\(([^\)]+)\)/)re", "<td style=\"x: url(bg.png)\">", 1, {"bg.png"}},
      {"css url", R"re(m/[Uu][Rr][Ll][ \t]*\([ 	'"]*([^ \t'")]+)[ '"\t]*\)/)re", "body { background: url( \"img/bg.png\" ) }",
       1, {"img/bg.png"}},
      {"css import", R"re(m/\@[Ii][Mm][Pp][Oo][Rr][Tt][ \t'"(]*([^ \t'";]+)[ '"\t;)]*/)re", "@import \"base.css\";", 1,
       {"base.css"}},
      {"css quoted", R"re(m/["']([^'"]+)['"]/)re", "src: 'font.woff'", 1, {"font.woff"}},
      {"base", R"re(m/<[Bb][Aa][Ss][Ee][ \t][^>]*[Hh][Rr][Ee][Ff][ \t]*=[ \t"]*([^" \t]+)[']*[ \t">]/)re",
       "<BASE target=x HREF=\"http://a.jp/dir/\">", 1, {"http://a.jp/dir/"}},
      {"refresh", R"re(m/[Uu][Rr][Ll][ \t]*=[ \t"]*([^" \t>]+)[" \t>]/)re",
       "<meta http-equiv=\"refresh\" content=\"5; URL=next.html\">", 1, {"next.html"}},
      {"picture", R"re(m/'show_picture.pl\?img_src=([^']+)'/)re", "onclick=\"w('show_picture.pl?img_src=p/1.jpg')\"",
       1, {"p/1.jpg"}},
      {"applet archive", R"re(m/<[Aa][Pp][Pp][Ll][Ee][Tt][ \t][^>]*[Aa][Rr][Cc][Hh][Ii][Vv][Ee][ \t]*=[ \t"]*([^" \t]+)[ \t">]/)re",
       "<APPLET code=A.class ARCHIVE=\"a.jar\">", 1, {"a.jar"}},
      // Tree file item lines.
      {"item line", kItemPattern, item, 1,
       {"http://www.example.jp/a/index.html", "Z:\\data\\" + SJ("表") + "\\index.html", "2007/01/28 10:00:00", kUnset,
        "1A2B", "2", "0", "0:1", "0", "1", title}},
      {"item line with NEXTCHECK", kItemPatternNextCheck, itemNext, 1,
       {"http://x.jp/", kUnset, kUnset, kUnset, kUnset, "0", "2", "1", "3:0", "1", "0", kUnset}},
      {"item line without NEXTCHECK does not fit the other pattern", kItemPatternNextCheck, item, 0, {}},
      {"folder line is no item", kItemPattern, "<LI TYPE=\"1\" PROPERTY=\"5\" PROTECTINFO=\"1\" EXPAND=\"1\">x<UL>", 0,
       {}},
      // Imports and rules.
      {"bookmark", R"re(m/<DT><A HREF=\"([^\"]*)\" ADD_DATE=\"([\d]+)\" LAST_VISIT=\"([\d]+)\" LAST_MODIFIED=\"([\d]+)\">([^<]*)<\/A>/)re",
       "    <DT><A HREF=\"http://a.jp/\" ADD_DATE=\"1\" LAST_VISIT=\"22\" LAST_MODIFIED=\"333\">" + title + "</A>",
       1, {"http://a.jp/", "1", "22", "333", title}},
      {"bare slashes are a match", "/<LI>(.*)<UL>/", "<LI>" + title + "<UL>", 1, {title}},
      {"url list", R"re(m/^[Uu][Rr][Ll]=(.+)$/)re", "url=http://a.jp/f.zip", 1, {"http://a.jp/f.zip"}},
      {"text list", R"re(m/([\w]+):\/\/(.+)$/)re", "see http://a.jp/x", 1, {"http", "a.jp/x"}},
      {"reject rule", R"re(/\.gif$/)re", "http://a.jp/x.gif", 1, {}},
      {"reject rule, other ending", R"re(/\.gif$/)re", "http://a.jp/x.gif?y", 0, {}},
      // Groups that do not take part, flags, delimiters.
      {"alternative not taken", "m/(a)|(b)/", "xb", 1, {kUnset, "b"}},
      {"optional group absent", "m/x(y)?(z)/", "xz", 1, {kUnset, "z"}},
      {"empty group takes part", "m/x(y*)z/", "xz", 1, {kUnset}},
      {"case matters without i", "m/href/", "HREF", 0, {}},
      {"i ignores case", "m/h(r)ef/i", "A HREF", 1, {"R"}},
      {"other delimiter", "m#a/(b)#", "xa/by", 1, {"b"}},
      {"bracket delimiter", "m{a{2}(b)}", "aab", 1, {"b"}},
      {"escaped slash", R"re(m/a\/(b)/)re", "a/b", 1, {"b"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MatchResult r = Match(row.pattern, row.target);
    EXPECT_EQ(r.message, "");
    ASSERT_EQ(r.result, row.result);
    if (row.result == 0) continue;
    ASSERT_EQ(r.groups.size(), row.groups.size() + 1);
    for (size_t i = 0; i < row.groups.size(); ++i) {
      // An empty group that took part reads like one that did not: callers only see end <= start.
      std::string want = row.groups[i] == kUnset ? std::string(kUnset) : row.groups[i];
      EXPECT_EQ(r.groups[i + 1], want) << "group " << i + 1;
    }
  }
}

TEST(Bregexp, SjisFlagNeverSplitsTwoByteCharacters) {
  const std::string hyo = SJ("表"), so = SJ("ソ"), nou = SJ("能"), a = SJ("ア");  // 95 5C, 83 5C, 94 5C, 83 41
  const struct {
    const char* name;
    std::string pattern;
    std::string target;
    int result;
    size_t start;          // offset of the match
    std::string match;     // whole match
    std::string group1;
  } rows[] = {
      {"backslash inside 表 is found byte-wise", R"re(m/\\/)re", hyo, 1, 1, "\\", ""},
      {"but not with k", R"re(m/\\/k)re", hyo + so + nou, 0, 0, "", ""},
      {"a real backslash after 表", R"re(m/\\(.)/k)re", hyo + "\\" + nou, 1, 2, "\\" + nou, nou},
      {"trail byte A inside ア is found byte-wise", "m/A/", a, 1, 1, "A", ""},
      {"but not with k", "m/A/k", a + "xA", 1, 3, "A", ""},
      {"dot takes a whole character", SJ("m/(.)表/k"), "x" + so + hyo, 1, 1, so + hyo, so},
      {"class of two-byte characters", SJ("m/([表ソ能]+)/k"), "ab" + nou + so + hyo + "c", 1, 2, nou + so + hyo,
       nou + so + hyo},
      {"negated class steps over a trail 0x5C", R"re(m/^([^\\]+)\\/k)re", "Z:" + hyo + "\\a", 1, 0, "Z:" + hyo + "\\",
       "Z:" + hyo},
      {"pattern text ending in 表 before the delimiter", "m/" + hyo + "/k", "x" + hyo, 1, 1, hyo, ""},
      {"half-width kana is one byte", SJ("m/ｱ(.)/k"), SJ("xｱ表"), 1, 1, SJ("ｱ表"), hyo},
      {"i and k together", "m/abc/ki", hyo + "ABC", 1, 2, "ABC", ""},
      {"bytes that are no character keep their place", "m/(x)/k", "\x80\xFDx", 1, 2, "x", "x"},
      {"lone lead byte at the end", "m/(b.)/k", "ab\x81", 1, 1, "b\x81", "b\x81"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MatchResult r = Match(row.pattern, row.target);
    EXPECT_EQ(r.message, "");
    ASSERT_EQ(r.result, row.result);
    if (!row.result) continue;
    EXPECT_EQ(r.offsets[0], row.start);
    EXPECT_EQ(r.groups[0], row.match);
    if (!row.group1.empty()) {
      EXPECT_EQ(r.groups[1], row.group1);
    }
  }
}

TEST(Bregexp, Substitutes) {
  const std::string hyo = SJ("表"), so = SJ("ソ"), nou = SJ("能");
  const struct {
    const char* name;
    std::string pattern;
    std::string target;
    int result;
    const char* out;  // null: no output
    std::string sjisOut = {};
  } rows[] = {
      {"convert rule", "s/&amp;/&/g", "a.cgi?x=1&amp;y=2&amp;z", 2, "a.cgi?x=1&y=2&z"},
      {"convert rule, nothing to do", "s/&amp;/&/g", "a.cgi?x=1", 0, "a.cgi?x=1"},
      {"charset", R"re(s/[Cc][Hh][Aa][Rr][Ss][Ee][Tt][ \t]*=([ \t"']*)([^"' >\t]+)([ \t"'])/charset=$1Shift_JIS$3/)re",
       "<meta content=\"text/html; CHARSET=EUC-JP\">", 1, "<meta content=\"text/html; charset=Shift_JIS\">"},
      {"encoding",
       R"re(s/[Ee][Nn][Cc][Oo][Dd][Ii][Nn][Gg][ \t]*=([ \t\"\']*)([^\"\' >\t]+)([ \t\"\']*)/encoding=$1Shift_JIS$3/)re",
       "<?xml version=\"1.0\" encoding='utf-8'?>", 1, "<?xml version=\"1.0\" encoding='Shift_JIS'?>"},
      // Dot segments of URLs and local paths.
      {"dot segment", R"re(s/[\/\\]([\.]{1})[\/\\]/\//)re", "http://a.jp/x/./y.html", 1, "http://a.jp/x/y.html"},
      {"dot segment between backslashes", R"re(s/[\/\\]([\.]{1})[\/\\]/\//)re", "Z:\\d\\.\\e", 1, "Z:\\d/e"},
      {"name and two dots", R"re(s/[\/\\]([^\.]{1})([^\/\\]+)[\/\\]([\.]{2})[\/\\]/\//)re",
       "http://a.jp/dir/sub/../x.html", 1, "http://a.jp/dir/x.html"},
      {"name with a dot", R"re(s/[\/\\]([^\/\\ ]+)[\/\\]([\.]{2})[\/\\]/\//)re", "http://a.jp/.d/../x", 1,
       "http://a.jp/x"},
      {"local path, slashes", R"re(s/\/([^\.]{1})([^\/]+)\/([\.]{2})\//\//)re", "Z:/a/bb/../c", 1, "Z:/a/c"},
      {"local path, backslashes", R"re(s/\\([^\\ ]+)\\([\.]{2})\\/\\/)re", "Z:\\data\\a\\..\\b.html", 1,
       "Z:\\data\\b.html"},
      {"local dot segment, backslashes", R"re(s/\\([\.]{1})\\/\\/)re", "Z:\\a\\.\\b", 1, "Z:\\a\\b"},
      {"pipeline dot segment", R"re(s/\/([\.]{1})\//\//)re", "/a/./b/./c", 1, "/a/b/./c"},
      // Replacement syntax.
      {"groups, braces, escapes", R"re(s/(\w+) (\w+)/$2 ${1}\t\$\\\//)re", "ab cd", 1, "cd ab\t$\\/"},
      {"whole match and \\1", R"re(s/(b+)/[$&|\1]/)re", "abbc", 1, "a[bb|bb]c"},
      {"text before and after", "s/X/<$`|$'>/", "aXb", 1, "a<a|b>b"},
      {"ampersand is literal", "s/x/&/", "axb", 1, "a&b"},
      {"group that did not take part", "s/(a)|(b)/[$1$2]/g", "ab", 2, "[a][b]"},
      {"group beyond the pattern's groups is empty", "s/(a)/$9/", "xa", 1, "x"},
      {"global with empty matches", "s/x*/-/g", "abxc", 5, "-a-b--c-"},
      {"ignore case", "s/href/HREF/gi", "href Href", 2, "HREF HREF"},
      {"first occurrence only", "s/a/b/", "aaa", 1, "baa"},
      {"empty result", "s/.*//", "abc", 1, nullptr},
      {"other delimiters", "s{/}{\\\\}g", "a/b/c", 2, "a\\b\\c"},
      {"pipes", R"re(s|/|\||g)re", "a/b", 1, "a|b"},
      // Shift_JIS.
      {"k replaces whole characters", "s/" + hyo + "/" + so + "/gk", hyo + SJ("計算") + hyo, 2, "",
       so + SJ("計算") + so},
      {"k leaves trail bytes alone", R"re(s/\\/\//gk)re", "Z:\\" + hyo + "\\" + nou, 2, "", "Z:/" + hyo + "/" + nou},
      {"without k a trail byte is a backslash", R"re(s/\\/\//g)re", hyo, 1, "", "\x95/"},
      {"replacement text ending in 表 before $1", "s/(x)/" + hyo + "$1/k", "axb", 1, "", "a" + hyo + "xb"},
      {"replacement escape before a two-byte character", "s/x/\\" + so + "/k", "x", 1, "", so},
      {"groups copy the target's own bytes", "s/(.)(.)/$2$1/k", hyo + "\x80" + nou, 1, "",
       "\x80" + hyo + nou},
      {"k global with empty matches steps whole characters", "s/(?:)/|/gk", hyo + nou, 3, "",
       "|" + hyo + "|" + nou + "|"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SubstResult r = Subst(row.pattern, row.target);
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.result, row.result);
    std::string want = row.out ? (row.sjisOut.empty() ? std::string(row.out) : row.sjisOut) : std::string();
    EXPECT_EQ(r.null, row.out == nullptr);
    EXPECT_EQ(r.out, want);
  }
}

TEST(Bregexp, BadPatternsFillTheMessage) {
  const std::string longPattern = "m/" + std::string(200, '(') + "/";
  const char* rows[] = {
      "m/(abc/", "m/abc",   "x/abc/", "m/a/z", "m/[a-/", "s/a/b", "mab",
      "m/a{2,1}/", "s{a}", "m/(?<=a+)b/", longPattern.c_str(),
  };
  for (const char* pattern : rows) {
    SCOPED_TRACE(pattern);
    BREGEXP* rx = nullptr;
    char msg[kBregexpMessageSize + 8];
    std::memset(msg, 0, sizeof(msg));
    std::memset(msg + kBregexpMessageSize, 'Z', 8);  // past the buffer: must stay untouched
    char target[] = "abc";
    EXPECT_EQ(BMatch(pattern, target, target + 3, &rx, msg), 0);
    EXPECT_NE(msg[0], '\0');
    EXPECT_LT(std::strlen(msg), static_cast<size_t>(kBregexpMessageSize));
    EXPECT_EQ(std::string(msg + kBregexpMessageSize, 8), std::string(8, 'Z'));
    EXPECT_EQ(rx, nullptr);
  }
  // A match pattern handed to the substitution.
  SubstResult r = Subst("m/a/", "abc");
  EXPECT_NE(r.message, "");
  EXPECT_EQ(r.result, 0);
}

TEST(Bregexp, HandleIsReusedLineAfterLine) {
  BREGEXP* rx = nullptr;
  char msg[kBregexpMessageSize] = {};
  std::vector<std::string> lines = {"id=1 name=a", "nothing", "id=22 name=bb", "id=333 name=ccc"};
  const char* pattern = "m/id=(\\d+) name=(\\w+)/";
  BREGEXP* first = nullptr;
  int matched = 0;
  for (std::string& line : lines) {
    int r = BMatch(pattern, line.data(), line.data() + line.size(), &rx, msg);
    ASSERT_EQ(msg[0], '\0');
    ASSERT_NE(rx, nullptr);
    if (!first) first = rx;
    EXPECT_EQ(rx, first);
    if (!r) continue;
    ++matched;
    EXPECT_EQ(std::string(rx->startp[1], rx->endp[1]).size(), std::string(rx->startp[2], rx->endp[2]).size());
  }
  EXPECT_EQ(matched, 3);
  // Another pattern on the same handle is compiled afresh.
  std::string text = "key: value";
  ASSERT_EQ(BMatch("m/(\\w+): (\\w+)/", text.data(), text.data() + text.size(), &rx, msg), 1);
  EXPECT_EQ(rx->nparens, 2);
  EXPECT_EQ(std::string(rx->startp[2], rx->endp[2]), "value");
  // A bad pattern on a live handle reports and leaves the handle usable.
  EXPECT_EQ(BMatch("m/(/", text.data(), text.data() + text.size(), &rx, msg), 0);
  EXPECT_NE(msg[0], '\0');
  std::memset(msg, 0, sizeof(msg));
  ASSERT_EQ(BSubst("s/value/v/", text.data(), text.data() + text.size(), &rx, msg), 1);
  EXPECT_STREQ(rx->outp, "key: v");
  EXPECT_EQ(msg[0], '\0');
  BRegfree(rx);
  BRegfree(nullptr);
}

TEST(Bregexp, RunawayPatternGivesUp) {
  std::string target = std::string(1 << 20, 'a') + "!";
  char* start = target.data();
  char* end = start + target.size();
  const char* patterns[] = {"m/(a+)+b/", "m/(a+)+$/", "m/^(a|aa)+$/"};
  for (const char* pattern : patterns) {
    SCOPED_TRACE(pattern);
    BREGEXP* rx = nullptr;
    char msg[kBregexpMessageSize] = {};
    EXPECT_EQ(BMatch(pattern, start, end, &rx, msg), 0);
    EXPECT_EQ(msg[0], '\0');
    BRegfree(rx);
  }
  SubstResult r = Subst("s/(a+)+b/x/g", target);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out.size(), target.size());
  // The bound is per attempt, not per target: an ordinary scan of a long page still works.
  std::string page;
  for (int i = 0; i < 40000; ++i) page += "<p class=x>text text text</p>\n";
  page += "<img src='last.gif'>";
  MatchResult m = Match(R"re(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*'([^"'>\t]+)'/)re", page);
  ASSERT_EQ(m.result, 1);
  EXPECT_EQ(m.groups[1], "last.gif");
  SubstResult all = Subst("s/text/T/g", page);
  EXPECT_EQ(all.result, 120000);
}

TEST(Bregexp, HandlesOnSeveralThreads) {
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &good] {
      BREGEXP* rx = nullptr;
      BREGEXP* sx = nullptr;
      for (int i = 0; i < 500; ++i) {
        std::string line = "n=" + std::to_string(t * 1000 + i) + SJ("表");
        char msg[kBregexpMessageSize] = {};
        if (BMatch("m/n=(\\d+)/k", line.data(), line.data() + line.size(), &rx, msg) == 1 &&
            std::string(rx->startp[1], rx->endp[1]) == std::to_string(t * 1000 + i) &&
            BSubst("s/\\d/#/gk", line.data(), line.data() + line.size(), &sx, msg) > 0 && sx->outp[0] == 'n')
          ++good[t];
      }
      BRegfree(rx);
      BRegfree(sx);
    });
  }
  for (auto& th : threads) th.join();
  for (int g : good) EXPECT_EQ(g, 500);
}

}  // namespace
}  // namespace zentu
