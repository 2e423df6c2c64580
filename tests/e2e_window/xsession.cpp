#include "tests/e2e_window/xsession.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSet>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace zentu::testing {
namespace {

// The program's windows come and go while they are looked at: a vanished
// window is not an error for these tests.
int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

XSession::XSession(int width, int height) {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  // Xvfb writes its display number to fd 3 once it accepts clients.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  std::vector<std::string> args{"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = ::posix_spawnp(&server_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ready[1]);
  if (rc != 0) {
    server_ = -1;
    ::close(ready[0]);
    error_ = "Xvfb could not be started (is it installed?)";
    return;
  }
  std::string number;
  pollfd p{ready[0], POLLIN, 0};
  for (int waited = 0; waited < 20000 && number.find('\n') == std::string::npos;) {
    const int n = ::poll(&p, 1, 200);
    if (n < 0 && errno != EINTR) break;
    waited += 200;
    if (n <= 0) continue;
    char buffer[32];
    const ssize_t got = ::read(ready[0], buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<size_t>(got));
  }
  ::close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    error_ = "Xvfb did not report a display";
    return;
  }
  name_ = ":" + number.substr(0, number.find('\n'));
  XSetErrorHandler(IgnoreXErrors);
  display_ = XOpenDisplay(name_.c_str());
  if (!display_) {
    error_ = "cannot open display " + name_;
    return;
  }
  int event, error, major, minor;
  if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) {
    error_ = "the X server has no XTEST extension";
    XCloseDisplay(display_);
    display_ = nullptr;
  }
}

XSession::~XSession() {
  if (display_) XCloseDisplay(display_);
  if (server_ > 0) {
    ::kill(server_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(server_, &status, WNOHANG) == server_) return;
      Sleep(100);
    }
    ::kill(server_, SIGKILL);
    while (::waitpid(server_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

QString XSession::Title(unsigned long id) const {
  if (!display_) return {};
  Atom netName = XInternAtom(display_, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  QString title;
  if (XGetWindowProperty(display_, id, netName, 0, 4096, False, utf8, &type, &format, &count, &after, &data) ==
          Success &&
      data && type == utf8) {
    title = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(count));
  }
  if (data) XFree(data);
  if (title.isEmpty()) {
    char* name = nullptr;
    if (XFetchName(display_, id, &name) && name) {
      title = QString::fromLocal8Bit(name);
      XFree(name);
    }
  }
  return title;
}

std::vector<XSession::Window> XSession::Windows() const {
  std::vector<Window> out;
  if (!display_) return out;
  XSync(display_, False);
  ::Window root = DefaultRootWindow(display_), parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display_, root, &root, &parent, &children, &count)) return out;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, children[i], &a) || a.map_state != IsViewable) continue;
    Window w;
    w.id = children[i];
    w.title = Title(children[i]);
    w.frame = QRect(a.x, a.y, a.width, a.height);
    out.push_back(w);
  }
  if (children) XFree(children);
  return out;
}

XSession::Window XSession::WaitForWindow(const QString& prefix, int timeoutMs) const {
  QElapsedTimer timer;
  timer.start();
  do {
    for (const Window& w : Windows())
      if (w.title.startsWith(prefix)) return w;
    Sleep(50);
  } while (timer.elapsed() < timeoutMs);
  return {};
}

bool XSession::WaitForTitle(unsigned long id, const std::function<bool(const QString&)>& accept,
                            int timeoutMs) const {
  QElapsedTimer timer;
  timer.start();
  do {
    if (accept(Title(id))) return true;
    Sleep(30);
  } while (timer.elapsed() < timeoutMs);
  return false;
}

void XSession::Focus(unsigned long id) {
  if (!display_) return;
  XRaiseWindow(display_, id);
  XSetInputFocus(display_, id, RevertToPointerRoot, CurrentTime);
  XSync(display_, False);
  for (int i = 0; i < 40; ++i) {
    ::Window focused = 0;
    int revert = 0;
    XGetInputFocus(display_, &focused, &revert);
    if (focused == id) break;
    Sleep(50);
  }
  Sleep(150);  // the program takes the focus-in before the first key
}

void XSession::Key(const char* keysym, const std::vector<const char*>& modifiers) {
  if (!display_) return;
  auto code = [this](const char* name) { return XKeysymToKeycode(display_, XStringToKeysym(name)); };
  for (const char* m : modifiers) XTestFakeKeyEvent(display_, code(m), True, CurrentTime);
  XTestFakeKeyEvent(display_, code(keysym), True, CurrentTime);
  XTestFakeKeyEvent(display_, code(keysym), False, CurrentTime);
  for (auto m = modifiers.rbegin(); m != modifiers.rend(); ++m)
    XTestFakeKeyEvent(display_, code(*m), False, CurrentTime);
  XSync(display_, False);
}

bool XSession::Viewable(unsigned long id) const {
  if (!display_) return false;
  XSync(display_, False);
  XWindowAttributes a;
  return XGetWindowAttributes(display_, id, &a) && a.map_state == IsViewable;
}

unsigned long XSession::FocusedWindow() const {
  if (!display_) return 0;
  ::Window focused = 0;
  int revert = 0;
  XGetInputFocus(display_, &focused, &revert);
  return focused;
}

unsigned int XSession::ModifierState() const {
  if (!display_) return 0;
  ::Window root = 0, child = 0;
  int rx, ry, wx, wy;
  unsigned int mask = 0;
  XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rx, &ry, &wx, &wy, &mask);
  return mask;
}

unsigned long XSession::CreateClientWindow(QRect area, unsigned long pixel) {
  if (!display_) return 0;
  const ::Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), area.x(), area.y(),
                                         static_cast<unsigned>(area.width()), static_cast<unsigned>(area.height()),
                                         0, 0, pixel);
  XStoreName(display_, w, "other client");
  XMapRaised(display_, w);
  XSync(display_, False);
  for (int i = 0; i < 100 && !Viewable(w); ++i) Sleep(20);
  return w;
}

void XSession::DestroyWindow(unsigned long id) {
  if (!display_) return;
  XDestroyWindow(display_, id);
  XSync(display_, False);
}

namespace {

void SetWmState(Display* display, unsigned long id, long value) {
  const Atom wmState = XInternAtom(display, "WM_STATE", False);
  const long state[2] = {value, 0};
  XChangeProperty(display, id, wmState, wmState, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(state),
                  2);
}

}  // namespace

void XSession::Iconify(unsigned long id) {
  if (!display_) return;
  SetWmState(display_, id, IconicState);
  XUnmapWindow(display_, id);
  XSync(display_, False);
}

void XSession::Unmap(unsigned long id) {
  if (!display_) return;
  XUnmapWindow(display_, id);
  XSync(display_, False);
}

void XSession::SetNormalState(unsigned long id) {
  if (!display_) return;
  SetWmState(display_, id, NormalState);
  XSync(display_, False);
}

namespace {

bool g_grabRefused = false;
int NoteGrabError(Display*, XErrorEvent* e) {
  if (e->error_code == BadAccess) g_grabRefused = true;
  return 0;
}

}  // namespace

bool XSession::GrabKey(const char* keysym, unsigned int modifiers) {
  if (!display_) return false;
  const KeyCode code = XKeysymToKeycode(display_, XStringToKeysym(keysym));
  if (code == 0) return false;
  XSync(display_, False);
  g_grabRefused = false;
  auto* previous = XSetErrorHandler(NoteGrabError);
  XGrabKey(display_, code, modifiers, DefaultRootWindow(display_), True, GrabModeAsync, GrabModeAsync);
  XSync(display_, False);
  XSetErrorHandler(previous);
  return !g_grabRefused;
}

void XSession::UngrabKey(const char* keysym, unsigned int modifiers) {
  if (!display_) return;
  XUngrabKey(display_, XKeysymToKeycode(display_, XStringToKeysym(keysym)), modifiers, DefaultRootWindow(display_));
  XSync(display_, False);
}

void XSession::Click(QPoint at) {
  if (!display_) return;
  XTestFakeMotionEvent(display_, -1, at.x(), at.y(), CurrentTime);
  XTestFakeButtonEvent(display_, 1, True, CurrentTime);
  XTestFakeButtonEvent(display_, 1, False, CurrentTime);
  XSync(display_, False);
  Sleep(100);
}

namespace {

QImage ScreenArea(Display* display, QRect area) {
  XImage* image = XGetImage(display, DefaultRootWindow(display), area.x(), area.y(),
                            static_cast<unsigned>(area.width()), static_cast<unsigned>(area.height()), AllPlanes,
                            ZPixmap);
  if (!image) return {};
  QImage out(area.width(), area.height(), QImage::Format_RGB32);
  for (int y = 0; y < area.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < area.width(); ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      // A 24-bit TrueColor visual: red, green, blue in the masks' order.
      line[x] = qRgb(static_cast<int>((pixel & image->red_mask) >> 16), static_cast<int>((pixel & image->green_mask) >> 8),
                     static_cast<int>(pixel & image->blue_mask));
    }
  }
  XDestroyImage(image);
  return out;
}

}  // namespace

bool DragPointer(const std::string& name, QPoint from, QPoint to, int hoverMs, QRect area, QImage* shot) {
  Display* display = XOpenDisplay(name.c_str());
  if (!display) return false;
  auto move = [&](QPoint p) {
    XTestFakeMotionEvent(display, -1, p.x(), p.y(), CurrentTime);
    XSync(display, False);
  };
  move(from);
  Sleep(100);
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  XSync(display, False);
  Sleep(100);
  // A few pixels first: past the start distance the view begins its drag.
  for (int d = 2; d <= 20; d += 2) {
    move(from + QPoint(d, d / 2));
    Sleep(20);
  }
  const int steps = 25;
  const QPoint start = from + QPoint(20, 10);
  for (int i = 1; i <= steps; ++i) {
    move(start + (to - start) * i / steps);
    Sleep(25);
  }
  move(to + QPoint(1, 0));
  Sleep(hoverMs / 2);
  move(to);
  Sleep(hoverMs / 2);
  if (shot && !area.isEmpty()) *shot = ScreenArea(display, area);
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  XSync(display, False);
  XCloseDisplay(display);
  return true;
}

QImage XSession::GrabArea(QRect area) {
  if (!display_) return {};
  XSync(display_, False);
  return ScreenArea(display_, area);
}

QImage XSession::Grab(unsigned long id) {
  if (!display_) return {};
  XRaiseWindow(display_, id);
  XSync(display_, False);
  Sleep(300);  // the raised window repaints what was covered
  XWindowAttributes a;
  if (!XGetWindowAttributes(display_, id, &a)) return {};
  // From the root: what the screen shows, with the window on top.
  XImage* image = XGetImage(display_, DefaultRootWindow(display_), a.x, a.y, static_cast<unsigned>(a.width),
                            static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
  if (!image) return {};
  QImage out(a.width, a.height, QImage::Format_RGB32);
  for (int y = 0; y < a.height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < a.width; ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      // A 24-bit TrueColor visual: red, green, blue in the masks' order.
      line[x] = qRgb(static_cast<int>((pixel & image->red_mask) >> 16), static_cast<int>((pixel & image->green_mask) >> 8),
                     static_cast<int>(pixel & image->blue_mask));
    }
  }
  XDestroyImage(image);
  return out;
}

int DistinctColours(const QImage& image, int limit) {
  QSet<QRgb> seen;
  for (int y = 0; y < image.height(); y += 2) {
    const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); x += 2) {
      seen.insert(line[x]);
      if (seen.size() >= limit) return limit;
    }
  }
  return static_cast<int>(seen.size());
}

}  // namespace zentu::testing
