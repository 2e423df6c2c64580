#include "os/cp932.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace zentu::os {
namespace {

constexpr char32_t kUnmapped = 0x30FB;  // what code page 932 gives for undefined two-byte codes

struct Tables {
  // Single bytes and two-byte codes, indexed by the code; 0 = unmapped.
  std::array<char32_t, 65536> decode{};
  std::array<uint16_t, 65536> encode{};  // BMP only
  std::array<bool, 256> singleMapped{};
};

char32_t IconvOne(iconv_t cd, const unsigned char* in, size_t inLen) {
  char inbuf[4];
  std::memcpy(inbuf, in, inLen);
  char* ip = inbuf;
  size_t il = inLen;
  char32_t out[4] = {};
  char* op = reinterpret_cast<char*>(out);
  size_t ol = sizeof(out);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0) return 0;
  if (sizeof(out) - ol != sizeof(char32_t)) return 0;  // one code, one character
  return out[0];
}

const Tables& GetTables() {
  static std::unique_ptr<Tables> tables;
  static std::once_flag once;
  std::call_once(once, [] {
    auto t = std::make_unique<Tables>();
    iconv_t dec = iconv_open("UTF-32LE", "CP932");
    iconv_t enc = iconv_open("CP932", "UTF-32LE");
    if (dec != reinterpret_cast<iconv_t>(-1)) {
      for (int b = 0; b < 256; ++b) {
        if (IsSjisLeadByte(static_cast<unsigned char>(b))) continue;
        unsigned char in[1] = {static_cast<unsigned char>(b)};
        char32_t u = b < 0x80 ? static_cast<char32_t>(b) : IconvOne(dec, in, 1);
        t->decode[b] = u;
        t->singleMapped[b] = (b == 0 || u != 0);
      }
      for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsSjisLeadByte(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
          if (!IsSjisTrailByte(static_cast<unsigned char>(trail))) continue;
          unsigned char in[2] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(trail)};
          t->decode[(lead << 8) | trail] = IconvOne(dec, in, 2);
        }
      }
      iconv_close(dec);
    }
    if (enc != reinterpret_cast<iconv_t>(-1)) {
      for (char32_t u = 1; u < 0x10000; ++u) {
        if (u >= 0xD800 && u <= 0xDFFF) continue;
        if (u < 0x80) {
          t->encode[u] = static_cast<uint16_t>(u);
          continue;
        }
        char32_t in = u;
        char* ip = reinterpret_cast<char*>(&in);
        size_t il = sizeof(in);
        unsigned char out[8];
        char* op = reinterpret_cast<char*>(out);
        size_t ol = sizeof(out);
        iconv(enc, nullptr, nullptr, nullptr, nullptr);
        if (iconv(enc, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) continue;
        size_t n = sizeof(out) - ol;
        if (n == 1) t->encode[u] = out[0];
        else if (n == 2) t->encode[u] = static_cast<uint16_t>((out[0] << 8) | out[1]);
      }
      iconv_close(enc);
    }
    tables = std::move(t);
  });
  return *tables;
}

template <typename Sink>
void DecodeSjis(std::string_view s, bool* lossy, Sink&& sink) {
  const Tables& t = GetTables();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      sink(static_cast<char32_t>(c));
      ++i;
      continue;
    }
    if (IsSjisLeadByte(c) && i + 1 < n && IsSjisTrailByte(p[i + 1])) {
      char32_t u = t.decode[(c << 8) | p[i + 1]];
      if (u == 0) {
        u = kUnmapped;
        if (lossy) *lossy = true;
      }
      sink(u);
      i += 2;
      continue;
    }
    char32_t u = IsSjisLeadByte(c) ? 0 : t.decode[c];
    if (u == 0) {
      u = kUnmapped;
      if (lossy) *lossy = true;
    }
    sink(u);
    ++i;
  }
}

void AppendSjisCode(std::string& out, uint16_t code) {
  if (code > 0xFF) out.push_back(static_cast<char>(code >> 8));
  out.push_back(static_cast<char>(code & 0xFF));
}

}  // namespace

char32_t Cp932ToUnicode(uint16_t code) {
  const Tables& t = GetTables();
  if (code < 0x100) return IsSjisLeadByte(static_cast<unsigned char>(code)) ? 0 : t.decode[code];
  return t.decode[code];
}

uint16_t UnicodeToCp932(char32_t ch) {
  if (ch >= 0x10000) return 0;
  return GetTables().encode[ch];
}

bool AppendUtf8(std::string& out, char32_t ch) {
  if (ch < 0x80) {
    out.push_back(static_cast<char>(ch));
  } else if (ch < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  } else if (ch < 0x10000) {
    if (ch >= 0xD800 && ch <= 0xDFFF) return false;
    out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
    out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  } else if (ch < 0x110000) {
    out.push_back(static_cast<char>(0xF0 | (ch >> 18)));
    out.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  } else {
    return false;
  }
  return true;
}

char32_t DecodeUtf8(std::string_view s, size_t& i, bool* bad) {
  auto fail = [&]() -> char32_t {
    if (bad) *bad = true;
    ++i;
    return 0xFFFD;
  };
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  unsigned char c = p[i];
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len;
  char32_t ch;
  if ((c & 0xE0) == 0xC0) { len = 2; ch = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { len = 3; ch = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { len = 4; ch = c & 0x07; }
  else return fail();
  if (i + len > n) return fail();
  for (int k = 1; k < len; ++k) {
    if ((p[i + k] & 0xC0) != 0x80) return fail();
    ch = (ch << 6) | (p[i + k] & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (ch < kMin[len] || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) return fail();
  i += len;
  return ch;
}

std::string SjisToUtf8(std::string_view sjis, bool* lossy) {
  std::string out;
  out.reserve(sjis.size() + sjis.size() / 2);
  DecodeSjis(sjis, lossy, [&](char32_t u) { AppendUtf8(out, u); });
  return out;
}

std::u16string SjisToUtf16(std::string_view sjis, bool* lossy) {
  std::u16string out;
  out.reserve(sjis.size());
  DecodeSjis(sjis, lossy, [&](char32_t u) { out.push_back(static_cast<char16_t>(u)); });
  return out;
}

std::string Utf8ToSjis(std::string_view utf8, bool* lossy) {
  const Tables& t = GetTables();
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    bool bad = false;
    char32_t u = DecodeUtf8(utf8, i, &bad);
    uint16_t code = (!bad && u < 0x10000) ? t.encode[u] : 0;
    if (code == 0) {
      out.push_back('?');
      if (lossy) *lossy = true;
    } else {
      AppendSjisCode(out, code);
    }
  }
  return out;
}

std::string Utf16ToSjis(std::u16string_view utf16, bool* lossy) {
  const Tables& t = GetTables();
  std::string out;
  out.reserve(utf16.size() * 2);
  for (size_t i = 0; i < utf16.size(); ++i) {
    char16_t u = utf16[i];
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    uint16_t code = 0;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      ++i;  // a pair is outside the BMP: code page 932 has none of those
    } else if (!(u >= 0xD800 && u <= 0xDFFF)) {
      code = t.encode[u];
    }
    if (code == 0) {
      out.push_back('?');
      if (lossy) *lossy = true;
    } else {
      AppendSjisCode(out, code);
    }
  }
  return out;
}

bool IconvConvert(const char* to, const char* from, std::string_view in, std::string& out) {
  out.clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(in);
  char* ip = input.data();
  size_t il = input.size();
  char chunk[4096];
  bool ok = true;
  for (;;) {
    char* op = chunk;
    size_t ol = sizeof chunk;
    // A null input flushes the converter's shift state (the final ESC ( B).
    size_t r = il > 0 ? iconv(cd, &ip, &il, &op, &ol) : iconv(cd, nullptr, nullptr, &op, &ol);
    out.append(chunk, sizeof chunk - ol);
    if (r != static_cast<size_t>(-1)) {
      if (il == 0 && op == chunk) break;
      continue;
    }
    if (errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

const std::string& SJ(const char* utf8Literal) {
  static std::mutex mutex;
  // Never destroyed: threads that outlive main's statics may still log.
  static auto* cache = new std::unordered_map<const char*, std::unique_ptr<std::string>>;
  std::lock_guard lock(mutex);
  auto& slot = (*cache)[utf8Literal];
  if (!slot) slot = std::make_unique<std::string>(Utf8ToSjis(utf8Literal));
  return *slot;
}

}  // namespace zentu::os
