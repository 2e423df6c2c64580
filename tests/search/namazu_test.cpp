// The outside full-text index, end to end: mknmz indexes a data directory of
// saved pages, and Zentu's search by index fills the result folder.
#include <gtest/gtest.h>

#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "os/process.h"
#include "search/search.h"
#include "tests/search/search_fixture.h"

namespace zentu::testing {
namespace {

class NamazuTest : public SearchTest {};

TEST_F(NamazuTest, JapaneseWordFindsThePagesThatHoldIt) {
  std::string euc;
  ASSERT_TRUE(os::IconvConvert("EUC-JP-MS", "CP932",
                               SJ("<html><head><title>EUCの頁</title></head><body>明日の天気予報</body></html>"),
                               euc));
  WriteFile(os::JoinPath(data, "www.example.jp\\index.html"),
            SJ("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">"
               "<title>天気の頁</title></head><body>東京の天気予報は晴れ</body></html>"));
  WriteFile(os::JoinPath(data, "www.example.jp\\news\\euc.html"), euc);
  WriteFile(os::JoinPath(data, "other.example.jp\\index.html"),
            SJ("<html><head><title>別の頁</title></head><body>野球の結果</body></html>"));
  const std::string index = Path("Index");
  ASSERT_TRUE(os::CreateDirectories(index));
  ASSERT_EQ(os::RunProgram({"mknmz", "-k", "-q", "-O", *os::ToNativePath(index), *os::ToNativePath(data)},
                           {"LANG=ja_JP.eucJP", "LC_ALL", "LC_CTYPE", "LANGUAGE"}),
            0);

  Item(result, "stale");
  EXPECT_EQ(SearchByIndex(SJ("天気予報"), index, result, home), 2);
  std::vector<std::string> titles = Titles(result);
  std::sort(titles.begin(), titles.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"EUCの頁", "天気の頁"}));
  for (TreeNode* n = result->firstChild; n; n = n->next) {
    EXPECT_TRUE(os::FileExists(n->localFile)) << U8(n->localFile);
    EXPECT_EQ(n->url, n->localFile);
    EXPECT_EQ(n->downloadFlag, kDownloadDone);
    EXPECT_GT(n->size, 0u);
  }
  EXPECT_TRUE(os::DirectoryExists(Path("Temp")));
  EXPECT_TRUE(LogContains("namazu -l -a -o"));

  EXPECT_EQ(SearchByIndex(SJ("存在しない語"), index, result, home), 0);
  EXPECT_EQ(result->firstChild, nullptr);
  EXPECT_EQ(SearchByIndex(SJ("天気"), index, nullptr, home), -1);
  EXPECT_TRUE(LogContains("not found: result tree"));
}

}  // namespace
}  // namespace zentu::testing
