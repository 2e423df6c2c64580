// The searches over generated collections, in one run on the same files:
//  - the contents search over saved pages (Shift_JIS, EUC-JP and UTF-8 mixed)
//    against one `grep -rlF` of the keyword in its three forms, on the same
//    directory; the hit counts are checked against each other first;
//  - the title search over 200,000 items;
//  - loading a sync folder of 10,000 files in nested directories.
//
//   build/bench/bench_search                      (20,000 pages, about 400 MB)
//   ZENTU_BENCH_PAGES=2000 build/bench/bench_search  (a quicker run)
// The files go to $TMPDIR (one directory, removed at the end).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "search/search.h"
#include "search/sync.h"
#include "store/tree.h"

namespace {

using namespace zentu;
namespace fs = std::filesystem;

const char kKeywordUtf8[] = "検索対象の語句";

std::string To(const char* encoding, const std::string& utf8) {
  std::string out;
  if (!os::IconvConvert(encoding, "UTF-8", utf8, out)) std::abort();
  return out;
}

struct Files {
  fs::path top;
  std::string dataProgram;
  int pages = 0, withKeyword = 0;
  Files() {
    const char* n = std::getenv("ZENTU_BENCH_PAGES");
    pages = n ? std::atoi(n) : 20000;
    top = fs::temp_directory_path() / ("zentu-bench-search-" + std::to_string(::getpid()));
    fs::create_directories(top / "data");
    dataProgram = os::FromNativePath((top / "data").string());
    // About 20 KB a page: Japanese prose with ASCII markup around it.
    std::string filler;
    while (filler.size() < 20000)
      filler += "<p>日本の各地で今日も天気がよく、多くの人が外出しました。Lorem ipsum dolor sit amet 123.</p>\n";
    const char* encodings[3] = {"CP932", "EUC-JP-MS", "UTF-8"};
    std::string bodies[3], keywords[3];
    for (int e = 0; e < 3; ++e) {
      bodies[e] = To(encodings[e], filler);
      keywords[e] = To(encodings[e], kKeywordUtf8);
    }
    for (int i = 0; i < pages; ++i) {
      const int e = i % 3;
      fs::path dir = top / "data" / ("host" + std::to_string(i % 50) + ".example.jp") / std::to_string(i / 1000);
      fs::create_directories(dir);
      std::string page = To(encodings[e], "<html><head><title>頁 " + std::to_string(i) + "</title></head><body>") +
                         bodies[e];
      if (i % 7 == 3) {
        page.insert(page.size() / 2, keywords[e]);
        ++withKeyword;
      }
      page += "</body></html>";
      std::ofstream(dir / ("p" + std::to_string(i) + ".html"), std::ios::binary) << page;
    }
  }
  ~Files() {
    std::error_code ec;
    fs::remove_all(top, ec);
  }
};

Files& TheFiles() {
  static Files files;
  return files;
}

// A fresh collection of a root and its search-result folder (tree lock held).
TreeNode* NewCollection() {
  ResetTreeState();
  TreeNode* root = CreateNode("Zentu", {}, {}, kNodeRoot);
  GetTreeState().root = root;
  TreeNode* result = CreateNode("result", {}, {}, kNodeFolder);
  result->property = kPropertySearchFolder;
  (void)Link(result, root, kLinkLastChild);
  GetTreeState().searchFolder = result;
  return root;
}

// A collection with one item per generated page.
void BuildCollection(Files& f) {
  std::lock_guard lock(TreeMutex());
  TreeNode* root = NewCollection();
  TreeNode* folder = CreateNode("pages", {}, {}, kNodeFolder);
  (void)Link(folder, root, kLinkLastChild);
  for (int i = 0; i < f.pages; ++i) {
    std::string local = "host" + std::to_string(i % 50) + ".example.jp\\" + std::to_string(i / 1000) + "\\p" +
                        std::to_string(i) + ".html";
    (void)Link(CreateNode("page", "http://x/", local, kNodeItem), folder, kLinkLastChild);
  }
}

int GrepCount(const Files& f) {
  std::string cmd = "LC_ALL=C grep -rlF";
  for (const char* e : {"CP932", "EUC-JP-MS", "UTF-8"}) {
    std::string k = To(e, kKeywordUtf8), hex;
    char buf[8];
    for (unsigned char c : k) {
      std::snprintf(buf, sizeof buf, "\\%03o", c);
      hex += buf;
    }
    cmd += " -e \"$(printf '" + hex + "')\"";
  }
  cmd += " '" + (f.top / "data").string() + "' | wc -l";
  FILE* p = ::popen(cmd.c_str(), "r");
  int n = -1;
  if (p) {
    if (std::fscanf(p, "%d", &n) != 1) n = -1;
    ::pclose(p);
  }
  return n;
}

void BM_ContentsSearch(benchmark::State& state) {
  Files& f = TheFiles();
  BuildCollection(f);
  log::SetDebugFlag(false);
  ContentsQuery q;
  q.keyword = os::Utf8ToSjis(kKeywordUtf8);
  q.dataDirectory = f.dataProgram;
  q.textDirectory = f.dataProgram;
  int hits = 0;
  for (auto _ : state) hits = RunContentsSearch(q, {});
  const int grep = GrepCount(f);
  if (hits != f.withKeyword || grep != f.withKeyword)
    state.SkipWithError(("hits " + std::to_string(hits) + ", grep " + std::to_string(grep) + ", generated " +
                         std::to_string(f.withKeyword))
                            .c_str());
  state.counters["pages"] = f.pages;
  state.counters["hits"] = hits;
}
BENCHMARK(BM_ContentsSearch)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_GrepThreeForms(benchmark::State& state) {
  Files& f = TheFiles();
  int n = 0;
  for (auto _ : state) n = GrepCount(f);
  state.counters["hits"] = n;
}
BENCHMARK(BM_GrepThreeForms)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_TitleSearch200k(benchmark::State& state) {
  std::lock_guard lock(TreeMutex());
  TreeNode* root = NewCollection();
  TreeNode* result = GetTreeState().searchFolder;
  for (int f = 0; f < 200; ++f) {
    TreeNode* folder = CreateNode("folder " + std::to_string(f), {}, {}, kNodeFolder);
    (void)Link(folder, root, kLinkLastChild);
    for (int i = 0; i < 1000; ++i) {
      std::string title = os::Utf8ToSjis("日本語のページ タイトル Number ") + std::to_string(f * 1000 + i);
      if (i % 100 == 7) title += " Zentu";
      (void)Link(CreateNode(title, "http://www.example.jp/" + std::to_string(i), {}, kNodeItem), folder,
                 kLinkLastChild);
    }
  }
  int hits = 0;
  for (auto _ : state) hits = SearchTitles(nullptr, "zentu", result);
  state.counters["hits"] = hits;
  ResetTreeState();
}
BENCHMARK(BM_TitleSearch200k)->Unit(benchmark::kMillisecond);

void BM_SyncFolderLoad10k(benchmark::State& state) {
  fs::path top = fs::temp_directory_path() / ("zentu-bench-sync-" + std::to_string(::getpid()));
  for (int i = 0; i < 10000; ++i) {
    fs::path dir = top / ("d" + std::to_string(i % 20)) / ("e" + std::to_string(i % 7));
    fs::create_directories(dir);
    const char* ext[] = {".txt", ".html", ".dat", ""};
    std::ofstream(dir / ("file" + std::to_string(i) + ext[i % 4]), std::ios::binary) << "x";
  }
  std::lock_guard lock(TreeMutex());
  ResetTreeState();
  TreeNode* root = CreateNode("Zentu", {}, {}, kNodeRoot);
  GetTreeState().root = root;
  bool options[4] = {false, false, true, true};
  TreeNode* sync = NewSyncFolderNode("sync", os::FromNativePath(top.string()), options);
  (void)Link(sync, root, kLinkLastChild);
  int nodes = 0;
  for (auto _ : state) nodes = ReloadSyncFolder(sync, {});
  state.counters["nodes"] = nodes;
  ResetTreeState();
  std::error_code ec;
  fs::remove_all(top, ec);
}
BENCHMARK(BM_SyncFolderLoad10k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
