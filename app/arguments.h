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
  // Everything else, in order, as the system passed it (UTF-8).
  std::vector<std::string> commandLine;
};

// The frame's options are taken wherever they stand; a lone "--" is passed
// over (it separates a launcher's own arguments from ours).
Arguments ParseArguments(int argc, const char* const* argv);

// Text for --help.
const char* UsageText();

}  // namespace zentu
