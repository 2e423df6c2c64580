// Zentu's HTTP client as the capture jobs see it. The exchange itself knows
// no job (capture/fetch.h: Fetch on a request and its response); the
// functions here map a DownloadJob onto a request, run it with the body
// spooled to a temporary file, put the answer's head back into the job and
// decide the job's next status. A GET then stores the body at the job's
// local file. https URLs go over TLS (os/tls.h), through a CONNECT tunnel
// when a proxy is used.
//
// Results of the request functions: 1 success, 0 transient failure (the job is
// retried), -1 final failure, -3 refused by the size limit.
//
// Called from the check and download threads at the same time, each with its
// own job copy; nothing is shared between requests but the profile, the rule
// lists and the queue. Texts are Shift_JIS, paths program paths.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture/job.h"
#include "os/socket.h"
#include "pagelib/url.h"

namespace zentu {

enum HttpKind : int {
  kHttpHead = 1,
  kHttpGet = 2,
};

enum HttpResult : int {
  kHttpStopped = -4,  // the user's stop or the shutdown ended the transfer; the job waits as it was
  kHttpSizeOver = -3,
  kHttpFailed = -1,
  kHttpRetry = 0,
  kHttpOk = 1,
};

// The response head read before the body is spooled is cut off here: a server
// that never ends its header cannot fill the disk or hold a worker.
inline constexpr size_t kMaxResponseHead = 64 * 1024;
// Bounds of one transfer, whatever the server does. The time-out (TimeOut)
// ends a transfer when no byte arrives for that long; these end one that
// trickles on or never ends. Both end the job as failed: a retry would only
// repeat it.
inline constexpr int kTransferTimeLimitSeconds = 30 * 60;    // connect to last byte
inline constexpr uint64_t kMaxBodyBytes = 2ull << 30;        // 2 GiB, stored or not
// Redirects followed from the URL first asked for; the next one fails the job.
inline constexpr int kMaxRedirects = 20;
// Tests shorten the bounds; 0 restores a default.
void SetTransferLimits(int seconds, uint64_t maxBodyBytes);

// The social-network service whose own user ID the site download asks for.
inline constexpr char kSnsProfileUrl[] = "https://sns.example.jp/show_profile.pl";
inline constexpr char kSnsFriendLink[] = "list_friend.pl?id=";

// --- Start-up and errors ---------------------------------------------------

// Socket set-up at start-up: logs "WSAStartup> ok" (verbose) or the failure.
bool StartWinsock();
// Closes the connections kept open for later requests (stop, shutdown).
void CloseKeptConnections();
// Logs "Deinit Winsock".
void StopWinsock();
// Logs "Error [%d] %s" with the code and its system text; returns the code.
int LogSocketError(int code);

// --- The exchange --------------------------------------------------------------

// Connects to host:port with the profile's time-out; logs why it failed.
[[nodiscard]] bool ConnectServer(std::string_view host, int port, os::Connection& connection);

// The whole request of a job: connection, request, response, header and, for
// GET, the body. The temporary files are gone afterwards unless the profile's
// StoreTempData keeps them. A 301/302 answer with a Location leaves the local
// file as it was (the redirect's own body is not a copy of the page).
// Stopping the program's download manager ends its transfer at once.
int HttpRequest(DownloadJob& job, int kind);

// The request text. `absoluteTarget`: the request goes to a proxy, which
// wants the whole URL as its target.
std::string BuildRequest(const DownloadJob& job, std::string_view method, std::string_view protocol,
                         bool absoluteTarget);
// Sends BuildRequest's text. 1 sent, 0 on a socket error (message set).
int SendRequest(DownloadJob& job, os::Connection& connection, std::string_view method,
                std::string_view protocol, bool absoluteTarget);

// Receives the response into a new file in the temporary directory: the head
// into TempFile, the body (decoded when chunked) into BodyFileOf(TempFile).
// Stops at the end of the body as the head announces it, after the head for
// HEAD and for answers that carry no body worth keeping. 1 received; 0 on a
// socket error, a time-out, a head over kMaxResponseHead, bad chunked data or
// a body cut short; -3 when a body without a length passes the size limit;
// -1 past the transfer's bounds (time, kMaxBodyBytes) or when the spool
// folder lies behind a link; -4 when the transfer was stopped.
int ReceiveResponse(DownloadJob& job, os::Connection& connection, int kind = kHttpGet);
// Where ReceiveResponse puts the body of TempFile.
std::string BodyFileOf(std::string_view tempFile);

// Parses the head in TempFile into the job. 1 accepted, 0 no header (or a
// passing server error, 500/502/503/504), -1 a status that is not accepted,
// -3 a Content-Length over the size limit.
int ParseResponseHeader(DownloadJob& job);
// Takes the status code into Connection; true for 200, 202, 203, 301, 302.
bool ParseStatusLine(DownloadJob& job, std::string_view line);

// Stores the body at LocalFile: written under LocalFile + ".part" and renamed,
// so the final name never holds half a file. 1 stored, 0 a passing failure
// (folder, temporary file, disk), -1 the local file cannot be made.
int StoreBody(DownloadJob& job);

// --- Dates -------------------------------------------------------------------

// Reads an RFC 1123 date ("Sun, 06 Nov 1994 08:49:37 GMT"); the day of week
// and milliseconds are 0. False when a field is missing or out of range.
bool ParseHttpDate(std::string_view text, SystemTime& time, std::string* zone = nullptr);
// SYSTEMTIME (UTC) to FILETIME; 0 when the time is not valid.
uint64_t SystemTimeToFileTime(const SystemTime& time);

// --- The worker procedures --------------------------------------------------

// The check step: HEAD, then redirect, "Not Modified." or waiting for download.
int HeadProcedure(DownloadJob& job, DownloadManager& manager = GetDownloadManager());
// The download step: GET, then redirect, analysis or complete.
int GetProcedure(DownloadJob& job, DownloadManager& manager = GetDownloadManager());
// Marks the job failed and its URL item as an error item.
void EndErrorProcedure(DownloadJob& job, DownloadManager& manager = GetDownloadManager());

// A Location value made absolute against the job's RequestURL: "/x" takes the
// scheme, host and port of the request, "//h/x" its scheme, "x" its directory.
// Cut to kMaxUrlLength.
std::string AbsoluteMovedURL(const DownloadJob& job, std::string_view location);

// The URL a HEAD request for `url` is redirected to, or `url` itself; "" for
// an input of 3 characters or fewer.
std::string ResolveMovedURL(std::string_view url);

// Fetches the service's own-profile page and returns the user ID of the first
// friend-page link on it ("...list_friend.pl?id=<digits>").
std::optional<std::string> DetectSnsUserId(std::string_view profileUrl = kSnsProfileUrl);

// --- Helpers ---------------------------------------------------------------------

// RFC 4648 Base64 with "=" padding.
std::string EncodeBase64(std::string_view data);

// How captures map URLs to local files: below the data directory, with the
// profile's archive-path rule.
UrlMapProfile CaptureMapProfile();

// Fills Host, Port, RequestURL, BaseURL, LocalLink, DirName and LocalFile from
// URL with the capture mapping (the first step of job initialisation). False
// when the URL cannot be mapped.
bool MapJobLocation(DownloadJob& job);

// Readies `file` (the job's local file, or a name beside it) to be written
// below the data directory: missing folders are made, a link in the file's
// place is removed. 1 ready; -1 the place lies outside the data directory or
// behind a symbolic link (logged, message set; a retry cannot help); 0 a
// folder could not be made (message set).
enum class LocalWrite { File, FileInExistingFolder, Folder };
int PrepareLocalWrite(DownloadJob& job, std::string_view file, LocalWrite what = LocalWrite::File);

// Called with the running byte count while a response arrives, and with the
// stored size at the end of StoreBody (the download manager window shows it).
// Called on the worker's thread. An empty function turns it off.
using HttpProgress = std::function<void(const DownloadJob& job, uint64_t bytes)>;
void SetHttpProgress(HttpProgress progress);

}  // namespace zentu
