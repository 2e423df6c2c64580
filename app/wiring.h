// Every connection between the modules, made in one place at the start.
#pragma once

namespace zentu {

class DownloadManager;

// The modules' list files in the configuration-file table, the pipeline on
// the queue, and each hook one module offers another. Called once, before
// the profile is read.
void InstallModules(DownloadManager& manager);

}  // namespace zentu
