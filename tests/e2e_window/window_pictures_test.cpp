// The zentu program with its windows on a private X display: a collection of
// 1,000 items with Japanese titles, folders chosen with the keyboard, a
// capture from a local server started by second starts, and pictures of the
// main window, the download manager during the capture and the log window.
//
// The pictures go to $ZENTU_SCREENSHOT_DIR, else to "screenshots" in the
// working folder. The README's pictures are made this way:
//   ZENTU_SCREENSHOT_DIR=$PWD/docs/screenshots build/tests/e2e_window/test_window
#include <gtest/gtest.h>
#include <signal.h>

#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <unistd.h>
#include <string>
#include <vector>

#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/profile_bridge.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/e2e_window/imesession.h"
#include "tests/e2e_window/sample_collection.h"
#include "tests/e2e_window/xsession.h"
#include "tests/support/testhome.h"
#include "tests/support/testserver.h"
#include "tests/support/zentu_process.h"

namespace zentu::testing {
namespace {

constexpr int kScreenWidth = 1280, kScreenHeight = 960;

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

class WindowPicturesTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    const char* dir = std::getenv("ZENTU_SCREENSHOT_DIR");
    out_ = dir && *dir ? std::filesystem::path(dir) : std::filesystem::current_path() / "screenshots";
    std::filesystem::create_directories(out_);
  }
  void TearDown() override {
    ResetTreeState();
    TempHome::TearDown();
  }

  // The profile places the windows side by side on the screen and opens the
  // folder "国内"; the collection is the sample.
  void WriteHome() {
    Profile& p = CurrentProfile();
    ASSERT_EQ(LoadProfile(p, ProfilePath()), 1);
    p.Xpos = 0;
    p.Ypos = 0;
    p.Width = 1120;
    p.Height = 720;
    p.TreeWidth = 250;
    p.ListHeight = 380;
    p.ColumnWidth[0] = {330, 300, 60, 190, 130, 70, 100};
    p.LastFolder = SJ("国内");
    p.FinishConfirm = false;
    p.DelayOfDownload = 0;
    p.ShowByDownload = true;
    p.DownloadManagerWindowSize = {60, 300, 1100, 420};
    p.LogViewWindowSize = {120, 200, 820, 460};
    if (tweak) tweak(p);
    for (const std::string* d : {&p.dirs.data, &p.dirs.text, &p.dirs.config, &p.dirs.timer})
      ASSERT_TRUE(os::CreateDirectories(*d));
    CurrentTreeFileSettings() = TreeFileSettingsFrom(p, CurrentTreeFileSettings());
    BuildSampleCollection();
    ASSERT_EQ(SaveTree(CurrentTreeFileSettings()), 1);
    ASSERT_EQ(SaveProfile(p, ProfilePath()), 1);
    ResetTreeState();
  }

  // Writes the picture and checks it shows a drawn window, not a blank one.
  void Keep(const QImage& image, const char* name, const QSize& expected) {
    ASSERT_FALSE(image.isNull()) << name;
    EXPECT_EQ(image.size(), expected) << name;
    EXPECT_GT(DistinctColours(image), 40) << name << " looks blank";
    const std::filesystem::path path = out_ / name;
    EXPECT_TRUE(image.save(QString::fromStdString(path.string()), "PNG")) << path;
  }

  std::filesystem::path out_;
  std::function<void(Profile&)> tweak;  // profile changes of one test
};

// A small site: ten Shift_JIS pages with two pictures and a style sheet each,
// and one missing page, answered slowly enough to catch the capture running.
void ServeSite(TestServer& server, std::vector<std::string>& urls) {
  server.SetDelay(150);
  const char* pages[] = {"index", "news", "blog", "about", "photo", "recipe", "travel", "books", "memo", "links"};
  for (int i = 0; i < 10; ++i) {
    const std::string n = std::to_string(i);
    std::string body = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">"
                       "<title>" + SJ("サンプルページ ") + pages[i] + "</title></head><body>"
                       "<img src=\"img/a" + n + ".png\"><img src=\"img/b" + n + ".png\">"
                       "<link rel=\"stylesheet\" href=\"css/s" + n + ".css\"></body></html>";
    server.AddPage(std::string("/") + pages[i] + ".html", body);
    urls.push_back(server.Url(std::string("/") + pages[i] + ".html"));
  }
  server.Add({.path = "/img/*", .headers = {{"Content-Type", "image/png"}}, .body = std::string(3000, 'p')});
  server.Add({.path = "/css/*", .headers = {{"Content-Type", "text/css"}}, .body = "body{color:#333}"});
  server.Add({.path = "/gone.html", .status = 404, .body = "no"});
  urls.push_back(server.Url("/gone.html"));
}

TEST_F(WindowPicturesTest, MainWindowDownloadManagerAndLogWindowOnARealDisplay) {
  XSession x(kScreenWidth, kScreenHeight);
  if (!x.Started()) {
    if (std::getenv("CI")) FAIL() << x.Error();
    GTEST_SKIP() << x.Error();
  }
  WriteHome();
  if (HasFatalFailure()) return;

  const ZentuProcess::Environment env{{"DISPLAY", x.Name()},
                                      {"WAYLAND_DISPLAY", std::nullopt},
                                      {"QT_QPA_PLATFORM", "xcb"},
                                      {"ZENTU_WORKER_IDLE_MS", "1500"}};
  ZentuProcess zentu({}, env);
  ASSERT_TRUE(zentu.WaitForLine("# Ready")) << zentu.Output();
  ASSERT_NE(zentu.FindLine("> window: xcb"), -1) << zentu.Output();

  // The main window opens on the profile's last folder.
  XSession::Window main = x.WaitForWindow("Zentu");
  ASSERT_NE(main.id, 0u) << zentu.Output();
  EXPECT_EQ(main.frame, QRect(0, 0, 1120, 720));
  ASSERT_TRUE(x.WaitForTitle(main.id, [](const QString& t) { return t.endsWith(Q("[国内]")); })) << x.Title(main.id).toStdString();
  // The main window's X window is made anew once the first web page shows
  // (its surface becomes one the web view can draw in): look it up again
  // when the one we know is gone.
  auto Main = [&]() -> XSession::Window& {
    if (x.Title(main.id).isEmpty())
      if (XSession::Window again = x.WaitForWindow("Zentu", 3000); again.id) main = again;
    return main;
  };

  // Folders chosen with the keyboard in the tree: down to "Qt", back up.
  x.Focus(Main().id);
  x.Key("t", {"Control_L"});
  // Keys until the title names the folder; the tree takes the focus again
  // now and then, in case a busy machine lost the first Ctrl+T.
  auto pressUntil = [&](const char* key, const QString& folder) {
    for (int i = 0; i < 30; ++i) {
      if (x.Title(Main().id).endsWith("[" + folder + "]")) return true;
      if (i % 10 == 9) {
        x.Focus(Main().id);
        x.Key("t", {"Control_L"});
      }
      x.Key(key);
      x.WaitForTitle(Main().id, [](const QString&) { return false; }, 60);
    }
    return x.WaitForTitle(Main().id, [&](const QString& t) { return t.endsWith("[" + folder + "]"); }, 2000);
  };
  // Keys that open a window, tried again after re-focusing when it does not come.
  auto open = [&](const std::function<void()>& keys, const QString& title) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      x.Focus(Main().id);
      keys();
      XSession::Window w = x.WaitForWindow(title, 5000);
      if (w.id) return w;
      x.Key("Escape");  // a menu left open
    }
    return XSession::Window{};
  };
  ASSERT_TRUE(pressUntil("Down", "Qt")) << x.Title(Main().id).toStdString();
  ASSERT_TRUE(pressUntil("Up", Q("国内"))) << x.Title(Main().id).toStdString();
  // Into the list, a few rows down.
  x.Key("l", {"Control_L"});
  for (int i = 0; i < 4; ++i) x.Key("Down");
  Keep(x.Grab(Main().id), "main-window.png", QSize(1120, 720));

  // To the receive folder, then captures through second starts.
  x.Focus(Main().id);
  x.Key("t", {"Control_L"});
  ASSERT_TRUE(pressUntil("Up", Q("未整理フォルダ"))) << x.Title(Main().id).toStdString();
  TestServer server;
  std::vector<std::string> urls;
  ServeSite(server, urls);
  for (const std::string& url : urls) {
    ZentuProcess second({"-u", url}, env);
    ASSERT_EQ(second.Wait(), 0) << second.Output();
  }
  // The download manager comes up with the first download and is caught in
  // the middle of the capture.
  XSession::Window manager = x.WaitForWindow("Download Manager");
  ASSERT_NE(manager.id, 0u) << zentu.Output();
  EXPECT_EQ(manager.frame, QRect(60, 300, 1100, 420));
  ASSERT_TRUE(server.WaitForRequests(30, 30000));
  Keep(x.Grab(manager.id), "download-manager.png", QSize(1100, 420));

  ASSERT_TRUE(zentu.WaitForLine("Finish. Analyze Thread.", 60000)) << zentu.Output();
  x.Focus(Main().id);
  x.Key("l", {"Control_L"});
  x.Key("End");
  Keep(x.Grab(Main().id), "main-window-captured.png", QSize(1120, 720));

  // The log window, from its key.
  XSession::Window logWindow = open([&] { x.Key("F6"); }, "LogView");
  ASSERT_NE(logWindow.id, 0u) << zentu.Output();
  EXPECT_EQ(logWindow.frame, QRect(120, 200, 820, 460));
  Keep(x.Grab(logWindow.id), "log-window.png", QSize(820, 460));

  // The settings dialog through the menu bar's keys; Escape closes it untouched.
  XSession::Window dialog = open(
      [&] {
        x.Key("t", {"Alt_L"});
        x.Key("Return");
      },
      Q("環境設定"));
  ASSERT_NE(dialog.id, 0u) << zentu.Output();
  Keep(x.Grab(dialog.id), "settings.png", dialog.frame.size());
  x.Focus(dialog.id);
  x.Key("Escape");
  EXPECT_TRUE(x.WaitForTitle(dialog.id, [&](const QString&) {
    for (const XSession::Window& w : x.Windows())
      if (w.id == dialog.id) return false;
    return true;
  }));

  // The properties of a captured item, through the item menu.
  XSession::Window properties = open(
      [&] {
        x.Key("l", {"Control_L"});
        x.Key("End");
        x.Key("Up");
        x.Key("i", {"Alt_L"});
        for (int i = 0; i < 3; ++i) x.Key("Down");
        x.Key("Return");
      },
      Q("プロパティ"));
  ASSERT_NE(properties.id, 0u) << zentu.Output();
  Keep(x.Grab(properties.id), "properties.png", properties.frame.size());
  x.Focus(properties.id);
  x.Key("Escape");

  zentu.Signal(SIGTERM);
  EXPECT_EQ(zentu.Wait(), 0) << zentu.Output();

  // Every capture reached the collection with its page title.
  const TreeFileSettings settings = TreeFileSettingsFrom(CurrentProfile());
  (void)LoadTree(settings.treeFile, nullptr, settings);
  std::lock_guard tree(TreeMutex());
  ASSERT_NE(GetTreeState().receiveFolder, nullptr);
  int pages = 0;
  for (TreeNode* n = GetTreeState().receiveFolder->firstChild; n; n = n->next)
    if (n->title.rfind(SJ("サンプルページ"), 0) == 0) ++pages;
  EXPECT_EQ(pages, 10);
}

// A note written in a tab: made from the menu, typed with plain keys, saved
// by the auto-save, found and replaced through the dialogs and undone, renamed
// through its first line, and still there after the program was killed.
TEST_F(WindowPicturesTest, NoteSurvivesAKillAndIsFoundAndReplaced) {
  XSession x(kScreenWidth, kScreenHeight);
  if (!x.Started()) {
    if (std::getenv("CI")) FAIL() << x.Error();
    GTEST_SKIP() << x.Error();
  }
  tweak = [](Profile& p) {
    p.SetTitleWithFirstLine = true;
    p.TextAutoSave = true;
    p.WaitTimeForAutoSave = 1;
    p.SaveAtAddition = true;
    p.DebugFlag = 1;
  };
  WriteHome();
  if (HasFatalFailure()) return;
  const std::string textDir = CurrentProfile().dirs.text;
  const ZentuProcess::Environment env{
      {"DISPLAY", x.Name()}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", "xcb"}};
  auto zentu = std::make_unique<ZentuProcess>(std::vector<std::string>{}, env);
  ASSERT_TRUE(zentu->WaitForLine("# Ready")) << zentu->Output();
  XSession::Window main = x.WaitForWindow("Zentu");
  ASSERT_NE(main.id, 0u);
  auto Main = [&]() -> XSession::Window& {
    if (x.Title(main.id).isEmpty())
      if (XSession::Window again = x.WaitForWindow("Zentu", 3000); again.id) main = again;
    return main;
  };
  auto type = [&](const std::string& keys) {
    for (char c : keys) {
      if (c == ' ') x.Key("space");
      else if (c == '.') x.Key("period");
      else if (c >= 'A' && c <= 'Z') x.Key(std::string(1, static_cast<char>(c - 'A' + 'a')).c_str(), {"Shift_L"});
      else x.Key(std::string(1, c).c_str());
      ::usleep(20'000);  // a busy program still sees every key in order
    }
  };
  auto menuItem = [&](int downs) {  // the text menu, then its n-th item
    x.Key("e", {"Alt_L"});
    for (int i = 0; i < downs; ++i) x.Key("Down");
    x.Key("Return");
  };
  // The note's file once it holds `body` (the auto-save runs every second).
  auto waitForFile = [&](const std::string& name, const std::string& body, int tenths = 150) {
    std::string text;
    for (int i = 0; i < tenths; ++i) {
      if (os::ReadWholeFile(os::JoinPath(textDir, name), text) && text == body) return true;
      ::usleep(100'000);
    }
    return false;
  };

  // The first page remakes the main window's X window: wait for it first.
  ASSERT_TRUE(zentu->WaitForLine("# open : about:blank")) << zentu->Output();
  bool opened = false;
  for (int i = 0; i < 4 && !opened; ++i) {
    ::usleep(500'000);
    x.Focus(Main().id);
    menuItem(0);  // "テキストを作成": a new untitled note in the current tab's editor
    opened = zentu->WaitForLine("[memo] file open", 5000);
  }
  ASSERT_TRUE(opened) << zentu->Output();
  // The editor has the focus once the menu has gone; the window may have been remade,
  // which takes a while on a busy machine.
  ::usleep(2'000'000);
  x.Focus(Main().id);
  // The page shown before the note may still take the focus on a busy machine:
  // a click into the editor (below the text) gives it back.
  x.Click(Main().frame.topLeft() + QPoint(680, 640));
  type("Shopping list");
  x.Key("Return");
  type("milk 2");
  ASSERT_TRUE(zentu->WaitForLine("rename: title Shopping list", 20000)) << zentu->Output();
  ASSERT_TRUE(waitForFile("Shopping list.txt", "milk 2"));
  Keep(x.Grab(Main().id), "note-in-tab.png", QSize(1120, 720));

  // A new first line renames the note and its file.
  x.Key("Home", {"Control_L"});
  x.Key("End");
  type(" Two");
  ASSERT_TRUE(zentu->WaitForLine("rename: title Shopping list Two", 20000)) << zentu->Output();
  ASSERT_TRUE(waitForFile("Shopping list Two.txt", "milk 2"));


  menuItem(4);  // "検索"
  XSession::Window find = x.WaitForWindow(Q("検索"), 10000);
  ASSERT_NE(find.id, 0u) << zentu->Output();
  x.Focus(find.id);  // mapped is not yet focused
  type("milk");
  Keep(x.Grab(find.id), "find-dialog.png", find.frame.size());
  x.Key("Escape");
  ::usleep(700'000);
  x.Focus(Main().id);

  menuItem(6);  // "置換": a regular expression, replace all, then two undo steps
  XSession::Window replace = x.WaitForWindow(Q("置換"), 10000);
  ASSERT_NE(replace.id, 0u) << zentu->Output();
  x.Focus(replace.id);
  type("m.lk");
  x.Key("Tab");
  type("tea");
  x.Key("Tab");
  x.Key("space");  // "正規表現"
  x.Key("a", {"Alt_L"});
  ASSERT_TRUE(waitForFile("Shopping list Two.txt", "tea 2"));
  ::usleep(500'000);
  x.Focus(Main().id);
  // "元に戻す", twice: the inserted replacement, then the removed match. Each step is
  // waited for in the saved file, and a menu key lost while the window was being
  // raised is pressed again.
  auto undoTo = [&](const std::string& body) {
    for (int i = 0; i < 4; ++i) {
      x.Focus(Main().id);
      menuItem(8);
      if (waitForFile("Shopping list Two.txt", body, 50)) return true;
    }
    return false;
  };
  ASSERT_TRUE(undoTo(" 2"));
  ASSERT_TRUE(undoTo("milk 2"));

  zentu->Signal(SIGKILL);
  zentu->Wait();
  EXPECT_FALSE(os::PathExists(os::JoinPath(textDir, "Shopping list.txt")));
  // Started again, the program reads the collection with the note in it.
  zentu = std::make_unique<ZentuProcess>(std::vector<std::string>{}, env);
  ASSERT_TRUE(zentu->WaitForLine("# Ready")) << zentu->Output();
  zentu->Signal(SIGTERM);
  EXPECT_EQ(zentu->Wait(), 0) << zentu->Output();
  const TreeFileSettings settings = TreeFileSettingsFrom(CurrentProfile());
  (void)LoadTree(settings.treeFile, nullptr, settings);
  std::lock_guard tree(TreeMutex());
  TreeNode* note = FindByTitle(GetTreeState().root, "Shopping list Two");
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->property, kPropertyTextItem);
  EXPECT_EQ(note->localFile, "Shopping list Two.txt");
  std::string body;
  ASSERT_TRUE(os::ReadWholeFile(os::JoinPath(textDir, note->localFile), body));
  EXPECT_EQ(body, "milk 2");
}

// A note typed in Japanese through a real input method: ibus with the anthy
// engine on the test's display, turned on with ibus's own command line, romaji
// typed as keys and the hiragana of the preedit committed with Return. The
// note is named by its Japanese first line and saved in Shift_JIS by the
// auto-save; a conversion in progress is drawn but never reaches the text; a
// longer first line renames it; and the note is still there, under its name,
// after the program was killed.
TEST_F(WindowPicturesTest, JapaneseTypedThroughTheInputMethodIsSavedInShiftJis) {
  XSession x(kScreenWidth, kScreenHeight);
  if (!x.Started()) {
    if (std::getenv("CI")) FAIL() << x.Error();
    GTEST_SKIP() << x.Error();
  }
  if (const std::string missing = ImeSession::MissingParts(); !missing.empty()) {
    if (std::getenv("CI")) FAIL() << "no input method to type through; missing: " << missing;
    GTEST_SKIP() << "no input method to type through; missing: " << missing;
  }
  tweak = [](Profile& p) {
    p.SetTitleWithFirstLine = true;
    p.TextAutoSave = true;
    p.WaitTimeForAutoSave = 1;
    p.SaveAtAddition = true;
    p.DebugFlag = 1;
  };
  WriteHome();
  if (HasFatalFailure()) return;
  const std::string textDir = CurrentProfile().dirs.text;

  // Beside the Zentu home, not in it; removed after the input method has stopped.
  struct Scratch {
    std::filesystem::path path;
    ~Scratch() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } scratch{nativeHome + ".ime"};
  ImeSession ime(x.Name(), scratch.path.string());
  ASSERT_TRUE(ime.Started()) << ime.Error();

  ZentuProcess::Environment env{
      {"DISPLAY", x.Name()}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", "xcb"}};
  env.merge(ime.ClientEnvironment());
  auto zentu = std::make_unique<ZentuProcess>(std::vector<std::string>{}, env);
  ASSERT_TRUE(zentu->WaitForLine("# Ready")) << zentu->Output();
  XSession::Window main = x.WaitForWindow("Zentu");
  ASSERT_NE(main.id, 0u);
  auto Main = [&]() -> XSession::Window& {
    if (x.Title(main.id).isEmpty())
      if (XSession::Window again = x.WaitForWindow("Zentu", 3000); again.id) main = again;
    return main;
  };
  auto type = [&](const char* keys) {
    for (const char* c = keys; *c; ++c) {
      x.Key(*c == ' ' ? "space" : std::string(1, *c).c_str());
      ::usleep(20'000);  // a busy program and the daemon still see every key in order
    }
  };
  auto waitForFile = [&](const std::string& name, const std::string& body) {
    std::string text;
    for (int i = 0; i < 150; ++i) {
      if (os::ReadWholeFile(os::JoinPath(textDir, name), text) && text == body) return true;
      ::usleep(100'000);
    }
    ADD_FAILURE() << "the note holds \"" << os::SjisToUtf8(text) << "\"\n" << ime.DaemonLog();
    return false;
  };

  ASSERT_TRUE(zentu->WaitForLine("# open : about:blank")) << zentu->Output();
  bool opened = false;
  for (int i = 0; i < 4 && !opened; ++i) {
    ::usleep(500'000);
    x.Focus(Main().id);
    x.Key("e", {"Alt_L"});  // "テキストを作成"
    x.Key("Return");
    opened = zentu->WaitForLine("[memo] file open", 5000);
  }
  ASSERT_TRUE(opened) << zentu->Output();
  ::usleep(2'000'000);
  x.Focus(Main().id);
  // On with the engine while the editor has the focus; anthy starts in hiragana.
  ASSERT_TRUE(ime.SetEngine("anthy")) << ime.Error();
  // Before the real text, the editor must have the keys and the engine must
  // answer: "a" shows a preedit (あ) and Escape takes it back, leaving the
  // window as it was. On a busy machine the page shown before the note may
  // still take the focus, or the engine still be starting: the editor is
  // clicked (below the text, so the caret stays at its end) and tried again.
  auto waitForPicture = [&](const std::function<bool(const QImage&)>& accept) {
    for (int i = 0; i < 30; ++i) {
      if (accept(x.GrabArea(Main().frame))) return true;
      ::usleep(100'000);
    }
    return false;
  };
  bool answers = false;
  for (int attempt = 0; attempt < 4 && !answers; ++attempt) {
    x.Focus(Main().id);
    x.Click(Main().frame.topLeft() + QPoint(680, 640));
    const QImage before = x.Grab(Main().id);
    x.Key("a");
    if (!waitForPicture([&](const QImage& now) { return now != before; })) continue;
    x.Key("Escape");
    answers = waitForPicture([&](const QImage& now) { return now == before; });
  }
  if (!answers) {
    x.Grab(Main().id).save(QString::fromStdString((out_ / "note-ime-failed.png").string()), "PNG");
    FAIL() << "the input method did not answer in the editor\n" << zentu->Output() << ime.DaemonLog();
  }

  type("nihongo");
  x.Key("Return");  // commits the preedit as it stands: にほんご
  ::usleep(300'000);
  x.Key("Return");  // nothing to commit: the key reaches the editor, a line break
  ::usleep(300'000);
  type("nihongonomemo");
  x.Key("Return");
  if (!zentu->WaitForLine("rename: title にほんご", 20000)) {
    // What the screen held, to tell a lost focus from a silent input method.
    x.Grab(Main().id).save(QString::fromStdString((out_ / "note-ime-failed.png").string()), "PNG");
    FAIL() << "the note was not named by its first line\n" << zentu->Output() << ime.DaemonLog();
  }
  // にほんご.txt holding にほんごのめも, in Shift_JIS.
  const std::string name = "\x82\xc9\x82\xd9\x82\xf1\x82\xb2.txt";
  const std::string body = "\x82\xc9\x82\xd9\x82\xf1\x82\xb2\x82\xcc\x82\xdf\x82\xe0";
  ASSERT_TRUE(waitForFile(name, body));
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(*os::ToNativePath(textDir)) / "にほんご.txt"));

  // A conversion in progress: the candidate is drawn at the caret, picture taken,
  // then taken back with Escape (to the reading, then to nothing).
  type("nihongo");
  x.Key("space");
  ::usleep(1'500'000);
  Keep(x.Grab(Main().id), "note-ime.png", QSize(1120, 720));
  x.Key("Escape");
  ::usleep(300'000);
  x.Key("Escape");
  // Only what is committed reaches the text: です after the memo, nothing of the
  // conversion that was taken back.
  type("desu");
  x.Key("Return");
  const std::string saved = body + "\x82\xc5\x82\xb7";
  ASSERT_TRUE(waitForFile(name, saved));

  // The first line lengthened through the input method renames the note and its
  // file: にほんごです, にほんごです.txt.
  // Keys the engine does not take come back to the program asynchronously; a
  // pause after each keeps a busy machine from reordering them.
  x.Key("Home", {"Control_L"});
  ::usleep(300'000);
  x.Key("End");
  ::usleep(300'000);
  type("desu");
  x.Key("Return");
  ASSERT_TRUE(zentu->WaitForLine("rename: title にほんごです", 20000)) << zentu->Output();
  const std::string title = "\x82\xc9\x82\xd9\x82\xf1\x82\xb2\x82\xc5\x82\xb7";
  ASSERT_TRUE(waitForFile(title + ".txt", saved));
  // The old file goes last, once the collection naming the new one is saved.
  bool oldGone = false;
  for (int i = 0; i < 150 && !(oldGone = !os::PathExists(os::JoinPath(textDir, name))); ++i) ::usleep(100'000);
  ASSERT_TRUE(oldGone) << zentu->Output();

  zentu->Signal(SIGKILL);
  zentu->Wait();
  zentu = std::make_unique<ZentuProcess>(std::vector<std::string>{}, env);
  ASSERT_TRUE(zentu->WaitForLine("# Ready")) << zentu->Output();
  zentu->Signal(SIGTERM);
  EXPECT_EQ(zentu->Wait(), 0) << zentu->Output();
  const TreeFileSettings settings = TreeFileSettingsFrom(CurrentProfile());
  (void)LoadTree(settings.treeFile, nullptr, settings);
  std::lock_guard tree(TreeMutex());
  TreeNode* note = FindByTitle(GetTreeState().root, title);
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->property, kPropertyTextItem);
  EXPECT_EQ(note->localFile, title + ".txt");
  std::string text;
  ASSERT_TRUE(os::ReadWholeFile(os::JoinPath(textDir, note->localFile), text));
  EXPECT_EQ(text, saved);
}

}  // namespace
}  // namespace zentu::testing
