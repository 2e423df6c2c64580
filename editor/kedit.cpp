#include "editor/kedit.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <utility>

#include "editor/kfind.h"
#include "os/clock.h"
#include "os/log.h"
#include "os/text.h"

namespace zentu {
namespace {

int ClampInt(long long v, long long lo, long long hi) { return static_cast<int>(std::clamp(v, lo, hi)); }

// Floor division, so that points left of or above the text origin round down.
int FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

// How many lines have each width. Narrow widths (nearly every line) are
// counted in a table, wide ones in a map; the widest is kept up to date so
// that it is found without a search.
struct CKEdit::WidthCounts {
  static constexpr int kTable = 4096;
  std::vector<int> narrow = std::vector<int>(kTable, 0);
  std::map<int, int> wide;
  int widest = 0;
  bool any = false;

  void Add(int width, int delta) {
    int left;
    if (width < kTable) {
      left = narrow[static_cast<size_t>(width)] += delta;
    } else {
      auto& n = wide[width];
      left = n += delta;
      if (left == 0) wide.erase(width);
    }
    if (delta > 0) {
      if (!any || width > widest) widest = width;
      any = true;
    } else if (left == 0 && width == widest) {
      FindWidest();
    }
  }
  void FindWidest() {
    any = true;
    if (!wide.empty()) {
      widest = wide.rbegin()->first;
      return;
    }
    for (int w = std::min(widest, kTable - 1); w >= 0; --w)
      if (narrow[static_cast<size_t>(w)] > 0) {
        widest = w;
        return;
      }
    widest = 0;
    any = false;
  }
  void Clear() {
    std::fill(narrow.begin(), narrow.end(), 0);
    wide.clear();
    widest = 0;
    any = false;
  }
};

CKEdit::CKEdit()
    : widths_(std::make_unique<WidthCounts>()),
      find_(std::make_unique<CKFind>()),
      regexp_(std::make_unique<CKRegExp>()) {
  ClearText();
}
CKEdit::~CKEdit() = default;

// ----- observers -----

void CKEdit::AddObserver(CKEditObserver* observer) {
  if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
    observers_.push_back(observer);
}

void CKEdit::RemoveObserver(CKEditObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void CKEdit::Changed(int firstRow, int lastRow) {
  for (auto* o : observers_) o->RowsChanged(firstRow, lastRow);
}

void CKEdit::NotifyRanges() {
  ClampScroll();
  for (auto* o : observers_) o->ScrollRangeChanged();
}

void CKEdit::MovedCaret() {
  caretBox_.Place(CaretX(), CaretY());
  EnsureCaretVisible();
  for (auto* o : observers_) o->CaretMoved(caret_, anchor_);
}

// ----- the line list and its widths -----

void CKEdit::CountWidth(int width, int delta) { widths_->Add(width, delta); }

int CKEdit::WidestWidth() const { return widths_->widest; }

template <class F>
void CKEdit::EditLine(int row, F&& change) {
  CKEditLine& line = lines_[row];
  CountWidth(line.Width(), -1);
  change(line);
  CountWidth(line.Width(), +1);
}

void CKEdit::InsertLine(int row, CKEditLine line) {
  CountWidth(line.Width(), +1);
  lines_.Insert(row, std::move(line));
}

void CKEdit::EraseLines(int row, int count) {
  for (int i = 0; i < count; ++i) CountWidth(lines_[row + i].Width(), -1);
  lines_.Erase(row, count);
}

// ----- setup -----

void CKEdit::SetEditFont(const CKEditFont& font) {
  font_ = font;
  font_.baseLineSkip = std::max(0, font_.baseLineSkip);
  font_.charWidth = std::max(1, font_.charWidth);
  font_.lineHeight = std::max(1, font_.lineHeight);
  fontApplied_ = true;
  if (caretBox_.Exists()) caretBox_.Create(2, font_.lineHeight);
  caretBox_.Place(CaretX(), CaretY());
  NotifyRanges();
  Changed(0, -1);
}

void CKEdit::SetSize(int width, int height) {
  clientWidth_ = std::max(0, width);
  clientHeight_ = std::max(0, height);
  NotifyRanges();
  Changed(0, -1);
}

void CKEdit::ClearText() {
  lines_.Clear();
  widths_->Clear();
  undo_.clear();
  redo_.clear();
  if (!fontApplied_) SetEditFont(font_);
  markup_ = false;
  InsertLine(0, CKEditLine());
  caret_ = anchor_ = KPoint{};
  topRow_ = hscroll_ = 0;
  caretBox_.Place(CaretX(), CaretY());
  NotifyRanges();
  Changed(0, -1);
  for (auto* o : observers_) o->TextCleared();
}

void CKEdit::AppendLines(std::vector<CKEditLine> chain) {
  if (chain.empty()) return;
  const int last = lines_.Count() - 1;
  if (lines_[last].Length() > 0) chain.front().SetText(lines_[last].Text() + chain.front().Text());
  EraseLines(last, 1);
  for (const CKEditLine& line : chain) CountWidth(line.Width(), +1);
  lines_.InsertRange(last, std::move(chain));
  NotifyRanges();
  Changed(last, -1);
}

void CKEdit::SetText(std::string_view bytes) {
  ClearText();
  std::vector<CKEditLine> chain;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r' && bytes[i] != '\n') continue;
    chain.emplace_back(std::string(bytes.substr(start, i - start)));
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    start = i + 1;
  }
  chain.emplace_back(std::string(bytes.substr(start)));
  AppendLines(std::move(chain));
}

void CKEdit::SetTitleLine(bool on) {
  titleLine_ = on;
  Changed(0, 0);
}

void CKEdit::SetMarkup(bool on) {
  markup_ = on;
  Changed(0, -1);
}

// ----- caret -----

void CKEdit::MoveCaret(int columnDelta, int rowDelta, bool forward, bool extend) {
  if (!extend && HasSelection()) Changed(std::min(caret_.row, anchor_.row), std::max(caret_.row, anchor_.row));
  const int count = lines_.Count();
  const int row = ClampInt(static_cast<long long>(caret_.row) + rowDelta, 0, count - 1);
  const CKEditLine& line = lines_[row];
  const int column = ClampInt(static_cast<long long>(caret_.column) + columnDelta, INT_MIN / 2, INT_MAX / 2);
  const int pos = KPositionOfColumn(line.Text(), line.Width(), column, forward, row + 1 < count);
  KPoint next;
  if (pos != kNoPosition) {
    next = {KColumnOfPosition(line.Text(), pos), row};
  } else if (columnDelta <= 0) {
    next = row > 0 ? KPoint{lines_[row - 1].Width(), row - 1} : KPoint{0, row};
  } else {
    next = row + 1 < count ? KPoint{0, row + 1} : KPoint{line.Width(), row};
  }
  if (extend) Changed(std::min(caret_.row, next.row), std::max(caret_.row, next.row));
  caret_ = next;
  if (!extend) anchor_ = next;
  MovedCaret();
}

void CKEdit::MoveCaretTo(int column, int row, bool forward, bool extend) {
  row = std::clamp(row, 0, lines_.Count() - 1);
  const long long dc = static_cast<long long>(column) - caret_.column;
  MoveCaret(ClampInt(dc, INT_MIN / 2, INT_MAX / 2), row - caret_.row, forward, extend);
}

void CKEdit::SelectAll() {
  MoveCaret(WidestWidth() - caret_.column, lines_.Count() - caret_.row, false, false);
  MoveCaretTo(0, 0, true, true);
}

void CKEdit::GoToLine(int n) { MoveCaretTo(0, n <= 0 ? 0 : n - 1, true, false); }

void CKEdit::GoToLineText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) n = std::min(n * 10 + (text[i] - '0'), 1LL << 40);
  GoToLine(ClampInt(negative ? -n : n, INT_MIN, INT_MAX));
}

void CKEdit::SelectionRange(KPoint& start, KPoint& end) const {
  start = KBefore(anchor_, caret_) ? anchor_ : caret_;
  end = KBefore(anchor_, caret_) ? caret_ : anchor_;
}

int CKEdit::GetSelectionLength() const {
  if (!HasSelection()) return 0;
  KPoint s, e;
  SelectionRange(s, e);
  auto posOf = [this](const KPoint& p) {
    const CKEditLine& l = lines_[p.row];
    return KPositionOfColumn(l.Text(), l.Width(), p.column, false, false);
  };
  if (s.row == e.row) return posOf(e) - posOf(s);
  int n = lines_[s.row].Length() - posOf(s);
  for (int r = s.row + 1; r < e.row; ++r) n += lines_[r].Length();
  return n + posOf(e) + 2 * (e.row - s.row);
}

std::string CKEdit::CopySelectionText() const {
  std::string out;
  if (!HasSelection()) return out;
  out.reserve(static_cast<size_t>(GetSelectionLength()));
  KPoint s, e;
  SelectionRange(s, e);
  for (int r = s.row; r <= e.row; ++r) {
    const CKEditLine& l = lines_[r];
    const int from = r == s.row ? KPositionOfColumn(l.Text(), l.Width(), s.column, false, false) : 0;
    const int to = r == e.row ? KPositionOfColumn(l.Text(), l.Width(), e.column, false, false) : l.Length();
    out.append(l.Text(), static_cast<size_t>(from), static_cast<size_t>(to - from));
    if (r != e.row) out += "\r\n";
  }
  return out;
}

int CKEdit::VisibleColumns() const { return clientWidth_ / font_.charWidth; }
int CKEdit::VisibleRows() const { return clientHeight_ / font_.Pitch(); }
int CKEdit::MaxHorizontalScroll() const { return std::max(0, WidestWidth() - VisibleColumns() + 1); }

void CKEdit::EnsureCaretVisible() {
  const int columns = std::max(1, VisibleColumns());
  if (caret_.column < hscroll_)
    ScrollColumns(caret_.column - hscroll_);
  else if (caret_.column >= hscroll_ + columns)
    ScrollColumns(caret_.column - columns + 1 - hscroll_);
  const int rows = std::max(1, VisibleRows());
  if (caret_.row < topRow_)
    ScrollRows(caret_.row - topRow_);
  else if (caret_.row >= topRow_ + rows)
    ScrollRows(caret_.row - rows + 1 - topRow_);
}

int CKEdit::CaretX() const { return font_.leftMargin + (caret_.column - hscroll_) * font_.charWidth; }
int CKEdit::CaretY() const { return font_.topMargin + (caret_.row - topRow_) * font_.Pitch(); }

void CKEdit::ToggleCaret(bool on) {
  if (on) {
    caretBox_.Create(2, font_.lineHeight);
    caretBox_.Place(CaretX(), CaretY());
  } else {
    caretBox_.Destroy();
  }
  Changed(caret_.row, caret_.row);
}

// ----- scrolling -----

void CKEdit::ScrollColumns(int delta) {
  const int next = ClampInt(static_cast<long long>(hscroll_) + delta, 0, MaxHorizontalScroll());
  const int moved = next - hscroll_;
  if (moved == 0) return;
  hscroll_ = next;
  caretBox_.Place(CaretX(), CaretY());
  for (auto* o : observers_) o->Scrolled(moved, 0);
}

void CKEdit::ScrollRows(int delta) {
  const int next = ClampInt(static_cast<long long>(topRow_) + delta, 0, lines_.Count() - 1);
  const int moved = next - topRow_;
  if (moved == 0) return;
  topRow_ = next;
  caretBox_.Place(CaretX(), CaretY());
  for (auto* o : observers_) o->Scrolled(0, moved);
}

void CKEdit::ClampScroll() {
  if (topRow_ > lines_.Count() - 1) ScrollRows(lines_.Count() - 1 - topRow_);
  if (hscroll_ > MaxHorizontalScroll()) ScrollColumns(MaxHorizontalScroll() - hscroll_);
}

// ----- editing -----

UndoRecord CKEdit::InsertText(std::string_view bytes) {
  PushUndo(DeleteSelection());
  if (bytes.empty()) return nullptr;
  const KPoint start = caret_;
  int row = start.row;
  int p;
  {
    const CKEditLine& l = lines_[row];
    p = KPositionOfColumn(l.Text(), l.Width(), start.column, true, row + 1 < lines_.Count());
    if (p == kNoPosition) p = l.Length();
  }
  int added = 0;
  size_t from = 0;
  for (size_t j = 0; j < bytes.size(); ++j) {
    if (bytes[j] != '\r' && bytes[j] != '\n') continue;
    std::string tail = lines_[row].Text().substr(static_cast<size_t>(p));
    const std::string_view piece = bytes.substr(from, j - from);
    EditLine(row, [&](CKEditLine& l) {
      std::string head = l.Text().substr(0, static_cast<size_t>(p));
      head.append(piece);
      l.SetText(std::move(head));
    });
    InsertLine(row + 1, CKEditLine(std::move(tail)));
    if (bytes[j] == '\r' && j + 1 < bytes.size() && bytes[j + 1] == '\n') ++j;
    from = j + 1;
    ++row;
    p = 0;
    ++added;
  }
  const std::string_view rest = bytes.substr(from);
  EditLine(row, [&](CKEditLine& l) { l.Insert(p, rest); });
  NotifyRanges();
  const int endColumn = KColumnOfPosition(lines_[row].Text(), p + static_cast<int>(rest.size()));
  MoveCaretTo(endColumn, row, false, false);
  Changed(start.row, added > 0 ? -1 : start.row);
  modified_ = true;
  auto record = std::make_unique<CUnReDo>();
  record->kind = CUnReDo::Kind::Inserted;
  record->start = start;
  record->end = caret_;
  return record;
}

UndoRecord CKEdit::DeleteSelection() {
  if (!HasSelection()) return nullptr;
  auto record = std::make_unique<CUnReDo>();
  record->kind = CUnReDo::Kind::Deleted;
  record->text = CopySelectionText();
  KPoint s, e;
  SelectionRange(s, e);
  MoveCaretTo(s.column, s.row, false, false);
  const CKEditLine& first = lines_[s.row];
  const CKEditLine& last = lines_[e.row];
  const int sp = KPositionOfColumn(first.Text(), first.Width(), s.column, false, false);
  const int ep = KPositionOfColumn(last.Text(), last.Width(), e.column, false, false);
  if (s.row == e.row) {
    EditLine(s.row, [&](CKEditLine& l) { l.Erase(sp, ep - sp); });
    Changed(s.row, s.row);
  } else {
    std::string tail = last.Text().substr(static_cast<size_t>(ep));
    EditLine(s.row, [&](CKEditLine& l) {
      std::string head = l.Text().substr(0, static_cast<size_t>(sp));
      head += tail;
      l.SetText(std::move(head));
    });
    EraseLines(s.row + 1, e.row - s.row);
    Changed(s.row, -1);
  }
  NotifyRanges();
  modified_ = true;
  record->start = caret_;
  return record;
}

UndoRecord CKEdit::DeleteForward() {
  if (HasSelection()) return DeleteSelection();
  const int row = caret_.row;
  const bool hasNext = row + 1 < lines_.Count();
  const CKEditLine& line = lines_[row];
  int b = KPositionOfColumn(line.Text(), line.Width(), caret_.column, true, hasNext);
  if (b == kNoPosition) b = line.Length();
  auto record = std::make_unique<CUnReDo>();
  record->kind = CUnReDo::Kind::Deleted;
  if (b >= line.Length()) {
    if (!hasNext) return nullptr;
    record->text = "\r\n";
    const std::string next = lines_[row + 1].Text();
    EditLine(row, [&](CKEditLine& l) { l.Insert(l.Length(), next); });
    EraseLines(row + 1, 1);
    Changed(row, -1);
  } else {
    const int n = KCharBytes(line.Text(), b);
    record->text = line.Text().substr(static_cast<size_t>(b), static_cast<size_t>(n));
    EditLine(row, [&](CKEditLine& l) { l.Erase(b, n); });
    Changed(row, row);
  }
  NotifyRanges();
  modified_ = true;
  record->start = caret_;
  return record;
}

UndoRecord CKEdit::DeleteBackward() {
  if (HasSelection()) return DeleteSelection();
  if (caret_.row == 0 && caret_.column == 0) return nullptr;
  MoveCaret(-1, 0, false, false);
  return DeleteForward();
}

void CKEdit::PushUndo(UndoRecord record) {
  if (!record) return;
  redo_.clear();
  undo_.push_back(std::move(record));
}

void CKEdit::UndoOrRedo(std::vector<UndoRecord>& from, std::vector<UndoRecord>& to) {
  if (from.empty()) return;
  UndoRecord r = std::move(from.back());
  from.pop_back();
  MoveCaretTo(r->start.column, r->start.row, false, false);
  UndoRecord result;
  if (r->kind == CUnReDo::Kind::Deleted) {
    result = InsertText(r->text);
  } else {
    MoveCaretTo(r->end.column, r->end.row, false, true);
    result = DeleteSelection();
  }
  if (result) to.push_back(std::move(result));
}

void CKEdit::Undo() { UndoOrRedo(undo_, redo_); }
void CKEdit::Redo() { UndoOrRedo(redo_, undo_); }

// ----- clipboard and typing -----

void CKEdit::Copy() {
  if (!HasSelection() || !clipboard_) return;
  clipboard_->SetText(CopySelectionText());
}

void CKEdit::Cut() {
  // The text goes only when the clipboard took it: a cut into a clipboard
  // that cannot be opened would lose it.
  if (!HasSelection() || !clipboard_ || !clipboard_->SetText(CopySelectionText())) return;
  PushUndo(DeleteSelection());
}

void CKEdit::Paste() {
  std::string text;
  if (!clipboard_ || !clipboard_->GetText(text)) return;
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  PushUndo(InsertText(text));
}

void CKEdit::TypeChar(unsigned char byte) {
  if ((byte < 32 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 127) return;
  EnsureCaretVisible();
  const char c = static_cast<char>(byte);
  PushUndo(InsertText(std::string_view(&c, 1)));
}

void CKEdit::TypeImeChar(unsigned code) {
  EnsureCaretVisible();
  const char bytes[2] = {static_cast<char>((code >> 8) & 0xFF), static_cast<char>(code & 0xFF)};
  PushUndo((code >> 8) & 0xFF ? InsertText(std::string_view(bytes, 2)) : InsertText(std::string_view(bytes + 1, 1)));
}

int CKEdit::Command(int id, bool shift) {
  const int page = VisibleRows();
  switch (id) {
    case 40271: MoveCaret(0, 1, false, shift); break;
    case 40272: MoveCaret(0, -1, false, shift); break;
    case 40273: MoveCaret(1, 0, true, shift); break;
    case 40274: MoveCaret(-1, 0, false, shift); break;
    case 40275: MoveCaret(kToStart, 0, true, shift); break;
    case 40276: MoveCaret(kToEnd, 0, false, shift); break;
    case 40277: PushUndo(DeleteBackward()); break;
    case 40278: PushUndo(DeleteForward()); break;
    case 40279: Paste(); break;
    case 40280: MoveCaret(0, page, false, shift); break;
    case 40281: MoveCaret(0, -page, false, shift); break;
    case 40282: Copy(); break;
    case 40283:
      MoveCaret(kToEnd, 0, false, true);
      Cut();
      break;
    case 40284: Cut(); break;
    case 40285: Undo(); break;
    case 40286: Redo(); break;
    case 40287: PushUndo(InsertText("\r\n")); break;
    case 40316: SelectAll(); break;
    case 40317:
      // Without a finder the host opens the find dialog (as 40318).
      if (!currentFinder_) return 0;
      if (!FindNext(*currentFinder_) && !currentFinder_->Refused()) ShowNotFound();
      break;
    case 40319:
      MoveCaret(kToStart, 0, true, false);
      MoveCaret(kToEnd, 0, false, true);
      PushUndo(DeleteForward());
      break;
    case 40323: {
      const os::LocalTime t = os::LocalNow();
      char text[48];
      std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
      PushUndo(InsertText(text));
      break;
    }
    case 40466: MoveCaret(kToEnd, kToEnd, false, false); break;
    case 40467: MoveCaret(kToStart, kToStart, true, false); break;
    default: return 0;
  }
  return 1;
}

// ----- links -----

KPoint CKEdit::PointToPosition(int x, int y) const {
  const int cw = font_.charWidth;
  const int column = std::max(0, FloorDiv(x - font_.leftMargin + cw / 2, cw) + hscroll_);
  const int row = std::clamp(FloorDiv(y - font_.topMargin, font_.Pitch()) + topRow_, 0, lines_.Count() - 1);
  return {column, row};
}

int CKEdit::HitTestLink(int x, int y, bool select) {
  linkKind_ = kLinkNone;
  linkText_.clear();
  const int cw = font_.charWidth;
  const int column = FloorDiv(x - font_.leftMargin + cw / 2, cw) + hscroll_;
  const int row = FloorDiv(y - font_.topMargin, font_.Pitch()) + topRow_;
  if (row < 0 || row >= lines_.Count() || column < 0) return kLinkNone;
  const CKEditLine& line = lines_[row];
  if (line.Length() <= 7) return kLinkNone;
  const std::string_view text = line.Text();
  const int pos = KPositionOfColumn(text, line.Width(), column, false, false);

  // Start positions are character starts only: a trail byte may look like a
  // letter and would begin a false link inside a two-byte character.
  std::vector<int> starts;
  for (int s = 0; s <= pos && s < line.Length(); s += KCharBytes(text, s)) starts.push_back(s);
  int start = -1, length = 0, kind = kLinkNone;
  for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
    const KLinkMatch m = DetectLink(text.substr(static_cast<size_t>(*it)));
    if (m.kind == kLinkUrl) {
      start = *it, length = m.length, kind = m.kind;
      break;
    }
    if (m.kind == kLinkMail) {
      start = *it, length = m.length, kind = m.kind;
      continue;
    }
    // Inside "first.last@host" the dot starts no address, yet the address
    // runs on to its left.
    const char c = text[static_cast<size_t>(*it)];
    if (kind == kLinkMail && c != '.' && c != '-' && c != '_') break;
  }
  // Scanning leftwards meets "ttp://" inside "http://" first; the link is the whole URL.
  if (kind == kLinkUrl && start > 0 && text[static_cast<size_t>(start) - 1] == 'h' &&
      DetectLink(text.substr(static_cast<size_t>(start) - 1)).kind == kLinkUrl) {
    --start;
    ++length;
  }
  if (kind == kLinkNone || pos < start || pos > start + length) return kLinkNone;
  linkKind_ = kind;
  linkText_ = std::string(text.substr(static_cast<size_t>(start), static_cast<size_t>(length)));
  if (os::StartsWithNoCase(linkText_, "ttp")) linkText_.insert(0, "h");
  if (linkText_.size() > static_cast<size_t>(kLinkTextMax)) linkText_.resize(kLinkTextMax);
  WriteLogVerbose("URL detected : %s [%d]", linkText_.c_str(), linkKind_);
  if (select) {
    MoveCaretTo(KColumnOfPosition(text, start), row, false, false);
    MoveCaretTo(KColumnOfPosition(text, start + length), row, false, true);
  }
  return linkKind_;
}

std::string CKEdit::Text() const {
  std::string out;
  for (int r = 0; r < lines_.Count(); ++r) {
    if (r) out += "\r\n";
    out += lines_[r].Text();
  }
  return out;
}

}  // namespace zentu
