#include "app/second_start.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "intake/channel.h"
#include "os/channel.h"

namespace zentu {
namespace {

using Clock = std::chrono::steady_clock;

// How long a second start waits for the running instance to listen: it may
// itself have been started a moment ago and still be loading its collection.
constexpr std::chrono::milliseconds kListenWait{15000};
constexpr std::chrono::milliseconds kRetryPause{50};

bool SendUntilTaken(uint32_t code, const std::string& text) {
  const auto deadline = Clock::now() + kListenWait;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    // The server answers only after it has queued the command, and a refused
    // frame is never carried out: trying again cannot run a command twice.
    if (os::SendFrame(code, text, static_cast<int>(left.count()))) return true;
    // Nobody listens yet (no socket, or a stale one of a crashed instance).
    std::this_thread::sleep_for(kRetryPause);
  }
}

}  // namespace

int ForwardToRunningInstance(const std::string& commandLine) {
  if (commandLine.empty()) {
    if (SendUntilTaken(kCommandOther, std::string(kShowWindowText))) return 0;
    std::fprintf(stderr, "zentu: Zentu runs already but does not answer\n");
    return 1;
  }
  const int sent = SendCommandLine(commandLine, SendUntilTaken);
  if (sent == 1) return 0;
  if (sent == 0) {
    std::fprintf(stderr, "zentu: Zentu runs already; the command line asks it for nothing\n");
    return 0;
  }
  std::fprintf(stderr, "zentu: Zentu runs already but did not take the command line\n");
  return 1;
}

}  // namespace zentu
