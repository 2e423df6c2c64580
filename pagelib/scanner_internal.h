// Helpers shared by the scanner's files. Internal to pagelib.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "os/cp932.h"
#include "pagelib/scanner.h"

namespace zentu::scan {

constexpr size_t npos = std::string_view::npos;

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// `prefix` is lower case.
inline bool StartsWithI(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(s[i]) != prefix[i]) return false;
  return true;
}

// Case-insensitive search; `needle` is lower case and not empty.
inline size_t FindI(std::string_view s, std::string_view needle, size_t from = 0) {
  const char first = needle[0];
  const char firstUpper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
  if (needle.size() > s.size()) return npos;
  const size_t last = s.size() - needle.size();
  for (size_t i = from; i <= last; ++i) {
    if (s[i] != first && s[i] != firstUpper) continue;
    if (StartsWithI(s.substr(i), needle)) return i;
  }
  return npos;
}

inline bool ContainsI(std::string_view s, std::string_view needle) { return FindI(s, needle) != npos; }

// 2 when s[i] starts a two-byte Shift_JIS character, else 1.
inline size_t CharLen(std::string_view s, size_t i) {
  return (os::IsSjisLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() &&
          os::IsSjisTrailByte(static_cast<unsigned char>(s[i + 1])))
             ? 2
             : 1;
}

inline ScanJob& Job(PageScanner& s) { return s.job ? *s.job : s.ownJob; }

inline void Write(PageScanner& s, std::string_view text) {
  if (!s.reading) s.out.append(text);
}

// A link found: rewriting writes the pipeline's text for it; reading records it.
void EmitLink(PageScanner& s, std::string_view link, int kind);

// RewriteLinkInTag with the pattern matched only against tag[from, to); the
// rest of the tag is written around the link as it is.
bool RewriteLinkInWindow(PageScanner& s, std::string_view tag, size_t from, size_t to, const char* pattern,
                         int kind);

// One match of a pattern through the regular-expression service, with the
// handle kept per thread and pattern. Offsets are into the target.
struct MatchResult {
  size_t start = 0, end = 0;            // whole match
  size_t groupStart = 0, groupEnd = 0;  // group 1 (empty when it did not take part)
};
// 1 match, 0 none, -1 bad pattern ("regexp error: %s" logged).
int Match(const char* pattern, std::string_view target, MatchResult& m);
// 1 replaced (`result` holds the whole new text), 0 nothing replaced, -1 bad pattern.
int Subst(const char* pattern, std::string_view target, std::string& result);

// The patterns every front end shares.
namespace pattern {
extern const char* const kCssUrl;
extern const char* const kCssImport;
extern const char* const kCssQuoted;
}  // namespace pattern

}  // namespace zentu::scan
