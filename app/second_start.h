// A second start: Zentu runs already (another process holds the instance lock),
// so this one hands its command line to it and ends.
#pragma once
#include <string>
#include <string_view>

namespace zentu {

// The text of a second start without a command line: the running instance
// brings its window to the front. Travels as an ordinary command (6004).
inline constexpr std::string_view kShowWindowText = "<!--Zentu ShowWindow-->";

// Sends the command line (Shift_JIS), or the show request when it is empty, to
// the running instance. A just-started instance may not listen yet: the send
// is tried again for a while. Returns the exit code: 0 when delivered or when
// the command line asks for nothing, 1 when the running instance did not take it.
int ForwardToRunningInstance(const std::string& commandLine);

}  // namespace zentu
