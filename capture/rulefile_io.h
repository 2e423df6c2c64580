// Line reading and whole-file writing shared by the rule files and the
// cookie file. Internal to the capture library.
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "os/text.h"

namespace zentu::rulefile {

// The line limit of every configuration file: a line holds at most this many
// bytes before its line end.
constexpr size_t kMaxLineBytes = 2047;

// Calls `onLine` with each line of the file, its CR LF / LF end removed.
// A line longer than the limit is skipped whole (its tail is not taken for a
// line of its own) and so is a line holding NUL bytes: both are logged as
// "rule error = %s" (verbose). Returns false when the file cannot be opened.
bool ForEachLine(std::string_view path, const std::function<void(const std::string&)>& onLine,
                 size_t limit = kMaxLineBytes);

// Counts the "/" that are not escaped by a backslash, stepping over Shift_JIS
// two-byte characters (their trail byte may be 0x5C).
int CountDelimiters(std::string_view line);

// True when the text holds CR, LF, NUL or (with `tabToo`) a tab: such a field
// would not survive being written as one line.
bool BreaksLine(std::string_view text, bool tabToo);

// ASCII case-insensitive comparisons.
using os::EqualsNoCase;
using os::StartsWithNoCase;

// A short form of a line for log messages.
std::string Excerpt(std::string_view line);

}  // namespace zentu::rulefile
