#include "editor/kfile.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "editor/kedit.h"
#include "os/cp932.h"
#include "pagelib/codedetect.h"

namespace zentu {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(int c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// One UTF-16 code unit as Shift_JIS; what code page 932 lacks becomes "?".
int UnitToSjis(uint32_t u, uint8_t out[2]) {
  if (u == 0) {
    out[0] = 0;
    return 1;
  }
  const uint16_t code = u < 0x10000 ? os::UnicodeToCp932(static_cast<char32_t>(u)) : 0;
  if (code == 0) {
    out[0] = '?';
    return 1;
  }
  if (code > 0xFF) {
    out[0] = static_cast<uint8_t>(code >> 8);
    out[1] = static_cast<uint8_t>(code & 0xFF);
    return 2;
  }
  out[0] = static_cast<uint8_t>(code);
  return 1;
}

constexpr uint32_t kBom = 0xFEFF;

}  // namespace

// --- CKFile -----------------------------------------------------------------

CKFile::CKFile() = default;

CKFile::~CKFile() {
  if (open_ && !reading_) out_.Abandon();
}

bool CKFile::Open(std::string_view path, bool forReading, bool create) {
  if (open_) Close();
  failed_ = false;
  count_ = pos_ = 0;
  if (forReading) {
    if (!in_.Open(path, os::File::Mode::Read)) return false;
  } else {
    if (!create && !os::FileExists(path)) return false;
    if (!out_.Open(path)) return false;
  }
  if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(kBufferSize);
  open_ = true;
  reading_ = forReading;
  if (reading_) Refill();
  return true;
}

bool CKFile::Refill() {
  if (!open_ || !reading_) return false;
  count_ = in_.Read(buffer_.get(), kBufferSize);
  pos_ = 0;
  return count_ > 0;
}

bool CKFile::Rewind() {
  if (!open_ || !reading_ || !in_.Seek(0)) return false;
  Refill();
  return true;
}

size_t CKFile::Read(void* buffer, size_t n) {
  if (!open_ || !reading_) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    if (pos_ == count_ && !Refill()) break;
    size_t take = count_ - pos_ < n - done ? count_ - pos_ : n - done;
    std::memcpy(out + done, buffer_.get() + pos_, take);
    pos_ += take;
    done += take;
  }
  return done;
}

void CKFile::FlushBuffer() {
  if (count_ > 0 && !out_.Write(std::string_view(reinterpret_cast<const char*>(buffer_.get()), count_)))
    failed_ = true;
  count_ = 0;
}

bool CKFile::Write(const void* bytes, size_t n) {
  if (!open_ || reading_) return false;
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (n > 0) {
    if (count_ == kBufferSize) FlushBuffer();
    size_t take = kBufferSize - count_ < n ? kBufferSize - count_ : n;
    std::memcpy(buffer_.get() + count_, p, take);
    count_ += take;
    p += take;
    n -= take;
  }
  return !failed_;
}

bool CKFile::Close() {
  if (!open_) return false;
  open_ = false;
  if (reading_) {
    in_.Close();
    buffer_.reset();
    return true;
  }
  FlushBuffer();
  buffer_.reset();
  if (failed_) {
    out_.Abandon();
    return false;
  }
  return out_.Commit();
}

// --- Detection --------------------------------------------------------------

int CKSjisFile::DetectEncoding() {
  uint8_t head[4] = {};
  Rewind();
  const size_t got = Read(head, 4);
  if (got >= 4 && head[0] == 0xFF && head[1] == 0xFE && head[2] == 0 && head[3] == 0) return kEncUcs4Le;
  if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) return kEncUcs2Le;
  if (got >= 2 && head[0] == 0xFE && head[1] == 0xFF) return kEncUcs2Be;
  if (got >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) return kEncUtf8;
  if (got >= 4 && head[0] == 0 && head[1] == 0 && head[2] == 0xFE && head[3] == 0xFF) return kEncUcs4Be;

  Rewind();
  std::unique_ptr<uint8_t[]> bytes = std::make_unique<uint8_t[]>(16384);
  const size_t n = Read(bytes.get(), 16384);
  Rewind();
  if (n < 2) return kEncSjis;
  const uint8_t* p = bytes.get();

  bool ucs4be = n > 3, ucs4le = n > 3, seven = n > 3, utf7 = n > 3, utf8 = n > 2, euc = true, sjis = true;
  bool escSeen = false, crSeen = false, plusSeen = false;
  int count = 7;
  bool stop = false;
  auto drop = [&](bool& candidate) {
    if (!candidate) return;
    candidate = false;
    if (count == 2) stop = true;
    else --count;
  };
  static constexpr uint8_t kKatakana[8] = {0xC3, 0xDE, 0xBD, 0xB8, 0xC4, 0xAF, 0xCC, 0xDF};
  bool utf7Run = false;
  int utf8Left = 0;
  bool sjisPair = false;
  for (size_t i = 0; i < n && !stop; ++i) {
    const uint8_t c = p[i];
    if (c == 0x1B) escSeen = true;
    if (c == '+') plusSeen = true;
    if (c == '\r') crSeen = true;
    if (sjis && i + 8 <= n && std::memcmp(p + i, kKatakana, 8) == 0) return kEncSjis;
    if (c != 0 && (i & 2) == 0) drop(ucs4be);
    if (stop) break;
    if (c != 0 && (i & 2) != 0) drop(ucs4le);
    if (stop) break;
    if (c > 0x7E) {
      drop(seven);
      if (stop) break;
      drop(utf7);
      if (stop) break;
    }
    if ((c >= 0x80 && c <= 0x8D) || (c >= 0x90 && c <= 0x9F)) drop(euc);
    if (stop) break;
    if (utf7) {
      if (!utf7Run) {
        if (c == '+') utf7Run = true;
      } else if (c == '-' || c == '\n' || c == '\r') {
        utf7Run = false;
      } else if (Base64Value(c) < 0) {
        drop(utf7);
        if (stop) break;
      }
    }
    if (utf8) {
      int ones = 0;
      while (ones < 8 && (c & (0x80 >> ones))) ++ones;
      if (utf8Left == 0) {
        if (ones == 1 || c == 0xFE || c == 0xFF) drop(utf8);
        else if (ones >= 2) utf8Left = ones - 1;
      } else if (ones != 1) {
        drop(utf8);
      } else {
        --utf8Left;
      }
      if (stop) break;
    }
    if (sjis) {
      if (sjisPair) {
        sjisPair = false;
        if (c < 0x40 || c > 0xFC) drop(sjis);
      } else if (c == 0x80 || c == 0xFE || c == 0xFF) {
        drop(sjis);
      } else if (c >= 0x80 && !(c >= 0xA0 && c <= 0xDF)) {
        sjisPair = true;
      }
    }
  }
  if (ucs4be) return kEncUcs4Be;
  if (ucs4le) return kEncUcs4Le;
  if (seven) {
    if (escSeen) return kEncJis;
    if (utf7 && plusSeen) return kEncUtf7;
    return kEncSjis;
  }
  if (n <= 2048 && crSeen && sjis) return kEncSjis;
  if (euc) return kEncEucJp;
  if (utf8) return kEncUtf8;
  return kEncSjis;
}

// --- Reading ----------------------------------------------------------------

int CKSjisFile::BeginRead(int encoding) {
  if (encoding < 0) encoding = DetectEncoding();
  encoding_ = encoding;
  Rewind();
  ends_ = {};
  lookLen_ = 0;
  incomplete_ = false;
  if (encoding_ == kEncJis) {
    g_[0] = kAscii, g_[1] = kKana, g_[2] = kAscii, g_[3] = kAscii;
  } else {
    g_[0] = kAscii, g_[1] = kKanji, g_[2] = kKana, g_[3] = kAscii;
  }
  gl_ = 0, gr_ = 1;
  inBase64_ = false;
  bits_ = 0, bitCount_ = 0;
  return encoding_;
}

void CKSjisFile::ReadEscape() {
  auto setFor = [](int f) { return f == 'I' ? kKana : f == 'J' ? kRoman : kAscii; };
  const int a = GetByte();
  if (a < 0) return;
  if (a == '$') {
    const int b = GetByte();
    if (b == '@' || b == 'B') {
      g_[0] = kKanji;
    } else if (b == ')' || b == '*' || b == '+') {
      const int f = GetByte();
      if (f == '@' || f == 'B') g_[b == ')' ? 1 : b == '*' ? 2 : 3] = kKanji;
      else g_[0] = kAscii;
    } else {
      g_[0] = kAscii;
    }
  } else if (a == '(') {
    const int b = GetByte();
    g_[0] = setFor(b);
  } else if (a == ')' || a == '*' || a == '+') {
    const int b = GetByte();
    if (b == 'B' || b == 'I' || b == 'J') g_[a == ')' ? 1 : a == '*' ? 2 : 3] = setFor(b);
    else g_[0] = kAscii;
  } else {
    g_[0] = kAscii;
    // A line end after a stray ESC still ends the line.
    if (a < 0x20) UngetByte();
  }
}

int CKSjisFile::ReadIso2022(uint8_t out[2]) {
  for (;;) {
    int c = GetByte();
    if (c < 0) return 0;
    if (c == 0x1B) {
      ReadEscape();
      continue;
    }
    if (c == 0x0E) {
      gl_ = 1;
      continue;
    }
    if (c == 0x0F) {
      gl_ = 0;
      continue;
    }
    Set set;
    if (c == 0x8E || c == 0x8F) {
      set = g_[c == 0x8E ? 2 : 3];
      c = GetByte();
      if (c < 0) return 0;
    } else {
      set = (c & 0x80) ? g_[gr_] : g_[gl_];
    }
    if ((c & 0x7F) < 0x20) {
      out[0] = static_cast<uint8_t>(c);
      return 1;
    }
    switch (set) {
      case kAscii:
      case kRoman:
        out[0] = static_cast<uint8_t>(c & 0x7F);
        return 1;
      case kKana:
        out[0] = static_cast<uint8_t>(c | 0x80);
        return 1;
      case kKanji: {
        const int d = GetByte();
        if (d < 0) {
          incomplete_ = true;
          return 0;
        }
        const unsigned j1 = c & 0x7F, j2 = d & 0x7F;
        const uint16_t sjis = (j1 == 0x7F || j2 < 0x21 || j2 == 0x7F) ? 0 : JisToSjis(static_cast<uint16_t>((j1 << 8) | j2));
        if (sjis == 0) {
          // Not a pair: the first byte alone, and the second (a line end,
          // say) is read for itself.
          UngetByte();
          out[0] = static_cast<uint8_t>(c);
          return 1;
        }
        out[0] = static_cast<uint8_t>(sjis >> 8);
        out[1] = static_cast<uint8_t>(sjis & 0xFF);
        return 2;
      }
    }
    return 0;
  }
}

int CKSjisFile::ReadUtf7(uint8_t out[2]) {
  for (;;) {
    const int c = GetByte();
    if (c < 0) return 0;
    if (!inBase64_) {
      if (c == '+') {
        const int d = GetByte();
        if (d < 0) return 0;
        if (d == '-') return UnitToSjis('+', out);
        UngetByte();
        inBase64_ = true;
        bits_ = 0, bitCount_ = 0;
        continue;
      }
      return UnitToSjis(static_cast<uint32_t>(c), out);
    }
    const int v = Base64Value(c);
    if (v < 0) {
      inBase64_ = false;
      if (c == '-') continue;
      return UnitToSjis(static_cast<uint32_t>(c), out);
    }
    bits_ = (bits_ << 6) | static_cast<uint32_t>(v);
    bitCount_ += 6;
    if (bitCount_ >= 16) {
      bitCount_ -= 16;
      const uint32_t u = (bits_ >> bitCount_) & 0xFFFF;
      bits_ &= (1u << bitCount_) - 1;
      if (u == kBom) continue;
      return UnitToSjis(u, out);
    }
  }
}

int CKSjisFile::ReadUtf8(uint8_t out[2]) {
  for (;;) {
    const int c = GetByte();
    if (c < 0) return 0;
    if (c < 0x80) {
      out[0] = static_cast<uint8_t>(c);
      return 1;
    }
    int more;
    uint32_t u;
    if ((c & 0xE0) == 0xC0) more = 1, u = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) more = 2, u = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) more = 3, u = c & 0x07;  // beyond the BMP: read whole, shown as "?"
    else {
      incomplete_ = true;
      return 0;
    }
    for (int k = 0; k < more; ++k) {
      const int d = GetByte();
      if (d < 0 || (d & 0xC0) != 0x80) {
        incomplete_ = true;
        return 0;
      }
      u = (u << 6) | static_cast<uint32_t>(d & 0x3F);
    }
    if (u == kBom) continue;
    return UnitToSjis(u, out);
  }
}

int CKSjisFile::ReadRaw(uint8_t out[2]) {
  switch (encoding_) {
    case kEncSjis: {
      const int c = GetByte();
      if (c < 0) return 0;
      out[0] = static_cast<uint8_t>(c);
      if (!os::IsSjisLeadByte(static_cast<unsigned char>(c))) return 1;
      const int d = GetByte();
      // A lead byte that ends the file stays: nothing of the file is lost.
      if (d < 0) return 1;
      out[1] = static_cast<uint8_t>(d);
      return 2;
    }
    case kEncEucJp:
    case kEncJis:
      return ReadIso2022(out);
    case kEncUcs2Le:
    case kEncUcs2Be:
      for (;;) {
        const int a = GetByte();
        if (a < 0) return 0;
        const int b = GetByte();
        if (b < 0) {
          incomplete_ = true;
          return 0;
        }
        const uint32_t u = encoding_ == kEncUcs2Le ? static_cast<uint32_t>(a | (b << 8)) : static_cast<uint32_t>((a << 8) | b);
        if (u != kBom) return UnitToSjis(u, out);
      }
    case kEncUcs4Le:
    case kEncUcs4Be:
      for (;;) {
        int b[4];
        for (int k = 0; k < 4; ++k) {
          b[k] = GetByte();
          if (b[k] < 0) {
            if (k > 0) incomplete_ = true;
            return 0;
          }
        }
        const uint32_t u = encoding_ == kEncUcs4Le
                               ? static_cast<uint32_t>(b[0] | (b[1] << 8) | (b[2] << 16)) | (static_cast<uint32_t>(b[3]) << 24)
                               : (static_cast<uint32_t>(b[0]) << 24) | static_cast<uint32_t>((b[1] << 16) | (b[2] << 8) | b[3]);
        if (u != kBom) return UnitToSjis(u, out);
      }
    case kEncUtf7:
      return ReadUtf7(out);
    case kEncUtf8:
      return ReadUtf8(out);
    case kEncEbcdic: {
      const int c = GetByte();
      if (c < 0) return 0;
      out[0] = EbcdicToSjisTable()[static_cast<uint8_t>(c)];
      return 1;
    }
    default:
      return 0;
  }
}

int CKSjisFile::ReadChar(char out[2]) {
  auto* o = reinterpret_cast<uint8_t*>(out);
  int n;
  if (lookLen_ > 0) {
    n = lookLen_;
    o[0] = look_[0];
    o[1] = look_[1];
    lookLen_ = 0;
  } else {
    n = ReadRaw(o);
  }
  if (n != 1) return n;
  if (o[0] == '\n') {
    ++ends_.lf;
  } else if (o[0] == '\r') {
    const int m = ReadRaw(look_);
    if (m == 1 && look_[0] == '\n') {
      ++ends_.crlf;
    } else {
      ++ends_.cr;
      lookLen_ = m;
    }
    o[0] = '\n';
  }
  return 1;
}

template <class Line>
void CKSjisFile::ReserveLines(std::vector<Line>& lines) {
  const int64_t size = FileSize();
  size_t avail;
  const uint8_t* p = Pending(avail);
  if (size <= 0 || avail == 0) return;
  size_t breaks = 0;
  for (const uint8_t *q = p, *end = p + avail; (q = static_cast<const uint8_t*>(std::memchr(q, '\n', end - q)));
       ++q)
    ++breaks;
  if (breaks == 0) {
    for (const uint8_t *q = p, *end = p + avail; (q = static_cast<const uint8_t*>(std::memchr(q, '\r', end - q)));
         ++q)
      ++breaks;
  }
  // An eighth more than the sample promises, but never more lines than a
  // sixteenth of the bytes: a file that starts with short lines must not
  // reserve many times its size.
  const double perByte = static_cast<double>(breaks) / static_cast<double>(avail);
  const size_t guess = static_cast<size_t>(perByte * static_cast<double>(size) * 1.125) + 16;
  lines.reserve(lines.size() + std::min(guess, static_cast<size_t>(size) / 16 + 16));
}

template <class Line>
void CKSjisFile::ReadLinesInto(std::vector<Line>& lines) {
  ReserveLines(lines);
  std::string line;
  if (encoding_ != kEncSjis || lookLen_ > 0) {
    char ch[2];
    for (int n; (n = ReadChar(ch)) > 0;) {
      if (n == 1 && ch[0] == '\n') {
        lines.emplace_back(std::move(line));
        line = std::string();
      } else {
        line.append(ch, static_cast<size_t>(n));
      }
    }
    lines.emplace_back(std::move(line));
    return;
  }
  // Shift_JIS is the editor's own text: whole runs between line ends are
  // copied out of the buffer, the same characters ReadChar gives.
  static constexpr auto kClass = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
      if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) t[b] = 1;
    }
    t['\r'] = 2;
    t['\n'] = 2;
    return t;
  }();
  auto endLine = [&](const uint8_t* start, size_t len) {
    if (line.empty()) {
      lines.emplace_back(std::string(reinterpret_cast<const char*>(start), len));
    } else {
      line.append(reinterpret_cast<const char*>(start), len);
      lines.emplace_back(std::move(line));
      line = std::string();
    }
  };
  for (;;) {
    size_t avail;
    const uint8_t* start = Pending(avail);
    if (avail == 0) {
      if (!Refill()) break;
      continue;
    }
    const uint8_t* p = start;
    const uint8_t* end = start + avail;
    uint8_t cls = 0;
    while (p < end) {
      cls = kClass[*p];
      if (cls == 0) {
        ++p;
      } else if (cls == 1 && p + 1 < end) {
        p += 2;
      } else {
        break;
      }
    }
    if (p == end) {
      line.append(reinterpret_cast<const char*>(start), avail);
      Consume(avail);
      continue;
    }
    const size_t run = static_cast<size_t>(p - start);
    const uint8_t c = *p;
    if (cls == 1) {
      // A lead byte at the end of the buffer: its trail byte is in the next.
      line.append(reinterpret_cast<const char*>(start), run + 1);
      Consume(run + 1);
      const int d = GetByte();
      if (d < 0) break;
      line.push_back(static_cast<char>(d));
      continue;
    }
    endLine(start, run);
    Consume(run + 1);
    if (c == '\n') {
      ++ends_.lf;
    } else {
      const int d = GetByte();
      if (d == '\n') {
        ++ends_.crlf;
      } else {
        ++ends_.cr;
        if (d >= 0) UngetByte();
      }
    }
  }
  lines.emplace_back(std::move(line));
}


void CKSjisFile::ReadLines(std::vector<std::string>& lines) { ReadLinesInto(lines); }
void CKSjisFile::ReadLines(std::vector<CKEditLine>& lines) { ReadLinesInto(lines); }

std::string_view CKSjisFile::DominantLineEnd() const {
  if (ends_.lf > ends_.crlf && ends_.lf >= ends_.cr) return "\n";
  if (ends_.cr > ends_.crlf && ends_.cr > ends_.lf) return "\r";
  return "\r\n";
}

// --- Writing ----------------------------------------------------------------

bool CKSjisFile::BeginWrite(int encoding) {
  encoding_ = encoding;
  jisMode_ = kAscii;
  inBase64_ = false;
  bits_ = 0, bitCount_ = 0;
  writeFailed_ = false;
  static constexpr std::string_view kPrefix[kEncCount] = {
      "", "", "\x1B(B", "\xFF\xFE", "\xFE\xFF", "", "\xEF\xBB\xBF", std::string_view("\xFF\xFE\0\0", 4),
      std::string_view("\0\0\xFE\xFF", 4), ""};
  if (encoding < 0 || encoding >= kEncCount) return false;
  return Write(kPrefix[encoding].data(), kPrefix[encoding].size());
}

void CKSjisFile::SwitchJis(Set set) {
  if (jisMode_ == set) return;
  jisMode_ = set;
  PutByte(0x1B);
  PutByte(set == kKanji ? '$' : '(');
  PutByte(set == kKanji ? 'B' : set == kKana ? 'I' : 'B');
}

void CKSjisFile::WriteJisOrEuc(const uint8_t* p, size_t n) {
  const bool jis = encoding_ == kEncJis;
  auto ascii = [&](uint8_t c) {
    if (jis) SwitchJis(kAscii);
    PutByte(c);
  };
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = p[i];
    if (c < 0x80) {
      ascii(c);
    } else if (c >= 0xA1 && c <= 0xDF) {
      if (jis) {
        SwitchJis(kKana);
        PutByte(c & 0x7F);
      } else {
        PutByte(0x8E);
        PutByte(c);
      }
    } else if (os::IsSjisLeadByte(c)) {
      const uint8_t trail = i + 1 < n ? p[++i] : 0x40;
      uint16_t code = static_cast<uint16_t>((c << 8) | trail);
      if (IsIbmExtension(code)) code = IbmExtensionToNec(code);
      const uint16_t pair = SjisToJis(code);
      if (pair == 0) {
        // A code JIS X 0208 has no place for (user-defined rows, a broken pair).
        ascii('?');
      } else if (jis) {
        SwitchJis(kKanji);
        PutByte(static_cast<uint8_t>(pair >> 8));
        PutByte(static_cast<uint8_t>(pair & 0xFF));
      } else {
        PutByte(static_cast<uint8_t>((pair >> 8) | 0x80));
        PutByte(static_cast<uint8_t>((pair & 0xFF) | 0x80));
      }
    } else {
      ascii('?');  // 0x80, 0xA0 and 0xFD-0xFF are characters of code page 932 alone
    }
  }
}

void CKSjisFile::CloseUtf7Run(bool minus) {
  if (!inBase64_) return;
  if (bitCount_ > 0) PutByte(static_cast<uint8_t>(kBase64[(bits_ << (6 - bitCount_)) & 63]));
  if (minus) PutByte('-');
  inBase64_ = false;
  bits_ = 0, bitCount_ = 0;
}

void CKSjisFile::WriteUnit(char16_t u) {
  switch (encoding_) {
    case kEncUcs2Le:
      PutByte(static_cast<uint8_t>(u & 0xFF));
      PutByte(static_cast<uint8_t>(u >> 8));
      break;
    case kEncUcs2Be:
      PutByte(static_cast<uint8_t>(u >> 8));
      PutByte(static_cast<uint8_t>(u & 0xFF));
      break;
    case kEncUcs4Le:
      PutByte(static_cast<uint8_t>(u & 0xFF));
      PutByte(static_cast<uint8_t>(u >> 8));
      PutByte(0);
      PutByte(0);
      break;
    case kEncUcs4Be:
      PutByte(0);
      PutByte(0);
      PutByte(static_cast<uint8_t>(u >> 8));
      PutByte(static_cast<uint8_t>(u & 0xFF));
      break;
    case kEncUtf8:
      if (u < 0x80) {
        PutByte(static_cast<uint8_t>(u));
      } else if (u < 0x800) {
        PutByte(static_cast<uint8_t>(0xC0 | (u >> 6)));
        PutByte(static_cast<uint8_t>(0x80 | (u & 0x3F)));
      } else {
        PutByte(static_cast<uint8_t>(0xE0 | (u >> 12)));
        PutByte(static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F)));
        PutByte(static_cast<uint8_t>(0x80 | (u & 0x3F)));
      }
      break;
    case kEncUtf7:
      if (u < 0x80 && u != '+') {
        CloseUtf7Run(u != '\r' && u != '\n');
        PutByte(static_cast<uint8_t>(u));
        break;
      }
      if (!inBase64_) {
        PutByte('+');
        inBase64_ = true;
        bits_ = 0, bitCount_ = 0;
      }
      bits_ = (bits_ << 16) | u;
      bitCount_ += 16;
      while (bitCount_ >= 6) {
        bitCount_ -= 6;
        PutByte(static_cast<uint8_t>(kBase64[(bits_ >> bitCount_) & 63]));
      }
      bits_ &= (1u << bitCount_) - 1;
      break;
    default:
      break;
  }
}

bool CKSjisFile::WriteText(const char* bytes, size_t n) {
  if (!IsOpen() || IsReading()) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes);
  switch (encoding_) {
    case kEncSjis:
      return Write(bytes, n);
    case kEncEucJp:
    case kEncJis:
      WriteJisOrEuc(p, n);
      break;
    case kEncEbcdic: {
      const auto& table = SjisToEbcdicTable();
      for (size_t i = 0; i < n; ++i) PutByte(table[p[i]]);
      break;
    }
    default: {
      const std::u16string units = os::SjisToUtf16(std::string_view(bytes, n));
      for (char16_t u : units) WriteUnit(u);
      break;
    }
  }
  // PutByte's failures surface through an empty write.
  return Write("", 0);
}

bool CKSjisFile::EndWrite() {
  if (!IsOpen() || IsReading()) return false;
  if (encoding_ == kEncJis) SwitchJis(kAscii);
  if (encoding_ == kEncUtf7) CloseUtf7Run(true);
  return Write("", 0);
}

// --- Whole files ------------------------------------------------------------

int ReadTextFile(std::string_view path, std::vector<std::string>& lines, TextFileInfo& info, int encoding) {
  CKSjisFile file;
  if (!file.Open(path, true, false)) return 0;
  TextFileInfo got;
  got.encoding = file.BeginRead(encoding);
  std::vector<std::string> read;
  file.ReadLines(read);
  got.lineEnds = file.LineEnds();
  got.lineEnd = std::string(file.DominantLineEnd());
  got.complete = !file.Incomplete();
  file.Close();
  lines = std::move(read);
  info = std::move(got);
  return 1;
}

int ReadTextFileIntoEditor(std::string_view path, CKEdit& edit, TextFileInfo& info, int encoding,
                           const std::string* firstLine) {
  CKSjisFile file;
  if (!file.Open(path, true, false)) return 0;
  TextFileInfo got;
  got.encoding = file.BeginRead(encoding);
  std::vector<CKEditLine> chain;
  if (firstLine) chain.emplace_back(*firstLine);
  file.ReadLines(chain);
  got.lineEnds = file.LineEnds();
  got.lineEnd = std::string(file.DominantLineEnd());
  got.complete = !file.Incomplete();
  file.Close();
  edit.ClearText();
  edit.AppendLines(std::move(chain));
  edit.SetModified(false);
  info = std::move(got);
  return 1;
}

int WriteTextFile(std::string_view path, const std::vector<std::string>& lines, int encoding, std::string_view lineEnd) {
  CKSjisFile file;
  if (!file.Open(path, false, true)) return 0;
  bool ok = file.BeginWrite(encoding);
  for (size_t i = 0; ok && i < lines.size(); ++i) {
    if (i > 0) ok = file.WriteText(lineEnd);
    ok = ok && file.WriteText(lines[i]);
  }
  ok = ok && file.EndWrite();
  // An unclosed writer is abandoned with the file, so a failure leaves the old file.
  return ok && file.Close() ? 1 : 0;
}

}  // namespace zentu
