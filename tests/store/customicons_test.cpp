#include "store/customicons.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"
#include "ui/iconindex.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;
using testing::U8;

class CustomIconsTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetTreeState();
    ResetCustomIcons();
    CopyData("lists");
  }
  void TearDown() override {
    ResetCustomIcons();
    ResetTreeState();
    TempHome::TearDown();
  }
  // The image-list index the windows give a custom icon file.
  static int32_t ImageIndex(int32_t file) { return file < 0 ? file : ui::kFirstCustomIconIndex + file; }
  // "key=open(index),close(index)" per entry, "; "-separated, in key order (UTF-8).
  static std::string Table() {
    std::string out;
    for (const auto& [key, e] : CustomIcons()) {
      if (!out.empty()) out += "; ";
      std::string k = U8(key);
      for (char& c : k) c = c == '\t' ? '/' : c;
      out += k + "=" + e.openIcon + "(" + std::to_string(ImageIndex(e.openIndex)) + ")," + e.closeIcon + "(" +
             std::to_string(ImageIndex(e.closeIndex)) + ")";
    }
    return out;
  }
};

TEST_F(CustomIconsTest, LoadsEntriesAndNumbersReadableFilesFromTwentyFive) {
  log::SetDebugFlag(true);
  ASSERT_EQ(LoadCustomIcons(Path("icon.dat"), home), 1);
  // The entry without CloseIcon adds nothing; the last entry needs no empty
  // line after it; a file shared by two folders is loaded once.
  EXPECT_EQ(Table(),
            "Zentu/ニュース=icon/news_open.ico(25),icon/news_close.ico(26); "
            "Zentu/ニュース/国内=icon/news_open.ico(25),icon/missing_close.ico(-1); "
            "Zentu/趣味=icon/hobby_open.ico(27),icon/hobby_close.ico(28)");
  EXPECT_EQ(CustomIconImageFiles(),
            (std::vector<std::string>{Path("icon\\news_open.ico"), Path("icon\\news_close.ico"),
                                      Path("icon\\hobby_open.ico"), Path("icon\\hobby_close.ico")}));
  EXPECT_TRUE(LogContains("[Error] Can't close icon file: " + Path("icon\\missing_close.ico")));
  EXPECT_TRUE(LogContains("Add Custom Icon>> Zentu\t" + SJ("趣味")));
  EXPECT_FALSE(LogContains("Add Custom Icon>> Zentu\t" + SJ("技術")));

  int32_t open = 0, close = 0;
  EXPECT_EQ(GetCustomIconIndices("Zentu\t" + SJ("ニュース"), &open, &close), 1);
  EXPECT_EQ(ImageIndex(open), 25);
  EXPECT_EQ(ImageIndex(close), 26);
  EXPECT_EQ(GetCustomIconIndices("Zentu\t" + SJ("技術"), &open, &close), 0);
}

TEST_F(CustomIconsTest, ParsesEntryBoundaries) {
  struct Row {
    const char* text;  // LF line ends; CR LF added when written
    const char* table;
  };
  const Row rows[] = {
      {"FolderName=A\nOpenIcon=icon/tech.ico\n\n", ""},  // no CloseIcon
      {"FolderName=A\nOpenIcon=icon/tech.ico\n\nCloseIcon=icon/tech.ico\n\n", ""},  // fields do not carry over
      {"FolderName=A\nOpenIcon=icon/tech.ico\nCloseIcon=icon/tech.ico\n# ends here\n",
       "A=icon/tech.ico(25),icon/tech.ico(25)"},
      {"CloseIcon=icon/tech.ico\nOpenIcon=icon/tech.ico\nFolderName=A\n\n",
       "A=icon/tech.ico(25),icon/tech.ico(25)"},  // any order
      {"FolderName=A\nOpenIcon=x.ico\nCloseIcon=y.ico\n\nFolderName=A\nOpenIcon=icon/tech.ico\nCloseIcon=y.ico\n\n",
       "A=icon/tech.ico(25),y.ico(-1)"},  // the later entry replaces the earlier one
      {"foldername=A\nOpenIcon=icon/tech.ico\nCloseIcon=icon/tech.ico\n\n", ""},  // exact case only
      {"FolderName=\nOpenIcon=icon/tech.ico\nCloseIcon=icon/tech.ico\n\n", ""},
      {"FolderName=A\nOpenIcon=icon/tech.ico\nCloseIcon=icon/tech.ico", "A=icon/tech.ico(25),icon/tech.ico(25)"},
      {"FolderName=B\nnoise\nOpenIcon=icon\\tech.ico\nCloseIcon=icon/news_open.ico\n\n",
       "B=icon\\tech.ico(25),icon/news_open.ico(26)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::string crlf;
    for (const char* p = row.text; *p; ++p) crlf += *p == '\n' ? std::string("\r\n") : std::string(1, *p);
    WriteNative("t.dat", crlf);
    ASSERT_EQ(LoadCustomIcons(Path("t.dat"), home), 1);
    EXPECT_EQ(Table(), row.table);
  }
  EXPECT_TRUE(LogContains("[Error] Can't open icon file: " + Path("x.ico")));
}

TEST_F(CustomIconsTest, IconFilesMayBeAbsoluteOrNative) {
  ASSERT_EQ(SetCustomIcon("Zentu\tA", Path("icon\\tech.ico"), nativeHome + "/icon/tech.ico"), 1);
  EXPECT_EQ(Table(), "Zentu/A=" + Path("icon\\tech.ico") + "(25)," + nativeHome + "/icon/tech.ico(25)");
  // Empty texts and line breaks could not be written back.
  EXPECT_EQ(SetCustomIcon("", "a", "b"), 0);
  EXPECT_EQ(SetCustomIcon("k", "", "b"), 0);
  EXPECT_EQ(SetCustomIcon("k", "a", "b\nc"), 0);
  EXPECT_EQ(SetCustomIcon("k\r", "a", "b"), 0);
  EXPECT_EQ(CustomIcons().size(), 1u);
  EXPECT_EQ(RemoveCustomIcon("Zentu\tA"), 1);
  EXPECT_EQ(RemoveCustomIcon("Zentu\tA"), 0);
  EXPECT_EQ(FindCustomIcon("Zentu\tA"), nullptr);
}

TEST_F(CustomIconsTest, TreeFileReaderGivesFoldersTheirIconsAndRenamesUndoThem) {
  ASSERT_EQ(LoadCustomIcons(Path("icon.dat"), home), 1);
  WriteNative("default.html",
              SJ("<HTML>\n<TITLE>Zentu</TITLE>\n<VERSION>0.99</VERSION>\n<UL>\n"
                 "<LI TYPE=\"1\" PROPERTY=\"5\" PROTECTINFO=\"1\" EXPAND=\"0\" SORT=\"0\">未整理フォルダ<UL>\n</UL>\n"
                 "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">ニュース<UL>\n"
                 "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">国内<UL>\n</UL>\n"
                 "</UL>\n"
                 "<LI TYPE=\"1\" PROPERTY=\"9\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">趣味<UL>\n</UL>\n"
                 "<LI TYPE=\"1\" PROPERTY=\"3\" PROTECTINFO=\"0\" EXPAND=\"0\" SORT=\"0\">技術<UL>\n</UL>\n"
                 "</UL>\n</HTML>\n"));
  TreeFileSettings settings;
  settings.treeFile = Path("default.html");
  settings.dataDirectory = Path("Data");
  settings.backupDirectory = Path("Backup");
  settings.applyCustomIcon = &ApplyCustomIcon;
  ASSERT_EQ(LoadTree(settings.treeFile, nullptr, settings).ok, 1);

  std::lock_guard lock(TreeMutex());
  TreeNode* root = GetTreeState().root;
  auto folder = [&](const char* path) {
    TreeNode* f = FindFolderByTreePath(root, SJ(path));
    EXPECT_NE(f, nullptr) << path;
    return f ? f : root;
  };
  TreeNode* receive = folder("Zentu\t未整理フォルダ");
  TreeNode* news = folder("Zentu\tニュース");
  TreeNode* domestic = folder("Zentu\tニュース\t国内");
  TreeNode* hobby = folder("Zentu\t趣味");
  TreeNode* tech = folder("Zentu\t技術");
  auto icons = [](const TreeNode* n) { return std::pair{ui::NodeIcon(n, true), ui::NodeIcon(n, false)}; };
  EXPECT_EQ(icons(receive), std::pair(int32_t{ui::kIconReceiveFolderOpen}, int32_t{ui::kIconReceiveFolderClose}));
  EXPECT_EQ(icons(news), std::pair(25, 26));
  EXPECT_EQ(icons(domestic), std::pair(25, int32_t{ui::kIconFolderClose}));  // unreadable file: ordinary icon
  EXPECT_EQ(icons(hobby), std::pair(27, 28));
  EXPECT_EQ(icons(tech), std::pair(int32_t{ui::kIconFolderOpen}, int32_t{ui::kIconFolderClose}));

  // The key is the title path: renaming a folder (or an ancestor) ends the match.
  SetTitle(news, SJ("ニュース(旧)"));
  UpdateFolderIcons(news);
  EXPECT_EQ(icons(news), std::pair(int32_t{ui::kIconFolderOpen}, int32_t{ui::kIconFolderClose}));
  EXPECT_EQ(icons(domestic), std::pair(int32_t{ui::kIconFolderOpen}, int32_t{ui::kIconFolderClose}));
  SetTitle(news, SJ("ニュース"));
  UpdateFolderIcons(root);
  EXPECT_EQ(icons(news), std::pair(25, 26));
  EXPECT_EQ(icons(domestic), std::pair(25, int32_t{ui::kIconFolderClose}));
  EXPECT_EQ(icons(hobby), std::pair(27, 28));
  SetTitle(hobby, SJ("趣味2"));
  UpdateFolderIcons(hobby);
  EXPECT_EQ(icons(hobby), std::pair(int32_t{ui::kIconBookmarkFolderOpen}, int32_t{ui::kIconBookmarkFolderClose}));
}

TEST_F(CustomIconsTest, SaveWritesHeaderAndEntriesInKeyOrderAndKeepsTheTable) {
  ASSERT_EQ(LoadCustomIcons(Path("icon.dat"), home), 1);
  const std::string expected = SJ(
      "# for custom icon\r\n# (e.g)\r\n# FolderName=News\r\n# OpenIcon=icon/news_open.ico\r\n"
      "# CloseIcon=icon/news_close.ico\r\n"
      "FolderName=Zentu\tニュース\r\nOpenIcon=icon/news_open.ico\r\nCloseIcon=icon/news_close.ico\r\n\r\n"
      "FolderName=Zentu\tニュース\t国内\r\nOpenIcon=icon/news_open.ico\r\nCloseIcon=icon/missing_close.ico\r\n\r\n"
      "FolderName=Zentu\t趣味\r\nOpenIcon=icon/hobby_open.ico\r\nCloseIcon=icon/hobby_close.ico\r\n\r\n");
  ASSERT_EQ(SaveCustomIcons(Path("Config\\icon.dat")), 0);  // no such directory yet
  EXPECT_TRUE(LogContains("# Save custom icon file: " + Path("Config\\icon.dat")));
  EXPECT_TRUE(LogContains("[Error] File not found : " + Path("Config\\icon.dat")));

  ASSERT_EQ(SaveCustomIcons(Path("saved.dat")), 1);
  EXPECT_EQ(ReadNative("saved.dat"), expected);
  // A second save writes the same entries, never an empty list.
  ASSERT_EQ(SaveCustomIcons(Path("saved.dat")), 1);
  EXPECT_EQ(ReadNative("saved.dat"), expected);
  std::string before = Table();
  ASSERT_EQ(LoadCustomIcons(Path("saved.dat"), home), 1);
  EXPECT_EQ(Table(), before);

  ResetCustomIcons();
  ASSERT_EQ(SaveCustomIcons(Path("empty.dat")), 1);
  EXPECT_EQ(ReadNative("empty.dat"), expected.substr(0, expected.find("FolderName=Zentu")));
}

TEST_F(CustomIconsTest, BadInputLoadsWhatIsSound) {
  EXPECT_EQ(LoadCustomIcons(Path("none.dat"), home), 0);
  EXPECT_TRUE(CustomIcons().empty());

  std::string junk;
  for (int i = 0; i < 5000; ++i) junk += static_cast<char>((i * 97 + 3) & 0xFF);
  std::string bytes = "FolderName=" + std::string(3000, 'k') + "\r\nOpenIcon=icon/tech.ico\r\nCloseIcon=icon/tech.ico\r\n\r\n";
  bytes += junk + "\r\n\r\n";
  bytes += "FolderName=ok\r\nOpenIcon=icon/tech.ico\r\nCloseIcon=" + std::string(2100, 'c') + "\r\n\r\n";
  bytes += "FolderName=good\r\nOpenIcon=icon/tech.ico\r\nCloseIcon=icon/news_close.ico\r\n\r\n";
  static constexpr char kNul[] = "FolderName=nul\0x\r\nOpenIcon=a\r\nCloseIcon=b\r\n\r\n";
  bytes += std::string(kNul, sizeof kNul - 1);
  WriteNative("bad.dat", bytes);
  ASSERT_EQ(LoadCustomIcons(Path("bad.dat"), home), 1);
  // The over-long key line is skipped, so its fields complete nothing; the
  // same goes for the over-long icon line and the line with a NUL byte.
  EXPECT_EQ(FindCustomIcon(std::string(3000, 'k')), nullptr);
  EXPECT_EQ(FindCustomIcon(std::string(2047, 'k')), nullptr);
  EXPECT_EQ(FindCustomIcon("ok"), nullptr);
  EXPECT_EQ(FindCustomIcon("nul"), nullptr);
  ASSERT_NE(FindCustomIcon("good"), nullptr);
  for (const auto& [key, e] : CustomIcons()) {
    EXPECT_EQ(key.find('\0'), std::string::npos);
    EXPECT_LE(key.size() + e.openIcon.size() + e.closeIcon.size(), 3 * 2047u);
  }
  // Whatever was read saves and loads back the same.
  ASSERT_EQ(SaveCustomIcons(Path("again.dat")), 1);
  std::string first = ReadNative("again.dat");
  ASSERT_EQ(LoadCustomIcons(Path("again.dat"), home), 1);
  ASSERT_EQ(SaveCustomIcons(Path("again.dat")), 1);
  EXPECT_EQ(ReadNative("again.dat"), first);
}

}  // namespace
}  // namespace zentu
