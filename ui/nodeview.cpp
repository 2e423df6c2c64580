#include "ui/nodeview.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>

namespace zentu::ui {

NodeView::NodeView(DragSource kind, QWidget* parent) : QTreeView(parent), kind_(kind) {
  setDragEnabled(true);
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDropIndicatorShown(false);  // the row under the pointer is framed instead
}

QRect NodeView::RowRect(const QModelIndex& index) const {
  const QRect r = visualRect(index);
  return QRect(0, r.top(), viewport()->width(), r.height());
}

void NodeView::startDrag(Qt::DropActions) {
  const QModelIndex current = currentIndex();
  if (!current.isValid()) return;
  if (dragBegins) dragBegins(*this);
  auto* mime = new QMimeData;
  mime->setData(QString::fromLatin1(kNodeDragMime), kind_ == DragSource::Tree ? "tree" : "list");
  auto* drag = new QDrag(this);
  drag->setMimeData(mime);
  // The title of the row being dragged follows below the pointer, half
  // transparent, leaving the drop target under the pointer in sight.
  const QRect title = visualRect(current).intersected(viewport()->rect());
  if (!title.isEmpty()) {
    QPixmap picture(title.size());
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setOpacity(0.7);
    painter.drawPixmap(0, 0, viewport()->grab(title));
    painter.end();
    drag->setPixmap(picture);
    drag->setHotSpot(QPoint(-14, -10));
  }
  drag->exec(Qt::MoveAction, Qt::MoveAction);
}

void NodeView::dragEnterEvent(QDragEnterEvent* event) {
  if (!event->mimeData()->hasFormat(QString::fromLatin1(kNodeDragMime))) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::MoveAction);
  event->accept();
  Highlight(indexAt(event->position().toPoint()));
}

void NodeView::dragMoveEvent(QDragMoveEvent* event) {
  if (!event->mimeData()->hasFormat(QString::fromLatin1(kNodeDragMime))) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::MoveAction);
  event->accept();
  const QPoint at = event->position().toPoint();
  Highlight(indexAt(at));
  // Near the edges the view scrolls, so far rows can be reached.
  const int margin = 16;
  if (at.y() < margin) verticalScrollBar()->setValue(verticalScrollBar()->value() - 1);
  else if (at.y() > viewport()->height() - margin) verticalScrollBar()->setValue(verticalScrollBar()->value() + 1);
}

void NodeView::dragLeaveEvent(QDragLeaveEvent* event) {
  Highlight({});
  event->accept();
}

void NodeView::dropEvent(QDropEvent* event) {
  if (!event->mimeData()->hasFormat(QString::fromLatin1(kNodeDragMime))) {
    event->ignore();
    return;
  }
  const QModelIndex at = indexAt(event->position().toPoint());
  Highlight({});
  event->setDropAction(Qt::MoveAction);
  event->accept();
  if (dropped) dropped(*this, at);
}

void NodeView::Highlight(const QModelIndex& index) {
  const QModelIndex row = index.isValid() ? index.sibling(index.row(), 0) : QModelIndex();
  if (QModelIndex(highlight_) == row) return;
  if (highlight_.isValid()) viewport()->update(RowRect(highlight_).adjusted(-1, -1, 1, 1));
  highlight_ = row;
  if (row.isValid()) viewport()->update(RowRect(row).adjusted(-1, -1, 1, 1));
}

void NodeView::paintEvent(QPaintEvent* event) {
  QTreeView::paintEvent(event);
  if (!highlight_.isValid()) return;
  QPainter painter(viewport());
  QColor frame = palette().color(QPalette::Highlight);
  painter.setPen(QPen(frame, 2));
  frame.setAlpha(60);
  painter.setBrush(frame);
  painter.drawRect(RowRect(highlight_).adjusted(1, 1, -1, -1));
}

}  // namespace zentu::ui
