// The children of the current folder for the list view: one row per listed
// child (folders too when the profile shows them), in collection order, which
// is the folder's sort order. The seven columns are in ListColumn order; the
// view arranges them by the profile's column order.
//
// Same rules as FolderTreeModel: row pointers are only followed under
// TreeMutex(), and freed nodes are dropped by Sync before the next paint.
#pragma once
#include <QAbstractTableModel>
#include <array>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/profile.h"
#include "store/tree.h"

namespace zentu::ui {

class ItemListModel : public QAbstractTableModel {
 public:
  explicit ItemListModel(QObject* parent = nullptr);

  // Shows the children of `folder` (nullptr: nothing).
  void SetFolder(TreeNode* folder);
  TreeNode* folder() const { return folder_; }
  // Follows the collection: the current folder, its children, their texts.
  void Sync(const std::unordered_set<const void*>& changed);

  TreeNode* NodeAt(int row) const;
  int RowOf(const TreeNode* node) const;
  const std::vector<TreeNode*>& rows() const { return rows_; }

  // Header texts from the profile's column names.
  void LoadColumnNames(const Profile& profile);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // The children the list shows for a folder.
  static std::vector<TreeNode*> ShownChildren(const TreeNode* folder, bool withFolders);

 private:
  struct SyncOps;
  void Renumber();

  TreeNode* folder_ = nullptr;
  std::vector<TreeNode*> rows_;
  std::unordered_map<const TreeNode*, int> rowOf_;
  std::array<QString, kListColumnCount> headers_;
};

}  // namespace zentu::ui
