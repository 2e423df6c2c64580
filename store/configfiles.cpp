#include "store/configfiles.h"

#include <array>
#include <mutex>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"

namespace zentu {
namespace {

constexpr size_t kFileCount = static_cast<size_t>(ConfigFile::kCount);

struct FixedEntry {
  const char* name;
  const char* loadLog;
  const char* saveLog;
};

constexpr FixedEntry kFixed[kFileCount] = {
    {"keyword2url.dat", "Load Keyword-URL List [%s]", "# Save Keyword2URL file : %s"},
    {"extension.dat", "Load Extension List [%s]", ""},
    {"closeurl.dat", "Load Close URL List [%s]", "# Save Close List: %s"},
    {"password.dat", "Load URL-USER-PASSWORD File [%s]", "# Save Url-User-Password file: %s"},
    {"referrer.dat", "Load Referrer List [%s]", "# Save Referrer List: %s"},
    {"lock.dat", "Load Lock List [%s]", "# Save Lock List: %s"},
    {"update.dat", "Load AutoUpdate File [%s]", "# SaveUpdateConfigFile : %s"},
    {"keyconfig.dat", "Load Keyconfig File [%s]", "# Save Key Config File : %s"},
    {"keyconfig_editor.dat", "Load Keyconfig File for Editor [%s]", "# Save Key Config File for Editor : %s"},
    {"icon.dat", "Load Custom Icon File [%s]", "# SaveCustomIconFile : %s"},
    {"group.dat", "Load Group File [%s]", "# Save Group File : %s"},
    {"reject.dat", "Load Reject List [%s]", "# Save Reject List: %s"},
    {"convert.dat", "Load Convert List [%s]", "# Save Convert List: %s"},
    {"last.dat", "", "save opened item: %s"},
    {"", "", ""},  // the tree file logs its own save
};

// Saved at shutdown, in this order, between the open tabs and the tree file.
constexpr ConfigFile kSaveOrder[] = {
    ConfigFile::Group,   ConfigFile::KeyConfig, ConfigFile::KeyConfigEditor, ConfigFile::Keyword2Url,
    ConfigFile::Password, ConfigFile::Referrer, ConfigFile::Lock,            ConfigFile::CloseUrl,
    ConfigFile::Icon,    ConfigFile::Update,    ConfigFile::Reject,          ConfigFile::Convert,
};

struct HookTable {
  std::mutex mutex;
  std::array<ConfigFileHook, kFileCount> hooks;
  HookTable() { Reset(); }
  void Reset() {
    for (size_t i = 0; i < kFileCount; ++i) hooks[i] = {kFixed[i].name, kFixed[i].loadLog, kFixed[i].saveLog, {}, {}};
  }
};

HookTable& Table() {
  static HookTable* table = new HookTable;  // never destroyed: shutdown code may still save
  return *table;
}

size_t Index(ConfigFile file) {
  size_t i = static_cast<size_t>(file);
  return i < kFileCount ? i : kFileCount - 1;
}

// The table's lines name the path where the format has "%s".
void LogWithPath(const std::string& format, const std::string& path) {
  if (format.empty()) return;
  std::string line = format;
  if (size_t at = line.find("%s"); at != std::string::npos) line.replace(at, 2, path);
  WriteLog("%s", line.c_str());
}

bool EnsureConfigDirectory(const Profile& p) {
  if (os::DirectoryExists(p.dirs.config)) return true;
  if (os::CreateDirectories(p.dirs.config)) return true;
  WriteLog("> Can't create directory: %s", p.dirs.config.c_str());
  return false;
}

// Lists once kept in the program directory move into the configuration
// directory. Returns the path to load from: the new place, or the old one
// when the file could not be moved (so its content is never ignored).
std::string MoveFromProgramDirectory(const Profile& p, const std::string& name, const std::string& target) {
  if (os::FileExists(target)) return target;
  std::string old = os::JoinPath(p.ProgramDirectory, name);
  if (old == target || !os::FileExists(old)) return target;
  WriteLog("Rename %s => %s", old.c_str(), target.c_str());
  if (!EnsureConfigDirectory(p)) return old;
  if (os::RenameFile(old, target)) return target;
  // Another file system: copy, and remove the old file only once the copy is there.
  if (os::CopyFile(old, target)) {
    (void)os::DeleteFile(old);
    return target;
  }
  return old;
}

int RunSave(Profile& p, ConfigFile file) {
  ConfigFileHook hook = GetConfigFileHook(file);
  std::string path = ConfigFilePath(p, file);
  LogWithPath(hook.saveLog, path);
  return hook.save ? hook.save(p, path) : 1;
}

}  // namespace

void SetConfigFileHook(ConfigFile file, ConfigLoadFn load, ConfigSaveFn save) {
  HookTable& t = Table();
  std::lock_guard lock(t.mutex);
  ConfigFileHook& hook = t.hooks[Index(file)];
  hook.load = std::move(load);
  hook.save = std::move(save);
}

ConfigFileHook GetConfigFileHook(ConfigFile file) {
  HookTable& t = Table();
  std::lock_guard lock(t.mutex);
  return t.hooks[Index(file)];
}

void ResetConfigFileHooks() {
  HookTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.Reset();
}

std::string ConfigFilePath(const Profile& p, ConfigFile file) {
  if (file == ConfigFile::TreeFile) {
    return p.ZentuFile.empty() ? os::JoinPath(p.ProgramDirectory, "default.html") : p.ZentuFile;
  }
  return os::JoinPath(p.dirs.config, kFixed[Index(file)].name);
}

int LoadConfigFile(Profile& p, ConfigFile file) {
  ConfigFileHook hook = GetConfigFileHook(file);
  std::string path = ConfigFilePath(p, file);
  if (file == ConfigFile::Icon || file == ConfigFile::Group) path = MoveFromProgramDirectory(p, hook.name, path);
  LogWithPath(hook.loadLog, path);
  return hook.load ? hook.load(p, path) : 1;
}

int LoadConfigFiles(Profile& p) {
  bool ok = EnsureConfigDirectory(p);
  for (ConfigFile file : {ConfigFile::Keyword2Url, ConfigFile::Extension, ConfigFile::CloseUrl, ConfigFile::Password,
                          ConfigFile::Referrer, ConfigFile::Lock, ConfigFile::Update, ConfigFile::KeyConfig,
                          ConfigFile::KeyConfigEditor, ConfigFile::Icon, ConfigFile::Group})
    LoadConfigFile(p, file);
  return ok ? 1 : 0;
}

int LoadWindowConfigFiles(Profile& p) {
  LoadConfigFile(p, ConfigFile::Reject);
  LoadConfigFile(p, ConfigFile::Convert);
  return 1;
}

int SaveConfigFiles(Profile& p) {
  bool ok = true;
  // The open tabs' list lives in the configuration directory too, so the
  // directory is made before anything is written.
  (void)EnsureConfigDirectory(p);
  if (p.OpenLastOpened) ok = RunSave(p, ConfigFile::LastOpened) != 0 && ok;
  for (ConfigFile file : kSaveOrder) ok = RunSave(p, file) != 0 && ok;
  ok = RunSave(p, ConfigFile::TreeFile) != 0 && ok;
  return ok ? 1 : 0;
}

}  // namespace zentu
