// The tab browser with the real web engine, offscreen: from activating a
// saved item to its page's load finished (a page with 240 files on disk), and
// the memory ten open tabs take (this process and the engine's helpers).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QWebEngineProfile>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "os/file.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "ui/appwindows.h"
#include "ui/mainwindow.h"
#include "ui/web/tabbrowser.h"

namespace {

using namespace zentu;

QApplication& App() {
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    if (geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    static int argc = 1;
    static char name[] = "bench_browser";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

bool Wait(const std::function<bool()>& done, int timeoutMs = 60000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// Resident memory in KiB of a process ("self" or a pid).
long Rss(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
  }
  return 0;
}

// This process and every process it started (the engine's renderers).
long TotalRss() {
  long total = Rss("self");
  std::string me = std::to_string(getpid());
  if (DIR* dir = opendir("/proc")) {
    while (dirent* e = readdir(dir)) {
      std::string pid = e->d_name;
      if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
      std::ifstream stat("/proc/" + pid + "/stat");
      std::string line;
      std::getline(stat, line);
      size_t close = line.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(line.substr(close + 2));
      std::string state, ppid;
      rest >> state >> ppid;
      if (ppid == me) total += Rss(pid);
    }
    closedir(dir);
  }
  return total;
}

struct Home {
  std::string native;
  TreeNode* item = nullptr;
  Home() {
    char pattern[] = "/tmp/zentu-bench-browser-XXXXXX";
    native = mkdtemp(pattern);
    ::setenv("ZENTU_HOME", native.c_str(), 1);
    Profile& p = CurrentProfile();
    p = Profile{};
    SetProfileDefaults(p);
    p.ProgramDirectory = os::FromNativePath(native);
    ResolveDirectories(p);
    p.WaitTimeForOpenURL = 0;
    BuildDefaultTree(TreeFileSettings{});
    // A saved page with 240 files beside it: 120 images and 120 style sheets.
    std::string site = native + "/Data/bench.example";
    std::filesystem::create_directories(site + "/img");
    std::string page = "<html><head><title>many</title>";
    static const unsigned char gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0,
                                        0xff, 0xff, 0xff, 0x21, 0xf9, 4, 1, 0, 0, 0, 0, 0x2c, 0, 0, 0, 0,
                                        1, 0, 1, 0, 0, 2, 2, 0x44, 1, 0, 0x3b};
    for (int i = 0; i < 120; ++i) {
      std::ofstream(site + "/img/s" + std::to_string(i) + ".css") << ".c" << i << "{color:red}\n";
      page += "<link rel=\"stylesheet\" href=\"img/s" + std::to_string(i) + ".css\">";
      std::ofstream(site + "/img/p" + std::to_string(i) + ".gif", std::ios::binary)
          .write(reinterpret_cast<const char*>(gif), sizeof gif);
    }
    page += "</head><body>";
    for (int i = 0; i < 120; ++i) page += "<img src=\"img/p" + std::to_string(i) + ".gif\">";
    page += "</body></html>\n";
    std::ofstream(site + "/index.html") << page;
    std::lock_guard lock(TreeMutex());
    item = CreateNode("many", "http://bench.example/", "bench.example\\index.html", kNodeItem);
    SetDownloadFlag(item, kDownloadDone);
    (void)Link(item, GetTreeState().receiveFolder, kLinkLastChild);
  }
  ~Home() {
    ResetTreeState();
    std::filesystem::remove_all(native);
  }
};

// The main window with the tabs over an engine profile of its own.
struct Windows {
  QWebEngineProfile* engine = new QWebEngineProfile;  // off the record
  std::unique_ptr<ui::AppWindows> windows;
  ui::TabBrowser* browser = nullptr;
  Windows() {
    App();
    ui::SetBrowserPaneFactory([this](QWidget* parent) { return std::make_unique<ui::TabBrowser>(parent, engine); });
    windows = std::make_unique<ui::AppWindows>();
    windows->mainWindow()->show();
    browser = dynamic_cast<ui::TabBrowser*>(windows->mainWindow()->browser());
  }
  ~Windows() {
    windows.reset();
    ui::SetBrowserPaneFactory({});
    delete engine;
  }
};

void BM_ActivateToSavedCopyLoaded(benchmark::State& state) {
  App();
  Home home;
  {
    Windows w;
    ui::AppWindows& windows = *w.windows;
    ui::TabBrowser* browser = w.browser;
    windows.SelectFolder(GetTreeState().receiveFolder);
    int loads = 0;
    browser->onLoadFinished = [&](int, bool) { ++loads; };
    CurrentProfile().OpenByDoubleClick = false;  // every activation shows the saved copy
    for (auto _ : state) {
      int before = loads;
      windows.ActivateItem(home.item);
      if (!Wait([&] { return loads > before; })) state.SkipWithError("the page did not load");
      state.PauseTiming();
      browser->OpenOriginal("about:blank");
      Wait([&] { return loads > before + 1; });
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_ActivateToSavedCopyLoaded)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void BM_TenTabsMemory(benchmark::State& state) {
  App();
  Home home;
  {
    Windows w;
    ui::TabBrowser* browser = w.browser;
    std::string page = os::JoinPath(CurrentProfile().dirs.data, "bench.example\\index.html");
    for (auto _ : state) {
      long before = TotalRss();
      int loads = 0;
      browser->onLoadFinished = [&](int, bool) { ++loads; };
      for (int i = 0; i < 10; ++i) browser->OpenInNewTab("many", page);
      if (!Wait([&] { return loads >= 10; })) state.SkipWithError("the tabs did not load");
      state.counters["tabs_total_MiB"] = static_cast<double>(TotalRss()) / 1024.0;
      state.counters["ten_tabs_added_MiB"] = static_cast<double>(TotalRss() - before) / 1024.0;
    }
  }
}
BENCHMARK(BM_TenTabsMemory)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
