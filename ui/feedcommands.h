// The feed and update commands of the main window (ui/feedcommands.cpp).
#pragma once
#include "store/tree.h"

namespace zentu::ui {

class AppWindows;

// Asks for a title and a feed URL and makes an RSS folder in `parent` (the
// root when it cannot hold one), whose feed is queued at once.
TreeNode* AddFeedFolder(AppWindows& app, TreeNode* parent);
// Asks for the URL of an OPML list and queues its import.
bool ImportOpmlCommand(AppWindows& app);
// The folder's update schedule: one check box per update mode.
bool EditSchedule(AppWindows& app, TreeNode* folder);
// "再読み込みしますか？", then the update of the node.
void UpdateNodeCommand(AppWindows& app, TreeNode* node);
// The update-folder command on the node of the tree.
void UpdateFolderTreeCommand(AppWindows& app, TreeNode* node);
// The update of the rows selected in the list.
void UpdateListCommand(AppWindows& app);

}  // namespace zentu::ui
