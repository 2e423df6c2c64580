// The job side of receiving: the spool files a job's answer goes to, beside
// its local file or in Data\Temp, and the names in use.
#include <cstdio>
#include <mutex>
#include <set>

#include "capture/http.h"
#include "capture/http_internal.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/log.h"
#include "store/profile.h"

namespace zentu {

using namespace http_detail;

std::string BodyFileOf(std::string_view tempFile) { return std::string(tempFile) + ".body"; }

namespace {

// Bodies spooled beside their local files ("<local file>.part"), so that
// storing one is a rename inside its own folder. Two jobs whose URLs share a
// local file must not write one spool: the second goes to Data\Temp.
std::mutex g_besideMutex;
std::set<std::string, std::less<>> g_beside;

bool ClaimBeside(const std::string& path) {
  std::lock_guard lock(g_besideMutex);
  return g_beside.insert(path).second;
}

// "%s\\%04d%02d%02d%02d%02d%02d%03d.dat" from the local time. Requests of
// several threads within one millisecond get the following milliseconds, so
// no two requests ever share a file.
std::string NewTempFileName(const std::string& dir) {
  static std::mutex mutex;
  static uint64_t last = 0;
  uint64_t stamp = static_cast<uint64_t>(os::Now()) * 1000 + os::TickMs() % 1000;
  {
    std::lock_guard lock(mutex);
    if (stamp <= last) stamp = last + 1;
    last = stamp;
  }
  const os::LocalTime t = os::GetClock().ToLocal(static_cast<std::time_t>(stamp / 1000));
  char name[64];
  std::snprintf(name, sizeof name, "\\%04d%02d%02d%02d%02d%02d%03d.dat", t.year, t.month, t.day, t.hour,
                t.minute, t.second, static_cast<int>(stamp % 1000));
  return dir + name;
}

// "<local file>.part" when the body can wait there: a GET of a job with a
// local file, temporary files not kept, the folder made below the data folder
// and no other job spooling to the same name. "" sends it to Data\Temp.
std::string BesideBodyFile(const DownloadJob& job, int kind) {
  if (kind != kHttpGet || job.LocalFile.empty() || CurrentProfile().StoreTempData) return {};
  std::string part = job.LocalFile + ".part";
  DownloadJob scratch;  // a refusal here is told again where the file is stored
  if (PrepareLocalWrite(scratch, part) <= 0 || !ClaimBeside(part)) return {};
  return part;
}

}  // namespace

void http_detail::ReleaseBeside(std::string_view path) {
  std::lock_guard lock(g_besideMutex);
  if (auto it = g_beside.find(path); it != g_beside.end()) g_beside.erase(it);
}

SpoolSink::~SpoolSink() {
  Close();
  if (beside_) ReleaseBeside(body_);
}

int SpoolSink::Prepare(std::string& message) {
  const std::string dir = TempDirectory();
  body_ = besideLocal_ ? BesideBodyFile(job_, kind_) : std::string();
  beside_ = !body_.empty();
  const bool keepTemp = CurrentProfile().StoreTempData;
  // Data\Temp is needed only when something is written there: a body that
  // waits beside its local file leaves the head in memory.
  if (!beside_ || keepTemp) {
    if (!os::DirectoryExists(dir)) WriteLog("Create folder: %s", dir.c_str());
    // The spool lies below the data folder like every capture file: a link
    // planted in its place must not carry the responses elsewhere.
    DownloadJob scratch;
    scratch.DirName = job_.DirName;
    if (const int ready = PrepareLocalWrite(scratch, dir, LocalWrite::Folder); ready <= 0) {
      message = scratch.Message;
      if (ready == 0) FormatMessage(message, "Can't create folder: %s", dir.c_str());
      if (beside_) ReleaseBeside(body_);
      beside_ = false;
      return ready < 0 ? kHttpFailed : kHttpRetry;
    }
  }
  path_ = NewTempFileName(dir);
  WriteLogVerbose("# Receiving [%s]", path_.c_str());
  if (!beside_) body_ = BodyFileOf(path_);
  // The head goes to a file of its own only when the temporary files are
  // kept (one file less to create and delete per request).
  if (keepTemp && !headFile_.Open(path_, os::File::Mode::Write)) {
    if (beside_) ReleaseBeside(body_);
    beside_ = false;
    WriteLog("Can't create file: %s", path_.c_str());
    FormatMessage(message, "Can't create file: %s", path_.c_str());
    return kHttpRetry;
  }
  return kHttpOk;
}

bool SpoolSink::WriteHead(std::string_view head) {
  if (!headFile_.IsOpen()) return true;
  const bool written = headFile_.Write(head);
  return headFile_.Close() && written;
}

bool SpoolSink::OpenBody() {
  bodyMade_ = bodyFile_.Open(body_, os::File::Mode::Write);
  return bodyMade_;
}

bool SpoolSink::WriteBody(std::string_view bytes) { return bodyFile_.Write(bytes); }

bool SpoolSink::Finish() { return !bodyFile_.IsOpen() || bodyFile_.Close(); }

void SpoolSink::Close() {
  if (headFile_.IsOpen()) (void)headFile_.Close();
  if (bodyFile_.IsOpen()) (void)bodyFile_.Close();
}

void SpoolSink::Discard() {
  Close();
  if (os::PathExists(body_)) (void)os::DeleteFile(body_);
  if (beside_) ReleaseBeside(body_);
  beside_ = false;
  if (os::PathExists(path_)) (void)os::DeleteFile(path_);
}

void SpoolSink::Received() {
  WriteLogVerbose("# Received ok. [%s]", path_.c_str());
  // A body beside its file with the head in memory put nothing into
  // Data\Temp: no temporary file to look for and remove afterwards.
  if (!beside_ || CurrentProfile().StoreTempData) job_.TempFile = path_;
  if (beside_) {
    if (bodyMade_) job_.BodyFile = body_;
    else ReleaseBeside(body_);  // no body came: nothing waits there
    beside_ = false;
  }
}

int ReceiveResponse(DownloadJob& job, os::Connection& connection, int kind) {
  const FetchRequest request = RequestForJob(job, kind, nullptr);
  SpoolSink sink(job, kind, false);
  FetchResponse response;
  ReceiveInfo info;
  const int result = ReceiveAnswer(request, connection, sink, response, info);
  if (!response.message.empty()) job.Message = response.message;
  return result;
}

}  // namespace zentu
