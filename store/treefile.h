// The tree file: the collection as one line per node, nested by <UL>/</UL>
// lines, Shift_JIS with CR LF. Also its dated backups, the local index page,
// the start-up version check and the save steps of the timer and of the exit.
#pragma once
#include <atomic>
#include <functional>
#include <string>

#include "store/tree.h"

namespace zentu {

inline constexpr double kTreeFileVersion = 0.99;

// What the tree file needs from the settings; TreeFileSettingsFrom() in
// store/profile_bridge.h fills it from the profile.
struct TreeFileSettings {
  std::string treeFile;        // ZentuFile
  std::string dataDirectory;   // LOCALFILE values below it are stored relative
  std::string backupDirectory;
  bool flagSave = true;
  bool autoSave = false;       // DefaultHTML_AutoSave
  bool saveConfirm = false;
  bool saveForLocalMode = false;
  std::string localIndexFile;  // ZentuFile(Local)
  std::string baseHref;
  std::string siteUrl, bbsUrl, helpUrl;  // the default tree's three items
  // Folder hooks of other modules: custom icons after a folder is read, and
  // filling a sync folder from its directory.
  std::function<void(TreeNode*)> applyCustomIcon;
  std::function<void(TreeNode*)> fillSyncFolder;
  // Runs when a save of the tree file has taken its copy of the collection
  // and before it writes: the capture queue goes to disk first, so every item
  // the file holds has its job in timer.dat should the program die.
  std::function<void()> beforeTreeFileWrite;
  // When set and true (a signal asks the program to end), a running load gives
  // up at the next line: TreeLoadResult::stopped.
  const std::atomic<bool>* stop = nullptr;
};

TreeFileSettings& CurrentTreeFileSettings();

enum class TreeFormat { Current, Older };

// Writes the subtree of `node` (normally the root) to `path`. Returns 1 on
// success, 0 on failure, when saving is disabled or when a save is running.
// The new content is written to a temporary file and renamed into place; when
// `path` is the tree file, the previous file is kept as path + ".bak".
int SaveTree(const std::string& path, TreeNode* node, const TreeFileSettings& settings,
             TreeFormat format = TreeFormat::Current);
// The whole collection to the tree file.
int SaveTree(const TreeFileSettings& settings);

struct TreeLoadResult {
  int ok = 0;               // 1 when a tree (maybe the default one) is in place
  bool usedDefault = false; // the file was missing
  bool damaged = false;     // something in the file could not be read
  std::string keptCopy;     // where a damaged file was copied before any save
  int readErrors = 0;
  bool stopped = false;     // given up on TreeFileSettings::stop: the tree is partial, never to be saved
  double version = 0;
};

// parent == nullptr: full load into the global tree state (replacing it).
// Otherwise the file is imported as a new import folder under parent.
TreeLoadResult LoadTree(const std::string& path, TreeNode* parent, const TreeFileSettings& settings);

// Builds root, receive folder, search-result folder and the site folder with
// its three items into the global tree state.
void BuildDefaultTree(const TreeFileSettings& settings);

// The check before the full load at start-up.
enum class TreeVersionFinding { Missing, Broken, TooOld, Upgrade, Current };
struct TreeVersionHooks {
  std::function<void()> firstTimeSetup;
  std::function<void(double from, double to)> upgrade;
};
TreeVersionFinding CheckTreeVersion(const std::string& path, const TreeVersionHooks& hooks,
                                    double* version = nullptr);

// "%s\\YYYYMMDD.html" in the backup directory for today.
std::string BackupFileName(const TreeFileSettings& settings);
// Saves the collection to today's backup copy; 1 on success.
int BackupTree(const TreeFileSettings& settings);
// One step of the save-and-backup timer.
void PeriodicSaveStep(const TreeFileSettings& settings);
// The first step of the shutdown: save, asking first when so configured.
// False only when a save was tried and failed (saving switched off, or the
// user declining, is no failure).
// `saved` (may be null) tells whether the file was written.
bool SaveTreeAtExit(const TreeFileSettings& settings, bool* saved = nullptr);

// The browsable index page of the collection; 1, or 0 when it cannot be written.
int SaveLocalIndex(const std::string& path, const TreeFileSettings& settings);

// Parsing of one item line, exposed for tests: the fast path and the
// regular-expression path must agree on every line.
struct ItemLineFields {
  std::string href, localFile, lastCheck, original, size, type, property, mark, protect,
      dlflag, title;
};
bool ParseItemLine(const std::string& line, ItemLineFields& out);
bool ParseItemLineByPattern(const std::string& line, ItemLineFields& out);

}  // namespace zentu
