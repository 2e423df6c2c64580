// List imports: every format's lines, what is refused, the queue and the
// marking of items the collection already holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import/import.h"
#include "os/log.h"
#include "store/treefile.h"
#include "tests/import/import_fixture.h"

namespace zentu::testing {
namespace {

TEST_F(ImportTest, EveryListFormatQueuesItsUrls) {
  struct Case {
    ListFormat format;
    const char* name;
    std::string text;
    std::vector<std::string> urls;
    const char* log;
  } cases[] = {
      {ListFormat::Iria, "a.iri",
       "[Iria]\r\nURL=http://a.example/1.zip\r\nFOLDER=C:\\dl\r\nurl=https://b.example/2.zip\r\n",
       {"http://a.example/1.zip", "https://b.example/2.zip"}, "> iria 形式"},
      // A drive path is no URL to fetch, whatever the line holds after it.
      {ListFormat::ReGet, "b.wrg", "URL=http://r.example/x\r\nURL=C:\\local://x\r\n", {"http://r.example/x"},
       "> Reget 形式"},
      // FTP keeps its scheme; a line without "://" and a file URL are not taken;
      // a two-byte character whose trail byte is a letter does not start a scheme.
      {ListFormat::Text, "c.txt",
       SJ("see ftp://ftp.example.org/pub/file.tgz\r\nno url here\r\nア://x\r\nfile:///etc/passwd\r\n"
          "http://t.example/a\r\n"),
       {"ftp://ftp.example.org/pub/file.tgz", "http://t.example/a"}, "> テキスト形式"},
      {ListFormat::List, "d.mbl", "<UL>\r\n<LI>http://l.example/1\r\n<li>http://l.example/2\n<LI>nothing\r\n",
       {"http://l.example/1", "http://l.example/2"}, "> リスト形式"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DownloadManager queue;
    queue.SetHook(&JobHooks::startWorkers, [] {});
    TreeNode* folder = AddFolder(root, c.name);
    desktop.statuses.clear();
    const ImportReport r = ImportUrlList(c.format, File(c.name, c.text), folder, queue);
    EXPECT_TRUE(LogContains(ListFormatLogLine(c.format)));
    EXPECT_EQ(U8(ListFormatLogLine(c.format)), c.log);
    std::vector<std::string> got;
    for (const TreeNode* n = folder->firstChild; n; n = n->next) {
      got.push_back(n->url);
      EXPECT_EQ(n->title, "*");
      EXPECT_EQ(n->downloadFlag, kDownloadChanged);
      DownloadJob job;
      ASSERT_TRUE(queue.FindJob(n->url, &job));
      EXPECT_EQ(job.Node, n);
      EXPECT_EQ(job.SourceURL, "");
      EXPECT_FALSE(job.FromLocal);
    }
    EXPECT_EQ(got, c.urls);
    EXPECT_EQ(queue.Size(), c.urls.size());
    EXPECT_EQ(r.queued, static_cast<int>(c.urls.size()));
    ASSERT_EQ(desktop.statuses.size(), 2u);
    EXPECT_EQ(U8(desktop.statuses[0]), "リンク取り込み中");
    EXPECT_EQ(U8(desktop.statuses[1]), "リンク取り込み終了");
  }
  EXPECT_TRUE(desktop.messages.empty()) << Messages();
}

TEST_F(ImportTest, ListUrlAlreadyInTheCollectionMarksBothItems) {
  TreeNode* old = AddItem(root, "Old", "http://dup.example/");
  SetDownloadFlag(old, kDownloadDone);
  TreeNode* other = AddItem(target, "Other", "http://other.example/");
  SetDownloadFlag(other, kDownloadDone);
  const std::string text = "http://dup.example/\nhttp://new.example/\nhttp://dup.example/\n";
  const ImportReport r = ImportUrlList(ListFormat::Text, File("dup.txt", text), target, manager);
  EXPECT_EQ(old->downloadFlag, kDownloadChanged);
  EXPECT_EQ(other->downloadFlag, kDownloadDone);
  EXPECT_EQ(r.items, 3);
  EXPECT_EQ(r.marked, 1);
  // One job per URL; the second line of the same URL hands the job its item.
  EXPECT_EQ(manager.Size(), 2u);
  DownloadJob job;
  ASSERT_TRUE(manager.FindJob("http://dup.example/", &job));
  EXPECT_EQ(job.Node, LastChild(target));
  for (const TreeNode* n = other->next; n; n = n->next) EXPECT_EQ(n->downloadFlag, kDownloadChanged);
}

TEST_F(ImportTest, ListImportSavesTheTreeWhenAskedAndIgnoresAMissingFile) {
  CurrentTreeFileSettings().treeFile = Path("default.html");
  CurrentTreeFileSettings().flagSave = true;
  CurrentProfile().SaveAtAddition = true;
  const ImportReport missing = ImportUrlList(ListFormat::Iria, Path("none.iri"), target, manager);
  EXPECT_FALSE(missing.opened);
  EXPECT_TRUE(desktop.statuses.empty());
  EXPECT_TRUE(desktop.messages.empty());

  (void)ImportUrlList(ListFormat::Iria, File("s.iri", "URL=http://saved.example/\r\n"), target, manager);
  EXPECT_NE(ReadNative("default.html").find("HREF=\"http://saved.example/\""), std::string::npos);
  CurrentTreeFileSettings() = TreeFileSettings{};

  // Nothing usable: said so, nothing queued.
  desktop.messages.clear();
  (void)ImportUrlList(ListFormat::List, File("e.mbl", "<LI>file:///etc/shadow\r\n"), target, manager);
  EXPECT_EQ(Messages(), "エラー: 取り込めるURLがありませんでした．\r\nファイルの形式を確認してください．\n");
  EXPECT_EQ(manager.Size(), 1u);
}

}  // namespace
}  // namespace zentu::testing
