#include "intake/clipboard.h"

#include <cstdio>

#include "intake/channel.h"
#include "os/cp932.h"
#include "os/log.h"
#include "os/text.h"
#include "pagelib/codedetect.h"
#include "store/profile.h"

namespace zentu {
namespace {

constexpr size_t kPreviewBytes = 482;
constexpr int kPreviewLines = 31;
constexpr size_t kSourceUrlBytes = 2048;

// The header ends where the HTML begins; keys are looked for only there, so
// a page that shows the text "SourceURL:" does not name its own source.
std::string_view Header(std::string_view data) {
  size_t lt = data.find('<');
  return lt == std::string_view::npos ? data : data.substr(0, lt);
}

// Offset just past the line that holds `at`, its CR, LF or CR LF included.
size_t AfterLine(std::string_view data, size_t at) {
  size_t end = data.find_first_of("\r\n", at);
  if (end == std::string_view::npos) return data.size();
  if (data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n') ++end;
  return end + 1;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Only a web page may be where a selection came from.
bool IsSourceUrl(std::string_view url) {
  if (url.empty() || url.size() > kSourceUrlBytes) return false;
  if (!os::StartsWithNoCase(url, "http://") && !os::StartsWithNoCase(url, "https://")) return false;
  for (unsigned char c : url)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

std::string Offset(size_t n) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%010zu", n);
  return buffer;
}

}  // namespace

std::string BuildHtmlFormat(std::string_view fragment, std::string_view sourceUrl) {
  const std::string before = "<html><body>\r\n" + std::string(kMarkerStartFragment);
  const std::string after = std::string(kMarkerEndFragment) + "\r\n</body></html>";
  const std::string source = sourceUrl.empty() ? std::string() : "SourceURL:" + std::string(sourceUrl) + "\r\n";
  auto header = [&](size_t startHtml, size_t endHtml, size_t startFragment, size_t endFragment) {
    return "Version:0.9\r\nStartHTML:" + Offset(startHtml) + "\r\nEndHTML:" + Offset(endHtml) +
           "\r\nStartFragment:" + Offset(startFragment) + "\r\nEndFragment:" + Offset(endFragment) + "\r\n" +
           source;
  };
  // Every offset has ten digits, so the header's length is known before its numbers.
  const size_t startHtml = header(0, 0, 0, 0).size();
  const size_t startFragment = startHtml + before.size();
  const size_t endFragment = startFragment + fragment.size();
  std::string out = header(startHtml, endFragment + after.size(), startFragment, endFragment);
  out += before;
  out += fragment;
  out += after;
  return out;
}

ClipboardHtml ParseHtmlFormat(std::string_view data, std::string_view rememberedUrl) {
  ClipboardHtml out;
  std::string_view header = Header(data);
  size_t start = 0;
  if (size_t at = header.find("SourceURL:"); at != std::string_view::npos) {
    size_t value = at + 10;
    size_t end = data.find_first_of("\r\n", value);
    std::string url = ReplaceAll(std::string(data.substr(value, end == std::string_view::npos ? end : end - value)),
                                 "%20", " ");
    while (!url.empty() && (url.back() == ' ' || url.back() == '\t')) url.pop_back();
    url.erase(0, url.find_first_not_of(" \t") == std::string::npos ? url.size() : url.find_first_not_of(" \t"));
    if (IsSourceUrl(url)) {
      out.sourceUrl = url;
      out.urlFromData = true;
    } else {
      WriteLog("> source url refused: %s", os::CutSjis(url, 256).c_str());
    }
    start = AfterLine(data, value);
  } else if (size_t end = header.find("EndFragment:"); end != std::string_view::npos) {
    start = AfterLine(data, end);
  }
  if (!out.urlFromData && IsSourceUrl(rememberedUrl)) out.sourceUrl = std::string(rememberedUrl);
  out.html = std::string(data.substr(start));
  return out;
}

std::string HtmlFormatFromDesktop(std::string_view html, std::string_view sourceUrl) {
  std::string_view fragment = html;
  size_t start = html.find(kMarkerStartFragment);
  size_t end = html.find(kMarkerEndFragment);
  if (start != std::string_view::npos && end != std::string_view::npos && end >= start)
    fragment = html.substr(start + kMarkerStartFragment.size(), end - start - kMarkerStartFragment.size());
  std::string url(sourceUrl.substr(0, sourceUrl.find_first_of("\r\n")));
  return BuildHtmlFormat(fragment, url);
}

std::string ScrapPreview(std::string_view text) {
  std::string out;
  int lines = 0;
  bool cut = false;
  os::ForEachSjisChar(text, [&](std::string_view ch) {
    if (cut) return;
    if (out.size() + ch.size() > kPreviewBytes || lines >= kPreviewLines) {
      cut = true;
      return;
    }
    out += ch;
    if (ch == "\n") ++lines;
  });
  if (cut) out += "...\r\n\r\n" + os::SJ("(後略)");
  return out;
}

namespace {
// Strict UTF-8 with at least one non-ASCII character: Shift_JIS and EUC-JP
// text almost never reads as that, while short UTF-8 text can fool the
// kana count of the detector.
bool IsUtf8Text(std::string_view s) {
  bool wide = false;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || (n == 2 && c < 0xC2) || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    wide = true;
    i += n;
  }
  return wide;
}
}  // namespace

std::string ClipboardTextToSjis(std::string_view data) {
  if (IsUtf8Text(data)) return ConvertToSjis(data, kCodeUtf8, Unmapped::Reference);
  int code = DetectCode(data);
  if (code == kCodeSjis || code == kCodeSjisStored) return std::string(data);
  return ConvertToSjis(data, code);
}

bool ConvertClipboardHtml(std::string_view data, bool ask, ScrapMode mode, std::string_view rememberedUrl,
                          const ScrapHooks& hooks) {
  const Profile& profile = CurrentProfile();
  ClipboardHtml clip = ParseHtmlFormat(ClipboardTextToSjis(data), rememberedUrl);
  if (!clip.urlFromData) WriteLog("source url: %s", clip.sourceUrl.c_str());
  if (ask && profile.ConfirmScrapText && hooks.confirm &&
      !hooks.confirm(ScrapPreview(clip.html), os::SJ("以下のHTMLを登録しますか？")))
    return false;
  if (mode == ScrapMode::HtmlWithLinks) {
    size_t marker = clip.html.find(kMarkerStartFragment);
    if (marker == std::string::npos) {
      WriteLog("> no fragment: links are not collected");
      return false;
    }
    clip.html.insert(marker + kMarkerStartFragment.size(), kMarkerGetLinkUrls);
  }
  bool added = AddTextFragment(clip.sourceUrl, clip.html) != nullptr;
  if (hooks.notice) hooks.notice(os::SJ(added ? "取り込み成功" : "取り込み失敗"));
  if (added && profile.PlayFinishSound && hooks.playSound && !profile.FinishSound.empty())
    hooks.playSound(profile.FinishSound);
  return added;
}

}  // namespace zentu
