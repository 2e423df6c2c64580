#include "ui/itemmodel.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <mutex>

#include "ui/qttext.h"
#include "ui/rowsync.h"
#include "ui/treeicons.h"

namespace zentu::ui {

namespace {
QColor ToColor(const Rgb& c) { return QColor(c.red, c.green, c.blue); }
bool ShowFolders() { return CurrentProfile().ViewFolder != 0; }
}  // namespace

struct ItemListModel::SyncOps {
  ItemListModel& model;
  void BeginRemove(int first, int last) { model.beginRemoveRows({}, first, last); }
  void EndRemove() { model.endRemoveRows(); }
  void BeginInsert(int first, int last) { model.beginInsertRows({}, first, last); }
  void EndInsert() { model.endInsertRows(); }
  void Forget(TreeNode*) {}
  void Adopt(TreeNode*) {}
  void Renumber() { model.Renumber(); }

  QModelIndexList before{};
  std::vector<std::pair<TreeNode*, int>> beforeNodes{};  // node and column
  void BeginReorder() {
    emit model.layoutAboutToBeChanged();
    before = model.persistentIndexList();
    beforeNodes.clear();
    for (const QModelIndex& i : before) beforeNodes.emplace_back(model.NodeAt(i.row()), i.column());
  }
  void EndReorder() {
    QModelIndexList after;
    for (auto& [node, column] : beforeNodes) {
      int row = model.RowOf(node);
      after.push_back(row < 0 ? QModelIndex() : model.index(row, column));
    }
    model.changePersistentIndexList(before, after);
    emit model.layoutChanged();
  }
};

ItemListModel::ItemListModel(QObject* parent) : QAbstractTableModel(parent) {
  LoadColumnNames(CurrentProfile());
}

void ItemListModel::LoadColumnNames(const Profile& p) {
  const std::string* names[kListColumnCount] = {&p.NameOfTitle,    &p.NameOfURL,        &p.NameOfSize,
                                                 &p.NameOfOriginal, &p.NameOfUpdate,     &p.NameOfMarkColumn,
                                                 &p.NameOfContents};
  for (int i = 0; i < kListColumnCount; ++i) headers_[static_cast<size_t>(i)] = Q(*names[i]);
  emit headerDataChanged(Qt::Horizontal, 0, kListColumnCount - 1);
}

std::vector<TreeNode*> ItemListModel::ShownChildren(const TreeNode* folder, bool withFolders) {
  std::vector<TreeNode*> out;
  if (!folder) return out;
  for (TreeNode* c = folder->firstChild; c; c = c->next) {
    if (!c->listed) continue;
    if (IsItem(c) || (withFolders && IsFolder(c))) out.push_back(c);
  }
  return out;
}

void ItemListModel::Renumber() {
  rowOf_.clear();
  rowOf_.reserve(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) {
    rowOf_.emplace(rows_[i], static_cast<int>(i));
    rows_[i]->listId = static_cast<int32_t>(i);  // the view's handle of the node
  }
  // Children the list does not show have no row number (drops look rows up by it).
  if (folder_)
    for (TreeNode* c = folder_->firstChild; c; c = c->next)
      if (!rowOf_.count(c)) c->listId = -1;
}

void ItemListModel::SetFolder(TreeNode* folder) {
  std::lock_guard lock(TreeMutex());
  beginResetModel();
  folder_ = folder;
  rows_ = ShownChildren(folder, ShowFolders());
  Renumber();
  endResetModel();
}

void ItemListModel::Sync(const std::unordered_set<const void*>& changed) {
  std::lock_guard lock(TreeMutex());
  TreeNode* current = GetTreeState().currentFolder;
  if (current != folder_) {
    SetFolder(current);
    return;
  }
  if (!folder_) return;
  SyncOps ops{*this};
  if (SyncRows(rows_, ShownChildren(folder_, ShowFolders()), ops) == RowSync::NeedReset) {
    SetFolder(folder_);
    return;
  }
  // Texts and icons of rows may have changed; only the visible rows repaint.
  int first = -1, last = -1;
  for (const void* p : changed) {
    auto it = rowOf_.find(static_cast<const TreeNode*>(p));
    if (it == rowOf_.end()) continue;
    first = first < 0 ? it->second : std::min(first, it->second);
    last = std::max(last, it->second);
  }
  if (first >= 0) emit dataChanged(index(first, 0), index(last, kListColumnCount - 1));
}

TreeNode* ItemListModel::NodeAt(int row) const {
  if (row < 0 || row >= static_cast<int>(rows_.size())) return nullptr;
  return rows_[static_cast<size_t>(row)];
}

int ItemListModel::RowOf(const TreeNode* node) const {
  auto it = rowOf_.find(node);
  return it == rowOf_.end() ? -1 : it->second;
}

int ItemListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ItemListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kListColumnCount; }

Qt::ItemFlags ItemListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QVariant ItemListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kListColumnCount) return {};
  if (role == Qt::DisplayRole) return headers_[static_cast<size_t>(section)];
  return {};
}

QVariant ItemListModel::data(const QModelIndex& index, int role) const {
  TreeNode* n = NodeAt(index.row());
  if (!n || index.column() < 0 || index.column() >= kListColumnCount) return {};
  std::lock_guard lock(TreeMutex());
  const Profile& profile = CurrentProfile();
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      switch (column) {
        case kColumnTitle:
          if (IsFolder(n) && n->unreadCount > 0) return QTitle(n->title) + QStringLiteral(" (%1)").arg(n->unreadCount);
          return QTitle(n->title);
        case kColumnUrl: return Q(n->url);
        case kColumnSize: return IsItem(n) && n->size > 0 ? QString::number(n->size) : QString();
        case kColumnOriginal: return Q(n->originalDate);
        case kColumnUpdate: return Q(n->lastCheck);
        case kColumnMark:
          return n->mark >= 1 && n->mark <= 9 ? Q(profile.NameOfMark[static_cast<size_t>(n->mark)]) : QString();
        case kColumnContents: return Q(n->contents);
      }
      return {};
    case Qt::DecorationRole:
      if (column == kColumnTitle) return TreeImageList::Get().NodeIcon(n, false);
      return {};
    case Qt::TextAlignmentRole:
      if (column == kColumnSize) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case Qt::FontRole:
      if (IsItem(n) && n->unread) {
        QFont f;
        f.setBold(true);
        return f;
      }
      return {};
    case Qt::ForegroundRole:
      if (n->mark >= 1 && n->mark <= 9)
        return QBrush(ToColor(profile.ListMarkTextColor[static_cast<size_t>(n->mark - 1)]));
      if (IsFolder(n)) return QBrush(ToColor(profile.FolderTextColor));
      return {};
    case Qt::BackgroundRole:
      if (n->mark >= 1 && n->mark <= 9)
        return QBrush(ToColor(profile.ListMarkBackColor[static_cast<size_t>(n->mark - 1)]));
      if (IsFolder(n)) return QBrush(ToColor(profile.FolderBackColor));
      return {};
    default:
      return {};
  }
}

}  // namespace zentu::ui
