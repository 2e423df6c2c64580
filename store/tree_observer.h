// Change notices of the collection tree. The model functions of store/tree.h
// tell every registered observer what they changed, in the order they change
// it, while the caller holds TreeMutex(). An observer therefore only records
// or posts the notice to its own thread: it never calls back into the tree,
// never blocks, and never takes a lock that a tree-lock holder may wait for
// on its side (the lock order is: the tree lock, then the observer's own).
//
// Nodes that are not linked under a parent tell nothing: a subtree built
// detached is announced once, by the NodeAdded of its top.
#pragma once

namespace zentu {

struct TreeNode;

class TreeObserver {
 public:
  virtual ~TreeObserver() = default;
  // The node (with its subtree) was linked under node->parent.
  virtual void NodeAdded(const TreeNode* node) { (void)node; }
  // Texts, flags, icons, the unread count or the order of the children changed.
  virtual void NodeChanged(const TreeNode* node) { (void)node; }
  // The node was taken out of formerParent. When `freed` is true it is about
  // to be deleted with its subtree: the pointer may be kept as a key only.
  virtual void NodeRemoved(const TreeNode* node, const TreeNode* formerParent, bool freed) {
    (void)node;
    (void)formerParent;
    (void)freed;
  }
  // The node went from formerParent to node->parent (which may be the same).
  virtual void NodeMoved(const TreeNode* node, const TreeNode* formerParent) {
    (void)node;
    (void)formerParent;
  }
};

// Registration takes the tree lock, so no notice reaches an observer after
// RemoveTreeObserver returned. Adding one twice registers it once.
void AddTreeObserver(TreeObserver* observer);
void RemoveTreeObserver(TreeObserver* observer);

// For what the tree cannot see itself: a node shows differently because of
// state kept elsewhere (the lock list, the custom icons). Tree lock held.
void NotifyNodeChanged(const TreeNode* node);

// RAII registration for the lifetime of an owner.
class ScopedTreeObserver {
 public:
  explicit ScopedTreeObserver(TreeObserver* observer) : observer_(observer) { AddTreeObserver(observer_); }
  ~ScopedTreeObserver() { RemoveTreeObserver(observer_); }
  ScopedTreeObserver(const ScopedTreeObserver&) = delete;
  ScopedTreeObserver& operator=(const ScopedTreeObserver&) = delete;

 private:
  TreeObserver* observer_;
};

}  // namespace zentu
