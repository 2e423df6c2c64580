// The mirror of a downloaded site against `cp -r` of the same files.
//
// The generated site of tests/support/generated_site.h (10,000 pages, each
// with two images of its own and one of 400 icons, one style sheet: 30,401
// files) is laid into a data directory as a site download leaves it, with one
// URL item for its start page. BM_Mirror exports that folder with linked pages
// followed (every page analysed by libpagesifter.so, every file copied through
// a temporary name); BM_CopyTree copies the same folder with `cp -r`. Each
// iteration writes into a fresh empty directory. The target: the mirror takes
// at most three times as long as cp.
//
//   build/bench/bench_mirror --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "capture/mirror.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/generated_site.h"

namespace zentu {
namespace {

namespace fs = std::filesystem;

struct Setup {
  testing::GeneratedSite site{{.pages = 10000, .icons = 400, .imagesPerPage = 2}};
  std::string home;  // native
  std::string error;
  size_t files = 0;
  int runs = 0;

  Setup() {
    if (error = site.Write(); !error.empty()) return;
    std::string tmpl = (fs::temp_directory_path() / "zentu-mirror-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
      error = "no temporary folder";
      return;
    }
    home = tmpl;
    fs::create_directories(home + "/Data");
    fs::copy(site.Root(), home + "/Data/site", fs::copy_options::recursive);
    fs::remove_all(home + "/Data/site/other");
    files = site.Files().size();
    log::SetDebugFlag(false);
    log::SetLogFile("");
    Profile& p = CurrentProfile();
    p = Profile{};
    SetProfileDefaults(p);
    p.dirs.data = os::FromNativePath(home + "/Data");
    p.dirs.text = os::FromNativePath(home + "/Text");
    p.dirs.exportDir = os::FromNativePath(home + "/Export");
    CurrentTreeFileSettings() = TreeFileSettings{};
    CurrentTreeFileSettings().dataDirectory = p.dirs.data;
    TreeNode* root = CreateNode("Zentu", {}, {}, kNodeRoot);
    GetTreeState().root = root;
    TreeNode* folder = CreateNode("Site", {}, {}, kNodeFolder);
    Link(folder, root, kLinkLastChild);
    Link(CreateNode("Page 0", "http://127.0.0.1/p/0.html", "site\\p\\0.html", kNodeItem), folder, kLinkLastChild);
    GetTreeState().currentFolder = folder;
  }
  ~Setup() {
    std::error_code ec;
    if (!home.empty()) fs::remove_all(home, ec);
  }
  std::string FreshTarget() { return home + "/out" + std::to_string(++runs); }
};

Setup& S() {
  static Setup setup;
  return setup;
}

size_t CountFiles(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; it != end; it.increment(ec))
    n += it->is_regular_file();
  return n;
}

// Times one copy of the site into a fresh directory per iteration; `copy`
// returns an error text or "" when the copy is done.
template <typename Copy>
void MeasureCopy(benchmark::State& state, Copy copy) {
  Setup& s = S();
  if (!s.error.empty()) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  size_t copied = 0;
  for (auto _ : state) {
    const std::string target = s.FreshTarget();
    fs::create_directories(target);  // as StartMirror does before its worker runs
    auto start = std::chrono::steady_clock::now();
    if (const std::string error = copy(s, target); !error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    copied = CountFiles(target + "/site");
    fs::remove_all(target);
  }
  state.counters["files"] = static_cast<double>(copied);
  state.counters["site_files"] = static_cast<double>(s.files);
}

void BM_Mirror(benchmark::State& state) {
  MeasureCopy(state, [](Setup&, const std::string& target) {
    return RunMirror('d', os::FromNativePath(target), true) == 1 ? std::string() : std::string("the mirror failed");
  });
}

void BM_CopyTree(benchmark::State& state) {
  MeasureCopy(state, [](Setup& s, const std::string& target) {
    return os::RunProgram({"cp", "-r", s.home + "/Data/site", target + "/site"}) == 0 ? std::string()
                                                                                       : std::string("cp failed");
  });
}

BENCHMARK(BM_CopyTree)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mirror)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
