#include "capture/queuefile.h"

#include <string>
#include <string_view>
#include <vector>

#include "capture/http_internal.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "pagelib/url.h"
#include "store/profile.h"
#include "store/tree.h"

namespace zentu {
namespace {

// Longer than any run: the writer sleeps on the queue's condition until a change.
constexpr std::chrono::hours kNoChangeWait{24};

}  // namespace

QueueFileWriter::QueueFileWriter(DownloadManager& manager, std::chrono::milliseconds interval)
    : manager_(manager), interval_(interval) {}

QueueFileWriter::~QueueFileWriter() { Stop(); }

void QueueFileWriter::Start() {
  Stop();
  {
    std::lock_guard write(writeMutex_);
    running_ = true;
    written_ = manager_.ChangeCount();
  }
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void QueueFileWriter::Stop() {
  {
    std::lock_guard write(writeMutex_);
    running_ = false;
  }
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

void QueueFileWriter::Flush() { WriteIfChanged(); }

void QueueFileWriter::Run(std::stop_token stop) {
  auto lastWrite = std::chrono::steady_clock::now() - interval_;
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard write(writeMutex_);
      seen = written_;
    }
    (void)manager_.WaitForChangeSince(seen, kNoChangeWait, stop);
    if (stop.stop_requested()) return;
    // While captures run the queue changes many times a second: the changes
    // of one interval go into one write. A queue that drains is written at
    // once, so its last state is on disk as soon as there is nothing to do.
    const auto due = lastWrite + interval_;
    if (const auto now = std::chrono::steady_clock::now(); now < due) {
      (void)manager_.WaitUntilDrainedFor(std::chrono::duration_cast<std::chrono::milliseconds>(due - now) +
                                             std::chrono::milliseconds(1),
                                         stop);
      if (stop.stop_requested()) return;
    }
    WriteIfChanged();
    lastWrite = std::chrono::steady_clock::now();
  }
}

void QueueFileWriter::WriteIfChanged() {
  // The tree lock comes first, as everywhere: a tree save that calls Flush
  // may hold it already.
  std::unique_lock tree(TreeMutex());
  std::lock_guard write(writeMutex_);
  if (!running_) return;
  // Read before the snapshot: a change that slips in between is in this file
  // and is written once more next time.
  const uint64_t count = manager_.ChangeCount();
  if (count == written_) return;
  const std::string text = TimerFileText(manager_, TimerFileForm::WhileRunning);
  tree.unlock();
  // A failed write is tried again at the next change, not in a loop.
  written_ = count;
  if (WriteTimerFile(text)) writes_.fetch_add(1);
}

// --- What a dead run left behind -------------------------------------------------------------

namespace {

// "YYYYMMDDhhmmssmmm.dat" or the same with ".body": the spool of a response.
bool IsSpoolFileName(std::string_view name) {
  constexpr size_t kDigits = 17;
  if (name.size() < kDigits) return false;
  for (size_t i = 0; i < kDigits; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  const std::string_view rest = name.substr(kDigits);
  return rest == ".dat" || rest == ".dat.body";
}

// Removes a file below the data folder, never through a linked folder.
bool RemoveLeftover(const std::string& data, const std::string& path) {
  if (!os::FileExists(path) || os::PrepareFileBelow(data, path, false) != os::BelowStatus::Ok) return false;
  if (!os::DeleteFile(path)) return false;
  WriteLog("> removed a file left by a run that ended without shutdown: %s", path.c_str());
  return true;
}

}  // namespace

int RemoveDeadRunFiles() {
  const Profile& profile = CurrentProfile();
  const std::string data = profile.dirs.data;
  if (data.empty() || !os::DirectoryExists(data)) return 0;
  int removed = 0;
  const std::string temp = http_detail::TempDirectory();  // where the responses are spooled
  std::vector<os::DirEntry> entries;
  if (!profile.StoreTempData && os::DirectoryExists(temp) && os::ListDirectory(temp, entries)) {
    for (const os::DirEntry& e : entries) {
      if (!e.isDirectory && !e.lossy && IsSpoolFileName(e.name) && RemoveLeftover(data, os::JoinPath(temp, e.name)))
        ++removed;
    }
  }
  // A download is stored through "<local file>.part" and renamed; the jobs of
  // the dead run say where those were.
  std::string text;
  const std::string timerFile = TimerFilePath();
  if (os::FileExists(timerFile) && os::ReadWholeFile(timerFile, text)) {
    for (const JobRecord& r : ParseJobRecords(text)) {
      const std::string& local = r.job.LocalFile;
      if (local.empty() || !IsPathBelow(data, local)) continue;
      if (RemoveLeftover(data, local + ".part")) ++removed;
    }
  }
  return removed;
}

}  // namespace zentu
