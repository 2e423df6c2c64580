// Pieces shared by the rule-file sources of the capture library.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "os/cp932.h"

namespace zentu::rulefile {

using os::SJ;

// A fresh number for each new state of a pattern list, so that per-thread
// compiled patterns know when they are out of date.
uint64_t NextGeneration();

// Empties the extension, referrer and password lists (ClearCaptureRules).
void ClearExtensionLists();
void ClearAccountLists();

// The referrer and password files as they are written, whatever FlagSave says.
// Return 1 when written.
int WriteReferrerFile(std::string_view path);
int WritePasswordFile(std::string_view path);

}  // namespace zentu::rulefile
