#include "intake/browserreg.h"

#include <optional>
#include <vector>

#include "intake/hostmanifest.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "store/profile.h"

namespace zentu {
namespace {

using os::Hive;
using os::SJ;

struct Group {
  const char* key;  // UTF-8
  std::vector<const char*> older;
  const char* script;  // "%s\\..." below the install directory
};

const Group kGroups[kBrowserGroupCount - 1] = {
    {"Zentuでこのページを取り込む(&1)", {"Zentuでページ全体を取り込む(&1)", "Zentuでダウンロード(&1)"}, "zentu_dl.html"},
    {"Zentuでこのページをリストに登録せずに取り込む", {}, "zentu_dlonly.html"},
    {"Zentuで全てのリンクを取り込む(&2)", {"Zentuで全てをダウンロード(&2)"}, "zentu_all.html"},
    {"Zentuで選択範囲を取り込む(&3)", {"Zentuで選択範囲をダウンロード(&3)"}, "zentu_sel.html"},
    {"Zentuで選択範囲とリンクを取り込む(&4)", {}, "zentu_sel2.html"},
    {"Zentuで選択範囲をテキスト形式で取り込む(&7)", {}, "zentu_sel3.html"},
    {"Zentuでこのサイトを取り込む(&5)", {"別アプリ経由でZentuに取り込む(&5)"}, "zentu_sitedl.html"},
    {"Zentuにこのページを登録する(&6)", {}, "zentu_add.html"},
};

constexpr const char* kClsid = "{7D077BEE-9A92-4D94-975E-56AD2DD6991C}";
constexpr const char* kTypeLib = "{308C2EA3-F247-4DF8-8235-46A3ACDE23DC}";

// The component table: key and default value ("%s" = the install directory).
struct ComponentKey {
  std::string key, value;
};
std::vector<ComponentKey> ComponentKeys(std::string_view dir) {
  const std::string clsid = std::string("CLSID\\") + kClsid;
  const std::string typelib = std::string("TypeLib\\") + kTypeLib;
  const std::string dll = std::string(dir) + "\\Zentu.dll";
  return {
      {"Zentu.API", "API Class"},
      {"Zentu.API\\CLSID", kClsid},
      {"Zentu.API\\CurVer", "Zentu.API.1"},
      {"Zentu.API.1", "API Class"},
      {"Zentu.API.1\\CLSID", kClsid},
      {clsid, "API Class"},
      {clsid + "\\InprocServer32", dll},
      {clsid + "\\ProgID", "Zentu.API.1"},
      {clsid + "\\Programmable", ""},
      {clsid + "\\TypeLib", kTypeLib},
      {clsid + "\\VersionIndependentProgID", "Zentu.API"},
      {typelib, ""},
      {typelib + "\\1.0", SJ("Zentu 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ")},
      {typelib + "\\1.0\\0", ""},
      {typelib + "\\1.0\\0\\win32", dll},
      {typelib + "\\1.0\\FLAGS", "0"},
      {typelib + "\\1.0\\HELPDIR", std::string(dir) + "\\"},
  };
}

std::string MenuKey(const char* utf8Name) { return std::string(kMenuExtKey) + "\\" + SJ(utf8Name); }

// Every key a group owns: its own name first, then the older ones.
std::vector<std::string> GroupKeys(int g) {
  if (g == kGroupToolbar) return {std::string(kToolbarKey)};
  std::vector<std::string> keys = {MenuKey(kGroups[g].key)};
  for (const char* old : kGroups[g].older) keys.push_back(MenuKey(old));
  return keys;
}

std::string Format(const char* utf8, std::string_view arg) {
  const std::string& format = SJ(utf8);
  std::string out;
  size_t at = format.find("%s");
  out = format.substr(0, at) + std::string(arg) + (at == std::string::npos ? "" : format.substr(at + 2));
  return out;
}

// The directory without a trailing "\".
std::string Trimmed(std::string_view dir) {
  std::string d(dir);
  while (d.size() > 3 && d.back() == '\\') d.pop_back();
  return d;
}

HostManifestPlaces Places(const BrowserIntegrationHooks& hooks) {
  const std::string home = hooks.userHome.empty() ? os::UserHomeDirectory() : hooks.userHome;
  const std::string config = hooks.configHome.empty() ? os::UserConfigDirectory() : hooks.configHome;
  return UserHostManifestPlaces(home, config);
}

// The browsers this user has: a configuration directory of their own, or the
// program on the path. A manifest for a browser that is not there would only
// be clutter in the user's home.
HostManifestPlaces InstalledBrowsers(const BrowserIntegrationHooks& hooks) {
  HostManifestPlaces all = Places(hooks), out;
  const char* chromiumPrograms[][2] = {{"chromium", "chromium-browser"}, {"google-chrome", "google-chrome-stable"}};
  for (size_t i = 0; i < all.chromium.size() && i < 2; ++i) {
    const std::string browserDir = os::DirectoryOf(all.chromium[i]);
    if (os::DirectoryExists(browserDir) || os::ProgramOnPath(chromiumPrograms[i][0]) ||
        os::ProgramOnPath(chromiumPrograms[i][1]))
      out.chromium.push_back(all.chromium[i]);
  }
  for (const std::string& dir : all.firefox)
    if (os::DirectoryExists(os::DirectoryOf(dir)) || os::ProgramOnPath("firefox") || os::ProgramOnPath("firefox-esr"))
      out.firefox.push_back(dir);
  return out;
}

std::string HostProgram(const BrowserIntegrationHooks& hooks) {
  if (!hooks.hostProgram.empty()) return hooks.hostProgram;
  const std::optional<std::string> native = os::ToNativePath(os::JoinPath(os::ExecutableDirectory(), "zentu"));
  return native ? *native : std::string();
}

bool WriteMenuEntry(const std::string& key, std::string_view script) {
  return EnsureRegistryKey(Hive::CurrentUser, key, script) == 1 &&
         os::RegistrySetString(Hive::CurrentUser, key, "", script) &&
         os::RegistrySetDword(Hive::CurrentUser, key, "Contexts", 0x7F) &&
         os::RegistrySetDword(Hive::CurrentUser, key, "Flags", 0);
}

void ShowRestart() {
  os::MessageBox(SJ("IEの右クリックからZentuへ登録の機能を使うには\r\nいったんZentuを再起動してください"), "Zentu");
}
void ShowFailed() { os::MessageBox(SJ("レジストリへの登録に失敗しました"), SJ("エラー")); }

}  // namespace

std::string GroupKey(BrowserGroup group) { return GroupKeys(group).front(); }

int EnsureRegistryKey(Hive hive, std::string_view key, std::string_view defaultValue) {
  const std::string k(key), v(defaultValue);
  if (os::RegistryKeyExists(hive, key)) {
    WriteLogVerbose("open reg key: exist %s", k.c_str());
    return 1;
  }
  WriteLogVerbose("[open/none] %s", k.c_str());
  if (!os::RegistryCreateKey(hive, key)) {
    WriteLogVerbose("create reg key: error %s = %s", k.c_str(), v.c_str());
    return 0;
  }
  WriteLogVerbose("create reg key: success %s = %s", k.c_str(), v.c_str());
  if (!os::RegistrySetString(hive, key, "", defaultValue)) {
    WriteLog("set reg key: error %s = %s", k.c_str(), v.c_str());
    return 0;
  }
  WriteLog("set reg key: success %s = %s", k.c_str(), v.c_str());
  return 1;
}

int DeleteRegistryKey(Hive hive, std::string_view key) {
  const std::string k(key);
  if (!os::RegistryKeyExists(hive, key)) {
    WriteLogVerbose("open reg key: none = %s", k.c_str());
    return 0;
  }
  WriteLogVerbose("open reg key: exist = %s", k.c_str());
  if (!os::RegistryDeleteKey(hive, key)) {
    WriteLog("delete reg key: error = %s", k.c_str());
    return 0;
  }
  WriteLog("delete reg key: success = %s", k.c_str());
  return 1;
}

bool QueryBrowserIntegration(BrowserGroupFlags& flags) {
  bool any = false;
  for (int g = 0; g < kBrowserGroupCount; ++g) {
    flags[static_cast<size_t>(g)] = false;
    for (const std::string& key : GroupKeys(g))
      if (os::RegistryKeyExists(Hive::CurrentUser, key)) flags[static_cast<size_t>(g)] = true;
    any = any || flags[static_cast<size_t>(g)];
  }
  return any;
}

void RemoveBrowserIntegration(const BrowserIntegrationHooks& hooks) {
  for (int g = 0; g < kBrowserGroupCount; ++g)
    for (const std::string& key : GroupKeys(g)) (void)DeleteRegistryKey(Hive::CurrentUser, key);
  std::vector<ComponentKey> keys = ComponentKeys("");
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) (void)DeleteRegistryKey(Hive::ClassesRoot, it->key);
  // The browsers' manifests go with the entries, wherever they were written.
  (void)RegisterNativeHost(Places(hooks), HostProgram(hooks), {}, false);
  os::MessageBox(SJ("レジストリから削除しました"), "Zentu");
}

int RegisterBrowserIntegration(std::string_view installDir, const BrowserGroupFlags& flags,
                               const BrowserIntegrationHooks& hooks) {
  const std::string dir = Trimmed(installDir);
  for (const ComponentKey& c : ComponentKeys(dir))
    if (!EnsureRegistryKey(Hive::ClassesRoot, c.key, c.value)) return 0;

  for (const char* chain : {"Software", "Software\\Microsoft", "Software\\Microsoft\\Internet Explorer"}) {
    if (os::RegistryKeyExists(Hive::CurrentUser, chain)) continue;
    os::MessageBox(Format("レジストリに右クリック用のキーを登録しようとしたのですが\r\nHEKY_CURRENT_USER\\%s\r\n"
                          "が存在しません．\r\nレジストリを確認してください．",
                          chain),
                   SJ("エラー"));
    return 0;
  }
  if (!os::RegistryKeyExists(Hive::CurrentUser, kMenuExtKey)) {
    if (os::MessageBox(Format("レジストリに右クリック用のキーを登録しようとしたのですが\r\nHEKY_CURRENT_USER\\%s\r\n"
                              "が存在しません．\r\nレジストリに上記のキーを作成してよいですか？",
                              kMenuExtKey),
                       SJ("確認"), os::Buttons::YesNo, os::IDYES) != os::IDYES)
      return 0;
    if (!EnsureRegistryKey(Hive::CurrentUser, kMenuExtKey, "")) {
      os::MessageBox(SJ("登録できませんでした"), SJ("エラー"));
      return 0;
    }
  }

  bool anyEntry = false;
  for (int g = 0; g < kGroupToolbar; ++g) {
    const std::vector<std::string> keys = GroupKeys(g);
    if (!flags[static_cast<size_t>(g)]) {
      for (const std::string& key : keys) (void)DeleteRegistryKey(Hive::CurrentUser, key);
      continue;
    }
    anyEntry = true;
    for (size_t i = 1; i < keys.size(); ++i) (void)DeleteRegistryKey(Hive::CurrentUser, keys[i]);
    if (os::RegistryKeyExists(Hive::CurrentUser, keys[0])) continue;  // kept with its first values
    if (g == kGroupPage) os::Notice(SJ("レジストリに登録します！"));
    if (!WriteMenuEntry(keys[0], dir + "\\" + kGroups[g].script)) return 0;
  }
  if (flags[kGroupToolbar]) {
    anyEntry = true;
    if (!os::RegistryKeyExists(Hive::CurrentUser, kToolbarKey)) {
      const std::string key(kToolbarKey);
      const bool ok = EnsureRegistryKey(Hive::CurrentUser, key, "") == 1 &&
                      os::RegistrySetString(Hive::CurrentUser, key, "Script", dir + "\\zentu_dl.html") &&
                      os::RegistrySetString(Hive::CurrentUser, key, "CLSID", "{1FBA04EE-3024-11d2-8F1F-0000F87ABD16}") &&
                      os::RegistrySetString(Hive::CurrentUser, key, "MenuText", SJ("Zentuで取り込む")) &&
                      os::RegistrySetString(Hive::CurrentUser, key, "MenuStatusBar", SJ("Zentuでこのページを取り込みます"));
      if (!ok) return 0;
    }
  } else {
    (void)DeleteRegistryKey(Hive::CurrentUser, kToolbarKey);
  }

  // The browsers find the extension's host through their manifests: written
  // for the browsers installed while any entry is registered, else removed.
  const std::string program = HostProgram(hooks);
  if (anyEntry && !program.empty()) {
    const HostManifestPlaces installed = InstalledBrowsers(hooks);
    const size_t wanted = installed.chromium.size() + installed.firefox.size();
    if (static_cast<size_t>(RegisterNativeHost(installed, program, {std::string(kChromiumExtensionId)}, true)) != wanted)
      return 0;
  } else {
    (void)RegisterNativeHost(Places(hooks), program, {}, false);
  }
  return 1;
}

void BrowserIntegrationCommand(std::string_view installDir, const BrowserIntegrationHooks& hooks) {
  BrowserGroupFlags flags{};
  const bool registered = QueryBrowserIntegration(flags);
  if (hooks.selectionDialog && !hooks.selectionDialog(flags)) return;
  if (registered) RemoveBrowserIntegration(hooks);
  if (RegisterBrowserIntegration(installDir, flags, hooks)) ShowRestart();
  else ShowFailed();
}

void RunFirstSetup(std::string_view installDir, const BrowserIntegrationHooks& hooks) {
  BrowserGroupFlags flags{};
  if (QueryBrowserIntegration(flags)) return;
  if (os::MessageBox(SJ("レジストリに登録しますか？\r\nレジストリにZentuを登録することにより\r\n"
                        "ブラウザ上で右クリックすることにより，ページを取り込めるようになります．"),
                     "First Setup", os::Buttons::YesNo, os::IDNO) != os::IDYES) {
    WriteLog("%s", SJ("> レジストリへの登録を行いませんでした").c_str());
    return;
  }
  flags[kGroupPage] = flags[kGroupAllLinks] = flags[kGroupSelection] = true;
  if (hooks.selectionDialog && !hooks.selectionDialog(flags)) return;
  const std::string dir = Trimmed(installDir);
  WriteLog("> Set Registry Key : %s", dir.c_str());
  if (RegisterBrowserIntegration(installDir, flags, hooks)) ShowRestart();
  else ShowFailed();
}

void RunUpgradeStep(std::string_view installDir, double oldVersion, const BrowserIntegrationHooks& hooks) {
  // The version check has logged "* バージョンアップ *" with both versions.
  os::Notice(SJ("バージョンアップ作業中"));
  CurrentProfile().ZentuStartURL = Profile{}.ZentuStartURL;
  BrowserGroupFlags flags{};
  if (!QueryBrowserIntegration(flags)) {
    WriteLog("%s", SJ("> レジストリに登録されていないので処理を行いませんでした．").c_str());
    return;
  }
  const std::string dir = Trimmed(installDir);
  WriteLog("> Delete Registry Key : %s", dir.c_str());
  RemoveBrowserIntegration(hooks);
  if (oldVersion < 0.5) {
    const std::string old = dir + "\\ZentuAddUrl.exe";
    if (os::FileExists(old) && os::DeleteFile(old)) WriteLog("> remove %s", old.c_str());
  }
  if (oldVersion < 0.4) {
    os::MessageBox(SJ("0.40 より前のバージョンは 0.47 を使ってアップデートする必要があります"), "Zentu");
    return;
  }
  WriteLog("> Set Registry Key : %s", dir.c_str());
  if (!RegisterBrowserIntegration(installDir, flags, hooks)) ShowFailed();
}

}  // namespace zentu
