#include "ui/editorview.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QInputMethodEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextCharFormat>
#include <cstdlib>

#include "store/profile.h"
#include "tests/support/testhome.h"
#include "ui/keybindings.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

using testing::SJ;

class EditorViewTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    SetProfileDefaults(CurrentProfile());
  }
};

TEST_F(EditorViewTest, InputMethodCommitInsertsShiftJisOneStepPerCharacter) {
  EditorView view;
  view.resize(400, 200);
  QInputMethodEvent commit;
  commit.setCommitString(U("日本語"));
  QApplication::sendEvent(&view, &commit);
  EXPECT_EQ(view.Model().Text(), SJ("日本語"));
  EXPECT_EQ(view.Model().Text().size(), 6u);
  EXPECT_EQ(view.Model().UndoDepth(), 3u);
  EXPECT_EQ(view.Model().CaretPos(), (KPoint{6, 0}));

  // A pre-edit is only shown; it inserts nothing.
  QInputMethodEvent preedit(U("かな"), {});
  QApplication::sendEvent(&view, &preedit);
  EXPECT_EQ(view.Preedit(), U("かな"));
  EXPECT_EQ(view.Model().Text(), SJ("日本語"));
}

TEST_F(EditorViewTest, KeyCombinationOfACommandActsAsTyped) {
  EditorView view;
  view.resize(400, 200);
  QInputMethodEvent commit;
  commit.setCommitString(U("一行目"));
  QApplication::sendEvent(&view, &commit);
  // Undo has no editor key by default: nothing is sent.
  EXPECT_FALSE(SendKeyCombination(40285, &view));
  EXPECT_EQ(view.Model().Text(), SJ("一行目"));
  // "現在の行を削除" is Ctrl+Shift+K by default.
  EXPECT_TRUE(SendKeyCombination(40319, &view));
  EXPECT_EQ(view.Model().Text(), "");
  EXPECT_FALSE(SendKeyCombination(99999, &view));
}

TEST_F(EditorViewTest, FontFallsBackToAnInstalledJapaneseFace) {
  QFont font;
  const CKEditFont record = EditorView::FontFromProfile(CurrentProfile(), font);
  EXPECT_EQ(record.height, 16);
  EXPECT_GT(record.charWidth, 0);
  EXPECT_GE(record.lineHeight, 16);
  EXPECT_EQ(record.Pitch(), record.lineHeight + 2);
}

TEST_F(EditorViewTest, ThumbReachesTheLastOfManyLines) {
  EditorView view;
  view.resize(400, 200);
  std::string text;
  for (int i = 0; i < 70000; ++i) text += "x\n";
  view.Model().SetText(text);
  view.verticalScrollBar()->setValue(70000);
  EXPECT_EQ(view.Model().TopRow(), 70000);
}

// The picture of the README: Japanese text, tabs, a full-width space, links,
// a selection over three lines, the title box and the end mark.
TEST_F(EditorViewTest, Picture) {
  EditorView view;
  view.resize(640, 220);
  view.show();
  QApplication::processEvents();
  CKEdit& m = view.Model();
  m.SetText(SJ("日本語のメモ\r\n"
               "\tタブの後\t二つ目\r\n"
               "全角空白→　←ここ\r\n"
               "リンク http://example.com/zentu/ と ttp://www.example.jp/\r\n"
               "メール: someone@example.co.jp まで\r\n"
               "[[タグ]] の色と普通の文字\r\n"
               "最後の行"));
  m.SetTitleLine(true);
  m.MoveCaretTo(3, 1, false, false);
  m.MoveCaretTo(4, 3, false, true);
  QImage image(view.viewport()->size(), QImage::Format_RGB32);
  QPainter painter(&image);
  view.Render(painter, image.rect());
  painter.end();
  const char* out = std::getenv("ZENTU_EDITOR_PICTURE");
  if (out) image.save(QString::fromUtf8(out));
  // The selection is drawn inverted: some pixel of the second row is dark on light.
  const QRgb bg = image.pixel(image.width() - 5, image.height() - 5);
  EXPECT_EQ(qRed(bg), 255);
  const int y = m.Font().topMargin + m.Font().Pitch() + m.Font().lineHeight / 2;
  EXPECT_LT(qRed(image.pixel(m.Font().charWidth * 10, y)), 128);
}


// The composition is drawn at the caret in the input method's formats (the
// segment being converted stands out), the candidate list is placed at its
// own caret in the widget's coordinates, and none of it reaches the text
// before it is committed.
TEST_F(EditorViewTest, PreeditIsDrawnInTheInputMethodsFormatsAtItsOwnCaret) {
  EditorView view;
  view.resize(400, 200);
  view.show();
  QFocusEvent focus(QEvent::FocusIn, Qt::OtherFocusReason);
  QApplication::sendEvent(&view, &focus);
  QInputMethodEvent first;
  first.setCommitString(U("あ"));
  QApplication::sendEvent(&view, &first);
  CKEdit& m = view.Model();
  QWidget& widget = view;
  const QFontMetrics metrics(widget.inputMethodQuery(Qt::ImFont).value<QFont>());

  QTextCharFormat underline, selected;
  underline.setUnderlineStyle(QTextCharFormat::SingleUnderline);
  selected.setBackground(QColor(255, 0, 0));
  selected.setForeground(QColor(255, 255, 255));
  QInputMethodEvent preedit(U("にほんご"), {{QInputMethodEvent::TextFormat, 0, 4, underline},
                                           {QInputMethodEvent::TextFormat, 2, 2, selected},
                                           {QInputMethodEvent::Cursor, 2, 1, {}}});
  QApplication::sendEvent(&view, &preedit);
  EXPECT_EQ(m.Text(), SJ("あ"));
  EXPECT_EQ(m.UndoDepth(), 1u);
  const QRect cursor = widget.inputMethodQuery(Qt::ImCursorRectangle).toRect();
  EXPECT_EQ(cursor.topLeft(), view.viewport()->pos() + QPoint(m.CaretX() + metrics.horizontalAdvance(U("にほ")), m.CaretY()));

  QImage image(view.viewport()->size(), QImage::Format_RGB32);
  QPainter painter(&image);
  view.Render(painter, image.rect());
  painter.end();
  const int y = m.CaretY() + 1;  // above the glyphs
  const int converted = m.CaretX() + metrics.horizontalAdvance(U("にほ")) + metrics.horizontalAdvance(U("ん")) / 2;
  EXPECT_EQ(image.pixel(converted, y), qRgb(255, 0, 0));          // the segment being converted
  EXPECT_NE(image.pixel(m.CaretX() + 3, y), qRgb(255, 0, 0));  // the reading
  EXPECT_LT(qRed(image.pixel(m.CaretX() + metrics.horizontalAdvance(U("に")) / 2, m.CaretY() + m.Font().lineHeight - 1)),
            128);  // underlined

  // Committed: the text takes it, the composition and its caret are gone.
  QInputMethodEvent commit;
  commit.setCommitString(U("日本語"));
  QApplication::sendEvent(&view, &commit);
  EXPECT_EQ(m.Text(), SJ("あ日本語"));
  EXPECT_TRUE(view.Preedit().isEmpty());
  EXPECT_EQ(widget.inputMethodQuery(Qt::ImCursorRectangle).toRect().topLeft(),
            view.viewport()->pos() + QPoint(m.CaretX(), m.CaretY()));
}

}  // namespace
}  // namespace zentu::ui
