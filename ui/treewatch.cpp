#include "ui/treewatch.h"

#include "store/tree.h"
#include "ui/qtdesktop.h"

namespace zentu::ui {

// A new or moved node changes the child rows of the folders on both sides.
void TreeWatch::NodeAdded(const TreeNode* node) {
  QueueNodeRefresh(node);
  QueueNodeRefresh(node->parent);
}

void TreeWatch::NodeChanged(const TreeNode* node) { QueueNodeRefresh(node); }

// A freed node is not queued: the views look up what they are given, and the
// former parent's rows tell them that it is gone.
void TreeWatch::NodeRemoved(const TreeNode* node, const TreeNode* formerParent, bool freed) {
  if (!freed) QueueNodeRefresh(node);
  QueueNodeRefresh(formerParent);
}

void TreeWatch::NodeMoved(const TreeNode* node, const TreeNode* formerParent) {
  QueueNodeRefresh(node);
  QueueNodeRefresh(formerParent);
  if (node->parent != formerParent) QueueNodeRefresh(node->parent);
}

}  // namespace zentu::ui
