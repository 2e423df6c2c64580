// Links in editor text: URLs by their scheme prefix and mail addresses.
#pragma once
#include <string_view>

namespace zentu {

enum KLinkKind : int { kLinkNone = 0, kLinkUrl = 1, kLinkMail = 2 };

struct KLinkMatch {
  int kind = kLinkNone;
  int length = 0;
};

// The link that starts at the first byte of `text` (the bytes to the line's end).
KLinkMatch DetectLink(std::string_view text);
// Length of the mail address at the start of `text`, or 0.
int MailAddressLength(std::string_view text);

}  // namespace zentu
