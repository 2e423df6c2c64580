// The feed windows: the RSS folder dialog makes the folder and queues its
// feed; the schedule dialog's check boxes are the folder's rows of the table.
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <cstdlib>

#include "capture/job.h"
#include "capture/schedule.h"
#include "tests/ui/ui_fixture.h"
#include "ui/commands.h"
#include "ui/feedcommands.h"

namespace zentu::testing {
namespace {

// The dialog's picture for the README when ZENTU_SCREENSHOT_DIR is set.
void Picture(QDialog& d, const char* name) {
  if (const char* dir = std::getenv("ZENTU_SCREENSHOT_DIR"))
    d.grab().save(QString::fromUtf8(dir) + "/" + name);
}

TEST_F(UiTest, FeedFolderAndScheduleDialogs) {
  TreeNode* parent = AddFolder(Root(), "ニュース");
  ui::AppWindows& w = Open();
  w.SelectFolder(parent);
  GetDownloadManager().ClearHooks();
  ModalStep<QDialog> feed([](QDialog& d) {
    auto edits = d.findChildren<QLineEdit*>();
    ASSERT_EQ(edits.size(), 2);
    edits[0]->setText(QString::fromUtf8("ニュース速報"));
    edits[1]->setText("http://127.0.0.1:9/feed.xml");
    Picture(d, "rss_folder_dialog.png");
    d.accept();
  });
  w.Dispatch(ui::kCmdAddFeedFolder);
  ASSERT_TRUE(IsRssFolder(parent->firstChild));
  EXPECT_EQ(parent->firstChild->title, SJ("ニュース速報"));
  EXPECT_TRUE(GetDownloadManager().FindJob("http://127.0.0.1:9/feed.xml", nullptr));
  GetDownloadManager().Clear();

  ResetSchedule();
  AddScheduleEntry(kUpdatePer24Hours, TreePath(parent));
  ModalStep<QDialog> schedule([](QDialog& d) {
    auto boxes = d.findChildren<QCheckBox*>();
    ASSERT_EQ(boxes.size(), kScheduleModeCount);
    EXPECT_TRUE(boxes[kUpdatePer24Hours - 1]->isChecked());
    boxes[kUpdatePer24Hours - 1]->setChecked(false);
    boxes[kUpdatePer10Minutes - 1]->setChecked(true);
    Picture(d, "schedule_dialog.png");
    d.accept();
  });
  w.Dispatch(ui::kCmdEditSchedule);
  const auto entries = ScheduleEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], (ScheduleEntry{kUpdatePer10Minutes, TreePath(parent)}));
  ResetSchedule();
}

}  // namespace
}  // namespace zentu::testing
