#include "capture/mirror.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "analyzer/pagesifter.h"
#include "capture/rules.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "os/version.h"
#include "os/workers.h"
#include "pagelib/codedetect.h"
#include "pagelib/url.h"
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu {
namespace {

using os::SJ;
using os::StartsWithNoCase;

bool HasDriveColon(std::string_view s) { return s.size() >= 2 && s[1] == ':'; }

std::string TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

std::string TrimSeparator(std::string_view dir) {
  std::string d(dir);
  while (d.size() > 3 && (d.back() == '\\' || d.back() == '/')) d.pop_back();
  return d;
}

// The part of `path` below `dir`, or npos when it is not below it.
size_t BelowDirectory(std::string_view path, std::string_view dir) {
  if (dir.empty() || path.size() <= dir.size() + 1 || !StartsWithNoCase(path, dir)) return std::string::npos;
  if (path[dir.size()] != '\\' && path[dir.size()] != '/') return std::string::npos;
  return dir.size() + 1;
}

// "\" to "/", stepping over two-byte characters.
std::string LinkSeparators(std::string_view path) {
  std::string out(path);
  for (size_t i = 0; i < out.size(); ++i) {
    if (IsSjisLead(static_cast<unsigned char>(out[i])) && i + 1 < out.size()) {
      ++i;
    } else if (out[i] == '\\') {
      out[i] = '/';
    }
  }
  return out;
}

// Text for an HTML attribute or element: a title with "<" or a quote must not
// end the markup of the index page.
std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

struct MirrorState {
  std::mutex mutex;
  std::condition_variable ended;
  bool busy = false;
  MirrorHooks hooks;
  MirrorHooks::Dialog last;  // the dialog's settings, kept while the program runs
  os::WorkerPool pool;
};
MirrorState& S() {
  static MirrorState* state = new MirrorState;  // outlives every worker at exit
  return *state;
}
MirrorHooks Hooks() {
  std::lock_guard lock(S().mutex);
  return S().hooks;
}
void EndBusy() {
  std::lock_guard lock(S().mutex);
  S().busy = false;
  S().ended.notify_all();
}

// A detached copy of the node with its subtree, for the worker to read while
// the user goes on changing the collection.
TreeNode* CopySubtree(const TreeNode* from) {
  TreeNode* to = CreateNode(from->title, from->url, from->localFile, from->type == kNodeRoot ? kNodeFolder : from->type);
  to->lastCheck = from->lastCheck;
  to->originalDate = from->originalDate;
  to->property = from->type == kNodeRoot ? kPropertyFolder : from->property;
  to->size = from->size;
  to->mark = from->mark;
  to->downloadFlag = from->downloadFlag;
  to->sortMode = from->sortMode;
  to->unread = from->unread;
  for (const TreeNode* c = from->firstChild; c; c = c->next) Link(CopySubtree(c), to, kLinkLastChild);
  return to;
}

// The absolute program path of an item's local file, or "" for none.
std::string ItemFile(const TreeNode* item, const Directories& dirs) {
  std::string file = item->localFile;
  if (file.empty()) return {};
  if (HasDriveColon(file) || StartsWithNoCase(file, "\\\\") || StartsWithNoCase(file, "//")) {
    // an absolute path: as it is
  } else if (BelowDirectory(file, dirs.text) != std::string::npos) {
    // already inside the text directory
  } else {
    file = os::JoinPath(dirs.data, file);
  }
  if (size_t hash = file.find('#'); hash != std::string::npos) file.resize(hash);
  return file;
}

// The HREF of an item in the index: its file relative to the mirror
// directory (files keep their places below it), else its URL.
std::string IndexHref(const TreeNode* item, const Directories& dirs) {
  std::string file = ItemFile(item, dirs);
  size_t below = BelowDirectory(file, TrimSeparator(dirs.data));
  if (file.empty() || below == std::string::npos) return item->url;
  std::string href = LinkSeparators(std::string_view(file).substr(below));
  if (size_t hash = item->localFile.find('#'); hash != std::string::npos) href += item->localFile.substr(hash);
  return href;
}

}  // namespace

namespace detail {
void EditMirrorHooks(const std::function<void(MirrorHooks&)>& edit) {
  std::lock_guard lock(S().mutex);
  edit(S().hooks);
}
}  // namespace detail

void ClearMirrorHooks() {
  std::lock_guard lock(S().mutex);
  S().hooks = MirrorHooks{};
}

// ---- The file set ---------------------------------------------------------------------

MirrorFileSet::MirrorFileSet(std::string dataDirectory) : dataDirectory_(TrimSeparator(dataDirectory)) {}

std::string MirrorFileSet::Key(std::string_view path) const {
  std::string key(path.substr(dataDirectory_.size() + 1));
  for (size_t i = 0; i < key.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(key[i]);
    if (IsSjisLead(c) && i + 1 < key.size()) {
      ++i;
    } else if (c == '/') {
      key[i] = '\\';
    } else {
      key[i] = static_cast<char>(std::tolower(c));
    }
  }
  return key;
}

bool MirrorFileSet::Add(std::string_view path, bool processed) {
  if (!IsPathBelow(dataDirectory_, path) || BelowDirectory(path, dataDirectory_) == std::string::npos) return false;
  const std::string key = Key(path);
  auto less = [this](size_t a, const std::string& k) { return Key(files_[a].path) < k; };
  auto at = std::lower_bound(index_.begin(), index_.end(), key, less);
  if (at != index_.end() && Key(files_[*at].path) == key) return false;
  files_.push_back({std::string(path), processed});
  index_.insert(at, files_.size() - 1);
  return true;
}

bool MirrorFileSet::TakeUnprocessed(std::string& path) {
  for (; next_ < files_.size(); ++next_) {
    if (files_[next_].processed) continue;
    files_[next_].processed = true;
    path = files_[next_++].path;
    return true;
  }
  return false;
}

void MirrorFileSet::Clear() {
  files_.clear();
  index_.clear();
  next_ = 0;
}

// ---- The index page ---------------------------------------------------------------------

int WriteExportIndex(const TreeNode* folder, std::string_view path) {
  const Profile& profile = CurrentProfile();
  const Directories& dirs = profile.dirs;
  std::string html = "<HTML>\n<HEAD>\n";
  // The index is Shift_JIS like every page Zentu writes; saying so lets a
  // browser show the titles.
  html += "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n";
  html += "<TITLE>" + Escaped(folder->title) + "</TITLE>\n</HEAD>\n<UL>\n";
  int depth = 0;
  const TreeNode* node = folder->firstChild;
  while (node) {
    if (IsItem(node)) {
      const std::string href = IndexHref(node, dirs);
      html += "<LI><A HREF=\"" + Escaped(href) + "\">" + Escaped(node->title.empty() ? node->url : node->title) +
              "</A><a href=\"" + Escaped(node->url) + "\">*</A>\n";
    } else {
      html += "<LI>" + Escaped(node->title.empty() ? std::string("No Name") : node->title) + "<UL>\n";
    }
    // Pre-order, writing "</UL>" for each folder left.
    if (node->firstChild) {
      node = node->firstChild;
      ++depth;
      continue;
    }
    if (IsFolder(node)) html += "</UL>\n";
    while (node && !node->next && depth > 0) {
      node = node->parent;
      --depth;
      html += "</UL>\n";
    }
    node = node ? node->next : nullptr;
  }
  char footer[600];
  std::snprintf(footer, sizeof footer, "<HR>Created by <A HREF=\"%s\">Zentu v%.2lf</A>",
                Escaped(profile.ZentuSiteURL).c_str(), os::kProgramVersion);
  html += footer;
  html += "</BODY>\n</HTML>\n";
  if (!os::WriteFileAtomic(path, html)) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  SJ("セーブ用ファイルが開けません．つまりセーブできません．\r\n保存対象ファイル，保存対象ディレクトリがあるかなどチェックしてください\r\n保存ディレクトリに問題がある場合，iniファイルを書き換えてください．\r\nファイル名 = %s").c_str(),
                  std::string(path).c_str());
    os::GetDesktop().MessageBox(text, SJ("エラー"), os::Buttons::Ok, os::IDOK);
    return 0;
  }
  return 1;
}

// ---- The copies ---------------------------------------------------------------------------

void AddItemFilesToMirrorSet(const TreeNode* folder, MirrorFileSet& set) {
  const Directories& dirs = CurrentProfile().dirs;
  WriteLogVerbose("Begin searching... [%s]", folder->title.c_str());
  for (const TreeNode* n = folder->firstChild; n; n = NextInPreorder(n, folder)) {
    WriteLogVerbose("[Mirror] %s", n->title.c_str());
    if (!IsItem(n) || IsTextItem(n)) continue;
    std::string file = ItemFile(n, dirs);
    if (file.empty()) continue;
    if (BelowDirectory(file, set.DataDirectory()) == std::string::npos) {
      WriteLog("Error: %s", file.c_str());
      continue;
    }
    set.Add(file, false);
  }
}

namespace {

// One file copied through a temporary name beside the target: readers of
// the mirror directory see the old file or the new one, never a part.
bool CopyWhole(const std::string& from, const std::string& to, const std::stop_token& stop) {
  os::File in;
  if (!in.Open(from, os::File::Mode::Read)) return false;
  os::AtomicFile out;
  if (!out.Open(to, os::Access::Keep, os::Durability::Replaceable)) return false;
  static thread_local char buffer[1 << 16];
  for (;;) {
    if (stop.stop_requested()) return false;  // the temporary file goes with `out`
    const size_t n = in.Read(buffer, sizeof buffer);
    if (n == 0) break;
    if (!out.Write(std::string_view(buffer, n))) return false;
  }
  return out.Commit();
}

void AddLinkedFiles(MirrorFileSet& set, const std::string& file, bool followLinks) {
  const std::string& data = set.DataDirectory();
  auto* record = new (std::nothrow) _Pagesifter{nullptr};
  if (!record) {
    os::GetDesktop().MessageBox(SJ("メモリ確保エラー"), SJ("エラー"), os::Buttons::Ok, os::IDOK);
    return;
  }
  if (AnalyzeWeb(file.c_str(), data.c_str(), followLinks, &record) && record->text) {
    std::string_view list(record->text);
    while (!list.empty()) {
      size_t end = list.find('\n');
      std::string_view line = list.substr(0, end);
      if (line.empty()) break;
      if (BelowDirectory(line, data) != std::string::npos && IsPathBelow(data, line)) {
        set.Add(line, false);
      } else {
        const std::string shown(line);
        WriteLog("Error: %s", shown.c_str());
      }
      if (end == std::string_view::npos) break;
      list.remove_prefix(end + 1);
    }
  }
  FreePagesifterAPI(&record);
  delete record;
}

}  // namespace

size_t CopyMirrorFiles(MirrorFileSet& set, std::string_view mirrorDirectory, bool followLinks,
                       std::stop_token stop) {
  const std::string& data = set.DataDirectory();
  const std::string target = TrimSeparator(mirrorDirectory);
  size_t copied = 0;
  std::string file;
  while (!stop.stop_requested() && set.TakeUnprocessed(file)) {
    if (CheckFileType(file, kDownloadAsBinary) != 2) AddLinkedFiles(set, file, followLinks);
    const std::string to = target + "\\" + file.substr(data.size() + 1);
    // The walk down the mirror directory makes the folders and refuses a
    // symbolic link planted on the way, which would carry the copy elsewhere.
    if (os::PrepareFileBelow(target, to) != os::BelowStatus::Ok) {
      WriteLog("Error: Can't create directory: %s", to.substr(0, to.rfind('\\')).c_str());
      continue;
    }
    WriteLog("%s => %s", file.c_str(), to.c_str());
    // A failed copy is not reported; the mirror goes on with the next file.
    if (CopyWhole(file, to, stop)) ++copied;
  }
  if (stop.stop_requested()) WriteLog("> mirror stopped: %zu files copied", copied);
  return copied;
}

// ---- The worker and the command -----------------------------------------------------------

namespace {

using ExportRoot = std::shared_ptr<TreeNode>;

// A detached copy of what is exported, taken at the command: the current
// folder, or a "test root" holding the list's selected items. Null when
// there is nothing to export.
ExportRoot TakeExportRoot(char source, const MirrorHooks& hooks) {
  std::lock_guard tree(TreeMutex());
  if (source == 'e') {
    ExportRoot root(CreateNode("test root", {}, {}, kNodeFolder), NodeDeleter{});
    if (hooks.selectedItems)
      for (TreeNode* item : hooks.selectedItems()) Link(CopySubtree(item), root.get(), kLinkLastChild);
    return root;
  }
  if (const TreeNode* folder = GetTreeState().currentFolder) return ExportRoot(CopySubtree(folder), NodeDeleter{});
  return nullptr;
}

int Export(const ExportRoot& root, const std::string& directory, bool followLinks, std::stop_token stop) {
  os::Desktop& desktop = os::GetDesktop();
  WriteLog("Exporting...");
  desktop.StatusText("Exporting...");
  const std::string dir = TrimSeparator(directory);
  const std::string index = dir + "\\index.html";
  const MirrorHooks hooks = Hooks();
  if (!root) {
    desktop.MessageBox(SJ("フォルダが選択されていません"), SJ("エラー"), os::Buttons::Ok, os::IDOK);
    return 0;
  }
  int written = WriteExportIndex(root.get(), index);
  if (written) {
    TreeFileSettings settings = CurrentTreeFileSettings();
    settings.flagSave = true;
    settings.saveConfirm = false;
    settings.beforeTreeFileWrite = nullptr;
    if (!SaveTree(dir + "\\zentu.html", root.get(), settings)) WriteLog("Error: %s\\zentu.html", dir.c_str());
    MirrorFileSet set(CurrentProfile().dirs.data);
    AddItemFilesToMirrorSet(root.get(), set);
    CopyMirrorFiles(set, dir, followLinks, stop);
    if (hooks.refreshViews) hooks.refreshViews();
    // A stopped mirror is not offered as finished.
    if (stop.stop_requested()) written = 0;
  }
  WriteLog("Exported.");
  desktop.StatusText("Exported.");
  if (written && hooks.openIndex) hooks.openIndex(index);
  if (written) desktop.MessageBox(SJ("エクスポート完了しました"), "Zentu", os::Buttons::Ok, os::IDOK);
  return written;
}

}  // namespace

int RunMirror(char source, const std::string& directory, bool followLinks, std::stop_token stop) {
  return Export(TakeExportRoot(source, Hooks()), directory, followLinks, stop);
}

int StartMirror(char source, std::string_view presetDirectory) {
  MirrorHooks::Dialog settings;
  {
    std::lock_guard lock(S().mutex);
    if (S().busy) return 0;
    S().busy = true;
    settings = S().last;
  }
  os::Desktop& desktop = os::GetDesktop();
  const bool preset = !presetDirectory.empty();
  if (preset) {
    settings.directory = presetDirectory;
  } else {
    const MirrorHooks hooks = Hooks();
    if (hooks.dialog) {
      for (;;) {
        if (!hooks.dialog(settings)) {
          EndBusy();
          return 0;
        }
        if (!TrimBlanks(settings.directory).empty()) break;
        desktop.MessageBox(SJ("フォルダを指定してください"), SJ("エラー"), os::Buttons::Ok, os::IDOK);
      }
    } else {
      if (settings.directory.empty()) settings.directory = os::JoinPath(CurrentProfile().dirs.exportDir, "mirror");
      WriteLog("mirror settings: DIR = %s, follow links %d", settings.directory.c_str(), settings.followLinks);
    }
  }
  std::string dir = TrimSeparator(TrimBlanks(settings.directory));
  WriteLog("Create Mirror: DIR = %s [%d]", dir.c_str(), preset ? 1 : 0);
  if (!os::DirectoryExists(dir)) {
    if (!preset) WriteLog("Create DIR = %s", dir.c_str());
    if (dir.empty() || !os::CreateDirectories(dir)) {
      if (preset) {
        desktop.MessageBox(SJ("フォルダを作成できません"), SJ("エラー"), os::Buttons::Ok, os::IDOK);
      } else {
        desktop.MessageBox(dir, SJ("フォルダを作成できません"), os::Buttons::Ok, os::IDOK);
      }
      EndBusy();
      return 0;
    }
  }
  {
    std::lock_guard lock(S().mutex);
    if (!preset) S().last = {dir, settings.followLinks};
  }
  WriteLog("Create !!: DIR = %s", dir.c_str());
  const bool follow = settings.followLinks;
  // The views' selection is read here, on the caller's (UI) thread.
  ExportRoot root = TakeExportRoot(source, Hooks());
  const bool started = S().pool.Start(
      0, 1, [root, dir, follow](std::stop_token stop) { Export(root, dir, follow, stop); }, [] { EndBusy(); });
  if (!started) EndBusy();
  return started ? 1 : 0;
}

bool MirrorRunning() {
  std::lock_guard lock(S().mutex);
  return S().busy;
}

void WaitForMirror() {
  std::unique_lock lock(S().mutex);
  S().ended.wait(lock, [] { return !S().busy; });
  lock.unlock();
  S().pool.Reap();
}

bool StopMirror(std::chrono::milliseconds limit) {
  const bool ended = S().pool.StopAll(limit);
  if (!ended) WriteLog("> the mirror did not stop in time");
  return ended;
}

}  // namespace zentu
