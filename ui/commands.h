// Command identifiers the windows handle, and the dispatcher that maps an
// identifier from a menu, a tool bar, a key or a hot key to its operation.
#pragma once
#include <cstdint>
#include <functional>
#include <map>

namespace zentu::ui {

// Identifiers shared with the key configuration.
inline constexpr int kCmdSave = 40029;
// Saves the collection and the settings and starts zentucleaner.
inline constexpr int kCmdStartCleaner = 40900;
inline constexpr int kCmdExit = 40004;
inline constexpr int kCmdSetRead = 40160;
inline constexpr int kCmdSetUnread = 40159;
inline constexpr int kCmdSetMarkFirst = 40136;  // 40136..40144 set marks 1..9
inline constexpr int kCmdClearMark = 40145;
inline constexpr int kCmdShowLog = 40112;
inline constexpr int kCmdShowDownloadManager = 40521;
inline constexpr int kCmdHideWindow = 40120;
inline constexpr int kCmdMinimizeWindow = 40312;
inline constexpr int kCmdShowWindow = 40133;
inline constexpr int kCmdGroupSettings = 40166;
inline constexpr int kCmdToggleTree = 40034;
inline constexpr int kCmdToggleList = 40036;
inline constexpr int kCmdToggleStatusBar = 40135;
inline constexpr int kCmdFocusTree = 40170;
inline constexpr int kCmdFocusList = 40171;
inline constexpr int kCmdNextItem = 40173;
inline constexpr int kCmdPreviousItem = 40174;
inline constexpr int kCmdOpenFolder = 40175;
inline constexpr int kCmdCloseFolder = 40176;
inline constexpr int kCmdSettings = 40103;         // the settings dialog
inline constexpr int kCmdCaptureSettings = 40471;  // the same, on its capture page
inline constexpr int kCmdToggleTopMost = 40357;
inline constexpr int kCmdSetTopMost = 40359;
inline constexpr int kCmdClearTopMost = 40360;
inline constexpr int kCmdShowVersion = 40105;
inline constexpr int kCmdRename = 40001;
inline constexpr int kCmdNewFolder = 40107;
inline constexpr int kCmdProperties = 40010;
// Deleting: the tree's folder and item context menus, and the list's selection.
inline constexpr int kCmdDeleteTreeFolder = 4901;
inline constexpr int kCmdDeleteTreeItem = 4903;
inline constexpr int kCmdDeleteItem = 40086;  // "アイテムの削除"
// The lock list: the selected items' URLs may not be overwritten, or may again.
inline constexpr int kCmdLockUrl = 45700;
inline constexpr int kCmdUnlockUrl = 45701;
// The folder sort modes (store/tree.h), one command each: 41000 + the mode
// (41000 "no sort" .. 41022), the numbers the key configuration uses.
inline constexpr int kCmdSortFirst = 41000;
inline constexpr int SortCommand(uint32_t mode) { return kCmdSortFirst + static_cast<int>(mode); }

// Zentu's own identifiers for what the key configuration has none for.
inline constexpr int kCmdStartCapture = 45001;
inline constexpr int kCmdStopCapture = 45002;
inline constexpr int kCmdAddFeedFolder = 45003;
inline constexpr int kCmdImportOpml = 45004;
inline constexpr int kCmdEditSchedule = 45005;
inline constexpr int kCmdUpdateByAction = 45006;
inline constexpr int kCmdUpdateNode = 45007;
// The imports from other programs (ui/importcommands.cpp).
inline constexpr int kCmdImportNetscape = 45201;
inline constexpr int kCmdImportMoonBrowser = 45202;
inline constexpr int kCmdImportFavorites = 45203;
inline constexpr int kCmdImportJunshu = 45204;
inline constexpr int kCmdImportTreeFile = 45205;
inline constexpr int kCmdImportIria = 45206;
inline constexpr int kCmdImportReGet = 45207;
inline constexpr int kCmdImportTextList = 45208;
inline constexpr int kCmdImportListFormat = 45209;
// The key configuration's update commands.
inline constexpr int kCmdUpdateFolder = 40163;     // "フォルダ以下全更新"
inline constexpr int kCmdUpdateSelected = 40367;   // "指定のアイテムを一括更新"

// Text items and the editor of a tab.
inline constexpr int kCmdNewText = 40011;           // "テキストを作成"
inline constexpr int kCmdNewTextInNewTab = 40387;   // "新規タブで新規テキストを開く"
inline constexpr int kCmdToggleEditor = 40268;      // "ブラウザエディタ表示切替"
inline constexpr int kCmdSaveText = 40306;
inline constexpr int kCmdFindNext = 40317;
inline constexpr int kCmdFind = 40318;
inline constexpr int kCmdReplace = 40372;
inline constexpr int kCmdGoToLine = 40320;
inline constexpr int kCmdUndoText = 40285;
inline constexpr int kCmdRedoText = 40286;
// The browser's commands in the menus and keys (the tab browser carries them out).
inline constexpr int kCmdCloseCurrentTab = 40327;
inline constexpr int kCmdCloseOtherTabs = 40482;
inline constexpr int kCmdNewTab = 40249;
inline constexpr int kCmdLeftTab = 40250;
inline constexpr int kCmdRightTab = 40251;
inline constexpr int kCmdCopyTabTitle = 40252;
inline constexpr int kCmdCopyTabUrl = 40253;
inline constexpr int kCmdCopyTabTitleUrl = 40254;
inline constexpr int kCmdOpenKeyword = 40228;  // "キーワードからWEBページを開く"
inline constexpr int kCmdMarker1 = 40436;      // "マーカー設定"
inline constexpr int kCmdMarker2 = 40505;      // "マーカー2設定"
inline constexpr int kCmdBlockListSettings = 45301;
inline constexpr int kCmdCaptureSite = 40342;  // "表示中のサイトを取り込む": a site download of the tab's page
inline constexpr int kBrowserCommands[] = {kCmdCloseCurrentTab, kCmdCloseOtherTabs, kCmdNewTab,     kCmdLeftTab,
                                           kCmdRightTab,        kCmdCopyTabTitle,   kCmdCopyTabUrl, kCmdCopyTabTitleUrl,
                                           kCmdOpenKeyword,     kCmdMarker1,        kCmdMarker2,    kCmdBlockListSettings,
                                           kCmdCaptureSite};

// The mirror ("フォルダに出力"): the current folder, or the list's selected items.
inline constexpr int kCmdMirrorFolder = 45401;
inline constexpr int kCmdMirrorSelected = 45402;

// File, help and settings commands (ui/filecommands.cpp).
inline constexpr int kCmdImportBackup = 40045;       // "バックアップの取り込み"
inline constexpr int kCmdHelp = 40031;               // "ヘルプの表示"
inline constexpr int kCmdShowAbout = 40032;          // "ZentuのAboutを表示": readme.txt
inline constexpr int kCmdShowTodo = 40043;           // "ZentuToDoを表示": todo.txt
inline constexpr int kCmdShowHistory = 40044;        // "Zentuの更新履歴を表示": history.txt
inline constexpr int kCmdAutoNavigateStart = 40461;  // "オートナビゲート開始"
inline constexpr int kCmdAutoNavigateStop = 40462;   // "オートナビゲート終了"
inline constexpr int kCmdRejectSettings = 45750;
inline constexpr int kCmdConvertSettings = 45751;
inline constexpr int kCmdReferrerSettings = 45752;
inline constexpr int kCmdPasswordSettings = 45753;
inline constexpr int kCmdBackupNow = 45754;
inline constexpr int kCmdSaveOlderFormat = 45755;
inline constexpr int kCmdInternetOptions = 45756;

// The key settings dialog and the diagnostics report.
inline constexpr int kCmdKeySettings = 45600;
inline constexpr int kCmdDiagnostics = 45601;

class CommandDispatcher {
 public:
  using Handler = std::function<void()>;
  // Adds or replaces the operation of an identifier.
  void Register(int id, Handler handler) { handlers_[id] = std::move(handler); }
  void Unregister(int id) { handlers_.erase(id); }
  bool Has(int id) const { return handlers_.count(id) != 0; }
  // Runs the operation; false when the identifier has none.
  bool Dispatch(int id) const {
    auto it = handlers_.find(id);
    if (it == handlers_.end() || !it->second) return false;
    Handler handler = it->second;  // the handler may re-register itself
    handler();
    return true;
  }
  const std::map<int, Handler>& handlers() const { return handlers_; }

 private:
  std::map<int, Handler> handlers_;
};

// Search folders and sync folders (ui/searchcommands.cpp).
inline constexpr int kCmdSearchTitle = 45101;
inline constexpr int kCmdSearchUrl = 45102;
inline constexpr int kCmdSearchContents = 45103;
inline constexpr int kCmdSearchUnread = 45104;
inline constexpr int kCmdSearchByIndex = 45105;
inline constexpr int kCmdFindFolder = 45106;
inline constexpr int kCmdClearSearch = 45107;
inline constexpr int kCmdNewSyncFolder = 45108;
inline constexpr int kCmdEditSyncFolder = 45109;
inline constexpr int kCmdReloadSyncFolder = 45110;
inline constexpr int kCmdSearchMarkFirst = 40150;  // 40150..40158 marks 1..9, as in the key lists

}  // namespace zentu::ui

// Clipboard capture and the scrap agent (ui/intakecommands.cpp).
namespace zentu::ui {
inline constexpr int kCmdCopySelectionAsText = 40343;   // "選択範囲をテキスト形式で取り込む"
inline constexpr int kCmdTakeClipboardText = 40344;     // "クリップボードからテキスト形式で取り込む"
inline constexpr int kCmdCopySelectionAsHtml = 40345;   // "選択範囲をHTML形式で取り込む"
inline constexpr int kCmdTakeClipboardHtml = 40347;     // "クリップボードからHTML形式で取り込む"
inline constexpr int kCmdCopySelectionWithLinks = 40348;  // "選択範囲のHTMLとリンク先を取り込む"
inline constexpr int kCmdRegisterBrowser = 40047;       // "レジストリに追加": the integration settings
inline constexpr int kCmdUnregisterBrowser = 40048;     // "レジストリから削除"
inline constexpr int kCmdShowScrapAgent = 45500;        // shows the drop window
}  // namespace zentu::ui
