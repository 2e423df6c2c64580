// Named and numeric character references: the stored form of titles and the
// decoding for display.
#include "pagelib/charref.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

#include "os/cp932.h"
#include "pagelib/urltext.h"

namespace zentu {
namespace {

using urltext::CharLen;

struct Named {
  std::string_view name;
  char32_t ch;
};

// Latin-1 from U+00A0 on, in code order.
constexpr std::string_view kLatin1[] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",
    "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",
    "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12",
    "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde",
    "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",
    "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

// Greek letters from U+0391 and U+03B1 on; "" where there is none.
constexpr std::string_view kGreekUpper[] = {
    "Alpha", "Beta", "Gamma", "Delta",   "Epsilon", "Zeta", "Eta", "Theta", "Iota",
    "Kappa", "Lambda", "Mu",  "Nu",      "Xi",      "Omicron", "Pi", "Rho", "",
    "Sigma", "Tau",  "Upsilon", "Phi",   "Chi",     "Psi",  "Omega"};
constexpr std::string_view kGreekLower[] = {
    "alpha", "beta", "gamma", "delta",   "epsilon", "zeta", "eta", "theta", "iota",
    "kappa", "lambda", "mu",  "nu",      "xi",      "omicron", "pi", "rho", "sigmaf",
    "sigma", "tau",  "upsilon", "phi",   "chi",     "psi",  "omega"};

constexpr Named kOthers[] = {
    {"quot", 34},      {"amp", 38},       {"apos", 39},     {"lt", 60},        {"gt", 62},
    {"OElig", 338},    {"oelig", 339},    {"Scaron", 352},  {"scaron", 353},   {"Yuml", 376},
    {"fnof", 402},     {"circ", 710},     {"tilde", 732},   {"thetasym", 977}, {"upsih", 978},
    {"piv", 982},      {"ensp", 8194},    {"emsp", 8195},   {"thinsp", 8201},  {"zwnj", 8204},
    {"zwj", 8205},     {"lrm", 8206},     {"rlm", 8207},    {"ndash", 8211},   {"mdash", 8212},
    {"lsquo", 8216},   {"rsquo", 8217},   {"sbquo", 8218},  {"ldquo", 8220},   {"rdquo", 8221},
    {"bdquo", 8222},   {"dagger", 8224},  {"Dagger", 8225}, {"bull", 8226},    {"hellip", 8230},
    {"permil", 8240},  {"prime", 8242},   {"Prime", 8243},  {"lsaquo", 8249},  {"rsaquo", 8250},
    {"oline", 8254},   {"frasl", 8260},   {"euro", 8364},   {"image", 8465},   {"weierp", 8472},
    {"real", 8476},    {"trade", 8482},   {"alefsym", 8501}, {"larr", 8592},   {"uarr", 8593},
    {"rarr", 8594},    {"darr", 8595},    {"harr", 8596},   {"crarr", 8629},   {"lArr", 8656},
    {"uArr", 8657},    {"rArr", 8658},    {"dArr", 8659},   {"hArr", 8660},    {"forall", 8704},
    {"part", 8706},    {"exist", 8707},   {"empty", 8709},  {"nabla", 8711},   {"isin", 8712},
    {"notin", 8713},   {"ni", 8715},      {"prod", 8719},   {"sum", 8721},     {"minus", 8722},
    {"lowast", 8727},  {"radic", 8730},   {"prop", 8733},   {"infin", 8734},   {"ang", 8736},
    {"and", 8743},     {"or", 8744},      {"cap", 8745},    {"cup", 8746},     {"int", 8747},
    {"there4", 8756},  {"sim", 8764},     {"cong", 8773},   {"asymp", 8776},   {"ne", 8800},
    {"equiv", 8801},   {"le", 8804},      {"ge", 8805},     {"sub", 8834},     {"sup", 8835},
    {"nsub", 8836},    {"sube", 8838},    {"supe", 8839},   {"oplus", 8853},   {"otimes", 8855},
    {"perp", 8869},    {"sdot", 8901},    {"lceil", 8968},  {"rceil", 8969},   {"lfloor", 8970},
    {"rfloor", 8971},  {"lang", 9001},    {"rang", 9002},   {"loz", 9674},     {"spades", 9824},
    {"clubs", 9827},   {"hearts", 9829},  {"diams", 9830}};

char32_t LookUpName(std::string_view name) {
  for (size_t i = 0; i < std::size(kLatin1); ++i)
    if (kLatin1[i] == name) return static_cast<char32_t>(0xA0 + i);
  for (size_t i = 0; i < std::size(kGreekUpper); ++i) {
    if (!kGreekUpper[i].empty() && kGreekUpper[i] == name) return static_cast<char32_t>(0x391 + i);
    if (kGreekLower[i] == name) return static_cast<char32_t>(0x3B1 + i);
  }
  for (const Named& n : kOthers)
    if (n.name == name) return n.ch;
  return 0;
}

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A character a reference may stand for here: no controls (a title is one
// line of the tree file), no surrogates, nothing beyond Unicode.
bool IsDecodable(char32_t ch) {
  return ch >= 0x20 && !(ch >= 0x7F && ch <= 0x9F) && !(ch >= 0xD800 && ch <= 0xDFFF) && ch <= 0x10FFFF;
}

// The reference at s[i] ("&" there): its length and character, or 0. Every
// byte it reads is ASCII, and "&" is never a trail byte, so a two-byte
// character is never cut.
size_t ParseReference(std::string_view s, size_t i, char32_t& ch) {
  size_t j = i + 1;
  ch = 0;
  if (j < s.size() && s[j] == '#') {
    ++j;
    const bool hex = j < s.size() && (s[j] == 'x' || s[j] == 'X');
    if (hex) ++j;
    const size_t digitsFrom = j;
    uint32_t value = 0;
    for (; j < s.size() && j - digitsFrom < 8; ++j) {
      const int d = hex ? HexValue(s[j]) : (s[j] >= '0' && s[j] <= '9' ? s[j] - '0' : -1);
      if (d < 0) break;
      value = value * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    }
    if (j == digitsFrom || j >= s.size() || s[j] != ';') return 0;
    ch = value;
  } else {
    const size_t nameFrom = j;
    while (j < s.size() && j - nameFrom < 10 && IsAsciiAlnum(s[j])) ++j;
    if (j == nameFrom || j >= s.size() || s[j] != ';') return 0;
    ch = LookUpName(s.substr(nameFrom, j - nameFrom));
  }
  if (!IsDecodable(ch)) return 0;
  return j + 1 - i;
}

// The code page 932 code of a character, 0 when it has none or only one that
// reads back as another character (U+2014 would come back as U+2015). A
// no-break space reads as a space.
uint16_t SjisCode(char32_t ch) {
  if (ch < 0x80) return static_cast<uint16_t>(ch);
  if (ch == 0xA0) return ' ';
  const uint16_t code = ch <= 0xFFFF ? os::UnicodeToCp932(ch) : 0;
  return code != 0 && os::Cp932ToUnicode(code) == ch ? code : 0;
}

}  // namespace

std::string DecodeTitleReferences(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  std::vector<size_t> literalAmpersands;  // places in `decoded` of an "&" that is text
  for (size_t i = 0; i < text.size();) {
    const size_t n = CharLen(text, i);
    char32_t ch = 0;
    const size_t ref = text[i] == '&' ? ParseReference(text, i, ch) : 0;
    if (ref == 0) {
      if (text[i] == '&') literalAmpersands.push_back(decoded.size());
      decoded.append(text.substr(i, n));
      i += n;
      continue;
    }
    i += ref;
    const uint16_t code = SjisCode(ch);
    if (code == '&') {
      literalAmpersands.push_back(decoded.size());
      decoded.push_back('&');
    } else if (code > 0xFF) {
      decoded.push_back(static_cast<char>(code >> 8));
      decoded.push_back(static_cast<char>(code & 0xFF));
    } else if (code != 0) {
      decoded.push_back(static_cast<char>(code));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "&#%u;", static_cast<unsigned>(ch));
      decoded.append(buf);
    }
  }
  if (literalAmpersands.empty()) return decoded;
  // A text "&" followed by what reads as a reference is escaped. What follows
  // an "&" up to the end of a reference holds no other "&", so the escaping of
  // later ones does not change the answer.
  std::string out;
  out.reserve(decoded.size() + 4 * literalAmpersands.size());
  size_t from = 0;
  for (size_t at : literalAmpersands) {
    out.append(decoded, from, at - from);
    char32_t ch;
    out.append(ParseReference(decoded, at, ch) ? "&amp;" : "&");
    from = at + 1;
  }
  out.append(decoded, from, std::string::npos);
  return out;
}

std::string DecodeReferencesForDisplay(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  size_t runFrom = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t ch = 0;
    const size_t ref = text[i] == '&' ? ParseReference(text, i, ch) : 0;
    if (ref == 0) {
      i += CharLen(text, i);
      continue;
    }
    out += os::SjisToUtf8(text.substr(runFrom, i - runFrom));
    os::AppendUtf8(out, ch);
    i += ref;
    runFrom = i;
  }
  out += os::SjisToUtf8(text.substr(runFrom));
  return out;
}

}  // namespace zentu
