// The mirror: a folder of the collection (or the list's selected items)
// copied into a plain directory with an index page, a tree file of the
// exported items and every saved file their pages need, found with the page
// analyzer library. It runs on one worker thread; one mirror at a time.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "store/tree.h"

namespace zentu {

// The files to copy: paths below the data directory, each held once.
// Names compare without regard to ASCII case and either separator; a
// two-byte character is never split, so a trail byte 0x5C is no separator
// and a trail byte in A-Z is not folded.
class MirrorFileSet {
 public:
  explicit MirrorFileSet(std::string dataDirectory);
  // False when the path is not below the data directory or is held already.
  bool Add(std::string_view path, bool processed);
  // The next file not yet processed, marked processed; false when none is left.
  bool TakeUnprocessed(std::string& path);
  size_t Size() const { return files_.size(); }
  void Clear();
  const std::string& DataDirectory() const { return dataDirectory_; }

 private:
  struct File {
    std::string path;
    bool processed = false;
  };
  std::string dataDirectory_;
  std::vector<File> files_;   // in the order they came
  std::vector<size_t> index_; // sorted by folded key, into files_
  size_t next_ = 0;           // files_ before it are processed
  std::string Key(std::string_view path) const;
};

// What the mirror asks of its surroundings; wired in app/wiring.cpp. The
// dialog runs on the thread that calls StartMirror (the UI thread), the
// others on the mirror's worker.
struct MirrorHooks {
  struct Dialog {
    std::string directory;     // the mirror directory; kept while the program runs
    bool followLinks = false;  // "リンクをたどる": linked pages are copied too
  };
  // The folder dialog "フォルダに出力"; false when cancelled.
  std::function<bool(Dialog& settings)> dialog;
  // The list view's selected items (source "e"); called under the tree lock
  // on the thread that calls StartMirror.
  std::function<std::vector<TreeNode*>()> selectedItems;
  // Opens the written index page (through the program's own command channel).
  std::function<void(std::string_view indexPath)> openIndex;
  // The views look again at the files (the mirror has changed nothing of the tree).
  std::function<void()> refreshViews;
};
namespace detail {
void EditMirrorHooks(const std::function<void(MirrorHooks&)>& edit);
}  // namespace detail
// Sets one hook and keeps the others; an empty function removes it.
template <class Fn>
void SetMirrorHook(Fn MirrorHooks::*hook, std::type_identity_t<Fn> fn) {
  detail::EditMirrorHooks([&](MirrorHooks& hooks) { hooks.*hook = std::move(fn); });
}
void ClearMirrorHooks();

// Writes the index page of `folder` (a detached copy or a linked folder; the
// caller holds the tree lock or owns the copy) to `path`. 1 when written.
int WriteExportIndex(const TreeNode* folder, std::string_view path);

// Fills `set` with the local files of the URL items below `folder`.
void AddItemFilesToMirrorSet(const TreeNode* folder, MirrorFileSet& set);
// The passes: analyse each unprocessed page, add what it links to, copy each
// file to the same place below `mirrorDirectory`. Returns the files copied.
// Each copy is written to a temporary name beside its target and renamed
// over it, so a stop or a crash never leaves half a file; a stop requested
// through `stop` ends the pass after the file being copied.
size_t CopyMirrorFiles(MirrorFileSet& set, std::string_view mirrorDirectory, bool followLinks,
                       std::stop_token stop = {});

// The worker's whole run, on the calling thread: export `source` ('d' the
// current folder, 'e' the selected items) into `directory`. 1 when exported,
// 0 when it failed or was stopped.
int RunMirror(char source, const std::string& directory, bool followLinks, std::stop_token stop = {});

// The mirror command. Returns 1 when a worker started, 0 otherwise (one
// runs already, cancelled, no directory, or it could not be created).
int StartMirror(char source, std::string_view presetDirectory = {});
// True while a mirror runs.
bool MirrorRunning();
// Waits for a running mirror to end (tests, shutdown).
void WaitForMirror();
// Shutdown: asks a running mirror to stop and joins its thread. The copy in
// hand is finished or dropped whole. False when it did not end in `limit`.
bool StopMirror(std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace zentu
