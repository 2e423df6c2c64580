// Link resolution in saved pages, dot-segment collapsing (checked against the
// regular-expression service), and finding the saved copy behind a link.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "os/file.h"
#include "pagelib/bregexp.h"
#include "pagelib/url.h"
#include "pagelib/urltext.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;
using Targets = std::vector<std::string>;

const std::string kData = "Z:\\tmp\\data";

TEST(ResolveLink, Table) {
  const std::string page = "http://server/a/b/page.html";
  const std::string local = "Z:\\tmp\\data\\server\\a\\page.html";
  struct Row {
    std::string link, base, avoid;
    Targets targets;
  };
  const Row rows[] = {
      {"../img/x.gif", page, "", {"http://server/a/img/x.gif"}},
      {"./c.html", page, "", {"http://server/a/b/c.html"}},
      {".//c.html", page, "", {"http://server/a/b/c.html"}},
      {"c.html", page, "", {"http://server/a/b/c.html"}},
      {"/top.html", page, "", {"http://server/top.html"}},
      {"\\top.html", page, "", {"http://server/top.html"}},
      {"/../x.html", page, "", {"http://server/x.html"}},
      {"../../../../x.gif", page, "", {"http://server/x.gif"}},
      {"..\\img\\x.gif", page, "", {"http://server/a/img/x.gif"}},
      {"a/b/../../c", "http://server/p.html", "", {"http://server/c"}},
      {"x/./y/./z.gif", page, "", {"http://server/a/b/x/y/z.gif"}},
      {"a b/../c", "http://server/p.html", "", {"http://server/c"}},
      {"//cdn/x.js", page, "", {"http://server/cdn/x.js"}},
      // Absolute links name the copy below the data directory; the raw form
      // is handed on too when collapsing changes it.
      {"http://other/x.gif", page, "", {"Z:\\tmp\\data\\other/x.gif"}},
      {"https://other/a/./b/../c.gif", page, "",
       {"Z:\\tmp\\data\\other/a/./b/../c.gif", "Z:\\tmp\\data\\other/a/c.gif"}},
      {"http://other/../../x.gif", page, "", {"Z:\\tmp\\data\\other/../../x.gif", "Z:\\tmp\\data\\other/x.gif"}},
      {"file:///Z:/x/y.html", page, "", {"Z:/x/y.html"}},
      {"FILE://Z:\\x", page, "", {"Z:\\x"}},
      {"file:///", page, "", {}},
      // Relative to a saved page: ".." stops at the host folder.
      {"../img/x.gif", local, "", {"Z:\\tmp\\data\\server/img/x.gif"}},
      {"../../../x.gif", local, "", {"Z:\\tmp\\data\\server/x.gif"}},
      {"b.html", local, "", {"Z:\\tmp\\data\\server\\a\\b.html"}},
      // The page itself is not a target.
      {"page.html", page, page, {}},
      {"./page.html#x", page, "http://server/a/b/page.html#x", {}},
      {"x.gif", "page.html", "", {"page.html"}},
      {"", page, "", {}},
      {"x.gif", "", "", {}},
      {std::string(2048, 'a'), page, "", {}},
      {"x.gif", "http://server/" + std::string(2040, 'a'), "", {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.link.substr(0, 60) + " @ " + r.base.substr(0, 60));
    EXPECT_EQ(ResolveLink(kData, r.link, "server", r.base, r.avoid), r.targets);
  }
}

TEST(ResolveLink, ShiftJisNamesCollapseWhole) {
  const std::string hyo = SJ("表"), so = SJ("ソ");
  const std::string base = kData + "\\server\\" + hyo + "\\page.html";
  EXPECT_EQ(ResolveLink(kData, "../x.gif", "server", base), Targets{kData + "\\server/x.gif"});
  // "表x\..\" must go whole: a byte-wise match would take 0x5C for "\" and
  // leave half a character behind.
  EXPECT_EQ(ResolveLink(kData, "../x.gif", "server", kData + "\\server\\" + hyo + "x\\p.html"),
            Targets{kData + "\\server/x.gif"});
  EXPECT_EQ(ResolveLink(kData, so + ".\\a.gif", "server", "http://server/p.html"),
            Targets{"http://server/" + so + "./a.gif"});
  // A link's "\" becomes "/", a trail byte 0x5C does not.
  EXPECT_EQ(ResolveLink(kData, "d\\" + hyo + ".gif", "server", "http://server/p.html"),
            Targets{"http://server/d/" + hyo + ".gif"});
}

TEST(LinkTargetToLocalPath, Table) {
  struct Row {
    const char* target;
    const char* dataDirectory;
    const char* path;
  };
  const Row rows[] = {
      {"http://server/x.html#a", "Z:\\tmp\\data", "Z:\\tmp\\data\\server\\x.html"},
      {"Z:\\tmp\\data\\server/x.gif", "Z:\\tmp\\data", "Z:\\tmp\\data\\server\\x.gif"},
      {"Z:/a/b#c", "Z:\\tmp\\data", "Z:\\a\\b"},
      {"//unc/x", "Z:\\tmp\\data", "\\\\unc\\x"},
      {"file:///Z:/a", "Z:\\tmp\\data", "Z:\\a"},
      {"server/x", "Z:\\tmp\\data", "Z:\\tmp\\data\\server\\x"},
      {"s/x#y", "Z:\\C#\\data", "Z:\\C#\\data\\s\\x"},
      {"", "Z:\\tmp\\data", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.target);
    EXPECT_EQ(LinkTargetToLocalPath(r.dataDirectory, r.target), r.path);
  }
}

TEST(CollapseDotSegments, Table) {
  const std::string hyo = SJ("表"), so = SJ("ソ");
  struct Row {
    std::string in, out;
  };
  const Row rows[] = {
      {"Z:\\a\\.\\b", "Z:\\a\\b"},
      {"Z:/a/./b", "Z:/a/b"},
      {"Z:\\a\\b\\..\\c", "Z:\\a\\c"},
      {"Z:\\a\\b\\..\\..\\c", "Z:\\c"},
      {"Z:\\a\\..\\..\\c", "Z:\\c"},
      {"Z:\\..\\c", "Z:\\c"},
      {"\\..\\c", "\\c"},
      {"..\\x", "x"},
      {"Z:\\my dir\\..\\c", "Z:\\c"},
      {"Z:\\.x\\..\\c", "Z:\\c"},
      {"Z:\\.x y\\..\\c", "Z:\\.x y\\..\\c"},
      {"Z:\\home\\zentu\\.\\..\\data", "Z:\\home\\data"},
      {"Z:\\a/.\\b", "Z:\\a/.\\b"},
      {"tmp\\..\\x", "tmp\\..\\x"},  // a relative first folder is not a root
      {"", ""},
      {"Z:\\a\\" + hyo + "\\..\\b", "Z:\\a\\b"},
      {"Z:\\a\\" + hyo + "x\\..\\b", "Z:\\a\\b"},
      {"Z:\\" + hyo + "\\.\\b", "Z:\\" + hyo + "\\b"},
      {"Z:\\" + so + ".\\b", "Z:\\" + so + ".\\b"},  // no "\.\" here, only a trail byte
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.in);
    std::string path = r.in;
    CollapseDotSegments(path);
    EXPECT_EQ(path, r.out);
  }
  std::string longPath = "Z:\\" + std::string(400, 'a');
  CollapseDotSegments(longPath);
  EXPECT_EQ(longPath.size(), kMaxPathLength);
}

// The hand-written rules must give exactly what the substitutions give,
// byte-wise for single-byte text and under the "k" flag for Shift_JIS text.
TEST(CollapseRules, MatchTheRegularExpressionService) {
  using urltext::DotRule;
  struct Rule {
    DotRule rule;
    int separators;
    char repl;
    const char* pattern;
  };
  const Rule rules[] = {
      {DotRule::DotSegment, 3, '/', R"(s/[\/\\]([\.]{1})[\/\\]/\//)"},
      {DotRule::NamedParent, 3, '/', R"(s/[\/\\]([^\.]{1})([^\/\\]+)[\/\\]([\.]{2})[\/\\]/\//)"},
      {DotRule::ParentWithoutSpace, 3, '/', R"(s/[\/\\]([^\/\\ ]+)[\/\\]([\.]{2})[\/\\]/\//)"},
      {DotRule::DotSegment, 1, '/', R"(s/\/([\.]{1})\//\//)"},
      {DotRule::DotSegment, 2, '\\', R"(s/\\([\.]{1})\\/\\/)"},
      {DotRule::NamedParent, 1, '/', R"(s/\/([^\.]{1})([^\/]+)\/([\.]{2})\//\//)"},
      {DotRule::ParentWithoutSpace, 1, '/', R"(s/\/([^\/ ]+)\/([\.]{2})\//\//)"},
      {DotRule::NamedParent, 2, '\\', R"(s/\\([^\.]{1})([^\\]+)\\([\.]{2})\\/\\/)"},
      {DotRule::ParentWithoutSpace, 2, '\\', R"(s/\\([^\\ ]+)\\([\.]{2})\\/\\/)"},
  };
  const std::vector<std::string> single = {"/", "\\", ".", ".", "a", "b", " ", ":"};
  std::vector<std::string> sjis = single;
  for (const char* c : {"表", "ソ", "ア", "能"}) sjis.push_back(SJ(c));

  std::mt19937 rng(1234);
  for (bool k : {false, true}) {
    const std::vector<std::string>& alphabet = k ? sjis : single;
    for (const Rule& rule : rules) {
      const std::string pattern = std::string(rule.pattern) + (k ? "k" : "");
      SCOPED_TRACE(pattern);
      BREGEXP* rx = nullptr;
      int mismatches = 0;
      for (int n = 0; n < 4000 && mismatches < 5; ++n) {
        std::string text;
        const int len = static_cast<int>(rng() % 16);
        for (int i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        char msg[kBregexpMessageSize] = {};
        const int replaced = BSubst(pattern.c_str(), buf.data(), buf.data() + text.size(), &rx, msg);
        ASSERT_EQ(msg[0], '\0') << msg;
        const std::string expected = replaced ? std::string(rx->outp ? rx->outp : "") : text;
        std::string mine = text;
        const bool mineReplaced = urltext::ApplyDotRule(mine, rule.rule, rule.separators, rule.repl);
        if (mine != expected || mineReplaced != (replaced != 0)) {
          ++mismatches;
          ADD_FAILURE() << "text [" << text << "] service [" << expected << "] mine [" << mine << "]";
        }
      }
      if (rx) BRegfree(rx);
    }
  }
}

// The collapse loops only rescan around each change; they must end exactly
// where rescanning everything after every step ends.
bool IsSeparatorByte(const std::string& s, size_t i) { return s[i] == '/' || s[i] == '\\'; }

bool DotDotThen(const std::string& s, size_t i) {
  return i + 2 < s.size() && s[i] == '.' && s[i + 1] == '.' && IsSeparatorByte(s, i + 2);
}

bool NaiveDropAtRoot(std::string& s, size_t seps) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); i += urltext::CharLen(s, i)) {
    if (IsSeparatorByte(s, i) && ++count == seps) {
      if (!DotDotThen(s, i + 1)) return false;
      s.erase(i + 1, 3);
      return true;
    }
  }
  return false;
}

bool NaiveDropAtStart(std::string& s) {
  if (DotDotThen(s, 0)) return s.erase(0, 3), true;
  size_t first = 0;
  while (first < s.size() && !IsSeparatorByte(s, first)) first += urltext::CharLen(s, first);
  if (first >= s.size() || !(first == 0 || (first == 2 && s[1] == ':')) || !DotDotThen(s, first + 1))
    return false;
  s.erase(first + 1, 3);
  return true;
}

TEST(CollapseRules, WindowedLoopsEqualFullRescans) {
  using urltext::ApplyDotRule;
  using urltext::DotRule;
  const std::vector<std::string> alphabet = {"/", "\\", ".", "..", "../", "..\\", "./", "a", "bc", " ",
                                             ":", SJ("表"), SJ("ソ"), "\x81", "\x81/"};
  std::mt19937 rng(99);
  for (int n = 0; n < 20000; ++n) {
    std::string text = (rng() % 2) ? "http://server" : "Z:";
    const int len = static_cast<int>(rng() % (n % 50 == 0 ? 400 : 30));
    for (int i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
    SCOPED_TRACE(text);

    std::string naive = text;
    for (;;) {
      if (ApplyDotRule(naive, DotRule::DotSegment, 3, '/')) continue;
      if (NaiveDropAtRoot(naive, 3)) continue;
      if (ApplyDotRule(naive, DotRule::NamedParent, 3, '/')) continue;
      if (ApplyDotRule(naive, DotRule::ParentWithoutSpace, 3, '/')) continue;
      break;
    }
    std::string windowed = text;
    urltext::CollapseLinkTarget(windowed, 3);
    ASSERT_EQ(windowed, naive);

    naive = text;
    for (;;) {
      if (ApplyDotRule(naive, DotRule::DotSegment, 1, '/')) continue;
      if (ApplyDotRule(naive, DotRule::DotSegment, 2, '\\')) continue;
      if (NaiveDropAtStart(naive)) continue;
      if (ApplyDotRule(naive, DotRule::NamedParent, 1, '/')) continue;
      if (ApplyDotRule(naive, DotRule::ParentWithoutSpace, 1, '/')) continue;
      if (ApplyDotRule(naive, DotRule::NamedParent, 2, '\\')) continue;
      if (ApplyDotRule(naive, DotRule::ParentWithoutSpace, 2, '\\')) continue;
      break;
    }
    windowed = text;
    urltext::CollapseLocalPath(windowed);
    ASSERT_EQ(windowed, naive);
  }
}

class FindLocalFileTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    data = home + "\\data";
    for (const char* name : {"server\\a.html", "server\\list.cgi7p=2", "server\\index.html",
                             "server\\top.html", "server\\noext_.html", "server\\a b.html",
                             "server\\deep\\x.gif"})
      Make(data + "\\" + name);
    pageUrl = ToFileUrl(data + "\\server\\a.html");
  }
  static void Make(const std::string& path) {
    ASSERT_TRUE(os::CreateDirectories(path.substr(0, path.rfind('\\'))));
    ASSERT_TRUE(os::WriteFileAtomic(path, "x"));
  }
  static std::string ToFileUrl(std::string path) {
    for (char& c : path)
      if (c == '\\') c = '/';
    return "file:///" + path;
  }
  std::string Find(const std::string& target, bool online = false, const std::string& page = "") {
    std::string file;
    const bool found = FindLocalFileForLink(data, target, page.empty() ? pageUrl : page, online, file);
    EXPECT_EQ(found, !file.empty());
    return file;
  }
  std::string data, pageUrl;
};

TEST_F(FindLocalFileTest, OfflineWebLinksOpenTheSavedCopy) {
  EXPECT_EQ(Find("http://server/a.html"), data + "\\server\\a.html");
  EXPECT_EQ(Find("http://server/list.cgi?p=2"), data + "\\server\\list.cgi7p=2");
  EXPECT_EQ(Find("http://server/"), data + "\\server\\index.html");
  EXPECT_EQ(Find("http://server"), data + "\\server\\index.html");
  EXPECT_EQ(Find("http://server/a.html#top"), data + "\\server\\a.html");
  EXPECT_EQ(Find("http://server/a b.html"), data + "\\server\\a b.html");
  EXPECT_TRUE(os::FileExists(Find("https://server//deep//x.gif")));
  EXPECT_EQ(Find("http://server/missing.html"), "");
  EXPECT_EQ(Find("http://server/a.html", true), "");   // online: follow the link
  EXPECT_EQ(Find("http://server/a.html", false, "http://server/p.html"), "");  // not a saved page
  EXPECT_EQ(Find("mailto:x@y"), "");

  std::string file;
  const std::string cached = data + "\\server\\top.html";
  EXPECT_TRUE(FindLocalFileForLink(
      data, "http://elsewhere/t.html", pageUrl, false, file,
      [&](std::string_view url, std::string& out) {
        EXPECT_EQ(url, "http://elsewhere/t.html");
        out = cached;
        return true;
      }));
  EXPECT_EQ(file, cached);
}

TEST_F(FindLocalFileTest, QueryNamedResourcesOpenTheirCopyNewOrOld) {
  Make(data + "\\server\\s.css7v.css");
  Make(data + "\\server\\old.css71");  // saved before names kept their extension
  EXPECT_EQ(Find("http://server/s.css?v"), data + "\\server\\s.css7v.css");
  EXPECT_EQ(Find(data + "\\server\\s.css?v"), data + "\\server\\s.css7v.css");
  EXPECT_EQ(Find("file:///Z:/s.css?v"), data + "\\server\\s.css7v.css");
  EXPECT_EQ(Find("http://server/old.css?1"), data + "\\server\\old.css71");
  EXPECT_EQ(Find(data + "\\server\\old.css?1"), data + "\\server\\old.css71");
  std::string file;
  EXPECT_TRUE(FindLinkedFile(data, "http://server/s.css?v", file));
  EXPECT_EQ(file, data + "\\server\\s.css7v.css");
}

TEST_F(FindLocalFileTest, LocalTargetsBelowTheDataDirectory) {
  // An existing file needs nothing.
  EXPECT_EQ(Find(ToFileUrl(data + "\\server\\a.html")), "");
  EXPECT_EQ(Find(data + "\\server\\list.cgi?p=2"), data + "\\server\\list.cgi7p=2");
  EXPECT_EQ(Find(ToFileUrl(data + "\\server\\list.cgi?p=2")), data + "\\server\\list.cgi7p=2");
  EXPECT_EQ(Find(data + "\\server\\noext"), data + "\\server\\noext_.html");
  EXPECT_EQ(Find(data + "\\server\\gone.html"), "");
}

TEST_F(FindLocalFileTest, RootRelativeLinksUseThePagesHostFolder) {
  EXPECT_EQ(Find("Z:\\top.html"), data + "\\server\\top.html");
  EXPECT_EQ(Find("file:///Z:/list.cgi?p=2"), data + "\\server\\list.cgi7p=2");
  EXPECT_EQ(Find("Z:\\nothing-here.html"), "");
  // The page must itself be a saved page below the data directory.
  EXPECT_EQ(Find("Z:\\top.html", false, ToFileUrl(home + "\\other\\p.html")), "");
  EXPECT_EQ(Find("Z:\\top.html", false, ToFileUrl(data + "\\p.html")), "");
}

// The one resolver for links, redirects and rewriting.
TEST(ResolveUrl, Table) {
  const std::string hyo = SJ("表"), so = SJ("ソ");
  const std::string base = "http://h.example:8080/a/b/page.html?q=1#top";
  const struct {
    std::string link, want;
  } rows[] = {
      {"c.html", "http://h.example:8080/a/b/c.html"},
      {"./c.html", "http://h.example:8080/a/b/c.html"},
      {"../img/x.gif", "http://h.example:8080/a/img/x.gif"},
      {"../../../../x.gif", "http://h.example:8080/x.gif"},
      {"/top.html", "http://h.example:8080/top.html"},
      {"/../x", "http://h.example:8080/x"},
      {"//cdn.example/lib.js", "http://cdn.example/lib.js"},
      {"?page=2", "http://h.example:8080/a/b/page.html?page=2"},
      {"#part", "http://h.example:8080/a/b/page.html?q=1#part"},
      {"d/./e/../f.html#frag", "http://h.example:8080/a/b/d/f.html#frag"},
      {"x.cgi?p=../../y", "http://h.example:8080/a/b/x.cgi?p=../../y"},
      {"sub/", "http://h.example:8080/a/b/sub/"},
      {"..", "http://h.example:8080/a/"},
      {"..\\..\\w.html", "http://h.example:8080/w.html"},
      {"\\root.html", "http://h.example:8080/root.html"},
      {hyo + "/" + so + ".html", "http://h.example:8080/a/b/" + hyo + "/" + so + ".html"},
      {hyo + "\\..\\z.html", "http://h.example:8080/a/b/z.html"},
      {"http://other.example/a/../b/./c", "http://other.example/b/c"},
      {"https://s.example:8443/x/../../y?z=../w#f/../g", "https://s.example:8443/y?z=../w#f/../g"},
      {"", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.link);
    EXPECT_EQ(ResolveUrl(base, r.link), r.want);
  }
  EXPECT_EQ(ResolveUrl("http://h", "x.html"), "http://h/x.html");
  EXPECT_EQ(ResolveUrl("no-scheme", "x.html"), "");
  EXPECT_EQ(UnwrapArchiveUrl("http://web.archive.org/web/2007/https://s/a"), "https://s/a");
  EXPECT_EQ(UnwrapArchiveUrl("http://s/a"), "http://s/a");
}

}  // namespace
}  // namespace zentu
