#include "app/headless_ui.h"

#include "os/log.h"

namespace zentu {

void HeadlessUi::Announce() { WriteLog("> %s", reason_.c_str()); }

void HeadlessUi::RaiseMainWindow() { WriteLog("> no window to bring to the front: Zentu runs headless"); }

}  // namespace zentu
