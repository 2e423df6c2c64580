#include "search/search.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "os/clock.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "os/text.h"
#include "pagelib/codedetect.h"
#include "pagelib/scanner.h"
#include "pagelib/url.h"
#include "store/treefile.h"

namespace zentu {
namespace {

constexpr size_t kContentsBytes = 256;  // of the text from the match on

bool HasAsciiLetter(std::string_view s) {
  for (char c : s)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return false;
}

const std::string& CannotSearchResultFolder() { return os::SJ("検索フォルダを検索することはできません"); }

TreeNode* CopyItem(const TreeNode& n) {
  TreeNode* c = CreateNode(n.title, n.url, n.localFile, kNodeItem);
  c->property = n.property;
  c->lastCheck = n.lastCheck;
  c->originalDate = n.originalDate;
  c->size = n.size;
  c->mark = n.mark;
  c->downloadFlag = n.downloadFlag;
  c->pictureByState = n.pictureByState;
  c->unread = n.unread;
  return c;
}

void Append(TreeNode* folder, TreeNode* node) {
  if (!Link(node, folder, kLinkLastChild)) DestroyNode(node);
}

// Items in pre-order below `scope` (or the whole tree), the result folder left out.
template <typename F>
void ForEachItemInScope(TreeNode* scope, TreeNode* result, F&& f) {
  TreeNode* top = scope ? scope : GetTreeState().root;
  if (!top) return;
  for (TreeNode* n = top; n;) {
    if (n == result || IsSearchFolder(n)) {
      // Skip the result folder with everything below it.
      TreeNode* after = n;
      while (after && after != top && !after->next) after = after->parent;
      n = (after && after != top) ? after->next : nullptr;
      continue;
    }
    if (IsItem(n) && !f(n)) return;
    n = NextInPreorder(n, top);
  }
}

int SearchField(TreeNode* scope, std::string_view keyword, TreeNode* result, bool matchCase,
                std::string TreeNode::*field) {
  if (keyword.empty() || !result) return -1;
  std::lock_guard lock(TreeMutex());
  ClearSearchResults(result);
  if (scope == result) {
    os::MessageBox(CannotSearchResultFolder(), "Zentu");
    return -1;
  }
  int hits = 0;
  ForEachItemInScope(scope, result, [&](TreeNode* n) {
    if (FindKeyword(n->*field, keyword, matchCase) != std::string::npos) {
      Append(result, CopyItem(*n));
      ++hits;
    }
    return true;
  });
  return hits;
}

std::string FileDate(std::time_t t) { return os::DateTimeText(os::GetClock().ToLocal(t)); }

// The contents text: from the match on, one line's worth, without breaking a
// character.
std::string ContentsFrom(std::string_view sjis, size_t at) {
  std::string out = os::CutSjis(sjis.substr(at), kContentsBytes);
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return out;
}

}  // namespace

SearchSettings& CurrentSearchSettings() {
  static SearchSettings settings;
  return settings;
}

size_t FindKeyword(std::string_view text, std::string_view keyword, bool matchCase) {
  if (keyword.empty() || keyword.size() > text.size()) return std::string_view::npos;
  if (matchCase || !HasAsciiLetter(keyword)) {
    const void* hit = ::memmem(text.data(), text.size(), keyword.data(), keyword.size());
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : std::string_view::npos;
  }
  const char first = os::AsciiLower(keyword[0]);
  const char other = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
  const size_t last = text.size() - keyword.size();
  for (size_t i = 0; i <= last; ++i) {
    // Jump to the next place the first byte could match, in either case.
    const char* p = text.data() + i;
    const void* a = std::memchr(p, first, last - i + 1);
    const void* b = other != first ? std::memchr(p, other, last - i + 1) : nullptr;
    const char* q = static_cast<const char*>(a);
    if (b && (!q || static_cast<const char*>(b) < q)) q = static_cast<const char*>(b);
    if (!q) break;
    i = static_cast<size_t>(q - text.data());
    if (os::EqualsNoCase(text.substr(i, keyword.size()), keyword)) return i;
  }
  return std::string_view::npos;
}

void ClearSearchResults(TreeNode* folder) {
  if (!folder) return;
  std::lock_guard lock(TreeMutex());
  while (TreeNode* c = folder->firstChild) DestroyNode(c);
  WriteLogVerbose("Clear: All search results");
  if (GetTreeState().currentFolder == folder) RecountUnread(folder);
}

int SearchTitles(TreeNode* scope, std::string_view keyword, TreeNode* result, bool matchCase) {
  return SearchField(scope, keyword, result, matchCase, &TreeNode::title);
}

int SearchUrls(TreeNode* scope, std::string_view keyword, TreeNode* result, bool matchCase) {
  return SearchField(scope, keyword, result, matchCase, &TreeNode::url);
}

int SearchMarked(int mark, TreeNode* result) {
  if (!result) return -1;
  std::lock_guard lock(TreeMutex());
  ClearSearchResults(result);
  int hits = 0;
  ForEachItemInScope(nullptr, result, [&](TreeNode* n) {
    if (n->mark == mark + 1) {
      Append(result, CopyItem(*n));
      ++hits;
    }
    return true;
  });
  return hits;
}

int SearchUnread(TreeNode* result) {
  if (!result) return -1;
  std::lock_guard lock(TreeMutex());
  ClearSearchResults(result);
  int hits = 0;
  ForEachItemInScope(nullptr, result, [&](TreeNode* n) {
    if (n->unread) {
      Append(result, CopyItem(*n));
      ++hits;
    }
    return true;
  });
  return hits;
}

std::string ItemFilePath(std::string_view localFile, std::string_view dataDirectory,
                         std::string_view textDirectory) {
  std::string path(localFile);
  if (size_t hash = path.find('#'); hash != std::string::npos) path.resize(hash);
  if (path.empty()) return path;
  if ((path.size() >= 2 && path[1] == ':') ||
      (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')))
    return path;
  std::string_view rest = path;
  if (!textDirectory.empty() && os::StartsWithNoCase(rest, textDirectory)) {
    rest.remove_prefix(textDirectory.size());
    while (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) rest.remove_prefix(1);
  }
  if (rest.find_first_of("/:\\") == std::string_view::npos) return os::JoinPath(textDirectory, rest);
  return os::JoinPath(dataDirectory, path);
}

// --- Contents search ---

namespace {

std::string KeywordIn(const std::string& sjis, int code) {
  if (code == kCodeUtf8) return os::SjisToUtf8(sjis);
  std::string euc;
  if (!os::IconvConvert("EUC-JP-MS", "CP932", sjis, euc)) return sjis;
  return euc;
}

}  // namespace

FileMatch TestFile(const std::string& path, const ContentsQuery& query, bool gatherLinks) {
  FileMatch m;
  if (!IsReadableTextFile(path)) return m;
  std::string bytes;
  if (!os::ReadWholeFile(path, bytes)) {
    if (os::PathExists(path)) WriteLog("Can't read %s", path.c_str());
    return m;
  }
  if (std::memchr(bytes.data(), '\0', bytes.size())) return m;  // a binary file
  m.read = true;
  const int code = DetectCode(bytes);
  if (!gatherLinks && (code == kCodeEuc || code == kCodeUtf8)) {
    // The keyword in the page's own code finds what it would in the converted
    // text, without converting the whole page; only the contents text is.
    std::string own = code == kCodeEuc ? query.keywordEuc : query.keywordUtf8;
    if (own.empty()) own = KeywordIn(query.keyword, code);
    const size_t at = FindKeyword(bytes, own, query.matchCase);
    m.matched = at != std::string::npos;
    if (m.matched) {
      std::string tail = ConvertToSjis(std::string_view(bytes).substr(at, kContentsBytes * 3), code);
      m.contents = ContentsFrom(tail, 0);
    }
    return m;
  }
  std::string converted;
  std::string_view sjis = bytes;
  if (code != kCodeSjis) {
    converted = ConvertToSjis(bytes, code);
    sjis = converted;
  }
  const size_t at = FindKeyword(sjis, query.keyword, query.matchCase);
  m.matched = at != std::string_view::npos;
  if (m.matched) m.contents = ContentsFrom(sjis, at);
  if (gatherLinks && IsPageFile(path)) {
    ReadOptions o;
    o.dataDirectory = query.dataDirectory;
    o.location = path;
    PageReading r = ReadPage(sjis, o);
    m.title = std::move(r.title);
    for (const FoundLink& f : r.links) {
      if (query.ignoreAtag && f.source == LinkSource::Page) continue;
      for (const std::string& target : f.targets) {
        std::string file;
        if (FindLinkedFile(query.dataDirectory, target, file)) {
          m.links.push_back(std::move(file));
          break;
        }
      }
    }
  }
  return m;
}

namespace {

struct ScopeItem {
  TreeNode copy;  // the fields a result copies (never linked)
  std::string file;
};

// Appends a hit under the tree lock, provided the result folder still exists.
void AppendHit(TreeNode* hit) {
  std::lock_guard lock(TreeMutex());
  TreeNode* result = GetTreeState().searchFolder;
  if (result) {
    Append(result, hit);
  } else {
    DestroyNode(hit);
  }
}

void Status(const std::string& text) { os::GetDesktop().StatusText(text); }

int NodeVariant(const ContentsQuery& q, const std::vector<ScopeItem>& items, std::stop_token stop) {
  int hits = 0;
  for (const ScopeItem& item : items) {
    if (stop.stop_requested()) break;
    FileMatch m = TestFile(item.file, q, false);
    if (!m.matched) continue;
    TreeNode* hit = CopyItem(item.copy);
    hit->contents = std::move(m.contents);
    AppendHit(hit);
    ++hits;
  }
  return hits;
}

// The file set: each file once, names compared without ASCII case.
class FileSet {
 public:
  bool Add(const std::string& path) {
    std::string key = path;
    for (char& c : key) c = c == '/' ? '\\' : os::AsciiLower(c);
    if (!seen_.emplace(std::move(key), true).second) return false;
    files_.push_back(path);
    return true;
  }
  size_t size() const { return files_.size(); }
  const std::string& at(size_t i) const { return files_[i]; }

 private:
  std::unordered_map<std::string, bool> seen_;
  std::vector<std::string> files_;  // in the order added; searched in that order
};

TreeNode* ItemFromFile(const std::string& path, const ContentsQuery& q, FileMatch& m) {
  std::string title = m.title.size() < 2 ? std::string("No Name") : m.title;
  std::string url = path;
  if (IsPathBelow(q.dataDirectory, path) && path.size() > q.dataDirectory.size()) {
    url = path.substr(q.dataDirectory.size());
    while (!url.empty() && url[0] == '\\') url.erase(0, 1);
  }
  TreeNode* n = CreateNode(title, url, path, kNodeItem);
  int64_t size = os::GetFileSize(path);
  n->size = size > 0 ? static_cast<uint32_t>(size) : 0;
  std::time_t t = 0;
  if (os::GetFileTime(path, t)) n->lastCheck = FileDate(t);
  n->downloadFlag = kDownloadDone;
  n->contents = std::move(m.contents);
  return n;
}

int FileVariant(const ContentsQuery& q, const std::vector<ScopeItem>& items, std::stop_token stop) {
  FileSet set;
  for (const ScopeItem& item : items) set.Add(item.file);
  int hits = 0;
  size_t searched = 0;
  // Each file is tested once; a page's links join the set behind it, so the
  // walk goes on until nothing new turned up.
  for (size_t i = 0; i < set.size() && !stop.stop_requested(); ++i) {
    const std::string path = set.at(i);
    FileMatch m = TestFile(path, q, true);
    ++searched;
    for (const std::string& link : m.links) set.Add(link);
    if (searched % 10 == 0) {
      char text[96];
      std::snprintf(text, sizeof text, "%zu/%zu (%.1lf%%)", searched, set.size(),
                    100.0 * static_cast<double>(searched) / static_cast<double>(set.size()));
      Status(text);
    }
    if (!m.matched) continue;
    AppendHit(ItemFromFile(path, q, m));
    ++hits;
  }
  return hits;
}

}  // namespace

int RunContentsSearch(const ContentsQuery& query, std::stop_token stop) {
  if (query.keyword.size() < 2) return 0;
  ContentsQuery q = query;
  q.keywordEuc = KeywordIn(q.keyword, kCodeEuc);
  q.keywordUtf8 = KeywordIn(q.keyword, kCodeUtf8);
  Status("Searching... [" + q.keyword + "]");
  WriteLog("Searching... [%s]", q.keyword.c_str());
  std::vector<ScopeItem> items;
  {
    std::lock_guard lock(TreeMutex());
    TreeNode* result = GetTreeState().searchFolder;
    if (q.scope == result) {
      os::MessageBox(CannotSearchResultFolder(), "Zentu");
      return 0;
    }
    ClearSearchResults(result);
    WriteLogVerbose("Begin searching... [%s]", q.scope ? q.scope->title.c_str() : "all");
    ForEachItemInScope(q.scope, result, [&](TreeNode* n) {
      if (n->localFile.empty()) return true;
      ScopeItem item;
      item.copy.title = n->title;
      item.copy.url = n->url;
      item.copy.localFile = n->localFile;
      item.copy.lastCheck = n->lastCheck;
      item.copy.originalDate = n->originalDate;
      item.copy.size = n->size;
      item.copy.mark = n->mark;
      item.copy.downloadFlag = n->downloadFlag;
      item.copy.property = n->property;
      item.copy.pictureByState = n->pictureByState;
      item.file = ItemFilePath(n->localFile, q.dataDirectory, q.textDirectory);
      items.push_back(std::move(item));
      return true;
    });
  }
  int hits = q.searchLink ? FileVariant(q, items, stop) : NodeVariant(q, items, stop);
  Status("Finish [" + q.keyword + "]");
  return hits;
}

ContentsSearch::~ContentsSearch() { Stop(); }

bool ContentsSearch::Start(ContentsQuery query, std::function<void(int)> done) {
  pool_.Reap();
  return pool_.Start(0, 1, [query = std::move(query), done = std::move(done)](std::stop_token stop) {
    int hits = RunContentsSearch(query, stop);
    if (done) done(hits);
  });
}

bool ContentsSearch::Running() const { return pool_.Running(0) > 0; }

bool ContentsSearch::Stop(std::chrono::milliseconds limit) { return pool_.StopAll(limit); }

bool ContentsSearch::WaitIdle(std::chrono::milliseconds limit) { return pool_.WaitIdle(limit); }

ContentsSearch& TheContentsSearch() {
  static ContentsSearch search;
  return search;
}

// --- Outside index ---

namespace {

// A listed page shows its own title; other files, and pages without one, "No Name".
std::string PageTitle(const std::string& path) {
  std::string bytes;
  if (IsPageFile(path) && os::ReadWholeFile(path, bytes) && !std::memchr(bytes.data(), '\0', bytes.size())) {
    std::string title = ReadPage(ConvertToSjis(bytes, DetectCode(bytes)), ReadOptions{}).title;
    if (title.size() >= 2) return title;
  }
  return "No Name";
}

}  // namespace

std::string IndexResultPath(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.size() <= 2 || line[0] != '/') return "";
  if (line[2] == '|') {
    std::string path(line.substr(1));
    path[1] = ':';
    return path;
  }
  // Linux's command lists native paths.
  return os::FromNativePath(line);
}

int SearchByIndex(std::string_view query, std::string_view indexDirectory, TreeNode* result,
                  std::string_view programDirectory) {
  WriteLog("search by namazu: %.*s", static_cast<int>(query.size()), query.data());
  if (!result) {
    WriteLog("not found: result tree");
    return -1;
  }
  ClearSearchResults(result);
  const std::string temp = os::JoinPath(programDirectory, "Temp");
  if (!os::DirectoryExists(temp)) {
    WriteLog("Create folder: %s", temp.c_str());
    if (!os::CreateDirectories(temp)) return -1;
  }
  os::LocalTime t = os::GetClock().ToLocal(os::Now());
  char name[64];
  std::snprintf(name, sizeof name, "SR%04d%02d%02d%02d%02d%02d%03d.dat", t.year, t.month, t.day, t.hour,
                t.minute, t.second, static_cast<int>(os::TickMs() % 1000));
  const std::string resultFile = os::JoinPath(temp, name);
  auto nativeFile = os::ToNativePath(resultFile);
  auto nativeIndex = os::ToNativePath(indexDirectory);
  if (!nativeFile || !nativeIndex) return -1;
  // The command reads its index and its query in EUC-JP when told the locale is.
  std::string eucQuery;
  if (!os::IconvConvert("EUC-JP-MS", "CP932", query, eucQuery)) eucQuery = os::SjisToUtf8(query);
  WriteLog("namazu -l -a -o \"%s\" \"%.*s\" \"%.*s\"", resultFile.c_str(), static_cast<int>(query.size()),
           query.data(), static_cast<int>(indexDirectory.size()), indexDirectory.data());
  if (os::RunProgram({"namazu", "-l", "-a", "-o", *nativeFile, eucQuery, *nativeIndex},
                     {"LANG=ja_JP.eucJP", "LC_ALL", "LC_CTYPE", "LANGUAGE"}) < 0)
    return -1;
  os::File f;
  if (!f.Open(resultFile, os::File::Mode::Read)) return -1;
  std::vector<TreeNode*> found;
  std::string line;
  while (f.ReadLine(line, 1024)) {
    std::string path = IndexResultPath(line);
    if (path.empty()) continue;
    TreeNode* n = CreateNode(PageTitle(path), path, path, kNodeItem);
    int64_t size = os::GetFileSize(path);
    n->size = size > 0 ? static_cast<uint32_t>(size) : 0;
    n->downloadFlag = kDownloadDone;
    std::time_t when = 0;
    if (os::GetFileTime(path, when)) n->lastCheck = FileDate(when);
    found.push_back(n);
  }
  f.Close();
  (void)os::DeleteFile(resultFile);
  std::lock_guard lock(TreeMutex());
  for (TreeNode* n : found) Append(result, n);
  return static_cast<int>(found.size());
}

// --- Find folder ---

TreeNode* FindFolderAfter(TreeNode* root, TreeNode* selected, std::string_view name, bool exact,
                          bool matchCase) {
  if (!root || name.empty()) return nullptr;
  TitleMatch match = exact ? TitleMatch::Whole : TitleMatch::Part;
  if (selected) {
    if (TreeNode* start = NextInPreorder(selected, nullptr))
      if (TreeNode* f = FindFolderByTitle(start, name, match, matchCase)) return f;
  }
  return FindFolderByTitle(root, name, match, matchCase);
}

}  // namespace zentu
