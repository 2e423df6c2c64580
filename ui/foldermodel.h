// The folders of the collection for the tree view: the root on top, under each
// folder its listed sub-folders in collection order, shown as "title (n)" with
// the unread count. The model keeps its own child lists of node pointers and
// reads node fields only under TreeMutex().
//
// Nodes leave the collection for good only on the UI thread; whoever frees
// nodes calls Sync (through AppWindows::Refresh) before the event loop runs
// again, so the model never holds a pointer to a freed node while painting.
#pragma once
#include <QAbstractItemModel>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/tree.h"

namespace zentu::ui {

class FolderTreeModel : public QAbstractItemModel {
 public:
  explicit FolderTreeModel(QObject* parent = nullptr);

  // Rebuilds everything from the collection.
  void Reset();
  // Brings the folders in line with the collection and redraws the `changed`
  // nodes it shows. Pointers in `changed` are only compared, never followed.
  // Walks the whole collection.
  void Sync(const std::unordered_set<const void*>& changed);
  // The cheap way for the usual refreshes: only the child lists of the
  // `changed` folders the model shows are read again. False when that cannot
  // be trusted (a folder moved, left or was hidden): then Sync is due.
  bool SyncSome(const std::unordered_set<const void*>& changed);

  QModelIndex IndexOf(const TreeNode* folder) const;
  TreeNode* NodeAt(const QModelIndex& index) const;
  bool Contains(const void* node) const;
  TreeNode* root() const { return root_; }
  // Every folder the model shows (root included), top-down.
  std::vector<TreeNode*> Folders() const;

  // The selected folder is drawn with its open icon.
  void SetCurrent(const TreeNode* folder);
  const TreeNode* current() const { return current_; }

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& index) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // The folders the tree shows under a folder (listed folders, in order).
  static std::vector<TreeNode*> ShownChildren(const TreeNode* folder);

 private:
  struct Entry {
    TreeNode* parent = nullptr;
    int row = 0;
    std::vector<TreeNode*> children;
  };
  using ChildMap = std::unordered_map<const TreeNode*, std::vector<TreeNode*>>;
  struct SyncOps;

  void Build(TreeNode* node, TreeNode* parent, int row, const ChildMap& next);
  void Erase(const TreeNode* node);
  void Renumber(const TreeNode* parent);
  const std::vector<TreeNode*>* ChildrenOf(const QModelIndex& parent) const;

  std::unordered_map<const TreeNode*, Entry> entries_;
  TreeNode* root_ = nullptr;
  const TreeNode* current_ = nullptr;
  std::vector<TreeNode*> top_;  // {root_} or empty
};

}  // namespace zentu::ui
