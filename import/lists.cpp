// List imports: download lists of Iria and ReGet, plain text lists and <LI>
// lists. Every URL becomes an item titled "*" in the target folder and is
// queued for capture; the collection's other items of that URL are marked
// changed, so the user sees that they are fetched again.
#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "import/import_internal.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/text.h"
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu {
namespace {

using importer::Pattern;

const char* PatternOf(ListFormat format) {
  switch (format) {
    case ListFormat::Iria:
    case ListFormat::ReGet: return "m/^[Uu][Rr][Ll]=(.+)$/";
    case ListFormat::List: return "m/<[Ll][Ii]>(.+)$/";
    // "k": a trail byte of a two-byte character may be a letter, which [\w]
    // would take for the start of a scheme.
    case ListFormat::Text: return "m/([\\w]+):\\/\\/(.+)$/k";
  }
  return "";
}

// Only URLs of a network scheme go to the capture: a file URL or a drive
// path in a list would copy a file of this machine into the collection.
bool IsQueueableUrl(std::string_view url) {
  const size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = url[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !(i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return false;
  }
  return !os::StartsWithNoCase(url, "file://");
}

std::vector<std::string> ListUrls(ListFormat format, std::vector<std::string>& lines, ImportReport& report) {
  Pattern pattern(PatternOf(format));
  std::vector<std::string> urls;
  for (std::string& line : lines) {
    if (line.find("://") == std::string::npos) continue;
    if (!pattern.Match(line, report)) continue;
    std::string url(pattern.Group(1));
    if (format == ListFormat::Text) {
      url += "://";
      url += pattern.Group(2);
    }
    url = CleanImportUrl(url, false);
    if (url.empty() || !IsQueueableUrl(url)) {
      WriteLog("> not imported: %.*s", static_cast<int>(std::min<size_t>(line.size(), 256)), line.c_str());
      ++report.skipped;
      continue;
    }
    urls.push_back(std::move(url));
  }
  return urls;
}

}  // namespace

const std::string& ListFormatLogLine(ListFormat format) {
  switch (format) {
    case ListFormat::Iria: return os::SJ("> iria 形式");
    case ListFormat::ReGet: return os::SJ("> Reget 形式");
    case ListFormat::Text: return os::SJ("> テキスト形式");
    case ListFormat::List: break;
  }
  return os::SJ("> リスト形式");
}

ImportReport ImportUrlList(ListFormat format, const std::string& path, TreeNode* target, DownloadManager& manager) {
  ImportReport report;
  WriteLog("%s", ListFormatLogLine(format).c_str());
  std::string bytes;
  if (!importer::ReadImportFile(path, bytes, report)) return report;
  os::GetDesktop().StatusText(os::SJ("リンク取り込み中"));
  std::vector<std::string> lines = importer::SplitLines(ImportText(bytes));
  bytes.clear();
  const std::vector<std::string> urls = ListUrls(format, lines, report);
  lines.clear();

  {
    std::lock_guard tree(TreeMutex());
    if ((!IsFolder(target) && !IsRoot(target)) || !importer::InCollection(target)) {
      report.refused = true;
      return report;
    }
    // The collection's items by URL, looked up once per line instead of a
    // walk of the whole collection per URL.
    std::unordered_map<std::string, std::vector<TreeNode*>> byUrl;
    if (!urls.empty()) {
      const TreeNode* root = GetTreeState().root;
      for (TreeNode* n = GetTreeState().root; n; n = NextInPreorder(n, root))
        if (IsItem(n) && !n->url.empty()) byUrl[n->url].push_back(n);
    }
    for (const std::string& url : urls) {
      WriteLogVerbose("> insert %s", url.c_str());
      TreeNode* item = CreateNode("*", url, {}, kNodeItem);
      SetProperty(item, kPropertyUrlItem);
      SetDownloadFlag(item, kDownloadChanged);
      if (!Link(item, target, kLinkLastChild)) {
        DestroyNode(item);
        continue;
      }
      ++report.items;
      WriteLogVerbose("> set property ");
      WriteLogVerbose("> update proc %s", url.c_str());
      std::vector<TreeNode*>& same = byUrl[url];
      for (TreeNode* other : same) {
        if (other->downloadFlag != kDownloadChanged) ++report.marked;
        SetDownloadFlag(other, kDownloadChanged);
      }
      same.push_back(item);
      WriteLogVerbose("> create shortcut %s", url.c_str());
      // Queued under the tree lock: nobody can free the item before the job knows it.
      if (manager.AddJob(url, "", false, item) > 0) ++report.queued;
      WriteLogVerbose("> next line");
    }
    if (report.items > 0) (void)ReapplySort(target);
  }
  if (report.items > 0 && CurrentProfile().SaveAtAddition) (void)SaveTree(CurrentTreeFileSettings());
  os::GetDesktop().StatusText(os::SJ("リンク取り込み終了"));
  WriteLog("> list: %d items, %d queued, %d marked", report.items, report.queued, report.marked);
  importer::TellDamage(report, "list import");
  if (report.items == 0 && !report.refused)
    os::MessageBox(os::SJ("取り込めるURLがありませんでした．\r\nファイルの形式を確認してください．"), os::SJ("エラー"));
  return report;
}

}  // namespace zentu
