// The HTTP client's start-up, connections and errors, and the job side of an
// exchange: a job mapped onto a FetchRequest, the answer mapped back onto
// the job, the body stored at its local file.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "capture/http.h"
#include "capture/http_internal.h"
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
std::atomic<int> g_transferSeconds{kTransferTimeLimitSeconds};
std::atomic<uint64_t> g_maxBody{kMaxBodyBytes};
}  // namespace

int TransferTimeLimitSeconds() { return g_transferSeconds.load(); }
uint64_t MaxBodyBytes() { return g_maxBody.load(); }

void FormatMessage(std::string& message, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessageV(message, format, args);
  va_end(args);
}

int TransferFailure(std::string_view url, std::string& message, const os::Connection& connection) {
  const std::string name(url);
  if (connection.Stopped()) {
    WriteLog("> Transfer stopped: %s", name.c_str());
    FormatMessage(message, "Stopped.");
    return kHttpStopped;
  }
  if (connection.OverLimit()) {
    WriteLog("> Transfer time over [%d s]: %s", TransferTimeLimitSeconds(), name.c_str());
    FormatMessage(message, "Transfer time over [%d s]", TransferTimeLimitSeconds());
    return kHttpFailed;
  }
  SetSocketErrorMessage(message, connection);
  return kHttpRetry;
}

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
  switch (job.Connection) {
    case 301:
    case 302:
    case 303:
    case 307:
    case 308:
      return !job.MovedURL.empty();
    default:
      return false;
  }
}

void RemoveTempFiles(DownloadJob& job) {
  if (!job.BodyFile.empty()) {
    if (os::PathExists(job.BodyFile)) (void)os::DeleteFile(job.BodyFile);
    ReleaseBeside(job.BodyFile);
    job.BodyFile.clear();
  }
  if (CurrentProfile().StoreTempData || job.TempFile.empty()) return;
  const std::string body = BodyFileOf(job.TempFile);
  if (os::PathExists(body)) (void)os::DeleteFile(body);
  if (os::PathExists(job.TempFile)) (void)os::DeleteFile(job.TempFile);
}

}  // namespace http_detail

using namespace http_detail;

void SetTransferLimits(int seconds, uint64_t maxBodyBytes) {
  g_transferSeconds = seconds > 0 ? seconds : kTransferTimeLimitSeconds;
  g_maxBody = maxBodyBytes > 0 ? maxBodyBytes : kMaxBodyBytes;
}

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

void CloseKeptConnections() { (void)CloseIdleConnections(); }

void StopWinsock() {
  WriteLog("Deinit Winsock");
  CloseKeptConnections();
  os::StopSockets();
}

int LogSocketError(int code) {
  WriteLog("Error [%d] %s", code, os::SocketErrorText(code).c_str());
  return code;
}

namespace http_detail {

void SetSocketErrorMessage(std::string& message, const os::Connection& connection) {
  const int code = connection.TimedOut() ? ETIMEDOUT : connection.Error();
  LogSocketError(code);
  FormatMessage(message, "Socket Error: %d (%s)", code, os::SocketErrorText(code).c_str());
}

}  // namespace http_detail

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

// --- The job side of an exchange -------------------------------------------------------

namespace http_detail {

FetchEndpoint EndpointOf(const DownloadJob& job) { return FetchEndpoint{job.Host, job.Port, job.RequestURL}; }

FetchRequest RequestForJob(const DownloadJob& job, int kind, const os::TransferStop* stop) {
  FetchRequest request;
  request.url = job.URL;
  request.head = kind == kHttpHead;
  request.referrer = job.SourceURL;
  request.stop = stop;
  request.endpoint = EndpointOf(job);
  request.sizeUpTo = job.SizeUpTo > 0 ? job.SizeUpTo : 0;
  request.xmlIsText = job.Type == kJobTypeRss || job.Type == kJobTypeOpml;
  return request;
}

void ApplyHead(DownloadJob& job, const ResponseHead& head) {
  job.Connection = head.status;
  job.Flag = head.flag;
  job.Size = head.size;
  job.Modified = head.modified;
  job.LastModifiedTime = head.lastModifiedTime;
  job.ServerDate = head.serverDate;
  job.MovedURL = head.movedUrl;
  job.ContentEncoding = head.contentEncoding;
  job.ContentType = head.contentType;
  job.HeaderLength = head.headerLength;
}

Exchange RunExchange(DownloadJob& job, int kind, bool keepTemp, const os::TransferStop* stop) {
  job.ViaProxy = false;
  job.TempFile.clear();
  job.BodyFile.clear();
  FetchRequest request = RequestForJob(job, kind, stop ? stop : &GetDownloadManager().transferStop);
  request.progress = [&job](uint64_t bytes) { ReportProgress(job, bytes); };
  // The body waits beside its local file, or in Data\Temp.
  SpoolSink sink(job, kind, true);
  request.sink = &sink;
  const FetchResponse response = Fetch(request);
  job.ViaProxy = response.viaProxy;
  if (!response.message.empty()) job.Message = response.message;
  if (response.parsed) ApplyHead(job, response.fields);

  Exchange ex{response.result, response.keepMessage};
  // The body of a redirect is no copy of the page: the local file stays as it was.
  if (kind == kHttpGet && ex.result > 0 && !IsRedirect(job)) {
    ex.result = StoreBody(job);
    if (ex.result == kHttpFailed) ex.keepMessage = true;
  }
  if (!keepTemp) RemoveTempFiles(job);
  return ex;
}

}  // namespace http_detail

std::string BuildRequest(const DownloadJob& job, std::string_view method, std::string_view protocol,
                         bool absoluteTarget) {
  return BuildRequest(RequestForJob(job, kHttpGet, nullptr), EndpointOf(job), method, protocol, absoluteTarget);
}

int SendRequest(DownloadJob& job, os::Connection& connection, std::string_view method,
                std::string_view protocol, bool absoluteTarget) {
  const std::string text = BuildRequest(job, method, protocol, absoluteTarget);
  os::GetDesktop().StatusText(SJ("リクエスト中"));
  if (!connection.SendAll(text)) return TransferFailure(job.URL, job.Message, connection);
  return kHttpOk;
}

int HttpRequest(DownloadJob& job, int kind) {
  return RunExchange(job, kind, false, &GetDownloadManager().transferStop).result;
}

UrlMapProfile CaptureMapProfile() {
  const Profile& p = CurrentProfile();
  UrlMapProfile map = CaptureProfile(p.dirs.data);
  map.convertArchivePaths = p.ConvertPathForArchiveOrg;
  return map;
}

int PrepareLocalWrite(DownloadJob& job, std::string_view file, LocalWrite what) {
  const std::string path(file);
  const std::string& data = CurrentProfile().dirs.data;
  const os::BelowStatus status = what == LocalWrite::Folder ? os::PrepareFolderBelow(data, path)
                                 : os::PrepareFileBelow(data, path, what == LocalWrite::File);
  switch (status) {
    case os::BelowStatus::Ok: return 1;
    case os::BelowStatus::Outside:
      WriteLog("> Refused: %s lies outside the data folder", path.c_str());
      SetJobMessage(job, "%s%s", SJ("データフォルダの外には保存しません: ").c_str(), path.c_str());
      return -1;
    case os::BelowStatus::Link:
      WriteLog("> Refused: a symbolic link leads %s elsewhere", path.c_str());
      SetJobMessage(job, "%s%s", SJ("シンボリックリンクの先には保存しません: ").c_str(), path.c_str());
      return -1;
    case os::BelowStatus::Failed: break;
  }
  SetJobMessage(job, "%s%s", SJ("フォルダ作成に失敗しました: ").c_str(), job.DirName.c_str());
  return 0;
}

bool MapJobLocation(DownloadJob& job) {
  UrlLocation location;
  if (!MapUrlToLocation(job.URL, CaptureMapProfile(), location)) return false;
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
