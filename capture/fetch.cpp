// The HTTP exchange on a request and its response: the connection (kept,
// direct, through a proxy and its tunnel, TLS), the request text, the answer
// and its head. The capture's jobs come here through http_exchange.cpp.
#include "capture/fetch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "capture/cookies.h"
#include "capture/http.h"
#include "capture/http_internal.h"
#include "capture/rules.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/version.h"
#include "pagelib/url.h"
#include "store/profile.h"

namespace zentu {

using namespace http_detail;

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

std::string BuildRequest(const FetchRequest& request, const FetchEndpoint& endpoint, std::string_view method,
                         std::string_view protocol, bool absoluteTarget) {
  const Profile& profile = CurrentProfile();
  const std::string path = EscapeTarget(RequestPath(endpoint.requestUrl));
  const std::string target = absoluteTarget ? EscapeTarget(endpoint.requestUrl) : path;
  WriteLogVerbose("SendReqeuest [%s]", std::string(method).c_str());
  WriteLogVerbose("Target: %s", path.c_str());

  std::string text;
  text.reserve(512);
  text.append(method).append(" ").append(target).append(" ");
  text.append(HeaderSafe(protocol.substr(0, 9))).append("\r\n");

  text.append("Host: ").append(HeaderSafe(endpoint.host));
  const std::string_view base = RequestBaseUrl(request.url, endpoint);
  const int port = EffectivePort(request.url, endpoint);
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

  if (!AddReferrer(endpoint.requestUrl, text) && request.referrer.find("://") != std::string::npos)
    text.append("\r\nReferer: ").append(HeaderSafe(request.referrer));

  if (profile.UseCookie) {
    WriteLogVerbose("Cookie using");
    if (auto line = GetCookieLine(endpoint.host, endpoint.requestUrl)) {
      WriteLogVerbose(">> %s", line->c_str());
      text.append("\r\n").append(HeaderSafe(*line));
    }
  }

  text.append("\r\nAccept: */*");
  if (profile.UseAcceptLanguage)
    text.append("\r\nAccept-Language: ").append(HeaderSafe(profile.AcceptLanguage.substr(0, 99)));
  if (method == "GET") text.append("\r\nPragma: no-cache");

  std::string user, password;
  if (FindPassword(request.url, user, password) && !user.empty() && !password.empty())
    text.append("\r\nAuthorization: Basic ").append(EncodeBase64(user + ":" + password));

  // The body is decoded as it arrives; the connection serves the next request.
  text.append("\r\nAccept-Encoding: gzip, deflate");
  text.append("\r\nConnection: keep-alive");
  WriteLogVerbose("%s", text.c_str());
  text.append("\r\n\r\n");
  return text;
}

// --- The exchange ------------------------------------------------------------------------------

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
int OpenTunnel(const FetchRequest& request, FetchResponse& response, os::Connection& connection,
               const std::string& host, int port) {
  const std::string authority = Authority(host, port);
  std::string text = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n\r\n";
  if (!connection.SendAll(text)) return TransferFailure(request.url, response.message, connection);
  std::string head;
  char buffer[4096];
  size_t end = std::string::npos;
  while (end == std::string::npos) {
    long n = connection.Receive(buffer, sizeof buffer);
    if (n < 0) return TransferFailure(request.url, response.message, connection);
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

int SendText(const FetchRequest& request, FetchResponse& response, os::Connection& connection,
             const std::string& text) {
  os::GetDesktop().StatusText(SJ("リクエスト中"));
  if (!connection.SendAll(text)) return TransferFailure(request.url, response.message, connection);
  return kHttpOk;
}

// The exchange itself, on a request whose endpoint is known. Returns the
// result; the response holds the rest.
int RunFetch(const FetchRequest& request, const FetchEndpoint& endpoint, BodySink& sink, FetchResponse& response) {
  WriteLogVerbose("HttpReuest: %s", request.url.c_str());
  const Profile& profile = CurrentProfile();
  const std::string_view base = RequestBaseUrl(request.url, endpoint);
  const bool https = IsHttpsUrl(base);
  const int port = EffectivePort(request.url, endpoint);
  const std::string protocol = profile.Protocol.substr(0, 9);
  const std::string& host = endpoint.host;
  const os::TransferStop* stop = request.stop;

  std::string proxyHost;
  int proxyPort = 0;
  bool proxied = false;
  bool systemProxy = false;
  if (profile.UseIEProxySetting) {
    // The system's bypass list sends its hosts straight to them.
    SystemProxy proxy = SystemProxyBypassed(host, port) ? SystemProxy{} : SystemProxyFor(https);
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

  int failed = kHttpFailed;  // the result when `open` fails
  os::Connection connection;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(TransferTimeLimitSeconds());
  // A stop during the connect is no failure of the server.
  auto stopped = [&] {
    if (!connection.Stopped()) return false;
    failed = TransferFailure(request.url, response.message, connection);
    return true;
  };
  auto say = [&](const std::string& what, const std::string& where, int at) {
    WriteLog("> %s %s:%d", what.c_str(), where.c_str(), at);
    FormatMessage(response.message, "%s %s:%d", what.c_str(), where.c_str(), at);
  };
  // Connects, through the proxy and its tunnel, with TLS; false with `failed` set.
  auto open = [&]() -> bool {
    connection.WatchStop(stop);
    connection.LimitTransfer(deadline);
    if (proxied) {
      if (!ConnectServer(proxyHost, proxyPort, connection)) {
        if (stopped()) return false;
        say(SJ("プロキシサーバへの接続に失敗しました"), proxyHost, proxyPort);
        return false;
      }
      response.viaProxy = systemProxy;
    } else {
      if (host.empty()) {
        WriteLog("> %s", SJ("サーバ名がありません").c_str());
        FormatMessage(response.message, "%s", SJ("サーバ名がありません").c_str());
        return false;
      }
      if (!ConnectServer(host, port, connection)) {
        if (stopped()) return false;
        say(SJ("サーバへの接続に失敗しました"), host, port);
        return false;
      }
    }

    if (https) {
      if (proxied) {
        int r = OpenTunnel(request, response, connection, host, port);
        if (r == kHttpFailed) {
          FormatMessage(response.message, "%s %s:%d", SJ("プロキシサーバへの接続に失敗しました").c_str(),
                        proxyHost.c_str(), proxyPort);
        }
        if (r != kHttpOk) {
          failed = r;
          response.keepMessage = r == kHttpFailed && connection.OverLimit();
          return false;
        }
      }
      std::string reason;
      const os::TlsStatus tls = connection.StartTls(host, reason);
      if (tls != os::TlsStatus::Ok && (connection.Stopped() || connection.OverLimit())) {
        failed = TransferFailure(request.url, response.message, connection);
        response.keepMessage = failed == kHttpFailed;
        return false;
      }
      switch (tls) {
        case os::TlsStatus::Ok:
          break;
        case os::TlsStatus::CertificateError:
          WriteLog("> %s%s (%s)", SJ("証明書を確認できません: ").c_str(), host.c_str(), reason.c_str());
          FormatMessage(response.message, "%s%s (%s)", SJ("証明書を確認できません: ").c_str(), host.c_str(),
                        reason.c_str());
          response.keepMessage = true;
          return false;
        case os::TlsStatus::TimedOut:
          SetSocketErrorMessage(response.message, connection);
          failed = kHttpRetry;
          return false;
        case os::TlsStatus::Failed:
          WriteLog("> %s%s (%s)", SJ("TLS接続に失敗しました: ").c_str(), host.c_str(), reason.c_str());
          FormatMessage(response.message, "%s%s (%s)", SJ("TLS接続に失敗しました: ").c_str(), host.c_str(),
                        reason.c_str());
          response.keepMessage = true;
          return false;
      }
    }
    return true;
  };

  // A connection kept from an earlier answer of the same server saves the
  // connect and the handshake.
  std::string key = (proxied ? proxyHost + ":" + std::to_string(proxyPort) : host + ":" + std::to_string(port));
  if (https) key += "|tls:" + host + ":" + std::to_string(port);
  bool reused = TakeIdleConnection(key, connection);
  if (reused) {
    connection.WatchStop(stop);
    connection.LimitTransfer(deadline);
    response.viaProxy = systemProxy;
    WriteLogVerbose("Connection reused: %s", key.c_str());
  } else if (!open()) {
    return failed;
  }

  // A proxy takes the whole URL; inside a tunnel the server gets its own form.
  const bool absoluteTarget = proxied && !https;
  const char* method = request.head ? "HEAD" : "GET";
  const std::string messageBefore = response.message;
  ReceiveInfo info;
  int result = SendText(request, response, connection, BuildRequest(request, endpoint, method, protocol, absoluteTarget));
  if (result > 0) result = ReceiveAnswer(request, connection, sink, response, info);
  if (reused && result >= kHttpRetry && info.bytes == 0 && !connection.Stopped()) {
    // The server closed the kept connection before it answered (it may close
    // idle ones whenever it likes): once more on a new one, and no trial counts.
    WriteLogVerbose("> The kept connection was closed; asking again on a new one");
    connection.Close();
    response.message = messageBefore;
    if (!open()) return failed;
    result = SendText(request, response, connection, BuildRequest(request, endpoint, method, protocol, absoluteTarget));
    if (result > 0) result = ReceiveAnswer(request, connection, sink, response, info);
  }
  if (result == kHttpOk && info.reusable)
    KeepIdleConnection(key, std::move(connection));
  else
    connection.Close();
  // A final failure of the transfer itself (its bounds) says more than "Not Found.".
  if (result == kHttpFailed) response.keepMessage = true;
  if (result > 0) {
    WriteLogVerbose("# Receive Header Data .....");
    result = ParseResponseHead(response, info.head, request.sizeUpTo > 0 ? request.sizeUpTo : 0, request.xmlIsText);
  }
  return result;
}

}  // namespace

FetchResponse Fetch(const FetchRequest& given) {
  FetchResponse response;
  FetchRequest request = given;
  if (!request.stop) request.stop = &GetDownloadManager().transferStop;
  if (!request.endpoint) {
    // The plain form: the URL mapped as the capture maps it, the limit from maxBody.
    request.url = os::CutSjis(request.url, kMaxUrlLength);
    request.referrer = os::CutSjis(request.referrer, kMaxUrlLength);
    UrlLocation location;
    if (!MapUrlToLocation(request.url, CaptureMapProfile(), location)) {
      response.message = "URL has error.";
      return response;
    }
    request.endpoint = FetchEndpoint{location.hostName, location.port, location.urlNoFragment};
  }
  if (request.sizeUpTo < 0)
    request.sizeUpTo = static_cast<int>(std::max<uint64_t>(1, (request.maxBody + 1023) / 1024));

  MemorySink memory(response.body);
  BodySink& sink = request.sink ? *request.sink : memory;
  response.result = RunFetch(request, *request.endpoint, sink, response);
  response.status = response.fields.status;
  response.contentType = response.fields.contentType;
  response.lastModified = response.fields.modified;
  if (!response.fields.movedUrl.empty())
    response.location = AbsoluteLocation(request.url, *request.endpoint, response.fields.movedUrl);
  if (!request.sink) {
    if (response.result != kHttpOk || request.head) response.body.clear();
    if (response.body.size() > request.maxBody) {
      response.body.clear();
      response.result = kHttpSizeOver;
    }
  }
  return response;
}

}  // namespace zentu
