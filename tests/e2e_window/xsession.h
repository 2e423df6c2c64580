// A private X display for tests that drive the real program's windows: an
// Xvfb server on a free display number, top-level windows found by their
// titles, key presses through the XTEST extension, and pictures of windows.
//
// No window manager runs: windows sit where the program puts them, and the
// test gives the keyboard focus itself.
#pragma once
#include <sys/types.h>

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>
#include <functional>
#include <string>
#include <vector>

using XDisplayHandle = struct _XDisplay;

namespace zentu::testing {

class XSession {
 public:
  // Starts Xvfb with one screen of the given size; Started() tells whether it runs.
  XSession(int width, int height);
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  // False when Xvfb is missing or did not come up; Error() tells why.
  bool Started() const { return display_ != nullptr; }
  const std::string& Error() const { return error_; }
  // ":<n>", for the DISPLAY of child processes.
  const std::string& Name() const { return name_; }

  struct Window {
    unsigned long id = 0;
    QString title;
    QRect frame;  // on the screen
  };
  // The viewable top-level windows.
  std::vector<Window> Windows() const;
  // The first viewable top-level window whose title starts with `prefix`,
  // waited for up to `timeoutMs`; id 0 when none came.
  Window WaitForWindow(const QString& prefix, int timeoutMs = 30000) const;
  // Waits until the window's title satisfies `accept`; false on time-out.
  bool WaitForTitle(unsigned long id, const std::function<bool(const QString&)>& accept,
                    int timeoutMs = 10000) const;
  QString Title(unsigned long id) const;

  // Raises the window and gives it the keyboard focus.
  void Focus(unsigned long id);
  // Presses and releases a key (an X keysym name such as "Down", "F6" or
  // "t") with the modifiers held ("Control_L", "Shift_L", ...).
  void Key(const char* keysym, const std::vector<const char*>& modifiers = {});
  // Whether the window is mapped and all its ancestors are (it can be seen).
  bool Viewable(unsigned long id) const;
  // The window that has the keyboard focus.
  unsigned long FocusedWindow() const;
  // The modifier and lock bits the keyboard has now (ShiftMask, LockMask ...).
  unsigned int ModifierState() const;
  // A plain window of this connection, mapped and waited for: a client other
  // than the program, for tests that need one to have the focus.
  unsigned long CreateClientWindow(QRect area, unsigned long pixel = 0x3060a0);
  void DestroyWindow(unsigned long id);
  // What a window manager does when the program asks to be iconified: the
  // window is unmapped and its WM_STATE says iconic.
  void Iconify(unsigned long id);
  // Unmaps the window without a word to its program, as another client may.
  void Unmap(unsigned long id);
  // What a window manager does when a window is mapped again: WM_STATE says normal.
  void SetNormalState(unsigned long id);
  // Grabs the key with these modifiers on the root window for this
  // connection, as another program holding a hot key does; false when another
  // client holds it already.
  bool GrabKey(const char* keysym, unsigned int modifiers);
  void UngrabKey(const char* keysym, unsigned int modifiers);
  // True when no other client holds the key (grabbed and let go at once).
  bool KeyIsFree(const char* keysym, unsigned int modifiers) {
    if (!GrabKey(keysym, modifiers)) return false;
    UngrabKey(keysym, modifiers);
    return true;
  }

  // A click of the first button at a point of the screen.
  void Click(QPoint at);
  // What the screen shows of the window (raised first), or a null image.
  QImage Grab(unsigned long id);
  // What the screen shows in `area`, with nothing raised (a dialog over its window).
  QImage GrabArea(QRect area);

 private:
  pid_t server_ = -1;
  XDisplayHandle* display_ = nullptr;
  std::string name_;
  std::string error_;
};

// A mouse drag with the first button, on a connection of its own, so that it
// may run on another thread while the program's event loop runs (a drag runs
// a loop of its own until the button is released): the pointer goes to `from`,
// presses, moves in small steps to `to`, stays there `hoverMs` and releases.
// With `shot`, what the screen shows of `area` while the pointer hovers.
// False when the display cannot be opened.
bool DragPointer(const std::string& display, QPoint from, QPoint to, int hoverMs, QRect area = {},
                 QImage* shot = nullptr);

// Number of distinct colours in the image (up to `limit`): a blank or
// half-drawn window has very few.
int DistinctColours(const QImage& image, int limit = 4096);

}  // namespace zentu::testing
