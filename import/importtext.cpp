// The text side of the imports: decoding a file to Shift_JIS, lines, the
// pattern handle, and the clean-up every title and URL goes through before it
// reaches the collection.
#include <cstdio>
#include <mutex>

#include "import/import_internal.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/text.h"
#include "pagelib/charref.h"
#include "pagelib/codedetect.h"
#include "pagelib/url.h"

namespace zentu {
namespace {

// The code a meta tag near the top declares, or -1.
int DeclaredCode(std::string_view bytes) {
  std::string_view head = bytes.substr(0, 4096);
  for (size_t at = 0; at + 8 <= head.size(); ++at) {
    if (!os::StartsWithNoCase(head.substr(at), "charset=")) continue;
    std::string_view label = head.substr(at + 8);
    while (!label.empty() && (label.front() == '"' || label.front() == '\'' || label.front() == ' '))
      label.remove_prefix(1);
    if (os::StartsWithNoCase(label, "utf-8") || os::StartsWithNoCase(label, "utf8")) return kCodeUtf8;
    if (os::StartsWithNoCase(label, "euc-jp") || os::StartsWithNoCase(label, "x-euc")) return kCodeEuc;
    if (os::StartsWithNoCase(label, "iso-2022-jp")) return kCodeJis;
    if (os::StartsWithNoCase(label, "shift_jis") || os::StartsWithNoCase(label, "x-sjis") ||
        os::StartsWithNoCase(label, "windows-31j") || os::StartsWithNoCase(label, "cp932") ||
        os::StartsWithNoCase(label, "ms932"))
      return kCodeSjis;
  }
  return -1;
}

bool IsLead(unsigned char c) { return os::IsSjisLeadByte(c); }
bool IsTrail(unsigned char c) { return os::IsSjisTrailByte(c); }

// Every lead byte without its trail byte becomes "?", so nothing later can
// read the byte after it (a "<" or a quote) as half of a character.
std::string RepairSjis(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!IsLead(c)) {
      out += static_cast<char>(c);
    } else if (i + 1 < text.size() && IsTrail(static_cast<unsigned char>(text[i + 1]))) {
      out += text.substr(i, 2);
      ++i;
    } else {
      out += '?';
    }
  }
  return out;
}

// "&amp;" and the other references a bookmark file writes in its attributes,
// as far as they stand for printable ASCII; everything else stays as it is.
std::string DecodeAttributeReferences(std::string_view text) {
  static constexpr struct {
    std::string_view name;
    char ch;
  } kNamed[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    std::string_view rest = text.substr(i + 1);
    bool done = false;
    for (const auto& n : kNamed) {
      if (rest.substr(0, n.name.size()) == n.name) {
        out += n.ch;
        i += n.name.size();
        done = true;
        break;
      }
    }
    if (!done && !rest.empty() && rest[0] == '#') {
      const bool hex = rest.size() > 1 && (rest[1] == 'x' || rest[1] == 'X');
      size_t j = hex ? 2 : 1;
      long value = 0;
      size_t digits = 0;
      while (j < rest.size() && digits < 6) {
        const int d = hex ? os::HexDigitValue(rest[j]) : (rest[j] >= '0' && rest[j] <= '9' ? rest[j] - '0' : -1);
        if (d < 0) break;
        value = value * (hex ? 16 : 10) + d;
        ++j;
        ++digits;
      }
      if (digits > 0 && j < rest.size() && rest[j] == ';' && value >= 0x20 && value < 0x7F) {
        out += static_cast<char>(value);
        i += j + 1;
        done = true;
      }
    }
    if (!done) out += '&';
  }
  return out;
}

}  // namespace

std::string ImportText(std::string_view bytes) {
  int code = -1;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") code = kCodeUtf8;
  else if (bytes.substr(0, 2) == "\xFF\xFE") code = kCodeUnicode;
  else if (bytes.substr(0, 2) == "\xFE\xFF") code = kCodeUniBE;
  if (code < 0) code = DeclaredCode(bytes);
  if (code < 0) code = DetectCode(bytes);
  if (code == kCodeSjis || code == kCodeSjisStored) return std::string(bytes);
  return ConvertToSjis(bytes, code, Unmapped::Reference);
}

std::string CleanImportTitle(std::string_view sjis, size_t limit) {
  std::string title = DecodeTitleReferences(RepairSjis(sjis));
  for (char& c : title) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) c = ' ';  // never a trail byte
  }
  size_t begin = 0, end = title.size();
  while (begin < end && title[begin] == ' ') ++begin;
  while (end > begin && title[end - 1] == ' ') --end;
  return os::CutSjis(std::string_view(title).substr(begin, end - begin), limit);
}

std::string CleanImportUrl(std::string_view sjis, bool fromAttribute) {
  while (!sjis.empty() && (sjis.front() == ' ' || sjis.front() == '\t')) sjis.remove_prefix(1);
  while (!sjis.empty() && (sjis.back() == ' ' || sjis.back() == '\t')) sjis.remove_suffix(1);
  const std::string decoded = fromAttribute ? DecodeAttributeReferences(sjis) : std::string(sjis);
  const std::string repaired = RepairSjis(decoded);
  std::string url;
  url.reserve(repaired.size());
  for (char c : repaired) {
    const auto b = static_cast<unsigned char>(c);
    // A line break or NUL would split the item's line in the tree file.
    if (b < 0x20 || b == 0x7F) return {};
    // The tree file quotes URLs; a browser sends a quote as %22 anyway.
    if (c == '"') url += "%22";
    else url += c;
  }
  return os::CutSjis(url, kMaxUrlLength);
}

namespace importer {

bool Pattern::Match(char* start, char* end, ImportReport& report) {
  char msg[kBregexpMessageSize] = {};
  const int r = BMatch(pattern_, start, end, &rx_, msg);
  if (msg[0]) {
    WriteLog("regexp error: %s", msg);
    ++report.patternErrors;
    return false;
  }
  return r > 0 && rx_;
}

std::string_view Pattern::Group(int i) const {
  if (!rx_ || i < 0 || i > rx_->nparens) return {};
  const char* s = rx_->startp[i];
  const char* e = rx_->endp[i];
  if (!s || !e || e <= s) return {};
  return std::string_view(s, static_cast<size_t>(e - s));
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    lines.emplace_back(text.substr(begin, i - begin));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    begin = i + 1;
  }
  if (begin < text.size()) lines.emplace_back(text.substr(begin));
  return lines;
}

bool ReadImportFile(const std::string& path, std::string& bytes, ImportReport& report) {
  bytes.clear();
  const int64_t size = os::GetFileSize(path);
  if (size < 0) return false;
  if (size > kMaxImportFile) {
    WriteLog("> too large to import (%lld bytes): %s", static_cast<long long>(size), path.c_str());
    return false;
  }
  if (!os::ReadWholeFile(path, bytes)) return false;
  report.opened = true;
  if (bytes.find('\0') != std::string::npos) report.binary = true;
  return true;
}

bool InCollection(const TreeNode* node) {
  const TreeNode* root = GetTreeState().root;
  if (!node || !root) return false;
  for (const TreeNode* n = node; n; n = n->parent)
    if (n == root) return true;
  return false;
}

void TellDamage(const ImportReport& report, std::string_view what) {
  if (report.patternErrors || report.Damaged() || report.skipped)
    WriteLog("> %.*s: binary %d, truncated %d, extra closings %d, unclosed %d, skipped %d, regexp errors %d",
             static_cast<int>(what.size()), what.data(), report.binary ? 1 : 0, report.truncated ? 1 : 0,
             report.extraClosings, report.unclosed, report.skipped, report.patternErrors);
  if (!report.Damaged()) return;
  std::string text = os::SJ("ファイルの一部が読み込めませんでした．読み込めたところまで取り込みました．");
  if (report.binary) text += os::SJ("\r\n・テキストでないデータが含まれています");
  if (report.truncated) text += os::SJ("\r\n・ファイルが途中で切れています");
  if (report.extraClosings > 0 || report.unclosed > 0)
    text += os::SJ("\r\n・フォルダの始まりと終わりが対応していません");
  os::MessageBox(text, os::SJ("エラー"));
}

}  // namespace importer
}  // namespace zentu
