// A second start: Zentu runs already (another process holds the instance lock),
// so this one hands its command line to it and ends.
#pragma once
#include <chrono>
#include <string>
#include <string_view>

namespace zentu {

// The text of a second start without a command line: the running instance
// brings its window to the front. Travels as an ordinary command (6004).
inline constexpr std::string_view kShowWindowText = "<!--Zentu ShowWindow-->";

// How long a second start tries to hand its command over: the running
// instance may itself have been started a moment ago.
inline constexpr std::chrono::milliseconds kForwardWait{15000};

// Sends the command line (Shift_JIS), or the show request when it is empty, to
// the running instance, trying again for up to `wait` while it does not listen
// or answer. Returns the exit code: 0 when it took the command (it will be
// carried out) or when the command line asks for nothing, 1 when it did not
// take it (it will not be carried out, so trying again is safe).
int ForwardToRunningInstance(const std::string& commandLine, std::chrono::milliseconds wait = kForwardWait);

}  // namespace zentu
