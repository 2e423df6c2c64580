#include "store/profile_bridge.h"

namespace zentu {

TreeFileSettings TreeFileSettingsFrom(const Profile& profile, const TreeFileSettings& base) {
  TreeFileSettings s = base;
  s.treeFile = profile.ZentuFile.empty() ? DefaultTreeFile() : profile.ZentuFile;
  s.dataDirectory = profile.dirs.data;
  s.backupDirectory = profile.dirs.backup;
  s.flagSave = profile.FlagSave;
  s.autoSave = profile.DefaultHTML_AutoSave;
  s.saveConfirm = profile.SaveConfirm;
  s.saveForLocalMode = profile.SaveForLocalMode;
  s.localIndexFile = profile.ZentuFileLocal.empty() ? DefaultLocalIndexFile() : profile.ZentuFileLocal;
  s.baseHref = profile.BaseHref;
  s.siteUrl = profile.ZentuSiteURL;
  s.bbsUrl = profile.ZentuBBSURL;
  s.helpUrl = profile.ZentuOnlineHelpURL;
  return s;
}

}  // namespace zentu
