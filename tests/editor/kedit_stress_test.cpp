// Random edits, moves, undo and redo against a plain text kept beside the
// model: after every step the model holds exactly the reference text, caret
// and anchor, and its cached widths are right.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "editor/kedit.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

// The reference: one string with "\n" between lines, caret and anchor as offsets.
struct Reference {
  std::string text;
  size_t caret = 0, anchor = 0;
  struct Step {
    size_t offset;
    std::string bytes;
    bool inserted;
  };
  std::vector<Step> undo, redo;

  // Start offsets of the characters of the line that holds `offset`, and the line's bounds.
  static void Bounds(const std::string& t, size_t offset, size_t& begin, size_t& end) {
    begin = t.rfind('\n', offset == 0 ? std::string::npos : offset - 1);
    begin = (begin == std::string::npos || offset == 0) ? 0 : begin + 1;
    if (offset > 0 && t[offset - 1] == '\n') begin = offset;
    end = t.find('\n', offset);
    if (end == std::string::npos) end = t.size();
  }
  size_t CharLength(size_t at) const {
    size_t b, e;
    Bounds(text, at, b, e);
    if (at >= e) return 1;  // the line break
    return IsKLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < e ? 2 : 1;
  }
  // (column, row) of an offset, counting columns independently of the model.
  KPoint PointOf(size_t offset) const {
    KPoint p;
    p.row = static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n'));
    size_t b, e;
    Bounds(text, offset, b, e);
    int column = 0;
    for (size_t i = b; i < offset;) {
      if (text[i] == '\t') {
        column = (column / 4 + 1) * 4;
        ++i;
      } else {
        const size_t n = IsKLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < e ? 2 : 1;
        column += static_cast<int>(n);
        i += n;
      }
    }
    p.column = column;
    return p;
  }
  // The offset of a model position, which must be a character boundary.
  size_t OffsetOf(const KPoint& p) const {
    size_t begin = 0;
    for (int r = 0; r < p.row; ++r) begin = text.find('\n', begin) + 1;
    size_t b, e;
    Bounds(text, begin, b, e);
    int column = 0;
    for (size_t i = begin;;) {
      if (column == p.column) return i;
      EXPECT_LT(i, e) << "column " << p.column << " of row " << p.row << " is no character boundary";
      if (i >= e) return e;
      column = text[i] == '\t' ? (column / 4 + 1) * 4 : column + static_cast<int>(CharLength(i));
      i += CharLength(i);
    }
  }

  void Erase(size_t offset, size_t n, bool record) {
    if (record) Push({offset, text.substr(offset, n), false});
    text.erase(offset, n);
    caret = anchor = offset;
  }
  void Insert(size_t offset, const std::string& bytes, bool record) {
    if (record) Push({offset, bytes, true});
    text.insert(offset, bytes);
    caret = anchor = offset + bytes.size();
  }
  void Push(Step s) {
    undo.push_back(std::move(s));
    redo.clear();
  }
  void DeleteSelection() {
    if (caret == anchor) return;
    const size_t from = std::min(caret, anchor);
    Erase(from, std::max(caret, anchor) - from, true);
  }
  void Type(std::string bytes) {
    DeleteSelection();
    std::string plain;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\r') {
        plain += '\n';
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      } else {
        plain += bytes[i];
      }
    }
    if (!plain.empty()) Insert(caret, plain, true);
  }
  void DeleteForward() {
    if (caret != anchor) return DeleteSelection();
    if (caret < text.size()) Erase(caret, CharLength(caret), true);
  }
  void DeleteBackward() {
    if (caret != anchor) return DeleteSelection();
    if (caret == 0) return;
    size_t prev = caret - 1;
    if (text[prev] != '\n') {
      size_t b, e;
      Bounds(text, prev, b, e);
      for (size_t i = b; i < caret; i += CharLength(i)) prev = i;
    }
    caret = anchor = prev;
    DeleteForward();
  }
  void Replay(std::vector<Step>& from, std::vector<Step>& to) {
    if (from.empty()) return;
    Step s = std::move(from.back());
    from.pop_back();
    if (s.inserted)
      Erase(s.offset, s.bytes.size(), false);
    else
      Insert(s.offset, s.bytes, false);
    s.inserted = !s.inserted;
    to.push_back(std::move(s));
  }
};

std::string WithCrLf(const std::string& t) {
  std::string out;
  for (char c : t) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

TEST(KEditStress, RandomOperationsMatchPlainText) {
  const std::string start = "start\n" + testing::SJ("日本語の\tテキスト") + "\n\tend";
  CKEdit e;
  e.SetText(start);
  Reference ref;
  ref.text = start;
  const std::vector<std::string> pieces = {"a", "b", "\t", " ", testing::SJ("日"), testing::SJ("ア"),
                                           "\r", "\n", "\r\n", "xyz"};
  std::mt19937 rng(20070128);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

  for (int step = 0; step < 100000; ++step) {
    const bool big = ref.text.size() > 3000;
    const int op = pick(big ? 9 : 12);
    const bool extend = pick(3) == 0;
    switch (op) {
      case 0: {  // a selection across lines, then delete
        e.MoveCaretTo(pick(12), pick(e.LineCount()), false, false);
        e.MoveCaretTo(pick(12), pick(e.LineCount()), false, true);
        ref.caret = ref.OffsetOf(e.CaretPos());
        ref.anchor = ref.OffsetOf(e.AnchorPos());
        e.PushUndo(e.DeleteSelection());
        ref.DeleteSelection();
        break;
      }
      case 1: e.Command(40278); ref.DeleteForward(); break;
      case 2: e.Command(40277); ref.DeleteBackward(); break;
      case 3: e.Undo(); ref.Replay(ref.undo, ref.redo); break;
      case 4: e.Redo(); ref.Replay(ref.redo, ref.undo); break;
      case 5: case 6: {  // arrows: right and left step one character or line break
        const size_t before = ref.caret;
        e.Command(op == 5 ? 40273 : 40274, extend);
        ref.caret = ref.OffsetOf(e.CaretPos());
        ref.anchor = ref.OffsetOf(e.AnchorPos());
        if (op == 5 && before < ref.text.size()) {
          ASSERT_EQ(ref.caret, before + ref.CharLength(before));
        }
        if (op == 6 && before > 0) {
          ASSERT_LT(ref.caret, before);
        }
        if (!extend) {
          ASSERT_EQ(ref.caret, ref.anchor);
        }
        break;
      }
      case 7: case 8: {  // other moves: up, down, line ends, text ends, a random point
        static const int kMoves[] = {40271, 40272, 40275, 40276, 40466, 40467};
        if (op == 7)
          e.Command(kMoves[pick(6)], extend);
        else
          e.MoveCaretTo(pick(16), pick(e.LineCount() + 1), false, extend);
        ref.caret = ref.OffsetOf(e.CaretPos());
        ref.anchor = ref.OffsetOf(e.AnchorPos());
        break;
      }
      default: {  // typing or pasting 1 to 4 pieces, over the selection if any
        std::string bytes;
        for (int n = pick(4) + 1; n > 0; --n) bytes += pieces[static_cast<size_t>(pick(static_cast<int>(pieces.size())))];
        e.PushUndo(e.InsertText(bytes));
        ref.Type(bytes);
        break;
      }
    }
    ASSERT_EQ(e.Text(), WithCrLf(ref.text)) << "step " << step << " op " << op;
    ASSERT_EQ(e.CaretPos(), ref.PointOf(ref.caret)) << "step " << step << " op " << op;
    ASSERT_EQ(e.AnchorPos(), ref.PointOf(ref.anchor)) << "step " << step << " op " << op;
    ASSERT_EQ(e.UndoDepth(), ref.undo.size()) << "step " << step;
    ASSERT_EQ(e.RedoDepth(), ref.redo.size()) << "step " << step;
    if (step % 97 == 0) {
      int widest = 0;
      for (int r = 0; r < e.LineCount(); ++r) {
        ASSERT_EQ(e.Line(r).Width(), KLineWidth(e.Line(r).Text()));
        widest = std::max(widest, e.Line(r).Width());
      }
      ASSERT_EQ(e.WidestWidth(), widest) << "step " << step;
    }
  }
  const std::string end = e.Text();
  while (e.UndoDepth() > 0) e.Undo();
  EXPECT_EQ(e.Text(), WithCrLf(start));
  while (e.RedoDepth() > 0) e.Redo();
  EXPECT_EQ(e.Text(), end);
}

}  // namespace
}  // namespace zentu
