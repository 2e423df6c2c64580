#include "capture/rules.h"

#include <atomic>
#include <thread>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "store/configfiles.h"
#include "store/profile.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

class RulesTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ClearCaptureRules();
    CopyData("rules", "Config");
    config = Path("Config");
  }
  void TearDown() override {
    ClearCaptureRules();
    TempHome::TearDown();
  }
  std::string Config(const std::string& name) const { return os::JoinPath(config, name); }
  std::string Convert(const std::string& tag, int& changed) { return ApplyConvertRules(tag, changed); }
  std::string config;
};

// Loading a rule file and saving it again gives the same bytes.
TEST_F(RulesTest, EveryRuleFileRoundTripsByteForByte) {
  struct Row {
    const char* name;
    int (*load)(std::string_view);
    int (*save)(std::string_view);
  };
  const Row rows[] = {
      {kRejectFileName, LoadRejectRules, SaveRejectRules},
      {kConvertFileName, LoadConvertRules, SaveConvertRules},
      {kExtensionFileName, LoadExtensionList, SaveExtensionList},
      {kReferrerFileName, LoadReferrerList, SaveReferrerList},
      {kPasswordFileName, LoadPasswordList, SavePasswordList},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(row.load(Config(row.name)), 1);
    std::string out = std::string("out-") + row.name;
    ASSERT_EQ(row.save(Path(out)), 1);
    std::string original = ReadNative(std::string("Config/") + row.name);
    ASSERT_FALSE(original.empty());
    EXPECT_EQ(ReadNative(out), original);
  }
  // The default extension file is exactly the fixture.
  ASSERT_EQ(WriteDefaultExtensionFile(Path("default-ext.dat")), 1);
  EXPECT_EQ(ReadNative("default-ext.dat"), ReadNative("Config/extension.dat"));
}

TEST_F(RulesTest, LoadedListsHoldWhatTheFilesSay) {
  ASSERT_EQ(LoadRejectRules(Config(kRejectFileName)), 1);
  EXPECT_EQ(GetRejectRules(), (RuleList{"/\\.gif$/", "/^http:\\/\\/ads\\./", "/banner/i", SJ("/表示/k")}));
  ASSERT_EQ(LoadConvertRules(Config(kConvertFileName)), 1);
  EXPECT_EQ(GetConvertRules().size(), 3u);
  ASSERT_EQ(LoadExtensionList(Config(kExtensionFileName)), 1);
  EXPECT_EQ(GetExtensionList(kDownloadAsBinary).size(), 23u);
  EXPECT_EQ(GetExtensionList(kOpenByBrowser).size(), 28u);
  ASSERT_EQ(LoadReferrerList(Config(kReferrerFileName)), 1);
  EXPECT_EQ(GetReferrerList().size(), 3u);  // the header's example is a comment
  ASSERT_EQ(LoadPasswordList(Config(kPasswordFileName)), 1);
  std::vector<AccountEntry> accounts = GetPasswordList();
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(accounts[0], (AccountEntry{"http://www.example.com/members/", "alice", "s3cret"}));
  EXPECT_EQ(accounts[1], (AccountEntry{"intra.example.org/", "bob", SJ("パス")}));
  EXPECT_EQ(accounts[2], (AccountEntry{"http://empty.example.net/", "", ""}));
}

TEST_F(RulesTest, RuleLineSyntax) {
  struct Row {
    std::string line;
    bool reject;
    bool convert;
  };
  const Row rows[] = {
      {"/\\.gif$/", true, false},
      {"/a/b/", false, false},        // three unescaped slashes
      {"/a\\/b/", true, false},       // the middle one escaped
      {"/a\\\\/b/", false, false},    // an escaped backslash does not escape the slash
      {"/a/i", true, false},          // flags after the pattern
      {SJ("/表/k"), true, false},     // the trail byte of 表 is 0x5C
      {"s/a/b/", false, true},
      {"s/a/b/gi", false, true},      // a flag after the third slash
      {"s/a/b", false, false},        // no third slash
      {"s/a\\/b/c/", false, true},
      {"m/a/", false, false},
      {"", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(IsRejectRuleLine(row.line), row.reject);
    EXPECT_EQ(IsConvertRuleLine(row.line), row.convert);
  }
}

TEST_F(RulesTest, RejectRulesRefuseMatchingLinks) {
  log::SetDebugFlag(true);
  WriteNative("r.dat", "# comment\r\n/\\.gif$/\r\n/a/b/\r\n/a\\/b/\r\nnot a rule\r\n");
  ASSERT_EQ(LoadRejectRules(Path("r.dat")), 1);
  EXPECT_TRUE(LogContains("rule error = /a/b/"));
  EXPECT_EQ(GetRejectRules(), (RuleList{"/\\.gif$/", "/a\\/b/"}));

  struct Row {
    const char* url;
    bool allowed;
  };
  const Row rows[] = {
      {"http://example.com/x.gif", false},
      {"http://example.com/x.gif", false},  // second time: from the set of refused URLs
      {"http://example.com/x.gif?v=1", true},
      {"http://example.com/a/b/c.html", false},
      {"http://example.com/page.html", true},
      {"http://wiki.example.com/?cmd=edit&page=Top", false},
      {"http://wiki.example.com/?cmd=edit", true},  // no "&": not a wiki command
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    EXPECT_EQ(IsLinkAllowed(row.url), row.allowed);
  }
  // Replacing the rules forgets the URLs they refused.
  SetRejectRules({"/\\.png$/"});
  EXPECT_TRUE(IsLinkAllowed("http://example.com/x.gif"));
  EXPECT_FALSE(IsLinkAllowed("http://example.com/x.png"));
}

TEST_F(RulesTest, SjisPatternWithBackslashTrailByte) {
  SetRejectRules({SJ("/表示/k")});
  EXPECT_FALSE(IsLinkAllowed(SJ("http://example.com/表示.html")));
  EXPECT_TRUE(IsLinkAllowed(SJ("http://example.com/一覧.html")));
}

TEST_F(RulesTest, WikiCommandFilter) {
  struct Row {
    const char* url;
    bool command;
  };
  const Row rows[] = {
      {"http://w/?cmd=backup&page=A", true},     {"http://w/?cmd=diff&page=A", true},
      {"http://w/?cmd=search&word=x", true},     {"http://w/?cmd=upload&page=A", true},
      {"http://w/?cmd=freeze&page=A", true},     {"http://w/?cmd=unfreeze&page=A", true},
      {"http://w/?cmd=read&page=A", false},      {"http://w/?cmd=edit", false},
      {"http://w/?plugin=referer&page=A", true}, {"http://w/?plugin=template&refer=A", true},
      {"http://w/?plugin=rename&refer=A", true}, {"http://w/?plugin=newpage&refer=A", true},
      {"http://w/?plugin=attach&refer=A", true}, {"http://w/?plugin=attach&pcmd=list", false},
      {"http://w/?plugin=attach&cmd=open&x", true}, {"http://w/?plugin=attach&delfile=1", true},
      {"http://w/?plugin=calendar&page=A", false}, {"http://w/index.html", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    EXPECT_EQ(IsWikiCommandLink(row.url), row.command);
    EXPECT_EQ(IsLinkAllowed(row.url), !row.command);
  }
}

TEST_F(RulesTest, ConvertRulesFirstReplacingRuleWins) {
  SetConvertRules({"s/ target=\"_blank\"//", "s/ (TARGET|target)=\"_[a-z]+\"/ X/", "s/%7E/~/g",
                   "s/<img [^>]*>//"});
  struct Row {
    const char* tag;
    const char* out;
    int changed;
  };
  const Row rows[] = {
      // Both of the first two rules match: only the first changes the tag.
      {"<a href=\"x.html\" target=\"_blank\">", "<a href=\"x.html\">", 1},
      {"<a href=\"x.html\" TARGET=\"_top\">", "<a href=\"x.html\" X>", 1},
      {"<a href=\"/%7Eme/%7Eyou\">", "<a href=\"/~me/~you\">", 1},
      {"<img src=\"ad.gif\">", "", 1},  // converted to nothing: the tag is left out
      {"<p class=\"plain\">", "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tag);
    int changed = -1;
    EXPECT_EQ(Convert(row.tag, changed), row.out);
    EXPECT_EQ(changed, row.changed);
  }
}

TEST_F(RulesTest, MissingConvertFileGivesTheDefaultRule) {
  EXPECT_EQ(LoadConvertRules(Path("nowhere/convert.dat")), 0);
  EXPECT_EQ(GetConvertRules(), RuleList{"s/&amp;/&/g"});
  int changed = 0;
  EXPECT_EQ(Convert("<a href=\"a?x=1&amp;y=2\">", changed), "<a href=\"a?x=1&y=2\">");
  ASSERT_EQ(SaveConvertRules(Path("convert.dat")), 1);
  std::string fixture = ReadNative("Config/convert.dat");
  std::string header = fixture.substr(0, fixture.find("s/&amp;"));
  EXPECT_EQ(ReadNative("convert.dat"), header + "s/&amp;/&/g\r\n");
  // A missing reject file leaves no rules.
  EXPECT_EQ(LoadRejectRules(Path("nowhere/reject.dat")), 0);
  EXPECT_TRUE(GetRejectRules().empty());
}

TEST_F(RulesTest, BadInputPatternsAreLoggedOnceAndSkipped) {
  WriteNative("r.dat", "/(unclosed/\r\n/\\.gif$/\r\n");
  ASSERT_EQ(LoadRejectRules(Path("r.dat")), 1);
  EXPECT_TRUE(LogContains("regexp error: "));
  size_t before = log::Lines().size();
  EXPECT_FALSE(IsLinkAllowed("http://example.com/a.gif"));
  EXPECT_TRUE(IsLinkAllowed("http://example.com/(unclosed"));
  EXPECT_EQ(log::Lines().size(), before);
  // The bad rule stays in the file for the user to mend.
  EXPECT_EQ(GetRejectRules().size(), 2u);

  SetConvertRules({"s/(x/y/", "s/a/b/"});
  int changed = 0;
  EXPECT_EQ(Convert("<a>", changed), "<b>");
  EXPECT_EQ(changed, 1);
}

TEST_F(RulesTest, BadInputRuleFilesLoadAsFarAsTheyAreSound) {
  log::SetDebugFlag(true);
  // A line over the limit whose tail would look like a rule of its own, binary
  // bytes, a NUL inside a rule line, a bare CR, and a last line without its end.
  std::string longLine = "/" + std::string(3000, 'a') + "/b/";
  std::string fullLine = "/" + std::string(2045, 'c') + "/";  // exactly the limit
  std::string bytes = "/one/\r\n" + longLine + "\r\n" + std::string("\x01\xff\xfe/\x80\r\n", 7) +
                      std::string("/nul\0x/\r\n", 9) + fullLine + "\r\n/two/\r\r\n/three/";
  WriteNative("r.dat", bytes);
  ASSERT_EQ(LoadRejectRules(Path("r.dat")), 1);
  EXPECT_EQ(GetRejectRules(), (RuleList{"/one/", fullLine, "/two/", "/three/"}));
  EXPECT_TRUE(LogContains("rule error = /aaaa"));

  // Binary garbage in every other file: nothing crashes, sound lines survive.
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919) & 0xFF);
  WriteNative("ref.dat", garbage + "\r\nhttp://a.example/\thttp://b.example/\r\nno-tab-here\r\n");
  LoadReferrerList(Path("ref.dat"));
  std::string referer;
  EXPECT_TRUE(FindReferrer("http://a.example/x", referer));
  EXPECT_EQ(referer, "http://b.example/");

  WriteNative("pw.dat", garbage + "\r\nhttp://a.example/\tu\t" + EncodePassword("p") +
                            "\r\nhttp://b.example/\tonly-two-fields\r\nhttp://c.example/\tu\tzz\r\n" +
                            "http://d.example/\tu\tabc\r\n");
  LoadPasswordList(Path("pw.dat"));
  std::vector<AccountEntry> accounts = GetPasswordList();
  ASSERT_FALSE(accounts.empty());
  EXPECT_EQ(accounts.back(), (AccountEntry{"http://a.example/", "u", "p"}));

  WriteNative("conv.dat", garbage + "\r\ns/x/y/\r\n" + std::string(5000, 's') + "\r\n");
  LoadConvertRules(Path("conv.dat"));
  EXPECT_EQ(GetConvertRules().back(), "s/x/y/");
}

TEST_F(RulesTest, BadInputSettersKeepOnlyWhatSavesSoundly) {
  EXPECT_EQ(SetRejectRules({"/ok/", "/a/b/", "/line\r\nbreak/", "no-slash", "/" + std::string(3000, 'x') + "/"}),
            4);
  EXPECT_EQ(GetRejectRules(), RuleList{"/ok/"});
  EXPECT_EQ(SetReferrerList({{"http://a/", "http://r/"}, {"", "http://r/"}, {"http://b/\t", "x"},
                             {"http://c/", "x\r\nEvil: 1"}, {"#http://d/", "x"}}),
            4);
  EXPECT_EQ(GetReferrerList().size(), 1u);
  EXPECT_EQ(SetPasswordList({{"http://a/", "u", "p\tq\r\n"}, {"http://b/", "u\tv", "p"}}), 1);
  ASSERT_EQ(SavePasswordList(Path("pw.dat")), 1);
  ASSERT_EQ(LoadPasswordList(Path("pw.dat")), 1);
  EXPECT_EQ(GetPasswordList(), (std::vector<AccountEntry>{{"http://a/", "u", "p\tq\r\n"}}));
  EXPECT_EQ(SetExtensionList(kDownloadAsBinary, {"png", "", "#x", "[OPEN BY BROWSER]", "a\nb"}), 4);
}

TEST_F(RulesTest, ExtensionListsAndFileTypes) {
  ASSERT_EQ(LoadExtensionList(Config(kExtensionFileName)), 1);
  struct Row {
    const char* name;
    int which;
    int type;
  };
  const Row rows[] = {
      {"", 1, 0},
      {"Z:\\data\\photo.JPG", 1, 2},
      {"http://example.com/a/photo.jpeg", 1, 2},
      {"page.html", 1, 1},
      {"page.html", 2, 2},
      {"program.exe", 1, 1},
      {"program.exe", 2, 2},
      {"notes.txt", 2, 1},
      {"README", 1, 1},
      {"http://example.com/img.gif?size=2", 1, 1},  // no extension at the end
      {"archive.zip", 3, 1},                        // no such list
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(CheckFileType(row.name, row.which), row.type);
  }
}

TEST_F(RulesTest, ExtensionFileMissingMisspeltOrOld) {
  // Missing: the default file is written and read.
  std::string path = os::JoinPath(Path("ext"), "extension.dat");
  ASSERT_TRUE(os::CreateDirectories(Path("ext")));
  EXPECT_EQ(LoadExtensionList(path), 0);
  EXPECT_EQ(ReadNative("ext/extension.dat"), ReadNative("Config/extension.dat"));
  EXPECT_EQ(GetExtensionList(kDownloadAsBinary).size(), 23u);

  // The old misspelt name is renamed, with an apology.
  ASSERT_TRUE(os::DeleteFile(path));
  WriteNative("ext/extention.dat", "[DOWNLOAD AS BINARY]\r\nxyz\r\n[OPEN BY BROWSER]\r\nabc\r\n");
  EXPECT_EQ(LoadExtensionList(path), 1);
  EXPECT_FALSE(os::FileExists(os::JoinPath(Path("ext"), "extention.dat")));
  EXPECT_EQ(GetExtensionList(kDownloadAsBinary), RuleList{"xyz"});
  EXPECT_EQ(GetExtensionList(kOpenByBrowser), RuleList{"abc"});
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].caption, SJ("スミマセン"));

  // No section header: the old format is kept as .bak and replaced.
  WriteNative("ext/extension.dat", "jpg\r\ngif\r\n");
  EXPECT_EQ(LoadExtensionList(path), 0);
  EXPECT_EQ(ReadNative("ext/extension.dat.bak"), "jpg\r\ngif\r\n");
  EXPECT_EQ(ReadNative("ext/extension.dat"), ReadNative("Config/extension.dat"));
  EXPECT_EQ(GetExtensionList(kOpenByBrowser).size(), 28u);
  ASSERT_EQ(desktop.messages.size(), 2u);
  EXPECT_NE(desktop.messages[1].text.find("extension.dat.bak"), std::string::npos);
}

TEST_F(RulesTest, ReferrerLookUpInPrefixOrder) {
  ASSERT_EQ(LoadReferrerList(Config(kReferrerFileName)), 1);
  struct Row {
    const char* url;
    std::string referer;  // empty: no entry
  };
  const Row rows[] = {
      // Prefix order: the shorter prefix sorts first and wins.
      {"http://img.example.jp/photo/1.jpg", "http://www.example.jp/"},
      {"HTTP://IMG.EXAMPLE.JP/a.png", "http://www.example.jp/"},
      {"http://static.example.net/x.css", SJ("http://example.net/ページ.html")},
      {"http://www.example.jp/", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    std::string header = "GET / HTTP/1.0";
    int added = AddReferrer(row.url, header);
    EXPECT_EQ(added, row.referer.empty() ? 0 : 1);
    EXPECT_EQ(header, row.referer.empty() ? "GET / HTTP/1.0" : "GET / HTTP/1.0\r\nReferer: " + row.referer);
  }
}

TEST_F(RulesTest, ReferrerFileUnderItsOldNameIsRenamed) {
  WriteNative("old/referrer.da_", "http://a/\thttp://b/\r\n");
  EXPECT_EQ(LoadReferrerList(Path("old/referrer.dat")), 1);
  EXPECT_TRUE(os::FileExists(Path("old/referrer.dat")));
  EXPECT_TRUE(LogContains("Rename: "));
  EXPECT_EQ(GetReferrerList(), (std::vector<ReferrerEntry>{{"http://a/", "http://b/"}}));
  EXPECT_EQ(LoadReferrerList(Path("old/none.dat")), 0);
  EXPECT_TRUE(LogContains("# file not found : "));
}

TEST_F(RulesTest, PasswordFormAndLookUp) {
  EXPECT_EQ(EncodePassword("s3cret"), "8ccc9c8d9a8b");
  std::string plain;
  ASSERT_TRUE(DecodePassword("8CCC9C8D9A8B", plain));
  EXPECT_EQ(plain, "s3cret");
  for (const char* bad : {"8cc", "zz", "8c c"}) EXPECT_FALSE(DecodePassword(bad, plain)) << bad;

  ASSERT_EQ(LoadPasswordList(Config(kPasswordFileName)), 1);
  SetPasswordList([] {
    auto list = GetPasswordList();
    list.push_back({"", "nobody", "x"});  // matches nothing
    list.push_back({"http://www.example.com", "carol", "c"});
    return list;
  }());
  struct Row {
    const char* url;
    const char* user;  // nullptr: no account
  };
  const Row rows[] = {
      {"http://www.example.com/members/index.html", "alice"},
      {"http://www.example.com/public/", "carol"},
      {"http://www.example.com:8080/x", "carol"},
      {"http://www.example.com.evil.net/", nullptr},
      {"http://intra.example.org/wiki/", "bob"},
      {"https://intra.example.org/", "bob"},
      {"http://evil.net/?intra.example.org/", nullptr},
      {"http://other.example.org/", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    std::string user, password;
    bool found = FindPassword(row.url, user, password);
    EXPECT_EQ(found, row.user != nullptr);
    if (row.user) {
      EXPECT_EQ(user, row.user);
    }
  }
}

TEST_F(RulesTest, SavingFailsCleanlyAndRespectsFlagSave) {
  ASSERT_EQ(LoadRejectRules(Config(kRejectFileName)), 1);
  std::string before = ReadNative("Config/reject.dat");
  SetRejectRules({"/changed/"});
  os::SetFileFaultAt(1);
  EXPECT_EQ(SaveRejectRules(Config(kRejectFileName)), 0);
  os::SetFileFaultAt(0);
  EXPECT_TRUE(LogContains("# File locked? : "));
  EXPECT_EQ(ReadNative("Config/reject.dat"), before);

  ASSERT_EQ(LoadReferrerList(Config(kReferrerFileName)), 1);
  CurrentProfile().FlagSave = false;
  EXPECT_EQ(SaveReferrerList(Path("ref-out.dat")), 0);
  EXPECT_EQ(SavePasswordList(Path("pw-out.dat")), 0);
  CurrentProfile().FlagSave = true;
  EXPECT_FALSE(os::FileExists(Path("ref-out.dat")));
  EXPECT_FALSE(os::FileExists(Path("pw-out.dat")));
}

TEST_F(RulesTest, ConfigurationTableLoadsAndSavesTheRuleFiles) {
  ResetConfigFileHooks();
  InstallRuleFileHooks();
  Profile profile;
  SetProfileDefaults(profile);
  profile.ProgramDirectory = home;
  ResolveDirectories(profile);
  ASSERT_EQ(profile.dirs.config, config);
  LoadConfigFiles(profile);
  LoadWindowConfigFiles(profile);
  EXPECT_EQ(GetRejectRules().size(), 4u);
  EXPECT_EQ(GetConvertRules().size(), 3u);
  EXPECT_EQ(GetReferrerList().size(), 3u);
  EXPECT_EQ(GetPasswordList().size(), 3u);
  EXPECT_EQ(CheckFileType("a.png", kDownloadAsBinary), 2);
  EXPECT_TRUE(LogContains("Load Extension List ["));

  SetRejectRules({"/x/"});
  SetPasswordList({});
  std::string passwords = ReadNative("Config/password.dat");
  profile.FlagSave = false;  // the account files stay as they were
  SaveConfigFiles(profile);
  EXPECT_EQ(ReadNative("Config/password.dat"), passwords);
  EXPECT_NE(ReadNative("Config/reject.dat").find("\r\n/x/\r\n"), std::string::npos);
  profile.FlagSave = true;
  SaveConfigFiles(profile);
  EXPECT_EQ(ReadNative("Config/password.dat"), "# URL-USER-PASS LIST\r\n");
  ResetConfigFileHooks();
}

// Workers read the lists while the user replaces them.
TEST_F(RulesTest, ListsAreSafeToReadWhileReplaced) {
  SetRejectRules({"/\\.gif$/"});
  SetConvertRules({"s/a/b/g"});
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      int changed = 0;
      for (int i = 0; !stop; ++i) {
        std::string url = "http://example.com/" + std::to_string(t) + "/" + std::to_string(i);
        if (!IsLinkAllowed(url + ".html")) ++wrong;
        std::string out = ApplyConvertRules("<a>", changed);
        if (out != "<b>" && out != "<c>") ++wrong;
        (void)CheckFileType("x.png", kDownloadAsBinary);
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    SetRejectRules(i % 2 ? RuleList{"/\\.gif$/"} : RuleList{"/\\.png$/", "/\\.gif$/"});
    SetConvertRules(i % 2 ? RuleList{"s/a/b/g"} : RuleList{"s/a/c/"});
    SetExtensionList(kDownloadAsBinary, {"png"});
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zentu

namespace zentu {
namespace {

// What the settings dialogs ask before they take a rule: hostile patterns are
// named bad (never crash the service), sound ones pass in either kind.
TEST_F(RulesTest, BadInputRulePatternErrorNamesBrokenPatterns) {
  struct Row {
    std::string rule;
    bool convert;
    bool bad;
  };
  const std::vector<Row> rows = {
      {"/\\.gif$/", false, false},
      {"/" + SJ("表示") + "/k", false, false},
      {"/(unclosed/", false, true},
      {"/[z-a]/", false, true},
      {"/a{2,1}/", false, true},
      {"/" + std::string(4000, '(') + "/", false, true},
      {"/\x81/", false, false},  // a lone lead byte is only a byte to match
      {"s/ target=\"_blank\"//", true, false},
      {"s/(a|b/c/", true, true},
      {"s/a/$9/", true, false},
      {"s/\\/", true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rule.substr(0, 40));
    const std::string error = RulePatternError(row.rule, row.convert);
    EXPECT_EQ(!error.empty(), row.bad) << error;
  }
  // A garbage pattern of every byte: an answer, whatever it is.
  std::string garbage = "/";
  for (int i = 1; i < 256; ++i)
    if (i != '/') garbage += static_cast<char>(i);
  garbage += "/";
  (void)RulePatternError(garbage, false);
  (void)RulePatternError("s" + garbage + "x/", true);
}

}  // namespace
}  // namespace zentu
