// The tab strip of the main window: one web view per tab, the deferred open
// and read-flag timers of each tab, the pop-up catcher, the tab menu and the
// address box. The decisions are browser/'s; this class carries them out.
#pragma once
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "browser/navigation.h"
#include "ui/browserpane.h"

class QLineEdit;
class QStackedWidget;
class QTabBar;
class QTimer;
class QUrl;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

namespace zentu::ui {

class WebPage;

class TabBrowser : public QWidget, public BrowserPane {
 public:
  // `engineProfile` nullptr: the default profile of the web engine.
  explicit TabBrowser(QWidget* parent, QWebEngineProfile* engineProfile = nullptr);
  ~TabBrowser() override;

  // BrowserPane
  QWidget* Widget() override { return this; }
  void Start(const Profile& profile) override;
  void OpenInNewTab(std::string_view title, std::string_view url) override;
  void OpenLocalCopy(TreeNode* item) override;
  int OpenOriginal(std::string_view url) override;
  std::vector<std::string> OpenLocations() const override;
  void UninitAll() override;
  void OpenTextInEditor(std::string_view path, TreeNode* item, bool newTab) override;
  void ToggleEditor() override;
  int SaveOpenTexts() override;
  bool CloseOpenTexts() override;
  TextEditor* CurrentEditor() override;
  void RunBrowserCommand(int command) override;

  // Tab operations (refused in single-browser mode, logged).
  void OpenInTab(int tab, std::string_view url);
  void CloseTab(int tab);
  void CloseOtherTabs(int keep);
  void SelectTab(int index);
  void PreviousTab();
  void NextTab();
  void CopyTitle(int tab, bool title, bool url);
  // Wraps the page's selection in marker 1 or 2; saves a local page after it
  // with SaveHtmlAtChange.
  void MarkSelection(int marker);
  // The address box's Enter: a URL or path opens in the current tab, anything else as a keyword.
  void OpenTyped(const std::string& typed);

  int Count() const;
  int Current() const;
  const TabRecord* Record(int tab) const;
  QWebEngineView* View(int tab) const;
  QTabBar* TabStrip() const { return strip_; }
  QLineEdit* AddressBox() const { return address_; }
  bool SingleMode() const { return single_; }
  // Told when a tab's page has finished loading (tests, measurements).
  std::function<void(int tab, bool ok)> onLoadFinished;

 private:
  struct Tab;
  Tab* Find(int index) const;
  int IndexOf(const Tab* tab) const;
  void Navigate(Tab& tab, const std::string& location);
  void StartReadTimer(Tab& tab, TreeNode* item);
  bool BeforeNavigate(Tab& tab, const QUrl& url, bool mainFrame);
  QWebEnginePage* NewWindow(Tab& tab);
  QWebEnginePage* MakePopupCatcher();
  void OnLoadFinished(Tab& tab, bool ok);
  void OnTitleChanged(Tab& tab);
  void UpdateStrip(Tab& tab);
  void Renumber();
  void ShowMenu(const QPoint& pos);
  void RunCommand(int command, int clicked);
  bool Refuse() const;
  void ConvertLocalToOriginal(Tab& tab);
  void SavePageHtml(Tab& tab);
  // The tab's editor, made when first needed; the page or the editor shown.
  TextEditor* EditorOf(Tab& tab);
  void ShowTab(Tab& tab);
  void LeaveEditor(Tab& tab);
  void OnEditorLink(Tab& tab, int id, const QString& link);

  QWebEngineProfile* engineProfile_;
  QTabBar* strip_;
  QStackedWidget* stack_;
  QLineEdit* address_;
  std::vector<std::unique_ptr<Tab>> tabs_;
  bool single_ = false;
};

// Program path or URL as the URL the web engine loads ("Z:\a\b.html#x" as a
// file URL of the native path).
QUrl EngineUrl(const std::string& location);
// An engine URL in the program's form: file URLs as program paths (with the
// fragment), anything else as it is.
std::string ProgramLocation(const QUrl& url);

}  // namespace zentu::ui
