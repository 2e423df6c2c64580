// Japanese code detection and conversion: guesses the encoding of a downloaded
// text from how many real kana each candidate encoding would give, and turns
// the text into Shift_JIS (code page 932), the program's one text encoding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zentu {

// Encoding codes, stored on download jobs.
inline constexpr int kCodeSjis = 0;        // Shift_JIS; the default when nothing else wins
inline constexpr int kCodeSjisStored = 1;  // set by a job when its text is already Shift_JIS
inline constexpr int kCodeJis = 2;         // ISO-2022-JP
inline constexpr int kCodeEuc = 3;         // EUC-JP
inline constexpr int kCodeUnicode = 4;     // UTF-16 little-endian
inline constexpr int kCodeUtf8 = 5;
inline constexpr int kCodeUtf7 = 6;
inline constexpr int kCodeUniBE = 7;       // UTF-16 big-endian

// Guesses the encoding of `length` bytes. Never returns kCodeSjisStored.
[[nodiscard]] int DetectCode(const char* bytes, size_t length);
[[nodiscard]] inline int DetectCode(std::string_view text) { return DetectCode(text.data(), text.size()); }

// The text converted from `code` to Shift_JIS. Codes 0, 1 and unknown codes give
// a plain copy. A leading byte order mark of the code is dropped. Characters
// without a code page 932 equivalent and broken sequences become "?", so the
// result never holds a lead byte without its trail byte.
[[nodiscard]] std::string ConvertToSjis(std::string_view text, int code);

// What becomes of a character that code page 932 cannot hold.
enum class Unmapped {
  Question,   // "?"
  Reference,  // a decimal numeric character reference ("&#223;"): for HTML and XML text,
              // where it reads as the character itself and nothing is lost
};
// ConvertToSjis with the choice for such characters. Broken sequences still
// become "?"; with Unmapped::Reference the result may be longer than the text.
[[nodiscard]] std::string ConvertToSjis(std::string_view text, int code, Unmapped unmapped);

// The label logged for a code, e.g. "CODE TYPE : EUC"; "Undefined" for others.
[[nodiscard]] const char* CodeName(int code);

bool IsSjisLead(unsigned char byte);
bool IsSjisTrail(unsigned char byte);

// JIS X 0208 code (row byte << 8 | cell byte, each 0x21-0x7E) to Shift_JIS and
// back by the standard arithmetic; 0 when the input is outside the range.
[[nodiscard]] uint16_t JisToSjis(uint16_t jis);
[[nodiscard]] uint16_t SjisToJis(uint16_t sjis);

}  // namespace zentu
