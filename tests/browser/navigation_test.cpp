#include "browser/navigation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browser/lists.h"
#include "os/file.h"
#include "os/path.h"
#include "os/log.h"
#include "store/profile.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using D = NavigationDecision;

class NavigationTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    LoadProfile(profile, Path("zentu.ini"));
    ASSERT_TRUE(os::CreateDirectories(profile.dirs.data));
    ResetBrowserLists();
    log::Clear();
  }
  void TearDown() override {
    ResetBrowserLists();
    SavedCopyOrigins().Clear();
    TempHome::TearDown();
  }
  std::string Saved(const std::string& relative) {
    std::string path = os::JoinPath(profile.dirs.data, relative);
    EXPECT_TRUE(os::CreateDirectories(os::DirectoryOf(path)));
    EXPECT_TRUE(os::WriteFileAtomic(path, "<html></html>"));
    return path;
  }
  Profile profile;
};

TEST_F(NavigationTest, TabStripTextsPicturesAndTimers) {
  struct Row {
    const char* url;
    int image;
  } rows[] = {{"", kTabImageNone},          {"http://a/", kTabImageWeb},     {"about:blank", kTabImageWeb},
              {"file:///x", kTabImageLocal}, {"Z:\\a.html", kTabImageLocal}, {"\\\\srv\\a", kTabImageLocal},
              {"//srv/a", kTabImageLocal}};
  for (const Row& row : rows) EXPECT_EQ(TabImage(row.url), row.image) << row.url;
  EXPECT_EQ(TabText(""), "No Name");
  EXPECT_EQ(TabText("t"), "t");

  EXPECT_EQ(ClassifyTabTimer(2003).kind, TabTimer::OpenUrl);
  EXPECT_EQ(ClassifyTabTimer(2003).tab, 3);
  EXPECT_EQ(ClassifyTabTimer(2100).kind, TabTimer::ReadFlag);
  EXPECT_FALSE(LogContains("Undefined Timer ID"));
  EXPECT_EQ(ClassifyTabTimer(2200).kind, TabTimer::Undefined);
  EXPECT_TRUE(LogContains("Undefined Timer ID"));
}

TEST_F(NavigationTest, ReadFlagDelay) {
  struct Row {
    int read, open;
    bool doubleClick;
    int delay;
  } rows[] = {
      {-1, 250, false, -1}, {-1, 0, true, -1},   {0, 250, true, 50},   {0, 0, false, 50},
      {0, 250, false, 250}, {3, 250, true, 50},  {3, 250, false, 3250}, {3, 0, false, 3000},
      {2, -5, false, 2000},
  };
  for (const Row& row : rows) {
    profile.WaitTimeForRead = row.read;
    profile.WaitTimeForOpenURL = row.open;
    profile.OpenByDoubleClick = row.doubleClick;
    EXPECT_EQ(ReadFlagDelay(profile), row.delay) << row.read << " " << row.open << " " << row.doubleClick;
  }
}

TEST_F(NavigationTest, PopupCatcherOpensAllowedAndKillsBlocked) {
  SetBlockListEntries({"ads."});
  TabRecord catcher;
  catcher.popupCatcher = true;
  NavigationContext context{&profile, &catcher, ""};
  EXPECT_EQ(BeforeNavigate("about:blank", context, catcher).action, D::Cancel);
  EXPECT_FALSE(LogContains("[Popup Kill]"));
  D open = BeforeNavigate("http://www.example.com/p", context, catcher);
  EXPECT_EQ(open.action, D::OpenNewTab);
  EXPECT_EQ(open.target, "http://www.example.com/p");
  EXPECT_EQ(BeforeNavigate("http://x.ads.example.com/", context, catcher).action, D::PopupKilled);
  EXPECT_TRUE(LogContains("[Popup Kill] http://x.ads.example.com/"));
}

TEST_F(NavigationTest, NewWindowRules) {
  TabRecord tab;
  NavigationContext context{&profile, &tab, ""};
  EXPECT_EQ(BeforeNavigate("javascript:void(0)", context, tab).action, D::Proceed);
  EXPECT_TRUE(tab.javascriptPending);
  EXPECT_EQ(NewWindow(profile, tab), NewWindowDecision::Allow);
  EXPECT_FALSE(tab.javascriptPending);
  EXPECT_TRUE(LogContains("open javascript by new window"));
  EXPECT_EQ(NewWindow(profile, tab), NewWindowDecision::ToPopupCatcher);
  profile.AlwaysNewWindowKill = true;
  EXPECT_EQ(NewWindow(profile, tab), NewWindowDecision::Cancel);
}

TEST_F(NavigationTest, LinksOnSavedPagesOpenTheirSavedCopies) {
  std::string page = Saved("server\\a.html");
  std::string other = Saved("server\\b.html");
  profile.OnlineMode = false;
  TabRecord tab;
  tab.documentComplete = true;
  NavigationContext context{&profile, &tab, page};
  struct Row {
    bool byNewTab, byOutside, autoConvert;
    std::string url;
    D::Action action;
    std::string target;
  };
  const std::vector<Row> rows = {
      {false, false, false, "http://server/b.html", D::OpenLocalHere, other},
      {true, false, false, "http://server/b.html", D::OpenLocalNewTab, other},
      {true, true, false, "http://server/b.html", D::OpenLocalOutside, other},
      {false, false, true, "http://server/b.html", D::Proceed, ""},
      {false, false, false, "http://server/none.html", D::Proceed, ""},
      {true, false, false, "http://server/none.html", D::OpenNewTab, "http://server/none.html"},
      {false, true, false, "http://server/none.html", D::OpenOutside, "http://server/none.html"},
      {false, false, false, other, D::Proceed, ""},  // the copy itself: nothing to change
  };
  for (const Row& row : rows) {
    profile.OpenLinkByNewTab = row.byNewTab;
    profile.OpenLinkByDefaultBrowser = row.byOutside;
    profile.AutoConvertLocalToOriginal = row.autoConvert;
    D d = BeforeNavigate(row.url, context, tab);
    EXPECT_EQ(d.action, row.action) << row.url << " " << row.byNewTab << row.byOutside << row.autoConvert;
    EXPECT_EQ(d.target, row.target) << row.url;
  }
  // Before the first document completes, unmapped links load in place.
  tab.documentComplete = false;
  profile.OpenLinkByNewTab = true;
  profile.AutoConvertLocalToOriginal = false;
  EXPECT_EQ(BeforeNavigate("http://server/none.html", context, tab).action, D::Proceed);
  // Pages on the network are never redirected to saved copies.
  context.currentPage = "http://server/a.html";
  EXPECT_EQ(BeforeNavigate("http://server/b.html", context, tab).action, D::Proceed);
}

TEST_F(NavigationTest, ClosingAndMovingBetweenTabs) {
  struct Row {
    int count, closed, current, after;
  } rows[] = {
      {1, 0, 0, -1}, {3, 2, 2, 1}, {3, 0, 0, 0}, {3, 1, 1, 1}, {3, 0, 2, 1}, {3, 2, 0, 0},
  };
  for (const Row& r : rows) EXPECT_EQ(CurrentAfterClose(r.count, r.closed, r.current), r.after);
  EXPECT_EQ(NextTab(3, 2), 0);
  EXPECT_EQ(NextTab(3, 0), 1);
  EXPECT_EQ(PreviousTab(3, 0), 2);
  EXPECT_EQ(PreviousTab(1, 0), 0);
  EXPECT_EQ(NextTab(1, 0), 0);
}

TEST_F(NavigationTest, SavedCopiesGiveBackTheirOriginals) {
  const std::string& data = profile.dirs.data;
  OriginalUrls origins;
  origins.Note(data + "\\server\\list.cgi7p=2.html", "http://server/list.cgi?p=2");
  EXPECT_EQ(origins.OriginalOf(data + "\\server\\list.cgi7p=2.html", data), "http://server/list.cgi?p=2");
  EXPECT_EQ(origins.OriginalOf("file:///" + data + "/server/list.cgi7p=2.html#top", data),
            "http://server/list.cgi?p=2");
  // Never noted: read from the place.
  EXPECT_EQ(origins.OriginalOf(data + "\\server;8080\\a\\index.html", data), "http://server:8080/a/");
  EXPECT_EQ(origins.OriginalOf(data + "\\server\\b.html", data), "http://server/b.html");
  EXPECT_EQ(origins.OriginalOf("Z:\\elsewhere\\b.html", data), "");
  EXPECT_EQ(origins.OriginalOf(data + "\\..\\x.html", data), "");
}

TEST_F(NavigationTest, LocalCopiesKeepFragmentsOfPagesOnlyAndStayInTheDataDirectory) {
  Saved("server\\a.html");
  Saved("server\\pic.gif");
  struct Row {
    std::string localFile;
    bool exists;
    std::string open;  // relative to the data directory
  };
  const std::vector<Row> rows = {
      {"server\\a.html#sec", true, "server\\a.html#sec"},
      {"server\\pic.gif#x", true, "server\\pic.gif"},
      {"server\\none.html#x", false, "server\\none.html"},
      {"..\\zentu.ini", false, "..\\zentu.ini"},
  };
  for (const Row& row : rows) {
    TreeNode item;
    item.localFile = row.localFile;
    LocalCopy copy = ResolveLocalCopy(item, profile.dirs.data);
    EXPECT_EQ(copy.exists, row.exists) << row.localFile;
    EXPECT_EQ(copy.open, os::JoinPath(profile.dirs.data, row.open)) << row.localFile;
  }
  TreeNode absolute;
  absolute.localFile = Path("zentu.ini");
  LocalCopy copy = ResolveLocalCopy(absolute, profile.dirs.data);
  EXPECT_TRUE(copy.absolute);
  EXPECT_EQ(copy.open, Path("zentu.ini"));
}

TEST_F(NavigationTest, ActivatingRowsSwitchesBetweenCopyAndOriginal) {
  TreeNode folder, done, failed, failedWithCopy, fresh, freshCopy, text, sub, imported;
  folder.type = sub.type = kNodeFolder;
  done.url = failed.url = failedWithCopy.url = fresh.url = freshCopy.url = "http://s/p.html";
  done.downloadFlag = kDownloadDone;
  failed.downloadFlag = failedWithCopy.downloadFlag = kDownloadError;
  failedWithCopy.localFile = freshCopy.localFile = "s\\p.html";
  text.property = kPropertyTextItem;
  text.url = "Z:\\t\\x.txt";
  imported.url = "Z:\\docs\\x.pdf";
  int id = 0;
  for (TreeNode* n : {&done, &failed, &failedWithCopy, &fresh, &freshCopy, &text, &sub, &imported}) n->listId = id++;

  LastOpened last;
  using K = OpenAction;
  struct Row {
    const TreeNode* node;
    K::Kind kind;
    bool markRead;
  };
  const std::vector<Row> first = {
      {&done, K::LocalCopy, false},        {&failed, K::FailedPage, false}, {&failedWithCopy, K::LocalCopy, false},
      {&fresh, K::Original, true},         {&freshCopy, K::LocalCopy, true}, {&text, K::TextInEditor, true},
      {&sub, K::SelectFolder, false},      {&imported, K::Original, true},
  };
  for (const Row& row : first) {
    last.Clear();
    OpenAction a = ActivateListItem(profile, &folder, row.node, last);
    EXPECT_EQ(a.kind, row.kind) << row.node->listId;
    EXPECT_EQ(a.markRead, row.markRead) << row.node->listId;
  }
  EXPECT_TRUE(os::FileExists(FailedDownloadPage(profile)));

  // Saved copy, original, saved copy again.
  last.Clear();
  EXPECT_EQ(ActivateListItem(profile, &folder, &done, last).kind, K::LocalCopy);
  OpenAction again = ActivateListItem(profile, &folder, &done, last);
  EXPECT_EQ(again.kind, K::Original);
  EXPECT_EQ(again.url, "http://s/p.html");
  EXPECT_EQ(ActivateListItem(profile, &folder, &done, last).kind, K::LocalCopy);
  // The text item goes to the browser on its second activation.
  last.Clear();
  ActivateListItem(profile, &folder, &text, last);
  EXPECT_EQ(ActivateListItem(profile, &folder, &text, last).kind, K::Original);
  // Single-click opening never switches: every activation is a first one.
  profile.OpenByDoubleClick = false;
  last.Clear();
  ActivateListItem(profile, &folder, &done, last);
  EXPECT_EQ(ActivateListItem(profile, &folder, &done, last).kind, K::LocalCopy);
  EXPECT_EQ(ActivateListItem(profile, nullptr, &done, last).kind, K::Nothing);
}

TEST_F(NavigationTest, HowOriginalsOpen) {
  struct Row {
    int wait;
    bool doubleClick, newTab;
    OriginalOpen how;
  } rows[] = {
      {250, true, false, OriginalOpen::Now},       {250, true, true, OriginalOpen::NewTab},
      {250, false, true, OriginalOpen::Deferred},  {0, false, true, OriginalOpen::Now},
      {-1, false, false, OriginalOpen::Now},
  };
  for (const Row& r : rows) {
    profile.WaitTimeForOpenURL = r.wait;
    profile.OpenByDoubleClick = r.doubleClick;
    profile.OpenItemByNewTab = r.newTab;
    EXPECT_EQ(HowToOpenOriginal(profile), r.how) << r.wait << r.doubleClick << r.newTab;
  }
}

}  // namespace
}  // namespace zentu
