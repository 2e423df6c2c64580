#include "capture/schedule.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "capture/feeds.h"
#include "capture/job.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "os/workers.h"
#include "store/configfiles.h"
#include "store/locklist.h"
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu {
namespace {

using os::SJ;
using os::StartsWithNoCase;

constexpr std::string_view kHeaders[kScheduleModeCount] = {
    "[Update at first]",       "[Update by action]",     "[Update per 10 minutes]", "[Update per 30 minutes]",
    "[Update per 1 hour]",     "[Update per 2 hours]",   "[Update per 3 hours]",    "[Update per 6 hours]",
    "[Update per 12 hours]",   "[Update per 24 hours]",
};
constexpr size_t kMaxLine = 2047;
// A run waits this many steps for the one before it.
constexpr int kBusySteps = 10;
constexpr auto kBusyStep = std::chrono::milliseconds(500);

enum ScheduleWorker : int { kRunWorker = 0, kFolderWorker = 1 };
constexpr int kMaxFolderWorkers = 64;

struct Schedule {
  std::mutex mutex;  // the table
  std::vector<ScheduleEntry> table;
  std::mutex busyMutex;  // the run in progress
  std::condition_variable busyEnded;
  bool busy = false;
  os::WorkerPool pool;
};

Schedule& S() {
  static Schedule* schedule = new Schedule;  // outlives every schedule thread
  return *schedule;
}

bool ValidMode(int mode) { return mode >= 1 && mode <= kScheduleModeCount; }

// A path of the table as the file gives it: "Zentu\A\B" (typed by hand) reads
// as "Zentu" TAB "A" TAB "B"; two-byte characters are stepped over whole.
std::string TablePath(std::string_view path) {
  if (!StartsWithNoCase(path, "Zentu\\")) return std::string(path);
  std::string out;
  out.reserve(path.size());
  os::ForEachSjisChar(path, [&](std::string_view ch) { out += ch == "\\" ? std::string_view("\t") : ch; });
  return out;
}

void SaveAfterUpdate() {
  if (CurrentProfile().SaveAtAddition) (void)SaveTree(CurrentTreeFileSettings());
}

// A URL item of the kinds an update fetches again. Tree lock held.
bool UpdateUrlItem(TreeNode* item) {
  if (!IsItem(item) || (item->property != kPropertyUrlItem && item->property != kPropertyRssFolder)) return false;
  if (item->url.empty() || IsUrlLocked(item->url)) return false;
  SetDownloadFlag(item, kDownloadChanged);
  return GetDownloadManager().AddJob(item->url, item->localFile, false, item) > 0;
}

}  // namespace

std::string_view ScheduleSectionHeader(int mode) { return ValidMode(mode) ? kHeaders[mode - 1] : std::string_view(); }

// --- The table ---------------------------------------------------------------------------

int LoadSchedule(const std::string& path) {
  std::vector<ScheduleEntry> table;
  std::string text;
  if (!os::FileExists(path) || !os::ReadWholeFile(path, text)) {
    WriteLog("# update config file : %s", path.c_str());
    std::lock_guard lock(S().mutex);
    S().table.clear();
    return 0;
  }
  int mode = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.size() > kMaxLine || line.empty() || line[0] == '#') continue;
    bool header = false;
    for (int m = 1; m <= kScheduleModeCount && !header; ++m) {
      if (StartsWithNoCase(line, kHeaders[m - 1])) {
        mode = m;
        header = true;
      }
    }
    if (header || !StartsWithNoCase(line, "Folder=Zentu")) continue;
    ScheduleEntry entry{mode, TablePath(line.substr(7))};
    if (std::find(table.begin(), table.end(), entry) == table.end()) table.push_back(std::move(entry));
  }
  std::lock_guard lock(S().mutex);
  S().table = std::move(table);
  return 1;
}

std::string FormatSchedule() {
  std::lock_guard lock(S().mutex);
  std::string out = "# for Update\n";
  for (int m = 1; m <= kScheduleModeCount; ++m) {
    out += kHeaders[m - 1];
    out += '\n';
    for (const ScheduleEntry& e : S().table) {
      if (e.mode != m) continue;
      out += "Folder=";
      out += e.path;
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

int SaveSchedule(const std::string& path) {
  const std::string text = FormatSchedule();
  const bool written = os::WriteCrLfTextFile(path, text);
  if (!written) WriteLog("> Can't write the update list: %s", path.c_str());
  ResetSchedule();
  return written ? 1 : 0;
}

int AddScheduleEntry(int mode, std::string_view path) {
  // A path that a line cannot hold would come back as something else.
  if (!ValidMode(mode) || !StartsWithNoCase(path, kRootWord) || path.find_first_of("\r\n") != std::string_view::npos ||
      path.size() + 7 > kMaxLine)
    return 0;
  std::lock_guard lock(S().mutex);
  ScheduleEntry entry{mode, std::string(path)};
  if (std::find(S().table.begin(), S().table.end(), entry) != S().table.end()) return 0;
  S().table.push_back(std::move(entry));
  return 1;
}

int RemoveScheduleEntry(int mode, std::string_view path) {
  std::lock_guard lock(S().mutex);
  auto& t = S().table;
  auto it = std::find(t.begin(), t.end(), ScheduleEntry{mode, std::string(path)});
  if (it == t.end()) return 0;
  t.erase(it);
  return 1;
}

bool HasScheduleEntry(int mode, std::string_view path) {
  std::lock_guard lock(S().mutex);
  const auto& t = S().table;
  return std::find(t.begin(), t.end(), ScheduleEntry{mode, std::string(path)}) != t.end();
}

std::vector<ScheduleEntry> ScheduleEntries() {
  std::lock_guard lock(S().mutex);
  return S().table;
}

void ResetSchedule() {
  std::lock_guard lock(S().mutex);
  S().table.clear();
}

// --- Runs ----------------------------------------------------------------------------------

std::vector<int> ScheduleModesForTick(int& counter) {
  static constexpr std::pair<int, int> kEvery[] = {{3, kUpdatePer30Minutes}, {6, kUpdatePer1Hour},
                                                   {12, kUpdatePer2Hours},   {18, kUpdatePer3Hours},
                                                   {36, kUpdatePer6Hours},   {72, kUpdatePer12Hours},
                                                   {144, kUpdatePer24Hours}};
  std::vector<int> modes{kUpdatePer10Minutes};
  const int n = counter;
  for (auto [every, mode] : kEvery)
    if (n % every == 0) modes.push_back(mode);
  counter = (n % 144 == 0 ? 0 : n) + 1;
  return modes;
}

void RunScheduleTick(int& counter) {
  for (int mode : ScheduleModesForTick(counter)) (void)RunSchedule(mode);
}

int RunSchedule(int mode) {
  Schedule& s = S();
  {
    std::unique_lock lock(s.busyMutex);
    for (int step = 0; s.busy && step < kBusySteps; ++step) {
      if (step == 1) os::Notice(SJ("更新設定終了待ち"));
      s.busyEnded.wait_for(lock, kBusyStep, [&] { return !s.busy; });
    }
    if (s.busy) {
      os::Notice(SJ("更新に失敗しました"));
      return 0;
    }
    s.busy = true;
  }
  WriteLogVerbose("# Run Schedule: mode %d", mode);
  auto clearBusy = [] {
    {
      std::lock_guard lock(S().busyMutex);
      S().busy = false;
    }
    S().busyEnded.notify_all();
  };
  const bool started = s.pool.Start(
      kRunWorker, 1,
      [mode](std::stop_token stop) {
        for (const ScheduleEntry& e : ScheduleEntries()) {
          if (stop.stop_requested()) break;
          if (e.mode != mode) continue;
          TreeNode* folder = nullptr;
          {
            std::lock_guard tree(TreeMutex());
            if (GetTreeState().root) folder = FindFolderByTreePath(GetTreeState().root, e.path);
          }
          // A path that names no folder any more stays listed and is passed over.
          if (folder) StartFolderUpdate(folder);
        }
      },
      clearBusy);
  if (!started) clearBusy();
  return started ? 1 : 0;
}

bool WaitForScheduleIdle(std::chrono::milliseconds limit) { return S().pool.WaitIdle(limit); }

void StopSchedules(std::chrono::milliseconds limit) { (void)S().pool.StopAll(limit); }

int UpdateFolderChildren(TreeNode* folder) {
  if (!folder || IsItem(folder)) return 0;
  WriteLogVerbose("# Update Folder: %s", folder->title.c_str());
  // A scheduled RSS folder means its feed: its children are the feed's entries,
  // which the feed's analysis re-queues when they change.
  if (IsRssFolder(folder)) return QueueFeed(folder, true, true) > 0 ? 1 : 0;
  int queued = 0;
  for (TreeNode* c = folder->firstChild; c; c = c->next) {
    if (IsRssFolder(c)) queued += QueueFeed(c, true, true) > 0;
    else if (IsItem(c)) queued += UpdateUrlItem(c);
  }
  if (queued) MarkTreeModified();
  return queued;
}

int UpdateFolder(TreeNode* folder) {
  int queued;
  {
    std::lock_guard tree(TreeMutex());
    if (!IsInCollection(folder)) return 0;
    queued = UpdateFolderChildren(folder);
  }
  SaveAfterUpdate();
  return queued;
}

void StartFolderUpdate(TreeNode* folder) {
  if (!S().pool.Start(kFolderWorker, kMaxFolderWorkers, [folder](std::stop_token) { (void)UpdateFolder(folder); }))
    (void)UpdateFolder(folder);  // every thread busy: done here instead of dropped
}

// --- Commands --------------------------------------------------------------------------------

void UpdateSelectedNode(TreeNode* node) {
  if (IsRssFolder(node)) (void)QueueFeed(node, false, true);
  else if (IsFolder(node) || IsRoot(node)) UpdateFolderCommand(node);
  else if (IsItem(node) && node->property == kPropertyUrlItem) (void)UpdateUrlItem(node);
}

void UpdateFolderCommand(TreeNode* node) {
  if (IsItem(node)) UpdateSelectedNode(node);
  else if (IsRssFolder(node)) (void)QueueFeed(node, false, false);
  else if (node) StartFolderUpdate(node);
}

int UpdateListSelection(const std::vector<TreeNode*>& nodes) {
  int queued = 0;
  bool syncRefused = false;
  {
    std::lock_guard tree(TreeMutex());
    for (TreeNode* n : nodes) {
      if (!IsInCollection(n)) continue;
      if (IsSyncFolder(n)) {
        syncRefused = true;
      } else if (IsRssFolder(n)) {
        queued += QueueFeed(n, false, false) > 0;
      } else if (IsFolder(n)) {
        StartFolderUpdate(n);
        ++queued;
      } else if (IsItem(n) && n->property == kPropertyUrlItem) {
        queued += UpdateUrlItem(n);
      }
    }
  }
  if (syncRefused) os::MessageBox(SJ("同期フォルダを更新することはできません"), SJ("エラー"));
  SaveAfterUpdate();
  return queued;
}

void InstallScheduleFileHooks() {
  SetConfigFileHook(
      ConfigFile::Update, [](Profile&, const std::string& path) { return LoadSchedule(path) > 0 || !os::FileExists(path) ? 1 : 0; },
      [](const Profile&, const std::string& path) { return SaveSchedule(path); });
}

}  // namespace zentu
