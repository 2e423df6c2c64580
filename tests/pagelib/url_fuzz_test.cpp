// Random and mutated URLs through the mapping, resolving and collapsing
// routines: nothing may crash or hang, and every result stays within the
// buffer caps and free of characters a file name cannot hold.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "os/log.h"
#include "pagelib/url.h"
#include "pagelib/urltext.h"

namespace zentu {
namespace {

const std::string kData = "Z:\\tmp\\data";

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : rng_(seed) {}

  std::string Next() {
    static const std::vector<std::string> seeds = {
        "http://server/a/b/page.html", "https://server:8080/x?y=1#z", "file:///Z:/tmp/data/s/a.html",
        "Z:\\tmp\\data\\server\\p.html", "about:blank", "http://web.archive.org/web/2007/http://s/a",
        "../img/x.gif", "/top.html", "//cdn/x.js", "ftp://f/x", "C:\\x\\y", "", "http://",
        "http://server/list.cgi?p=2&s=a/b"};
    std::string s = seeds[rng_() % seeds.size()];
    const int steps = 1 + static_cast<int>(rng_() % 8);
    for (int i = 0; i < steps; ++i) Mutate(s);
    if (rng_() % 2000 == 0) s = Huge(s);
    return s;
  }

  uint32_t operator()() { return rng_(); }

 private:
  void Mutate(std::string& s) {
    static const std::vector<std::string> tokens = {
        "/", "\\", "..", "../", "..\\", "./", ":", "%", "#", "?", "//", "://", "http://", "file:///",
        "Z:\\", "web.archive.org/web/", " ", "'", "\"", "|", "*", "<", "99999999999", ":0",
        "\x95\x5c", "\x83\x5c", "\x94\x5c", "\x83\x7c", "\x81", "\xfc", std::string(1, '\0'), "index.html"};
    const size_t pos = s.empty() ? 0 : rng_() % (s.size() + 1);
    switch (rng_() % 6) {
      case 0:
      case 1: s.insert(pos, tokens[rng_() % tokens.size()]); break;
      case 2: s.insert(pos, 1, static_cast<char>(rng_() % 256)); break;
      case 3:
        if (!s.empty()) s.erase(pos < s.size() ? pos : s.size() - 1, 1 + rng_() % 8);
        break;
      case 4:
        if (!s.empty() && s.size() < 4000) {
          const size_t from = rng_() % s.size();
          s.insert(pos, s.substr(from, 1 + rng_() % 64));
        }
        break;
      case 5: {
        std::string run;
        const int n = static_cast<int>(rng_() % 300);
        const char* piece = (rng_() % 2) ? "../" : "a/";
        for (int k = 0; k < n; ++k) run += piece;
        s.insert(pos, run);
        break;
      }
    }
  }

  std::string Huge(const std::string& s) {
    std::string h = s;
    while (h.size() < 100 * 1024) h += (rng_() % 2) ? "../" : "%a/b\\";
    return h;
  }

  std::mt19937 rng_;
};

// No character that a file name cannot hold, outside two-byte characters; a
// ":" only as a drive colon.
bool CleanName(const std::string& rel) {
  for (size_t i = 0; i < rel.size(); i += urltext::CharLen(rel, i)) {
    if (urltext::CharLen(rel, i) == 2) continue;
    switch (rel[i]) {
      case '?': case '*': case '"': case '<': case '>': case '|': case '%': return false;
      case ':':
        if (i != 1) return false;
        break;
      default: break;
    }
  }
  return true;
}

// No name on the way down from the data directory is "." or "..".
bool NoDotSegment(const std::string& rel) {
  size_t start = 0;
  for (size_t i = 0; i <= rel.size(); i += i < rel.size() ? urltext::CharLen(rel, i) : 1) {
    if (i < rel.size() && !urltext::IsSep(rel[i])) continue;
    if (urltext::IsDotSegment(std::string_view(rel).substr(start, i - start))) return false;
    start = i + 1;
  }
  return true;
}

TEST(UrlFuzz, HostileUrlsStayWithinCaps) {
  Mutator gen(20070102);
  const UrlMapProfile capture = CaptureProfile(kData);
  const UrlMapProfile lookup = LookupProfile(kData);
  std::string previous = "http://server/a/b/page.html";
  for (int n = 0; n < 100000; ++n) {
    const std::string url = gen.Next();
    SCOPED_TRACE(url.substr(0, 200));

    for (const UrlMapProfile* profile : {&capture, &lookup}) {
      UrlLocation loc;
      if (!MapUrlToLocation(url, *profile, loc)) continue;
      ASSERT_LE(loc.url.size(), kMaxUrlLength);
      ASSERT_LE(loc.urlNoFragment.size(), kMaxUrlLength);
      ASSERT_LE(loc.hostName.size(), kMaxUrlLength);
      ASSERT_LE(loc.relativePath.size(), kMaxUrlLength);
      ASSERT_LE(loc.localPath.size(), kMaxUrlLength);
      ASSERT_LE(loc.localDirectory.size(), kMaxUrlLength);
      ASSERT_GE(loc.port, 1);
      ASSERT_LE(loc.port, 999999999);
      ASSERT_EQ(loc.localPath.compare(0, kData.size() + 1, kData + "\\"), 0);
      ASSERT_EQ(loc.localPath.compare(0, loc.localDirectory.size(), loc.localDirectory), 0);
      ASSERT_TRUE(CleanName(loc.relativePath)) << loc.relativePath;
      ASSERT_TRUE(NoDotSegment(loc.relativePath)) << loc.relativePath;
      if (profile == &lookup) {
        ASSERT_LE(loc.relativePath.size(), kLookupMappedLength + 11);
      }
    }

    // Today's URL as a link on yesterday's page, and the other way round.
    for (const auto& [link, base] : {std::pair{url, previous}, std::pair{previous, url}}) {
      for (const std::string& target : ResolveLink(kData, link, "server", base)) {
        ASSERT_LE(target.size(), kMaxUrlLength);
        ASSERT_FALSE(target.empty());
        ASSERT_LE(LinkTargetToLocalPath(kData, target).size(), kMaxUrlLength);
      }
    }

    std::string path = url;
    CollapseDotSegments(path);
    ASSERT_LE(path.size(), kMaxPathLength);
    std::string again = path;
    CollapseDotSegments(again);
    ASSERT_EQ(again, path);  // a fixed point

    std::string inPlace = url;
    MapPathInPlace(inPlace, kData);
    ASSERT_LE(inPlace.size(), kMaxUrlLength);

    const std::string up = RootPrefix(url, kData);
    ASSERT_EQ(up.size() % 3, 0u);
    ASSERT_LE(up.size(), 3 * kMaxUrlLength);
    ASSERT_LE(FileExtension(url).size(), 18u);

    if (url.size() < 4000) previous = url;
    if (n % 1000 == 0) log::Clear();
  }
  log::Clear();
}

}  // namespace
}  // namespace zentu
