#include "browser/lists.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "os/file.h"
#include "os/path.h"
#include "os/log.h"
#include "store/configfiles.h"
#include "store/profile.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

using Opened = std::vector<std::pair<std::string, std::string>>;

class BrowserListsTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetConfigFileHooks();
    ResetBrowserLists();
    LoadProfile(profile, Path("zentu.ini"));
    log::SetDebugFlag(true);
    log::Clear();
  }
  void TearDown() override {
    log::SetDebugFlag(false);
    ResetConfigFileHooks();
    ResetBrowserLists();
    TempHome::TearDown();
  }
  OpenTabFn Recorder() {
    return [this](std::string_view title, std::string_view url) { opened.emplace_back(title, url); };
  }
  std::string Config(const std::string& name) { return os::JoinPath(profile.dirs.config, name); }
  std::string Read(const std::string& path) {
    std::string text;
    EXPECT_TRUE(os::ReadWholeFile(path, text));
    return text;
  }
  void Write(const std::string& path, const std::string& text) {
    ASSERT_TRUE(os::CreateDirectories(os::DirectoryOf(path)));
    ASSERT_TRUE(os::WriteFileAtomic(path, text));
  }
  Profile profile;
  Opened opened;
};

TEST_F(BrowserListsTest, StartListOpensItsPagesOrTheStartUrl) {
  struct Row {
    std::string content;  // "" = no file
    std::string startUrl;
    Opened expected;
    bool result;
  };
  const std::vector<Row> rows = {
      {"", "about:blank", {{"blank", "about:blank"}}, false},
      {"# only\r\n#comments\r\n\r\nx\r\n", "http://s/", {{"Zentu [Start Page]", "http://s/"}}, false},
      {"http://a/\r\n# c\r\nhttp://b/x.html\r\n", "about:blank",
       {{"Loading...", "http://a/"}, {"Loading...", "http://b/x.html"}}, true},
      // A last line without its line end keeps its last character.
      {"http://a/b", "about:blank", {{"Loading...", "http://a/b"}}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content);
    std::string path = Config("start.dat");
    (void)os::DeleteFile(path);
    if (!row.content.empty()) Write(path, row.content);
    profile.ZentuStartURL = row.startUrl;
    opened.clear();
    EXPECT_EQ(LoadStartList(profile, path, Recorder()), row.result);
    EXPECT_EQ(opened, row.expected);
  }
}

TEST_F(BrowserListsTest, MissingStartListGetsItsDefaultAndAnOldOneMovesIn) {
  std::string path = Config("start.dat");
  LoadStartList(profile, path, Recorder());
  EXPECT_EQ(Read(path), "# Start URL List\r\n" + SJ("# 起動時に開くURLのリストを指定してください．\r\n") +
                            SJ("# 行頭が # の場合，コメントアウトとなります．\r\n") + "\r\n");
  EXPECT_TRUE(LogContains("Can't open file"));

  ASSERT_TRUE(os::DeleteFile(path));
  std::string old = Path("start.dat");
  Write(old, "http://old/\r\n");
  opened.clear();
  EXPECT_TRUE(LoadStartList(profile, path, Recorder()));
  EXPECT_EQ(opened, (Opened{{"Loading...", "http://old/"}}));
  EXPECT_FALSE(os::FileExists(old));
  EXPECT_TRUE(LogContains("rename " + old + " => " + path));
}

TEST_F(BrowserListsTest, LastOpenedSurvivesARestartThroughTheShutdownSave) {
  profile.OpenLastOpened = true;
  profile.ZentuStartURL = "http://start/";
  std::string local = "Z:\\data\\host\\a.html";
  InstallBrowserListHooks();
  SetOpenLocationsSource([&] {
    return std::vector<std::string>{"http://a/", "about:blank", "http://start/", local, "x"};
  });
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  std::string path = ConfigFilePath(profile, ConfigFile::LastOpened);
  EXPECT_EQ(Read(path), "http://a/\r\n" + local + "\r\nx\r\n");
  EXPECT_TRUE(LogContains("save opened item: " + path));

  EXPECT_EQ(LoadLastOpened(path, Recorder()), 2);  // "x" is too short to be a location
  EXPECT_EQ(opened, (Opened{{"Loading...", "http://a/"}, {"", local}}));

  profile.OpenLastOpened = false;
  ASSERT_TRUE(os::DeleteFile(path));
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  EXPECT_FALSE(os::FileExists(path));
}

TEST_F(BrowserListsTest, BlockListMatchesAnyPartOfTheUrl) {
  std::string path = Config("closeurl.dat");
  Write(path, "# c\r\nads.\r\nhttp://pop.example.org/x\r\nab\r\n");
  EXPECT_EQ(LoadBlockList(path), 1);
  EXPECT_EQ(BlockListEntries(), (std::vector<std::string>{"ads.", "http://pop.example.org/x", "ab"}));
  struct Row {
    const char* url;
    int allowed;
  } rows[] = {
      {"http://ads.example.com/banner", 0}, {"http://www.example.com/?r=ads.x", 0},
      {"http://pop.example.org/x/y", 0},    {"http://pop.example.org/", 1},
      {"http://ADS.example.com/", 1},       {"http://www.example.com/", 1},
  };
  SetBlockListEntries({"ads.", "http://pop.example.org/x"});
  for (const Row& row : rows) EXPECT_EQ(IsUrlAllowed(row.url), row.allowed) << row.url;
  SetBlockListEntries({});
  EXPECT_EQ(IsUrlAllowed("http://ads.example.com/"), 1);
}

TEST_F(BrowserListsTest, BlockListSurvivesARestartWithItsHeader) {
  InstallBrowserListHooks();
  std::string path = ConfigFilePath(profile, ConfigFile::CloseUrl);
  EXPECT_EQ(LoadConfigFile(profile, ConfigFile::CloseUrl), 1);  // missing: the default file is written
  std::string fresh = Read(path);
  EXPECT_EQ(fresh.rfind("# Close URL List\r\n", 0), 0u);
  EXPECT_NE(fresh.find(SJ("# 一部でも一致したら開かないようにしています\r\n")), std::string::npos);
  EXPECT_EQ(fresh.substr(fresh.size() - 4), "\r\n\r\n");

  SetBlockListEntries({"ads.", "tracker"});
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  EXPECT_EQ(Read(path), fresh.substr(0, fresh.size() - 2) + "ads.\r\ntracker\r\n\r\n");
  ResetBrowserLists();
  EXPECT_EQ(LoadConfigFile(profile, ConfigFile::CloseUrl), 1);
  EXPECT_EQ(BlockListEntries(), (std::vector<std::string>{"ads.", "tracker"}));
}

TEST_F(BrowserListsTest, KeywordsExpandWithTheirParameterText) {
  std::string path = Config("keyword2url.dat");
  Write(path, "g\thttp://search/?q=\r\nw\thttp://wiki/\r\ng\thttp://second/\r\nab\r\nnotab line\r\n");
  EXPECT_EQ(LoadKeywords(path), 1);
  EXPECT_EQ(Keywords().size(), 2u);
  struct Row {
    const char* typed;
    int result;
    const char* url;
  } rows[] = {
      {"g", 1, "http://search/?q="},
      {"g zentu", 1, "http://search/?q=zentu"},
      {"g two words", 1, "http://search/?q=two words"},  // the second blank stays
      {"w Main_Page", 1, "http://wiki/Main_Page"},
      {" g", 0, ""},  // empty keyword
      {"G x", 0, ""}, // exact text only; no dialog here
  };
  for (const Row& row : rows) {
    std::string url;
    EXPECT_EQ(ExpandKeyword(row.typed, url), row.result) << row.typed;
    EXPECT_EQ(url, row.url) << row.typed;
  }
  EXPECT_TRUE(LogContains("# match [g] -> [http://search/?q=]"));
}

TEST_F(BrowserListsTest, UnknownKeywordAsksTheDialogAndStoresTheEntry) {
  std::string path = Config("keyword2url.dat");
  std::vector<std::string> prefills;
  std::string answer = "http://dict/?w=";
  KeywordDialogFn dialog = [&](std::string& keyword, std::string& url) {
    prefills.push_back(keyword);
    url = answer;
    return true;
  };
  std::string url;
  EXPECT_EQ(ExpandKeyword("d word", url, dialog, path), 1);
  EXPECT_EQ(url, "http://dict/?w=word");
  EXPECT_EQ(prefills, std::vector<std::string>{"d"});
  EXPECT_EQ(Read(path), "d\thttp://dict/?w=\r\n");

  // An empty URL is refused: list and file stay as they were.
  answer = "";
  url.clear();
  EXPECT_EQ(ExpandKeyword("e x", url, dialog, path), 0);
  EXPECT_EQ(Keywords().size(), 1u);
  EXPECT_EQ(Read(path), "d\thttp://dict/?w=\r\n");
  ASSERT_FALSE(desktop.messages.empty());
  EXPECT_EQ(desktop.messages.back().text, SJ("登録できませんでした"));

  // "edit" opens the dialog and expands nothing; cancel gives 0.
  prefills.clear();
  EXPECT_EQ(ExpandKeyword("edit", url, dialog, path), 0);
  EXPECT_EQ(prefills, std::vector<std::string>{""});
  EXPECT_EQ(ExpandKeyword("zz", url, [](std::string&, std::string&) { return false; }, path), 0);

  // Saving is off: nothing is written.
  EXPECT_EQ(SaveKeywords(path + "2", false), 0);
  EXPECT_FALSE(os::FileExists(path + "2"));
}

TEST_F(BrowserListsTest, KeywordsSurviveARestartAndASpareFileIsTakenBack) {
  InstallBrowserListHooks();
  std::string path = ConfigFilePath(profile, ConfigFile::Keyword2Url);
  EXPECT_EQ(StoreKeywordEntry("z", "http://z/", "", true), 1);
  EXPECT_EQ(StoreKeywordEntry("a", "http://a/", "", true), 1);
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  EXPECT_EQ(Read(path), "a\thttp://a/\r\nz\thttp://z/\r\n");  // in key order
  ASSERT_TRUE(os::RenameFile(path, path.substr(0, path.size() - 1) + "_"));
  ResetBrowserLists();
  EXPECT_EQ(LoadConfigFile(profile, ConfigFile::Keyword2Url), 1);
  EXPECT_EQ(Keywords().size(), 2u);
  EXPECT_TRUE(os::FileExists(path));
}

TEST_F(BrowserListsTest, OpenKeywordHandsProgramsToTheShell) {
  StoreKeywordEntry("calc", "Z:\\usr\\bin\\calc.exe", "", true);
  StoreKeywordEntry("g", "http://search/?q=", "", true);
  std::vector<std::string> pages, programs;
  KeywordOpeners openers{[&](std::string_view u) { pages.emplace_back(u); },
                         [&](std::string_view u) { programs.emplace_back(u); }, {}};
  EXPECT_EQ(OpenKeyword("calc", openers), 1);
  EXPECT_EQ(OpenKeyword("g a b", openers), 1);
  EXPECT_EQ(OpenKeyword("none", openers), 0);
  EXPECT_EQ(programs, std::vector<std::string>{"Z:\\usr\\bin\\calc.exe"});
  EXPECT_EQ(pages, std::vector<std::string>{"http://search/?q=a b"});
}

}  // namespace
}  // namespace zentu
