#include "capture/rulefile_io.h"

#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"

namespace zentu::rulefile {
namespace {

// Hands one gathered line on, or logs why it is left out.
void Deliver(std::string& line, bool overlong, size_t limit,
             const std::function<void(const std::string&)>& onLine) {
  if (!overlong) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    overlong = line.size() > limit;
  }
  if (overlong || line.find('\0') != std::string::npos) {
    WriteLogVerbose("rule error = %s", Excerpt(line).c_str());
    return;
  }
  onLine(line);
}

}  // namespace

bool ForEachLine(std::string_view path, const std::function<void(const std::string&)>& onLine,
                 size_t limit) {
  os::File file;
  if (!file.Open(path, os::File::Mode::Read)) return false;
  std::string piece;
  std::string line;
  bool overlong = false;
  // Room for a full-length line and its CR LF in one piece; a longer line
  // is gathered piece by piece only to be skipped whole.
  while (file.ReadLine(piece, limit + 3)) {
    bool complete = piece.back() == '\n';
    if (complete) piece.pop_back();
    if (!overlong) {
      line += piece;
      if (line.size() > limit + 1) {
        overlong = true;
        line.resize(limit);
      }
    }
    if (!complete) continue;
    Deliver(line, overlong, limit, onLine);
    line.clear();
    overlong = false;
  }
  if (!line.empty() || overlong) Deliver(line, overlong, limit, onLine);
  return true;
}

int CountDelimiters(std::string_view line) {
  int count = 0;
  size_t i = 0;
  const size_t n = line.size();
  // Steps over one character: a two-byte character whole, else one byte.
  auto step = [&](size_t at) {
    return (os::IsSjisLeadByte(static_cast<unsigned char>(line[at])) && at + 1 < n) ? 2 : 1;
  };
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '\\') {
      i += 1;
      if (i < n) i += step(i);
      continue;
    }
    if (c == '/') ++count;
    i += step(i);
  }
  return count;
}

bool BreaksLine(std::string_view text, bool tabToo) {
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
    if (tabToo && c == '\t') return true;
  }
  return false;
}

std::string Excerpt(std::string_view line) {
  constexpr size_t kMax = 100;
  std::string out;
  size_t i = 0;
  while (i < line.size() && i < kMax) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    size_t len = (os::IsSjisLeadByte(c) && i + 1 < line.size()) ? 2 : 1;
    if (i + len > kMax) break;
    for (size_t k = 0; k < len; ++k) {
      char b = line[i + k];
      out += (b == '\0') ? '?' : b;
    }
    i += len;
  }
  if (i < line.size()) out += "...";
  return out;
}

}  // namespace zentu::rulefile
