// Helpers shared by the parts of the HTTP client (http_*.cpp); not for other modules.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/http.h"

namespace zentu::http_detail {

// Shift_JIS form of a UTF-8 literal, converted once per call site's literal.
const std::string& SJ(const char* utf8);

bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool ContainsNoCase(std::string_view text, std::string_view needle);

// Offset just behind the line that ends the head (the first line that is
// empty or starts with CR or LF), or npos when `data` holds no such line.
size_t FindHeadEnd(std::string_view data);

// What the spooler needs of a head before the body arrives.
struct HeadInfo {
  int status = 0;              // 0 when the first line has no code
  int64_t contentLength = -1;  // -1 when absent (or ignored for chunked)
  bool chunked = false;
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

// The temporary directory "%s\\Temp" of the data directory.
std::string TempDirectory();

// Removes CR, LF and other control bytes that would let a text end a header line.
std::string HeaderSafe(std::string_view text);

// "Socket Error: %d (text)" for the connection's last failure, logged too.
void SetSocketErrorMessage(DownloadJob& job, const os::Connection& connection);

// Calls the progress handler, when one is set.
void ReportProgress(const DownloadJob& job, uint64_t bytes);

// The request of HttpRequest without its clean-up, for the procedures.
struct Exchange {
  int result = kHttpFailed;
  // A final failure whose message says more than "Not Found." (certificate,
  // local file): the procedures keep it.
  bool keepMessage = false;
};
// Connect, send, receive and parse; for GET also StoreBody unless
// `storeRedirects` is false and the answer is a redirect with a Location.
// Temporary files are removed before returning unless StoreTempData is on or
// `keepTemp` is set (the caller then removes them with RemoveTempFiles).
Exchange RunExchange(DownloadJob& job, int kind, bool storeRedirects, bool keepTemp);
void RemoveTempFiles(DownloadJob& job);
bool IsRedirect(const DownloadJob& job);

}  // namespace zentu::http_detail
