// Analysing a feed of 10,000 entries: the reader alone, the first analysis
// into an empty RSS folder (an item and a queued job per entry), and the
// analysis of the same feed again (every entry found, nothing changed).
// Redirect checks are off: they are network time, not analysis.
//
//   build/bench/bench_feeds
#include <benchmark/benchmark.h>

#include <mutex>
#include <string>

#include "capture/feeds.h"
#include "capture/job.h"
#include "os/log.h"
#include "store/profile.h"
#include "store/tree.h"

namespace {

using namespace zentu;

std::string Feed(int entries) {
  std::string feed = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rss version=\"2.0\"><channel><title>Bench</title>";
  for (int i = 0; i < entries; ++i) {
    const std::string n = std::to_string(i);
    feed += "\n<item><title>Entry &amp; number " + n + "</title><link>http://example.com/entries/" + n +
            ".html</link><description><![CDATA[<p>Text of entry " + n + "</p>]]></description><dc:date>2007-02-12T10:" +
            n + "</dc:date></item>";
  }
  return feed + "</channel></rss>";
}

struct Collection {
  TreeNode* folder = nullptr;
  Collection() {
    ResetTreeState();
    GetDownloadManager().Clear();
    GetDownloadManager().ClearHooks();
    std::lock_guard tree(TreeMutex());
    GetTreeState().root = CreateNode("Zentu", {}, {}, kNodeRoot);
    folder = CreateRssFolder(GetTreeState().root, "Bench", "http://example.com/feed.xml");
  }
  ~Collection() {
    std::lock_guard tree(TreeMutex());
    GetDownloadManager().Clear();
    ResetTreeState();
  }
  int Analyze(const std::string& feed) {
    DownloadJob job;
    job.URL = folder->url;
    job.Node = folder;
    std::string text = feed;
    return AnalyzeFeed(job, text);
  }
};

void Setup() {
  log::SetDebugFlag(false);
  SetFeedLinkResolver([](std::string_view url) { return std::string(url); });
}

void BM_ScanFeed10000(benchmark::State& state) {
  Setup();
  const std::string feed = Feed(10000);
  for (auto _ : state) benchmark::DoNotOptimize(ScanFeedEntries(feed).size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * feed.size()));
}
BENCHMARK(BM_ScanFeed10000)->Unit(benchmark::kMillisecond);

void BM_AnalyzeNewFeed10000(benchmark::State& state) {
  Setup();
  const std::string feed = Feed(10000);
  for (auto _ : state) {
    state.PauseTiming();
    auto c = std::make_unique<Collection>();
    state.ResumeTiming();
    benchmark::DoNotOptimize(c->Analyze(feed));
    state.PauseTiming();
    c.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AnalyzeNewFeed10000)->Unit(benchmark::kMillisecond);

void BM_AnalyzeUnchangedFeed10000(benchmark::State& state) {
  Setup();
  const std::string feed = Feed(10000);
  Collection c;
  (void)c.Analyze(feed);
  for (auto _ : state) benchmark::DoNotOptimize(c.Analyze(feed));
}
BENCHMARK(BM_AnalyzeUnchangedFeed10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
