#include "os/version.h"

#include <charconv>

namespace zentu::os {

std::string VersionNumberText() {
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, kProgramVersion, std::chars_format::fixed, 2).ptr;
  return std::string(buf, end);
}

std::string VersionText() { return VersionNumberText() + kEditionLetter; }

std::string WindowTitle(bool showVersion, std::string_view text) {
  std::string title = "Zentu ";
  if (showVersion) title += "v" + VersionText();
  if (!text.empty()) {
    title += " [";
    title += text;
    title += "]";
  }
  return title;
}

}  // namespace zentu::os
