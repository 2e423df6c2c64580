// Importing a Netscape bookmark file of 10,000 bookmarks in 500 nested
// folders (UTF-8, as browsers export it; target under 500 ms), and a download
// list of 1,000 URLs queued for capture.
//
//   build/bench/bench_import
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "capture/job.h"
#include "import/import.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"

namespace {

using namespace zentu;

// Folders hang under random earlier folders; bookmarks are spread over all.
std::string Bookmarks(int folders, int bookmarks) {
  std::mt19937 rng(500);
  std::vector<std::vector<int>> sub(folders + 1), marks(folders + 1);
  for (int f = 1; f <= folders; ++f) sub[rng() % f].push_back(f);
  for (int b = 0; b < bookmarks; ++b) marks[rng() % (folders + 1)].push_back(b);
  std::string out =
      "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
      "charset=UTF-8\">\n<TITLE>Bookmarks</TITLE>\n<H1>Bookmarks</H1>\n";
  auto write = [&](auto&& self, int folder) -> void {
    out += "<DL><p>\n";
    for (int b : marks[folder])
      out += "    <DT><A HREF=\"https://www" + std::to_string(b % 300) + ".example.jp/articles/" + std::to_string(b) +
             ".html?ref=bm&amp;s=1\" ADD_DATE=\"1700000000\" LAST_MODIFIED=\"1700000001\" "
             "ICON=\"data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAABAAAAAQCAYAAAAf8/9hAAAA\">記事 " +
             std::to_string(b) + " &amp; ニュース</A>\n";
    for (int f : sub[folder]) {
      out += "    <DT><H3 ADD_DATE=\"1700000000\" LAST_MODIFIED=\"1700000002\">フォルダ " + std::to_string(f) + "</H3>\n";
      self(self, f);
    }
    out += "</DL><p>\n";
  };
  write(write, 0);
  return out;
}

struct Home {
  std::string native;
  Home() {
    char tmpl[] = "/tmp/zentu-bench-import-XXXXXX";
    native = ::mkdtemp(tmpl);
    ::setenv("ZENTU_HOME", native.c_str(), 1);
    os::ResetZentuHome();
    log::SetDebugFlag(false);
    CurrentProfile().SaveAtAddition = false;
  }
  ~Home() {
    std::error_code ec;
    std::filesystem::remove_all(native, ec);
  }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(native + "/" + name, std::ios::binary) << bytes;
    return os::FromNativePath(native + "/" + name);
  }
};

TreeNode* FreshCollection() {
  ResetTreeState();
  std::lock_guard tree(TreeMutex());
  GetTreeState().root = CreateNode("Zentu", {}, {}, kNodeRoot);
  return GetTreeState().root;
}

void BM_ImportNetscape10000In500Folders(benchmark::State& state) {
  Home home;
  const std::string file = Bookmarks(500, 10000);
  const std::string path = home.Write("bookmarks.html", file);
  int items = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TreeNode* root = FreshCollection();
    state.ResumeTiming();
    items = ImportBookmarkFile(BookmarkFormat::Netscape, path, root).items;
  }
  ResetTreeState();
  state.counters["bookmarks"] = items;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_ImportNetscape10000In500Folders)->Unit(benchmark::kMillisecond);

void BM_ImportList1000(benchmark::State& state) {
  Home home;
  std::string list;
  for (int i = 0; i < 1000; ++i) list += "URL=http://dl" + std::to_string(i % 50) + ".example/f" + std::to_string(i) + ".zip\r\n";
  const std::string path = home.Write("list.iri", list);
  int queued = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TreeNode* root = FreshCollection();
    DownloadManager queue;
    queue.SetHook(&JobHooks::startWorkers, [] {});
    state.ResumeTiming();
    queued = ImportUrlList(ListFormat::Iria, path, root, queue).queued;
    state.PauseTiming();
    ResetTreeState();
    state.ResumeTiming();
  }
  state.counters["queued"] = queued;
}
BENCHMARK(BM_ImportList1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
