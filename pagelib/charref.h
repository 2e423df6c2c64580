// Character references in page titles. A title is kept in Shift_JIS with its
// references decoded, except for what code page 932 cannot hold; the views
// decode the rest when they show it.
#pragma once
#include <string>
#include <string_view>

namespace zentu {

// A page title (Shift_JIS) as it is stored: named ("&trade;") and numeric
// ("&#8212;", "&#x2014;") references become their characters where code page
// 932 holds them, the others become decimal numeric references, and an "&"
// that would read as a reference is written "&amp;". Control characters are
// never decoded. DecodeReferencesForDisplay of the result gives the text the
// page showed.
[[nodiscard]] std::string DecodeTitleReferences(std::string_view sjis);

// A stored text (Shift_JIS) as UTF-8 for a view, with every reference decoded.
[[nodiscard]] std::string DecodeReferencesForDisplay(std::string_view sjis);

}  // namespace zentu
