// The browser integration's registration in the registry file: entry groups,
// the component, older names, re-registration, removal, the first-time setup,
// and the native-messaging manifests written for the installed browsers.
#include "intake/browserreg.h"

#include <gtest/gtest.h>

#include "intake/hostmanifest.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/registry.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

using os::Hive;
using os::SJ;

class BrowserRegTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    hooks.userHome = Path("user");
    hooks.configHome = Path("user\\.config");
    hooks.hostProgram = "/opt/zentu/zentu";
    // Chromium is "installed": its configuration directory exists.
    ASSERT_TRUE(os::CreateDirectories(Path("user\\.config\\chromium")));
  }
  std::string Script(BrowserGroup g) {
    std::optional<os::RegistryValue> v = os::RegistryGetValue(Hive::CurrentUser, GroupKey(g), "");
    return v ? v->text : "<none>";
  }
  std::string ChromiumManifest() { return Path("user\\.config\\chromium\\NativeMessagingHosts\\zentu.host.json"); }
  BrowserIntegrationHooks hooks;
};

BrowserGroupFlags Flags(std::initializer_list<BrowserGroup> on) {
  BrowserGroupFlags f{};
  for (BrowserGroup g : on) f[static_cast<size_t>(g)] = true;
  return f;
}

TEST_F(BrowserRegTest, RegisteringWritesEntriesComponentAndManifestAndKeepsFirstValues) {
  desktop.answers = {os::IDYES};  // create the missing MenuExt key
  ASSERT_EQ(RegisterBrowserIntegration("Z:\\opt\\zentu\\", Flags({kGroupPage, kGroupSelection, kGroupToolbar}), hooks),
            1);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_NE(desktop.messages[0].text.find(std::string(kMenuExtKey)), std::string::npos);
  EXPECT_EQ(desktop.notices, std::vector<std::string>{SJ("レジストリに登録します！")});
  EXPECT_EQ(Script(kGroupPage), "Z:\\opt\\zentu\\zentu_dl.html");
  EXPECT_EQ(Script(kGroupSelection), "Z:\\opt\\zentu\\zentu_sel.html");
  EXPECT_EQ(Script(kGroupAllLinks), "<none>");
  EXPECT_EQ(os::RegistryGetValue(Hive::CurrentUser, GroupKey(kGroupPage), "Contexts")->number, 0x7Fu);
  EXPECT_EQ(os::RegistryGetValue(Hive::CurrentUser, kToolbarKey, "MenuText")->text, SJ("Zentuで取り込む"));
  EXPECT_EQ(os::RegistryGetValue(Hive::ClassesRoot,
                                 "CLSID\\{7D077BEE-9A92-4D94-975E-56AD2DD6991C}\\InprocServer32", "")->text,
            "Z:\\opt\\zentu\\Zentu.dll");
  EXPECT_EQ(os::RegistryGetValue(Hive::ClassesRoot, "TypeLib\\{308C2EA3-F247-4DF8-8235-46A3ACDE23DC}\\1.0", "")->text,
            SJ("Zentu 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ"));
  std::string manifest;
  ASSERT_TRUE(os::ReadWholeFile(ChromiumManifest(), manifest));
  EXPECT_NE(manifest.find("chrome-extension://" + std::string(kChromiumExtensionId) + "/"), std::string::npos);
  EXPECT_NE(manifest.find("\"path\": \"/opt/zentu/zentu\""), std::string::npos);
  // Neither Chrome nor Firefox is here: no manifest for them.
  EXPECT_FALSE(os::DirectoryExists(Path("user\\.mozilla")));

  // Again from elsewhere: existing keys keep their first values.
  desktop.messages.clear();
  ASSERT_EQ(RegisterBrowserIntegration("Z:\\elsewhere", Flags({kGroupPage, kGroupSelection}), hooks), 1);
  EXPECT_TRUE(desktop.messages.empty());
  EXPECT_EQ(Script(kGroupPage), "Z:\\opt\\zentu\\zentu_dl.html");
  EXPECT_FALSE(os::RegistryKeyExists(Hive::CurrentUser, kToolbarKey));
  BrowserGroupFlags found{};
  EXPECT_TRUE(QueryBrowserIntegration(found));
  EXPECT_EQ(found, Flags({kGroupPage, kGroupSelection}));
}

TEST_F(BrowserRegTest, OlderNamesGoAndClearedBoxesRemoveEverythingButTheComponent) {
  ASSERT_TRUE(os::RegistryCreateKey(Hive::CurrentUser, std::string(kMenuExtKey) + "\\" + SJ("Zentuでダウンロード(&1)")));
  ASSERT_TRUE(os::RegistryCreateKey(Hive::CurrentUser,
                                    std::string(kMenuExtKey) + "\\" + SJ("Zentuでページ全体を取り込む(&1)")));
  BrowserGroupFlags found{};
  ASSERT_TRUE(QueryBrowserIntegration(found));  // an older name counts as registered
  EXPECT_EQ(found, Flags({kGroupPage}));
  ASSERT_EQ(RegisterBrowserIntegration("Z:\\z", Flags({kGroupPage}), hooks), 1);
  EXPECT_EQ(os::RegistrySubkeys(Hive::CurrentUser, kMenuExtKey),
            std::vector<std::string>{SJ("Zentuでこのページを取り込む(&1)")});

  ASSERT_EQ(RegisterBrowserIntegration("Z:\\z", BrowserGroupFlags{}, hooks), 1);
  EXPECT_TRUE(os::RegistrySubkeys(Hive::CurrentUser, kMenuExtKey).empty());
  EXPECT_FALSE(os::RegistryKeyExists(Hive::CurrentUser, kToolbarKey));
  EXPECT_TRUE(os::RegistryKeyExists(Hive::ClassesRoot, "Zentu.API\\CurVer"));
  EXPECT_FALSE(os::FileExists(ChromiumManifest()));
  EXPECT_FALSE(QueryBrowserIntegration(found));

  ASSERT_EQ(RegisterBrowserIntegration("Z:\\z", Flags({kGroupSite}), hooks), 1);
  ASSERT_TRUE(os::FileExists(ChromiumManifest()));
  RemoveBrowserIntegration(hooks);
  EXPECT_FALSE(os::RegistryKeyExists(Hive::ClassesRoot, "Zentu.API"));
  EXPECT_FALSE(os::RegistryKeyExists(Hive::ClassesRoot, "CLSID\\{7D077BEE-9A92-4D94-975E-56AD2DD6991C}"));
  EXPECT_FALSE(os::FileExists(ChromiumManifest()));
  EXPECT_EQ(desktop.messages.back().text, SJ("レジストリから削除しました"));
  // What every user's registry holds stays.
  EXPECT_TRUE(os::RegistryKeyExists(Hive::CurrentUser, "Software\\Microsoft\\Internet Explorer"));
}

TEST_F(BrowserRegTest, DeclinedOrMissingKeysWriteNoEntry) {
  desktop.answers = {os::IDNO};
  EXPECT_EQ(RegisterBrowserIntegration("Z:\\z", Flags({kGroupPage}), hooks), 0);
  EXPECT_FALSE(os::RegistryKeyExists(Hive::CurrentUser, kMenuExtKey));
  EXPECT_FALSE(os::FileExists(ChromiumManifest()));

  ASSERT_TRUE(os::RegistryDeleteKey(Hive::CurrentUser, "Software\\Microsoft\\Internet Explorer"));
  desktop.messages.clear();
  EXPECT_EQ(RegisterBrowserIntegration("Z:\\z", Flags({kGroupPage}), hooks), 0);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_NE(desktop.messages[0].text.find("Software\\Microsoft\\Internet Explorer\r\n"), std::string::npos);
  EXPECT_FALSE(os::RegistryKeyExists(Hive::CurrentUser, "Software\\Microsoft\\Internet Explorer"));
}

TEST_F(BrowserRegTest, FirstSetupAsksOnceAndPresetsThreeGroups) {
  int dialogs = 0;
  hooks.selectionDialog = [&](BrowserGroupFlags& flags) {
    ++dialogs;
    EXPECT_EQ(flags, Flags({kGroupPage, kGroupAllLinks, kGroupSelection}));
    return true;
  };
  desktop.answers = {os::IDNO};
  RunFirstSetup("Z:\\z", hooks);
  EXPECT_EQ(dialogs, 0);
  EXPECT_TRUE(LogContains(SJ("> レジストリへの登録を行いませんでした")));

  desktop.answers = {os::IDYES, os::IDYES};  // register; create MenuExt
  RunFirstSetup("Z:\\z", hooks);
  EXPECT_EQ(dialogs, 1);
  BrowserGroupFlags found{};
  ASSERT_TRUE(QueryBrowserIntegration(found));
  EXPECT_EQ(found, Flags({kGroupPage, kGroupAllLinks, kGroupSelection}));

  // Anything registered: nothing asked at all.
  desktop.messages.clear();
  RunFirstSetup("Z:\\z", hooks);
  EXPECT_TRUE(desktop.messages.empty());
  EXPECT_EQ(dialogs, 1);
}

TEST_F(BrowserRegTest, UpgradeRenewsWhatWasRegistered) {
  desktop.answers = {os::IDYES};
  ASSERT_EQ(RegisterBrowserIntegration("Z:\\old", Flags({kGroupAllLinks}), hooks), 1);
  ASSERT_TRUE(os::WriteFileAtomic(Path("ZentuAddUrl.exe"), "x"));
  RunUpgradeStep(home, 0.45, hooks);
  EXPECT_FALSE(os::FileExists(Path("ZentuAddUrl.exe")));
  EXPECT_EQ(Script(kGroupAllLinks), home + "\\zentu_all.html");
  BrowserGroupFlags found{};
  ASSERT_TRUE(QueryBrowserIntegration(found));
  EXPECT_EQ(found, Flags({kGroupAllLinks}));
}

// The registry file is read back as written, Shift_JIS names with a "\" trail
// byte included; damaged lines are skipped, the rest stays usable.
TEST_F(BrowserRegTest, RegistryFileRoundTripAndDamagedLines) {
  const std::string key = "Software\\" + SJ("ソフト表示") + "\\x";
  ASSERT_TRUE(os::RegistryCreateKey(Hive::CurrentUser, key));
  ASSERT_TRUE(os::RegistrySetString(Hive::CurrentUser, key, "q\"n", "a\\b\"c" + SJ("表")));
  ASSERT_TRUE(os::RegistrySetDword(Hive::CurrentUser, key, "n", 0xFFFFFFFFu));
  EXPECT_EQ(os::RegistryGetValue(Hive::CurrentUser, key, "Q\"N")->text, "a\\b\"c" + SJ("表"));
  EXPECT_EQ(os::RegistryGetValue(Hive::CurrentUser, key, "n")->number, 0xFFFFFFFFu);
  EXPECT_EQ(os::RegistrySubkeys(Hive::CurrentUser, "Software\\" + SJ("ソフト表示")), std::vector<std::string>{"x"});
  EXPECT_FALSE(os::RegistryDeleteKey(Hive::CurrentUser, "Software\\" + SJ("ソフト表示")));  // has a subkey

  std::string text;
  ASSERT_TRUE(os::ReadWholeFile(os::RegistryPath(), text));
  text += "[HKEY_NOWHERE\\a]\r\n\"x\"=dword:zz\r\n@=\"open\r\n[HKEY_CURRENT_USER\\b]\r\n\"y\"=\"1\"\r\n";
  ASSERT_TRUE(os::WriteFileAtomic(os::RegistryPath(), text));
  log::Clear();
  EXPECT_EQ(os::RegistryGetValue(Hive::CurrentUser, "b", "y")->text, "1");
  EXPECT_TRUE(LogContains("> registry: line"));
  EXPECT_EQ(os::RegistryGetValue(Hive::CurrentUser, key, "n")->number, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace zentu::testing
