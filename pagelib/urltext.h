// Byte-level helpers shared by the URL mapping files. Internal to pagelib.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "os/cp932.h"
#include "os/text.h"

namespace zentu::urltext {

constexpr size_t npos = std::string_view::npos;

// Length of the character at s[i]: 2 for a lead byte with a valid trail byte.
inline size_t CharLen(std::string_view s, size_t i) {
  if (os::IsSjisLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() &&
      os::IsSjisTrailByte(static_cast<unsigned char>(s[i + 1])))
    return 2;
  return 1;
}

inline bool IsSep(char c) { return c == '/' || c == '\\'; }

using os::AsciiLower;
using os::EndsWithNoCase;
using os::StartsWithNoCase;

// Texts came from C strings: an embedded NUL ends them.
inline std::string_view UpToNul(std::string_view s) {
  size_t z = s.find('\0');
  return z == npos ? s : s.substr(0, z);
}

// The longest prefix of at most `max` bytes that does not split a character.
inline size_t CutLength(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  size_t i = 0;
  while (i < s.size()) {
    size_t n = CharLen(s, i);
    if (i + n > max) break;
    i += n;
  }
  return i;
}

inline void CutAt(std::string& s, size_t max) { s.resize(CutLength(s, max)); }

// Index of the last real "/" or "\" (never a trail byte), or npos.
inline size_t LastSeparator(std::string_view s) {
  size_t last = npos;
  for (size_t i = 0; i < s.size(); i += CharLen(s, i))
    if (IsSep(s[i])) last = i;
  return last;
}

inline size_t LastBackslash(std::string_view s) {
  size_t last = npos;
  for (size_t i = 0; i < s.size(); i += CharLen(s, i))
    if (s[i] == '\\') last = i;
  return last;
}

// Every real separator `from` becomes `to`.
inline void ReplaceSeparators(std::string& s, char from, char to) {
  for (size_t i = 0; i < s.size(); i += CharLen(s, i))
    if (s[i] == from) s[i] = to;
}

inline bool HasDriveColon(std::string_view s) { return s.size() >= 2 && s[1] == ':'; }

// The data directory without trailing separators ("Z:\data\" -> "Z:\data").
inline std::string_view TrimDataDirectory(std::string_view d) {
  d = UpToNul(d);
  while (!d.empty()) {
    size_t last = LastSeparator(d);
    if (last == npos || last != d.size() - 1) break;
    d.remove_suffix(1);
  }
  return d;
}

// When `path` is the data directory or lies below it, the length to drop to
// get the part below it (the directory and one separator); else npos. "/" and
// "\" are the same separator, and the drive letter ignores case.
inline size_t UnderDataDirectory(std::string_view path, std::string_view dataDirectory) {
  std::string_view d = TrimDataDirectory(dataDirectory);
  if (d.empty() || path.size() < d.size()) return npos;
  size_t lastUnit = 0;
  for (size_t i = 0; i < d.size();) {
    size_t n = CharLen(d, i);
    lastUnit = i;
    if (n == 2) {
      if (path.compare(i, 2, d.substr(i, 2)) != 0) return npos;
    } else if (IsSep(d[i])) {
      if (!IsSep(path[i])) return npos;
    } else if (i == 0 && HasDriveColon(d)) {
      if (AsciiLower(path[0]) != AsciiLower(d[0])) return npos;
    } else if (path[i] != d[i]) {
      return npos;
    }
    i += n;
  }
  if (path.size() == d.size()) return d.size();
  // "Z:\database" is not below "Z:\data"; nor is a path whose "\" after the
  // prefix is the trail byte of a lone lead byte ending the directory.
  if (!IsSep(path[d.size()])) return npos;
  if (lastUnit == d.size() - 1 && os::IsSjisLeadByte(static_cast<unsigned char>(d[lastUnit])) &&
      os::IsSjisTrailByte(static_cast<unsigned char>(path[d.size()])))
    return npos;
  return d.size() + 1;
}

}  // namespace zentu::urltext

namespace zentu {
struct UrlMapProfile;
struct UrlLocation;
namespace urltext {
// The extension a saved name must end in so that a browser reading it from
// disk takes it for what its URL names: ".css" for "x.css?v" when the mapped
// name does not already end so, "" otherwise (no query, or no extension that
// tells a kind). Decided from the URL's text alone, so that every caller that
// maps a URL (saving, rewriting, the browser's lookup, the lock list) agrees.
std::string KindSuffix(std::string_view text, std::string_view mappedName);

// MapPathInPlace; `kindSuffix` false gives the name copies were saved under
// before KindSuffix existed, which lookups still try.
void MapPathInPlaceAs(std::string& path, std::string_view dataDirectory, bool kindSuffix);

// MapUrlToLocation without any log line, for callers that only probe.
bool MapUrlQuietly(std::string_view url, const UrlMapProfile& profile, UrlLocation& location);

// One application of a dot-segment substitution (leftmost occurrence) over the
// separators `separators` (1 "/", 2 "\", 3 both), the match becoming `repl`:
//   DotSegment          sep "." sep
//   NamedParent         sep [^.] [^sep]+ sep ".." sep
//   ParentWithoutSpace  sep [^sep ]+ sep ".." sep
// Returns whether it replaced.
enum class DotRule { DotSegment, NamedParent, ParentWithoutSpace };
bool ApplyDotRule(std::string& s, DotRule rule, int separators, char repl);

// Index of the first real "/" or "\\" of `s` (the end of a host), or its size.
size_t HostEnd(std::string_view s);
// "." or "..": a name that means another folder to the file system.
bool IsDotSegment(std::string_view segment);
// `s` with the "." and ".." segments of its path resolved. The path runs from
// `from` (a separator, or the end) to the first "?"; "/" and "\\" both separate
// and are kept as written, and ".." never climbs above `from`.
std::string CollapsePathSegments(std::string_view s, size_t from);

// The collapse loops: a link target whose site root lies after
// `rootSeparators` separators, and a local path.
void CollapseLinkTarget(std::string& target, size_t rootSeparators);
void CollapseLocalPath(std::string& path);
}  // namespace urltext
}  // namespace zentu
