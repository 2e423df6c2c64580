// HTTP client benchmarks against a small sendfile server on 127.0.0.1.
//
// BM_Get200MB_ZentuVsWget fetches one 200 MB file with Zentu's client and with
// `wget -q -O <file>` (both saving to disk) in every iteration and reports the
// wall times and the ratio Zentu/wget (target: at most 1.2).
//
//   build-*/bench/bench_http --benchmark_filter=ZentuVsWget
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "capture/http.h"
#include "os/path.h"
#include "store/profile.h"

extern char** environ;

namespace zentu {
namespace {

namespace fs = std::filesystem;

// Serves every GET with the bytes of one file (sendfile), one connection at a time.
class FileServer {
 public:
  FileServer(std::string file, uint64_t size) : file_(std::move(file)), size_(size) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      std::abort();
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Loop(); });
  }
  ~FileServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  std::string Url(const char* path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  void Loop() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Serve(fd);
      ::close(fd);
    }
  }
  void Serve(int fd) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      head.append(buffer, static_cast<size_t>(n));
    }
    const bool isHead = head.compare(0, 5, "HEAD ") == 0;
    std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                         std::to_string(size_) + "\r\nConnection: close\r\n\r\n";
    if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0 || isHead) return;
    int in = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    off_t offset = 0;
    while (static_cast<uint64_t>(offset) < size_) {
      ssize_t n = ::sendfile(fd, in, &offset, size_ - static_cast<uint64_t>(offset));
      if (n <= 0) break;
    }
    ::close(in);
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  }

  std::string file_;
  uint64_t size_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A temporary Zentu data directory, the served file and the server.
struct Bench {
  explicit Bench(uint64_t size) {
    char tmpl[] = "/tmp/zentu-bench-http-XXXXXX";
    dir = ::mkdtemp(tmpl);
    const std::string source = dir + "/source.bin";
    {
      std::FILE* f = std::fopen(source.c_str(), "wb");
      std::vector<char> block(1 << 20);
      for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 9));
      for (uint64_t done = 0; done < size; done += block.size())
        std::fwrite(block.data(), 1, std::min<uint64_t>(block.size(), size - done), f);
      std::fclose(f);
    }
    server = std::make_unique<FileServer>(source, size);
    fs::create_directories(dir + "/data");
    ::setenv("ZENTU_HOME", dir.c_str(), 1);
    CurrentProfile() = Profile{};
    CurrentProfile().dirs.data = os::FromNativePath(dir + "/data");
    CurrentProfile().TimeOut = 30000;
    StartWinsock();
  }
  ~Bench() {
    server.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string dir;
  std::unique_ptr<FileServer> server;
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One GET by Zentu's client; the stored size, or 0 on failure.
uint64_t ZentuGet(const std::string& url) {
  DownloadJob job;
  job.URL = url;
  if (!MapJobLocation(job) || HttpRequest(job, kHttpGet) != kHttpOk) return 0;
  return job.Size;
}

// One GET by wget saving to `out`; false when wget is missing or failed.
bool WgetGet(const std::string& url, const std::string& out) {
  std::vector<std::string> args = {"wget", "-q", "-O", out, url};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "wget", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Get200MB_ZentuVsWget(benchmark::State& state) {
  constexpr uint64_t kSize = 200ull << 20;
  Bench bench(kSize);
  const std::string url = bench.server->Url("/big.bin");
  const std::string wgetOut = bench.dir + "/wget.bin";
  double zentu = 0, wget = 0;
  int rounds = 0;
  // One unmeasured round warms the page cache and the connection paths.
  ZentuGet(url);
  WgetGet(url, wgetOut);
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    if (ZentuGet(url) != kSize) {
      state.SkipWithError("Zentu's GET failed");
      break;
    }
    auto t1 = std::chrono::steady_clock::now();
    if (!WgetGet(url, wgetOut) || fs::file_size(wgetOut) != kSize) {
      state.SkipWithError("wget failed (is it installed?)");
      break;
    }
    auto t2 = std::chrono::steady_clock::now();
    zentu += Seconds(t1 - t0);
    wget += Seconds(t2 - t1);
    ++rounds;
    state.SetIterationTime(Seconds(t1 - t0));
  }
  if (rounds > 0) {
    state.counters["zentu_s"] = zentu / rounds;
    state.counters["wget_s"] = wget / rounds;
    state.counters["ratio"] = zentu / wget;
  }
  state.SetBytesProcessed(static_cast<int64_t>(kSize) * rounds);
}
BENCHMARK(BM_Get200MB_ZentuVsWget)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Many small pages: the cost of connection, request and files per job.
void BM_GetSmallPages(benchmark::State& state) {
  const uint64_t size = static_cast<uint64_t>(state.range(0));
  Bench bench(size);
  const std::string url = bench.server->Url("/small.html");
  for (auto _ : state) {
    if (ZentuGet(url) != size) {
      state.SkipWithError("GET failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetSmallPages)->Arg(10 << 10)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
