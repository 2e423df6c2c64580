// The download queue: adding, re-arming, claims, buffer jobs and queries.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "capture/job.h"
#include "os/file.h"
#include "os/log.h"
#include "tests/capture/job_fixture.h"

namespace zentu::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(DownloadJobTest, AddOperationsQueueOneJobPerUrl) {
  EXPECT_EQ(manager.AddJob("", "", false, star), 0);
  EXPECT_EQ(manager.AddJob("h", "", false, star), 0) << "one character is no URL";
  EXPECT_EQ(manager.Size(), 0u);

  EXPECT_EQ(manager.AddJob("http://example.com/a.html", "http://ref/", true, star), 1);
  EXPECT_EQ(manager.AddSiteJob("http://example.com/s.html", "http://example.com/", true, 4, 100,
                               "http://example.com/", false, nullptr), 1);
  EXPECT_EQ(manager.AddFeedJob("http://example.com/feed.xml", "", kJobTypeRss, 3, false, news), 1);
  EXPECT_TRUE(LogContains("=> http://example.com/a.html"));
  EXPECT_EQ(starts.load(), 3) << "no worker runs: every new job starts them";

  DownloadJob j;
  ASSERT_TRUE(manager.FindJob("http://example.com/a.html", &j));
  EXPECT_EQ(j.Status, kJobUntreated);
  EXPECT_EQ(j.SourceURL, "http://ref/");
  EXPECT_TRUE(j.FromLocal);
  EXPECT_EQ(j.Node, star);
  EXPECT_EQ(j.Row, 0) << "the row the window gave";
  ASSERT_TRUE(manager.FindJob("http://example.com/s.html", &j));
  EXPECT_TRUE(j.SiteDown);
  EXPECT_EQ(j.Limit, 4);
  EXPECT_EQ(j.SizeUpTo, 100);
  EXPECT_EQ(j.Filter, "http://example.com/");
  ASSERT_TRUE(manager.FindJob("http://example.com/feed.xml", &j));
  EXPECT_EQ(j.Type, kJobTypeRss);
  EXPECT_EQ(j.Code, 3);

  // Once every kind of worker runs, new jobs start nothing.
  manager.checkRunning = manager.downloadRunning = manager.analysisRunning = true;
  EXPECT_EQ(manager.AddJob("http://example.com/b.html", "", false, nullptr), 1);
  EXPECT_EQ(starts.load(), 3);
  // A URL beyond the 2048-byte buffer is cut.
  std::string longUrl = "http://example.com/" + std::string(3000, 'x');
  EXPECT_EQ(manager.AddJob(longUrl, "", false, nullptr), 1);
  EXPECT_TRUE(manager.FindJob(longUrl.substr(0, kMaxUrlLength), nullptr));
  EXPECT_EQ(manager.Size(), 5u);
  EXPECT_EQ(listener.added, 5);
}

TEST_F(DownloadJobTest, ReAddingAQueuedUrlRearmsItWithAnItem) {
  // status before, added with an item?, add kind -> status after, source kept?
  const struct {
    int status;
    bool withNode;
    int kind;  // 0 AddJob, 1 AddSiteJob, 2 AddFeedJob
    int result, statusAfter;
    bool sourceKept;
    int startsAfter;  // download threads do not run here
  } rows[] = {
      {kJobComplete, false, 0, 0, kJobComplete, true, 0},
      {kJobComplete, true, 0, 2, kJobUntreated, false, 1},
      {kJobAnalyzed, true, 1, 2, kJobUntreated, false, 1},
      {kJobError, true, 0, 2, kJobUntreated, true, 1},
      {kJobWaiting, true, 1, 2, kJobUntreated, true, 1},
      {kJobComplete, true, 2, 2, kJobUntreated, false, 0},  // feeds start nothing here
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << "status " << r.status << " kind " << r.kind);
    manager.Clear();
    starts = 0;
    DownloadJob old;
    old.URL = "http://example.com/a.html";
    old.Status = r.status;
    old.SourceURL = "http://example.com/src.html";
    old.FromLocal = true;
    old.Trials = 3;
    manager.RestoreJobs({old});
    TreeNode* node = r.withNode ? star : nullptr;
    int result = r.kind == 0   ? manager.AddJob(old.URL, "http://other/", false, node)
                 : r.kind == 1 ? manager.AddSiteJob(old.URL, "http://other/", true, 9, 0, "", false, node)
                               : manager.AddFeedJob(old.URL, "http://other/", kJobTypeRss, 0, false, node);
    EXPECT_EQ(result, r.result);
    DownloadJob j;
    ASSERT_TRUE(manager.FindJob(old.URL, &j));
    EXPECT_EQ(j.Status, r.statusAfter);
    EXPECT_EQ(j.SourceURL, r.sourceKept ? old.SourceURL : "");
    EXPECT_EQ(j.FromLocal, r.sourceKept);
    EXPECT_EQ(j.Node, node);
    EXPECT_EQ(j.Trials, 3) << "trials survive a re-arm";
    EXPECT_FALSE(j.SiteDown) << "the queued job keeps its own settings";
    EXPECT_EQ(starts.load(), r.startsAfter);
    EXPECT_EQ(manager.Size(), 1u);
  }
  // With download threads running a re-arm starts nothing.
  starts = 0;
  manager.downloadRunning = true;
  EXPECT_EQ(manager.AddJob("http://example.com/a.html", "", false, page), 2);
  EXPECT_EQ(starts.load(), 0);
}

TEST_F(DownloadJobTest, ClaimsKeepJobsToOneWorker) {
  for (const char* u : {"http://a/1", "http://a/2", "http://a/3"}) manager.AddJob(u, "", false, nullptr);
  DownloadJob first, second, third;
  ASSERT_TRUE(manager.ClaimNext(kJobUntreated, "", &first));
  EXPECT_EQ(first.URL, "http://a/1");
  EXPECT_NE(first.claim, 0u);
  // A pass walks on from where it is and skips held jobs.
  ASSERT_TRUE(manager.ClaimNext(kJobUntreated, "", &second));
  EXPECT_EQ(second.URL, "http://a/2");
  ASSERT_TRUE(manager.ClaimNext(kJobUntreated, second.URL, &third));
  EXPECT_EQ(third.URL, "http://a/3");
  DownloadJob none;
  EXPECT_FALSE(manager.ClaimNext(kJobUntreated, "", &none));
  EXPECT_EQ(manager.ClaimJob("http://a/1", &none, 1), 0) << "held: skipped after the wait";
  EXPECT_EQ(manager.ClaimJob("http://a/9", &none), -1);

  // Progress is published; the queue's item reference is left alone.
  first.Status = kJobHead;
  first.Node = page;
  first.Message = "HEAD";
  EXPECT_EQ(manager.UpdateJob(first), 1);
  DownloadJob seen;
  ASSERT_TRUE(manager.FindJob(first.URL, &seen));
  EXPECT_EQ(seen.Status, kJobHead);
  EXPECT_EQ(seen.Message, "HEAD");
  EXPECT_EQ(seen.Node, nullptr);
  EXPECT_EQ(listener.rows[first.URL], kJobHead);

  first.Status = kJobWaiting;
  EXPECT_EQ(manager.ReleaseJob(first), 1);
  EXPECT_EQ(manager.ReleaseJob(first), 0) << "released already";
  ASSERT_TRUE(manager.ClaimNext(kJobWaiting, "", &first));

  // A job removed while held: the holder's results go nowhere.
  EXPECT_EQ(manager.RemoveJob(second.URL), 1);
  EXPECT_EQ(manager.ReleaseJob(second), 0);
  manager.AddJob(second.URL, "", false, nullptr);
  EXPECT_EQ(manager.UpdateJob(second), 0) << "a new job of the same URL is not the one claimed";
  EXPECT_EQ(manager.AbandonJob(third), 1);
  ASSERT_TRUE(manager.FindJob(third.URL, &seen));
  EXPECT_EQ(seen.claim, 0u);
  EXPECT_EQ(listener.removed, 1);
}

// Pages and style sheets are claimed before images and archives; a pass that
// has reached the resources takes a page found meanwhile first, and the first
// untreated job is still the first in queue order.
TEST_F(DownloadJobTest, PagesAreClaimedBeforePlainResources) {
  for (const char* u : {"http://a/icon/1.png", "http://a/img/2.JPG?x=1", "http://a/p/3.html", "http://a/s.css",
                        "http://a/dir/", "http://a/v.php?f=a.png", "http://a/z.zip"})
    manager.AddJob(u, "", false, nullptr);
  const std::vector<std::string> expected = {"http://a/dir/", "http://a/p/3.html", "http://a/s.css",
                                             "http://a/v.php?f=a.png", "http://a/icon/1.png"};
  std::vector<DownloadJob> held;
  std::string after;
  for (const std::string& url : expected) {
    DownloadJob job;
    ASSERT_TRUE(manager.ClaimNext(kJobUntreated, after, &job));
    EXPECT_EQ(job.URL, url);
    after = job.URL;
    held.push_back(job);
  }
  manager.AddJob("http://a/p/0.html", "", false, nullptr);  // found by an analysis meanwhile
  for (const char* url : {"http://a/p/0.html", "http://a/img/2.JPG?x=1", "http://a/z.zip"}) {
    DownloadJob job;
    ASSERT_TRUE(manager.ClaimNext(kJobUntreated, after, &job));
    EXPECT_EQ(job.URL, url);
    after = job.URL;
    held.push_back(job);
  }
  DownloadJob none;
  EXPECT_FALSE(manager.ClaimNext(kJobUntreated, after, &none));
  EXPECT_EQ(manager.CountStatus(kJobUntreated), 8u);
  EXPECT_TRUE(manager.HasUntreatedJobs());
  ASSERT_FALSE(log::Lines().empty());
  EXPECT_EQ(log::Lines().back(), "Untreated: http://a/dir/ [0]");
  for (DownloadJob& job : held) {
    job.Status = kJobComplete;
    EXPECT_EQ(manager.ReleaseJob(job), 1);
  }
  EXPECT_TRUE(manager.Drained());
  EXPECT_EQ(manager.CountStatus(kJobComplete), 8u);
}

TEST_F(DownloadJobTest, ThreadWaitingForAClaimGetsItWhenReleased) {
  manager.AddJob("http://a/1", "", false, nullptr);
  DownloadJob held;
  ASSERT_TRUE(manager.ClaimNext(kJobUntreated, "", &held));
  int result = -2;
  DownloadJob got;
  std::thread waiter([&] { result = manager.ClaimJob("http://a/1", &got, 100); });
  std::this_thread::sleep_for(50ms);
  held.Status = kJobWaiting;
  ASSERT_EQ(manager.ReleaseJob(held), 1);
  waiter.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(got.Status, kJobWaiting);
  EXPECT_NE(got.claim, held.claim);

  // A worker waiting for work wakes when a job arrives.
  bool found = false;
  std::thread worker([&] { found = manager.WaitForJob(kJobUntreated, 10s); });
  std::this_thread::sleep_for(20ms);
  manager.AddJob("http://a/2", "", false, nullptr);
  worker.join();
  EXPECT_TRUE(found);
  // And a stop request ends the wait.
  std::stop_source stop;
  std::thread idle([&] { found = manager.WaitForJob(kJobAnalyzed, 60s, stop.get_token()); });
  stop.request_stop();
  idle.join();
  EXPECT_FALSE(found);
}

// What "--once" waits on: the release that ends the last job wakes it, a
// failed job counts as ended, and a stop request ends the wait undrained.
TEST_F(DownloadJobTest, WaitUntilDrainedWakesOnTheLastJobsEnd) {
  EXPECT_TRUE(manager.WaitUntilDrained({}));  // nothing queued
  for (const char* url : {"http://d/1", "http://d/2"}) manager.AddJob(url, "", false, nullptr);
  bool drained = false;
  std::thread watcher([&] { drained = manager.WaitUntilDrained({}); });
  const int ends[] = {kJobError, kJobComplete};
  for (int end : ends) {
    DownloadJob job;
    ASSERT_TRUE(manager.ClaimNext(kJobUntreated, "", &job));
    job.Status = end;
    ASSERT_EQ(manager.ReleaseJob(job), 1);
  }
  watcher.join();  // a missed wake-up would hang here: the wait has no time-out
  EXPECT_TRUE(drained);

  manager.AddJob("http://d/3", "", false, nullptr);
  std::stop_source stop;
  std::thread stopped([&] { drained = manager.WaitUntilDrained(stop.get_token()); });
  stop.request_stop();
  stopped.join();
  EXPECT_FALSE(drained);
}

// A download delay is waited out on the stop's own condition: the queue's
// traffic does not end it, the stop ends it at once.
TEST_F(DownloadJobTest, DelayWaitEndsAtTheStopAndOnlyThere) {
  manager.SetStopFlags(true);
  EXPECT_TRUE(manager.WaitUnlessStopped(1h, manager.downloadStop)) << "a stop already set: no wait at all";
  manager.SetStopFlags(false);
  EXPECT_FALSE(manager.WaitUnlessStopped(1ms, manager.downloadStop)) << "the delay ran out";

  std::atomic<int> result{-1};
  std::thread waiter([&] { result = manager.WaitUnlessStopped(1h, manager.downloadStop) ? 1 : 0; });
  for (int i = 0; i < 50; ++i) {
    const std::string url = "http://w/" + std::to_string(i);
    manager.AddJob(url, "", false, nullptr);
    DownloadJob job;
    ASSERT_EQ(manager.ClaimJob(url, &job), 1);
    job.Status = kJobComplete;
    ASSERT_EQ(manager.ReleaseJob(job), 1);
  }
  EXPECT_EQ(result.load(), -1) << "the queue's changes do not end a delay";
  manager.SetStopFlags(true);
  waiter.join();  // a missed wake-up would hang here for an hour
  EXPECT_EQ(result.load(), 1);
  manager.SetStopFlags(false);
}

// Workers of each step wait for jobs of their own status, and a free job is
// told to one of them: every job still goes through every step. The waits
// have no time-out, so a job whose wake-up went missing would hang the test.
TEST_F(DownloadJobTest, EveryFreeJobReachesAWorkerOfItsStatus) {
  struct Step {
    int from, to;
  };
  const Step steps[] = {{kJobUntreated, kJobWaiting}, {kJobWaiting, kJobDownloaded}, {kJobDownloaded, kJobComplete}};
  std::stop_source stop;
  std::vector<std::thread> workers;
  for (const Step& step : steps) {
    for (int n = 0; n < 2; ++n) {
      workers.emplace_back([&, step] {
        while (!stop.stop_requested()) {
          if (!manager.WaitForJob(step.from, 24h, stop.get_token())) continue;
          DownloadJob job;
          while (manager.ClaimNext(step.from, "", &job)) {
            job.Status = step.to;
            manager.ReleaseJob(job);
          }
        }
      });
    }
  }
  for (int i = 0; i < 300; ++i) manager.AddJob("http://w/" + std::to_string(i), "", false, nullptr);
  EXPECT_TRUE(manager.WaitUntilDrained({}));
  stop.request_stop();
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(manager.CountStatus(kJobComplete), 300u);
}

TEST_F(DownloadJobTest, ChangesAskedForWhileHeldApplyOnRelease) {
  DownloadJob j;
  j.URL = "http://example.com/a.html";
  j.Status = kJobWaiting;
  j.SourceURL = "http://src/";
  manager.RestoreJobs({j});
  DownloadJob work;
  ASSERT_TRUE(manager.ClaimNext(kJobWaiting, "", &work));
  EXPECT_EQ(manager.AddJob(j.URL, "", false, star), 2);
  EXPECT_EQ(manager.JobNode(j.URL), star) << "the item is taken at once";
  work.Status = kJobComplete;
  work.Size = 10;
  ASSERT_EQ(manager.ReleaseJob(work), 1);
  DownloadJob seen;
  ASSERT_TRUE(manager.FindJob(j.URL, &seen));
  EXPECT_EQ(seen.Status, kJobUntreated) << "re-armed after the worker's result";
  EXPECT_EQ(seen.Size, 10u);
  EXPECT_EQ(seen.SourceURL, "") << "it had completed";
  EXPECT_EQ(seen.Node, star);

  // The user's re-download of a held job, likewise.
  ASSERT_TRUE(manager.ClaimNext(kJobUntreated, "", &work));
  EXPECT_EQ(manager.RedownloadJob(j.URL, kJobUntreated), 1);
  work.Status = kJobError;
  ASSERT_EQ(manager.ReleaseJob(work), 1);
  ASSERT_TRUE(manager.FindJob(j.URL, &seen));
  EXPECT_EQ(seen.Status, kJobUntreated);
}

TEST_F(DownloadJobTest, BufferJobWritesThePageForAnalysis) {
  CurrentProfile().AddDateForScrapSelectionArea = false;
  const std::string dataDir = Path("Data");
  manager.SetHook(&JobHooks::startWorkers, [this] { ++starts; });
  manager.SetHook(&JobHooks::initJob, [&](DownloadJob& job) {
    if (job.URL.find("bad") != std::string::npos) return false;
    job.DirName = dataDir + "\\example.com";
    job.LocalFile = job.DirName + "\\" + job.URL.substr(job.URL.rfind('/') + 1);
    job.LocalLink = "example.com/x";
    job.Status = kJobWaiting;
    return true;
  });
  const std::string html = SJ("<html><title>表示</title></html>");
  EXPECT_EQ(manager.AddBufferJob("http://example.com/p.html", html, star), 1);
  DownloadJob j;
  ASSERT_TRUE(manager.FindJob("http://example.com/p.html", &j));
  EXPECT_EQ(j.Status, kJobDownloaded);
  EXPECT_EQ(j.Code, 1);
  EXPECT_EQ(j.Size, html.size());
  EXPECT_EQ(j.Node, star);
  EXPECT_EQ(j.claim, 0u);
  EXPECT_EQ(ReadNative("Data/example.com/p.html"), html);
  EXPECT_EQ(starts.load(), 1);

  // An unmappable URL queues nothing.
  EXPECT_EQ(manager.AddBufferJob("http://bad/", html, star), -1);
  EXPECT_TRUE(LogContains("init error: http://bad/"));
  EXPECT_FALSE(manager.FindJob("http://bad/", nullptr));

  // A URL already queued takes the item and the text; its file gets the date.
  CurrentProfile().AddDateForScrapSelectionArea = true;
  manager.AddJob("http://example.com/q.html", "", false, nullptr);
  EXPECT_EQ(manager.AddBufferJob("http://example.com/q.html", "text", page), 2);
  ASSERT_TRUE(manager.FindJob("http://example.com/q.html", &j));
  EXPECT_EQ(j.Status, kJobDownloaded);
  EXPECT_EQ(j.Node, page);
  // FakeClock: 1170000000 s.
  const os::LocalTime t = os::LocalNow();
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  EXPECT_EQ(j.LocalFile, dataDir + "\\example.com\\q.html" + suffix);
  EXPECT_EQ(j.LocalLink, std::string("example.com/x") + suffix);
  EXPECT_EQ(ReadNative(std::string("Data/example.com/q.html") + suffix), "text");

  // A worker holds the job for longer than a claim waits: the text is kept
  // and written the moment the worker lets go.
  CurrentProfile().AddDateForScrapSelectionArea = false;
  manager.AddJob("http://example.com/held.html", "", false, nullptr);
  DownloadJob held;
  ASSERT_EQ(manager.ClaimJob("http://example.com/held.html", &held), 1);
  held.DirName = dataDir + "\\example.com";
  held.LocalFile = held.DirName + "\\held.html";
  EXPECT_EQ(manager.AddBufferJob("http://example.com/held.html", "kept text", page), 2);
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/Data/example.com/held.html"));
  held.Status = kJobWaiting;
  ASSERT_EQ(manager.ReleaseJob(held), 1);
  ASSERT_TRUE(manager.FindJob("http://example.com/held.html", &j));
  EXPECT_EQ(j.Status, kJobDownloaded);
  EXPECT_EQ(j.Node, page);
  EXPECT_EQ(ReadNative("Data/example.com/held.html"), "kept text");
}

TEST_F(DownloadJobTest, BufferJobFailuresEndTheJob) {
  const struct {
    const char* dir;
    const char* file;
    const char* message;
    const char* log;
  } rows[] = {
      {"Q:\\nowhere", "Q:\\nowhere\\x.html", "フォルダ作成に失敗しました: Q:\\nowhere",
       "Can't create file: Folder not found."},
      {"", "", "フォルダ作成に失敗しました: ", "Can't create file: Folder not found."},
      {"@data", "@data\\sub\\x.html", "ファイルを作成できませんでした", "Can't create file"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.dir);
    DownloadJob j;
    j.URL = "http://example.com/x.html";
    j.Type = kJobTypeRss;  // no date suffix for feeds
    j.DirName = r.dir[0] == '@' ? Path("Data") : r.dir;
    j.LocalFile = r.file[0] == '@' ? Path("Data\\sub\\x.html") : r.file;
    EXPECT_EQ(WriteBufferJob(j, "text"), 0);
    EXPECT_EQ(j.Status, kJobError) << "a failed write does not wait for ever";
    EXPECT_EQ(j.Message, SJ(r.message));
    EXPECT_TRUE(LogContains(r.log));
  }
}

TEST_F(DownloadJobTest, QueriesAndUserCommands) {
  EXPECT_FALSE(manager.HasUntreatedJobs());
  EXPECT_EQ(desktop.tips.back(), "Zentu");
  DownloadJob a, b, c;
  a.URL = "http://a/1";
  a.Status = kJobComplete;
  b.URL = "http://a/2";
  b.Status = kJobError;
  c.URL = "http://a/3";
  c.Status = kJobDownloaded;
  c.Node = page;
  manager.RestoreJobs({c, a, b});
  EXPECT_TRUE(manager.HasUntreatedJobs());
  EXPECT_TRUE(LogContains("Untreated: http://a/3 [4]"));
  DownloadJob next;
  ASSERT_TRUE(manager.NextJob("http://a/1", &next));
  EXPECT_EQ(next.URL, "http://a/2");
  EXPECT_FALSE(manager.NextJob("http://a/3", &next));

  EXPECT_EQ(manager.RedownloadJob("http://a/2", kJobUntreated), 1);
  EXPECT_EQ(starts.load(), 1) << "no worker was running";
  ASSERT_TRUE(manager.FindJob("http://a/2", &next));
  EXPECT_EQ(next.Status, kJobUntreated);

  // Deleting the folder of an item frees its jobs from it.
  {
    std::lock_guard lock(TreeMutex());
    EXPECT_EQ(manager.DetachSubtree(sub), 1);
  }
  EXPECT_EQ(manager.JobNode("http://a/3"), nullptr);

  EXPECT_EQ(manager.RemoveJob("h"), 0);
  EXPECT_EQ(manager.RemoveJob("http://a/1"), 1);
  EXPECT_EQ(manager.Size(), 2u);
  manager.downloadRunning = true;
  manager.timerFileLoaded = true;
  manager.Clear();
  EXPECT_EQ(manager.Size(), 0u);
  EXPECT_FALSE(manager.downloadRunning.load());
  EXPECT_FALSE(manager.timerFileLoaded.load());
  EXPECT_TRUE(listener.rows.empty());
}

}  // namespace
}  // namespace zentu::testing
