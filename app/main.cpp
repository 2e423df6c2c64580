// zentu: the first start becomes the running instance, with its windows when
// there is a display (headless otherwise, or with --headless); a second start
// hands its command line to it.
//
// Environment knobs for tests and measurements:
//   ZENTU_WORKER_IDLE_MS    idle time after which capture threads end (default 10 s)
//   ZENTU_SCHEDULE_TICK_MS  period of the scheduled-update tick instead of 10 minutes
//   ZENTU_SAVE_INTERVAL_MS  period of the save-and-backup timer instead of BackupInterval
//   ZENTU_EXIT_WHEN_READY   end right after start-up ("# Ready", and the window's
//                           first paint when there is one), saving nothing
//   ZENTU_FORWARD_WAIT_MS   how long a second start tries to hand over its command (default 15 s)
#include <QCoreApplication>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/arguments.h"
#include "app/frame.h"
#include "app/headless_ui.h"
#include "app/second_start.h"
#include "app/signals.h"
#include "app/window_ui.h"
#include "intake/channel.h"
#include "intake/browserreg.h"
#include "intake/hostmanifest.h"
#include "intake/nativehost.h"
#include "os/channel.h"
#include "os/cp932.h"
#include "os/home.h"
#include "os/stdstreams.h"
#include "os/log.h"
#include "os/path.h"
#if ZENTU_WITH_BROWSER
#include <unistd.h>

#include "ui/web/tabbrowser.h"
#endif

using namespace zentu;

namespace {

bool EnvironmentSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v && std::string(v) != "0";
}

// A positive number of milliseconds from the environment, else 0.
std::chrono::milliseconds EnvironmentMs(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::chrono::milliseconds(0);
  char* end = nullptr;
  const long long ms = std::strtoll(v, &end, 10);
  if (*end != '\0' || ms <= 0) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(ms);
}

bool HasDisplay() { return EnvironmentSet("DISPLAY") || EnvironmentSet("WAYLAND_DISPLAY"); }

// The log in UTF-8 on stderr, for terminals and service logs.
void EchoLogToStderr() {
  log::AddObserver([](const std::string& line, int) {
    const std::string text = os::SjisToUtf8(line);
    std::fprintf(stderr, "%s\n", text.c_str());
  });
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = ParseArguments(argc, argv);
  if (args.help) {
    std::fputs(UsageText(), stdout);
    return 0;
  }
  if (!args.quiet) EchoLogToStderr();
  // The browser extension's host: messages on standard input, each forwarded
  // to the running Zentu; nothing else is read or listened to.
  if (args.nativeHost) {
    // Only Zentu's extension, through the pipe of the browser that started us.
    if (!os::StandardInputIsPipe()) {
      WriteLog("> native host: standard input is not a browser's pipe");
      return kExitStartFailed;
    }
    if (!IsNativeHostCaller(args.hostArguments,
                            {std::string(kChromiumExtensionId), std::string(kFirefoxExtensionId)}))
      return kExitStartFailed;
    RunNativeHost(os::ReadStandardInput, [](std::string_view reply) { (void)os::WriteStandardOutput(reply); },
                  [](const ChannelCommand& c) { return os::SendFrame(c.code, c.text); });
    return kExitDone;
  }
  if (!args.editFile.empty()) {
    static int qtArgc = 1;
    static char* qtArgv[] = {argv[0], nullptr};
    return RunEditorWindow(qtArgc, qtArgv, args.editFile);
  }

  if (!os::EnsureZentuHome()) {
    std::fprintf(stderr, "zentu: cannot create the Zentu home %s\n", os::SjisToUtf8(os::ZentuHome()).c_str());
    return kExitStartFailed;
  }
  log::SetLogFile(os::JoinPath(os::ZentuHome(), "zentu.log"));
  const std::string commandLine = CommandLineFromArguments(args.commandLine);

  os::InstanceLock lock = os::AcquireInstanceLock();
  if (!lock) {
    if (lock.HeldElsewhere()) {
      const std::chrono::milliseconds wait = EnvironmentMs("ZENTU_FORWARD_WAIT_MS");
      return ForwardToRunningInstance(commandLine, wait.count() > 0 ? wait : kForwardWait);
    }
    // Not "Zentu runs already": nobody holds the lock, it cannot be had at
    // all, and no instance can run in this home until that is mended.
    const std::string program = os::InstanceLockPath();
    const std::optional<std::string> native = os::ToNativePath(program);
    const std::string path = native ? *native : os::SjisToUtf8(program);
    std::fprintf(stderr, "zentu: cannot use the lock file %s: %s\n", path.c_str(), lock.Error().c_str());
    return kExitStartFailed;
  }

  // The window needs a display, or a Qt platform named outright (offscreen runs).
  const bool windowed =
      !args.headless && WindowsBuiltIn() && (HasDisplay() || EnvironmentSet("QT_QPA_PLATFORM"));
  std::string reason = "headless: no window";
  if (!args.headless) {
    reason = WindowsBuiltIn() ? "no display: running headless" : "built without windows: running headless";
  }

  // Qt reads no options of ours.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
#if ZENTU_WITH_BROWSER
  if (windowed) {
    // The web engine's sandbox refuses to start for root.
    if (geteuid() == 0) setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    ui::SetBrowserPaneFactory([](QWidget* parent) { return std::make_unique<ui::TabBrowser>(parent); });
  }
#endif
  std::unique_ptr<QCoreApplication> app = windowed ? CreateWindowApplication(qtArgc, qtArgv)
                                                   : std::make_unique<QCoreApplication>(qtArgc, qtArgv);
  // Qt takes the user's locale; numbers in files and logs stay in the C form ("0.99").
  std::setlocale(LC_NUMERIC, "C");

  Frame* running = nullptr;  // the window's confirmed close runs the frame's shutdown
  std::unique_ptr<FrameUi> ui;
  if (windowed) ui = CreateWindowUi([&running] {
    if (running) running->Close();
  });
  if (!ui) ui = std::make_unique<HeadlessUi>(reason);
  FrameOptions options;
  options.commandLine = commandLine;
  options.once = args.once;
  options.saveInterval = EnvironmentMs("ZENTU_SAVE_INTERVAL_MS");
  options.workerIdle = EnvironmentMs("ZENTU_WORKER_IDLE_MS");
  options.scheduleTick = EnvironmentMs("ZENTU_SCHEDULE_TICK_MS");
  options.stop = &ShutdownSignals::Received();
  const bool exitWhenReady = EnvironmentSet("ZENTU_EXIT_WHEN_READY");
  options.offerFirstSetup = !exitWhenReady;
  Frame frame(*ui, std::move(options), std::move(lock));
  running = &frame;
  ShutdownSignals shutdownSignals([&frame](int signo) {
    WriteLog("> signal %d: shutting down", signo);
    frame.Close();
  });

  int code = frame.StartUp();
  if (code < 0 && exitWhenReady) {
    ui->WaitUntilShown(std::chrono::seconds(30));
    code = 0;
  }
  if (code < 0) code = QCoreApplication::exec();
  code = frame.Finish(code);
  if (frame.WorkersAbandoned()) {
    // Capture threads still run: static destructors must not run under them.
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}
