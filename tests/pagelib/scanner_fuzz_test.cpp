// Mutated pages through the segmenter, the page walk and the readers. Each page
// sits in a heap block of exactly its size, so a read past its end shows up
// under AddressSanitizer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "os/text.h"
#include "pagelib/scanner.h"

namespace zentu {
namespace {

// clang-format off
const char* const kSnippets[] = {
    "<", ">", "<!--", "-->", "<!-", "--", "<!", "</", "<?", "<0", "<a href=\"", "<img src='", "<img src=",
    "\"", "'", "\\", "\\\"", "url(", "URL (", ")", "(", "@import ", "@import url(", "@import \"", ";", "}",
    "{", "<script>", "</script>", "<SCRIPT src=\"a.js\">", "<style>", "</style>", "<title>", "</title>",
    "<iframe src=\"http://x/y.html\">", "<iframe src=z.html>", "<base href=\"http://b/\">",
    "<meta http-equiv=\"refresh\" content=\"1;URL=a.html\">", "<meta name=\"wwwc\" content=\"x\">",
    "<meta charset=\"utf-8\">", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=EUC-JP\">",
    "javascript:", "<a href=\"javascript:;\" onclick=\"f('a.gif')\">", "show_picture.pl?img_src=", "'x.gif'",
    "\"y.css\"", "a.js", "#top", "\r\n", "\t", " ", "=", "\x95\x5C", "\x83\x5C", "\x83\x7D", "\x81", "\xFC",
    "<!--StartFragment-->", "<!--GetLinkUrls-->", "<!--EndFragment-->",
    "<?xml version=\"1.0\" encoding=\"x\"?>", "<applet code=a.class archive=\"b.jar\">",
    "<param name=m value=a.swf>", "<area href=x.html>", "<link rel=stylesheet href=s.css>",
    " background=\"b.gif\"", " src=", "<td background='c.gif'>", "<p style=\"a: url(d.png)\">",
    "var sWayBackCGI = \"http://web.archive.org/web/", "<div>", "<br>",
};
// clang-format on

std::string ReadFixture(const char* name) {
  std::ifstream in(std::filesystem::path(ZENTU_SOURCE_DIR) / "tests" / "data" / "pages" / name,
                   std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : rng_(seed) {
    for (const char* name : {"frames.html", "iframes_base.html", "meta.html", "styles.html", "scripts.html",
                             "sjis.html", "broken.html", "site.html", "fragment.html", "chain.css"})
      seeds_.push_back(ReadFixture(name));
    seeds_.push_back("");
  }

  std::string Next() {
    std::string page = seeds_[Pick(seeds_.size())];
    if (page.size() > 600) {
      size_t from = Pick(page.size());
      page = page.substr(from, 100 + Pick(500));
    }
    const size_t ops = 1 + Pick(8);
    for (size_t i = 0; i < ops; ++i) Mutate(page);
    if (page.size() > 4096) page.resize(4096);
    // Half the pages on one line, so more of them can be checked for an exact copy.
    if (Coin())
      for (char& c : page)
        if (c == '\r' || c == '\n') c = ' ';
    return page;
  }

  size_t Pick(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool Coin() { return Pick(2) == 0; }

 private:
  void Mutate(std::string& page) {
    const size_t at = Pick(page.size() + 1);
    switch (Pick(6)) {
      case 0:
      case 1: {
        const std::string snippet = kSnippets[Pick(std::size(kSnippets))];
        for (size_t n = Pick(3); n > 0; --n) page.insert(at, snippet);
        break;
      }
      case 2:
        if (!page.empty()) page[Pick(page.size())] = static_cast<char>(Pick(256));
        break;
      case 3:
        page.erase(at, Pick(64));
        break;
      case 4:
        if (at < page.size()) page.insert(at, page.substr(at, Pick(128)));
        break;
      default:
        page.insert(at, 1, '\0');
        break;
    }
  }

  std::mt19937 rng_;
  std::vector<std::string> seeds_;
};

using os::ContainsNoCase;

std::string Hex(std::string_view s) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s.substr(0, 512)) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

TEST(ScannerFuzz, MutatedPagesNeverCrashHangOrLoseBytes) {
  Mutator mutator(20070128);
  const auto identity = [](ScanJob&, std::string_view link, int) { return std::string(link); };
  int webPagesCompared = 0;
  for (int iteration = 0; iteration < 100000; ++iteration) {
    const std::string source = mutator.Next();
    // An exact-size block: no NUL terminator or spare capacity to hide an overread.
    std::unique_ptr<char[]> block(new char[source.size() + 1]);
    std::copy(source.begin(), source.end(), block.get());
    const std::string_view page(block.get(), source.size());
    SCOPED_TRACE("iteration " + std::to_string(iteration) + " page " + Hex(page));

    // The segmenter always moves forward and stays inside the text.
    for (int mode : {ModeText, ModeTitle, ModeScript, ModeStyle}) {
      size_t pos = 0;
      while (pos < page.size()) {
        size_t n = NextSegment(page.substr(pos), mode);
        ASSERT_LE(n, page.size() - pos);
        if (n == 0) break;
        pos += n;
      }
    }

    // A local page with links handed back unchanged is copied byte for byte.
    {
      ScanJob job;
      job.url = "file:///Z:/pages/a.html";
      PageScanner s;
      s.job = &job;
      s.handleLink = identity;
      s.settings.ignoreJavaScript = mutator.Coin();
      ASSERT_EQ(RewritePage(s, page), 1);
      ASSERT_EQ(s.out, source);
    }

    // So is a web page, as long as nothing in it is meant to change: no line
    // ends inside tags, no base or iframe tags, no declared charset to rewrite.
    {
      ScanJob job;
      job.url = "http://www.example.jp/a/b.html";
      job.followLinks = mutator.Coin();
      PageScanner s;
      s.job = &job;
      s.handleLink = identity;
      s.handleBase = [](ScanJob&, std::string_view href) { return std::string(href); };
      ASSERT_EQ(RewritePage(s, page), 1);
      if (page.find_first_of("\r\n") == std::string_view::npos && !ContainsNoCase(page, "<iframe") &&
          !ContainsNoCase(page, "<base")) {
        ASSERT_EQ(s.out, source);
        ++webPagesCompared;
      }
    }

    // Every setting on, a pipeline that answers with other text: it only has to end.
    {
      ScanJob job;
      job.url = mutator.Coin() ? "http://web.archive.org/web/2005/http://x/" : "http://x/a.html";
      job.followLinks = mutator.Coin();
      job.storedAsSjis = mutator.Coin();
      job.code = static_cast<int>(mutator.Pick(8));
      PageScanner s;
      s.job = &job;
      s.settings = {mutator.Coin(), mutator.Coin(), mutator.Coin(), mutator.Coin(), mutator.Coin()};
      s.handleLink = [](ScanJob&, std::string_view link, int kind) {
        return std::string(kind ? "../../" : "./") + std::string(link.substr(0, 8));
      };
      s.convertTag = [](std::string& tag) {
        if (tag.size() % 7 == 0) {
          tag.clear();
          return true;
        }
        return false;
      };
      ASSERT_EQ(RewritePage(s, page), 1);
    }

    if (iteration % 4 == 0) {
      ReadOptions o;
      o.dataDirectory = "Z:\\data";
      o.location = "http://www.example.jp/a/b.html";
      o.host = "www.example.jp";
      o.followLinks = mutator.Coin();
      o.scanResources = mutator.Coin();
      PageReading r = ReadPage(page, o);
      for (const FoundLink& f : r.links) ASSERT_FALSE(f.link.empty());
      PageReading css = ReadStyleSheet(page, o);
      for (const FoundLink& f : css.links) ASSERT_FALSE(f.link.empty());
    }
  }
  EXPECT_GT(webPagesCompared, 25000);
}

}  // namespace
}  // namespace zentu
