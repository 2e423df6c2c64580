#include "pagelib/codedetect.h"

#include <iconv.h>

#include <array>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "os/cp932.h"

namespace zentu {
namespace {

// Marks a character that converts to nothing (the zero-width no-break space
// that doubles as a byte order mark).
constexpr uint16_t kDrop = 0xFFFF;

bool IsKana(uint16_t sjis) {
  return (sjis >= 0x829F && sjis <= 0x82F1) || (sjis >= 0x8340 && sjis <= 0x837E) ||
         (sjis >= 0x8380 && sjis <= 0x8393);
}

// Lookup tables built once from the code page 932 tables of the os layer, so
// the scoring and conversion loops do one array access per character.
struct Tables {
  // BMP character -> code page 932 code (one byte < 0x100, else lead << 8 | trail);
  // 0 = none (U+0000 is handled before the lookup).
  std::array<uint16_t, 65536> toSjis{};
  // Characters whose code in toSjis reads back as another character (U+2014
  // gives 815C, which readers show as U+2015; U+00A5 gives a backslash). Where
  // references can be written, they are written instead.
  std::bitset<65536> readsBackOther{};
  // Two-byte Shift_JIS codes that count for the Shift_JIS score.
  std::array<uint64_t, 65536 / 64> sjisCounts{};
  // JIS X 0208 row/cell (each 0-93): 0 no code page 932 character, 1 mapped, 2 kana.
  std::array<uint8_t, 94 * 94> eucClass{};
};

const Tables& GetTables() {
  static const std::unique_ptr<Tables> tables = [] {
    auto t = std::make_unique<Tables>();
    for (char32_t u = 1; u < 0x10000; ++u) {
      t->toSjis[u] = os::UnicodeToCp932(u);
      if (t->toSjis[u] != 0 && os::Cp932ToUnicode(t->toSjis[u]) != u) t->readsBackOther[u] = true;
    }
    // The wave dash and the minus sign keep their near codes on purpose.
    t->readsBackOther[0x301C] = t->readsBackOther[0x2212] = false;
    // Characters code page 932 lacks but whose meaning is plain.
    if (t->toSjis[0x00A0] == 0) t->toSjis[0x00A0] = ' ';
    if (t->toSjis[0x301C] == 0) t->toSjis[0x301C] = 0x8160;
    if (t->toSjis[0xFEFF] == 0) t->toSjis[0xFEFF] = kDrop;
    // Two-byte characters of code page 932 with a JIS X 0208 code, below the
    // leads that UTF-8 kana bytes (E3 81 .. E3 83) would form.
    for (unsigned code = 0x8100; code < 0xE380; ++code) {
      unsigned lead = code >> 8, trail = code & 0xFF;
      if (!os::IsSjisLeadByte(static_cast<unsigned char>(lead)) ||
          !os::IsSjisTrailByte(static_cast<unsigned char>(trail)))
        continue;
      if (SjisToJis(static_cast<uint16_t>(code)) == 0) continue;
      if (os::Cp932ToUnicode(static_cast<uint16_t>(code)) == 0) continue;
      t->sjisCounts[code >> 6] |= uint64_t{1} << (code & 63);
    }
    for (int row = 0; row < 94; ++row) {
      for (int cell = 0; cell < 94; ++cell) {
        uint16_t sjis = JisToSjis(static_cast<uint16_t>(((row + 0x21) << 8) | (cell + 0x21)));
        uint8_t cls = 0;
        if (os::Cp932ToUnicode(sjis) != 0) cls = IsKana(sjis) ? 2 : 1;
        t->eucClass[row * 94 + cell] = cls;
      }
    }
    return t;
  }();
  return *tables;
}

// JIS X 0212 (the EUC-JP 0x8F plane) row/cell -> code page 932 code, 0 = none.
// Code page 932 holds only a few of these (the IBM extensions among them), so
// the table is built on first need from the C library's EUC-JP-MS converter.
const std::array<uint16_t, 94 * 94>& GetJisX0212Table() {
  static const std::unique_ptr<std::array<uint16_t, 94 * 94>> table = [] {
    auto t = std::make_unique<std::array<uint16_t, 94 * 94>>();
    iconv_t cd = iconv_open("UTF-32LE", "EUC-JP-MS");
    if (cd == reinterpret_cast<iconv_t>(-1)) return t;
    for (int row = 0; row < 94; ++row) {
      for (int cell = 0; cell < 94; ++cell) {
        char in[3] = {static_cast<char>(0x8F), static_cast<char>(0xA1 + row),
                      static_cast<char>(0xA1 + cell)};
        char32_t out[2] = {};
        char* ip = in;
        char* op = reinterpret_cast<char*>(out);
        size_t il = sizeof(in), ol = sizeof(out);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0) continue;
        if (sizeof(out) - ol != sizeof(char32_t)) continue;
        (*t)[row * 94 + cell] = os::UnicodeToCp932(out[0]);
      }
    }
    iconv_close(cd);
    return t;
  }();
  return *table;
}

bool InRange(unsigned char c, unsigned char lo, unsigned char hi) { return c >= lo && c <= hi; }

// Index of the first byte at or after i that has its high bit set (or n):
// pages are mostly markup, which every score passes over.
size_t SkipAscii(const unsigned char* p, size_t i, size_t n) {
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

bool IsBase64(unsigned char c) {
  return InRange(c, 'A', 'Z') || InRange(c, 'a', 'z') || InRange(c, '0', '9') || c == '+' || c == '/';
}

int Base64Value(unsigned char c) {
  if (InRange(c, 'A', 'Z')) return c - 'A';
  if (InRange(c, 'a', 'z')) return c - 'a' + 26;
  if (InRange(c, '0', '9')) return c - '0' + 52;
  return c == '+' ? 62 : 63;
}

// --- Scores -----------------------------------------------------------------

long EucScore(const unsigned char* p, size_t n, const Tables& t) {
  long score = 0;
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      i = SkipAscii(p, i, n);
      continue;
    }
    if (c == 0x8E) {
      ++score;
      i += 2;
    } else if (InRange(c, 0xA1, 0xFE) && i + 1 < n && InRange(p[i + 1], 0xA1, 0xFE)) {
      uint8_t cls = t.eucClass[(c - 0xA1) * 94 + (p[i + 1] - 0xA1)];
      if (cls == 0) {
        ++i;
      } else {
        if (cls == 2) ++score;
        i += 2;
      }
    } else {
      ++i;
    }
  }
  return score;
}

long SjisScore(const unsigned char* p, size_t n, const Tables& t) {
  long score = 0;
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      i = SkipAscii(p, i, n);
      continue;
    }
    if (os::IsSjisLeadByte(c) && i + 1 < n && os::IsSjisTrailByte(p[i + 1])) {
      unsigned code = (c << 8) | p[i + 1];
      score += static_cast<long>((t.sjisCounts[code >> 6] >> (code & 63)) & 1);
      i += 2;
    } else {
      ++i;
    }
  }
  return score;
}

long JisScore(const unsigned char* p, size_t n) {
  enum { kAscii, kTwoByte, kKana } mode = kAscii;
  long score = 0, run = 0;
  auto count = [&](size_t bytes) {
    if (mode == kTwoByte) run += static_cast<long>(bytes);
    else if (mode == kKana) score += static_cast<long>(bytes);
  };
  auto closeRun = [&] {
    if (mode == kTwoByte) score += run / 2;
    run = 0;
  };
  for (size_t i = 0; i < n;) {
    const void* esc = std::memchr(p + i, 0x1B, n - i);
    size_t at = esc ? static_cast<size_t>(static_cast<const unsigned char*>(esc) - p) : n;
    count(at - i);
    if (at + 2 < n) {
      unsigned char a = p[at + 1], b = p[at + 2];
      if ((a == '$' && (b == 'B' || b == '@')) || (a == '(' && (b == 'B' || b == 'J' || b == 'I'))) {
        closeRun();
        mode = a == '$' ? kTwoByte : b == 'I' ? kKana : kAscii;
        i = at + 3;
        continue;
      }
    }
    if (at < n) count(1);  // an escape that switches nothing is a byte like others
    i = at + 1;
  }
  // A two-byte run that is never closed still counts: mail and pages are often cut short.
  closeRun();
  return score;
}

long Utf8Score(const unsigned char* p, size_t n, const Tables& t) {
  long score = 0;
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0xC0) {
      i = c < 0x80 ? SkipAscii(p, i, n) : i + 1;
      continue;
    }
    uint32_t unit;
    int len;
    if (c <= 0xDF && i + 1 < n && InRange(p[i + 1], 0x80, 0xBF)) {
      unit = ((c & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
      len = 2;
    } else if (InRange(c, 0xE0, 0xEF) && i + 2 < n && InRange(p[i + 1], 0x80, 0xBF) &&
               InRange(p[i + 2], 0x80, 0xBF)) {
      unit = ((c & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
      len = 3;
    } else {
      ++i;
      continue;
    }
    if (IsKana(t.toSjis[unit])) score += len;
    i += static_cast<size_t>(len);
  }
  return score;
}

long Utf7Score(const unsigned char* p, size_t n, const Tables& t) {
  long score = 0;
  for (size_t i = 0; i < n; ++i) {
    const void* plus = std::memchr(p + i, '+', n - i);
    if (plus == nullptr) break;
    i = static_cast<size_t>(static_cast<const unsigned char*>(plus) - p);
    if (i + 1 < n && p[i + 1] == '-') {
      ++i;
      continue;
    }
    if (i + 1 >= n || !IsBase64(p[i + 1])) continue;
    size_t start = i + 1, j = start;
    while (j < n && IsBase64(p[j])) ++j;
    if (j < n && p[j] == '-' && j - start >= 3) {
      uint32_t bits = 0;
      int nbits = 0;
      for (size_t k = start; k < j; ++k) {
        bits = (bits << 6) | static_cast<uint32_t>(Base64Value(p[k]));
        nbits += 6;
        if (nbits >= 16) {
          nbits -= 16;
          uint32_t unit = (bits >> nbits) & 0xFFFF;
          if (unit != 0 && t.toSjis[unit] != 0 && t.toSjis[unit] != kDrop) ++score;
        }
      }
    } else if (j < n && p[j] >= 0x80) {
      score = 0;
    }
    i = j;  // the byte that ended the run is neither '+' nor part of the run
  }
  return score;
}

// --- Conversion -------------------------------------------------------------

// Writes Shift_JIS into a buffer sized for the worst case up front. Only a
// character reference writes more than it reads, and it makes room first.
struct Writer {
  char* o;
  std::string* buffer = nullptr;  // set: unmapped characters become references
  void Byte(unsigned char c) { *o++ = static_cast<char>(c); }
  // A character code page 932 lacks.
  void Missing(uint32_t ch) {
    if (!buffer) {
      Byte('?');
      return;
    }
    char ref[16];
    const int len = std::snprintf(ref, sizeof ref, "&#%u;", static_cast<unsigned>(ch));
    const size_t at = static_cast<size_t>(o - buffer->data());
    buffer->resize(buffer->size() + static_cast<size_t>(len));
    o = buffer->data() + at;
    std::memcpy(o, ref, static_cast<size_t>(len));
    o += len;
  }
  void Code(uint16_t code) {
    if (code > 0xFF) *o++ = static_cast<char>(code >> 8);
    *o++ = static_cast<char>(code & 0xFF);
  }
  void Unit(uint32_t unit, const Tables& t) {
    if (unit < 0x80) {
      Byte(static_cast<unsigned char>(unit));
      return;
    }
    uint16_t code = unit < 0x10000 ? t.toSjis[unit] : 0;
    if (code == kDrop) return;
    if (code == 0 || (buffer && t.readsBackOther[unit])) Missing(unit);
    else Code(code);
  }
};

// A byte >= 0x80 met where only Shift_JIS-compatible raw bytes can be kept
// (8-bit bytes in a JIS or UTF-7 text). Returns the bytes consumed.
size_t CopyRaw(const unsigned char* p, size_t i, size_t n, Writer& w) {
  unsigned char c = p[i];
  if (os::IsSjisLeadByte(c) && i + 1 < n && os::IsSjisTrailByte(p[i + 1])) {
    w.Byte(c);
    w.Byte(p[i + 1]);
    return 2;
  }
  w.Byte(InRange(c, 0xA1, 0xDF) ? c : '?');
  return 1;
}

void ConvertEuc(const unsigned char* p, size_t n, Writer& w) {
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      w.Byte(c);
      ++i;
      continue;
    }
    if (i + 1 >= n || p[i + 1] < 0x80) {  // a lead with no second byte
      w.Byte('?');
      ++i;
      continue;
    }
    unsigned char d = p[i + 1];
    if (c == 0x8E) {
      w.Byte(InRange(d, 0xA1, 0xDF) ? d : '?');
      i += 2;
    } else if (c == 0x8F) {
      if (i + 2 < n && InRange(d, 0xA1, 0xFE) && InRange(p[i + 2], 0xA1, 0xFE)) {
        uint16_t code = GetJisX0212Table()[(d - 0xA1) * 94 + (p[i + 2] - 0xA1)];
        if (code == 0) w.Byte('?');
        else w.Code(code);
        i += 3;
      } else {
        w.Byte('?');
        i += 2;
      }
    } else if (InRange(c, 0xA1, 0xFE) && InRange(d, 0xA1, 0xFE)) {
      w.Code(JisToSjis(static_cast<uint16_t>(((c - 0x80) << 8) | (d - 0x80))));
      i += 2;
    } else {
      w.Byte('?');
      i += 2;
    }
  }
}

void ConvertJis(const unsigned char* p, size_t n, Writer& w) {
  enum { kAscii, kTwoByte, kKana, kJisX0212 } mode = kAscii;
  int pending = -1;  // first byte of a two-byte pair
  auto flush = [&] {
    if (pending >= 0) w.Byte(static_cast<unsigned char>(pending));
    pending = -1;
  };
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c == 0x1B) {
      flush();
      auto at = [&](size_t k) -> int { return i + k < n ? p[i + k] : -1; };
      int a = at(1), b = at(2), d = at(3);
      if (a == '$' && (b == 'B' || b == '@')) {
        mode = kTwoByte;
        i += 3;
      } else if (a == '$' && b == '(' && (d == 'B' || d == '@')) {
        mode = kTwoByte;
        i += 4;
      } else if (a == '$' && b == '(' && d == 'D') {
        mode = kJisX0212;
        i += 4;
      } else if (a == '(' && b == 'I') {
        mode = kKana;
        i += 3;
      } else if (a == '(' && (b == 'B' || b == 'H' || b == 'J')) {
        mode = kAscii;
        i += 3;
      } else {
        // Unknown escape: written through whole (intermediate bytes and final byte),
        // so that its bytes are not taken for text.
        w.Byte(c);
        ++i;
        while (i < n && InRange(p[i], 0x20, 0x2F)) w.Byte(p[i++]);
        if (i < n && InRange(p[i], 0x30, 0x7E)) w.Byte(p[i++]);
      }
      continue;
    }
    if (c >= 0x80) {
      flush();
      i += CopyRaw(p, i, n, w);
      continue;
    }
    switch (mode) {
      case kAscii:
        w.Byte(c);
        break;
      case kKana:
        w.Byte(InRange(c, 0x21, 0x5F) ? static_cast<unsigned char>(c + 0x80) : c);
        break;
      case kTwoByte:
      case kJisX0212:
        if (c <= 0x20 || c == 0x7F) {
          flush();
          w.Byte(c);
        } else if (pending < 0) {
          pending = c;
        } else {
          uint16_t code;
          if (mode == kTwoByte) {
            code = JisToSjis(static_cast<uint16_t>((pending << 8) | c));
          } else {
            code = GetJisX0212Table()[(pending - 0x21) * 94 + (c - 0x21)];
            if (code == 0) code = '?';
          }
          w.Code(code);
          pending = -1;
        }
        break;
    }
    ++i;
  }
  flush();
}

void ConvertUtf8(const unsigned char* p, size_t n, Writer& w, const Tables& t) {
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      w.Byte(c);
      ++i;
      continue;
    }
    uint32_t unit;
    if (InRange(c, 0xC2, 0xDF) && i + 1 < n && InRange(p[i + 1], 0x80, 0xBF)) {
      unit = ((c & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
      i += 2;
      if (unit == 0xA0) {  // no-break space
        w.Byte(' ');
        continue;
      }
    } else if (InRange(c, 0xE0, 0xEF) && i + 2 < n && InRange(p[i + 1], c == 0xE0 ? 0xA0 : 0x80,
                                                                c == 0xED ? 0x9F : 0xBF) &&
               InRange(p[i + 2], 0x80, 0xBF)) {
      unit = ((c & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
      i += 3;
      if (unit == 0x2212) {  // minus sign: a plain hyphen reads best in page text
        w.Byte('-');
        continue;
      }
      if (unit == 0x301C) {  // wave dash
        w.Code(0x8160);
        continue;
      }
    } else if (InRange(c, 0xF0, 0xF4) && i + 3 < n &&
               InRange(p[i + 1], c == 0xF0 ? 0x90 : 0x80, c == 0xF4 ? 0x8F : 0xBF) &&
               InRange(p[i + 2], 0x80, 0xBF) && InRange(p[i + 3], 0x80, 0xBF)) {
      // Outside the BMP: code page 932 has none of these.
      w.Missing(((c & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) |
                 (p[i + 3] & 0x3Fu));
      i += 4;
      continue;
    } else {
      // One "?" for a broken sequence: its lead and the continuation bytes that follow it.
      size_t want = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
      ++i;
      if (InRange(c, 0xC2, 0xF4))
        for (; want > 0 && i < n && InRange(p[i], 0x80, 0xBF); --want) ++i;
      w.Byte('?');
      continue;
    }
    w.Unit(unit, t);
  }
}

void ConvertUtf16(const unsigned char* p, size_t n, bool bigEndian, Writer& w, const Tables& t) {
  auto unitAt = [&](size_t i) -> uint32_t {
    return bigEndian ? (uint32_t{p[i]} << 8) | p[i + 1] : (uint32_t{p[i + 1]} << 8) | p[i];
  };
  size_t i = 0;
  for (; i + 1 < n; i += 2) {
    uint32_t u = unitAt(i);
    if (u >= 0xD800 && u <= 0xDFFF) {
      // A surrogate pair is one character outside the BMP; a lone surrogate is broken.
      if (u <= 0xDBFF && i + 3 < n && unitAt(i + 2) >= 0xDC00 && unitAt(i + 2) <= 0xDFFF) {
        w.Missing(0x10000 + ((u - 0xD800) << 10) + (unitAt(i + 2) - 0xDC00));
        i += 2;
      } else {
        w.Byte('?');
      }
      continue;
    }
    w.Unit(u, t);
  }
  if (i < n) w.Byte('?');  // odd trailing byte
}

void ConvertUtf7(const unsigned char* p, size_t n, Writer& w, const Tables& t) {
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c != '+') {
      if (c >= 0x80) i += CopyRaw(p, i, n, w);
      else {
        w.Byte(c);
        ++i;
      }
      continue;
    }
    if (i + 1 < n && p[i + 1] == '-') {
      w.Byte('+');
      i += 2;
      continue;
    }
    if (i + 1 >= n || !IsBase64(p[i + 1])) {
      w.Byte('+');
      ++i;
      continue;
    }
    uint32_t bits = 0, high = 0;
    int nbits = 0;
    size_t j = i + 1;
    for (; j < n && IsBase64(p[j]); ++j) {
      bits = (bits << 6) | static_cast<uint32_t>(Base64Value(p[j]));
      nbits += 6;
      if (nbits < 16) continue;
      nbits -= 16;
      uint32_t u = (bits >> nbits) & 0xFFFF;
      bits &= (1u << nbits) - 1;
      if (high != 0) {
        bool low = u >= 0xDC00 && u <= 0xDFFF;
        if (low)  // a pair: outside the BMP
          w.Missing(0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00));
        else  // a lone high surrogate
          w.Byte('?');
        high = 0;
        if (low) continue;
      }
      if (u >= 0xD800 && u <= 0xDBFF) high = u;
      else if (u >= 0xDC00 && u <= 0xDFFF) w.Byte('?');
      else w.Unit(u, t);
    }
    if (high != 0) w.Byte('?');
    if (j < n && p[j] == '-') ++j;  // the minus that closes a run is absorbed
    i = j;
  }
}

}  // namespace

uint16_t JisToSjis(uint16_t jis) {
  unsigned j1 = jis >> 8, j2 = jis & 0xFF;
  if (j1 < 0x21 || j1 > 0x7E || j2 < 0x21 || j2 > 0x7E) return 0;
  unsigned s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
  unsigned s2 = (j1 & 1) ? j2 + (j2 <= 0x5F ? 0x1F : 0x20) : j2 + 0x7E;
  return static_cast<uint16_t>((s1 << 8) | s2);
}

uint16_t SjisToJis(uint16_t sjis) {
  unsigned s1 = sjis >> 8, s2 = sjis & 0xFF;
  if (!(InRange(static_cast<unsigned char>(s1), 0x81, 0x9F) || InRange(static_cast<unsigned char>(s1), 0xE0, 0xEF)) ||
      sjis < 0x100 || !os::IsSjisTrailByte(static_cast<unsigned char>(s2)))
    return 0;
  unsigned j1 = (s1 - (s1 <= 0x9F ? 0x70 : 0xB0)) * 2;
  unsigned j2;
  if (s2 >= 0x9F) {
    j2 = s2 - 0x7E;
  } else {
    --j1;
    j2 = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
  }
  return static_cast<uint16_t>((j1 << 8) | j2);
}

int DetectCode(const char* bytes, size_t length) {
  if (bytes == nullptr) return kCodeSjis;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  if (length >= 2) {
    if (p[0] == 0xFF && p[1] == 0xFE) return kCodeUnicode;
    if (p[0] == 0xFE && p[1] == 0xFF) return kCodeUniBE;
    if (length >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return kCodeUtf8;
  }
  const Tables& t = GetTables();
  long euc = EucScore(p, length, t);
  long sjis = SjisScore(p, length, t);
  long jis = JisScore(p, length);
  long utf8 = Utf8Score(p, length, t);
  long utf7 = Utf7Score(p, length, t);
  // Ties go to the earlier entry; Shift_JIS wins only when nothing else scored.
  const long all[] = {euc, utf7, utf8, jis, sjis};
  const int codes[] = {kCodeEuc, kCodeUtf7, kCodeUtf8, kCodeJis};
  for (int k = 0; k < 4; ++k) {
    if (all[k] <= 0) continue;
    bool best = true;
    for (long other : all) best = best && all[k] >= other;
    if (best) return codes[k];
  }
  return kCodeSjis;
}

std::string ConvertToSjis(std::string_view text, int code) {
  return ConvertToSjis(text, code, Unmapped::Question);
}

std::string ConvertToSjis(std::string_view text, int code, Unmapped unmapped) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  if (code != kCodeJis && code != kCodeEuc && code != kCodeUnicode && code != kCodeUtf8 &&
      code != kCodeUtf7 && code != kCodeUniBE)
    return std::string(text);
  // Short texts keep their order mark; it then converts to nothing below.
  if (n >= 4) {
    if ((code == kCodeUnicode && p[0] == 0xFF && p[1] == 0xFE) ||
        (code == kCodeUniBE && p[0] == 0xFE && p[1] == 0xFF)) {
      p += 2;
      n -= 2;
    } else if (code == kCodeUtf8 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
      p += 3;
      n -= 3;
    }
  }
  const Tables& t = GetTables();
  // No conversion here writes more bytes than it reads: a two-byte result always
  // comes from at least two input bytes, a "?" from at least one.
  std::string out(n + 16, '\0');
  Writer w{out.data(), unmapped == Unmapped::Reference ? &out : nullptr};
  switch (code) {
    case kCodeEuc: ConvertEuc(p, n, w); break;
    case kCodeJis: ConvertJis(p, n, w); break;
    case kCodeUtf8: ConvertUtf8(p, n, w, t); break;
    case kCodeUnicode: ConvertUtf16(p, n, false, w, t); break;
    case kCodeUniBE: ConvertUtf16(p, n, true, w, t); break;
    case kCodeUtf7: ConvertUtf7(p, n, w, t); break;
  }
  out.resize(static_cast<size_t>(w.o - out.data()));
  return out;
}

const char* CodeName(int code) {
  switch (code) {
    case kCodeSjis: return "CODE TYPE : SJIS";
    case kCodeJis: return "CODE TYPE : JIS";
    case kCodeEuc: return "CODE TYPE : EUC";
    case kCodeUnicode: return "CODE TYPE : Unicode";
    case kCodeUtf8: return "CODE TYPE : UTF-8";
    case kCodeUtf7: return "CODE TYPE : UTF-7";
    case kCodeUniBE: return "CODE TYPE : UniBE";
    default: return "Undefined";
  }
}

bool IsSjisLead(unsigned char byte) { return os::IsSjisLeadByte(byte); }
bool IsSjisTrail(unsigned char byte) { return os::IsSjisTrailByte(byte); }

}  // namespace zentu
