#include "app/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "os/log.h"

namespace zentu {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};

// The pipe is process-wide: one handler, one instance of ShutdownSignals.
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_received{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set inside a signal handler");

extern "C" void OnSignal(int signo) {
  const int saved = errno;
  g_received.store(true, std::memory_order_relaxed);
  const unsigned char byte = static_cast<unsigned char>(signo);
  // A full pipe already holds a wake-up; nothing is lost by dropping this byte.
  (void)!::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

ShutdownSignals::ShutdownSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  if (g_pipe[0] >= 0) return;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    WriteLog("> signals: pipe: %s", std::strerror(errno));
    g_pipe[0] = g_pipe[1] = -1;
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Drain(); });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : kSignals) {
    if (::sigaction(signo, &action, nullptr) != 0)
      WriteLog("> signals: sigaction %d: %s", signo, std::strerror(errno));
  }
}

const std::atomic<bool>& ShutdownSignals::Received() { return g_received; }

ShutdownSignals::~ShutdownSignals() {
  if (!notifier_) return;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signo : kSignals) (void)::sigaction(signo, &action, nullptr);
  notifier_.reset();
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void ShutdownSignals::Drain() {
  unsigned char bytes[64];
  for (;;) {
    const ssize_t n = ::read(g_pipe[0], bytes, sizeof bytes);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (onSignal_) onSignal_(bytes[i]);
    }
  }
}

}  // namespace zentu
