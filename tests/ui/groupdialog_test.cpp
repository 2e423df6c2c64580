// The group editing dialog in the running windows: groups added, renamed and
// deleted, members ticked, and what the tree then shows and group.dat holds.
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>

#include "os/file.h"
#include "store/configfiles.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/groupdialog.h"
#include "ui/qttext.h"

namespace zentu::testing {
namespace {

void Tick(ui::GroupDialog& d, const std::vector<const char*>& titles) {
  auto* members = d.findChild<QListWidget*>(QStringLiteral("members"));
  ASSERT_NE(members, nullptr);
  for (int i = 0; i < members->count(); ++i) {
    QListWidgetItem* item = members->item(i);
    const bool on = std::find_if(titles.begin(), titles.end(), [&](const char* t) {
                      return item->text() == QString::fromUtf8(t);
                    }) != titles.end();
    item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
  }
}

void Ok(ui::GroupDialog& d) { d.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }

class GroupDialogTest : public UiTest {};

TEST_F(GroupDialogTest, GroupsEditedInTheDialogAreShownAndWrittenAndTheCurrentOneFollowsItsName) {
  TreeNode* work = AddFolder(Root(), "仕事");
  TreeNode* hobby = AddFolder(Root(), "趣味");
  TreeNode* news = AddFolder(Root(), "ニュース");
  (void)os::CreateDirectories(CurrentProfile().dirs.config);
  CurrentProfile().Group = "default";
  ASSERT_NE(AddGroupMember(AddGroup("default"), SJ("趣味")), nullptr);
  ui::AppWindows& w = Open();
  w.ChooseGroup("default");
  ASSERT_FALSE(work->listed);

  QStringList refusals;
  ModalStep<ui::GroupDialog> edit([&](ui::GroupDialog& d) {
    d.ChooseGroup(0);
    Tick(d, {"仕事", "ニュース"});
    for (const char* bad : {"  ", "default"}) {
      BoxAnswerer box(os::IDOK);
      EXPECT_FALSE(d.AddNamed(QString::fromUtf8(bad)));
      refusals << box.text;
    }
    EXPECT_TRUE(d.AddNamed(QString::fromUtf8("読み物")));
    Tick(d, {"趣味"});
    d.ChooseGroup(0);
    EXPECT_TRUE(d.RenameChosen(QString::fromUtf8("仕事用")));
    Ok(d);
  });
  w.Dispatch(ui::kCmdGroupSettings);
  ASSERT_EQ(edit.ran, 1);
  EXPECT_EQ(refusals, (QStringList{ui::U("グループ名を入力してください．"), ui::U("同じ名前のグループがあります．")}));

  // The current group kept its place under the new name, with its new members.
  EXPECT_EQ(CurrentProfile().Group, SJ("仕事用"));
  EXPECT_TRUE(work->listed);
  EXPECT_TRUE(news->listed);
  EXPECT_FALSE(hobby->listed);
  EXPECT_TRUE(Receive()->listed);
  const std::string expected = SJ("[仕事用]\n+仕事\n+ニュース\n\n[読み物]\n+趣味\n\n");
  EXPECT_EQ(FormatGroups(), expected);
  std::string file;
  ASSERT_TRUE(os::ReadWholeFile(ConfigFilePath(CurrentProfile(), ConfigFile::Group), file));
  EXPECT_NE(file.find(SJ("[読み物]\r\n+趣味\r\n")), std::string::npos) << file;

  // Deleting the current group shows every folder again; Cancel changes nothing.
  ModalStep<ui::GroupDialog> cancel([&](ui::GroupDialog& d) {
    EXPECT_TRUE(d.AddNamed(QString::fromUtf8("捨てる")));
    d.reject();
  });
  w.Dispatch(ui::kCmdGroupSettings);
  EXPECT_EQ(FormatGroups(), expected);
  ModalStep<ui::GroupDialog> remove([&](ui::GroupDialog& d) {
    d.ChooseGroup(0);
    BoxAnswerer box(os::IDOK);
    d.DeleteChosen();
    EXPECT_EQ(box.text, ui::U("グループ「仕事用」を削除してよろしいですか？"));
    Ok(d);
  });
  w.Dispatch(ui::kCmdGroupSettings);
  EXPECT_EQ(FormatGroups(), SJ("[読み物]\n+趣味\n\n"));
  EXPECT_TRUE(hobby->listed);
  EXPECT_TRUE(work->listed);
}

}  // namespace
}  // namespace zentu::testing
