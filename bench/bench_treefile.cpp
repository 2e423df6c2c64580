// Loading and saving a 100,000-node tree file with Japanese titles.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "os/cp932.h"
#include "os/home.h"
#include "os/path.h"
#include "store/tree.h"
#include "store/treefile.h"

namespace {

using namespace zentu;

struct Fixture {
  std::string dir;
  TreeFileSettings settings;
  Fixture() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-bench-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
    settings.treeFile = os::FromNativePath(dir + "/default.html");
    settings.dataDirectory = os::FromNativePath(dir + "/Data");
    settings.backupDirectory = os::FromNativePath(dir + "/Backup");
  }
  ~Fixture() { std::filesystem::remove_all(dir); }
};

// 100 folders of 1,000 items, plus the folders themselves: 100,100 nodes.
void BuildCollection(const TreeFileSettings& settings) {
  BuildDefaultTree(settings);
  TreeNode* root = GetTreeState().root;
  std::string kanji = os::Utf8ToSjis("表示ソース能力の日本語タイトル");
  for (int f = 0; f < 100; ++f) {
    TreeNode* folder = CreateNode(os::Utf8ToSjis("フォルダ") + std::to_string(f), {}, {}, kNodeFolder);
    Link(folder, root, kLinkLastChild);
    for (int i = 0; i < 1000; ++i) {
      std::string n = std::to_string(f * 1000 + i);
      TreeNode* item = CreateNode(kanji + n, "http://www.example.co.jp/dir/page" + n + ".html",
                                  settings.dataDirectory + "\\www.example.co.jp\\dir\\page" + n + ".html", kNodeItem);
      item->lastCheck = "2007/02/12 10:11:12";
      item->originalDate = "2007/02/01 00:00:00";
      item->size = static_cast<uint32_t>(i * 37);
      item->unread = (i % 3) == 0;
      SetDownloadFlag(item, 2);
      Link(item, folder, kLinkLastChild);
    }
  }
}

void BM_SaveTree100k(benchmark::State& state) {
  Fixture fx;
  BuildCollection(fx.settings);
  for (auto _ : state) {
    if (SaveTree(fx.settings) != 1) state.SkipWithError("save failed");
  }
  state.SetBytesProcessed(state.iterations() * std::filesystem::file_size(fx.dir + "/default.html"));
  ResetTreeState();
}
BENCHMARK(BM_SaveTree100k)->Unit(benchmark::kMillisecond);

void BM_LoadTree100k(benchmark::State& state) {
  Fixture fx;
  BuildCollection(fx.settings);
  SaveTree(fx.settings);
  for (auto _ : state) {
    TreeLoadResult r = LoadTree(fx.settings.treeFile, nullptr, fx.settings);
    if (!r.ok || r.damaged) state.SkipWithError("load failed");
  }
  state.SetBytesProcessed(state.iterations() * std::filesystem::file_size(fx.dir + "/default.html"));
  ResetTreeState();
}
BENCHMARK(BM_LoadTree100k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
