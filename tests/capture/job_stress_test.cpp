// Several threads on one queue: run under ThreadSanitizer in CI.
#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "capture/job.h"
#include "tests/capture/job_fixture.h"

namespace zentu::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(DownloadJobTest, StressAddClaimUpdateRemove) {
  constexpr int kUrls = 48;
  constexpr int kThreads = 6;
  std::vector<std::string> urls;
  for (int i = 0; i < kUrls; ++i) urls.push_back("http://stress.example/" + std::to_string(i));
  // Set while a thread holds the job of that URL: two holders at once is a race.
  // Only the first half of the URLs is never removed: a URL removed and added
  // again is a new job that may be claimed while the old copy is still held.
  constexpr int kKept = kUrls / 2;
  std::array<std::atomic<int>, kUrls> holders{};
  std::atomic<int> doubleHolds{0}, claims{0}, orderErrors{0};
  std::atomic<bool> done{false};
  auto indexOf = [&](const std::string& url) { return std::stoi(url.substr(url.rfind('/') + 1)); };

  auto work = [&](DownloadJob& job, std::mt19937& rng) {
    int i = indexOf(job.URL);
    if (holders[i].fetch_add(1) != 0 && i < kKept) ++doubleHolds;
    ++claims;
    job.Status = static_cast<int>(rng() % 9) - 1;
    job.Trials++;
    job.Message = "worked";
    (void)manager.UpdateJob(job);
    if (rng() % 4 == 0) std::this_thread::yield();
    holders[i].fetch_sub(1);
    if (rng() % 8 == 0) (void)manager.AbandonJob(job);
    else (void)manager.ReleaseJob(job);
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      while (!done.load()) {
        const std::string& url = urls[rng() % kUrls];
        switch (rng() % 10) {
          case 0:
          case 1:
            manager.AddJob(url, "", false, rng() % 2 ? star : nullptr);
            break;
          case 2: {  // a pass over one status
            DownloadJob job;
            std::string after;
            int status = static_cast<int>(rng() % 9) - 1;
            while (manager.ClaimNext(status, after, &job)) {
              if (!after.empty() && job.URL <= after) ++orderErrors;
              after = job.URL;
              work(job, rng);
            }
            break;
          }
          case 3: {
            DownloadJob job;
            if (manager.ClaimJob(url, &job, 1) == 1) work(job, rng);
            break;
          }
          case 4:
            manager.RemoveJob(urls[kKept + rng() % (kUrls - kKept)]);
            break;
          case 5:
            manager.RedownloadJob(url, static_cast<int>(rng() % 3));
            break;
          case 6: {
            std::vector<DownloadJob> snap = manager.Snapshot();
            for (size_t k = 1; k < snap.size(); ++k) {
              if (!(snap[k - 1].URL < snap[k].URL)) ++orderErrors;
            }
            (void)manager.HasUntreatedJobs();
            break;
          }
          case 7:
            (void)manager.WaitForJob(kJobUntreated, 1ms);
            break;
          case 8:
            manager.AddSiteJob(url, "", true, 2, 0, "", false, nullptr);
            break;
          default: {
            std::lock_guard lock(TreeMutex());
            if (rng() % 16 == 0) (void)manager.DetachSubtree(receive);
            (void)manager.JobNode(url);
            break;
          }
        }
      }
    });
  }
  std::this_thread::sleep_for(2s);
  done = true;
  for (auto& th : threads) th.join();

  EXPECT_EQ(doubleHolds.load(), 0);
  EXPECT_EQ(orderErrors.load(), 0);
  EXPECT_GT(claims.load(), 0);
  // Consistent at the end: nothing held, one row per job, every job claimable.
  std::vector<DownloadJob> snap = manager.Snapshot();
  EXPECT_EQ(snap.size(), manager.Size());
  EXPECT_EQ(listener.rows.size(), snap.size());
  EXPECT_EQ(listener.added - listener.removed, static_cast<int>(snap.size()));
  // The per-status index agrees with the queue, job for job.
  std::map<int, size_t> counted;
  for (const DownloadJob& j : snap) ++counted[j.Status];
  for (int status = kJobError; status <= kJobComplete; ++status)
    EXPECT_EQ(manager.CountStatus(status), counted[status]) << "status " << status;
  for (const DownloadJob& j : snap) {
    EXPECT_EQ(j.claim, 0u) << j.URL;
    EXPECT_EQ(listener.rows[j.URL], j.Status) << "the window shows the last status";
    DownloadJob again;
    EXPECT_EQ(manager.ClaimJob(j.URL, &again, 0), 1);
  }
  // The queue still saves and restores whole after all that.
  ASSERT_EQ(SaveTimerFile(manager), 1);
  DownloadManager restarted;
  ASSERT_EQ(LoadTimerFile(restarted), 1);
  EXPECT_EQ(restarted.Size(), snap.size());
}

}  // namespace
}  // namespace zentu::testing
