#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/file.h"
#include "os/log.h"
#include "store/configfiles.h"
#include "store/profile.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;

class ConfigFilesTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetConfigFileHooks();
    LoadProfile(profile, Path("zentu.ini"));
    log::Clear();
  }
  void TearDown() override {
    ResetConfigFileHooks();
    TempHome::TearDown();
  }
  // Every hook records "load <file>" / "save <file>" with the path it was given.
  void RecordAll() {
    for (int i = 0; i < static_cast<int>(ConfigFile::kCount); ++i) {
      auto file = static_cast<ConfigFile>(i);
      SetConfigFileHook(
          file,
          [this, file](Profile&, const std::string& path) {
            calls.push_back("load " + GetConfigFileHook(file).name);
            paths.push_back(path);
            return 1;
          },
          [this, file](const Profile&, const std::string& path) {
            calls.push_back("save " + (file == ConfigFile::TreeFile ? std::string("tree") : GetConfigFileHook(file).name));
            paths.push_back(path);
            return 1;
          });
    }
  }
  Profile profile;
  std::vector<std::string> calls, paths;
};

TEST_F(ConfigFilesTest, LoadOrderPathsAndLogLines) {
  RecordAll();
  EXPECT_EQ(LoadConfigFiles(profile), 1);
  EXPECT_TRUE(os::DirectoryExists(home + "\\Config"));
  const std::vector<std::string> expected = {
      "load keyword2url.dat", "load extension.dat", "load closeurl.dat", "load password.dat",
      "load referrer.dat",    "load lock.dat",      "load update.dat",   "load keyconfig.dat",
      "load keyconfig_editor.dat", "load icon.dat", "load group.dat"};
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(paths[0], home + "\\Config\\keyword2url.dat");
  EXPECT_TRUE(LogContains("Load Keyword-URL List [" + home + "\\Config\\keyword2url.dat]"));
  EXPECT_TRUE(LogContains("Load Keyconfig File for Editor [" + home + "\\Config\\keyconfig_editor.dat]"));
  EXPECT_TRUE(LogContains("Load Group File [" + home + "\\Config\\group.dat]"));

  calls.clear();
  LoadWindowConfigFiles(profile);
  EXPECT_EQ(calls, (std::vector<std::string>{"load reject.dat", "load convert.dat"}));
}

TEST_F(ConfigFilesTest, DefaultHooksOnlyLog) {
  EXPECT_EQ(LoadConfigFiles(profile), 1);
  EXPECT_TRUE(LogContains("Load URL-USER-PASSWORD File ["));
  EXPECT_TRUE(LogContains("Load AutoUpdate File ["));
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  EXPECT_TRUE(LogContains("# SaveUpdateConfigFile : " + home + "\\Config\\update.dat"));
  EXPECT_FALSE(LogContains("save opened item"));
  std::vector<os::DirEntry> entries;
  ASSERT_TRUE(os::ListDirectory(home + "\\Config", entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(ConfigFilesTest, IconAndGroupMoveFromTheProgramDirectory) {
  WriteNative("icon.dat", "icon list\r\n");
  WriteNative("group.dat", "old groups\r\n");
  WriteNative("Config/group.dat", "new groups\r\n");  // already moved once: the old copy stays
  RecordAll();
  LoadConfigFiles(profile);
  EXPECT_TRUE(LogContains("Rename " + home + "\\icon.dat => " + home + "\\Config\\icon.dat"));
  EXPECT_FALSE(LogContains("Rename " + home + "\\group.dat"));
  EXPECT_EQ(ReadNative("Config/icon.dat"), "icon list\r\n");
  EXPECT_FALSE(os::PathExists(home + "\\icon.dat"));
  EXPECT_EQ(ReadNative("group.dat"), "old groups\r\n");
  EXPECT_EQ(paths[9], home + "\\Config\\icon.dat");
  EXPECT_EQ(paths[10], home + "\\Config\\group.dat");

  // When the move fails, the list is still read from where it is.
  WriteNative("icon.dat", "second\r\n");
  (void)os::DeleteFile(home + "\\Config\\icon.dat");
  paths.clear();
  os::SetFileFaultAt(1);
  LoadConfigFile(profile, ConfigFile::Icon);
  os::SetFileFaultAt(0);
  EXPECT_EQ(paths, std::vector<std::string>{home + "\\icon.dat"});
}

TEST_F(ConfigFilesTest, SaveOrderEndsWithTheTreeFile) {
  RecordAll();
  profile.OpenLastOpened = true;
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  const std::vector<std::string> expected = {
      "save last.dat",    "save group.dat",   "save keyconfig.dat", "save keyconfig_editor.dat",
      "save keyword2url.dat", "save password.dat", "save referrer.dat", "save lock.dat",
      "save closeurl.dat", "save icon.dat",   "save update.dat",    "save reject.dat",
      "save convert.dat", "save tree"};
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(paths.front(), home + "\\Config\\last.dat");
  EXPECT_EQ(paths.back(), profile.ZentuFile);
  EXPECT_TRUE(LogContains("save opened item: " + home + "\\Config\\last.dat"));
  EXPECT_TRUE(LogContains("# Save Key Config File for Editor : " + home + "\\Config\\keyconfig_editor.dat"));

  // A failing save is reported, the later ones still run.
  SetConfigFileHook(ConfigFile::Lock, {}, [](const Profile&, const std::string&) { return 0; });
  calls.clear();
  profile.OpenLastOpened = false;
  EXPECT_EQ(SaveConfigFiles(profile), 0);
  EXPECT_EQ(calls.front(), "save group.dat");
  EXPECT_EQ(calls.back(), "save tree");
}

}  // namespace
}  // namespace zentu
