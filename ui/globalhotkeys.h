// System-wide hot keys for the commands of the general list that must work
// while another program has the focus. On X11 they are key grabs on the root
// window (ui/globalhotkeys_x11.cpp, the only file that includes Xlib); a hot
// key arrives as the command of the same identifier.
#pragma once
#include <functional>

#include "store/keyconfig.h"

namespace zentu::ui {

// Registers the hot keys of `config`'s global commands. A combination another
// program holds is reported with the classic message and cleared in the list,
// so the next start does not report it again. False when any failed.
// Without an X11 display nothing is registered and the result is true.
bool RegisterGlobalHotKeys(KeyConfig& config, std::function<void(int command)> dispatch);
void UnregisterGlobalHotKeys();
// The commands whose hot keys are registered now (tests).
std::vector<int> RegisteredHotKeyCommands();

}  // namespace zentu::ui
