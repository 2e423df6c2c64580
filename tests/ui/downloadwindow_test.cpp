// The download manager window: rows that follow the queue, their texts and
// colours, sorting, and the commands on the selection.
#include <QClipboard>
#include <QTableView>
#include <thread>

#include "capture/job.h"
#include "tests/ui/ui_fixture.h"
#include "ui/downloadwindow.h"

namespace zentu::testing {
namespace {

DownloadJob Job(const char* url, int status, uint32_t size = 0, int trials = 0) {
  DownloadJob j;
  j.URL = url;
  j.Status = status;
  j.Size = size;
  j.Trials = trials;
  return j;
}

QString Cell(ui::JobListModel* m, const std::string& url, int column, int role = Qt::DisplayRole) {
  return m->data(m->index(m->RowOf(url), column), role).toString();
}

void SelectRows(ui::DownloadWindow& w, std::initializer_list<std::string> urls) {
  w.view()->clearSelection();
  for (const std::string& url : urls)
    w.view()->selectionModel()->select(w.model()->index(w.model()->RowOf(url), 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

TEST_F(UiTest, DownloadManagerRowsFollowTheQueue) {
  DownloadManager manager;
  DownloadJob failed = Job("http://h/failed", kJobError, 0, 6);
  failed.Message = SJ("接続できません");
  manager.RestoreJobs({failed});  // queued before the window exists

  ui::DownloadWindow window(manager);
  ui::JobListModel* m = window.model();
  ASSERT_EQ(m->rowCount(), 1);

  DownloadJob done = Job("http://h/done", kJobComplete);
  done.FromLocal = true;
  done.FromCache = 1;
  done.LocalFile = "Z:\\tmp\\done.html";
  DownloadJob running = Job("http://h/big", kJobDownloading, 2048, 2);
  running.SourceURL = "http://h/index.html";
  running.SiteDown = true;
  DownloadJob odd = Job("http://h/odd", 42);
  std::thread([&] { manager.RestoreJobs({done, running, odd}); }).join();
  ASSERT_TRUE(WaitUntil([&] { return m->rowCount() == 4; }));

  struct Row {
    std::string url;
    std::vector<const char*> texts;  // columns 1..8
  };
  const Row rows[] = {
      {"http://h/failed", {"エラー", "Net", "", "Normal", "xxx", "5/5", "接続できません", ""}},
      {"http://h/done", {"完了", "Local", "Yes", "Normal", "---", "", "", ""}},
      {"http://h/big", {"DL中", "Net", "", "SiteDL", "2048", "2/5", "", "http://h/index.html"}},
      {"http://h/odd", {"", "Net", "", "Normal", "", "", "", ""}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Cell(m, r.url, 0), QString::fromStdString(r.url));
    for (int c = 1; c <= 8; ++c)
      EXPECT_EQ(Cell(m, r.url, c), QString::fromUtf8(r.texts[static_cast<size_t>(c - 1)])) << r.url << " column " << c;
  }
  EXPECT_EQ(Cell(m, "http://h/done", 9), "/tmp/done.html");

  // Row colours by status; a status outside the table keeps the system colours.
  const Profile& p = CurrentProfile();
  auto color = [&](const std::string& url, int role) {
    return m->data(m->index(m->RowOf(url), 3), role).value<QBrush>().color();
  };
  const Rgb& errorText = p.StatusTextColor[0];
  const Rgb& doneBack = p.StatusBackColor[kJobComplete + 1];
  EXPECT_EQ(color("http://h/failed", Qt::ForegroundRole), QColor(errorText.red, errorText.green, errorText.blue));
  EXPECT_EQ(color("http://h/done", Qt::BackgroundRole), QColor(doneBack.red, doneBack.green, doneBack.blue));
  EXPECT_FALSE(m->data(m->index(m->RowOf("http://h/odd"), 0), Qt::BackgroundRole).isValid());

  // A change of status on a worker refills its row.
  std::thread([&] {
    DownloadJob claimed;
    ASSERT_TRUE(manager.ClaimJob("http://h/big", &claimed) == 1);
    claimed.Status = kJobDownloaded;
    claimed.Size = 4096;
    ASSERT_EQ(manager.ReleaseJob(claimed), 1);
  }).join();
  ASSERT_TRUE(WaitUntil([&] { return Cell(m, "http://h/big", 5) == "4096"; }));
  EXPECT_EQ(Cell(m, "http://h/big", 1), QString::fromUtf8("DL終了"));

  // Sorting by Bytes, then again the other way round.
  m->SortByColumn(5);
  EXPECT_EQ(m->RowAt(m->rowCount() - 1)->url, "http://h/big");
  m->SortByColumn(5);
  EXPECT_EQ(m->RowAt(0)->url, "http://h/big");
  m->SortByColumn(0);
  EXPECT_EQ(m->RowAt(0)->url, "http://h/big");
  EXPECT_EQ(m->RowAt(3)->url, "http://h/odd");

  // Selection commands.
  SelectRows(window, {"http://h/failed", "http://h/done"});
  window.CopySelected();
  EXPECT_EQ(QApplication::clipboard()->text(), "http://h/done\r\nhttp://h/failed\r\n");
  window.RedownloadSelected();
  DownloadJob again;
  ASSERT_TRUE(manager.FindJob("http://h/failed", &again));
  EXPECT_EQ(again.Status, kJobUntreated);
  EXPECT_EQ(again.Trials, 6);  // the trials stay as they were
  SelectRows(window, {"http://h/odd"});
  window.DeleteSelected();
  EXPECT_FALSE(manager.FindJob("http://h/odd", nullptr));
  QApplication::processEvents();
  EXPECT_EQ(m->rowCount(), 3);
  EXPECT_EQ(m->RowOf("http://h/odd"), -1);

  // Clearing asks first; No keeps the list.
  {
    BoxAnswerer no(os::IDNO);
    window.ClearList();
    EXPECT_EQ(no.caption, QString::fromUtf8("確認"));
  }
  EXPECT_EQ(manager.Size(), 3u);
  {
    BoxAnswerer yes(os::IDYES);
    window.ClearList();
  }
  EXPECT_EQ(manager.Size(), 0u);
  EXPECT_EQ(m->rowCount(), 0);
  EXPECT_EQ(window.StatusPart(2), QString::fromUtf8("完了"));
}

TEST_F(UiTest, DownloadManagerShowsProgressAndKeepsItsPlace) {
  DownloadManager manager;
  ui::DownloadWindow window(manager);
  EXPECT_EQ(window.windowTitle(), "Download Manager");
  window.ShowProgress("http://h/a", 10, 0);
  EXPECT_EQ(window.StatusPart(1), "10 bytes");
  window.ShowProgress(std::string(800, 'u'), 10, 20);
  EXPECT_EQ(window.StatusPart(0).size(), 500);
  EXPECT_EQ(window.StatusPart(1), "10/20 bytes");

  Profile& p = CurrentProfile();
  p.DownloadManagerWindowSize = {30, 40, 700, 300};
  window.Place(p);
  window.ShowWindow(true);
  EXPECT_TRUE(window.isVisible());
  window.resize(720, 310);
  window.close();  // closing hides and keeps the place
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(p.DownloadManagerWindowSize.width, 720);
  EXPECT_EQ(p.DownloadManagerWindowSize.height, 310);
}

}  // namespace
}  // namespace zentu::testing
