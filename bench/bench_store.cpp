// Collection store benchmarks. One section per area of the store.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "os/cp932.h"
#include "store/tree.h"

namespace zentu {
namespace {

// ===== Collection tree ===========================================================

// Titles such as a real collection holds: ASCII words, hiragana, katakana and
// kanji, with some titles repeated.
std::vector<std::string> MakeTitles(size_t count, unsigned seed) {
  static const char* const kParts[] = {
      "Linux", "news", "Blog", "C++", "2007", "あめ", "かぜ", "ゆき", "ほし", "カメラ", "ニュース",
      "ブログ", "ソフト", "漢字", "日記", "表示", "写真", "技術", "天気", "ｶﾀｶﾅ", "-", " ",
  };
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> part(0, std::size(kParts) - 1), len(1, 5);
  std::vector<std::string> titles;
  titles.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    std::string utf8;
    for (size_t n = len(rng); n > 0; --n) utf8 += kParts[part(rng)];
    titles.push_back(os::Utf8ToSjis(utf8));
  }
  return titles;
}

struct BenchFolder {
  TreeNode* folder = nullptr;
  std::vector<TreeNode*> original;  // children in their first order
  explicit BenchFolder(size_t count) {
    folder = CreateNode("bench", {}, {}, kNodeFolder);
    std::vector<std::string> titles = MakeTitles(count, 7);
    std::mt19937 rng(11);
    for (size_t i = 0; i < count; ++i) {
      TreeNode* n = CreateNode(titles[i], "http://example.com/" + std::to_string(rng() % 100000), {}, kNodeItem);
      n->size = static_cast<uint32_t>(rng());
      n->unread = (i % 3) == 0;
      (void)Link(n, folder, kLinkLastChild);
      original.push_back(n);
    }
  }
  ~BenchFolder() { DestroyNode(folder); }
  // Puts the children back into their first order.
  void Restore() {
    for (TreeNode* n : original) (void)Unlink(n);
    for (TreeNode* n : original) (void)Link(n, folder, kLinkLastChild);
  }
};

void SortFolder(benchmark::State& state, uint32_t mode) {
  BenchFolder bench(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    bench.Restore();
    state.ResumeTiming();
    SortChildren(bench.folder, mode);
    benchmark::DoNotOptimize(bench.folder->firstChild);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_TreeSortByTitle(benchmark::State& state) { SortFolder(state, kSortTitleAscMixed); }
void BM_TreeSortByTitleDescending(benchmark::State& state) { SortFolder(state, kSortTitleDescItemsFirst); }
void BM_TreeSortBySize(benchmark::State& state) { SortFolder(state, kSortSizeAscFoldersFirst); }
void BM_TreeSortByUrl(benchmark::State& state) { SortFolder(state, kSortUrlAscFoldersFirst); }
BENCHMARK(BM_TreeSortByTitle)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeSortByTitleDescending)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeSortBySize)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeSortByUrl)->Arg(20000)->Unit(benchmark::kMillisecond);

// A collection shaped like a large real one: folders three levels deep, each
// leaf folder holding 100 items, a third of them unread.
void BM_TreeBuild(benchmark::State& state) {
  const auto total = static_cast<size_t>(state.range(0));
  std::vector<std::string> titles = MakeTitles(1000, 3);
  for (auto _ : state) {
    TreeNode* root = CreateNode("Zentu", {}, {}, kNodeRoot);
    size_t made = 1;
    TreeNode* top = nullptr;
    TreeNode* mid = nullptr;
    TreeNode* leaf = nullptr;
    for (size_t i = 0; made < total; ++i) {
      if (i % 10000 == 0) {
        top = CreateNode(titles[made % titles.size()], {}, {}, kNodeFolder);
        (void)Link(top, root, kLinkLastChild);
        ++made;
      }
      if (i % 1000 == 0) {
        mid = CreateNode(titles[made % titles.size()], {}, {}, kNodeFolder);
        (void)Link(mid, top, kLinkLastChild);
        ++made;
      }
      if (i % 100 == 0) {
        leaf = CreateNode(titles[made % titles.size()], {}, {}, kNodeFolder);
        (void)Link(leaf, mid, kLinkLastChild);
        ++made;
      }
      TreeNode* item = CreateNode(titles[i % titles.size()], "http://example.com/page", "example.com\\page.html", kNodeItem);
      item->unread = (i % 3) == 0;
      SetDownloadFlag(item, kDownloadDone);
      (void)Link(item, leaf, kLinkLastChild);
      ++made;
    }
    benchmark::DoNotOptimize(root->firstChild);
    state.PauseTiming();
    DestroyNode(root);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TreeBuild)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
