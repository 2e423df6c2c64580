// Capturing one page with 240 resources (images, style sheets with background
// images, scripts) from a local server, by Zentu and, for comparison, by
// `wget -p -k -E -nH` and `wget2 -p -k -E -nH --max-threads=4` on the same page.
//
// Each run is a forked child writing into a fresh folder, so its peak resident
// size (ru_maxrss from wait4) and CPU time are its own: Zentu captures inside
// the child, the wget programs are executed by it. Zentu's time runs from
// handing the page to the queue until every job has ended; the wget programs'
// from start to exit. Arguments: delay of every answer in ms, and for Zentu
// the number of check threads and of download threads. Counters: peak_rss_MB
// and child_cpu_ms of the child, files saved, requests the server got, and
// for Zentu dl_threads, the download threads that actually ran.
//
//   build/bench/bench_capture --benchmark_repetitions=3
//   bench/compare_capture.sh      (the same on disk and on tmpfs)
#include <benchmark/benchmark.h>
#include <thread>
#include <csignal>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/http.h"
#include "capture/pipeline.h"
#include "capture/rules.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/tls.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/generated_site.h"
#include "tests/support/testca.h"
#include "tests/support/testserver.h"

namespace zentu {
namespace {

using testing::TestServer;

constexpr int kImages = 120;
constexpr int kStyleSheets = 40;  // each with one background image
constexpr int kScripts = 40;
constexpr int kResources = kImages + 2 * kStyleSheets + kScripts;
static_assert(kResources == 240);

// Bytes that do not compress to nothing, the same every run.
std::string Filler(size_t size, unsigned seed) { return testing::GeneratedFiller(size, seed); }

// The page and its resources; links relative, root-relative and absolute.
void ServeBenchSite(TestServer& server) {
  std::string page =
      "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n"
      "<title>bench</title>\n";
  for (int i = 0; i < kStyleSheets; ++i) {
    page += "<link rel=\"stylesheet\" href=\"css/s" + std::to_string(i) + ".css\">\n";
    server.AddPage("/css/s" + std::to_string(i) + ".css",
                   ".c" + std::to_string(i) + " { background: url(../bg/b" + std::to_string(i) +
                       ".png) no-repeat; margin: 1px; }\n",
                   "text/css");
    server.AddPage("/bg/b" + std::to_string(i) + ".png", Filler(2048, 1000 + i), "image/png");
  }
  for (int i = 0; i < kScripts; ++i) {
    page += "<script src=\"/js/j" + std::to_string(i) + ".js\"></script>\n";
    std::string js = "var v" + std::to_string(i) + " = [";
    while (js.size() < 1024) js += std::to_string(js.size()) + ",";
    server.AddPage("/js/j" + std::to_string(i) + ".js", js + "0];\n", "application/javascript");
  }
  page += "</head><body>\n";
  for (int i = 0; i < kStyleSheets; ++i) page += "<div class=\"c" + std::to_string(i) + "\">text</div>\n";
  for (int i = 0; i < kImages; ++i) {
    std::string name = "img/i" + std::to_string(i) + ".png";
    std::string link = i % 3 == 0 ? name : i % 3 == 1 ? "/" + name : server.Url("/" + name);
    page += "<img src=\"" + link + "\" alt=\"" + std::to_string(i) + "\">\n";
    server.AddPage("/" + name, Filler(4096, i), "image/png");
  }
  page += "</body></html>\n";
  server.AddPage("/index.html", page);
}

struct ChildRun {
  bool ok = false;
  double seconds = 0;  // wall time of the work
  long maxRssKb = 0;
  double cpuSeconds = 0;     // user and system time of the child
  int downloadThreads = -1;  // Zentu: download threads started during the capture
  size_t files = 0;          // regular files the run left in its folder
  std::string error;
};

size_t CountFiles(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) ++n;
  return n;
}

// A forked child starts with the parent's peak resident size, and exec folds
// the old image's peak into the process's: start the count from what the
// child really holds. (Only async-signal-safe calls: the parent has threads.)
void ForgetInheritedPeak() {
  int fd = open("/proc/self/clear_refs", O_WRONLY);
  if (fd >= 0) {
    if (write(fd, "5", 1) != 1) {
    }
    close(fd);
  }
}

double CpuSeconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Run folders are removed when the program ends, not after each run: on a
// file system that avoids reusing freshly freed inodes, thousands of deletions
// would slow the file creations of whichever run comes next.
struct RunFolders {
  std::vector<std::string> dirs;
  ~RunFolders() {
    std::error_code ec;
    for (const std::string& d : dirs) std::filesystem::remove_all(d, ec);
  }
};
RunFolders g_runFolders;

void RemoveLater(const std::string& dir) { g_runFolders.dirs.push_back(dir); }

std::string MakeTempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return {};
  return tmpl;
}

// The capture inside the forked child: a fresh home, the profile's defaults
// with the given thread counts, one URL item, the page queued. Writes the
// seconds until the queue has settled to `out`, then ends without tearing
// down (the workers' idle wait is no part of the capture).
[[noreturn]] void ZentuChild(const std::string& dir, const std::string& url, int threads, int out,
                             bool site = false) {
  ::setenv("ZENTU_HOME", dir.c_str(), 1);
  os::ResetZentuHome();
  log::SetDebugFlag(false);
  log::SetLogFile("");
  Profile& p = CurrentProfile();
  p = Profile{};
  SetProfileDefaults(p);
  p.ProgramDirectory = os::ZentuHome();
  ResolveDirectories(p);
  p.ShowByDownload = false;
  p.MaxNumberOfCheckThread = threads;
  p.MaxNumberOfDownloadThread = threads;
  ClearCaptureRules();
  BuildDefaultTree(TreeFileSettings{});
  InstallPipeline();
  StartWinsock();
  if (url.rfind("https://", 0) == 0 && !os::AddTrustedCaFile(testing::GetTestCa().caFile)) _exit(5);
  TreeNode* item;
  {
    std::lock_guard tree(TreeMutex());
    item = CreateNode("*", url, {}, kNodeItem);
    SetDownloadFlag(item, kDownloadChanged);
    Link(item, GetTreeState().receiveFolder, kLinkLastChild);
  }
  auto start = std::chrono::steady_clock::now();
  if (site) {
    // The whole site below the start page's host, any number of hops.
    p.DelayOfSiteDownload = 0;
    const std::string filter = url.substr(0, url.find('/', url.find("://") + 3) + 1);
    GetDownloadManager().AddSiteJob(url, "", true, 1000, 0, filter, false, item);
  } else {
    GetDownloadManager().AddJob(url, "", false, item);
  }
  bool idle = WaitUntilIdle(std::chrono::seconds(900));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The peak of the capture itself, before the counting below copies the log
  // and the queue.
  long peakKb = 0;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char l[256];
    while (std::fgets(l, sizeof l, f))
      if (std::strncmp(l, "VmHWM:", 6) == 0) peakKb = std::atol(l + 6);
    std::fclose(f);
  }
  // How many download threads the capture got to use.
  int downloadThreads = 0;
  for (const std::string& l : log::Lines()) downloadThreads += l == "Start. Download Thread";
  size_t failed = 0;
  for (const DownloadJob& j : GetDownloadManager().Snapshot()) {
    if (j.Status != kJobError) continue;
    if (++failed <= 3) std::fprintf(stderr, "failed: %s: %s\n", j.URL.c_str(), j.Message.c_str());
  }
  char line[96];
  int n = std::snprintf(line, sizeof line, "%.6f %d %ld\n", seconds, downloadThreads, peakKb);
  if (write(out, line, static_cast<size_t>(n)) != n) _exit(3);
  _exit(!idle ? 2 : failed ? 4 : 0);
}

ChildRun RunZentu(const std::string& url, int threads, bool site = false) {
  ChildRun run;
  std::string dir = MakeTempDir();
  int fds[2];
  if (dir.empty() || pipe(fds) != 0) {
    run.error = "no temporary folder or pipe";
    return run;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    ForgetInheritedPeak();
    close(fds[0]);
    ZentuChild(dir, url, threads, fds[1], site);
  }
  close(fds[1]);
  std::string text;
  char buf[64];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    run.error = "fork or wait failed";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    run.error = "capture child ended with " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  } else {
    long peakKb = 0;
    if (std::sscanf(text.c_str(), "%lf %d %ld", &run.seconds, &run.downloadThreads, &peakKb) != 3)
      run.error = "no result";
    run.ok = run.error.empty();
    run.maxRssKb = peakKb > 0 ? peakKb : usage.ru_maxrss;
    run.cpuSeconds = CpuSeconds(usage);
  }
  run.files = CountFiles(dir + "/Data");
  RemoveLater(dir);
  return run;
}

ChildRun RunCommand(std::vector<std::string> args) {
  ChildRun run;
  std::string dir = MakeTempDir();
  if (dir.empty()) {
    run.error = "no temporary folder";
    return run;
  }
  args.push_back("-P");
  args.push_back(dir);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    ForgetInheritedPeak();
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    run.error = "fork or wait failed";
  } else {
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxRssKb = usage.ru_maxrss;
    run.cpuSeconds = CpuSeconds(usage);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok) run.error = args[0] + " ended with " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  run.files = CountFiles(dir);
  RemoveLater(dir);
  return run;
}

// Runs `once` per iteration against a fresh server with the delay of range(0).
// range(2) is 1 for the test server's TLS.
template <typename Once>
void Measure(benchmark::State& state, Once once) {
  const bool https = state.range(2) != 0;
  TestServer server({.https = https, .delayMs = static_cast<int>(state.range(0)), .keepAlive = true});
  ServeBenchSite(server);
  const std::string url = server.Url("/index.html");
  long maxRss = 0;
  double cpu = 0;
  size_t files = 0, requests = 0, connections = 0;
  int downloadThreads = -1;
  for (auto _ : state) {
    server.ClearRequests();
    const size_t connectionsBefore = server.Connections();
    ChildRun run = once(url);
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
    maxRss = std::max(maxRss, run.maxRssKb);
    cpu += run.cpuSeconds;
    files = run.files;
    requests = server.RequestCount();
    connections = server.Connections() - connectionsBefore;
    downloadThreads = std::max(downloadThreads, run.downloadThreads);
  }
  state.counters["peak_rss_MB"] = static_cast<double>(maxRss) / 1024.0;
  state.counters["child_cpu_ms"] = state.iterations() ? cpu * 1000 / static_cast<double>(state.iterations()) : 0;
  state.counters["files"] = static_cast<double>(files);
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["connections"] = static_cast<double>(connections);
  if (downloadThreads >= 0) state.counters["dl_threads"] = downloadThreads;
}

void BM_Zentu(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(1));
  Measure(state, [threads](const std::string& url) { return RunZentu(url, threads); });
}

void BM_Wget(benchmark::State& state) {
  if (access("/usr/bin/wget", X_OK) != 0) {
    state.SkipWithError("/usr/bin/wget is not installed");
    for (auto _ : state) {
    }
    return;
  }
  Measure(state, [](const std::string& url) {
    return RunCommand({"/usr/bin/wget", "--no-config", "-q", "-p", "-k", "-E", "-nH", url});
  });
}

void BM_Wget2(benchmark::State& state) {
  if (access("/usr/bin/wget2", X_OK) != 0) {
    state.SkipWithError("/usr/bin/wget2 is not installed");
    for (auto _ : state) {
    }
    return;
  }
  Measure(state, [](const std::string& url) {
    std::vector<std::string> args = {"/usr/bin/wget2", "--no-config", "-q", "-p", "-k", "-E", "-nH", "--max-threads=4"};
    if (url.rfind("https://", 0) == 0)
      args.push_back("--ca-certificate=" + os::ToNativePath(testing::GetTestCa().caFile).value_or(""));
    args.push_back(url);
    return RunCommand(args);
  });
}

// The queue alone: n resources queued, then claimed and completed one by one
// as the workers do. Each step is a look-up in the per-status index, so the
// whole costs O(n log n) (the complexity line says which order it fitted).
void BM_QueueClaimAll(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::string> urls;
  for (int i = 0; i < n; ++i) urls.push_back("http://127.0.0.1/img/" + std::to_string(i) + ".png");
  for (auto _ : state) {
    DownloadManager m;
    for (const std::string& u : urls) m.AddJob(u, "", false, nullptr);
    DownloadJob job;
    std::string after;
    while (m.ClaimNext(kJobUntreated, after, &job)) {
      after = job.URL;
      job.Status = kJobComplete;
      m.ReleaseJob(job);
      benchmark::DoNotOptimize(m.CountStatus(kJobUntreated));
    }
  }
  state.SetComplexityN(n);
}

BENCHMARK(BM_QueueClaimAll)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond)->Complexity();

BENCHMARK(BM_Zentu)
    ->ArgNames({"delay_ms", "threads", "https"})
    ->ArgsProduct({{20, 0}, {1, 4}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wget)
    ->ArgNames({"delay_ms", "threads", "https"})
    ->ArgsProduct({{20, 0}, {1}, {0}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wget2)
    ->ArgNames({"delay_ms", "threads", "https"})
    ->ArgsProduct({{20, 0}, {4}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);


// ---- A whole site -------------------------------------------------------------------------

// A generated site served by nginx (tests/support/generated_site.h):
// 10,000 pages in a binary tree of links, each with an image of its own and
// one of 400 shared icons, and one style sheet: 20,401 files. nginx is
// started by the benchmark on a free loopback port and stopped at its end.
template <typename Once>
void MeasureSite(benchmark::State& state, Once once) {
  testing::GeneratedSite site;
  if (std::string error = site.StartNginx(); !error.empty()) {
    state.SkipWithError(error.c_str());
    for (auto _ : state) {
    }
    return;
  }
  long maxRss = 0;
  size_t files = 0;
  double cpu = 0;
  for (auto _ : state) {
    ChildRun run = once(site.Origin() + "/p/0.html");
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
    maxRss = std::max(maxRss, run.maxRssKb);
    files = run.files;
    cpu += run.cpuSeconds;
  }
  // On a shared machine the wall time follows the load; the CPU time much less.
  state.counters["child_cpu_ms"] = state.iterations() ? cpu * 1000 / static_cast<double>(state.iterations()) : 0;
  state.counters["peak_rss_MB"] = static_cast<double>(maxRss) / 1024.0;
  state.counters["files"] = static_cast<double>(files);
}

void BM_SiteZentu(benchmark::State& state) {
  MeasureSite(state, [](const std::string& url) { return RunZentu(url, 4, true); });
}

void BM_SiteWget2(benchmark::State& state) {
  MeasureSite(state, [](const std::string& url) {
    return RunCommand({"/usr/bin/wget2", "--no-config", "-q", "-r", "-l", "inf", "-k", "-E", "-nH", "--max-threads=4", url});
  });
}

void BM_SiteWget(benchmark::State& state) {
  MeasureSite(state, [](const std::string& url) {
    return RunCommand({"/usr/bin/wget", "--no-config", "-q", "-r", "-l", "inf", "-k", "-E", "-nH", url});
  });
}

BENCHMARK(BM_SiteZentu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SiteWget2)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SiteWget)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- One page with many images ----------------------------------------------------------

// The cost per image stays flat as the page grows: 20,000 images take at most
// four times as long as 5,000.
void BM_ImagePage(benchmark::State& state) {
  const int images = static_cast<int>(state.range(0));
  TestServer server({.keepAlive = true});
  std::string page = "<html><body>\n";
  for (int i = 0; i < images; ++i) page += "<img src=\"img/" + std::to_string(i) + ".png\">\n";
  server.AddPage("/index.html", page + "</body></html>\n");
  server.Add(testing::Route{.path = "/img/*", .headers = {{"Content-Type", "image/png"}}, .body = Filler(256, 7)});
  for (auto _ : state) {
    ChildRun run = RunZentu(server.Url("/index.html"), 4);
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
    state.counters["files"] = static_cast<double>(run.files);
    state.counters["peak_rss_MB"] = static_cast<double>(run.maxRssKb) / 1024.0;
  }
}

BENCHMARK(BM_ImagePage)->Arg(5000)->Arg(20000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
