// The segmenter, the page walk and the tag table of the page scanner.
#include "pagelib/scanner.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "os/log.h"
#include "pagelib/bregexp.h"
#include "pagelib/charref.h"
#include "pagelib/codedetect.h"
#include "pagelib/scanner_internal.h"
#include "pagelib/url.h"

namespace zentu {
namespace scan {
namespace pattern {

// Tag patterns. A "\t" inside a class is read by the service as a tab; the few
// classes written with a real tab byte keep one.
const char* const kSrc1 = R"P(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*'([^"'>\t]+)'/)P";
const char* const kSrc2 = R"P(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*"([^">\t]+)"/)P";
const char* const kSrc3 = R"P(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*([^ >\t]+)[ >\t]/)P";
const char* const kSrc4 = R"P(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*'([^"' >\t]+)'/)P";
const char* const kSrc5 = R"P(m/[ \t][Ss][Rr][Cc][ \t]*=[ \t]*"([^" >\t]+)"/)P";
const char* const kSrc6 = kSrc3;
const char* const kUrl = R"P(m/[ \t][Uu][Rr][Ll]\(([^\)]+)\)/)P";
const char* const kBg1 = R"P(m/[ \t][Bb][Aa][Cc][Kk][Gg][Rr][Oo][Uu][Nn][Dd][ \t]*=[ \t]*'([^"' \t]+)'/)P";
const char* const kBg2 =
    R"P(m/[ \t][Bb][Aa][Cc][Kk][Gg][Rr][Oo][Uu][Nn][Dd][ \t]*=[ \t"]*([^" \t]+)[" \t>]/)P";
const char* const kHref1 = R"P(m/[ \t][Hh][Rr][Ee][Ff][ \t]*=[ \t]*'([^"' \t]+)'/)P";
const char* const kHref2 = R"P(m/[ \t][Hh][Rr][Ee][Ff][ \t]*=[ \t"]*([^" \t]+)[ \t">]/)P";
const char* const kPicture = R"P(m/'show_picture.pl\?img_src=([^']+)'/)P";
const char* const kArchive1 =
    R"P(m/<[Aa][Pp][Pp][Ll][Ee][Tt][ \t][^>]*[Aa][Rr][Cc][Hh][Ii][Vv][Ee][ \t]*=[ \t]*'([^"' \t]+)'/)P";
const char* const kArchive2 =
    R"P(m/<[Aa][Pp][Pp][Ll][Ee][Tt][ \t][^>]*[Aa][Rr][Cc][Hh][Ii][Vv][Ee][ \t]*=[ \t"]*([^" \t]+)[ \t">]/)P";
const char* const kCode1 =
    R"P(m/<[Aa][Pp][Pp][Ll][Ee][Tt][ \t][^>]*[Cc][Oo][Dd][Ee][ \t]*=[ \t]*'([^"' \t]+)'/)P";
const char* const kCode2 =
    R"P(m/<[Aa][Pp][Pp][Ll][Ee][Tt][ \t][^>]*[Cc][Oo][Dd][Ee][ \t]*=[ \t"]*([^" \t]+)[ \t">]/)P";
const char* const kValue1 = R"P(m/[Vv][Aa][Ll][Uu][Ee][ \t]*=[ \t]*'([^"' \t]+)'/)P";
const char* const kValue2 = R"P(m/[Vv][Aa][Ll][Uu][Ee][ \t]*=[ \t"]*([^" \t]+)[ \t">]/)P";
const char* const kBase1 = R"P(m/<[Bb][Aa][Ss][Ee][ \t][^>]*[Hh][Rr][Ee][Ff][ \t]*=[ \t]*'([^"' \t]+)'/)P";
const char* const kBase2 =
    R"P(m/<[Bb][Aa][Ss][Ee][ \t][^>]*[Hh][Rr][Ee][Ff][ \t]*=[ \t"]*([^" \t]+)[']*[ \t">]/)P";
const char* const kRefresh1 = R"P(m/[Uu][Rr][Ll][ \t]*=[ \t]*'([^"' \t>]+)'/)P";
const char* const kRefresh2 = R"P(m/[Uu][Rr][Ll][ \t]*=[ \t"]*([^" \t>]+)[" \t>]/)P";
const char* const kCharset =
    R"P(s/[Cc][Hh][Aa][Rr][Ss][Ee][Tt][ \t]*=([ \t"']*)([^"' >\t]+)([ \t"'])/charset=$1Shift_JIS$3/)P";
const char* const kEncoding =
    R"P(s/[Ee][Nn][Cc][Oo][Dd][Ii][Nn][Gg][ \t]*=([ \t"\']*)([^"\' >\t]+)([ \t"\']*)/encoding=$1Shift_JIS$3/)P";
const char* const kWwwc = "/[Cc][Oo][Nn][Tt][Ee][Nn][Tt][ \t]*=[ \t]*[\"']([^\"']+)[\"']/";
const char* const kCssUrl =
    "m/[Uu][Rr][Ll][ \t]*"
    R"P(\([ \t'"]*([^ \t'")]+)[ '"\t]*\)/)P";
const char* const kCssImport = R"P(m/\@[Ii][Mm][Pp][Oo][Rr][Tt][ \t'"(]*([^ \t'";]+(?:;[^ \t'";]+)*)[ '"\t;)]*/)P";
const char* const kCssQuoted = R"P(m/["']([^'"]+)['"]/)P";

}  // namespace pattern

namespace {

// One handle per pattern and thread, compiled once and kept: a page runs the
// same few patterns over thousands of tags.
class PatternCache {
 public:
  ~PatternCache() {
    for (Entry& e : entries_)
      if (e.rx) BRegfree(e.rx);
  }
  BREGEXP** Get(const char* pattern) {
    for (Entry& e : entries_)
      if (e.key == pattern && e.text == pattern) return &e.rx;
    for (Entry& e : entries_)
      if (e.text == pattern) {
        e.key = pattern;
        return &e.rx;
      }
    if (entries_.size() >= kMaxEntries) {
      // Patterns from outside callers come and go; keep the table small.
      if (entries_.front().rx) BRegfree(entries_.front().rx);
      entries_.erase(entries_.begin());
    }
    entries_.push_back(Entry{pattern, pattern, nullptr});
    return &entries_.back().rx;
  }

 private:
  struct Entry {
    const char* key;
    std::string text;
    BREGEXP* rx;
  };
  static constexpr size_t kMaxEntries = 64;
  std::vector<Entry> entries_;
};

PatternCache& Cache() {
  thread_local PatternCache cache;
  return cache;
}

}  // namespace

int Match(const char* pattern, std::string_view target, MatchResult& m) {
  char msg[kBregexpMessageSize] = {};
  BREGEXP** rx = Cache().Get(pattern);
  char* start = const_cast<char*>(target.data());  // the service only reads the target
  int r = BMatch(pattern, start, start + target.size(), rx, msg);
  if (msg[0] != '\0') {
    WriteLog("regexp error: %s", msg);
    return -1;
  }
  if (r == 0 || *rx == nullptr) return 0;
  const BREGEXP& res = **rx;
  m.start = static_cast<size_t>(res.startp[0] - start);
  m.end = static_cast<size_t>(res.endp[0] - start);
  if (res.nparens >= 1 && res.endp[1] > res.startp[1]) {
    m.groupStart = static_cast<size_t>(res.startp[1] - start);
    m.groupEnd = static_cast<size_t>(res.endp[1] - start);
  } else {
    m.groupStart = m.groupEnd = m.end;
  }
  return 1;
}

int Subst(const char* pattern, std::string_view target, std::string& result) {
  char msg[kBregexpMessageSize] = {};
  BREGEXP** rx = Cache().Get(pattern);
  char* start = const_cast<char*>(target.data());
  int r = BSubst(pattern, start, start + target.size(), rx, msg);
  if (msg[0] != '\0') {
    WriteLog("regexp error: %s", msg);
    return -1;
  }
  if (r == 0 || *rx == nullptr) return 0;
  const BREGEXP& res = **rx;
  if (res.outp == nullptr)
    result.clear();
  else
    result.assign(res.outp, static_cast<size_t>(res.outendp - res.outp));
  return 1;
}

void EmitLink(PageScanner& s, std::string_view link, int kind) {
  if (s.reading) {
    if (s.found) {
      FoundLink f;
      f.link.assign(link);
      f.kind = kind;
      f.source = s.currentSource;
      s.found->push_back(std::move(f));
    }
    return;
  }
  if (s.handleLink)
    s.out += s.handleLink(Job(s), link, kind);
  else
    s.out.append(link);
}

namespace {

using namespace pattern;

inline bool IsTagStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '!' || c == '/' || c == '?';
}

inline bool IsTagSegment(std::string_view seg) {
  return seg.size() >= 2 && seg[0] == '<' && IsTagStart(seg[1]) && seg.back() == '>';
}

// "http://" + the archive host + "/web/": pages of the web archive.
bool IsArchivedPage(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (!StartsWithI(url, kScheme)) return false;
  url.remove_prefix(kScheme.size());
  if (!StartsWithI(url, kArchiveHost)) return false;
  url.remove_prefix(kArchiveHost.size());
  return StartsWithI(url, "/web/");
}

// The archive's own script: 'var sWayBackCGI = "http://' + host + '/web/'.
bool HoldsArchiveMarker(std::string_view text) {
  std::string marker = "var sWayBackCGI = \"http://";
  marker.append(kArchiveHost);
  marker.append("/web/");
  return text.find(marker) != npos;
}

bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

// The value of the attribute `name` (lower case) of a tag whose line ends are
// already blanks: [start, end) without its quotes. Quoted values of other
// attributes are stepped over, so a name inside them is not taken.
bool FindAttributeValue(std::string_view tag, std::string_view name, size_t& start, size_t& end) {
  char quote = 0;
  for (size_t i = 0; i < tag.size(); i += CharLen(tag, i)) {
    const char c = tag[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    if (i == 0 || !IsSpaceOrTab(tag[i - 1]) || !StartsWithI(tag.substr(i), name)) continue;
    size_t q = i + name.size();
    while (q < tag.size() && IsSpaceOrTab(tag[q])) ++q;
    if (q >= tag.size() || tag[q] != '=') continue;
    ++q;
    while (q < tag.size() && IsSpaceOrTab(tag[q])) ++q;
    if (q < tag.size() && (tag[q] == '"' || tag[q] == '\'')) {
      const size_t close = tag.find(tag[q], q + 1);
      start = q + 1;
      end = close == npos ? tag.size() : close;
    } else {
      start = end = q;
      while (end < tag.size() && !IsSpaceOrTab(tag[end]) && tag[end] != '>') ++end;
    }
    return true;
  }
  return false;
}

// rel="icon", "shortcut icon", "apple-touch-icon" and their kin: the page's
// icon is a resource of the copy like its style sheets.
bool IsIconLink(std::string_view tag) {
  size_t start = 0, end = 0;
  if (!FindAttributeValue(tag, "rel", start, end)) return false;
  std::string_view rel = tag.substr(start, end - start);
  while (!rel.empty()) {
    size_t n = 0;
    while (n < rel.size() && !IsSpaceOrTab(rel[n])) ++n;
    std::string_view word = rel.substr(0, n);
    for (std::string_view icon : {"icon", "apple-touch-icon", "apple-touch-icon-precomposed", "mask-icon"})
      if (word.size() == icon.size() && StartsWithI(word, icon)) return true;
    rel.remove_prefix(n);
    while (!rel.empty() && IsSpaceOrTab(rel.front())) rel.remove_prefix(1);
  }
  return false;
}

// A list of patterns, each with a literal the target must contain for the
// pattern to have any chance; the literal check is much cheaper than a match.
struct Candidate {
  const char* pattern;
  const char* needle;  // lower case; matched ignoring case unless `exact`
  bool exact = false;
  bool styleOnly = false;  // matched only inside the style attribute's value
};

// Tries the candidates in order; the first that matches ends the list. When
// none matches the tag is written unchanged.
void TryPatterns(PageScanner& s, std::string_view tag, const Candidate* list, size_t count, int kind) {
  const char* lastNeedle = nullptr;
  bool lastHas = false;
  for (size_t i = 0; i < count; ++i) {
    const Candidate& c = list[i];
    if (c.needle != lastNeedle) {
      lastNeedle = c.needle;
      lastHas = c.exact ? tag.find(c.needle) != npos : ContainsI(tag, c.needle);
    }
    if (!lastHas) continue;
    if (c.styleOnly) {
      // url( is a CSS function only in CSS text: an event handler's URL(x) is script.
      size_t start = 0, end = 0;
      if (FindAttributeValue(tag, "style", start, end) &&
          RewriteLinkInWindow(s, tag, start, end, c.pattern, kind))
        return;
      continue;
    }
    if (RewriteLinkInTag(s, tag, c.pattern, kind)) return;
  }
  Write(s, tag);
}

template <size_t N>
void TryPatterns(PageScanner& s, std::string_view tag, const Candidate (&list)[N], int kind) {
  TryPatterns(s, tag, list, N, kind);
}

const Candidate kAppletList[] = {
    {kArchive1, "archive"}, {kArchive2, "archive"}, {kCode1, "code"}, {kCode2, "code"}};
const Candidate kParamList[] = {{kValue1, "value"}, {kValue2, "value"}};
const Candidate kHrefList[] = {{kHref1, "href"}, {kHref2, "href"}};
const Candidate kAnchorList[] = {{kPicture, "show_picture", true}, {kHref1, "href"}, {kHref2, "href"}};
const Candidate kRefreshList[] = {{kRefresh1, "url"}, {kRefresh2, "url"}};
const Candidate kOtherList[] = {{kSrc1, "src"}, {kSrc2, "src"},       {kSrc3, "src"},
                                {kSrc4, "src"}, {kSrc5, "src"},       {kSrc6, "src"},
                                {kUrl, "url(", false, true}, {kBg1, "background"}, {kBg2, "background"}};

// Reading: does this kind of link count?
bool Counts(const PageScanner& s, LinkSource source) {
  if (!s.reading) return true;
  switch (source) {
    case LinkSource::Page:
      return s.readFollowLinks;
    case LinkSource::Frame:
      return true;
    case LinkSource::Resource:
      return s.readScanResources;
  }
  return false;
}

// The title of the page grows by the text of each title segment.
void AppendTitle(PageScanner& s, std::string_view seg) {
  std::string& title = Job(s).title;
  if (s.titleChecked > title.size()) s.titleChecked = 0;
  // Only the text added since the last look can bring a "://" in.
  size_t from = s.titleChecked >= 2 ? s.titleChecked - 2 : 0;
  if (title.find("://", from) != npos) title.clear();
  size_t i = 0;
  if (title.empty())
    while (i < seg.size() && (seg[i] == ' ' || seg[i] == '\t' || seg[i] == '\r' || seg[i] == '\n')) ++i;
  // A line break separates words as a space does ("2.4\nManual" is
  // "2.4 Manual"); breaks at the ends of the title leave nothing. Tabs go.
  // None of these bytes is ever the trail byte of a two-byte character.
  for (; i < seg.size(); ++i) {
    const char c = seg[i];
    if (c == '\r' || c == '\n') {
      s.titleBreak = !title.empty();
      continue;
    }
    if (c == '\t') continue;
    const bool afterSpace = !title.empty() && title.back() == ' ';
    if (c == ' ' && afterSpace) continue;  // white space reads as one space
    if (s.titleBreak && c != ' ' && !afterSpace) title.push_back(' ');
    s.titleBreak = false;
    title.push_back(c);
  }
  s.titleChecked = title.size();
}

// Text in front of the first tag, with its white space cut until a tag or a
// two-byte character has been written.
void WriteCutText(PageScanner& s, std::string_view seg) {
  size_t i = 0;
  while (i < seg.size()) {
    char c = seg[i];
    if (CharLen(seg, i) == 2) {
      s.cutting = false;
      break;
    }
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') s.out.push_back(c);
    ++i;
  }
  s.out.append(seg.substr(i));
}

// <base href>: the pipeline takes the href; the copy must not keep an online base.
void RewriteBaseTag(PageScanner& s, std::string_view tag) {
  if (s.reading) return;
  MatchResult m;
  int r = Match(kBase1, tag, m);
  if (r < 0) {
    Write(s, tag);
    return;
  }
  if (r == 0 || m.groupEnd <= m.groupStart) {
    r = Match(kBase2, tag, m);
    if (r < 0) {
      Write(s, tag);
      return;
    }
  }
  if (r == 0 || m.groupEnd <= m.groupStart) return;  // left out
  ScanJob& job = Job(s);
  std::string_view href = tag.substr(m.groupStart, m.groupEnd - m.groupStart);
  job.baseUrl.assign(href);
  if (!s.handleBase) return;  // left out
  Write(s, tag.substr(0, m.groupStart));
  s.out += s.handleBase(job, href);
  Write(s, tag.substr(m.groupEnd));
}

// A charset attribute of its own (<meta charset="...">), outside quoted values.
bool HasCharsetAttribute(std::string_view tag) {
  char quote = 0;
  for (size_t i = 0; i < tag.size(); i += CharLen(tag, i)) {
    const char c = tag[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    if (i > 0 && IsSpaceOrTab(tag[i - 1]) && StartsWithI(tag.substr(i), "charset")) {
      size_t q = i + 7;
      while (q < tag.size() && IsSpaceOrTab(tag[q])) ++q;
      if (q < tag.size() && tag[q] == '=') return true;
    }
  }
  return false;
}

// "<meta": the WWWC contents, a short refresh, or the declared character set.
void RewriteMetaTag(PageScanner& s, std::string_view tag) {
  ScanJob& job = Job(s);
  const size_t n = tag.size();
  bool wwwc = false, refresh = false;
  for (size_t i = 0; n - i >= 10; i += CharLen(tag, i)) {
    if (StartsWithI(tag.substr(i), "name=\"wwwc\"")) {
      wwwc = true;
      break;
    }
    if (StartsWithI(tag.substr(i), "refresh")) {
      refresh = true;
      break;
    }
  }
  if (wwwc) {
    MatchResult m;
    if (Match(kWwwc, tag, m) > 0 && m.groupEnd > m.groupStart) {
      job.updateContents = CutUpdateContents(tag.substr(m.groupStart, m.groupEnd - m.groupStart));
      if (log::DebugFlag()) WriteLogVerbose("# WWWC Contents = %s", job.updateContents.c_str());
      job.hasUpdateContents = true;
    }
    Write(s, tag);
    return;
  }
  if (refresh) {
    size_t i = 0;
    while (i < n && !(tag[i] >= '0' && tag[i] <= '9')) ++i;
    if (i == n) {
      Write(s, tag);
      return;
    }
    int64_t delay = 0;
    for (size_t d = 0; d < 10 && i < n && tag[i] >= '0' && tag[i] <= '9'; ++d, ++i)
      delay = delay * 10 + (tag[i] - '0');
    if (delay > 10 || !Counts(s, LinkSource::Resource)) {
      Write(s, tag);
      return;
    }
    TryPatterns(s, tag, kRefreshList, kLinkResource);
    return;
  }
  if (s.reading) return;
  ScanJob& j = job;
  if (!j.storedAsSjis && !s.settings.forceConvToSjis) {
    Write(s, tag);
    return;
  }
  int count = 0;
  for (size_t i = 0; i < n; i += CharLen(tag, i)) {
    std::string_view rest = tag.substr(i);
    if (StartsWithI(rest, "charset") || StartsWithI(rest, "content-type") || StartsWithI(rest, "http-equiv"))
      ++count;
  }
  // An HTML5 <meta charset=...> declares the set on its own; left alone, a
  // copy converted to Shift_JIS would claim another encoding.
  const bool charsetAttribute = HasCharsetAttribute(tag);
  if (count < 3 && !charsetAttribute) {
    Write(s, tag);
    return;
  }
  std::string changed;
  if (Subst(kCharset, tag, changed) > 0)
    s.out += changed;
  else
    Write(s, tag);
}

// Steps 1 to 4 of the general rules for a tag of the table's last rows.
void RewriteByPatterns(PageScanner& s, std::string_view original) {
  ScanJob& job = Job(s);
  if (original.size() < 8 || (!s.reading && StartsWithI(job.url, "file://"))) {
    Write(s, original);
    return;
  }
  std::string& buf = s.scratch;
  buf.assign(original);
  if (s.convertTag && s.convertTag(buf) && buf.empty()) return;  // a rule removed it
  for (char& c : buf)
    if (c == '\r' || c == '\n') c = ' ';
  const std::string_view tag = buf;

  s.currentSource = LinkSource::Resource;
  if (StartsWithI(tag, "<applet")) {
    if (Counts(s, LinkSource::Resource)) TryPatterns(s, tag, kAppletList, kLinkResource);
    return;
  }
  if (StartsWithI(tag, "<param") && ContainsI(tag, "swf")) {
    if (Counts(s, LinkSource::Resource)) TryPatterns(s, tag, kParamList, kLinkResource);
    return;
  }
  if (StartsWithI(tag, "<base")) {
    if (!ContainsI(tag, "href"))
      Write(s, tag);
    else
      RewriteBaseTag(s, tag);
    return;
  }
  if (StartsWithI(tag, "<area")) {
    s.currentSource = LinkSource::Page;
    if (s.reading) {
      if (s.readFollowLinks) TryPatterns(s, tag, kHrefList, kLinkPage);
    } else if (s.collectLinks) {
      TryPatterns(s, tag, kHrefList, kLinkResource);
    } else if (job.followLinks) {
      TryPatterns(s, tag, kHrefList, kLinkPage);
    } else {
      Write(s, tag);
    }
    return;
  }
  if (tag.size() > 2 && Lower(tag[1]) == 'a' && IsSpaceOrTab(tag[2])) {
    const bool script = ContainsI(tag, "javascript:");
    s.currentSource = LinkSource::Page;
    if (s.reading) {
      if (s.readFollowLinks) {
        TryPatterns(s, tag, kAnchorList, kLinkPage);
      } else if (script && s.readScanResources) {
        s.currentSource = LinkSource::Resource;
        TryPatterns(s, tag, kAnchorList, kLinkResource);
      }
    } else if (s.collectLinks || script) {
      TryPatterns(s, tag, kAnchorList, kLinkResource);
    } else if (job.followLinks) {
      TryPatterns(s, tag, kAnchorList, kLinkPage);
    } else {
      Write(s, tag);
    }
    return;
  }
  if (StartsWithI(tag, "<meta")) {
    RewriteMetaTag(s, tag);
    return;
  }
  if (StartsWithI(tag, "<link") && (ContainsI(tag, "stylesheet") || IsIconLink(tag))) {
    if (Counts(s, LinkSource::Resource)) TryPatterns(s, tag, kHrefList, kLinkResource);
    return;
  }
  if (StartsWithI(tag, "<?xml") || StartsWithI(tag, "<xsl")) {
    if (ContainsI(tag, "stylesheet")) {
      if (Counts(s, LinkSource::Resource)) TryPatterns(s, tag, kHrefList, kLinkResource);
      return;
    }
    if (ContainsI(tag, "encoding") && (job.storedAsSjis || s.settings.forceConvToSjis)) {
      if (s.reading) return;
      std::string changed;
      if (Subst(kEncoding, tag, changed) > 0)
        s.out += changed;
      else
        Write(s, tag);
      return;
    }
  }
  if (StartsWithI(tag, "<frame") || StartsWithI(tag, "<iframe")) s.currentSource = LinkSource::Frame;
  if (Counts(s, s.currentSource)) TryPatterns(s, tag, kOtherList, kLinkResource);
}

}  // namespace

// The segments of `page` from ModeText on. Returns 0 when the stop flag ended
// the walk, else 1.
int WalkSegments(PageScanner& s, std::string_view page, bool archived);
// An HTML comment: the tags in it follow the same rules as outside (a
// commented-out page link is never fetched as a resource).
void RewriteComment(PageScanner& s, std::string_view tag);

}  // namespace scan

using namespace scan;

size_t NextSegment(std::string_view text, int mode) {
  const size_t n = text.size();
  const char* p = text.data();
  if (mode == ModeScript || mode == ModeStyle) {
    if (StartsWithI(text, "</script>")) return 9;
    if (StartsWithI(text, "</style>")) return 8;
    for (size_t i = 0; i < n;) {
      const void* lt = std::memchr(p + i, '<', n - i);
      if (lt == nullptr) break;
      size_t j = static_cast<size_t>(static_cast<const char*>(lt) - p);
      std::string_view rest = text.substr(j);
      if (StartsWithI(rest, "</script>") || StartsWithI(rest, "</style>")) return j;
      i = j + 1;
    }
    return n;
  }
  if (n == 0) return 0;
  if (p[0] != '<' || n < 2 || !IsTagStart(p[1])) {
    for (size_t i = 1; i < n;) {
      const void* lt = std::memchr(p + i, '<', n - i);
      if (lt == nullptr) break;
      size_t j = static_cast<size_t>(static_cast<const char*>(lt) - p);
      if (j + 1 < n && IsTagStart(p[j + 1])) return j;
      i = j + 1;
    }
    return n;
  }
  if (n >= 3 && p[1] == '!' && p[2] == '-') {
    // A comment: each "<" inside goes one level deeper, and a ">" closes a
    // level unless it follows "-" or no level is open.
    size_t depth = 0;
    for (size_t i = 3; i < n; ++i) {
      if (p[i] == '<') {
        ++depth;
      } else if (p[i] == '>') {
        if (p[i - 1] == '-' || depth == 0) return i + 1;
        --depth;
      }
    }
    return 0;
  }
  const void* gt = std::memchr(p + 1, '>', n - 1);
  return gt ? static_cast<size_t>(static_cast<const char*>(gt) - p) + 1 : 0;
}

int RewriteTag(PageScanner& s, std::string_view tag) {
  if (StartsWithI(tag, "<title")) {
    Write(s, tag);
    return ModeTitle;
  }
  static constexpr std::string_view kPlain[] = {"<strong", "<h1",  "<h2", "<h3", "<h4", "<font",
                                                "<span",   "<div", "<br", "<ul", "<hr"};
  for (std::string_view name : kPlain)
    if (StartsWithI(tag, name)) {
      Write(s, tag);
      return ModeText;
    }
  if (StartsWithI(tag, "<?xml") && s.settings.commentOutXmlTag && !s.reading) return ModeText;
  if (tag.substr(0, 20) == "<!--StartFragment-->") {
    Write(s, tag);
    s.inFragment = true;
    s.collectLinks = false;
    return ModeText;
  }
  if (tag.substr(0, 18) == "<!--EndFragment-->") {
    Write(s, tag);
    s.inFragment = false;
    s.collectLinks = false;
    return ModeText;
  }
  if (s.inFragment && tag.substr(0, 18) == "<!--GetLinkUrls-->") {
    Write(s, tag);
    s.collectLinks = true;
    return ModeText;
  }
  if (StartsWithI(tag, "<!--")) {
    RewriteComment(s, tag);
    return ModeText;
  }
  if (StartsWithI(tag, "<!") || StartsWithI(tag, "</")) {
    Write(s, tag);
    return ModeText;
  }
  int next = ModeText;
  if (StartsWithI(tag, "<script"))
    next = ModeScript;
  else if (StartsWithI(tag, "<style"))
    next = ModeStyle;
  RewriteByPatterns(s, tag);
  return next;
}

bool RewriteLinkInTag(PageScanner& s, std::string_view tag, const char* pattern, int kind) {
  return RewriteLinkInWindow(s, tag, 0, tag.size(), pattern, kind);
}

namespace scan {

bool RewriteLinkInWindow(PageScanner& s, std::string_view tag, size_t from, size_t to, const char* pattern,
                         int kind) {
  MatchResult m;
  if (from > to || to > tag.size()) return false;
  if (Match(pattern, tag.substr(from, to - from), m) <= 0 || m.groupEnd <= m.groupStart) return false;
  m.groupStart += from;
  m.groupEnd += from;
  const std::string_view link = tag.substr(m.groupStart, m.groupEnd - m.groupStart);
  const std::string_view suffix = tag.substr(m.groupEnd);
  Write(s, tag.substr(0, m.groupStart));
  if (StartsWithI(tag, "<iframe") && (StartsWithI(link, "http") || s.settings.commentOutIFrameTag)) {
    // The copy gets an empty value; a reader still sees the link.
    if (s.reading) EmitLink(s, link, kind);
  } else if (StartsWithI(link, "javascript:")) {
    Write(s, link);
    size_t paren = suffix.find('(');
    if (paren == npos) {
      Write(s, suffix);
    } else {
      Write(s, suffix.substr(0, paren));
      RewriteScriptStrings(s, suffix.substr(paren));
    }
    return true;
  } else if (link[0] == '#') {
    Write(s, link);
    if (log::DebugFlag()) WriteLogVerbose("skip name only [%s]", std::string(link).c_str());
  } else if (StartsWithI(link, "data:")) {
    Write(s, link);  // the data is in the link itself: no file to fetch or find
  } else {
    EmitLink(s, link, kind);
  }
  Write(s, suffix);
  return true;
}

}  // namespace scan

namespace scan {

int WalkSegments(PageScanner& s, std::string_view page, bool archived) {
  int mode = ModeText;
  size_t pos = 0;
  while (pos < page.size()) {
    if (s.stop && s.stop->load(std::memory_order_relaxed)) return 0;
    const std::string_view rest = page.substr(pos);
    const size_t n = NextSegment(rest, mode);
    if (n == 0) {
      // A tag or comment without its end: nothing in it can be rewritten, but
      // the copy keeps it rather than losing the tail of the page.
      Write(s, rest);
      break;
    }
    const std::string_view seg = rest.substr(0, n);
    if (IsTagSegment(seg)) {
      const size_t before = s.out.size();
      if (n <= 5) {
        Write(s, seg);
      } else if (seg[1] == '!' && mode == ModeStyle) {
        s.currentSource = LinkSource::Resource;
        if (Counts(s, LinkSource::Resource)) RewriteCss(s, seg, ModeStyle);
      } else if (seg[1] == '!' && mode == ModeScript) {
        if (archived && HoldsArchiveMarker(seg)) {
          WriteLog("way back");
        } else {
          s.currentSource = LinkSource::Resource;
          if (Counts(s, LinkSource::Resource)) RewriteCss(s, seg, ModeScript);
        }
      } else {
        mode = RewriteTag(s, seg);
      }
      if (s.out.size() != before) s.cutting = false;
    } else {
      switch (mode) {
        case ModeTitle:
          // A title inside a comment is no title of the page.
          if (!s.inComment) AppendTitle(s, seg);
          Write(s, seg);
          break;
        case ModeScript:
          if (archived && HoldsArchiveMarker(seg)) {
            WriteLog("way back");
          } else {
            s.currentSource = LinkSource::Resource;
            if (Counts(s, LinkSource::Resource)) RewriteCss(s, seg, ModeScript);
          }
          break;
        case ModeStyle:
          s.currentSource = LinkSource::Resource;
          if (Counts(s, LinkSource::Resource)) RewriteCss(s, seg, ModeStyle);
          break;
        default:
          if (s.inComment) {
            // Text of a comment keeps the script-string rule of old pages.
            s.currentSource = LinkSource::Resource;
            if (Counts(s, LinkSource::Resource)) RewriteCss(s, seg, ModeScript);
          } else if (s.cutting) {
            WriteCutText(s, seg);
          } else {
            Write(s, seg);
          }
          break;
      }
    }
    pos += n;
  }
  return 1;
}

void RewriteComment(PageScanner& s, std::string_view tag) {
  s.currentSource = LinkSource::Resource;
  if (s.inComment || tag.size() < 5 || tag.back() != '>') {
    // One level only, so that no page can make the walk recurse.
    if (Counts(s, LinkSource::Resource)) RewriteCss(s, tag, ModeScript);
    return;
  }
  size_t tail = 1;  // ">", "->" or "-->"
  while (tail < 3 && 4 + tail < tag.size() && tag[tag.size() - 1 - tail] == '-') ++tail;
  Write(s, tag.substr(0, 4));
  if (!s.reading) s.cutting = false;
  s.inComment = true;
  (void)WalkSegments(s, tag.substr(4, tag.size() - 4 - tail), IsArchivedPage(Job(s).url));
  s.inComment = false;
  Write(s, tag.substr(tag.size() - tail));
}

}  // namespace scan

int RewritePage(PageScanner& s, std::string_view page) {
  ScanJob& job = Job(s);
  s.cutting = s.settings.cutFrontOfHtmlTag && !s.reading;
  s.titleChecked = 0;
  s.titleBreak = false;
  s.inComment = false;
  if (!s.reading) s.out.reserve(s.out.size() + page.size() + page.size() / 8);
  const int result = WalkSegments(s, page, IsArchivedPage(job.url));
  // Spaces after the title's last line break are no part of it.
  if (!s.reading)
    while (!job.title.empty() && job.title.back() == ' ') job.title.pop_back();
  if (!s.reading && !job.title.empty()) {
    // The title is converted here once (the text itself may stay in its own
    // encoding), and kept with its references decoded as far as code page 932 goes.
    if (!job.storedAsSjis && !s.settings.forceConvToSjis)
      job.title = ConvertToSjis(job.title, job.code, Unmapped::Reference);
    job.title = DecodeTitleReferences(job.title);
  }
  return result;
}

std::string CutUpdateContents(std::string_view text) {
  if (text.size() < 101) return std::string(text);
  size_t i = 0;
  while (i < text.size()) {
    size_t len = CharLen(text, i);
    if (i + len > 96) break;
    i += len;
  }
  std::string cut(text.substr(0, i));
  cut += "...";
  return cut;
}

namespace {

bool ExtensionIn(std::string_view path, std::initializer_list<std::string_view> list) {
  const std::string ext = FileExtension(path);
  for (std::string_view e : list)
    if (ext == e) return true;
  return false;
}

}  // namespace

bool IsPageFile(std::string_view path) {
  return ExtensionIn(path,
                     {"html", "htm", "shtml", "shtm", "xhtml", "xht", "php", "asp", "aspx", "jsp", "cgi"});
}

bool IsReadableTextFile(std::string_view path) {
  return IsPageFile(path) ||
         ExtensionIn(path, {"txt", "text", "css", "js", "xml", "rss", "rdf", "csv", "log"});
}

// --- The reading scanner ---

namespace {

void ResolveAll(PageReading& r, const ReadOptions& o) {
  for (FoundLink& f : r.links) f.targets = ResolveLink(o.dataDirectory, f.link, o.host, o.location);
  if (o.location.find("://") != std::string::npos) r.wayBack = RootPrefix(o.location, o.dataDirectory);
}

}  // namespace

PageReading ReadPage(std::string_view text, const ReadOptions& options) {
  PageReading r;
  ScanJob job;
  job.url = options.location;
  job.storedAsSjis = true;  // a reader never converts the title
  PageScanner s;
  s.job = &job;
  s.reading = true;
  s.readFollowLinks = options.followLinks;
  s.readScanResources = options.scanResources;
  s.found = &r.links;
  (void)RewritePage(s, text);
  r.title = std::move(job.title);
  ResolveAll(r, options);
  return r;
}

PageReading ReadStyleSheet(std::string_view text, const ReadOptions& options) {
  PageReading r;
  ScanJob job;
  job.url = options.location;
  PageScanner s;
  s.job = &job;
  s.reading = true;
  s.readStyleStrings = true;
  s.found = &r.links;
  s.currentSource = LinkSource::Resource;
  RewriteCss(s, text, ModeStyle);
  ResolveAll(r, options);
  return r;
}

}  // namespace zentu
