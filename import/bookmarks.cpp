// Bookmark imports: Netscape bookmark files (what Firefox and Chromium export),
// Moon Browser, the 巡集 index page, a favorites folder of Internet shortcuts
// and another Zentu tree file. They build folders and URL items only.
//
// The subtree is built detached, without the tree lock, and linked under the
// target in one step: a big file never holds the lock while it is read.
#include <algorithm>
#include <memory>
#include <mutex>

#include "import/import_internal.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/url.h"
#include "store/profile.h"
#include "store/profile_bridge.h"
#include "store/treefile.h"

namespace zentu {
namespace {

using importer::Pattern;
using Owned = std::unique_ptr<TreeNode, NodeDeleter>;

TreeNode* NewFolder(TreeNode* parent, std::string_view title, NodeProperty property = kPropertyFolder) {
  TreeNode* f = CreateNode(CleanImportTitle(title, importer::kMaxTitle), {}, {}, kNodeFolder);
  SetProperty(f, property);
  if (parent && !Link(f, parent, kLinkLastChild)) {
    DestroyNode(f);
    return nullptr;
  }
  return f;
}

// A bookmark: a URL item with download flag 0.
TreeNode* NewBookmark(TreeNode* parent, std::string_view title, const std::string& url) {
  TreeNode* item = CreateNode(CleanImportTitle(title, importer::kMaxTitle), url, {}, kNodeItem);
  SetProperty(item, kPropertyUrlItem);
  SetDownloadFlag(item, kDownloadNone);
  if (!Link(item, parent, kLinkLastChild)) {
    DestroyNode(item);
    return nullptr;
  }
  return item;
}

// Links the detached import folder under the target, or frees it when the
// target went away (or is an item) meanwhile. Tree lock held.
bool Attach(Owned& folder, TreeNode* target, ImportReport& report) {
  if (!IsFolder(target) && !IsRoot(target)) {
    report.refused = true;
    return false;
  }
  if (!importer::InCollection(target)) {
    report.refused = true;
    return false;
  }
  TreeNode* f = folder.get();
  if (!AddItemToFolder(target, f)) {
    report.refused = true;
    return false;
  }
  (void)folder.release();
  report.folder = f;
  return true;
}

bool IsTargetFolder(TreeNode* target) {
  std::lock_guard tree(TreeMutex());
  return (IsFolder(target) || IsRoot(target)) && importer::InCollection(target);
}

// --- Netscape ------------------------------------------------------------------

// One pattern finds the next entry of a line: a bookmark, a folder heading, or
// the start or end of a folder's list. Attribute order and the attributes
// besides HREF differ between exporters (ADD_DATE, LAST_MODIFIED, ICON,
// ICON_URI, TAGS, LAST_VISIT), so they are taken as one group.
constexpr const char* kNetscapeEntry =
    "m/<DT>\\s*<A\\s+HREF=\"([^\"]*)\"([^>]*)>([^<]*)<\\/A>|<DT>\\s*<H3([^>]*)>([^<]*)<\\/H3>|<(\\/?)DL\\b/i";

// The list of folders whose <DL> is open: each remembers where the entries go
// once it closes.
struct NetscapeNesting {
  TreeNode* base;
  TreeNode* current;
  TreeNode* heading = nullptr;        // made by the last H3, its <DL> not seen yet
  TreeNode* headingParent = nullptr;
  std::vector<TreeNode*> returns;

  explicit NetscapeNesting(TreeNode* b) : base(b), current(b) {}

  void Heading(TreeNode* folder, TreeNode* parent) {
    heading = folder;
    headingParent = parent;
    current = folder;
  }
  void Open() {
    if (heading) {
      returns.push_back(headingParent);
      heading = nullptr;
    } else {
      returns.push_back(current);
    }
  }
  void Close(ImportReport& report) {
    if (heading) {  // a heading whose list never opened: an empty folder
      current = headingParent;
      heading = nullptr;
    }
    if (returns.empty()) {
      ++report.extraClosings;  // never above the import folder
      return;
    }
    current = returns.back();
    returns.pop_back();
  }
};

void ParseNetscape(std::vector<std::string>& lines, TreeNode* base, ImportReport& report) {
  Pattern entry(kNetscapeEntry);
  NetscapeNesting nest(base);
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string& line = lines[n];
    char* at = line.data();
    char* const end = line.data() + line.size();
    while (at < end && entry.Match(at, end, report)) {
      char* start = entry.MatchStart();
      char* next = entry.MatchEnd();
      if (!start || !next || next <= at) break;
      std::string_view whole(start, static_cast<size_t>(next - start));
      if (whole.size() > 2 && whole[1] == '/') {
        nest.Close(report);
      } else if (whole.size() > 2 && (whole[2] == 'L' || whole[2] == 'l')) {
        nest.Open();
      } else if (whole.find("<H3") != std::string_view::npos || whole.find("<h3") != std::string_view::npos) {
        TreeNode* parent = nest.current;
        if (nest.heading) parent = nest.headingParent;
        if (TreeNode* f = NewFolder(parent, entry.Group(5))) {
          ++report.folders;
          nest.Heading(f, parent);
        }
      } else {
        const std::string url = CleanImportUrl(entry.Group(1), true);
        // Firefox's "place:" entries are queries of its own history, no pages.
        if (url.empty() || os::StartsWithNoCase(url, "place:")) {
          ++report.skipped;
        } else if (NewBookmark(nest.current, entry.Group(3), url)) {
          ++report.items;
        }
      }
      at = next;
    }
    // A last line that stops inside an entry: the file was cut off.
    if (n + 1 == lines.size() && std::string_view(at, static_cast<size_t>(end - at)).find("<DT") != std::string_view::npos)
      report.truncated = true;
  }
  report.unclosed = static_cast<int>(nest.returns.size());
}

// --- Moon Browser ---------------------------------------------------------------

void ParseMoon(std::vector<std::string>& lines, TreeNode* base, ImportReport& report) {
  Pattern item("m/<LI><A HREF=\\\"([^\\\"]+)\\\">([^<]+)<\\/A>/");
  Pattern folder("/<LI>(.*)<UL>/");
  TreeNode* current = base;
  // Where each open <UL> returns to; a <UL> of its own (the page's outer
  // list) keeps the current folder.
  std::vector<TreeNode*> returns;
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string& line = lines[n];
    if (item.Match(line, report)) {
      const std::string url = CleanImportUrl(item.Group(1), true);
      if (url.empty()) ++report.skipped;
      else if (NewBookmark(current, item.Group(2), url)) ++report.items;
    } else if (folder.Match(line, report)) {
      if (TreeNode* f = NewFolder(current, folder.Group(1))) {
        ++report.folders;
        returns.push_back(current);
        current = f;
        if (line.find("</UL>") != std::string::npos) {  // "<LI>name<UL></UL>": an empty folder
          current = returns.back();
          returns.pop_back();
        }
      }
    } else if (line.find("</UL>") != std::string::npos) {
      if (returns.empty()) {
        ++report.extraClosings;  // never above the import folder
      } else {
        current = returns.back();
        returns.pop_back();
      }
    } else if (line.find("<UL>") != std::string::npos) {
      returns.push_back(current);
    } else if (n + 1 == lines.size() && line.find("<LI>") != std::string::npos) {
      report.truncated = true;
    }
  }
  report.unclosed = static_cast<int>(returns.size());
}

struct BookmarkKind {
  const char* folderUtf8;
  const char* missingUtf8;
  void (*parse)(std::vector<std::string>&, TreeNode*, ImportReport&);
};

const BookmarkKind& KindOf(BookmarkFormat format) {
  static const BookmarkKind kNetscape{"Netscape の Bookmark",
                                      "Netscape のブックマーク(bookmark.htm)を同じディレクトリにコピーしてください)",
                                      ParseNetscape};
  static const BookmarkKind kMoon{"Moon Browser",
                                  "MoonBrowserのブックマーク(bookmark.html)を同じディレクトリにコピーしてください)",
                                  ParseMoon};
  return format == BookmarkFormat::Netscape ? kNetscape : kMoon;
}

void TellBookmarkResult(const ImportReport& report) {
  importer::TellDamage(report, "bookmark import");
  if (report.items == 0 && report.folders == 0 && !report.Damaged()) {
    os::MessageBox(os::SJ("取り込めるブックマークがありませんでした．\r\nファイルの形式を確認してください．"),
                   os::SJ("エラー"));
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text, os::SJ("ブックマークを取り込みました (%d 件, フォルダ %d 個)").c_str(), report.items,
                report.folders);
  os::Notice(text);
}

// --- 巡集 -------------------------------------------------------------------------

// The host of a URL: after "://" up to the next "/" or ":".
std::string_view HostOf(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme + 3);
  return rest.substr(0, rest.find_first_of("/:"));
}

std::string ToBackslashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  os::ForEachSjisChar(path, [&](std::string_view ch) { out += ch == "/" ? std::string_view("\\") : ch; });
  return out;
}

// Where the saved copy of a line lives: under the data directory (the user
// moves the copies there), or where 巡集 left it.
std::string JunshuLocalFile(std::string_view link, std::string_view url, std::string_view baseDir,
                            std::string_view dataDir, bool underData) {
  if (os::StartsWithNoCase(link, "file:///")) link.remove_prefix(8);
  if (underData) {
    const std::string_view host = HostOf(url);
    const size_t at = host.empty() ? std::string_view::npos : link.find(host);
    if (at != std::string_view::npos) {
      const std::string local = os::CutSjis(std::string(dataDir) + "\\" + ToBackslashes(link.substr(at)), kMaxPathLength);
      // The link comes from the file: it may not climb out of the data directory.
      return IsPathBelow(dataDir, local) ? local : std::string();
    }
  }
  if ((link.size() > 1 && link[1] == ':') || (!link.empty() && link[0] == '\\'))
    return os::CutSjis(ToBackslashes(link), kMaxPathLength);
  if (!link.empty() && link[0] == '/') return os::CutSjis(os::FromNativePath(link), kMaxPathLength);
  return os::CutSjis(std::string(baseDir) + "\\" + ToBackslashes(link), kMaxPathLength);
}

// --- Favorites ------------------------------------------------------------------

// Folders deeper than this are not walked: a link back up would never end.
constexpr int kMaxFavoritesDepth = 32;

// The URL of an Internet shortcut: the rest of its first "URL=" line.
std::string ShortcutUrl(const std::string& path) {
  std::string bytes;
  if (os::GetFileSize(path) > (1 << 20) || !os::ReadWholeFile(path, bytes)) return {};
  for (const std::string& line : importer::SplitLines(bytes))
    if (line.compare(0, 4, "URL=") == 0) return line.substr(4);
  return {};
}

void WalkFavorites(const std::string& dir, TreeNode* folder, int depth, ImportReport& report) {
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(dir, entries)) return;
  std::sort(entries.begin(), entries.end(),
            [](const os::DirEntry& a, const os::DirEntry& b) { return a.name < b.name; });
  for (const os::DirEntry& e : entries) {
    const std::string path = os::JoinPath(dir, e.name);
    if (e.isDirectory) {
      if (depth >= kMaxFavoritesDepth) {
        ++report.skipped;
        continue;
      }
      if (TreeNode* sub = NewFolder(folder, e.name)) {
        ++report.folders;
        WalkFavorites(path, sub, depth + 1, report);
      }
      continue;
    }
    if (e.name.size() < 5 || !os::EndsWithNoCase(e.name, ".url")) continue;
    const std::string raw = ShortcutUrl(path);
    const std::string url = CleanImportUrl(raw, false);
    if (url.empty() || url == "desktop") {
      if (!raw.empty()) ++report.skipped;
      continue;
    }
    if (NewBookmark(folder, std::string_view(e.name).substr(0, e.name.size() - 4), url)) ++report.items;
  }
}

}  // namespace

ImportReport ImportBookmarkFile(BookmarkFormat format, const std::string& path, TreeNode* target) {
  ImportReport report;
  if (!IsTargetFolder(target)) {
    report.refused = true;
    return report;
  }
  const BookmarkKind& kind = KindOf(format);
  Owned folder(NewFolder(nullptr, os::SJ(kind.folderUtf8), kPropertyBookmarkFolder));
  std::string bytes;
  const bool read = importer::ReadImportFile(path, bytes, report);
  if (read) {
    std::vector<std::string> lines = importer::SplitLines(ImportText(bytes));
    bytes.clear();
    kind.parse(lines, folder.get(), report);
  }
  {
    std::lock_guard tree(TreeMutex());
    if (!Attach(folder, target, report)) return report;
  }
  if (!read) {
    WriteLog("> can't open: %s", path.c_str());
    os::MessageBox(os::SJ(kind.missingUtf8), os::SJ("エラー"));
    return report;
  }
  WriteLog("> bookmarks: %d items, %d folders", report.items, report.folders);
  TellBookmarkResult(report);
  return report;
}

ImportReport ImportJunshuIndex(const std::string& path, TreeNode* target) {
  ImportReport report;
  const std::string junshu = os::SJ("巡集");
  {
    std::lock_guard tree(TreeMutex());
    if ((!IsFolder(target) && !IsRoot(target)) || !importer::InCollection(target)) {
      report.refused = true;
      return report;
    }
    for (TreeNode* c = target->firstChild; c; c = c->next)
      if (IsFolder(c) && c->title == junshu) report.folder = c;
    if (!report.folder) {
      Owned made(NewFolder(nullptr, junshu, kPropertyBookmarkFolder));
      if (!Attach(made, target, report)) return report;
    }
  }
  std::string bytes;
  if (!importer::ReadImportFile(path, bytes, report)) return report;
  std::vector<std::string> lines = importer::SplitLines(ImportText(bytes));
  bytes.clear();

  const size_t slash = path.find_last_of("\\/");
  const std::string baseDir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  const std::string dataDir = CurrentProfile().dirs.data;
  Pattern line("m/^(.+) : <a href=\\\"([^\\\"]+)\\\">(.*)<\\/a> : <font color=red>(.+)<\\/font>/");
  Owned batch(NewFolder(nullptr, junshu));  // holds the items until they are linked
  bool asked = false, underData = false;
  for (std::string& text : lines) {
    if (text.find("<a href=") == std::string::npos) continue;
    if (!asked) {
      asked = true;
      underData = os::MessageBox(os::SJ("ルートパスをZentuのデータフォルダに設定しますか？\r\nちなみにこの設定を反映させても"
                                        "データ自体は移動されませんので\r\n必要に応じて巡集のフォルダからコピーまたは移動"
                                        "してください．"),
                                 os::SJ("確認"), os::Buttons::YesNo, os::IDNO) == os::IDYES;
    }
    if (!line.Match(text, report)) continue;
    for (int g = 1; g <= 4; ++g) {
      const std::string_view v = line.Group(g);
      WriteLog("%d = %.*s", g, static_cast<int>(std::min<size_t>(v.size(), 512)), v.data());
    }
    std::string url(line.Group(4));
    if (!os::StartsWithNoCase(url, "http")) url = "http://" + url;
    url = CleanImportUrl(url, true);
    if (url.empty()) {
      ++report.skipped;
      continue;
    }
    const std::string date = CleanImportTitle(line.Group(1), 64);
    const std::string local =
        JunshuLocalFile(CleanImportUrl(line.Group(2), true), url, baseDir, dataDir, underData);
    TreeNode* item = NewBookmark(batch.get(), line.Group(3), url);
    if (!item) continue;
    SetLocalFile(item, local);
    SetLastCheck(item, date);
    SetOriginalDate(item, date);
    const int64_t size = local.empty() ? -1 : os::GetFileSize(local);
    SetSize(item, size > 0 ? static_cast<uint32_t>(std::min<int64_t>(size, UINT32_MAX)) : 0);
    SetDownloadFlag(item, kDownloadDone);
    ++report.items;
  }
  {
    std::lock_guard tree(TreeMutex());
    if (!report.folder || !importer::InCollection(report.folder)) {
      report.refused = true;
      return report;
    }
    while (TreeNode* item = batch->firstChild) {
      TreeNode* loose = Unlink(item);
      if (!AddItemToFolder(report.folder, loose)) DestroyNode(loose);
    }
  }
  importer::TellDamage(report, "junshu import");
  if (report.items == 0) {
    os::MessageBox(os::SJ("データが存在しないか，指定したファイルが巡集用ファイルじゃない可能性があります"),
                   os::SJ("エラー"));
  } else if (underData) {
    os::MessageBox(os::SJ("取り込み終了しました．\r\n巡集で取り込んだフォルダをZentuのデータフォルダにコピーすると\r\n"
                          "ちゃんと読み込めるようになります．"),
                   os::SJ("確認"));
  } else {
    os::MessageBox(os::SJ("取り込み終了しました．データは巡集フォルダを読み込みにいっています．"), os::SJ("確認"));
  }
  return report;
}

ImportReport ImportFavorites(const std::string& directory) {
  ImportReport report;
  WriteLogVerbose("Load IE Tree ...");
  WriteLogVerbose("Load = %s", directory.c_str());
  std::vector<os::DirEntry> probe;
  if (!directory.empty() && os::ListDirectory(directory, probe)) {
    report.opened = true;
    Owned folder(NewFolder(nullptr, os::SJ("IEのお気に入り"), kPropertyBookmarkFolder));
    WalkFavorites(directory, folder.get(), 0, report);
    std::lock_guard tree(TreeMutex());
    TreeNode* root = GetTreeState().root;
    if (root) {
      TreeNode* f = folder.get();
      if (Link(f, root, kLinkLastChild)) {
        (void)folder.release();
        report.folder = f;
      }
    }
  }
  WriteLogVerbose("Finish.");
  if (report.folder) {
    os::MessageBox(os::SJ("IEのお気に入りをロードしました♪"), os::SJ("IEのお気に入り"));
  } else {
    os::MessageBox(os::SJ("エラーが発生しました"), os::SJ("エラー"));
  }
  return report;
}

ImportReport ImportZentuTree(const std::string& path, TreeNode* target) {
  ImportReport report;
  if (!IsTargetFolder(target)) {
    report.refused = true;
    return report;
  }
  const TreeLoadResult loaded = LoadTree(path, target, CurrentTreeFileSettings());
  report.opened = loaded.ok != 0;
  std::lock_guard tree(TreeMutex());
  TreeNode* last = LastChild(target);
  if (last && IsFolder(last) && last->property == kPropertyImportFolder && last->title == path) report.folder = last;
  return report;
}

}  // namespace zentu
