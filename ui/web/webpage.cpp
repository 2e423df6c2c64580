#include "ui/web/webpage.h"

namespace zentu::ui {

WebPage::WebPage(QWebEngineProfile* profile, QObject* parent, NavigateFn navigate, NewWindowFn newWindow)
    : QWebEnginePage(profile, parent), navigate_(std::move(navigate)), newWindow_(std::move(newWindow)) {}

bool WebPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) {
  return navigate_ ? navigate_(url, isMainFrame) : true;
}

QWebEnginePage* WebPage::createWindow(WebWindowType) { return newWindow_ ? newWindow_() : nullptr; }

}  // namespace zentu::ui
