#include "capture/pipeline.h"

#include "capture/polite.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "capture/cookies.h"
#include "capture/http.h"
#include "capture/rules.h"
#include "os/clock.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "os/workers.h"
#include "pagelib/codedetect.h"
#include "pagelib/scanner.h"
#include "pagelib/url.h"
#include "store/profile.h"
#include "store/tree.h"

namespace zentu {
namespace {

using os::SJ;
using os::StartsWithNoCase;

// ---- Workers -------------------------------------------------------------------

// The kinds of capture thread in the pool.
enum WorkerKind : int { kCheckWorker = 0, kDownloadWorker = 1, kAnalysisWorker = 2 };

struct Workers {
  std::mutex mutex;  // the hooks, the idle limit, and the profile while threads start
  os::WorkerPool pool;
  std::chrono::milliseconds idleLimit{10000};
  PipelineHooks hooks;
  DownloadManager* manager = nullptr;
  std::jthread stopThread;
};

Workers& W() {
  static Workers* workers = new Workers;  // outlives every worker thread
  return *workers;
}

DownloadManager& M() {
  DownloadManager* m = W().manager;
  return m ? *m : GetDownloadManager();
}

// How long a check thread waits for a new job before it ends: site downloads
// add jobs one page at a time, and a thread per page would churn.
constexpr std::chrono::milliseconds kCheckLinger{1000};

void CheckThread(std::stop_token stop) {
  DownloadManager& m = M();
  os::GetDesktop().TrayTip("Zentu/Downloading");
  while (!m.checkStop.load() && !stop.stop_requested()) {
    if (CheckPass()) continue;
    if (!m.WaitForJob(kJobUntreated, kCheckLinger, stop)) break;
  }
}

// A job added while a thread was deciding to end must not wait for the next add.
void AfterCheckThread() {
  DownloadManager& m = M();
  if (!m.checkStop.load() && m.CountStatus(kJobUntreated) > 0) StartWorkers();
}

// Waits up to a second for work; counts the second when `counts` says so.
bool IdleSecond(DownloadManager& m, int status, std::chrono::milliseconds& idle, bool counts,
                std::stop_token stop) {
  auto start = std::chrono::steady_clock::now();
  bool found = m.WaitForJob(status, std::chrono::milliseconds(1000), stop);
  if (!found && counts) idle += std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return found;
}

void DownloadThread(std::stop_token stop) {
  DownloadManager& m = M();
  os::GetDesktop().TrayTip("Zentu/Downloading");
  WriteLog("Start. Download Thread");
  if (CurrentProfile().ShowByDownload) os::GetDesktop().ShowDownloadManager();
  std::chrono::milliseconds idle{0};
  while (!m.downloadStop.load() && !stop.stop_requested()) {
    if (DownloadPass()) {
      idle = std::chrono::milliseconds{0};
      continue;
    }
    if (IdleSecond(m, kJobWaiting, idle, !m.checkRunning.load(), stop)) continue;
    if (idle >= W().idleLimit) break;
  }
  WriteLog("Finish. A Download Thread.");
}

void AfterDownloadThread() {
  DownloadManager& m = M();
  if (!m.downloadStop.load() && m.CountStatus(kJobWaiting) > 0) StartWorkers();
}

void AnalysisThread(std::stop_token stop) {
  DownloadManager& m = M();
  os::GetDesktop().TrayTip("Zentu/Downloading");
  WriteLog("Start. Analyze Thread");
  std::chrono::milliseconds idle{0};
  while (!m.analysisStop.load() && !stop.stop_requested()) {
    if (AnalysisPass()) {
      idle = std::chrono::milliseconds{0};
      continue;
    }
    bool counts = !m.checkRunning.load() && !m.downloadRunning.load();
    if (IdleSecond(m, kJobDownloaded, idle, counts, stop)) continue;
    if (idle >= W().idleLimit) break;
  }
}

// Runs once the analysis thread no longer counts, so that a successor can
// start in its place; the pool joins the old thread later, never from itself.
void AfterAnalysisThread() {
  DownloadManager& m = M();
  const bool stopped = m.analysisStop.load();
  if (!stopped && m.HasUntreatedJobs()) {
    WriteLog("Finish. Analyze Thread. However, there are some untreated items.");
    StartWorkers();
    return;
  }
  os::GetDesktop().StatusText(SJ("全て終了"));
  WriteLog("Finish. Analyze Thread.");
  os::GetDesktop().TrayTip("Zentu");
  const Profile& p = CurrentProfile();
  if (!stopped && p.PlayFinishSound && !p.FinishSound.empty()) os::GetDesktop().PlaySound(p.FinishSound);
}

// The queue's running marks and counts follow the pool's counts, in the
// order the pool changes them.
void PublishCount(int kind, int running) {
  DownloadManager& m = M();
  switch (kind) {
    case kCheckWorker:
      m.checkCount = running;
      m.checkRunning = running > 0;
      break;
    case kDownloadWorker:
      m.downloadCount = running;
      m.downloadRunning = running > 0;
      break;
    case kAnalysisWorker: m.analysisRunning = running > 0; break;
    default: break;
  }
}

// ---- Helpers of the analysis -------------------------------------------------

// The job's tree item as the queue knows it now. Tree lock held.
TreeNode* JobItem(const DownloadJob& job) {
  if (!job.Node) return nullptr;
  if (M().FindJob(job.URL, nullptr)) return M().JobNode(job.URL);
  return job.Node;
}

bool InRssFolder(const TreeNode* node) { return node && node->parent && IsRssFolder(node->parent); }

std::string WithoutFragment(std::string_view url) {
  size_t hash = url.find('#');
  return std::string(hash == std::string_view::npos ? url : url.substr(0, hash));
}

// The encoding a page declares, in its Content-Type header or in a meta
// charset near its start; 0 when it declares none we know. The guess from the
// bytes alone can take short UTF-8 texts of kanji for Shift_JIS.
int CodeOfCharsetName(std::string_view value, std::string_view key = "charset=") {
  size_t at = std::string_view::npos;
  for (size_t i = 0; i + key.size() <= value.size(); ++i) {
    if (StartsWithNoCase(value.substr(i), key)) {
      at = i + key.size();
      break;
    }
  }
  if (at == std::string_view::npos) return 0;
  while (at < value.size() && (value[at] == '"' || value[at] == '\'' || value[at] == ' ')) ++at;
  std::string_view name = value.substr(at);
  if (StartsWithNoCase(name, "utf-8") || StartsWithNoCase(name, "utf8")) return kCodeUtf8;
  if (StartsWithNoCase(name, "euc-jp") || StartsWithNoCase(name, "x-euc-jp") || StartsWithNoCase(name, "euc_jp"))
    return kCodeEuc;
  if (StartsWithNoCase(name, "iso-2022-jp")) return kCodeJis;
  return 0;  // Shift_JIS and unknown names: the detector decides
}

int DeclaredCode(std::string_view contentType, std::string_view text) {
  if (int code = CodeOfCharsetName(contentType)) return code;
  std::string_view head = text.substr(0, std::min<size_t>(text.size(), 2048));
  for (size_t at = 0; at + 5 < head.size(); ++at) {
    // Feeds and other XML name theirs in the declaration.
    if (head[at] == '<' && StartsWithNoCase(head.substr(at), "<?xml")) {
      size_t end = head.find('>', at);
      std::string_view decl = head.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
      if (int code = CodeOfCharsetName(decl, "encoding=")) return code;
    }
    if (head[at] == '<' && StartsWithNoCase(head.substr(at), "<meta")) {
      size_t end = head.find('>', at);
      std::string_view tag = head.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
      if (int code = CodeOfCharsetName(tag)) return code;
    }
  }
  return 0;
}

bool IsLocalPathUrl(std::string_view url) {
  return (url.size() > 1 && url[1] == ':') || (url.size() > 1 && url[0] == '\\' && url[1] == '\\');
}

// "\" to "/" in a link or a local relative path, two-byte characters stepped over whole.
std::string ToLinkSeparators(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  os::ForEachSjisChar(path, [&](std::string_view ch) { out += ch == "\\" ? std::string_view("/") : ch; });
  return out;
}

// Characters a browser would read as URL syntax in a relative link.
std::string EscapeLinkPath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  os::ForEachSjisChar(path, [&](std::string_view ch) {
    if (ch == "%") out += "%25";
    else if (ch == "#") out += "%23";
    else if (ch == "?") out += "%3F";
    else if (ch == " ") out += "%20";
    else if (ch == "\"") out += "%22";
    else out += ch;
  });
  return out;
}

std::string DataDirectory() { return CurrentProfile().dirs.data; }

// Waits out a delay; a stop ends it at once (a wait on the queue's stop
// condition, which nothing but the stop wakes).
void SleepUnlessStopped(int ms, const std::atomic<bool>& stop) {
  (void)M().WaitUnlessStopped(std::chrono::milliseconds(ms), stop);
}

// ---- RSS anchor rule ------------------------------------------------------------

enum class Stage { Check, Download, Analysis };

void CopyResponse(DownloadJob& job, const DownloadJob& from) {
  job.Modified = from.Modified;
  job.LastModifiedTime = from.LastModifiedTime;
  job.ServerDate = from.ServerDate;
  job.Size = from.Size;
  job.ContentType = from.ContentType;
  job.ContentEncoding = from.ContentEncoding;
  job.Flag = from.Flag;
  job.Connection = from.Connection;
}

void CopyItemFields(DownloadJob& job, const DownloadJob& neighbour) {
  std::lock_guard tree(TreeMutex());
  TreeNode* mine = JobItem(job);
  TreeNode* theirs = JobItem(neighbour);
  if (!mine || !theirs || mine == theirs) return;
  SetOriginalDate(mine, theirs->originalDate);
  SetLastCheck(mine, theirs->lastCheck);
  SetSize(mine, theirs->size);
  SetDownloadFlag(mine, theirs->downloadFlag);
  SetLocalFile(mine, theirs->localFile);
  if (mine->unread != theirs->unread) SetUnreadFlag(mine, theirs->unread);
}

// True when the job took the result of its neighbour in the queue.
bool RssAnchorRule(DownloadJob& job, Stage stage) {
  if (job.URL.find('#') == std::string::npos || !job.Node) return false;
  {
    std::lock_guard tree(TreeMutex());
    if (!InRssFolder(JobItem(job))) return false;
  }
  DownloadJob neighbour;
  if (!M().NextJob(job.URL, &neighbour)) return false;
  if (WithoutFragment(neighbour.URL) != WithoutFragment(job.URL) || neighbour.Status <= job.Status) return false;
  switch (stage) {
    case Stage::Check:
      WriteLog("HEAD <Skip> %s", job.URL.c_str());
      SetJobMessage(job, "Skip [HEAD]");
      CopyResponse(job, neighbour);
      job.Status = kJobWaiting;
      break;
    case Stage::Download:
      WriteLog("GET <Skip> %s", job.URL.c_str());
      SetJobMessage(job, "Skip [GET]");
      CopyResponse(job, neighbour);
      job.Status = kJobDownloaded;
      CopyItemFields(job, neighbour);
      break;
    case Stage::Analysis:
      WriteLog("Analyze <Skip> %s", job.URL.c_str());
      SetJobMessage(job, "Skip [Analyze]");
      CopyItemFields(job, neighbour);
      FinishTreeItem(job);
      job.Status = kJobComplete;
      break;
  }
  return true;
}

// A resource that answered with a redirect keeps its rewritten link in the
// pages that use it: give its local name a copy of what the target delivered,
// so the saved pages find it offline. Pages are left alone unless they stay in
// the same folder, since their relative links would point elsewhere.
void ServeRedirectSource(const DownloadJob& job) {
  if (job.Status != kJobComplete || job.SourceURL.empty() || job.LocalFile.empty()) return;
  DownloadJob src;
  // Nearly every source is the page a file was found on: looked at in the
  // queue before anything is copied. A source a worker holds may be a
  // redirect being followed, unless it is being analysed (only a stored
  // answer is analysed, never a followed redirect): the page that is being
  // analysed while its images come in is not waited for.
  if (M().FindJobIf(job.SourceURL, [](const DownloadJob& s) {
        return s.claim != 0 ? s.Status < kJobDownloaded
                            : s.Status == kJobComplete && s.Node == nullptr && !s.MovedURL.empty();
      }, &src) != 1)
    return;
  // With several download threads the target can be done before the
  // redirect's own worker has let its job go: wait for that, as for any claim.
  bool held = false;
  if (src.claim != 0) {
    if (M().ClaimJob(job.SourceURL, &src) != 1) return;
    held = true;
  }
  struct Release {
    bool held;
    const DownloadJob& src;
    ~Release() {
      if (held) M().AbandonJob(src);
    }
  } release{held, src};
  if (src.Status != kJobComplete || src.Node != nullptr || src.MovedURL.empty()) return;
  if (src.Connection < 301 || src.Connection > 308 || src.Connection == 304 || src.Connection == 305 ||
      src.Connection == 306)
    return;
  if (AbsoluteMovedURL(src, src.MovedURL) != job.URL || src.LocalFile.empty() || src.LocalFile == job.LocalFile) return;
  if (job.Flag != kContentBinary && os::DirectoryOf(src.LocalFile) != os::DirectoryOf(job.LocalFile)) return;
  if (!os::FileExists(job.LocalFile)) return;
  std::string part = src.LocalFile + ".part";
  DownloadJob scratch = src;  // its messages are not the finished job's
  if (PrepareLocalWrite(scratch, src.LocalFile) > 0 && PrepareLocalWrite(scratch, part) > 0 &&
      os::CopyFile(job.LocalFile, part) && os::RenameFile(part, src.LocalFile)) {
    WriteLogVerbose("Copy file: %s => %s", job.LocalFile.c_str(), src.LocalFile.c_str());
  } else {
    (void)os::DeleteFile(part);
  }
}

}  // namespace

// ---- Threads -----------------------------------------------------------------------

void InstallPipeline(DownloadManager& manager) {
  W().manager = &manager;
  W().pool.SetCountObserver(PublishCount);
  manager.SetHook(&JobHooks::startWorkers, [] { StartWorkers(); });
  manager.SetHook(&JobHooks::initJob, [](DownloadJob& job) { return InitJob(job); });
}

namespace detail {
void EditPipelineHooks(const std::function<void(PipelineHooks&)>& edit) {
  std::lock_guard lock(W().mutex);
  edit(W().hooks);
}
}  // namespace detail

void ClearPipelineHooks() {
  std::lock_guard lock(W().mutex);
  W().hooks = {};
}

void SetWorkerIdleLimit(std::chrono::milliseconds limit) {
  std::lock_guard lock(W().mutex);
  W().idleLimit = limit;
}

void StartWorkers() {
  DownloadManager& m = M();
  if (m.checkStop.load() || m.downloadStop.load() || m.analysisStop.load()) {
    WriteLog("Current Status: Stopping...");
    return;
  }
  Workers& w = W();
  std::lock_guard lock(w.mutex);  // also keeps the profile still (RunWhileCaptureIdle)
  const Profile& p = CurrentProfile();
  const int maxCheck = std::clamp(p.MaxNumberOfCheckThread, 0, 100);
  const int maxDownload = std::clamp(p.MaxNumberOfDownloadThread, 1, 100);
  // The pool counts under its own lock: however many callers start workers
  // at once, no kind runs more threads than its maximum.
  if (m.CountStatus(kJobUntreated) > 0)
    w.pool.StartUpTo(kCheckWorker, maxCheck, maxCheck, CheckThread, AfterCheckThread);
  // All download threads at once when there is work for them: a queue with
  // many resources keeps them busy, and an idle one ends by itself.
  if (!(m.downloadRunning.load() && m.CountStatus(kJobWaiting) == 0 && m.CountStatus(kJobUntreated) == 0))
    w.pool.StartUpTo(kDownloadWorker, maxDownload, maxDownload, DownloadThread, AfterDownloadThread);
  w.pool.Start(kAnalysisWorker, 1, AnalysisThread, AfterAnalysisThread);
}

void JoinFinishedWorkers() { W().pool.Reap(); }

bool RunWhileCaptureIdle(const std::function<void()>& step) {
  Workers& w = W();
  std::lock_guard lock(w.mutex);
  return w.pool.RunWhileIdle(step);
}

bool StopCaptureAndWait(std::chrono::milliseconds limit) {
  DownloadManager& m = M();
  m.SetStopFlags(true);
  const bool ended = W().pool.StopAll(limit);
  CloseKeptConnections();
  m.SetStopFlags(false);
  return ended;
}

void StopCapture() {
  DownloadManager& m = M();
  if (!m.AnyWorkerRunning()) {
    WriteLog("%s", SJ("すでに全ての取り込み処理が終了しています").c_str());
    return;
  }
  bool expected = false;
  if (!m.stopping.compare_exchange_strong(expected, true)) {
    WriteLog("%s", SJ("すでに停止処理を開始しています").c_str());
    return;
  }
  WriteLog("%s", SJ("取り込み処理を停止します").c_str());
  Workers& w = W();
  std::lock_guard lock(w.mutex);
  if (w.stopThread.joinable()) w.stopThread.join();
  w.stopThread = std::jthread([](std::stop_token) {
    DownloadManager& m = M();
    WriteLog("Start. Stop Thread.");
    os::GetDesktop().StatusText(SJ("停止処理中"));
    m.SetStopFlags(true);
    Workers& w = W();
    for (;;) {
      if (w.pool.StopAll(std::chrono::seconds(120))) {
        os::GetDesktop().StatusText(SJ("停止処理完了"));
        break;
      }
      if (os::MessageBox(SJ("停止に時間がかかっています．停止処理を続けますか？"), SJ("報告"), os::Buttons::YesNo,
                         os::IDYES) != os::IDYES) {
        os::GetDesktop().StatusText(SJ("停止処理中断"));
        break;
      }
    }
    os::GetDesktop().StatusText("");
    m.SetStopFlags(false);
    WriteLog("Finish. Stop Thread.");
    if (m.clearAfterStop.exchange(false)) m.Clear();
    m.stopping = false;
  });
}

bool WaitUntilIdle(std::chrono::milliseconds limit) {
  // Woken only when the queue drains, not at each of the many changes before.
  return M().WaitUntilDrainedFor(limit, {});
}

namespace {

// A locked URL whose saved copy exists is never fetched again: the job ends
// here, the copy and the item stay as they are (the item counts as downloaded).
bool KeepLockedCopy(DownloadJob& job) {
  std::function<bool(std::string_view)> isLocked;
  {
    std::lock_guard lock(W().mutex);
    isLocked = W().hooks.isUrlLocked;
  }
  if (job.LocalFile.empty() || !isLocked || !isLocked(job.URL) || !os::FileExists(job.LocalFile)) return false;
  WriteLog("Locked, not overwritten: %s", job.URL.c_str());
  SetJobMessage(job, "Locked.");
  job.Status = kJobComplete;
  std::lock_guard tree(TreeMutex());
  if (TreeNode* item = JobItem(job); item && IsItem(item)) {
    SetDownloadFlag(item, kDownloadDone);
    if (item->localFile.empty()) SetLocalFile(item, job.LocalFile);
  }
  return true;
}

}  // namespace

// ---- Passes --------------------------------------------------------------------------

bool CheckPass() {
  DownloadManager& m = M();
  bool work = false;
  std::string after;
  DownloadJob job;
  while (!m.checkStop.load() && m.ClaimNext(kJobUntreated, after, &job)) {
    after = job.URL;
    work = true;
    InitJob(job);
    if (job.Status == kJobUntreated && !RssAnchorRule(job, Stage::Check)) HeadProcedure(job, m);
    m.ReleaseJob(job);
  }
  return work;
}

// The start page was asked for by the user; what the site download finds
// itself waits for its server's turn and must be allowed by robots.txt.
bool PoliteSiteRequest(DownloadJob& job, const Profile& p, const std::atomic<bool>& stop) {
  if (!job.Node && p.ObeyRobotsTxt && !RobotsAllowUrl(job.URL)) {
    WriteLog("robots.txt disallows: %s", job.URL.c_str());
    SetJobMessage(job, "robots.txt disallows it");
    job.Status = kJobComplete;
    return false;
  }
  return WaitForHostTurn(job.URL, std::chrono::milliseconds(std::max(p.DelayOfSiteDownload, 0)), stop);
}

bool DownloadPass() {
  DownloadManager& m = M();
  const Profile& p = CurrentProfile();
  bool work = false;
  std::string after;
  DownloadJob job;
  while (!m.downloadStop.load() && m.ClaimNext(kJobWaiting, after, &job)) {
    after = job.URL;
    work = true;
    int delay = 0;
    if (job.SiteDown && job.URL.find(kSnsHostWord) != std::string::npos) {
      // The service shuts out fast readers; its images come without delay.
      if (CheckFileType(job.URL, kDownloadAsBinary) != 2) delay = std::max(p.DelayOfSiteDownload, 5000);
    } else if (job.SiteDown) {
      // Spaced per server and held to robots.txt (capture/polite.h).
      if (!PoliteSiteRequest(job, p, m.downloadStop)) {
        m.ReleaseJob(job);
        continue;
      }
    } else {
      delay = std::max(p.DelayOfDownload, 0);
    }
    if (KeepLockedCopy(job)) {
      m.ReleaseJob(job);
      continue;
    }
    if (delay > 0) SleepUnlessStopped(delay, m.downloadStop);
    if (!RssAnchorRule(job, Stage::Download)) GetProcedure(job, m);
    ServeRedirectSource(job);
    m.ReleaseJob(job);
  }
  return work;
}

bool AnalysisPass() {
  DownloadManager& m = M();
  bool work = false;
  std::string after;
  DownloadJob job;
  while (!m.analysisStop.load() && m.ClaimNext(kJobDownloaded, after, &job)) {
    after = job.URL;
    work = true;
    if (!RssAnchorRule(job, Stage::Analysis)) AnalyzeJob(job);
    ServeRedirectSource(job);
    m.ReleaseJob(job);
  }
  return work;
}

// ---- Job initialisation ---------------------------------------------------------------

bool InitJob(DownloadJob& job) {
  if (!MapJobLocation(job)) {
    job.Status = kJobError;
    if (job.Node) EndErrorProcedure(job, M());
    SetJobMessage(job, "URL has error.");
    return false;
  }
  if (KeepLockedCopy(job)) return true;
  if (job.FromLocal && CopyFromCache(job)) return true;
  if (!IsLocalPathUrl(job.URL)) {
    job.Status = CurrentProfile().PrecheckByHeadRequest ? kJobUntreated : kJobWaiting;
    if (job.SiteDown && job.SizeUpTo == 0) job.Status = kJobWaiting;
    if (job.Status == kJobUntreated && job.SizeUpTo == 0 && !os::FileExists(job.LocalFile)) {
      // With no copy to compare and no size to refuse, a HEAD tells nothing
      // the GET does not: one request instead of two.
      WriteLog("HEAD skipped (no saved copy): %s", job.URL.c_str());
      job.Status = kJobWaiting;
    }
    return true;
  }
  if (!os::FileExists(job.URL)) {
    job.Status = kJobWaiting;
    return true;
  }
  if (PrepareLocalWrite(job, job.LocalFile) < 0) {
    job.Status = kJobError;
  } else if (os::CopyFile(job.URL, job.LocalFile)) {
    job.Status = kJobDownloaded;
  } else {
    job.Status = kJobError;
    SetJobMessage(job, "Can't copy file: %s", job.LocalFile.c_str());
  }
  return true;
}

bool CopyFromCache(DownloadJob& job) {
  job.FromCache = 0;
  std::string cached;
  if (!FindInBrowserCache(job.URL, cached)) {
    WriteLog("File not found in cahce: %s", job.URL.c_str());
    SetJobMessage(job, "Not found in cache.");
    job.FromLocal = false;
    return false;
  }
  job.FromCache = 1;
  job.Status = kJobDownloading;
  if (const int ready = PrepareLocalWrite(job, job.LocalFile); ready <= 0) {
    job.Status = ready < 0 ? kJobError : kJobWaiting;
    if (ready == 0) SetJobMessage(job, "Can't create folder: %s", job.DirName.c_str());
    return ready < 0;
  }
  if (!os::CopyFile(cached, job.LocalFile)) {
    SetJobMessage(job, "Can't copy file: %s", cached.c_str());
    job.Status = kJobWaiting;
  } else {
    WriteLog("Copy file: %s => %s", cached.c_str(), job.LocalFile.c_str());
    SetJobMessage(job, "%s", cached.c_str());
    if (CheckFileType(job.LocalFile, kDownloadAsBinary) == 2) {
      int64_t size = os::GetFileSize(job.LocalFile);
      job.Size = size > 0 ? static_cast<uint32_t>(size) : 0;
      job.Flag = kContentFromCache;
      job.Title = job.LocalFile.substr(std::min(job.LocalFile.size(), job.DirName.size()));
      FinishTreeItem(job);
      job.Status = kJobComplete;
    } else {
      job.Status = kJobDownloaded;
    }
  }
  job.Title = job.URL;
  return true;
}

// ---- Analysis ---------------------------------------------------------------------------

void AnalyzeJob(DownloadJob& job) {
  DownloadManager& m = M();
  job.UpdateContents.clear();
  job.Status = kJobAnalyzing;
  m.UpdateJob(job);
  int result = AnalyzeFile(job);
  if (result == kAnalysisStopped) {
    // The saved file is still the page as it came (the rewrite is written
    // whole or not at all): it is analysed again when the capture goes on,
    // instead of ending as a failure with its links never fetched.
    job.Status = kJobDownloaded;
    m.UpdateJob(job);
    return;
  }
  job.Status = kJobAnalyzed;
  m.UpdateJob(job);
  if (result <= 0) EndErrorProcedure(job, m);
  else FinishTreeItem(job);
  job.UpdateContents.clear();
  job.Status = kJobComplete;
  m.UpdateJob(job);
}

namespace {
std::atomic<int64_t> g_analysisLimit{kMaxAnalyzedFile};
// AnalyzePage, told whether `text` holds the saved file's bytes unchanged.
int AnalyzePageText(DownloadJob& job, std::string& text, bool textIsSavedFile);
}  // namespace

void SetAnalysisSizeLimit(int64_t bytes) { g_analysisLimit = bytes > 0 ? bytes : kMaxAnalyzedFile; }

int AnalyzeFile(DownloadJob& job) {
  WriteLog("Analyzing: %s [%s]", job.URL.c_str(), job.LocalFile.c_str());
  int64_t fileSize = os::GetFileSize(job.LocalFile);
  if (fileSize < 0) {
    WriteLog("File not found: %s", job.LocalFile.c_str());
    SetJobMessage(job, "File not found: %s", job.LocalFile.c_str());
    return 0;
  }
  if (fileSize == 0) {
    WriteLog("Error: file size = 0");
    SetJobMessage(job, "File size = 0");
    return 0;
  }
  if (job.Size == 0) job.Size = static_cast<uint32_t>(std::min<int64_t>(fileSize, UINT32_MAX));
  if (fileSize > g_analysisLimit.load()) {
    WriteLog("> Not analysed: %s holds %lld bytes (more than %lld)", job.LocalFile.c_str(),
             static_cast<long long>(fileSize), static_cast<long long>(g_analysisLimit.load()));
    SetJobMessage(job, "<too large to analyse>");
    return 1;  // saved as it came: the copy is complete, only its links are not rewritten
  }
  std::string text;
  if (!os::ReadWholeFile(job.LocalFile, text)) {
    WriteLogVerbose("Can't read %s", job.LocalFile.c_str());
    SetJobMessage(job, "%s%s", SJ("ファイル読み込みエラー: ").c_str(), job.LocalFile.c_str());
    return 0;
  }
  if (text.empty()) {
    SetJobMessage(job, "Read size = 0");
    return 0;
  }
  // Zero bytes become blanks; many of them mean a binary file.
  size_t zeros = 0;
  for (char& c : text) {
    if (c == '\0') {
      c = ' ';
      ++zeros;
    }
  }
  bool binary = false;
  if (zeros > 0) {
    WriteLogVerbose("This file is binary? Detect binary file.");
    binary = zeros > text.size() / 1024;
  }
  int result = 1;
  if (!binary) {
    const Profile& p = CurrentProfile();
    if (job.Code == 0) job.Code = DeclaredCode(job.ContentType, text);
    if (job.Code == 0) {
      job.Code = DetectCode(text);
      WriteLogVerbose("%s", CodeName(job.Code));
    }
    bool asSaved = false;  // converted, but to the same bytes
    bool convert = job.Code != kCodeSjisStored &&
                   (job.Type == kJobTypeRss || job.Type == kJobTypeOpml || p.ForceConvToSJIS);
    if (convert) {
      // Nothing out of something: the text is not in that code after all, and
      // keeping it as it came beats saving an empty page.
      std::string converted = ConvertToSjis(text, job.Code, Unmapped::Reference);
      if (converted.empty() && !text.empty()) convert = false;
      else if (converted != text) text = std::move(converted);
      else asSaved = true;  // plain ASCII, or Shift_JIS already
    }
    int r = 1;
    PipelineHooks hooks;
    {
      std::lock_guard lock(W().mutex);
      hooks = W().hooks;
    }
    if (job.Type == kJobTypeRss) {
      r = hooks.analyzeFeed ? hooks.analyzeFeed(job, text) : 1;
    } else if (job.Type == kJobTypeOpml) {
      r = hooks.importOpml ? hooks.importOpml(job, text) : 1;
    } else {
      // Converted text is Shift_JIS from here on.
      int code = job.Code;
      if (convert) job.Code = kCodeSjisStored;
      // Without zero bytes and a conversion that changed it, the text is the saved file itself.
      r = AnalyzePageText(job, text, (!convert || asSaved) && zeros == 0);
      if (convert) job.Code = code;
    }
    if (r == kAnalysisStopped) result = r;
    else if (r < 1) result = 0;
  }
  if (!job.Modified.empty() && !os::SetFileTimes(job.LocalFile, job.LastModifiedTime))
    WriteLogVerbose("Can't set file time: %s", job.LocalFile.c_str());
  return result;
}

int AnalyzePage(DownloadJob& job, std::string& text) { return AnalyzePageText(job, text, false); }

namespace {
int AnalyzePageText(DownloadJob& job, std::string& text, bool textIsSavedFile) {
  if (text.empty()) {
    WriteLog("Can't read buffer for Get Data");
    SetJobMessage(job, "Can't read buffer for Get Data");
    return 0;
  }
  if (job.DirName.empty()) {
    SetJobMessage(job, "Folder is null.");
    return 0;
  }
  if (log::DebugFlag() && !os::DirectoryExists(job.DirName))
    WriteLogVerbose("# CreateDirectory : %s", job.DirName.c_str());
  if (const int ready = PrepareLocalWrite(job, job.LocalFile); ready <= 0) {
    if (ready == 0) {
      WriteLog("Error: Can't create directory: %s", job.DirName.c_str());
      SetJobMessage(job, "%s%s", SJ("フォルダ作成エラー: ").c_str(), job.DirName.c_str());
    }
    return 0;
  }
  const Profile& p = CurrentProfile();
  job.UpLinkRoot = RootPrefix(job.URL, DataDirectory(), p.ConvertPathForArchiveOrg);

  ScanJob scan;
  scan.url = job.URL;
  scan.followLinks = job.SiteDown;
  scan.storedAsSjis = job.Code == kCodeSjisStored;
  scan.code = job.Code;
  scan.localPath = job.LocalFile;
  PageScanner scanner;
  scanner.job = &scan;
  scanner.settings.cutFrontOfHtmlTag = p.CutFrontOfHtmlTag;
  scanner.settings.forceConvToSjis = p.ForceConvToSJIS;
  scanner.settings.commentOutIFrameTag = p.CommentOutIFrameTag;
  scanner.settings.commentOutXmlTag = p.CommentOutXMLTag;
  scanner.settings.ignoreJavaScript = p.IgnoreJavaScript;
  scanner.stop = &M().analysisStop;
  scanner.handleLink = [&job](ScanJob&, std::string_view link, int kind) { return HandleLink(job, link, kind); };
  scanner.handleBase = [&job](ScanJob& s, std::string_view href) {
    // The copy's links are rewritten relative to the copy itself: the base only
    // serves to resolve them, and leaving it in would send them back online.
    job.BaseURL = std::string(href);
    s.baseUrl = job.BaseURL;
    return std::string();
  };
  scanner.convertTag = [](std::string& tag) {
    int changed = 0;
    std::string out = ApplyConvertRules(tag, changed);
    if (changed) tag = out;
    return changed != 0;
  };

  std::string ext = FileExtension(job.URL.substr(0, job.URL.find_first_of("?#")));
  if (ext == "css" || ext == "js") {
    if (!os::DirectoryExists(job.DirName)) {
      WriteLog("[Error] Can't create file: Folder not found.");
      SetJobMessage(job, "Can't create file: Folder not found.");
      return 0;
    }
    int mode = ModeStyle;
    if (ext == "js") {
      // A script is kept as downloaded (no blanks for zero bytes, no conversion);
      // only links in its strings may change.
      mode = ModeScript;
      if (std::string original; os::ReadWholeFile(job.LocalFile, original)) text = std::move(original);
    }
    int r = RewriteStylesheetFile(scanner, text, mode);
    if (!scan.message.empty()) job.Message = scan.message;
    return r;
  }
  if (RewritePage(scanner, text) == 0) {
    SetJobMessage(job, "Stopped.");
    return kAnalysisStopped;
  }
  // The rewrite is made whole in memory, so a stop never leaves half a page.
  // It goes into the saved file itself: a new file and a rename over the old
  // one per page cost more than the page (and the freed files slow down every
  // file made after them). A crash during that write leaves a page the
  // restored queue fetches again; a file that cannot be written in place is
  // replaced whole. A page whose links already lead to the copies (relative
  // links into the same site) comes out as it went in: the saved file is
  // already the copy.
  if (textIsSavedFile && scanner.out == text) {
    WriteLogVerbose("# Unchanged by the rewrite: %s", job.LocalFile.c_str());
  } else if (!os::RewriteFileInPlace(job.LocalFile, scanner.out) &&
             !os::WriteFileAtomic(job.LocalFile, scanner.out, os::Access::Keep, os::Durability::Replaceable)) {
    WriteLog("Can't create file: %s", job.LocalFile.c_str());
    SetJobMessage(job, "Can't create file: %s", job.LocalFile.c_str());
    return 0;
  }
  job.Title = scan.title;  // already Shift_JIS: the scanner converts it
  job.UpdateContents = scan.hasUpdateContents ? CutUpdateContents(scan.updateContents) : std::string();
  return 1;
}

}  // namespace

// ---- Links -------------------------------------------------------------------------------

std::string HandleLink(DownloadJob& job, std::string_view found, int hop) {
  std::string link(found);
  // One pair of outer quotes, and Windows separators.
  if (link.size() >= 2 && (link.front() == '"' || link.front() == '\'') && link.back() == link.front())
    link = link.substr(1, link.size() - 2);
  link = ToLinkSeparators(link);
  if (StartsWithNoCase(link, "file://") || StartsWithNoCase(link, "mailto:")) return link;
  if (StartsWithNoCase(link, "javascript:") || StartsWithNoCase(link, "data:") || link.empty()) return std::string(found);

  std::string url;
  if (link.find("://") != std::string::npos) {
    url = link;
    if (std::count(url.begin(), url.end(), '/') == 2) url += '/';
    url = UnwrapArchiveUrl(url);
  } else {
    url = ResolveUrl(job.BaseURL.empty() ? job.URL : job.BaseURL, link);
    if (url.empty()) return std::string(found);
  }
  // The in-page anchor goes back on the local link, so it still jumps offline.
  std::string fragment;
  if (size_t hash = url.find('#'); hash != std::string::npos) {
    fragment = url.substr(hash);
    url.erase(hash);
  }
  url = ResolveUrl(url, url);  // absolute: only its dot segments collapse
  if (url.size() > kMaxUrlLength) return std::string(found);

  if (hop && job.SiteDown) {
    if (job.Limit < 1 || url.rfind(job.Filter, 0) != 0) {
      if (job.URL.find(kSnsHostWord) == std::string::npos) return url + fragment;
    }
    if (job.URL.find(kSnsHostWord) != std::string::npos) {
      if (job.Limit < 1 || url.find(kSnsHostWord) == std::string::npos) return url + fragment;
      static const char* const kPages[] = {"list_diary", "view_diary", "list_comment", "list_message",
                                           "view_message", "show_log", "show_profile"};
      bool wanted = false;
      for (const char* page : kPages) wanted |= url.find(page) != std::string::npos;
      if (!wanted) return url + fragment;
      size_t owner = url.find("owner_id=");
      if (owner != std::string::npos) {
        std::string id = url.substr(owner + 9);
        id = id.substr(0, id.find_first_of("&#"));
        if (id != job.Filter) {
          WriteLog("ignore other user-ID [%s]", url.c_str());
          return url + fragment;
        }
      }
    }
  }
  // A host part with blanks, quotes or "?" is no host.
  {
    size_t hostStart = url.find("://") + 3;
    size_t hostEnd = url.find('/', hostStart);
    std::string_view host = std::string_view(url).substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    if (host.find_first_of(" '\"?") != std::string_view::npos) {
      WriteLog("Skip: %s", url.c_str());
      return url + fragment;
    }
  }
  if (!IsLinkAllowed(url)) return url + fragment;

  UrlLocation location;
  UrlMapProfile profile = CaptureMapProfile();
  if (!MapUrlToLocation(url, profile, location)) return url + fragment;

  std::function<bool(std::string_view)> isLocked;
  {
    std::lock_guard lock(W().mutex);
    isLocked = W().hooks.isUrlLocked;
  }
  if (!(isLocked && isLocked(url))) {
    if (job.SiteDown) {
      M().AddSiteJob(url, job.URL, true, hop ? job.Limit - 1 : job.Limit, job.SizeUpTo, job.Filter, job.FromLocal,
                     nullptr);
    } else {
      M().AddJob(url, job.URL, job.FromLocal, nullptr);
    }
  }
  return job.UpLinkRoot + EscapeLinkPath(ToLinkSeparators(location.relativePath)) + fragment;
}

// ---- Tree item -----------------------------------------------------------------------------

void FinishTreeItem(DownloadJob& job) {
  std::lock_guard tree(TreeMutex());
  TreeNode* item = JobItem(job);
  if (!item || !IsItem(item)) return;
  bool changed = false;
  if (!InRssFolder(item)) {
    if (!job.Title.empty() && (item->title.empty() || item->title == "*" || StartsWithNoCase(item->title, "http")))
      SetTitle(item, job.Title);
    if (!job.Modified.empty()) {
      if (job.Modified != item->originalDate) {
        SetOriginalDate(item, job.Modified);
        changed = true;
      }
    } else if (!job.UpdateContents.empty()) {
      if (job.UpdateContents != item->originalDate) {
        SetOriginalDate(item, job.UpdateContents);
        changed = true;
      }
    } else {
      SetOriginalDate(item, "");
    }
  }
  if (job.Size != item->size) {
    SetSize(item, job.Size);
    if (job.Modified.empty()) changed = true;
  }
  SetLastCheck(item, os::DateTimeText(os::LocalNow()));
  SetDownloadFlag(item, kDownloadDone);
  SetLocalFile(item, job.LocalFile);
  if (changed && !item->unread) SetUnreadFlag(item, true);
  MarkTreeModified();
}

}  // namespace zentu
