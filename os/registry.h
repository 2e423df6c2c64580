// The registry as Zentu meets it on Linux: one text file, "registry.dat" in
// the Zentu home, with the key paths and value names a Windows registry would
// hold. It keeps the browser integration's entries (and nothing of the
// system): a hive, keys below it, each key with named string or 32-bit values
// ("" is the default value).
//
// The file reads like a registry export, Shift_JIS with CR LF:
//   [HKEY_CURRENT_USER\Software\Microsoft\Internet Explorer\MenuExt\...]
//   @="Z:\\opt\\zentu\\zentu_dl.html"
//   "Contexts"=dword:0000007f
// A new registry holds the keys every user's registry has ("Software",
// "Software\Microsoft", "Software\Microsoft\Internet Explorer"). Every change
// rewrites the file whole (WriteFileAtomic) under one lock, so two threads
// never lose each other's changes.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zentu::os {

enum class Hive { ClassesRoot, CurrentUser };

// The registry file: "registry.dat" in the Zentu home.
std::string RegistryPath();

struct RegistryValue {
  enum class Type { String, Dword } type = Type::String;
  std::string text;
  uint32_t number = 0;
};

// Key paths are "\"-separated, compared without regard to ASCII case.
bool RegistryKeyExists(Hive hive, std::string_view key);
// Creates the key (and the keys above it that are missing). True when it exists afterwards.
[[nodiscard]] bool RegistryCreateKey(Hive hive, std::string_view key);
// Sets a value of an existing key; false when the key is missing or the file cannot be written.
[[nodiscard]] bool RegistrySetString(Hive hive, std::string_view key, std::string_view name, std::string_view value);
[[nodiscard]] bool RegistrySetDword(Hive hive, std::string_view key, std::string_view name, uint32_t value);
std::optional<RegistryValue> RegistryGetValue(Hive hive, std::string_view key, std::string_view name);
// Deletes a key that has no subkeys (as the system's call does); false when it
// is missing, has subkeys, or the file cannot be written.
[[nodiscard]] bool RegistryDeleteKey(Hive hive, std::string_view key);
// The subkeys' names directly below a key.
std::vector<std::string> RegistrySubkeys(Hive hive, std::string_view key);

}  // namespace zentu::os
