// Response heads: the status line, the header fields the capture uses, HTTP
// dates; and the small text helpers of the client.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "capture/http.h"
#include "capture/http_internal.h"
#include "os/clock.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "store/profile.h"

namespace zentu {
namespace http_detail {

size_t FindHeadEnd(std::string_view data) {
  size_t line = 0;
  while (line < data.size()) {
    size_t lf = data.find('\n', line);
    if (data[line] == '\r' || data[line] == '\n') return lf == std::string_view::npos ? std::string_view::npos : lf + 1;
    if (lf == std::string_view::npos) return std::string_view::npos;
    line = lf + 1;
  }
  return std::string_view::npos;
}

uint64_t ParseLength(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && !std::isdigit(static_cast<unsigned char>(value[i]))) ++i;
  uint64_t n = 0;
  for (int digits = 0; i < value.size() && digits < 20 && std::isdigit(static_cast<unsigned char>(value[i]));
       ++i, ++digits) {
    uint64_t d = static_cast<uint64_t>(value[i] - '0');
    if (n > (UINT64_MAX - d) / 10) return UINT64_MAX;
    n = n * 10 + d;
  }
  return n;
}

namespace {

// Calls `visit(name, value, line)` for each header line of a head (status line excluded).
template <typename Visit>
void ForEachField(std::string_view head, Visit visit) {
  size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    size_t start = pos + 1;
    if (head[start] == '\r' || head[start] == '\n') break;
    size_t lf = head.find('\n', start);
    std::string_view line = head.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
    for (int k = 0; k < 2 && !line.empty() && (line.back() == '\r' || line.back() == '\n'); ++k)
      line.remove_suffix(1);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      visit(line.substr(0, colon), value, line);
    }
    pos = lf;
  }
}

// The code after the first blank when a blank follows it; 0 otherwise.
int StatusCodeOf(std::string_view line, bool* wellFormed) {
  *wellFormed = false;
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return 0;
  size_t i = blank + 1;
  int code = 0, digits = 0;
  while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
    if (++digits > 9) return 0;
    code = code * 10 + (line[i] - '0');
    ++i;
  }
  if (digits == 0 || i >= line.size() || line[i] != ' ') return code;
  *wellFormed = true;
  return code;
}

}  // namespace

HeadInfo InspectHead(std::string_view head) {
  HeadInfo info;
  std::string_view first = head.substr(0, head.find('\n'));
  bool wellFormed = false;
  if (StartsWithNoCase(first, "HTTP")) {
    while (!first.empty() && (first.back() == '\r')) first.remove_suffix(1);
    info.status = StatusCodeOf(first, &wellFormed);
  }
  int64_t length = -1;
  // HTTP/1.1 keeps the connection unless told otherwise; 1.0 only when asked.
  info.keepAlive = wellFormed && StartsWithNoCase(first, "HTTP/1.1");
  ForEachField(head, [&](std::string_view name, std::string_view value, std::string_view) {
    if (name.size() == 10 && StartsWithNoCase(name, "connection")) {
      if (ContainsNoCase(value, "close")) info.keepAlive = false;
      else if (ContainsNoCase(value, "keep-alive") && wellFormed) info.keepAlive = true;
    } else if (StartsWithNoCase(name, "content-encoding")) {
      std::string_view v = value;
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
      if (v.empty() || (v.size() == 8 && StartsWithNoCase(v, "identity"))) info.coding = HeadInfo::Coding::Identity;
      else if ((v.size() == 4 && StartsWithNoCase(v, "gzip")) || (v.size() == 6 && StartsWithNoCase(v, "x-gzip")))
        info.coding = HeadInfo::Coding::Gzip;
      else if (v.size() == 7 && StartsWithNoCase(v, "deflate")) info.coding = HeadInfo::Coding::Deflate;
      else info.coding = HeadInfo::Coding::Other;
    } else if (StartsWithNoCase(name, "content-length")) {
      uint64_t n = ParseLength(value);
      length = n > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(n);
    } else if (StartsWithNoCase(name, "transfer-encoding") && ContainsNoCase(value, "chunked")) {
      info.chunked = true;
    }
  });
  // A chunked body carries its own lengths; a Content-Length beside it is ignored.
  info.contentLength = info.chunked ? -1 : length;
  return info;
}

std::string_view RequestBaseUrl(std::string_view url, const FetchEndpoint& endpoint) {
  if (endpoint.requestUrl.find("://") != std::string::npos) return endpoint.requestUrl;
  return url;
}

bool IsHttpsUrl(std::string_view url) { return StartsWithNoCase(url, "https://"); }

int ExplicitPort(std::string_view url) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return 0;
  std::string_view authority = url.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return 0;
    authority.remove_prefix(close + 1);
  }
  size_t colon = authority.find(':');
  if (colon == std::string_view::npos) return 0;
  int port = 0;
  for (size_t i = colon + 1, digits = 0; i < authority.size() && digits < 9; ++i, ++digits) {
    if (!std::isdigit(static_cast<unsigned char>(authority[i]))) break;
    port = port * 10 + (authority[i] - '0');
  }
  return port;
}

int EffectivePort(std::string_view url, const FetchEndpoint& endpoint) {
  std::string_view base = RequestBaseUrl(url, endpoint);
  if (IsHttpsUrl(base) && ExplicitPort(base) <= 0) return 443;
  return endpoint.port;
}

int TimeOutMs() {
  // 0 is the sockets' own "no time-out"; only a negative value has no meaning.
  int ms = CurrentProfile().TimeOut;
  return ms >= 0 ? ms : 60000;
}

std::string TempDirectory() { return CurrentProfile().dirs.data + "\\Temp"; }

std::string HeaderSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out.push_back(c);
  return out;
}

}  // namespace http_detail

using namespace http_detail;

// --- Status line -----------------------------------------------------------------

bool ParseStatusLine(ResponseHead& head, std::string_view line) {
  bool wellFormed = false;
  int code = StatusCodeOf(line, &wellFormed);
  if (!wellFormed) {
    WriteLog("No status code");
    return false;
  }
  head.status = code;
  switch (code) {
    case 200:
    case 202:
    case 203:
    case 302:
      return true;
    case 301:
      WriteLogVerbose("$ Moved Permanently [%d]", code);
      return true;
    // Today's sites move pages with these as often as with 301 and 302; for
    // HEAD and GET they mean the same, so they are followed alike.
    case 303:
    case 307:
    case 308:
      WriteLogVerbose("$ Moved [%d]", code);
      return true;
    default:
      break;
  }
  static const struct {
    int code;
    const char* text;
  } kNotSupported[] = {
      {100, "Continue"},       {101, "Switching Protcorls"}, {201, "Created"},
      {204, "No Content"},     {205, "Reset Content"},       {206, "Portial Content"},
      {300, "Multiple Choice"}, {304, "Not Modified"},
      {305, "Use Proxy"},      {306, "Unused Status"},
  };
  for (const auto& row : kNotSupported) {
    if (row.code == code) {
      WriteLogVerbose("$ Not Supported : %s [%d]", row.text, code);
      break;
    }
  }
  return false;
}

bool ParseStatusLine(DownloadJob& job, std::string_view line) {
  ResponseHead head;
  head.status = job.Connection;
  const bool accepted = ParseStatusLine(head, line);
  job.Connection = head.status;
  return accepted;
}

// --- Dates -------------------------------------------------------------------------

namespace {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool ValidSystemTime(const SystemTime& t) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return t.year >= 1601 && t.year <= 30827 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= kDays[t.month - 1] && t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 &&
         t.second >= 0 && t.second < 60 && t.milliseconds >= 0 && t.milliseconds < 1000;
}

// Reads a decimal number of at most 6 digits at text[i]; false without one.
bool ReadNumber(std::string_view text, size_t& i, int& value) {
  size_t start = i;
  value = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - start < 6)
    value = value * 10 + (text[i++] - '0');
  return i > start;
}

void SkipBlanks(std::string_view text, size_t& i) {
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
}

}  // namespace

bool ParseHttpDate(std::string_view text, SystemTime& time, std::string* zone) {
  time = SystemTime{};
  if (zone) zone->clear();
  size_t i = 0;
  while (i < text.size() && !std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (!ReadNumber(text, i, day)) return false;
  SkipBlanks(text, i);
  std::string month;
  while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i])) && month.size() < 16)
    month.push_back(os::AsciiLower(text[i++]));
  SkipBlanks(text, i);
  if (!ReadNumber(text, i, year)) return false;
  SkipBlanks(text, i);
  if (!ReadNumber(text, i, hour) || i >= text.size() || text[i++] != ':') return false;
  if (!ReadNumber(text, i, minute) || i >= text.size() || text[i++] != ':') return false;
  if (!ReadNumber(text, i, second)) return false;
  SkipBlanks(text, i);
  if (zone) {
    while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n')
      zone->push_back(text[i++]);
  }
  static const std::string_view kMonths = "janfebmaraprmayjunjulaugsepoctnovdec";
  size_t at = month.size() == 3 ? kMonths.find(month) : std::string_view::npos;
  if (at == std::string_view::npos || at % 3 != 0) return false;
  time.year = year;
  time.month = static_cast<int>(at / 3) + 1;
  time.day = day;
  time.hour = hour;
  time.minute = minute;
  time.second = second;
  if (!ValidSystemTime(time)) {
    time = SystemTime{};
    return false;
  }
  return true;
}

uint64_t SystemTimeToFileTime(const SystemTime& t) {
  if (!ValidSystemTime(t)) return 0;
  int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
  int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  // 1601-01-01 is 11644473600 s before 1970-01-01.
  return static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ull +
         static_cast<uint64_t>(t.milliseconds) * 10000ull;
}

// --- Header ---------------------------------------------------------------------------

int ParseResponseHeader(DownloadJob& job) {
  WriteLogVerbose("# Receive Header Data .....");
  // Values of an earlier response (a HEAD before this GET, a run before a
  // re-arm) must not pass for this one's.
  ApplyHead(job, ResponseHead{});
  os::File file;
  if (job.TempFile.empty() || !file.Open(job.TempFile, os::File::Mode::Read)) {
    SetJobMessage(job, "Can't open file: %s", job.TempFile.c_str());
    return kHttpRetry;
  }
  // Only the head matters here, and it was cut at kMaxResponseHead on arrival.
  std::string data(kMaxResponseHead, '\0');
  data.resize(file.Read(data.data(), data.size()));
  file.Close();
  FetchResponse response;
  const int result = ParseResponseHead(response, data, job.SizeUpTo > 0 ? job.SizeUpTo : 0,
                                       job.Type == kJobTypeRss || job.Type == kJobTypeOpml);
  ApplyHead(job, response.fields);
  if (!response.message.empty()) job.Message = response.message;
  return result;
}

int ParseResponseHead(FetchResponse& response, std::string_view data, int sizeUpTo, bool xmlIsText) {
  // Each head is judged alone: a malformed status line stores no code, so an
  // earlier 5xx must not decide for it.
  response.parsed = true;
  response.fields = ResponseHead{};
  ResponseHead& h = response.fields;
  std::string& message = response.message;
  int result = kHttpOk;
  const size_t headEnd = FindHeadEnd(data);
  std::string_view head(data.data(), headEnd == std::string::npos ? data.size() : headEnd);

  bool started = false;
  bool chunked = false;
  size_t pos = 0;
  bool first = true;
  while (pos < head.size()) {
    if (head[pos] == '\r' || head[pos] == '\n') break;
    size_t lf = head.find('\n', pos);
    std::string_view line = head.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    pos = lf == std::string_view::npos ? head.size() : lf + 1;
    for (int k = 0; k < 2 && !line.empty() && (line.back() == '\r' || line.back() == '\n'); ++k)
      line.remove_suffix(1);
    WriteLogVerbose("$ header = %s", std::string(line.substr(0, 2047)).c_str());
    if (first) {
      first = false;
      if (!line.empty() && line[0] == '<') {
        WriteLog("Header Error...");
        break;
      }
      if (!StartsWithNoCase(line, "HTTP")) {
        WriteLog("Header Error ...");
        break;
      }
      started = true;
      if (!ParseStatusLine(h, line)) {
        const int code = h.status;
        if (code == 500 || code == 502 || code == 503 || code == 504) {
          // The server's trouble, not the page's: worth another try later.
          WriteLog("$ Server Error [%d]", code);
          FormatMessage(message, "Server Error [%d]", code);
          result = kHttpRetry;
        } else {
          result = kHttpFailed;
        }
      }
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);

    if (StartsWithNoCase(name, "last-modified")) {
      SystemTime t;
      std::string lower(value);
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ParseHttpDate(lower, t)) {
        h.lastModifiedTime = SystemTimeToFileTime(t);
        h.modified = os::DateTimeText(os::GetClock().ToLocal(os::UnixFromFileTime(h.lastModifiedTime)));
      }
    } else if (StartsWithNoCase(name, "Location")) {
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
      h.movedUrl = os::CutSjis(HeaderSafe(value), kMaxUrlLength);
    } else if (StartsWithNoCase(name, "date")) {
      std::string lower(value);
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      ParseHttpDate(lower, h.serverDate);
    } else if (StartsWithNoCase(name, "content-length")) {
      if (chunked) continue;
      const uint64_t length = ParseLength(value);
      h.size = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
      if (sizeUpTo > 0 && static_cast<uint64_t>(sizeUpTo) < length / 1024) {
        WriteLog("size over [%lluKB > %dKB]", static_cast<unsigned long long>(length / 1024), sizeUpTo);
        FormatMessage(message, "size over [%lluKB > %dKB]", static_cast<unsigned long long>(length / 1024),
                      sizeUpTo);
        return kHttpSizeOver;
      }
    } else if (StartsWithNoCase(name, "content-encoding")) {
      h.contentEncoding = os::CutSjis(value, kMaxUrlLength);
    } else if (StartsWithNoCase(name, "content-type")) {
      h.contentType = os::CutSjis(value, kMaxUrlLength);
      static const char* const kTextTypes[] = {"text/", "application/x-pointplus", "application/xml",
                                               "application/rdf", "application/octet-stream", "javascript"};
      for (const char* type : kTextTypes) {
        if (line.find(type) != std::string_view::npos) {
          h.flag = kContentText;
          break;
        }
      }
      // A feed or an OPML list is fetched to be read: their own XML types
      // (application/rss+xml, application/atom+xml) are text to them.
      if (xmlIsText && ContainsNoCase(value, "xml"))
        h.flag = kContentText;
    } else if (StartsWithNoCase(name, "transfer-encoding") && ContainsNoCase(value, "chunked")) {
      // The body was decoded on arrival; its length is what gets stored.
      chunked = true;
      h.size = 0;
    }
  }

  if (!started) {
    FormatMessage(message, "No Header.");
    return kHttpRetry;
  }
  if (headEnd == std::string::npos) {
    // The answer stopped inside its head: no body can be told from it.
    WriteLog("Header Error: no end of header");
    FormatMessage(message, "Incomplete Header.");
    return result == kHttpOk ? kHttpRetry : result;
  }
  h.headerLength = static_cast<int>(headEnd);
  return result;
}

// --- Base64 ---------------------------------------------------------------------------

std::string EncodeBase64(std::string_view data) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t v = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                 static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (size_t rest = data.size() - i; rest > 0) {
    uint32_t v = static_cast<unsigned char>(data[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// --- Redirect targets -----------------------------------------------------------------

std::string AbsoluteLocation(std::string_view url, const FetchEndpoint& endpoint, std::string_view location) {
  if (location.empty()) return std::string();
  // Collapsed like every link: a "Location: /../../x" names the host's /x.
  if (location.find("://") != std::string_view::npos) return os::CutSjis(ResolveUrl(location, location), kMaxUrlLength);
  std::string_view base = RequestBaseUrl(url, endpoint);
  if (base.find("://") == std::string_view::npos) {
    // No absolute request URL to lean on: the classic "http://" + Host.
    if (location.front() == '/') return os::CutSjis("http://" + endpoint.host + std::string(location), kMaxUrlLength);
    return os::CutSjis(location, kMaxUrlLength);
  }
  return os::CutSjis(ResolveUrl(base, location), kMaxUrlLength);
}

std::string AbsoluteMovedURL(const DownloadJob& job, std::string_view location) {
  return AbsoluteLocation(job.URL, EndpointOf(job), location);
}

}  // namespace zentu
