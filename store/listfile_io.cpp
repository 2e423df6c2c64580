#include "store/listfile_io.h"

#include "os/file.h"

namespace zentu::listfile {
namespace {

void Deliver(std::string& line, bool overlong, const std::function<void(std::string_view)>& onLine) {
  if (overlong) return;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.size() > kMaxLineBytes || line.find('\0') != std::string::npos) return;
  onLine(line);
}

}  // namespace

bool ForEachLine(std::string_view path, const std::function<void(std::string_view)>& onLine) {
  os::File file;
  if (!file.Open(path, os::File::Mode::Read)) return false;
  // Room for a full-length line with its CR LF in one piece; a longer line is
  // read on piece by piece only to be skipped whole.
  constexpr size_t kPiece = kMaxLineBytes + 4;
  std::string piece;
  std::string line;
  bool overlong = false;
  while (file.ReadLine(piece, kPiece)) {
    bool complete = piece.back() == '\n';
    if (!overlong) {
      line += piece;
      if (line.size() > kMaxLineBytes + 2) {
        overlong = true;
        line.clear();
      }
    }
    if (!complete) continue;
    Deliver(line, overlong, onLine);
    line.clear();
    overlong = false;
  }
  if (!line.empty()) Deliver(line, overlong, onLine);
  return true;
}

bool BreaksLine(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

}  // namespace zentu::listfile
