// The key configuration: the general list (main window, tree, list, browser,
// tabs) and the editor list, each a table of actions with one key combination
// and a map from combination to command. Stored in "keyconfig.dat" and
// "keyconfig_editor.dat". No toolkit here: the windows turn the bindings into
// shortcuts and the global hot keys.
#pragma once
#include <compare>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zentu {

enum class KeyList { General, Editor };

// Indices of the key-name table: 0..25 "A".."Z", 26..35 "0".."9",
// 36..47 "F1".."F12", then the named keys.
inline constexpr int kKeyA = 0;
inline constexpr int kKey0 = 26;
inline constexpr int kKeyF1 = 36;
inline constexpr int kKeySpace = 48;
inline constexpr int kKeyUp = 49;
inline constexpr int kKeyDown = 50;
inline constexpr int kKeyLeft = 51;
inline constexpr int kKeyRight = 52;
inline constexpr int kKeyPause = 53;
inline constexpr int kKeyEscape = 54;
inline constexpr int kKeyHome = 55;
inline constexpr int kKeyEnd = 56;
inline constexpr int kKeyNameCount = 57;

// "A", "F10", "SPACE" ...; empty outside the table.
std::string_view KeyName(int index);
// The virtual-key code of an index (letters and digits their characters,
// F1..F12 112..123, END 35), 0 outside the table.
int VirtualKeyOfIndex(int index);

struct KeyCombination {
  bool ctrl = false, alt = false, shift = false;
  int key = -1;
  auto operator<=>(const KeyCombination&) const = default;
};

struct KeyBinding {
  int command = 0;
  std::string name;  // Shift_JIS, the key of the file's line
  int ordinal = 0;
  bool ctrl = false, alt = false, shift = false;
  int key = -1;  // -1: unbound
  bool fromFile = false;

  KeyCombination Combination() const { return {ctrl, alt, shift, key}; }
  void Set(const KeyCombination& c) {
    ctrl = c.ctrl;
    alt = c.alt;
    shift = c.shift;
    key = c.key;
  }
  void Clear() { Set({}); }
};

struct KeyConfig {
  KeyList list = KeyList::General;
  std::vector<KeyBinding> bindings;
  // Combination -> command; the first declared action wins a shared combination.
  std::map<KeyCombination, int> commandMap;
};

// Empties the list and declares its actions in their fixed order, unbound.
void DeclareActions(KeyConfig& config, KeyList list);
// Reads a key file into a freshly declared list, then applies the defaults
// and rebuilds the map. Returns 0 when the file cannot be opened (the defaults
// are applied all the same).
int LoadKeyConfig(const std::string& path, KeyConfig& config);
// Writes the list whole (atomically, CR LF). Returns 0 at once when saving is
// disabled, and 0 when the file cannot be written.
int SaveKeyConfig(const std::string& path, const KeyConfig& config, bool flagSave);
// Gives every binding not read from the file its default, and marks all as read.
void ApplyDefaultKeys(KeyConfig& config);
void RebuildCommandMap(KeyConfig& config);
// The command bound to a combination, 0 when none.
int LookupCommand(const KeyConfig& config, const KeyCombination& combination);
// The first binding of a command, nullptr when it is not in the list.
const KeyBinding* FindBinding(const KeyConfig& config, int command);

// "C+A+S+F10" as the file writes it; "" when unbound.
std::string BindingFileText(const KeyCombination& combination);
// "Ctrl+Alt+Shift+F10" for people; "" when unbound.
std::string CombinationText(const KeyCombination& combination);
// Parses the part of a line after the tab into `binding` (modifiers add up;
// words outside the table leave the key as it was).
void ParseBindingText(std::string_view text, KeyBinding& binding);

enum class BindingCheck { Ok, NeedsModifier, Clash };
// Whether the dialog may give binding `index` the combination: a key alone
// must be F1..F12, PAUSE or ESCAPE; a combination another action of the list
// holds is refused too (`clashWith` gets that action's index). Clearing (key
// -1) is always allowed.
BindingCheck CheckBinding(const KeyConfig& config, size_t index, const KeyCombination& combination,
                          size_t* clashWith = nullptr);

// The commands that are registered as system-wide hot keys.
bool IsGlobalHotKeyCommand(int command);

// The program's two lists. Used on the UI thread only (start-up, the
// windows, shutdown).
KeyConfig& GeneralKeys();
KeyConfig& EditorKeys();
// Installs the load and save functions of both files into the configuration table.
void InstallKeyConfigHooks();

}  // namespace zentu
