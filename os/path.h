// Program paths are Windows-style Shift_JIS paths; the POSIX root is drive Z:.
// Only this layer turns them into native UTF-8 paths and back.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace zentu::os {

// "Z:\home\a\x.html" -> "/home/a/x.html". A relative program path becomes a
// relative native path. Any drive other than Z: (or a network path) has no
// native form and yields nullopt.
std::optional<std::string> ToNativePath(std::string_view programPath);

// "/home/a/x.html" -> "Z:\home\a\x.html". Relative native paths stay relative.
// Names with characters that code page 932 cannot hold set `lossy` and keep
// them as references (ProgramNameFromNative).
std::string FromNativePath(std::string_view nativePath, bool* lossy = nullptr);

// A native (UTF-8) name in program form. What code page 932 cannot hold is kept
// as a decimal reference ("&#233;"; a byte that is no UTF-8 as "&#" 0xDC00 + byte),
// and a literal "&#" as "&#38;#", so ToNativePath gives the very same name back:
// such files stay reachable and are never renamed. `lossy` tells that a reference
// stands in for a character.
std::string ProgramNameFromNative(std::string_view nativeName, bool* lossy = nullptr);

// Joins a directory and a name with one "\" (no doubled separator).
std::string JoinPath(std::string_view dir, std::string_view name);
// The part before the last "\" (two-byte characters stepped over), or "" when none.
std::string DirectoryOf(std::string_view path);
// The part after the last "\".
std::string FileNameOf(std::string_view path);
// Accepts either a program path or a native absolute path ("/srv/pages") and
// returns the program form; used for settings the user may type either way.
std::string NormalizeSettingPath(std::string_view path);

}  // namespace zentu::os
