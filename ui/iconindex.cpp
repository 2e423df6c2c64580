#include "ui/iconindex.h"

#include "store/locklist.h"

namespace zentu::ui {

const char* const kTreeIconFiles[kIconCount] = {
    "icon/box_open.ico",             "icon/box_close.ico",
    "icon/folder_open.ico",          "icon/folder_close.ico",
    "icon/undl_url.ico",             "icon/dl_url.ico",
    "icon/error_url.ico",            "icon/change_url.ico",
    "icon/shortcut.ico",             "icon/text_file.ico",
    "icon/dl_url_locked.ico",        "icon/receive_folder_open.ico",
    "icon/receive_folder_close.ico", "icon/sync_folder_open.ico",
    "icon/sync_folder_close.ico",    "icon/timer_folder_open.ico",
    "icon/timer_folder_close.ico",   "icon/import_folder_open.ico",
    "icon/import_folder_close.ico",  "icon/bookmark_folder_open.ico",
    "icon/bookmark_folder_close.ico", "icon/search_folder_open.ico",
    "icon/search_folder_close.ico",  "icon/rss_folder_open.ico",
    "icon/rss_folder_close.ico",
};

void ComputeIcons(const TreeNode* node, int32_t* openIcon, int32_t* closedIcon) {
  int32_t open = kIconFolderOpen;
  switch (node->type) {
    case kNodeRoot:
      open = kIconBoxOpen;
      break;
    case kNodeFolder:
      switch (node->property) {
        case kPropertyReceiveFolder: open = kIconReceiveFolderOpen; break;
        case kPropertySyncFolder: open = kIconSyncFolderOpen; break;
        case kPropertyImportFolder: open = kIconImportFolderOpen; break;
        case kPropertyBookmarkFolder: open = kIconBookmarkFolderOpen; break;
        case kPropertySearchFolder: open = kIconSearchFolderOpen; break;
        case kPropertyRssFolder: open = kIconRssFolderOpen; break;
        default: open = kIconFolderOpen; break;
      }
      break;
    default: {
      // Items have one picture for both states.
      int32_t icon = kIconUndlUrl;
      if (node->property == kPropertyTextItem) {
        icon = kIconTextFile;
      } else if (node->property != kPropertyRssFolder) {
        switch (node->downloadFlag) {
          case kDownloadChanged: icon = kIconChangeUrl; break;
          case kDownloadDone: icon = kIconDlUrl; break;
          case kDownloadError: icon = kIconErrorUrl; break;
          default: icon = kIconUndlUrl; break;
        }
      }
      *openIcon = icon;
      *closedIcon = icon;
      return;
    }
  }
  *openIcon = open;
  *closedIcon = open + 1;  // every folder pair is (open, close)
}

int32_t NodeIcon(const TreeNode* node, bool open) {
  if (!node) return -1;
  if (IsItem(node) && !node->pictureByState) return kIconTextFile;
  if (!IsItem(node)) {
    const int32_t custom = open ? node->customOpenIcon : node->customCloseIcon;
    if (custom >= 0) return kFirstCustomIconIndex + custom;
  }
  int32_t openIcon = 0, closedIcon = 0;
  ComputeIcons(node, &openIcon, &closedIcon);
  return open ? openIcon : closedIcon;
}

int32_t NodeDisplayIcon(const TreeNode* node, bool open) {
  if (!node) return -1;
  if (IsItemLocked(node)) return kIconDlUrlLocked;
  return NodeIcon(node, open);
}

}  // namespace zentu::ui
