// The configuration lists beside the profile: their file names, the order in
// which they are loaded at start-up and saved at shutdown, and their log lines.
// The formats belong to the modules that own the lists; each module installs
// its load and save functions here. A file without installed functions is
// announced in the log and otherwise left alone.
#pragma once
#include <functional>
#include <string>

#include "store/profile.h"

namespace zentu {

enum class ConfigFile : int {
  // Loaded at start-up, in this order.
  Keyword2Url,
  Extension,
  CloseUrl,
  Password,
  Referrer,
  Lock,
  Update,
  KeyConfig,
  KeyConfigEditor,
  Icon,
  Group,
  // Loaded once the main window exists.
  Reject,
  Convert,
  // Saved at shutdown only: the open tabs first, the tree file last.
  LastOpened,
  TreeFile,
  kCount
};

// Hooks get the full program path of their file and return 1 on success, 0 on
// failure (a missing file is not a failure for a loader). They must not write
// the table's log line again.
using ConfigLoadFn = std::function<int(Profile& profile, const std::string& path)>;
using ConfigSaveFn = std::function<int(const Profile& profile, const std::string& path)>;

struct ConfigFileHook {
  std::string name;     // file name, e.g. "lock.dat"
  std::string loadLog;  // "%s" stands for the path; empty: no line
  std::string saveLog;  // empty: the file is not saved by SaveConfigFiles (or has no line)
  ConfigLoadFn load;    // empty: nothing to do
  ConfigSaveFn save;
};

// Installs a module's functions; an empty function keeps "log only".
void SetConfigFileHook(ConfigFile file, ConfigLoadFn load, ConfigSaveFn save);
ConfigFileHook GetConfigFileHook(ConfigFile file);
// Back to the built-in table with no functions installed (tests).
void ResetConfigFileHooks();

// Where the file lives: the configuration directory, except the tree file
// (the profile's ZentuFile).
std::string ConfigFilePath(const Profile& profile, ConfigFile file);

// Loads one file with its log line; "icon.dat" and "group.dat" are first moved
// from the program directory into the configuration directory when only the
// old place has them.
int LoadConfigFile(Profile& profile, ConfigFile file);
// Creates the configuration directory when missing and loads "keyword2url.dat"
// through "group.dat" in order. Returns 0 when the directory cannot be created.
int LoadConfigFiles(Profile& profile);
// "reject.dat" and "convert.dat".
int LoadWindowConfigFiles(Profile& profile);
// The shutdown order: the open tabs (when OpenLastOpened is on), every saved
// list, and finally the tree file. Returns 1 when every save succeeded.
int SaveConfigFiles(Profile& profile);

}  // namespace zentu
