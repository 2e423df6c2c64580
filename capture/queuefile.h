// The capture queue kept on disk while Zentu runs, and the clean-up of what a
// run that died left behind. After a crash (kill, power loss) the next start
// restores timer.dat and finishes what was running; without these the queue
// was written only at shutdown and captures in flight were lost for good.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "capture/job.h"

namespace zentu {

// Changes that come while captures run are gathered for this long before the
// queue is written again; a queue that drains is written at once.
inline constexpr std::chrono::milliseconds kQueueFileInterval{1000};

// Rewrites timer.dat (the running form, TimerFileForm::WhileRunning) as the
// queue changes. A thread of its own waits on the queue's change condition;
// each write takes its snapshot under the tree and queue locks and writes
// outside them through the atomic write, so the file always parses whole.
// Lock order: the tree lock, then the writer's own lock, then the queue's.
class QueueFileWriter {
 public:
  explicit QueueFileWriter(DownloadManager& manager, std::chrono::milliseconds interval = kQueueFileInterval);
  ~QueueFileWriter();
  QueueFileWriter(const QueueFileWriter&) = delete;
  QueueFileWriter& operator=(const QueueFileWriter&) = delete;

  // Starts the thread; the queue as it is now counts as written.
  void Start();
  // Ends the thread (a write under way finishes first). Later Flush calls do
  // nothing, so the exit's own save is the last word.
  void Stop();
  // Writes now when the queue changed since the last write. Any thread; the
  // tree save calls it so that every item in the tree file has its job on disk.
  void Flush();
  // Files written so far (tests).
  uint64_t Writes() const { return writes_.load(); }

 private:
  void Run(std::stop_token stop);
  void WriteIfChanged();

  DownloadManager& manager_;
  const std::chrono::milliseconds interval_;
  std::mutex writeMutex_;  // one write at a time, each from a newer snapshot
  bool running_ = false;   // writeMutex_
  uint64_t written_ = 0;   // the queue's change count of the last snapshot written (writeMutex_)
  std::atomic<uint64_t> writes_{0};
  std::jthread thread_;
};

// Removes what captures of a run that died left behind: the response spool
// files in Data\Temp ("YYYYMMDDhhmmssmmm.dat" and their ".body"; kept when
// StoreTempData asks for them) and the ".part" files beside the local files
// of the jobs in timer.dat. Call it only while this instance holds the
// instance lock and before any capture starts. Each file removed is logged;
// returns how many were.
int RemoveDeadRunFiles();

}  // namespace zentu
