// The import commands of the main window: the file menu lists them, each
// asks for its file with the format's filter and imports into the folder
// selected in the tree; list imports queue what they read.
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTreeView>
#include <cstdlib>

#include "capture/job.h"
#include "os/path.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/importcommands.h"
#include "ui/mainwindow.h"

namespace zentu::testing {
namespace {

TEST_F(UiTest, ImportCommandsAskForTheirFileAndFillTheSelectedFolder) {
  TreeNode* into = AddFolder(Root(), "取り込み先");
  ui::AppWindows& w = Open();
  w.SelectFolder(into);
  GetDownloadManager().ClearHooks();

  // Every command has its entry under ファイル > インポート.
  QMenu* imports = nullptr;
  for (QAction* a : w.mainWindow()->menuBar()->actions())
    if (a->menu() && a->text().startsWith(QString::fromUtf8("ファイル")))
      for (QAction* b : a->menu()->actions())
        if (b->menu() && b->text().startsWith(QString::fromUtf8("インポート"))) imports = b->menu();
  ASSERT_NE(imports, nullptr);
  for (const ui::ImportCommandInfo& c : ui::ImportCommands()) {
    ASSERT_NE(w.mainWindow()->action(c.id), nullptr) << c.id;
    EXPECT_TRUE(imports->actions().contains(w.mainWindow()->action(c.id)));
  }

  WriteNative("bookmarks.html",
              "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n<DL><p>\n"
              "<DT><H3 ADD_DATE=\"1\" LAST_MODIFIED=\"2\">ブックマーク バー</H3>\n<DL><p>\n"
              "<DT><A HREF=\"https://example.com/\" ADD_DATE=\"3\">例</A>\n</DL><p>\n</DL><p>\n");
  WriteNative("list.iri", "URL=http://127.0.0.1:9/a.zip\r\nURL=http://127.0.0.1:9/b.zip\r\n");
  std::vector<ui::ImportRequest> asked;
  std::string answer;
  ui::SetImportFileChooser([&](const ui::ImportRequest& r) {
    asked.push_back(r);
    return QString::fromUtf8((nativeHome + "/" + answer).c_str());
  });

  answer = "bookmarks.html";
  w.Dispatch(ui::kCmdImportNetscape);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(asked[0].filter.startsWith("htm(*.htm)"));
  EXPECT_FALSE(asked[0].folder);
  TreeNode* made = into->firstChild;
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->title, SJ("Netscape の Bookmark"));
  EXPECT_EQ(made->property, kPropertyBookmarkFolder);
  ASSERT_NE(made->firstChild, nullptr);
  EXPECT_EQ(made->firstChild->firstChild->url, "https://example.com/");

  answer = "list.iri";
  w.Dispatch(ui::kCmdImportIria);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[1].title, QString::fromUtf8("リスト読み込み"));
  EXPECT_EQ(asked[1].filter, QString::fromUtf8("Iria 形式(*.iri)"));
  EXPECT_TRUE(GetDownloadManager().FindJob("http://127.0.0.1:9/a.zip", nullptr));
  EXPECT_TRUE(GetDownloadManager().FindJob("http://127.0.0.1:9/b.zip", nullptr));
  EXPECT_EQ(LastChild(into)->title, "*");

  // The favorites ask for a folder; cancelling imports nothing.
  answer.clear();
  ui::SetImportFileChooser([&](const ui::ImportRequest& r) {
    asked.push_back(r);
    return QString();
  });
  w.Dispatch(ui::kCmdImportFavorites);
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_TRUE(asked[2].folder);
  EXPECT_NE(LastChild(Root())->title, SJ("IEのお気に入り"));
  ui::SetImportFileChooser({});

  if (const char* dir = std::getenv("ZENTU_SCREENSHOT_DIR")) {
    w.mainWindow()->resize(900, 560);
    w.mainWindow()->show();
    w.SelectFolder(made->firstChild);
    w.mainWindow()->treeView()->expandAll();
    QApplication::processEvents();
    w.mainWindow()->grab().save(QString::fromUtf8(dir) + "/main-window-import.png");
    imports->adjustSize();
    imports->grab().save(QString::fromUtf8(dir) + "/import-menu.png");
  }
  {
    std::lock_guard tree(TreeMutex());
    GetDownloadManager().DetachSubtree(Root());
  }
  GetDownloadManager().Clear();
}

}  // namespace
}  // namespace zentu::testing
