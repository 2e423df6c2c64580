#include "editor/textitem.h"

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "editor/kedit.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "pagelib/url.h"
#include "store/profile.h"
#include "store/tree.h"

namespace zentu {
namespace {

TextItemHooks& Hooks() {
  static TextItemHooks hooks;
  return hooks;
}

// An extension: a dot and one to eight ASCII letters or digits, at least one
// a letter ("v1.5" is a version, not a kind of file).
size_t ExtensionStart(std::string_view name) {
  size_t dot = std::string_view::npos;
  os::ForEachSjisChar(name, [&](std::string_view ch) {
    if (ch.size() == 1 && ch[0] == '.') dot = static_cast<size_t>(ch.data() - name.data());
  });
  if (dot == std::string_view::npos || dot == 0) return std::string_view::npos;
  const std::string_view ext = name.substr(dot + 1);
  if (ext.empty() || ext.size() > 8) return std::string_view::npos;
  bool letter = false;
  for (char c : ext) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alpha && !(c >= '0' && c <= '9')) return std::string_view::npos;
    letter = letter || alpha;
  }
  return letter ? dot : std::string_view::npos;
}

// The full-width stand-ins for what a file name cannot hold.
std::string ReplaceNameCharacters(std::string_view text) {
  struct Sub {
    char c;
    const char* utf8;
  };
  static const Sub kSubs[] = {{'\t', "  "}, {'"', "”"}, {'*', "＊"}, {',', "，"}, {'/', "／"}, {':', "："},
                              {';', "；"},  {'<', "＜"}, {'>', "＞"}, {'?', "？"}, {'\\', "￥"}, {'|', "｜"}};
  std::string out;
  os::ForEachSjisChar(text, [&](std::string_view ch) {
    if (ch.size() == 1) {
      for (const Sub& s : kSubs)
        if (s.c == ch[0]) {
          out += os::SJ(s.utf8);
          return;
        }
      // A control byte has no place in a name either.
      if (static_cast<unsigned char>(ch[0]) < 0x20) {
        out += ' ';
        return;
      }
    }
    out += ch;
  });
  return out;
}

bool IsBlankTitle(std::string_view text) {
  bool blank = true;
  os::ForEachSjisChar(text, [&](std::string_view ch) {
    if (ch == " " || ch == "\t" || ch == "\x81\x40") return;
    blank = false;
  });
  return blank;
}

bool InSyncFolder(const TreeNode* node) { return node && IsSyncFolder(node->parent); }
bool SyncNamesFromTitles(const TreeNode* folder) { return IsSyncFolder(folder) && folder->syncOptions[1]; }

bool SaveCollectionNow() {
  const TextItemHooks& h = Hooks();
  return h.saveCollection ? h.saveCollection() : true;
}

// Appends a new text item under `folder`; the node keeps the file name
// (sync folders: the whole path) as its local file and the path as its URL.
TreeNode* MakeItem(TreeNode* folder, const std::string& title, const std::string& dir, const std::string& name,
                   std::string_view url) {
  const std::string path = os::JoinPath(dir, name);
  TreeNode* node = CreateNode(title, url.empty() ? std::string_view(path) : url,
                              IsSyncFolder(folder) ? std::string_view(path) : std::string_view(name), kNodeItem);
  node->property = kPropertyTextItem;
  if (!Link(node, folder, kLinkLastChild)) {
    DestroyNode(node);
    return nullptr;
  }
  return node;
}

std::string CutTitle(std::string_view text, size_t limit) { return os::CutSjis(text, limit); }

}  // namespace

void SetTextItemHooks(TextItemHooks hooks) { Hooks() = std::move(hooks); }
const TextItemHooks& GetTextItemHooks() { return Hooks(); }

std::string DefaultTextTitle(const os::LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "(Untitled_%04d%02d%02d_%02d%02d%02d)", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return buf;
}

bool IsUntitledTitle(std::string_view title) { return title.substr(0, 10) == "(Untitled_"; }

std::string TextFileNameFromTitle(std::string_view title) {
  const size_t ext = ExtensionStart(title);
  const std::string_view stem = ext == std::string_view::npos ? title : title.substr(0, ext);
  const std::string suffix = ext == std::string_view::npos ? std::string(".txt") : std::string(title.substr(ext));
  // The stem is cut after the stand-ins (which are wider) so the extension survives.
  return os::CutSjis(ReplaceNameCharacters(stem), kFileNameMax - suffix.size()) + suffix;
}

std::string ResolveTextFileName(std::string_view directory, std::string_view name) {
  std::string candidate(name);
  if (!os::PathExists(os::JoinPath(directory, candidate))) return candidate;
  const size_t ext = ExtensionStart(name);
  const std::string stem(ext == std::string_view::npos ? name : name.substr(0, ext));
  const std::string extension = ext == std::string_view::npos ? "txt" : std::string(name.substr(ext + 1));
  for (int n = 1; n < 100000; ++n) {
    char counter[24];
    std::snprintf(counter, sizeof counter, " (%d).", n);
    const std::string tail = counter + extension;
    candidate = os::CutSjis(stem, kFileNameMax - tail.size()) + tail;
    if (!os::PathExists(os::JoinPath(directory, candidate))) return candidate;
  }
  return candidate;
}

std::string TextDirectoryFor(const TreeNode* folder, const Profile& profile) {
  if (IsSyncFolder(folder) && folder->localFile.size() >= 2) return folder->localFile;
  return profile.dirs.text;
}

std::string TextItemPath(const TreeNode* item, const Profile& profile) {
  const std::string& file = item->localFile;
  if (file.size() >= 2 && file[1] == ':') return file;
  if (file.empty()) return item->url;
  return os::JoinPath(profile.dirs.text, file);
}

TreeNode* NewTextItem(TreeNode* selected, const Profile& profile) {
  std::lock_guard lock(TreeMutex());
  TreeNode* folder = IsItem(selected) ? selected->parent : selected;
  if (!folder) {
    os::MessageBox(os::SJ("登録場所が不明です"), os::SJ("エラー"));
    return nullptr;
  }
  if (IsRoot(folder)) {
    os::MessageBox(os::SJ("ルートディレクトリには作成できません"), os::SJ("エラー"));
    return nullptr;
  }
  if (IsSearchFolder(folder)) {
    os::MessageBox(os::SJ("検索結果格納フォルダ内には作成できません"), os::SJ("エラー"));
    return nullptr;
  }
  std::string title = DefaultTextTitle(os::LocalNow());
  std::string name = title + ".txt";
  const bool sync = IsSyncFolder(folder);
  if (sync && folder->syncOptions[1]) {
    WriteLogVerbose("title %s, file %s", title.c_str(), name.c_str());
  } else if (sync || !profile.SetTitleWithFirstLine) {
    std::string given;
    const TextItemHooks& h = Hooks();
    if (h.askName && !h.askName(given)) {
      if (!sync) WriteLog("> Failure: Can't add text file");
      return nullptr;
    }
    given = os::CutSjis(given, 512);
    if (!given.empty()) {
      title = given;
      name = TextFileNameFromTitle(title);
    }
  }
  const std::string dir = TextDirectoryFor(folder, profile);
  if (!os::DirectoryExists(dir) && !os::CreateDirectories(dir)) {
    WriteLog("Can't create file: Folder not found.");
    return nullptr;
  }
  name = ResolveTextFileName(dir, name);
  // The file exists from the start, so the item opens as an empty note.
  if (!os::WriteFileAtomic(os::JoinPath(dir, name), "")) {
    WriteLog("> Failure: Can't add text file");
    return nullptr;
  }
  TreeNode* node = MakeItem(folder, title, dir, name, {});
  if (node && profile.SaveAtAddition) (void)SaveCollectionNow();
  return node;
}

TreeNode* AddTextItem(std::string_view text, std::string_view sourceUrl, TreeNode* folder, const Profile& profile) {
  std::lock_guard lock(TreeMutex());
  if (!folder) folder = GetTreeState().receiveFolder ? GetTreeState().receiveFolder : GetTreeState().root;
  if (!folder || IsItem(folder)) return nullptr;
  std::string title;
  if (profile.SetTitleWithTime) {
    const os::LocalTime t = os::LocalNow();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d", t.year, t.month, t.day, t.hour, t.minute);
    title = buf;
  } else {
    title = CutTitle(text.substr(0, text.find_first_of("\r\n")), 492);
  }
  if (IsBlankTitle(title)) {
    title = DefaultTextTitle(os::LocalNow());
  } else {
    for (char& c : title) {
      if (c == '\t') c = ' ';
      else if (c != ' ') break;
    }
  }
  std::string name = TextFileNameFromTitle(title);
  WriteLogVerbose("file: %s", name.c_str());
  const std::string dir = TextDirectoryFor(folder, profile);
  if (!os::DirectoryExists(dir) && !os::CreateDirectories(dir)) {
    WriteLog("Can't create file: Folder not found.");
    return nullptr;
  }
  name = ResolveTextFileName(dir, name);
  WriteLogVerbose("file: %s", name.c_str());
  std::string body(text);
  if (profile.AddURL2ScrapText && !sourceUrl.empty()) {
    body += "\r\n\r\nSource URL: ";
    body += sourceUrl;
  }
  if (!os::WriteFileAtomic(os::JoinPath(dir, name), body)) {
    WriteLog("> Failure: Can't add text file");
    return nullptr;
  }
  TreeNode* node = MakeItem(folder, title, dir, name, profile.SetURL2TextItem ? sourceUrl : std::string_view());
  if (!node) return nullptr;
  SetSize(node, static_cast<uint32_t>(body.size()));
  SetUnreadFlag(node, true);
  WriteLogVerbose("> Successful: Add text file");
  if (profile.SaveAtAddition) (void)SaveCollectionNow();
  return node;
}

// ----- the open text -----

TextTab::TextTab(CKEdit& edit) : edit_(edit) { AddTreeObserver(this); }

TextTab::~TextTab() { RemoveTreeObserver(this); }

const Profile& TextTab::Settings() const { return profile_ ? *profile_ : CurrentProfile(); }

void TextTab::NodeRemoved(const TreeNode* node, const TreeNode*, bool freed) {
  // Called with the tree lock held; the subtree is still whole here.
  if (freed && node_ && (node_ == node || IsInSubtree(node_, node))) node_ = nullptr;
}

void TextTab::ShowNotFound(std::string_view text) {
  edit_.SetText(text);
  edit_.SetModified(false);
  open_ = false;
  disabled_ = true;
  {
    std::lock_guard lock(TreeMutex());
    node_ = nullptr;
  }
  path_.clear();
  fileName_.clear();
}

int TextTab::OpenText(std::string_view pathIn, TreeNode* node) {
  std::string path(pathIn);
  WriteLogVerbose("[memo] file open = %s", path.c_str());
  // Only the same file is "the same": two notes may share a title.
  if (open_ && !path.empty() && path == path_) {
    WriteLogVerbose("same name = %s", path.c_str());
    return 1;
  }
  (void)SaveText(true);
  edit_.SetTitleLine(false);
  if (path.empty()) {
    ShowNotFound("File not found\r\n\r\nFile name : null");
    return 0;
  }
  for (size_t at; (at = path.find("%20")) != std::string::npos;) path.replace(at, 3, " ");
  for (size_t at; (at = path.find("%25")) != std::string::npos;) path.replace(at, 3, "%");
  if (!os::FileExists(path)) {
    std::string url = path.substr(0, path.find('#'));
    UrlLocation loc;
    if (MapUrlToLocation(url, LookupProfile(Settings().dirs.data), loc) && os::FileExists(loc.localPath)) {
      WriteLog("read cache: %s", loc.localPath.c_str());
      path = loc.localPath;
    } else {
      ShowNotFound("File not found\r\n\r\n[File Name]\r\n" + url);
      return 0;
    }
  }
  bool titleLine = false;
  std::string title;
  {
    std::lock_guard lock(TreeMutex());
    const Profile& p = Settings();
    titleLine = node && !IsUntitledTitle(node->title) &&
                (InSyncFolder(node) ? SyncNamesFromTitles(node->parent) : p.SetTitleWithFirstLine);
    if (titleLine) {
      title = os::CutSjis(node->title, 505);
      if (title.size() >= 4 && title.compare(title.size() - 4, 4, ".txt") == 0) title.resize(title.size() - 4);
    }
  }
  // The file goes straight into the editor's lines: a large note opens in
  // one pass, without a list of lines in between.
  TextFileInfo info;
  if (!ReadTextFileIntoEditor(path, edit_, info, -1, titleLine ? &title : nullptr)) {
    ShowNotFound("File not found\r\n\r\n[File Name]\r\n" + path);
    return 0;
  }
  std::lock_guard lock(TreeMutex());
  node_ = node;
  path_ = path;
  fileName_ = os::FileNameOf(path);
  info_ = info;
  tabTitle_ = os::CutSjis(node ? node->title : fileName_, kTitleTabMax);
  edit_.SetTitleLine(titleLine);
  if (!node) edit_.SetMarkup(true);
  edit_.SetModified(false);
  open_ = true;
  disabled_ = false;
  os::GetDesktop().StatusText(EncodingLabel(info_.encoding));
  return 1;
}

int TextTab::WriteLines(int firstLine) {
  std::vector<std::string> lines;
  const int count = edit_.LineCount();
  for (int row = firstLine; row < count; ++row) lines.push_back(edit_.Line(row).Text());
  if (lines.empty()) lines.emplace_back();
  return WriteTextFile(path_, lines, info_.encoding, info_.lineEnd);
}

int TextTab::RenameFromFirstLine() {
  std::string first;
  for (char c : edit_.Line(0).Text()) {
    if (c == '\t') first += "    ";
    else first += c;
  }
  first = os::CutSjis(first, kTitleTabMax);
  std::string title = first;
  if (title.empty()) {
    // An emptied first line keeps the title the item has; only an item
    // without one takes the default.
    title = node_->title.empty() ? DefaultTextTitle(os::LocalNow()) : node_->title;
  }
  if (title == node_->title) return WriteLines(1);

  const std::string name = TextFileNameFromTitle(title);
  if (name == fileName_) {
    if (!WriteLines(1)) return 0;
    SetTitle(node_, title);
    tabTitle_ = title;
    return 1;
  }
  const std::string dir = TextDirectoryFor(node_->parent, Settings());
  const std::string unique = ResolveTextFileName(dir, name);
  const std::string oldPath = path_, oldName = fileName_;
  // The text goes to its new name first and the old file stays until the
  // collection names the new one: a crash at any step leaves a whole note
  // the collection on disk points to.
  path_ = os::JoinPath(dir, unique);
  if (!WriteLines(1)) {
    path_ = oldPath;
    return 0;
  }
  fileName_ = unique;
  WriteLogVerbose("rename: title %s", title.c_str());
  WriteLogVerbose("rename: file  %s", unique.c_str());
  const bool urlWasPath = node_->url == oldPath || node_->url.empty();
  SetTitle(node_, title);
  if (urlWasPath) SetUrl(node_, path_);
  SetLocalFile(node_, InSyncFolder(node_) ? path_ : unique);
  tabTitle_ = os::CutSjis(title, kTitleTabMax);
  edit_.SetTitleLine(true);
  if (SaveCollectionNow()) {
    if (oldPath != path_ && !os::DeleteFile(oldPath)) WriteLog("> Failure: can't remove %s", oldPath.c_str());
  } else {
    WriteLog("> Failure: collection not saved, %s kept", oldPath.c_str());
  }
  return 1;
}

int TextTab::SaveText(bool closing) {
  if (!open_) return 1;
  std::lock_guard lock(TreeMutex());
  if (closing && node_ && IsUntitledTitle(node_->title)) {
    bool empty = true;
    for (int row = 0; row < edit_.LineCount() && empty; ++row) empty = edit_.Line(row).Length() == 0;
    if (empty) {
      WriteLogVerbose("remove: %s", path_.c_str());
      // The collection forgets the note before its file goes, as a rename
      // does: a tree file that still named it would point at nothing.
      DestroyNode(node_);
      node_ = nullptr;
      open_ = false;
      if (SaveCollectionNow()) (void)os::DeleteFile(path_);
      else WriteLog("> Failure: collection not saved, %s kept", path_.c_str());
      return 1;
    }
  }
  if (!edit_.Modified()) return 1;
  if (!info_.complete) {
    // Saving would cut the file at the sequence the reader stopped at.
    WriteLog("> Failure: %s was read in part and is not saved", path_.c_str());
    return 0;
  }
  int ok = 0;
  const int body = edit_.TitleLine() ? 1 : 0;
  if (InSyncFolder(node_)) {
    ok = SyncNamesFromTitles(node_->parent) ? RenameFromFirstLine() : WriteLines(body);
  } else if (fileName_.empty()) {
    WriteLog("save file name is null");
    ok = 0;
  } else if (Settings().SetTitleWithFirstLine && node_) {
    ok = RenameFromFirstLine();
  } else {
    ok = WriteLines(body);
  }
  if (!ok) return 0;
  edit_.SetModified(false);
  if (node_) {
    const int64_t size = os::GetFileSize(path_);
    if (size >= 0) SetSize(node_, static_cast<uint32_t>(size));
  }
  return 1;
}

int TextTab::CloseText() {
  const int ok = SaveText(true);
  if (ok) {
    std::lock_guard lock(TreeMutex());
    open_ = false;
    node_ = nullptr;
    path_.clear();
    fileName_.clear();
  }
  return ok;
}

}  // namespace zentu
