#include "os/path.h"

#include "os/cp932.h"

namespace zentu::os {
namespace {

// Index of the last "\" of a Shift_JIS path, or npos.
size_t LastSeparator(std::string_view path) {
  size_t last = std::string_view::npos;
  ForEachSjisChar(path, [&](std::string_view ch) {
    if (ch == "\\") last = static_cast<size_t>(ch.data() - path.data());
  });
  return last;
}

// A reference "&#N;" at text[at] that stands for something a Shift_JIS name
// cannot hold: its value (a character, or 0xDC80 + a byte that was no UTF-8),
// with `length` set. 0 for anything else, which stays literal text.
char32_t NameReferenceAt(std::string_view text, size_t at, size_t& length) {
  size_t i = at + 2;
  char32_t value = 0;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 8) {
    value = value * 10 + static_cast<char32_t>(text[i] - '0');
    ++i;
    ++digits;
  }
  if (digits == 0 || i >= text.size() || text[i] != ';') return 0;
  bool escapedByte = value >= 0xDC80 && value <= 0xDCFF;
  bool unheld = value > 0x7F && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF) &&
                (value >= 0x10000 || UnicodeToCp932(value) == 0);
  if (value != '&' && !escapedByte && !unheld) return 0;
  length = i + 1 - at;
  return value;
}

void AppendReference(std::string& out, uint32_t value) { out += "&#" + std::to_string(value) + ";"; }

// Length of the valid UTF-8 sequence at s[i], 0 when the bytes are no character.
size_t Utf8SequenceAt(std::string_view s, size_t i, char32_t& u) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  u = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (size_t k = 1; k < n; ++k) {
    unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    u = (u << 6) | (t & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (u < kMin[n] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string ProgramNameFromNative(std::string_view native, bool* lossy) {
  std::string out;
  out.reserve(native.size());
  for (size_t i = 0; i < native.size();) {
    unsigned char c = static_cast<unsigned char>(native[i]);
    if (c < 0x80) {
      // A literal "&#" is written "&#38;#" so that it never reads as a reference.
      if (c == '&' && i + 1 < native.size() && native[i + 1] == '#') {
        out += "&#38;";
      } else {
        out.push_back(static_cast<char>(c));
      }
      ++i;
      continue;
    }
    char32_t u = 0;
    size_t n = Utf8SequenceAt(native, i, u);
    if (n == 0) {
      AppendReference(out, 0xDC00 + c);
      if (lossy) *lossy = true;
      ++i;
      continue;
    }
    uint16_t code = u < 0x10000 ? UnicodeToCp932(u) : 0;
    if (code == 0) {
      AppendReference(out, u);
      if (lossy) *lossy = true;
    } else if (code < 0x100) {
      out.push_back(static_cast<char>(code));
    } else {
      out.push_back(static_cast<char>(code >> 8));
      out.push_back(static_cast<char>(code & 0xFF));
    }
    i += n;
  }
  return out;
}

std::optional<std::string> ToNativePath(std::string_view path) {
  if (path.empty()) return std::nullopt;
  std::string_view rest = path;
  bool absolute = false;
  if (path.size() >= 2 && path[1] == ':') {
    char d = path[0];
    if (d != 'Z' && d != 'z') return std::nullopt;  // no such drive here
    rest = path.substr(2);
    absolute = true;
    if (!rest.empty() && rest[0] != '\\' && rest[0] != '/') return std::nullopt;  // drive-relative
  } else if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
    return std::nullopt;  // network path
  }
  std::string out;
  out.reserve(rest.size() + 1);
  bool lossy = false;
  std::string utf8;
  // References stand for what the native name holds and Shift_JIS cannot
  // (ProgramNameFromNative); "&#" occurs in Shift_JIS text only as itself.
  for (size_t from = 0;;) {
    size_t amp = rest.find("&#", from);
    size_t length = 0;
    char32_t value = 0;
    while (amp != std::string_view::npos && (value = NameReferenceAt(rest, amp, length)) == 0)
      amp = rest.find("&#", amp + 1);
    utf8 += SjisToUtf8(rest.substr(from, amp == std::string_view::npos ? std::string_view::npos : amp - from), &lossy);
    if (lossy) return std::nullopt;  // bytes that name no character cannot name a file
    if (amp == std::string_view::npos) break;
    if (value >= 0xDC80 && value <= 0xDCFF) {
      utf8.push_back(static_cast<char>(value - 0xDC00));
    } else {
      AppendUtf8(utf8, value);
    }
    from = amp + length;
  }
  for (char c : utf8) {
    if (c == '\0') return std::nullopt;
    out.push_back(c == '\\' ? '/' : c);
  }
  if (absolute && out.empty()) out = "/";
  return out;
}

std::string FromNativePath(std::string_view native, bool* lossy) {
  std::string sjis = ProgramNameFromNative(native, lossy);
  std::string out;
  out.reserve(sjis.size() + 2);
  bool absolute = !native.empty() && native[0] == '/';
  if (absolute) out = "Z:";
  ForEachSjisChar(sjis, [&](std::string_view ch) { out += ch == "/" ? std::string_view("\\") : ch; });
  return out;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (out.empty()) return std::string(name);
  size_t last = LastSeparator(out);
  bool endsWithSep = last != std::string::npos && last == out.size() - 1;
  while (!name.empty() && (name[0] == '\\' || name[0] == '/')) name.remove_prefix(1);
  if (!endsWithSep) out.push_back('\\');
  out.append(name);
  return out;
}

std::string DirectoryOf(std::string_view path) {
  size_t last = LastSeparator(path);
  if (last == std::string_view::npos) return "";
  return std::string(path.substr(0, last));
}

std::string FileNameOf(std::string_view path) {
  size_t last = LastSeparator(path);
  if (last == std::string_view::npos) return std::string(path);
  return std::string(path.substr(last + 1));
}

std::string NormalizeSettingPath(std::string_view path) {
  if (!path.empty() && path[0] == '/' && !(path.size() > 1 && path[1] == '/')) {
    // A native absolute path typed by the user: it is UTF-8 only if it came from
    // the system; settings are Shift_JIS already, so only separators change.
    std::string out = "Z:";
    ForEachSjisChar(path, [&](std::string_view ch) { out += ch == "/" ? std::string_view("\\") : ch; });
    return out;
  }
  return std::string(path);
}

}  // namespace zentu::os
