#include "app/frame.h"

#include <QCoreApplication>
#include <algorithm>
#include <climits>
#include <cstdio>

#include "app/arguments.h"
#include "app/second_start.h"
#include "app/wiring.h"
#include "capture/http.h"
#include "capture/job.h"
#include "capture/mirror.h"
#include "capture/pipeline.h"
#include "capture/queuefile.h"
#include "capture/rules.h"
#include "capture/schedule.h"
#include "intake/browserreg.h"
#include "intake/channel.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/process.h"
#include "store/configfiles.h"
#include "store/groups.h"
#include "store/listfiles.h"
#include "store/locklist.h"
#include "store/profile.h"
#include "store/profile_bridge.h"
#include "store/tree.h"
#include "store/treefile.h"

namespace zentu {
namespace {

constexpr char kRule[] = "-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-";
constexpr auto kSplashTime = std::chrono::milliseconds(1000);
// One round of waiting for the capture threads at shutdown before the user is asked.
constexpr auto kStopRound = std::chrono::seconds(120);

struct Texts {
  std::string hotKeyFailed = os::Utf8ToSjis("グローバルホットキーの設定に失敗しました。");
  std::string acceleratorsMissing = os::Utf8ToSjis("アクセラレータのロードに失敗しました");
  std::string allFinished = os::Utf8ToSjis("すでに全ての取り込み処理が終了しています");
  std::string stopping = os::Utf8ToSjis("取り込み処理を停止します");
  std::string stopTakesLong = os::Utf8ToSjis("停止に時間がかかっています．停止処理を続けますか？");
  std::string report = os::Utf8ToSjis("報告");
  std::string stopAbandoned = os::Utf8ToSjis("停止処理中断");
};
const Texts& T() {
  static const Texts texts;
  return texts;
}

// The configuration lists loaded right after the profile; the custom icons and
// the groups follow later in the start-up, around the load of the collection.
constexpr ConfigFile kEarlyConfigFiles[] = {
    ConfigFile::Keyword2Url, ConfigFile::Extension, ConfigFile::CloseUrl,
    ConfigFile::Password,    ConfigFile::Referrer,  ConfigFile::Lock,
    ConfigFile::Update,      ConfigFile::KeyConfig, ConfigFile::KeyConfigEditor,
};

std::chrono::milliseconds ClampPeriod(std::chrono::milliseconds period) {
  return std::clamp(period, std::chrono::milliseconds(1), std::chrono::milliseconds(INT_MAX));
}

}  // namespace

Frame::Frame(FrameUi& ui, FrameOptions options, os::InstanceLock lock)
    : ui_(ui),
      options_(std::move(options)),
      lock_(std::move(lock)),
      queueFile_(std::make_unique<QueueFileWriter>(GetDownloadManager())) {}

Frame::~Frame() {
  StopOnceWatcher();
  StopQueueFile();
  server_.Stop();
  timers_.clear();
  if (ui_.Desktop()) os::SetDesktop(nullptr);
}

// --- Start-up -------------------------------------------------------------------------------

int Frame::StartUp() {
  Profile& profile = CurrentProfile();
  failuresAtStart_ = GetDownloadManager().FailuresCommitted();
  if (ui_.Desktop()) os::SetDesktop(ui_.Desktop());
  InstallModules(GetDownloadManager(), [this](uint32_t code, std::string text) {
    QMetaObject::invokeMethod(
        &context_, [this, code, text = std::move(text)] { RunCommand(code, text); }, Qt::QueuedConnection);
  });
  if (options_.workerIdle.count() > 0) SetWorkerIdleLimit(options_.workerIdle);

  // The old log goes only now that this instance holds the lock: a second
  // start must not remove the running instance's log.
  if (const std::string file = log::LogFile(); !file.empty() && os::PathExists(file)) (void)os::DeleteFile(file);

  WriteLog("%s", kRule);
  WriteLog(" Zentu version %s", os::VersionText().c_str());
  WriteLog("   - Update Date %s", os::kUpdateDate);
  WriteLog("%s", kRule);
  if (!options_.commandLine.empty()) WriteLog("Command Line: [%s]", options_.commandLine.c_str());
  ui_.Announce();
  // Listening early lets a second start that comes during the start-up hand
  // over its command: it runs once the main loop does.
  StartChannel();

  WriteLog("Load Initialize File [%s]", ProfilePath().c_str());
  showState_ = LoadProfile(profile, ProfilePath());
  log::SetDebugFlag(profile.DebugFlag != 0);
  (void)StartWinsock();

  if (profile.ShowSplashWindow) ui_.ShowSplash(kSplashTime);

  LoadStartupConfigFiles();

  WriteLogVerbose("Init Application %s", kWindowClassName);
  // The classic program ends with 0 here; a --once run must not claim success.
  const int initFailed = options_.once ? kExitStartFailed : 0;
  if (!ui_.RegisterWindowClass()) {
    WriteLog("> Init Error");
    return initFailed;
  }
  WriteLogVerbose("Load Some Resources");
  ui_.LoadImageLists();

  (void)LoadConfigFile(profile, ConfigFile::Icon);
  (void)GroupRoot();

  TreeFileSettings& settings = CurrentTreeFileSettings();
  settings = TreeFileSettingsFrom(profile, settings);
  settings.stop = options_.stop;
  // Each tree file written goes after the queue: an item it holds always has
  // its job in timer.dat. Nothing is written before the writer starts.
  settings.beforeTreeFileWrite = [writer = queueFile_.get()] { writer->Flush(); };
  // An older tree file renews the browser integration's registration here.
  // The first-time setup only notes that it is due: its question comes once
  // the main window shows, since asked now it would hold the start with
  // nothing on the screen.
  TreeVersionHooks versionHooks;
  versionHooks.upgrade = [](double from, double) { RunUpgradeStep(os::ExecutableDirectory(), from, {}); };
  versionHooks.firstTimeSetup = [this] { firstSetupDue_ = true; };
  (void)CheckTreeVersion(settings.treeFile, versionHooks);
  WriteLog("Load Zentu Tree [%s]", settings.treeFile.c_str());
  if (LoadTree(settings.treeFile, nullptr, settings).stopped) {
    // Asked to end while the collection was read: the part in memory must
    // never be saved over the file, so the run ends here, saving nothing.
    WriteLog("> end requested during the load: nothing saved");
    return initFailed;
  }
  RemoveProtectedReceiveChild();

  SetTreeLoaded(true);
  (void)LoadConfigFile(profile, ConfigFile::Group);

  WriteLogVerbose("OLEInitialize");
  if (!CreateMainWindow()) {
    WriteLog("Zentu Init: error");
    return initFailed;
  }
  WriteLogVerbose("Zentu Init: ok");

  WriteLogVerbose("RegisterHotKey");
  if (!ui_.RegisterHotKeys(profile)) {
    os::MessageBox(T().hotKeyFailed, "Zentu");
    WriteLog("> RegisterHotKey - Miss");
  }
  ui_.ShowMainWindow(profile, showState_);
  WriteLogVerbose("Load Accelerators");
  if (!ui_.LoadAccelerators()) os::MessageBox(T().acceleratorsMissing, "");
  WriteLogVerbose("Init Menu Items");
  ui_.InitMenuItems(profile);
  ui_.AddTrayIcon("Zentu");

  WriteLogVerbose("Set Current Group");
  (void)ApplyGroup(profile.Group);
  SelectStartFolder();
  ui_.ShowCurrentGroup(GetTreeState().currentFolder);

  (void)LoadWindowConfigFiles(profile);
  ui_.PrepareEditorDrawing(profile);
  ui_.PlaceLogWindow(profile);

  ui_.CreateDownloadManagerWindow();
  GetTreeState().modified.store(false);
  // Spool and part files are a dead run's only while no other Zentu runs:
  // the lock says so. No capture of this run has started yet.
  if (lock_.Held()) (void)RemoveDeadRunFiles();
  (void)LoadTimerFile(GetDownloadManager());
  queueFile_->Start();
  // After the restore, not before it: a restored job of the same URL would
  // replace the job the start-up update just queued, and the update be lost.
  RunScheduleTier(kUpdateAtFirst);

  // The own command line goes the way of a second start's, straight to the handler.
  if (!options_.commandLine.empty()) {
    (void)SendCommandLine(options_.commandLine, [this](uint32_t code, const std::string& text) {
      RunCommand(code, text);
      return true;
    });
  }
  WriteLog("# Ready");
  if (firstSetupDue_) {
    if (options_.offerFirstSetup) {
      QTimer::singleShot(0, &context_, [this] { OfferFirstSetup(); });
    } else {
      firstSetupDue_ = false;
      WriteLog("> first setup not offered: the run ends at once");
    }
  }
  if (options_.once) StartOnceWatcher();
  return -1;
}

void Frame::StartChannel() {
  const bool started = server_.Start([this](uint32_t code, std::string text) { Post(code, std::move(text)); }, {},
                                     [this](bool answered) { Settle(answered); });
  if (!started) WriteLog("> command channel not available: second starts cannot reach this Zentu");
}

void Frame::LoadStartupConfigFiles() {
  Profile& profile = CurrentProfile();
  if (!os::DirectoryExists(profile.dirs.config) && !os::CreateDirectories(profile.dirs.config))
    WriteLog("> Can't create directory: %s", profile.dirs.config.c_str());
  for (ConfigFile file : kEarlyConfigFiles) (void)LoadConfigFile(profile, file);
}

void Frame::RemoveProtectedReceiveChild() {
  std::lock_guard tree(TreeMutex());
  TreeNode* receive = GetTreeState().receiveFolder;
  if (!receive || !receive->firstChild || !receive->firstChild->isProtected) return;
  TreeNode* child = receive->firstChild;
  WriteLog("> removed the protected node at the top of the receive folder: %s", child->title.c_str());
  GetDownloadManager().DetachSubtree(child);
  DestroyNode(child);
}

void Frame::SelectStartFolder() {
  const Profile& profile = CurrentProfile();
  std::lock_guard tree(TreeMutex());
  TreeState& state = GetTreeState();
  TreeNode* folder = nullptr;
  if (profile.FocusToLastFolder && !profile.LastFolder.empty() && state.root)
    folder = FindFolderByTitle(state.root, profile.LastFolder, TitleMatch::Whole, true);
  state.currentFolder = folder ? folder : state.root;
}

bool Frame::CreateMainWindow() {
  const Profile& profile = CurrentProfile();
  WriteLogVerbose("# Zentu: WM_CREATE");
  ui_.CreateBars(profile);
  WriteLogVerbose("# Create Base Window");
  if (!ui_.CreatePanes()) return false;
  WriteLogVerbose("# Init Draw Item");
  ui_.SelectRootInTree();
  WriteLogVerbose("# Draw List Items");
  ui_.FillList();
  WriteLogVerbose("# Set Timer");
  StartTimers();
  ui_.UseTimers([this](int id, std::chrono::milliseconds period, std::function<void()> step,
                       bool singleShot) { SetTimer(id, period, std::move(step), singleShot); },
                [this](int id) { KillTimer(id); });
  WriteLogVerbose("# Zentu: WM_CREATE [ok]");
  ui_.FinishMainWindow(profile, os::WindowTitle(profile.ShowVersionOnTitleBar, {}));
  return true;
}

// --- Timers ---------------------------------------------------------------------------------

void Frame::SetTimer(int id, std::chrono::milliseconds period, std::function<void()> step, bool singleShot) {
  TimerSlot& slot = timers_[id];
  if (!slot.timer) {
    slot.timer = std::make_unique<QTimer>();
    QObject::connect(slot.timer.get(), &QTimer::timeout, &context_, [this, id] {
      auto it = timers_.find(id);
      if (it == timers_.end() || !it->second.step) return;
      // A copy: the step may set or kill its own timer.
      std::function<void()> step = it->second.step;
      step();
    });
  }
  slot.step = std::move(step);
  slot.timer->setSingleShot(singleShot);
  slot.timer->start(static_cast<int>(ClampPeriod(period).count()));
}

void Frame::KillTimer(int id) {
  auto it = timers_.find(id);
  if (it != timers_.end() && it->second.timer) it->second.timer->stop();
}

bool Frame::TimerActive(int id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second.timer && it->second.timer->isActive();
}

void Frame::StartTimers() {
  const Profile& profile = CurrentProfile();
  SetTimer(kTimerSchedule, options_.scheduleTick.count() > 0 ? options_.scheduleTick : kScheduleTick,
           [this] { OnScheduleTick(); });
  if (profile.WaitTimeForAutoSave > 0) {
    SetTimer(kTimerAutoSaveText, std::chrono::seconds(std::min(profile.WaitTimeForAutoSave, INT_MAX / 1000)),
             [this] { ui_.AutoSaveText(); });
  }
  if (profile.BackupInterval > 0) {
    std::chrono::milliseconds period = std::chrono::minutes(std::min(profile.BackupInterval, INT_MAX / 60000));
    if (options_.saveInterval.count() > 0) period = options_.saveInterval;
    SetTimer(kTimerSaveBackup, period, [] { PeriodicSaveStep(CurrentTreeFileSettings()); });
  }
}

// From the main loop, with the main window on the screen. Without windows
// the desktop answers the question with its default ("No") in the log, so a
// headless start never waits for it.
void Frame::OfferFirstSetup() {
  if (!firstSetupDue_) return;
  if (!shutdownRan_) {
    BrowserIntegrationHooks hooks;
    hooks.selectionDialog = ui_.BrowserIntegrationDialog();
    RunFirstSetup(os::ExecutableDirectory(), hooks);
  }
  firstSetupDue_ = false;
}

void Frame::OnScheduleTick() {
  for (int tier : ScheduleModesForTick(tierCounter_)) RunScheduleTier(tier);
}

void Frame::RunScheduleTier(int tier) { (void)RunSchedule(tier); }

// --- Commands ---------------------------------------------------------------------------------

void Frame::Post(uint32_t code, std::string text) {
  // Held until the channel knows its sender got the answer: a sender that
  // gave up reports failure, and the command must not run behind its back.
  std::lock_guard lock(pendingMutex_);
  pending_.push_back({code, std::move(text), true});
}

void Frame::Settle(bool answered) {
  {
    std::lock_guard lock(pendingMutex_);
    // The channel settles each text right after posting it: it is the last one.
    if (pending_.empty() || !pending_.back().held) return;
    if (answered) {
      pending_.back().held = false;
    } else {
      pending_.pop_back();
      WriteLog("> a command whose sender gave up waiting was dropped");
      return;
    }
  }
  QMetaObject::invokeMethod(&context_, [this] { DrainCommands(); }, Qt::QueuedConnection);
}

void Frame::DrainCommands() {
  for (;;) {
    Pending next;
    {
      std::lock_guard lock(pendingMutex_);
      if (pending_.empty() || pending_.front().held) return;
      next = std::move(pending_.front());
      pending_.pop_front();
    }
    RunCommand(next.code, next.text);
  }
}

void Frame::RunCommand(uint32_t code, const std::string& text) {
  WriteLog("wm copydata");
  if ((code & 0xFFFFu) == kCommandOther && text == kShowWindowText) {
    ui_.RaiseMainWindow();
    return;
  }
  (void)ReceiveCommand(code, text);
}

void Frame::StartOnceWatcher() {
  onceWatcher_ = std::jthread([this](std::stop_token stop) {
    // Items of a download reservation reach the queue from its own thread.
    JoinDownloadReservations();
    // Woken by the change that ends the last job, not by a timer.
    if (!GetDownloadManager().WaitUntilDrained(stop)) return;
    QMetaObject::invokeMethod(
        &context_,
        [this] {
          WriteLog("# Capture queue drained");
          Close();
        },
        Qt::QueuedConnection);
  });
}

void Frame::StopOnceWatcher() {
  if (!onceWatcher_.joinable()) return;
  onceWatcher_.request_stop();
  onceWatcher_.join();
}

// --- Shutdown ---------------------------------------------------------------------------------

void Frame::Close() {
  if (Shutdown()) QCoreApplication::exit(0);
}

void Frame::CloseIntake(bool carryOutAccepted) {
  if (intakeClosed_) return;
  intakeClosed_ = true;
  server_.Stop();
  if (carryOutAccepted) {
    // Every command the channel answered "accepted" is carried out; captures
    // it starts are stopped with the others and kept in timer.dat.
    DrainCommands();
  } else {
    std::lock_guard lock(pendingMutex_);
    if (!pending_.empty()) WriteLog("> %zu received commands dropped", pending_.size());
    pending_.clear();
  }
  CloseCommandChannel();
  JoinDownloadReservations();
}

void Frame::StopCaptures() {
  DownloadManager& manager = GetDownloadManager();
  if (!manager.AnyWorkerRunning()) {
    (void)SaveErrorList(manager);
    WriteLog("%s", T().allFinished.c_str());
  } else {
    WriteLog("%s", T().stopping.c_str());
  }
  // The stop ends running transfers at once; a page under analysis ends at its next tag.
  for (;;) {
    if (StopCaptureAndWait(kStopRound)) break;
    if (os::MessageBox(T().stopTakesLong, T().report, os::Buttons::YesNo, os::IDYES) != os::IDYES) {
      WriteLog("%s", T().stopAbandoned.c_str());
      workersAbandoned_ = true;
      break;
    }
  }
  // The exit's file says more than the running one (no step to redo): it
  // must be the last written.
  StopQueueFile();
  (void)SaveTimerFile(manager);
}

void Frame::StopQueueFile() {
  queueFile_->Stop();
  CurrentTreeFileSettings().beforeTreeFileWrite = nullptr;
}

bool Frame::Shutdown() {
  if (shutdownRan_) return false;
  shutdownRan_ = true;
  StopOnceWatcher();
  // Nothing new arrives while the collection is saved.
  CloseIntake(true);
  // The notes before the collection: the tree file must name a renamed
  // note's new file, and no longer name an empty note that was dropped.
  if (!ui_.CloseOpenTexts()) saveFailed_ = true;

  Profile& profile = CurrentProfile();
  const TreeFileSettings treeSettings = CurrentTreeFileSettings();
  // Saved now (not declined, not failed): the tree is saved again below if the
  // captures that end while they stop change it.
  bool treeSaved = false;
  if (!SaveTreeAtExit(treeSettings, &treeSaved)) saveFailed_ = true;
  {
    std::lock_guard tree(TreeMutex());
    if (const TreeNode* current = GetTreeState().currentFolder) profile.LastFolder = current->title;
  }
  WriteLog("# SaveProfileData : %s", ProfilePath().c_str());
  ui_.StoreWindowPlacement(profile);
  if (!SaveProfile(profile, ProfilePath()) && profile.FlagSave) saveFailed_ = true;
  ui_.HideMainWindow();

  // A schedule run only queues jobs: it ends before the captures stop.
  StopSchedules(kStopRound);
  StopCaptures();
  // A capture that finished while the workers stopped is complete in timer.dat:
  // without this save its item would stay unfinished for good.
  if (treeSaved && GetTreeState().modified.load()) {
    WriteLog("# Save Zentu File : %s", treeSettings.treeFile.c_str());
    if (!SaveTree(treeSettings)) saveFailed_ = true;
  }
  (void)SaveConfigFiles(profile);
  // The mirror thread ends before the collection it copied from is freed; a
  // file it was copying is finished or dropped whole.
  (void)StopMirror();

  WriteLog("# UnregisterHotKey");
  ui_.UnregisterHotKeys();
  WriteLog("# Kill Timer");
  for (auto& [id, slot] : timers_) KillTimer(id);
  ui_.RemoveTrayIcon();
  StopWinsock();
  ui_.FreeEditorDrawing();
  WriteLog("# Destroy Child Window");
  ui_.DestroyChildWindows();
  WriteLog("# Delete All Log");
  log::Clear();
  ui_.DestroyWindows();
  return true;
}

int Frame::Finish(int loopCode) {
  StopOnceWatcher();
  StopQueueFile();
  if (!shutdownRan_) {
    // The start-up failed, or the run ended without the shutdown: nothing is saved.
    CloseIntake(false);
    if (!StopCaptureAndWait(kStopRound)) workersAbandoned_ = true;
    if (!StopMirror()) workersAbandoned_ = true;
  }
  for (auto& [id, slot] : timers_) KillTimer(id);
  WriteLogVerbose("# Free Resources");
  ui_.FreeImageLists();
  WriteLogVerbose("# delete all object");
  SetTreeLoaded(false);
  if (!workersAbandoned_) {
    std::lock_guard tree(TreeMutex());
    if (const TreeNode* root = GetTreeState().root) (void)GetDownloadManager().DetachSubtree(root);
    ResetTreeState();
    ResetGroups();
  }
  WriteLogVerbose("# Release Mutex & Close Handle");
  lock_.Release();
  WriteLogVerbose("%s", kRule);
  return OnceExitCode(loopCode);
}

int Frame::OnceExitCode(int loopCode) const {
  if (!options_.once || !shutdownRan_ || loopCode != 0) return loopCode;
  // A lost save outweighs a failed capture: even the captures that worked are not kept.
  if (saveFailed_) {
    WriteLog("> --once: the collection or the profile could not be saved (exit %d)", kExitSaveFailed);
    return kExitSaveFailed;
  }
  const uint64_t failures = GetDownloadManager().FailuresCommitted() - failuresAtStart_;
  if (failures > 0) {
    WriteLog("> --once: %llu capture(s) failed (exit %d)", static_cast<unsigned long long>(failures),
             kExitCaptureFailed);
    return kExitCaptureFailed;
  }
  return kExitDone;
}

}  // namespace zentu
