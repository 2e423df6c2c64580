// Settings records of the store's modules, filled from the profile.
#pragma once
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu {

// Keeps the hooks of `base` (custom icons, sync folders) and takes the rest from the profile.
TreeFileSettings TreeFileSettingsFrom(const Profile& profile, const TreeFileSettings& base = {});

}  // namespace zentu
