#include "ui/foldermodel.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <deque>
#include <mutex>

#include "store/profile.h"
#include "ui/qttext.h"
#include "ui/rowsync.h"
#include "ui/treeicons.h"

namespace zentu::ui {

namespace {
QColor ToColor(const Rgb& c) { return QColor(c.red, c.green, c.blue); }
}  // namespace

// Row operations of one parent's child list.
struct FolderTreeModel::SyncOps {
  FolderTreeModel& model;
  TreeNode* parentNode;
  const ChildMap& next;
  QModelIndex parentIndex;

  void BeginRemove(int first, int last) { model.beginRemoveRows(parentIndex, first, last); }
  void EndRemove() { model.endRemoveRows(); }
  void BeginInsert(int first, int last) { model.beginInsertRows(parentIndex, first, last); }
  void EndInsert() { model.endInsertRows(); }
  void Forget(TreeNode* node) { model.Erase(node); }
  void Adopt(TreeNode* node) { model.Build(node, parentNode, 0, next); }
  void Renumber() { model.Renumber(parentNode); }

  QModelIndexList before{};
  std::vector<TreeNode*> beforeNodes{};
  void BeginReorder() {
    emit model.layoutAboutToBeChanged({QPersistentModelIndex(parentIndex)});
    before = model.persistentIndexList();
    beforeNodes.clear();
    for (const QModelIndex& i : before) beforeNodes.push_back(model.NodeAt(i));
  }
  void EndReorder() {
    QModelIndexList after;
    for (size_t k = 0; k < beforeNodes.size(); ++k) after.push_back(model.IndexOf(beforeNodes[k]));
    model.changePersistentIndexList(before, after);
    emit model.layoutChanged({QPersistentModelIndex(parentIndex)});
  }
};

FolderTreeModel::FolderTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

std::vector<TreeNode*> FolderTreeModel::ShownChildren(const TreeNode* folder) {
  std::vector<TreeNode*> out;
  for (TreeNode* c = folder->firstChild; c; c = c->next) {
    if (IsFolder(c) && c->listed) out.push_back(c);
  }
  return out;
}

void FolderTreeModel::Build(TreeNode* node, TreeNode* parent, int row, const ChildMap& next) {
  // Iterative: collections can be deep.
  struct Todo {
    TreeNode* node;
    TreeNode* parent;
    int row;
  };
  std::vector<Todo> todo{{node, parent, row}};
  while (!todo.empty()) {
    Todo t = todo.back();
    todo.pop_back();
    Entry& e = entries_[t.node];
    e.parent = t.parent;
    e.row = t.row;
    auto it = next.find(t.node);
    e.children = it != next.end() ? it->second : ShownChildren(t.node);
    for (size_t i = 0; i < e.children.size(); ++i) todo.push_back({e.children[i], t.node, static_cast<int>(i)});
  }
}

void FolderTreeModel::Erase(const TreeNode* node) {
  std::vector<const TreeNode*> todo{node};
  while (!todo.empty()) {
    const TreeNode* n = todo.back();
    todo.pop_back();
    auto it = entries_.find(n);
    if (it == entries_.end()) continue;
    for (TreeNode* c : it->second.children) todo.push_back(c);
    entries_.erase(it);
  }
  if (current_ == node) current_ = nullptr;
}

void FolderTreeModel::Renumber(const TreeNode* parent) {
  auto it = entries_.find(parent);
  if (it == entries_.end()) return;
  const std::vector<TreeNode*>& kids = it->second.children;
  for (size_t i = 0; i < kids.size(); ++i) {
    auto k = entries_.find(kids[i]);
    if (k != entries_.end()) k->second.row = static_cast<int>(i);
  }
}

void FolderTreeModel::Reset() {
  std::lock_guard lock(TreeMutex());
  beginResetModel();
  entries_.clear();
  root_ = GetTreeState().root;
  top_.clear();
  if (root_) {
    top_.push_back(root_);
    Build(root_, nullptr, 0, {});
  }
  if (current_ && !entries_.count(current_)) current_ = nullptr;
  endResetModel();
}

void FolderTreeModel::Sync(const std::unordered_set<const void*>& changed) {
  std::lock_guard lock(TreeMutex());
  if (GetTreeState().root != root_) {
    Reset();
    return;
  }
  if (!root_) return;

  // The collection as it is now: every reachable folder's shown children.
  ChildMap next;
  {
    std::vector<TreeNode*> todo{root_};
    while (!todo.empty()) {
      TreeNode* n = todo.back();
      todo.pop_back();
      std::vector<TreeNode*>& kids = next[n] = ShownChildren(n);
      todo.insert(todo.end(), kids.begin(), kids.end());
    }
  }

  bool reset = false;
  // Removals first, top-down over what the model shows: a folder that moved
  // leaves its old parent before it is inserted under its new one.
  {
    std::deque<TreeNode*> queue{root_};
    while (!queue.empty() && !reset) {
      TreeNode* p = queue.front();
      queue.pop_front();
      auto e = entries_.find(p);
      if (e == entries_.end()) continue;
      auto n = next.find(p);
      std::vector<TreeNode*> kept;
      if (n != next.end()) {
        std::unordered_set<const TreeNode*> now(n->second.begin(), n->second.end());
        for (TreeNode* c : e->second.children)
          if (now.count(c)) kept.push_back(c);
      }
      SyncOps ops{*this, p, next, IndexOf(p)};
      if (SyncRows(e->second.children, kept, ops) == RowSync::NeedReset) reset = true;
      auto again = entries_.find(p);
      if (again != entries_.end()) queue.insert(queue.end(), again->second.children.begin(), again->second.children.end());
    }
  }
  // Then insertions and new orders, top-down over the collection.
  if (!reset) {
    std::deque<TreeNode*> queue{root_};
    while (!queue.empty() && !reset) {
      TreeNode* p = queue.front();
      queue.pop_front();
      auto e = entries_.find(p);
      if (e == entries_.end()) continue;
      SyncOps ops{*this, p, next, IndexOf(p)};
      if (SyncRows(e->second.children, next[p], ops) == RowSync::NeedReset) reset = true;
      auto again = entries_.find(p);
      if (again != entries_.end()) queue.insert(queue.end(), again->second.children.begin(), again->second.children.end());
    }
  }
  if (reset) {
    Reset();
    return;
  }

  for (const void* p : changed) {
    auto it = entries_.find(static_cast<const TreeNode*>(p));
    if (it == entries_.end()) continue;
    QModelIndex i = IndexOf(it->first);
    emit dataChanged(i, i);
  }
}

bool FolderTreeModel::SyncSome(const std::unordered_set<const void*>& changed) {
  std::lock_guard lock(TreeMutex());
  if (GetTreeState().root != root_) return false;
  static const ChildMap kNone;
  std::vector<TreeNode*> folders;
  for (const void* p : changed) {
    auto it = entries_.find(static_cast<const TreeNode*>(p));
    if (it != entries_.end()) folders.push_back(const_cast<TreeNode*>(it->first));
  }
  bool trusted = true;
  for (TreeNode* p : folders) {
    auto e = entries_.find(p);
    if (e == entries_.end()) continue;  // went with a folder removed above
    // Shown folders are alive: only the UI thread frees nodes, and it syncs right after.
    if (p != root_ && (e->second.parent != p->parent || !p->listed)) return false;
    std::vector<TreeNode*> next = ShownChildren(p);
    std::unordered_set<const TreeNode*> now(next.begin(), next.end());
    for (TreeNode* c : next) {
      auto k = entries_.find(c);
      if (k != entries_.end() && k->second.parent != p) return false;  // moved in from elsewhere
    }
    // A folder that left may have moved under a folder not named here.
    for (TreeNode* c : e->second.children)
      if (!now.count(c)) trusted = false;
    SyncOps ops{*this, p, kNone, IndexOf(p)};
    if (SyncRows(e->second.children, next, ops) == RowSync::NeedReset) return false;
  }
  for (const void* p : changed) {
    auto it = entries_.find(static_cast<const TreeNode*>(p));
    if (it == entries_.end()) continue;
    QModelIndex i = IndexOf(it->first);
    emit dataChanged(i, i);
  }
  return trusted;
}

QModelIndex FolderTreeModel::IndexOf(const TreeNode* folder) const {
  auto it = entries_.find(folder);
  if (it == entries_.end()) return {};
  return createIndex(it->second.row, 0, const_cast<TreeNode*>(folder));
}

TreeNode* FolderTreeModel::NodeAt(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return nullptr;
  return static_cast<TreeNode*>(index.internalPointer());
}

bool FolderTreeModel::Contains(const void* node) const {
  return entries_.count(static_cast<const TreeNode*>(node)) != 0;
}

std::vector<TreeNode*> FolderTreeModel::Folders() const {
  std::vector<TreeNode*> out;
  if (!root_) return out;
  std::vector<TreeNode*> todo{root_};
  while (!todo.empty()) {
    TreeNode* n = todo.back();
    todo.pop_back();
    out.push_back(n);
    auto it = entries_.find(n);
    if (it == entries_.end()) continue;
    todo.insert(todo.end(), it->second.children.rbegin(), it->second.children.rend());
  }
  return out;
}

void FolderTreeModel::SetCurrent(const TreeNode* folder) {
  const TreeNode* old = current_;
  current_ = entries_.count(folder) ? folder : nullptr;
  if (old == current_) return;
  for (const TreeNode* n : {old, current_}) {
    QModelIndex i = IndexOf(n);
    if (i.isValid()) emit dataChanged(i, i, {Qt::DecorationRole});
  }
}

const std::vector<TreeNode*>* FolderTreeModel::ChildrenOf(const QModelIndex& parent) const {
  if (!parent.isValid()) return &top_;
  auto it = entries_.find(NodeAt(parent));
  return it == entries_.end() ? nullptr : &it->second.children;
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return {};
  const std::vector<TreeNode*>* kids = ChildrenOf(parent);
  if (!kids || row >= static_cast<int>(kids->size())) return {};
  return createIndex(row, 0, (*kids)[static_cast<size_t>(row)]);
}

QModelIndex FolderTreeModel::parent(const QModelIndex& index) const {
  TreeNode* n = NodeAt(index);
  auto it = entries_.find(n);
  if (it == entries_.end() || !it->second.parent) return {};
  return IndexOf(it->second.parent);
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return 0;
  const std::vector<TreeNode*>* kids = ChildrenOf(parent);
  return kids ? static_cast<int>(kids->size()) : 0;
}

int FolderTreeModel::columnCount(const QModelIndex&) const { return 1; }

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
  TreeNode* n = NodeAt(index);
  if (!n) return {};
  std::lock_guard lock(TreeMutex());
  switch (role) {
    case Qt::DisplayRole: {
      QString text = QTitle(n->title);
      if (n->unreadCount > 0) text += QStringLiteral(" (%1)").arg(n->unreadCount);
      return text;
    }
    case Qt::ToolTipRole:
      return QTitle(n->title);
    case Qt::DecorationRole:
      return TreeImageList::Get().NodeIcon(n, n == current_);
    case Qt::FontRole:
      if (n->unreadCount > 0) {
        QFont f;
        f.setBold(true);
        return f;
      }
      return {};
    case Qt::ForegroundRole:
      if (n->mark >= 1 && n->mark <= 9)
        return QBrush(ToColor(CurrentProfile().TreeMarkTextColor[static_cast<size_t>(n->mark - 1)]));
      return {};
    case Qt::BackgroundRole:
      if (n->mark >= 1 && n->mark <= 9)
        return QBrush(ToColor(CurrentProfile().TreeMarkBackColor[static_cast<size_t>(n->mark - 1)]));
      return {};
    default:
      return {};
  }
}

}  // namespace zentu::ui
