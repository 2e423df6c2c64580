// Helpers shared by the parts of the HTTP client (http_*.cpp); not for other modules.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/http.h"
#include "os/cp932.h"
#include "os/text.h"

namespace zentu::http_detail {

using os::ContainsNoCase;
using os::SJ;
using os::EndsWithNoCase;
using os::StartsWithNoCase;

// Offset just behind the line that ends the head (the first line that is
// empty or starts with CR or LF), or npos when `data` holds no such line.
size_t FindHeadEnd(std::string_view data);

// What the spooler needs of a head before the body arrives.
struct HeadInfo {
  int status = 0;              // 0 when the first line has no code
  int64_t contentLength = -1;  // -1 when absent (or ignored for chunked)
  bool chunked = false;
  // The server lets the connection stay open after this answer: HTTP/1.1
  // unless "Connection: close", HTTP/1.0 only with "Connection: keep-alive".
  bool keepAlive = false;
  enum class Coding { Identity, Gzip, Deflate, Other } coding = Coding::Identity;
};
HeadInfo InspectHead(std::string_view head);
// The first run of up to 20 digits as a number; saturates instead of overflowing.
uint64_t ParseLength(std::string_view value);

// The URL whose scheme and authority the request uses (RequestURL when it is
// absolute, else URL).
std::string_view RequestBaseUrl(const DownloadJob& job);
bool IsHttpsUrl(std::string_view url);
// The port written in the URL's authority; 0 when it names none.
int ExplicitPort(std::string_view url);
// The port to connect to: the job's Port, but 443 for https without one.
int EffectivePort(const DownloadJob& job);

// The profile's TimeOut in milliseconds: 0 = no time-out, 60 s when negative.
int TimeOutMs();

// Idle connections kept for the next request to the same server, keyed by
// where they lead ("host:port", with the TLS host for a tunnel). A taken
// connection is the caller's; one handed back must have ended its answer
// exactly. Idle ones are dropped after kIdleKeep or when the peer closes.
inline constexpr int kIdleKeepMs = 15000;
bool TakeIdleConnection(const std::string& key, os::Connection& connection);
void KeepIdleConnection(const std::string& key, os::Connection&& connection);
// Closes every idle connection (stop, shutdown, tests); the number closed.
size_t CloseIdleConnections();

// What ReceiveResponse saw beyond its result.
struct ReceiveInfo {
  uint64_t bytes = 0;     // bytes received, head included
  bool reusable = false;  // the answer ended exactly and the server keeps the connection
  std::string head;       // the response head as received (cut at kMaxResponseHead)
};
// ParseResponseHeader on a head at hand.
int ParseResponseHead(DownloadJob& job, std::string_view data);
// `besideLocal`: the body is for the job's local file and may wait beside it.
int ReceiveResponseInfo(DownloadJob& job, os::Connection& connection, int kind, ReceiveInfo& info,
                        bool besideLocal = false);

// The temporary directory "%s\\Temp" of the data directory.
std::string TempDirectory();

// Removes CR, LF and other control bytes that would let a text end a header line.
std::string HeaderSafe(std::string_view text);

// "Socket Error: %d (text)" for the connection's last failure, logged too.
void SetSocketErrorMessage(DownloadJob& job, const os::Connection& connection);

// The bounds of SetTransferLimits now in force.
int TransferTimeLimitSeconds();
uint64_t MaxBodyBytes();

// Why a send or receive on the connection failed, as the job's message and
// result: kHttpStopped for the stop, kHttpFailed past the whole-transfer
// bound, else kHttpRetry with the socket error.
int TransferFailure(DownloadJob& job, const os::Connection& connection);

// Calls the progress handler, when one is set.
void ReportProgress(const DownloadJob& job, uint64_t bytes);

// The request of HttpRequest without its clean-up, for the procedures.
struct Exchange {
  int result = kHttpFailed;
  // A final failure whose message says more than "Not Found." (certificate,
  // local file): the procedures keep it.
  bool keepMessage = false;
};
// What a GET does with the body it received.
enum class Store {
  Always,        // StoreBody at the job's local file
  NotRedirects,  // the same, but not for a redirect with a Location
  Never,         // left in the spooled body file (the caller reads it; keepTemp)
};
// Connect, send, receive and parse; for GET also StoreBody as `store` says.
// Temporary files are removed before returning unless StoreTempData is on or
// `keepTemp` is set (the caller then removes them with RemoveTempFiles).
// `stop` (may be null) ends the transfer at once.
Exchange RunExchange(DownloadJob& job, int kind, Store store, bool keepTemp, const os::TransferStop* stop);
void RemoveTempFiles(DownloadJob& job);
// Frees the name of a body spooled beside its local file for the next job.
void ReleaseBeside(std::string_view path);
// Where the body of the job's last response lies.
inline std::string ReceivedBodyFile(const DownloadJob& job) {
  return job.BodyFile.empty() ? BodyFileOf(job.TempFile) : job.BodyFile;
}
bool IsRedirect(const DownloadJob& job);

}  // namespace zentu::http_detail
