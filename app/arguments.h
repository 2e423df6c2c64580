// The program's own options, apart from the command line it hands to the
// command channel ("-u URL", "-s URL", a URL or a path ...).
#pragma once
#include <string>
#include <vector>

namespace zentu {

struct Arguments {
  bool headless = false;  // --headless: no window, whatever the display
  bool once = false;      // --once: shut down once the capture queue has drained
  bool quiet = false;     // --quiet: no copy of the log on stderr
  bool help = false;      // --help
  // --native-host, or started by a browser for the extension (Chromium passes
  // the caller's origin, Firefox the host manifest's path and the extension's id).
  bool nativeHost = false;
  std::vector<std::string> hostArguments;  // what the browser passed
  // --edit FILE: only a bare editor window on that file (native path, UTF-8).
  std::string editFile;
  // Everything else, in order, as the system passed it (UTF-8).
  std::vector<std::string> commandLine;
};

// Exit codes. A second start ends with 0 when the running instance took its
// command (it will be carried out) and 1 when it did not (it will not be).
// A --once run says whether everything it was asked for was captured and saved.
inline constexpr int kExitDone = 0;           // everything captured and saved
inline constexpr int kExitStartFailed = 1;    // usage, home, lock or start-up failure; command not taken
inline constexpr int kExitCaptureFailed = 2;  // --once: some capture ended in error
inline constexpr int kExitSaveFailed = 3;     // --once: the tree or the profile could not be saved

// The frame's options are taken wherever they stand; a lone "--" is passed
// over (it separates a launcher's own arguments from ours).
Arguments ParseArguments(int argc, const char* const* argv);

// Text for --help.
const char* UsageText();

}  // namespace zentu
