#include "store/profile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

class ProfileTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
  }

  // Writes the UTF-8 text as a Shift_JIS profile with CR LF line ends and loads it.
  Profile Load(const std::string& utf8) {
    std::string text;
    for (char c : SJ(utf8.c_str())) {
      if (c == '\n') text += '\r';
      text += c;
    }
    return LoadRaw(text);
  }
  Profile LoadRaw(const std::string& bytes) {
    WriteNative("zentu.ini", bytes);
    Profile p;
    LoadProfile(p, Path("zentu.ini"));
    return p;
  }
  Profile Defaults() {
    Profile p;
    LoadProfile(p, Path("missing.ini"));
    return p;
  }
};

// (section, key) -> value of a formatted profile.
std::map<std::string, std::string> KeyLines(const std::string& text) {
  std::map<std::string, std::string> keys;
  std::string section;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line[0] == '[') {
      section = line;
      continue;
    }
    size_t eq = line.find('=');
    keys[section + line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

TEST_F(ProfileTest, EveryKeyRoundTripsByteForByte) {
  ::setenv("http_proxy", "http://cache.example.com:3128/", 1);
  CopyData("profile");
  Profile first;
  EXPECT_EQ(LoadProfile(first, Path("full.ini")), 3);

  // The sample holds every key the writer emits, in the writer's order and form.
  ASSERT_EQ(SaveProfile(first, Path("zentu.ini")), 1);
  const std::string written = ReadNative("zentu.ini");
  EXPECT_EQ(written, ReadNative("full.ini"));

  Profile second;
  LoadProfile(second, Path("zentu.ini"));
  EXPECT_TRUE(first == second);
  ASSERT_EQ(SaveProfile(second, Path("zentu.ini")), 1);
  EXPECT_EQ(ReadNative("zentu.ini"), written);

  // Each key was really read: apart from FlagSave (0 would stop the save) every
  // value differs from its default.
  auto full = KeyLines(FormatProfile(first));
  auto defaults = KeyLines(FormatProfile(Defaults()));
  EXPECT_EQ(full.size(), 236u);  // 245 lines less 9 section headers
  for (const auto& [key, value] : full) {
    if (key == "[Zentu]FlagSave") continue;
    EXPECT_NE(defaults[key], value) << key;
  }

  // Values whose stored form differs from the written one.
  EXPECT_EQ(first.TimeOut, 30000);
  EXPECT_EQ(first.DataDirectory, SJ("MyData\\表"));  // the trail byte 0x5C is no separator
  EXPECT_EQ(first.dirs.data, home + SJ("\\MyData\\表"));
  EXPECT_EQ(first.dirs.config, home + "\\Settings");
  EXPECT_EQ(first.dirs.error, home + "\\Errors");
  EXPECT_EQ(first.systemProxy, (SystemProxy{"cache.example.com", 3128, true}));
  EXPECT_EQ(first.ColumnArray, (std::array<int, 7>{6, 5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(first.NameOfMark[4], SJ("表"));
  EXPECT_EQ(first.NameOfMarkColumn, SJ("印"));
  EXPECT_EQ(first.TreeMarkTextColor[8], (Rgb{25, 26, 27}));
  EXPECT_EQ(first.ListMarkBackColor[0], (Rgb{101, 102, 103}));
  EXPECT_EQ(first.StatusBackColor[8], (Rgb{0, 9, 0}));
  EXPECT_EQ(first.LogViewWindowSize, (WindowRect{110, 120, 700, 400}));
  EXPECT_TRUE(LogContains("Proxy Server (IE) = cache.example.com:3128"));
  EXPECT_TRUE(LogContains("ZentuFile = Z:\\srv\\zentu\\tree.html"));
  EXPECT_TRUE(LogContains("SaveProfileData : " + Path("zentu.ini")));
}

TEST_F(ProfileTest, DefaultsWhenTheFileIsMissing) {
  SetWorkArea(1920, 1080);
  Profile p = Defaults();
  SetWorkArea(1024, 768);
  EXPECT_TRUE(LogContains("> not found : " + Path("missing.ini")));
  EXPECT_EQ(p.Width, 1900);
  EXPECT_EQ(p.Height, 1060);
  EXPECT_EQ(p.ZentuFile, home + "\\default.html");
  EXPECT_EQ(p.ZentuFileLocal, home + "\\local.html");
  EXPECT_EQ(p.DataDirectory, "Data");
  EXPECT_EQ(p.dirs.data, home + "\\Data");
  EXPECT_EQ(p.dirs.exportDir, home + "\\Export");
  EXPECT_EQ(p.dirs.log, home + "\\Log");
  EXPECT_EQ(p.TimeOut, 120000);
  EXPECT_EQ(p.FontTypeFace, SJ("ＭＳ ゴシック"));
  EXPECT_EQ(p.Editor, "notepad.exe");
  // Mark names: one "no mark" name and nine numbered ones, all distinct and short.
  for (int i = 0; i <= 9; ++i) {
    EXPECT_FALSE(p.NameOfMark[i].empty());
    EXPECT_LE(p.NameOfMark[i].size(), 31u);
    for (int j = 0; j < i; ++j) EXPECT_NE(p.NameOfMark[i], p.NameOfMark[j]);
  }
  for (const auto* colours : {&p.TreeMarkTextColor, &p.ListMarkBackColor})
    for (const Rgb& c : *colours) EXPECT_TRUE(c.red >= 0 && c.red <= 255 && c.blue >= 0 && c.blue <= 255);
  // Saving the defaults leaves the default tree file unnamed.
  ASSERT_EQ(SaveProfile(p, Path("zentu.ini")), 1);
  std::string disk = ReadNative("zentu.ini");
  EXPECT_EQ(disk.find("ZentuFile="), std::string::npos);
  EXPECT_NE(disk.find("ZentuFile(Local)="), std::string::npos);
  EXPECT_EQ(disk.substr(0, 9), "[Zentu]\r\n");
  EXPECT_EQ(disk.find("\n\n"), std::string::npos);
}

TEST_F(ProfileTest, OnlyTheNonDefaultFlagFormIsRecognised) {
  struct Case {
    const char* line;
    bool Profile::*field;
    bool expected;
  };
  const Case cases[] = {
      {"OpenByDoubleClick=2", &Profile::OpenByDoubleClick, true},
      {"OpenByDoubleClick=0", &Profile::OpenByDoubleClick, false},
      {"openbydoubleclick=0", &Profile::OpenByDoubleClick, false},
      {"OpenByDoubleClick=0 ", &Profile::OpenByDoubleClick, false},
      {"OpenByDoubleClick=00", &Profile::OpenByDoubleClick, true},
      {"OpenByDoubleClick=", &Profile::OpenByDoubleClick, true},
      {"OpenItemByNewTab=1", &Profile::OpenItemByNewTab, true},
      {"OpenItemByNewTab=2", &Profile::OpenItemByNewTab, false},
      {"OpenItemByNewTab=yes", &Profile::OpenItemByNewTab, false},
      {"OpenLocalFileOnly=1", &Profile::OpenLocalFileOnly, true},
      {"CheckDefinitely=1", &Profile::CheckDefinitely, true},
      {"ViewFolderFlag=1", &Profile::ViewFolderFlag, true},
      {"UseProxy=1", &Profile::UseProxy, true},
      {"UseProxy=0", &Profile::UseProxy, false},
      {"[Tree]\nViewFlag=0", &Profile::TreeViewFlag, false},
      {"[Tree]\nViewFlag=7", &Profile::TreeViewFlag, true},
      {"[LogView]\nViewFlag=1", &Profile::LogViewFlag, true},
      {"[DownloadManager]\nViewFlag=1", &Profile::DownloadManagerViewFlag, true},
  };
  for (const Case& c : cases) {
    Profile p = Load(std::string("[Zentu]\n") + c.line + "\n");
    EXPECT_EQ(p.*(c.field), c.expected) << c.line;
  }
}

TEST_F(ProfileTest, WholeKeyNamesAndSectionsDecide) {
  Profile p = Load(
      "ViewFolderFlag=1\n"           // not the [List] key ViewFolder
      "ZentuFile(Local)=Z:\\x\\l.html\n"  // not ZentuFile
      "NameOfMark1=Urgent\n"         // not the column name NameOfMark
      "NameOfMark10=Ten\n"           // marks stop at 9
      "NameOfMark0=Cleared\n"
      "Widthx=5\n"                   // extra letters after a key name
      "Xpos=500\n"                   // [Zentu] only, and no section yet
      "TimeOut=45\n"                 // any section, even before the first header
      "[Zentu] \n"                   // not a header: trailing blank
      "Width=640\n"
      "Ypos=77\n"
      "[Tree]\n"
      "Height=1\n"                   // the [List] pane's key, ignored here
      "Width=180\n"
      "[URL]\n"                      // does not switch: still [Tree]
      "Width=190\n"
      "ZentuStartURL=http://a.example/\n"
      "[List]\n"
      "Width=999\n"
      "Height=210\n"
      "ProxyPort=99\n"               // [Zentu] only
      "Mark3TextColor=(1,1,1)\n"
      "[DownloadManager]\n"
      "WindowSize=(1,2,300,400)\n"
      "[LOGVIEW]\n"                  // header case does not matter
      "WindowSize=(5,6,700,800)\n");
  Profile d = Defaults();
  EXPECT_EQ(p.ViewFolder, d.ViewFolder);
  EXPECT_TRUE(p.ViewFolderFlag);
  EXPECT_EQ(p.ZentuFile, d.ZentuFile);
  EXPECT_EQ(p.ZentuFileLocal, "Z:\\x\\l.html");
  EXPECT_EQ(p.NameOfMark[1], "Urgent");
  EXPECT_EQ(p.NameOfMark[0], "Cleared");
  EXPECT_EQ(p.NameOfMarkColumn, d.NameOfMarkColumn);
  EXPECT_EQ(p.Xpos, 10);
  EXPECT_EQ(p.TimeOut, 45000);
  EXPECT_EQ(p.Width, d.Width);  // "[Zentu] " did not switch to [Zentu]
  EXPECT_EQ(p.Ypos, 10);
  EXPECT_EQ(p.TreeWidth, 190);
  EXPECT_EQ(p.ListHeight, 210);
  EXPECT_EQ(p.ProxyPort, -1);
  EXPECT_EQ(p.ZentuStartURL, "http://a.example/");
  EXPECT_EQ(p.ListMarkTextColor[2], (Rgb{1, 1, 1}));
  EXPECT_EQ(p.TreeMarkTextColor[2], d.TreeMarkTextColor[2]);
  EXPECT_EQ(p.DownloadManagerWindowSize, (WindowRect{1, 2, 300, 400}));
  EXPECT_EQ(p.LogViewWindowSize, (WindowRect{5, 6, 700, 800}));
}

TEST_F(ProfileTest, ValuesNumbersColoursAndCaps) {
  const std::string longGroup(200, 'g');
  Profile p = Load("[Zentu]\n"
                   "Group=" + longGroup + "\n"
                   "NameOfMark1=" + std::string(30, 'm') + "表\n"  // 32 bytes: the two-byte character goes whole
                   "NameOfMark2=" + std::string(40, 'n') + "\n"
                   "Protocol=HTTP/1.1-extended\n"
                   "Browser=\n"
                   "Mailer=mail.exe\r\n"
                   "LastFolder=a b = c\n"
                   "Xpos=  -15\n"
                   "Ypos=+20px\n"
                   "LimitationOfLinkHop=x9\n"
                   "BackupInterval=99999999999\n"
                   "WaitTimeForRead=\n"
                   "TimeOut=-5\n"
                   "ColumnArray=0,1,2,3,4,5,5\n"
                   "[Editor]\n"
                   "FontColor=( 1, 2 ,3 )\n"
                   "EOFColor=(300,0,0)\n"
                   "CtrlColor=(1,2)\n"
                   "TagColor=1,2,3\n"
                   "LinkColor=(4,5,6\n"
                   "[DownloadManager]\n"
                   "WindowSize=(1,2,3)\n");
  Profile d = Defaults();
  EXPECT_EQ(p.Group, longGroup.substr(0, 127));
  EXPECT_EQ(p.NameOfMark[1], std::string(30, 'm'));
  EXPECT_EQ(p.NameOfMark[2], std::string(31, 'n'));
  EXPECT_EQ(p.Protocol, "HTTP/1.1-");
  EXPECT_EQ(p.Browser, "");
  EXPECT_EQ(p.Mailer, "mail.exe");
  EXPECT_EQ(p.LastFolder, "a b = c");
  EXPECT_EQ(p.Xpos, -15);
  EXPECT_EQ(p.Ypos, 20);
  EXPECT_EQ(p.LimitationOfLinkHop, 5);
  EXPECT_EQ(p.BackupInterval, 1);
  EXPECT_EQ(p.WaitTimeForRead, 3);
  EXPECT_EQ(p.TimeOut, 60000);
  EXPECT_EQ(p.ColumnArray, d.ColumnArray);
  EXPECT_EQ(p.FontColor, (Rgb{1, 2, 3}));
  EXPECT_EQ(p.EOFColor, d.EOFColor);
  EXPECT_EQ(p.CtrlColor, d.CtrlColor);
  EXPECT_EQ(p.TagColor, d.TagColor);
  EXPECT_EQ(p.LinkColor, (Rgb{4, 5, 6}));
  EXPECT_EQ(p.DownloadManagerWindowSize, d.DownloadManagerWindowSize);
}

TEST_F(ProfileTest, FixUpsAndRangeChecks) {
  Profile p = Load("[Zentu]\n"
                   "Editor=\n"
                   "Protocol=\n"
                   "LimitationOfLinkHop=20\n"
                   "DataDirectory=D:\\Pages\\\n"
                   "TextDataDirectory=" "\xe8\xa1\xa8" "\\\n"  // 表 followed by a backslash
                   "WaitTimeForOpenURL=-3\n"
                   "BackupInterval=-1\n"
                   "TypeOfConnectionCheck=7\n"
                   "Xpos=20000\n"
                   "TitleWidth1=0\nUrlWidth1=-4\nSizeWidth1=0\nOriginalWidth1=0\n"
                   "UpdateWidth1=0\nMarkWidth1=0\nContentsWidth1=0\n"
                   "UrlWidth2=5000\n"
                   "ZentuStartURL=http://zentu.example.net/start.html\n"
                   "ZentuOnlineHelpURL=HTTP://WWW.ZENTU.EXAMPLE.NET/help\n"
                   "ZentuSiteURL=http://zentu.example.net/\n"
                   "[Editor]\n"
                   "FontTypeFace=\n"
                   "BaseLineSkip=-2\nTopMargin=-1\nLeftMargin=-1\nWaitTimeForAutoSave=-60\n"
                   "[DownloadManager]\n"
                   "MaxNumberOfCheckThread=100000\n"
                   "WindowSize=(0,0,10001,10)\n"
                   "[LogView]\n"
                   "WindowSize=(-10001,0,10,10)\n");
  Profile d = Defaults();
  EXPECT_EQ(p.Editor, "notepad.exe");
  EXPECT_EQ(p.Protocol, "HTTP/1.0");
  EXPECT_EQ(p.FontTypeFace, "FixedSys");
  EXPECT_EQ(p.LimitationOfLinkHop, 5);
  EXPECT_EQ(p.DataDirectory, "D:\\Pages");
  EXPECT_EQ(p.dirs.data, "D:\\Pages");
  EXPECT_EQ(p.TextDataDirectory, SJ("表\\"));  // only DataDirectory loses its backslash when read
  EXPECT_EQ(p.dirs.text, home + "\\" + SJ("表"));
  EXPECT_EQ(p.WaitTimeForOpenURL, 0);
  EXPECT_EQ(p.BackupInterval, 0);
  EXPECT_EQ(p.TypeOfConnectionCheck, 0);
  EXPECT_EQ(p.BaseLineSkip, 0);
  EXPECT_EQ(p.TopMargin, 0);
  EXPECT_EQ(p.LeftMargin, 0);
  EXPECT_EQ(p.WaitTimeForAutoSave, 0);
  EXPECT_EQ(p.MaxNumberOfCheckThread, 1);
  EXPECT_EQ(p.ColumnWidth, d.ColumnWidth);
  EXPECT_TRUE(LogContains("All ColumnWidth = 0, set default"));
  EXPECT_EQ(p.Xpos, 10);
  EXPECT_EQ(p.Ypos, 10);
  EXPECT_EQ(p.Width, 800);
  EXPECT_EQ(p.Height, 600);
  EXPECT_EQ(p.DownloadManagerWindowSize, (WindowRect{150, 150, 800, 500}));
  EXPECT_EQ(p.LogViewWindowSize, (WindowRect{20, 20, 200, 200}));
  EXPECT_EQ(p.ZentuStartURL, d.ZentuStartURL);
  EXPECT_EQ(p.ZentuOnlineHelpURL, d.ZentuOnlineHelpURL);
  EXPECT_EQ(p.ZentuSiteURL, "http://zentu.example.net/");  // only start and help pages move
  EXPECT_TRUE(LogContains("Data Directory = D:\\Pages"));
  EXPECT_FALSE(LogContains("Start URL ="));  // debug only
}

TEST_F(ProfileTest, JunkLongLinesAndLinesWithoutEqualsSign) {
  std::string junk;
  for (int i = 0; i < 5000; ++i) junk += static_cast<char>((i * 7919 + 13) % 256);
  junk += "\r\n";
  junk += "[Zentu]\r\n";
  junk += "no equals sign here\r\n";
  junk += "=value without key\r\n";
  junk += "Width\r\n";
  // A value running past the line limit: its tail looks like a key but is not one.
  junk += "ZentuStartURL=http://a.example/" + std::string(2100 - 31, 'x') + "FlagSave=0\r\n";
  junk += "LastFolder=" + std::string(2036, 'y') + "\r\n";  // exactly 2047 bytes before CR LF
  junk += "SearchLink=0\r\n";
  junk += std::string("Mailer=a\0b", 10) + "\r\n";
  junk += "Xpos=\xff\xfe\r\n";
  junk += "Height=12";  // no line end at the end of the file
  Profile p = LoadRaw(junk);
  Profile d = Defaults();
  EXPECT_TRUE(p.FlagSave);
  EXPECT_LE(p.ZentuStartURL.size(), 2047u);
  EXPECT_EQ(p.ZentuStartURL.substr(0, 15), "http://a.exampl");
  EXPECT_EQ(p.LastFolder, std::string(255, 'y'));
  EXPECT_FALSE(p.SearchLink);
  EXPECT_EQ(p.Mailer, "a");
  EXPECT_EQ(p.Xpos, 10);
  EXPECT_EQ(p.Height, 12);
  EXPECT_EQ(p.Width, d.Width);

  // Nothing but junk: every value stays at its default.
  std::string binary;
  for (int i = 0; i < 20000; ++i) binary += static_cast<char>((i * 31 + i / 7) % 256);
  Profile q = LoadRaw(binary);
  EXPECT_EQ(FormatProfile(q), FormatProfile(d));
}

TEST_F(ProfileTest, SaveRules) {
  Profile p = Defaults();
  p.UseProxy = true;                        // no server: written off
  p.LastFolder = "Inbox\r\nFlagSave=0";     // a line break never reaches the file
  p.ZentuFile = home + "\\default.html";
  ASSERT_EQ(SaveProfile(p, Path("zentu.ini")), 1);
  std::string disk = ReadNative("zentu.ini");
  EXPECT_NE(disk.find("\r\nUseProxy=0\r\n"), std::string::npos);
  EXPECT_NE(disk.find("\r\nLastFolder=Inbox\r\n"), std::string::npos);
  EXPECT_EQ(disk.find("ZentuFile="), std::string::npos);
  EXPECT_EQ(disk.find("FlagSave=0"), std::string::npos);
  EXPECT_EQ(disk.find('\n'), disk.find("\r\n") + 1);
  for (size_t i = disk.find('\n'); i != std::string::npos; i = disk.find('\n', i + 1)) ASSERT_EQ(disk[i - 1], '\r');

  p.ProxyServer = "proxy.example.com";
  ASSERT_EQ(SaveProfile(p, Path("zentu.ini")), 1);
  EXPECT_NE(ReadNative("zentu.ini").find("\r\nUseProxy=1\r\n"), std::string::npos);

  // FlagSave 0: nothing is written at all.
  p.FlagSave = false;
  EXPECT_EQ(SaveProfile(p, Path("other.ini")), 0);
  EXPECT_FALSE(os::PathExists(Path("other.ini")));
}

TEST_F(ProfileTest, FailedSaveKeepsTheOldFile) {
  Profile p = Defaults();
  ASSERT_EQ(SaveProfile(p, Path("zentu.ini")), 1);
  const std::string before = ReadNative("zentu.ini");
  p.Group = "changed";
  for (int fault = 1; fault <= 3; ++fault) {
    os::SetFileFaultAt(fault);
    EXPECT_EQ(SaveProfile(p, Path("zentu.ini")), 0) << fault;
    os::SetFileFaultAt(0);
    EXPECT_EQ(ReadNative("zentu.ini"), before) << fault;
  }
  ASSERT_FALSE(desktop.messages.empty());
  EXPECT_EQ(desktop.messages.back().text, SJ("設定ファイルがオープンできません"));
  EXPECT_EQ(desktop.messages.back().caption, Path("zentu.ini"));
  // A directory that does not exist cannot take the file either.
  EXPECT_EQ(SaveProfile(p, Path("no\\such\\dir\\zentu.ini")), 0);
}

TEST_F(ProfileTest, DebugLogLines) {
  Profile p = Load("[Zentu]\nGroup=g1\nUseProxy=1\nProxyServer=px\nProxyPort=81\n"
                   "ZentuStartURL=http://s.example/\n[LogView]\nDebugFlag=1\n");
  EXPECT_EQ(p.DebugFlag, 1);
  EXPECT_TRUE(LogContains("Start URL = http://s.example/"));
  EXPECT_TRUE(LogContains("Group = g1"));
  EXPECT_TRUE(LogContains("Proxy Server = px:81"));
  EXPECT_FALSE(LogContains("ZentuFile ="));
}

TEST_F(ProfileTest, TreeFileSettingsAcceptNativeAndRelativePaths) {
  Profile p = Load("ZentuFile=/srv/trees/main.html\nZentuFile(Local)=pages\\local.html\n");
  EXPECT_EQ(p.ZentuFile, "Z:\\srv\\trees\\main.html");
  EXPECT_EQ(p.ZentuFileLocal, home + "\\pages\\local.html");
  Profile q = Load("ZentuFile=\n");
  EXPECT_EQ(q.ZentuFile, home + "\\default.html");
}

// Whatever the file held, what is saved reads back to the same settings.
TEST_F(ProfileTest, SavedFormIsStableForMangledFiles) {
  CopyData("profile");
  std::vector<std::string> lines;
  {
    std::string full = ReadNative("full.ini");
    for (size_t start = 0; start < full.size();) {
      size_t end = full.find("\r\n", start);
      lines.push_back(full.substr(start, end - start));
      start = end + 2;
    }
  }
  const std::vector<std::string> values = {"",      "0",        "1",         "-1",      "2147483647",
                                           "99999999999", "(1,2,3)", "(1,2,3,4)", "(999,0,0)", "  7  ",
                                           "x",     "\x95\\",   "\x81",      "20",      "/srv/a/",
                                           "a\\",   "0,1,2,3,4,5,6", "-10001", "5000", "http://zentu.example.net/"};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xffffff;
  };
  for (int round = 0; round < 60; ++round) {
    std::string text;
    for (int i = 0; i < 150; ++i) {
      std::string line = lines[next() % lines.size()];
      size_t eq = line.find('=');
      if (eq != std::string::npos && next() % 2) line = line.substr(0, eq + 1) + values[next() % values.size()];
      text += line + "\r\n";
    }
    Profile a = LoadRaw(text);
    a.FlagSave = true;
    ASSERT_EQ(SaveProfile(a, Path("zentu.ini")), 1);
    Profile b;
    LoadProfile(b, Path("zentu.ini"));
    EXPECT_EQ(FormatProfile(a), FormatProfile(b)) << round;
    EXPECT_EQ(a.dirs, b.dirs) << round;
  }
}

TEST_F(ProfileTest, CurrentProfileIsShared) {
  Profile& a = CurrentProfile();
  a.Group = "shared";
  EXPECT_EQ(&a, &CurrentProfile());
  EXPECT_EQ(CurrentProfile().Group, "shared");
  SetProfileDefaults(a);
  EXPECT_EQ(CurrentProfile().Group, "default");
}

}  // namespace
}  // namespace zentu
