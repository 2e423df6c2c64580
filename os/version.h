// Who this program is: the version, edition and date that the log's banner,
// the window title, the About box and the default User-Agent show.
#pragma once
#include <string>
#include <string_view>

namespace zentu::os {

inline constexpr double kProgramVersion = 0.99;
inline constexpr char kEditionLetter[] = "M";
inline constexpr char kUpdateDate[] = "2007/02/12";
// The single-instance token's name, also the main window's class name.
inline constexpr char kWindowClassName[] = "Zentu [Moruska]";

// "0.99", whatever the locale says of decimal points.
std::string VersionNumberText();
// The number and the edition letter: "0.99M".
std::string VersionText();

// The main window's title: "Zentu ", "v" and VersionText when `showVersion`,
// and " [text]" for a page or folder. The text's bytes are taken as they are,
// so Shift_JIS and UTF-8 titles both work.
std::string WindowTitle(bool showVersion, std::string_view text);

}  // namespace zentu::os
