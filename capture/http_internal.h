// Helpers shared by the parts of the HTTP client (fetch.cpp, http_*.cpp); not for other modules.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/fetch.h"
#include "capture/http.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/text.h"

namespace zentu::http_detail {

using os::ContainsNoCase;
using os::SJ;
using os::EndsWithNoCase;
using os::StartsWithNoCase;

// printf-style into `message`, as SetJobMessage does; an empty format changes nothing.
void FormatMessage(std::string& message, const char* format, ...) __attribute__((format(printf, 2, 3)));

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

// The URL whose scheme and authority the request uses (the request URL when
// it is absolute, else `url`).
std::string_view RequestBaseUrl(std::string_view url, const FetchEndpoint& endpoint);
bool IsHttpsUrl(std::string_view url);
// The port written in the URL's authority; 0 when it names none.
int ExplicitPort(std::string_view url);
// The port to connect to: the endpoint's, but 443 for https without one.
int EffectivePort(std::string_view url, const FetchEndpoint& endpoint);

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

// What ReceiveAnswer saw beyond its result.
struct ReceiveInfo {
  uint64_t bytes = 0;     // bytes received, head included
  bool reusable = false;  // the answer ended exactly and the server keeps the connection
  std::string head;       // the response head as received (cut at kMaxResponseHead)
};
// Receives one answer into `sink`: the head kept in `info`, the body
// decoded. Stops at the end of the body as the head announces it, after the
// head for HEAD and for answers that carry no body worth keeping. Results as
// ReceiveResponse's; messages go to `response.message`.
int ReceiveAnswer(const FetchRequest& request, os::Connection& connection, BodySink& sink, FetchResponse& response,
                  ReceiveInfo& info);

// The body in a string (the plain Fetch).
class MemorySink final : public BodySink {
 public:
  explicit MemorySink(std::string& body) : body_(body) {}
  int Prepare(std::string&) override {
    body_.clear();
    return 1;
  }
  std::string Name() const override { return {}; }
  bool WriteHead(std::string_view) override { return true; }
  bool OpenBody() override { return true; }
  bool WriteBody(std::string_view bytes) override {
    body_.append(bytes);
    return true;
  }
  bool Finish() override { return true; }
  void Discard() override { body_.clear(); }

 private:
  std::string& body_;
};

// The temporary directory "%s\\Temp" of the data directory.
std::string TempDirectory();

// Removes CR, LF and other control bytes that would let a text end a header line.
std::string HeaderSafe(std::string_view text);

// "Socket Error: %d (text)" for the connection's last failure, logged too.
void SetSocketErrorMessage(std::string& message, const os::Connection& connection);

// The bounds of SetTransferLimits now in force.
int TransferTimeLimitSeconds();
uint64_t MaxBodyBytes();

// Why a send or receive on the connection failed, as the message and
// result: kHttpStopped for the stop, kHttpFailed past the whole-transfer
// bound, else kHttpRetry with the socket error. `url` names it in the log.
int TransferFailure(std::string_view url, std::string& message, const os::Connection& connection);

// --- The job side ----------------------------------------------------------------

// Calls the progress handler, when one is set.
void ReportProgress(const DownloadJob& job, uint64_t bytes);

// Where the job's request goes, and the request itself.
FetchEndpoint EndpointOf(const DownloadJob& job);
FetchRequest RequestForJob(const DownloadJob& job, int kind, const os::TransferStop* stop);
// The head of an answer onto the job (the fields of an earlier answer go).
void ApplyHead(DownloadJob& job, const ResponseHead& head);

// The body of a job's answer: spooled to "<local file>.part" when `beside`
// allows and the name is free (so storing it is a rename inside its own
// folder), else to Data\Temp\<stamp>.dat.body; the head kept in
// Data\Temp\<stamp>.dat when StoreTempData asks. On arrival it names the
// files in the job's TempFile and BodyFile.
class SpoolSink final : public BodySink {
 public:
  SpoolSink(DownloadJob& job, int kind, bool beside) : job_(job), kind_(kind), besideLocal_(beside) {}
  ~SpoolSink() override;
  int Prepare(std::string& message) override;
  std::string Name() const override { return path_; }
  bool WriteHead(std::string_view head) override;
  bool OpenBody() override;
  bool WriteBody(std::string_view bytes) override;
  bool Finish() override;
  void Discard() override;
  void Received() override;

 private:
  void Close();
  DownloadJob& job_;
  int kind_;
  bool besideLocal_;
  bool beside_ = false;  // `body_` is a claimed name beside the local file
  bool bodyMade_ = false;  // the body file was made (a body came, or its head said one would)
  std::string path_, body_;
  os::File headFile_, bodyFile_;
};

// The result of a job's exchange.
struct Exchange {
  int result = kHttpFailed;
  // A final failure whose message says more than "Not Found." (certificate,
  // local file): the procedures keep it.
  bool keepMessage = false;
};
// The job's request through Fetch, the answer mapped onto the job and, for a
// GET that is no redirect with a Location, the body stored at the local file.
// Temporary files are removed before returning unless StoreTempData is on or
// `keepTemp` is set (the caller then removes them with RemoveTempFiles).
// `stop` (may be null) ends the transfer at once.
Exchange RunExchange(DownloadJob& job, int kind, bool keepTemp, const os::TransferStop* stop);
void RemoveTempFiles(DownloadJob& job);
// Frees the name of a body spooled beside its local file for the next job.
void ReleaseBeside(std::string_view path);
// Where the body of the job's last response lies.
inline std::string ReceivedBodyFile(const DownloadJob& job) {
  return job.BodyFile.empty() ? BodyFileOf(job.TempFile) : job.BodyFile;
}
bool IsRedirect(const DownloadJob& job);

}  // namespace zentu::http_detail
