// Random URLs, redirects and timer.dat records: every place the capture
// engine would write stays below the data directory.
#include <random>
#include <string>
#include <vector>

#include "capture/http.h"
#include "capture/job.h"
#include "os/file.h"
#include "os/log.h"
#include "pagelib/url.h"
#include "tests/capture/job_fixture.h"

namespace zentu::testing {
namespace {

class PathFuzz {
 public:
  explicit PathFuzz(uint32_t seed) : rng_(seed) {}

  std::string Pick(const std::vector<std::string>& from) { return from[rng_() % from.size()]; }

  // A text made of pieces that have led writes astray before.
  std::string Text(const std::vector<std::string>& seeds) {
    static const std::vector<std::string> pieces = {
        "/", "\\", "..", "../", "..\\", "./", ".", "%2e%2e/", "?", "#", "//", ":", ":8080", "Z:\\", "Z:/",
        "file:///", "http://", "https://", "\x95\x5c", "\x83\x5c..\\", " ", "a", "etc", "passwd", "web.archive.org/web/"};
    std::string s = Pick(seeds);
    const int steps = 1 + static_cast<int>(rng_() % 10);
    for (int i = 0; i < steps; ++i) {
      const size_t pos = s.empty() ? 0 : rng_() % (s.size() + 1);
      if (rng_() % 5 == 0)
        s.insert(pos, 1, static_cast<char>(rng_() % 256));
      else
        s.insert(pos, Pick(pieces));
    }
    return s;
  }

  uint32_t operator()() { return rng_(); }

 private:
  std::mt19937 rng_;
};

bool Below(const std::string& data, const std::string& path) { return path.empty() || IsPathBelow(data, path); }

TEST_F(DownloadJobTest, HostileFuzzUrlsRedirectsAndTimerRecordsStayBelowTheDataFolder) {
  const std::string data = CurrentProfile().dirs.data;
  PathFuzz gen(13);
  const std::vector<std::string> urls = {"http://h/a/b.html", "https://h:8443/x/", "h/p", "Z:\\tmp\\x.html",
                                         "file:///Z:/tmp/y", "http://web.archive.org/web/1/http://h/a"};
  const std::vector<std::string> locations = {"/a", "b/c.png", "../../x", "\\..\\y", "//h2/z", "http://h3/q",
                                              "?q=1", ""};
  for (int n = 0; n < 20000; ++n) {
    DownloadJob job;
    job.URL = gen.Text(urls);
    SCOPED_TRACE(job.URL);
    if (MapJobLocation(job)) {
      ASSERT_TRUE(Below(data, job.LocalFile)) << job.LocalFile;
      ASSERT_TRUE(Below(data, job.DirName)) << job.DirName;
      DownloadJob moved;
      moved.URL = AbsoluteMovedURL(job, gen.Text(locations));
      if (MapJobLocation(moved)) {
        ASSERT_TRUE(Below(data, moved.LocalFile)) << moved.URL << " -> " << moved.LocalFile;
        ASSERT_TRUE(Below(data, moved.DirName)) << moved.DirName;
      }
    }
    if (n % 1000 == 0) log::Clear();
  }

  // Records whose local files point anywhere.
  const std::vector<std::string> files = {data + "\\h\\a.html", "Z:\\home\\v\\x", data + "\\..\\x", data, "",
                                          "Z:\\tmp\\data\\h"};
  for (int round = 0; round < 40; ++round) {
    std::string text;
    for (int k = 0; k < 50; ++k) {
      text += "URL=" + gen.Text(urls) + "\nStatus=" + std::to_string(static_cast<int>(gen() % 9) - 1) +
              "\nType=1\nDirName=" + gen.Text(files) + "\nLocalFile=" + gen.Text(files) + "\n\n";
    }
    ASSERT_TRUE(os::CreateDirectories(CurrentProfile().dirs.timer));
    ASSERT_TRUE(os::WriteFileAtomic(CurrentProfile().dirs.timer + "\\timer.dat", text));
    DownloadManager restored;
    ASSERT_EQ(LoadTimerFile(restored), 1);
    for (const DownloadJob& job : restored.Snapshot()) {
      ASSERT_TRUE(Below(data, job.LocalFile)) << job.URL << " -> " << job.LocalFile;
      ASSERT_TRUE(Below(data, job.DirName)) << job.URL << " -> " << job.DirName;
    }
    log::Clear();
  }
}

}  // namespace
}  // namespace zentu::testing
