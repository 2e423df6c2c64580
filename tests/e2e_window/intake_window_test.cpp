// The clipboard capture and the scrap agent of the real program on a private
// X display, fed by other X clients as a browser, an editor or a file manager
// would: text and the header form of HTML put on the clipboard by xclip
// become a text item and a captured item through the main window's keys, and
// a file and a link dragged from another program (XDND) onto the agent
// become items of the receive folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "intake/clipboard.h"
#include "os/cp932.h"
#include "os/path.h"
#include "tests/e2e_window/xsession.h"
#include "tests/support/testhome.h"
#include "tests/support/testserver.h"
#include "tests/support/zentu_process.h"

namespace zentu::testing {
namespace {

class IntakeOnDisplayTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    RegisterOneBrowserEntry();  // no first-time question over the main window
  }
  // Puts a file's bytes on the clipboard as `target`; xclip keeps serving
  // them in the background until another client takes the clipboard.
  bool Clip(const std::string& display, const std::string& target, const std::string& bytes) {
    const std::string file = nativeHome + "/clip.bin";
    std::ofstream(file, std::ios::binary) << bytes;
    const std::string command = "DISPLAY=" + display + " xclip -selection clipboard -t '" + target + "' -i '" + file +
                                "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }
};

TEST_F(IntakeOnDisplayTest, ClipboardTextAndHtmlFromAnotherClientBecomeItems) {
  if (std::system("command -v xclip >/dev/null 2>&1") != 0) {
    if (std::getenv("CI")) FAIL() << "xclip is missing";
    GTEST_SKIP() << "xclip is missing";
  }
  XSession x(1024, 768);
  if (!x.Started()) {
    if (std::getenv("CI")) FAIL() << x.Error();
    GTEST_SKIP() << x.Error();
  }
  WriteNative("zentu.ini", "[Zentu]\nFinishConfirm=0\nSaveConfirm=0\nXpos=0\nYpos=0\nWidth=900\nHeight=600\n"
                           "[Scrap]\nConfirmScrapText=0\nScrapByDragAndDrop=1\n");
  ZentuProcess zentu({}, {{"DISPLAY", x.Name()}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", "xcb"}});
  ASSERT_TRUE(zentu.WaitForLine("# Ready")) << zentu.Output();
  XSession::Window main = x.WaitForWindow("Zentu");
  ASSERT_NE(main.id, 0u) << zentu.Output();
  EXPECT_NE(x.WaitForWindow("Drag & Drop Agent").id, 0u);

  // A key can be lost on a busy machine: pressed again until the log answers.
  // The main window's X window is made anew once the web view shows, so it
  // is looked up again when the one we know is gone.
  auto pressUntil = [&](const char* key, const std::string& line) {
    for (int attempt = 0; attempt < 8; ++attempt) {
      if (x.Title(main.id).isEmpty())
        if (XSession::Window again = x.WaitForWindow("Zentu", 3000); again.id) main = again;
      x.Focus(main.id);
      x.Key(key, {"Control_L", "Alt_L"});
      if (zentu.WaitForLine(line, 3000)) return true;
    }
    return false;
  };
  ASSERT_TRUE(Clip(x.Name(), "UTF8_STRING", "クリップボードの文章\n二行目"));
  ASSERT_TRUE(pressUntil("t", "> clipboard text: text item added")) << zentu.Output();

  const std::string html = BuildHtmlFormat("<p>" + os::SJ("選択した") + "<b>HTML</b></p>", "http://example.com/a%20b.html");
  ASSERT_TRUE(Clip(x.Name(), "HTML Format", html));
  ASSERT_TRUE(pressUntil("h", "取り込み成功")) << zentu.Output();

  zentu.Signal(SIGTERM);
  EXPECT_EQ(zentu.Wait(), 0) << zentu.Output();
  const std::string tree = ReadNative("default.html");
  EXPECT_NE(tree.find("HREF=\"http://example.com/a b.html\""), std::string::npos) << tree;
  EXPECT_NE(tree.find("PROPERTY=\"10\""), std::string::npos) << tree;  // the text item
}

// The program itself in a new home: the first-time setup's question comes
// once the main window is up, and Escape answers "No".
TEST_F(IntakeOnDisplayTest, FirstStartAsksAboutTheBrowserIntegrationOnceTheMainWindowShows) {
  XSession x(1024, 768);
  if (!x.Started()) {
    if (std::getenv("CI")) FAIL() << x.Error();
    GTEST_SKIP() << x.Error();
  }
  std::filesystem::remove(nativeHome + "/registry.dat");
  WriteNative("zentu.ini", "[Zentu]\nFinishConfirm=0\nSaveConfirm=0\nXpos=0\nYpos=0\nWidth=900\nHeight=600\n");
  ZentuProcess zentu({}, {{"DISPLAY", x.Name()}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", "xcb"}});
  ASSERT_TRUE(zentu.WaitForLine("# Ready")) << zentu.Output();
  const XSession::Window question = x.WaitForWindow("First Setup");
  ASSERT_NE(question.id, 0u) << zentu.Output();
  EXPECT_NE(x.WaitForWindow("Zentu", 1000).id, 0u) << "asked before the main window showed";
  const std::string no = "> レジストリへの登録を行いませんでした";
  for (int attempt = 0; attempt < 5 && zentu.FindLine(no) < 0; ++attempt) {
    x.Focus(question.id);
    x.Key("Escape");
    (void)zentu.WaitForLine(no, 3000);
  }
  EXPECT_NE(zentu.FindLine(no), -1) << zentu.Output();
  zentu.Signal(SIGTERM);
  EXPECT_EQ(zentu.Wait(), 0) << zentu.Output();
  EXPECT_EQ(ReadNative("registry.dat").find("MenuExt"), std::string::npos) << "registered after No";
}

TEST_F(IntakeOnDisplayTest, FileAndLinkDraggedFromAnotherClientOntoTheScrapAgentBecomeItems) {
  XSession x(1024, 768);
  if (!x.Started()) {
    if (std::getenv("CI")) FAIL() << x.Error();
    GTEST_SKIP() << x.Error();
  }
  TestServer server;
  server.AddPage("/dragged.html", "<html><head><title>dragged</title></head><body>link target</body></html>");
  const std::string pageUrl = server.Url("/dragged.html");
  const std::filesystem::path file = std::filesystem::path(nativeHome) / "drop" / "メモ 1.txt";
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << "dropped file";
  const std::string fileUrl = QUrl::fromLocalFile(QString::fromStdString(file.string())).toString().toStdString();

  WriteNative("zentu.ini", "[Zentu]\nFinishConfirm=0\nSaveConfirm=0\nXpos=0\nYpos=0\nWidth=900\nHeight=600\n"
                           "[Scrap]\nConfirmScrapText=1\nScrapByDragAndDrop=1\n");  // drops never ask
  const ZentuProcess::Environment env{{"DISPLAY", x.Name()}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", "xcb"}};
  ZentuProcess zentu({}, env);
  ASSERT_TRUE(zentu.WaitForLine("# Ready")) << zentu.Output();
  const XSession::Window agent = x.WaitForWindow("Drag & Drop Agent");
  ASSERT_NE(agent.id, 0u) << zentu.Output();

  // The source sits beside the agent, clear of it and of the main window.
  const QPoint at(agent.frame.left() > 200 ? agent.frame.left() - 200 : agent.frame.right() + 40, agent.frame.top());
  ZentuProcess source({"Drag source", std::to_string(at.x()), std::to_string(at.y()), fileUrl, pageUrl}, env, {},
                      ZENTU_DRAG_SOURCE);
  ASSERT_TRUE(source.WaitForLine("ready")) << source.Output();
  const XSession::Window from = x.WaitForWindow("Drag source");
  ASSERT_NE(from.id, 0u) << source.Output();

  // Drag n from the source onto the agent; a press the source never saw is
  // tried again, a drop the agent refused is not.
  auto dragOnto = [&](int n, const std::string& added) {
    const std::string ended = "drag " + std::to_string(n) + ": ";
    for (int attempt = 0; attempt < 3 && source.FindLine(ended) < 0; ++attempt) {
      EXPECT_TRUE(DragPointer(x.Name(), from.frame.center(), agent.frame.center(), 800));
      (void)source.WaitForLine(ended, 5000);
    }
    EXPECT_NE(source.FindLine(ended + "copy"), -1) << source.Output();
    return zentu.WaitForLine(added, 10000);
  };
  // The file is offered for moving first; the agent must answer "copy", or
  // a file manager would delete the file the new item opens.
  ASSERT_TRUE(dragOnto(1, "> dropped file: ")) << zentu.Output();
  ASSERT_TRUE(dragOnto(2, "> dropped URL: " + pageUrl)) << zentu.Output();

  zentu.Signal(SIGTERM);
  EXPECT_EQ(zentu.Wait(), 0) << zentu.Output();
  const std::string tree = ReadNative("default.html");
  const std::string localFile = os::FromNativePath(file.string());
  EXPECT_NE(tree.find("LOCALFILE=\"" + localFile + "\""), std::string::npos) << U8(tree);
  EXPECT_NE(tree.find(">" + SJ("メモ 1.txt") + "</A>"), std::string::npos) << U8(tree);
  EXPECT_NE(tree.find("HREF=\"" + pageUrl + "\""), std::string::npos) << U8(tree);
}

}  // namespace
}  // namespace zentu::testing
