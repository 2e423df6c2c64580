// The log window: every line from every thread, progress lines replacing rows.
#include <QTreeView>
#include <thread>
#include <vector>

#include "os/cp932.h"
#include "os/log.h"
#include "tests/ui/ui_fixture.h"
#include "ui/logwindow.h"

namespace zentu::testing {
namespace {

QStringList Rows(ui::LogModel* m) {
  QStringList out;
  for (int r = 0; r < m->rowCount(); ++r) out << m->Line(r);
  return out;
}

TEST_F(UiTest, LogWindowShowsEveryLineAndReplacesProgressRows) {
  WriteLog("# before the window");
  ui::AppWindows& w = Open();
  ui::LogModel* m = w.logWindow()->model();
  EXPECT_TRUE(Rows(m).contains("# before the window"));
  EXPECT_FALSE(w.logWindow()->isVisible());  // hidden unless the profile says otherwise

  const int base = m->rowCount();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 250; ++i) WriteLog("> thread %d line %d", t, i);
    });
  }
  for (std::thread& t : writers) t.join();
  ASSERT_TRUE(WaitUntil([&] { return m->rowCount() == base + 1000; }));

  // Progress: each line replaces the rows its writer names.
  WriteLog("step A");
  WriteLog("step B");
  WriteLogProgress(1, "progress 1");
  WriteLogProgress(1, "progress 2");
  WriteLog("step C");
  WriteLogProgress(2, "two rows gone");
  WriteLog("%s", os::Utf8ToSjis("日本語の行").c_str());
  ASSERT_TRUE(WaitUntil([&] { return m->Line(m->rowCount() - 1) == QString::fromUtf8("日本語の行"); }));
  EXPECT_EQ(Rows(m).mid(m->rowCount() - 3), (QStringList{"step A", "two rows gone", QString::fromUtf8("日本語の行")}));
  // The window holds exactly what the log holds (threads writing at the same
  // moment may reach the two in different orders).
  QStringList all;
  for (const std::string& line : log::Lines()) all << QString::fromStdString(os::SjisToUtf8(line));
  QStringList shown = Rows(m);
  shown.sort();
  all.sort();
  EXPECT_EQ(shown, all);
}

TEST_F(UiTest, LogWindowTakesItsPlaceFromTheProfileAndClosingHides) {
  Profile& p = CurrentProfile();
  p.LogViewWindowSize = {40, 50, 640, 320};
  p.LogViewFlag = true;
  ui::AppWindows& w = Open();
  w.PlaceLogWindow();
  EXPECT_TRUE(w.logWindow()->isVisible());
  EXPECT_EQ(w.logWindow()->geometry().size(), QSize(640, 320));
  EXPECT_EQ(w.logWindow()->windowTitle(), "LogView");
  w.logWindow()->close();
  EXPECT_FALSE(w.logWindow()->isVisible());
  EXPECT_FALSE(p.LogViewFlag);
  // The command brings it back.
  EXPECT_TRUE(w.Dispatch(ui::kCmdShowLog));
  EXPECT_TRUE(w.logWindow()->isVisible());
}

TEST(LogModelTest, AppliesBatchesAsTheirNetEffect) {
  ui::LogModel m;
  m.Apply({{"a", 0}, {"b", 0}, {"c", 0}});
  // A progress line replacing rows that came in the same batch, and more than there are.
  m.Apply({{"d", 0}, {"e", 2}, {"f", 3}});
  QStringList rows;
  for (int r = 0; r < m.rowCount(); ++r) rows << m.Line(r);
  EXPECT_EQ(rows, (QStringList{"f"}));
  m.Apply({{"g", 3}});
  EXPECT_EQ(m.rowCount(), 1);
  EXPECT_EQ(m.Line(0), "g");
}

}  // namespace
}  // namespace zentu::testing
