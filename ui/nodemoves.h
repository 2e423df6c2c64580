// Moving nodes by drag and drop between and within the tree and list views,
// and deleting them, as rules on the collection without any widget: the
// views hand over what was dragged and where it was dropped, and redraw
// what the outcome names.
//
// Every function takes TreeMutex() itself for its changes and shows its
// notices and questions only with the lock released (a capture thread may be
// waiting for it). Moves go through MoveNode and Link, deletions through
// DestroyNode after the download queue forgot the subtree.
#pragma once
#include <string>
#include <vector>

#include "store/tree.h"

namespace zentu::ui {

enum class DragSource { None, Tree, List };

// Numbers the children of `folder` as the list shows them: a child that is
// not listed gets -1, an item the next number from 0, a folder the next number
// only when the list shows folders. Returns the last number given (-1 for none).
// Tree lock held.
int NumberListRows(TreeNode* folder, bool viewFolder);

struct DropOutcome {
  bool moved = false;        // at least one node changed its place
  bool folderMoved = false;  // the tree's folders changed
  bool rebuild = false;      // a move was refused half-way: both views are built anew
  std::vector<TreeNode*> deselect;  // list rows the view deselects
};

// A drop onto the tree view. `dragged` is the tree's node of a tree drag,
// `selected` the list's rows of a list drag (in selection order); `target` the
// highlighted tree node (nullptr: none). `currentFolder` is the list's folder.
DropOutcome DropOntoTree(DragSource source, TreeNode* dragged, const std::vector<TreeNode*>& selected,
                         TreeNode* target, TreeNode* currentFolder);
// A drop onto the list view: the selected rows go in front of the row `target`.
DropOutcome DropOntoList(DragSource source, const std::vector<TreeNode*>& selected, TreeNode* target,
                         TreeNode* currentFolder);

struct DeleteOutcome {
  bool deleted = false;
  TreeNode* successor = nullptr;  // the node that takes the deleted one's place
};
// Deletes a node of the tree with its subtree after asking: the folder
// question for folders, the item question for items, and for an item of a
// sync folder whether its file goes too. `selection` is the tree's selection
// (nullptr: nothing selected).
DeleteOutcome DeleteTreeNode(TreeNode* selection, TreeNode* node);
// The list's delete: the selected rows after one question. Protected rows are
// left alone (and named in a notice).
int DeleteListNodes(const std::vector<TreeNode*>& nodes);

// Saves the collection right away when the profile saves at every addition.
void SaveAfterChange();

}  // namespace zentu::ui
