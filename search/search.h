// The searches of the collection: titles, URLs, marks, unread items, page
// contents (on a worker that can be stopped) and the outside full-text index.
// Every search empties the search-result folder first and fills it with new
// items. Texts are Shift_JIS; paths are program paths.
//
// Locking: the synchronous searches take the tree lock themselves. The
// contents search copies what it needs of the items under the lock, reads the
// files without it, and takes it again only to append a hit.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "os/workers.h"
#include "store/tree.h"

namespace zentu {

// The search dialog's settings. SearchLink, IgnoreAtag and the index path are
// the profile's; the rest live as long as the program runs.
struct SearchSettings {
  std::string keyword;          // up to 511 bytes
  bool allFolders = true;       // false: the selected folder and what lies below it
  bool matchCase = false;
  bool multipleKeywords = false;  // kept and shown; the whole text is one keyword
  bool searchLink = true;
  bool ignoreAtag = true;
  std::string namazuIndex;      // PathOfNamazuIndex
};
SearchSettings& CurrentSearchSettings();
inline constexpr size_t kMaxKeywordBytes = 511;

// Offset of the first match of `keyword` in `text`, or npos. Without match
// case, ASCII letters compare without case, at every byte offset.
size_t FindKeyword(std::string_view text, std::string_view keyword, bool matchCase);

// Deletes every child of the folder.
void ClearSearchResults(TreeNode* folder);

// Results: the number of hits, or -1 when nothing was searched (empty keyword,
// no result folder, or the result folder as the scope).
int SearchTitles(TreeNode* scope, std::string_view keyword, TreeNode* result, bool matchCase = false);
int SearchUrls(TreeNode* scope, std::string_view keyword, TreeNode* result, bool matchCase = false);
int SearchMarked(int mark, TreeNode* result);  // items whose mark is mark + 1
int SearchUnread(TreeNode* result);

// The file an item's local file names: drive and network paths as they are,
// a bare name in the Text directory, anything else below the Data directory;
// cut at the first "#".
std::string ItemFilePath(std::string_view localFile, std::string_view dataDirectory,
                         std::string_view textDirectory);

// --- Contents search ---

struct ContentsQuery {
  std::string keyword;
  bool matchCase = false;
  TreeNode* scope = nullptr;  // nullptr: the whole tree
  bool searchLink = false;    // the file variant: follows the links of the pages
  bool ignoreAtag = true;
  std::string dataDirectory, textDirectory;
  // The keyword in EUC-JP and UTF-8, so pages in those codes are searched as
  // they are (filled by RunContentsSearch, or by TestFile when empty).
  std::string keywordEuc, keywordUtf8;
};

// What testing one file found.
struct FileMatch {
  bool read = false;     // the file could be read and is text
  bool matched = false;
  std::string contents;  // from the match on, Shift_JIS
  std::string title;     // the page's title (file variant)
  std::vector<std::string> links;  // local files the page links to (file variant)
};
// Reads one file of a kind the search reads, detects its encoding and looks for
// the keyword in its Shift_JIS text. `links` gathers the page's local targets.
FileMatch TestFile(const std::string& path, const ContentsQuery& query, bool gatherLinks);

// Runs a contents search on the calling thread until it ends or `stop` is
// requested; returns the hits appended to the result folder.
int RunContentsSearch(const ContentsQuery& query, std::stop_token stop);

// The one contents search of the program, on a worker of its own pool.
class ContentsSearch {
 public:
  ~ContentsSearch();
  // False when a search runs already (nothing started).
  bool Start(ContentsQuery query, std::function<void(int hits)> done = {});
  bool Running() const;
  // Asks the running search to stop and waits for it to end, at most `limit`;
  // true when none runs any more.
  bool Stop(std::chrono::milliseconds limit = std::chrono::hours(1));
  bool WaitIdle(std::chrono::milliseconds limit);

 private:
  os::WorkerPool pool_;
};
ContentsSearch& TheContentsSearch();

// --- Outside index ---

// A result line of the index command as a program path; "" for other lines.
// "/C|/dir/x.html" is a drive path ("C:/dir/x.html"); "/home/x.html" a native one.
std::string IndexResultPath(std::string_view line);
// Runs "namazu -l -a -o <file> <query> <index>" and fills the result folder
// with one item per file listed. -1 when it could not run.
int SearchByIndex(std::string_view query, std::string_view indexDirectory, TreeNode* result,
                  std::string_view programDirectory);

// --- Find folder ---

// The first folder after `selected` in tree order whose title matches, else
// from the top of the tree; nullptr when none does.
TreeNode* FindFolderAfter(TreeNode* root, TreeNode* selected, std::string_view name, bool exact,
                          bool matchCase);

}  // namespace zentu
