#include "store/locklist.h"

#include <mutex>
#include <set>
#include <shared_mutex>

#include "os/file.h"
#include "os/log.h"
#include "store/listfile_io.h"
#include "store/tree_observer.h"

namespace zentu {
namespace {

using UrlSet = std::set<std::string, std::less<>>;

struct LockState {
  std::shared_mutex mutex;
  UrlSet urls;
};

LockState& State() {
  static LockState* state = new LockState;  // never destroyed: workers may still ask at exit
  return *state;
}

// The form a URL is kept and looked up in: without its fragment, cut to the
// length of the program's URL buffers.
std::string_view LockKey(std::string_view url) {
  url = url.substr(0, url.find('#'));
  if (url.size() > listfile::kMaxLineBytes) url = url.substr(0, listfile::kMaxLineBytes);
  return url;
}

bool Keepable(std::string_view key) { return key.size() > 4 && !listfile::BreaksLine(key); }

bool Contains(std::string_view url) {
  LockState& st = State();
  std::shared_lock lock(st.mutex);
  return st.urls.contains(LockKey(url));
}

}  // namespace

int LoadLockList(const std::string& path) {
  UrlSet urls;
  bool opened = listfile::ForEachLine(path, [&](std::string_view line) {
    if (line.starts_with('#') || line.size() <= 4) return;
    // A lock stored with its fragment could never match a lookup, so the
    // fragment (or a bare "#" at the end) is dropped here.
    std::string_view key = LockKey(line);
    if (Keepable(key)) urls.emplace(key);
  });
  if (!opened) WriteLog("Can't open lock file.");
  LockState& st = State();
  std::unique_lock lock(st.mutex);
  st.urls.swap(urls);
  return opened ? 1 : 0;
}

std::string FormatLockList() {
  std::string out = "# List of lock items\n";
  LockState& st = State();
  std::shared_lock lock(st.mutex);
  for (const std::string& url : st.urls) {
    out += url;
    out += '\n';
  }
  return out;
}

int SaveLockList(const std::string& path) {
  WriteLog("# Save Lock List");
  if (!os::WriteCrLfTextFile(path, FormatLockList())) {
    WriteLog("# File not found : %s", path.c_str());
    return 0;
  }
  return 1;
}

void ResetLockList() {
  LockState& st = State();
  std::unique_lock lock(st.mutex);
  st.urls.clear();
}

bool IsUrlLocked(std::string_view url) {
  if (!Contains(url)) return false;
  WriteLogVerbose("locked [%s]", std::string(LockKey(url)).c_str());
  return true;
}

int LockUrl(std::string_view url) {
  std::string_view key = LockKey(url);
  if (!Keepable(key)) return 0;
  LockState& st = State();
  std::unique_lock lock(st.mutex);
  return st.urls.emplace(key).second ? 1 : 0;
}

int UnlockUrl(std::string_view url) {
  std::string_view key = LockKey(url);
  LockState& st = State();
  std::unique_lock lock(st.mutex);
  auto it = st.urls.find(key);
  if (it == st.urls.end()) return 0;
  st.urls.erase(it);
  return 1;
}

std::vector<std::string> LockedUrls() {
  LockState& st = State();
  std::shared_lock lock(st.mutex);
  return {st.urls.begin(), st.urls.end()};
}

namespace {

int ForEachItemUrl(const std::vector<TreeNode*>& items, int (*change)(std::string_view)) {
  std::lock_guard tree(TreeMutex());
  int changed = 0;
  for (TreeNode* item : items) {
    if (!IsItem(item) || item->url.empty()) continue;
    changed += change(item->url);
    NotifyNodeChanged(item);
  }
  return changed;
}

}  // namespace

int LockItemUrls(const std::vector<TreeNode*>& items) { return ForEachItemUrl(items, &LockUrl); }
int UnlockItemUrls(const std::vector<TreeNode*>& items) { return ForEachItemUrl(items, &UnlockUrl); }

bool IsItemLocked(const TreeNode* node) {
  return IsItem(node) && node->property == kPropertyUrlItem && !node->url.empty() && Contains(node->url);
}

}  // namespace zentu
