// Line reading and safe rewriting shared by the small configuration lists of
// the store ("group.dat", "icon.dat", "lock.dat"). Internal to the store.
#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace zentu::listfile {

// The most bytes a line may hold before its line end.
inline constexpr size_t kMaxLineBytes = 2047;

// Calls `onLine` with each line of the file, every trailing CR and LF removed.
// A line longer than the limit is skipped whole, so its tail is never taken for
// a line of its own, and so is a line holding NUL bytes (binary junk). Returns
// false when the file cannot be opened.
bool ForEachLine(std::string_view path, const std::function<void(std::string_view)>& onLine);

// True when the text holds CR, LF or NUL: it would not survive being written
// as (part of) one line.
bool BreaksLine(std::string_view text);

}  // namespace zentu::listfile
