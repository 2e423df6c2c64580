#include "editor/kedit.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

struct FakeClipboard : CKClipboard {
  std::string text;
  bool open = true, has = false;
  bool SetText(const std::string& t) override {
    if (!open) return false;
    text = t, has = true;
    return true;
  }
  bool GetText(std::string& t) override {
    if (!open || !has) return false;
    t = text;
    return true;
  }
};

struct Recorder : CKEditObserver {
  int moved = 0, cleared = 0;
  void CaretMoved(const KPoint&, const KPoint&) override { ++moved; }
  void TextCleared() override { ++cleared; }
};

TEST(ColumnRules, WidthAndPositions) {
  const std::string dbl = SJ("日");  // two bytes, two columns
  struct Row {
    std::string text;
    int width;
  } widths[] = {{"", 0}, {"abc", 3}, {"abcde\t", 8}, {"\t", 4}, {"a" + dbl + "b", 4}, {"ab\x82", 3}, {"\tx\ty", 9}};
  for (const auto& r : widths) EXPECT_EQ(KLineWidth(r.text), r.width) << r.text;

  // "a<tab>日b": a 0-1, tab 1-4, 日 4-6, b 6-7.
  const std::string line = "a\t" + dbl + "b";
  const int w = KLineWidth(line);
  struct Pos {
    int column;
    bool forward, hasNext;
    int pos;
  } positions[] = {{0, false, false, 0}, {-3, false, false, kNoPosition}, {-3, true, false, 0},
                   {1, false, false, 1}, {2, false, false, 1},          {3, true, false, 2},
                   {5, false, false, 2}, {5, true, false, 4},           {7, false, false, 5},
                   {9, false, true, 5},  {8, true, true, kNoPosition},  {7, true, true, 5},
                   {8, true, false, 5}};
  for (const auto& p : positions)
    EXPECT_EQ(KPositionOfColumn(line, w, p.column, p.forward, p.hasNext), p.pos)
        << p.column << " forward " << p.forward << " next " << p.hasNext;
  EXPECT_EQ(KColumnOfPosition(line, 2), 4);
}

TEST(KEdit, InsertBreaksOfEveryKindIsOneStep) {
  CKEdit e;
  e.PushUndo(e.InsertText("a\r\nb\rc\nd"));
  ASSERT_EQ(e.LineCount(), 4);
  EXPECT_EQ(e.Text(), "a\r\nb\r\nc\r\nd");
  EXPECT_EQ(e.CaretPos(), (KPoint{1, 3}));
  EXPECT_EQ(e.UndoDepth(), 1u);
  EXPECT_TRUE(e.Modified());
  e.Undo();
  EXPECT_EQ(e.LineCount(), 1);
  EXPECT_EQ(e.Text(), "");
  e.PushUndo(e.InsertText("x\n\ry"));  // LF CR makes two breaks
  EXPECT_EQ(e.LineCount(), 3);
}

TEST(KEdit, UndoRedoSteps) {
  CKEdit e;
  e.SetText("hello world");
  EXPECT_EQ(e.UndoDepth(), 0u);  // loading cannot be undone
  // Typing over a selection: the deletion and the insertion are two steps.
  e.MoveCaretTo(6, 0, false, false);
  e.MoveCaretTo(11, 0, false, true);
  e.TypeChar('X');
  EXPECT_EQ(e.Text(), "hello X");
  e.Undo();
  EXPECT_EQ(e.Text(), "hello ");
  e.Undo();
  EXPECT_EQ(e.Text(), "hello world");
  e.Redo();
  e.Redo();
  EXPECT_EQ(e.Text(), "hello X");
  // A new edit after undo discards the redo stack.
  e.Undo();
  e.TypeChar('Y');
  EXPECT_EQ(e.RedoDepth(), 0u);
  e.Redo();
  EXPECT_EQ(e.Text(), "hello Y");
}

TEST(KEdit, DeleteAtEdges) {
  CKEdit e;
  e.SetText("ab\r\ncd");
  e.MoveCaretTo(2, 0, false, false);
  e.PushUndo(e.DeleteForward());  // joins the lines, records CR LF
  EXPECT_EQ(e.Text(), "abcd");
  EXPECT_EQ(e.UndoDepth(), 1u);
  e.Undo();
  EXPECT_EQ(e.Text(), "ab\r\ncd");
  EXPECT_EQ(e.LineCount(), 2);

  e.SetModified(false);
  const size_t depth = e.UndoDepth();
  e.Command(40466);  // end of text: Delete does nothing
  e.Command(40278);
  e.Command(40467);  // start of text: Backspace does nothing
  e.Command(40277);
  EXPECT_EQ(e.Text(), "ab\r\ncd");
  EXPECT_EQ(e.UndoDepth(), depth);
  EXPECT_FALSE(e.Modified());

  // A two-byte character goes whole, either way.
  e.SetText(SJ("x日y"));
  e.MoveCaretTo(1, 0, false, false);
  e.PushUndo(e.DeleteForward());
  EXPECT_EQ(e.Text(), "xy");
  e.Undo();
  e.MoveCaretTo(3, 0, false, false);
  e.PushUndo(e.DeleteBackward());
  EXPECT_EQ(e.Text(), "xy");
}

TEST(KEdit, CaretMovesByTheColumnRules) {
  CKEdit e;
  e.SetText(SJ("abcdefghij\r\n\tz\r\nabc\r\n日本"));
  struct Step {
    int command;
    KPoint start, expected;
  } steps[] = {
      {40271, {4, 0}, {4, 1}},   // down onto "<tab>z": lands before z
      {40271, {3, 0}, {0, 1}},   // inside the tab: its start
      {40271, {7, 0}, {5, 1}},   // past its end: the end
      {40271, {5, 1}, {3, 2}},   // down onto a shorter line: its end
      {40271, {3, 2}, {2, 3}},   // inside 日本 rounds back to 本
      {40273, {3, 2}, {0, 3}},   // right at line end: next line start
      {40274, {0, 1}, {10, 0}},  // left at column 0: previous line end
      {40274, {0, 0}, {0, 0}},
      {40273, {4, 3}, {4, 3}},   // right at the very end stays
      {40276, {0, 0}, {10, 0}},
      {40275, {5, 1}, {0, 1}},
      {40466, {1, 2}, {4, 3}},
      {40467, {1, 2}, {0, 0}},
  };
  for (const auto& s : steps) {
    e.MoveCaretTo(s.start.column, s.start.row, false, false);
    ASSERT_EQ(e.CaretPos(), s.start) << s.command;
    e.Command(s.command);
    EXPECT_EQ(e.CaretPos(), s.expected) << s.command << " from " << s.start.column << "," << s.start.row;
    EXPECT_EQ(e.AnchorPos(), e.CaretPos());
  }
}

TEST(KEdit, SelectAllCopyCutPaste) {
  CKEdit e;
  FakeClipboard clip;
  e.SetClipboard(&clip);
  e.SetText("one\r\ntwo\r\nthree");
  e.SelectAll();
  EXPECT_EQ(e.CaretPos(), (KPoint{0, 0}));
  EXPECT_EQ(e.AnchorPos(), (KPoint{5, 2}));
  EXPECT_EQ(e.GetSelectionLength(), 15);
  e.Command(40282);
  EXPECT_EQ(clip.text, "one\r\ntwo\r\nthree");

  // A cut the clipboard does not take keeps the text.
  clip.open = false;
  e.Command(40284);
  EXPECT_EQ(e.Text(), "one\r\ntwo\r\nthree");
  clip.open = true;

  e.MoveCaretTo(1, 1, false, false);
  e.Command(40283);  // cut to the end of the line
  EXPECT_EQ(clip.text, "wo");
  EXPECT_EQ(e.Text(), "one\r\nt\r\nthree");
  clip.text = std::string("A\r\nB\0C", 6);
  e.Command(40279);  // pasted up to the NUL
  EXPECT_EQ(e.Text(), "one\r\ntA\r\nB\r\nthree");
  e.Undo();
  e.Undo();
  EXPECT_EQ(e.Text(), "one\r\ntwo\r\nthree");
}

TEST(KEdit, CommandsAndNotifications) {
  CKEdit e;
  Recorder r;
  e.AddObserver(&r);
  e.SetText("a\r\nb\r\nc");
  EXPECT_EQ(r.cleared, 1);
  const int before = r.moved;
  e.Command(40271);
  EXPECT_EQ(r.moved, before + 1);
  EXPECT_EQ(e.Command(40318), 0);  // the find dialog is the host's
  e.GoToLine(3);
  EXPECT_EQ(e.CaretPos(), (KPoint{0, 2}));
  e.GoToLineText("99999999999999999999");
  EXPECT_EQ(e.CaretPos().row, 2);
  e.GoToLineText("0");
  EXPECT_EQ(e.CaretPos().row, 0);
  e.Command(40319);  // the line's text goes
  EXPECT_EQ(e.Text(), "\r\nb\r\nc");
  e.Command(40319);  // on an empty line it joins the next
  EXPECT_EQ(e.Text(), "b\r\nc");

  testing::FakeClock clock;
  os::SetClock(&clock);
  e.Command(40323);
  os::SetClock(nullptr);
  const os::LocalTime t = clock.ToLocal(clock.now);
  char expected[32];
  std::snprintf(expected, sizeof expected, "%04d/%02d/%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
  EXPECT_EQ(e.Line(0).Text(), std::string(expected) + "b");
  e.RemoveObserver(&r);

  // Control bytes other than tab, LF and CR are dropped; IME characters insert two bytes.
  e.SetText("");
  for (unsigned char c : {1, 27, 127, 9}) e.TypeChar(c);
  e.TypeImeChar(0x93FA);  // 日
  e.TypeImeChar('a');
  EXPECT_EQ(e.Text(), "\t" + SJ("日") + "a");
  EXPECT_EQ(e.UndoDepth(), 3u);
}

TEST(KEdit, ScrollsToKeepTheCaretVisible) {
  CKEdit e;
  CKEditFont f;
  f.charWidth = 8, f.lineHeight = 14, f.baseLineSkip = 2;
  e.SetEditFont(f);
  e.SetSize(80, 160);  // 10 columns, 10 rows
  std::string text;
  for (int i = 0; i < 70000; ++i) text += "line " + std::to_string(i) + "\n";
  e.SetText(text);
  EXPECT_EQ(e.LineCount(), 70001);
  e.Command(40466);
  EXPECT_EQ(e.TopRow(), 70000 - 9);
  e.ScrollToRow(70000);  // a thumb past 65534 lines reaches the last line
  EXPECT_EQ(e.TopRow(), 70000);
  e.Command(40467);
  EXPECT_EQ(e.TopRow(), 0);
  e.Command(40280);  // page down: 10 rows
  EXPECT_EQ(e.CaretPos().row, 10);
  e.MoveCaretTo(20, 5, false, false);  // "line 5" is short: caret at its end
  EXPECT_EQ(e.CaretPos(), (KPoint{6, 5}));
  e.SetText(std::string(40, 'x'));
  e.Command(40276);
  EXPECT_EQ(e.HorizontalScroll(), 40 - 10 + 1);
}

}  // namespace
}  // namespace zentu

namespace zentu {
namespace {

TEST(KLineStore, RandomInsertsAndErasesMatchAVector) {
  KLineStore store;
  std::vector<std::string> plain;
  std::mt19937 rng(7);
  for (int step = 0; step < 20000; ++step) {
    const int count = static_cast<int>(plain.size());
    if (count == 0 || rng() % 50 == 0) {
      // A run of lines at once, as a file is read (into an empty store, too).
      const int row = static_cast<int>(rng() % static_cast<unsigned>(count + 1));
      std::vector<CKEditLine> run;
      run.reserve(rng() % 40 + 1);
      const int n = static_cast<int>(rng() % 30) + 1;
      for (int i = 0; i < n; ++i) run.emplace_back("r" + std::to_string(step) + "." + std::to_string(i));
      for (int i = 0; i < n; ++i) plain.insert(plain.begin() + row + i, run[static_cast<size_t>(i)].Text());
      store.InsertRange(row, std::move(run));
    } else if (rng() % 3 != 0) {
      const int row = static_cast<int>(rng() % static_cast<unsigned>(count + 1));
      const std::string text = std::to_string(step);
      store.Insert(row, CKEditLine(text));
      plain.insert(plain.begin() + row, text);
    } else {
      const int row = static_cast<int>(rng() % static_cast<unsigned>(count));
      const int n = 1 + static_cast<int>(rng() % static_cast<unsigned>(std::min(5, count - row)));
      store.Erase(row, n);
      plain.erase(plain.begin() + row, plain.begin() + row + n);
    }
    ASSERT_EQ(store.Count(), static_cast<int>(plain.size()));
    for (int r = 0; r < store.Count(); ++r) ASSERT_EQ(store[r].Text(), plain[static_cast<size_t>(r)]) << step;
  }
}

}  // namespace
}  // namespace zentu

namespace zentu {
namespace {

// The widest width follows lines of every width, the very wide ones too,
// as they come and go.
TEST(KEdit, WidestWidthFollowsNarrowAndVeryWideLines) {
  CKEdit e;
  e.SetText(std::string(10, 'a') + "\r\n" + std::string(5000, 'b') + "\r\n" + std::string(7000, 'c') + "\r\n\t" +
            std::string(300, 'd'));
  EXPECT_EQ(e.WidestWidth(), 7000);
  struct Step {
    int row;
    int expect;  // widest after the row's text is deleted
  };
  for (const Step& s : {Step{2, 5000}, Step{1, 304}, Step{3, 10}, Step{0, 0}}) {
    SCOPED_TRACE(s.row);
    e.MoveCaretTo(0, s.row, false, false);
    e.MoveCaret(kToEnd, 0, false, true);
    e.PushUndo(e.DeleteSelection());
    EXPECT_EQ(e.WidestWidth(), s.expect);
  }
  for (int i = 0; i < 4; ++i) e.Undo();
  EXPECT_EQ(e.WidestWidth(), 7000);
}

}  // namespace
}  // namespace zentu
