// The job files: "timer.dat" (the queue across a restart) and the dated error
// lists. A record is a run of "Key=value" lines ended by one empty line.
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "capture/http.h"
#include "capture/job.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/url.h"
#include "store/profile.h"

namespace zentu {
namespace {

// One line of a record. A value is cut at a NUL byte and keeps no line break,
// which would end the record early on reading.
void PutText(std::string& out, const char* key, std::string_view value) {
  out += key;
  out += '=';
  size_t start = out.size();
  out.append(value.substr(0, value.find('\0')));
  for (size_t i = start; i < out.size(); ++i) {
    if (out[i] == '\r' || out[i] == '\n') out[i] = ' ';
  }
  out += "\r\n";
}

void PutInt(std::string& out, const char* key, long long value) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s=%lld\r\n", key, value);
  out += buf;
}

// Running steps have no worker after a restart: they resume one step earlier.
int StatusToSave(int status) {
  switch (status) {
    case kJobHead: return kJobUntreated;
    case kJobDownloading: return kJobWaiting;
    case kJobAnalyzing: return kJobDownloaded;
    default: return status;
  }
}

// A step that may have been under way when a running queue was written.
int StatusWhileRunning(int status) {
  switch (status) {
    case kJobHead: return kJobUntreated;
    case kJobDownloading:
    case kJobDownloaded:
    case kJobAnalyzing: return kJobWaiting;
    default: return status;
  }
}

using os::StartsWithNoCase;

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\v' || s.front() == '\f')) {
    s.remove_prefix(1);
  }
}

// "%d": blanks, a sign, decimal digits. False for no digits or a value out of range.
bool ParseInt(std::string_view s, int* out) {
  SkipBlanks(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  long long value = 0;
  size_t digits = 0;
  for (; digits < s.size() && s[digits] >= '0' && s[digits] <= '9'; ++digits) {
    value = value * 10 + (s[digits] - '0');
    if (value > 2147483648LL) return false;
  }
  if (digits == 0) return false;
  if (negative) value = -value;
  if (value > 2147483647LL) return false;
  *out = static_cast<int>(value);
  return true;
}

// "%X": blanks, an optional "0x", hexadecimal digits of at most 32 bits.
bool ParseHex(std::string_view s, uint32_t* out) {
  SkipBlanks(s);
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  uint64_t value = 0;
  size_t digits = 0;
  for (; digits < s.size(); ++digits) {
    char c = s[digits];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    value = value * 16 + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFULL) return false;
  }
  if (digits == 0) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// A restored job resumes at a step that some worker takes up, or stays final;
// a status no worker handles would keep the queue busy for ever.
int StatusToRestore(int status) {
  switch (status) {
    case kJobError:
    case kJobUntreated:
    case kJobWaiting:
    case kJobDownloaded:
    case kJobComplete:
      return status;
    case kJobHead: return kJobUntreated;
    case kJobDownloading: return kJobWaiting;
    case kJobAnalyzing: return kJobDownloaded;
    default: return kJobComplete;  // analysed (the page is rewritten already) or unknown
  }
}

struct RecordReader {
  JobRecord record;
  bool statusRead = false, typeRead = false, portRead = false;

  void Reset() { *this = RecordReader(); }

  void Line(std::string_view line) {
    struct TextKey {
      const char* key;
      std::string DownloadJob::*field;
    };
    static const TextKey kTexts[] = {
        {"URL=", &DownloadJob::URL},
        {"RequestURL=", &DownloadJob::RequestURL},
        {"SourceURL=", &DownloadJob::SourceURL},
        {"BaseURL=", &DownloadJob::BaseURL},
        {"Host=", &DownloadJob::Host},
        {"MovedURL=", &DownloadJob::MovedURL},
        {"UpLinkRoot=", &DownloadJob::UpLinkRoot},
        {"DirName=", &DownloadJob::DirName},
        {"LocalFile=", &DownloadJob::LocalFile},
        {"Filter=", &DownloadJob::Filter},
        {"Modified=", &DownloadJob::Modified},
        {"LastModified=", &DownloadJob::Modified},
        {"ContentType=", &DownloadJob::ContentType},
        {"Message=", &DownloadJob::Message},
    };
    DownloadJob& job = record.job;
    for (const TextKey& t : kTexts) {
      std::string_view key = t.key;
      if (StartsWithNoCase(line, key)) {
        job.*t.field = CutToUrlBuffer(line.substr(key.size()));
        return;
      }
    }
    if (StartsWithNoCase(line, "Tree=")) {
      record.treePath = CutToUrlBuffer(line.substr(5));
      return;
    }
    struct IntKey {
      const char* key;
      int DownloadJob::*field;
      bool* seen;
    };
    const IntKey kInts[] = {
        {"Trials=", &DownloadJob::Trials, nullptr},
        {"Status=", &DownloadJob::Status, &statusRead},
        {"Type=", &DownloadJob::Type, &typeRead},
        {"Port=", &DownloadJob::Port, &portRead},
        {"Limit=", &DownloadJob::Limit, nullptr},
        {"SizeUpTo=", &DownloadJob::SizeUpTo, nullptr},
        {"Flag=", &DownloadJob::Flag, nullptr},
    };
    for (const IntKey& k : kInts) {
      std::string_view key = k.key;
      if (StartsWithNoCase(line, key)) {
        int value;
        if (ParseInt(line.substr(key.size()), &value)) {
          job.*k.field = value;
          if (k.seen) *k.seen = true;
        }
        return;
      }
    }
    if (StartsWithNoCase(line, "Size=")) {
      uint32_t size;
      if (ParseHex(line.substr(5), &size)) job.Size = size;
      return;
    }
    if (StartsWithNoCase(line, "FromLocal=1")) job.FromLocal = true;
    else if (StartsWithNoCase(line, "SiteDown=1")) job.SiteDown = true;
    // Everything else (Connection among it) is not restored.
  }

  // The record ends: a job when it names a URL.
  bool Finish(std::vector<JobRecord>& out) {
    if (record.job.URL.empty()) return false;
    DownloadJob& job = record.job;
    job.Status = statusRead ? StatusToRestore(job.Status) : kJobComplete;
    if (!typeRead) job.Type = kJobTypeNone;
    if (!portRead) job.Port = 80;
    job.Connection = 0;
    out.push_back(std::move(record));
    return true;
  }
};

std::string LocalTimeName(const os::LocalTime& t, int ms) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%03d.dat", t.year, t.month, t.day, t.hour,
                t.minute, t.second, ms);
  return buf;
}

// The jobs with the paths of their items. An item deleted without its job
// being told is never followed: only nodes found in the collection count.
std::vector<DownloadManager::SavedJob> SnapshotWithPaths(const DownloadManager& manager) {
  std::lock_guard tree(TreeMutex());
  std::unordered_set<const TreeNode*> linked;
  for (const TreeNode* n = GetTreeState().root; n; n = NextInPreorder(n, nullptr)) linked.insert(n);
  return manager.SnapshotForSave([&](const TreeNode* n) { return linked.count(n) != 0; });
}

// The path ends in the title the item had when the queue was written, which a
// finished capture gives it; a tree file saved before then holds the item
// under its old title ("*"). Then the item of that URL in the path's folder.
TreeNode* FindItemInPathFolder(TreeNode* root, std::string_view treePath, std::string_view url) {
  const size_t tab = treePath.rfind('\t');
  return tab == std::string_view::npos ? nullptr : FindItemByTreePath(root, treePath.substr(0, tab), url);
}

// The collection was saved while the item's capture ran, so the item has no
// copy although its job may have ended: an ended job would leave it so for
// good, and a HEAD would take a file left from the lost run for the copy.
// The page is fetched whole, which gives the item its file and title.
void RefetchForUnfinishedItem(DownloadJob& job) {
  const TreeNode* item = job.Node;
  if (!IsItem(item) || !item->localFile.empty()) return;
  const bool initialised = !job.Host.empty() && !job.LocalFile.empty();
  if (job.Status == kJobComplete) {
    WriteLog("> timer.dat: %s ended, but its item has no copy: fetched again", job.URL.c_str());
    job.Status = initialised ? kJobWaiting : kJobUntreated;
  } else if (job.Status == kJobUntreated && initialised && !job.FromLocal) {
    job.Status = kJobWaiting;
  }
}

bool EnsureDirectory(const std::string& dir) {
  if (!dir.empty() && (os::DirectoryExists(dir) || os::CreateDirectories(dir))) return true;
  WriteLog("[Error] Can't create directory: %s", dir.c_str());
  return false;
}

}  // namespace

std::string FormatJobRecord(const DownloadJob& job, std::string_view treePath, bool timerFile) {
  std::string out;
  PutText(out, "URL", job.URL);
  if (job.FromLocal && (!timerFile || (job.Status >= kJobUntreated && job.Status <= kJobDownloading))) {
    PutInt(out, "FromLocal", 1);
  }
  PutInt(out, "Status", timerFile ? StatusToSave(job.Status) : job.Status);
  if (job.Trials > 0) PutInt(out, "Trials", job.Trials);
  PutInt(out, "Type", job.Type);
  if (!job.UpLinkRoot.empty()) PutText(out, "UpLinkRoot", job.UpLinkRoot);
  if (!job.SourceURL.empty()) PutText(out, "SourceURL", job.SourceURL);
  if (!job.RequestURL.empty()) PutText(out, "RequestURL", job.RequestURL);
  if (!job.BaseURL.empty()) PutText(out, "BaseURL", job.BaseURL);
  if (!job.Host.empty()) PutText(out, "Host", job.Host);
  if (job.Port != 80) PutInt(out, "Port", job.Port);
  if (!job.DirName.empty()) PutText(out, "DirName", job.DirName);
  if (!job.LocalFile.empty()) PutText(out, "LocalFile", job.LocalFile);
  if (!job.Message.empty()) PutText(out, "Message", job.Message);
  if (job.SiteDown) {
    PutInt(out, "SiteDown", 1);
    if (job.Limit != 0) PutInt(out, "Limit", job.Limit);
    if (job.SizeUpTo != 0) PutInt(out, "SizeUpTo", job.SizeUpTo);
    if (!job.Filter.empty()) PutText(out, "Filter", job.Filter);
  }
  if (!treePath.empty()) PutText(out, "Tree", treePath);
  if (!job.ContentType.empty()) PutText(out, "ContentType", job.ContentType);
  if (job.Size != 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Size=%X\r\n", static_cast<unsigned>(job.Size));
    out += buf;
  }
  if (!job.Modified.empty()) PutText(out, "Modified", job.Modified);
  if (job.Connection != 0) PutInt(out, "Connection", job.Connection);
  if (job.Flag != 0) PutInt(out, "Flag", job.Flag);
  if (!job.MovedURL.empty()) PutText(out, "MovedURL", job.MovedURL);
  out += "\r\n";
  return out;
}

std::vector<JobRecord> ParseJobRecords(std::string_view text) {
  std::vector<JobRecord> records;
  RecordReader reader;
  // Whole lines, however long: a cut line must not leave its tail to be read
  // as a line of its own.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line.front() == '\r') {
      reader.Finish(records);
      reader.Reset();
      continue;
    }
    line = line.substr(0, line.find('\0'));
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) reader.Line(line);
  }
  // A record without its closing empty line is incomplete and dropped.
  return records;
}

std::string TimerFilePath() { return os::JoinPath(CurrentProfile().dirs.timer, "timer.dat"); }

std::string TimerFileText(const DownloadManager& manager, TimerFileForm form) {
  const std::vector<DownloadManager::SavedJob> jobs = SnapshotWithPaths(manager);
  std::string text;
  for (const auto& saved : jobs) {
    if (form == TimerFileForm::WhileRunning) {
      DownloadJob job = saved.job;
      job.Status = StatusWhileRunning(job.Status);
      text += FormatJobRecord(job, saved.treePath, true);
    } else {
      text += FormatJobRecord(saved.job, saved.treePath, true);
    }
  }
  return text;
}

int WriteTimerFile(const std::string& text) {
  const std::string dir = CurrentProfile().dirs.timer;
  if (!EnsureDirectory(dir)) return 0;
  const std::string path = os::JoinPath(dir, "timer.dat");
  if (!os::WriteFileAtomic(path, text)) {
    WriteLog("Can't open file [%s]", path.c_str());
    return 0;
  }
  return 1;
}

int SaveTimerFile(DownloadManager& manager, TimerFileForm form) {
  if (!EnsureDirectory(CurrentProfile().dirs.timer)) return 0;
  return WriteTimerFile(TimerFileText(manager, form));
}

int SaveErrorList(DownloadManager& manager) {
  const std::vector<DownloadManager::SavedJob> jobs = SnapshotWithPaths(manager);
  std::string text;
  for (const auto& saved : jobs) {
    if (saved.job.Status == kJobError) text += FormatJobRecord(saved.job, saved.treePath, false);
  }
  // No failed job: no empty list to clutter the folder.
  if (text.empty()) return -1;
  const std::string dir = CurrentProfile().dirs.error;
  if (!EnsureDirectory(dir)) return 0;
  const os::LocalTime now = os::LocalNow();
  int ms = static_cast<int>(os::TickMs() % 1000);
  std::string path = os::JoinPath(dir, LocalTimeName(now, ms));
  // Two lists within one millisecond must not overwrite each other.
  for (int i = 0; i < 1000 && os::PathExists(path); ++i) {
    path = os::JoinPath(dir, LocalTimeName(now, ++ms % 1000));
  }
  if (os::PathExists(path) || !os::WriteFileAtomic(path, text)) {
    WriteLog("Can't open file [%s]", path.c_str());
    return 0;
  }
  return 1;
}

int LoadTimerFile(DownloadManager& manager) {
  const std::string path = TimerFilePath();
  std::string text;
  if (!os::FileExists(path) || !os::ReadWholeFile(path, text)) {
    WriteLog("Can't open file [%s]", path.c_str());
    manager.timerFileLoaded.store(true);
    return 0;
  }
  std::vector<JobRecord> records = ParseJobRecords(text);
  const std::string dataDirectory = CurrentProfile().dirs.data;
  for (JobRecord& r : records) {
    DownloadJob& job = r.job;
    if ((job.LocalFile.empty() || IsPathBelow(dataDirectory, job.LocalFile)) &&
        (job.DirName.empty() || IsPathBelow(dataDirectory, job.DirName)))
      continue;
    // The file is edited by hand or by others: a place outside the data
    // folder is never written to. The job starts again from its URL.
    WriteLog("> timer.dat: %s lies outside the data folder; the job starts anew", job.LocalFile.c_str());
    job.LocalFile.clear();
    job.DirName.clear();
    if (!MapJobLocation(job)) {
      job.Status = kJobError;
      SetJobMessage(job, "URL has error.");
    } else if (job.Status != kJobComplete && job.Status != kJobError) {
      job.Status = kJobUntreated;
    }
  }
  std::vector<DownloadJob> jobs;
  jobs.reserve(records.size());
  {
    std::lock_guard tree(TreeMutex());
    TreeNode* root = GetTreeState().root;
    for (JobRecord& r : records) {
      DownloadJob& job = r.job;
      if (root && !r.treePath.empty()) {
        job.Node = FindItemByTreePath(root, r.treePath, job.URL);
        if (!job.Node) job.Node = FindItemInPathFolder(root, r.treePath, job.URL);
        if (!job.Node) {
          // A feed job belongs to its RSS folder, whose path the record holds.
          TreeNode* folder = FindFolderByTreePath(root, r.treePath);
          if (IsFolder(folder) && folder->url == job.URL) job.Node = folder;
        }
        RefetchForUnfinishedItem(job);
      }
      jobs.push_back(std::move(job));
    }
    // Restored under the tree lock so no item goes away before its job holds it.
    manager.RestoreJobs(std::move(jobs));
  }
  if (!records.empty()) manager.StartWorkersIfMissing();
  manager.timerFileLoaded.store(true);
  return 1;
}

}  // namespace zentu
