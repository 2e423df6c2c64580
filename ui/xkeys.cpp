#include "ui/xkeys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <initializer_list>

namespace zentu::ui {
namespace {

bool IsDown(const char keys[32], KeyCode code) { return code && (keys[code / 8] & (1 << (code % 8))); }

}  // namespace

bool SendCopyKeystroke() {
  // A connection of our own: the toolkit's may not be Xlib's, and this one
  // lives only for the four events.
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
    XCloseDisplay(display);
    return false;
  }
  char keys[32] = {};
  XQueryKeymap(display, keys);
  for (KeySym held : {XK_Shift_L, XK_Shift_R, XK_Control_L, XK_Control_R, XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R}) {
    KeyCode code = XKeysymToKeycode(display, held);
    if (IsDown(keys, code)) XTestFakeKeyEvent(display, code, False, CurrentTime);
  }
  const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
  const KeyCode c = XKeysymToKeycode(display, XK_c);
  XTestFakeKeyEvent(display, control, True, CurrentTime);
  XTestFakeKeyEvent(display, c, True, CurrentTime);
  XTestFakeKeyEvent(display, c, False, CurrentTime);
  XTestFakeKeyEvent(display, control, False, CurrentTime);
  XSync(display, False);
  XCloseDisplay(display);
  return control != 0 && c != 0;
}

}  // namespace zentu::ui
