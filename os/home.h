// The Zentu home: the program directory of the classic program. $ZENTU_HOME
// when set, else $XDG_DATA_HOME/zentu, else ~/.local/share/zentu.
#pragma once
#include <string>

namespace zentu::os {

// Program-path form of the home ("Z:\home\a\.local\share\zentu"), no trailing "\".
std::string ZentuHome();
// Creates the home when it is missing; false when that fails.
bool EnsureZentuHome();
// Re-reads the environment (tests change ZENTU_HOME between cases).
void ResetZentuHome();

}  // namespace zentu::os
