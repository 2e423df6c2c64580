// The lock list: URLs whose saved copies later captures must not overwrite.
// Kept in "lock.dat". A URL is locked without its fragment: the saved copy is
// the same whatever part of the page a link points at.
//
// Capture workers ask IsUrlLocked while the user-interface thread changes the
// list: every function here is safe from any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/tree.h"

namespace zentu {

// Replaces the list with the URLs of the file: every line that does not begin
// with "#" and is longer than four bytes, without its fragment. Returns 1 when
// read, 0 when the file cannot be opened (logged; the list is then empty).
int LoadLockList(const std::string& path);
// The text SaveLockList writes, with LF line ends: header and sorted URLs.
std::string FormatLockList();
// Rewrites the file; 1 written, 0 when it cannot be written (logged).
int SaveLockList(const std::string& path);
void ResetLockList();

// True when the URL, up to its first "#", is in the list.
bool IsUrlLocked(std::string_view url);
// 1 when the list changed. Locking refuses a URL of four bytes or less (after
// the fragment is removed) or one holding a line break: the file could not
// give it back.
int LockUrl(std::string_view url);
int UnlockUrl(std::string_view url);
std::vector<std::string> LockedUrls();

// The menu commands: lock or unlock the URLs of the selected items (nodes
// that are no items, or have no URL, are passed over) and redraw them.
// Returns the number of URLs whose state changed.
int LockItemUrls(const std::vector<TreeNode*>& items);
int UnlockItemUrls(const std::vector<TreeNode*>& items);

// A URL item whose URL is locked (the views show it with the locked picture).
// The caller holds TreeMutex().
bool IsItemLocked(const TreeNode* node);

}  // namespace zentu
