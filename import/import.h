// Imports from other programs: bookmark files and favorites become folders of
// URL items; download lists become URL items that are queued for capture.
//
// Each import reads and parses its file without any lock, then changes the
// collection in one step under TreeMutex(), after checking that the target
// folder is still in the collection. Messages go through os::Desktop; the
// calls must not be made with the tree lock held (a message box waits for
// the user).
//
// Damaged input (binary junk, a cut-off file, folders that do not close, huge
// lines) is imported as far as it goes and said so in one message.
#pragma once
#include <string>
#include <string_view>

#include "capture/job.h"
#include "store/tree.h"

namespace zentu {

// What an import found and did.
struct ImportReport {
  bool opened = false;      // the file (or directory) could be read
  bool refused = false;     // the target was an item, or no longer in the collection
  TreeNode* folder = nullptr;  // the folder made or reused for the import
  int items = 0;            // URL items made
  int folders = 0;          // folders made inside the import folder
  int queued = 0;           // list imports: URLs handed to the capture queue
  int marked = 0;           // list imports: items elsewhere marked changed for the same URL
  int skipped = 0;          // entries dropped (unsafe or unusable URL)
  // Damage seen on the way.
  bool binary = false;      // NUL bytes: not a text file
  bool truncated = false;   // the file ends inside an entry
  int extraClosings = 0;    // folder ends without a folder
  int unclosed = 0;         // folders still open at the end of the file
  int patternErrors = 0;
  bool Damaged() const { return binary || truncated || extraClosings > 0 || unclosed > 0; }
};

// The folders the bookmark imports make.
enum class BookmarkFormat {
  Netscape,     // "Netscape の Bookmark": the format Firefox and Chromium export
  MoonBrowser,  // "Moon Browser"
};

// A bookmark file into a new bookmark folder, the last child of `target`
// (root or folder). A file that cannot be opened leaves the empty folder and
// shows the format's message.
ImportReport ImportBookmarkFile(BookmarkFormat format, const std::string& path, TreeNode* target);

// The index page of 巡集: items with their saved copies into the child "巡集"
// of `target` (made when missing). Asks whether the copies are to be looked
// for under Zentu's data directory.
ImportReport ImportJunshuIndex(const std::string& path, TreeNode* target);

// A favorites folder of Internet shortcuts (.url files), walked recursively,
// into a new bookmark folder "IEのお気に入り" at the end of the root.
ImportReport ImportFavorites(const std::string& directory);

// Another Zentu tree file as a new import folder titled with its path.
ImportReport ImportZentuTree(const std::string& path, TreeNode* target);

enum class ListFormat { Iria, ReGet, Text, List };

// A download list: one URL item titled "*" per URL at the end of `target`,
// each queued for capture; items elsewhere with the same URL are marked
// changed. Saves the tree afterwards when the profile says so.
ImportReport ImportUrlList(ListFormat format, const std::string& path, TreeNode* target,
                           DownloadManager& manager = GetDownloadManager());

// The log line a list import starts with ("> iria 形式", ...), Shift_JIS.
const std::string& ListFormatLogLine(ListFormat format);

// --- Pieces exposed for the tests and the benchmark ---------------------------

// The text of an imported file in Shift_JIS: UTF-8 (declared in a meta tag,
// with a byte order mark, or detected), EUC-JP, JIS and UTF-16 are converted;
// characters code page 932 lacks become numeric character references.
std::string ImportText(std::string_view bytes);

// A title as it is stored: references decoded as far as code page 932 goes,
// control characters as spaces, broken two-byte characters as "?", cut to
// `limit` bytes.
std::string CleanImportTitle(std::string_view sjis, size_t limit);
// A URL as it is stored: blanks trimmed, "&amp;"-style references of bookmark
// attributes decoded when `fromAttribute`; "" for a URL that cannot be one
// (control characters, a quote) or is longer than 2047 bytes.
std::string CleanImportUrl(std::string_view sjis, bool fromAttribute);

}  // namespace zentu
