// The keys of "zentu.ini" in the order they are written, walked by the reader
// and by the writer alike so that the two can never disagree. Internal to the
// profile code.
#pragma once
#include <cstdio>
#include <string>

#include "store/profile.h"

namespace zentu::profile_keys {

enum class Section { None, Zentu, URL, Tree, List, Editor, TabBrowser, Scrap, DownloadManager, LogView };

// Any: the key is read in whatever section it appears (or before the first
// header). Own: only inside the section it is written in.
enum class Scope { Any, Own };

// Text buffer sizes: a value keeps at most size - 1 bytes.
constexpr size_t kPathSize = 260;
constexpr size_t kUrlSize = 2048;
constexpr size_t kMarkNameSize = 32;
constexpr size_t kColumnNameSize = 64;

inline constexpr const char* kColumnKeyNames[kListColumnCount] = {"Title",  "Url",  "Size",    "Original",
                                                                  "Update", "Mark", "Contents"};

// True when the profile's tree file is the default one of its program
// directory (or empty): such a file is not named in the profile.
bool TreeFileIsDefault(const Profile& p);

// A visitor provides:
//   Begin(Section)                                   a section header
//   Flag(name, bool&, bool defaultValue, Scope, bool written = true)
//   Int(name, int&, Scope)
//   Text(name, std::string&, size_t bufferSize, Scope, bool written = true)
//   Colour(name, Rgb&, Scope)
//   Rect(name, WindowRect&, Scope)
//   TimeOut(name, int& milliseconds)
//   UseProxy(name, bool&, const std::string& proxyServer)
//   ColumnArray(name, std::array<int, 7>&)
template <class V>
void VisitProfileKeys(Profile& p, V& v) {
  using S = Section;
  constexpr Scope Any = Scope::Any;
  constexpr Scope Own = Scope::Own;
  char name[64];

  v.Begin(S::Zentu);
  v.Text("ZentuFile", p.ZentuFile, kPathSize, Any, !TreeFileIsDefault(p));
  v.Flag("FlagSave", p.FlagSave, true, Any);
  v.Int("Xpos", p.Xpos, Own);
  v.Int("Ypos", p.Ypos, Own);
  v.Int("Width", p.Width, Own);
  v.Int("Height", p.Height, Own);
  v.Flag("OnlineMode", p.OnlineMode, true, Any);
  v.Flag("OpenByDoubleClick", p.OpenByDoubleClick, true, Any);
  v.Flag("OpenItemByNewTab", p.OpenItemByNewTab, false, Any);
  v.Flag("RestoreBySingleClick", p.RestoreBySingleClick, true, Any);
  v.Flag("ChangeFocusToBrowserView", p.ChangeFocusToBrowserView, false, Any);
  v.Text("SourceViewer", p.SourceViewer, kPathSize, Any);
  v.Text("Browser", p.Browser, kPathSize, Any);
  v.Text("Mailer", p.Mailer, kPathSize, Any);
  v.Text("Downloader", p.Downloader, kPathSize, Any);
  v.Text("Editor", p.Editor, kPathSize, Any);
  v.Flag("OpenByDefaultEditor", p.OpenByDefaultEditor, false, Any);
  v.Flag("OpenTextByBrowser", p.OpenTextByBrowser, false, Any);
  v.Text("PathOfNamazuIndex", p.PathOfNamazuIndex, kPathSize, Any);
  v.Int("ShowWindow", p.ShowWindow, Own);
  v.Flag("ViewTopMost", p.ViewTopMost, false, Any);
  v.Flag("ShowSplashWindow", p.ShowSplashWindow, true, Any);
  v.Flag("MinimizeStart", p.MinimizeStart, false, Any);
  v.Flag("MinimizeOnlyTasktray", p.MinimizeOnlyTasktray, false, Any);
  v.Flag("MinimizeByCloseButton", p.MinimizeByCloseButton, false, Any);
  v.Flag("ShowVersionOnTitleBar", p.ShowVersionOnTitleBar, true, Any);
  v.Flag("SaveAtAddition", p.SaveAtAddition, true, Any);
  v.Flag("DefaultHTML_AutoSave", p.DefaultHTML_AutoSave, false, Any);
  v.Flag("SearchLink", p.SearchLink, true, Any);
  v.Flag("IgnoreAtag", p.IgnoreAtag, true, Any);
  v.Int("LimitationOfLinkHop", p.LimitationOfLinkHop, Any);
  v.Flag("RSSAutoDelete", p.RSSAutoDelete, false, Any);
  v.Flag("RSSDLFeedOnly", p.RSSDLFeedOnly, false, Any);
  v.Text("DataDirectory", p.DataDirectory, kPathSize, Any);
  v.Text("TextDataDirectory", p.TextDataDirectory, kPathSize, Any);
  v.Text("BackupDirectory", p.BackupDirectory, kPathSize, Any);
  v.Text("ConfigDirectory", p.ConfigDirectory, kPathSize, Any);
  v.Text("TimerDirectory", p.TimerDirectory, kPathSize, Any);
  v.Text("ErrorDirectory", p.ErrorDirectory, kPathSize, Any);
  v.Text("ExportDataDirectory", p.ExportDataDirectory, kPathSize, Any);
  v.Flag("ImportUrlAsHtmlItem", p.ImportUrlAsHtmlItem, false, Any);
  v.Flag("OpenLastOpened", p.OpenLastOpened, false, Any);
  v.Text("Group", p.Group, 128, Any);
  v.Flag("FocusToLastFolder", p.FocusToLastFolder, true, Any);
  v.Text("LastFolder", p.LastFolder, 256, Any);
  v.Flag("FileSlashSlash", p.FileSlashSlash, false, Any);
  v.UseProxy("UseProxy", p.UseProxy, p.ProxyServer);
  v.Text("ProxyServer", p.ProxyServer, 310, Any);
  v.Flag("UseIEProxySetting", p.UseIEProxySetting, false, Any);
  v.Flag("PrecheckByHeadRequest", p.PrecheckByHeadRequest, true, Any);
  v.Flag("PlayFinishSound", p.PlayFinishSound, false, Any);
  v.Text("FinishSound", p.FinishSound, kPathSize, Any);
  v.Text("UserAgent", p.UserAgent, 100, Any);
  v.Int("TypeOfConnectionCheck", p.TypeOfConnectionCheck, Any);
  v.Flag("ConnectingStart", p.ConnectingStart, true, Any);
  v.Text("ServerNameforConnectionCheck", p.ServerNameforConnectionCheck, kPathSize, Any);
  v.Int("BackupInterval", p.BackupInterval, Any);
  v.Flag("SaveForLocalMode", p.SaveForLocalMode, false, Any);
  v.Text("ZentuFile(Local)", p.ZentuFileLocal, kPathSize, Any);
  v.Text("BaseHref", p.BaseHref, kUrlSize, Any);
  v.Flag("MainToolBar", p.MainToolBar, true, Any);
  v.Flag("StatusBar", p.StatusBar, true, Any);
  v.Flag("TabBrowser", p.TabBrowser, true, Any);
  v.Flag("StoreErrorItem", p.StoreErrorItem, false, Any);
  v.Flag("SaveConfirm", p.SaveConfirm, false, Any);
  v.Flag("FinishConfirm", p.FinishConfirm, true, Any);
  v.Int("ProxyPort", p.ProxyPort, Own);
  v.Text("Protocol", p.Protocol, 10, Own);
  v.Flag("UseCookie", p.UseCookie, false, Any);
  v.Flag("UseAcceptLanguage", p.UseAcceptLanguage, true, Any);
  v.Text("AcceptLanguage", p.AcceptLanguage, 100, Any);
  v.TimeOut("TimeOut", p.TimeOut);
  v.Int("WaitTimeForOpenURL", p.WaitTimeForOpenURL, Any);
  v.Int("WaitTimeForRead", p.WaitTimeForRead, Any);
  v.Flag("ForceConvToSJIS", p.ForceConvToSJIS, true, Any);
  v.Flag("URLDecode", p.URLDecode, false, Any);
  v.Flag("CutFileExtension", p.CutFileExtension, false, Any);
  v.Flag("ExclusiveListBrowser", p.ExclusiveListBrowser, false, Any);
  for (int i = 0; i <= 9; ++i) {
    std::snprintf(name, sizeof name, "NameOfMark%d", i);
    v.Text(name, p.NameOfMark[i], kMarkNameSize, Any, i != 0);
  }
  v.Flag("OpenLocalFileOnly", p.OpenLocalFileOnly, false, Any, false);
  v.Flag("CheckDefinitely", p.CheckDefinitely, false, Any, false);
  v.Flag("ViewFolderFlag", p.ViewFolderFlag, false, Any, false);

  v.Begin(S::URL);
  v.Text("ZentuStartURL", p.ZentuStartURL, kUrlSize, Any);
  v.Text("ZentuSiteURL", p.ZentuSiteURL, kUrlSize, Any);
  v.Text("ZentuBBSURL", p.ZentuBBSURL, kUrlSize, Any);
  v.Text("ZentuOnlineHelpURL", p.ZentuOnlineHelpURL, kUrlSize, Any);
  v.Text("ZentuUsersHelpURL", p.ZentuUsersHelpURL, kUrlSize, Any);

  v.Begin(S::Tree);
  v.Flag("ViewFlag", p.TreeViewFlag, true, Own);
  v.Int("Width", p.TreeWidth, Own);
  v.Flag("ViewFile", p.ViewFile, false, Any);
  v.Flag("CloseOtherFolders", p.CloseOtherFolders, false, Any);
  v.Flag("UpdateByListSort", p.UpdateByListSort, false, Any);
  for (int i = 0; i < 9; ++i) {
    std::snprintf(name, sizeof name, "Mark%dTextColor", i + 1);
    v.Colour(name, p.TreeMarkTextColor[i], Own);
  }
  for (int i = 0; i < 9; ++i) {
    std::snprintf(name, sizeof name, "Mark%dBackColor", i + 1);
    v.Colour(name, p.TreeMarkBackColor[i], Own);
  }

  v.Begin(S::List);
  v.Flag("ViewFlag", p.ListViewFlag, true, Own);
  v.Int("Height", p.ListHeight, Own);
  for (int set = 0; set < 2; ++set) {
    for (int c = 0; c < kListColumnCount; ++c) {
      std::snprintf(name, sizeof name, "%sWidth%d", kColumnKeyNames[c], set + 1);
      v.Int(name, p.ColumnWidth[set][c], Any);
    }
  }
  v.ColumnArray("ColumnArray", p.ColumnArray);
  v.Text("NameOfTitle", p.NameOfTitle, kColumnNameSize, Any);
  v.Text("NameOfURL", p.NameOfURL, kColumnNameSize, Any);
  v.Text("NameOfSize", p.NameOfSize, kColumnNameSize, Any);
  v.Text("NameOfOriginal", p.NameOfOriginal, kColumnNameSize, Any);
  v.Text("NameOfUpdate", p.NameOfUpdate, kColumnNameSize, Any);
  v.Text("NameOfMark", p.NameOfMarkColumn, kColumnNameSize, Any);
  v.Text("NameOfContents", p.NameOfContents, kColumnNameSize, Any);
  v.Int("ViewFolder", p.ViewFolder, Any);
  for (int i = 0; i < 9; ++i) {
    std::snprintf(name, sizeof name, "Mark%dTextColor", i + 1);
    v.Colour(name, p.ListMarkTextColor[i], Own);
  }
  for (int i = 0; i < 9; ++i) {
    std::snprintf(name, sizeof name, "Mark%dBackColor", i + 1);
    v.Colour(name, p.ListMarkBackColor[i], Own);
  }
  v.Colour("FolderBackColor", p.FolderBackColor, Any);
  v.Colour("FolderTextColor", p.FolderTextColor, Any);

  v.Begin(S::Editor);
  v.Flag("SetTitleWithFirstLine", p.SetTitleWithFirstLine, false, Any);
  v.Flag("TextAutoSave", p.TextAutoSave, true, Any);
  v.Int("WaitTimeForAutoSave", p.WaitTimeForAutoSave, Any);
  v.Text("FontTypeFace", p.FontTypeFace, 64, Any);
  v.Int("FontHeight", p.FontHeight, Any);
  v.Colour("FontColor", p.FontColor, Any);
  v.Colour("EOFColor", p.EOFColor, Any);
  v.Colour("CtrlColor", p.CtrlColor, Any);
  v.Colour("TagColor", p.TagColor, Any);
  v.Colour("LinkColor", p.LinkColor, Any);
  v.Colour("LineBreakColor", p.LineBreakColor, Any);
  v.Colour("FirstLine_BackColor", p.FirstLine_BackColor, Any);
  v.Colour("FirstLine_LineColor", p.FirstLine_LineColor, Any);
  v.Colour("FirstLine_FontColor", p.FirstLine_FontColor, Any);
  v.Colour("BackgroundColor", p.BackgroundColor, Any);
  v.Int("LeftMargin", p.LeftMargin, Any);
  v.Int("TopMargin", p.TopMargin, Any);
  v.Int("BaseLineSkip", p.BaseLineSkip, Any);

  v.Begin(S::TabBrowser);
  v.Flag("IgnoreIFrame", p.IgnoreIFrame, true, Any);
  v.Flag("TabFixedWidth", p.TabFixedWidth, true, Any);
  v.Flag("TabFlat", p.TabFlat, false, Any);
  v.Flag("ChangeFocusToNewTab", p.ChangeFocusToNewTab, true, Any);
  v.Flag("AlwaysNewWindowKill", p.AlwaysNewWindowKill, false, Any);
  v.Flag("OpenLinkByDefaultBrowser", p.OpenLinkByDefaultBrowser, false, Any);
  v.Flag("OpenLinkByNewTab", p.OpenLinkByNewTab, false, Any);
  v.Int("NumberOfPageInformation", p.NumberOfPageInformation, Any);
  v.Flag("UseBrowserControlWindow", p.UseBrowserControlWindow, false, Any);
  v.Text("HighlightKeyword", p.HighlightKeyword, kPathSize, Any);
  v.Flag("AutoHighlight", p.AutoHighlight, false, Any);
  v.Flag("SaveHtmlAtChange", p.SaveHtmlAtChange, false, Any);
  v.Int("AutoNavigateTiming", p.AutoNavigateTiming, Any);
  v.Flag("AutoConvertLocalToOriginal", p.AutoConvertLocalToOriginal, false, Any);

  v.Begin(S::Scrap);
  v.Flag("SetTitleWithTime", p.SetTitleWithTime, false, Any);
  v.Flag("AddURL2ScrapText", p.AddURL2ScrapText, false, Any);
  v.Flag("SetURL2TextItem", p.SetURL2TextItem, false, Any);
  v.Flag("ScrapByDragAndDrop", p.ScrapByDragAndDrop, false, Any);
  v.Int("PlaceOfScrapWindow", p.PlaceOfScrapWindow, Any);
  v.Flag("IgnoreCacheData", p.IgnoreCacheData, false, Any);
  v.Flag("CutFrontOfHtmlTag", p.CutFrontOfHtmlTag, false, Any);
  v.Flag("CommentOutIFrameTag", p.CommentOutIFrameTag, true, Any);
  v.Flag("CommentOutXMLTag", p.CommentOutXMLTag, true, Any);
  v.Flag("IgnoreBaseTag", p.IgnoreBaseTag, true, Any);
  v.Flag("IgnoreJavaScript", p.IgnoreJavaScript, true, Any);
  v.Flag("ConfirmScrapText", p.ConfirmScrapText, true, Any);
  v.Flag("AddDateForScrapSelectionArea", p.AddDateForScrapSelectionArea, true, Any);

  v.Begin(S::DownloadManager);
  v.Int("DelayOfDownload", p.DelayOfDownload, Any);
  v.Int("DelayOfSiteDownload", p.DelayOfSiteDownload, Any);
  v.Flag("ObeyRobotsTxt", p.ObeyRobotsTxt, true, Any);
  v.Int("MaxNumberOfCheckThread", p.MaxNumberOfCheckThread, Any);
  v.Int("MaxNumberOfDownloadThread", p.MaxNumberOfDownloadThread, Any);
  v.Rect("WindowSize", p.DownloadManagerWindowSize, Own);
  v.Flag("ShowByDownload", p.ShowByDownload, true, Any);
  v.Flag("ViewFlag", p.DownloadManagerViewFlag, false, Own);
  v.Flag("StoreTempData", p.StoreTempData, false, Any);
  v.Flag("ConvertPathForArchiveOrg", p.ConvertPathForArchiveOrg, true, Any);
  for (int i = 0; i < kDownloadStateCount; ++i) {
    std::snprintf(name, sizeof name, "%sTextColor", kStateNames[i]);
    v.Colour(name, p.StatusTextColor[i], Any);
  }
  for (int i = 0; i < kDownloadStateCount; ++i) {
    std::snprintf(name, sizeof name, "%sBackColor", kStateNames[i]);
    v.Colour(name, p.StatusBackColor[i], Any);
  }

  v.Begin(S::LogView);
  v.Rect("WindowSize", p.LogViewWindowSize, Own);
  v.Flag("ViewFlag", p.LogViewFlag, false, Own);
  v.Int("DebugFlag", p.DebugFlag, Any);
}

}  // namespace zentu::profile_keys
