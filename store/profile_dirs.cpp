// The working directories derived from the profile, and the system proxy.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "os/cp932.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "pagelib/url.h"
#include "store/profile.h"

namespace zentu {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsNetworkPath(std::string_view s) { return s.size() >= 2 && IsSeparator(s[0]) && IsSeparator(s[1]); }

bool IsDrivePath(std::string_view s) {
  // ':' is never the second byte of a two-byte character, so a plain search is safe.
  if (s.find(":/") != std::string_view::npos || s.find(":\\") != std::string_view::npos) return true;
  // A bare "X:" names the root of that drive.
  return s.size() == 2 && s[1] == ':' &&
         ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

// Turns every "/" into "\" and drops trailing separators, stepping over
// two-byte characters whole (the second byte of "表" is 0x5C). A drive root
// keeps its "\", a network path its leading pair.
std::string CleanSeparators(std::string path) {
  const auto* p = reinterpret_cast<const unsigned char*>(path.data());
  size_t keep = 0;                      // length just after the last non-separator character
  for (size_t i = 0; i < path.size(); ++i) {
    if (os::IsSjisLeadByte(p[i]) && i + 1 < path.size()) {
      ++i;
      keep = i + 1;
      continue;
    }
    if (path[i] == '/') path[i] = '\\';
    if (path[i] != '\\') keep = i + 1;
  }
  size_t minimum = 0;
  if (path.size() >= 2 && path[1] == ':') minimum = 3;  // "X:\"
  else if (IsNetworkPath(path)) minimum = 2;            // "\\"
  if (keep < minimum) keep = std::min(minimum, path.size());
  path.resize(keep);
  if (path.size() == 2 && path[1] == ':') path += '\\';
  return path;
}

}  // namespace

std::string ResolveDirectorySetting(std::string_view setting, std::string_view programDirectory) {
  std::string s = os::NormalizeSettingPath(setting);
  if (IsDrivePath(s) || IsNetworkPath(s)) return CleanSeparators(std::move(s));
  std::string joined(programDirectory);
  if (s.empty() || !IsSeparator(s[0])) joined += '\\';
  joined += s;
  return CleanSeparators(std::move(joined));
}

void ResolveDirectories(Profile& p) {
  if (p.ProgramDirectory.empty()) p.ProgramDirectory = os::ZentuHome();
  const std::string& home = p.ProgramDirectory;
  struct Row {
    std::string* setting;
    const char* name;
    std::string* directory;
  };
  const Row rows[] = {
      {&p.DataDirectory, "Data", &p.dirs.data},       {&p.TextDataDirectory, "Text", &p.dirs.text},
      {&p.TimerDirectory, "Timer", &p.dirs.timer},    {&p.ConfigDirectory, "Config", &p.dirs.config},
      {&p.BackupDirectory, "Backup", &p.dirs.backup}, {&p.ErrorDirectory, "Error", &p.dirs.error},
  };
  for (const Row& row : rows) {
    if (row.setting->empty()) {
      *row.setting = row.name;
      *row.directory = os::JoinPath(home, row.name);
      continue;
    }
    // A native absolute path is kept in its program form from now on.
    *row.setting = os::NormalizeSettingPath(*row.setting);
    *row.directory = ResolveDirectorySetting(*row.setting, home);
  }
  // Every saved page's place and every link to it starts from these two: a
  // "." or ".." in them would give two spellings of one file.
  CollapseDotSegments(p.dirs.data);
  CollapseDotSegments(p.dirs.text);
  p.dirs.exportDir = os::JoinPath(home, "Export");
  p.dirs.log = os::JoinPath(home, "Log");

  std::string url = "file:///";
  const auto* d = reinterpret_cast<const unsigned char*>(p.dirs.data.data());
  for (size_t i = 0; i < p.dirs.data.size(); ++i) {
    if (os::IsSjisLeadByte(d[i]) && i + 1 < p.dirs.data.size()) {
      url += static_cast<char>(d[i]);
      url += static_cast<char>(d[++i]);
      continue;
    }
    url += d[i] == '\\' ? '/' : static_cast<char>(d[i]);
  }
  p.dirs.dataUrl = std::move(url);

  if (p.DebugFlag) {
    WriteLog("Data Directory = %s", p.dirs.data.c_str());
    WriteLog("Text Data Directory = %s", p.dirs.text.c_str());
  }
}

SystemProxy ParseProxySetting(std::string_view value) {
  SystemProxy result;
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r' ||
                            value.back() == '\n'))
    value.remove_suffix(1);
  if (size_t scheme = value.find("://"); scheme != std::string_view::npos) value.remove_prefix(scheme + 3);
  if (size_t path = value.find('/'); path != std::string_view::npos) value = value.substr(0, path);
  // Credentials are the proxy's business, not part of its address.
  if (size_t at = value.rfind('@'); at != std::string_view::npos) value.remove_prefix(at + 1);
  if (value.empty() || value[0] == ':') return result;

  std::string_view rest;
  if (value[0] == '[') {  // "[::1]:8080"
    size_t close = value.find(']');
    if (close == std::string_view::npos) return result;
    result.host.assign(value.substr(1, close - 1));
    rest = value.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return result;
  } else {
    size_t colon = value.find(':');
    result.host.assign(value.substr(0, colon));
    if (colon != std::string_view::npos) rest = value.substr(colon);
  }
  int port = 0;
  if (!rest.empty()) {
    rest.remove_prefix(1);
    for (size_t i = 0; i < rest.size() && i < 9 && rest[i] >= '0' && rest[i] <= '9'; ++i)
      port = port * 10 + (rest[i] - '0');
  }
  if (!result.host.empty() && port > 0) {
    result.port = port;
    result.valid = true;
  } else {
    result.port = 80;
  }
  return result;
}

bool ProxyBypassListMatches(std::string_view list, std::string_view host, int port) {
  auto lower = [](std::string_view t) {
    std::string out(t);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  std::string h = lower(host);
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  while (!h.empty() && h.back() == '.') h.pop_back();
  if (h.empty()) return false;
  size_t at = 0;
  while (at <= list.size()) {
    size_t end = list.find_first_of(", \t", at);
    if (end == std::string_view::npos) end = list.size();
    std::string entry = lower(list.substr(at, end - at));
    at = end + 1;
    if (entry.empty()) continue;
    if (entry == "*") return true;
    // An optional ":port" (an IPv6 address keeps its colons inside brackets).
    int entryPort = 0;
    if (entry.front() == '[') {
      size_t close = entry.find(']');
      if (close == std::string::npos) continue;
      if (close + 1 < entry.size() && entry[close + 1] == ':') entryPort = std::atoi(entry.c_str() + close + 2);
      entry = entry.substr(1, close - 1);
    } else if (std::count(entry.begin(), entry.end(), ':') == 1) {
      size_t colon = entry.find(':');
      entryPort = std::atoi(entry.c_str() + colon + 1);
      entry.resize(colon);
    }
    if (entryPort > 0 && entryPort != port) continue;
    if (entry.rfind("*.", 0) == 0) entry.erase(0, 1);
    if (entry.empty()) continue;
    if (entry.front() == '.') {
      if (h.size() > entry.size() && h.compare(h.size() - entry.size(), entry.size(), entry) == 0) return true;
      if (h == entry.substr(1)) return true;
      continue;
    }
    if (h == entry) return true;
    if (h.size() > entry.size() && h.compare(h.size() - entry.size(), entry.size(), entry) == 0 &&
        h[h.size() - entry.size() - 1] == '.')
      return true;
  }
  return false;
}

bool SystemProxyBypassed(std::string_view host, int port) {
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return ProxyBypassListMatches(value, host, port);
  }
  return false;
}

SystemProxy ReadSystemProxy() {
  for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return ParseProxySetting(value);
  }
  return SystemProxy{};
}

}  // namespace zentu
