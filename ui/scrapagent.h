// The scrap agent: a small always-on-top window the user drops files, links,
// a selection or text on. Files become items of the receive folder that open
// them where they lie, web addresses URL items that are captured, the
// clipboard-style HTML a captured item, plain text a text item; drops never
// ask. There is no mouse hook on Linux: the window is shown by its command
// (and at start with ScrapByDragAndDrop on), stays after a drop, and is placed in a corner of the screen by PlaceOfScrapWindow (0 bottom
// right, 1 bottom left, 2 top left, 3 top right). UI thread only.
#pragma once
#include <QPixmap>
#include <QWidget>

class QMimeData;

namespace zentu::ui {

class CScrapAgent : public QWidget {
 public:
  explicit CScrapAgent(QWidget* parent = nullptr);

  // Shows the window at its place and raises it.
  void ShowAgent();
  // What a drop of `data` does (the window's drop event calls it; so do tests).
  // True when anything was added.
  bool Drop(const QMimeData* data);
  // Whether a drag of `data` is accepted (files, addresses or text).
  static bool Accepts(const QMimeData* data);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QPixmap picture_;  // "scrap.bmp" of the Zentu home, when there is one
  bool dragging_ = false;
};

}  // namespace zentu::ui
