// One request of the HTTP client: connection, request text, spooling the
// response, storing the body.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "capture/cookies.h"
#include "capture/http.h"
#include "capture/http_internal.h"
#include "capture/rules.h"
#include "os/clock.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/socket.h"
#include "pagelib/url.h"
#include "store/profile.h"

namespace zentu {
namespace http_detail {

namespace {
std::mutex g_progressMutex;
HttpProgress g_progress;
}  // namespace

void ReportProgress(const DownloadJob& job, uint64_t bytes) {
  HttpProgress progress;
  {
    std::lock_guard lock(g_progressMutex);
    if (!g_progress) return;
    progress = g_progress;
  }
  progress(job, bytes);
}

bool IsRedirect(const DownloadJob& job) {
  return (job.Connection == 301 || job.Connection == 302) && !job.MovedURL.empty();
}

void RemoveTempFiles(DownloadJob& job) {
  if (CurrentProfile().StoreTempData || job.TempFile.empty()) return;
  const std::string body = BodyFileOf(job.TempFile);
  if (os::PathExists(body)) (void)os::DeleteFile(body);
  if (os::PathExists(job.TempFile)) (void)os::DeleteFile(job.TempFile);
}

}  // namespace http_detail

using namespace http_detail;

void SetHttpProgress(HttpProgress progress) {
  std::lock_guard lock(g_progressMutex);
  g_progress = std::move(progress);
}

// --- Start-up and errors ---------------------------------------------------------------

bool StartWinsock() {
  if (!os::StartSockets()) {
    if (CurrentProfile().DebugFlag) WriteLog("WSAStartup> %s", "WSAStartup failed. Error: 0");
    return false;
  }
  WriteLogVerbose("WSAStartup> ok");
  return true;
}

void StopWinsock() {
  WriteLog("Deinit Winsock");
  os::StopSockets();
}

int LogSocketError(int code) {
  WriteLog("Error [%d] %s", code, os::SocketErrorText(code).c_str());
  return code;
}

namespace {

// "Socket Error: %d", with the system's words for it.
void SetSocketErrorMessage(DownloadJob& job, const os::Connection& connection) {
  const int code = connection.TimedOut() ? ETIMEDOUT : connection.Error();
  LogSocketError(code);
  SetJobMessage(job, "Socket Error: %d (%s)", code, os::SocketErrorText(code).c_str());
}

}  // namespace

bool ConnectServer(std::string_view host, int port, os::Connection& connection) {
  if (host.empty() || host[0] == '\t' || host[0] == ' ') {
    WriteLog("Host name has error.");
    return false;
  }
  if (port <= 0) {
    WriteLog("Port number has error. [%d]", port);
    return false;
  }
  const std::string name(host);
  WriteLogVerbose("Connect Server: %s [%d]", name.c_str(), port);
  os::GetDesktop().StatusText(SJ("接続中"));
  switch (connection.Connect(name, port, TimeOutMs())) {
    case os::ConnectStatus::Ok:
      WriteLogVerbose("Connected. Ok.");
      return true;
    case os::ConnectStatus::NoSocket:
      LogSocketError(connection.Error());
      WriteLog("> %s", SJ("ソケットを作成できませんでした").c_str());
      return false;
    case os::ConnectStatus::SendTimeoutFailed:
      LogSocketError(connection.Error());
      WriteLog("> setsockopt(SO_SNDTIMEO) faild.");
      return false;
    case os::ConnectStatus::ReceiveTimeoutFailed:
      LogSocketError(connection.Error());
      WriteLog("> setsockopt(SO_RCVTIMEO) faild.");
      return false;
    case os::ConnectStatus::HostNotFound:
      LogSocketError(connection.Error());
      WriteLog("> [%s]%s", name.c_str(), SJ("というホストを検出できませんでした").c_str());
      return false;
    case os::ConnectStatus::ConnectFailed:
      LogSocketError(connection.Error());
      WriteLog("> %s : %s", SJ("接続できませんでした").c_str(), name.c_str());
      return false;
  }
  return false;
}

// --- Request ---------------------------------------------------------------------------------

namespace {

// Blanks and control bytes of a request target as %XX: a raw blank or line
// break would end the request line early.
std::string EscapeTarget(std::string_view target) {
  std::string out;
  out.reserve(target.size());
  for (char c : target) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == ' ') {
      out += "%20";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string RequestPath(std::string_view requestUrl) {
  size_t scheme = requestUrl.find("://");
  if (scheme == std::string_view::npos) return std::string(requestUrl);
  size_t path = requestUrl.find_first_of("/?", scheme + 3);
  if (path == std::string_view::npos) return "/";
  if (requestUrl[path] == '?') return "/" + std::string(requestUrl.substr(path));
  return std::string(requestUrl.substr(path));
}

int DefaultPort(std::string_view url) { return IsHttpsUrl(url) ? 443 : 80; }

}  // namespace

std::string BuildRequest(const DownloadJob& job, std::string_view method, std::string_view protocol,
                         bool absoluteTarget) {
  const Profile& profile = CurrentProfile();
  const std::string path = EscapeTarget(RequestPath(job.RequestURL));
  const std::string target = absoluteTarget ? EscapeTarget(job.RequestURL) : path;
  WriteLogVerbose("SendReqeuest [%s]", std::string(method).c_str());
  WriteLogVerbose("Target: %s", path.c_str());

  std::string text;
  text.reserve(512);
  text.append(method).append(" ").append(target).append(" ");
  text.append(HeaderSafe(protocol.substr(0, 9))).append("\r\n");

  text.append("Host: ").append(HeaderSafe(job.Host));
  const std::string_view base = RequestBaseUrl(job);
  const int port = EffectivePort(job);
  if (port < 1)
    text.append(":80");
  else if (port != DefaultPort(base))
    text.append(":").append(std::to_string(port));

  text.append("\r\nUser-Agent: ");
  if (!profile.UserAgent.empty()) {
    text.append(HeaderSafe(profile.UserAgent));
  } else {
    char agent[32];
    std::snprintf(agent, sizeof agent, "Zentu/%.2lf", kZentuVersion);
    text.append(agent);
  }

  if (!AddReferrer(job.RequestURL, text) && job.SourceURL.find("://") != std::string::npos)
    text.append("\r\nReferer: ").append(HeaderSafe(job.SourceURL));

  if (profile.UseCookie) {
    WriteLogVerbose("Cookie using");
    if (auto line = GetCookieLine(job.Host, job.RequestURL)) {
      WriteLogVerbose(">> %s", line->c_str());
      text.append("\r\n").append(HeaderSafe(*line));
    }
  }

  text.append("\r\nAccept: */*");
  if (profile.UseAcceptLanguage)
    text.append("\r\nAccept-Language: ").append(HeaderSafe(profile.AcceptLanguage.substr(0, 99)));
  if (method == "GET") text.append("\r\nPragma: no-cache");

  std::string user, password;
  if (FindPassword(job.URL, user, password) && !user.empty() && !password.empty())
    text.append("\r\nAuthorization: Basic ").append(EncodeBase64(user + ":" + password));

  text.append("\r\nConnection: Close");
  WriteLogVerbose("%s", text.c_str());
  text.append("\r\n\r\n");
  return text;
}

int SendRequest(DownloadJob& job, os::Connection& connection, std::string_view method,
                std::string_view protocol, bool absoluteTarget) {
  const std::string text = BuildRequest(job, method, protocol, absoluteTarget);
  os::GetDesktop().StatusText(SJ("リクエスト中"));
  if (!connection.SendAll(text)) {
    SetSocketErrorMessage(job, connection);
    return kHttpRetry;
  }
  return kHttpOk;
}

// --- Receiving ---------------------------------------------------------------------------------

std::string BodyFileOf(std::string_view tempFile) { return std::string(tempFile) + ".body"; }

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
  enum class Outcome { Running, Complete, HeadTooLong, ChunkError, Truncated, SizeOver, WriteError };

  Spooler(const std::string& headPath, bool headOnly, int sizeUpTo)
      : headPath_(headPath), headOnly_(headOnly), sizeUpTo_(sizeUpTo) {}

  bool Open() { return head_.Open(headPath_, os::File::Mode::Write); }

  Outcome outcome() const { return outcome_; }
  uint64_t bodyBytes() const { return bodyBytes_; }
  int64_t contentLength() const { return info_.contentLength; }

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
      if (!head_.Close()) return Fail(Outcome::WriteError);
      info_ = InspectHead(std::string_view(headData_).substr(0, end));
      if (headOnly_ || !WantsBody(info_.status)) return Finish(true);
      if (sizeUpTo_ > 0 && info_.contentLength >= 0 &&
          static_cast<uint64_t>(info_.contentLength) / 1024 > static_cast<uint64_t>(sizeUpTo_))
        return Finish(true);  // the header check refuses it
      if (!body_.Open(BodyFileOf(headPath_), os::File::Mode::Write)) return Fail(Outcome::WriteError);
      phase_ = info_.chunked ? Phase::ChunkSize : Phase::Body;
      std::string rest = headData_.substr(end);
      headData_.clear();
      headData_.shrink_to_fit();
      if (info_.contentLength == 0 && !info_.chunked) return Finish(true);
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
        Finish(true);
        return;
      case Phase::Trailer:
        Finish(true);  // the last chunk came; a missing end of the trailer loses nothing
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

  bool WriteHeadBytes(std::string_view bytes) { return head_.IsOpen() && head_.Write(bytes); }

  bool Finish(bool ok) {
    if (!ok) return Fail(Outcome::WriteError);
    phase_ = Phase::Done;
    outcome_ = Outcome::Complete;
    return false;
  }

  bool Fail(Outcome outcome) {
    phase_ = Phase::Done;
    outcome_ = outcome;
    return false;
  }

  bool WriteBody(const char* data, size_t size) {
    if (size == 0) return true;
    if (!body_.Write(std::string_view(data, size))) return Fail(Outcome::WriteError);
    bodyBytes_ += size;
    if (sizeUpTo_ > 0 && bodyBytes_ / 1024 > static_cast<uint64_t>(sizeUpTo_)) return Fail(Outcome::SizeOver);
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
          if (info_.contentLength >= 0 && bodyBytes_ == static_cast<uint64_t>(info_.contentLength))
            return Finish(true);
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
          if (blank) return Finish(true);
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
  bool headOnly_;
  int sizeUpTo_;
  os::File head_, body_;
  Phase phase_ = Phase::Head;
  Outcome outcome_ = Outcome::Running;
  std::string headData_;
  size_t lineStart_ = 0;
  HeadInfo info_;
  uint64_t bodyBytes_ = 0;
  uint64_t chunkLeft_ = 0;
  uint64_t trailerBytes_ = 0;
  std::string line_;
};

void DeleteSpooledFiles(const std::string& path) {
  const std::string body = BodyFileOf(path);
  if (os::PathExists(body)) (void)os::DeleteFile(body);
  if (os::PathExists(path)) (void)os::DeleteFile(path);
}

constexpr size_t kReceiveBuffer = 256 * 1024;

}  // namespace

int ReceiveResponse(DownloadJob& job, os::Connection& connection, int kind) {
  const std::string dir = TempDirectory();
  if (!os::DirectoryExists(dir)) {
    WriteLog("Create folder: %s", dir.c_str());
    if (!os::CreateDirectories(dir)) SetJobMessage(job, "Can't create folder: %s", dir.c_str());
  }
  const std::string path = NewTempFileName(dir);
  WriteLogVerbose("# Receiving [%s]", path.c_str());

  Spooler spooler(path, kind == kHttpHead, job.SizeUpTo);
  if (!spooler.Open()) {
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
      DeleteSpooledFiles(path);
      SetSocketErrorMessage(job, connection);
      return kHttpRetry;
    }
    if (n == 0) {
      spooler.End();
      break;
    }
    total += static_cast<uint64_t>(n);
    ReportProgress(job, total);
    if (!spooler.Feed(buffer.get(), static_cast<size_t>(n))) break;
  }
  const bool closed = spooler.Close();

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
    case Spooler::Outcome::WriteError:
      WriteLog("Can't write file: %s", path.c_str());
      SetJobMessage(job, "Can't write file: %s", path.c_str());
      result = kHttpRetry;
      break;
  }
  if (result != kHttpOk) {
    DeleteSpooledFiles(path);
    return result;
  }
  WriteLogVerbose("# Received ok. [%s]", path.c_str());
  job.TempFile = path;
  return kHttpOk;
}

// --- Storing the body -----------------------------------------------------------------------------

namespace {

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && StartsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

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
  if (!job.DirName.empty() && !os::DirectoryExists(job.DirName) && !os::CreateDirectories(job.DirName)) {
    SetJobMessage(job, "%s%s", SJ("フォルダ作成に失敗しました: ").c_str(), job.DirName.c_str());
    return kHttpRetry;
  }
  // The body is in a file of its own when this client received it; a spooled
  // response of the classic form has it behind the head.
  const std::string bodyFile = BodyFileOf(job.TempFile);
  const bool separate = !job.TempFile.empty() && os::FileExists(bodyFile);
  os::File in;
  if (job.TempFile.empty() || !in.Open(separate ? bodyFile : job.TempFile, os::File::Mode::Read)) {
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

  if (separate && !CurrentProfile().StoreTempData) {
    // The whole body file becomes the local file at once: one rename, no copy.
    char first[8];
    size_t got = in.Read(first, sizeof first);
    CheckPng(job, first, got);
    const int64_t size = in.Size();
    in.Close();
    if (os::RenameFile(bodyFile, job.LocalFile)) return FinishStore(job, size > 0 ? static_cast<uint64_t>(size) : 0);
    // Another file system, or a name in the way: copy below.
    if (!in.Open(bodyFile, os::File::Mode::Read)) {
      WriteLog("Can't open temp file [%s]", job.TempFile.c_str());
      SetJobMessage(job, "Can't open temp file");
      return kHttpRetry;
    }
  }

  const std::string part = job.LocalFile + ".part";
  os::File out;
  if (!out.Open(part, os::File::Mode::Write)) {
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

// --- The whole request ------------------------------------------------------------------------

namespace {

// The system proxy for a request: https_proxy for https URLs when it is set,
// otherwise http_proxy, which on the classic system served every scheme.
SystemProxy SystemProxyFor(bool https) {
  if (https) {
    for (const char* name : {"https_proxy", "HTTPS_PROXY"}) {
      const char* value = std::getenv(name);
      if (value && *value) return ParseProxySetting(value);
    }
  }
  return ReadSystemProxy();
}

std::string Authority(const std::string& host, int port) {
  std::string h = host;
  if (h.find(':') != std::string::npos && h.front() != '[') h = "[" + h + "]";
  return h + ":" + std::to_string(port);
}

// Asks the proxy for a tunnel to host:port. 1 open, 0 a socket error or
// time-out (message set), -1 the proxy refused.
int OpenTunnel(DownloadJob& job, os::Connection& connection, const std::string& host, int port) {
  const std::string authority = Authority(host, port);
  std::string request = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n\r\n";
  if (!connection.SendAll(request)) {
    SetSocketErrorMessage(job, connection);
    return kHttpRetry;
  }
  std::string head;
  char buffer[4096];
  size_t end = std::string::npos;
  while (end == std::string::npos) {
    long n = connection.Receive(buffer, sizeof buffer);
    if (n < 0) {
      SetSocketErrorMessage(job, connection);
      return kHttpRetry;
    }
    if (n == 0) break;
    head.append(buffer, static_cast<size_t>(n));
    end = FindHeadEnd(head);
    if (end == std::string::npos && head.size() > 16384) break;
  }
  const HeadInfo info = InspectHead(head.substr(0, end));
  if (end == std::string::npos || info.status < 200 || info.status > 299) {
    std::string first = head.substr(0, head.find_first_of("\r\n"));
    WriteLog("> CONNECT %s: %s", authority.c_str(), first.substr(0, 200).c_str());
    return kHttpFailed;
  }
  return kHttpOk;
}

}  // namespace

namespace http_detail {

Exchange RunExchange(DownloadJob& job, int kind, bool storeRedirects, bool keepTemp) {
  Exchange ex;
  WriteLogVerbose("HttpReuest: %s", job.URL.c_str());
  job.ViaProxy = false;
  job.TempFile.clear();

  const Profile& profile = CurrentProfile();
  const std::string_view base = RequestBaseUrl(job);
  const bool https = IsHttpsUrl(base);
  const int port = EffectivePort(job);
  const std::string protocol = profile.Protocol.substr(0, 9);

  std::string proxyHost;
  int proxyPort = 0;
  bool proxied = false;
  bool systemProxy = false;
  if (profile.UseIEProxySetting) {
    SystemProxy proxy = SystemProxyFor(https);
    if (proxy.valid) {
      proxyHost = proxy.host;
      proxyPort = proxy.port;
      proxied = systemProxy = true;
    }
  } else if (profile.UseProxy) {
    proxyHost = profile.ProxyServer;
    proxyPort = profile.ProxyPort;
    proxied = true;
  }

  os::Connection connection;
  if (proxied) {
    if (!ConnectServer(proxyHost, proxyPort, connection)) {
      WriteLog("> %s %s:%d", SJ("プロキシサーバへの接続に失敗しました").c_str(), proxyHost.c_str(), proxyPort);
      SetJobMessage(job, "%s %s:%d", SJ("プロキシサーバへの接続に失敗しました").c_str(), proxyHost.c_str(),
                    proxyPort);
      return ex;
    }
    job.ViaProxy = systemProxy;
  } else {
    if (job.Host.empty()) {
      WriteLog("> %s", SJ("サーバ名がありません").c_str());
      SetJobMessage(job, "%s", SJ("サーバ名がありません").c_str());
      return ex;
    }
    if (!ConnectServer(job.Host, port, connection)) {
      WriteLog("> %s %s:%d", SJ("サーバへの接続に失敗しました").c_str(), job.Host.c_str(), port);
      SetJobMessage(job, "%s %s:%d", SJ("サーバへの接続に失敗しました").c_str(), job.Host.c_str(), port);
      return ex;
    }
  }

  if (https) {
    if (proxied) {
      int r = OpenTunnel(job, connection, job.Host, port);
      if (r == kHttpFailed) {
        SetJobMessage(job, "%s %s:%d", SJ("プロキシサーバへの接続に失敗しました").c_str(), proxyHost.c_str(),
                      proxyPort);
      }
      if (r != kHttpOk) {
        ex.result = r;
        return ex;
      }
    }
    std::string reason;
    switch (connection.StartTls(job.Host, reason)) {
      case os::TlsStatus::Ok:
        break;
      case os::TlsStatus::CertificateError:
        WriteLog("> %s%s (%s)", SJ("証明書を確認できません: ").c_str(), job.Host.c_str(), reason.c_str());
        SetJobMessage(job, "%s%s (%s)", SJ("証明書を確認できません: ").c_str(), job.Host.c_str(), reason.c_str());
        ex.keepMessage = true;
        return ex;
      case os::TlsStatus::TimedOut:
        SetSocketErrorMessage(job, connection);
        ex.result = kHttpRetry;
        return ex;
      case os::TlsStatus::Failed:
        WriteLog("> %s%s (%s)", SJ("TLS接続に失敗しました: ").c_str(), job.Host.c_str(), reason.c_str());
        SetJobMessage(job, "%s%s (%s)", SJ("TLS接続に失敗しました: ").c_str(), job.Host.c_str(), reason.c_str());
        ex.keepMessage = true;
        return ex;
    }
  }

  // A proxy takes the whole URL; inside a tunnel the server gets its own form.
  const bool absoluteTarget = proxied && !https;
  int result = SendRequest(job, connection, kind == kHttpHead ? "HEAD" : "GET", protocol, absoluteTarget);
  if (result > 0) result = ReceiveResponse(job, connection, kind);
  connection.Close();
  if (result > 0) result = ParseResponseHeader(job);
  if (kind == kHttpGet && result > 0 && (storeRedirects || !IsRedirect(job))) {
    result = StoreBody(job);
    if (result == kHttpFailed) ex.keepMessage = true;
  }
  if (!keepTemp) RemoveTempFiles(job);
  ex.result = result;
  return ex;
}

}  // namespace http_detail

int HttpRequest(DownloadJob& job, int kind) { return RunExchange(job, kind, false, false).result; }

bool MapJobLocation(DownloadJob& job) {
  UrlMapProfile map = CaptureProfile(CurrentProfile().dirs.data);
  map.convertArchivePaths = CurrentProfile().ConvertPathForArchiveOrg;
  UrlLocation location;
  if (!MapUrlToLocation(job.URL, map, location)) return false;
  job.Host = location.hostName;
  job.Port = location.port;
  job.RequestURL = location.urlNoFragment;
  job.BaseURL = location.url;
  job.LocalLink = location.localLink;
  job.DirName = location.localDirectory;
  job.LocalFile = location.localPath;
  return true;
}

}  // namespace zentu
