#include "ui/appwindows.h"
#include "ui/scrapagent.h"

#include "browser/lists.h"
#include "intake/channel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <mutex>

#include "capture/mirror.h"
#include "capture/schedule.h"
#include "capture/job.h"
#include "capture/pipeline.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "os/version.h"
#include "store/profile.h"
#include "store/profile_bridge.h"
#include "store/treefile.h"
#include "store/configfiles.h"
#include "store/keyconfig.h"
#include "ui/diagnosticsdialog.h"
#include "ui/downloadwindow.h"
#include "ui/globalhotkeys.h"
#include "ui/keyconfigdialog.h"
#include "ui/feedcommands.h"
#include "ui/filecommands.h"
#include "ui/importcommands.h"
#include "ui/searchcommands.h"
#include "ui/foldermodel.h"
#include "ui/itemmodel.h"
#include "ui/logwindow.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"
#include "ui/qttext.h"
#include "ui/settingsdialog.h"
#include "ui/sitecommands.h"
#include "ui/treeicons.h"
#include "ui/uithread.h"

namespace zentu::ui {
namespace {

AppWindows* g_live = nullptr;  // UI thread only

bool IsMinimizedState(int state) { return state == 2 || state == 6 || state == 7; }

}  // namespace

AppWindows* AppWindows::Live() { return g_live; }

AppWindows::AppWindows(std::function<void()> shutdown) : shutdown_(std::move(shutdown)) {
  UiContext();
  // The program ends by its shutdown, not when its last window hides.
  QApplication::setQuitOnLastWindowClosed(false);
  TreeImageList& icons = TreeImageList::Get();
  const Profile& profile = CurrentProfile();

  log_ = new LogWindow;
  log_->setWindowIcon(icons.AppIcon());
  log_->Place(profile);
  downloads_ = new DownloadWindow(GetDownloadManager());
  downloads_->Place(profile);
  main_ = new MainWindow(*this);
  downloads_->openSettings = [this] { OpenSettings(1); };
  downloads_->onProgress = [this](const QString& url, const QString& bytes) {
    main_->SetStatus(1, url);
    main_->SetStatus(2, bytes);
  };

  tray_ = new QSystemTrayIcon(icons.AppIcon());
  tray_->setToolTip(QStringLiteral("Zentu"));
  trayMenu_ = new QMenu;
  QObject::connect(trayMenu_->addAction(U("表示/非表示")), &QAction::triggered, [this] { ToggleMain(); });
  QObject::connect(trayMenu_->addAction(U("ダウンロードマネージャ表示")), &QAction::triggered,
                   [this] { ShowDownloadManager(true); });
  QObject::connect(trayMenu_->addAction(U("ログ表示")), &QAction::triggered, [this] { ShowLogWindow(true); });
  trayMenu_->addSeparator();
  QObject::connect(trayMenu_->addAction(U("終了")), &QAction::triggered, [this] { RequestClose(); });
  tray_->setContextMenu(trayMenu_);
  QObject::connect(tray_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick ||
        (reason == QSystemTrayIcon::Trigger && CurrentProfile().RestoreBySingleClick))
      ToggleMain();
  });

  openItem = [this](TreeNode* item) { ActivateItem(item); };

  RegisterCommands();
  RegisterTextCommands();
  RegisterIntakeCommands();
  g_live = this;

  TreeNode* current;
  {
    std::lock_guard lock(TreeMutex());
    TreeState& state = GetTreeState();
    current = state.currentFolder ? state.currentFolder : state.root;
  }
  main_->SelectFolder(current);
  if (BrowserPane* browser = main_->browser()) {
    SetOpenLocationsSource([browser] { return browser->OpenLocations(); });
    SetChannelHook(&ChannelHooks::openUrlInBrowser,
                   [browser](std::string_view url) { browser->OpenInNewTab("Loading...", url); });
  }
  InstallTextHooks();
  InstallSiteHooks(*this);
}

void AppWindows::StartBrowser(const Profile& profile) {
  if (BrowserPane* browser = main_->browser()) browser->Start(profile);
}

void AppWindows::UninitBrowser() {
  BrowserPane* browser = main_ ? main_->browser() : nullptr;
  if (!browser) return;
  SetOpenLocationsSource({});
  SetChannelHook(&ChannelHooks::openUrlInBrowser, {});
  RemoveTextHooks();
  browser->UninitAll();
}

void AppWindows::ActivateItem(TreeNode* item) {
  const Profile& profile = CurrentProfile();
  BrowserPane* browser = main_->browser();
  OpenAction action;
  {
    std::lock_guard lock(TreeMutex());
    TreeNode* folder = main_->CurrentFolder();
    action = ActivateListItem(profile, folder, item, lastOpened_);
    if (action.markRead && IsItem(item) && item->unread) SetUnreadFlag(item, false);
    if (!browser && IsItem(item) && item->unread) SetUnreadFlag(item, false);  // no browser: opening is reading
  }
  switch (action.kind) {
    case OpenAction::SelectFolder:
      main_->SelectFolder(item);
      main_->listView()->setFocus();
      if (main_->listModel()->rowCount() > 0) main_->listView()->setCurrentIndex(main_->listModel()->index(0, 0));
      return;
    case OpenAction::TextInEditor:
      OpenTextItem(item, profile.OpenItemByNewTab);
      break;
    case OpenAction::LocalCopy:
    case OpenAction::TextInNewTab:
      if (browser) browser->OpenLocalCopy(item);
      break;
    case OpenAction::Original:
    case OpenAction::FailedPage:
      if (browser) browser->OpenOriginal(action.url);
      break;
    default:
      break;
  }
  if (action.toggleList) main_->ToggleList();
  Refresh({item});
}

AppWindows::~AppWindows() {
  if (g_live == this) g_live = nullptr;
  ownTimers_.clear();
  RemoveTextHooks();
  RemoveIntakeHooks();
  RemoveSiteHooks();
  delete agent_;
  delete tray_;
  delete trayMenu_;
  delete main_;
  delete downloads_;
  delete log_;
}

void AppWindows::RegisterCommands() {
  CommandDispatcher& c = commands_;
  c.Register(kCmdSave, [this] { SaveCollection(); });
  c.Register(kCmdStartCleaner, [this] { StartCleaner(); });
  c.Register(kCmdExit, [this] { RequestClose(); });
  c.Register(kCmdSetRead, [this] { SetReadSelected(false); });
  c.Register(kCmdSetUnread, [this] { SetReadSelected(true); });
  for (int m = 1; m <= 9; ++m) c.Register(kCmdSetMarkFirst + m - 1, [this, m] { SetMarkSelected(m); });
  c.Register(kCmdClearMark, [this] { SetMarkSelected(0); });
  c.Register(kCmdShowLog, [this] { ShowLogWindow(true); });
  c.Register(kCmdShowDownloadManager, [this] { ShowDownloadManager(true); });
  c.Register(kCmdHideWindow, [this] { HideMain(); });
  c.Register(kCmdMinimizeWindow, [this] { main_->showMinimized(); });
  c.Register(kCmdShowWindow, [this] { RaiseMain(); });
  c.Register(kCmdToggleTree, [this] { main_->ToggleTree(); });
  c.Register(kCmdToggleList, [this] { main_->ToggleList(); });
  c.Register(kCmdToggleStatusBar, [this] { main_->ToggleStatusBar(); });
  c.Register(kCmdFocusTree, [this] { main_->treeView()->setFocus(); });
  c.Register(kCmdFocusList, [this] { main_->listView()->setFocus(); });
  c.Register(kCmdRename, [this] { (void)RenameNode(TargetNode()); });
  c.Register(kCmdNewFolder, [this] { (void)NewFolder(main_->CurrentFolder()); });
  c.Register(kCmdProperties, [this] { ShowProperties(TargetNode()); });
  c.Register(kCmdDeleteTreeFolder, [this] { DeleteFromTree(false); });
  c.Register(kCmdDeleteTreeItem, [this] { DeleteFromTree(true); });
  c.Register(kCmdDeleteItem, [this] {
    if (main_->ListPaneActive()) DeleteSelected();
    else DeleteFromTree(false);
  });
  c.Register(kCmdLockUrl, [this] { LockSelected(true); });
  c.Register(kCmdUnlockUrl, [this] { LockSelected(false); });
  c.Register(kCmdSettings, [this] { OpenSettings(0); });
  c.Register(kCmdCaptureSettings, [this] { OpenSettings(1); });
  c.Register(kCmdKeySettings, [this] { OpenKeySettings(); });
  c.Register(kCmdGroupSettings, [this] { OpenGroupSettings(); });
  c.Register(kCmdDiagnostics, [this] { OpenDiagnostics(); });
  c.Register(kCmdToggleTopMost, [this] { SetTopMost(!CurrentProfile().ViewTopMost); });
  c.Register(kCmdSetTopMost, [this] { SetTopMost(true); });
  c.Register(kCmdClearTopMost, [this] { SetTopMost(false); });
  c.Register(kCmdShowVersion, [this] {
    QMessageBox::about(main_, U("バージョン情報"),
                       QString::fromStdString("Zentu v" + os::VersionText()) + U("\nWeb スクラップブック"));
  });
  auto step = [this](int delta) {
    QTreeView* list = main_->listView();
    const int rows = list->model()->rowCount();
    if (rows == 0) return;
    int row = list->currentIndex().isValid() ? list->currentIndex().row() + delta : 0;
    row = std::clamp(row, 0, rows - 1);
    list->setCurrentIndex(list->model()->index(row, 0));
  };
  c.Register(kCmdNextItem, [step] { step(1); });
  c.Register(kCmdPreviousItem, [step] { step(-1); });
  c.Register(kCmdOpenFolder, [this] { main_->treeView()->expand(main_->treeView()->currentIndex()); });
  c.Register(kCmdCloseFolder, [this] { main_->treeView()->collapse(main_->treeView()->currentIndex()); });
  c.Register(kCmdStartCapture, [] { StartWorkers(); });
  c.Register(kCmdStopCapture, [] { StopCapture(); });
  c.Register(kCmdAddFeedFolder, [this] { (void)AddFeedFolder(*this, main_->CurrentFolder()); });
  c.Register(kCmdImportOpml, [this] { (void)ImportOpmlCommand(*this); });
  c.Register(kCmdEditSchedule, [this] { (void)EditSchedule(*this, main_->CurrentFolder()); });
  c.Register(kCmdUpdateByAction, [] { (void)RunSchedule(kUpdateByAction); });
  c.Register(kCmdUpdateNode, [this] { UpdateNodeCommand(*this, TargetNode()); });
  c.Register(kCmdUpdateFolder, [this] { UpdateFolderTreeCommand(*this, main_->CurrentFolder()); });
  c.Register(kCmdUpdateSelected, [this] { UpdateListCommand(*this); });
  c.Register(kCmdMirrorFolder, [] { (void)StartMirror('d'); });
  c.Register(kCmdMirrorSelected, [] { (void)StartMirror('e'); });
  // Imports from other programs.
  RegisterImportCommands(*this, c);
  // Backups, the older format, the rule lists, help and the auto navigation.
  RegisterFileCommands(*this, c);
  // Search folders and sync folders.
  c.Register(kCmdSearchTitle, [this] { SearchCommand(*this, SearchKind::Titles); });
  c.Register(kCmdSearchUrl, [this] { SearchCommand(*this, SearchKind::Urls); });
  c.Register(kCmdSearchContents, [this] { SearchCommand(*this, SearchKind::Contents); });
  c.Register(kCmdSearchByIndex, [this] { SearchByIndexCommand(*this); });
  c.Register(kCmdSearchUnread, [this] { SearchUnreadCommand(*this); });
  for (int m = 0; m < 9; ++m) c.Register(kCmdSearchMarkFirst + m, [this, m] { SearchMarkedCommand(*this, m); });
  c.Register(kCmdClearSearch, [this] { ClearSearchCommand(*this); });
  c.Register(kCmdFindFolder, [this] { FindFolderCommand(*this); });
  c.Register(kCmdNewSyncFolder, [this] { NewSyncFolderCommand(*this); });
  c.Register(kCmdEditSyncFolder, [this] { EditSyncFolderCommand(*this); });
  c.Register(kCmdReloadSyncFolder, [this] { ReloadSyncFolderCommand(*this); });
  for (int id : kBrowserCommands)
    c.Register(id, [this, id] {
      if (BrowserPane* browser = main_->browser()) browser->RunBrowserCommand(id);
    });
  for (const SortModeInfo& mode : kSortModes) {
    const uint32_t m = mode.mode;
    c.Register(SortCommand(m), [this, m] { SortCurrentFolder(m); });
  }
}

bool AppWindows::Dispatch(int command) { return commands_.Dispatch(command); }

// --- Keys ---------------------------------------------------------------------------

bool AppWindows::RegisterHotKeys() {
  const bool ok = RegisterGlobalHotKeys(GeneralKeys(), [this](int command) {
    if (!Dispatch(command)) WriteLog("> hot key: no operation for command %d", command);
  });
  // A combination another program holds was cleared: the window's own
  // shortcut for it goes too.
  if (!ok) main_->ApplyKeyBindings();
  return ok;
}

void AppWindows::UnregisterHotKeys() { UnregisterGlobalHotKeys(); }

void AppWindows::OpenKeySettings() {
  KeyConfigDialog dialog(GeneralKeys(), EditorKeys(), main_);
  if (dialog.exec() != QDialog::Accepted) return;
  UnregisterGlobalHotKeys();
  GeneralKeys() = dialog.general();
  EditorKeys() = dialog.editor();
  RebuildCommandMap(GeneralKeys());
  RebuildCommandMap(EditorKeys());
  main_->ApplyKeyBindings();
  (void)RegisterHotKeys();  // re-applies the shortcuts when it cleared a hot key
  // Written now as well as at exit: a crash must not lose what the user set.
  const Profile& p = CurrentProfile();
  (void)SaveKeyConfig(ConfigFilePath(p, ConfigFile::KeyConfig), GeneralKeys(), p.FlagSave);
  (void)SaveKeyConfig(ConfigFilePath(p, ConfigFile::KeyConfigEditor), EditorKeys(), p.FlagSave);
  WriteLog("> key config: changed");
}

void AppWindows::OpenDiagnostics() {
  auto* dialog = new DiagnosticsDialog(main_);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->show();
}

// --- Start -------------------------------------------------------------------------

void AppWindows::ShowWithState(int showState) {
  if (showState == 3) {
    main_->showMaximized();
  } else if (IsMinimizedState(showState)) {
    main_->showMinimized();
  } else {
    main_->showNormal();
  }
}

void AppWindows::ShowMain(int showState) {
  const Profile& p = CurrentProfile();
  if (p.ViewTopMost) main_->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  if (p.MinimizeStart) {
    // The first restore shows the window as the profile says.
    restoreState_ = IsMinimizedState(showState) ? 1 : showState;
    if (!(p.MinimizeOnlyTasktray && QSystemTrayIcon::isSystemTrayAvailable())) main_->showMinimized();
    return;
  }
  ShowWithState(showState);
}

void AppWindows::PlaceLogWindow() {
  const Profile& p = CurrentProfile();
  log_->Place(p);
  if (p.LogViewFlag) log_->show();
}

void AppWindows::AddTrayIcon(std::string_view tip) {
  tray_->setToolTip(Q(tip));
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
}

void AppWindows::RemoveTrayIcon() { tray_->hide(); }

void AppWindows::ShowCurrentGroup(TreeNode* folder) {
  main_->Rebuild();
  main_->SelectFolder(folder);
}

// --- Running -----------------------------------------------------------------------

void AppWindows::SyncViews(const std::unordered_set<const void*>& changed) { main_->SyncViews(changed, false); }

void AppWindows::Refresh(const std::vector<const TreeNode*>& changed) {
  std::unordered_set<const void*> nodes;
  TakePendingRefreshes(nodes);
  nodes.insert(changed.begin(), changed.end());
  main_->SyncViews(nodes, true);
}

void AppWindows::SelectFolder(TreeNode* folder) { main_->SelectFolder(folder); }

void AppWindows::RaiseMain() {
  if (restoreState_) {
    const int state = restoreState_;
    restoreState_ = 0;
    ShowWithState(state);
  } else if (main_->isHidden() || main_->isMinimized()) {
    if (wasMaximized_) main_->showMaximized();
    else main_->showNormal();
  } else if (QWindow* window = main_->windowHandle(); window && !window->isExposed()) {
    // Unmapped without a word to the program (another client, a window
    // manager that keeps quiet): Qt still counts it shown, and only showing
    // it afresh maps it again.
    main_->hide();
    main_->show();
  }
  main_->raise();
  main_->activateWindow();
}

void AppWindows::HideMain() {
  wasMaximized_ = main_->isMaximized();
  if (tray_->isVisible()) main_->hide();
  else main_->showMinimized();
}

void AppWindows::ToggleMain() {
  if (main_->isVisible() && !main_->isMinimized()) HideMain();
  else RaiseMain();
}

void AppWindows::OnMinimized() {
  const Profile& p = CurrentProfile();
  if (p.MinimizeOnlyTasktray && tray_->isVisible()) {
    // Hidden after the state change has settled: the tray icon alone remains.
    QTimer::singleShot(0, main_, [this] {
      if (main_->isMinimized()) main_->hide();
    });
  }
}

void AppWindows::OnRestored() {
  // However the first restore after a minimised start comes about (tray,
  // task bar, a second start), it shows the profile's state.
  if (!restoreState_) return;
  const int state = restoreState_;
  restoreState_ = 0;
  if (state == 3 && !main_->isMaximized()) main_->showMaximized();
}

void AppWindows::ShowLogWindow(bool visible) {
  if (visible) {
    if (log_->isMinimized()) log_->showNormal();
    log_->show();
    log_->raise();
    log_->activateWindow();
    CurrentProfile().LogViewFlag = true;
  } else {
    log_->StoreInto(CurrentProfile());
    log_->hide();
    CurrentProfile().LogViewFlag = false;
  }
}

void AppWindows::ShowDownloadManager(bool visible) { downloads_->ShowWindow(visible); }

void AppWindows::ShowState(const QString& text) {
  main_->SetStatus(2, text);
  downloads_->ShowState(text);
}

void AppWindows::SetTrayTip(const QString& text) { tray_->setToolTip(text); }

void AppWindows::SetReadSelected(bool unread) {
  std::vector<TreeNode*> nodes = main_->SelectedNodes();
  TreeNode* folder = nullptr;
  std::vector<const TreeNode*> changed;
  {
    std::lock_guard lock(TreeMutex());
    for (TreeNode* n : nodes) {
      if (IsItem(n)) {
        SetUnreadFlag(n, unread);
        changed.push_back(n);
      } else if (!folder) {
        folder = n;
      }
    }
  }
  // Folders have no read state: the user is told so, without the tree locked.
  if (folder && changed.empty()) SetUnreadFlag(folder, unread);
  Refresh(changed);
}

void AppWindows::SetMarkSelected(int mark) {
  std::vector<TreeNode*> nodes = main_->SelectedNodes();
  std::vector<const TreeNode*> changed;
  {
    std::lock_guard lock(TreeMutex());
    for (TreeNode* n : nodes) {
      SetMark(n, mark);
      changed.push_back(n);
    }
  }
  Refresh(changed);
}

void AppWindows::SortCurrentFolder(uint32_t mode) {
  TreeNode* folder = main_->CurrentFolder();
  if (!folder) return;
  {
    std::lock_guard lock(TreeMutex());
    if (!SetSortMode(folder, mode)) return;
    if (mode != kSortNone) SortChildren(folder, mode);
  }
  Refresh({folder});
  if (QAction* a = main_->action(SortCommand(mode))) a->setChecked(true);
}

void AppWindows::OpenSettings(int page) {
  SettingsDialog dialog(CurrentProfile(), [this](const Profile& edited) { return ApplySettings(edited); },
                        main_->isVisible() ? main_ : nullptr);
  dialog.ShowPage(page == 1 ? SettingsDialog::kPageCapture : SettingsDialog::kPageGeneral);
  dialog.exec();
}

bool AppWindows::ApplySettings(const Profile& edited) {
  Profile next = edited;
  StoreGeometry(next);  // the windows as they are now, not as when the dialog opened
  next.LogViewFlag = edited.LogViewFlag;  // the dialog's choice, not the window's state
  const bool taken = RunWhileCaptureIdle([&next] {
    CurrentProfile() = next;
    CurrentTreeFileSettings() = TreeFileSettingsFrom(next, CurrentTreeFileSettings());
  });
  if (!taken) {
    static const std::string kBusy = os::Utf8ToSjis(
        "取り込み中は設定を変更できません。\r\n取り込みが終わるか停止してから、もう一度 OK を押してください。");
    os::MessageBox(kBusy, "Zentu", os::Buttons::Ok, os::IDOK);
    return false;
  }
  const Profile& p = CurrentProfile();
  log::SetDebugFlag(p.DebugFlag != 0);
  // Only what the dialog changes: re-placing a maximised window would restore it.
  main_->statusBar()->setVisible(p.StatusBar);
  if (main_->toolBar()) main_->toolBar()->setVisible(p.MainToolBar);
  main_->UpdateTitle();
  SetTopMost(p.ViewTopMost);
  // The log window's flag follows the window: shown now as it will be at the next start.
  if (log_->isVisible() != p.LogViewFlag) ShowLogWindow(p.LogViewFlag);
  downloads_->Restyle();
  WriteLog("# SaveProfileData : %s", ProfilePath().c_str());
  (void)SaveProfile(p, ProfilePath());  // a failure is shown by the save itself
  return true;
}

void AppWindows::SetTopMost(bool on) {
  CurrentProfile().ViewTopMost = on;
  if (main_->testAttribute(Qt::WA_WState_Created) &&
      main_->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == on)
    return;
  const bool visible = main_->isVisible();
  main_->setWindowFlag(Qt::WindowStaysOnTopHint, on);
  if (visible) main_->show();  // changing the flag hides the window
}

void AppWindows::SaveCollection() {
  const TreeFileSettings& settings = CurrentTreeFileSettings();
  if (!settings.flagSave) return;
  WriteLog("# Save Zentu File : %s", settings.treeFile.c_str());
  (void)SaveTree(settings);  // a failure is shown by the save itself
}

// --- The orphan-file cleaner --------------------------------------------------------

void AppWindows::StartCleaner() {
  // The cleaner reads the tree file and the settings from disk: both go there first.
  const TreeFileSettings& settings = CurrentTreeFileSettings();
  WriteLog("# Save Zentu File : %s", settings.treeFile.c_str());
  (void)SaveTree(settings);  // a failure is shown by the save itself
  WriteLog("# SaveProfileData : %s", ProfilePath().c_str());
  (void)SaveProfile(CurrentProfile(), ProfilePath());
  const std::string program = os::JoinPath(os::ExecutableDirectory(), "zentucleaner");
  if (!os::StartProgram(program))
    os::MessageBox(os::SJ("クリーナーが存在しません．確認してください．"), "Zentu", os::Buttons::Ok, os::IDOK);
}

// --- Timers of the windows ----------------------------------------------------------

void AppWindows::UseTimers(SetTimerFn set, std::function<void(int)> kill) {
  ownTimers_.clear();
  setTimer_ = std::move(set);
  killTimer_ = std::move(kill);
}

void AppWindows::SetTimer(int id, std::chrono::milliseconds period, std::function<void()> step, bool singleShot) {
  if (setTimer_) {
    setTimer_(id, period, std::move(step), singleShot);
    return;
  }
  std::unique_ptr<QTimer>& timer = ownTimers_[id];
  if (!timer) timer = std::make_unique<QTimer>();
  timer->disconnect();
  // The step may set or kill its own timer: it runs from a copy.
  QObject::connect(timer.get(), &QTimer::timeout, main_, [step = std::move(step)] {
    std::function<void()> copy = step;
    copy();
  });
  timer->setSingleShot(singleShot);
  timer->start(static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(period.count(), 1, INT_MAX)));
}

void AppWindows::KillTimer(int id) {
  if (killTimer_) {
    killTimer_(id);
    return;
  }
  if (auto it = ownTimers_.find(id); it != ownTimers_.end()) it->second->stop();
}

void AppWindows::FocusBackLater() {
  SetTimer(
      kFocusBackTimer, std::chrono::milliseconds(50),
      [this] {
        KillTimer(kFocusBackTimer);
        if (!closing_) main_->RestoreFocus();
      },
      true);
}

// --- Close -------------------------------------------------------------------------

void AppWindows::OnCloseEvent(QCloseEvent* event) {
  // The window never closes by itself: the shutdown takes it down.
  event->ignore();
  if (closing_) return;
  if (CurrentProfile().MinimizeByCloseButton) {
    main_->showMinimized();
    return;
  }
  RequestClose();
}

void AppWindows::RequestClose() {
  if (closing_) return;
  // Search folders: a running contents search is asked about and stopped
  // before the collection goes away under it.
  if (TheContentsSearch().Running()) {
    if (os::MessageBox(os::SJ("検索中です．検索を中止しますか？"), os::SJ("確認"), os::Buttons::YesNo, os::IDNO) !=
        os::IDYES)
      return;
    TheContentsSearch().Stop();
  }
  if (CurrentProfile().FinishConfirm) {
    static const std::string kText = os::Utf8ToSjis("終了してもよいですか");
    static const std::string kCaption = os::Utf8ToSjis("終了確認");
    if (os::MessageBox(kText, kCaption, os::Buttons::YesNo, os::IDYES) != os::IDYES) return;
  }
  closing_ = true;
  QtDesktop::SetClosing(true);
  StoreGeometry(CurrentProfile());
  if (shutdown_) {
    shutdown_();
  } else {
    HideAll();
    QCoreApplication::quit();
  }
}

void AppWindows::StoreGeometry(Profile& profile) const {
  main_->StoreInto(profile);
  log_->StoreInto(profile);
  downloads_->StoreInto(profile);
}

void AppWindows::HideAll() {
  tray_->hide();
  log_->hide();
  downloads_->hide();
  main_->hide();
}

}  // namespace zentu::ui
