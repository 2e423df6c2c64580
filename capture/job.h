// Download jobs: the capture request record, the one program-wide queue keyed
// by URL that the worker threads share, and the job files ("timer.dat" and the
// error lists). Texts are Shift_JIS.
//
// Locking. The queue has one mutex, held only for short bookkeeping, never
// across file or network work. A worker claims a job, works on its own copy
// without any lock, publishes progress with UpdateJob and hands the job back
// with ReleaseJob. Lock order: TreeMutex() before the queue lock, never the
// other way round; the queue never takes the tree lock while it holds its own.
//
// Tree items. `Node` is not owned. The queue alone changes a queued job's
// `Node` (add operations, DetachSubtree): commits of a worker leave it alone.
// Whoever destroys tree nodes calls DetachSubtree first, with the tree lock
// held; a worker that touches the item reads it again with JobNode under the
// tree lock instead of trusting its copy.
#pragma once
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "os/socket.h"
#include "pagelib/url.h"  // kMaxUrlLength: URLs and job texts are cut to it
#include "store/tree.h"

namespace zentu {

enum JobStatus : int {
  kJobError = -1,       // failed; ends here
  kJobUntreated = 0,    // waits for a HEAD check
  kJobHead = 1,         // HEAD request running
  kJobWaiting = 2,      // waits for download
  kJobDownloading = 3,  // download running, or written from a buffer or the cache
  kJobDownloaded = 4,   // waits for analysis
  kJobAnalyzing = 5,
  kJobAnalyzed = 6,     // analysis done; tree item being updated
  kJobComplete = 7,     // ends here
};

enum JobType : int {
  kJobTypeNone = 0,    // only from job files without a Type line
  kJobTypeNormal = 1,  // page or resource ("SiteDL" when SiteDown)
  kJobTypeRss = 2,
  kJobTypeOpml = 3,
};

// Content classes of `Flag`.
enum JobContent : int {
  kContentText = 100,
  kContentBinary = 101,
  kContentFromCache = 2,  // copied from the browser cache without analysis
};

// A Windows SYSTEMTIME: the Date header of a response.
struct SystemTime {
  int year = 0, month = 0, dayOfWeek = 0, day = 0;
  int hour = 0, minute = 0, second = 0, milliseconds = 0;
  bool operator==(const SystemTime&) const = default;
};

// Failed attempts after which a job ends as an error.
inline constexpr int kMaxTrials = 5;

// One capture request. A job is a value: the queue stores copies and copying
// copies every field, the claim included.
struct DownloadJob {
  int Status = kJobUntreated;
  std::string URL;
  std::string SourceURL;   // page the URL was found on, or the caller's referrer
  int Trials = 0;
  std::string LocalLink;   // the URL without its scheme, as the URL mapper uses it
  std::string DirName;     // directory of the local file
  std::string LocalFile;
  std::string TempFile;    // temporary response file
  int HeaderLength = 0;    // body offset in TempFile
  std::string BodyFile;    // the received body when it waits beside LocalFile
  bool FromLocal = false;  // take the file from the browser cache
  bool SiteDown = false;   // part of a site download: links are followed
  int Limit = 0;           // remaining hyperlink hops of a site download
  std::string Filter;      // URL prefix a site download is held to (or a user ID)
  int Code = 0;            // text encoding; 0 = detect, 1 = already Shift_JIS
  int Type = kJobTypeNormal;
  // Claim of the worker threads: the holder's ticket, 0 when free. A copy
  // handed out by a claim carries the ticket that commits it back.
  uint64_t claim = 0;
  int Row = -1;            // the job's row in the download manager list
  std::string Title;       // page title found by analysis
  // WWWC update text the page analysis found, for the tree item's date when
  // the server sent no Last-Modified. Lives only while the analysis holds the
  // job: empty before and after.
  std::string UpdateContents;
  std::string UpLinkRoot;  // from the page's directory up to the data directory
  std::string BaseURL;
  std::string Host;
  std::string RequestURL;
  std::string Message;     // last result text
  int FromCache = -1;      // -1 not tried, 0 not found, 1 copied
  int Port = 80;
  std::string Modified;    // Last-Modified in local time "YYYY/MM/DD hh:mm:ss"
  uint64_t LastModifiedTime = 0;  // Last-Modified as a FILETIME (UTC, 100 ns since 1601)
  SystemTime ServerDate;   // Date header
  uint32_t Size = 0;       // Content-Length, then the bytes stored
  std::string ContentType;
  std::string ContentEncoding;
  int Flag = 0;            // JobContent
  std::string MovedURL;    // Location header
  int Connection = 0;      // HTTP status code of the last response
  TreeNode* Node = nullptr;  // the tree item this job captures; not owned
  int SizeUpTo = 0;        // size limit in kilobytes, 0 = none
  bool ViaProxy = false;   // the current request goes through the system proxy
  int Redirects = 0;       // redirects that led to this URL from the one first asked for
};

// The text cut to kMaxUrlLength bytes, never inside a two-byte character:
// URLs and job texts live in 2048-byte buffers.
std::string CutToUrlBuffer(std::string_view text);

// Texts of the download manager's Status and Type columns (Shift_JIS).
const std::string& JobStatusLabel(int status);
std::string JobTypeLabel(const DownloadJob& job);

// printf-style into the job's Message; a null or empty format does nothing.
void SetJobMessage(DownloadJob& job, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The message printf would make; an empty format leaves it as it was.
void FormatMessageV(std::string& message, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Receives the queue's changes for the download manager window. Every call is
// made with the queue lock held and in the order of the changes: implementations
// only record or post the change to their own thread and never call back into
// the queue or take the tree lock.
class JobListener {
 public:
  virtual ~JobListener() = default;
  // A new row; the index returned is kept in the job's Row (-1 = none).
  virtual int JobAdded(const DownloadJob& job) {
    (void)job;
    return -1;
  }
  virtual void JobChanged(const DownloadJob& job) { (void)job; }
  virtual void JobRemoved(const std::string& url) { (void)url; }
  virtual void QueueCleared() {}
};

// What the queue asks of the pipeline. Both are called without the queue lock.
struct JobHooks {
  // Starts the missing worker threads.
  std::function<void()> startWorkers;
  // Job initialisation: fills host, port, paths and the first status; false
  // when the URL cannot be mapped.
  std::function<bool(DownloadJob&)> initJob;
};

// A per-job claim waits at most this many steps of kClaimWaitStep.
inline constexpr int kClaimWaitSteps = 10;
inline constexpr std::chrono::milliseconds kClaimWaitStep{100};

class DownloadManager {
 public:
  DownloadManager() = default;
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  // --- Creation. A URL of one byte or less is ignored (0). Results: 1 a new
  // job was queued, 2 a queued job of that URL was re-armed or updated, 0 nothing.

  int AddJob(std::string_view url, std::string_view sourceUrl, bool fromLocal, TreeNode* node);
  int AddSiteJob(std::string_view url, std::string_view sourceUrl, bool siteDown, int limit,
                 int sizeUpTo, std::string_view filter, bool fromLocal, TreeNode* node);
  int AddFeedJob(std::string_view url, std::string_view sourceUrl, int type, int code,
                 bool fromLocal, TreeNode* node);
  // The target of a redirect of `from`, as the same kind of job, one redirect
  // further down the chain.
  int AddRedirectTarget(const DownloadJob& from, std::string_view target, TreeNode* node);
  // A page whose text is at hand: initialised at once, written to its local
  // file and handed to the analysis (Status 4). -1 when the job could not be
  // initialised (nothing queued) or the queued job stayed claimed by a worker.
  int AddBufferJob(std::string_view url, std::string_view content, TreeNode* node);

  // --- Worker side.

  // Claims the first job after `after` in queue order ("" = from the start)
  // that has this status and that nobody holds or waits for; copies it to *out.
  bool ClaimNext(int status, std::string_view after, DownloadJob* out);
  // Claims the job of a URL, waiting at most `steps` x kClaimWaitStep for its
  // holder. 1 claimed, 0 still held (skip it), -1 no such job.
  int ClaimJob(std::string_view url, DownloadJob* out, int steps = kClaimWaitSteps);
  // Writes the holder's copy back into the queue (everything but Node, Row and
  // the claim) and reports the change. 0 when the copy no longer holds the
  // job (it was removed or replaced meanwhile).
  int UpdateJob(const DownloadJob& job);
  // UpdateJob, then frees the claim. A re-arm or status change requested while
  // the job was held takes effect now.
  int ReleaseJob(const DownloadJob& job);
  // Frees the claim without writing anything back.
  int AbandonJob(const DownloadJob& job);
  // Waits until a job of this status is free to claim; true when one is.
  bool WaitForJob(int status, std::chrono::milliseconds timeout, std::stop_token stop = {});
  // Waits until any job changes status, is added or removed, or a claim ends.
  void WaitForChange(std::chrono::milliseconds timeout, std::stop_token stop = {});
  // Waits until every job has ended (complete or failed); true then, false when
  // `stop` was requested first. Checked and waited for under the queue's lock,
  // so the change that drains the queue wakes it at once.
  bool WaitUntilDrained(std::stop_token stop);
  // Every job has ended (complete or failed); a look at the status index.
  bool Drained() const;
  // The same, giving up after `timeout` (false then, as for a stop).
  bool WaitUntilDrainedFor(std::chrono::milliseconds timeout, std::stop_token stop);
  // Counts the queue's changes: a job added, changed, claimed, let go or removed.
  uint64_t ChangeCount() const;
  // Waits until ChangeCount() is no longer `seen`, `timeout` has passed or
  // `stop` is requested; returns the count then.
  uint64_t WaitForChangeSince(uint64_t seen, std::chrono::milliseconds timeout, std::stop_token stop);
  // Waits out a delay unless `stop` (one of the stop flags) is set: the stop
  // (SetStopFlags) wakes it at once, the queue's other changes do not wake
  // it at all. True when the stop ended it.
  bool WaitUnlessStopped(std::chrono::milliseconds timeout, const std::atomic<bool>& stop);

  // --- Queries.

  bool FindJob(std::string_view url, DownloadJob* out) const;
  // Copies the job of a URL only when `wanted` says so of it; `wanted` runs
  // under the queue's lock and only looks. 1 copied, 0 not wanted, -1 none.
  int FindJobIf(std::string_view url, bool (*wanted)(const DownloadJob&), DownloadJob* out) const;
  // The job after `url` in queue order (the neighbour of the RSS anchor rule).
  bool NextJob(std::string_view url, DownloadJob* out) const;
  // Copies of every job in queue order (the download manager window, tests).
  std::vector<DownloadJob> Snapshot() const;
  size_t Size() const;
  size_t CountStatus(int status) const;
  // How many times a worker's result turned a job into an error (status -1)
  // since the program started; jobs restored in error from a file do not
  // count. "--once" tells from it whether every capture succeeded.
  uint64_t FailuresCommitted() const { return failures_.load(); }
  // The tree item a queued job captures now. Call it with the tree lock held.
  TreeNode* JobNode(std::string_view url) const;
  // Logs the first job that is neither complete nor failed ("Untreated: ...")
  // and answers yes; otherwise sets the tray tip back to "Zentu".
  bool HasUntreatedJobs() const;

  // --- Changes from the user and the tree.

  // Gives the job this status (trials kept) and starts the workers when none runs.
  int RedownloadJob(std::string_view url, int status);
  int RemoveJob(std::string_view url);
  // Empties the queue and resets the running, stop and loaded marks.
  void Clear();
  // Forgets every reference to the subtree of `root` before it is destroyed.
  // Call it with the tree lock held. Returns the number of jobs that lost their item.
  int DetachSubtree(const TreeNode* root);

  // --- Job files (jobfile.cpp) store jobs with these.

  // Stores jobs restored from a file under their URLs, in order, each replacing
  // a job of the same URL, and adds their rows.
  void RestoreJobs(std::vector<DownloadJob> jobs);
  // Copies of the jobs with the tree paths of their items, taken under one
  // lock. Call it with the tree lock held. Items that are not in the
  // collection any more (`isLinked` says no) give no path.
  struct SavedJob {
    DownloadJob job;
    std::string treePath;
  };
  std::vector<SavedJob> SnapshotForSave(const std::function<bool(const TreeNode*)>& isLinked) const;

  void SetListener(JobListener* listener);
  // Sets one hook and keeps the other: SetHook(&JobHooks::startWorkers, fn).
  template <class Fn>
  void SetHook(Fn JobHooks::*hook, std::type_identity_t<Fn> fn) {
    std::lock_guard lock(mutex_);
    hooks_.*hook = std::move(fn);
  }
  // Removes both hooks (a queue without workers).
  void ClearHooks();
  // Starts the workers through the hook when some kind of worker is missing.
  void StartWorkersIfMissing();

  // Flags of the pipeline, read by all threads.
  std::atomic<bool> checkRunning{false}, downloadRunning{false}, analysisRunning{false};
  std::atomic<bool> checkStop{false}, downloadStop{false}, analysisStop{false};
  std::atomic<bool> stopping{false};
  std::atomic<bool> clearAfterStop{false};
  std::atomic<bool> timerFileLoaded{false};
  std::atomic<int> checkCount{0}, downloadCount{0};
  // Ends every running transfer at once while the stop flags are set.
  os::TransferStop transferStop;
  // Sets or clears the three stop flags, and the transfer stop with them.
  void SetStopFlags(bool on);

  bool AnyWorkerMissing() const {
    return !checkRunning.load() || !downloadRunning.load() || !analysisRunning.load();
  }
  bool AnyWorkerRunning() const {
    return checkRunning.load() || downloadRunning.load() || analysisRunning.load();
  }

 private:
  struct Entry {
    DownloadJob job;
    int indexedStatus = kNotIndexed;  // the status byStatus_ files it under
    // Asked for while a worker held the job; applied when it is released.
    int pendingStatus = kNoPending;
    bool pendingRearm = false;
  };
  static constexpr int kNoPending = -100;
  static constexpr int kNotIndexed = -101;
  using Queue = std::map<std::string, Entry, std::less<>>;

  enum class AddKind { Plain, Site, Feed };
  int AddPrepared(DownloadJob job, AddKind kind);
  void WakeAll();  // lock held
  void NotifyAdded(Entry& entry);  // lock held
  void NotifyChanged(Entry& entry);  // lock held
  void Signal(const Entry& entry);  // the waiters a change of this entry concerns (lock held)
  // Where the workers of a status wait for a free job of it.
  std::condition_variable_any& FreeJobCondition(int status);
  // The status index files each URL under a rank byte and the URL itself.
  static constexpr char kPageRank = '0';
  static constexpr char kResourceRank = '1';
  static std::string IndexKey(std::string_view url);
  static std::string_view KeyUrl(std::string_view key) { return key.substr(1); }
  // Files the entry under its current status (lock held); Unindex before erasing it.
  void Reindex(Entry& entry);
  void Unindex(Entry& entry);
  void Commit(Entry& entry, const DownloadJob& job);  // lock held
  // The entry the job's claim still holds, or nullptr (lock held).
  Entry* Claimed(const DownloadJob& job);
  // Ends the claim; a re-download or a status asked for meanwhile takes effect (lock held).
  void EndClaim(Entry& entry, bool finished);
  bool HasFree(int status) const;  // lock held
  bool AllEnded() const;  // every job complete or failed (lock held)
  bool IsWaited(const std::string& url) const;  // lock held
  void CallStartWorkers();

  mutable std::mutex mutex_;
  // A job of a status became free to claim: one condition per status, so a
  // job waiting for its download wakes a download thread and not every
  // worker (jobAdded_ serves statuses outside the range).
  std::condition_variable_any freeJob_[kJobComplete - kJobError + 1];
  std::condition_variable_any jobAdded_;
  std::condition_variable_any jobChanged_;  // a claim ended, a job changed or left
  std::condition_variable stopSet_;         // the stop flags were set
  std::condition_variable_any drained_;     // every job has ended (or a stop, a removal, a clear)
  Queue queue_;
  // The URLs of each status (IndexKey: pages first, then in queue order):
  // finding, claiming and counting jobs of a status cost a look-up, not a walk
  // over the whole queue.
  std::map<int, std::set<std::string, std::less<>>> byStatus_;
  std::map<std::string, int, std::less<>> waiting_;  // URL -> threads waiting for its claim
  // Page texts for jobs a worker held when they came: written when it lets go.
  struct PendingBuffer {
    std::string content;
    TreeNode* node = nullptr;
  };
  std::map<std::string, PendingBuffer, std::less<>> pendingBuffers_;
  void WritePendingBuffer(const std::string& url);
  uint64_t nextTicket_ = 1;
  uint64_t generation_ = 0;  // counts changes, for WaitForChange
  JobListener* listener_ = nullptr;
  JobHooks hooks_;
  std::atomic<uint64_t> failures_{0};
};

// The program's queue.
DownloadManager& GetDownloadManager();

// Writes the page text into the job's local file: Status 4 and Size on
// success, Status -1 and a message when the folder or the file cannot be made.
// Returns 1 when written.
int WriteBufferJob(DownloadJob& job, std::string_view content);

// --- Job files ---------------------------------------------------------------

// One record of a job file as text with CR LF line ends. `timerFile` selects
// the timer.dat form (running steps rolled back, FromLocal only before download).
std::string FormatJobRecord(const DownloadJob& job, std::string_view treePath, bool timerFile);

struct JobRecord {
  DownloadJob job;
  std::string treePath;
};
// The complete records of a job file, with the defaults of a restored job
// (Status 7 without a Status line, Type 0 without a Type line). A record
// without a closing empty line or without a URL is dropped.
std::vector<JobRecord> ParseJobRecords(std::string_view text);

// "timer.dat" in the profile's timer directory: the queue across a restart.
// Return 1 when written or read, 0 otherwise.
std::string TimerFilePath();
// What the file says of work under way. At exit the workers have stopped and
// each job keeps its step (a running one resumes one step earlier). While
// Zentu runs the file is rewritten as the queue changes and read again only
// after a crash, when it may lag the queue by a moment: every step that may
// have been under way is redone whole, a HEAD from the start and a download
// or analysis from a fresh download (the page may have been rewritten before
// its new status reached the file, and a rewritten page must never be
// analysed again).
enum class TimerFileForm { AtExit, WhileRunning };
// The file's text from a snapshot of the queue (takes the tree lock and the
// queue's lock) and its atomic write (no lock), apart so that a caller can
// write outside the locks it holds for the snapshot.
std::string TimerFileText(const DownloadManager& manager, TimerFileForm form);
int WriteTimerFile(const std::string& text);
int SaveTimerFile(DownloadManager& manager, TimerFileForm form = TimerFileForm::AtExit);
// Restores the queue. A job that had ended but whose item never got its copy
// (the collection was saved before the capture finished) is fetched again.
int LoadTimerFile(DownloadManager& manager);
// The failed jobs into a new dated file in the profile's error directory.
// Returns 1 when written, 0 on failure, -1 when there was no failed job.
int SaveErrorList(DownloadManager& manager);

}  // namespace zentu
