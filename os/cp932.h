// Code page 932 (Shift_JIS as Windows uses it) <-> Unicode.
// Tables are built once from the C library's "CP932" converter, so every code
// maps exactly as code page 932 does, including the NEC and IBM extension rows.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace zentu::os {

inline bool IsSjisLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
inline bool IsSjisTrailByte(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

// Calls `f(std::string_view ch)` for each character of a Shift_JIS text in
// order: a lead byte together with the byte after it, whatever that byte is
// (a trail byte may be "\" or "/"), every other byte alone. A lead byte that
// ends the text comes alone.
template <class F>
void ForEachSjisChar(std::string_view text, F&& f) {
  for (size_t i = 0; i < text.size();) {
    size_t n = IsSjisLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
    f(text.substr(i, n));
    i += n;
  }
}

// The length of the longest start of `text` of at most `limit` bytes that does
// not split a two-byte character.
inline size_t SjisCutLength(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t i = 0;
  while (i < limit) {
    const size_t step = IsSjisLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
    if (i + step > limit) break;
    i += step;
  }
  return i;
}
inline std::string CutSjis(std::string_view text, size_t limit) {
  return std::string(text.substr(0, SjisCutLength(text, limit)));
}

// One code: a single byte (0x00-0xFF) or a two-byte code (lead << 8 | trail).
// Returns 0xFFFF's Unicode sibling U+FFFD-free answer: 0 when the code is unmapped
// (except code 0 itself, which maps to U+0000).
char32_t Cp932ToUnicode(uint16_t code);
// Returns the code page 932 code for a BMP character, or 0 when it has none
// (U+0000 maps to 0 as well; check the character first).
uint16_t UnicodeToCp932(char32_t ch);

// Whole strings. Unmapped bytes decode to U+30FB ("・"), as code page 932 does
// for undefined two-byte codes; unmappable characters encode to "?".
// `lossy`, when given, is set when anything was replaced.
std::string SjisToUtf8(std::string_view sjis, bool* lossy = nullptr);
std::string Utf8ToSjis(std::string_view utf8, bool* lossy = nullptr);
// The Shift_JIS form of a UTF-8 string literal of the source, converted once
// per literal: the cache is keyed by the literal's address, so pass literals
// only. The text stays valid for the life of the program.
const std::string& SJ(const char* utf8Literal);
std::u16string SjisToUtf16(std::string_view sjis, bool* lossy = nullptr);
std::string Utf16ToSjis(std::u16string_view utf16, bool* lossy = nullptr);

// Converts a whole text between two encodings the C library's iconv knows
// ("CP932", "UTF-16LE", "EUC-JP-MS", ...). False when either name is unknown
// or the text holds a sequence that cannot be converted.
[[nodiscard]] bool IconvConvert(const char* to, const char* from, std::string_view in, std::string& out);

// Appends the UTF-8 form of one character; returns false for invalid scalars.
bool AppendUtf8(std::string& out, char32_t ch);
// Decodes one UTF-8 character at s[i]; advances i. Returns U+FFFD for bad input.
char32_t DecodeUtf8(std::string_view s, size_t& i, bool* bad = nullptr);

}  // namespace zentu::os
