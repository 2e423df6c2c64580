#include "store/treefile.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "os/clock.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "pagelib/bregexp.h"

namespace zentu {
namespace {

struct Texts {
  std::string receiveFolder = os::Utf8ToSjis("未整理フォルダ");
  std::string searchFolder = os::Utf8ToSjis("検索結果");
  std::string cannotOpenForSave = os::Utf8ToSjis(
      "セーブ用ファイルが開けません．つまりセーブできません．\r\n"
      "保存対象ファイル，保存対象ディレクトリがあるかなどチェックしてください\r\n"
      "保存ディレクトリに問題がある場合，iniファイルを書き換えてください．\r\n"
      "ファイル名 = %s");
  std::string error = os::Utf8ToSjis("エラー");
  std::string confirm = os::Utf8ToSjis("確認");
  std::string saveFailedNotice = os::Utf8ToSjis("保存に失敗しました");
  std::string cannotRead = os::Utf8ToSjis("ファイルを読み込むことができません");
  std::string broken = os::Utf8ToSjis("ツリー情報が壊れています．バックアップからデータを戻してください．");
  std::string versionBroken = os::Utf8ToSjis(
      "ツリーが壊れています．\r\nbackupフォルダから最新のものをコピーしてください．\r\n"
      "わからなければ作者に質問してください");
  std::string versionTooOld =
      os::Utf8ToSjis("0.47 以前の Zentu を入れ，バージョンアップ処理をしてください");
  std::string upgradeLog = os::Utf8ToSjis("* バージョンアップ * : %.2lf -> %.2lf");
  std::string backupDirFailed =
      os::Utf8ToSjis("バックアップ用ディレクトリが作成できません\r\n\r\nフォルダ名 = ");
  std::string askSave = os::Utf8ToSjis(
      "現在のツリー構造を保存しますか？\r\n\r\nAuto-Save でない場合，保存されていません．\r\n"
      "設定により終了時の確認を無くすことができます．");
  std::string exitSaveFailedLog = os::Utf8ToSjis("> セーブ失敗しました : %s");
  std::string exitSaveFailed = os::Utf8ToSjis("セーブ失敗しました．保存されません\r\nファイル名 = %s");
  std::string trouble = os::Utf8ToSjis("問題発生");
};

const Texts& T() {
  static const Texts texts;
  return texts;
}

std::string Format(const std::string& format, const std::string& arg) {
  std::string out;
  size_t at = format.find("%s");
  if (at == std::string::npos) return format;
  out = format.substr(0, at);
  out += arg;
  out += format.substr(at + 2);
  return out;
}

// Cuts a Shift_JIS text to at most `max` bytes without splitting a character.
bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// ---- Writing ------------------------------------------------------------------

// One save at a time. A second caller waits for the running save and then
// writes its own: refusing it would drop the changes it was asked to keep.
std::mutex g_saveMutex;

void AppendUnsigned(std::string& out, uint64_t v) {
  char buf[24];
  int n = std::snprintf(buf, sizeof buf, "%" PRIu64, v);
  out.append(buf, static_cast<size_t>(n));
}

void AppendInt(std::string& out, long long v) {
  char buf[24];
  int n = std::snprintf(buf, sizeof buf, "%lld", v);
  out.append(buf, static_cast<size_t>(n));
}

void AppendHex(std::string& out, uint32_t v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%X", v);
  out.append(buf, static_cast<size_t>(n));
}

std::string RelativeLocalFile(const std::string& local, const std::string& dataDir) {
  if (dataDir.empty() || local.size() <= dataDir.size() || !StartsWith(local, dataDir)) return local;
  char sep = local[dataDir.size()];
  // Only a whole directory prefix counts: "Z:\data" is no prefix of "Z:\database\x".
  if (sep == '\\' || sep == '/') return local.substr(dataDir.size() + 1);
  if (!dataDir.empty() && (dataDir.back() == '\\' || dataDir.back() == '/'))
    return local.substr(dataDir.size());
  return local;
}

// A title as one line of the file. Line breaks would end the line early; an
// item's title ends at its first "<" when read back, and a "\">" inside it is
// taken for the end of the attributes (the item, or its title, would be lost):
// those become a space, a full-width "＜" and a "”". None of these
// bytes can be the second byte of a Shift_JIS character, so bytes are compared.
void AppendTitle(std::string& out, const std::string& title, const char* fallback, bool item) {
  if (title.empty()) {
    out += fallback;
    return;
  }
  if (title.find_first_of(item ? "\r\n<\"" : "\r\n") == std::string::npos) {
    out += title;  // the usual title, as it is
    return;
  }
  for (size_t i = 0; i < title.size(); ++i) {
    const char c = title[i];
    if (c == '\r' || c == '\n') out += ' ';
    else if (item && c == '<') out += "\x81\x83";
    else if (item && c == '"' && i + 1 < title.size() && title[i + 1] == '>') out += "\x81\x68";
    else out += c;
  }
}

void WriteItemLine(std::string& out, const TreeNode* n, const std::string& dataDir) {
  out += "<LI><A HREF=\"";
  out += n->url;
  out += "\" LOCALFILE=\"";
  out += RelativeLocalFile(n->localFile, dataDir);
  out += "\" LASTCHECK=\"";
  out += n->lastCheck;
  out += "\" ORIGINAL=\"";
  out += n->originalDate;
  out += "\" SIZE=\"";
  AppendHex(out, n->size);
  out += "\" TYPE=\"";
  AppendInt(out, n->type);
  out += "\" PROPERTY=\"";
  AppendInt(out, n->property);
  out += "\" MARK=\"";
  AppendInt(out, n->mark);
  out += ':';
  AppendInt(out, n->unread ? 1 : 0);
  out += "\" PROTECTINFO=\"";
  AppendInt(out, n->isProtected ? 1 : 0);
  out += "\" DLFLAG=\"";
  AppendUnsigned(out, n->downloadFlag);
  out += "\">";
  AppendTitle(out, n->title, "no title", true);
  out += "</A>\r\n";
}

void WriteFolderLine(std::string& out, const TreeNode* n, TreeFormat format) {
  out += "<LI TYPE=\"";
  AppendInt(out, n->type);
  out += "\" PROPERTY=\"";
  AppendInt(out, n->property);
  out += "\" PROTECTINFO=\"";
  AppendInt(out, n->isProtected ? 1 : 0);
  out += "\" EXPAND=\"";
  AppendInt(out, n->expanded ? 1 : 0);
  bool rss = n->property == kPropertyRssFolder;
  bool sync = n->property == kPropertySyncFolder;
  if (format == TreeFormat::Current || rss) {
    out += "\" SORT=\"";
    AppendUnsigned(out, n->sortMode >= kSortNone ? n->sortMode - kSortNone : 0);
  }
  if (sync) {
    out += "\" PATH=\"";
    out += n->localFile;
    out += "\" OPTION=\"";
    for (bool b : n->syncOptions) out += b ? '1' : '0';
  } else if (rss) {
    out += "\" PATH=\"";
    out += n->url;
    out += "\" OPTION=\"";
    out += n->feedOnly ? '1' : '0';
    AppendInt(out, n->feedSetting);
    out += n->autoDelete ? '1' : '0';
  }
  out += "\">";
  AppendTitle(out, n->title, "No Name", false);
  out += "<UL>\r\n";
}

// The nodes a saved file holds, in pre-order without recursion (a deeply
// nested collection cannot exhaust the stack): `open` for each node, `close`
// for the end of each folder. A sync folder's children mirror a directory and
// are never written.
template <typename Open, typename Close>
void WalkSaved(const TreeNode* top, Open&& open, Close&& close) {
  const TreeNode* n = top->firstChild;
  while (n) {
    bool folder = n->type != kNodeItem;
    open(n);
    if (folder && n->firstChild && n->property != kPropertySyncFolder) {
      n = n->firstChild;
      continue;
    }
    if (folder) close();
    while (n && n != top && !n->next) {
      n = n->parent;
      if (n && n != top) close();
    }
    if (!n || n == top) break;
    n = n->next;
  }
}

void RenderTree(std::string& out, const TreeNode* top, const std::string& dataDir, TreeFormat format) {
  char version[32];
  std::snprintf(version, sizeof version, "%.2lf", kTreeFileVersion);
  out += "<HTML>\r\n<TITLE>";
  out += top->title;
  out += "</TITLE>\r\n<VERSION>";
  out += version;
  out += "</VERSION>\r\n<UL>\r\n";
  WalkSaved(
      top,
      [&](const TreeNode* n) {
        if (n->type != kNodeItem) WriteFolderLine(out, n, format);
        else WriteItemLine(out, n, dataDir);
      },
      [&] { out += "</UL>\r\n"; });
  out += "</UL>\r\n</HTML>\r\n";
}

// ---- Reading -----------------------------------------------------------------

constexpr const char* kItemPattern =
    "m/^<LI><A HREF=\\\"(.*)\\\" LOCALFILE=\\\"(.*)\\\" LASTCHECK=\\\"(.*)\\\" ORIGINAL=\\\"(.*)\\\" "
    "SIZE=\\\"(.*)\\\" TYPE=\\\"(.+)\\\" PROPERTY=\\\"(.+)\\\" MARK=\\\"(.+)\\\" "
    "PROTECTINFO=\\\"(.+)\\\" DLFLAG=\\\"(.+)\\\">([^<]*)<\\/A>/";
constexpr const char* kItemPatternNextCheck =
    "m/^<LI><A HREF=\\\"(.*)\\\" LOCALFILE=\\\"(.*)\\\" LASTCHECK=\\\"(.*)\\\" ORIGINAL=\\\"(.*)\\\" "
    "NEXTCHECK=\\\"(.*)\\\" SIZE=\\\"(.*)\\\" TYPE=\\\"(.+)\\\" PROPERTY=\\\"(.+)\\\" "
    "MARK=\\\"(.+)\\\" PROTECTINFO=\\\"(.+)\\\" DLFLAG=\\\"(.+)\\\">([^<]*)<\\/A>/";

}  // namespace

TreeFileSettings& CurrentTreeFileSettings() {
  static TreeFileSettings settings;
  return settings;
}

bool ParseItemLineByPattern(const std::string& line, ItemLineFields& f) {
  bool next = line.find("NEXTCHECK=\"\"") != std::string::npos;
  const char* pattern = next ? kItemPatternNextCheck : kItemPattern;
  thread_local BREGEXP* rx[2] = {nullptr, nullptr};
  char msg[kBregexpMessageSize] = {};
  std::string buf = line;
  char* start = buf.data();
  int r = BMatch(pattern, start, start + buf.size(), &rx[next ? 1 : 0], msg);
  if (msg[0]) {
    WriteLog("regexp error: %s", msg);
    return false;
  }
  BREGEXP* m = rx[next ? 1 : 0];
  if (r <= 0 || !m || m->nparens < (next ? 12 : 11)) return false;
  auto group = [&](int i) -> std::string {
    if (!m->startp[i] || !m->endp[i] || m->endp[i] <= m->startp[i]) return std::string();
    return std::string(m->startp[i], m->endp[i]);
  };
  int k = 1;
  f.href = group(k++);
  f.localFile = group(k++);
  f.lastCheck = group(k++);
  f.original = group(k++);
  if (next) ++k;
  f.size = group(k++);
  f.type = group(k++);
  f.property = group(k++);
  f.mark = group(k++);
  f.protect = group(k++);
  f.dlflag = group(k++);
  f.title = group(k++);
  return true;
}

// The common line, where the only quote characters are those of the
// delimiters, parsed without the regular-expression engine: then the pattern's
// greedy groups can only end at those same delimiters. Any other line goes to
// the pattern, so both give the same fields for every line.
bool ParseItemLine(const std::string& line, ItemLineFields& f) {
  static constexpr std::string_view kHead = "<LI><A HREF=\"";
  if (!StartsWith(line, kHead)) return false;
  bool next = line.find("NEXTCHECK=\"\"") != std::string::npos;
  static constexpr std::string_view kDelims[] = {
      "\" LOCALFILE=\"", "\" LASTCHECK=\"", "\" ORIGINAL=\"", "\" NEXTCHECK=\"", "\" SIZE=\"",
      "\" TYPE=\"", "\" PROPERTY=\"", "\" MARK=\"", "\" PROTECTINFO=\"", "\" DLFLAG=\"", "\">"};
  std::string_view s(line);
  size_t quotes = static_cast<size_t>(std::count(s.begin(), s.end(), '"'));
  size_t expected = 1;  // the one of the head
  for (std::string_view d : kDelims) {
    if (d == "\" NEXTCHECK=\"" && !next) continue;
    expected += static_cast<size_t>(std::count(d.begin(), d.end(), '"'));
  }
  if (quotes != expected) return ParseItemLineByPattern(line, f);
  std::string_view values[12];
  size_t pos = kHead.size();
  int v = 0;
  for (std::string_view d : kDelims) {
    if (d == "\" NEXTCHECK=\"" && !next) continue;
    size_t at = s.find(d, pos);
    if (at == std::string_view::npos) return ParseItemLineByPattern(line, f);
    values[v++] = s.substr(pos, at - pos);
    pos = at + d.size();
  }
  size_t lt = s.find('<', pos);
  if (lt == std::string_view::npos || s.compare(lt, 4, "</A>") != 0) return false;
  values[v++] = s.substr(pos, lt - pos);
  int k = 0;
  f.href.assign(values[k++]);
  f.localFile.assign(values[k++]);
  f.lastCheck.assign(values[k++]);
  f.original.assign(values[k++]);
  if (next) ++k;
  f.size.assign(values[k++]);
  f.type.assign(values[k++]);
  f.property.assign(values[k++]);
  f.mark.assign(values[k++]);
  f.protect.assign(values[k++]);
  f.dlflag.assign(values[k++]);
  f.title.assign(values[k++]);
  // (.+) groups must not be empty.
  if (f.type.empty() || f.property.empty() || f.mark.empty() || f.protect.empty() || f.dlflag.empty())
    return false;
  return true;
}

int SaveTree(const std::string& path, TreeNode* node, const TreeFileSettings& settings, TreeFormat format) {
  if (!settings.flagSave || !node) return 0;
  std::unique_lock saving(g_saveMutex);

  std::string data;
  {
    std::lock_guard tree(TreeMutex());
    RenderTree(data, node, settings.dataDirectory, format);
  }
  if (settings.beforeTreeFileWrite && path == settings.treeFile) settings.beforeTreeFileWrite();

  // Every save goes through a temporary file, so a crash or a full disk never
  // leaves a half-written tree file, backup or export behind.
  std::string temp = path + ".$$$";
  std::string dir = os::DirectoryOf(path);
  if (!dir.empty() && !os::DirectoryExists(dir)) (void)os::CreateDirectories(dir);
  os::File out;
  if (!out.Open(temp, os::File::Mode::Write)) {
    os::MessageBox(Format(T().cannotOpenForSave, temp), T().error);
    return 0;
  }
  bool written = out.Write(data) && out.Sync();
  written = out.Close() && written;
  if (!written || os::GetFileSize(temp) != static_cast<int64_t>(data.size())) {
    (void)os::DeleteFile(temp);
    os::Notice(T().saveFailedNotice);
    WriteLog("Can't save: %s", path.c_str());
    return 0;
  }

  bool isTreeFile = path == settings.treeFile && os::FileExists(path);
  if (isTreeFile) {
    // Refresh the ".bak" beside the tree file without ever being without one:
    // copy the current file to a temporary name and rename it over the old
    // ".bak", then rename the new content over the tree file.
    std::string bak = path + ".bak";
    std::string bakTemp = bak + ".$$$";
    bool bakOk = os::CopyFile(path, bakTemp);
    if (bakOk) {
      os::File sync;
      bakOk = sync.Open(bakTemp, os::File::Mode::Append) && sync.Sync() && sync.Close();
    }
    if (!bakOk || !os::RenameFile(bakTemp, bak)) {
      (void)os::DeleteFile(bakTemp);
      (void)os::DeleteFile(temp);
      os::Notice(T().saveFailedNotice);
      WriteLog("Can't save: %s", path.c_str());
      return 0;
    }
  }
  if (!os::RenameFile(temp, path)) {
    (void)os::DeleteFile(temp);
    os::Notice(T().saveFailedNotice);
    WriteLog("Can't save: %s", path.c_str());
    return 0;
  }
  saving.unlock();
  if (settings.saveForLocalMode && format == TreeFormat::Current && node == GetTreeState().root)
    SaveLocalIndex(settings.localIndexFile, settings);
  return 1;
}

int SaveTree(const TreeFileSettings& settings) {
  return SaveTree(settings.treeFile, GetTreeState().root, settings);
}

namespace {

struct Loader {
  const TreeFileSettings& settings;
  bool full;
  TreeNode* current = nullptr;
  TreeNode* top = nullptr;  // the root, or the import folder
  TreeLoadResult result;

  void Append(TreeNode* node) {
    if (!Link(node, current, kLinkLastChild)) DestroyNode(node);
  }

  void ReadError(const std::string& line) {
    WriteLog("# READ ERROR : %s", line.c_str());
    ++result.readErrors;
    result.damaged = true;
  }

  static int NumberAfter(std::string_view line, std::string_view key, int fallback) {
    size_t at = line.find(key);
    if (at == std::string_view::npos) return fallback;
    at += key.size();
    bool neg = false;
    if (at < line.size() && line[at] == '-') {
      neg = true;
      ++at;
    }
    if (at >= line.size() || line[at] < '0' || line[at] > '9') return fallback;
    long long v = 0;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9' && v < 100000000) v = v * 10 + (line[at++] - '0');
    return static_cast<int>(neg ? -v : v);
  }

  // PATH="..." up to the next quote, cut at `max` bytes.
  static std::string PathValue(std::string_view line, size_t max, size_t* after) {
    size_t at = line.find(" PATH=\"");
    if (at == std::string_view::npos) {
      *after = 0;
      return std::string();
    }
    at += 7;
    size_t end = line.find('"', at);
    if (end == std::string_view::npos) end = line.size();
    *after = end;
    return os::CutSjis(line.substr(at, end - at), max);
  }

  static std::string OptionDigits(std::string_view line) {
    size_t at = line.find(" OPTION=\"");
    if (at == std::string_view::npos) return std::string();
    at += 9;
    size_t end = line.find('"', at);
    if (end == std::string_view::npos) return std::string();
    return std::string(line.substr(at, end - at));
  }

  TreeNode* NewFolder(std::string_view line, std::string title) {
    TreeNode* f = CreateNode(title, {}, {}, kNodeFolder);
    int property = NumberAfter(line, "PROPERTY=\"", kPropertyFolder);
    if (!full && (property == kPropertyReceiveFolder || property == kPropertySearchFolder))
      property = kPropertyFolder;
    TreeState& st = GetTreeState();
    // A second receive or search-result folder would break the "exactly one" rule.
    if (full && property == kPropertyReceiveFolder && st.receiveFolder) property = kPropertyFolder;
    if (full && property == kPropertySearchFolder && st.searchFolder) property = kPropertyFolder;
    SetProperty(f, static_cast<NodeProperty>(property));
    f->expanded = NumberAfter(line, "EXPAND=\"", 0) == 1;
    int sort = line.find(" SORT=") != std::string_view::npos ? NumberAfter(line, " SORT=\"", 0) : 0;
    if (sort >= 0 && sort <= static_cast<int>(kSortLast - kSortNone)) f->sortMode = kSortNone + static_cast<uint32_t>(sort);
    if (full && NumberAfter(line, "PROTECTINFO=\"", 0) == 1 && property != kPropertySyncFolder &&
        property != kPropertyRssFolder)
      f->isProtected = true;
    if (full && property == kPropertyReceiveFolder) {
      st.receiveFolder = f;
      f->isProtected = true;
    }
    if (full && property == kPropertySearchFolder) {
      st.searchFolder = f;
      f->isProtected = true;
    }
    return f;
  }

  void OpenFolder(TreeNode* f) {
    if (!Link(f, current, kLinkLastChild)) {
      DestroyNode(f);
      return;
    }
    current = f;
    if (settings.applyCustomIcon) settings.applyCustomIcon(f);
  }

  // The title of a folder line: after the first ">" from `from`, up to the
  // last "<UL>", cut at 511 bytes; `fallback` when that leaves nothing.
  static std::string TitleAfter(std::string_view line, size_t from, const char* fallback) {
    size_t gt = line.find('>', from);
    std::string title;
    if (gt != std::string_view::npos) {
      std::string_view rest = line.substr(gt + 1);
      size_t ul = rest.rfind("<UL>");
      if (ul != std::string_view::npos) rest = rest.substr(0, ul);
      title = os::CutSjis(rest, 511);
    }
    return title.empty() ? std::string(fallback) : title;
  }

  void SyncFolder(std::string_view line) {
    size_t after = 0;
    std::string path = PathValue(line, 259, &after);
    TreeNode* f = NewFolder(line, TitleAfter(line, after, "no title"));
    f->localFile = path;
    std::string opt = OptionDigits(line);
    for (size_t i = 0; i < 4 && i < opt.size(); ++i) f->syncOptions[i] = opt[i] == '1';
    f->isProtected = false;
    OpenFolder(f);
    if (current == f && settings.fillSyncFolder) settings.fillSyncFolder(f);
  }

  void RssFolder(std::string_view line) {
    size_t after = 0;
    std::string url = PathValue(line, 2048, &after);
    TreeNode* f = NewFolder(line, TitleAfter(line, after, "Untitled"));
    f->url = url;
    std::string opt = OptionDigits(line);
    if (opt.size() >= 1) f->feedOnly = opt[0] == '1';
    if (opt.size() >= 2 && opt[1] >= '0' && opt[1] <= '9') f->feedSetting = opt[1] - '0';
    if (opt.size() >= 3) f->autoDelete = opt[2] == '1';
    f->isProtected = false;
    OpenFolder(f);
  }

  void OtherFolder(std::string_view line) {
    size_t gt = line.find('>');
    std::string_view rest = gt == std::string_view::npos ? std::string_view() : line.substr(gt + 1);
    if (rest.size() >= 4 && rest.substr(rest.size() - 4) == "<UL>") rest.remove_suffix(4);
    std::string title = os::CutSjis(rest, 512);
    if (title.empty()) title = "No title";
    OpenFolder(NewFolder(line, title));
  }

  void Item(const std::string& line) {
    ItemLineFields f;
    if (!ParseItemLine(line, f)) {
      ReadError(line);
      return;
    }
    if (f.href.empty() && f.localFile.empty()) return;
    TreeNode* n = CreateNode(f.title.empty() ? std::string("Untitled") : f.title, f.href, f.localFile, kNodeItem);
    n->lastCheck = f.lastCheck;
    n->originalDate = f.original;
    unsigned int size = 0;
    if (std::sscanf(f.size.c_str(), "%X", &size) == 1) n->size = size;
    int property = kPropertyUrlItem;
    std::sscanf(f.property.c_str(), "%d", &property);
    int mark = 0, unread = 0;
    std::sscanf(f.mark.c_str(), "%d:%d", &mark, &unread);
    n->mark = (mark >= 0 && mark <= 9) ? mark : 0;
    unsigned int dl = 0;
    std::sscanf(f.dlflag.c_str(), "%u", &dl);
    SetProperty(n, static_cast<NodeProperty>(property));
    SetDownloadFlag(n, dl <= 3 ? dl : 0);
    if (!Link(n, current, kLinkLastChild)) {
      DestroyNode(n);
      return;
    }
    // Set after linking, without the walk up the folders: the counts are made
    // in one pass at the end (one walk per item would make deep files quadratic).
    n->unread = unread != 0;
  }

  void Line(std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::string_view s(line);
    if (StartsWith(s, "</UL>")) {
      if (current != top && current->parent) current = current->parent;
      else if (StartsWith(s, "</UL>")) closingsAtTop++;
      return;
    }
    if (StartsWith(s, "<UL>")) return;
    if (StartsWith(s, "<VERSION>")) {
      double v = 0;
      if (std::sscanf(line.c_str(), "<VERSION>%lf</VERSION>", &v) != 1 || v == 0) v = kTreeFileVersion;
      result.version = v;
      return;
    }
    if (StartsWith(s, "<LI TYPE=\"1\" PROPERTY=\"6\"")) return SyncFolder(s);
    if (StartsWith(s, "<LI TYPE=\"1\" PROPERTY=\"11\"")) return RssFolder(s);
    if (StartsWith(s, "<LI TYPE=\"")) return OtherFolder(s);
    if (!s.empty() && s.front() == '<' && s.back() == '>') {
      if (StartsWith(s, "<HTML>") || StartsWith(s, "</HTML>") || StartsWith(s, "<TITLE>")) return;
      return Item(line);
    }
    ReadError(line);
  }
  int closingsAtTop = 0;
};

TreeNode* MakeSpecialFolder(const std::string& title, NodeProperty property) {
  TreeNode* f = CreateNode(title, {}, {}, kNodeFolder);
  SetProperty(f, property);
  f->isProtected = true;
  return f;
}

std::string DamagedCopyName(const std::string& path) {
  os::LocalTime lt = os::LocalNow();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, ".%04d%02d%02d-%02d%02d%02d.damaged", lt.year, lt.month, lt.day,
                lt.hour, lt.minute, lt.second);
  return path + stamp;
}

}  // namespace

void BuildDefaultTree(const TreeFileSettings& settings) {
  std::lock_guard tree(TreeMutex());
  ResetTreeState();
  TreeState& st = GetTreeState();
  TreeNode* root = CreateNode(kRootWord, {}, {}, kNodeRoot);
  root->isProtected = true;
  st.root = root;
  TreeNode* receive = MakeSpecialFolder(T().receiveFolder, kPropertyReceiveFolder);
  Link(receive, root, kLinkLastChild);
  st.receiveFolder = receive;
  TreeNode* search = MakeSpecialFolder(T().searchFolder, kPropertySearchFolder);
  Link(search, root, kLinkLastChild);
  st.searchFolder = search;
  TreeNode* site = CreateNode("Zentu Site", {}, {}, kNodeFolder);
  SetProperty(site, kPropertyProductFolder);
  Link(site, root, kLinkLastChild);
  const std::pair<const char*, const std::string*> items[] = {
      {"Zentu Home", &settings.siteUrl}, {"Zentu [BBS]", &settings.bbsUrl}, {"Zentu Help [Wiki]", &settings.helpUrl}};
  for (auto& [title, url] : items) {
    TreeNode* item = CreateNode(title, *url, {}, kNodeItem);
    SetDownloadFlag(item, kDownloadNone);
    Link(item, site, kLinkLastChild);
  }
  st.currentFolder = root;
  MarkTreeModified();
}

TreeLoadResult LoadTree(const std::string& path, TreeNode* parent, const TreeFileSettings& settings) {
  std::lock_guard tree(TreeMutex());
  bool full = parent == nullptr;
  Loader loader{settings, full, nullptr, nullptr, {}, 0};
  TreeState& st = GetTreeState();
  if (full) {
    ResetTreeState();
    TreeNode* root = CreateNode(kRootWord, {}, {}, kNodeRoot);
    root->isProtected = true;
    st.root = root;
    loader.top = root;
  } else {
    TreeNode* folder = CreateNode(path, {}, {}, kNodeFolder);
    SetProperty(folder, kPropertyImportFolder);
    if (!Link(folder, parent, kLinkLastChild)) {
      DestroyNode(folder);
      return loader.result;
    }
    loader.top = folder;
    st.currentFolder = folder;
  }
  loader.current = loader.top;

  std::string data;
  if (!os::ReadWholeFile(path, data)) {
    if (full) {
      WriteLog("> not found : %s", path.c_str());
      // A crash of an older build between its two renames could leave only the
      // ".bak": take it rather than starting over with an empty collection.
      std::string bak = path + ".bak";
      if (os::FileExists(bak) && os::ReadWholeFile(bak, data) && !data.empty()) {
        WriteLog("> load backup : %s", bak.c_str());
      } else {
        BuildDefaultTree(settings);
        loader.result.ok = 1;
        loader.result.usedDefault = true;
        return loader.result;
      }
    } else {
      os::MessageBox(path, T().cannotRead);
      return loader.result;
    }
  }
  if (data.empty()) {
    os::MessageBox(T().broken, T().error);
    loader.result.damaged = true;
  }

  size_t pos = 0;
  std::string line;
  constexpr size_t kLineLimit = 32768;
  bool sawEnd = false;
  while (pos < data.size()) {
    if (settings.stop && settings.stop->load(std::memory_order_relaxed)) {
      // The program is ending: what was read is no collection to keep or save.
      WriteLog("> load of the tree stopped: %s", path.c_str());
      loader.result.stopped = true;
      break;
    }
    size_t nl = data.find('\n', pos);
    size_t end = nl == std::string::npos ? data.size() : nl + 1;
    if (end - pos > kLineLimit - 1) end = pos + kLineLimit - 1;  // a longer line arrives in pieces
    line.assign(data, pos, end - pos);
    pos = end;
    if (StartsWith(line, "</HTML>")) sawEnd = true;
    loader.Line(line);
  }
  RecountUnread(loader.top);
  if (loader.result.stopped) {
    if (full) st.modified.store(false);
    return loader.result;
  }
  if (!data.empty()) {
    // Unbalanced nesting or a missing end: the file was cut short or edited by hand.
    if (!sawEnd || loader.current != loader.top || loader.closingsAtTop != 1 ||
        data.find('\0') != std::string::npos)
      loader.result.damaged = true;
  }
  if (full) {
    if (!st.receiveFolder) {
      TreeNode* receive = MakeSpecialFolder(T().receiveFolder, kPropertyReceiveFolder);
      if (st.root->firstChild) Link(receive, st.root->firstChild, kLinkBefore);
      else Link(receive, st.root, kLinkLastChild);
      st.receiveFolder = receive;
    }
    if (!st.searchFolder) {
      TreeNode* search = MakeSpecialFolder(T().searchFolder, kPropertySearchFolder);
      Link(search, st.receiveFolder, kLinkAfter);
      st.searchFolder = search;
    }
    st.currentFolder = st.root;
    st.modified.store(false);
    if (loader.result.damaged) {
      // Keep the file as it was before any later save can replace it.
      std::string copy = DamagedCopyName(path);
      if (os::WriteFileAtomic(copy, data)) {
        loader.result.keptCopy = copy;
        WriteLog("> damaged tree file kept as %s", copy.c_str());
      }
    }
  }
  loader.result.ok = 1;
  return loader.result;
}

TreeVersionFinding CheckTreeVersion(const std::string& path, const TreeVersionHooks& hooks, double* version) {
  os::File f;
  if (!f.Open(path, os::File::Mode::Read)) {
    if (hooks.firstTimeSetup) hooks.firstTimeSetup();
    return TreeVersionFinding::Missing;
  }
  std::string line;
  double v = 0;
  bool found = false;
  while (f.ReadLine(line, 2048)) {
    size_t at = line.find("<VERSION>");
    if (at != std::string::npos) {
      found = std::sscanf(line.c_str() + at, "<VERSION>%lf", &v) == 1;
      break;
    }
  }
  if (version) *version = v;
  if (!found || v == 0) {
    os::MessageBox(T().versionBroken, T().error);
    return TreeVersionFinding::Broken;
  }
  if (v < 0.4) {
    os::MessageBox(T().versionTooOld, T().error);
    return TreeVersionFinding::TooOld;
  }
  TreeVersionFinding finding = TreeVersionFinding::Current;
  if (v < kTreeFileVersion) {
    char buf[256];
    std::snprintf(buf, sizeof buf, T().upgradeLog.c_str(), v, kTreeFileVersion);
    WriteLog("%s", buf);
    if (hooks.upgrade) hooks.upgrade(v, kTreeFileVersion);
    finding = TreeVersionFinding::Upgrade;
  }
  if (v <= 0.47 + 1e-9 && hooks.firstTimeSetup) hooks.firstTimeSetup();
  return finding;
}

std::string BackupFileName(const TreeFileSettings& settings) {
  os::LocalTime lt = os::LocalNow();
  char name[32];
  std::snprintf(name, sizeof name, "%04u%02u%02u.html", static_cast<unsigned>(lt.year),
                static_cast<unsigned>(lt.month), static_cast<unsigned>(lt.day));
  return os::JoinPath(settings.backupDirectory, name);
}

int BackupTree(const TreeFileSettings& settings) {
  if (!settings.flagSave) return 0;
  if (!os::DirectoryExists(settings.backupDirectory) && !os::CreateDirectories(settings.backupDirectory)) {
    os::MessageBox(T().backupDirFailed + settings.backupDirectory, T().error);
    return 0;
  }
  std::string name = BackupFileName(settings);
  WriteLog("# Backup MyZentu File : %s", name.c_str());
  return SaveTree(name, GetTreeState().root, settings);
}

void PeriodicSaveStep(const TreeFileSettings& settings) {
  TreeState& st = GetTreeState();
  if (settings.autoSave && !st.modified.load()) return;
  // Taken before writing: a change made while the file is written marks the
  // tree again and is saved next time instead of being forgotten.
  bool modified = st.modified.exchange(false);
  bool ok = true;
  if (settings.autoSave) {
    WriteLog("# Save Zentu File : %s", settings.treeFile.c_str());
    if (!SaveTree(settings)) {
      WriteLog("Can't save: %s", settings.treeFile.c_str());
      ok = false;
    }
  }
  if (modified && !BackupTree(settings)) ok = false;
  if (!ok && modified) st.modified.store(true);
}

bool SaveTreeAtExit(const TreeFileSettings& settings, bool* saved) {
  if (saved) *saved = false;
  WriteLog("# Confirm : Save");
  if (!settings.flagSave) return true;
  TreeState& st = GetTreeState();
  auto fail = [&](bool logAsExit) {
    if (logAsExit) {
      char buf[1024];
      std::snprintf(buf, sizeof buf, T().exitSaveFailedLog.c_str(), settings.treeFile.c_str());
      WriteLog("%s", buf);
    } else {
      WriteLog("Can't save: %s", settings.treeFile.c_str());
    }
    os::MessageBox(Format(T().exitSaveFailed, settings.treeFile), T().trouble);
    return false;
  };
  // Cleared before the write, as the timer's save does: a change made while
  // it runs (a capture ending) leaves the tree marked for the next save.
  auto save = [&](bool logAsExit) {
    const bool was = st.modified.exchange(false);
    if (SaveTree(settings)) {
      if (saved) *saved = true;
      return true;
    }
    if (was) st.modified.store(true);
    return fail(logAsExit);
  };
  if (st.modified.load() && settings.saveConfirm) {
    if (os::MessageBox(T().askSave, T().confirm, os::Buttons::YesNo, os::IDYES) != os::IDYES) return true;
    WriteLog("# Save Zentu File : %s", settings.treeFile.c_str());
    return save(true);
  }
  return save(false);
}

int SaveLocalIndex(const std::string& path, const TreeFileSettings& settings) {
  std::string out;
  const TreeNode* top;
  {
    std::lock_guard tree(TreeMutex());
    top = GetTreeState().root;
    if (!top) return 0;
    char version[32];
    std::snprintf(version, sizeof version, "%.2lf", kTreeFileVersion);
    out += "<HTML><HEAD>\n<TITLE>" + top->title + "</TITLE>\n<VERSION>" + version + "</VERSION>\n";
    out += "<link rel=\"stylesheet\" type=\"text/css\" href=\"Document/zentu.css\">\n";
    if (!settings.baseHref.empty()) {
      out += "<base href=\"" + settings.baseHref + "\">";
    } else {
      // A browser here needs the native form of the data directory.
      auto native = os::ToNativePath(settings.dataDirectory);
      std::string dir = native ? os::Utf8ToSjis(*native) : settings.dataDirectory;
      if (!dir.empty() && dir.back() != '/') dir += '/';
      out += "<base href=\"file://" + dir + "\">";
    }
    out += "</HEAD><BODY>\n<UL>\n";
    WalkSaved(
        top,
        [&](const TreeNode* n) {
          if (n->type != kNodeItem) {
            out += "<LI>" + (n->title.empty() ? std::string("No Name") : n->title) + "</LI><UL>\n";
            return;
          }
          std::string local = RelativeLocalFile(n->localFile, settings.dataDirectory);
          out += "<LI><A HREF=\"" + (local.empty() ? n->url : local) + "\">" +
                 (n->title.empty() ? std::string("No title") : n->title) + "</A> - <A HREF=\"" + n->url +
                 "\">*</A>";
          if (n->size != 0) out += " - " + std::to_string(n->size / 1024) + "KB";
          if (!n->lastCheck.empty()) out += " [" + n->lastCheck + "]";
          out += "</LI>\n";
        },
        [&] { out += "</UL>\n"; });
    out += "</UL>\n</HTML>\n";
  }
  std::string crlf;
  crlf.reserve(out.size() + out.size() / 16);
  for (char c : out) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return os::WriteFileAtomic(path, crlf) ? 1 : 0;
}

}  // namespace zentu
