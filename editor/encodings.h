// The ten encodings of the editor's text files, their status-bar labels and
// the byte tables the reader and writer share.
#pragma once
#include <array>
#include <cstdint>

namespace zentu {

inline constexpr int kEncSjis = 0;
inline constexpr int kEncEucJp = 1;
inline constexpr int kEncJis = 2;
inline constexpr int kEncUcs2Le = 3;
inline constexpr int kEncUcs2Be = 4;
inline constexpr int kEncUtf7 = 5;
inline constexpr int kEncUtf8 = 6;
inline constexpr int kEncUcs4Le = 7;
inline constexpr int kEncUcs4Be = 8;
inline constexpr int kEncEbcdic = 9;
inline constexpr int kEncCount = 10;

// "[SJIS]", "[EUC-JP]", ...; UCS-2 big-endian and unknown numbers show "[Unknown]".
const char* EncodingLabel(int encoding);

// The single-byte Japanese EBCDIC (katakana) set <-> Shift_JIS single bytes.
// Each table is the inverse of the other, so every byte survives a round trip.
const std::array<uint8_t, 256>& EbcdicToSjisTable();
const std::array<uint8_t, 256>& SjisToEbcdicTable();

// An IBM extended character (lead 0xFA, 0xFB with a trail of 0x40 or more, 0xFC
// with a trail in 0x40-0x4F) as the same character in the NEC-selected rows
// 0xED-0xEE, or, for the few that have no place there, in the NEC special row
// or the JIS rows: the codes EUC-JP and JIS can carry. Other codes come back as
// they are.
uint16_t IbmExtensionToNec(uint16_t sjis);
inline bool IsIbmExtension(uint16_t sjis) {
  const unsigned lead = sjis >> 8, trail = sjis & 0xFF;
  return ((lead == 0xFA || lead == 0xFB) && trail >= 0x40) || (lead == 0xFC && trail >= 0x40 && trail <= 0x4F);
}

}  // namespace zentu
