#include "store/listfiles.h"

#include "os/file.h"
#include "store/configfiles.h"
#include "store/customicons.h"
#include "store/groups.h"
#include "store/locklist.h"
#include "store/treefile.h"

namespace zentu {
namespace {

// A missing list is no failure: it simply starts empty.
int Loaded(int result, const std::string& path) { return result == 1 || !os::PathExists(path) ? 1 : 0; }

}  // namespace

void RegisterListFileHooks() {
  SetConfigFileHook(
      ConfigFile::Lock, [](Profile&, const std::string& path) { return Loaded(LoadLockList(path), path); },
      [](const Profile&, const std::string& path) { return SaveLockList(path); });
  SetConfigFileHook(
      ConfigFile::Icon,
      [](Profile& p, const std::string& path) { return Loaded(LoadCustomIcons(path, p.ProgramDirectory), path); },
      [](const Profile&, const std::string& path) { return SaveCustomIcons(path); });
  SetConfigFileHook(
      ConfigFile::Group, [](Profile&, const std::string& path) { return Loaded(LoadGroups(path), path); },
      [](const Profile& p, const std::string& path) { return SaveGroups(path, p.FlagSave) >= 0 ? 1 : 0; });
  CurrentTreeFileSettings().applyCustomIcon = &ApplyCustomIcon;
}

}  // namespace zentu
