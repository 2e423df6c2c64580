// The windows of Zentu, created once the collection is loaded: the main
// window, the log window, the download manager window and the tray icon, with
// the command dispatcher behind menus, tool bar, keys and hot keys.
//
//   ui::QtDesktop desktop;              // before anything may show a message
//   os::SetDesktop(&desktop);
//   ... load profile and collection ...
//   ui::AppWindows windows([&] { frame.Close(); });
//   windows.ShowMain(showState);
//   windows.PlaceLogWindow();
//   windows.AddTrayIcon("Zentu");
//
// Everything here runs on the UI thread. Other threads reach the windows only
// through the Desktop (StatusText, ...), the collection's change notices
// (TreeWatch, registered while the windows exist), the log and the queue's
// listener, all of which post to the UI thread.
//
// Freeing nodes: whoever frees nodes of the collection (on the UI thread)
// calls Refresh() before returning to the event loop, so the views never
// paint a freed node.
#pragma once
#include <QString>
#include <chrono>
#include <map>
#include <memory>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "browser/navigation.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/tree_observer.h"
#include "ui/commands.h"
#include "ui/treewatch.h"

class QCloseEvent;
class QTimer;
class QSystemTrayIcon;
class QMenu;

namespace zentu::ui {

class CScrapAgent;
class ClipboardCapture;
class DownloadWindow;
class LogWindow;
class MainWindow;

class AppWindows {
 public:
  // `shutdown` runs the program's ordered shutdown after the user confirmed
  // the close (it ends the event loop); without one the event loop just quits.
  explicit AppWindows(std::function<void()> shutdown = {});
  ~AppWindows();
  AppWindows(const AppWindows&) = delete;
  AppWindows& operator=(const AppWindows&) = delete;

  // The windows that exist now, or nullptr (UI thread).
  static AppWindows* Live();

  // --- Start ---------------------------------------------------------------------
  // The main window with a show state (1 normal, 3 maximised, 2/6/7 minimised),
  // honouring MinimizeStart, MinimizeOnlyTasktray and ViewTopMost.
  void ShowMain(int showState);
  // Places the log window from the profile and shows it when the profile says so.
  void PlaceLogWindow();
  void AddTrayIcon(std::string_view tip);
  void RemoveTrayIcon();
  // After the group filter changed: rebuilds the tree and shows `folder`.
  void ShowCurrentGroup(TreeNode* folder);

  // --- Running ---------------------------------------------------------------------
  CommandDispatcher& commands() { return commands_; }
  bool Dispatch(int command);
  // Brings the views in line with the collection now; `changed` are redrawn.
  void Refresh(const std::vector<const TreeNode*>& changed = {});
  // Applies collected refreshes (the Desktop's posts land here).
  void SyncViews(const std::unordered_set<const void*>& changed);
  void SelectFolder(TreeNode* folder);
  // The item the user opens from the list; by default it is marked read.
  std::function<void(TreeNode*)> openItem;
  // Activating a list row: folders become current, items open in the browser.
  void ActivateItem(TreeNode* item);
  // The tab browser's start list and last-opened tabs; its windows at shutdown.
  void StartBrowser(const Profile& profile);
  void UninitBrowser();

  void RaiseMain();
  void ToggleMain();
  void HideMain();
  void ShowLogWindow(bool show);
  void ShowDownloadManager(bool show);
  // Part 2 of both status bars: the capture's state texts.
  void ShowState(const QString& text);
  void SetTrayTip(const QString& text);

  // Commands on the list's selection.
  void SetReadSelected(bool unread);
  void SetMarkSelected(int mark);
  void SortCurrentFolder(uint32_t mode);
  // Saves tree and settings, then starts zentucleaner from beside the program.
  void StartCleaner();
  void SaveCollection();

  // --- text items (ui/textcommands.cpp) ---
  TreeNode* NewTextCommand(bool newTab);
  void OpenTextItem(TreeNode* item, bool newTab);
  // Timer 1007: the open texts are saved when TextAutoSave is on.
  void AutoSaveText();
  // Shutdown: saves and lets go of every open note; false when one failed.
  bool CloseOpenTexts();

  // --- clipboard capture and the scrap agent (ui/intakecommands.cpp) ---
  ClipboardCapture* clipboardCapture() const { return clipboard_; }
  CScrapAgent* scrapAgent() const { return agent_; }
  void ShowScrapAgent();

  // The settings dialog, on its general (0) or capture (1) page.
  void OpenSettings(int page = 0);
  // Takes edited settings into the running profile and saves the profile.
  // The capture threads read the profile without a lock, so the settings are
  // taken only while none runs; false (after telling the user) otherwise.
  bool ApplySettings(const Profile& edited);
  void SetTopMost(bool on);
  // The key settings dialog; OK takes both lists, rebuilds the shortcuts,
  // registers the hot keys again and writes the key files.
  void OpenKeySettings();
  void OpenDiagnostics();
  // The general list's global hot keys; false when one could not be registered.
  bool RegisterHotKeys();
  void UnregisterHotKeys();

  // Node commands on the pane the user works in: the list's current row, else
  // the tree's current folder.
  TreeNode* TargetNode() const;
  // Asks for a new name; false when cancelled or refused (the root keeps its name).
  bool RenameNode(TreeNode* node);
  // A folder "新しいフォルダ" in `parent`, named by the user right away; nullptr when refused.
  TreeNode* NewFolder(TreeNode* parent);
  // Title and URL (of a URL item) to edit, the rest to read.
  void ShowProperties(TreeNode* node);
  // Deletes the tree's folder (or, `item`, the item the user works on) after
  // asking; the node that takes its place is selected. (ui/treecommands.cpp)
  void DeleteFromTree(bool item);
  // Deletes the list's selected rows after asking.
  void DeleteSelected();
  // Locks or unlocks the URLs of the list's selected items against overwriting.
  void LockSelected(bool lock);
  // Shows the folders of the group `name` and makes it the current group.
  void ChooseGroup(const std::string& name);
  // The group editing dialog; OK replaces the groups, writes group.dat and
  // shows the current group (under its new name when it was renamed).
  void OpenGroupSettings();

  // Timers the windows start themselves (auto navigation 1010, focus return
  // 2200): the frame's table once it gave one (so its shutdown kills them with
  // the others), else timers of the windows' own.
  using SetTimerFn = std::function<void(int id, std::chrono::milliseconds period, std::function<void()> step,
                                        bool singleShot)>;
  void UseTimers(SetTimerFn set, std::function<void(int id)> kill);
  void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> step, bool singleShot = false);
  void KillTimer(int id);
  // Timer 2200: once the current event has settled, the focus goes back to
  // the pane the user works in (a page that opened takes it otherwise).
  void FocusBackLater();
  bool autoNavigating = false;  // timer 1010 runs (ui/filecommands.cpp)

  // --- Close ---------------------------------------------------------------------------
  // The close request: asks "終了してもよいですか" when FinishConfirm is on;
  // No keeps everything running, Yes runs the shutdown.
  void RequestClose();
  bool closing() const { return closing_; }
  // Window placement, pane sizes, columns and the log and download windows into the profile.
  void StoreGeometry(Profile& profile) const;
  // Hides every window and the tray icon (the shutdown's last steps).
  void HideAll();

  MainWindow* mainWindow() const { return main_; }
  LogWindow* logWindow() const { return log_; }
  DownloadWindow* downloadWindow() const { return downloads_; }
  QSystemTrayIcon* tray() const { return tray_; }

  // From the main window.
  void OnCloseEvent(QCloseEvent* event);
  void OnMinimized();
  void OnRestored();

 private:
  LastOpened lastOpened_;  // the row opened last, for the switch on a second activation
  void RegisterCommands();
  void RegisterTextCommands();
  void InstallTextHooks();
  void RemoveTextHooks();
  void RegisterIntakeCommands();
  void RemoveIntakeHooks();
  void ShowWithState(int showState);

  SetTimerFn setTimer_;
  std::function<void(int)> killTimer_;
  std::map<int, std::unique_ptr<QTimer>> ownTimers_;
  std::function<void()> shutdown_;
  CommandDispatcher commands_;
  MainWindow* main_ = nullptr;
  LogWindow* log_ = nullptr;
  DownloadWindow* downloads_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  ClipboardCapture* clipboard_ = nullptr;  // a child of the main window
  CScrapAgent* agent_ = nullptr;
  TreeWatch treeWatch_;
  ScopedTreeObserver watching_{&treeWatch_};
  bool closing_ = false;
  // A minimised start shows the profile's state at the first restore.
  int restoreState_ = 0;
  bool wasMaximized_ = false;
};

}  // namespace zentu::ui
