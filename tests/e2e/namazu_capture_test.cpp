// The outside full-text index over a real capture: pages in three encodings
// are captured from the test server into the data directory, mknmz indexes
// that directory as it was saved, and a Japanese query through Zentu fills
// the search-result folder with the pages that hold the word, by title.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "os/file.h"
#include "os/path.h"
#include "os/process.h"
#include "search/search.h"
#include "tests/support/sample_site.h"

namespace zentu::testing {
namespace {

using namespace std::chrono_literals;

class NamazuCaptureTest : public CaptureHome {};

bool HaveProgram(const char* name) {
  for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
    if (access((std::string(dir) + name).c_str(), X_OK) == 0) return true;
  return false;
}

TEST_F(NamazuCaptureTest, JapaneseQueryFindsTheCapturedPagesByTitle) {
  if (!HaveProgram("mknmz") || !HaveProgram("namazu")) GTEST_SKIP() << "namazu2 is not installed (scripts/dev installs it)";
  struct Page {
    const char* path;
    const char* encoding;
    const char* charset;
    const char* title;
    const char* body;
  } pages[] = {
      {"/index.html", "CP932", "Shift_JIS", "天気の頁", "東京の天気予報は晴れ。<img src=\"img/sun.gif\">"},
      {"/news/euc.html", "EUC-JP-MS", "EUC-JP", "EUCの頁", "明日の天気予報は雨でしょう。"},
      {"/utf8.html", "UTF-8", "UTF-8", "UTF-8の頁", "週末の天気予報をお伝えします。"},
      {"/other.html", "CP932", "Shift_JIS", "野球の頁", "野球の結果をお伝えします。"},
  };
  std::string hostFolder;
  {
    TestServer server;
    for (const Page& p : pages) {
      const std::string html = std::string("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=") +
                               p.charset + "\"><title>" + p.title + "</title></head><body><p>" + p.body +
                               "</p></body></html>\n";
      server.Add({.path = p.path,
                  .headers = {{"Content-Type", std::string("text/html; charset=") + p.charset}},
                  .body = FromUtf8(html, p.encoding)});
    }
    server.Add({.path = "/img/sun.gif", .headers = {{"Content-Type", "image/gif"}}, .body = SampleGif()});
    hostFolder = "127.0.0.1;" + std::to_string(server.Port());
    for (const Page& p : pages) {
      const std::string url = server.Url(p.path);
      GetDownloadManager().AddJob(url, "", false, AddUrlItem(url));
    }
    ASSERT_TRUE(WaitUntilIdle(120s));
    ASSERT_TRUE(StopCaptureAndWait(30s));
  }
  const std::string site = nativeHome + "/Data/" + hostFolder;
  for (const Page& p : pages) ASSERT_TRUE(std::filesystem::exists(site + p.path)) << p.path;
  ASSERT_TRUE(std::filesystem::exists(site + "/img/sun.gif"));

  // The index is built over the data directory exactly as the capture left it.
  const std::string index = Path("Index");
  ASSERT_TRUE(os::CreateDirectories(index));
  ASSERT_EQ(os::RunProgram({"mknmz", "-q", "-O", *os::ToNativePath(index), nativeHome + "/Data"},
                           {"LANG=ja_JP.eucJP", "LC_ALL", "LC_CTYPE", "LANGUAGE"}),
            0);

  TreeNode* result = GetTreeState().searchFolder;
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(U8(result->title), "検索結果");
  std::lock_guard tree(TreeMutex());
  ASSERT_EQ(SearchByIndex(SJ("天気予報"), index, result, home), 3);
  std::vector<std::string> titles, files;
  for (TreeNode* n = result->firstChild; n; n = n->next) {
    titles.push_back(U8(n->title));
    files.push_back(*os::ToNativePath(n->localFile));
    EXPECT_EQ(n->url, n->localFile);
    EXPECT_GT(n->size, 0u);
  }
  std::sort(titles.begin(), titles.end());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"EUCの頁", "UTF-8の頁", "天気の頁"}));
  EXPECT_EQ(files, (std::vector<std::string>{site + "/index.html", site + "/news/euc.html", site + "/utf8.html"}));

  ASSERT_EQ(SearchByIndex(SJ("野球"), index, result, home), 1);
  EXPECT_EQ(U8(result->firstChild->title), "野球の頁");
}

}  // namespace
}  // namespace zentu::testing
