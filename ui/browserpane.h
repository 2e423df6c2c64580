// The web pane of the main window as the windows see it: the tab browser
// lives in a library of its own (it brings the web engine), so the main
// window knows it only through this interface and a factory the program
// installs. Without a factory the pane stays the plain text placeholder.
#pragma once
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/profile.h"
#include "store/tree.h"

namespace zentu::ui {

class BrowserPane {
 public:
  virtual ~BrowserPane() = default;
  virtual QWidget* Widget() = 0;
  // Opens the start list and, with OpenLastOpened, the tabs of the last run.
  virtual void Start(const Profile& profile) = 0;
  virtual void OpenInNewTab(std::string_view title, std::string_view url) = 0;
  // Shows an item's saved copy (the original when there is none).
  virtual void OpenLocalCopy(TreeNode* item) = 0;
  // Shows a URL in the current tab (now, deferred or in a new tab as the profile says).
  virtual int OpenOriginal(std::string_view url) = 0;
  // The locations the open tabs were opened with, in tab order.
  virtual std::vector<std::string> OpenLocations() const = 0;
  // Shutdown: every browser and editor window goes.
  virtual void UninitAll() = 0;

  // --- the tabs' editors (text items) ---
  // Shows a text file in the editor of the current tab (a new tab with
  // `newTab`); `item` is its text item, or null for a file alone.
  virtual void OpenTextInEditor(std::string_view path, TreeNode* item, bool newTab) {
    (void)path, (void)item, (void)newTab;
  }
  // 40268: the current tab between its page and its editor.
  virtual void ToggleEditor() {}
  // Saves the open text of every editor (the auto-save and 40306); 0 when one failed.
  virtual int SaveOpenTexts() { return 1; }
  // Saves and lets go of the open text of every editor, as leaving it does
  // (an empty untitled note goes); false when one could not be saved.
  virtual bool CloseOpenTexts() { return true; }
  // The current tab's editor while the tab shows it, else null.
  virtual class TextEditor* CurrentEditor() { return nullptr; }
  // A browser command from a menu or a key (kBrowserCommands); tab commands
  // in single-browser mode are refused with a message.
  virtual void RunBrowserCommand(int command) = 0;
};

using BrowserPaneFactory = std::function<std::unique_ptr<BrowserPane>(QWidget* parent)>;
void SetBrowserPaneFactory(BrowserPaneFactory factory);
const BrowserPaneFactory& GetBrowserPaneFactory();

}  // namespace zentu::ui
