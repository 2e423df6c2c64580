// The diagnostics command's checks: the installation and data folders, the
// browser integration in the registry, and the network. No windows here: the
// dialog shows the two panes.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "store/profile.h"

namespace zentu {

struct DiagnosticsResult {
  std::vector<std::string> report;    // Shift_JIS lines, in order
  std::vector<std::string> warnings;  // the warning blocks' lines, in order
  int warningCount = 0;
};

// Opens a connection to host:port and closes it; true when it was made.
using ConnectCheck = std::function<bool(const std::string& host, int port)>;

// The public host of the direct network check (port 80).
inline constexpr char kDiagnosticsHost[] = "www.google.com";

// Runs every check once. `connect` defaults to the HTTP client's connect with
// the profile's time-out.
DiagnosticsResult RunDiagnosticChecks(const Profile& profile, const ConnectCheck& connect = {});

// The context-menu entries and the toolbar key the browser integration
// registers (names under "Software\Microsoft\Internet Explorer\MenuExt\" of
// the current user's hive, the older names included).
bool AnyBrowserIntegrationRegistered();

}  // namespace zentu
