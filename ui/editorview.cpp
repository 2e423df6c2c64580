#include "ui/editorview.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <vector>

#include "os/cp932.h"
#include "os/log.h"
#include "os/text.h"
#include "store/profile.h"
#include "ui/keybindings.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

constexpr char kFallbackFace[] = "IPAGothic";

std::vector<EditorView*>& AllEditors() {
  static std::vector<EditorView*> editors;
  return editors;
}

QColor C(const KColor& c) { return QColor(c.red, c.green, c.blue); }
KColor K(const Rgb& c) { return {c.red, c.green, c.blue}; }

class QtClipboard : public CKClipboard {
 public:
  bool SetText(const std::string& sjis) override {
    QClipboard* board = QGuiApplication::clipboard();
    if (!board) return false;
    board->setText(Q(sjis));
    return true;
  }
  bool GetText(std::string& sjis) override {
    QClipboard* board = QGuiApplication::clipboard();
    if (!board) return false;
    const QString text = board->text();
    if (text.isEmpty()) return false;
    sjis = S(text);
    return true;
  }
};

bool HasFamily(const QFont& font, const QString& family) {
  return QFontInfo(font).family().compare(family, Qt::CaseInsensitive) == 0;
}

}  // namespace

EditorView::EditorView(QWidget* parent)
    : QAbstractScrollArea(parent), edit_(std::make_unique<CKEdit>()), clipboard_(std::make_unique<QtClipboard>()) {
  setAttribute(Qt::WA_InputMethodEnabled);
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  viewport()->setCursor(Qt::ArrowCursor);
  viewport()->setMouseTracking(true);
  viewport()->setAutoFillBackground(false);
  // Every paint fills its area: scrolling can then move the drawn pixels
  // and paint only the uncovered strip.
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  edit_->SetClipboard(clipboard_.get());
  edit_->AddObserver(this);
  ApplyProfile(CurrentProfile());
  AllEditors().push_back(this);
}

EditorView::~EditorView() {
  auto& all = AllEditors();
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
  edit_->RemoveObserver(this);
}

CKEditFont EditorView::FontFromProfile(const Profile& profile, QFont& font) {
  CKEditFont r;
  r.height = std::max(2, profile.FontHeight);
  r.width = r.height / 2;
  r.face = profile.FontTypeFace;
  const QString face = Q(profile.FontTypeFace);
  font = QFont(face);
  font.setPixelSize(r.height);
  font.setStyleHint(QFont::TypeWriter);
  if (!HasFamily(font, face)) {
    font.setFamily(kFallbackFace);
    if (!HasFamily(font, kFallbackFace)) {
      font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
      font.setPixelSize(r.height);
    }
  }
  const QFontMetrics metrics(font);
  r.charWidth = metrics.height() / 2 - (os::EqualsNoCase(profile.FontTypeFace, "fixedsys") ? 1 : 0);
  r.lineHeight = metrics.height() + metrics.leading();
  r.text = K(profile.FontColor);
  r.background = K(profile.BackgroundColor);
  r.ctrl = K(profile.CtrlColor);
  r.eof = K(profile.EOFColor);
  r.tag = K(profile.TagColor);
  r.link = K(profile.LinkColor);
  r.lineBreak = K(profile.LineBreakColor);
  r.firstLineBack = K(profile.FirstLine_BackColor);
  r.firstLineLine = K(profile.FirstLine_LineColor);
  r.firstLineFont = K(profile.FirstLine_FontColor);
  r.leftMargin = profile.LeftMargin;
  r.topMargin = profile.TopMargin;
  r.baseLineSkip = std::max(0, profile.BaseLineSkip);
  return r;
}

void EditorView::ApplyProfile(const Profile& profile) {
  QFont font;
  const CKEditFont record = FontFromProfile(profile, font);
  tabBrowser_ = profile.TabBrowser;
  SetFont(record, font);
}

void EditorView::SetFont(const CKEditFont& record, const QFont& font) {
  font_ = font;
  edit_->SetEditFont(record);
  viewport()->update();
}

void EditorView::ChangeFontHeight(int delta) {
  Profile& p = CurrentProfile();
  if (delta < 0 && p.FontHeight <= 2) {
    p.FontHeight = 2;
    return;
  }
  p.FontHeight = std::max(2, p.FontHeight + delta);
  WriteLogVerbose("[memo] change font %s (%d)", p.FontTypeFace.c_str(), p.FontHeight);
  for (EditorView* view : AllEditors()) view->ApplyProfile(p);
}

void EditorView::RunCommand(int id, bool shift) {
  if (edit_->Command(id, shift)) return;
  if (id == 40299) return ChangeFontHeight(+2);
  if (id == 40300) return ChangeFontHeight(-2);
  if (id == 5100) return;  // "キャンセル"
  emit hostCommand(id, Q(edit_->LinkText()));
}

// ----- observer -----

void EditorView::CaretMoved(const KPoint& caret, const KPoint&) {
  // Only the caret's old and new cells; changed text and selections come as rows.
  viewport()->update(caretShown_);
  caretShown_ = CaretRect();
  viewport()->update(caretShown_);
  if (QGuiApplication::inputMethod()) QGuiApplication::inputMethod()->update(Qt::ImCursorRectangle);
  emit caretMoved(caret.column, caret.row);
}

QRect EditorView::CaretRect() const {
  const CKEditFont& f = edit_->Font();
  int width = 2;
  if (!preedit_.isEmpty()) width = std::max(width, PreeditAdvance(static_cast<int>(preedit_.size())) + 2);
  return QRect(edit_->CaretX(), edit_->CaretY(), width, f.lineHeight);
}

int EditorView::PreeditAdvance(int index) const {
  return QFontMetrics(font_).horizontalAdvance(preedit_.left(std::clamp<qsizetype>(index, 0, preedit_.size())));
}

QRect EditorView::RowsRect(int firstRow, int lastRow) const {
  const CKEditFont& f = edit_->Font();
  const int pitch = std::max(1, f.Pitch());
  const int top = edit_->TopRow();
  const int height = viewport()->height();
  // One pixel more above and below: the title line's box reaches past its row.
  const long long y0 = f.topMargin + static_cast<long long>(firstRow - top) * pitch - 1;
  const long long y1 = lastRow < 0 ? height : f.topMargin + static_cast<long long>(lastRow - top + 1) * pitch + 1;
  const int from = static_cast<int>(std::clamp<long long>(y0, 0, height));
  const int to = static_cast<int>(std::clamp<long long>(y1, 0, height));
  if (to <= from) return {};
  return QRect(0, from, viewport()->width(), to - from);
}

void EditorView::RowsChanged(int firstRow, int lastRow) {
  const QRect r = RowsRect(firstRow, lastRow);
  if (!r.isEmpty()) viewport()->update(r);
}

void EditorView::Scrolled(int columns, int rows) {
  SyncScrollBars();
  const CKEditFont& f = edit_->Font();
  // The drawn text moves; only the uncovered strip is painted. The caret is
  // drawn where it is now, and its moved picture is painted over.
  viewport()->update(caretShown_.translated(-columns * f.charWidth, -rows * f.Pitch()));
  viewport()->scroll(-columns * f.charWidth, -rows * f.Pitch());
  viewport()->update(caretShown_);
  caretShown_ = CaretRect();
  viewport()->update(caretShown_);
}

void EditorView::ScrollRangeChanged() { SyncScrollBars(); }

void EditorView::SyncScrollBars() {
  syncing_ = true;
  const int rows = edit_->VisibleRows();
  verticalScrollBar()->setRange(0, std::max(0, edit_->LineCount() - 1));
  verticalScrollBar()->setPageStep(std::max(1, rows));
  verticalScrollBar()->setValue(edit_->TopRow());
  horizontalScrollBar()->setRange(0, edit_->MaxHorizontalScroll());
  horizontalScrollBar()->setPageStep(std::max(1, edit_->VisibleColumns()));
  horizontalScrollBar()->setValue(edit_->HorizontalScroll());
  syncing_ = false;
}

void EditorView::scrollContentsBy(int, int) {
  // Qt's scroll bars carry 32-bit positions, so the thumb reaches every line.
  if (syncing_) return;
  edit_->ScrollToRow(verticalScrollBar()->value());
  edit_->ScrollToColumn(horizontalScrollBar()->value());
}

void EditorView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  edit_->SetSize(viewport()->width(), viewport()->height());
}

// ----- drawing -----

void EditorView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  Render(painter, event->rect());
}

void EditorView::Render(QPainter& p, const QRect& clip) {
  const CKEditFont& f = edit_->Font();
  const int pitch = f.Pitch();
  p.fillRect(clip, C(f.background));
  p.setFont(font_);
  p.setClipRect(clip);
  const int top = edit_->TopRow();
  for (int row = top, y = f.topMargin; row < edit_->LineCount() && y <= clip.bottom(); ++row, y += pitch) {
    if (y + pitch < clip.top()) continue;
    if (row == 0 && edit_->TitleLine() && clip.top() <= f.topMargin) {
      p.fillRect(clip, C(f.background));
      p.setPen(QPen(C(f.firstLineLine), 1));
      p.setBrush(C(f.firstLineBack));
      p.drawRect(QRect(QPoint(f.leftMargin - 1, f.topMargin - 1),
                       QPoint(f.leftMargin + clip.right() + 1, f.topMargin + f.lineHeight + 1)));
      p.setBrush(Qt::NoBrush);
    }
    PaintLine(p, row, y, clip);
  }

  // The selection inverts its cells, the line-break cell of every row but the last.
  if (edit_->HasSelection()) {
    KPoint s, e;
    edit_->SelectionRange(s, e);
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    for (int row = std::max(s.row, top); row <= e.row; ++row) {
      const int y = f.topMargin + (row - top) * pitch;
      if (y > clip.bottom()) break;
      const int from = row == s.row ? s.column : 0;
      const int to = row == e.row ? e.column : edit_->Line(row).Width() + 1;
      const int x0 = f.leftMargin + (from - edit_->HorizontalScroll()) * f.charWidth;
      const int x1 = f.leftMargin + (to - edit_->HorizontalScroll()) * f.charWidth;
      p.fillRect(QRect(x0, y, x1 - x0, f.lineHeight).intersected(clip), Qt::white);
    }
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  }

  if (edit_->Caret().Exists()) {
    const CCaret& c = edit_->Caret();
    if (!preedit_.isEmpty()) {
      PaintPreedit(p, c.X(), c.Y());
    } else {
      p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
      p.fillRect(c.X(), c.Y(), c.Width(), c.Height(), Qt::white);
      p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
  }
}

// The composition over the text at the caret, in the formats the input method
// gives its parts (the segment being converted stands out), with its own caret.
// Without formats it is underlined whole.
void EditorView::PaintPreedit(QPainter& p, int x, int y) {
  const CKEditFont& f = edit_->Font();
  const int n = static_cast<int>(preedit_.size());
  const int ascent = QFontMetrics(font_).ascent();
  p.fillRect(x, y, PreeditAdvance(n), f.lineHeight, C(f.background));
  std::vector<int> cuts{0, n};
  for (const PreeditFormat& pf : preeditFormats_) {
    cuts.push_back(std::clamp(pf.start, 0, n));
    cuts.push_back(std::clamp(pf.start + pf.length, 0, n));
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    const int from = cuts[i], to = cuts[i + 1];
    QTextCharFormat format;
    for (const PreeditFormat& pf : preeditFormats_)
      if (pf.start <= from && to <= pf.start + pf.length) format.merge(pf.format);
    const int x0 = x + PreeditAdvance(from), x1 = x + PreeditAdvance(to);
    if (format.hasProperty(QTextFormat::BackgroundBrush))
      p.fillRect(x0, y, x1 - x0, f.lineHeight, format.background());
    const QColor text = format.hasProperty(QTextFormat::ForegroundBrush) ? format.foreground().color() : C(f.text);
    p.setPen(text);
    p.drawText(x0, y + ascent, preedit_.mid(from, to - from));
    const bool underline = preeditFormats_.empty() || format.fontUnderline() ||
                           format.underlineStyle() != QTextCharFormat::NoUnderline;
    if (underline) {
      p.setPen(format.underlineColor().isValid() ? format.underlineColor() : text);
      p.drawLine(x0, y + f.lineHeight - 1, x1 - 1, y + f.lineHeight - 1);
    }
  }
  if (preeditCursor_ >= 0) p.fillRect(x + PreeditAdvance(preeditCursor_), y, 2, f.lineHeight, C(f.text));
}

void EditorView::PaintLine(QPainter& p, int row, int y, const QRect& clip) {
  const CKEditFont& f = edit_->Font();
  const CKEditLine& line = edit_->Line(row);
  const std::string& text = line.Text();
  const int n = line.Length();
  const int cw = f.charWidth;
  const int x0 = f.leftMargin - edit_->HorizontalScroll() * cw;
  const int baseline = y + QFontMetrics(font_).ascent();
  const QColor plain = C(row == 0 && edit_->TitleLine() ? f.firstLineFont : f.text);
  const QColor tag = C(f.tag), link = C(f.link), ctrl = C(f.ctrl);

  std::string run;
  int runX = 0;
  QColor runColor;
  auto flush = [&] {
    if (run.empty()) return;
    p.setPen(runColor);
    p.drawText(runX, baseline, Q(run));
    run.clear();
  };

  bool inTag = false, closed = false;
  int linkLeft = 0;
  int column = 0;
  bool complete = true;
  for (int pos = 0; pos < n;) {
    const int bytes = KCharBytes(text, pos);
    const int next = KNextColumn(text, pos, column);
    const auto c = static_cast<unsigned char>(text[pos]);
    // Tag runs: "<" ... ">" in markup files, "[[" ... "]]" elsewhere.
    const char open = edit_->Markup() ? '<' : '[';
    const char close = edit_->Markup() ? '>' : ']';
    if (inTag && closed && c != static_cast<unsigned char>(open)) inTag = false;
    if (!inTag && c == static_cast<unsigned char>(open) &&
        (edit_->Markup() || (pos + 1 < n && text[pos + 1] == '['))) {
      inTag = true;
      closed = false;
    } else if (inTag) {
      if (edit_->Markup()) {
        if (c == '>') closed = true;
        if (c == '<') closed = false;
      } else if (c == static_cast<unsigned char>(close) && pos > 0 && text[pos - 1] == close) {
        closed = true;
      }
    }
    if (linkLeft <= 0) {
      const KLinkMatch m = DetectLink(std::string_view(text).substr(static_cast<size_t>(pos)));
      linkLeft = m.kind ? m.length : 0;
    }
    const QColor colour = linkLeft > 0 ? link : inTag ? tag : plain;
    const int x = x0 + column * cw;
    if (x > clip.right()) {
      complete = false;
      break;
    }
    const bool visible = x0 + next * cw >= clip.left();
    if (text[pos] == '\t' || (bytes == 2 && c == 0x81 && static_cast<unsigned char>(text[pos + 1]) == 0x40)) {
      flush();
      if (visible) {
        p.setPen(ctrl);
        p.drawText(x, baseline, text[pos] == '\t' ? QStringLiteral(">") : QString(QChar(0x25A1)));
      }
    } else if (visible) {
      if (run.empty() || colour != runColor) {
        flush();
        runX = x;
        runColor = colour;
      }
      run.append(text, static_cast<size_t>(pos), static_cast<size_t>(bytes));
    }
    linkLeft -= bytes;
    column = next;
    pos += bytes;
  }
  flush();
  if (!complete) return;
  const int x = x0 + line.Width() * cw;
  if (row + 1 < edit_->LineCount()) {
    const int h = f.lineHeight;
    const int bottom = y + h - h / 3;
    p.setPen(QPen(C(f.lineBreak), 1));
    p.drawLine(x + 5, y + h / 3, x + 5, bottom);
    p.drawLine(x + 5, bottom, x, bottom);
    p.drawLine(x, bottom, x + 4, bottom - 4);
    p.drawLine(x, bottom, x + 4, bottom + 4);
  } else {
    p.setPen(C(f.eof));
    p.drawText(x, baseline, QStringLiteral("[EOF]"));
  }
}

// ----- keys and the input method -----

bool EditorView::IsEditorKey(QKeyEvent* event) const {
  if (EditorCommandOfEvent(event)) return true;  // bound in the editor's key list
  switch (event->key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_End:
    case Qt::Key_Home:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Tab:
      return true;
    default: break;
  }
  for (auto key : {QKeySequence::Copy, QKeySequence::Cut, QKeySequence::Paste, QKeySequence::Undo,
                   QKeySequence::Redo, QKeySequence::SelectAll})
    if (event->matches(key)) return true;
  const bool command = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  return !command && !event->text().isEmpty();
}

bool EditorView::event(QEvent* event) {
  // The window's shortcuts (Ctrl+R, F2, the marks ...) must not take the
  // editor's own keys or typed text while it has the focus.
  if (event->type() == QEvent::ShortcutOverride && IsEditorKey(static_cast<QKeyEvent*>(event))) {
    event->accept();
    return true;
  }
  return QAbstractScrollArea::event(event);
}

bool EditorView::focusNextPrevChild(bool) { return false; }  // Tab is text

void EditorView::TypeBytes(const std::string& sjis) {
  os::ForEachSjisChar(sjis, [this](std::string_view ch) {
    const auto b0 = static_cast<unsigned char>(ch[0]);
    if (ch.size() == 2)
      edit_->TypeImeChar(static_cast<unsigned>(b0) << 8 | static_cast<unsigned char>(ch[1]));
    else
      edit_->TypeChar(b0);
  });
}

void EditorView::keyPressEvent(QKeyEvent* event) {
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  // The editor's key list first: the user's bindings beat the built-in keys.
  if (const int bound = EditorCommandOfEvent(event)) return RunCommand(bound);
  struct Key {
    int key, command;
  } static const kKeys[] = {{Qt::Key_Backspace, 40277}, {Qt::Key_Delete, 40278}, {Qt::Key_PageUp, 40281},
                            {Qt::Key_PageDown, 40280},  {Qt::Key_End, 40276},    {Qt::Key_Home, 40275},
                            {Qt::Key_Up, 40272},        {Qt::Key_Down, 40271},   {Qt::Key_Left, 40274},
                            {Qt::Key_Right, 40273}};
  if (ctrl && event->key() == Qt::Key_Home) return RunCommand(40467);
  if (ctrl && event->key() == Qt::Key_End) return RunCommand(40466);
  for (const Key& k : kKeys)
    if (event->key() == k.key) return RunCommand(k.command, shift);
  struct Standard {
    QKeySequence::StandardKey key;
    int command;
  } static const kStandard[] = {{QKeySequence::Copy, 40282},  {QKeySequence::Cut, 40284},
                                {QKeySequence::Paste, 40279}, {QKeySequence::Undo, 40285},
                                {QKeySequence::Redo, 40286},  {QKeySequence::SelectAll, 40316}};
  for (const Standard& s : kStandard)
    if (event->matches(s.key)) return RunCommand(s.command);
  const QString text = event->text();
  if (!text.isEmpty() && !ctrl) return TypeBytes(S(text));
  QAbstractScrollArea::keyPressEvent(event);
}

void EditorView::inputMethodEvent(QInputMethodEvent* event) {
  // Each committed character is one input-method character: one undo step.
  if (!event->commitString().isEmpty()) TypeBytes(S(event->commitString()));
  viewport()->update(caretShown_);
  const bool composing = preedit_.isEmpty() && !event->preeditString().isEmpty();
  preedit_ = event->preeditString();
  preeditFormats_.clear();
  preeditCursor_ = static_cast<int>(preedit_.size());
  for (const QInputMethodEvent::Attribute& a : event->attributes()) {
    if (a.type == QInputMethodEvent::TextFormat) {
      const QTextCharFormat format = qvariant_cast<QTextFormat>(a.value).toCharFormat();
      if (format.isValid()) preeditFormats_.push_back({a.start, a.length, format});
    } else if (a.type == QInputMethodEvent::Cursor) {
      preeditCursor_ = a.length > 0 ? std::clamp(a.start, 0, static_cast<int>(preedit_.size())) : -1;
    }
  }
  if (preedit_.isEmpty()) preeditCursor_ = -1;
  // A composition starts where it can be seen.
  if (composing) edit_->EnsureCaretVisible();
  caretShown_ = CaretRect();
  viewport()->update(caretShown_);
  if (QGuiApplication::inputMethod()) QGuiApplication::inputMethod()->update(Qt::ImCursorRectangle);
  event->accept();
}

QVariant EditorView::inputMethodQuery(Qt::InputMethodQuery query) const {
  const CKEditFont& f = edit_->Font();
  switch (query) {
    case Qt::ImCursorRectangle: {
      // In this widget's coordinates (the viewport sits inside the frame), at
      // the composition's own caret, so that the candidate list opens beside it.
      const int x = edit_->CaretX() + (preedit_.isEmpty() ? 0 : PreeditAdvance(std::max(preeditCursor_, 0)));
      return QRect(x, edit_->CaretY(), 2, f.lineHeight).translated(viewport()->pos());
    }
    case Qt::ImFont: return font_;
    case Qt::ImEnabled: return true;
    default: return QAbstractScrollArea::inputMethodQuery(query);
  }
}

void EditorView::focusInEvent(QFocusEvent* event) {
  edit_->ToggleCaret(true);
  QAbstractScrollArea::focusInEvent(event);
}

void EditorView::focusOutEvent(QFocusEvent* event) {
  edit_->ToggleCaret(false);
  QAbstractScrollArea::focusOutEvent(event);
}

// ----- mouse -----

void EditorView::OpenLink(bool doubleClick) {
  const QString text = Q(edit_->LinkText());
  if (edit_->LinkKind() == kLinkMail) {
    WriteLog("Send EMail: %s", edit_->LinkText().c_str());
    emit hostCommand(40302, text);
    return;
  }
  const Profile& p = CurrentProfile();
  if (!doubleClick)
    emit hostCommand(tabBrowser_ ? 40294 : 40293, text);
  else
    emit hostCommand(p.OpenLinkByDefaultBrowser ? 40301 : p.OpenLinkByNewTab ? 40294 : 40293, text);
}

void EditorView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  setFocus(Qt::MouseFocusReason);
  const QPoint pt = event->position().toPoint();
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  if (shift && edit_->HitTestLink(pt.x(), pt.y(), false)) return OpenLink(false);
  const KPoint at = edit_->PointToPosition(pt.x(), pt.y());
  edit_->MoveCaretTo(at.column, at.row, false, shift);
  dragging_ = true;
}

void EditorView::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pt = event->position().toPoint();
  if (dragging_) {
    const KPoint at = edit_->PointToPosition(pt.x(), pt.y());
    edit_->MoveCaretTo(at.column, at.row, false, true);
    return;
  }
  if (pt.x() < 0 || pt.y() < 0 || pt.x() > 60000 || pt.y() > 60000) return;
  if (edit_->HitTestLink(pt.x(), pt.y(), false)) {
    viewport()->setCursor(Qt::PointingHandCursor);
    emit statusText(Q(edit_->LinkText()));
  } else {
    viewport()->setCursor(Qt::ArrowCursor);
    emit statusText(QString());
  }
}

void EditorView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragging_ = false;
  if (event->button() == Qt::RightButton) {
    const QPoint pt = event->position().toPoint();
    edit_->HitTestLink(pt.x(), pt.y(), true);
    ShowContextMenu(event->globalPosition().toPoint());
  }
}

void EditorView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint pt = event->position().toPoint();
  if (event->button() == Qt::LeftButton && edit_->HitTestLink(pt.x(), pt.y(), false)) OpenLink(true);
}

void EditorView::wheelEvent(QWheelEvent* event) {
  const int dy = event->angleDelta().y();
  if (dy == 0) return;
  if (event->modifiers() & Qt::ControlModifier)
    RunCommand(dy > 0 ? 40300 : 40299);
  else
    edit_->ScrollRows(dy > 0 ? -3 : 3);
  event->accept();
}

void EditorView::ShowContextMenu(const QPoint& globalPos) {
  QMenu menu(this);
  auto add = [&](const char* utf8, int id, bool enabled = true) {
    QAction* a = menu.addAction(U(utf8));
    a->setEnabled(enabled);
    connect(a, &QAction::triggered, this, [this, id] { RunCommand(id); });
  };
  switch (edit_->LinkKind()) {
    case kLinkUrl:
      if (tabBrowser_) {
        add("URLを現在のタブで開く(&O)", 40293);
        add("URLを新しいタブで開く(&N)", 40294);
      } else {
        add("URLをZENTUで開く(&W)", 40293);
      }
      add("URLを指定したブラウザで開く(&Y)", 40301);
      add("リンク登録(&A)", 40296, false);
      add("リンク登録＆取り込み(&S)", 40297, false);
      add("コピー(&C)", 40282);
      add("カット(&X)", 40284);
      menu.addSeparator();
      add("キャンセル", 5100);
      break;
    case kLinkMail:
      add("指定したメーラでメール作成(&Y)", 40302);
      add("コピー(&C)", 40282);
      add("カット(&X)", 40284);
      menu.addSeparator();
      add("キャンセル(&C)", 5100);
      break;
    default:
      add("元に戻す(&U)", 40285);
      add("やり直し(&R)", 40286);
      menu.addSeparator();
      add("切り取り(&X)", 40284);
      add("コピー(&C)", 40282);
      add("貼り付け(&P)", 40279);
      add("削除(&D)", 40278);
      menu.addSeparator();
      add("全て選択(&A)", 40316);
      menu.addSeparator();
      add("キャンセル", 5100);
  }
  const QSize size = menu.sizeHint();
  menu.exec(globalPos - QPoint(size.width() / 2, size.height() / 2));
}

}  // namespace zentu::ui
