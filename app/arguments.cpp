#include "app/arguments.h"

#include <string_view>

namespace zentu {

Arguments ParseArguments(int argc, const char* const* argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] ? argv[i] : "";
    if (arg == "--headless") a.headless = true;
    else if (arg == "--once") a.once = true;
    else if (arg == "--quiet") a.quiet = true;
    else if (arg == "--help") a.help = true;
    else if (arg == "--native-host") a.nativeHost = true;
    else if (arg == "--edit" && i + 1 < argc) a.editFile = argv[++i] ? argv[i] : "";
    else if (arg == "--") continue;
    else a.commandLine.emplace_back(arg);
  }
  // A browser starting the host passes its own arguments: they are no
  // command line (an origin "chrome-extension://..." would read as a URL to open).
  const std::vector<std::string>& rest = a.commandLine;
  const bool chromium = !rest.empty() && rest[0].rfind("chrome-extension://", 0) == 0;
  const bool firefox = rest.size() == 2 && rest[0].size() >= 15 &&
                       rest[0].compare(rest[0].size() - 15, 15, "zentu.host.json") == 0;
  if (a.nativeHost || chromium || firefox) {
    a.nativeHost = true;
    a.hostArguments = rest;
    a.commandLine.clear();
  }
  return a;
}

const char* UsageText() {
  return "usage: zentu [--headless] [--once] [--quiet] [command line]\n"
         "       zentu --edit FILE\n"
         "  --headless   run without a window (also chosen when there is no display)\n"
         "  --once       shut down in order once the capture queue has drained\n"
         "  --quiet      do not copy the log to stderr\n"
         "  --edit FILE  open the Shift_JIS text file in an editor window of its own\n"
         "  --native-host  the browser extension's messaging host (started by the browser)\n"
         "command line (handed to the running Zentu, or carried out by this one):\n"
         "  -u URL       capture the page into the receive folder, cache bypassed\n"
         "  -s URL       site download\n"
         "  -d URL       download the file only\n"
         "  -i URL       add an item without capture\n"
         "  -tX URL      capture the page selection through the clipboard\n"
         "  URL or path  open it\n"
         "exit status: 0 done (a second start: the running Zentu took the command),\n"
         "  1 usage or start-up failure (a second start: the command was not taken);\n"
         "  with --once also 2 some capture failed, 3 the collection or profile was not saved\n";
}

}  // namespace zentu
