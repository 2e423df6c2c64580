// The tab browser's decisions, as plain functions over plain records: which
// picture and text a tab shows, the timer delays, what a navigation or a new
// window leads to, which tab is current after a close, and what activating a
// list row opens. The windows carry the decisions out.
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/profile.h"
#include "store/tree.h"

namespace zentu {

// Timer identifiers on a tab's host window.
inline constexpr int kOpenUrlTimerBase = 2000;
inline constexpr int kReadFlagTimerBase = 2100;
inline constexpr int kTimerRange = 100;
// Timers of the main window that the browser's side starts: the auto
// navigation (one step every AutoNavigateTiming seconds) and the one-shot
// that gives the focus back to the pane the user works in.
inline constexpr int kAutoNavigateTimer = 1010;
inline constexpr int kFocusBackTimer = 2200;
enum class TabTimer { OpenUrl, ReadFlag, Undefined };
struct TabTimerId {
  TabTimer kind = TabTimer::Undefined;
  int tab = -1;
};
// Logs "Undefined Timer ID" for an identifier outside both ranges.
TabTimerId ClassifyTabTimer(int id);

// Tab strip pictures.
inline constexpr int kTabImageNone = 0;
inline constexpr int kTabImageWeb = 1;
inline constexpr int kTabImageLocal = 2;
// "file://...", a drive path, or two slashes or backslashes at the start.
bool IsLocalLocation(std::string_view url);
int TabImage(std::string_view url);
std::string TabText(std::string_view title);  // "No Name" when empty

// One tab, without its widgets.
struct TabRecord {
  bool browserMode = true;
  std::string title;
  std::string url;
  std::string localCopy;     // the saved copy it shows, if any
  std::string openedWith;    // the location it was last opened with (last.dat)
  std::string pendingUrl;
  bool openPending = false;
  bool readTimer = false;
  TreeNode* readItem = nullptr;
  bool documentComplete = false;
  bool javascriptPending = false;
  bool popupCatcher = false;
};

// Delay of the read-flag timer in milliseconds; -1: none is started.
int ReadFlagDelay(const Profile& profile);

// What before-navigate does with a URL.
struct NavigationDecision {
  enum Action {
    Proceed,
    Cancel,              // dropped (pop-up catcher: blank or blocked)
    OpenLocalHere,       // cancelled; `target` (a local file) opens in this tab
    OpenLocalNewTab,     // cancelled; `target` opens in a new tab
    OpenLocalOutside,    // cancelled; `target` goes to the outside browser
    OpenNewTab,          // cancelled; `target` opens in a new tab ("Loading...")
    OpenOutside,         // cancelled; `target` goes to the outside browser
    PopupKilled,         // cancelled and logged "[Popup Kill] %s"
  };
  Action action = Proceed;
  std::string target;
};

// Inputs of before-navigate besides the URL.
struct NavigationContext {
  const Profile* profile = nullptr;
  const TabRecord* tab = nullptr;
  std::string currentPage;  // the page the link is on
};
// Sets `tab.javascriptPending` for "javascript:" URLs, logs the pop-up kill.
NavigationDecision BeforeNavigate(std::string_view url, const NavigationContext& context, TabRecord& tab);

enum class NewWindowDecision { Allow, Cancel, ToPopupCatcher };
NewWindowDecision NewWindow(const Profile& profile, TabRecord& opener);

// The tab that is current after `closed` was removed from `count` tabs
// (count before removal), when `current` was current before.
int CurrentAfterClose(int count, int closed, int current);
// Previous and next with wrap-round; a single tab stays.
int PreviousTab(int count, int current);
int NextTab(int count, int current);

// Saved copies and the URLs they came from: every time a URL is shown as its
// saved copy the pair is noted, so a copy can show its original again. A path
// never noted is read back from its place below the data directory.
class OriginalUrls {
 public:
  void Note(std::string_view localPath, std::string_view url);
  // The URL for a saved copy (program path or file URL); "" when unknown.
  std::string OriginalOf(std::string_view location, std::string_view dataDirectory) const;
  void Clear() { byPath_.clear(); }

 private:
  std::map<std::string, std::string> byPath_;
};
OriginalUrls& SavedCopyOrigins();

// The saved copy of an item as OpenLocalCopy opens it: the path to open
// ("" when it does not exist), with a kept "#fragment" for pages.
struct LocalCopy {
  bool absolute = false;  // the item's local file is a path of its own
  bool exists = false;
  std::string path;       // without the fragment: the file to test
  std::string open;       // what to open
};
LocalCopy ResolveLocalCopy(const TreeNode& item, std::string_view dataDirectory);

// --- Opening list rows ------------------------------------------------------------------

struct LastOpened {
  const TreeNode* item = nullptr;
  int32_t listId = -1;
  const TreeNode* folder = nullptr;
  void Clear() { *this = {}; }
};

struct OpenAction {
  enum Kind {
    Nothing,
    LocalCopy,       // OpenLocalCopy of the item
    Original,        // OpenOriginal(url)
    FailedPage,      // OpenOriginal of the program's "Document\\undl.html"
    TextInEditor,    // the editor (new tab when OpenItemByNewTab)
    TextInNewTab,    // a new tab titled with the item showing its local file
    LocalPathItem,   // an item whose URL is itself a local path
    SelectFolder,
  };
  Kind kind = Nothing;
  std::string url;
  bool markRead = false;
  bool toggleList = false;  // the list pane gives way to the page
};
// The decision when the row of `node` is activated in `folder`; `last` is
// updated (remembered on a first activation, cleared on a second).
OpenAction ActivateListItem(const Profile& profile, const TreeNode* folder, const TreeNode* node, LastOpened& last);
// How OpenOriginal shows a URL: in a new tab, at once in the current tab, or
// through the deferred open.
enum class OriginalOpen { NewTab, Now, Deferred };
OriginalOpen HowToOpenOriginal(const Profile& profile);

// The program's page for an item whose download failed.
std::string FailedDownloadPage(const Profile& profile);

}  // namespace zentu
