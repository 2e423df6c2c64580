// The whole program on a one-page site: `zentu --headless --once -u URL` in a
// fresh home, beside `wget -p -k -E -nH` on the same page. The page has a
// style sheet with a background image, a script, two images and a page icon,
// all served by the in-process test server.
//
// The time is the program's wall time from start to exit. tail_ms is the part
// of it after the server answered its last request: what the program spends
// once the network has nothing more to give (saving the page's files, the
// collection and the profile, and ending). The target for Zentu is a tail
// under 200 ms. Arguments: the delay of every answer in ms.
//
//   build/bench/bench_once --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/testserver.h"
#include "tests/support/zentu_process.h"

extern char** environ;

namespace zentu {
namespace {

using Clock = std::chrono::steady_clock;
using testing::TestServer;

// A 1x1 GIF.
const std::string kGif(
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00\x00"
    ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02"
    "D\x01\x00;",
    43);

// The site, with the time of the last answer the server gave.
class OnePageSite {
 public:
  explicit OnePageSite(int delayMs) : server_({.delayMs = delayMs}) {
    Serve("/doc/index.html", "text/html; charset=utf-8",
          "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
          "<title>One page \xE2\x80\x94 \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88</title>\n"
          "<link rel=\"stylesheet\" href=\"_static/theme.css?2022.1\">\n"
          "<link rel=\"icon\" href=\"_static/favicon.gif\">\n"
          "<script src=\"_static/doc.js?v=3\"></script>\n"
          "</head><body><h1>One page</h1>\n"
          "<p><img src=\"img/a.gif\" alt=\"a\"> <img src=\"/doc/img/b.gif\" alt=\"b\"></p>\n"
          "</body></html>\n");
    Serve("/doc/_static/theme.css", "text/css", "body { background: url(bg.gif) repeat; margin: 1em; }\n");
    Serve("/doc/_static/doc.js", "application/javascript", "var here = new URL(window.location);\n");
    for (const char* gif : {"/doc/_static/bg.gif", "/doc/_static/favicon.gif", "/doc/img/a.gif", "/doc/img/b.gif"})
      Serve(gif, "image/gif", kGif);
  }

  std::string Url() const { return server_.Url("/doc/index.html"); }
  void Clear() {
    server_.ClearRequests();
    lastAnswer_ = {};
  }
  size_t Requests() const { return server_.RequestCount(); }
  Clock::time_point LastAnswer() const { return Clock::time_point(Clock::duration(lastAnswer_.load())); }

 private:
  void Serve(const std::string& path, const std::string& type, const std::string& body) {
    server_.Add({.path = path,
                 .headers = {{"Content-Type", type}},
                 .body = body,
                 .handler = [this](const testing::TestRequest&, testing::TestResponse&) {
                   // Called as the answer goes out, after the server's delay.
                   const auto now = Clock::now().time_since_epoch().count();
                   auto seen = lastAnswer_.load();
                   while (seen < now && !lastAnswer_.compare_exchange_weak(seen, now)) {
                   }
                 }});
  }

  TestServer server_;
  std::atomic<Clock::rep> lastAnswer_{0};
};

struct Run {
  bool ok = false;
  double seconds = 0;  // start to exit
  Clock::time_point end;
  std::string error;
};

std::vector<std::string> g_dirs;  // removed at the end, not between runs
struct RemoveDirs {
  ~RemoveDirs() {
    std::error_code ec;
    for (const std::string& d : g_dirs) std::filesystem::remove_all(d, ec);
  }
} g_removeDirs;

std::string MakeTempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-once-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return {};
  g_dirs.push_back(tmpl);
  return tmpl;
}

// Runs the program with its output thrown away and `env` on top of ours
// (an empty value removes the variable).
Run Spawn(std::vector<std::string> args, const std::vector<std::pair<std::string, std::string>>& env) {
  Run run;
  std::vector<std::string> vars;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const auto& [name, value] : env)
      replaced = replaced || std::strncmp(*e, (name + "=").c_str(), name.size() + 1) == 0;
    if (!replaced) vars.emplace_back(*e);
  }
  for (const auto& [name, value] : env)
    if (!value.empty()) vars.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  pid_t pid = -1;
  const auto start = Clock::now();
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    run.error = args[0] + ": " + std::strerror(rc);
    return run;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.end = Clock::now();
  run.seconds = std::chrono::duration<double>(run.end - start).count();
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.ok)
    run.error = args[0] + " ended with " +
                std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return run;
}

template <typename Once>
void Measure(benchmark::State& state, size_t wantRequests, Once once) {
  OnePageSite site(static_cast<int>(state.range(0)));
  double tail = 0, worstTail = 0;
  size_t requests = 0;
  for (auto _ : state) {
    site.Clear();
    Run run = once(site.Url());
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      break;
    }
    requests = site.Requests();
    if (requests < wantRequests) {
      state.SkipWithError(("only " + std::to_string(requests) + " requests").c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
    const double t = std::chrono::duration<double, std::milli>(run.end - site.LastAnswer()).count();
    tail += t;
    worstTail = std::max(worstTail, t);
  }
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["tail_ms"] = tail / n;
  state.counters["worst_tail_ms"] = worstTail;
  state.counters["requests"] = static_cast<double>(requests);
}

// The page and its six resources (wget asks for /robots.txt on top).
constexpr size_t kZentuRequests = 7;
constexpr size_t kWgetRequests = 8;

void BM_ZentuOnce(benchmark::State& state) {
  Measure(state, kZentuRequests, [](const std::string& url) {
    const std::string home = MakeTempDir();
    // A new user's home: default settings, no display.
    return Spawn({testing::ZentuBinary(), "--headless", "--once", "-u", url},
                 {{"ZENTU_HOME", home}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  });
}

void BM_WgetPage(benchmark::State& state) {
  if (access("/usr/bin/wget", X_OK) != 0) {
    state.SkipWithError("/usr/bin/wget is not installed (scripts/dev installs it)");
    for (auto _ : state) {
    }
    return;
  }
  Measure(state, kWgetRequests, [](const std::string& url) {
    return Spawn({"/usr/bin/wget", "--no-config", "-q", "-p", "-k", "-E", "-nH", "-P", MakeTempDir(), url}, {});
  });
}

BENCHMARK(BM_ZentuOnce)->ArgNames({"delay_ms"})->Arg(0)->Arg(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WgetPage)->ArgNames({"delay_ms"})->Arg(0)->Arg(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
