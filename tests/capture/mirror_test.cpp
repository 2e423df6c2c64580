#include "capture/mirror.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "capture/rules.h"
#include "os/file.h"
#include "os/log.h"
#include "store/profile.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

class MirrorTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetTreeState();
    CurrentProfile() = Profile{};
    CurrentProfile().dirs.data = Path("Data");
    CurrentProfile().dirs.text = Path("Text");
    CurrentProfile().dirs.exportDir = Path("Export");
    CurrentTreeFileSettings() = TreeFileSettings{};
    CurrentTreeFileSettings().dataDirectory = Path("Data");
    ClearMirrorHooks();
    root = CreateNode("Zentu", {}, {}, kNodeRoot);
    GetTreeState().root = root;
  }
  void TearDown() override {
    WaitForMirror();
    ClearMirrorHooks();
    ResetTreeState();
    TempHome::TearDown();
  }
  TreeNode* Folder(TreeNode* parent, const std::string& title) {
    TreeNode* f = CreateNode(title, {}, {}, kNodeFolder);
    Link(f, parent, kLinkLastChild);
    return f;
  }
  TreeNode* Item(TreeNode* parent, const std::string& title, const std::string& url, const std::string& file) {
    TreeNode* i = CreateNode(title, url, file, kNodeItem);
    Link(i, parent, kLinkLastChild);
    return i;
  }
  // Every file below a native directory, relative, "/"-separated.
  std::set<std::string> Files(const std::string& nativeDir) {
    std::set<std::string> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(nativeDir))
      if (e.is_regular_file()) out.insert(std::filesystem::relative(e.path(), nativeDir).generic_string());
    return out;
  }
  TreeNode* root = nullptr;
};

TEST_F(MirrorTest, FileSetHoldsEachFileOnceWithoutRegardToCase) {
  MirrorFileSet set(Path("Data"));
  const std::string d = Path("Data");
  const std::string hyou = SJ("表");  // trail byte 0x5C
  const std::string so = SJ("ア");    // trail byte 0x41 ("A")
  struct Row {
    std::string path;
    bool added;
  } rows[] = {
      {d + "\\h\\a.html", true},
      {d + "\\H\\A.HTML", false},
      {d + "/h/a.html", false},
      {d + "\\h\\" + hyou + "\\x.gif", true},
      {d + "\\h\\" + hyou + "\\X.GIF", false},
      {d + "\\h\\" + so + ".gif", true},
      // the trail byte "A" of "ア" is not folded: "チ" is 0x83 0x60, and
      // "ア" with a folded trail would read as 0x83 0x61 ("ィ")
      {d + "\\h\\" + SJ("ィ") + ".gif", true},
      {d + "\\h\\..\\..\\secret.txt", false},
      {Path("Other") + "\\x.html", false},
      {d, false},
  };
  for (const Row& row : rows) EXPECT_EQ(set.Add(row.path, false), row.added) << U8(row.path);
  EXPECT_EQ(set.Size(), 4u);
  EXPECT_TRUE(set.Add(d + "\\h\\done.html", true));
  std::vector<std::string> taken;
  std::string path;
  while (set.TakeUnprocessed(path)) {
    taken.push_back(path);
    if (taken.size() == 1) set.Add(d + "\\h\\late.css", false);  // added during a pass
  }
  EXPECT_EQ(taken.size(), 5u);
  EXPECT_EQ(taken.back(), d + "\\h\\late.css");
}

TEST_F(MirrorTest, IndexListsTheSubtreeWithRelativeLinksAndEscapedTitles) {
  TreeNode* top = Folder(root, "Top");
  Item(top, "A <b>&", "http://h/a.html", "h\\a.html#part");
  TreeNode* sub = Folder(top, "");
  Item(sub, "", "http://h/b.html", "");
  Folder(top, "Empty");
  CurrentProfile().ZentuSiteURL = "http://zentu.test/";
  ASSERT_EQ(WriteExportIndex(top, Path("index.html")), 1);
  const std::string html = ReadNative("index.html");
  EXPECT_NE(html.find("<TITLE>Top</TITLE>\n</HEAD>\n<UL>\n"
                      "<LI><A HREF=\"h/a.html#part\">A &lt;b&gt;&amp;</A><a href=\"http://h/a.html\">*</A>\n"
                      "<LI>No Name<UL>\n"
                      "<LI><A HREF=\"http://h/b.html\">http://h/b.html</A><a href=\"http://h/b.html\">*</A>\n"
                      "</UL>\n"
                      "<LI>Empty<UL>\n</UL>\n"
                      "<HR>Created by <A HREF=\"http://zentu.test/\">Zentu v0.99</A></BODY>\n</HTML>\n"),
            std::string::npos)
      << html;
  // A directory that cannot take the file says so.
  EXPECT_EQ(WriteExportIndex(top, Path("missing\\dir\\index.html")), 0);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].caption, SJ("エラー"));
}

TEST_F(MirrorTest, MirrorCopiesWhatThePagesNeedOnceAndOverwritesAnEarlierExport) {
  WriteNative("Data/h/a.html",
              "<link rel=\"stylesheet\" href=\"s.css\"><img src=\"i.gif\"><img src=\"I.GIF\">"
              "<a href=\"b.html\">b</a><img src=\"file:///Z:" + nativeHome + "/outside.gif\">");
  WriteNative("Data/h/s.css", "body { background: url(bg/back.png) }");
  WriteNative("Data/h/bg/back.png", "png");
  WriteNative("Data/h/i.gif", "gif");
  WriteNative("Data/h/b.html", "<img src=\"c.gif\"><a href=\"a.html\">back</a>");
  WriteNative("Data/h/c.gif", "gif");
  WriteNative("Data/h/unlinked.gif", "gif");
  WriteNative("outside.gif", "not ours");
  TreeNode* folder = Folder(root, "Site");
  Item(folder, "A", "http://h/a.html", Path("Data") + "\\h\\a.html");
  Item(folder, "A again", "http://h/A.html", "H\\A.HTML");
  GetTreeState().currentFolder = folder;

  const std::string out = Path("Export") + "\\m";
  ASSERT_EQ(StartMirror('d', out), 1);
  EXPECT_EQ(StartMirror('d', out), 0);  // one mirror at a time
  WaitForMirror();
  const std::set<std::string> page{"index.html", "zentu.html", "h/a.html", "h/s.css", "h/bg/back.png", "h/i.gif"};
  EXPECT_EQ(Files(nativeHome + "/Export/m"), page);
  EXPECT_TRUE(LogContains("Error: "));
  EXPECT_TRUE(LogContains("outside.gif"));

  // Again with linked pages followed: the same directory is overwritten.
  WriteNative("Data/h/i.gif", "new gif");
  ASSERT_EQ(RunMirror('d', out, true), 1);
  std::set<std::string> all = page;
  all.insert({"h/b.html", "h/c.gif"});
  EXPECT_EQ(Files(nativeHome + "/Export/m"), all);
  EXPECT_EQ(ReadNative("Export/m/h/i.gif"), "new gif");
  EXPECT_EQ(ReadNative("Export/m/h/a.html"), ReadNative("Data/h/a.html"));
  // The exported tree file holds the exported items.
  EXPECT_NE(ReadNative("Export/m/zentu.html").find("http://h/A.html"), std::string::npos);
  ASSERT_FALSE(desktop.messages.empty());
  EXPECT_EQ(desktop.messages.back().text, SJ("エクスポート完了しました"));
}

TEST_F(MirrorTest, DialogSelectionAndRefusals) {
  WriteNative("Data/h/x.html", "<img src=\"x.gif\">");
  WriteNative("Data/h/x.gif", "gif");
  TreeNode* folder = Folder(root, "F");
  TreeNode* x = Item(folder, "X", "http://h/x.html", "h\\x.html");
  Item(folder, "Y", "http://h/y.html", "h\\y.html");
  std::vector<std::string> opened;
  int dialogs = 0;
  std::string answer;
  SetMirrorHook(&MirrorHooks::dialog, [&](MirrorHooks::Dialog& d) {
    ++dialogs;
    if (answer == "cancel") return false;
    d.directory = answer.empty() ? "" : Path(answer);
    answer = "cancel";  // a second showing ends it
    return true;
  });
  SetMirrorHook(&MirrorHooks::selectedItems, [&] { return std::vector<TreeNode*>{x}; });
  SetMirrorHook(&MirrorHooks::openIndex, [&](std::string_view p) { opened.emplace_back(p); });

  // An empty path asks again; cancel then ends it without a mirror.
  answer = "";
  EXPECT_EQ(StartMirror('e'), 0);
  EXPECT_EQ(dialogs, 2);
  EXPECT_EQ(desktop.messages.back().text, SJ("フォルダを指定してください"));
  EXPECT_FALSE(MirrorRunning());

  answer = "Sel";
  ASSERT_EQ(StartMirror('e'), 1);
  WaitForMirror();
  EXPECT_EQ(Files(nativeHome + "/Sel"), (std::set<std::string>{"index.html", "zentu.html", "h/x.html", "h/x.gif"}));
  EXPECT_NE(ReadNative("Sel/index.html").find("<TITLE>test root</TITLE>"), std::string::npos);
  EXPECT_EQ(opened, (std::vector<std::string>{Path("Sel") + "\\index.html"}));

  // A directory that cannot be made (a file is in the way).
  WriteNative("blocked", "file");
  EXPECT_EQ(StartMirror('d', Path("blocked") + "\\sub"), 0);
  EXPECT_EQ(desktop.messages.back().text, SJ("フォルダを作成できません"));
  EXPECT_EQ(desktop.messages.back().caption, SJ("エラー"));
  EXPECT_FALSE(MirrorRunning());
}

// A copy goes through a temporary name: a copy that fails half-way, or a
// stop, leaves the earlier file whole and nothing else behind.
TEST_F(MirrorTest, CopiesAreWholeOrAbsentAndAStopEndsThePass) {
  std::set<std::string> sources;
  for (int i = 0; i < 400; ++i) {
    const std::string name = "h/f" + std::to_string(i) + ".gif";
    WriteNative("Data/" + name, std::string(3000 + i, static_cast<char>('a' + i % 26)));
    sources.insert(name);
  }
  const std::string out = Path("Out");
  auto fill = [&](MirrorFileSet& set) {
    for (const std::string& name : sources) {
      std::string program = Path("Data") + "\\" + name;
      for (char& c : program)
        if (c == '/') c = '\\';
      ASSERT_TRUE(set.Add(program, false));
    }
  };
  // Stopped before it began: nothing is copied.
  {
    MirrorFileSet set(Path("Data"));
    fill(set);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(CopyMirrorFiles(set, out, false, stop.get_token()), 0u);
    EXPECT_TRUE(Files(nativeHome + "/Data").size() == sources.size());
    EXPECT_FALSE(std::filesystem::exists(nativeHome + "/Out/h/f0.gif"));
  }
  // An earlier export, then a copy whose writes fail from the first one on.
  WriteNative("Out/h/f0.gif", "earlier");
  {
    MirrorFileSet set(Path("Data"));
    ASSERT_TRUE(set.Add(Path("Data") + "\\h\\f0.gif", false));
    os::SetFileFaultAt(1);
    EXPECT_EQ(CopyMirrorFiles(set, out, false), 0u);
    os::SetFileFaultAt(0);
    EXPECT_EQ(ReadNative("Out/h/f0.gif"), "earlier");
    EXPECT_EQ(Files(nativeHome + "/Out"), (std::set<std::string>{"h/f0.gif"}));
  }
  // A mirror stopped while it copies (shutdown): the thread ends, and every
  // file it left is a whole copy of its source.
  std::filesystem::remove_all(nativeHome + "/Out");
  TreeNode* folder = Folder(root, "Many");
  for (const std::string& name : sources) Item(folder, name, "http://" + name, name.substr(0, 1) + "\\" + name.substr(2));
  GetTreeState().currentFolder = folder;
  ASSERT_EQ(StartMirror('d', out), 1);
  EXPECT_TRUE(StopMirror(std::chrono::seconds(30)));
  EXPECT_FALSE(MirrorRunning());
  for (const std::string& f : Files(nativeHome + "/Out")) {
    if (f == "index.html" || f == "zentu.html") continue;
    ASSERT_TRUE(sources.count(f)) << "left behind: " << f;
    EXPECT_TRUE(ReadNative("Out/" + f) == ReadNative("Data/" + f)) << "not whole: " << f;
  }
}

}  // namespace
}  // namespace zentu::testing
