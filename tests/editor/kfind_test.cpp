#include "editor/kfind.h"

#include <gtest/gtest.h>

#include <string>

#include "editor/kedit.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

class FindTest : public testing::TempHome {
 protected:
  CKEdit edit;
  void Text(const std::string& text) { edit.SetText(text); }
  std::string Selected() const { return edit.CopySelectionText(); }
};

TEST_F(FindTest, PlainAndRegularSearchesGoDownLineByLine) {
  struct Row {
    const char* name;
    std::string text;
    std::string search;
    bool matchCase, regExp;
    KPoint caret;
    bool found;
    std::string selected;
    int row;
  };
  const Row rows[] = {
      {"below the caret", "one\r\ntwo\r\nthree", "t", true, false, {0, 0}, true, "t", 1},
      {"only above: no wrap", "word\r\nxx\r\nyy", "word", true, false, {0, 1}, false, "", 0},
      {"never across a line break", "ab\r\ncd", "b\r\nc", true, false, {0, 0}, false, "", 0},
      {"case kept", "ABC abc", "abc", true, false, {0, 0}, true, "abc", 0},
      {"case ignored finds the first", "ABC abc", "abc", false, false, {0, 0}, true, "ABC", 0},
      {"full-width case ignored", SJ("ｘＡＢ"), SJ("ａｂ"), false, false, {0, 0}, true, SJ("ＡＢ"), 0},
      {"full-width is not half-width", SJ("ＡＢ ab"), "AB", false, false, {0, 0}, true, "ab", 0},
      {"never half a character", SJ("ア") + "A", "A", true, false, {0, 0}, true, "A", 0},
      {"regex", "x = 42;", "[0-9]+", true, true, {0, 0}, true, "42", 0},
      {"regex ignoring case", "Hello", "h.l", false, true, {0, 0}, true, "Hel", 0},
      {"regex on Shift_JIS", SJ("表示ソフト"), SJ("ソ."), true, true, {0, 0}, true, SJ("ソフ"), 0},
      {"regex empty match selects nothing", "abc", "x*", true, true, {0, 0}, true, "", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Text(r.text);
    edit.MoveCaretTo(r.caret.column, r.caret.row, false, false);
    CKFind& f = edit.Finder();
    ASSERT_TRUE(SetUpFinder(f, r.search, r.matchCase, r.regExp, false));
    EXPECT_EQ(edit.FindNext(f), r.found);
    if (!r.found) {
      EXPECT_EQ(edit.CaretPos(), r.caret);
      continue;
    }
    EXPECT_EQ(Selected(), r.selected);
    EXPECT_EQ(edit.CaretPos().row, r.row);
  }
}

TEST_F(FindTest, AdjacentMatchesComeOneAfterTheOther) {
  Text("aaXaa");
  CKFind& f = edit.Finder();
  ASSERT_TRUE(SetUpFinder(f, "aa", true, false, false));
  ASSERT_TRUE(edit.FindNext(f));
  EXPECT_EQ(edit.CaretPos().column, 2);
  ASSERT_TRUE(edit.FindNext(f));
  EXPECT_EQ(edit.CaretPos().column, 5);
  EXPECT_FALSE(edit.FindNext(f));
  EXPECT_FALSE(SetUpFinder(f, "", true, false, false));
}

TEST_F(FindTest, BadPatternEndsTheSearchWithItsMessage) {
  Text("abc\r\nabc");
  CKFind& f = edit.Finder();
  edit.SetCurrentFinder(&f);
  ASSERT_TRUE(SetUpFinder(f, "(", true, true, false));
  EXPECT_FALSE(edit.FindNext(f));
  EXPECT_TRUE(f.Refused());
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].caption, SJ("無効な正規表現です"));
  // The repeat command shows no not-found message after a refused pattern.
  EXPECT_EQ(edit.Command(40317), 1);
  EXPECT_EQ(desktop.messages.size(), 2u);
  EXPECT_EQ(KReplaceSession::ReplaceAll(edit, f), 0);
  EXPECT_EQ(edit.Text(), "abc\r\nabc");
}

TEST_F(FindTest, RepeatCommandNeedsAFinderAndReportsNotFound) {
  Text("abc");
  EXPECT_EQ(edit.Command(40317), 0);  // the host opens the dialog
  CKFind& f = edit.Finder();
  ASSERT_TRUE(SetUpFinder(f, "b", true, false, false));
  edit.SetCurrentFinder(&f);
  EXPECT_EQ(edit.Command(40317), 1);
  EXPECT_EQ(Selected(), "b");
  EXPECT_EQ(edit.Command(40317), 1);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].text, SJ("現在位置より下には見つかりませんでした"));
  EXPECT_EQ(desktop.messages[0].caption, SJ("検索"));
}

TEST_F(FindTest, ReplaceFindsFirstThenReplacesEachFoundMatch) {
  Text("cat dog cat");
  CKFind& f = edit.Finder();
  KReplaceSession session;
  ASSERT_TRUE(SetUpFinder(f, "cat", true, false, true));
  f.SetReplaceString("cow");
  EXPECT_EQ(session.Replace(edit, f), KReplaceSession::kFound);
  EXPECT_EQ(edit.Text(), "cat dog cat");  // the first press only finds
  EXPECT_EQ(session.Replace(edit, f), KReplaceSession::kFound);
  EXPECT_EQ(edit.Text(), "cow dog cat");
  EXPECT_EQ(session.Replace(edit, f), KReplaceSession::kNotFound);
  EXPECT_EQ(edit.Text(), "cow dog cow");
  EXPECT_EQ(session.Replace(edit, f), KReplaceSession::kNotFound);
  EXPECT_EQ(edit.Text(), "cow dog cow");  // nothing pending any more
  session.Changed();
  EXPECT_FALSE(session.Pending());
}

TEST_F(FindTest, ReplaceAllContinuesAfterEachReplacementAndUndoesStepByStep) {
  struct Row {
    const char* name;
    std::string text, search, replace;
    bool regExp, matchCase;
    std::string after;
    int count;
  };
  const Row rows[] = {
      {"a by aa", "aaa", "a", "aa", false, true, "aaaaaa", 3},
      {"group of this match", "k=1 k=22", "k=([0-9]+)", "v$1", true, true, "v1 v22", 2},
      {"ignoring case", "Ab ab AB", "ab", "x", true, false, "x x x", 3},
      {"empty matches never replaced", "abc", "z*", "Q", true, true, "abc", 0},
      {"Shift_JIS", SJ("日本語と日本"), SJ("日本"), SJ("にほん"), true, true, SJ("にほん語とにほん"), 2},
      {"over lines", "a1\r\nb\r\na2", "a", "A", false, true, "A1\r\nb\r\nA2", 2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Text(r.text);
    edit.MoveCaretTo(1, 0, false, false);  // replace all starts at the top anyway
    CKFind& f = edit.Finder();
    ASSERT_TRUE(SetUpFinder(f, r.search, r.matchCase, r.regExp, true));
    f.SetReplaceString(r.replace);
    EXPECT_EQ(KReplaceSession::ReplaceAll(edit, f), r.count);
    EXPECT_EQ(edit.Text(), r.after);
    // Two steps per replacement: the inserted replacement, then the removed match.
    EXPECT_EQ(edit.UndoDepth(), static_cast<size_t>(2 * r.count));
    if (r.count) {
      edit.Undo();
      edit.Undo();
    }
    for (size_t i = edit.UndoDepth(); i > 0; --i) edit.Undo();
    EXPECT_EQ(edit.Text(), r.text);
  }
}

}  // namespace
}  // namespace zentu
