// Big imports: a bookmark file of 10,000 bookmarks in 500 nested folders,
// checked against the file by a parser of the test's own, and a list of
// 1,000 URLs that must reach the queue once each.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "import/import.h"
#include "os/cp932.h"
#include "tests/import/import_fixture.h"

namespace zentu::testing {
namespace {

// Writes a Chromium-style export: folders placed under random earlier folders,
// bookmarks spread over all of them, Japanese titles with escaped markup.
std::string GenerateBookmarks(int folders, int bookmarks, unsigned seed) {
  std::mt19937 rng(seed);
  const char* words[] = {"ニュース", "技術", "Blog", "日記", "R&D", "<tag>", "\"quoted\"", "表示", "ソフト", "能力"};
  auto title = [&](int n) {
    std::string t = words[rng() % std::size(words)];
    t += ' ';
    t += words[rng() % std::size(words)];
    t += ' ' + std::to_string(n);
    std::string escaped;
    for (char c : t) {
      if (c == '&') escaped += "&amp;";
      else if (c == '<') escaped += "&lt;";
      else if (c == '>') escaped += "&gt;";
      else if (c == '"') escaped += "&quot;";
      else escaped += c;
    }
    return escaped;
  };
  std::vector<int> parent(folders + 1, -1);  // folder 0 is the file's own list
  for (int f = 1; f <= folders; ++f) parent[f] = static_cast<int>(rng() % f);
  std::vector<std::vector<int>> childFolders(folders + 1);
  for (int f = 1; f <= folders; ++f) childFolders[parent[f]].push_back(f);
  std::vector<std::vector<int>> marks(folders + 1);
  for (int b = 0; b < bookmarks; ++b) marks[rng() % (folders + 1)].push_back(b);

  std::string out =
      "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<!-- This is an automatically generated file.\n     It will be read and "
      "overwritten.\n     DO NOT EDIT! -->\n<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
      "<TITLE>Bookmarks</TITLE>\n<H1>Bookmarks</H1>\n";
  // Depth-first without recursion: the nesting may be hundreds deep.
  struct Frame {
    int folder;
    size_t next;
  };
  std::vector<Frame> stack{{0, 0}};
  out += "<DL><p>\n";
  auto indent = [&] { return std::string(4 * stack.size(), ' '); };
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == 0) {
      for (int b : marks[top.folder]) {
        out += indent() + "<DT><A HREF=\"https://site" + std::to_string(b % 97) + ".example.jp/page?id=" +
               std::to_string(b) + "&amp;x=1\" ADD_DATE=\"" + std::to_string(1600000000 + b) + "\"";
        if (b % 5 == 0) out += " ICON=\"data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAABAAAAAQCAYAAAAf8/9hAAAA\"";
        out += ">" + title(b) + "</A>\n";
      }
    }
    if (top.next < childFolders[top.folder].size()) {
      const int f = childFolders[top.folder][top.next++];
      out += indent() + "<DT><H3 ADD_DATE=\"1600000000\" LAST_MODIFIED=\"1600000001\">" + title(f) + "</H3>\n";
      out += indent() + "<DL><p>\n";
      stack.push_back({f, 0});
      continue;
    }
    stack.pop_back();
    out += indent() + "</DL><p>\n";
  }
  return out;
}

// The test's own reading of such a file: plain searches, no patterns.
struct Expected {
  std::string dump;
  int items = 0, folders = 0;
};

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    static const std::pair<std::string_view, char> kRefs[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}};
    bool done = false;
    for (const auto& [ref, ch] : kRefs) {
      if (text.substr(i, ref.size()) == ref) {
        out += ch;
        i += ref.size() - 1;
        done = true;
        break;
      }
    }
    if (!done) out += text[i];
  }
  return out;
}

Expected ParseIndependently(const std::string& file) {
  struct Node {
    std::string title, url;
    bool folder = false;
    std::vector<int> children;
  };
  std::vector<Node> nodes(1);
  nodes[0].folder = true;
  std::vector<int> open;  // folders whose list is open
  int pending = -1;       // the folder a heading announced
  Expected e;
  size_t pos = 0;
  while (pos < file.size()) {
    size_t eol = file.find('\n', pos);
    if (eol == std::string::npos) eol = file.size();
    std::string_view line(file.data() + pos, eol - pos);
    pos = eol + 1;
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string_view::npos) continue;
    line.remove_prefix(first);
    const int current = open.empty() ? 0 : open.back();
    if (line.starts_with("<DT><A HREF=\"")) {
      Node n;
      const size_t urlEnd = line.find('"', 13);
      n.url = Unescape(line.substr(13, urlEnd - 13));
      const size_t textStart = line.find('>', urlEnd) + 1;
      n.title = Unescape(line.substr(textStart, line.rfind("</A>") - textStart));
      nodes.push_back(n);
      nodes[current].children.push_back(static_cast<int>(nodes.size()) - 1);
      ++e.items;
    } else if (line.starts_with("<DT><H3")) {
      Node n;
      n.folder = true;
      const size_t textStart = line.find('>', 4) + 1;
      n.title = Unescape(line.substr(textStart, line.rfind("</H3>") - textStart));
      nodes.push_back(n);
      pending = static_cast<int>(nodes.size()) - 1;
      nodes[current].children.push_back(pending);
      ++e.folders;
    } else if (line.starts_with("<DL>")) {
      open.push_back(pending >= 0 ? pending : current);
      pending = -1;
    } else if (line.starts_with("</DL>")) {
      open.pop_back();
    }
  }
  // The same text as ImportTest::Dump, titles in Shift_JIS and back.
  std::function<std::string(int)> dump = [&](int at) {
    std::string out;
    for (int c : nodes[at].children) {
      if (!out.empty()) out += ' ';
      const std::string title = U8(os::Utf8ToSjis(nodes[c].title));
      if (nodes[c].folder) out += "[" + title + "]{" + dump(c) + "}";
      else out += title + "<" + nodes[c].url + ">";
    }
    return out;
  };
  e.dump = "[Netscape の Bookmark(9)]{" + dump(0) + "}";
  return e;
}

TEST_F(ImportTest, TenThousandBookmarksInFiveHundredFoldersKeepTheirNesting) {
  const std::string file = GenerateBookmarks(500, 10000, 24);
  const Expected expected = ParseIndependently(file);
  ASSERT_EQ(expected.items, 10000);
  ASSERT_EQ(expected.folders, 500);
  const ImportReport r = ImportBookmarkFile(BookmarkFormat::Netscape, File("big.html", file), target);
  EXPECT_EQ(r.items, 10000);
  EXPECT_EQ(r.folders, 500);
  EXPECT_FALSE(r.Damaged());
  EXPECT_EQ(Dump(target), expected.dump);
}

class QueueCounter : public JobListener {
 public:
  int JobAdded(const DownloadJob&) override { return added++; }
  void JobChanged(const DownloadJob&) override { ++changed; }
  void JobRemoved(const std::string&) override {}
  void QueueCleared() override {}
  int added = 0, changed = 0;
};

TEST_F(ImportTest, ThousandUrlListQueuesEveryUrlOnce) {
  std::string text;
  for (int i = 0; i < 1000; ++i) {
    text += "URL=http://host" + std::to_string(i % 37) + ".example/file" + std::to_string(i) + ".zip\r\n";
    if (i % 10 == 0) text += "FOLDER=C:\\downloads\r\nREFERER=none\r\n";
  }
  QueueCounter counter;
  manager.SetListener(&counter);
  const ImportReport r = ImportUrlList(ListFormat::Iria, File("many.iri", text), target, manager);
  manager.SetListener(nullptr);
  EXPECT_EQ(r.items, 1000);
  EXPECT_EQ(r.queued, 1000);
  EXPECT_EQ(counter.added, 1000);
  EXPECT_EQ(counter.changed, 0);
  EXPECT_EQ(manager.Size(), 1000u);
  std::map<std::string, const TreeNode*> items;
  for (const TreeNode* n = target->firstChild; n; n = n->next) items[n->url] = n;
  ASSERT_EQ(items.size(), 1000u);
  for (const DownloadJob& job : manager.Snapshot()) {
    ASSERT_EQ(items.count(job.URL), 1u) << job.URL;
    EXPECT_EQ(job.Node, items[job.URL]);
    EXPECT_EQ(job.Status, kJobUntreated);
  }
}

}  // namespace
}  // namespace zentu::testing
