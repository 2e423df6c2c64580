// The queue kept on disk while Zentu runs: when timer.dat is written, what its
// running form says of work under way, that a write cut short leaves a file
// that parses whole, what a restart redoes, and the clean-up of a dead run.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "capture/job.h"
#include "capture/queuefile.h"
#include "os/file.h"
#include "os/path.h"
#include "tests/capture/job_fixture.h"

namespace zentu::testing {
namespace {

class QueueFileTest : public DownloadJobTest {
 protected:
  // Waits (bounded, never a measure of speed) until timer.dat satisfies `done`.
  template <typename Done>
  bool WaitForTimerFile(Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      if (done(ParseJobRecords(TimerText()))) return true;
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  static std::vector<DownloadJob> Jobs(int n, int status) {
    std::vector<DownloadJob> jobs;
    for (int i = 0; i < n; ++i) {
      DownloadJob j;
      j.URL = "http://example.com/q" + std::to_string(i) + ".html";
      j.Status = status;
      jobs.push_back(j);
    }
    return jobs;
  }
  static int Count(const std::vector<JobRecord>& records, int status) {
    int n = 0;
    for (const JobRecord& r : records) n += r.job.Status == status;
    return n;
  }
};

// The running form redoes every step that may have been under way; the exit's
// form keeps each step. Both come back through a restart as the table says.
TEST_F(QueueFileTest, RunningFormRedoesWorkUnderWayAndTheExitFormKeepsIt) {
  const struct {
    int status, restoredAfterCrash, restoredAfterExit;
  } rows[] = {{kJobError, kJobError, kJobError},
              {kJobUntreated, kJobUntreated, kJobUntreated},
              {kJobHead, kJobUntreated, kJobUntreated},
              {kJobWaiting, kJobWaiting, kJobWaiting},
              {kJobDownloading, kJobWaiting, kJobWaiting},
              {kJobDownloaded, kJobWaiting, kJobDownloaded},  // its page may be rewritten already
              {kJobAnalyzing, kJobWaiting, kJobDownloaded},
              {kJobAnalyzed, kJobComplete, kJobComplete},
              {kJobComplete, kJobComplete, kJobComplete}};
  std::vector<DownloadJob> jobs;
  for (const auto& r : rows) {
    DownloadJob j;
    j.URL = "http://example.com/s" + std::to_string(r.status + 1) + ".html";
    j.Status = r.status;
    jobs.push_back(j);
  }
  manager.RestoreJobs(jobs);
  for (TimerFileForm form : {TimerFileForm::WhileRunning, TimerFileForm::AtExit}) {
    ASSERT_EQ(SaveTimerFile(manager, form), 1);
    DownloadManager restarted;
    ASSERT_EQ(LoadTimerFile(restarted), 1);
    const std::vector<DownloadJob> got = restarted.Snapshot();
    ASSERT_EQ(got.size(), std::size(rows));
    for (size_t i = 0; i < got.size(); ++i) {
      SCOPED_TRACE(got[i].URL);
      EXPECT_EQ(got[i].Status,
                form == TimerFileForm::WhileRunning ? rows[i].restoredAfterCrash : rows[i].restoredAfterExit);
    }
  }
}

// A job that ended while the collection on disk still shows its item without
// a copy is fetched again; so is an untreated one with a file from the lost
// run (a HEAD would take that file for the copy). Everything else stays.
TEST_F(QueueFileTest, RestartFetchesAgainWhatEndedWithoutItsItemsCopy) {
  CurrentProfile().dirs.data = "Z:\\data";
  TreeNode* done = AddItem(receive, "Done", "http://example.com/done.html");
  SetLocalFile(done, "Z:\\data\\example.com\\done.html");
  TreeNode* other = AddItem(receive, "*", "http://example.com/new.html");
  TreeNode* cached = AddItem(receive, "*", "http://example.com/cached.html");
  // Titled by its capture when the queue was written, "*" in the tree file read back.
  TreeNode* renamed = AddItem(receive, "Renamed", "http://example.com/renamed.html");
  const struct {
    const char* url;
    TreeNode* node;
    int status;
    bool initialised, fromLocal;
    int restored;
  } rows[] = {
      {"http://example.com/a.html", star, kJobComplete, true, false, kJobWaiting},
      {"http://example.com/done.html", done, kJobComplete, true, false, kJobComplete},
      {"http://example.com/new.html", other, kJobUntreated, true, false, kJobWaiting},
      {"http://example.com/cached.html", cached, kJobUntreated, true, true, kJobUntreated},
      {"http://example.com/res.png", nullptr, kJobComplete, true, false, kJobComplete},
      {"http://example.com/renamed.html", renamed, kJobComplete, true, false, kJobWaiting},
  };
  std::vector<DownloadJob> jobs;
  for (const auto& r : rows) {
    DownloadJob j;
    j.URL = r.url;
    j.Status = r.status;
    j.Node = r.node;
    j.FromLocal = r.fromLocal;
    if (r.initialised) {
      j.Host = "example.com";
      j.DirName = "Z:\\data\\example.com";
      j.LocalFile = "Z:\\data\\example.com\\" + std::string(r.url).substr(19);
    }
    jobs.push_back(j);
  }
  manager.RestoreJobs(jobs);
  ASSERT_EQ(SaveTimerFile(manager, TimerFileForm::WhileRunning), 1);
  SetTitle(renamed, "*");
  DownloadManager restarted;
  ASSERT_EQ(LoadTimerFile(restarted), 1);
  for (const auto& r : rows) {
    DownloadJob got;
    ASSERT_TRUE(restarted.FindJob(r.url, &got)) << r.url;
    EXPECT_EQ(got.Status, r.restored) << r.url;
    EXPECT_EQ(got.Node, r.node) << r.url;
  }
}

// Changes are gathered: with a long interval a busy queue is written at its
// first change and again when it drains, not once per change; the drained
// queue's last state is what the file holds.
TEST_F(QueueFileTest, WriterGathersChangesAndWritesAtOnceWhenTheQueueDrains) {
  constexpr int kJobs = 40;
  manager.RestoreJobs(Jobs(kJobs, kJobUntreated));
  QueueFileWriter writer(manager, std::chrono::hours(1));
  writer.Start();
  EXPECT_EQ(writer.Writes(), 0u) << "the queue as restored is on disk already";
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < kJobs; ++i) manager.RedownloadJob("http://example.com/q" + std::to_string(i) + ".html",
                                                          round % 2 ? kJobWaiting : kJobUntreated);
  }
  ASSERT_TRUE(WaitForTimerFile([&](const std::vector<JobRecord>& r) { return r.size() == size_t(kJobs); }));
  for (int i = 0; i < kJobs; ++i)
    manager.RedownloadJob("http://example.com/q" + std::to_string(i) + ".html", i % 3 ? kJobComplete : kJobError);
  ASSERT_TRUE(WaitForTimerFile([&](const std::vector<JobRecord>& r) {
    return Count(r, kJobComplete) + Count(r, kJobError) == kJobs;
  })) << TimerText();
  writer.Stop();
  EXPECT_GE(writer.Writes(), 2u);
  EXPECT_LE(writer.Writes(), 3u) << "one write per change instead of per interval";
  EXPECT_EQ(Count(ParseJobRecords(TimerText()), kJobError), (kJobs + 2) / 3);
}

// The tree save asks for the queue first: Flush writes what changed at once,
// nothing when nothing changed, and nothing once the writer has stopped (the
// exit's own save is the last word).
TEST_F(QueueFileTest, FlushWritesChangesAtOnceAndNothingAfterTheStop) {
  QueueFileWriter writer(manager, std::chrono::hours(1));
  writer.Flush();
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/Timer/timer.dat")) << "not started: nothing written";
  writer.Start();
  manager.AddJob("http://example.com/a.html", "", false, star);
  writer.Flush();
  std::vector<JobRecord> records = ParseJobRecords(TimerText());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].treePath, TreePath(star));
  writer.Stop();
  const uint64_t writes = writer.Writes();
  manager.RedownloadJob("http://example.com/a.html", kJobComplete);
  ASSERT_EQ(SaveTimerFile(manager), 1);
  const std::string atExit = TimerText();
  manager.RedownloadJob("http://example.com/a.html", kJobWaiting);
  writer.Flush();
  EXPECT_EQ(TimerText(), atExit);
  EXPECT_EQ(writer.Writes(), writes);
}

// A write cut short at any of its file operations (as if the process died
// there) leaves the previous file whole; and a reader beside a busy writer
// only ever finds whole files.
TEST_F(QueueFileTest, CrashConsistencyTheFileAlwaysParsesWhole) {
  manager.RestoreJobs(Jobs(10, kJobWaiting));
  ASSERT_EQ(SaveTimerFile(manager, TimerFileForm::WhileRunning), 1);
  std::string before = TimerText();
  ASSERT_EQ(ParseJobRecords(before).size(), 10u);
  QueueFileWriter writer(manager, std::chrono::hours(1));
  writer.Start();
  for (int fault = 1; fault <= 8; ++fault) {
    SCOPED_TRACE("fault at " + std::to_string(fault));
    manager.AddJob("http://example.com/new" + std::to_string(fault), "", false, nullptr);
    os::SetFileFaultAt(fault);
    writer.Flush();
    os::SetFileFaultAt(0);
    const std::string now = TimerText();
    EXPECT_TRUE(now == before || ParseJobRecords(now).size() == manager.Size()) << now;
    EXPECT_EQ(now.size() - now.rfind("\r\n\r\n"), 4u) << "a record cut in two";
    before = now;
  }
  manager.AddJob("http://example.com/last", "", false, nullptr);
  writer.Flush();  // the faults are over: the next change is written
  EXPECT_EQ(ParseJobRecords(TimerText()).size(), manager.Size());
  writer.Stop();

  constexpr int kJobs = 60;
  manager.Clear();
  QueueFileWriter busy(manager, std::chrono::milliseconds(1));
  busy.Start();
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::string text = ReadNative("Timer/timer.dat");
      if (text.empty()) continue;
      size_t urls = 0;
      for (size_t at = text.find("URL="); at != std::string::npos; at = text.find("URL=", at + 1)) ++urls;
      EXPECT_EQ(ParseJobRecords(text).size(), urls);
      EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
      ++reads;
    }
  });
  for (int i = 0; i < kJobs; ++i) {
    const std::string url = "http://example.com/b" + std::to_string(i);
    manager.AddJob(url, "", false, nullptr);
    manager.RedownloadJob(url, kJobComplete);
  }
  ASSERT_TRUE(WaitForTimerFile([&](const std::vector<JobRecord>& r) { return Count(r, kJobComplete) == kJobs; }));
  done = true;
  reader.join();
  busy.Stop();
  EXPECT_GT(reads.load(), 0);
}

// What a dead run left: spool files in Data\Temp and ".part" files beside
// the local files of its jobs go; other files, files outside the data folder
// and anything through a linked folder stay.
TEST_F(QueueFileTest, DeadRunFilesAreRemovedAndNothingElse) {
  const std::string data = CurrentProfile().dirs.data;
  struct Row {
    std::string file;  // below the home
    bool removed;
  };
  const std::vector<Row> rows = {
      {"Data/Temp/20070212123456789.dat", true},
      {"Data/Temp/20070212123456789.dat.body", true},
      {"Data/Temp/2007021212345678.dat", false},   // one digit short
      {"Data/Temp/notes.dat", false},
      {"Data/Temp/20070212123456789.txt", false},
      {"Data/example.com/a.html.part", true},      // a job's local file + ".part"
      {"Data/example.com/a.html", false},
      {"Data/example.com/other.html.part", false}, // no job of that file
      {"outside/b.html.part", false},              // a job whose file lies outside the data folder
      {"real/c.html.part", false},                 // reached only through a linked folder
  };
  for (const Row& r : rows) WriteNative(r.file, "x");
  ASSERT_EQ(::symlink((nativeHome + "/real").c_str(), (nativeHome + "/Data/linked").c_str()), 0);
  std::string timer;
  for (const char* local : {"\\example.com\\a.html", "\\linked\\c.html"})
    timer += std::string("URL=http://example.com/x\r\nStatus=2\r\nLocalFile=") + data + local + "\r\n\r\n";
  timer += "URL=http://example.com/y\r\nStatus=2\r\nLocalFile=" + Path("outside") + "\\b.html\r\n\r\n";
  WriteNative("Timer/timer.dat", timer);

  EXPECT_EQ(RemoveDeadRunFiles(), 3);
  for (const Row& r : rows) EXPECT_EQ(std::filesystem::exists(nativeHome + "/" + r.file), !r.removed) << r.file;

  // Spool files kept on purpose stay.
  WriteNative("Data/Temp/20070212123456790.dat", "x");
  CurrentProfile().StoreTempData = true;
  EXPECT_EQ(RemoveDeadRunFiles(), 0);
  EXPECT_TRUE(std::filesystem::exists(nativeHome + "/Data/Temp/20070212123456790.dat"));
}

}  // namespace
}  // namespace zentu::testing
