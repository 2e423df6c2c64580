// What the program frame asks of the screen while it starts, runs and shuts
// down. The frame owns the order of the steps, their log lines, the timers and
// the command channel; a FrameUi owns the windows. HeadlessUi has none; the
// window program brings its own implementation and plugs it into the same frame.
//
// Every call is made on the main thread. Texts are Shift_JIS.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "intake/browserreg.h"
#include "os/desktop.h"
#include "store/profile.h"
#include "store/tree.h"

namespace zentu {

class FrameUi {
 public:
  virtual ~FrameUi() = default;

  // True when there is a main window (false: headless).
  virtual bool HasWindow() const = 0;
  // The desktop the core talks to; nullptr keeps the headless desktop.
  virtual os::Desktop* Desktop() { return nullptr; }
  // Said once after the banner: how this run shows itself.
  virtual void Announce() {}

  // --- Start-up, in the order the frame calls them -------------------------------
  virtual void ShowSplash(std::chrono::milliseconds duration) { (void)duration; }
  // The main window's class; false ends the start-up.
  virtual bool RegisterWindowClass() { return true; }
  virtual void LoadImageLists() {}
  // The main window's creation: status and tool bars, then the panes with the
  // tree, list and web views (false fails the creation), the root selected in
  // the tree and the list filled.
  virtual void CreateBars(const Profile& profile) { (void)profile; }
  virtual bool CreatePanes() { return true; }
  virtual void SelectRootInTree() {}
  virtual void FillList() {}
  // The rest of the creation after the timers: title, clipboard chain, scrap agent.
  virtual void FinishMainWindow(const Profile& profile, std::string_view title) {
    (void)profile;
    (void)title;
  }
  // The frame's timer table, for the timers the windows start themselves
  // (auto navigation, focus return): they are killed with the others at shutdown.
  using SetTimerFn = std::function<void(int id, std::chrono::milliseconds period, std::function<void()> step,
                                        bool singleShot)>;
  virtual void UseTimers(SetTimerFn set, std::function<void(int id)> kill) {
    (void)set;
    (void)kill;
  }
  // False when a global hot key could not be registered.
  virtual bool RegisterHotKeys(const Profile& profile) {
    (void)profile;
    return true;
  }
  virtual void ShowMainWindow(const Profile& profile, int showState) {
    (void)profile;
    (void)showState;
  }
  // False when the accelerator table is missing.
  virtual bool LoadAccelerators() { return true; }
  virtual void InitMenuItems(const Profile& profile) { (void)profile; }
  virtual void AddTrayIcon(std::string_view tip) { (void)tip; }
  // The profile's group has been applied and the current folder chosen.
  virtual void ShowCurrentGroup(TreeNode* currentFolder) { (void)currentFolder; }
  virtual void PrepareEditorDrawing(const Profile& profile) { (void)profile; }
  virtual void PlaceLogWindow(const Profile& profile) { (void)profile; }
  virtual void CreateDownloadManagerWindow() {}

  // Runs the event loop until the main window has been painted once, at most
  // `limit` (start-up measurements that end right after start-up).
  virtual void WaitUntilShown(std::chrono::milliseconds limit) { (void)limit; }

  // The browser integration's selection dialog for the first-time setup;
  // empty without windows (the flags then stay as preset).
  virtual std::function<bool(BrowserGroupFlags& flags)> BrowserIntegrationDialog() { return {}; }

  // --- Running ---------------------------------------------------------------------
  // A second start without a command line: show the window and bring it to the front.
  virtual void RaiseMainWindow() = 0;
  // Timer 1007: save the text item open in the editor.
  virtual void AutoSaveText() {}

  // --- Shutdown, in the order the frame calls them ---------------------------------------
  // First of all, before the collection is saved: every note open in an
  // editor is saved and let go (a note renamed by its first line is written
  // under its new name, the collection saved, then the old file removed),
  // and an empty untitled note leaves the collection. False when a note
  // could not be saved (the user was told).
  virtual bool CloseOpenTexts() { return true; }
  // The main window's normal placement and show state into Xpos, Ypos, Width,
  // Height and ShowWindow, right before the profile is saved.
  virtual void StoreWindowPlacement(Profile& profile) { (void)profile; }
  virtual void HideMainWindow() {}
  virtual void UnregisterHotKeys() {}
  virtual void RemoveTrayIcon() {}
  virtual void FreeEditorDrawing() {}
  // Browser and editor windows, then the web, tree and list views.
  virtual void DestroyChildWindows() {}
  // The log window, the download manager window and the main window.
  virtual void DestroyWindows() {}
  // After the loop.
  virtual void FreeImageLists() {}
};

}  // namespace zentu
