#include "editor/klink.h"

#include <array>

namespace zentu {
namespace {

enum : unsigned char {
  kUrlBody = 1,     // may stand in a URL after its prefix
  kAddress = 2,     // letter, digit, "-", "." or "_"
  kAlnum = 4,       // letter or digit
  kLabel = 8,       // letter, digit, "-" or "_"
  kPrefixHead = 16  // first byte of a scheme prefix or of "mailto:"
};

constexpr std::array<unsigned char, 128> MakeClasses() {
  std::array<unsigned char, 128> t{};
  for (int c = 33; c < 127; ++c) t[c] = kUrlBody;
  for (char c : std::string_view("\"'()*<>[]^`{}|")) t[static_cast<unsigned char>(c)] = 0;
  for (int c = '0'; c <= '9'; ++c) t[c] |= kAddress | kAlnum | kLabel;
  for (int c = 'a'; c <= 'z'; ++c) t[c] |= kAddress | kAlnum | kLabel;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kAddress | kAlnum | kLabel;
  t['-'] |= kAddress | kLabel;
  t['_'] |= kAddress | kLabel;
  t['.'] |= kAddress;
  for (char c : std::string_view("fghntwm")) t[static_cast<unsigned char>(c)] |= kPrefixHead;
  return t;
}
constexpr std::array<unsigned char, 128> kClass = MakeClasses();

bool Is(std::string_view text, size_t i, unsigned char cls) {
  if (i >= text.size()) return false;
  const auto c = static_cast<unsigned char>(text[i]);
  return c < 128 && (kClass[c] & cls) != 0;
}

constexpr std::string_view kUrlPrefixes[] = {"file://", "ftp://",    "gopher://", "http://",
                                             "https://", "news:",    "nntp://",   "telnet://",
                                             "ttp://",   "ttps://",  "wais://"};

}  // namespace

int MailAddressLength(std::string_view text) {
  size_t i = 0;
  if (!Is(text, i, kAlnum)) return 0;
  while (Is(text, i, kAddress)) ++i;
  if (i >= text.size() || text[i] != '@' || i + 2 >= text.size()) return 0;
  ++i;
  int labels = 0;
  size_t end = 0;
  for (;;) {
    const size_t labelStart = i;
    while (Is(text, i, kLabel)) ++i;
    if (i == labelStart) break;
    ++labels;
    end = i;
    if (i < text.size() && text[i] == '.' && Is(text, i + 1, kLabel)) {
      ++i;
      continue;
    }
    break;
  }
  return labels >= 2 ? static_cast<int>(end) : 0;
}

KLinkMatch DetectLink(std::string_view text) {
  if (text.empty()) return {};
  const auto first = static_cast<unsigned char>(text[0]);
  if (first >= 128 || (kClass[first] & (kPrefixHead | kAlnum)) == 0) return {};
  if (kClass[first] & kPrefixHead) {
    for (std::string_view prefix : kUrlPrefixes) {
      if (!text.starts_with(prefix)) continue;
      size_t i = prefix.size();
      while (Is(text, i, kUrlBody)) ++i;
      if (i > prefix.size()) return {kLinkUrl, static_cast<int>(i)};
    }
    constexpr std::string_view kMailto = "mailto:";
    if (text.starts_with(kMailto)) {
      if (int n = MailAddressLength(text.substr(kMailto.size())))
        return {kLinkMail, static_cast<int>(kMailto.size()) + n};
    }
  }
  if (int n = MailAddressLength(text)) return {kLinkMail, n};
  return {};
}

}  // namespace zentu
