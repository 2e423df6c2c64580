// The windows' observer of the collection: every notice becomes a refresh of
// the nodes it touches, collected and applied together on the UI thread (see
// QueueNodeRefresh). Notices come with the tree lock held, from any thread;
// this only records them.
#pragma once
#include "store/tree_observer.h"

namespace zentu::ui {

class TreeWatch : public TreeObserver {
 public:
  void NodeAdded(const TreeNode* node) override;
  void NodeChanged(const TreeNode* node) override;
  void NodeRemoved(const TreeNode* node, const TreeNode* formerParent, bool freed) override;
  void NodeMoved(const TreeNode* node, const TreeNode* formerParent) override;
};

}  // namespace zentu::ui
