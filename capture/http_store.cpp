// Storing the body of a response at the job's local file.
#include <cstring>
#include <memory>

#include "capture/http.h"
#include "capture/http_internal.h"
#include "os/file.h"
#include "os/log.h"
#include "store/profile.h"

namespace zentu {

using namespace http_detail;

namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

void CheckPng(DownloadJob& job, const char* data, size_t size) {
  if (job.Flag == kContentText && size >= sizeof kPngSignature &&
      std::memcmp(data, kPngSignature, sizeof kPngSignature) == 0) {
    job.Flag = kContentBinary;
    SetJobMessage(job, "<binary(png)>");
  }
}

int FinishStore(DownloadJob& job, uint64_t written) {
  job.Size = written > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(written);
  WriteLogVerbose("# Close File : %s", job.LocalFile.c_str());
  if (job.Flag != kContentBinary) job.FromLocal = false;
  ReportProgress(job, written);
  return kHttpOk;
}

}  // namespace

int StoreBody(DownloadJob& job) {
  if (job.Flag == kContentText) {
    for (const char* ext : {".gif", ".jpg", ".jpeg", ".png", ".lzh", ".zip"}) {
      if (EndsWithNoCase(job.URL, ext)) {
        job.Flag = kContentBinary;
        SetJobMessage(job, "<binary!>");
        break;
      }
    }
  }
  // A body beside its local file was received in a folder made and checked
  // for it: the rename stays inside that folder.
  if (!job.LocalFile.empty() && job.BodyFile.empty()) {
    const int ready = PrepareLocalWrite(job, job.LocalFile);
    if (ready <= 0) return ready < 0 ? kHttpFailed : kHttpRetry;
  }
  // The body is in a file of its own when this client received it; a spooled
  // response of the classic form has it behind the head.
  const std::string bodyFile = ReceivedBodyFile(job);
  const bool beside = !job.BodyFile.empty();
  if (beside && job.Flag != kContentText && !job.LocalFile.empty()) {
    // A binary body beside its local file needs no look inside (the picture
    // check is for bodies sent as text): its size and one rename.
    const int64_t size = os::GetFileSize(bodyFile);
    if (size >= 0) {
      if (!os::RenameFile(bodyFile, job.LocalFile)) {
        WriteLog("Can't write file: %s", job.LocalFile.c_str());
        SetJobMessage(job, "%s: %s", SJ("ファイルの書き込みに失敗しました").c_str(), job.LocalFile.c_str());
        return kHttpRetry;
      }
      ReleaseBeside(bodyFile);
      job.BodyFile.clear();
      return FinishStore(job, static_cast<uint64_t>(size));
    }
  }
  const bool separate = (beside || !job.TempFile.empty()) && os::FileExists(bodyFile);
  os::File in;
  if ((job.TempFile.empty() && !separate) || !in.Open(separate ? bodyFile : job.TempFile, os::File::Mode::Read)) {
    WriteLog("Can't open temp file [%s]", job.TempFile.c_str());
    SetJobMessage(job, "Can't open temp file");
    return kHttpRetry;
  }
  if (!separate && job.HeaderLength > 0 && !in.Seek(job.HeaderLength)) {
    WriteLog("Seek Error [%d]", job.HeaderLength);
    SetJobMessage(job, "Seek Error [%d]", job.HeaderLength);
    return kHttpRetry;
  }
  if (job.LocalFile.empty()) {
    WriteLog("Can't create file: %s", job.LocalFile.c_str());
    SetJobMessage(job, "%s", SJ("ファイルを作成できませんでした").c_str());
    return kHttpFailed;
  }

  if (separate && (beside || !CurrentProfile().StoreTempData)) {
    // The whole body file becomes the local file at once: one rename, no copy.
    char first[8];
    size_t got = in.Read(first, sizeof first);
    CheckPng(job, first, got);
    const int64_t size = in.Size();
    in.Close();
    if (os::RenameFile(bodyFile, job.LocalFile)) {
      if (beside) {
        ReleaseBeside(bodyFile);
        job.BodyFile.clear();
      }
      return FinishStore(job, size > 0 ? static_cast<uint64_t>(size) : 0);
    }
    // Beside the local file, a failed rename is no matter of file systems:
    // something is in the way of the name, and a copy would meet it too.
    if (beside) {
      WriteLog("Can't write file: %s", job.LocalFile.c_str());
      SetJobMessage(job, "%s: %s", SJ("ファイルの書き込みに失敗しました").c_str(), job.LocalFile.c_str());
      return kHttpRetry;
    }
    // Another file system, or a name in the way: copy below.
    if (!in.Open(bodyFile, os::File::Mode::Read)) {
      WriteLog("Can't open temp file [%s]", job.TempFile.c_str());
      SetJobMessage(job, "Can't open temp file");
      return kHttpRetry;
    }
  }

  const std::string part = job.LocalFile + ".part";
  os::File out;
  if (PrepareLocalWrite(job, part) <= 0 || !out.Open(part, os::File::Mode::Write)) {
    WriteLog("Can't create file: %s", part.c_str());
    SetJobMessage(job, "%s: %s", SJ("ファイルを作成できませんでした").c_str(), job.LocalFile.c_str());
    return kHttpFailed;
  }
  // Only a classic spooled file can hold more than the announced length.
  const uint64_t cap = !separate && job.Size != 0 && job.Size != UINT32_MAX ? job.Size : UINT64_MAX;
  constexpr size_t kPiece = 1 << 20;
  std::unique_ptr<char[]> buffer(new char[kPiece]);
  uint64_t written = 0;
  bool firstPiece = true;
  bool ok = true;
  while (written < cap) {
    size_t want = cap - written < kPiece ? static_cast<size_t>(cap - written) : kPiece;
    size_t n = in.Read(buffer.get(), want);
    if (n == 0) break;
    if (firstPiece) {
      CheckPng(job, buffer.get(), n);
      firstPiece = false;
    }
    if (!out.Write(std::string_view(buffer.get(), n))) {
      ok = false;
      break;
    }
    written += n;
  }
  in.Close();
  ok = out.Close() && ok;
  if (!ok || !os::RenameFile(part, job.LocalFile)) {
    (void)os::DeleteFile(part);
    WriteLog("Can't write file: %s", job.LocalFile.c_str());
    SetJobMessage(job, "%s: %s", SJ("ファイルの書き込みに失敗しました").c_str(), job.LocalFile.c_str());
    return kHttpRetry;
  }
  return FinishStore(job, written);
}

}  // namespace zentu
