// zentu.ini as the cleaner reads it, and cleaner.ini.
#include <cstdio>

#include "cleaner/cleaner.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/url.h"

namespace zentu::cleaner {
namespace {

constexpr size_t kIniLineLimit = 512;

std::string StripLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// The value of a "Key=" line in its quoted or unquoted form; false when the
// line is not this key. An empty unquoted value keeps the default (false too).
bool DirectoryValue(const std::string& line, std::string_view key, std::string& value) {
  std::string quoted = std::string(key) + "=\"";
  if (os::StartsWithNoCase(line, quoted)) {
    std::string rest = line.substr(quoted.size());
    size_t end = rest.find('"');
    value = end == std::string::npos ? rest : rest.substr(0, end);
    return true;
  }
  std::string plain = std::string(key) + "=";
  if (os::StartsWithNoCase(line, plain)) {
    value = line.substr(plain.size());
    return !value.empty();
  }
  return false;
}

bool IsAbsoluteTreePath(std::string_view p) {
  if (p.size() >= 2 && p[1] == ':') return true;
  return p.size() >= 2 && (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/');
}

std::string CleanerIniPath(std::string_view programDirectory) {
  return os::JoinPath(programDirectory, "cleaner.ini");
}

}  // namespace

std::string ResolveDirectory(std::string_view programDirectory, std::string_view value,
                             std::string_view defaultName) {
  if (value.empty()) return os::JoinPath(programDirectory, defaultName);
  if (value.find(":/") != std::string_view::npos || value.find(":\\") != std::string_view::npos)
    return std::string(value);
  std::string path(programDirectory);
  if (value.front() != '\\' && value.front() != '/') path += '\\';
  path += value;
  for (char& c : path)
    if (c == '/') c = '\\';
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  CollapseDotSegments(path);
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

Settings ReadSettings(std::string_view programDirectory) {
  Settings s;
  s.programDirectory = std::string(programDirectory);
  std::string data, text;
  const std::string ini = os::JoinPath(programDirectory, "zentu.ini");
  WriteLog("Read Initialize File : %s", ini.c_str());
  os::File file;
  if (file.Open(ini, os::File::Mode::Read)) {
    s.iniFound = true;
    std::string line;
    while (file.ReadLine(line, kIniLineLimit)) {
      line = StripLineEnd(line);
      std::string value;
      if (DirectoryValue(line, "TextDataDirectory", value)) {
        text = value;
      } else if (DirectoryValue(line, "DataDirectory", value)) {
        data = value;
      } else if (os::StartsWithNoCase(line, "ZentuFile=")) {
        std::string tree = line.substr(10);
        if (IsAbsoluteTreePath(tree)) s.treeFile = tree;
      } else if (os::StartsWithNoCase(line, "DebugFlag=1")) {
        s.debug = true;
      }
    }
  } else {
    WriteLog("> not found : %s", ini.c_str());
  }
  s.dataDirectory = ResolveDirectory(programDirectory, data, "Data");
  s.textDirectory = ResolveDirectory(programDirectory, text, "Text");
  if (s.treeFile.empty()) s.treeFile = os::JoinPath(programDirectory, "default.html");
  WriteLog("Data Directory = %s", s.dataDirectory.c_str());
  WriteLog("Text Data Directory = %s", s.textDirectory.c_str());
  WriteLog("ZentuFile = %s", s.treeFile.c_str());
  return s;
}

bool ReadShowLogView(std::string_view programDirectory) {
  const std::string ini = CleanerIniPath(programDirectory);
  WriteLog("Read Cleaner Initialize File : %s", ini.c_str());
  os::File file;
  if (!file.Open(ini, os::File::Mode::Read)) return false;
  std::string line;
  bool show = false;
  while (file.ReadLine(line, kIniLineLimit))
    if (os::StartsWithNoCase(line, "ShowLogView=")) show = line.compare(12, 1, "1") == 0;
  return show;
}

bool WriteShowLogView(std::string_view programDirectory, bool show) {
  char text[32];
  std::snprintf(text, sizeof text, "ShowLogView=%d\n", show ? 1 : 0);
  return os::WriteFileAtomic(CleanerIniPath(programDirectory), text);
}

bool MatchesFilter(std::string_view path, std::string_view text) {
  if (text.size() > 127) text = text.substr(0, 127);
  return path.find(text) != std::string_view::npos;
}

}  // namespace zentu::cleaner
