// The editor's window: draws a CKEdit on a fixed column grid (title line box,
// tag and link runs, control marks, selection), turns keys, input-method
// commits and mouse actions into the model's operations, and offers the
// context menu. Commands the model leaves to its host (opening links, saving,
// the find and go-to-line dialogs) come out as hostCommand.
#pragma once
#include <QAbstractScrollArea>
#include <QFont>
#include <QString>
#include <QTextCharFormat>
#include <memory>
#include <vector>

#include "editor/kedit.h"

namespace zentu {
struct Profile;
}

namespace zentu::ui {

class EditorView : public QAbstractScrollArea, private CKEditObserver {
  Q_OBJECT

 public:
  explicit EditorView(QWidget* parent = nullptr);
  ~EditorView() override;

  CKEdit& Model() { return *edit_; }
  const CKEdit& Model() const { return *edit_; }

  // The font record and Qt font of the profile's "[Editor]" section. A face
  // the system lacks falls back to IPAGothic (the Japanese monospace font Zentu
  // ships with on Linux), then to the system's fixed font.
  static CKEditFont FontFromProfile(const Profile& profile, QFont& font);
  // Re-reads the profile's font and colours into this editor.
  void ApplyProfile(const Profile& profile);
  // Font height + or - 2 in the current profile, applied to every editor.
  static void ChangeFontHeight(int delta);

  // Runs an editor command (menus, key configuration).
  void RunCommand(int id, bool shift = false);
  // Draws the text area as the window shows it (pictures, benchmarks).
  void Render(QPainter& painter, const QRect& area);
  bool TabBrowser() const { return tabBrowser_; }
  void SetTabBrowser(bool on) { tabBrowser_ = on; }
  const QString& Preedit() const { return preedit_; }

 signals:
  // A command for the host, with the link under the mouse when it has one.
  void hostCommand(int id, const QString& link);
  // The link text under the mouse, or empty.
  void statusText(const QString& text);
  // 1400: the caret moved.
  void caretMoved(int column, int row);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void CaretMoved(const KPoint& caret, const KPoint& anchor) override;
  void RowsChanged(int firstRow, int lastRow) override;
  void Scrolled(int columns, int rows) override;
  void ScrollRangeChanged() override;
  void SetFont(const CKEditFont& record, const QFont& font);
  void SyncScrollBars();
  void TypeBytes(const std::string& sjis);
  void OpenLink(bool doubleClick);
  void ShowContextMenu(const QPoint& globalPos);
  void PaintLine(QPainter& p, int row, int y, const QRect& clip);
  // The keys the editor takes before the window's shortcuts.
  bool IsEditorKey(QKeyEvent* event) const;
  QRect CaretRect() const;
  // The x offset of the pre-edit's character `index` from the caret.
  int PreeditAdvance(int index) const;
  void PaintPreedit(QPainter& p, int x, int y);
  QRect RowsRect(int firstRow, int lastRow) const;

  std::unique_ptr<CKEdit> edit_;
  std::unique_ptr<CKClipboard> clipboard_;
  QFont font_;
  // The input method's composition: drawn at the caret, never in the model.
  struct PreeditFormat {
    int start, length;
    QTextCharFormat format;
  };
  QString preedit_;
  std::vector<PreeditFormat> preeditFormats_;  // the converted segment, underlines
  int preeditCursor_ = -1;                      // in characters; -1 hidden
  QRect caretShown_;  // where the caret (or pre-edit) was last drawn
  bool dragging_ = false;
  bool syncing_ = false;
  bool tabBrowser_ = true;
};

}  // namespace zentu::ui
