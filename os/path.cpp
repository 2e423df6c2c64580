#include "os/path.h"

#include "os/cp932.h"

namespace zentu::os {
namespace {

// Index of the last "\" of a Shift_JIS path, or npos.
size_t LastSeparator(std::string_view path) {
  size_t last = std::string_view::npos;
  ForEachSjisChar(path, [&](std::string_view ch) {
    if (ch == "\\") last = static_cast<size_t>(ch.data() - path.data());
  });
  return last;
}

}  // namespace

std::optional<std::string> ToNativePath(std::string_view path) {
  if (path.empty()) return std::nullopt;
  std::string_view rest = path;
  bool absolute = false;
  if (path.size() >= 2 && path[1] == ':') {
    char d = path[0];
    if (d != 'Z' && d != 'z') return std::nullopt;  // no such drive here
    rest = path.substr(2);
    absolute = true;
    if (!rest.empty() && rest[0] != '\\' && rest[0] != '/') return std::nullopt;  // drive-relative
  } else if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
    return std::nullopt;  // network path
  }
  std::string out;
  out.reserve(rest.size() + 1);
  bool lossy = false;
  std::string utf8 = SjisToUtf8(rest, &lossy);
  if (lossy) return std::nullopt;  // bytes that name no character cannot name a file
  for (char c : utf8) {
    if (c == '\0') return std::nullopt;
    out.push_back(c == '\\' ? '/' : c);
  }
  if (absolute && out.empty()) out = "/";
  return out;
}

std::string FromNativePath(std::string_view native, bool* lossy) {
  std::string sjis = Utf8ToSjis(native, lossy);
  std::string out;
  out.reserve(sjis.size() + 2);
  bool absolute = !native.empty() && native[0] == '/';
  if (absolute) out = "Z:";
  ForEachSjisChar(sjis, [&](std::string_view ch) { out += ch == "/" ? std::string_view("\\") : ch; });
  return out;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (out.empty()) return std::string(name);
  size_t last = LastSeparator(out);
  bool endsWithSep = last != std::string::npos && last == out.size() - 1;
  while (!name.empty() && (name[0] == '\\' || name[0] == '/')) name.remove_prefix(1);
  if (!endsWithSep) out.push_back('\\');
  out.append(name);
  return out;
}

std::string DirectoryOf(std::string_view path) {
  size_t last = LastSeparator(path);
  if (last == std::string_view::npos) return "";
  return std::string(path.substr(0, last));
}

std::string FileNameOf(std::string_view path) {
  size_t last = LastSeparator(path);
  if (last == std::string_view::npos) return std::string(path);
  return std::string(path.substr(last + 1));
}

std::string NormalizeSettingPath(std::string_view path) {
  if (!path.empty() && path[0] == '/' && !(path.size() > 1 && path[1] == '/')) {
    // A native absolute path typed by the user: it is UTF-8 only if it came from
    // the system; settings are Shift_JIS already, so only separators change.
    std::string out = "Z:";
    ForEachSjisChar(path, [&](std::string_view ch) { out += ch == "/" ? std::string_view("\\") : ch; });
    return out;
  }
  return std::string(path);
}

}  // namespace zentu::os
