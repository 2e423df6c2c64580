// The browser's four lists in the configuration directory: the start list
// ("start.dat"), the tabs open at exit ("last.dat"), the pop-up block list
// ("closeurl.dat") and the address-box keywords ("keyword2url.dat"). Texts are
// Shift_JIS; files are written CR LF through the safe rewrite of os/.
#pragma once
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/profile.h"

namespace zentu {

// Opens a URL in a new tab with the given title ("Loading...", "blank", ...).
using OpenTabFn = std::function<void(std::string_view title, std::string_view url)>;

// --- Start list -------------------------------------------------------------------------
// Moves an old "start.dat" from the program directory, opens every listed page
// and, when nothing was opened, the profile's start URL ("blank" for
// about:blank, else "Zentu [Start Page]"). True when the list opened a page.
bool LoadStartList(const Profile& profile, const std::string& path, const OpenTabFn& open);

// --- Last opened ------------------------------------------------------------------------
// One line per location; about:blank and the start URL are left out.
int SaveLastOpened(const std::string& path, const std::vector<std::string>& locations,
                   std::string_view startUrl);
// Opens each saved location: a local file (holding "\") with an empty title,
// anything else as "Loading...". Returns the count opened.
int LoadLastOpened(const std::string& path, const OpenTabFn& open);

// --- Pop-up block list ------------------------------------------------------------------
int LoadBlockList(const std::string& path);
int SaveBlockList(const std::string& path);
// 1 allowed, 0 when an entry occurs anywhere in the URL.
int IsUrlAllowed(std::string_view url);
std::vector<std::string> BlockListEntries();
void SetBlockListEntries(std::vector<std::string> entries);

// --- Keywords ---------------------------------------------------------------------------
// The keyword dialog: `keyword` and `url` come pre-filled and go back as typed;
// false when cancelled.
using KeywordDialogFn = std::function<bool(std::string& keyword, std::string& url)>;

int LoadKeywords(const std::string& path);
int SaveKeywords(const std::string& path, bool flagSave);
std::map<std::string, std::string> Keywords();
// What the keyword dialog's OK does with its two fields: 1 stored (and saved
// to `path` when given), 0 refused (empty or starting with a blank;
// "登録できませんでした" shown).
int StoreKeywordEntry(std::string_view keyword, std::string_view url, const std::string& path, bool flagSave);
// "keyword rest": the keyword's template followed directly by the rest. An
// unknown keyword (and "edit" or "new") asks the dialog; after OK the
// expansion is tried once more. 1 when `url` was produced.
int ExpandKeyword(std::string_view typed, std::string& url, const KeywordDialogFn& dialog = {},
                  const std::string& path = {}, bool flagSave = true);
// Expands and opens: a URL ending in "exe" goes to the shell's open verb,
// anything else to `open` (new tab or current page, the caller's choice).
struct KeywordOpeners {
  std::function<void(std::string_view url)> open;
  std::function<void(std::string_view program)> shellOpen;
  KeywordDialogFn dialog;
};
int OpenKeyword(std::string_view typed, const KeywordOpeners& openers, const std::string& path = {},
                bool flagSave = true);

// Installs the loaders and savers of keyword2url.dat, closeurl.dat and
// last.dat into the configuration-file table.
void InstallBrowserListHooks();
// Who tells the locations of the open tabs at shutdown (the tab browser
// while it exists; empty: no tabs).
void SetOpenLocationsSource(std::function<std::vector<std::string>()> source);
// Empties the block list and the keywords (tests).
void ResetBrowserLists();

}  // namespace zentu
