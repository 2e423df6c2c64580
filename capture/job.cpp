#include "capture/job.h"

#include "capture/polite.h"

#include "capture/http.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "os/cp932.h"
#include "os/clock.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "store/profile.h"

namespace zentu {

std::string CutToUrlBuffer(std::string_view text) { return os::CutSjis(text, kMaxUrlLength); }

// --- Labels and messages -------------------------------------------------------

const std::string& JobStatusLabel(int status) {
  static const std::string kLabels[] = {
      os::Utf8ToSjis("エラー"), os::Utf8ToSjis("未処理"), "HEAD",
      os::Utf8ToSjis("DL待ち"), os::Utf8ToSjis("DL中"),   os::Utf8ToSjis("DL終了"),
      os::Utf8ToSjis("解析中"), os::Utf8ToSjis("解析終了"), os::Utf8ToSjis("完了"),
  };
  static const std::string kNone;
  if (status < kJobError || status > kJobComplete) return kNone;
  return kLabels[status + 1];
}

std::string JobTypeLabel(const DownloadJob& job) {
  switch (job.Type) {
    case kJobTypeNormal: return job.SiteDown ? "SiteDL" : "Normal";
    case kJobTypeRss: return "RSS";
    case kJobTypeOpml: return "OPML";
    default: return {};
  }
}

void FormatMessageV(std::string& message, const char* format, va_list args) {
  if (!format || !*format) return;
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  if (n < 0) {
    va_end(again);
    return;
  }
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.resize(static_cast<size_t>(n));
  message = std::move(text);
}

void SetJobMessage(DownloadJob& job, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessageV(job.Message, format, args);
  va_end(args);
}

int WriteBufferJob(DownloadJob& job, std::string_view content) {
  static const std::string kFolderFailed = os::Utf8ToSjis("フォルダ作成に失敗しました: ");
  static const std::string kFileFailed = os::Utf8ToSjis("ファイルを作成できませんでした");
  job.Status = kJobDownloading;
  if (job.Type == kJobTypeNormal && CurrentProfile().AddDateForScrapSelectionArea) {
    const os::LocalTime t = os::LocalNow();
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    job.LocalFile += suffix;
    job.LocalLink += suffix;
  }
  job.Code = 1;  // the text is Shift_JIS already
  WriteLogVerbose("# fopen : %s", job.LocalFile.c_str());
  int ready = job.DirName.empty() || job.LocalFile.empty() ? 0 : PrepareLocalWrite(job, job.DirName, LocalWrite::Folder);
  if (ready > 0 && PrepareLocalWrite(job, job.LocalFile, LocalWrite::FileInExistingFolder) < 0) ready = -1;
  if (ready <= 0) {
    if (ready == 0) {
      WriteLog("Can't create file: Folder not found.");
      SetJobMessage(job, "%s%s", kFolderFailed.c_str(), job.DirName.c_str());
    }
    job.Status = kJobError;  // left in "downloading" it would never be taken up again
    return 0;
  }
  WriteLogVerbose("# Create File : %s", job.LocalFile.c_str());
  if (job.LocalFile.empty() || !os::WriteFileAtomic(job.LocalFile, content)) {
    WriteLog("Can't create file");
    SetJobMessage(job, "%s", kFileFailed.c_str());
    job.Status = kJobError;
    return 0;
  }
  job.Size = static_cast<uint32_t>(content.size());
  job.Status = kJobDownloaded;
  return 1;
}

DownloadManager& GetDownloadManager() {
  // Never destroyed: worker threads may still look at it while the program exits.
  static DownloadManager* manager = new DownloadManager;
  return *manager;
}

// --- Hooks and notifications ------------------------------------------------------

void DownloadManager::SetListener(JobListener* listener) {
  std::lock_guard lock(mutex_);
  listener_ = listener;
}

void DownloadManager::ClearHooks() {
  std::lock_guard lock(mutex_);
  hooks_ = {};
}

void DownloadManager::CallStartWorkers() {
  std::function<void()> start;
  {
    std::lock_guard lock(mutex_);
    start = hooks_.startWorkers;
  }
  if (start) start();
}

void DownloadManager::StartWorkersIfMissing() {
  if (AnyWorkerMissing()) CallStartWorkers();
}

void DownloadManager::WakeAll() {
  ++generation_;
  for (auto& free : freeJob_) free.notify_all();
  jobAdded_.notify_all();
  jobChanged_.notify_all();
  drained_.notify_all();
}

std::condition_variable_any& DownloadManager::FreeJobCondition(int status) {
  if (status < kJobError || status > kJobComplete) return jobAdded_;
  return freeJob_[status - kJobError];
}

void DownloadManager::Signal(const Entry& entry) {
  ++generation_;
  // Idle workers wait for a free job they can take: a job still held, or one
  // that has ended, is none, and waking them for it costs more than the
  // change itself (a job changes several times while it is held). One free
  // job wants one worker: a waiter that wakes takes the job or finds it gone,
  // and a busy worker looks for jobs before it waits again.
  const int status = entry.job.Status;
  const bool ended = status == kJobComplete || status == kJobError;
  if (entry.job.claim == 0 && !ended) FreeJobCondition(status).notify_one();
  jobChanged_.notify_all();
  if (ended && AllEnded()) drained_.notify_all();
}

// --- The status index ---------------------------------------------------------------

namespace {
// Files a browser shows as they come and the analysis never opens. Everything
// else may be a page or a style sheet whose links lead further.
bool IsPlainResourceUrl(std::string_view url) {
  std::string_view path = url.substr(0, url.find_first_of("?#"));
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return false;
  std::string ext(path.substr(dot + 1));
  if (ext.size() > 5) return false;
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  static const char* const kPlain[] = {"png", "gif", "jpg", "jpeg", "webp", "svg", "ico", "bmp", "avif",
                                       "mp3", "mp4", "m4a", "webm", "ogg", "wav", "avi", "mov", "flv",
                                       "zip", "lzh", "gz", "tgz", "bz2", "xz", "7z", "rar", "pdf",
                                       "woff", "woff2", "ttf", "otf", "eot", "swf", "exe"};
  for (const char* plain : kPlain)
    if (ext == plain) return true;
  return false;
}
}  // namespace

// Pages and style sheets rank before plain resources: their analysis finds
// the rest of a site, so taking them first keeps every thread fed instead of
// emptying the images of a folder while the pages that lead on wait behind
// them. Within a rank the order is the queue's.
std::string DownloadManager::IndexKey(std::string_view url) {
  std::string key;
  key.reserve(url.size() + 1);
  key += IsPlainResourceUrl(url) ? kResourceRank : kPageRank;
  key += url;
  return key;
}

void DownloadManager::Reindex(Entry& entry) {
  if (entry.indexedStatus == entry.job.Status) return;
  const std::string key = IndexKey(entry.job.URL);
  if (entry.indexedStatus != kNotIndexed) {
    auto old = byStatus_.find(entry.indexedStatus);
    if (old != byStatus_.end()) {
      old->second.erase(key);
      if (old->second.empty()) byStatus_.erase(old);
    }
  }
  byStatus_[entry.job.Status].insert(key);
  entry.indexedStatus = entry.job.Status;
}

void DownloadManager::Unindex(Entry& entry) {
  if (entry.indexedStatus == kNotIndexed) return;
  auto old = byStatus_.find(entry.indexedStatus);
  if (old != byStatus_.end()) {
    old->second.erase(IndexKey(entry.job.URL));
    if (old->second.empty()) byStatus_.erase(old);
  }
  entry.indexedStatus = kNotIndexed;
}

void DownloadManager::NotifyAdded(Entry& entry) {
  Reindex(entry);
  if (listener_) entry.job.Row = listener_->JobAdded(entry.job);
  Signal(entry);
}

void DownloadManager::NotifyChanged(Entry& entry) {
  Reindex(entry);
  if (listener_) listener_->JobChanged(entry.job);
  Signal(entry);
}

// --- Creation ---------------------------------------------------------------------

int DownloadManager::AddPrepared(DownloadJob job, AddKind kind) {
  const std::string url = job.URL;
  bool isNew = false;
  {
    std::lock_guard lock(mutex_);
    auto it = queue_.find(url);
    if (it == queue_.end()) {
      Entry& entry = queue_.emplace(url, Entry{std::move(job)}).first->second;
      NotifyAdded(entry);
      isNew = true;
    } else {
      if (!job.Node) return 0;
      Entry& entry = it->second;
      entry.job.Node = job.Node;
      entry.job.Redirects = job.Redirects;  // a new request starts its own chain
      if (entry.job.claim != 0) {
        // The holder's result would overwrite the status: re-arm when it lets go.
        entry.pendingRearm = true;
        entry.pendingStatus = kNoPending;
      } else {
        if (entry.job.Status == kJobAnalyzed || entry.job.Status == kJobComplete) {
          entry.job.SourceURL.clear();
          entry.job.FromLocal = false;
        }
        entry.job.Status = kJobUntreated;
      }
      NotifyChanged(entry);
    }
  }
  if (isNew) {
    WriteLog("=> %s", url.c_str());
    StartWorkersIfMissing();
    return 1;
  }
  if (kind != AddKind::Feed && !downloadRunning.load()) CallStartWorkers();
  return 2;
}

int DownloadManager::AddJob(std::string_view url, std::string_view sourceUrl, bool fromLocal,
                            TreeNode* node) {
  if (url.size() <= 1) return 0;
  DownloadJob job;
  job.URL = CutToUrlBuffer(url);
  job.SourceURL = CutToUrlBuffer(sourceUrl);
  job.FromLocal = fromLocal;
  job.Node = node;
  return AddPrepared(std::move(job), AddKind::Plain);
}

int DownloadManager::AddSiteJob(std::string_view url, std::string_view sourceUrl, bool siteDown,
                                int limit, int sizeUpTo, std::string_view filter, bool fromLocal,
                                TreeNode* node) {
  if (url.size() <= 1) return 0;
  DownloadJob job;
  job.URL = CutToUrlBuffer(url);
  job.SourceURL = CutToUrlBuffer(sourceUrl);
  job.SiteDown = siteDown;
  job.Limit = limit;
  job.SizeUpTo = sizeUpTo;
  job.Filter = CutToUrlBuffer(filter);
  job.FromLocal = fromLocal;
  job.Node = node;
  return AddPrepared(std::move(job), AddKind::Site);
}

int DownloadManager::AddFeedJob(std::string_view url, std::string_view sourceUrl, int type,
                                int code, bool fromLocal, TreeNode* node) {
  if (url.size() <= 1) return 0;
  DownloadJob job;
  job.URL = CutToUrlBuffer(url);
  job.SourceURL = CutToUrlBuffer(sourceUrl);
  job.Type = type;
  job.Code = code;
  job.FromLocal = fromLocal;
  job.Node = node;
  return AddPrepared(std::move(job), AddKind::Feed);
}

int DownloadManager::AddRedirectTarget(const DownloadJob& from, std::string_view target, TreeNode* node) {
  if (target.size() <= 1) return 0;
  DownloadJob job;
  job.URL = CutToUrlBuffer(target);
  job.SourceURL = CutToUrlBuffer(from.URL);
  job.Node = node;
  job.Redirects = from.Redirects + 1;
  AddKind kind = AddKind::Plain;
  if (from.Type == kJobTypeRss || from.Type == kJobTypeOpml) {
    job.Type = from.Type;
    job.Code = from.Code;
    kind = AddKind::Feed;
  } else if (from.SiteDown) {
    job.SiteDown = true;
    job.Limit = from.Limit;
    job.SizeUpTo = from.SizeUpTo;
    job.Filter = from.Filter;
    kind = AddKind::Site;
  }
  return AddPrepared(std::move(job), kind);
}

int DownloadManager::AddBufferJob(std::string_view url, std::string_view content, TreeNode* node) {
  if (url.size() <= 1) return 0;
  const std::string key = CutToUrlBuffer(url);
  std::function<bool(DownloadJob&)> init;
  bool known;
  {
    std::lock_guard lock(mutex_);
    init = hooks_.initJob;
    known = queue_.find(key) != queue_.end();
  }
  auto initFailed = [&](DownloadJob& job) {
    WriteLog("init error: %s", key.c_str());
    SetJobMessage(job, "Init Error");
  };

  DownloadJob work;
  int result = 0;
  if (!known) {
    DownloadJob job;
    job.URL = key;
    if (!init || !init(job)) {
      initFailed(job);
      return -1;
    }
    job.Node = node;
    job.Status = kJobDownloading;
    std::lock_guard lock(mutex_);
    if (queue_.find(key) == queue_.end()) {
      job.claim = nextTicket_++;  // held while the text is written
      Entry& entry = queue_.emplace(key, Entry{std::move(job)}).first->second;
      NotifyAdded(entry);
      work = entry.job;
      result = 1;
    }
  }
  if (result == 0) {
    // Queued already (perhaps just now by another thread): write into that job.
    if (ClaimJob(key, &work) != 1) {
      // A worker may hold the job for a whole download: the text waits for it
      // instead of being dropped, and is written the moment it lets go.
      std::lock_guard lock(mutex_);
      auto it = queue_.find(key);
      if (it == queue_.end()) return -1;
      if (it->second.job.claim != 0) {
        WriteLog("> job busy, page text kept until it is free: %s", key.c_str());
        pendingBuffers_[key] = PendingBuffer{std::string(content), node};
        return 2;
      }
      // Let go just now: take it on the next try.
    }
    if (work.URL.empty() && ClaimJob(key, &work) != 1) {
      std::lock_guard lock(mutex_);
      pendingBuffers_[key] = PendingBuffer{std::string(content), node};
      return 2;
    }
    {
      std::lock_guard lock(mutex_);
      auto it = queue_.find(key);
      if (node && it != queue_.end() && it->second.job.claim == work.claim) it->second.job.Node = node;
    }
    if (work.LocalFile.empty()) {
      // Never initialised (still waiting for its check): it has no file yet.
      if (!init || !init(work)) {
        initFailed(work);
        ReleaseJob(work);
        return -1;
      }
    }
    work.Status = kJobDownloading;
    UpdateJob(work);
    result = 2;
  }
  WriteBufferJob(work, content);
  ReleaseJob(work);
  StartWorkersIfMissing();
  return result;
}

// --- Claims -------------------------------------------------------------------------

bool DownloadManager::IsWaited(const std::string& url) const { return waiting_.find(url) != waiting_.end(); }

bool DownloadManager::HasFree(int status) const {
  auto bucket = byStatus_.find(status);
  if (bucket == byStatus_.end()) return false;
  // Only held or waited-for jobs are passed over: at most one per thread.
  for (const std::string& key : bucket->second) {
    const std::string_view url = KeyUrl(key);
    auto it = queue_.find(url);
    if (it != queue_.end() && it->second.job.claim == 0 && !IsWaited(it->first)) return true;
  }
  return false;
}

bool DownloadManager::ClaimNext(int status, std::string_view after, DownloadJob* out) {
  std::lock_guard lock(mutex_);
  auto bucket = byStatus_.find(status);
  if (bucket == byStatus_.end()) return false;
  const auto& keys = bucket->second;
  auto tryRange = [&](auto from, auto to) {
    for (auto k = from; k != to; ++k) {
      auto it = queue_.find(KeyUrl(*k));
      if (it == queue_.end()) continue;
      DownloadJob& job = it->second.job;
      if (job.claim != 0 || IsWaited(it->first)) continue;
      job.claim = nextTicket_++;
      *out = job;
      return true;
    }
    return false;
  };
  if (after.empty()) return tryRange(keys.begin(), keys.end());
  const std::string key = IndexKey(after);
  // A pass that has reached the plain resources still takes the pages found
  // meanwhile first; the pages it walked past it has handled this pass.
  if (key.front() == kResourceRank &&
      tryRange(keys.begin(), keys.lower_bound(std::string_view(&kResourceRank, 1))))
    return true;
  return tryRange(keys.upper_bound(key), keys.end());
}

int DownloadManager::ClaimJob(std::string_view url, DownloadJob* out, int steps) {
  std::unique_lock lock(mutex_);
  auto it = queue_.find(url);
  if (it == queue_.end()) return -1;
  if (it->second.job.claim != 0) {
    if (steps <= 0) return 0;
    const std::string key(url);
    ++waiting_[key];
    const auto deadline = std::chrono::steady_clock::now() + steps * kClaimWaitStep;
    jobChanged_.wait_until(lock, deadline, [&] {
      it = queue_.find(key);
      return it == queue_.end() || it->second.job.claim == 0;
    });
    auto w = waiting_.find(key);
    if (--w->second == 0) waiting_.erase(w);
    if (it == queue_.end()) return -1;
    if (it->second.job.claim != 0) {
      // No longer waited for: a pass may take it once it is free.
      FreeJobCondition(it->second.job.Status).notify_all();
      return 0;
    }
  }
  it->second.job.claim = nextTicket_++;
  *out = it->second.job;
  return 1;
}

void DownloadManager::Commit(Entry& entry, const DownloadJob& job) {
  if (job.Status == kJobError && entry.job.Status != kJobError) failures_.fetch_add(1);
  TreeNode* node = entry.job.Node;
  int row = entry.job.Row;
  uint64_t claim = entry.job.claim;
  entry.job = job;
  entry.job.Node = node;
  entry.job.Row = row;
  entry.job.claim = claim;
  Reindex(entry);
}

DownloadManager::Entry* DownloadManager::Claimed(const DownloadJob& job) {
  auto it = queue_.find(job.URL);
  if (it == queue_.end() || job.claim == 0 || it->second.job.claim != job.claim) return nullptr;
  return &it->second;
}

void DownloadManager::EndClaim(Entry& entry, bool finished) {
  entry.job.claim = 0;
  if (entry.pendingRearm) {
    // A finished job that starts over is a fresh capture, not a resource of its old page.
    if (finished && (entry.job.Status == kJobAnalyzed || entry.job.Status == kJobComplete)) {
      entry.job.SourceURL.clear();
      entry.job.FromLocal = false;
    }
    entry.job.Status = kJobUntreated;
  } else if (entry.pendingStatus != kNoPending) {
    entry.job.Status = entry.pendingStatus;
  }
  entry.pendingRearm = false;
  entry.pendingStatus = kNoPending;
  NotifyChanged(entry);
}

int DownloadManager::UpdateJob(const DownloadJob& job) {
  std::lock_guard lock(mutex_);
  Entry* entry = Claimed(job);
  if (!entry) return 0;
  Commit(*entry, job);
  NotifyChanged(*entry);
  return 1;
}

int DownloadManager::ReleaseJob(const DownloadJob& job) {
  {
    std::lock_guard lock(mutex_);
    Entry* entry = Claimed(job);
    if (!entry) return 0;
    Commit(*entry, job);
    EndClaim(*entry, true);
  }
  WritePendingBuffer(job.URL);
  return 1;
}

int DownloadManager::AbandonJob(const DownloadJob& job) {
  {
    std::lock_guard lock(mutex_);
    Entry* entry = Claimed(job);
    if (!entry) return 0;
    EndClaim(*entry, false);
  }
  WritePendingBuffer(job.URL);
  return 1;
}

void DownloadManager::WritePendingBuffer(const std::string& url) {
  PendingBuffer pending;
  {
    std::lock_guard lock(mutex_);
    auto it = pendingBuffers_.find(url);
    if (it == pendingBuffers_.end()) return;
    pending = std::move(it->second);
    pendingBuffers_.erase(it);
  }
  (void)AddBufferJob(url, pending.content, pending.node);
}

bool DownloadManager::WaitForJob(int status, std::chrono::milliseconds timeout, std::stop_token stop) {
  std::unique_lock lock(mutex_);
  return FreeJobCondition(status).wait_for(lock, stop, timeout, [&] { return HasFree(status); });
}

void DownloadManager::WaitForChange(std::chrono::milliseconds timeout, std::stop_token stop) {
  std::unique_lock lock(mutex_);
  const uint64_t seen = generation_;
  jobChanged_.wait_for(lock, stop, timeout, [&] { return generation_ != seen; });
}

bool DownloadManager::AllEnded() const {
  for (const auto& [status, urls] : byStatus_)
    if (status != kJobComplete && status != kJobError && !urls.empty()) return false;
  return true;
}

bool DownloadManager::Drained() const {
  std::lock_guard lock(mutex_);
  return AllEnded();
}

bool DownloadManager::WaitUntilDrained(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  return drained_.wait(lock, stop, [&] { return AllEnded(); });
}

bool DownloadManager::WaitUntilDrainedFor(std::chrono::milliseconds timeout, std::stop_token stop) {
  std::unique_lock lock(mutex_);
  return drained_.wait_for(lock, stop, timeout, [&] { return AllEnded(); });
}

uint64_t DownloadManager::ChangeCount() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

uint64_t DownloadManager::WaitForChangeSince(uint64_t seen, std::chrono::milliseconds timeout,
                                             std::stop_token stop) {
  std::unique_lock lock(mutex_);
  jobChanged_.wait_for(lock, stop, timeout, [&] { return generation_ != seen; });
  return generation_;
}

bool DownloadManager::WaitUnlessStopped(std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
  std::unique_lock lock(mutex_);
  return stopSet_.wait_for(lock, timeout, [&] { return stop.load(); });
}

// --- Queries --------------------------------------------------------------------------

bool DownloadManager::FindJob(std::string_view url, DownloadJob* out) const {
  std::lock_guard lock(mutex_);
  auto it = queue_.find(url);
  if (it == queue_.end()) return false;
  if (out) *out = it->second.job;
  return true;
}

int DownloadManager::FindJobIf(std::string_view url, bool (*wanted)(const DownloadJob&), DownloadJob* out) const {
  std::lock_guard lock(mutex_);
  auto it = queue_.find(url);
  if (it == queue_.end()) return -1;
  if (!wanted(it->second.job)) return 0;
  if (out) *out = it->second.job;
  return 1;
}

bool DownloadManager::NextJob(std::string_view url, DownloadJob* out) const {
  std::lock_guard lock(mutex_);
  auto it = queue_.upper_bound(url);
  if (it == queue_.end()) return false;
  if (out) *out = it->second.job;
  return true;
}

std::vector<DownloadJob> DownloadManager::Snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<DownloadJob> jobs;
  jobs.reserve(queue_.size());
  for (const auto& [url, entry] : queue_) jobs.push_back(entry.job);
  return jobs;
}

size_t DownloadManager::Size() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

size_t DownloadManager::CountStatus(int status) const {
  std::lock_guard lock(mutex_);
  auto bucket = byStatus_.find(status);
  return bucket == byStatus_.end() ? 0 : bucket->second.size();
}

TreeNode* DownloadManager::JobNode(std::string_view url) const {
  std::lock_guard lock(mutex_);
  auto it = queue_.find(url);
  return it == queue_.end() ? nullptr : it->second.job.Node;
}

bool DownloadManager::HasUntreatedJobs() const {
  std::string url;
  int status = 0;
  bool found = false;
  {
    std::lock_guard lock(mutex_);
    // The first unfinished job in queue order: the least of each status's first.
    // Each rank of a status is in queue order; the least of their firsts wins.
    for (const auto& [s, keys] : byStatus_) {
      if (s == kJobComplete || s == kJobError) continue;
      for (auto first : {keys.begin(), keys.lower_bound(std::string_view(&kResourceRank, 1))}) {
        if (first == keys.end()) continue;
        const std::string_view u = KeyUrl(*first);
        if (!found || u < url) {
          url = std::string(u);
          status = s;
          found = true;
        }
      }
    }
  }
  if (found) {
    WriteLog("Untreated: %s [%d]", url.c_str(), status);
    return true;
  }
  os::GetDesktop().TrayTip("Zentu");
  return false;
}

// --- Changes from the user and the tree ------------------------------------------------

int DownloadManager::RedownloadJob(std::string_view url, int status) {
  if (url.size() <= 1) return 0;
  {
    std::lock_guard lock(mutex_);
    auto it = queue_.find(url);
    if (it == queue_.end()) return 0;
    Entry& entry = it->second;
    if (entry.job.claim != 0) {
      entry.pendingStatus = status;
      entry.pendingRearm = false;
    } else {
      entry.job.Status = status;
    }
    NotifyChanged(entry);
  }
  if (!AnyWorkerRunning()) CallStartWorkers();
  return 1;
}

int DownloadManager::RemoveJob(std::string_view url) {
  if (url.size() <= 1) return 0;
  std::lock_guard lock(mutex_);
  auto it = queue_.find(url);
  if (it == queue_.end()) return 0;
  std::string key = it->first;
  Unindex(it->second);
  queue_.erase(it);
  if (listener_) listener_->JobRemoved(key);
  WakeAll();
  return 1;
}

void DownloadManager::SetStopFlags(bool on) {
  // The transfer stop goes first on the way in: a worker that sees a flag
  // must not start a transfer that the stop then misses.
  if (on) transferStop.Stop();
  checkStop = downloadStop = analysisStop = on;
  if (on) WakePoliteWaits();
  if (!on) transferStop.Reset();
  // Wakes whoever waits out a delay (WaitUnlessStopped) to see the flags:
  // the flag is set before the lock is taken, so no waiter can miss it.
  std::lock_guard lock(mutex_);
  WakeAll();
  stopSet_.notify_all();
}

void DownloadManager::Clear() {
  std::lock_guard lock(mutex_);
  queue_.clear();
  byStatus_.clear();
  pendingBuffers_.clear();
  for (auto* flag : {&checkRunning, &downloadRunning, &analysisRunning, &checkStop, &downloadStop,
                     &analysisStop, &stopping, &clearAfterStop, &timerFileLoaded}) {
    flag->store(false);
  }
  checkCount.store(0);
  downloadCount.store(0);
  transferStop.Reset();
  if (listener_) listener_->QueueCleared();
  WakeAll();
}

int DownloadManager::DetachSubtree(const TreeNode* root) {
  if (!root) return 0;
  std::lock_guard lock(mutex_);
  int n = 0;
  for (auto& [url, entry] : queue_) {
    if (entry.job.Node && IsInSubtree(entry.job.Node, root)) {
      entry.job.Node = nullptr;
      ++n;
    }
  }
  for (auto& [url, pending] : pendingBuffers_)
    if (pending.node && IsInSubtree(pending.node, root)) pending.node = nullptr;
  return n;
}

void DownloadManager::RestoreJobs(std::vector<DownloadJob> jobs) {
  std::lock_guard lock(mutex_);
  for (DownloadJob& job : jobs) {
    job.claim = 0;
    auto old = queue_.find(job.URL);
    if (old != queue_.end()) {
      Unindex(old->second);
      queue_.erase(old);
      if (listener_) listener_->JobRemoved(job.URL);
    }
    std::string key = job.URL;
    Entry& entry = queue_.emplace(std::move(key), Entry{std::move(job)}).first->second;
    NotifyAdded(entry);
  }
}

std::vector<DownloadManager::SavedJob> DownloadManager::SnapshotForSave(
    const std::function<bool(const TreeNode*)>& isLinked) const {
  std::lock_guard lock(mutex_);
  std::vector<SavedJob> jobs;
  jobs.reserve(queue_.size());
  for (const auto& [url, entry] : queue_) {
    const TreeNode* node = entry.job.Node;
    jobs.push_back({entry.job, node && isLinked(node) ? TreePath(node) : std::string()});
  }
  return jobs;
}

}  // namespace zentu
