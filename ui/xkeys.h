// Synthetic key presses for the foreground program, through the X server's
// XTEST extension. Kept apart from every Qt header: Xlib's macros (None,
// KeyPress, Bool, ...) break them.
#pragma once

namespace zentu::ui {

// Makes the program that has the keyboard focus copy its selection: first
// lets go of the modifier keys still held (the shortcut that started the
// command must not combine with what follows), then Ctrl down, C down, C up,
// Ctrl up. False when there is no X display or it lacks XTEST.
bool SendCopyKeystroke();

}  // namespace zentu::ui
