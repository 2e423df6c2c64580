#include "pagelib/bregexp.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/cp932.h"

namespace zentu {
namespace {

// Bounds on the work of one match, so that a pattern that backtracks without
// end gives up (as "no match") instead of hanging the capture threads.
constexpr uint32_t kMatchLimit = 10'000'000;
constexpr uint32_t kDepthLimit = 200'000;
constexpr uint32_t kHeapLimitKiB = 64 * 1024;
constexpr size_t kJitStackMin = 32 * 1024;
constexpr size_t kJitStackMax = 1024 * 1024;

enum Flag : unsigned { kGlobal = 1, kIgnoreCase = 2, kSjis = 4, kMultiLine = 8, kDotAll = 16, kExtended = 32 };

// One piece of a replacement: literal text, or a reference to matched text.
struct Piece {
  enum Kind { kLiteral, kGroup, kBefore, kAfter } kind = kLiteral;
  int group = 0;
  std::string text;
};

struct Parsed {
  bool subst = false;
  std::string regex;        // in the pattern's own encoding
  std::string replacement;  // raw, expanded by ParseReplacement
  unsigned flags = 0;
};

bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsAsciiSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsSjisPair(std::string_view s, size_t i) {
  return i + 1 < s.size() && os::IsSjisLeadByte(static_cast<unsigned char>(s[i])) &&
         os::IsSjisTrailByte(static_cast<unsigned char>(s[i + 1]));
}

char ClosingOf(char open) {
  switch (open) {
    case '(': return ')';
    case '[': return ']';
    case '{': return '}';
    case '<': return '>';
    default: return open;
  }
}

bool FlagOf(char c, unsigned& flag) {
  switch (c) {
    case 'g': flag = kGlobal; return true;
    case 'i': flag = kIgnoreCase; return true;
    case 'k': flag = kSjis; return true;
    case 'm': flag = kMultiLine; return true;
    case 's': flag = kDotAll; return true;
    case 'x': flag = kExtended; return true;
    default: return false;
  }
}

// Whether the flags after the last closing delimiter hold "k". Needed before
// the parts are scanned: in Shift_JIS a trail byte may be "\" and must not be
// read as an escape.
bool TailHasSjisFlag(std::string_view t, char close) {
  size_t last = t.rfind(close);
  if (last == std::string_view::npos || last == 0) return false;
  bool k = false;
  for (size_t i = last + 1; i < t.size(); ++i) {
    unsigned flag = 0;
    if (IsAsciiSpace(static_cast<unsigned char>(t[i]))) continue;
    if (!FlagOf(t[i], flag)) return false;
    k = k || flag == kSjis;
  }
  return k;
}

// Copies one delimited part starting at `pos` (just after its opening
// delimiter) into `out`, escapes kept as written; leaves `pos` after the
// closing delimiter. Bracket delimiters nest.
bool ScanPart(std::string_view t, size_t& pos, char open, char close, bool sjis, std::string& out) {
  int depth = 0;
  while (pos < t.size()) {
    char c = t[pos];
    if (sjis && IsSjisPair(t, pos)) {
      out.append(t.substr(pos, 2));
      pos += 2;
      continue;
    }
    if (c == '\\' && pos + 1 < t.size()) {
      size_t len = (sjis && IsSjisPair(t, pos + 1)) ? 3 : 2;
      out.append(t.substr(pos, len));
      pos += len;
      continue;
    }
    if (open != close && c == open) {
      ++depth;
    } else if (c == close) {
      if (depth == 0) {
        ++pos;
        return true;
      }
      --depth;
    }
    out.push_back(c);
    ++pos;
  }
  return false;
}

bool IsDelimiter(char c) {
  auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7F && !IsAsciiAlnum(u) && c != '\\';
}

bool ParsePerl(std::string_view t, Parsed& out, std::string& error) {
  size_t pos;
  if (!t.empty() && t[0] == '/') {
    out.subst = false;
    pos = 0;
  } else if (t.size() > 1 && (t[0] == 'm' || t[0] == 's') && IsDelimiter(t[1])) {
    out.subst = t[0] == 's';
    pos = 1;
  } else {
    error = "pattern must begin with m/, s/ or /";
    return false;
  }
  char open = t[pos], close = ClosingOf(open);
  // The flags end the text; a bracketed substitution may close with another pair.
  bool sjis = TailHasSjisFlag(t, close);
  ++pos;
  if (!ScanPart(t, pos, open, close, sjis, out.regex)) {
    error = "missing closing delimiter of the pattern";
    return false;
  }
  if (out.subst) {
    if (open != close) {
      while (pos < t.size() && IsAsciiSpace(static_cast<unsigned char>(t[pos]))) ++pos;
      if (pos >= t.size() || !IsDelimiter(t[pos])) {
        error = "missing replacement";
        return false;
      }
      open = t[pos];
      close = ClosingOf(open);
      ++pos;
    }
    if (!ScanPart(t, pos, open, close, sjis, out.replacement)) {
      error = "missing closing delimiter of the replacement";
      return false;
    }
  }
  out.flags = 0;
  for (; pos < t.size(); ++pos) {
    unsigned flag = 0;
    if (IsAsciiSpace(static_cast<unsigned char>(t[pos]))) continue;
    if (!FlagOf(t[pos], flag)) {
      error = "unknown flag '";
      error += t[pos];
      error += "'";
      return false;
    }
    out.flags |= flag;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<Piece> ParseReplacement(std::string_view r, bool sjis) {
  std::vector<Piece> pieces;
  std::string lit;
  auto ref = [&](Piece::Kind kind, int group) {
    if (!lit.empty()) pieces.push_back({Piece::kLiteral, 0, std::move(lit)});
    lit.clear();
    pieces.push_back({kind, group, {}});
  };
  const size_t n = r.size();
  for (size_t i = 0; i < n;) {
    char c = r[i];
    if (sjis && IsSjisPair(r, i)) {
      lit.append(r.substr(i, 2));
      i += 2;
      continue;
    }
    if (c == '\\' && i + 1 < n) {
      char d = r[i + 1];
      i += 2;
      switch (d) {
        case 'n': lit.push_back('\n'); break;
        case 'r': lit.push_back('\r'); break;
        case 't': lit.push_back('\t'); break;
        case 'f': lit.push_back('\f'); break;
        case 'e': lit.push_back('\x1B'); break;
        case 'a': lit.push_back('\a'); break;
        case '0': lit.push_back('\0'); break;
        case 'x': {
          int v = 0, digits = 0;
          while (digits < 2 && i < n && HexValue(r[i]) >= 0) v = v * 16 + HexValue(r[i++]), ++digits;
          lit.push_back(static_cast<char>(v));
          break;
        }
        default:
          if (d >= '1' && d <= '9') {
            ref(Piece::kGroup, d - '0');
          } else if (sjis && IsSjisPair(r, i - 1)) {
            lit.append(r.substr(i - 1, 2));
            ++i;
          } else {
            lit.push_back(d);
          }
      }
      continue;
    }
    if (c == '$' && i + 1 < n) {
      char d = r[i + 1];
      if (d >= '0' && d <= '9') {
        int g = 0;
        i += 1;
        while (i < n && r[i] >= '0' && r[i] <= '9') g = std::min(g * 10 + (r[i++] - '0'), 100000);
        ref(Piece::kGroup, g);
        continue;
      }
      if (d == '{') {
        size_t j = i + 2;
        int g = 0;
        while (j < n && r[j] >= '0' && r[j] <= '9') g = std::min(g * 10 + (r[j++] - '0'), 100000);
        if (j > i + 2 && j < n && r[j] == '}') {
          ref(Piece::kGroup, g);
          i = j + 1;
          continue;
        }
      }
      if (d == '&' || d == '`' || d == '\'') {
        ref(d == '&' ? Piece::kGroup : d == '`' ? Piece::kBefore : Piece::kAfter, 0);
        i += 2;
        continue;
      }
    }
    lit.push_back(c);
    ++i;
  }
  if (!lit.empty()) pieces.push_back({Piece::kLiteral, 0, std::move(lit)});
  return pieces;
}

void SetMessage(char* msg, std::string_view text) {
  if (msg == nullptr) return;
  size_t len = std::min(text.size(), static_cast<size_t>(kBregexpMessageSize - 1));
  std::memcpy(msg, text.data(), len);
  msg[len] = '\0';
}

struct Handle : BREGEXP {
  std::string pattern;  // the text `code` was compiled from
  Parsed parsed;
  std::vector<Piece> pieces;
  pcre2_code* code = nullptr;
  pcre2_match_data* matchData = nullptr;
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* jitStack = nullptr;
  std::vector<char*> starts, ends;
  std::string out;
  // With k: the target decoded to UTF-8, and for each UTF-8 offset (one past
  // the end included) the offset of the same place in the Shift_JIS target.
  std::string utf8;
  std::vector<uint32_t> toTarget;

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    Uncompile();
    if (context) pcre2_match_context_free(context);
    if (jitStack) pcre2_jit_stack_free(jitStack);
  }
  void Uncompile() {
    if (matchData) pcre2_match_data_free(matchData);
    if (code) pcre2_code_free(code);
    matchData = nullptr;
    code = nullptr;
    pattern.clear();
    pieces.clear();
    nparens = 0;
  }
};

// Compiles `pattern` into the handle unless it already holds it.
bool Prepare(Handle& h, const char* pattern, std::string& error) {
  if (h.code && h.pattern == pattern) return true;
  h.Uncompile();
  Parsed parsed;
  if (!ParsePerl(pattern, parsed, error)) return false;
  uint32_t options = 0;
  std::string regex = parsed.regex;
  if (parsed.flags & kSjis) {
    regex = os::SjisToUtf8(parsed.regex);
    options |= PCRE2_UTF | PCRE2_NO_UTF_CHECK;
  }
  if (parsed.flags & kIgnoreCase) options |= PCRE2_CASELESS;
  if (parsed.flags & kMultiLine) options |= PCRE2_MULTILINE;
  if (parsed.flags & kDotAll) options |= PCRE2_DOTALL;
  if (parsed.flags & kExtended) options |= PCRE2_EXTENDED;
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(regex.data()), regex.size(), options,
                                   &errorCode, &errorOffset, nullptr);
  if (code == nullptr) {
    PCRE2_UCHAR text[256];
    if (pcre2_get_error_message(errorCode, text, sizeof(text)) < 0) std::strcpy(reinterpret_cast<char*>(text), "bad pattern");
    error = reinterpret_cast<char*>(text);
    error += " at offset " + std::to_string(errorOffset);
    return false;
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // falls back to the interpreter when JIT is unavailable
  if (h.context == nullptr) {
    h.context = pcre2_match_context_create(nullptr);
    h.jitStack = pcre2_jit_stack_create(kJitStackMin, kJitStackMax, nullptr);
    if (h.context == nullptr) {
      pcre2_code_free(code);
      error = "out of memory";
      return false;
    }
    pcre2_set_match_limit(h.context, kMatchLimit);
    pcre2_set_depth_limit(h.context, kDepthLimit);
    pcre2_set_heap_limit(h.context, kHeapLimitKiB);
    if (h.jitStack) pcre2_jit_stack_assign(h.context, nullptr, h.jitStack);
  }
  h.matchData = pcre2_match_data_create_from_pattern(code, nullptr);
  if (h.matchData == nullptr) {
    pcre2_code_free(code);
    error = "out of memory";
    return false;
  }
  uint32_t groups = 0;
  pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &groups);
  h.code = code;
  h.pattern = pattern;
  h.nparens = static_cast<int>(groups);
  if (parsed.subst) h.pieces = ParseReplacement(parsed.replacement, (parsed.flags & kSjis) != 0);
  h.parsed = std::move(parsed);
  h.starts.assign(groups + 1, nullptr);
  h.ends.assign(groups + 1, nullptr);
  h.startp = h.starts.data();
  h.endp = h.ends.data();
  return true;
}

// What PCRE2 sees: the target itself, or with k its UTF-8 form.
struct Subject {
  const char* data;
  size_t size;
};

Subject MakeSubject(Handle& h, const char* start, const char* end) {
  size_t n = static_cast<size_t>(end - start);
  if (!(h.parsed.flags & kSjis)) return {start, n};
  h.utf8.clear();
  h.toTarget.clear();
  h.utf8.reserve(n + n / 2);
  h.toTarget.reserve(n + n / 2 + 1);
  const auto* p = reinterpret_cast<const unsigned char*>(start);
  for (size_t i = 0; i < n;) {
    size_t len = 1;
    char32_t u;
    if (p[i] < 0x80) {
      u = p[i];
    } else if (os::IsSjisLeadByte(p[i]) && i + 1 < n && os::IsSjisTrailByte(p[i + 1])) {
      u = os::Cp932ToUnicode(static_cast<uint16_t>((p[i] << 8) | p[i + 1]));
      len = 2;
    } else {
      u = os::IsSjisLeadByte(p[i]) ? 0 : os::Cp932ToUnicode(p[i]);
    }
    size_t before = h.utf8.size();
    // Bytes without a character stay one unknown character each, so offsets map back.
    if (u == 0 && p[i] != 0) u = 0xFFFD;
    if (!os::AppendUtf8(h.utf8, u)) os::AppendUtf8(h.utf8, 0xFFFD);
    h.toTarget.insert(h.toTarget.end(), h.utf8.size() - before, static_cast<uint32_t>(i));
    i += len;
  }
  h.toTarget.push_back(static_cast<uint32_t>(n));
  return {h.utf8.data(), h.utf8.size()};
}

size_t ToTarget(const Handle& h, size_t offset) {
  return (h.parsed.flags & kSjis) ? h.toTarget[offset] : offset;
}

void ClearResult(Handle& h, char* start) {
  h.out.clear();
  h.outp = nullptr;
  h.outendp = nullptr;
  std::fill(h.starts.begin(), h.starts.end(), start);
  std::fill(h.ends.begin(), h.ends.end(), start);
}

void FillGroups(Handle& h, char* start, int rc) {
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(h.matchData);
  for (int i = 0; i <= h.nparens; ++i) {
    if (i < rc && ov[2 * i] != PCRE2_UNSET) {
      h.starts[i] = start + ToTarget(h, ov[2 * i]);
      h.ends[i] = start + ToTarget(h, ov[2 * i + 1]);
    } else {
      h.starts[i] = h.ends[i] = start;
    }
  }
}

// Looks up or makes the handle and compiles the pattern. Returns null on a bad
// pattern (message set); a handle the caller passed in stays the caller's.
Handle* Acquire(const char* pattern, BREGEXP** rx, char* msg) {
  if (rx == nullptr) {
    SetMessage(msg, "no handle");
    return nullptr;
  }
  if (pattern == nullptr) {
    SetMessage(msg, "no pattern");
    return nullptr;
  }
  std::unique_ptr<Handle> fresh;
  Handle* h = static_cast<Handle*>(*rx);
  if (h == nullptr) {
    fresh = std::make_unique<Handle>();
    h = fresh.get();
  }
  std::string error;
  if (!Prepare(*h, pattern, error)) {
    SetMessage(msg, error);
    if (!fresh) ClearResult(*h, nullptr);
    return nullptr;
  }
  if (fresh) *rx = fresh.release();
  return h;
}

int Match(Handle& h, const Subject& s, size_t offset, uint32_t options) {
  if (h.parsed.flags & kSjis) options |= PCRE2_NO_UTF_CHECK;
  return pcre2_match(h.code, reinterpret_cast<PCRE2_SPTR>(s.data), s.size, offset, options, h.matchData,
                     h.context);
}

}  // namespace

int BMatch(const char* pattern, char* start, char* end, BREGEXP** rx, char* msg) {
  Handle* h = Acquire(pattern, rx, msg);
  if (h == nullptr) return 0;
  if (start == nullptr) {
    ClearResult(*h, nullptr);
    return 0;
  }
  if (end == nullptr || end < start) end = start;
  ClearResult(*h, start);
  Subject s = MakeSubject(*h, start, end);
  int rc = Match(*h, s, 0, 0);
  if (rc < 0) return 0;  // no match, or the work limit was reached
  FillGroups(*h, start, rc == 0 ? h->nparens + 1 : rc);
  return 1;
}

int BSubst(const char* pattern, char* start, char* end, BREGEXP** rx, char* msg) {
  Handle* h = Acquire(pattern, rx, msg);
  if (h == nullptr) return 0;
  if (!h->parsed.subst) {
    ClearResult(*h, start);
    SetMessage(msg, "not a substitution (s/pattern/replacement/)");
    return 0;
  }
  if (start == nullptr) {
    ClearResult(*h, nullptr);
    return 0;
  }
  if (end == nullptr || end < start) end = start;
  ClearResult(*h, start);
  const size_t targetSize = static_cast<size_t>(end - start);
  Subject s = MakeSubject(*h, start, end);
  const bool global = (h->parsed.flags & kGlobal) != 0;
  const bool utf = (h->parsed.flags & kSjis) != 0;
  std::string& out = h->out;
  out.reserve(targetSize + targetSize / 4);
  size_t copied = 0;  // target bytes before this offset are in `out`
  size_t pos = 0;     // subject offset of the next attempt
  uint32_t options = 0;
  int count = 0;
  bool failed = false;
  for (;;) {
    int rc = Match(*h, s, pos, options);
    if (rc == PCRE2_ERROR_NOMATCH) {
      if (options == 0 || pos >= s.size) break;
      // No non-empty match where an empty one was: step one character on.
      ++pos;
      if (utf)
        while (pos < s.size && (static_cast<unsigned char>(s.data[pos]) & 0xC0) == 0x80) ++pos;
      options = 0;
      continue;
    }
    if (rc < 0) {  // the work limit, or an internal error: nothing is replaced
      failed = true;
      break;
    }
    if (rc == 0) rc = h->nparens + 1;
    if (count == 0) FillGroups(*h, start, rc);
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(h->matchData);
    size_t matchStart = std::min(ov[0], ov[1]), matchEnd = ov[1];
    size_t targetStart = ToTarget(*h, matchStart), targetEnd = ToTarget(*h, matchEnd);
    out.append(start + copied, targetStart - copied);
    for (const Piece& piece : h->pieces) {
      switch (piece.kind) {
        case Piece::kLiteral:
          out += piece.text;
          break;
        case Piece::kGroup:
          if (piece.group < rc && ov[2 * piece.group] != PCRE2_UNSET) {
            size_t a = ToTarget(*h, ov[2 * piece.group]), b = ToTarget(*h, ov[2 * piece.group + 1]);
            if (b > a) out.append(start + a, b - a);
          }
          break;
        case Piece::kBefore:
          out.append(start, targetStart);
          break;
        case Piece::kAfter:
          out.append(start + targetEnd, targetSize - targetEnd);
          break;
      }
    }
    copied = targetEnd;
    ++count;
    if (!global) break;
    pos = matchEnd;
    options = matchStart == matchEnd ? PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED : 0;
  }
  if (failed || count == 0) {
    count = 0;
    out.assign(start, targetSize);
    std::fill(h->starts.begin(), h->starts.end(), start);
    std::fill(h->ends.begin(), h->ends.end(), start);
  } else {
    out.append(start + copied, targetSize - copied);
  }
  if (!out.empty()) {
    h->outp = out.data();
    h->outendp = out.data() + out.size();
  }
  return count;
}

void BRegfree(BREGEXP* rx) { delete static_cast<Handle*>(rx); }

}  // namespace zentu
