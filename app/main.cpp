// zentu: until the program frame with its window and event loop arrives, this
// start loads the profile and the collection from the Zentu home, reports
// what it found and writes both back, exactly as a start and an exit would.
#include <cstdio>
#include <cstring>
#include <string>

#include "os/cp932.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/profile_bridge.h"
#include "store/tree.h"
#include "store/treefile.h"

using namespace zentu;

namespace {

int CountNodes(const TreeNode* root, int* folders) {
  int items = 0;
  for (const TreeNode* n = root; n; n = NextInPreorder(n, root)) {
    if (IsItem(n)) ++items;
    else if (IsFolder(n)) ++*folders;
  }
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quiet") == 0) quiet = true;
  }
  log::SetEcho(!quiet);
  if (!os::EnsureZentuHome()) {
    std::fprintf(stderr, "zentu: cannot create the Zentu home %s\n", os::SjisToUtf8(os::ZentuHome()).c_str());
    return 1;
  }
  std::string logFile = os::JoinPath(os::ZentuHome(), "zentu.log");
  (void)os::DeleteFile(logFile);
  log::SetLogFile(logFile);

  Profile& profile = CurrentProfile();
  LoadProfile(profile, ProfilePath());
  log::SetDebugFlag(profile.DebugFlag != 0);
  for (const std::string* dir : {&profile.dirs.data, &profile.dirs.text, &profile.dirs.config,
                                 &profile.dirs.backup, &profile.dirs.timer}) {
    if (!os::DirectoryExists(*dir) && !os::CreateDirectories(*dir)) WriteLog("> Can't create %s", dir->c_str());
  }

  TreeFileSettings& settings = CurrentTreeFileSettings();
  settings = TreeFileSettingsFrom(profile, settings);
  CheckTreeVersion(settings.treeFile, {});
  TreeLoadResult loaded = LoadTree(settings.treeFile, nullptr, settings);
  int folders = 0;
  int items = CountNodes(GetTreeState().root, &folders);
  WriteLog("> collection: %d folders, %d items%s", folders, items, loaded.usedDefault ? " (new)" : "");

  SaveTreeAtExit(settings);
  SaveProfile(profile, ProfilePath());
  ResetTreeState();
  return 0;
}
