// The cleaner's settings, the orphan search and the moves into the dust folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "capture/rules.h"
#include "cleaner/cleaner.h"
#include "os/file.h"
#include "os/path.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

using cleaner::Mode;

std::string ItemLine(const std::string& localFile) {
  return "<LI><A HREF=\"http://x/\" LOCALFILE=\"" + localFile +
         "\" LASTCHECK=\"\" ORIGINAL=\"\" SIZE=\"0\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:0\" "
         "PROTECTINFO=\"0\" DLFLAG=\"0\">t</A>\r\n";
}

class CleanerTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ReadExtensionListOnly(Path("config\\extension.dat"));  // missing: the default lists
    WriteNative("zentu.ini", "DataDirectory=\r\nTextDataDirectory=\r\n");
    settings = cleaner::ReadSettings(home);
  }
  void Tree(const std::vector<std::string>& localFiles) {
    std::string text = "<HTML>\r\n<TITLE>Zentu</TITLE>\r\n<VERSION>1.00</VERSION>\r\n<UL>\r\n"
                       "<LI TYPE=\"1\" PROPERTY=\"0\">folder<UL>\r\n";
    for (const std::string& f : localFiles) text += ItemLine(f);
    text += "</UL>\r\n</UL>\r\n</HTML>\r\n";
    WriteNative("default.html", text);
  }
  std::set<std::string> Orphans(Mode mode = Mode::Data, bool followLinks = true) {
    cleaner::Options o;
    o.mode = mode;
    o.followLinks = followLinks;
    last = cleaner::FindOrphans(settings, o);
    std::set<std::string> names;
    const std::string& root = cleaner::ModeDirectory(settings, mode);
    for (const cleaner::Orphan& f : last.orphans) names.insert(f.path.substr(root.size() + 1));
    return names;
  }
  cleaner::Orphan Listed(const std::string& relative) {
    for (const cleaner::Orphan& f : last.orphans)
      if (f.path.size() > relative.size() && f.path.compare(f.path.size() - relative.size(), relative.size(), relative) == 0)
        return f;
    ADD_FAILURE() << relative << " is not listed";
    return {};
  }
  // A small capture: the item's page shows an image and links to a second
  // page, which shows another image; one stray file and one stray folder.
  void SmallSite() {
    WriteNative("Data/h/index.html", "<html><img src=\"a.gif\"><a href=\"sub/b.html\">b</a></html>");
    WriteNative("Data/h/a.gif", "GIF89a");
    WriteNative("Data/h/sub/b.html", "<html><IMG SRC=\"c.gif\"><link rel=stylesheet href=\"../s.css\"></html>");
    WriteNative("Data/h/sub/c.gif", "GIF89a");
    WriteNative("Data/h/s.css", "body{background:url(bg.png)}");
    WriteNative("Data/h/bg.png", "PNG");
    WriteNative("Data/h/stray.gif", "GIF89a-stray");
    WriteNative("Data/old/x/y.html", "<html></html>");
    Tree({"h\\index.html"});
  }
  cleaner::Settings settings;
  cleaner::Result last;
};

TEST(CleanerSettings, DirectoryValuesResolveAgainstTheProgramDirectory) {
  struct Case {
    const char* value;
    const char* want;
  } cases[] = {
      {"", "Z:\\p\\Data"},
      {"store", "Z:\\p\\store"},
      {"\\store\\", "Z:\\p\\store"},
      {"a/b/../c/", "Z:\\p\\a\\c"},
      {"Z:\\elsewhere\\d", "Z:\\elsewhere\\d"},
      {"Z:/elsewhere/d", "Z:/elsewhere/d"},
  };
  for (const Case& c : cases) EXPECT_EQ(cleaner::ResolveDirectory("Z:\\p", c.value, "Data"), c.want) << c.value;
}

TEST_F(CleanerTest, ReadsBothDirectoryFormsAndOnlyAnAbsoluteTreeFile) {
  WriteNative("zentu.ini",
              "datadirectory=\"my data\" trailing\r\nTextDataDirectory=notes/\r\nZentuFile=relative.html\r\n"
              "DebugFlag=0\r\n");
  cleaner::Settings s = cleaner::ReadSettings(home);
  EXPECT_EQ(s.dataDirectory, home + "\\my data");
  EXPECT_EQ(s.textDirectory, home + "\\notes");
  EXPECT_EQ(s.treeFile, home + "\\default.html");
  EXPECT_FALSE(s.debug);
  WriteNative("zentu.ini", "ZentuFile=Z:\\t\\tree.html\r\nDebugFlag=1\r\n");
  s = cleaner::ReadSettings(home);
  EXPECT_EQ(s.treeFile, "Z:\\t\\tree.html");
  EXPECT_EQ(s.dataDirectory, home + "\\Data");
  EXPECT_TRUE(s.debug);
}

TEST_F(CleanerTest, ListsWhatNoItemAndNoSavedPageReaches) {
  SmallSite();
  EXPECT_EQ(Orphans(), (std::set<std::string>{"h\\stray.gif", "old\\x\\y.html"}));
  EXPECT_EQ(last.outcome, cleaner::Outcome::Done);
  EXPECT_EQ(last.counters.total.count, 8);
  EXPECT_EQ(last.counters.linked.count, 6);
  // Images are binary: checked without being read; the pages and the style sheet are analysed.
  EXPECT_EQ(last.counters.checked.count, 6);
  EXPECT_TRUE(std::is_sorted(last.orphans.begin(), last.orphans.end(),
                             [](auto& a, auto& b) { return a.path < b.path; }));
}

TEST_F(CleanerTest, IgnoringATagsListsPagesReachedOnlyThroughThem) {
  SmallSite();
  // b.html's own picture goes with it; a.gif is still shown by the item's page.
  EXPECT_EQ(Orphans(Mode::Data, false),
            (std::set<std::string>{"h\\bg.png", "h\\s.css", "h\\stray.gif", "h\\sub\\b.html", "h\\sub\\c.gif",
                                   "old\\x\\y.html"}));
}

TEST_F(CleanerTest, ReferencesFindFilesInEveryFormTheCollectionWrites) {
  WriteNative("Data/h/Upper.HTML", "<a href=\"http://h/deep/p.html#frag\">x</a><img src=\"with space.gif\">"
                                   "<img src=\"sub/./../dots.gif\"><img src=\"../h/img/up.gif\"><link rel=\"stylesheet\" href=\"css/site.css\">");
  WriteNative("Data/h/img/up.gif", "");  // saved copies link across the host folder
  WriteNative("Data/h/css/site.css", "body { background: url(../../h/img/bg.gif) }");
  WriteNative("Data/h/img/bg.gif", "");
  WriteNative("Data/h/deep/p.html", "");
  WriteNative("Data/h/with space.gif", "");
  WriteNative("Data/h/dots.gif", "");
  WriteNative("Data/abs.txt", "");
  WriteNative("Data/url.txt", "");
  // A host folder with a port: its ";" is part of every link into it.
  WriteNative("Data/127.0.0.1;8080/p.html", "<link rel=\"stylesheet\" href=\"../127.0.0.1;8080/css/s.css\">");
  WriteNative("Data/127.0.0.1;8080/css/s.css", "@import \"../../127.0.0.1;8080/css/more.css\";\n"
                                                 "body { background: url(../../127.0.0.1;8080/img/bg.gif) }");
  WriteNative("Data/127.0.0.1;8080/css/more.css", "p { background: url('../../127.0.0.1;8080/img/q.gif') }");
  WriteNative("Data/127.0.0.1;8080/img/bg.gif", "");
  WriteNative("Data/127.0.0.1;8080/img/q.gif", "");
  // Case differs, an absolute path, a file: URL.
  Tree({"H\\upper.html", home + "\\Data\\abs.txt", "file:///" + home + "\\Data\\url.txt",
        "127.0.0.1;8080\\p.html"});
  EXPECT_EQ(Orphans(), std::set<std::string>{});
  EXPECT_TRUE(last.allLinked);
  EXPECT_TRUE(LogContains("All Files are linked."));
}

TEST_F(CleanerTest, TextModeCountsOnlyReferencesInsideTheTextDirectory) {
  WriteNative("Text/memo.txt", "note");
  WriteNative("Text/old.txt", "old");
  WriteNative("Data/h/page.html", "");
  Tree({home + "\\Text\\memo.txt", "h\\page.html"});
  EXPECT_EQ(Orphans(Mode::Text), std::set<std::string>{"old.txt"});
  EXPECT_EQ(last.counters.total.count, 2);
}

TEST_F(CleanerTest, LinksAndUnreadableNamesAreNeverCandidates) {
  SmallSite();
  ASSERT_EQ(::symlink("/etc", (nativeHome + "/Data/elsewhere").c_str()), 0);
  ASSERT_EQ(::symlink((nativeHome + "/Data/h/stray.gif").c_str(), (nativeHome + "/Data/h/alias.gif").c_str()), 0);
  EXPECT_EQ(Orphans(), (std::set<std::string>{"h\\stray.gif", "old\\x\\y.html"}));
}

TEST_F(CleanerTest, MissingTreeOrDirectoryStopsTheRun) {
  SmallSite();
  ::unlink((nativeHome + "/default.html").c_str());
  Orphans();
  EXPECT_EQ(last.outcome, cleaner::Outcome::TreeMissing);
  EXPECT_TRUE(last.orphans.empty());
  Orphans(Mode::Text);
  EXPECT_EQ(last.outcome, cleaner::Outcome::DirectoryMissing);
}

TEST_F(CleanerTest, MovesKeepTheOlderDustFileAndClearEmptyFolders) {
  SmallSite();
  WriteNative("Dustbox/h/stray.gif", "older");
  Orphans();
  ASSERT_EQ(cleaner::MoveToDust(settings, Mode::Data, Listed("h\\stray.gif")), cleaner::MoveStatus::Moved);
  ASSERT_EQ(cleaner::MoveToDust(settings, Mode::Data, Listed("old\\x\\y.html")), cleaner::MoveStatus::Moved);
  EXPECT_EQ(ReadNative("Dustbox/h/stray.gif"), "GIF89a-stray");
  EXPECT_EQ(ReadNative("Dustbox/h/stray.gif.1"), "older");
  EXPECT_EQ(ReadNative("Dustbox/old/x/y.html"), "<html></html>");
  EXPECT_FALSE(os::PathExists(home + "\\Data\\old"));  // emptied folders go
  EXPECT_TRUE(os::DirectoryExists(home + "\\Data"));   // the directory itself stays
  EXPECT_TRUE(os::FileExists(home + "\\Data\\h\\a.gif"));
  // A second clash takes the next free number.
  WriteNative("Data/h/stray.gif", "third");
  Orphans();
  ASSERT_EQ(cleaner::MoveToDust(settings, Mode::Data, Listed("h\\stray.gif")), cleaner::MoveStatus::Moved);
  EXPECT_EQ(ReadNative("Dustbox/h/stray.gif.2"), "GIF89a-stray");
  EXPECT_EQ(ReadNative("Dustbox/h/stray.gif"), "third");
}

TEST_F(CleanerTest, AFileIsCheckedAgainBeforeItIsMovedOrErased) {
  SmallSite();
  Orphans();
  cleaner::Orphan stray = Listed("h\\stray.gif");
  cleaner::Orphan page = Listed("old\\x\\y.html");
  WriteNative("Data/h/stray.gif", "rewritten since");
  EXPECT_EQ(cleaner::MoveToDust(settings, Mode::Data, stray), cleaner::MoveStatus::Changed);
  EXPECT_EQ(cleaner::EraseFile(settings, Mode::Data, stray), cleaner::MoveStatus::Changed);
  EXPECT_EQ(ReadNative("Data/h/stray.gif"), "rewritten since");
  cleaner::Orphan outside = page;
  outside.path = home + "\\Data\\..\\zentu.ini";
  EXPECT_EQ(cleaner::MoveToDust(settings, Mode::Data, outside), cleaner::MoveStatus::Refused);
  EXPECT_TRUE(os::FileExists(home + "\\zentu.ini"));
  EXPECT_EQ(cleaner::EraseFile(settings, Mode::Data, page), cleaner::MoveStatus::Erased);
  EXPECT_FALSE(os::PathExists(home + "\\Data\\old"));
  EXPECT_FALSE(os::PathExists(home + "\\Dustbox\\old"));
}

TEST_F(CleanerTest, TextFilesGoToTheirOwnDustFolder) {
  WriteNative("Text/sub/old.txt", "old");
  Tree({});
  Orphans(Mode::Text);
  ASSERT_EQ(cleaner::MoveToDust(settings, Mode::Text, Listed("sub\\old.txt")), cleaner::MoveStatus::Moved);
  EXPECT_EQ(ReadNative("DustText/sub/old.txt"), "old");
  EXPECT_TRUE(os::DirectoryExists(home + "\\Text"));
}

TEST_F(CleanerTest, CleanerIniKeepsTheLogWindowChoice) {
  EXPECT_FALSE(cleaner::ReadShowLogView(home));
  ASSERT_TRUE(cleaner::WriteShowLogView(home, true));
  EXPECT_EQ(ReadNative("cleaner.ini"), "ShowLogView=1\n");
  EXPECT_TRUE(cleaner::ReadShowLogView(home));
  EXPECT_TRUE(cleaner::MatchesFilter("Z:\\d\\Host\\a.gif", "Host"));
  EXPECT_FALSE(cleaner::MatchesFilter("Z:\\d\\Host\\a.gif", "host"));
}

}  // namespace
}  // namespace zentu::testing
