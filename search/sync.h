// Sync folders: tree folders that mirror a directory. Their children are
// never stored in the tree file; they are built from the directory at every
// load and reload. Moving an item into or out of one moves its file.
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "store/tree.h"

namespace zentu {

// Option digits of a sync folder (TreeNode::syncOptions).
enum SyncOption : int {
  kSyncNewTextOnOpen = 0,   // selecting the folder makes a new text item (only with the next one)
  kSyncTitleFromFirstLine = 1,
  kSyncSubdirectories = 2,
  kSyncSkipFilesFolders = 3,  // with subdirectories: leave out names holding ".files"
};

struct SyncSettings {
  bool importUrlAsHtmlItem = false;  // a shortcut item keeps the shortcut file as its local file
};

// Adds the directory's entries to the folder (caller holds the tree lock).
// A missing directory adds nothing. Returns the number of nodes added, -1
// when the directory could not be listed.
int FillSyncFolder(TreeNode* folder, std::string_view directory, const SyncSettings& settings);
// Deletes the children of a sync folder and fills it again from its path.
int ReloadSyncFolder(TreeNode* folder, const SyncSettings& settings);
// A new sync folder (detached) for a directory.
TreeNode* NewSyncFolderNode(std::string_view title, std::string_view directory, const bool options[4]);

// The sync folder a node lies in (its nearest ancestor that is one), or nullptr.
TreeNode* EnclosingSyncFolder(const TreeNode* node);
// Where the text files of text items made in `folder` live: the directory of a
// sync folder, or "" for the Text directory.
std::string TextDirectoryForFolder(const TreeNode* folder);

// "name.ext" in `directory`, or "name (1).ext", "name (2).ext", ... when taken.
std::string FreeFileName(std::string_view directory, std::string_view name);

struct SyncMoveHooks {
  // An open editor tab that shows `from` follows the file to `to`.
  std::function<void(const std::string& from, const std::string& to)> fileMoved;
};
void SetSyncMoveHooks(SyncMoveHooks hooks);

// Called before a node is moved into `target` (caller holds the tree lock).
// Returns whether the move may go ahead; moves the item's file when needed and
// points the item at its new place.
bool CheckMoveIntoOrOutOfSync(TreeNode* node, TreeNode* target, std::string_view textDirectory);

// Installs the tree file's fill hook, so sync folders are filled at every load.
void InstallSyncFolders();

}  // namespace zentu
