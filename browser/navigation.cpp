#include "browser/navigation.h"

#include <algorithm>

#include "browser/lists.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/url.h"

namespace zentu {
namespace {

bool IsDrivePath(std::string_view s) { return s.size() >= 2 && s[1] == ':'; }
bool IsNetworkPath(std::string_view s) {
  return s.size() >= 2 && ((s[0] == '\\' && s[1] == '\\') || (s[0] == '/' && s[1] == '/'));
}
// An item URL that is itself a file: a drive letter, or two slashes or backslashes.
bool IsLocalItemUrl(std::string_view url) { return IsDrivePath(url) || IsNetworkPath(url); }

bool IsUrlItem(const TreeNode* n) {
  return IsItem(n) && (n->property == kPropertyUrlItem || n->property == kPropertyRssFolder);
}

// A file URL or program path as a program path without its fragment.
std::string AsProgramPath(std::string_view location) {
  std::string path(location);
  if (os::StartsWithNoCase(path, "file:///")) path.erase(0, 8);
  else if (os::StartsWithNoCase(path, "file://")) path.erase(0, 7);
  if (size_t hash = path.find('#'); hash != std::string::npos) path.resize(hash);
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

}  // namespace

TabTimerId ClassifyTabTimer(int id) {
  if (id >= kOpenUrlTimerBase && id < kOpenUrlTimerBase + kTimerRange) return {TabTimer::OpenUrl, id - kOpenUrlTimerBase};
  if (id >= kReadFlagTimerBase && id < kReadFlagTimerBase + kTimerRange)
    return {TabTimer::ReadFlag, id - kReadFlagTimerBase};
  WriteLog("Undefined Timer ID");
  return {};
}

bool IsLocalLocation(std::string_view url) {
  return os::StartsWithNoCase(url, "file://") || IsDrivePath(url) || IsNetworkPath(url);
}

int TabImage(std::string_view url) {
  if (url.empty()) return kTabImageNone;
  return IsLocalLocation(url) ? kTabImageLocal : kTabImageWeb;
}

std::string TabText(std::string_view title) { return title.empty() ? "No Name" : std::string(title); }

int ReadFlagDelay(const Profile& p) {
  if (p.WaitTimeForRead < 0) return -1;
  if (p.WaitTimeForRead == 0) return p.OpenByDoubleClick || p.WaitTimeForOpenURL <= 0 ? 50 : p.WaitTimeForOpenURL;
  if (p.OpenByDoubleClick) return 50;
  return p.WaitTimeForRead * 1000 + std::max(p.WaitTimeForOpenURL, 0);
}

NavigationDecision BeforeNavigate(std::string_view url, const NavigationContext& context, TabRecord& tab) {
  using D = NavigationDecision;
  if (url.find("javascript:") != std::string_view::npos) {
    tab.javascriptPending = true;
    return {};
  }
  if (tab.popupCatcher) {
    if (url == "about:blank") return {D::Cancel, {}};
    if (IsUrlAllowed(url)) return {D::OpenNewTab, std::string(url)};
    WriteLog("[Popup Kill] %s", std::string(url).c_str());
    return {D::PopupKilled, std::string(url)};
  }
  const Profile& p = *context.profile;
  if (p.AutoConvertLocalToOriginal) return {};
  std::string local;
  if (FindLocalFileForLink(p.dirs.data, url, context.currentPage, p.OnlineMode, local) && !local.empty()) {
    if (p.OpenLinkByDefaultBrowser) return {D::OpenLocalOutside, local};
    if (p.OpenLinkByNewTab) return {D::OpenLocalNewTab, local};
    return {D::OpenLocalHere, local};
  }
  if (!tab.documentComplete || url.empty()) return {};
  if (p.OpenLinkByDefaultBrowser) return {D::OpenOutside, std::string(url)};
  if (p.OpenLinkByNewTab) return {D::OpenNewTab, std::string(url)};
  return {};
}

NewWindowDecision NewWindow(const Profile& p, TabRecord& opener) {
  if (opener.javascriptPending) {
    opener.javascriptPending = false;
    WriteLog("open javascript by new window");
    return NewWindowDecision::Allow;
  }
  return p.AlwaysNewWindowKill ? NewWindowDecision::Cancel : NewWindowDecision::ToPopupCatcher;
}

int CurrentAfterClose(int count, int closed, int current) {
  int left = count - 1;
  if (left <= 0) return -1;
  if (closed == current) return std::min(closed, left - 1);
  return current > closed ? current - 1 : current;
}

int PreviousTab(int count, int current) {
  if (count <= 1) return current;
  return current <= 0 ? count - 1 : current - 1;
}

int NextTab(int count, int current) {
  if (count <= 1) return current;
  return current + 1 >= count ? 0 : current + 1;
}

void OriginalUrls::Note(std::string_view localPath, std::string_view url) {
  if (url.empty() || IsLocalLocation(url)) return;
  byPath_[AsProgramPath(localPath)] = std::string(url);
}

std::string OriginalUrls::OriginalOf(std::string_view location, std::string_view dataDirectory) const {
  std::string path = AsProgramPath(location);
  if (auto it = byPath_.find(path); it != byPath_.end()) return it->second;
  if (dataDirectory.empty() || !IsPathBelow(dataDirectory, path) || path.size() <= dataDirectory.size() + 1) return {};
  // Never noted: read the place as the URL it would have come from. The
  // host folder keeps a port as "host;port"; "index.html" stands for "/".
  std::string rel = path.substr(dataDirectory.size() + 1);
  std::replace(rel.begin(), rel.end(), '\\', '/');
  size_t slash = rel.find('/');
  std::string host = rel.substr(0, slash);
  if (size_t semi = host.find(';'); semi != std::string::npos) host[semi] = ':';
  std::string rest = slash == std::string::npos ? "/" : rel.substr(slash);
  if (rest.size() >= 10 && rest.compare(rest.size() - 10, 10, "index.html") == 0) rest.resize(rest.size() - 10);
  return "http://" + host + rest;
}

OriginalUrls& SavedCopyOrigins() {
  static OriginalUrls* origins = new OriginalUrls;
  return *origins;
}

LocalCopy ResolveLocalCopy(const TreeNode& item, std::string_view dataDirectory) {
  LocalCopy copy;
  const std::string& file = item.localFile;
  if (IsDrivePath(file) || IsNetworkPath(file)) {
    copy.absolute = true;
    copy.path = copy.open = file;
    copy.exists = os::FileExists(file);
    return copy;
  }
  if (file.empty()) return copy;
  std::string full = os::JoinPath(dataDirectory, file);
  std::string fragment;
  if (size_t hash = full.find('#'); hash != std::string::npos) {
    fragment = full.substr(hash);
    full.resize(hash);
  }
  copy.path = full;
  // A local file read from the tree file names a place below the data
  // directory; ".." or a link out of it opens nothing.
  copy.exists = IsPathBelow(dataDirectory, full) && os::FileExists(full);
  std::string ext = FileExtension(full);
  copy.open = copy.exists && (ext == "html" || ext == "htm") ? full + fragment : full;
  return copy;
}

OpenAction ActivateListItem(const Profile& p, const TreeNode* folder, const TreeNode* node, LastOpened& last) {
  OpenAction a;
  if (!folder || !node) return a;
  a.toggleList = p.OpenByDoubleClick && p.ExclusiveListBrowser;
  if (IsFolder(node)) {
    a.kind = OpenAction::SelectFolder;
    return a;
  }
  bool second = p.OpenByDoubleClick && last.item == node && last.listId == node->listId && last.folder == folder;
  if (!second) {
    if (IsTextItem(node)) {
      a.markRead = true;
      if (!p.OpenTextByBrowser) a.kind = OpenAction::TextInEditor;
      else if (p.OpenItemByNewTab) a.kind = OpenAction::TextInNewTab;
      else a = {OpenAction::Original, node->url, true, a.toggleList};
    } else if (IsUrlItem(node)) {
      if (node->downloadFlag == kDownloadDone) {
        a.kind = OpenAction::LocalCopy;
      } else if (node->downloadFlag == kDownloadError) {
        a.kind = node->localFile.empty() ? OpenAction::FailedPage : OpenAction::LocalCopy;
        if (a.kind == OpenAction::FailedPage) a.url = FailedDownloadPage(p);
      } else if (IsLocalItemUrl(node->url)) {
        a = {OpenAction::Original, node->url, true, a.toggleList};
      } else {
        a.markRead = true;
        if (node->localFile.size() >= 2) a.kind = OpenAction::LocalCopy;
        else a = {OpenAction::Original, node->url, true, a.toggleList};
      }
    }
    last = {node, node->listId, folder};
    return a;
  }
  if (IsTextItem(node)) {
    if (p.OpenTextByBrowser) a.kind = OpenAction::TextInEditor;
    else a = {OpenAction::Original, node->url, true, a.toggleList};
  } else if (IsUrlItem(node)) {
    if (!node->url.empty()) a = {OpenAction::Original, node->url, IsLocalItemUrl(node->url), a.toggleList};
    else a.kind = OpenAction::LocalCopy;  // nothing else to switch to
  }
  last.Clear();
  return a;
}

OriginalOpen HowToOpenOriginal(const Profile& p) {
  if (p.WaitTimeForOpenURL <= 0 || p.OpenByDoubleClick)
    return p.OpenItemByNewTab && p.OpenByDoubleClick ? OriginalOpen::NewTab : OriginalOpen::Now;
  return OriginalOpen::Deferred;
}

std::string FailedDownloadPage(const Profile& p) {
  std::string page = os::JoinPath(os::JoinPath(p.ProgramDirectory, "Document"), "undl.html");
  if (!os::FileExists(page)) {
    // The program's own page, made on first use.
    (void)os::CreateDirectories(os::DirectoryOf(page));
    (void)os::WriteFileAtomic(page, "<html><head><meta charset=\"Shift_JIS\"><title>undl</title></head><body><p>" +
                                        os::SJ("このページはダウンロードに失敗しました．") +
                                        "</p></body></html>\n", os::Access::Keep, os::Durability::Replaceable);
  }
  return page;
}

}  // namespace zentu
