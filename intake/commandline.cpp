// The command line of a second start, turned into a command-channel text.
#include <cctype>
#include <string>

#include "intake/channel.h"
#include "os/cp932.h"
#include "os/path.h"

namespace zentu {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// An option's argument without the quotes around it.
std::string Unquote(std::string_view arg) {
  arg = TrimBlanks(arg);
  if (!arg.empty() && (arg.front() == '"' || arg.front() == '\'')) {
    char quote = arg.front();
    arg.remove_prefix(1);
    if (!arg.empty() && arg.back() == quote) arg.remove_suffix(1);
  }
  return std::string(arg);
}

// The whole line as a URL: the first two quote characters of each kind go
// (a quoted path, perhaps quoted twice over by a shell or a launcher).
std::string StripQuotes(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  int doubles = 0, singles = 0;
  for (char c : line) {
    if (c == '"' && doubles < 2) {
      ++doubles;
      continue;
    }
    if (c == '\'' && singles < 2) {
      ++singles;
      continue;
    }
    out += c;
  }
  return std::string(TrimBlanks(out));
}

}  // namespace

ChannelCommand SendCommandLine(std::string_view commandLine) {
  std::string_view line = commandLine;
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  ChannelCommand command;
  if (line.size() >= 2 && line[0] == '-') {
    const char option = static_cast<char>(std::tolower(static_cast<unsigned char>(line[1])));
    if (option == 't') {
      // "-t" and one more character, then the URL (none at all is sent as it is
      // and refused by the receiver).
      command.code = kCommandOther;
      command.text = "<!--ScrapHTML-->\n" + Unquote(line.substr(line.size() > 3 ? 3 : line.size()));
      return command;
    }
    if (line.size() >= 3 && IsBlank(line[2])) {
      const std::string arg = Unquote(line.substr(3));
      switch (option) {
        case 'u':
          command.code = kCommandNoCache;
          command.text = "<!--NoCache-->\n" + arg;
          return command;
        case 's':
          command.code = kCommandOther;
          command.text = "<!--Zentu SiteDownload-->\nURL=" + arg;
          return command;
        case 'd':
          command.code = kCommandOther;
          command.text = "<!--Zentu DownloadOnly-->\nURL=" + arg;
          return command;
        case 'i':
          command.code = kCommandOther;
          command.text = "<!--Zentu AddItemOnly-->\nURL=" + arg;
          return command;
        default:
          break;
      }
    }
  }
  if (line.find("://") != std::string_view::npos || line.find(":\\") != std::string_view::npos ||
      line.find(":/") != std::string_view::npos) {
    command.code = kCommandOther;
    command.text = "<!--Zentu OpenURL-->\r\nURL=" + StripQuotes(line);
  }
  return command;
}

int SendCommandLine(std::string_view commandLine,
                    const std::function<bool(uint32_t code, const std::string& text)>& send) {
  ChannelCommand command = SendCommandLine(commandLine);
  if (command.code == 0) return 0;
  return send && send(command.code, command.text) ? 1 : -1;
}

std::string CommandLineFromArguments(const std::vector<std::string>& utf8Arguments) {
  std::string line;
  for (const std::string& arg : utf8Arguments) {
    std::string text = arg.size() > 1 && arg[0] == '/' ? os::FromNativePath(arg) : os::Utf8ToSjis(arg);
    if (!line.empty()) line += ' ';
    if (text.find_first_of(" \t") != std::string::npos) {
      line += '"';
      line += text;
      line += '"';
    } else {
      line += text;
    }
  }
  return line;
}

}  // namespace zentu
