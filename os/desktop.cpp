#include "os/desktop.h"

#include <atomic>
#include <string>

#include "os/log.h"

namespace zentu::os {
namespace {
HeadlessDesktop g_headless;
std::atomic<Desktop*> g_desktop{&g_headless};

const char* ResultName(int r) {
  switch (r) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return "?";
  }
}
}  // namespace

int HeadlessDesktop::MessageBox(std::string_view text, std::string_view caption, Buttons,
                                int defaultResult) {
  std::string t(text), c(caption);
  WriteLog("[MessageBox] %s : %s -> %s", c.c_str(), t.c_str(), ResultName(defaultResult));
  return defaultResult;
}

void HeadlessDesktop::Notice(std::string_view text) {
  std::string t(text);
  WriteLog("[Notice] %s", t.c_str());
}

void HeadlessDesktop::StatusText(std::string_view) {}

void HeadlessDesktop::TrayTip(std::string_view) {}

Desktop& GetDesktop() { return *g_desktop.load(); }

void SetDesktop(Desktop* desktop) { g_desktop = desktop ? desktop : &g_headless; }

int MessageBox(std::string_view text, std::string_view caption, Buttons buttons, int defaultResult) {
  return GetDesktop().MessageBox(text, caption, buttons, defaultResult);
}

void Notice(std::string_view text) { GetDesktop().Notice(text); }

}  // namespace zentu::os
