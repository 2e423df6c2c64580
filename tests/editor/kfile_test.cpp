#include "editor/kfile.h"

#include <gtest/gtest.h>

#include <random>

#include "editor/encodings.h"
#include "os/cp932.h"
#include "os/file.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

std::string Iconv(const char* to, const std::string& sjis) {
  std::string out;
  EXPECT_TRUE(os::IconvConvert(to, "CP932", sjis, out)) << to;
  return out;
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at; (at = text.find(end, from)) != std::string::npos; from = at + end.size())
    lines.push_back(text.substr(from, at - from));
  lines.push_back(text.substr(from));
  return lines;
}

class KFileTest : public testing::TempHome {
 protected:
  std::string File(const std::string& bytes, const std::string& name = "t.txt") {
    WriteNative(name, bytes);
    return Path(name);
  }
  int Detect(const std::string& bytes) {
    CKSjisFile f;
    EXPECT_TRUE(f.Open(File(bytes), true, false));
    return f.BeginRead(-1);
  }
  std::vector<std::string> Read(const std::string& bytes, TextFileInfo& info, int encoding = -1) {
    std::vector<std::string> lines;
    EXPECT_EQ(1, ReadTextFile(File(bytes), lines, info, encoding));
    return lines;
  }
  std::string Write(const std::vector<std::string>& lines, int encoding, const std::string& end = "\r\n") {
    EXPECT_EQ(1, WriteTextFile(Path("out.txt"), lines, encoding, end));
    return ReadNative("out.txt");
  }
};

TEST_F(KFileTest, DetectsTheEncodingOfAFile) {
  const std::string sjisKana = SJ("日本語のテキストです。かなと漢字。");
  const std::string eucLong = Iconv("EUC-JP-MS", std::string(3000, 'a') + sjisKana + "\r\n");
  struct Row {
    std::string bytes;
    int expected;
    const char* why;
  } rows[] = {
      {Bytes({0xFF, 0xFE, 0x41, 0x00}), kEncUcs2Le, "FF FE then a character"},
      {Bytes({0xFF, 0xFE, 0x00, 0x00, 0x41, 0, 0, 0}), kEncUcs4Le, "FF FE 00 00"},
      {Bytes({0xFE, 0xFF, 0x00, 0x41}), kEncUcs2Be, "FE FF"},
      {Bytes({0xEF, 0xBB, 0xBF, 'a'}), kEncUtf8, "UTF-8 mark"},
      {Bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, 'a'}), kEncUcs4Be, "UCS-4 big-endian mark"},
      {Bytes({0, 0, 0, 'a', 0, 0, 0, 'b'}), kEncUcs4Be, "UCS-4 big-endian without a mark"},
      {Bytes({'a', 0, 0, 0, 'b', 0, 0, 0}), kEncUcs4Le, "UCS-4 little-endian without a mark"},
      {"abc \x1B$B$\"\x1B(B", kEncJis, "ASCII with ESC"},
      {"Hi +ZeVnLIqe- there", kEncUtf7, "a plus sign and base64 up to a minus sign"},
      {"a+b=c, d!", kEncSjis, "a plus sign followed by a non-base64 byte"},
      {"plain ascii text\r\n", kEncSjis, "plain ASCII"},
      {"x", kEncSjis, "one byte"},
      {sjisKana + "\r\n", kEncSjis, "Shift_JIS with kanji"},
      {Iconv("EUC-JP-MS", sjisKana) + "\n", kEncEucJp, "EUC-JP without a CR"},
      {SJ("ﾃｽﾄ ｶﾀｶﾅ ") + Bytes({0xC3, 0xDE, 0xBD, 0xB8, 0xC4, 0xAF, 0xCC, 0xDF}), kEncSjis, "the half-width signature"},
      {Iconv("UTF-8", sjisKana), kEncUtf8, "UTF-8 without a mark"},
      {eucLong, kEncEucJp, "EUC-JP above 2048 bytes"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.expected, Detect(row.bytes)) << row.why;

  // Bytes that both Shift_JIS and EUC-JP can read: a small file with a CR is
  // Shift_JIS; without the CR, or above 2048 bytes, it is EUC-JP.
  const std::string both = Bytes({0xB4, 0xC1, 0xBB, 0xFA, 0xA4, 0xA2});  // 漢字あ in EUC-JP
  EXPECT_EQ(kEncSjis, Detect(both + "\r\n"));
  EXPECT_EQ(kEncEucJp, Detect(both + "\n"));
  EXPECT_EQ(kEncEucJp, Detect(std::string(2100, 'x') + both + "\r\n"));
}

TEST_F(KFileTest, EveryEncodingRoundTripsByteForByte) {
  // Hiragana, kanji, full-width symbols, the NEC special row, a backslash and a tilde.
  const std::string text = SJ("Zentu の試験\\~ ①ⅠⅡ㈱ 〜－\n二行目 kanji 漢字\n\n最後の行");
  const std::string kana = SJ("ｶﾀｶﾅ half ｱｲｳ｡\n");
  const std::string crlf = [&] {
    std::string s;
    for (char c : text) {
      if (c == '\n') s += '\r';
      s += c;
    }
    return s;
  }();
  auto withCrLf = [&](const char* to) { return Iconv(to, crlf); };
  // UTF-7 by hand: "+" itself is base64 too, and a run before a line end has no minus sign.
  const std::string utf7 = "a+ACs-b +ZeVnLIqe\r\n+MEIwRA\r\nx+MEI-";
  const std::vector<std::string> utf7Lines = {"a+b " + SJ("日本語"), SJ("あい"), "x" + SJ("あ")};
  // JIS with the half-width katakana escape, by hand.
  const std::string jisKana = "\x1B(BA\x1B(I6\x1B(B\r\n\x1B$B4A\x1B(I1\x1B(B";
  // EBCDIC by hand: "ABC 1!" CR LF and katakana.
  const std::string ebcdic = Bytes({0xC1, 0xC2, 0xC3, 0x40, 0xF1, 0x5A, 0x0D, 0x25, 0x81, 0x41});

  struct Row {
    int encoding;
    std::string file;
    int readAs;  // -1: detected
    std::vector<std::string> lines;  // empty: not checked
  } rows[] = {
      {kEncSjis, crlf, -1, SplitLines(text, "\n")},
      {kEncEucJp, Iconv("EUC-JP-MS", text + "\n" + kana), -1, SplitLines(text + "\n" + kana, "\n")},
      {kEncJis, "\x1B(B" + Iconv("ISO-2022-JP", SJ("JIS の試験\r\n二行目 漢字")), -1, {SJ("JIS の試験"), SJ("二行目 漢字")}},
      {kEncJis, jisKana, -1, {"A" + SJ("ｶ"), SJ("漢ｱ")}},
      {kEncUcs2Le, "\xFF\xFE" + withCrLf("UTF-16LE"), -1, SplitLines(text, "\n")},
      {kEncUcs2Be, "\xFE\xFF" + withCrLf("UTF-16BE"), -1, SplitLines(text, "\n")},
      {kEncUtf7, utf7, -1, utf7Lines},
      {kEncUtf8, "\xEF\xBB\xBF" + withCrLf("UTF-8"), -1, SplitLines(text, "\n")},
      {kEncUcs4Le, Bytes({0xFF, 0xFE, 0, 0}) + withCrLf("UCS-4LE"), -1, SplitLines(text, "\n")},
      {kEncUcs4Be, Bytes({0, 0, 0xFE, 0xFF}) + withCrLf("UCS-4BE"), -1, SplitLines(text, "\n")},
      {kEncEbcdic, ebcdic, kEncEbcdic, {"ABC 1!", SJ("ｱ｡")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(EncodingLabel(row.encoding));
    TextFileInfo info;
    std::vector<std::string> lines = Read(row.file, info, row.readAs);
    EXPECT_EQ(row.encoding, info.encoding);
    EXPECT_TRUE(info.complete);
    if (!row.lines.empty()) {
      EXPECT_EQ(row.lines, lines);
    }
    EXPECT_EQ(row.file, Write(lines, info.encoding, info.lineEnd));
  }
}

TEST_F(KFileTest, LineEndsOfEveryKindEndOneLine) {
  struct Row {
    std::string bytes;
    std::vector<std::string> lines;
    LineEndCounts counts;
    std::string dominant;
  } rows[] = {
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}, {1, 1, 1}, "\r\n"},
      {"a\r\r\nb", {"a", "", "b"}, {1, 0, 1}, "\r\n"},
      {"a\nb\nc\r\n", {"a", "b", "c", ""}, {1, 2, 0}, "\n"},
      {"a\rb\rc", {"a", "b", "c"}, {0, 0, 2}, "\r"},
      {"a\r", {"a", ""}, {0, 0, 1}, "\r"},
      {"", {""}, {0, 0, 0}, "\r\n"},
  };
  for (const Row& row : rows) {
    for (int enc : {kEncSjis, kEncUtf8, kEncEucJp}) {
      TextFileInfo info;
      EXPECT_EQ(row.lines, Read(row.bytes, info, enc)) << enc;
      EXPECT_EQ(row.counts.crlf, info.lineEnds.crlf);
      EXPECT_EQ(row.counts.lf, info.lineEnds.lf);
      EXPECT_EQ(row.counts.cr, info.lineEnds.cr);
      EXPECT_EQ(row.dominant, info.lineEnd);
    }
  }
  // A line end right after the 65535-byte buffer boundary, and a pair split by it.
  std::string big(CKFile::kBufferSize - 1, 'x');
  TextFileInfo info;
  EXPECT_EQ((std::vector<std::string>{big, "y"}), Read(big + "\r\ny", info, kEncSjis));
  EXPECT_EQ(1, info.lineEnds.crlf);
}

TEST_F(KFileTest, WritesEachEncodingAsTheEditorSavesIt) {
  const std::string a = SJ("あ");
  struct Row {
    int encoding;
    std::vector<std::string> lines;
    std::string bytes;
    const char* why;
  } rows[] = {
      {kEncUtf7, {"x" + a}, "x+MEI-", "a last non-ASCII character ends with all its bits and a minus sign"},
      {kEncUtf7, {"a+b", "c"}, "a+ACs-b\r\nc", "a plus sign goes in base64"},
      {kEncUtf7, {a, "-"}, "+MEI\r\n-", "no minus sign before a line end"},
      {kEncJis, {"a" + a}, "\x1B(Ba\x1B$B$\"\x1B(B", "JIS starts in ASCII and ends in ASCII"},
      {kEncJis, {SJ("ｱ") + "b"}, "\x1B(B\x1B(I1\x1B(Bb", "half-width katakana"},
      {kEncEucJp, {SJ("ｱ") + a}, Bytes({0x8E, 0xB1, 0xA4, 0xA2}), "katakana and hiragana"},
      {kEncEucJp, {Bytes({0xFA, 0x5C})}, Bytes({0xF9, 0xA1}), "IBM kanji to the NEC-selected row"},
      {kEncEucJp, {Bytes({0xFA, 0x40})}, Bytes({0xFC, 0xF1}), "IBM small roman numeral, as NEC-selected EEEF"},
      {kEncEucJp, {Bytes({0xFA, 0x4A})}, Bytes({0xAD, 0xB5}), "IBM roman numeral to the NEC special row"},
      {kEncEucJp, {"a" + Bytes({0x88})}, "a\xAF\xA1", "a lead byte at the end, as 88 40"},
      {kEncJis, {Bytes({0x88})}, "\x1B(B\x1B$B/!\x1B(B", "a lead byte at the end"},
      {kEncUtf8, {"a"}, "\xEF\xBB\xBF" "a", "UTF-8 gets a mark"},
      {kEncUcs2Be, {"a"}, Bytes({0xFE, 0xFF, 0, 'a'}), "UCS-2 big-endian"},
      {kEncEbcdic, {"A!", " "}, Bytes({0xC1, 0x5A, 0x0D, 0x25, 0x40}), "EBCDIC"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.bytes, Write(row.lines, row.encoding)) << row.why;
  EXPECT_STREQ("[Unknown]", EncodingLabel(kEncUcs2Be));
  EXPECT_STREQ("[UCS2_LE]", EncodingLabel(kEncUcs2Le));
  EXPECT_STREQ("[Unknown]", EncodingLabel(12));
}

TEST_F(KFileTest, ByteOrderMarksInsideTheTextDisappear) {
  TextFileInfo info;
  EXPECT_EQ((std::vector<std::string>{"ab"}), Read(Bytes({0xFF, 0xFE, 'a', 0, 0xFF, 0xFE, 'b', 0}), info));
  EXPECT_EQ((std::vector<std::string>{"ab"}), Read(Bytes({0xFE, 0xFF, 0, 'a', 0xFE, 0xFF, 0, 'b'}), info));
  EXPECT_EQ((std::vector<std::string>{"ab"}), Read("\xEF\xBB\xBF" "a\xEF\xBB\xBF" "b", info));
  EXPECT_EQ((std::vector<std::string>{"ab"}), Read("a+/v8-b", info, kEncUtf7));
}

TEST_F(KFileTest, TheEbcdicTablesAgreeWithTheIbmKatakanaSet) {
  const auto& toSjis = EbcdicToSjisTable();
  const auto& toEbcdic = SjisToEbcdicTable();
  for (int b = 0; b < 256; ++b) EXPECT_EQ(b, toEbcdic[toSjis[b]]);
  EXPECT_EQ(0x20, toSjis[0x40]);
  for (int b = 0x41; b <= 0x49; ++b) EXPECT_EQ(b - 0x41 + 0xA1, toSjis[b]);
  EXPECT_EQ('!', toSjis[0x5A]);
  EXPECT_EQ('A', toSjis[0xC1]);
  // Where the C library's IBM290 table defines a byte, ours gives the same
  // character (its full-width kana as our half-width ones).
  int compared = 0;
  for (int b = 0; b < 256; ++b) {
    std::string utf16;
    if (!os::IconvConvert("UTF-16BE", "IBM290", std::string(1, static_cast<char>(b)), utf16) || utf16.size() != 2)
      continue;
    const char32_t u = static_cast<char32_t>((static_cast<uint8_t>(utf16[0]) << 8) | static_cast<uint8_t>(utf16[1]));
    const uint8_t s = toSjis[b];
    if (b == 0x4A || b == 0x5F || b == 0x6A) continue;  // pound, not and broken bar: no single byte holds them
    char32_t ours = s < 0x80 || (s >= 0x80 && s < 0xA0) ? s : os::Cp932ToUnicode(s);
    if (s == 0x5C) ours = 0xA5;
    if (s == 0x7E) ours = 0x203E;
    if (s >= 0xA1 && s <= 0xDF) {
      // The C library gives the full-width forms of the half-width kana (their NFKC folds).
      static const std::u16string kFull =
          u"。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨラリルレロワン゛゜";
      ours = kFull[s - 0xA1];
    }
    EXPECT_EQ(u, ours) << std::hex << b;
    ++compared;
  }
  EXPECT_GT(compared, 150);
}

TEST_F(KFileTest, UnreadableSequencesStopReadingAndSaySo) {
  TextFileInfo info;
  EXPECT_EQ((std::vector<std::string>{"ok", "a"}), Read("\xEF\xBB\xBFok\na\x80" "b\nc", info));
  EXPECT_FALSE(info.complete);
  EXPECT_EQ((std::vector<std::string>{"a"}), Read("a\xE3\x81", info, kEncUtf8));
  EXPECT_FALSE(info.complete);
  // A lead byte that ends a Shift_JIS file is kept.
  EXPECT_EQ((std::vector<std::string>{"a\x88"}), Read("a\x88", info, kEncSjis));
  EXPECT_TRUE(info.complete);
  // A kanji byte before a line end keeps the line end.
  EXPECT_EQ((std::vector<std::string>{"$", ""}), Read("\x1B$B$\r\n", info, kEncJis));
}

TEST_F(KFileTest, FailuresLeaveTheOldFileAlone) {
  std::vector<std::string> lines = {"keep"};
  TextFileInfo info;
  info.encoding = 7;
  EXPECT_EQ(0, ReadTextFile(Path("missing.txt"), lines, info));
  EXPECT_EQ(std::vector<std::string>{"keep"}, lines);
  EXPECT_EQ(7, info.encoding);
  EXPECT_EQ(0, WriteTextFile(Path("no\\such\\dir\\x.txt"), lines, kEncSjis));

  CKSjisFile f;
  EXPECT_FALSE(f.Open(Path("missing.txt"), false, false));  // writing without create: must exist

  const std::string old = std::string(200000, 'o');
  WriteNative("old.txt", old);
  const std::vector<std::string> big(5000, std::string(100, 'n'));
  for (int step = 1; step <= 6; ++step) {
    os::SetFileFaultAt(step);
    const int ok = WriteTextFile(Path("old.txt"), big, kEncUtf8);
    os::SetFileFaultAt(0);
    if (ok) break;
    EXPECT_EQ(old, ReadNative("old.txt")) << step;
  }

  // A writer dropped before Close never replaces the file.
  {
    CKSjisFile w;
    ASSERT_TRUE(w.Open(Path("old.txt"), false, false));
    ASSERT_TRUE(w.BeginWrite(kEncSjis));
    ASSERT_TRUE(w.WriteText("half"));
  }
  EXPECT_EQ(old, ReadNative("old.txt"));
}

TEST_F(KFileTest, FuzzHostileBytesNeverBreakTheReader) {
  std::mt19937 rng(6003);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(rng() % 600, '\0');
    for (char& c : bytes) {
      // Mostly bytes that start sequences or end lines.
      static constexpr uint8_t kHot[] = {0x1B, 0x0E, 0x0F, 0x8E, 0x8F, '+', '-', '\r', '\n', '$', '(', 'B', 0xFF, 0xFE, 0xE3, 0x81, 0x00};
      c = static_cast<char>(rng() % 3 == 0 ? kHot[rng() % sizeof kHot] : rng() % 256);
    }
    for (int enc = -1; enc < kEncCount + 1; ++enc) {
      TextFileInfo info;
      std::vector<std::string> lines = Read(bytes, info, enc);
      ASSERT_FALSE(lines.empty());
      size_t total = 0;
      for (const auto& l : lines) total += l.size();
      EXPECT_LE(total, bytes.size() * 2);
      // What was read can always be written in the encoding it came from.
      if (info.encoding >= 0 && info.encoding < kEncCount) {
        (void)Write(lines, info.encoding, info.lineEnd);
      }
    }
    // The Shift_JIS fast path gives the same lines as ReadChar.
    CKSjisFile f;
    ASSERT_TRUE(f.Open(File(bytes), true, false));
    f.BeginRead(kEncSjis);
    std::vector<std::string> slow(1);
    char ch[2];
    for (int n; (n = f.ReadChar(ch)) > 0;) {
      if (n == 1 && ch[0] == '\n') slow.emplace_back();
      else slow.back().append(ch, static_cast<size_t>(n));
    }
    TextFileInfo info;
    EXPECT_EQ(slow, Read(bytes, info, kEncSjis));
    // Shift_JIS and EBCDIC hold every byte: with one kind of line end the file comes back whole.
    std::string oneEnd = bytes;
    for (char& c : oneEnd) {
      if (c == '\r') c = 'r';
    }
    for (int enc : {kEncSjis, kEncEbcdic}) {
      std::string file = oneEnd;
      if (enc == kEncEbcdic) {
        for (char& c : file) c = static_cast<char>(SjisToEbcdicTable()[static_cast<uint8_t>(c)]);
      }
      std::vector<std::string> lines = Read(file, info, enc);
      EXPECT_EQ(file, Write(lines, enc, "\n")) << enc;
    }
  }
}

}  // namespace
}  // namespace zentu
