// Moving listed files into the dust folders, and erasing them.
#include "cleaner/cleaner.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/url.h"

namespace zentu::cleaner {
namespace {

// The relative part of `file` below `root`, or "" when it is not below it.
std::string RelativeBelow(const std::string& root, std::string_view file) {
  if (!IsPathBelow(root, file) || file.size() <= root.size() + 1) return {};
  if (!os::StartsWithNoCase(file, root) || file[root.size()] != '\\') return {};
  return std::string(file.substr(root.size() + 1));
}

// The file must still be what the analysis listed: a regular file, reached
// through no symbolic link below the directory, of the same size and time.
MoveStatus Recheck(const std::string& root, const Orphan& file) {
  std::string rel = RelativeBelow(root, file.path);
  if (rel.empty()) return MoveStatus::Refused;
  for (std::string p = file.path; p.size() > root.size(); p = os::DirectoryOf(p))
    if (os::IsSymbolicLink(p)) return MoveStatus::Refused;
  std::time_t modified = 0;
  if (!os::FileExists(file.path) || os::GetFileSize(file.path) != static_cast<int64_t>(file.size) ||
      !os::GetFileTime(file.path, modified) || modified != file.modified)
    return MoveStatus::Changed;
  return MoveStatus::Moved;
}

// Removes the file's folder and each parent while it is empty, stopping
// below the directory itself.
void RemoveEmptyFolders(const std::string& root, const std::string& file) {
  for (std::string dir = os::DirectoryOf(file); dir.size() > root.size() && os::StartsWithNoCase(dir, root);
       dir = os::DirectoryOf(dir)) {
    if (!os::RemoveDirectory(dir)) break;
    WriteLog("rmdir: %s", dir.c_str());
  }
}

// An older file of the same name keeps its bytes under the first free "<name>.<n>".
bool KeepOlder(const std::string& target) {
  if (!os::PathExists(target) && !os::IsSymbolicLink(target)) return true;
  for (int n = 1; n < 100000; ++n) {
    std::string aside = target + "." + std::to_string(n);
    if (os::PathExists(aside) || os::IsSymbolicLink(aside)) continue;
    if (!os::RenameFile(target, aside)) return false;
    WriteLog("keep %s -> %s", target.c_str(), aside.c_str());
    return true;
  }
  return false;
}

}  // namespace

std::string DustDirectory(const Settings& settings, Mode mode) {
  return os::JoinPath(settings.programDirectory, mode == Mode::Text ? "DustText" : "Dustbox");
}

std::string DustTarget(const Settings& settings, Mode mode, std::string_view file) {
  std::string rel = RelativeBelow(ModeDirectory(settings, mode), file);
  if (rel.empty()) return {};
  // Not cut to a path buffer: a cut name could land on another file's name.
  return os::JoinPath(DustDirectory(settings, mode), rel);
}

MoveStatus MoveToDust(const Settings& settings, Mode mode, const Orphan& file) {
  const std::string& root = ModeDirectory(settings, mode);
  if (MoveStatus s = Recheck(root, file); s != MoveStatus::Moved) return s;
  const std::string dust = DustDirectory(settings, mode);
  const std::string target = DustTarget(settings, mode, file.path);
  // The dust folder must not be the directory or lie inside it, nor the other way round.
  if (target.empty() || IsPathBelow(root, dust) || IsPathBelow(dust, root)) return MoveStatus::Refused;
  WriteLog("remove %s -> %s", file.path.c_str(), target.c_str());
  if (!os::DirectoryExists(dust) && !os::CreateDirectories(dust)) return MoveStatus::Failed;
  switch (os::PrepareFileBelow(dust, target)) {
    case os::BelowStatus::Ok:
      break;
    case os::BelowStatus::Failed:
      return MoveStatus::Failed;
    default:
      return MoveStatus::Refused;
  }
  if (!KeepOlder(target)) return MoveStatus::Failed;
  if (!os::RenameFile(file.path, target)) {
    // Another file system: copy, and let go of the original only once the copy is whole.
    if (!os::CopyFile(file.path, target) || os::GetFileSize(target) != static_cast<int64_t>(file.size)) {
      if (os::FileExists(target) && !os::DeleteFile(target)) WriteLog("> can't delete %s", target.c_str());
      WriteLog("> can't move %s", file.path.c_str());
      return MoveStatus::Failed;
    }
    if (!os::DeleteFile(file.path)) {
      WriteLog("> can't delete %s", file.path.c_str());
      return MoveStatus::Failed;
    }
  }
  RemoveEmptyFolders(root, file.path);
  return MoveStatus::Moved;
}

MoveStatus EraseFile(const Settings& settings, Mode mode, const Orphan& file) {
  const std::string& root = ModeDirectory(settings, mode);
  if (MoveStatus s = Recheck(root, file); s != MoveStatus::Moved) return s;
  WriteLog("delete %s", file.path.c_str());
  if (!os::DeleteFile(file.path)) return MoveStatus::Failed;
  RemoveEmptyFolders(root, file.path);
  return MoveStatus::Erased;
}

}  // namespace zentu::cleaner
