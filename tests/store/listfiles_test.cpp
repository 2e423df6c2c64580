#include "store/listfiles.h"

#include <gtest/gtest.h>

#include <string>

#include "os/file.h"
#include "os/log.h"
#include "store/configfiles.h"
#include "store/customicons.h"
#include "store/groups.h"
#include "store/locklist.h"
#include "store/profile.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

class ListFilesTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetConfigFileHooks();
    ResetGroups();
    ResetCustomIcons();
    ResetLockList();
    LoadProfile(profile, Path("zentu.ini"));
    RegisterListFileHooks();
    log::Clear();
  }
  void TearDown() override {
    ResetConfigFileHooks();
    CurrentTreeFileSettings().applyCustomIcon = nullptr;
    ResetGroups();
    ResetCustomIcons();
    ResetLockList();
    TempHome::TearDown();
  }
  Profile profile;
};

TEST_F(ListFilesTest, StartUpLoadsTheListsAndShutdownWritesThemBack) {
  // Groups and icons from the program directory move into the configuration
  // directory; the lock list is only looked for there.
  CopyData("lists");
  const std::string original = ReadNative("group.dat");
  EXPECT_EQ(LoadConfigFiles(profile), 1);
  EXPECT_TRUE(LogContains("Rename " + Path("group.dat") + " => " + Path("Config\\group.dat")));
  EXPECT_TRUE(LogContains("Load Custom Icon File [" + Path("Config\\icon.dat") + "]"));
  EXPECT_TRUE(os::FileExists(Path("Config\\group.dat")));
  EXPECT_FALSE(os::FileExists(Path("icon.dat")));
  EXPECT_NE(FindGroup(SJ("趣味")), nullptr);
  EXPECT_NE(FindCustomIcon("Zentu\t" + SJ("ニュース")), nullptr);
  EXPECT_TRUE(LogContains("Can't open lock file."));
  EXPECT_TRUE(static_cast<bool>(CurrentTreeFileSettings().applyCustomIcon));

  ASSERT_EQ(LockUrl("http://locked.example/"), 1);
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  EXPECT_TRUE(LogContains("# Save Lock List: " + Path("Config\\lock.dat")));
  EXPECT_TRUE(LogContains("# SaveCustomIconFile : " + Path("Config\\icon.dat")));
  EXPECT_EQ(ReadNative("Config/lock.dat"), "# List of lock items\r\nhttp://locked.example/\r\n");
  std::string groups = ReadNative("Config/group.dat");
  EXPECT_EQ(groups, original);

  // With saving switched off the groups stay as they are on disk; the other
  // lists are written all the same.
  profile.FlagSave = false;
  AddGroup("new");
  ASSERT_EQ(UnlockUrl("http://locked.example/"), 1);
  EXPECT_EQ(SaveConfigFiles(profile), 1);
  EXPECT_EQ(ReadNative("Config/group.dat"), groups);
  EXPECT_EQ(ReadNative("Config/lock.dat"), "# List of lock items\r\n");
}

TEST_F(ListFilesTest, MissingListsAreNoFailure) {
  EXPECT_EQ(LoadConfigFile(profile, ConfigFile::Group), 1);
  EXPECT_EQ(LoadConfigFile(profile, ConfigFile::Icon), 1);
  EXPECT_EQ(LoadConfigFile(profile, ConfigFile::Lock), 1);
  EXPECT_TRUE(LogContains("# Group File Open Error : " + Path("Config\\group.dat")));
  EXPECT_EQ(GroupRoot()->firstChild, nullptr);
  EXPECT_TRUE(CustomIcons().empty());
  EXPECT_TRUE(LockedUrls().empty());
}

}  // namespace
}  // namespace zentu
