// The editor's text model: the line list, caret and anchor, scrolling in rows
// and columns, the undo and redo stacks and the editor commands. It knows
// nothing of drawing: views observe it (CKEditObserver) and repaint the rows
// it names.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "editor/caret.h"
#include "editor/keditfont.h"
#include "editor/keditline.h"
#include "editor/klink.h"
#include "editor/unredo.h"

namespace zentu {

class CKFind;
class CKRegExp;

// The host notifications, by their numbers.
inline constexpr int kNotifyCaretMoved = 1400;
inline constexpr int kNotifyTextCleared = 1402;

// Column and row deltas that reach the start and the end of a line or the text.
inline constexpr int kToStart = -1073741824;
inline constexpr int kToEnd = 33554432;

// The longest link text kept.
inline constexpr int kLinkTextMax = 2047;

class CKEditObserver {
 public:
  virtual ~CKEditObserver() = default;
  // 1400: after every caret move.
  virtual void CaretMoved(const KPoint& caret, const KPoint& anchor) { (void)caret, (void)anchor; }
  // 1402: after ClearText.
  virtual void TextCleared() {}
  // Rows whose drawing changed; lastRow -1 means down to the bottom.
  virtual void RowsChanged(int firstRow, int lastRow) { (void)firstRow, (void)lastRow; }
  // The view moved by whole columns and rows (positive: towards the end).
  virtual void Scrolled(int columns, int rows) { (void)columns, (void)rows; }
  // Line count, widest width or window size changed the scroll ranges.
  virtual void ScrollRangeChanged() {}
};

// The system clipboard, plain text in Shift_JIS. Both return false when the
// clipboard cannot be opened; GetText also when it holds no text.
class CKClipboard {
 public:
  virtual ~CKClipboard() = default;
  virtual bool SetText(const std::string& sjis) = 0;
  virtual bool GetText(std::string& sjis) = 0;
};

class CKEdit {
 public:
  CKEdit();
  ~CKEdit();
  CKEdit(const CKEdit&) = delete;
  CKEdit& operator=(const CKEdit&) = delete;

  // --- setup ---
  void AddObserver(CKEditObserver* observer);
  void RemoveObserver(CKEditObserver* observer);
  void SetClipboard(CKClipboard* clipboard) { clipboard_ = clipboard; }
  // The font record with its measured character width and line height.
  void SetEditFont(const CKEditFont& font);
  const CKEditFont& Font() const { return font_; }
  // Client size in pixels.
  void SetSize(int width, int height);
  void ClearText();
  // Replaces the last line by the chain (the old last line's bytes go in front
  // of the chain's first line). The file reader fills editors this way.
  void AppendLines(std::vector<CKEditLine> chain);
  // Convenience for owners and tests: ClearText, then the text split at
  // CR LF, CR and LF. Nothing of it can be undone.
  void SetText(std::string_view bytes);

  // --- editing; each returns its undo record or null, for PushUndo ---
  [[nodiscard]] UndoRecord InsertText(std::string_view bytes);
  [[nodiscard]] UndoRecord DeleteSelection();
  [[nodiscard]] UndoRecord DeleteForward();
  [[nodiscard]] UndoRecord DeleteBackward();
  void PushUndo(UndoRecord record);
  void Undo();
  void Redo();

  // --- caret and selection ---
  void MoveCaret(int columnDelta, int rowDelta, bool forward, bool extend);
  void MoveCaretTo(int column, int row, bool forward, bool extend);
  void SelectAll();
  void GoToLine(int n);
  // The go-to-line field: a decimal number, anything after its digits ignored.
  void GoToLineText(std::string_view text);
  int GetSelectionLength() const;
  std::string CopySelectionText() const;
  bool HasSelection() const { return caret_ != anchor_; }
  void SelectionRange(KPoint& start, KPoint& end) const;
  void EnsureCaretVisible();

  // --- clipboard ---
  void Copy();
  void Cut();
  void Paste();

  // --- typed input ---
  // A character message: one byte; controls other than tab, LF and CR are dropped.
  void TypeChar(unsigned char byte);
  // An input-method character: two bytes (high first) when the high byte is set.
  void TypeImeChar(unsigned code);

  // A command of the editor's list (40271 ...). Returns 1 when the model
  // carried it out, 0 when it is the host's (links, dialogs, fonts, saving).
  int Command(int id, bool shift = false);

  // --- scrolling ---
  void ScrollColumns(int delta);
  void ScrollRows(int delta);
  void ScrollToColumn(int column) { ScrollColumns(column - hscroll_); }
  void ScrollToRow(int row) { ScrollRows(row - topRow_); }
  int VisibleColumns() const;
  int VisibleRows() const;
  int MaxHorizontalScroll() const;

  // --- links ---
  // The link at a client point: kind 0, 1 or 2; stores kind and text, and
  // with select selects the link.
  int HitTestLink(int x, int y, bool select);
  int LinkKind() const { return linkKind_; }
  const std::string& LinkText() const { return linkText_; }
  // Column and row of a client point, rounded to the nearest column boundary.
  KPoint PointToPosition(int x, int y) const;

  // --- find (editor/kfind.h) ---
  // Searches from the later of caret and anchor downwards, line by line, and
  // selects the match (caret at its end). False when nothing was found below,
  // or when the finder refused its pattern.
  bool FindNext(CKFind& finder);
  CKFind& Finder() { return *find_; }
  CKRegExp& RegExpFinder() { return *regexp_; }
  // Null until the first search from a dialog.
  CKFind* CurrentFinder() const { return currentFinder_; }
  void SetCurrentFinder(CKFind* finder) { currentFinder_ = finder; }

  // --- focus ---
  void ToggleCaret(bool on);
  CCaret& Caret() { return caretBox_; }
  const CCaret& Caret() const { return caretBox_; }
  // The caret's client pixel position.
  int CaretX() const;
  int CaretY() const;

  // --- state ---
  int LineCount() const { return lines_.Count(); }
  const CKEditLine& Line(int row) const { return lines_[row]; }
  int WidestWidth() const;
  KPoint CaretPos() const { return caret_; }
  KPoint AnchorPos() const { return anchor_; }
  int TopRow() const { return topRow_; }
  int HorizontalScroll() const { return hscroll_; }
  int ClientWidth() const { return clientWidth_; }
  int ClientHeight() const { return clientHeight_; }
  bool Modified() const { return modified_; }
  void SetModified(bool on) { modified_ = on; }
  bool TitleLine() const { return titleLine_; }
  void SetTitleLine(bool on);
  bool Markup() const { return markup_; }
  void SetMarkup(bool on);
  size_t UndoDepth() const { return undo_.size(); }
  size_t RedoDepth() const { return redo_.size(); }
  // The whole text with CR LF between lines.
  std::string Text() const;

 private:
  // Changes one line, keeping the widest-width count in step.
  template <class F>
  void EditLine(int row, F&& change);
  void InsertLine(int row, CKEditLine line);
  void EraseLines(int row, int count);
  void CountWidth(int width, int delta);
  void Changed(int firstRow, int lastRow);
  void NotifyRanges();
  void ClampScroll();
  void MovedCaret();
  void UndoOrRedo(std::vector<UndoRecord>& from, std::vector<UndoRecord>& to);

  KLineStore lines_;
  // How many lines have each width; the widest is the last key.
  struct WidthCounts;
  std::unique_ptr<WidthCounts> widths_;

  KPoint caret_, anchor_;
  int topRow_ = 0;
  int hscroll_ = 0;
  int clientWidth_ = 0, clientHeight_ = 0;
  bool modified_ = false;
  bool titleLine_ = false;
  bool markup_ = false;
  int linkKind_ = kLinkNone;
  std::string linkText_;
  std::vector<UndoRecord> undo_, redo_;  // newest last
  CCaret caretBox_;
  CKEditFont font_;
  bool fontApplied_ = false;
  CKClipboard* clipboard_ = nullptr;
  std::unique_ptr<CKFind> find_;
  std::unique_ptr<CKRegExp> regexp_;
  CKFind* currentFinder_ = nullptr;
  std::vector<CKEditObserver*> observers_;
};

}  // namespace zentu
