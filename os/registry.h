// The file-backed registry: what the Windows program kept in the classes hive
// and the current user's hive lives in "registry.reg" in the Zentu home, in
// the text form of a registry export (Shift_JIS, CR LF):
//   [HKEY_CLASSES_ROOT\TypeLib\{...}\1.0\0\win32]
//   @="Z:\\apps\\zentu\\Zentu.dll"
// Same key paths and value names as on Windows; key names compare without
// regard to ASCII case. Read side only here.
#pragma once
#include <string>
#include <string_view>

namespace zentu::os {

enum class RegistryHive { ClassesRoot, CurrentUser };

// Program path of the registry file ("" = the home's registry.reg).
void SetRegistryFile(std::string_view path);
std::string RegistryFile();
// True when the key exists (a section of the file names it).
bool RegistryKeyExists(RegistryHive hive, std::string_view key);
// The key's default value ("@"); false when the key or the value is missing.
bool RegistryDefaultValue(RegistryHive hive, std::string_view key, std::string& value);

}  // namespace zentu::os
