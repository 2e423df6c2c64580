#include "ui/browserpane.h"

namespace zentu::ui {
namespace {
BrowserPaneFactory& Factory() {
  static BrowserPaneFactory factory;
  return factory;
}
}  // namespace

void SetBrowserPaneFactory(BrowserPaneFactory factory) { Factory() = std::move(factory); }
const BrowserPaneFactory& GetBrowserPaneFactory() { return Factory(); }

}  // namespace zentu::ui
