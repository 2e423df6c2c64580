// Receiving a response: the head and the body go to temporary files as they
// arrive, a chunked body decoded, stopping where the body ends.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include <zlib.h>

#include "capture/http.h"
#include "capture/http_internal.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/log.h"
#include "os/socket.h"
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

}  // namespace

void http_detail::ReleaseBeside(std::string_view path) {
  std::lock_guard lock(g_besideMutex);
  if (auto it = g_beside.find(path); it != g_beside.end()) g_beside.erase(it);
}

namespace {

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

// Statuses whose body is kept; for the others the head says all.
bool WantsBody(int status) {
  if (status >= 200 && status < 300) return status != 204 && status != 205;
  return status >= 300 && status < 400 && status != 304;
}

// Writes the head and the body of a response as it arrives, decoding a chunked
// body and stopping where the body ends.
class Spooler {
 public:
  enum class Outcome { Running, Complete, HeadTooLong, ChunkError, Truncated, SizeOver, TooLarge, BadCoding,
                       WriteError };

  ~Spooler() {
    if (inflating_) inflateEnd(&zs_);
  }

  Spooler(const std::string& headPath, const std::string& bodyPath, bool headOnly, int sizeUpTo, uint64_t maxBody)
      : headPath_(headPath), bodyPath_(bodyPath), headOnly_(headOnly), sizeUpTo_(sizeUpTo), maxBody_(maxBody) {}

  // The head stays in memory; it goes to a file of its own only when the
  // temporary files are kept (one file less to create and delete per request).
  bool Open(bool headFile) { return !headFile || head_.Open(headPath_, os::File::Mode::Write); }
  const std::string& head() const { return headText_; }

  Outcome outcome() const { return outcome_; }
  uint64_t bodyBytes() const { return bodyBytes_; }
  // The body file was made (a body came, or at least its head said one would).
  bool BodyMade() const { return bodyMade_; }
  int64_t contentLength() const { return info_.contentLength; }
  // The answer ended where its framing says, with no byte after it, and the
  // server keeps the connection: the next request may use it.
  bool Reusable() const { return outcome_ == Outcome::Complete && exactEnd_ && info_.keepAlive && !leftover_; }

  // Takes received bytes; false once nothing more is wanted.
  bool Feed(const char* data, size_t size) {
    if (phase_ == Phase::Head) {
      headData_.append(data, size);
      if (!StartsWithHttp()) {
        // Not an HTTP answer at all: keep a little of it for the header check.
        return Finish(WriteHeadBytes(std::string_view(headData_).substr(0, kMaxResponseHead)));
      }
      const size_t end = FindHeadEndFrom();
      if (end == std::string::npos) {
        if (headData_.size() > kMaxResponseHead) return Fail(Outcome::HeadTooLong);
        return true;
      }
      if (end > kMaxResponseHead) return Fail(Outcome::HeadTooLong);
      if (!WriteHeadBytes(std::string_view(headData_).substr(0, end))) return Fail(Outcome::WriteError);
      if (head_.IsOpen() && !head_.Close()) return Fail(Outcome::WriteError);
      info_ = InspectHead(std::string_view(headData_).substr(0, end));
      if (!WantsBody(info_.status) || headOnly_) {
        if (NoBodyFollows()) {
          // A HEAD answer, or one without a body by its status, ends with its head.
          exactEnd_ = true;
          leftover_ = headData_.size() > end;
          return Finish(true);
        }
        // A short body of an answer that is not kept is read past, so the
        // connection can serve the next request; a longer one is not worth it.
        if (info_.chunked || info_.contentLength <= 0 || info_.contentLength > 65536) return Finish(true);
        discard_ = true;
      }
      if (sizeUpTo_ > 0 && info_.contentLength >= 0 &&
          static_cast<uint64_t>(info_.contentLength) / 1024 > static_cast<uint64_t>(sizeUpTo_))
        return Finish(true);  // the header check refuses it
      if (info_.contentLength >= 0 && static_cast<uint64_t>(info_.contentLength) > maxBody_)
        return Fail(Outcome::TooLarge);
      if (!body_.Open(bodyPath_, os::File::Mode::Write)) return Fail(Outcome::WriteError);
      bodyMade_ = true;
      if (info_.coding == HeadInfo::Coding::Gzip || info_.coding == HeadInfo::Coding::Deflate) {
        // 15 + 32: zlib or gzip, told by the header; a raw deflate stream is
        // tried when the first bytes are neither (servers send both as "deflate").
        if (inflateInit2(&zs_, 15 + 32) != Z_OK) return Fail(Outcome::WriteError);
        inflating_ = true;
      }
      phase_ = info_.chunked ? Phase::ChunkSize : Phase::Body;
      std::string rest = headData_.substr(end);
      headData_.clear();
      headData_.shrink_to_fit();
      if (info_.contentLength == 0 && !info_.chunked) {
        exactEnd_ = true;
        leftover_ = !rest.empty();
        return Finish(true);
      }
      return rest.empty() ? true : FeedBody(rest.data(), rest.size());
    }
    return FeedBody(data, size);
  }

  // The peer closed the connection.
  void End() {
    if (outcome_ != Outcome::Running) return;
    switch (phase_) {
      case Phase::Head:
        // Whatever came is all there is; the header check says what it lacks.
        Finish(WriteHeadBytes(std::string_view(headData_).substr(0, kMaxResponseHead)));
        return;
      case Phase::Body:
        if (info_.contentLength >= 0 && bodyBytes_ < static_cast<uint64_t>(info_.contentLength)) {
          Fail(Outcome::Truncated);
          return;
        }
        FinishBody();
        return;
      case Phase::Trailer:
        FinishBody();  // the last chunk came; a missing end of the trailer loses nothing
        return;
      default:
        Fail(Outcome::Truncated);  // the last chunk never came
        return;
    }
  }

  // Closes the files; false when a write failed.
  bool Close() {
    bool ok = true;
    if (head_.IsOpen()) ok = head_.Close() && ok;
    if (body_.IsOpen()) ok = body_.Close() && ok;
    return ok;
  }

 private:
  enum class Phase { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Done };

  bool StartsWithHttp() const {
    static const char kHttp[] = "http";
    for (size_t i = 0; i < headData_.size() && i < 4; ++i)
      if (std::tolower(static_cast<unsigned char>(headData_[i])) != kHttp[i]) return false;
    return true;
  }

  // FindHeadEnd, resuming at the line that was incomplete before.
  size_t FindHeadEndFrom() {
    size_t line = lineStart_;
    while (line < headData_.size()) {
      size_t lf = headData_.find('\n', line);
      if (line > 0 && (headData_[line] == '\r' || headData_[line] == '\n'))
        return lf == std::string::npos ? std::string::npos : lf + 1;
      if (lf == std::string::npos) break;
      line = lf + 1;
    }
    lineStart_ = line;
    return std::string::npos;
  }

  bool WriteHeadBytes(std::string_view bytes) {
    headText_.assign(bytes);
    return !head_.IsOpen() || head_.Write(bytes);
  }

  // The answer carries no body by its status (or because the request was HEAD).
  bool NoBodyFollows() const {
    return headOnly_ || info_.status == 204 || info_.status == 304 || (info_.status >= 100 && info_.status < 200);
  }

  bool Finish(bool ok) {
    if (!ok) return Fail(Outcome::WriteError);
    phase_ = Phase::Done;
    outcome_ = Outcome::Complete;
    return false;
  }

  // The body is complete on the wire; a compressed one must have ended too.
  bool FinishBody() {
    if (inflating_ && !inflateDone_ && !discard_ && bodyBytes_ > 0) return Fail(Outcome::BadCoding);
    return Finish(true);
  }

  bool Fail(Outcome outcome) {
    phase_ = Phase::Done;
    outcome_ = outcome;
    return false;
  }

  bool WriteBody(const char* data, size_t size) {
    if (size == 0) return true;
    bodyBytes_ += size;
    if (discard_) return true;  // the body of an answer that is not kept
    if (!inflating_) return Store(data, size);
    if (inflateDone_) return true;  // bytes after the end of the stream are ignored
    zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs_.avail_in = static_cast<uInt>(size);
    char out[65536];
    while (zs_.avail_in > 0) {
      zs_.next_out = reinterpret_cast<Bytef*>(out);
      zs_.avail_out = sizeof out;
      int r = inflate(&zs_, Z_NO_FLUSH);
      if (r == Z_DATA_ERROR && !rawTried_ && zs_.total_out == 0 && bodyBytes_ == size &&
          info_.coding == HeadInfo::Coding::Deflate) {
        // "deflate" without its zlib wrapper: start again as a raw stream.
        rawTried_ = true;
        inflateEnd(&zs_);
        zs_ = z_stream{};
        if (inflateInit2(&zs_, -15) != Z_OK) return Fail(Outcome::BadCoding);
        zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        zs_.avail_in = static_cast<uInt>(size);
        continue;
      }
      if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return Fail(Outcome::BadCoding);
      const size_t produced = sizeof out - zs_.avail_out;
      if (!Store(out, produced)) return false;
      if (r == Z_STREAM_END) {
        inflateDone_ = true;
        break;
      }
      if (r == Z_BUF_ERROR && produced == 0) break;
    }
    return true;
  }

  bool Store(const char* data, size_t size) {
    if (size == 0) return true;
    if (!body_.Write(std::string_view(data, size))) return Fail(Outcome::WriteError);
    storedBytes_ += size;
    if (storedBytes_ > maxBody_) return Fail(Outcome::TooLarge);
    if (sizeUpTo_ > 0 && storedBytes_ / 1024 > static_cast<uint64_t>(sizeUpTo_)) return Fail(Outcome::SizeOver);
    return true;
  }

  // Appends to line_ up to and including LF; true when the line is complete.
  bool TakeLine(const char*& data, size_t& size) {
    const void* lf = std::memchr(data, '\n', size);
    size_t n = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : size;
    line_.append(data, n);
    data += n;
    size -= n;
    return lf != nullptr;
  }

  bool FeedBody(const char* data, size_t size) {
    while (size > 0 || phase_ == Phase::Done) {
      switch (phase_) {
        case Phase::Body: {
          size_t n = size;
          if (info_.contentLength >= 0) {
            uint64_t left = static_cast<uint64_t>(info_.contentLength) - bodyBytes_;
            if (n > left) n = static_cast<size_t>(left);
          }
          if (!WriteBody(data, n)) return false;
          data += n;
          size -= n;
          if (info_.contentLength >= 0 && bodyBytes_ == static_cast<uint64_t>(info_.contentLength)) {
            exactEnd_ = true;
            leftover_ = size > 0;
            return FinishBody();
          }
          break;
        }
        case Phase::ChunkSize: {
          bool complete = TakeLine(data, size);
          if (line_.size() > 4096) return Fail(Outcome::ChunkError);
          if (!complete) return true;
          uint64_t chunk = 0;
          size_t i = 0, digits = 0;
          while (i < line_.size() && (line_[i] == ' ' || line_[i] == '\t')) ++i;
          for (; i < line_.size() && std::isxdigit(static_cast<unsigned char>(line_[i])); ++i, ++digits) {
            if (chunk >> 56) return Fail(Outcome::ChunkError);
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line_[i])));
            chunk = chunk * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
          }
          while (i < line_.size() && (line_[i] == ' ' || line_[i] == '\t')) ++i;
          if (digits == 0 || (i < line_.size() && line_[i] != ';' && line_[i] != '\r' && line_[i] != '\n'))
            return Fail(Outcome::ChunkError);
          line_.clear();
          chunkLeft_ = chunk;
          phase_ = chunk == 0 ? Phase::Trailer : Phase::ChunkData;
          break;
        }
        case Phase::ChunkData: {
          size_t n = size < chunkLeft_ ? size : static_cast<size_t>(chunkLeft_);
          if (!WriteBody(data, n)) return false;
          data += n;
          size -= n;
          chunkLeft_ -= n;
          if (chunkLeft_ == 0) phase_ = Phase::ChunkEnd;
          break;
        }
        case Phase::ChunkEnd: {
          bool complete = TakeLine(data, size);
          if (line_ != "\r\n" && line_ != "\n" && line_ != "\r") return Fail(Outcome::ChunkError);
          if (!complete) return true;
          line_.clear();
          phase_ = Phase::ChunkSize;
          break;
        }
        case Phase::Trailer: {
          bool complete = TakeLine(data, size);
          trailerBytes_ += line_.size();
          if (trailerBytes_ > kMaxResponseHead) return Fail(Outcome::ChunkError);
          if (!complete) return true;
          bool blank = line_ == "\r\n" || line_ == "\n";
          line_.clear();
          if (blank) {
            exactEnd_ = true;
            leftover_ = size > 0;
            return FinishBody();
          }
          break;
        }
        case Phase::Done:
          return false;
        case Phase::Head:
          return false;
      }
    }
    return true;
  }

  std::string headPath_;
  std::string bodyPath_;
  bool headOnly_;
  int sizeUpTo_;
  uint64_t maxBody_;
  os::File head_, body_;
  std::string headText_;
  Phase phase_ = Phase::Head;
  Outcome outcome_ = Outcome::Running;
  std::string headData_;
  size_t lineStart_ = 0;
  HeadInfo info_;
  uint64_t bodyBytes_ = 0;    // body bytes as they came over the wire
  uint64_t storedBytes_ = 0;  // bytes written to the body file (decoded)
  bool exactEnd_ = false;     // the answer ended by its framing, not by a close
  bool leftover_ = false;     // bytes came after the end of the answer
  bool discard_ = false;  // the body is read past, not kept
  bool bodyMade_ = false;
  z_stream zs_{};
  bool inflating_ = false, inflateDone_ = false, rawTried_ = false;
  uint64_t chunkLeft_ = 0;
  uint64_t trailerBytes_ = 0;
  std::string line_;
};

void DeleteSpooledFiles(const std::string& path, const std::string& body, bool beside) {
  if (os::PathExists(body)) (void)os::DeleteFile(body);
  if (beside) ReleaseBeside(body);
  if (os::PathExists(path)) (void)os::DeleteFile(path);
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

constexpr size_t kReceiveBuffer = 256 * 1024;

}  // namespace

int ReceiveResponse(DownloadJob& job, os::Connection& connection, int kind) {
  ReceiveInfo info;
  return ReceiveResponseInfo(job, connection, kind, info);
}

int http_detail::ReceiveResponseInfo(DownloadJob& job, os::Connection& connection, int kind, ReceiveInfo& info,
                                     bool besideLocal) {
  info = ReceiveInfo{};
  const std::string dir = TempDirectory();
  std::string body = besideLocal ? BesideBodyFile(job, kind) : std::string();
  const bool beside = !body.empty();
  // Data\Temp is needed only when something is written there: a body that
  // waits beside its local file leaves the head in memory.
  if (!beside || CurrentProfile().StoreTempData) {
    if (!os::DirectoryExists(dir)) WriteLog("Create folder: %s", dir.c_str());
    // The spool lies below the data folder like every capture file: a link
    // planted in its place must not carry the responses elsewhere.
    if (const int ready = PrepareLocalWrite(job, dir, LocalWrite::Folder); ready <= 0) {
      if (ready == 0) SetJobMessage(job, "Can't create folder: %s", dir.c_str());
      if (beside) ReleaseBeside(body);
      return ready < 0 ? kHttpFailed : kHttpRetry;
    }
  }
  const std::string path = NewTempFileName(dir);
  WriteLogVerbose("# Receiving [%s]", path.c_str());
  if (!beside) body = BodyFileOf(path);
  Spooler spooler(path, body, kind == kHttpHead, job.SizeUpTo, MaxBodyBytes());
  if (!spooler.Open(CurrentProfile().StoreTempData)) {
    if (beside) ReleaseBeside(body);
    WriteLog("Can't create file: %s", path.c_str());
    SetJobMessage(job, "Can't create file: %s", path.c_str());
    return kHttpRetry;
  }
  std::unique_ptr<char[]> buffer(new char[kReceiveBuffer]);
  uint64_t total = 0;
  for (;;) {
    long n = connection.Receive(buffer.get(), kReceiveBuffer);
    if (n < 0) {
      spooler.Close();
      DeleteSpooledFiles(path, body, beside);
      return TransferFailure(job, connection);
    }
    if (n == 0) {
      spooler.End();
      break;
    }
    total += static_cast<uint64_t>(n);
    info.bytes = total;
    ReportProgress(job, total);
    if (!spooler.Feed(buffer.get(), static_cast<size_t>(n))) break;
  }
  const bool closed = spooler.Close();
  info.reusable = closed && spooler.Reusable();
  info.head = spooler.head();

  int result = kHttpOk;
  switch (spooler.outcome()) {
    case Spooler::Outcome::Complete:
    case Spooler::Outcome::Running:
      if (!closed) {
        WriteLog("Can't write file: %s", path.c_str());
        SetJobMessage(job, "Can't write file: %s", path.c_str());
        result = kHttpRetry;
      }
      break;
    case Spooler::Outcome::HeadTooLong:
      WriteLog("> Header too long [> %zu bytes]", kMaxResponseHead);
      SetJobMessage(job, "Header too long. [> %zu bytes]", kMaxResponseHead);
      result = kHttpRetry;
      break;
    case Spooler::Outcome::BadCoding:
      WriteLog("> Broken compressed data: %s", job.URL.c_str());
      SetJobMessage(job, "Broken compressed data.");
      result = kHttpRetry;
      break;
    case Spooler::Outcome::ChunkError:
      WriteLog("> Broken chunked data");
      SetJobMessage(job, "Broken chunked data.");
      result = kHttpRetry;
      break;
    case Spooler::Outcome::Truncated:
      if (spooler.contentLength() >= 0) {
        WriteLog("> Connection closed at %llu of %lld bytes", static_cast<unsigned long long>(spooler.bodyBytes()),
                 static_cast<long long>(spooler.contentLength()));
        SetJobMessage(job, "Connection closed. [%llu/%lld]", static_cast<unsigned long long>(spooler.bodyBytes()),
                      static_cast<long long>(spooler.contentLength()));
      } else {
        WriteLog("> Connection closed before the last chunk");
        SetJobMessage(job, "Connection closed. [%llu]", static_cast<unsigned long long>(spooler.bodyBytes()));
      }
      result = kHttpRetry;
      break;
    case Spooler::Outcome::SizeOver: {
      const unsigned long long kb = spooler.bodyBytes() / 1024;
      WriteLog("size over [%lluKB > %dKB]", kb, job.SizeUpTo);
      SetJobMessage(job, "size over [%lluKB > %dKB]", kb, job.SizeUpTo);
      result = kHttpSizeOver;
      break;
    }
    case Spooler::Outcome::TooLarge: {
      const unsigned long long limit = MaxBodyBytes();
      WriteLog("> Body too large [> %llu bytes]: %s", limit, job.URL.c_str());
      SetJobMessage(job, "Body too large. [> %llu bytes]", limit);
      result = kHttpFailed;
      break;
    }
    case Spooler::Outcome::WriteError:
      WriteLog("Can't write file: %s", path.c_str());
      SetJobMessage(job, "Can't write file: %s", path.c_str());
      result = kHttpRetry;
      break;
  }
  if (result != kHttpOk) {
    DeleteSpooledFiles(path, body, beside);
    return result;
  }
  WriteLogVerbose("# Received ok. [%s]", path.c_str());
  // A body beside its file with the head in memory put nothing into
  // Data\Temp: no temporary file to look for and remove afterwards.
  if (!beside || CurrentProfile().StoreTempData) job.TempFile = path;
  if (beside) {
    if (spooler.BodyMade()) job.BodyFile = body;
    else ReleaseBeside(body);  // no body came: nothing waits there
  }
  return kHttpOk;
}

}  // namespace zentu
