// The whole program in this process with its windows and tabs (offscreen):
// a note open in a tab when the program quits is saved before the
// collection, so the tree file on disk and the Text directory agree after
// the exit.
#include <QApplication>
#include <QWebEngineProfile>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "editor/kedit.h"
#include "editor/textitem.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"
#include "tests/support/window/running_frame.h"
#include "ui/mainwindow.h"
#include "ui/texteditor.h"
#include "ui/web/tabbrowser.h"

namespace zentu::testing {
namespace {

std::vector<std::string> TextFiles(const std::string& dir) {
  std::vector<os::DirEntry> entries;
  std::vector<std::string> names;
  if (!os::ListDirectory(dir, entries)) return names;
  for (const os::DirEntry& e : entries)
    if (!e.isDirectory) names.push_back(e.name);
  return names;
}

class ShutdownNotesTest : public WindowFrameHome {
 protected:
  void SetUp() override {
    WindowFrameHome::SetUp();
    // No questions on the way out, and no auto-save: only the exit saves the note.
    WriteNative("zentu.ini", "[Zentu]\nFinishConfirm=0\nSaveConfirm=0\n[Editor]\nSetTitleWithFirstLine=1\n"
                             "TextAutoSave=0\n");
    engine = new QWebEngineProfile;
    ui::SetBrowserPaneFactory([this](QWidget* parent) { return std::make_unique<ui::TabBrowser>(parent, engine); });
  }
  void TearDown() override {
    QApplication::processEvents();
    ui::SetBrowserPaneFactory({});
    delete engine;
    WindowFrameHome::TearDown();
  }

  // Starts the program, lets `prepare` make a note (the collection is then
  // saved, as the periodic save would), opens it in the current tab, lets
  // `edit` change it, quits, and returns the tree file as it is on disk.
  std::string QuitWithNoteOpen(const std::function<TreeNode*(TreeNode* receive)>& prepare,
                               const std::function<void(CKEdit&)>& edit) {
    RunningFrame zentu;
    ui::MainWindow* main = zentu.main();
    if (!main || !main->browser()) {
      ADD_FAILURE() << "no main window with tabs";
      return {};
    }
    textDir = CurrentProfile().dirs.text;
    const std::string treeFile = CurrentTreeFileSettings().treeFile;
    TreeNode* note = prepare(GetTreeState().receiveFolder);
    EXPECT_NE(note, nullptr);
    EXPECT_EQ(SaveTree(CurrentTreeFileSettings()), 1);
    std::string path;
    {
      std::lock_guard tree(TreeMutex());
      path = TextItemPath(note, CurrentProfile());
    }
    main->browser()->OpenTextInEditor(path, note, false);
    ui::TextEditor* editor = main->browser()->CurrentEditor();
    if (!editor) {
      ADD_FAILURE() << "the note did not open in the tab";
    } else {
      EXPECT_EQ(editor->Text().Path(), path);
      edit(editor->Model());
    }
    EXPECT_EQ(zentu.Quit(), 0);
    std::string tree;
    EXPECT_TRUE(os::ReadWholeFile(treeFile, tree)) << treeFile;
    return tree;
  }

  QWebEngineProfile* engine = nullptr;
  std::string textDir;
};

TEST_F(ShutdownNotesTest, ANoteRenamedByItsFirstLineIsInTheTreeFileUnderItsNewName) {
  const std::string tree = QuitWithNoteOpen(
      [](TreeNode* receive) {
        TreeNode* n = AddTextItem("Old title\r\nfirst words", {}, receive, CurrentProfile());
        // As a note the captured first line is the title, not part of the text.
        if (n) {
          EXPECT_TRUE(os::WriteFileAtomic(TextItemPath(n, CurrentProfile()), "first words"));
        }
        return n;
      },
      [](CKEdit& e) {
        ASSERT_TRUE(e.TitleLine());
        // The first line becomes the new title; a word is typed below it.
        e.MoveCaretTo(0, 0, false, false);
        e.MoveCaret(kToEnd, 0, false, true);
        e.PushUndo(e.InsertText("New title"));
        e.MoveCaretTo(0, 1, false, false);
        e.MoveCaret(kToEnd, 0, false, false);
        e.PushUndo(e.InsertText(" and more"));
      });
  EXPECT_NE(tree.find("New title.txt"), std::string::npos) << tree;
  EXPECT_EQ(tree.find("Old title"), std::string::npos) << tree;
  EXPECT_EQ(TextFiles(textDir), std::vector<std::string>{"New title.txt"});
  std::string body;
  ASSERT_TRUE(os::ReadWholeFile(os::JoinPath(textDir, "New title.txt"), body));
  EXPECT_EQ(body, "first words and more");
}

TEST_F(ShutdownNotesTest, AnEmptyUntitledNoteLeavesTheTreeFileAndItsFileGoes) {
  const std::string tree = QuitWithNoteOpen(
      [](TreeNode* receive) { return NewTextItem(receive, CurrentProfile()); }, [](CKEdit&) {});
  EXPECT_EQ(tree.find("(Untitled_"), std::string::npos) << tree;
  EXPECT_TRUE(TextFiles(textDir).empty());
}

}  // namespace
}  // namespace zentu::testing
