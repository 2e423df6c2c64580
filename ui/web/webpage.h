// One tab's page: hands the engine's navigation requests and new windows to
// the tab browser's rules. Kept apart so the rules see program paths only.
#pragma once
#include <QWebEnginePage>
#include <functional>

namespace zentu::ui {

class WebPage : public QWebEnginePage {
 public:
  // Before-navigate: true lets the navigation proceed.
  using NavigateFn = std::function<bool(const QUrl& url, bool mainFrame)>;
  // New window: the page that receives it, or nullptr to refuse it.
  using NewWindowFn = std::function<QWebEnginePage*()>;
  WebPage(QWebEngineProfile* profile, QObject* parent, NavigateFn navigate, NewWindowFn newWindow);

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
  QWebEnginePage* createWindow(WebWindowType type) override;

 private:
  NavigateFn navigate_;
  NewWindowFn newWindow_;
};

}  // namespace zentu::ui
