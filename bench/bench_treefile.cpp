// Loading and saving a 100,000-node tree file with Japanese titles, and
// loading one whose folders nest 200,000 levels deep.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "os/cp932.h"
#include "os/file.h"
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

// One folder inside the next, an unread item every thousand levels: the time
// must grow with the file's size, not with the square of the depth.
void WriteDeepFile(const std::string& path, int depth) {
  std::string file = "<HTML>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>0.99</VERSION>\r\n<UL>\r\n";
  for (int i = 0; i < depth; ++i) {
    file += "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">d" + std::to_string(i) +
            "<UL>\r\n";
    if (i % 1000 == 999)
      file += "<LI><A HREF=\"http://d.example/" + std::to_string(i) +
              "\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:1\" "
              "PROTECTINFO=\"0\" DLFLAG=\"0\">i</A>\r\n";
  }
  for (int i = 0; i < depth; ++i) file += "</UL>\r\n";
  file += "</UL>\r\n</HTML>\r\n";
  (void)os::WriteFileAtomic(path, file);
}

void BM_LoadDeepTree(benchmark::State& state) {
  Fixture fx;
  WriteDeepFile(fx.settings.treeFile, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    TreeLoadResult r = LoadTree(fx.settings.treeFile, nullptr, fx.settings);
    if (!r.ok || r.damaged) state.SkipWithError("load failed");
  }
  state.SetBytesProcessed(state.iterations() * std::filesystem::file_size(fx.dir + "/default.html"));
  ResetTreeState();
}
BENCHMARK(BM_LoadDeepTree)->Arg(25000)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
