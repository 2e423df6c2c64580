// The clipboard capture of the real program on a private X display: text and
// the header form of HTML put on the clipboard by xclip (another X client,
// as a browser or editor would be) become a text item and a captured item
// through the main window's keys. Drops on the scrap agent are covered by
// tests/ui (Qt drag events); here the agent shows up as a window of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "intake/clipboard.h"
#include "os/cp932.h"
#include "tests/e2e_window/xsession.h"
#include "tests/support/testhome.h"
#include "tests/support/zentu_process.h"

namespace zentu::testing {
namespace {

class IntakeOnDisplayTest : public TempHome {
 protected:
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

}  // namespace
}  // namespace zentu::testing
