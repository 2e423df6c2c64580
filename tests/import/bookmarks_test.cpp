// Bookmark imports: exports of today's browsers and of the classic ones, the
// 巡集 index page, favorites folders and damaged files.
#include <gtest/gtest.h>

#include <string>

#include "import/import.h"
#include "os/file.h"
#include "os/path.h"
#include "tests/import/import_fixture.h"

namespace zentu::testing {
namespace {

// An export as Firefox writes it: the toolbar and "other" folders with their
// markers, icons as data URIs, tags, keywords, descriptions, separators and
// a "place:" query.
const std::string kFirefox = R"(<!DOCTYPE NETSCAPE-Bookmark-file-1>
<!-- This is an automatically generated file.
     It will be read and overwritten.
     DO NOT EDIT! -->
<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=UTF-8">
<meta http-equiv="Content-Security-Policy"
      content="default-src 'self'; script-src 'none'; img-src data: *; object-src 'none'"></meta>
<TITLE>Bookmarks</TITLE>
<H1>Bookmarks Menu</H1>

<DL><p>
    <DT><A HREF="https://www.mozilla.org/ja/" ADD_DATE="1700000000" LAST_MODIFIED="1700000001" ICON_URI="https://www.mozilla.org/favicon.ico" ICON="data:image/png;base64,iVBORw0KGgoAAAANSUhEUg==">Mozilla &amp; 日本語</A>
    <DD>説明の行
    <HR>
    <DT><H3 ADD_DATE="1700000000" LAST_MODIFIED="1700000002" PERSONAL_TOOLBAR_FOLDER="true">ブックマークツールバー</H3>
    <DL><p>
        <DT><A HREF="https://example.com/?a=1&amp;b=2" ADD_DATE="1700000003" LAST_MODIFIED="1700000004" TAGS="news,jp">絵文字 😀 ß</A>
        <DT><H3 ADD_DATE="1700000005" LAST_MODIFIED="1700000006">空のフォルダ</H3>
        <DL><p>
        </DL><p>
        <DT><H3 ADD_DATE="1700000007" LAST_MODIFIED="1700000008">Deep</H3>
        <DL><p>
            <DT><A HREF="http://deep.example.jp/" ADD_DATE="1700000009" LAST_MODIFIED="1700000010" SHORTCUTURL="dp">Deep page</A>
        </DL><p>
    </DL><p>
    <DT><A HREF="place:sort=8&maxResults=10" ADD_DATE="1700000011" LAST_MODIFIED="1700000012">最近のタグ</A>
    <DT><H3 ADD_DATE="1700000013" LAST_MODIFIED="1700000014" UNFILED_BOOKMARKS_FOLDER="true">他のブックマーク</H3>
    <DL><p>
        <DT><A HREF="https://unfiled.example.org/" ADD_DATE="1700000015" LAST_MODIFIED="1700000016">Unfiled</A>
    </DL><p>
</DL>
)";

// An export as Chromium writes it: items carry ADD_DATE and ICON only, and one
// icon makes a line longer than 32 KB.
std::string ChromiumExport() {
  return std::string(R"(<!DOCTYPE NETSCAPE-Bookmark-file-1>
<!-- This is an automatically generated file.
     It will be read and overwritten.
     DO NOT EDIT! -->
<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=UTF-8">
<TITLE>Bookmarks</TITLE>
<H1>Bookmarks</H1>
<DL><p>
    <DT><H3 ADD_DATE="1700000000" LAST_MODIFIED="1700000100" PERSONAL_TOOLBAR_FOLDER="true">ブックマーク バー</H3>
    <DL><p>
        <DT><A HREF="https://www.example.com/" ADD_DATE="1700000001" ICON="data:image/png;base64,)") +
         std::string(40000, 'Q') + R"(">Example</A>
        <DT><H3 ADD_DATE="1700000002" LAST_MODIFIED="1700000003">ニュース</H3>
        <DL><p>
            <DT><A HREF="https://news.example.jp/" ADD_DATE="1700000004">ニュース &lt;速報&gt;</A>
        </DL><p>
    </DL><p>
    <DT><A HREF="https://other.example.com/" ADD_DATE="1700000005">Other</A>
</DL><p>
)";
}

TEST_F(ImportTest, NetscapeExportsOfFirefoxChromiumAndTheClassicForm) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* dump;
  } cases[] = {
      {"firefox.html", kFirefox,
       "[Netscape の Bookmark(9)]{Mozilla & 日本語<https://www.mozilla.org/ja/> "
       "[ブックマークツールバー]{絵文字 &#128512; &#223;<https://example.com/?a=1&b=2> [空のフォルダ]{} "
       "[Deep]{Deep page<http://deep.example.jp/>}} [他のブックマーク]{Unfiled<https://unfiled.example.org/>}}"},
      {"chromium.html", ChromiumExport(),
       "[Netscape の Bookmark(9)]{[ブックマーク バー]{Example<https://www.example.com/> "
       "[ニュース]{ニュース <速報><https://news.example.jp/>}} Other<https://other.example.com/>}"},
      // Netscape Communicator on a Japanese system: Shift_JIS, LAST_VISIT.
      {"netscape4.htm",
       SJ("<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
          "charset=Shift_JIS\">\r\n<TITLE>Bookmarks</TITLE>\r\n<H1>Bookmarks</H1>\r\n<DL><p>\r\n"
          "    <DT><H3 FOLDED ADD_DATE=\"950000000\">日本のサイト表示</H3>\r\n    <DL><p>\r\n"
          "        <DT><A HREF=\"http://www.example.co.jp/\" ADD_DATE=\"950000001\" LAST_VISIT=\"950000002\" "
          "LAST_MODIFIED=\"950000003\">ソフト表</A>\r\n    </DL><p>\r\n</DL><p>\r\n"),
       "[Netscape の Bookmark(9)]{[日本のサイト表示]{ソフト表<http://www.example.co.jp/>}}"},
      // All on one line, as some tools write it.
      {"oneline.html",
       "<DL><p><DT><H3 ADD_DATE=\"1\">A</H3><DL><p><DT><A HREF=\"http://a/\" ADD_DATE=\"2\">x</A></DL><p>"
       "<DT><A HREF=\"http://b/\" ADD_DATE=\"3\">y</A></DL>",
       "[Netscape の Bookmark(9)]{[A]{x<http://a/>} y<http://b/>}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop.messages.clear();
    const ImportReport r = ImportBookmarkFile(BookmarkFormat::Netscape, File(c.name, c.bytes), target);
    ASSERT_NE(r.folder, nullptr);
    EXPECT_FALSE(r.Damaged()) << Messages();
    EXPECT_TRUE(desktop.messages.empty()) << Messages();
    EXPECT_EQ(Dump(target), c.dump);
    for (TreeNode* n = r.folder; n; n = NextInPreorder(n, r.folder)) {
      if (IsItem(n)) {
        EXPECT_EQ(n->downloadFlag, kDownloadNone);
      }
    }
    DestroyNode(r.folder);
  }
  EXPECT_EQ(desktop.notices.size(), std::size(cases));
}

TEST_F(ImportTest, MissingBookmarkFileLeavesTheEmptyFolderAndSaysWhere) {
  const ImportReport r = ImportBookmarkFile(BookmarkFormat::Netscape, Path("none.htm"), target);
  EXPECT_FALSE(r.opened);
  EXPECT_EQ(Dump(target), "[Netscape の Bookmark(9)]{}");
  EXPECT_EQ(Messages(), "エラー: Netscape のブックマーク(bookmark.htm)を同じディレクトリにコピーしてください)\n");

  desktop.messages.clear();
  (void)ImportBookmarkFile(BookmarkFormat::MoonBrowser, Path("none.html"), target);
  EXPECT_EQ(Messages(), "エラー: MoonBrowserのブックマーク(bookmark.html)を同じディレクトリにコピーしてください)\n");

  // An item as the target imports nothing.
  TreeNode* item = AddItem(root, "item", "http://i/");
  EXPECT_TRUE(ImportBookmarkFile(BookmarkFormat::Netscape, File("f.html", kFirefox), item).refused);
  EXPECT_EQ(item->firstChild, nullptr);
}

TEST_F(ImportTest, DamagedNetscapeFilesStayInsideTheImportFolder) {
  // Closings beyond the file's own list, a folder never closed, and a last
  // entry cut off in the middle.
  const std::string text =
      "<DL><p>\n<DT><A HREF=\"http://a/\" ADD_DATE=\"1\">A</A>\n</DL><p>\n</DL><p>\n</DL><p>\n"
      "<DT><A HREF=\"http://b/\" ADD_DATE=\"1\">B</A>\n<DT><H3 ADD_DATE=\"1\">Open</H3>\n<DL><p>\n"
      "<DT><A HREF=\"http://c/\" ADD_DATE=\"1\">C\x01</A>\n<DT><A HREF=\"http://cut.example/\" ADD_DA";
  const ImportReport r = ImportBookmarkFile(BookmarkFormat::Netscape, File("bad.html", text), target);
  EXPECT_EQ(Dump(root->firstChild->next), "[Netscape の Bookmark(9)]{A<http://a/> B<http://b/> [Open]{C<http://c/>}}");
  EXPECT_EQ(r.extraClosings, 2);
  EXPECT_EQ(r.unclosed, 1);
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(root->firstChild->next->next, nullptr);  // nothing landed beside the target
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(U8(desktop.messages[0].text),
            "ファイルの一部が読み込めませんでした．読み込めたところまで取り込みました．\r\n"
            "・ファイルが途中で切れています\r\n・フォルダの始まりと終わりが対応していません");

  // A text with no bookmark at all says so.
  desktop.messages.clear();
  (void)ImportBookmarkFile(BookmarkFormat::Netscape, File("plain.html", "<html><p>hello</p></html>"), target);
  EXPECT_EQ(Messages(), "エラー: 取り込めるブックマークがありませんでした．\r\nファイルの形式を確認してください．\n");
}

TEST_F(ImportTest, MoonBrowserBookmarksNestByTheirLists) {
  const std::string text = SJ(
      "<HTML><BODY>\r\n<UL>\r\n<LI>フォルダ表<UL>\r\n<LI><A HREF=\"http://m1.example/\">M1</A>\r\n"
      "<LI>Sub<UL>\r\n<LI><A HREF=\"http://m2.example/\">二</A>\r\n</UL>\r\n<LI>Empty<UL></UL>\r\n</UL>\r\n"
      "<LI><A HREF=\"http://m3.example/\">M3</A>\r\n<LI><A HREF=\"http://untitled.example/\"></A>\r\n</UL>\r\n"
      "</BODY></HTML>\r\n");
  const ImportReport r = ImportBookmarkFile(BookmarkFormat::MoonBrowser, File("moon.html", text), target);
  EXPECT_FALSE(r.Damaged()) << Messages();
  EXPECT_EQ(Dump(target),
            "[Moon Browser(9)]{[フォルダ表]{M1<http://m1.example/> [Sub]{二<http://m2.example/>} [Empty]{}} "
            "M3<http://m3.example/>}");
}

TEST_F(ImportTest, JunshuIndexFindsTheSavedCopies) {
  const std::string index = SJ(
      "<html><body>\r\n"
      "2007/01/02 03:04:05 : <a href=\"www.example.com/dir/page.html\">ページ</a> : <font "
      "color=red>http://www.example.com/dir/page.html</font><br>\r\n"
      "2007/01/03 00:00:00 : <a href=\"C:\\junshu\\x.html\">Abs</a> : <font "
      "color=red>noscheme.example.org/x.html</font><br>\r\n"
      "2007/01/04 00:00:00 : <a href=\"www.evil.com/../../../etc/passwd\">Evil</a> : <font "
      "color=red>http://www.evil.com/</font><br>\r\n"
      "</body></html>\r\n");
  const std::string path = File("junshu/index.html", index);
  WriteNative("junshu/www.example.com/dir/page.html", "12345");
  WriteNative("Data/www.example.com/dir/page.html", "1234567");
  const std::string data = CurrentProfile().dirs.data;

  struct Case {
    int answer;
    std::string first, second, third;
    uint32_t size;
    const char* message;
  } cases[] = {
      {os::IDYES, data + "\\www.example.com\\dir\\page.html", "C:\\junshu\\x.html", "", 7,
       "取り込み終了しました．\r\n巡集で取り込んだフォルダをZentuのデータフォルダにコピーすると\r\nちゃんと読み込めるようになります．"},
      {os::IDNO, Path("junshu") + "\\www.example.com\\dir\\page.html", "C:\\junshu\\x.html",
       Path("junshu") + "\\www.evil.com\\..\\..\\..\\etc\\passwd", 5,
       "取り込み終了しました．データは巡集フォルダを読み込みにいっています．"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    desktop.messages.clear();
    desktop.answers = {c.answer};
    const ImportReport r = ImportJunshuIndex(path, target);
    ASSERT_NE(r.folder, nullptr);
    EXPECT_EQ(r.folder, target->firstChild);  // reused the second time
    EXPECT_EQ(r.items, 3);
    ASSERT_EQ(desktop.messages.size(), 2u);
    EXPECT_EQ(U8(desktop.messages[1].text), c.message);
    const TreeNode* first = LastChild(r.folder)->prev->prev;
    EXPECT_EQ(U8(first->title), "ページ");
    EXPECT_EQ(first->localFile, c.first);
    EXPECT_EQ(first->size, c.size);
    EXPECT_EQ(first->lastCheck, "2007/01/02 03:04:05");
    EXPECT_EQ(first->originalDate, "2007/01/02 03:04:05");
    EXPECT_EQ(first->downloadFlag, kDownloadDone);
    EXPECT_EQ(first->next->url, "http://noscheme.example.org/x.html");
    EXPECT_EQ(first->next->localFile, c.second);
    // Under the data directory a link may not climb out of it.
    EXPECT_EQ(first->next->next->localFile, c.third);
  }
  EXPECT_EQ(Dump(target).rfind("[巡集(9)]{", 0), 0u);

  desktop.messages.clear();
  (void)ImportJunshuIndex(File("other.html", "<html>no data</html>"), target);
  EXPECT_EQ(Messages(), "エラー: データが存在しないか，指定したファイルが巡集用ファイルじゃない可能性があります\n");
}

TEST_F(ImportTest, FavoritesFolderOfInternetShortcuts) {
  WriteNative("Fav/Zentu.url", "[InternetShortcut]\r\nURL=http://zentu.example/\r\nIconIndex=0\r\n");
  WriteNative("Fav/UPPER.URL", "[DEFAULT]\r\nBASEURL=http://base/\r\n[InternetShortcut]\r\nURL=http://upper/\r\n");
  WriteNative("Fav/desk.url", "[InternetShortcut]\r\nURL=desktop\r\n");
  WriteNative("Fav/nourl.url", "[InternetShortcut]\r\n");
  WriteNative("Fav/readme.txt", "URL=http://not-a-shortcut/\r\n");
  WriteNative("Fav/Links/Inner.url", "[InternetShortcut]\nURL=http://inner/\n");
  ASSERT_TRUE(os::CreateDirectories(Path("Fav") + "\\Empty"));
  const ImportReport r = ImportFavorites(Path("Fav"));
  ASSERT_NE(r.folder, nullptr);
  EXPECT_EQ(r.folder, LastChild(root));
  EXPECT_EQ(Dump(r.folder), "[Empty]{} [Links]{Inner<http://inner/>} UPPER<http://upper/> Zentu<http://zentu.example/>");
  EXPECT_EQ(Messages(), "IEのお気に入り: IEのお気に入りをロードしました♪\n");

  desktop.messages.clear();
  EXPECT_EQ(ImportFavorites(Path("NoSuchFolder")).folder, nullptr);
  EXPECT_EQ(Messages(), "エラー: エラーが発生しました\n");
}

TEST_F(ImportTest, AnotherZentuTreeBecomesAnImportFolder) {
  const std::string tree = SJ(
      "<HTML><HEAD>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>0.99</VERSION>\r\n</HEAD><BODY>\r\n<UL>\r\n"
      "<LI TYPE=\"1\" PROPERTY=\"5\" PROTECTINFO=\"1\" EXPAND=\"0\" SORT=\"0\">未整理フォルダ<UL>\r\n"
      "<LI><A HREF=\"http://t.example/\" LOCALFILE=\"\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" "
      "PROPERTY=\"8\" MARK=\"0:0\" PROTECTINFO=\"0\" DLFLAG=\"0\">T</A>\r\n</UL>\r\n</UL>\r\n</HTML>\r\n");
  const std::string path = File("other.html", tree);
  const ImportReport r = ImportZentuTree(path, target);
  ASSERT_NE(r.folder, nullptr);
  EXPECT_EQ(r.folder->title, path);
  EXPECT_EQ(r.folder->property, kPropertyImportFolder);
  EXPECT_EQ(Dump(r.folder), "[未整理フォルダ]{T<http://t.example/>}");
}

}  // namespace
}  // namespace zentu::testing
