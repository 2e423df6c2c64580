#include "ui/texteditor.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QPaintEvent>
#include <QScrollBar>

#include "os/file.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"
#include "tests/support/testhome.h"
#include "ui/finddialog.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

using testing::SJ;

// Collects the areas the viewport is asked to paint.
struct PaintSpy : QObject {
  QRegion painted;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) painted += static_cast<QPaintEvent*>(e)->region();
    return false;
  }
};

class TextEditorTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    Profile& p = CurrentProfile();
    SetProfileDefaults(p);
    p.ProgramDirectory = home;
    ResolveDirectories(p);
  }
  static int Height(const QRegion& r) {
    int h = 0;
    for (const QRect& rect : r) h += rect.height();
    return h;
  }
};

TEST_F(TextEditorTest, TypingAndScrollingRepaintOnlyWhatChanged) {
  EditorView view;
  view.resize(500, 400);
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + "\r\n";
  view.Model().SetText(text);
  view.show();
  view.setFocus();
  QApplication::processEvents();
  PaintSpy spy;
  view.viewport()->installEventFilter(&spy);
  const int pitch = view.Model().Font().Pitch();
  const int full = view.viewport()->height();

  struct Step {
    const char* name;
    std::function<void()> act;
    int maxRows;
  };
  const Step steps[] = {
      {"a typed character", [&] { view.Model().TypeChar('x'); }, 2},
      {"one row down", [&] { view.Model().ScrollRows(1); }, 2},
      {"three rows by the wheel", [&] { view.Model().ScrollRows(3); }, 4},
      {"caret down", [&] { view.RunCommand(40271); }, 3},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    spy.painted = QRegion();
    s.act();
    QApplication::processEvents();
    QApplication::processEvents();
    ASSERT_FALSE(spy.painted.isEmpty());
    EXPECT_LE(Height(spy.painted), s.maxRows * pitch + 4);
    EXPECT_LT(Height(spy.painted), full);
  }
}

TEST_F(TextEditorTest, EditorKeysWinOverTheWindowShortcuts) {
  QMainWindow window;
  auto* editor = new EditorView;
  window.setCentralWidget(editor);
  int fired = 0;
  for (QKeySequence key : {QKeySequence(Qt::Key_Left), QKeySequence(Qt::Key_A), QKeySequence(Qt::CTRL | Qt::Key_C),
                           QKeySequence(Qt::Key_Backspace)}) {
    auto* a = new QAction(&window);
    a->setShortcut(key);
    QObject::connect(a, &QAction::triggered, [&] { ++fired; });
    window.addAction(a);
  }
  window.show();
  editor->setFocus();
  QApplication::processEvents();
  struct Key {
    int key;
    Qt::KeyboardModifiers mods;
    QString text;
  };
  for (const Key& k : {Key{Qt::Key_A, Qt::NoModifier, "a"}, Key{Qt::Key_B, Qt::NoModifier, "b"},
                       Key{Qt::Key_Left, Qt::NoModifier, ""}, Key{Qt::Key_Backspace, Qt::NoModifier, ""},
                       Key{Qt::Key_C, Qt::ControlModifier, ""}}) {
    QKeyEvent override(QEvent::ShortcutOverride, k.key, k.mods, k.text);
    QApplication::sendEvent(editor, &override);
    EXPECT_TRUE(override.isAccepted()) << k.key;
    QKeyEvent press(QEvent::KeyPress, k.key, k.mods, k.text);
    QApplication::sendEvent(editor, &press);
  }
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(editor->Model().Text(), "b");  // "ab", left, backspace
  // A key the editor has no use for still reaches the window.
  QKeyEvent f8(QEvent::ShortcutOverride, Qt::Key_F8, Qt::NoModifier);
  QApplication::sendEvent(editor, &f8);
  EXPECT_FALSE(f8.isAccepted());
}

TEST_F(TextEditorTest, FindAndReplaceDialogsDriveTheFinder) {
  const std::string path = os::JoinPath(home, "note.txt");
  ASSERT_TRUE(os::WriteFileAtomic(path, "cat 12 dog 345\r\nx 6"));
  TextEditor editor;
  editor.resize(400, 200);
  ASSERT_EQ(editor.Open(path, nullptr), 1);
  CKEdit& m = editor.Model();
  {
    FindDialog find(m, FindDialog::kFind, &editor);
    EXPECT_TRUE(find.SearchField()->text().isEmpty());
    find.SearchField()->setText(U("dog"));
    find.MatchCaseBox()->setChecked(true);
    find.FindPressed(false);
    EXPECT_EQ(m.CopySelectionText(), "dog");
    find.FindPressed(false);  // nothing below
    ASSERT_EQ(desktop.messages.size(), 1u);
    EXPECT_EQ(desktop.messages[0].text, SJ("現在位置より下には見つかりませんでした"));
  }
  {
    // The last search comes back, the regular-expression box does not.
    FindDialog replace(m, FindDialog::kReplace, &editor);
    EXPECT_EQ(replace.SearchField()->text(), U("dog"));
    EXPECT_TRUE(replace.MatchCaseBox()->isChecked());
    EXPECT_FALSE(replace.RegExpBox()->isChecked());
    replace.SearchField()->setText(U("([0-9]+)"));
    replace.ReplaceField()->setText(U("<$1>"));
    replace.RegExpBox()->setChecked(true);
    replace.ReplaceAllPressed();
  }
  EXPECT_EQ(m.Text(), "cat <12> dog <345>\r\nx <6>");
  for (int i = 0; i < 6; ++i) m.Undo();
  EXPECT_EQ(m.Text(), "cat 12 dog 345\r\nx 6");
  ASSERT_EQ(editor.Save(false), 1);
  EXPECT_EQ(ReadNative("note.txt"), "cat 12 dog 345\r\nx 6");
}

}  // namespace
}  // namespace zentu::ui
