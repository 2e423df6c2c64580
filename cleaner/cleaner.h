// The orphan-file cleaner without windows: what the zentucleaner program
// reads (zentu.ini, the tree file, extension.dat, all read-only), the search
// for files of the data or text directory that nothing refers to, and the
// moves into the dust folders. Everything the cleaner moves or erases goes
// through here, so the careful rules live in one place.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zentu::cleaner {

// What zentu.ini tells the cleaner. Paths are program paths without a trailing "\".
struct Settings {
  std::string programDirectory;
  std::string dataDirectory;
  std::string textDirectory;
  std::string treeFile;
  bool debug = false;
  bool iniFound = false;
};

// A directory value of zentu.ini as a path: empty gives the program directory
// plus "\" + `defaultName`; a value with ":/" or ":\" is used unchanged; any
// other value goes below the program directory, "/" as "\", without a
// trailing separator and with "." and ".." collapsed.
std::string ResolveDirectory(std::string_view programDirectory, std::string_view value,
                             std::string_view defaultName);
// Reads "<programDirectory>\zentu.ini" (never writes it). A missing file
// leaves every default and is logged.
Settings ReadSettings(std::string_view programDirectory);

// cleaner.ini: whether the log window shows at start.
bool ReadShowLogView(std::string_view programDirectory);
bool WriteShowLogView(std::string_view programDirectory, bool show);

enum class Mode { Data, Text };

struct Counter {
  int count = 0;
  uint64_t bytes = 0;
  void Add(uint64_t size) {
    ++count;
    bytes += size;
  }
  double MBytes() const { return static_cast<double>(bytes) / 1048576.0; }
};

struct Counters {
  Counter total;    // every file found
  Counter linked;   // files something refers to
  Counter checked;  // linked files analysed, or binary ones that need no analysis
};

struct Orphan {
  std::string path;  // absolute program path
  uint64_t size = 0;
  std::time_t modified = 0;
};

enum class Outcome {
  Done,
  DirectoryMissing,  // the directory is not there (before or after the walk)
  TreeMissing,       // the tree file cannot be opened
  Stopped,           // the stop flag ended the run
};

struct Options {
  Mode mode = Mode::Data;
  bool followLinks = true;  // a and area links count
  const std::atomic<bool>* stop = nullptr;
  // Called on the analysing thread after the walk, after the tree and every
  // ten checked files.
  std::function<void(const Counters&)> progress;
};

struct Result {
  Outcome outcome = Outcome::Done;
  Counters counters;
  std::vector<Orphan> orphans;           // sorted by path
  std::vector<std::string> folderErrors;  // folders that could not be listed
  bool allLinked = false;
  int treeItems = 0;
};

// The directory a mode works in.
const std::string& ModeDirectory(const Settings& settings, Mode mode);

// Walks the directory, marks what the tree file's items refer to and follows
// the links of every referred page until nothing new is found. Whatever is
// left is listed, except what the cleaner cannot be sure of: a file it cannot
// open, a file behind a symbolic link or with a name it cannot hold, and the
// files beside (and below) a referred page it could not read.
Result FindOrphans(const Settings& settings, const Options& options);

// --- Moving and erasing ---

// "<programDirectory>\Dustbox" or "\DustText".
std::string DustDirectory(const Settings& settings, Mode mode);
// Where `file` goes in the dust folder: its path below the mode's directory,
// below the dust folder. "" when it is not below the mode's directory or the
// target would not fit a path (it is then left alone).
std::string DustTarget(const Settings& settings, Mode mode, std::string_view file);

enum class MoveStatus {
  Moved,
  Erased,
  Changed,  // the file changed since the analysis (or is gone): left alone
  Refused,  // not below the directory, too long a target, a link on the way
  Failed,   // the system refused; the file stays where it was
};

// Moves one listed file into the dust folder. The file is checked again
// first: it must still be a regular file of the size and time the analysis
// saw. A file of the same name already in the dust folder is kept under the
// first free "<name>.<n>" and the newer one takes the name. Emptied folders
// are removed up to (never including) the mode's directory.
MoveStatus MoveToDust(const Settings& settings, Mode mode, const Orphan& file);
// Erases one listed file, with the same check and folder clean-up.
MoveStatus EraseFile(const Settings& settings, Mode mode, const Orphan& file);

// The paths of `paths` that contain `text` (case-sensitive, at most 127 bytes of it).
bool MatchesFilter(std::string_view path, std::string_view text);

}  // namespace zentu::cleaner
