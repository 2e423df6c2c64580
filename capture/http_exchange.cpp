// One request of the HTTP client: start-up, connection, request text, proxy
// tunnel and TLS, and the exchange that ties them to receiving and storing.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "capture/cookies.h"
#include "capture/http.h"
#include "capture/http_internal.h"
#include "capture/rules.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/socket.h"
#include "os/version.h"
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

int TransferFailure(DownloadJob& job, const os::Connection& connection) {
  if (connection.Stopped()) {
    WriteLog("> Transfer stopped: %s", job.URL.c_str());
    SetJobMessage(job, "Stopped.");
    return kHttpStopped;
  }
  if (connection.OverLimit()) {
    WriteLog("> Transfer time over [%d s]: %s", TransferTimeLimitSeconds(), job.URL.c_str());
    SetJobMessage(job, "Transfer time over [%d s]", TransferTimeLimitSeconds());
    return kHttpFailed;
  }
  SetSocketErrorMessage(job, connection);
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

void SetSocketErrorMessage(DownloadJob& job, const os::Connection& connection) {
  const int code = connection.TimedOut() ? ETIMEDOUT : connection.Error();
  LogSocketError(code);
  SetJobMessage(job, "Socket Error: %d (%s)", code, os::SocketErrorText(code).c_str());
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
    text.append("Zentu/" + os::VersionNumberText());
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

  // The body is decoded as it arrives; the connection serves the next request.
  text.append("\r\nAccept-Encoding: gzip, deflate");
  text.append("\r\nConnection: keep-alive");
  WriteLogVerbose("%s", text.c_str());
  text.append("\r\n\r\n");
  return text;
}

int SendRequest(DownloadJob& job, os::Connection& connection, std::string_view method,
                std::string_view protocol, bool absoluteTarget) {
  const std::string text = BuildRequest(job, method, protocol, absoluteTarget);
  os::GetDesktop().StatusText(SJ("リクエスト中"));
  if (!connection.SendAll(text)) return TransferFailure(job, connection);
  return kHttpOk;
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
  if (!connection.SendAll(request)) return TransferFailure(job, connection);
  std::string head;
  char buffer[4096];
  size_t end = std::string::npos;
  while (end == std::string::npos) {
    long n = connection.Receive(buffer, sizeof buffer);
    if (n < 0) return TransferFailure(job, connection);
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

Exchange RunExchange(DownloadJob& job, int kind, Store store, bool keepTemp, const os::TransferStop* stop) {
  Exchange ex;
  WriteLogVerbose("HttpReuest: %s", job.URL.c_str());
  job.ViaProxy = false;
  job.TempFile.clear();
  job.BodyFile.clear();

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
    // The system's bypass list sends its hosts straight to them.
    SystemProxy proxy = SystemProxyBypassed(job.Host, port) ? SystemProxy{} : SystemProxyFor(https);
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(TransferTimeLimitSeconds());
  // A stop during the connect is no failure of the server.
  auto stopped = [&] {
    if (!connection.Stopped()) return false;
    ex.result = TransferFailure(job, connection);
    return true;
  };
  // Connects, through the proxy and its tunnel, with TLS; false with `ex` set.
  auto open = [&]() -> bool {
    connection.WatchStop(stop);
    connection.LimitTransfer(deadline);
    if (proxied) {
      if (!ConnectServer(proxyHost, proxyPort, connection)) {
        if (stopped()) return false;
        WriteLog("> %s %s:%d", SJ("プロキシサーバへの接続に失敗しました").c_str(), proxyHost.c_str(), proxyPort);
        SetJobMessage(job, "%s %s:%d", SJ("プロキシサーバへの接続に失敗しました").c_str(), proxyHost.c_str(),
                      proxyPort);
        return false;
      }
      job.ViaProxy = systemProxy;
    } else {
      if (job.Host.empty()) {
        WriteLog("> %s", SJ("サーバ名がありません").c_str());
        SetJobMessage(job, "%s", SJ("サーバ名がありません").c_str());
        return false;
      }
      if (!ConnectServer(job.Host, port, connection)) {
        if (stopped()) return false;
        WriteLog("> %s %s:%d", SJ("サーバへの接続に失敗しました").c_str(), job.Host.c_str(), port);
        SetJobMessage(job, "%s %s:%d", SJ("サーバへの接続に失敗しました").c_str(), job.Host.c_str(), port);
        return false;
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
          ex.keepMessage = r == kHttpFailed && connection.OverLimit();
          return false;
        }
      }
      std::string reason;
      const os::TlsStatus tls = connection.StartTls(job.Host, reason);
      if (tls != os::TlsStatus::Ok && (connection.Stopped() || connection.OverLimit())) {
        ex.result = TransferFailure(job, connection);
        ex.keepMessage = ex.result == kHttpFailed;
        return false;
      }
      switch (tls) {
        case os::TlsStatus::Ok:
          break;
        case os::TlsStatus::CertificateError:
          WriteLog("> %s%s (%s)", SJ("証明書を確認できません: ").c_str(), job.Host.c_str(), reason.c_str());
          SetJobMessage(job, "%s%s (%s)", SJ("証明書を確認できません: ").c_str(), job.Host.c_str(), reason.c_str());
          ex.keepMessage = true;
          return false;
        case os::TlsStatus::TimedOut:
          SetSocketErrorMessage(job, connection);
          ex.result = kHttpRetry;
          return false;
        case os::TlsStatus::Failed:
          WriteLog("> %s%s (%s)", SJ("TLS接続に失敗しました: ").c_str(), job.Host.c_str(), reason.c_str());
          SetJobMessage(job, "%s%s (%s)", SJ("TLS接続に失敗しました: ").c_str(), job.Host.c_str(), reason.c_str());
          ex.keepMessage = true;
          return false;
      }
    }
    return true;
  };

  // A connection kept from an earlier answer of the same server saves the
  // connect and the handshake.
  std::string key = (proxied ? proxyHost + ":" + std::to_string(proxyPort) : job.Host + ":" + std::to_string(port));
  if (https) key += "|tls:" + job.Host + ":" + std::to_string(port);
  bool reused = TakeIdleConnection(key, connection);
  if (reused) {
    connection.WatchStop(stop);
    connection.LimitTransfer(deadline);
    job.ViaProxy = systemProxy;
    WriteLogVerbose("Connection reused: %s", key.c_str());
  } else if (!open()) {
    return ex;
  }

  // A proxy takes the whole URL; inside a tunnel the server gets its own form.
  const bool absoluteTarget = proxied && !https;
  const char* method = kind == kHttpHead ? "HEAD" : "GET";
  const std::string messageBefore = job.Message;
  ReceiveInfo info;
  const bool beside = store != Store::Never;
  int result = SendRequest(job, connection, method, protocol, absoluteTarget);
  if (result > 0) result = ReceiveResponseInfo(job, connection, kind, info, beside);
  if (reused && result >= kHttpRetry && info.bytes == 0 && !connection.Stopped()) {
    // The server closed the kept connection before it answered (it may close
    // idle ones whenever it likes): once more on a new one, and no trial counts.
    WriteLogVerbose("> The kept connection was closed; asking again on a new one");
    connection.Close();
    job.Message = messageBefore;
    if (!open()) return ex;
    result = SendRequest(job, connection, method, protocol, absoluteTarget);
    if (result > 0) result = ReceiveResponseInfo(job, connection, kind, info, beside);
  }
  if (result == kHttpOk && info.reusable)
    KeepIdleConnection(key, std::move(connection));
  else
    connection.Close();
  // A final failure of the transfer itself (its bounds) says more than "Not Found.".
  if (result == kHttpFailed) ex.keepMessage = true;
  if (result > 0) {
    WriteLogVerbose("# Receive Header Data .....");
    result = ParseResponseHead(job, info.head);
  }
  if (kind == kHttpGet && result > 0 && store != Store::Never &&
      (store == Store::Always || !IsRedirect(job))) {
    result = StoreBody(job);
    if (result == kHttpFailed) ex.keepMessage = true;
  }
  if (!keepTemp) RemoveTempFiles(job);
  ex.result = result;
  return ex;
}

}  // namespace http_detail

int HttpRequest(DownloadJob& job, int kind) {
  return RunExchange(job, kind, Store::NotRedirects, false, &GetDownloadManager().transferStop).result;
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
