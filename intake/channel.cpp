// Receiving command-channel texts: the markers, what each command does to the
// collection and what it hands to the download manager.
#include "intake/channel.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "capture/job.h"
#include "os/clock.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/path.h"
#include "os/log.h"
#include "os/text.h"
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu {
namespace {

struct Texts {
  std::string captureStarted = os::Utf8ToSjis("取り込み開始");
};
const Texts& T() {
  static const Texts texts;
  return texts;
}

struct Reservation {
  std::thread thread;
  bool done = false;
};

struct ChannelState {
  std::mutex mutex;
  std::condition_variable changed;
  bool loaded = false;
  bool closed = false;
  ChannelHooks hooks;
  int siteSizeLimitKBytes = 0;  // the dialog shows the last value again
  std::list<Reservation> reservations;
};

ChannelState& State() {
  static ChannelState* state = new ChannelState;  // reservation threads may outlive main's statics
  return *state;
}

// --- Text helpers ----------------------------------------------------------------------

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

using os::StartsWithNoCase;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Skips one line end: CR LF, LF or CR.
std::string_view SkipLineEnd(std::string_view s) {
  if (StartsWith(s, "\r\n")) return s.substr(2);
  if (!s.empty() && IsLineEnd(s.front())) return s.substr(1);
  return s;
}

std::string_view FirstLine(std::string_view s) {
  size_t end = 0;
  while (end < s.size() && !IsLineEnd(s[end])) ++end;
  return s.substr(0, end);
}

// What follows the first line and its line end.
std::string_view AfterFirstLine(std::string_view s) { return SkipLineEnd(s.substr(FirstLine(s).size())); }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text, pos);
  return out;
}

// The file extension of a URL or path: what follows the last "." of its last
// component (two-byte characters stepped over). A URL's query and fragment
// are no part of its path.
std::string_view Extension(std::string_view url) {
  if (url.find("://") != std::string_view::npos) url = url.substr(0, url.find_first_of("?#"));
  size_t dot = std::string_view::npos;
  for (size_t i = 0; i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (os::IsSjisLeadByte(c) && i + 1 < url.size()) {
      ++i;
      continue;
    }
    if (c == '.') dot = i;
    else if (c == '/' || c == '\\') dot = std::string_view::npos;
  }
  return dot == std::string_view::npos ? std::string_view{} : url.substr(dot + 1);
}

ChannelHooks Hooks() {
  std::lock_guard lock(State().mutex);
  return State().hooks;
}

// --- Tree helpers (tree lock held) ---------------------------------------------------------

TreeNode* NewUrlItem(std::string_view title, std::string_view url, uint32_t downloadFlag) {
  TreeNode* item = CreateNode(title, url, {}, kNodeItem);
  SetProperty(item, kPropertyUrlItem);
  SetDownloadFlag(item, downloadFlag);
  return item;
}

// Appends a new item; a refused link frees it.
bool FileItem(TreeNode* folder, TreeNode* item) {
  if (folder && AddItemToFolder(folder, item)) return true;
  DestroyNode(item);
  return false;
}

void LogNoCollection() { WriteLog("> no collection: command dropped"); }

// A new URL item filed in the receive folder (`prepare` sets more fields before
// it is linked, so the folder counts take them in). nullptr when there is no
// collection (logged) or the link is refused (the item is freed).
TreeNode* FileInReceiveFolder(std::string_view title, std::string_view url, uint32_t downloadFlag,
                              TreeNode*& folder, const std::function<void(TreeNode*)>& prepare = {}) {
  folder = IntakeReceiveFolder();
  if (!folder) {
    LogNoCollection();
    return nullptr;
  }
  TreeNode* item = NewUrlItem(title, url, downloadFlag);
  if (prepare) prepare(item);
  return FileItem(folder, item) ? item : nullptr;
}

void SaveAfterAddition(bool save, const TreeFileSettings& settings) {
  if (save) SaveTree(settings);
}

// Reads "URL=" and "TITLE=" lines, stopping at the first line that is neither.
void ReadKeyLines(std::string_view body, std::string& url, std::string& title) {
  while (!body.empty()) {
    std::string_view line = FirstLine(body);
    if (StartsWith(line, "URL=")) {
      url = os::CutSjis(TrimBlanks(line.substr(4)), kChannelMaxUrl);
    } else if (StartsWith(line, "TITLE=")) {
      title = os::CutSjis(line.substr(6), kChannelMaxTitle);
    } else {
      break;
    }
    body = AfterFirstLine(body);
  }
}

// --- Commands ------------------------------------------------------------------------------

int UseCache(std::string_view body) {
  const std::string url = os::CutSjis(TrimBlanks(FirstLine(SkipLineEnd(body))), kChannelMaxUrl);
  if (url.empty()) {
    WriteLog("Error [Use Cache] not exist URL");
    return 0;
  }
  TreeNode* folder;
  TreeNode* item;
  {
    std::lock_guard tree(TreeMutex());
    item = FileInReceiveFolder("*", url, kDownloadChanged, folder);
    if (!item) return 0;
    // Queued under the tree lock: nobody can free the item before the job knows it.
    GetDownloadManager().AddJob(url, "", true, item);
  }
  SaveAfterAddition(CurrentProfile().SaveAtAddition, CurrentTreeFileSettings());
  return 1;
}

// The download reservation's own thread.
void RunDownloadReservation(const std::string& text, bool save, const TreeFileSettings& settings) {
  std::string_view rest = std::string_view(text).substr(kMarkerNoCache.size());
  while (!rest.empty() && IsLineEnd(rest.front())) rest.remove_prefix(1);

  std::string folderName;
  bool named = false;
  if (StartsWithNoCase(rest, "FOLDER=")) {
    rest.remove_prefix(7);
    size_t lf = rest.find('\n');
    std::string_view name = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
    // A CR LF line end leaves its CR on the name.
    while (!name.empty() && name.back() == '\r') name.remove_suffix(1);
    folderName = os::CutSjis(name, kChannelMaxTitle);
    named = !folderName.empty();
    WriteLogVerbose("# Set Insert Folder : %s", folderName.c_str());
  }

  std::vector<std::string> urls;
  while (!rest.empty()) {
    std::string_view line = FirstLine(rest);
    rest = rest.substr(line.size());
    if (!rest.empty()) rest.remove_prefix(1);  // a CR and an LF each end a line
    line = TrimBlanks(line);
    if (!line.empty()) urls.push_back(os::CutSjis(line, kChannelMaxUrl));
  }

  // The items go in small batches, so that the main thread is never kept
  // waiting long; each batch finds its folder again (the user may have moved
  // or deleted it meanwhile).
  constexpr size_t kBatch = 64;
  size_t next = 0;
  size_t added = 0;
  bool logged = false;
  do {
    TreeNode* target = nullptr;
    TreeNode* created = nullptr;
    std::vector<const TreeNode*> batch;
    {
      std::lock_guard tree(TreeMutex());
      TreeNode* receive = IntakeReceiveFolder();
      if (!receive) {
        LogNoCollection();
        break;
      }
      target = receive;
      if (named) {
        target = nullptr;
        for (TreeNode* c = receive->firstChild; c; c = c->next) {
          if (IsFolder(c) && c->title == folderName) {
            target = c;
            break;
          }
        }
        if (!target) {
          WriteLogVerbose("# Create Insert Folder : %s", folderName.c_str());
          created = CreateNode(folderName, {}, {}, kNodeFolder);
          if (Link(created, receive, kLinkLastChild)) {
            target = created;
          } else {
            DestroyNode(created);
            created = nullptr;
            target = receive;
          }
        }
      }
      if (!logged) {
        WriteLogVerbose("# Insert URLs");
        logged = true;
      }
      for (size_t n = 0; n < kBatch && next < urls.size(); ++n, ++next) {
        TreeNode* item = NewUrlItem("*", urls[next], kDownloadChanged);
        if (!FileItem(target, item)) continue;
        GetDownloadManager().AddJob(urls[next], "", false, item);
        batch.push_back(item);
      }
    }
    added += batch.size();
  } while (next < urls.size());

  if (added > 0) SaveAfterAddition(save, settings);
}

int NoCache(const std::string& text) {
  ChannelState& s = State();
  {
    std::lock_guard lock(s.mutex);
    if (s.closed) {
      WriteLog("> command dropped: the command channel is closed");
      return 0;
    }
    for (auto it = s.reservations.begin(); it != s.reservations.end();) {
      if (it->done) {
        it->thread.join();
        it = s.reservations.erase(it);
      } else {
        ++it;
      }
    }
    Reservation& r = s.reservations.emplace_back();
    try {
      r.thread = std::thread(
          [&r, copy = text, save = CurrentProfile().SaveAtAddition, settings = CurrentTreeFileSettings()] {
            RunDownloadReservation(copy, save, settings);
            std::lock_guard done(State().mutex);
            r.done = true;
          });
    } catch (const std::system_error&) {
      s.reservations.pop_back();
      WriteLog("thread start error: download reservation");
      return 0;
    }
  }
  os::Notice(T().captureStarted);
  return 1;
}

int AddItemOnly(std::string_view body) {
  std::string url, title;
  ReadKeyLines(SkipLineEnd(body), url, title);
  if (url.empty()) {
    WriteLog("Error [Add Item Only] not exist URL=");
    return 0;
  }
  TreeNode* folder;
  TreeNode* item;
  {
    std::lock_guard tree(TreeMutex());
    item = FileInReceiveFolder(title, url, kDownloadNone, folder);
    if (!item) return 0;
  }
  return 1;
}

// The site-download dialog's first filter: the URL up to its last "/".
std::string DefaultFilter(std::string_view url) {
  size_t slash = url.rfind('/');
  return std::string(slash == std::string_view::npos ? url : url.substr(0, slash + 1));
}

int SiteDownload(std::string_view body) {
  std::string url, title;
  ReadKeyLines(SkipLineEnd(body), url, title);
  std::string targetTitle;
  {
    std::lock_guard tree(TreeMutex());
    if (TreeNode* folder = IntakeReceiveFolder()) targetTitle = folder->title;
  }
  WriteLogVerbose("Site Download: %s, %s", title.c_str(), url.c_str());
  WriteLogVerbose("Target Folder: %s", targetTitle.c_str());
  if (url.empty()) return 0;

  Profile& profile = CurrentProfile();
  const std::string downloader(TrimBlanks(profile.Downloader));
  // A configured downloader (a name of three characters or more) takes the
  // URL; otherwise a site-download job does, with the dialog's settings.
  const bool external = downloader.size() >= 3;
  const ChannelHooks hooks = Hooks();
  ChannelHooks::SiteDownload settings;
  if (!external) {
    settings.filter = DefaultFilter(url);
    settings.linkHop = std::clamp(profile.LimitationOfLinkHop, 0, 50);
    {
      std::lock_guard lock(State().mutex);
      settings.sizeLimitKBytes = State().siteSizeLimitKBytes;
    }
    if (hooks.siteDownloadDialog) {
      if (!hooks.siteDownloadDialog(url, title, settings)) return 0;
    } else {
      WriteLog("site download settings: Filter = %s, %d hops, %d KBytes", settings.filter.c_str(),
               settings.linkHop, settings.sizeLimitKBytes);
    }
    settings.linkHop = std::clamp(settings.linkHop, 0, 50);
    settings.sizeLimitKBytes = std::max(settings.sizeLimitKBytes, 0);
    profile.LimitationOfLinkHop = settings.linkHop;
    std::lock_guard lock(State().mutex);
    State().siteSizeLimitKBytes = settings.sizeLimitKBytes;
  }

  static const std::string kNoTitle = "No Title";
  TreeNode* folder;
  TreeNode* item;
  {
    std::lock_guard tree(TreeMutex());
    item = FileInReceiveFolder(title.empty() ? kNoTitle : title, url, kDownloadChanged, folder);
    if (!item) return 0;
    if (!external) {
      GetDownloadManager().AddSiteJob(url, "", true, settings.linkHop, settings.sizeLimitKBytes,
                                      settings.filter, false, item);
    }
  }
  SaveAfterAddition(profile.SaveAtAddition, CurrentTreeFileSettings());
  if (external) {
    if (hooks.startExternalDownloader) {
      hooks.startExternalDownloader(downloader, url);
    } else {
      WriteLog("external downloader: %s %s", downloader.c_str(), url.c_str());
    }
  }
  return 1;
}

int DownloadOnly(std::string_view body) {
  std::string_view line = FirstLine(SkipLineEnd(body));
  std::string url;
  if (StartsWith(line, "URL=")) url = os::CutSjis(TrimBlanks(line.substr(4)), kChannelMaxUrl);
  if (url.empty()) {
    const std::string shown(line);
    WriteLog("Error [Download Only] not exist URL=%s", shown.c_str());
    return 0;
  }
  GetDownloadManager().AddJob(url, "", true, nullptr);
  return 1;
}

int ScrapHtml(std::string_view body) {
  if (StartsWith(body, "\r")) body.remove_prefix(1);
  if (StartsWith(body, "\n")) body.remove_prefix(1);
  const std::string url = os::CutSjis(TrimBlanks(FirstLine(body)), kChannelMaxUrl);
  if (url.size() < 5) {
    WriteLog("Error [Scrap HTML] not exist URL=%s", url.c_str());
    return 0;
  }
  WriteLog("scrap html : %s", url.c_str());
  const ChannelHooks hooks = Hooks();
  if (hooks.scrapHtml) {
    hooks.scrapHtml(url);
  } else {
    WriteLog("> no scrap command: the next clipboard capture would come from %s", url.c_str());
  }
  return 1;
}

void LogMissingUrl(std::string_view rest) {
  const std::string shown(rest);
  WriteLog("Error [Add Text From DLL] not exist URL=%s", shown.c_str());
}

int AddText(std::string_view rest) {
  if (!StartsWith(rest, "URL=")) {
    LogMissingUrl(rest);
    return 0;
  }
  const std::string_view url = FirstLine(rest.substr(4));
  if (TrimBlanks(url).empty()) {
    LogMissingUrl(rest);
    return 0;
  }
  return AddTextFragment(url, AfterFirstLine(rest)) ? 1 : 0;
}

int OpenUrl(std::string_view rest) {
  if (!StartsWith(rest, "URL=")) {
    LogMissingUrl(rest);
    return 0;
  }
  const std::string url = os::CutSjis(TrimBlanks(FirstLine(rest.substr(4))), kChannelMaxOpenUrl);
  if (url.empty()) {
    LogMissingUrl(rest);
    return 0;
  }
  const ChannelHooks hooks = Hooks();
  if (StartsWithNoCase(Extension(url), "txt")) {
    if (hooks.openUrlInEditor) {
      hooks.openUrlInEditor(url);
    } else {
      WriteLog("> no editor: would open %s", url.c_str());
    }
  } else if (hooks.openUrlInBrowser) {
    hooks.openUrlInBrowser(url);
  } else {
    WriteLog("> no browser: would open %s", url.c_str());
  }
  return 1;
}

// Blocks until the collection is there; false when the channel closed instead.
bool WaitForTreeLoaded() {
  ChannelState& s = State();
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&] { return s.loaded || s.closed; });
  return !s.closed;
}

}  // namespace

namespace detail {
void EditChannelHooks(const std::function<void(ChannelHooks&)>& edit) {
  std::lock_guard lock(State().mutex);
  edit(State().hooks);
}
}  // namespace detail

void ClearChannelHooks() {
  std::lock_guard lock(State().mutex);
  State().hooks = {};
}

void SetTreeLoaded(bool loaded) {
  ChannelState& s = State();
  {
    std::lock_guard lock(s.mutex);
    s.loaded = loaded;
    if (loaded) s.closed = false;
  }
  s.changed.notify_all();
}

bool TreeLoaded() {
  std::lock_guard lock(State().mutex);
  return State().loaded;
}

void CloseCommandChannel() {
  ChannelState& s = State();
  {
    std::lock_guard lock(s.mutex);
    s.closed = true;
  }
  s.changed.notify_all();
}

void JoinDownloadReservations() {
  std::list<Reservation> running;
  {
    std::lock_guard lock(State().mutex);
    running.splice(running.end(), State().reservations);
  }
  for (Reservation& r : running) r.thread.join();
}

void ResetCommandChannel() {
  JoinDownloadReservations();
  ChannelState& s = State();
  {
    std::lock_guard lock(s.mutex);
    s.loaded = false;
    s.closed = false;
    s.hooks = {};
    s.siteSizeLimitKBytes = 0;
  }
  s.changed.notify_all();
}

TreeNode* IntakeReceiveFolder() {
  TreeState& state = GetTreeState();
  if (!state.root) return nullptr;
  if (IsReceiveFolder(state.root->firstChild)) return state.root->firstChild;
  if (IsReceiveFolder(state.receiveFolder)) return state.receiveFolder;
  return state.root;
}

TreeNode* AddTextFragment(std::string_view url, std::string_view html) {
  const std::string link = os::CutSjis(TrimBlanks(url), kChannelMaxUrl);
  if (link.empty()) return nullptr;
  const std::string page = ReplaceAll(html, "&amp;", "&");
  TreeNode* folder;
  TreeNode* item;
  {
    std::lock_guard tree(TreeMutex());
    item = FileInReceiveFolder("*", link, kDownloadDone, folder, [&](TreeNode* n) {
      n->unread = true;
      n->size = static_cast<uint32_t>(std::min<size_t>(html.size(), UINT32_MAX));
      n->lastCheck = os::DateTimeText(os::LocalNow());
    });
    if (!item) return nullptr;
  }
  // Outside the tree lock: the job may be held by a worker that needs the
  // tree, and the text is written to disk. Nodes go away only on this thread.
  GetDownloadManager().AddBufferJob(link, page, item);
  return item;
}

TreeNode* AddDroppedFile(std::string_view path) {
  const std::string file = os::CutSjis(path, 259);
  if (file.size() != path.size() || !os::FileExists(file) || os::IsSymbolicLink(file)) {
    WriteLog("> dropped file refused: %s", file.c_str());
    return nullptr;
  }
  std::time_t modified = 0;
  const bool dated = os::GetFileTime(file, modified);
  const int64_t size = os::GetFileSize(file);
  TreeNode* folder;
  TreeNode* item;
  {
    std::lock_guard tree(TreeMutex());
    item = FileInReceiveFolder(os::FileNameOf(file), file, kDownloadDone, folder, [&](TreeNode* n) {
      n->localFile = file;
      n->size = static_cast<uint32_t>(std::clamp<int64_t>(size, 0, UINT32_MAX));
      if (dated) n->lastCheck = n->originalDate = os::DateTimeText(os::GetClock().ToLocal(modified));
    });
    if (!item) return nullptr;
  }
  WriteLog("> dropped file: %s", file.c_str());
  SaveAfterAddition(CurrentProfile().SaveAtAddition, CurrentTreeFileSettings());
  return item;
}

TreeNode* AddDroppedUrl(std::string_view url) {
  const std::string link(TrimBlanks(url));
  if ((!StartsWithNoCase(link, "http://") && !StartsWithNoCase(link, "https://")) || link.size() > kChannelMaxUrl ||
      link.find_first_of("\r\n\t") != std::string::npos) {
    WriteLog("> dropped URL refused: %s", os::CutSjis(link, 256).c_str());
    return nullptr;
  }
  TreeNode* folder;
  TreeNode* item;
  {
    std::lock_guard tree(TreeMutex());
    item = FileInReceiveFolder("*", link, kDownloadChanged, folder);
    if (!item) return nullptr;
    GetDownloadManager().AddJob(link, "", true, item);
  }
  WriteLog("> dropped URL: %s", link.c_str());
  SaveAfterAddition(CurrentProfile().SaveAtAddition, CurrentTreeFileSettings());
  return item;
}

int ReceiveCommand(uint32_t code, std::string_view data) {
  const uint32_t low = code & 0xFFFFu;
  if (low != kCommandNoCache && low != kCommandOther) return 0;
  WriteLogVerbose("# Text Received From Zentu DLL");
  if (size_t nul = data.find('\0'); nul != std::string_view::npos) data = data.substr(0, nul);
  if (data.empty()) return 0;
  const std::string text(data);  // the sender's buffer is gone once we return
  if (!WaitForTreeLoaded()) {
    WriteLog("> command dropped: the command channel is closed");
    return 0;
  }

  const std::string_view t = text;
  if (StartsWith(t, kMarkerUseCache)) return UseCache(t.substr(kMarkerUseCache.size()));
  if (StartsWith(t, kMarkerNoCache)) return NoCache(text);
  if (StartsWith(t, kMarkerAddItemOnly)) return AddItemOnly(t.substr(kMarkerAddItemOnly.size()));
  if (StartsWith(t, kMarkerSiteDownload)) return SiteDownload(t.substr(kMarkerSiteDownload.size()));
  if (StartsWith(t, kMarkerDownloadOnly)) return DownloadOnly(t.substr(kMarkerDownloadOnly.size()));
  if (StartsWith(t, kMarkerScrapHtml)) return ScrapHtml(t.substr(kMarkerScrapHtml.size()));
  if (StartsWith(t, kMarkerAddText)) return AddText(t.substr(kMarkerAddText.size()));
  if (StartsWith(t, kMarkerOpenUrl)) return OpenUrl(t.substr(kMarkerOpenUrl.size()));
  WriteLog("Error [Add Text From DLL] not exist <!--Zentu AddText-->");
  return 0;
}

}  // namespace zentu
