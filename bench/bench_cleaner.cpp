// The orphan search over a large data directory: 100,000 files, of which
// 20,000 are saved pages (each with four pictures), 15,000 items in the tree
// file, pages that link on to others, and a thousand strays.
// The counters split one run's wall time into time on a CPU, time runnable but
// waiting for one (a loaded machine) and time blocked (I/O): on the shared
// build machine nearly all of the gap between wall and CPU is the run queue.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "capture/rules.h"
#include "cleaner/cleaner.h"
#include "os/home.h"
#include "os/path.h"

namespace zentu {
namespace {

constexpr int kPages = 20000;
constexpr int kPicturesPerPage = 4;
constexpr int kItems = 15000;  // pages the tree names; the next pages are reached by links

struct BigDirectory {
  std::string native;
  cleaner::Settings settings;
  BigDirectory() {
    char pattern[] = "/tmp/zentu-bench-cleaner-XXXXXX";
    native = mkdtemp(pattern);
    setenv("ZENTU_HOME", native.c_str(), 1);
    os::ResetZentuHome();
    std::string tree = "<HTML>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>1.00</VERSION>\r\n<UL>\r\n";
    int files = 0;
    for (int p = 0; p < kPages; ++p) {
      std::string folder = "site" + std::to_string(p % 50) + ";80/dir" + std::to_string(p / 50);
      std::filesystem::create_directories(native + "/Data/" + folder);
      std::string page = "<html><head><title>page " + std::to_string(p) + "</title></head><body>\n";
      for (int i = 0; i < kPicturesPerPage; ++i) {
        std::string picture = "p" + std::to_string(p) + "_" + std::to_string(i) + ".gif";
        page += "<p>text text text <img src=\"" + picture + "\" alt=\"picture\"></p>\n";
        // The last pages' pictures are never linked: strays.
        std::ofstream(native + "/Data/" + folder + "/" + picture) << "GIF89a";
        ++files;
      }
      // Each page links to the next in the same folder; the tree names only some.
      if (p % 50 != 49 && p + 1 < kPages)
        page += "<a href=\"../dir" + std::to_string((p + 1) / 50) + "/page" + std::to_string(p + 1) + ".html\">next</a>\n";
      page += std::string(2000, 'x') + "\n</body></html>\n";
      std::ofstream(native + "/Data/" + folder + "/page" + std::to_string(p) + ".html") << page;
      ++files;
      if (p % 4 != 3 && p < kItems * 4 / 3) {
        std::string local = folder + "/page" + std::to_string(p) + ".html";
        for (char& c : local)
          if (c == '/') c = '\\';
        tree += "<LI><A HREF=\"http://x/\" LOCALFILE=\"" + local +
                "\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:0\" "
                "PROTECTINFO=\"0\" DLFLAG=\"0\">t</A>\r\n";
      }
    }
    tree += "</UL>\r\n</HTML>\r\n";
    std::ofstream(native + "/default.html") << tree;
    settings.programDirectory = os::FromNativePath(native);
    settings.dataDirectory = settings.programDirectory + "\\Data";
    settings.textDirectory = settings.programDirectory + "\\Text";
    settings.treeFile = settings.programDirectory + "\\default.html";
    ReadExtensionListOnly(settings.programDirectory + "\\config\\extension.dat");
    if (files != kPages * (kPicturesPerPage + 1)) std::abort();
    // The setup's own writes reach the disk before the clock runs: the
    // analysis writes nothing and must not be timed against their writeback.
    ::sync();
  }
  ~BigDirectory() { std::filesystem::remove_all(native); }
};

// The scheduler's account of this thread: seconds on a CPU and seconds
// runnable but waiting for one. Wall time beyond both is time blocked (I/O).
struct SchedStat {
  double onCpu = 0, waiting = 0;
  static SchedStat Now() {
    SchedStat s;
    unsigned long long run = 0, wait = 0;
    if (FILE* f = std::fopen("/proc/thread-self/schedstat", "r")) {
      if (std::fscanf(f, "%llu %llu", &run, &wait) == 2) {
        s.onCpu = static_cast<double>(run) / 1e9;
        s.waiting = static_cast<double>(wait) / 1e9;
      }
      std::fclose(f);
    }
    return s;
  }
};

void BM_FindOrphans100kFiles20kPages(benchmark::State& state) {
  static BigDirectory dir;
  size_t orphans = 0;
  int total = 0;
  double onCpu = 0, waiting = 0, wall = 0;
  for (auto _ : state) {
    const SchedStat before = SchedStat::Now();
    const auto start = std::chrono::steady_clock::now();
    cleaner::Result r = cleaner::FindOrphans(dir.settings, {});
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const SchedStat after = SchedStat::Now();
    onCpu += after.onCpu - before.onCpu;
    waiting += after.waiting - before.waiting;
    orphans = r.orphans.size();
    total = r.counters.total.count;
    benchmark::DoNotOptimize(r);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["files"] = total;
  state.counters["orphans"] = static_cast<double>(orphans);
  // Where the wall time of one run goes.
  state.counters["cpu_s"] = onCpu / n;
  state.counters["runqueue_s"] = waiting / n;
  state.counters["blocked_s"] = (wall - onCpu - waiting) / n;
}
BENCHMARK(BM_FindOrphans100kFiles20kPages)->Unit(benchmark::kSecond)->Iterations(3);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
