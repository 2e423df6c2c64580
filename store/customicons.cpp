#include "store/customicons.h"

#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "store/listfile_io.h"
#include "store/profile.h"
#include "store/tree_observer.h"

namespace zentu {
namespace {

struct IconState {
  CustomIconTable table;
  std::vector<std::string> files;             // in load order; a node's custom icon is an index here
  std::map<std::string, int32_t> indexOfFile;  // a file shared by several folders is loaded once
  std::string programDirectory;
};

IconState& State() {
  static IconState* state = new IconState;  // never destroyed: shutdown code may still save
  return *state;
}

enum class Which { Open, Close };

// The index of an icon file in `files`, or -1 when it cannot be read.
int32_t IndexOf(std::string_view file, Which which) {
  IconState& st = State();
  const std::string& base = st.programDirectory.empty() ? os::ZentuHome() : st.programDirectory;
  std::string path = ResolveDirectorySetting(file, base);
  if (auto it = st.indexOfFile.find(path); it != st.indexOfFile.end()) return it->second;
  if (!os::FileExists(path)) {
    if (which == Which::Open) {
      WriteLog("[Error] Can't open icon file: %s", path.c_str());
    } else {
      WriteLog("[Error] Can't close icon file: %s", path.c_str());
    }
    return -1;
  }
  auto index = static_cast<int32_t>(st.files.size());
  st.files.push_back(path);
  st.indexOfFile.emplace(std::move(path), index);
  return index;
}

constexpr std::string_view kFolderName = "FolderName=";
constexpr std::string_view kOpenIcon = "OpenIcon=";
constexpr std::string_view kCloseIcon = "CloseIcon=";

}  // namespace

int SetCustomIcon(std::string_view key, std::string_view openIcon, std::string_view closeIcon) {
  for (std::string_view text : {key, openIcon, closeIcon}) {
    if (text.empty() || listfile::BreaksLine(text)) return 0;
  }
  CustomIcon entry;
  entry.openIcon.assign(openIcon);
  entry.closeIcon.assign(closeIcon);
  entry.openIndex = IndexOf(openIcon, Which::Open);
  entry.closeIndex = IndexOf(closeIcon, Which::Close);
  State().table.insert_or_assign(std::string(key), std::move(entry));
  return 1;
}

int RemoveCustomIcon(std::string_view key) {
  CustomIconTable& table = State().table;
  auto it = table.find(key);
  if (it == table.end()) return 0;
  table.erase(it);
  return 1;
}

const CustomIcon* FindCustomIcon(std::string_view key) {
  const CustomIconTable& table = State().table;
  auto it = table.find(key);
  return it == table.end() ? nullptr : &it->second;
}

const CustomIconTable& CustomIcons() { return State().table; }
const std::vector<std::string>& CustomIconImageFiles() { return State().files; }

void ResetCustomIcons() {
  IconState& st = State();
  st.table.clear();
  st.files.clear();
  st.indexOfFile.clear();
}

int LoadCustomIcons(const std::string& path, const std::string& programDirectory) {
  ResetCustomIcons();
  State().programDirectory = programDirectory;
  std::string key, open, close;
  auto complete = [&] {
    if (!key.empty() && !open.empty() && !close.empty() && SetCustomIcon(key, open, close)) {
      WriteLogVerbose("Add Custom Icon>> %s", key.c_str());
    }
    key.clear();
    open.clear();
    close.clear();
  };
  bool opened = listfile::ForEachLine(path, [&](std::string_view line) {
    if (line.empty() || line.starts_with('#')) {
      complete();
    } else if (line.starts_with(kFolderName)) {
      key.assign(line.substr(kFolderName.size()));
    } else if (line.starts_with(kOpenIcon)) {
      open.assign(line.substr(kOpenIcon.size()));
    } else if (line.starts_with(kCloseIcon)) {
      close.assign(line.substr(kCloseIcon.size()));
    }
  });
  // The last entry of a hand-edited file often lacks the empty line after it;
  // it is as complete as any other.
  complete();
  return opened ? 1 : 0;
}

std::string FormatCustomIcons() {
  std::string out =
      "# for custom icon\n"
      "# (e.g)\n"
      "# FolderName=News\n"
      "# OpenIcon=icon/news_open.ico\n"
      "# CloseIcon=icon/news_close.ico\n";
  for (const auto& [key, entry] : State().table) {
    out += kFolderName;
    out += key;
    out += '\n';
    out += kOpenIcon;
    out += entry.openIcon;
    out += '\n';
    out += kCloseIcon;
    out += entry.closeIcon;
    out += "\n\n";
  }
  return out;
}

int SaveCustomIcons(const std::string& path) {
  WriteLog("# Save custom icon file: %s", path.c_str());
  if (!os::WriteCrLfTextFile(path, FormatCustomIcons())) {
    WriteLog("[Error] File not found : %s", path.c_str());
    return 0;
  }
  return 1;
}

int GetCustomIconIndices(std::string_view key, int32_t* openIndex, int32_t* closeIndex) {
  const CustomIcon* entry = FindCustomIcon(key);
  if (!entry) return 0;
  if (openIndex) *openIndex = entry->openIndex;
  if (closeIndex) *closeIndex = entry->closeIndex;
  return 1;
}

namespace {

// Whether `key` is the folder's tree path, compared level by level from the
// folder upwards. Unlike building the path, this stops at the first level that
// differs, so reading a deeply nested tree does not walk every folder's
// whole path.
bool KeyNamesFolder(std::string_view key, const TreeNode* folder) {
  const TreeNode* n = folder;
  for (; n->parent; n = n->parent) {
    const std::string& title = n->title;
    if (key.size() < title.size() + 1 || key.compare(key.size() - title.size(), title.size(), title) != 0 ||
        key[key.size() - title.size() - 1] != '\t')
      return false;
    key.remove_suffix(title.size() + 1);
  }
  return IsRoot(n) && key == kRootWord;
}

}  // namespace

void ApplyCustomIcon(TreeNode* folder) {
  if (!(IsFolder(folder) || IsRoot(folder)) || State().table.empty()) return;
  const CustomIcon* entry = nullptr;
  for (const auto& [key, icon] : State().table) {
    if (KeyNamesFolder(key, folder)) {
      entry = &icon;
      break;
    }
  }
  if (!entry) return;
  if (entry->openIndex >= 0) folder->customOpenIcon = entry->openIndex;
  if (entry->closeIndex >= 0) folder->customCloseIcon = entry->closeIndex;
}

void UpdateFolderIcons(TreeNode* top) {
  for (TreeNode* n = top; n; n = NextInPreorder(n, top)) {
    if (!IsFolder(n) && !IsRoot(n)) continue;
    const int32_t open = n->customOpenIcon;
    const int32_t closed = n->customCloseIcon;
    n->customOpenIcon = n->customCloseIcon = -1;
    ApplyCustomIcon(n);
    if (n->customOpenIcon != open || n->customCloseIcon != closed) NotifyNodeChanged(n);
  }
}

}  // namespace zentu
