// The main window: tree view (folders) and list view (the current folder's
// children) in splitter panes beside the web-view pane, with menu bar, tool
// bar and status bar. The window keeps its layout in the profile as the user
// changes it, so whenever the profile is saved it holds the current layout.
#pragma once
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <map>
#include <unordered_set>
#include <vector>

#include "store/profile.h"
#include "ui/browserpane.h"
#include "store/tree.h"
#include "ui/nodemoves.h"
#include "ui/nodeview.h"

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QSplitter;
class QToolBar;
class QTreeView;

namespace zentu::ui {

class AppWindows;
class FolderTreeModel;
class ItemListModel;

// "Zentu ", the version when the profile shows it, and " [text]" for a page or folder.
QString WindowTitleText(const Profile& profile, const QString& text);

class MainWindow : public QMainWindow {
 public:
  explicit MainWindow(AppWindows& app);
  ~MainWindow() override;

  FolderTreeModel* treeModel() const { return treeModel_; }
  ItemListModel* listModel() const { return listModel_; }
  QTreeView* treeView() const { return treeView_; }
  QTreeView* listView() const { return listView_; }
  QLabel* webPane() const { return webPane_; }
  // The tab browser, when the program installed one.
  BrowserPane* browser() const { return browser_.get(); }
  QToolBar* toolBar() const { return toolBar_; }
  QAction* action(int command) const;

  // Shows a folder in the tree (selected) and its children in the list.
  void SelectFolder(TreeNode* folder);
  TreeNode* CurrentFolder() const;
  // The list's selected nodes, or its current one when none is selected.
  std::vector<TreeNode*> SelectedNodes() const;
  TreeNode* CurrentListNode() const;
  // True when the list, not the tree, is the pane the user works in.
  bool ListPaneActive() const;

  // Rebuilds both views from the collection (reload, group change).
  void Rebuild();
  // Follows changes of the collection; `changed` names nodes to redraw.
  // `full` walks the whole collection (after nodes were freed, reloads);
  // otherwise only what `changed` names is read again, and a full walk
  // follows within a second when `changed` names nodes the views do not show.
  void SyncViews(const std::unordered_set<const void*>& changed, bool full);

  void SetStatus(int part, const QString& text);
  QString StatusPart(int part) const;
  void UpdateTitle();
  // Layout from the profile: pane sizes and visibility, column widths and order, bars.
  void ApplyProfile(const Profile& profile);
  // The layout and placement into the profile.
  void StoreInto(Profile& profile) const;

  // Gives the focus back to the pane the user works in (tree or list).
  void RestoreFocus();
  // Shortcuts from the general key list (again after the key dialog).
  void ApplyKeyBindings();

  void ToggleTree();
  void ToggleList();
  void ToggleStatusBar();

  // Drag and drop between and within the views: what a drag carries.
  struct DragState {
    DragSource source = DragSource::None;
    TreeNode* dragged = nullptr;       // a tree drag's folder
    std::vector<TreeNode*> selected;   // a list drag's rows, in selection order
  };
  const DragState& drag() const { return drag_; }
  // Carries out a drop of the recorded drag on the tree (`ontoTree`) or the list
  // at `target` (the highlighted folder, or the row under the pointer).
  DropOutcome Drop(bool ontoTree, TreeNode* target);
  // With CloseOtherFolders on, every folder off the current folder's path closes.
  void CloseOtherFolders();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void BuildMenus();
  void BuildToolBar();
  QAction* Command(int id, const QString& text);
  void OnFolderChosen(TreeNode* folder);
  void OnListCurrentChanged();
  void ApplyExpansion();
  void ShowDetails(const TreeNode* node);
  void CheckSortMode();
  void StoreLayout();
  void BeginDrag(NodeView& from);
  void OnDropped(NodeView& onto, const QModelIndex& at);
  void FillGroupMenu(QMenu* menu);

  AppWindows& app_;
  FolderTreeModel* treeModel_;
  ItemListModel* listModel_;
  NodeView* treeView_;
  NodeView* listView_;
  DragState drag_;
  QLabel* webPane_;
  std::unique_ptr<BrowserPane> browser_;
  QSplitter* panes_;      // tree | right side
  QSplitter* rightSide_;  // list over web view
  QToolBar* toolBar_ = nullptr;
  std::array<QLabel*, 3> parts_{};
  std::map<int, QAction*> actions_;
  std::vector<QAction*> keyActions_;  // bound commands without a menu entry
  QActionGroup* sortGroup_ = nullptr;
  bool expansionPending_ = true;
  bool fullSyncScheduled_ = false;
  bool syncing_ = false;   // models following the collection: selection changes wait
  bool applying_ = false;  // layout being set from the profile: not stored back
  const TreeNode* detailsNode_ = nullptr;
  QPointer<QWidget> focusPane_;  // tree or list: where the focus returns to
  QMetaObject::Connection focusWatch_;
};

}  // namespace zentu::ui
