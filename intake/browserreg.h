// The browser integration's registration: the context-menu entries and the
// toolbar button of each entry group, and the extension component, as keys of
// the registry file (os/registry.h), plus the native-messaging host manifests
// that let the installed browsers start Zentu's host for its extension. The
// first-time setup and the upgrade step of the tree-file version check offer
// and renew the registration. Texts are Shift_JIS.
#pragma once
#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "os/registry.h"

namespace zentu {

// The entry groups, in the order they are registered.
enum BrowserGroup : int {
  kGroupPage,
  kGroupPageOnly,
  kGroupAllLinks,
  kGroupSelection,
  kGroupSelectionLinks,
  kGroupSelectionText,
  kGroupSite,
  kGroupRegister,
  kGroupToolbar,
  kBrowserGroupCount
};
using BrowserGroupFlags = std::array<bool, kBrowserGroupCount>;

inline constexpr std::string_view kMenuExtKey = "Software\\Microsoft\\Internet Explorer\\MenuExt";
inline constexpr std::string_view kToolbarKey =
    "Software\\Microsoft\\Internet Explorer\\Extensions\\{AC796B8F-1C16-4AD7-B6B8-28E8AE5C9459}";
// The id Chromium gives Zentu's extension (fixed by the key in its manifest).
inline constexpr std::string_view kChromiumExtensionId = "bjjdbenihfjfmaaeoapniodndajjhdlf";

// The MenuExt key of a group (UTF-8 literal converted), and its older names.
std::string GroupKey(BrowserGroup group);

// 1 when the key exists afterwards (an existing key keeps its values), 0 on failure.
int EnsureRegistryKey(os::Hive hive, std::string_view key, std::string_view defaultValue);
// 1 when the key was deleted, 0 when it was missing or could not be deleted.
int DeleteRegistryKey(os::Hive hive, std::string_view key);

// Sets each flag when one of the group's keys (its name or an older one)
// exists; true when any is set.
bool QueryBrowserIntegration(BrowserGroupFlags& flags);

struct BrowserIntegrationHooks {
  // The selection dialog "IE右クリック登録内容設定", starting from `flags`;
  // true when the user chose "更新". Without one the flags stay and apply.
  std::function<bool(BrowserGroupFlags& flags)> selectionDialog;
  // Where the native-messaging manifests go, and the host program (native
  // path). Empty: the user's browsers' directories and this program.
  std::string userHome, configHome, hostProgram;
};

// Deletes every entry key, the toolbar key and the component's keys (leaves
// first) and the host manifests; then "レジストリから削除しました".
void RemoveBrowserIntegration(const BrowserIntegrationHooks& hooks = {});
// 1 on success, 0 when a registry step failed or the user declined.
int RegisterBrowserIntegration(std::string_view installDir, const BrowserGroupFlags& flags,
                               const BrowserIntegrationHooks& hooks = {});
// The main window's command: query, dialog, remove what was there, register, tell.
void BrowserIntegrationCommand(std::string_view installDir, const BrowserIntegrationHooks& hooks);
// Offered when no tree file exists yet (or an old one).
void RunFirstSetup(std::string_view installDir, const BrowserIntegrationHooks& hooks);
// Run when an older tree file is found: renews the registration.
void RunUpgradeStep(std::string_view installDir, double oldVersion, const BrowserIntegrationHooks& hooks);

}  // namespace zentu
