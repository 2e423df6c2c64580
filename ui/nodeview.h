// The tree and list views of the main window with Zentu's drag and drop:
// a drag carries no nodes, only which view it came from; the main window keeps
// what was dragged (DragSource and the nodes) and decides the drop by the
// rules of ui/nodemoves.h. Drags from other programs are not taken here.
#pragma once
#include <QPersistentModelIndex>
#include <QTreeView>
#include <functional>

#include "ui/nodemoves.h"

namespace zentu::ui {

inline constexpr const char* kNodeDragMime = "application/x-zentu-node-drag";

class NodeView : public QTreeView {
 public:
  explicit NodeView(DragSource kind, QWidget* parent = nullptr);
  DragSource kind() const { return kind_; }

  // A drag leaves this view: the owner records what is dragged.
  std::function<void(NodeView& from)> dragBegins;
  // One of Zentu's drags was dropped on this view at `at` (invalid: no row there).
  std::function<void(NodeView& onto, const QModelIndex& at)> dropped;

 protected:
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect RowRect(const QModelIndex& index) const;
  void Highlight(const QModelIndex& index);

  DragSource kind_;
  QPersistentModelIndex highlight_;  // the drop target under the pointer
};

}  // namespace zentu::ui
