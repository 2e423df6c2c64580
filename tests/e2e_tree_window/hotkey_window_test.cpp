// The global hot key and the key dialog, with the program's frame and windows
// in this process on a private X display.
//
// The hot key is pressed while a window of another X client (this test's own
// connection) has the focus, so only the grab can bring it to Zentu; the main
// window comes back whether a window manager iconified it or the program
// withdrew it, with Caps Lock or Num Lock on too. A key changed in the key
// dialog is in keyconfig.dat at once; after the program has been closed and
// started again the new key runs the command and the old one does nothing,
// and the hot key moved to a new combination has let go of the old one. A hot
// key another client holds is reported once, cleared with its shortcut, and
// not reported again at the next start.
//
// The picture after the hot key goes to $ZENTU_SCREENSHOT_DIR, else to
// "screenshots" in the working folder.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeySequence>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QWindow>
#include <xcb/xcb.h>
#include <algorithm>
#include <string>
#include <vector>

#include "os/cp932.h"
#include "os/file.h"
#include "store/configfiles.h"
#include "store/groups.h"
#include "store/keyconfig.h"
#include "store/profile.h"
#include "store/tree.h"
#include "tests/e2e_tree_window/display.h"
#include "tests/e2e_window/xsession.h"
#include "tests/support/window/running_frame.h"
#include "ui/appwindows.h"
#include "ui/commands.h"
#include "ui/globalhotkeys.h"
#include "ui/logwindow.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

namespace zentu::testing {
namespace {

// X modifier bits (X.h stays out: its macros break Qt's headers).
constexpr unsigned kShiftMask = 1u << 0, kLockMask = 1u << 1, kControlMask = 1u << 2, kAltMask = 1u << 3;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

bool HotKeyRegistered(int command) {
  const std::vector<int> commands = ui::RegisteredHotKeyCommands();
  return std::find(commands.begin(), commands.end(), command) != commands.end();
}

// The main window where the profile puts it, drawn, with the keyboard focus.
unsigned long ShowAndFocus(ui::MainWindow* main) {
  main->showNormal();
  EXPECT_TRUE(WaitUntil([&] { return main->windowHandle() && main->windowHandle()->isExposed(); }));
  const unsigned long id = main->winId();
  g_x->Focus(id);
  WaitUntil([] { return false; }, 200);  // the focus-in reaches the window
  return id;
}

// Lets the program take every X event sent to it so far: a round trip on its
// own connection puts them in its queue, and its event loop handles them.
void SettleProgram() {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  ASSERT_NE(x11, nullptr);
  xcb_connection_t* c = x11->connection();
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

enum class Away { Iconified, Withdrawn, Unmapped };

// Puts the main window out of sight as a window manager's iconify does, as
// the program itself hides it to the tray, or as another client unmaps it.
void PutAway(ui::MainWindow* main, unsigned long id, Away how) {
  if (how == Away::Iconified) {
    g_x->Iconify(id);
    EXPECT_TRUE(WaitUntil([&] { return main->isMinimized(); })) << "the program did not see the iconify";
  } else if (how == Away::Withdrawn) {
    main->hide();
  } else {
    g_x->Unmap(id);
  }
  EXPECT_TRUE(WaitUntil([&] { return !g_x->Viewable(id); }));
}

// Gives the focus to the other client's window, presses the combination and
// waits (bounded) until Zentu's main window is viewable again.
bool BackByHotKey(unsigned long other, unsigned long main, const char* key, const std::vector<const char*>& mods) {
  g_x->Focus(other);
  EXPECT_EQ(g_x->FocusedWindow(), other) << "the other client never got the focus";
  g_x->Key(key, mods);
  if (!WaitUntil([&] { return g_x->Viewable(main); }, 10000)) return false;
  // As a window manager marks a window it maps; the program must have seen it
  // before the next iconify, or it takes that for the old news.
  g_x->SetNormalState(main);
  SettleProgram();
  return true;
}

class HotKeyWindowTest : public WindowFrameHome {
 protected:
  void SetUp() override {
    WindowFrameHome::SetUp();
    WriteNative("zentu.ini", "[Zentu]\nFinishConfirm=0\nSaveConfirm=0\nXpos=0\nYpos=0\nWidth=1000\nHeight=640\n");
  }
};

TEST_F(HotKeyWindowTest, HotKeyShowsTheMainWindowWhileAnotherClientHasTheFocus) {
  ASSERT_NE(g_x, nullptr);
  RunningFrame zentu;
  ASSERT_TRUE(zentu.Started());
  ui::MainWindow* main = zentu.main();
  // No keyconfig.dat: "ウインドウを表示(全体へのホットキー)" has its default Ctrl+F10.
  ASSERT_TRUE(HotKeyRegistered(ui::kCmdShowWindow));
  const unsigned long id = ShowAndFocus(main);
  const unsigned long other = g_x->CreateClientWindow(QRect(760, 420, 480, 400));
  ASSERT_NE(other, 0u);

  struct Row {
    const char* what;
    const char* lock;  // toggled on for the row, off after it
    Away away;
  };
  const Row rows[] = {{"iconified", nullptr, Away::Iconified},
                      {"withdrawn, Caps Lock on", "Caps_Lock", Away::Withdrawn},
                      {"iconified, Num Lock on", "Num_Lock", Away::Iconified},
                      {"withdrawn", nullptr, Away::Withdrawn},
                      {"unmapped by another client", nullptr, Away::Unmapped}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.lock) {
      const unsigned before = g_x->ModifierState();
      g_x->Key(row.lock);
      ASSERT_NE(g_x->ModifierState(), before) << row.lock << " did not lock";
      if (std::string(row.lock) == "Caps_Lock") {
        EXPECT_NE(g_x->ModifierState() & kLockMask, 0u);
      }
    }
    PutAway(main, id, row.away);
    EXPECT_TRUE(BackByHotKey(other, id, "F10", {"Control_L"})) << "the hot key did not show the main window";
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(main->isMinimized());
    // Shown in front and given the keyboard, as a window brought back is.
    EXPECT_TRUE(WaitUntil([&] { return g_x->FocusedWindow() == id; }, 5000));
    if (row.lock) g_x->Key(row.lock);
  }

  WaitUntil([] { return false; }, 400);  // the window shown again has drawn itself
  const QImage shot = g_x->GrabArea(QRect(0, 0, 1260, 840));
  ASSERT_FALSE(shot.isNull());
  EXPECT_GT(DistinctColours(shot), 20) << "the picture looks blank";
  EXPECT_TRUE(shot.save(QString::fromStdString((ScreenshotDir() / "hotkey-shown.png").string()), "PNG"));
  g_x->DestroyWindow(other);
  EXPECT_EQ(zentu.Quit(), 0);
}

// Forgets what a run left in memory, so the next start reads its files.
void ForgetRun() {
  ResetTreeState();
  ResetGroups();
  DeclareActions(GeneralKeys(), KeyList::General);
  ApplyDefaultKeys(GeneralKeys());
  RebuildCommandMap(GeneralKeys());
  ui::QtDesktop::SetClosing(false);
}

// One change in the key dialog: the action's row, its modifiers and its key.
struct KeyChange {
  const char* action;  // as the dialog lists it
  bool ctrl, alt, shift;
  const char* key;  // as the key list shows it
};

// Opens the key dialog through its command and changes it as the user would
// once it shows: for each change the row is chosen, the modifiers ticked, the
// key picked and 設定 pressed; then OK. Returns what the rows show afterwards.
std::vector<QString> ChangeKeysInTheDialog(ui::AppWindows& app, const std::vector<KeyChange>& changes) {
  std::vector<QString> shown;
  bool found = false;
  QTimer driver;
  driver.setInterval(20);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog->objectName() != QStringLiteral("key config") || !dialog->isVisible()) return;
    driver.stop();
    found = true;
    auto* view = dialog->findChild<QTreeWidget*>(QStringLiteral("general keys"));
    auto* key = dialog->findChild<QComboBox*>(QStringLiteral("key"));
    QCheckBox *ctrl = nullptr, *alt = nullptr, *shift = nullptr;
    for (QCheckBox* c : dialog->findChildren<QCheckBox*>()) {
      if (c->text() == QStringLiteral("Ctrl")) ctrl = c;
      if (c->text() == QStringLiteral("Alt")) alt = c;
      if (c->text() == QStringLiteral("Shift")) shift = c;
    }
    QPushButton* assign = nullptr;
    for (QPushButton* b : dialog->findChildren<QPushButton*>())
      if (b->text() == U("設定(&S)")) assign = b;
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    if (!view || !key || !ctrl || !alt || !shift || !assign || !buttons) {
      ADD_FAILURE() << "the key dialog lacks its controls";
      dialog->reject();
      return;
    }
    for (const KeyChange& change : changes) {
      const QList<QTreeWidgetItem*> rows = view->findItems(U(change.action), Qt::MatchExactly, 0);
      if (rows.isEmpty()) {
        ADD_FAILURE() << "no row " << change.action;
        continue;
      }
      view->setCurrentItem(rows.front());
      ctrl->setChecked(change.ctrl);
      alt->setChecked(change.alt);
      shift->setChecked(change.shift);
      key->setCurrentIndex(key->findText(QString::fromLatin1(change.key)));
      assign->click();
      // The list is filled again after a change: the row is looked up anew.
      const QList<QTreeWidgetItem*> after = view->findItems(U(change.action), Qt::MatchExactly, 0);
      shown.push_back(after.isEmpty() ? QString() : after.front()->text(1));
    }
    buttons->button(QDialogButtonBox::Ok)->click();
  });
  driver.start();
  EXPECT_TRUE(app.Dispatch(ui::kCmdKeySettings));
  driver.stop();
  EXPECT_TRUE(found) << "the key dialog never showed";
  return shown;
}

std::string KeyFile() {
  std::string bytes;
  EXPECT_TRUE(os::ReadWholeFile(ConfigFilePath(CurrentProfile(), ConfigFile::KeyConfig), bytes));
  return bytes;
}

TEST_F(HotKeyWindowTest, KeysSetInTheDialogWorkAfterARestartAndTheOldKeysNoLonger) {
  ASSERT_NE(g_x, nullptr);
  const KeyChange tree{"ツリーウインドウの表示切替", true, false, false, "K"};     // F3 before
  const KeyChange show{"ウインドウを表示(全体へのホットキー)", false, true, true, "F11"};  // Ctrl+F10 before
  {
    RunningFrame zentu;
    ASSERT_TRUE(zentu.Started());
    ui::MainWindow* main = zentu.main();
    (void)ShowAndFocus(main);
    // F3 shows and hides the tree for now: the check after the restart means something.
    g_x->Key("F3");
    ASSERT_TRUE(WaitUntil([&] { return main->treeView()->isHidden(); })) << "F3 did not hide the tree";
    g_x->Key("F3");
    ASSERT_TRUE(WaitUntil([&] { return !main->treeView()->isHidden(); }));

    EXPECT_EQ(ChangeKeysInTheDialog(*zentu.windows(), {tree, show}),
              (std::vector<QString>{QStringLiteral("Ctrl+K"), QStringLiteral("Alt+Shift+F11")}));
    // Written when the dialog closed, before any exit.
    const std::string written = KeyFile();
    EXPECT_NE(written.find(os::SJ("ツリーウインドウの表示切替\tC+K\r\n")), std::string::npos) << written;
    EXPECT_NE(written.find(os::SJ("ウインドウを表示(全体へのホットキー)\tA+S+F11\r\n")), std::string::npos) << written;
    EXPECT_EQ(zentu.Quit(), 0);
  }
  EXPECT_NE(KeyFile().find(os::SJ("ツリーウインドウの表示切替\tC+K\r\n")), std::string::npos);

  ForgetRun();

  RunningFrame zentu;
  ASSERT_TRUE(zentu.Started());
  ui::MainWindow* main = zentu.main();
  ui::AppWindows* app = zentu.windows();
  const unsigned long id = ShowAndFocus(main);
  ASSERT_FALSE(main->treeView()->isHidden());
  ASSERT_TRUE(app->logWindow()->isHidden());

  // The old key, then the log window's F6: by the time the log window shows,
  // F3 has been handled, and the tree must still be there.
  g_x->Key("F3");
  g_x->Key("F6");
  ASSERT_TRUE(WaitUntil([&] { return app->logWindow()->isVisible(); })) << "F6 did not show the log";
  EXPECT_FALSE(main->treeView()->isHidden()) << "the old key F3 still toggles the tree";
  g_x->Focus(id);
  g_x->Key("k", {"Control_L"});
  EXPECT_TRUE(WaitUntil([&] { return main->treeView()->isHidden(); })) << "the new key Ctrl+K did nothing";

  // The hot key: the old combination is free for other programs, the new one held.
  EXPECT_TRUE(g_x->KeyIsFree("F10", kControlMask));
  EXPECT_FALSE(g_x->KeyIsFree("F11", kAltMask | kShiftMask));
  const unsigned long other = g_x->CreateClientWindow(QRect(760, 420, 480, 400));
  PutAway(main, id, Away::Iconified);
  EXPECT_TRUE(BackByHotKey(other, id, "F11", {"Alt_L", "Shift_L"})) << "the new hot key did not show the window";
  g_x->DestroyWindow(other);
  EXPECT_EQ(zentu.Quit(), 0);
}

TEST_F(HotKeyWindowTest, AHotKeyAnotherClientHoldsIsReportedOnceAndCleared) {
  ASSERT_NE(g_x, nullptr);
  // Another program has Ctrl+F10 before Zentu starts.
  ASSERT_TRUE(g_x->GrabKey("F10", kControlMask));
  QStringList told;
  QTimer answer;
  answer.setInterval(10);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->buttons().isEmpty()) return;
    told << box->text();
    box->buttons().front()->click();
  });
  answer.start();
  {
    RunningFrame zentu;
    ASSERT_TRUE(zentu.Started());
    EXPECT_FALSE(HotKeyRegistered(ui::kCmdShowWindow));
    ASSERT_EQ(told.size(), 2) << told.join(" / ").toStdString();
    EXPECT_TRUE(told[0].startsWith(U("[ウインドウを表示(全体へのホットキー)] のホットキー [Ctrl+F10] が衝突しています．")))
        << told[0].toStdString();
    EXPECT_EQ(told[1], U("グローバルホットキーの設定に失敗しました。"));
    // Cleared means cleared: no shortcut of the window answers to it either.
    for (const QAction* a : zentu.main()->findChildren<QAction*>())
      EXPECT_FALSE(a->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_F10))) << a->objectName().toStdString();
    EXPECT_EQ(zentu.Quit(), 0);
  }
  EXPECT_NE(KeyFile().find(os::SJ("ウインドウを表示(全体へのホットキー)\t\r\n")), std::string::npos);

  // The next start, with the key still held elsewhere, has nothing to report.
  ForgetRun();
  {
    RunningFrame again;
    ASSERT_TRUE(again.Started());
    EXPECT_EQ(told.size(), 2) << told.join(" / ").toStdString();
    EXPECT_EQ(again.Quit(), 0);
  }
  answer.stop();
  g_x->UngrabKey("F10", kControlMask);
}

}  // namespace
}  // namespace zentu::testing
