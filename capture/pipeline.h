// The capture pipeline: check threads (HEAD), download threads (GET) and one
// analysis thread move the jobs of the program's queue forward; the analysis
// rewrites each saved page for offline reading and queues what it links to;
// a finished job hands title, dates, size and local file to its tree item.
//
// Threads wait on the queue's conditions instead of sleeping a second per idle
// pass; the idle limit, the order of states and the messages stay as before.
// Lock order: TreeMutex() before the queue's lock. A worker holds the tree
// lock only while it reads or writes a node.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "capture/job.h"

namespace zentu {

// What the pipeline asks of modules that come later (feeds, OPML, lock list).
struct PipelineHooks {
  std::function<int(DownloadJob&, std::string&)> analyzeFeed;  // Type 2
  std::function<int(DownloadJob&, std::string&)> importOpml;   // Type 3
  std::function<bool(std::string_view url)> isUrlLocked;       // saved copies never overwritten
};

// Wires the pipeline into the queue (its initialisation and start hooks).
void InstallPipeline(DownloadManager& manager = GetDownloadManager());

namespace detail {
// Runs `edit` on the pipeline's hooks under the workers' lock.
void EditPipelineHooks(const std::function<void(PipelineHooks&)>& edit);
}  // namespace detail
// Sets one hook and keeps the others, so that each module installs its own
// without knowing the rest: SetPipelineHook(&PipelineHooks::isUrlLocked, fn).
// An empty function removes that hook.
template <class Fn>
void SetPipelineHook(Fn PipelineHooks::*hook, std::type_identity_t<Fn> fn) {
  detail::EditPipelineHooks([&](PipelineHooks& hooks) { hooks.*hook = std::move(fn); });
}
// Removes every hook (tests, shutdown).
void ClearPipelineHooks();
// Saved files above this size are kept as they came and not analysed: the
// analysis holds a page several times in memory, and no real page is so big.
inline constexpr int64_t kMaxAnalyzedFile = 32 << 20;
// Tests lower it; 0 restores the default.
void SetAnalysisSizeLimit(int64_t bytes);

// Idle time after which download and analysis threads end (10 s by default).
void SetWorkerIdleLimit(std::chrono::milliseconds limit);

// Starts the missing worker threads.
void StartWorkers();
// Runs `step` while no capture thread runs and none can start (the settings
// dialog replaces the profile the threads read without a lock); false, without
// running it, while captures run.
bool RunWhileCaptureIdle(const std::function<void()>& step);
// The user's stop command: logs and starts the stop thread.
void StopCapture();
// Sets the stop flags and waits until every worker has ended (shutdown, tests).
// Returns false when they did not end within `limit`.
bool StopCaptureAndWait(std::chrono::milliseconds limit);
// Waits until no worker runs and no job is left untreated, or `limit` passes.
bool WaitUntilIdle(std::chrono::milliseconds limit);
// Joins every worker thread that has ended.
void JoinFinishedWorkers();

// One walk over the queue each; true when a job was handled.
bool CheckPass();
bool DownloadPass();
bool AnalysisPass();

bool InitJob(DownloadJob& job);
bool CopyFromCache(DownloadJob& job);
void AnalyzeJob(DownloadJob& job);
// Results of the analysis: 1 done, 0 failed, kAnalysisStopped when the stop
// ended it half-way (the job then waits for analysis again).
inline constexpr int kAnalysisStopped = -2;
int AnalyzeFile(DownloadJob& job);
int AnalyzePage(DownloadJob& job, std::string& text);
// The text written in place of a link found in the page of `job`; queues the
// link's target unless a rule refuses it. `hop` is 1 for a page link of a site
// download, 0 for everything else.
std::string HandleLink(DownloadJob& job, std::string_view link, int hop);
// Copies the job's results into its tree item.
void FinishTreeItem(DownloadJob& job);

// Host word by which pages of the social-network service are recognised.
inline constexpr char kSnsHostWord[] = "sns.example.jp";

}  // namespace zentu
