#include "pagelib/codedetect.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>
#include <vector>

#include "os/cp932.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

// glibc's converter, for making test texts in other encodings.
std::string Iconv(const std::string& in, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv_open " << from << " -> " << to;
    return {};
  }
  std::string out(in.size() * 8 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  if (r != static_cast<size_t>(-1)) r = iconv(cd, nullptr, nullptr, &op, &ol);  // closing shift sequence
  iconv_close(cd);
  EXPECT_NE(r, static_cast<size_t>(-1)) << "iconv " << from << " -> " << to << " failed at byte "
                                        << (in.size() - il);
  out.resize(out.size() - ol);
  return out;
}

// Every lead byte has its trail byte, and no other byte above 0x7F is left
// but the one-byte katakana.
bool IsWellFormedSjis(const std::string& s, size_t* badAt = nullptr) {
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80 || (c >= 0xA1 && c <= 0xDF)) continue;
    if (os::IsSjisLeadByte(c) && i + 1 < s.size() && os::IsSjisTrailByte(static_cast<unsigned char>(s[i + 1]))) {
      ++i;
      continue;
    }
    if (badAt) *badAt = i;
    return false;
  }
  return true;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

const char kEsc[] = "\x1B";

TEST(CodeDetect, NamesAndByteClasses) {
  const struct {
    int code;
    const char* name;
  } rows[] = {{kCodeSjis, "CODE TYPE : SJIS"},   {kCodeSjisStored, "Undefined"},
              {kCodeJis, "CODE TYPE : JIS"},     {kCodeEuc, "CODE TYPE : EUC"},
              {kCodeUnicode, "CODE TYPE : Unicode"}, {kCodeUtf8, "CODE TYPE : UTF-8"},
              {kCodeUtf7, "CODE TYPE : UTF-7"},  {kCodeUniBE, "CODE TYPE : UniBE"},
              {8, "Undefined"},                  {-1, "Undefined"}};
  for (const auto& row : rows) EXPECT_STREQ(CodeName(row.code), row.name) << row.code;
  for (int b = 0; b < 256; ++b) {
    auto c = static_cast<unsigned char>(b);
    EXPECT_EQ(IsSjisLead(c), (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) << b;
    EXPECT_EQ(IsSjisTrail(c), (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC)) << b;
  }
}

TEST(CodeDetect, JisArithmeticAgreesWithCodePage932) {
  iconv_t cd = iconv_open("CP932", "EUC-JP-MS");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int checked = 0;
  for (int row = 0x21; row <= 0x7E; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      uint16_t jis = static_cast<uint16_t>((row << 8) | cell);
      uint16_t sjis = JisToSjis(jis);
      ASSERT_TRUE(IsSjisLead(static_cast<unsigned char>(sjis >> 8)) && IsSjisTrail(static_cast<unsigned char>(sjis)));
      ASSERT_EQ(SjisToJis(sjis), jis);
      // Where the C library knows the character, both routes give the same
      // character (row 13 duplicates come back as their JIS X 0208 twins).
      char in[2] = {static_cast<char>(row | 0x80), static_cast<char>(cell | 0x80)};
      unsigned char out[4];
      char* ip = in;
      char* op = reinterpret_cast<char*>(out);
      size_t il = 2, ol = sizeof(out);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && sizeof(out) - ol == 2 && row < 0x75) {
        EXPECT_EQ(os::Cp932ToUnicode(static_cast<uint16_t>((out[0] << 8) | out[1])), os::Cp932ToUnicode(sjis))
            << std::hex << jis;
        ++checked;
      }
    }
  }
  iconv_close(cd);
  EXPECT_GT(checked, 6000);
  EXPECT_EQ(JisToSjis(0x2422), 0x82A0);  // あ
  EXPECT_EQ(JisToSjis(0x3021), 0x889F);  // 亜
  EXPECT_EQ(JisToSjis(0x2020), 0);
  EXPECT_EQ(SjisToJis(0xF040), 0);       // user-defined area: no JIS X 0208 code
  EXPECT_EQ(SjisToJis(0x8141), 0x2122);
}

// One Japanese text in every encoding: kanji, kana, half-width kana, ASCII,
// and characters whose Shift_JIS trail byte is "\" (表, ソ, 能). Runs of
// Japanese touching ASCII letters make the UTF-7 form close runs with "-".
const char kCommon[] =
    "<html><head><title>表示テスト　ソフトの機能</title></head>\n"
    "<body>日本語のテキストです。カタカナとひらがな、漢字を含みます。\n"
    "表計算ソフトの機能abc 予定表ソース能率-表-ソ-能 (括弧) 100円\n"
    "東京都千代田区丸の内Ａ１ 「引用」と『二重』、ヴァイオリン\n";
const char kHalfWidth[] = "ﾊﾝｶｸｶﾀｶﾅ ｱｲｳｴｵ ｶﾞｷﾞｸﾞ｡｢｣､･ﾟ\n";
// Code page 932 characters that JIS X 0208 alone does not hold, or maps differently.
const char kCp932Only[] = "①②Ⅲ㈱髙﨑～－￢∥ \n";

TEST(CodeDetect, OneTextInEveryEncoding) {
  const std::string common = SJ(kCommon), half = SJ(kHalfWidth), extra = SJ(kCp932Only);
  ASSERT_TRUE(IsWellFormedSjis(common + half + extra));
  const std::string bomLE = Bytes({0xFF, 0xFE}), bomBE = Bytes({0xFE, 0xFF});
  const struct {
    const char* encoding;
    std::string sjis;  // what the text is in Shift_JIS
    std::string prefix;
    int code;
  } rows[] = {
      {"CP932", common + half + extra, "", kCodeSjis},
      {"ISO-2022-JP", common, "", kCodeJis},
      {"ISO-2022-JP-3", common + half, "", kCodeJis},  // half-width kana by ESC ( I
      {"EUC-JP-MS", common + half + extra, "", kCodeEuc},
      {"EUC-JP", common + half, "", kCodeEuc},
      {"UTF-16LE", common + half + extra, bomLE, kCodeUnicode},
      {"UTF-8", common + half + extra, "", kCodeUtf8},
      {"UTF-7", common + half + extra, "", kCodeUtf7},
      {"UTF-16BE", common + half + extra, bomBE, kCodeUniBE},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.encoding);
    std::string encoded = row.prefix + Iconv(row.sjis, row.encoding, "CP932");
    EXPECT_EQ(DetectCode(encoded), row.code);
    std::string back = ConvertToSjis(encoded, row.code);
    EXPECT_EQ(testing::U8(back), testing::U8(row.sjis));
    EXPECT_EQ(back, row.sjis);
  }
  // A UTF-8 text with its order mark: detected at once, the mark dropped.
  std::string utf8 = Iconv(common, "UTF-8", "CP932");
  EXPECT_EQ(ConvertToSjis(Bytes({0xEF, 0xBB, 0xBF}) + utf8, kCodeUtf8), common);
}

TEST(CodeDetect, DetectionRules) {
  const std::string sjisKana = SJ("あいうえおカキクケコ");
  const std::string eucKana = Iconv(sjisKana, "EUC-JP", "CP932");
  const std::string jisPair = std::string(kEsc) + "$B$\"" + kEsc + "(B";  // one two-byte character: JIS 1
  const struct {
    const char* name;
    std::string bytes;
    int code;
  } rows[] = {
      {"empty", "", kCodeSjis},
      {"ASCII page", "<html><body>Hello, world. a+b-c +- x</body></html>\n", kCodeSjis},
      {"Shift_JIS page", SJ("<p>日本語のページです。漢字とかなとカナ。</p>"), kCodeSjis},
      {"UTF-8 kanji without kana", "\xE6\xBC\xA2\xE5\xAD\x97\xE6\x96\x87\xE5\xAD\x97", kCodeSjis},
      {"UTF-8 kana", "<p>\xE3\x81\x82\xE3\x81\x84</p>", kCodeUtf8},
      {"UTF-8 order mark wins over anything", Bytes({0xEF, 0xBB, 0xBF}) + eucKana, kCodeUtf8},
      {"UTF-16LE order mark", Bytes({0xFF, 0xFE, 0x41}), kCodeUnicode},
      {"UTF-16BE order mark", Bytes({0xFE, 0xFF}), kCodeUniBE},
      {"one byte is no order mark", Bytes({0xFF}), kCodeSjis},
      {"EUC kana", eucKana, kCodeEuc},
      {"EUC half-width kana", Bytes({0x8E, 0xB1, 0x8E, 0xB2}), kCodeEuc},
      {"JIS", std::string(kEsc) + "$B$\"$$$&" + kEsc + "(B", kCodeJis},
      {"JIS run never closed", std::string(kEsc) + "$B$\"$$$&", kCodeJis},
      {"JIS katakana mode", std::string(kEsc) + "(I123" + kEsc + "(B", kCodeJis},
      {"UTF-7 closed by minus", "+MEIwRDBG-", kCodeUtf7},
      {"UTF-7 run not closed by minus counts nothing", "+MEIwRDBG x", kCodeSjis},
      {"UTF-7 run ended by a high byte resets", "+MEIwRDBG- +MEIw\x82", kCodeSjis},
      {"tie between EUC and JIS goes to EUC", Bytes({0xA4, 0xA2}) + jisPair, kCodeEuc},
      {"JIS beats a smaller EUC score", Bytes({0xA4, 0xA2}) + jisPair + jisPair, kCodeJis},
  };
  for (const auto& row : rows) EXPECT_EQ(DetectCode(row.bytes), row.code) << row.name;
  EXPECT_EQ(DetectCode(nullptr, 0), kCodeSjis);
}

TEST(CodeDetect, ConversionRules) {
  const std::string a = SJ("亜"), kana = SJ("ｱ");
  const struct {
    const char* name;
    std::string in;
    int code;
    std::string out;
  } rows[] = {
      // Codes without conversion give the text back as it is.
      {"Shift_JIS is copied", Bytes({0x82, 0xA0, 0x81}), kCodeSjis, Bytes({0x82, 0xA0, 0x81})},
      {"stored Shift_JIS is copied", "abc", kCodeSjisStored, "abc"},
      {"unknown code is copied", Bytes({0xE3, 0x81, 0x82}), 9, Bytes({0xE3, 0x81, 0x82})},
      // UTF-8: the three fixed replacements, and what code page 932 lacks.
      {"minus sign", "1\xE2\x88\x92" "2", kCodeUtf8, "1-2"},
      {"wave dash", "\xE3\x80\x9C", kCodeUtf8, Bytes({0x81, 0x60})},
      {"no-break space", "a\xC2\xA0" "b", kCodeUtf8, "a b"},
      {"unmappable character", "caf\xC3\xA9", kCodeUtf8, "caf?"},
      {"character outside the BMP", "x\xF0\x9F\x98\x80y", kCodeUtf8, "x?y"},
      {"broken sequences", "\xE3\x81" "a\x80" "b\xC0\xAF", kCodeUtf8, "?a?b??"},
      {"order mark kept in a short text converts to nothing", Bytes({0xEF, 0xBB, 0xBF}), kCodeUtf8, ""},
      // UTF-16.
      {"UTF-16LE with order mark", Bytes({0xFF, 0xFE, 0x42, 0x30, 0x41, 0x00}), kCodeUnicode, SJ("あA")},
      {"UTF-16BE with order mark", Bytes({0xFE, 0xFF, 0x30, 0x42, 0x00, 0x41}), kCodeUniBE, SJ("あA")},
      {"UTF-16LE surrogate pair and unmappable unit", Bytes({0x3D, 0xD8, 0x00, 0xDE, 0xE9, 0x00, 0x41, 0x00}),
       kCodeUnicode, "??A"},
      {"UTF-16LE lone surrogate and odd byte", Bytes({0x00, 0xDC, 0x41, 0x00, 0x42}), kCodeUnicode, "?A?"},
      // EUC-JP.
      {"EUC pair", Bytes({0xB0, 0xA1}), kCodeEuc, a},
      {"EUC half-width kana", Bytes({0x8E, 0xB1}), kCodeEuc, kana},
      {"EUC lead before ASCII", Bytes({0xB0, 0x41}), kCodeEuc, "?A"},
      {"EUC lead at the end", Bytes({0x41, 0xB0}), kCodeEuc, "A?"},
      {"EUC bad half-width kana", Bytes({0x8E, 0xE0, 0x41}), kCodeEuc, "?A"},
      {"EUC JIS X 0212 without a code page 932 character", Bytes({0x8F, 0xA9, 0xA1, 0x41}), kCodeEuc, "?A"},
      {"EUC JIS X 0212 IBM extension", Bytes({0x8F, 0xF4, 0xFB}), kCodeEuc, Bytes({0xFB, 0xFC})},
      // JIS.
      {"JIS run never closed converts every complete pair",
       std::string(kEsc) + "$B0!0!0", kCodeJis, a + a + "0"},
      {"JIS control bytes pass through a run",
       std::string(kEsc) + "$B0!\n0!" + kEsc + "(Bx", kCodeJis, a + "\n" + a + "x"},
      {"JIS katakana mode", std::string(kEsc) + "(I1" + kEsc + "(Jx", kCodeJis, kana + "x"},
      {"JIS unknown escape written through", std::string(kEsc) + "$(Qab", kCodeJis, std::string(kEsc) + "$(Qab"},
      {"JIS 8-bit bytes kept only when they are Shift_JIS", Bytes({0x82, 0xA0, 0xB1, 0x81, 0x20}), kCodeJis,
       Bytes({0x82, 0xA0, 0xB1, '?', 0x20})},
      // UTF-7.
      {"UTF-7", "Hi +MEIwRA-x +- a+-b", kCodeUtf7, SJ("Hi あいx + a+b")},
      {"UTF-7 run ended by a space", "+MEIwRA y", kCodeUtf7, SJ("あい y")},
      {"UTF-7 lone plus", "1+ 2", kCodeUtf7, "1+ 2"},
  };
  for (const auto& row : rows) {
    std::string out = ConvertToSjis(row.in, row.code);
    EXPECT_EQ(out, row.out) << row.name;
  }
}

// Pages and titles keep what code page 932 lacks as references.
TEST(CodeDetect, UnmappedCharactersBecomeReferences) {
  const struct {
    const char* name;
    std::string in;
    int code;
    std::string out;
  } rows[] = {
      {"UTF-8 Latin and punctuation", "\xC3\x9F \xC2\xA9 \xC2\xAB \xE2\x80\x93 \xE2\x84\xA2", kCodeUtf8,
       "&#223; &#169; &#171; &#8211; &#8482;"},
      {"UTF-8 with near codes that read back as other characters", "\xE2\x80\x94 \xC2\xA5 \xE2\x80\x96 \xC2\xA2",
       kCodeUtf8, "&#8212; &#165; &#8214; &#162;"},
      {"UTF-16LE em dash", Bytes({0x14, 0x20, 0x41, 0x00}), kCodeUnicode, "&#8212;A"},
      {"UTF-8 wave dash keeps its code", "\xE3\x80\x9C", kCodeUtf8, "\x81\x60"},
      {"UTF-8 kana stays Shift_JIS", "\xE3\x81\x82\xC3\x9F", kCodeUtf8, SJ("あ") + "&#223;"},
      {"UTF-8 outside the BMP", "x\xF0\x9F\x98\x80y", kCodeUtf8, "x&#128512;y"},
      {"UTF-8 broken sequences stay ?", "\xE3\x81" "a\x80", kCodeUtf8, "?a?"},
      {"UTF-16LE unit and pair", Bytes({0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x41, 0x00}), kCodeUnicode,
       "&#233;&#128512;A"},
      {"UTF-16BE lone surrogate stays ?", Bytes({0xFE, 0xFF, 0xDC, 0x00, 0x00, 0x41}), kCodeUniBE, "?A"},
      {"UTF-7 pair", "+2D3eAA-", kCodeUtf7, "&#128512;"},
      {"Shift_JIS is copied", "a&b", kCodeSjis, "a&b"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ConvertToSjis(row.in, row.code, Unmapped::Reference), row.out) << row.name;
    // The plain conversion keeps its "?".
    EXPECT_EQ(ConvertToSjis(row.in, row.code).find("&#"), std::string::npos) << row.name;
  }
  // A long text of nothing but such characters: the buffer grows as it must.
  std::string many;
  for (int i = 0; i < 5000; ++i) many += "\xC3\x9F";
  const std::string out = ConvertToSjis(many, kCodeUtf8, Unmapped::Reference);
  EXPECT_EQ(out.size(), 5000u * 6);
  EXPECT_EQ(out.substr(out.size() - 6), "&#223;");
}

// Random and mutated inputs: nothing crashes, detection gives a real code, and
// every conversion is well-formed Shift_JIS.
TEST(CodeDetect, FuzzMutatedInputs) {
  const std::string base = SJ(kCommon) + SJ(kHalfWidth);
  std::vector<std::string> seeds = {
      Iconv(base, "ISO-2022-JP-3", "CP932"), Iconv(base, "EUC-JP-MS", "CP932"), Iconv(base, "UTF-16LE", "CP932"),
      Iconv(base, "UTF-8", "CP932"),         Iconv(base, "UTF-7", "CP932"),     Iconv(base, "UTF-16BE", "CP932"),
      base,
  };
  const char specials[] = {'\x1B', '$', '(', 'B', 'I', '+', '-', '\x8E', '\x8F', '\xEF', '\xBB', '\xBF',
                           '\xFF', '\xFE', '\xE3', '\x80', '\x00', '\\'};
  std::mt19937 rng(20070128);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int iteration = 0; iteration < 30000; ++iteration) {
    std::string s;
    if (iteration % 4 == 0) {
      s.resize(pick(64));
      for (char& c : s) c = static_cast<char>(pick(256));
    } else {
      const std::string& seed = seeds[pick(seeds.size())];
      size_t a = pick(seed.size()), len = pick(96);
      s = seed.substr(a, len);
      for (size_t m = pick(6); m > 0 && !s.empty(); --m) {
        switch (pick(4)) {
          case 0: s[pick(s.size())] = static_cast<char>(pick(256)); break;
          case 1: s.insert(pick(s.size() + 1), 1, specials[pick(sizeof(specials))]); break;
          case 2: s.erase(pick(s.size()), 1); break;
          default: s.resize(pick(s.size() + 1)); break;  // cut inside a sequence
        }
      }
    }
    int code = DetectCode(s);
    ASSERT_TRUE(code >= 0 && code <= 7 && code != kCodeSjisStored) << code;
    for (int c = 0; c <= 8; ++c) {
      std::string out = ConvertToSjis(s, c);
      if (c == kCodeSjis || c == kCodeSjisStored || c == 8) {
        ASSERT_EQ(out, s);
      } else {
        size_t at = 0;
        ASSERT_TRUE(IsWellFormedSjis(out, &at)) << "code " << c << " byte " << at << " iteration " << iteration;
        ASSERT_LE(out.size(), s.size()) << "code " << c;  // the converters size their buffer by this
      }
    }
  }
}

}  // namespace
}  // namespace zentu
