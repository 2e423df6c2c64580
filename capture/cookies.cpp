#include "capture/cookies.h"

#include <charconv>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <vector>

#include "capture/rulefile_io.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"

namespace zentu {
namespace {

// One line of cookies.txt: domain, include-subdomains flag, path, secure
// flag, expiry (seconds since the epoch, 0 for a session cookie), name, value.
struct CookieRecord {
  std::string domain;  // lower-case, without a leading dot
  bool includeSubdomains = false;
  std::string path;
  bool secure = false;
  int64_t expires = 0;
  std::string name;
  std::string value;
  std::string where;  // domain and path as the file gives them, for the log
};

struct UrlParts {
  bool secure = false;  // https
  std::string host;     // lower-case, without user and port
  std::string path;     // "/" when the URL has none
};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool ParseUrl(std::string_view url, UrlParts& parts) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return false;
  parts.secure = rulefile::EqualsNoCase(url.substr(0, scheme), "https");
  size_t start = scheme + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string_view::npos) end = url.size();
  std::string_view authority = url.substr(start, end - start);
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    authority = authority.substr(0, close == std::string_view::npos ? authority.size() : close + 1);
  } else {
    size_t colon = authority.find(':');
    if (colon != std::string_view::npos) authority = authority.substr(0, colon);
  }
  // A fully qualified name may end in a dot.
  if (!authority.empty() && authority.back() == '.') authority.remove_suffix(1);
  if (authority.empty()) return false;
  parts.host = Lower(authority);
  if (end < url.size() && url[end] == '/') {
    size_t stop = url.find_first_of("?#", end);
    parts.path = std::string(url.substr(end, stop == std::string_view::npos ? url.npos : stop - end));
  } else {
    parts.path = "/";
  }
  return true;
}

bool ParseFlag(std::string_view field) { return rulefile::EqualsNoCase(field, "TRUE"); }

bool ParseRecord(std::string_view line, CookieRecord& rec) {
  constexpr std::string_view kHttpOnly = "#HttpOnly_";
  if (line.starts_with(kHttpOnly))
    line.remove_prefix(kHttpOnly.size());
  else if (line.empty() || line[0] == '#')
    return false;
  std::string_view fields[7];
  size_t count = 0;
  while (count < 6) {
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) break;
    fields[count++] = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  // Six fields end in the name; a missing value is an empty one.
  if (count == 5) {
    fields[count++] = line;
    line = std::string_view();
  } else if (count < 5) {
    return false;
  }
  fields[6] = line;

  std::string_view domain = fields[0];
  rec.where = std::string(domain) + std::string(fields[2]);
  rec.includeSubdomains = ParseFlag(fields[1]);
  if (!domain.empty() && domain[0] == '.') {
    rec.includeSubdomains = true;
    domain.remove_prefix(1);
  }
  if (domain.empty()) return false;
  rec.domain = Lower(domain);
  rec.path = fields[2].empty() || fields[2][0] != '/' ? std::string("/") : std::string(fields[2]);
  rec.secure = ParseFlag(fields[3]);
  std::string_view expires = fields[4];
  auto [ptr, ec] = std::from_chars(expires.data(), expires.data() + expires.size(), rec.expires);
  if (ec != std::errc() || ptr != expires.data() + expires.size()) return false;
  rec.name = std::string(fields[5]);
  rec.value = std::string(fields[6]);
  return true;
}

bool ReadRecords(std::string_view path, std::vector<CookieRecord>& records) {
  return rulefile::ForEachLine(path, [&](const std::string& line) {
    CookieRecord rec;
    if (ParseRecord(line, rec)) records.push_back(std::move(rec));
  });
}

bool DomainMatches(const std::string& host, const CookieRecord& rec) {
  if (host == rec.domain) return true;
  if (!rec.includeSubdomains || host.size() <= rec.domain.size()) return false;
  size_t dot = host.size() - rec.domain.size() - 1;
  return host[dot] == '.' && host.compare(dot + 1, std::string::npos, rec.domain) == 0;
}

// A cookie path serves the path itself and everything below it.
bool PathMatches(const std::string& requestPath, const std::string& cookiePath) {
  if (requestPath.compare(0, cookiePath.size(), cookiePath) != 0) return false;
  return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' ||
         requestPath[cookiePath.size()] == '/';
}

// Appends the cookies of `records` that suit the URL now.
void AppendCookies(std::string_view url, const UrlParts& parts, const std::vector<CookieRecord>& records,
                   std::string& line) {
  const std::string logUrl(url);
  const int64_t now = static_cast<int64_t>(os::Now());
  for (const auto& rec : records) {
    if (!DomainMatches(parts.host, rec) || !PathMatches(parts.path, rec.path)) {
      WriteLogVerbose("skip = %s in [%s]", logUrl.c_str(), rec.where.c_str());
      continue;
    }
    // Secure cookies never travel over plain HTTP; expired ones not at all.
    if ((rec.secure && !parts.secure) || (rec.expires != 0 && rec.expires <= now) || rec.name.empty())
      continue;
    WriteLogVerbose("Match = %s in [%s]", logUrl.c_str(), rec.where.c_str());
    std::string cookie = rec.name + "=" + rec.value;
    if (line.empty())
      line = "Cookie: " + cookie;
    else
      line += "; " + cookie;
    WriteLogVerbose("cookie = %s", cookie.c_str());
  }
}

// What is remembered of the last host: its cookies, and the file's state when
// they were read.
struct CookieMemory {
  bool valid = false;
  std::string host;
  int64_t fileSize = -1;
  std::time_t fileTime = 0;
  std::vector<CookieRecord> records;
};

std::mutex g_cookieMu;
CookieMemory g_memory;

}  // namespace

std::string CookieFilePath() { return os::JoinPath(os::ZentuHome(), kCookieFileName); }

std::optional<std::string> ReadCookieFile(std::string_view url, std::string_view path,
                                          std::optional<std::string> soFar) {
  WriteLogVerbose("GetCookieInformation: %s", std::string(url).c_str());
  std::string line = soFar.value_or(std::string());
  UrlParts parts;
  std::vector<CookieRecord> records;
  if (url.empty() || !ParseUrl(url, parts)) {
    // Nothing to add.
  } else if (!ReadRecords(path, records)) {
    WriteLog("Can't open file: %s", std::string(path).c_str());
  } else {
    AppendCookies(url, parts, records, line);
  }
  if (line.empty()) return std::nullopt;
  return line;
}

std::optional<std::string> GetCookieLine(std::string_view host, std::string_view url) {
  UrlParts parts;
  if (!ParseUrl(url, parts)) return std::nullopt;
  (void)host;  // the URL names the host the cookies must belong to
  const std::string path = CookieFilePath();
  int64_t size = os::GetFileSize(path);
  std::time_t time = 0;
  if (size >= 0) os::GetFileTime(path, time);

  std::lock_guard lock(g_cookieMu);
  if (!g_memory.valid || g_memory.host != parts.host || g_memory.fileSize != size || g_memory.fileTime != time) {
    g_memory = CookieMemory();
    std::vector<CookieRecord> all;
    if (!ReadRecords(path, all)) WriteLog("Can't open file: %s", path.c_str());
    for (auto& rec : all)
      if (DomainMatches(parts.host, rec)) g_memory.records.push_back(std::move(rec));
    g_memory.valid = true;
    g_memory.host = parts.host;
    g_memory.fileSize = size;
    g_memory.fileTime = time;
  }
  WriteLogVerbose("GetCookieInformation: %s", std::string(url).c_str());
  std::string line;
  AppendCookies(url, parts, g_memory.records, line);
  if (line.empty() || line.size() >= kMaxCookieLine) return std::nullopt;
  return line;
}

void ClearCookieMemory() {
  std::lock_guard lock(g_cookieMu);
  g_memory = CookieMemory();
}

bool FindInBrowserCache(std::string_view url, std::string& localPath) {
  (void)url;
  (void)localPath;
  return false;
}

std::optional<std::string> FindCacheURL(std::string_view localPath) {
  (void)localPath;
  return std::nullopt;
}

}  // namespace zentu
