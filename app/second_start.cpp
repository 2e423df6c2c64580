#include "app/second_start.h"

#include <cstdio>
#include <thread>

#include "app/arguments.h"
#include "intake/channel.h"
#include "os/channel.h"

namespace zentu {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kRetryPause{50};

bool SendUntilTaken(uint32_t code, const std::string& text, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    // A frame that was not answered "accepted" is never carried out, even
    // when the instance reads it later: trying again cannot run it twice.
    if (os::SendFrame(code, text, static_cast<int>(left.count()))) return true;
    // Nobody listens yet (no socket, or a stale one of a crashed instance).
    std::this_thread::sleep_for(kRetryPause);
  }
}

}  // namespace

int ForwardToRunningInstance(const std::string& commandLine, std::chrono::milliseconds wait) {
  auto send = [wait](uint32_t code, const std::string& text) { return SendUntilTaken(code, text, wait); };
  if (commandLine.empty()) {
    if (send(kCommandOther, std::string(kShowWindowText))) return kExitDone;
    std::fprintf(stderr, "zentu: Zentu runs already but does not answer\n");
    return kExitStartFailed;
  }
  const int sent = SendCommandLine(commandLine, send);
  if (sent == 1) return kExitDone;
  if (sent == 0) {
    std::fprintf(stderr, "zentu: Zentu runs already; the command line asks it for nothing\n");
    return kExitDone;
  }
  std::fprintf(stderr,
               "zentu: Zentu runs already but did not take the command line in time; "
               "nothing was done, so it is safe to try again\n");
  return kExitStartFailed;
}

}  // namespace zentu
