// The site-download and mirror dialogs: what they show, what they refuse,
// and what they hand back. With ZENTU_PICTURES set, pictures of both go there.
#include "ui/sitecommands.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <cstdlib>

#include "os/path.h"
#include "ui/appwindows.h"
#include "ui/commands.h"
#include "ui/mainwindow.h"
#include "tests/ui/ui_fixture.h"
#include "ui/qttext.h"

namespace zentu::testing {
namespace {

void Picture(QWidget& widget, const char* name) {
  const char* dir = std::getenv("ZENTU_PICTURES");
  if (!dir) return;
  widget.show();
  for (int i = 0; i < 20; ++i) QApplication::processEvents();
  widget.grab().save(QString::fromUtf8(dir) + "/" + QString::fromLatin1(name));
}

class SiteDialogsTest : public UiTest {};

TEST_F(SiteDialogsTest, SiteDownloadDialogRefusesAFilterOffTheSite) {
  ChannelHooks::SiteDownload start{SJ("https://example.com/a/"), 7, 250};
  ui::SiteDownloadDialog dialog(nullptr, "https://example.com/a/b.html", start);
  EXPECT_EQ(dialog.windowTitle(), ui::U("サイトダウンロード設定"));
  EXPECT_EQ(dialog.filterField()->text(), QStringLiteral("https://example.com/a/"));
  EXPECT_EQ(dialog.hopList()->count(), 51);
  EXPECT_EQ(dialog.hopList()->currentText(), QStringLiteral("7"));
  EXPECT_EQ(dialog.sizeField()->text(), QStringLiteral("250"));
  QStringList labels;
  for (QLabel* l : dialog.findChildren<QLabel*>()) labels << l->text();
  for (const char* text : {"指定のサイトをダウンロードする際の設定を行います．", "リンクを辿る回数", "取り込みサイズ制限",
                           "KBytes", "* Aタグで辿るリンクのみ関係があります",
                           "0を指定した場合はサイズでの取り込み制限を行いません"})
    EXPECT_TRUE(labels.contains(ui::U(text))) << text;
  Picture(dialog, "site-download-dialog.png");

  struct Row {
    const char* filter;
    bool accepted;
  } rows[] = {{"http://example.com.evil.net/", false}, {"http://example.com/a/", false}, {"https://example.com/b/", true}};
  for (const Row& r : rows) {
    dialog.setResult(QDialog::Rejected);
    dialog.filterField()->setText(QString::fromLatin1(r.filter));
    // The refusal is told through the desktop; a recording one keeps it.
    desktop.messages.clear();
    os::SetDesktop(&desktop);
    dialog.accept();
    os::SetDesktop(&qtDesktop);
    EXPECT_EQ(dialog.result() == QDialog::Accepted, r.accepted) << r.filter;
    ASSERT_EQ(desktop.messages.size(), r.accepted ? 0u : 1u) << r.filter;
    if (!r.accepted) {
      EXPECT_EQ(desktop.messages[0].text, SJ("フィルタ設定を確認してください"));
      EXPECT_EQ(desktop.messages[0].caption, SJ("エラー"));
    }
  }
  // The numbers are read whatever the filter said.
  dialog.hopList()->setCurrentIndex(50);
  dialog.sizeField()->setText(QStringLiteral("0"));
  const ChannelHooks::SiteDownload s = dialog.Settings();
  EXPECT_EQ(s.filter, "https://example.com/b/");
  EXPECT_EQ(s.linkHop, 50);
  EXPECT_EQ(s.sizeLimitKBytes, 0);
}

TEST_F(SiteDialogsTest, MirrorDialogShowsNativePathsAndKeepsProgramPaths) {
  ui::MirrorDialog dialog(nullptr, MirrorHooks::Dialog{os::FromNativePath(nativeHome + "/Export"), true});
  EXPECT_EQ(dialog.windowTitle(), ui::U("フォルダに出力"));
  EXPECT_EQ(dialog.directoryField()->text(), QString::fromUtf8(nativeHome + "/Export"));
  EXPECT_TRUE(dialog.followBox()->isChecked());
  EXPECT_EQ(dialog.followBox()->text(), ui::U("リンクをたどる"));
  Picture(dialog, "mirror-dialog.png");
  dialog.directoryField()->setText(QString::fromUtf8(nativeHome + "/出力 先"));
  dialog.followBox()->setChecked(false);
  const MirrorHooks::Dialog d = dialog.Settings();
  EXPECT_EQ(d.directory, os::FromNativePath(nativeHome + "/出力 先"));
  EXPECT_FALSE(d.followLinks);
  EXPECT_EQ(ui::ProgramDirectoryFromField(QStringLiteral("  ")), "");
  EXPECT_EQ(ui::ProgramDirectoryFromField(QStringLiteral("Z:\\srv\\m")), "Z:\\srv\\m");
}

// The commands are in the menus and carried out; the dialogs are the
// channel's and the mirror's while the windows live.
TEST_F(SiteDialogsTest, CommandsAreInTheMenusWhileTheWindowsLive) {
  ui::AppWindows& app = Open();
  for (int id : {ui::kCmdMirrorFolder, ui::kCmdMirrorSelected, ui::kCmdCaptureSite}) {
    EXPECT_TRUE(app.commands().Has(id)) << id;
    ASSERT_NE(app.mainWindow()->action(id), nullptr) << id;
  }
  EXPECT_EQ(app.mainWindow()->action(ui::kCmdMirrorFolder)->text(), ui::U("フォルダに出力(&E)..."));
}

}  // namespace
}  // namespace zentu::testing
