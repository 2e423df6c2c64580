// The tree commands of the main window: deleting from the tree and the list,
// locking URLs against overwriting, and choosing the group the tree shows.
#include <QItemSelectionModel>
#include <QTreeView>
#include <mutex>

#include "store/configfiles.h"
#include "store/groups.h"
#include "store/locklist.h"
#include "store/profile.h"
#include "ui/appwindows.h"
#include "ui/foldermodel.h"
#include "ui/groupdialog.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"
#include "ui/nodemoves.h"

namespace zentu::ui {

void AppWindows::DeleteFromTree(bool item) {
  QTreeView* tree = main_->treeView();
  TreeNode* selection = main_->treeModel()->NodeAt(tree->currentIndex());
  TreeNode* node = selection;
  if (item) {
    // The item the user works on: the list's current row.
    node = main_->CurrentListNode();
    if (node) selection = node;
  }
  const DeleteOutcome out = DeleteTreeNode(selection, node);
  if (!out.deleted) return;
  Refresh();
  if (!out.successor) return;
  bool folder;
  {
    std::lock_guard lock(TreeMutex());
    if (!IsInCollection(out.successor)) return;
    folder = !IsItem(out.successor);
  }
  if (!item && folder) {
    main_->SelectFolder(out.successor);
  } else if (const int row = main_->listModel()->RowOf(out.successor); row >= 0) {
    main_->listView()->setCurrentIndex(main_->listModel()->index(row, 0));
  }
}

void AppWindows::DeleteSelected() {
  const std::vector<TreeNode*> nodes = main_->SelectedNodes();
  int firstRow = -1;
  for (TreeNode* n : nodes) {
    const int row = main_->listModel()->RowOf(n);
    if (row >= 0 && (firstRow < 0 || row < firstRow)) firstRow = row;
  }
  if (DeleteListNodes(nodes) <= 0) return;
  Refresh();
  // The row that moved up into the place of the first deleted one.
  const int rows = main_->listModel()->rowCount();
  if (rows > 0 && firstRow >= 0)
    main_->listView()->setCurrentIndex(main_->listModel()->index(std::min(firstRow, rows - 1), 0));
}

void AppWindows::LockSelected(bool lock) {
  std::vector<TreeNode*> nodes;
  if (main_->ListPaneActive()) nodes = main_->SelectedNodes();
  else if (TreeNode* n = TargetNode(); n) nodes.push_back(n);
  if (lock) (void)LockItemUrls(nodes);
  else (void)UnlockItemUrls(nodes);
  Refresh({nodes.begin(), nodes.end()});
}

void AppWindows::ChooseGroup(const std::string& name) {
  (void)SelectGroup(CurrentProfile(), name);
  TreeNode* current;
  {
    std::lock_guard lock(TreeMutex());
    TreeState& state = GetTreeState();
    current = state.currentFolder;
    // A folder the group hides is no place to stay in.
    for (const TreeNode* n = current; n && current; n = n->parent)
      if (!n->listed) current = state.root;
  }
  ShowCurrentGroup(current);
}

void AppWindows::OpenGroupSettings() {
  // The folders a group can show: the receive and search-result folders show always.
  std::vector<std::string> folders;
  {
    std::lock_guard lock(TreeMutex());
    const TreeState& state = GetTreeState();
    for (const TreeNode* f = state.root ? state.root->firstChild : nullptr; f; f = f->next)
      if (IsFolder(f) && !IsReceiveFolder(f) && !IsSearchFolder(f)) folders.push_back(f->title);
  }
  GroupDialog dialog(CopyGroups(), std::move(folders), main_);
  if (dialog.exec() != QDialog::Accepted) return;
  Profile& p = CurrentProfile();
  const std::string renamed = dialog.RenamedTo(p.Group);
  ReplaceGroups(dialog.groups());
  (void)SaveGroups(ConfigFilePath(p, ConfigFile::Group), p.FlagSave);
  // A deleted current group leaves every folder shown, as an unknown name does.
  ChooseGroup(renamed.empty() ? p.Group : renamed);
}

}  // namespace zentu::ui
