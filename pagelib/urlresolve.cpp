// Resolving links of saved pages, collapsing dot segments, and finding the
// saved copy a link leads to.
//
// The collapse rules are the substitutions
//   s/[\/\\]([\.]{1})[\/\\]/\//                            (sep . sep)
//   s/[\/\\]([^\.]{1})([^\/\\]+)[\/\\]([\.]{2})[\/\\]/\//  (sep name sep .. sep)
//   s/[\/\\]([^\/\\ ]+)[\/\\]([\.]{2})[\/\\]/\//
// and their one-separator forms for local paths. They are matched here by
// hand, one character at a time: for single-byte text the result is exactly
// the pattern's (leftmost match, first occurrence), but a two-byte character
// is one unit, so a trail byte 0x5C is never taken for a separator.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "os/cp932.h"
#include "os/file.h"
#include "pagelib/url.h"
#include "pagelib/urltext.h"

namespace zentu {

using namespace urltext;

namespace {

enum SeparatorSet : int { kSlash = 1, kBackslash = 2, kAnySeparator = 3 };

bool InSet(char c, int set) {
  return (c == '/' && (set & kSlash)) || (c == '\\' && (set & kBackslash));
}

// s[i..] is ".." followed by a separator of `set`.
bool DotDotSeparator(const std::string& s, size_t i, int set) {
  return i + 2 < s.size() && s[i] == '.' && s[i + 1] == '.' && InSet(s[i + 2], set);
}

// A match of one rule: where it starts and how many bytes it covers.
struct Match {
  size_t start = 0;
  size_t length = 0;
};

// Each finder looks for the leftmost match starting at a character boundary
// in [lo, hi]; a match may run past hi.

// sep "." sep
bool FindDotSegment(const std::string& s, size_t lo, size_t hi, int set, Match& m) {
  for (size_t i = lo; i < s.size() && i <= hi; i += CharLen(s, i)) {
    if (InSet(s[i], set) && i + 2 < s.size() && s[i + 1] == '.' && InSet(s[i + 2], set)) {
      m = {i, 3};
      return true;
    }
  }
  return false;
}

// sep, a name of two or more characters not beginning with ".", sep ".." sep.
// As in the pattern, the name's first character may itself be a separator.
bool FindNamedParent(const std::string& s, size_t lo, size_t hi, int set, Match& m) {
  for (size_t i = lo; i < s.size() && i <= hi; i += CharLen(s, i)) {
    if (!InSet(s[i], set)) continue;
    size_t j = i + 1;
    if (j >= s.size() || s[j] == '.') continue;
    j += CharLen(s, j);
    size_t k = j;
    while (k < s.size() && !InSet(s[k], set)) k += CharLen(s, k);
    if (k == j || k >= s.size() || !DotDotSeparator(s, k + 1, set)) continue;
    m = {i, k + 4 - i};
    return true;
  }
  return false;
}

// sep, a name without separators or spaces, sep ".." sep.
bool FindParentWithoutSpace(const std::string& s, size_t lo, size_t hi, int set, Match& m) {
  for (size_t i = lo; i < s.size() && i <= hi; i += CharLen(s, i)) {
    if (!InSet(s[i], set)) continue;
    const size_t j = i + 1;
    size_t k = j;
    while (k < s.size() && !InSet(s[k], set) && s[k] != ' ') k += CharLen(s, k);
    if (k == j || k >= s.size() || !InSet(s[k], set) || !DotDotSeparator(s, k + 1, set)) continue;
    m = {i, k + 4 - i};
    return true;
  }
  return false;
}

using Finder = bool (*)(const std::string&, size_t, size_t, int, Match&);

Finder FinderOf(DotRule rule) {
  switch (rule) {
    case DotRule::DotSegment: return FindDotSegment;
    case DotRule::NamedParent: return FindNamedParent;
    case DotRule::ParentWithoutSpace: return FindParentWithoutSpace;
  }
  return FindDotSegment;
}

// Drops a ".." + separator that comes right after the `seps`-th separator:
// a ".." above the site's root stays at the root. Returns the position of
// the removal or npos.
size_t DropParentAtRoot(std::string& s, size_t seps) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); i += CharLen(s, i)) {
    if (!IsSep(s[i])) continue;
    if (++count == seps) {
      if (!DotDotSeparator(s, i + 1, kAnySeparator)) return npos;
      s.erase(i + 1, 3);
      return i + 1;
    }
  }
  return npos;
}

// Drops a leading ".." + separator, or one right after a drive ("Z:\..\") or
// a leading separator: nothing is above the root. Returns the position of
// the removal or npos.
size_t DropParentAtStart(std::string& s) {
  if (DotDotSeparator(s, 0, kAnySeparator)) {
    s.erase(0, 3);
    return 0;
  }
  size_t first = 0;
  while (first < s.size() && !IsSep(s[first])) first += CharLen(s, first);
  if (first >= s.size()) return npos;
  const bool rootElement = first == 0 || (first == 2 && s[1] == ':');
  if (!rootElement || !DotDotSeparator(s, first + 1, kAnySeparator)) return npos;
  s.erase(first + 1, 3);
  return first + 1;
}

size_t CountSeparators(std::string_view s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size(); i += CharLen(s, i))
    if (IsSep(s[i])) ++n;
  return n;
}

// One rule of a collapse loop. A positional rule (the ".." at the root) is
// cheap and checked in full each time; the substitutions keep a window of
// places where a match may still start, so that a long path with many ".."
// is not rescanned whole after every step.
struct CollapseRule {
  Finder find = nullptr;  // null: the positional rule
  int set = kAnySeparator;
  char repl = '/';
  bool dirty = true;
  size_t lo = 0;
  size_t hi = npos;
};

// Start of the region in which a change at `p` can have made a new match: a
// match spans at most four separators of its set, so four definite
// separators back is enough. "\" after a possible lead byte is not counted
// (it may be a trail byte), which only widens the region.
size_t ChangedRegionStart(const std::string& s, size_t p, int set) {
  if (p >= s.size()) p = s.empty() ? 0 : s.size() - 1;
  int seen = 0;
  for (size_t q = p + 1; q-- > 0;) {
    const char c = s[q];
    const bool definite =
        (c == '/' && (set & kSlash)) ||
        (c == '\\' && (set & kBackslash) &&
         (q == 0 || !os::IsSjisLeadByte(static_cast<unsigned char>(s[q - 1]))));
    if (definite && ++seen == 4) return q;
  }
  return 0;
}

// Runs the rules in order until none applies; each application shortens the
// text, so the loop ends. The first rule that matches wins, at its leftmost
// match, and the loop starts over from the first rule.
template <size_t N>
void RunCollapse(std::string& s, CollapseRule (&rules)[N],
                 const std::function<size_t(std::string&)>& positional) {
  for (;;) {
    size_t at = npos;     // where the text changed
    size_t removed = 0;   // bytes the change removed
    for (CollapseRule& r : rules) {
      if (!r.find) {
        at = positional(s);
        if (at != npos) {
          removed = 3;
          break;
        }
        continue;
      }
      if (!r.dirty) continue;
      Match m;
      if (r.find(s, r.lo, r.hi, r.set, m)) {
        r.lo = m.start;  // nothing matched before it
        s.replace(m.start, m.length, 1, r.repl);
        at = m.start;
        removed = m.length - 1;
        break;
      }
      r.dirty = false;
    }
    if (at == npos) return;
    for (CollapseRule& r : rules) {
      if (!r.find) continue;
      const size_t from = ChangedRegionStart(s, at, r.set);
      if (!r.dirty) {
        r.dirty = true;
        r.lo = from;
        r.hi = at;
        continue;
      }
      // Places after the change moved back by `removed`.
      if (r.lo > at) r.lo = r.lo - at > removed ? r.lo - removed : at;
      if (r.hi != npos && r.hi > at) r.hi = r.hi - at > removed ? r.hi - removed : at;
      r.lo = std::min(r.lo, from);
      if (r.hi != npos) r.hi = std::max(r.hi, at);
    }
  }
}

}  // namespace

void urltext::CollapseLinkTarget(std::string& t, size_t rootSeparators) {
  CollapseRule rules[] = {
      {FindDotSegment, kAnySeparator, '/'},
      {nullptr},
      {FindNamedParent, kAnySeparator, '/'},
      {FindParentWithoutSpace, kAnySeparator, '/'},
  };
  RunCollapse(t, rules, [rootSeparators](std::string& s) { return DropParentAtRoot(s, rootSeparators); });
}

void urltext::CollapseLocalPath(std::string& path) {
  CollapseRule rules[] = {
      {FindDotSegment, kSlash, '/'},
      {FindDotSegment, kBackslash, '\\'},
      {nullptr},
      {FindNamedParent, kSlash, '/'},
      {FindParentWithoutSpace, kSlash, '/'},
      {FindNamedParent, kBackslash, '\\'},
      {FindParentWithoutSpace, kBackslash, '\\'},
  };
  RunCollapse(path, rules, [](std::string& s) { return DropParentAtStart(s); });
}

namespace {

bool StartsWithTwoSeparators(std::string_view s) { return s.size() >= 2 && IsSep(s[0]) && IsSep(s[1]); }

std::string_view StripFileScheme(std::string_view s) {
  if (StartsWithNoCase(s, "file:///")) return s.substr(8);
  if (StartsWithNoCase(s, "file://")) return s.substr(7);
  return s;
}

// Length of "http://" or "https://" at the start, else 0.
size_t WebSchemeLength(std::string_view s) {
  if (StartsWithNoCase(s, "http://")) return 7;
  if (StartsWithNoCase(s, "https://")) return 8;
  return 0;
}

std::string Below(std::string_view dataDirectory, std::string_view rest) {
  std::string p(TrimDataDirectory(dataDirectory));
  p.push_back('\\');
  p.append(rest);
  return p;
}

bool TryFile(std::string candidate, std::string& localFile) {
  CutAt(candidate, kMaxUrlLength);
  if (candidate.empty() || !os::FileExists(candidate)) return false;
  localFile = std::move(candidate);
  return true;
}

// The MapPathInPlace name of `path`, then the name a copy saved before names
// kept their kind's extension after a query ("x.css7v" for "x.css?v").
bool TryMappedFile(const std::string& path, std::string_view dataDirectory, std::string& localFile) {
  std::string mapped = path;
  MapPathInPlace(mapped, dataDirectory);
  if (TryFile(mapped, localFile)) return true;
  std::string legacy = path;
  MapPathInPlaceAs(legacy, dataDirectory, false);
  return legacy != mapped && TryFile(legacy, localFile);
}

}  // namespace

bool urltext::ApplyDotRule(std::string& s, DotRule rule, int separators, char repl) {
  Match m;
  if (!FinderOf(rule)(s, 0, npos, separators, m)) return false;
  s.replace(m.start, m.length, 1, repl);
  return true;
}

std::vector<std::string> ResolveLink(std::string_view dataDirectory, std::string_view linkIn,
                                     std::string_view host, std::string_view baseIn,
                                     std::string_view avoid) {
  const std::string_view link = UpToNul(linkIn);
  const std::string_view base = UpToNul(baseIn);
  if (link.empty() || base.empty() || link.size() > kMaxUrlLength || base.size() > kMaxUrlLength)
    return {};
  std::vector<std::string> targets;
  if (StartsWithNoCase(link, "file://")) {
    std::string_view rest = StripFileScheme(link);
    if (!rest.empty()) targets.emplace_back(rest);
    return targets;
  }
  std::string l(link);
  ReplaceSeparators(l, '\\', '/');
  std::string target;
  if (size_t scheme = WebSchemeLength(l)) {
    target = Below(dataDirectory, std::string_view(l).substr(scheme));
    CutAt(target, kMaxUrlLength);
    targets.push_back(target);
  } else {
    if (l.size() >= 2 && l[0] == '/' && l[1] == '/') l.erase(0, 1);
    if (l[0] == '/') {
      target = "http://" + std::string(UpToNul(host)) + l;
    } else {
      if (StartsWithNoCase(l, ".//")) l.erase(1, 1);
      if (StartsWithNoCase(l, "./")) l.erase(0, 2);
      const size_t sep = LastSeparator(base);
      target = sep == npos ? std::string(base) : std::string(base.substr(0, sep + 1)) + l;
    }
    CutAt(target, kMaxUrlLength);
  }
  // The site's root: after "scheme://host/", or after "D\host\" for a path
  // below the data directory.
  size_t rootSeparators = 3;
  if (UnderDataDirectory(target, dataDirectory) != npos)
    rootSeparators = CountSeparators(TrimDataDirectory(dataDirectory)) + 2;
  CollapseLinkTarget(target, rootSeparators);
  if (!avoid.empty() && target == UpToNul(avoid)) return targets;
  if (!target.empty() && (targets.empty() || targets.back() != target)) targets.push_back(target);
  return targets;
}

std::string LinkTargetToLocalPath(std::string_view dataDirectory, std::string_view targetIn) {
  const std::string_view t = UpToNul(targetIn);
  if (t.empty()) return {};
  std::string p;
  if (HasDriveColon(t) || StartsWithTwoSeparators(t)) {
    p = t;
  } else if (StartsWithNoCase(t, "file://")) {
    p = StripFileScheme(t);
  } else if (size_t scheme = WebSchemeLength(t)) {
    // A root-relative link resolves to "http://host/..."; its copy is the
    // host folder below the data directory, like every captured URL.
    p = Below(dataDirectory, t.substr(scheme));
  } else {
    p = Below(dataDirectory, t);
  }
  ReplaceSeparators(p, '/', '\\');
  size_t from = UnderDataDirectory(p, dataDirectory);
  size_t hash = p.find('#', from == npos ? 0 : from);
  if (hash != npos) p.resize(hash);
  CutAt(p, kMaxUrlLength);
  return p;
}

bool FindLinkedFile(std::string_view dataDirectory, std::string_view target, std::string& file) {
  std::string p = LinkTargetToLocalPath(dataDirectory, target);
  if (p.empty()) return false;
  if (TryFile(p, file)) return true;
  return TryMappedFile(p, dataDirectory, file);
}

void CollapseDotSegments(std::string& path) {
  path.resize(UpToNul(path).size());
  CutAt(path, kMaxPathLength);
  CollapseLocalPath(path);
}

bool FindLocalFileForLink(std::string_view dataDirectory, std::string_view targetIn,
                          std::string_view currentPageIn, bool online, std::string& localFile,
                          const CacheLookup& cache) {
  localFile.clear();
  std::string_view target = UpToNul(targetIn);
  target = target.substr(0, CutLength(target, kMaxUrlLength));
  const std::string_view currentPage = UpToNul(currentPageIn);
  // Only browsing inside saved pages is redirected.
  if (WebSchemeLength(currentPage)) return false;
  if (target.empty()) return false;

  std::string t(StripFileScheme(target));
  ReplaceSeparators(t, '/', '\\');
  const bool local = HasDriveColon(t) || StartsWithTwoSeparators(t);

  if (!local) {
    const size_t scheme = WebSchemeLength(target);
    if (online || !scheme) return false;
    std::string raw = Below(dataDirectory, std::string_view(t).substr(scheme));
    if (TryFile(raw, localFile)) return true;
    if (TryMappedFile(raw, dataDirectory, localFile)) return true;
    // Where the capture stored it: covers fragments, "//" runs and spaces
    // that the raw name and its in-place mapping miss.
    UrlLocation loc;
    if (MapUrlQuietly(target, CaptureProfile(dataDirectory), loc) && !loc.relativePath.empty() &&
        TryFile(loc.localPath, localFile))
      return true;
    std::string cached;
    if (cache && cache(target, cached) && TryFile(cached, localFile)) return true;
    return false;
  }

  if (os::FileExists(t)) return false;  // nothing needs to change

  if (UnderDataDirectory(t, dataDirectory) != npos) {
    if (TryMappedFile(t, dataDirectory, localFile)) return true;
    MapPathInPlace(t, dataDirectory);
    if (FileExtension(t).empty() && TryFile(t + "_.html", localFile)) return true;
    return false;
  }

  // A root-relative link that the browser resolved to the drive root: the
  // page's host folder stands for the root.
  if (!HasDriveColon(t)) return false;
  std::string page(StripFileScheme(currentPage));
  ReplaceSeparators(page, '/', '\\');
  const size_t under = UnderDataDirectory(page, dataDirectory);
  if (under == npos) return false;
  size_t end = under;
  while (end < page.size() && !IsSep(page[end])) end += CharLen(page, end);
  if (end == under || end >= page.size()) return false;  // no host folder
  std::string candidate = page.substr(0, end);
  std::string_view rest = std::string_view(t).substr(2);
  if (rest.empty() || !IsSep(rest[0])) candidate.push_back('\\');
  candidate.append(rest);
  if (TryFile(candidate, localFile)) return true;
  return TryMappedFile(candidate, dataDirectory, localFile);
}


namespace {

// Collapses "." segments and "name/.." pairs of the path part of an absolute URL;
// a ".." directly after the host is dropped. The query is left alone.
std::string NormalizeUrlPath(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  size_t pathStart = url.find('/', scheme + 3);
  if (pathStart == std::string::npos) return url;
  size_t queryStart = url.find('?', pathStart);
  std::string path = url.substr(pathStart, queryStart == std::string::npos ? std::string::npos : queryStart - pathStart);
  std::vector<std::string> segments;
  size_t i = 1;
  bool trailingSlash = false;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    std::string seg = path.substr(i, slash == std::string::npos ? std::string::npos : slash - i);
    bool last = slash == std::string::npos;
    if (seg == ".") {
      trailingSlash = last;
    } else if (seg == "..") {
      if (!segments.empty()) segments.pop_back();
      trailingSlash = last;
    } else {
      segments.push_back(seg);
      trailingSlash = false;
    }
    if (last) break;
    i = slash + 1;
  }
  std::string out = "/";
  for (size_t k = 0; k < segments.size(); ++k) {
    if (k) out += '/';
    out += segments[k];
  }
  if (trailingSlash && out.back() != '/') out += '/';
  std::string result = url.substr(0, pathStart) + out;
  if (queryStart != std::string::npos) result += url.substr(queryStart);
  return result;
}

// A relative link against an absolute base URL: network-path, root-relative,
// query-only, fragment-only and path-relative forms. "" when the base has no host.
std::string ResolveAgainst(const std::string& base, const std::string& link) {
  size_t scheme = base.find("://");
  if (scheme == std::string::npos) return std::string();
  size_t authorityEnd = base.find_first_of("/?#", scheme + 3);
  std::string origin = base.substr(0, authorityEnd);
  std::string noFragment = base.substr(0, base.find('#'));
  if (link.rfind("//", 0) == 0) return base.substr(0, scheme + 1) + link;
  if (link[0] == '/') return origin + link;
  if (link[0] == '#') return noFragment + link;
  if (link[0] == '?') return noFragment.substr(0, noFragment.find('?')) + link;
  std::string path = noFragment.substr(0, noFragment.find('?'));
  size_t lastSlash = path.rfind('/');
  if (lastSlash == std::string::npos || lastSlash < scheme + 3) return origin + "/" + link;
  return path.substr(0, lastSlash + 1) + link;
}

}  // namespace

std::string UnwrapArchiveUrl(std::string_view urlIn) {
  const std::string url(urlIn);
  std::string prefix1 = std::string("http://") + std::string(kArchiveHost) + "/web/";
  std::string prefix2 = std::string("https://") + std::string(kArchiveHost) + "/web/";
  if (!StartsWithNoCase(url, prefix1) && !StartsWithNoCase(url, prefix2)) return url;
  size_t from = url.find("/web/") + 5;
  size_t embedded = url.find("http://", from);
  size_t embeddedS = url.find("https://", from);
  size_t at = std::min(embedded, embeddedS);
  return at == std::string::npos ? url : url.substr(at);
}


std::string ResolveUrl(std::string_view base, std::string_view linkIn) {
  std::string link(UpToNul(linkIn));
  ReplaceSeparators(link, '\\', '/');
  std::string url;
  if (link.find("://") != npos) {
    url = link;
  } else {
    if (link.empty()) return std::string();
    url = ResolveAgainst(std::string(UpToNul(base)), link);
    if (url.empty()) return url;
  }
  const size_t hash = url.find('#');
  std::string fragment = hash == npos ? std::string() : url.substr(hash);
  if (hash != npos) url.resize(hash);
  return NormalizeUrlPath(url) + fragment;
}

}  // namespace zentu
