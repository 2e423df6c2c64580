// Which picture of the tree image list a node shows. The collection keeps the
// states (kind, property, download flag, a folder's custom icon, the lock
// list); the numbers of the pictures are the windows' own. No Qt here, so
// that the core's tests can check the pictures their changes lead to.
#pragma once
#include <cstdint>

#include "store/tree.h"

namespace zentu::ui {

// Indices into the tree image list, in its load order.
enum TreeIcon : int32_t {
  kIconBoxOpen = 0,
  kIconBoxClose,
  kIconFolderOpen,
  kIconFolderClose,
  kIconUndlUrl,
  kIconDlUrl,
  kIconErrorUrl,
  kIconChangeUrl,
  kIconShortcut,
  kIconTextFile,
  kIconDlUrlLocked,
  kIconReceiveFolderOpen,
  kIconReceiveFolderClose,
  kIconSyncFolderOpen,
  kIconSyncFolderClose,
  kIconTimerFolderOpen,
  kIconTimerFolderClose,
  kIconImportFolderOpen,
  kIconImportFolderClose,
  kIconBookmarkFolderOpen,
  kIconBookmarkFolderClose,
  kIconSearchFolderOpen,
  kIconSearchFolderClose,
  kIconRssFolderOpen,
  kIconRssFolderClose,
  kIconCount,  // 25
};
// Icon file of each image-list index, relative to the program ("icon/box_open.ico").
extern const char* const kTreeIconFiles[kIconCount];
// The custom icon files (CustomIconImageFiles()) follow the built-in pictures.
inline constexpr int32_t kFirstCustomIconIndex = kIconCount;

// Icons the node's kind, property and download flag call for.
void ComputeIcons(const TreeNode* node, int32_t* openIcon, int32_t* closedIcon);
// The node's own icon, open or closed: a folder's custom icon where it has
// one, the text-file picture for a new item, else ComputeIcons. -1 for none.
int32_t NodeIcon(const TreeNode* node, bool open);
// NodeIcon, with the locked picture for a locked URL item. Tree lock held.
int32_t NodeDisplayIcon(const TreeNode* node, bool open);

}  // namespace zentu::ui
