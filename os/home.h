// The Zentu home: the program directory of the classic program. $ZENTU_HOME
// when set, else $XDG_DATA_HOME/zentu, else ~/.local/share/zentu.
#pragma once
#include <string>

namespace zentu::os {

// Program-path form of the home ("Z:\home\a\.local\share\zentu"), no trailing "\".
std::string ZentuHome();
// Creates the home when it is missing; false when that fails.
bool EnsureZentuHome();
// The user's home ($HOME) and configuration directory ($XDG_CONFIG_HOME, else
// ~/.config), in program-path form: where browsers keep their settings.
std::string UserHomeDirectory();
std::string UserConfigDirectory();
// True when an executable of that name lies in a directory of $PATH.
bool ProgramOnPath(const std::string& name);
// Re-reads the environment (tests change ZENTU_HOME between cases).
void ResetZentuHome();

}  // namespace zentu::os
