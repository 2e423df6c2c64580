// Hostile input for every import: valid files cut short, bytes overwritten,
// NUL bytes, stray folder ends and one-megabyte lines. Each import must end,
// keep its results inside its own folder, store only texts the tree file can
// carry, and survive a save and a load of the tree file unchanged.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "import/import.h"
#include "os/cp932.h"
#include "store/treefile.h"
#include "tests/import/import_fixture.h"

namespace zentu::testing {
namespace {

struct Sample {
  const char* name;
  int kind;  // 0 Netscape, 1 Moon, 2 巡集, 3..6 the list formats
  std::string text;
};

std::vector<Sample> Samples() {
  return {
      {"n.html", 0,
       "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n<DL><p>\n"
       "<DT><H3 ADD_DATE=\"1\" LAST_MODIFIED=\"2\">フォルダ 😀</H3>\n<DL><p>\n"
       "<DT><A HREF=\"http://a.example/?q=1&amp;r=2\" ADD_DATE=\"3\" ICON=\"data:x\">A &lt;b&gt; ß</A>\n"
       "<DD>note\n</DL><p>\n<HR><DT><A HREF=\"https://b.example/\" ADD_DATE=\"4\">B</A>\n</DL><p>\n"},
      {"m.html", 1,
       SJ("<UL>\r\n<LI>表<UL>\r\n<LI><A HREF=\"http://m.example/\">M ソ</A>\r\n</UL>\r\n"
          "<LI><A HREF=\"http://n.example/\">N</A>\r\n</UL>\r\n")},
      {"j.html", 2,
       SJ("2007/01/02 00:00:00 : <a href=\"www.j.example/a.html\">日本</a> : <font "
          "color=red>http://www.j.example/a.html</font><br>\r\n")},
      {"i.iri", 3, "[Iria]\r\nURL=http://i.example/1\r\nURL=http://i.example/2\r\n"},
      {"r.wrg", 4, "URL=http://r.example/1\r\n"},
      {"t.txt", 5, SJ("テキスト http://t.example/ア\r\nftp://f.example/x\r\n")},
      {"l.mbl", 6, "<LI>http://l.example/1\r\n<LI>http://l.example/2\r\n"},
  };
}

std::string Mutate(const std::string& text, std::mt19937& rng, int round) {
  std::string s = text;
  static const char* const kPieces[] = {"</DL>", "<DL><p>", "</UL>", "<UL>", "<LI>", "<DT><A HREF=\"", "<DT><H3 >",
                                        "\"", "<", ">", "&#", "&amp", "\r", "\n", "://", "URL=", "\x81", "\xFC"};
  const int steps = 1 + static_cast<int>(rng() % 6);
  for (int k = 0; k < steps && !s.empty(); ++k) {
    const size_t at = rng() % (s.size() + 1);
    switch (rng() % 5) {
      case 0: s.resize(at); break;  // cut off
      case 1: s[std::min(at, s.size() - 1)] = static_cast<char>(rng()); break;
      case 2: s.insert(at, 1, '\0'); break;
      case 3: s.insert(at, kPieces[rng() % std::size(kPieces)]); break;
      default: s.insert(at, s.substr(rng() % s.size(), rng() % 64)); break;
    }
  }
  // Now and then a line of a megabyte: junk, or entries without end.
  if (round % 97 == 3) {
    std::string line;
    const std::string unit = rng() % 2 ? "<DT><A HREF=\"http://x/\" ADD_DATE=\"1\">t</A><DL>" : "URL=://<LI>\x82\xA0";
    while (line.size() < (1u << 20)) line += unit;
    s.insert(rng() % (s.size() + 1), line);
  }
  return s;
}

bool StorableText(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (os::IsSjisLeadByte(c)) {
      if (i + 1 >= text.size() || !os::IsSjisTrailByte(static_cast<unsigned char>(text[i + 1]))) return false;
      ++i;
    }
  }
  return true;
}

// An item's title as the tree file gives it back: its "<" and "\">" have
// stand-ins there.
void AsStored(TreeNode* top) {
  for (TreeNode* n = top->firstChild; n; n = NextInPreorder(n, top)) {
    if (!IsItem(n)) continue;
    std::string t;
    for (size_t i = 0; i < n->title.size(); ++i) {
      const auto c = static_cast<unsigned char>(n->title[i]);
      if (os::IsSjisLeadByte(c) && i + 1 < n->title.size()) {
        t += n->title.substr(i++, 2);
      } else if (c == '<') {
        t += "\x81\x83";
      } else if (c == '"' && i + 1 < n->title.size() && n->title[i + 1] == '>') {
        t += "\x81\x68";
      } else {
        t += static_cast<char>(c);
      }
    }
    n->title = t;
  }
}

TEST_F(ImportTest, FuzzEveryFormatWithDamagedFiles) {
  std::mt19937 rng(2426);
  TreeFileSettings settings;
  settings.dataDirectory = CurrentProfile().dirs.data;
  const std::vector<Sample> samples = Samples();
  for (int round = 0; round < 700; ++round) {
    const Sample& sample = samples[round % samples.size()];
    const std::string bytes = Mutate(sample.text, rng, round);
    SCOPED_TRACE(round);
    const std::string path = File(sample.name, bytes);
    DownloadManager queue;
    queue.SetHook(&JobHooks::startWorkers, [] {});
    TreeNode* into = AddFolder(target, "into");
    ImportReport r;
    switch (sample.kind) {
      case 0: r = ImportBookmarkFile(BookmarkFormat::Netscape, path, into); break;
      case 1: r = ImportBookmarkFile(BookmarkFormat::MoonBrowser, path, into); break;
      case 2:
        desktop.answers = {round % 2 ? os::IDYES : os::IDNO};
        r = ImportJunshuIndex(path, into);
        break;
      default:
        r = ImportUrlList(static_cast<ListFormat>(sample.kind - 3), path, into, queue);
        break;
    }
    desktop.messages.clear();
    desktop.notices.clear();
    ASSERT_EQ(target->firstChild, into);
    ASSERT_EQ(into->next, nullptr);  // nothing beside the folder imported into
    int items = 0;
    for (TreeNode* n = into->firstChild; n; n = NextInPreorder(n, into)) {
      ASSERT_TRUE(StorableText(n->title)) << n->title;
      ASSERT_TRUE(StorableText(n->url)) << n->url;
      ASSERT_LE(n->url.size(), 2047u);
      ASSERT_EQ(n->url.find('"'), std::string::npos);
      if (IsItem(n)) ++items;
    }
    ASSERT_EQ(items, r.items);
    if (sample.kind >= 3) {
      // Every item went to the queue; a URL repeated by the damage shares its job.
      ASSERT_EQ(r.queued, r.items);
      ASSERT_LE(queue.Size(), static_cast<size_t>(r.queued));
      for (TreeNode* n = into->firstChild; n; n = n->next) ASSERT_TRUE(queue.FindJob(n->url, nullptr));
    }
    // The tree file carries every imported node unchanged.
    const std::string saved = Path("saved.html");
    ASSERT_EQ(SaveTree(saved, into, settings), 1);
    AsStored(into);
    const std::string before = Dump(into);
    const TreeLoadResult loaded = LoadTree(saved, target, settings);
    ASSERT_EQ(loaded.ok, 1);
    ASSERT_EQ(loaded.readErrors, 0);
    TreeNode* back = LastChild(target);
    ASSERT_NE(back, into);
    ASSERT_EQ(Dump(back), before);
    queue.DetachSubtree(into);
    DestroyNode(back);
    DestroyNode(into);
  }
}

TEST_F(ImportTest, BadInputOfPureJunkImportsNothingAndSaysSo) {
  std::mt19937 rng(7);
  std::string junk(1 << 16, '\0');
  for (char& c : junk) c = static_cast<char>(rng());
  const ImportReport r = ImportBookmarkFile(BookmarkFormat::Netscape, File("junk.html", junk), target);
  EXPECT_TRUE(r.binary);
  ASSERT_FALSE(desktop.messages.empty());
  EXPECT_NE(U8(desktop.messages[0].text).find("テキストでないデータが含まれています"), std::string::npos);
  desktop.messages.clear();
  const ImportReport list = ImportUrlList(ListFormat::Text, File("junk.txt", junk), target, manager);
  EXPECT_TRUE(list.binary);
  EXPECT_EQ(list.queued, static_cast<int>(manager.Size()));
  ASSERT_FALSE(desktop.messages.empty());
}

TEST_F(ImportTest, HostileNestingTwentyThousandDeepIsBuiltAndSaved) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "<DT><H3 ADD_DATE=\"1\">d</H3><DL><p>\n";
  text += "<DT><A HREF=\"http://deep.example/\" ADD_DATE=\"1\">bottom</A>\n";
  const ImportReport r = ImportBookmarkFile(BookmarkFormat::Netscape, File("deep.html", text), target);
  EXPECT_EQ(r.folders, 20000);
  EXPECT_EQ(r.unclosed, 20000);
  TreeNode* n = r.folder;
  int depth = 0;
  while (n->firstChild) {
    n = n->firstChild;
    ++depth;
  }
  EXPECT_EQ(depth, 20001);
  EXPECT_EQ(n->url, "http://deep.example/");
  TreeFileSettings settings;
  ASSERT_EQ(SaveTree(Path("deep-saved.html"), r.folder, settings), 1);
  const TreeLoadResult loaded = LoadTree(Path("deep-saved.html"), target, settings);
  EXPECT_EQ(loaded.readErrors, 0);
}

}  // namespace
}  // namespace zentu::testing
