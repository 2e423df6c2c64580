// What a selection copied in another program brings: the clipboard's "HTML
// Format" (the header of offsets and the page's source URL, then the HTML
// with its fragment markers), the previews the confirmations show, and the
// conversion of such data into a captured item. No toolkit here: the windows
// read the clipboard and hand the bytes over.
#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace zentu {

// What the next clipboard capture does.
enum class ScrapMode : int { Text = 0, Html = 1, HtmlWithLinks = 2 };

inline constexpr std::string_view kMarkerStartFragment = "<!--StartFragment-->";
inline constexpr std::string_view kMarkerEndFragment = "<!--EndFragment-->";
inline constexpr std::string_view kMarkerGetLinkUrls = "<!--GetLinkUrls-->";

// The header form other programs put on the clipboard: Version, the byte
// offsets of the HTML and of the fragment, SourceURL (when given), then the
// fragment wrapped in a page with its markers. Texts are Shift_JIS.
std::string BuildHtmlFormat(std::string_view fragment, std::string_view sourceUrl);

struct ClipboardHtml {
  std::string sourceUrl;  // "" when neither the data nor the remembered URL gives one
  std::string html;       // what follows the header
  bool urlFromData = false;
};
// Reads the data (already Shift_JIS): with a "SourceURL:" line the URL is the
// rest of that line ("%20" as blanks) and the HTML what follows it; without
// one the remembered URL stands in and the HTML starts after the
// "EndFragment:" line. A source URL that is not http or https is not taken
// (a page cannot name a file of this machine as where it came from).
ClipboardHtml ParseHtmlFormat(std::string_view data, std::string_view rememberedUrl);

// The clipboard HTML of this desktop ("text/html", with the page's URL from
// "text/x-moz-url-priv" when the browser gave one) in the header form above.
// A fragment without markers is marked whole.
std::string HtmlFormatFromDesktop(std::string_view html, std::string_view sourceUrl);

// The start of a text for a confirmation: at most 482 bytes and 31 lines;
// when cut, "...", a blank line and "(後略)" follow.
std::string ScrapPreview(std::string_view text);

// Converts the data to Shift_JIS when another encoding is detected.
std::string ClipboardTextToSjis(std::string_view data);

struct ScrapHooks {
  // Yes/No with the preview and the box's title; nullptr: never asks.
  std::function<bool(std::string_view preview, std::string_view title)> confirm;
  // A short message ("取り込み成功", "取り込み失敗").
  std::function<void(std::string_view text)> notice;
  // Plays the finish sound (path) without waiting.
  std::function<void(std::string_view path)> playSound;
};

// The clipboard's HTML as a captured item in the receive folder (as the
// channel's text fragments). `ask`: the confirmation may be shown (with
// ConfirmScrapText on). Link collection needs the fragment marker. True when
// an item was added.
bool ConvertClipboardHtml(std::string_view data, bool ask, ScrapMode mode, std::string_view rememberedUrl,
                          const ScrapHooks& hooks);

}  // namespace zentu
