// Start-up of the zentu program with a 100,000-node collection: headless,
// from the process start to the log line "# Ready" (target: under 1 s), and
// with its windows on the offscreen platform, to the main window's first paint
// (target: under 2 s). The program ends itself right after
// (ZENTU_EXIT_WHEN_READY), untimed.
//
// The program is looked for beside this benchmark's build folder
// (../app/zentu), or where ZENTU_BINARY says.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "os/cp932.h"
#include "os/home.h"
#include "os/path.h"
#include "store/tree.h"
#include "store/treefile.h"

extern char** environ;

namespace {

using namespace zentu;

std::string ZentuBinary() {
  if (const char* env = std::getenv("ZENTU_BINARY"); env && *env) return env;
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "app" / "zentu").string();
}

// A Zentu home holding a collection of 100 folders of 1,000 items (100,100 nodes).
struct Home {
  std::string dir;
  Home() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-bench-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
    ::setenv("ZENTU_HOME", dir.c_str(), 1);
    os::ResetZentuHome();
    TreeFileSettings settings;
    settings.treeFile = os::FromNativePath(dir + "/default.html");
    settings.dataDirectory = os::FromNativePath(dir + "/Data");
    BuildDefaultTree(settings);
    TreeNode* root = GetTreeState().root;
    const std::string title = os::Utf8ToSjis("表示ソース能力の日本語タイトル");
    for (int f = 0; f < 100; ++f) {
      TreeNode* folder = CreateNode(os::Utf8ToSjis("フォルダ") + std::to_string(f), {}, {}, kNodeFolder);
      Link(folder, root, kLinkLastChild);
      for (int i = 0; i < 1000; ++i) {
        const std::string n = std::to_string(f * 1000 + i);
        TreeNode* item = CreateNode(title + n, "http://www.example.co.jp/dir/page" + n + ".html",
                                    settings.dataDirectory + "\\www.example.co.jp\\dir\\page" + n + ".html");
        item->lastCheck = "2007/02/12 10:11:12";
        item->size = static_cast<uint32_t>(i * 37);
        item->unread = i % 3 == 0;
        SetDownloadFlag(item, kDownloadDone);
        Link(item, folder, kLinkLastChild);
      }
    }
    ok = SaveTree(settings) == 1;
    ResetTreeState();
  }
  ~Home() { std::filesystem::remove_all(dir); }
  bool ok = false;
};

// Starts zentu and returns the seconds until it logged "# Ready" (headless) or
// its main window's first paint (windowed, on the offscreen platform); < 0 on failure.
double StartToReady(const std::string& binary, bool windowed) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.emplace_back("ZENTU_EXIT_WHEN_READY=1");
  if (windowed) env.emplace_back("QT_QPA_PLATFORM=offscreen");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string arg0 = binary, arg1 = "--headless";
  char* argv[] = {arg0.data(), windowed ? nullptr : arg1.data(), nullptr};
  const std::string mark = windowed ? "> window: first paint\n" : "\n# Ready\n";

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return -1;
  }
  double seconds = -1;
  std::string pending;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    if (seconds < 0 && pending.find(mark) != std::string::npos)
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Keep only the tail, where the line may still be arriving.
    if (pending.size() > 64) pending.erase(0, pending.size() - 64);
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return seconds;
}

void StartupToReady(benchmark::State& state, bool windowed) {
  static Home home;
  const std::string binary = ZentuBinary();
  if (!home.ok) {
    state.SkipWithError("could not write the collection");
    return;
  }
  if (!std::filesystem::exists(binary)) {
    state.SkipWithError(("no zentu program at " + binary).c_str());
    return;
  }
  for (auto _ : state) {
    const double seconds = StartToReady(binary, windowed);
    if (seconds < 0) {
      state.SkipWithError("zentu did not get ready");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["nodes"] = 100100;
}
void BM_StartupToReady100k(benchmark::State& state) { StartupToReady(state, false); }
BENCHMARK(BM_StartupToReady100k)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// The same collection with the windows: to the main window's first paint. Target: under 2 s.
void BM_WindowedStartupToFirstPaint100k(benchmark::State& state) { StartupToReady(state, true); }
BENCHMARK(BM_WindowedStartupToFirstPaint100k)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
