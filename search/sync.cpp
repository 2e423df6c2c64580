#include "search/sync.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "os/clock.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/scanner.h"
#include "pagelib/url.h"
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu {
namespace {

constexpr size_t kMaxSyncPath = 259;

std::mutex& HooksMutex() {
  static std::mutex m;
  return m;
}
SyncMoveHooks& Hooks() {
  static SyncMoveHooks hooks;
  return hooks;
}

std::string FileDate(std::time_t t) { return os::DateTimeText(os::GetClock().ToLocal(t)); }

std::string CutLast4(std::string_view name) {
  return std::string(name.size() > 4 ? name.substr(0, name.size() - 4) : std::string_view());
}

// The target of an Internet shortcut file: its "URL=" line.
std::string ShortcutTarget(const std::string& path) {
  os::File f;
  if (!f.Open(path, os::File::Mode::Read)) return "";
  std::string line;
  while (f.ReadLine(line, 2048)) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (os::StartsWithNoCase(line, "URL=")) return line.substr(4);
  }
  return "";
}

TreeNode* ItemForFile(const std::string& path, const os::DirEntry& e, const SyncSettings& settings) {
  const std::string ext = FileExtension(e.name);
  TreeNode* n = CreateNode(e.name, path, path, kNodeItem);
  if (IsPageFile(e.name)) {
    n->property = kPropertyUrlItem;
    n->downloadFlag = kDownloadDone;
  } else if (ext == "url") {
    std::string target = ShortcutTarget(path);
    n->title = CutLast4(e.name);
    n->url = target;
    n->localFile = settings.importUrlAsHtmlItem ? path : target;
    n->downloadFlag = kDownloadNone;
  } else if (ext == "lnk") {
    // A shell link has no meaning here beyond its name: the item opens the file.
    n->title = CutLast4(e.name);
    n->downloadFlag = kDownloadNone;
  } else {
    n->property = kPropertyTextItem;
    if (ext == "txt") n->title = CutLast4(e.name);
  }
  n->size = static_cast<uint32_t>(e.size);
  n->lastCheck = n->originalDate = FileDate(e.modified);
  return n;
}

bool IsSyncTarget(const TreeNode* target) { return IsSyncFolder(target) || EnclosingSyncFolder(target); }

// A title turned into a file name: characters no name may hold become "_".
std::string NameFromTitle(std::string_view title) {
  std::string out;
  os::ForEachSjisChar(title, [&](std::string_view ch) {
    if (ch.size() == 1 && (std::string_view("\\/:*?\"<>|").find(ch[0]) != std::string_view::npos ||
                           static_cast<unsigned char>(ch[0]) < 0x20))
      out.push_back('_');
    else
      out.append(ch);
  });
  if (out.empty() || out == "." || out == "..") out = "No Name";
  return out;
}

}  // namespace

TreeNode* NewSyncFolderNode(std::string_view title, std::string_view directory, const bool options[4]) {
  TreeNode* f = CreateNode(title, directory, directory, kNodeFolder);
  f->property = kPropertySyncFolder;
  for (int i = 0; i < 4; ++i) f->syncOptions[i] = options[i];
  return f;
}

int FillSyncFolder(TreeNode* folder, std::string_view directory, const SyncSettings& settings) {
  if (!folder || !os::DirectoryExists(directory)) return 0;
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(directory, entries)) {
    os::MessageBox(os::SJ("同期フォルダ読み込みエラーです"), "Error");
    return -1;
  }
  // The listing comes in the file system's order; the tree shows it by name.
  std::sort(entries.begin(), entries.end(),
            [](const os::DirEntry& a, const os::DirEntry& b) { return a.name < b.name; });
  const std::string dir(directory);
  int added = 0;
  for (const os::DirEntry& e : entries) {
    const std::string path = os::JoinPath(dir, e.name);
    if (e.isDirectory) {
      if (!folder->syncOptions[kSyncSubdirectories]) continue;
      if (folder->syncOptions[kSyncSkipFilesFolders] && os::ContainsNoCase(e.name, ".files")) continue;
      TreeNode* sub = NewSyncFolderNode(e.name, path, folder->syncOptions);
      if (!Link(sub, folder, kLinkLastChild)) {
        DestroyNode(sub);
        continue;
      }
      ++added;
      WriteLog("New Path: %s", path.c_str());
      int inner = FillSyncFolder(sub, path, settings);
      if (inner > 0) added += inner;
      continue;
    }
    TreeNode* n = ItemForFile(path, e, settings);
    if (!Link(n, folder, kLinkLastChild)) {
      DestroyNode(n);
      continue;
    }
    ++added;
  }
  return added;
}

int ReloadSyncFolder(TreeNode* folder, const SyncSettings& settings) {
  if (!IsSyncFolder(folder)) return 0;
  while (TreeNode* c = folder->firstChild) DestroyNode(c);
  std::string path = os::CutSjis(folder->localFile, kMaxSyncPath);
  return FillSyncFolder(folder, path, settings);
}

TreeNode* EnclosingSyncFolder(const TreeNode* node) {
  for (TreeNode* p = node ? node->parent : nullptr; p; p = p->parent)
    if (IsSyncFolder(p)) return p;
  return nullptr;
}

std::string TextDirectoryForFolder(const TreeNode* folder) {
  if (IsSyncFolder(folder)) return folder->localFile;
  if (TreeNode* s = EnclosingSyncFolder(folder)) return s->localFile;
  return "";
}

std::string FreeFileName(std::string_view directory, std::string_view name) {
  std::string candidate = os::JoinPath(directory, name);
  if (!os::PathExists(candidate)) return std::string(name);
  std::string base(name), ext = "txt";
  if (size_t dot = base.rfind('.'); dot != std::string::npos && dot > 0) {
    ext = base.substr(dot + 1);
    base.resize(dot);
  }
  for (int i = 1;; ++i) {
    std::string next = base + " (" + std::to_string(i) + ")." + ext;
    if (!os::PathExists(os::JoinPath(directory, next))) return next;
  }
}

void SetSyncMoveHooks(SyncMoveHooks hooks) {
  std::lock_guard lock(HooksMutex());
  Hooks() = std::move(hooks);
}

bool CheckMoveIntoOrOutOfSync(TreeNode* node, TreeNode* target, std::string_view textDirectory) {
  if (!node || !target) return false;
  TreeNode* from = EnclosingSyncFolder(node);
  const bool intoSync = IsSyncTarget(target);
  std::string source, newDirectory;
  if (from) {
    if (IsFolder(node)) {
      if (intoSync) {
        WriteLog("Can't move sync folder to sync folder");
        return false;
      }
      return true;
    }
    source = node->localFile;
    newDirectory = intoSync ? std::string(TextDirectoryForFolder(target)) : std::string(textDirectory);
  } else {
    if (!intoSync) return true;
    if (IsFolder(node)) {
      WriteLog("Can't move folder to sync folder");
      return false;
    }
    std::string file = node->localFile.find_first_of(":\\/") == std::string::npos
                           ? os::JoinPath(textDirectory, node->localFile)
                           : node->localFile;
    if (!IsTextItem(node) || !os::StartsWithNoCase(file, os::JoinPath(textDirectory, ""))) {
      WriteLog("Can't move url item to sync folder");
      return false;
    }
    source = file;
    newDirectory = TextDirectoryForFolder(target);
  }
  if (!os::FileExists(source)) return true;  // nothing on disk to carry along
  std::string name = os::FileNameOf(source);
  if (FileExtension(name) == "txt") name = NameFromTitle(node->title) + ".txt";
  if (os::EqualsNoCase(os::DirectoryOf(source), newDirectory)) {
    name = os::FileNameOf(source);  // already there: the file stays as it is
  } else {
    name = FreeFileName(newDirectory, name);
  }
  const std::string dest = os::JoinPath(newDirectory, name);
  if (dest != source) {
    WriteLog("rename %s -> %s", source.c_str(), dest.c_str());
    if (!os::RenameFile(source, dest)) {
      WriteLog("Can't move %s", source.c_str());
      return false;  // the node stays with its file
    }
    SyncMoveHooks hooks;
    {
      std::lock_guard lock(HooksMutex());
      hooks = Hooks();
    }
    if (hooks.fileMoved) hooks.fileMoved(source, dest);
  }
  SetLocalFile(node, intoSync ? dest : name);
  SetUrl(node, dest);
  return true;
}

void InstallSyncFolders() {
  CurrentTreeFileSettings().fillSyncFolder = [](TreeNode* folder) {
    SyncSettings s;
    s.importUrlAsHtmlItem = CurrentProfile().ImportUrlAsHtmlItem;
    FillSyncFolder(folder, os::CutSjis(folder->localFile, kMaxSyncPath), s);
  };
}

}  // namespace zentu
