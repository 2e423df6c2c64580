// The program frame: the start-up after the single-instance check, the timers
// of the main loop, the commands that arrive through the channel, and the
// ordered shutdown. The windows are a FrameUi's (HeadlessUi has none).
//
// Everything here runs on the main thread, except Post, which the channel's
// threads call.
#pragma once
#include <QObject>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/frame_ui.h"
#include "browser/navigation.h"
#include "os/channel.h"
#include "os/version.h"

namespace zentu {

class QueueFileWriter;

// The single-instance token's name, also the main window's class name.
using os::kWindowClassName;

// Timer identifiers of the main loop.
enum FrameTimer : int {
  kTimerSaveBackup = 1005,   // periodic save and backup, every BackupInterval minutes
  kTimerAutoSaveText = 1007, // auto-save of the open text item, every WaitTimeForAutoSave seconds
  kTimerClipboardWait = 1008,
  kTimerSchedule = 1009,     // scheduled-update tiers, every 10 minutes
  kTimerAutoNavigate = kAutoNavigateTimer,  // set by the browser's side of the windows
  kTimerFocusBack = kFocusBackTimer,
};
inline constexpr std::chrono::milliseconds kScheduleTick{600000};

struct FrameOptions {
  std::string commandLine;  // Shift_JIS; handled by this instance at the end of start-up
  bool once = false;        // shut down once the capture queue has drained
  // Knobs for tests and measurements (environment variables, see main.cpp).
  std::chrono::milliseconds saveInterval{0};  // replaces BackupInterval's period when > 0
  std::chrono::milliseconds workerIdle{0};    // idle limit of the capture workers when > 0
  std::chrono::milliseconds scheduleTick{0};  // period of timer 1009 instead of 10 minutes when > 0
  // Set when the program is asked to end (a signal) before the main loop runs:
  // a long load of the collection gives up on it, and nothing is saved.
  const std::atomic<bool>* stop = nullptr;
  // False for runs that end right after start-up: the first-time setup's
  // question would be asked to nobody, and with a window it would hold the run.
  bool offerFirstSetup = true;
};

class Frame {
 public:
  Frame(FrameUi& ui, FrameOptions options, os::InstanceLock lock);
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  // Start-up from the deletion of the old log to the own command line.
  // Returns -1 when the main loop should run, otherwise the exit code.
  int StartUp();

  // A close request (signal, --once, the window): runs the shutdown and ends
  // the main loop. Main thread.
  void Close();
  // The ordered shutdown; runs once. False when it had run already.
  bool Shutdown();
  // After the loop: frees the collection and releases the instance lock.
  // Returns the exit code: the loop's, or for --once what became of the
  // captures and saves (kExitCaptureFailed, kExitSaveFailed in arguments.h).
  int Finish(int loopCode);

  // A text the channel received, held until Settle says whether its sender
  // got the answer; then handed to the main thread or dropped. Any thread.
  void Post(uint32_t code, std::string text);
  void Settle(bool answered);
  // True when capture threads could not be stopped at shutdown (the process
  // must then end without running static destructors under them).
  bool WorkersAbandoned() const { return workersAbandoned_; }
  // True from a start without a tree file (or with an old one) until the
  // first-time setup has been offered, once the main loop runs.
  bool FirstSetupDue() const { return firstSetupDue_; }

  // Timers by identifier, as the window program uses them too.
  void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> step, bool singleShot = false);
  void KillTimer(int id);
  bool TimerActive(int id) const;

 private:
  void StartChannel();
  void LoadStartupConfigFiles();
  void RemoveProtectedReceiveChild();
  void SelectStartFolder();
  bool CreateMainWindow();
  void StartTimers();
  void OfferFirstSetup();
  void OnScheduleTick();
  void RunScheduleTier(int tier);
  void DrainCommands();
  void RunCommand(uint32_t code, const std::string& text);
  void StartOnceWatcher();
  void StopOnceWatcher();
  void StopCaptures();
  void StopQueueFile();
  void CloseIntake(bool carryOutAccepted);
  int OnceExitCode(int loopCode) const;

  FrameUi& ui_;
  FrameOptions options_;
  os::InstanceLock lock_;
  QObject context_;  // lives on the main thread: posted work runs there
  struct TimerSlot {
    std::unique_ptr<QTimer> timer;
    std::function<void()> step;
  };
  std::map<int, TimerSlot> timers_;
  os::ChannelServer server_;
  std::mutex pendingMutex_;
  struct Pending {
    uint32_t code = 0;
    std::string text;
    bool held = false;  // not settled yet: nothing after it runs either
  };
  std::deque<Pending> pending_;
  std::jthread onceWatcher_;
  // Keeps timer.dat in step with the queue from the restore to the exit's save.
  std::unique_ptr<QueueFileWriter> queueFile_;
  int showState_ = 1;
  int tierCounter_ = 1;
  bool shutdownRan_ = false;
  bool intakeClosed_ = false;
  bool workersAbandoned_ = false;
  bool firstSetupDue_ = false;
  bool saveFailed_ = false;        // the shutdown could not save the tree or the profile
  uint64_t failuresAtStart_ = 0;   // the queue's failure count when this run began
};

}  // namespace zentu
