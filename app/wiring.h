// Every connection between the modules, made in one place at the start.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace zentu {

class DownloadManager;

// The modules' list files in the configuration-file table, the pipeline on
// the queue, and each hook one module offers another. Called once, before
// the profile is read. `ownCommand` hands a command-channel text to the
// program's own main window (any thread; it runs on the main thread).
using OwnCommand = std::function<void(uint32_t code, std::string text)>;
void InstallModules(DownloadManager& manager, OwnCommand ownCommand);

}  // namespace zentu
