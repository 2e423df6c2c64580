// Wiring of the store's small lists ("group.dat", "icon.dat", "lock.dat")
// into the configuration-file table and the tree-file reader.
#pragma once

namespace zentu {

// Installs the loaders and savers of the three lists in the configuration-file
// table and the custom-icon hook in CurrentTreeFileSettings(). Called once at
// start-up, before LoadConfigFiles and the load of the tree file.
void RegisterListFileHooks();

}  // namespace zentu
