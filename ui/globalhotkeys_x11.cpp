#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QGuiApplication>
#include <QTimer>
#include <vector>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "ui/globalhotkeys.h"

// Xlib's macros (None, Bool, KeyPress ...) break Qt and our headers: they
// come last and stay in this file.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace zentu::ui {
namespace {

struct Grab {
  int command;
  xcb_keycode_t keycode;
  uint16_t modifiers;
};

unsigned long KeysymOfIndex(int index) {
  if (index >= kKeyA && index < kKey0) return XK_a + static_cast<unsigned long>(index - kKeyA);
  if (index >= kKey0 && index < kKeyF1) return XK_0 + static_cast<unsigned long>(index - kKey0);
  if (index >= kKeyF1 && index < kKeySpace) return XK_F1 + static_cast<unsigned long>(index - kKeyF1);
  switch (index) {
    case kKeySpace: return XK_space;
    case kKeyUp: return XK_Up;
    case kKeyDown: return XK_Down;
    case kKeyLeft: return XK_Left;
    case kKeyRight: return XK_Right;
    case kKeyPause: return XK_Pause;
    case kKeyEscape: return XK_Escape;
    case kKeyHome: return XK_Home;
    case kKeyEnd: return XK_End;
    default: return NoSymbol;
  }
}

class HotKeyFilter : public QAbstractNativeEventFilter {
 public:
  std::vector<Grab> grabs;
  // The lock states each grab is made in (Caps Lock and Num Lock must not
  // hide a hot key), as found when the grabs were made.
  std::vector<uint16_t> lockMasks{0};
  std::function<void(int)> dispatch;

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    const uint16_t state = key->state & (XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT);
    for (const Grab& g : grabs) {
      if (g.keycode != key->detail || g.modifiers != state) continue;
      const int command = g.command;
      auto run = dispatch;
      // Out of the native event handling before the command opens windows.
      QTimer::singleShot(0, qApp, [run, command] {
        WriteLogVerbose("hot key %d", command);
        if (run) run(command);
      });
      return true;
    }
    return false;
  }
};

HotKeyFilter* g_filter = nullptr;

struct X11 {
  Display* display = nullptr;
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
};

X11 Connection() {
  X11 x;
  auto* app = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!app) return x;
  x.display = app->display();
  x.connection = app->connection();
  if (!x.display || !x.connection) return {};
  x.root = static_cast<xcb_window_t>(DefaultRootWindow(x.display));
  return x;
}

// The modifier bit Num Lock sets. Mostly Mod2, but the keyboard map decides:
// with a fixed Mod2 the hot keys stop working while Num Lock is on wherever
// the map puts it elsewhere. 0 when no key is Num Lock.
uint16_t NumLockMask(Display* display) {
  const KeyCode numLock = XKeysymToKeycode(display, XK_Num_Lock);
  XModifierKeymap* map = numLock ? XGetModifierMapping(display) : nullptr;
  if (!map) return 0;
  uint16_t mask = 0;
  for (int modifier = 0; modifier < 8 && !mask; ++modifier)
    for (int k = 0; k < map->max_keypermod; ++k)
      if (map->modifiermap[modifier * map->max_keypermod + k] == numLock) {
        mask = static_cast<uint16_t>(1u << modifier);
        break;
      }
  XFreeModifiermap(map);
  // Shift, Lock and Control are never Num Lock's.
  return mask > XCB_MOD_MASK_CONTROL ? mask : 0;
}

std::vector<uint16_t> LockMasks(Display* display) {
  const uint16_t num = NumLockMask(display);
  if (!num) return {0, XCB_MOD_MASK_LOCK};
  return {0, XCB_MOD_MASK_LOCK, num, static_cast<uint16_t>(XCB_MOD_MASK_LOCK | num)};
}

void Ungrab(const X11& x, const Grab& g) {
  for (uint16_t lock : g_filter->lockMasks)
    xcb_ungrab_key(x.connection, g.keycode, x.root, static_cast<uint16_t>(g.modifiers | lock));
}

// True when every variant of the grab was accepted; a partial grab is undone.
bool GrabKey(const X11& x, const Grab& g) {
  bool ok = true;
  for (uint16_t lock : g_filter->lockMasks) {
    xcb_void_cookie_t cookie = xcb_grab_key_checked(x.connection, 1, x.root, static_cast<uint16_t>(g.modifiers | lock),
                                                    g.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    if (xcb_generic_error_t* error = xcb_request_check(x.connection, cookie)) {
      free(error);
      ok = false;
    }
  }
  if (!ok) Ungrab(x, g);
  return ok;
}

std::string CollisionText(const KeyBinding& b) {
  const std::string combination = "[" + CombinationText(b.Combination()) + "]";
  std::string text = os::SJ("[%s] のホットキー %s が衝突しています．\r\nこのホットキーの設定をクリアしますので自分で設定してください．\r\nメニューの[設定]-[キー設定]-[全体設定]で %s に関する設定をすればOKです． ");
  for (const std::string* part : {&b.name, &combination, &b.name}) {
    const size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, *part);
  }
  return text;
}

}  // namespace

bool RegisterGlobalHotKeys(KeyConfig& config, std::function<void(int)> dispatch) {
  UnregisterGlobalHotKeys();
  const X11 x = Connection();
  if (!x.connection) {
    WriteLogVerbose("> RegisterHotKey: no X11 display");
    return true;
  }
  if (!g_filter) {
    g_filter = new HotKeyFilter;  // lives with the application
    qApp->installNativeEventFilter(g_filter);
  }
  g_filter->dispatch = std::move(dispatch);
  g_filter->lockMasks = LockMasks(x.display);
  bool allOk = true;
  for (KeyBinding& b : config.bindings) {
    if (!IsGlobalHotKeyCommand(b.command) || b.key < 0) continue;
    const KeyCode code = XKeysymToKeycode(x.display, KeysymOfIndex(b.key));
    uint16_t mods = 0;
    if (b.ctrl) mods |= XCB_MOD_MASK_CONTROL;
    if (b.alt) mods |= XCB_MOD_MASK_1;
    if (b.shift) mods |= XCB_MOD_MASK_SHIFT;
    const Grab g{b.command, static_cast<xcb_keycode_t>(code), mods};
    if (code != 0 && GrabKey(x, g)) {
      g_filter->grabs.push_back(g);
      continue;
    }
    allOk = false;
    WriteLog("> RegisterHotKey: %d %s", b.command, CombinationText(b.Combination()).c_str());
    os::MessageBox(CollisionText(b), "Zentu");
    b.Clear();
  }
  xcb_flush(x.connection);
  RebuildCommandMap(config);
  return allOk;
}

void UnregisterGlobalHotKeys() {
  if (!g_filter || g_filter->grabs.empty()) return;
  const X11 x = Connection();
  if (x.connection) {
    for (const Grab& g : g_filter->grabs) Ungrab(x, g);
    xcb_flush(x.connection);
  }
  g_filter->grabs.clear();
}

std::vector<int> RegisteredHotKeyCommands() {
  std::vector<int> out;
  if (g_filter)
    for (const Grab& g : g_filter->grabs) out.push_back(g.command);
  return out;
}

}  // namespace zentu::ui
