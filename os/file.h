// File access over program paths. Every operation converts the path at this
// border and fails cleanly when it has no native form.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace zentu::os {

class File {
 public:
  enum class Mode { Read, Write, Append, ReadWrite };
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  [[nodiscard]] bool Open(std::string_view path, Mode mode);
  bool IsOpen() const { return fd_ >= 0; }
  // Raw bytes; returns the count read (0 at the end or on error).
  size_t Read(void* buffer, size_t size);
  // Reads like text-mode fgets: up to limit-1 bytes or through the first LF;
  // a CR LF line end comes back as LF. Returns false at the end of the file.
  bool ReadLine(std::string& line, size_t limit = 2048);
  [[nodiscard]] bool Write(std::string_view data);
  // Text-mode write: every LF goes to disk as CR LF.
  [[nodiscard]] bool WriteText(std::string_view text);
  [[nodiscard]] bool Flush();
  [[nodiscard]] bool Sync();
  // Flushes and closes; false when any write since opening failed.
  bool Close();
  int64_t Size() const;
  bool Seek(int64_t offset);
  bool Failed() const { return failed_; }

 private:
  bool FillBuffer();
  int fd_ = -1;
  bool failed_ = false;
  bool writable_ = false;
  std::string wbuf_;
  std::string rbuf_;
  size_t rpos_ = 0;
  bool eof_ = false;
};

struct DirEntry {
  std::string name;   // Shift_JIS
  bool isDirectory = false;
  uint64_t size = 0;
  std::time_t modified = 0;
  bool lossy = false;  // the native name has characters code page 932 lacks
  bool isLink = false;  // the entry itself is a symbolic link (the rest describes its target)
};

[[nodiscard]] bool ReadWholeFile(std::string_view path, std::string& out);
// Who may read a file Zentu writes. Files and folders are made for the user
// alone (0600 and 0700); a rewrite keeps the mode the file had, and a
// private file (credentials, cookies) never keeps more than 0600.
enum class Access { Keep, Private };

// Whether a write must survive a power cut once it returns. Saved copies of
// pages can be fetched again; the collection and the settings cannot.
enum class Durability { Synced, Replaceable };

// Writes a temporary file beside `path`, syncs it and renames it over `path`:
// a crash leaves the old file or the new one, never half of one. Replaceable
// skips the syncs (two disk flushes per file): readers and a crash of the
// program still see the old file or the new one.
[[nodiscard]] bool WriteFileAtomic(std::string_view path, std::string_view data, Access access = Access::Keep,
                                   Durability durability = Durability::Synced);
// The streaming form of WriteFileAtomic, for files written piece by piece:
// the pieces go to a temporary file beside `path`, and only Commit puts it in
// place. Destroying it uncommitted removes the temporary file and leaves the
// old file as it was.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { Abandon(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  [[nodiscard]] bool Open(std::string_view path, Access access = Access::Keep,
                          Durability durability = Durability::Synced);
  bool IsOpen() const { return file_.IsOpen(); }
  [[nodiscard]] bool Write(std::string_view data);
  // Flushes, syncs (Synced) and renames over the target; false when anything
  // failed, and then the old file is untouched.
  [[nodiscard]] bool Commit();
  void Abandon();

 private:
  File file_;
  std::string path_, temp_;
  int mode_ = 0600;
  bool sync_ = true;
};

// Puts `data` into the existing file `path` itself: written from its start in
// one piece and cut to its length. No file is made and none is freed, and the
// file keeps its mode and attributes: for saved copies that are rewritten
// right after they came (a new file and a rename per page cost more than the
// page, and a file system may flush the new data at a rename over an old
// file). Only for what can be fetched again: a crash during the write may
// leave the new text over the old one's tail. False when the path is not a
// regular file with one name (nothing is written then) or a write failed.
[[nodiscard]] bool RewriteFileInPlace(std::string_view path, std::string_view data);
// Writes `text` (LF line ends) as CR LF text with WriteFileAtomic: a failed
// save leaves the old file as it was.
[[nodiscard]] bool WriteCrLfTextFile(std::string_view path, std::string_view text,
                                     Access access = Access::Keep);
// Takes group and other permissions away from an existing file or folder.
// True when it had any (and they are gone now).
bool RestrictToOwner(std::string_view path);
// The permission bits of a file or folder, -1 when it is missing.
int GetFileMode(std::string_view path);

// Makes `path` ready to be written below the folder `root`: it must lie
// below `root` with no "." or ".." name on the way, and no folder between
// `root` and the file may be a symbolic link (a planted link would carry
// the write elsewhere). Missing folders are made (0700); a symbolic link in
// the file's own place is removed, so the write replaces it and never
// follows it. `root` itself may be a link the user set up.
enum class BelowStatus { Ok, Outside, Link, Failed };
// With `makeFolders` false a missing folder is left missing (the write then
// fails as it would have).
[[nodiscard]] BelowStatus PrepareFileBelow(std::string_view root, std::string_view path, bool makeFolders = true);
// The same for a folder that files will be made in.
[[nodiscard]] BelowStatus PrepareFolderBelow(std::string_view root, std::string_view folder);
bool FileExists(std::string_view path);       // a regular file
bool DirectoryExists(std::string_view path);
bool PathExists(std::string_view path);
bool IsSymbolicLink(std::string_view path);  // the name itself is a link (not followed)
int64_t GetFileSize(std::string_view path);  // -1 when missing
bool GetFileTime(std::string_view path, std::time_t& modified);
bool SetFileTime(std::string_view path, std::time_t modified);

// Windows FILETIME values: 100-ns steps since 1601-01-01 UTC.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;
inline constexpr uint64_t FileTimeFromUnix(std::time_t t) {
  return static_cast<uint64_t>(t) * 10000000ull + kFileTimeUnixEpoch;
}
inline constexpr std::time_t UnixFromFileTime(uint64_t ft) {
  return static_cast<std::time_t>((static_cast<int64_t>(ft) - static_cast<int64_t>(kFileTimeUnixEpoch)) /
                                  10000000);
}
// The server's time stamp of a saved copy. Windows keeps it as the file's
// creation time, which editing the file leaves alone, so an edited copy is not
// taken for a changed page. Linux has no settable creation time: the stamp is
// kept in the extended attribute "user.zentu.lastmodified" (decimal FILETIME)
// and the access and write times are set to it too. On a file system without
// user attributes the write time alone stands in (an edit then counts as a change).
[[nodiscard]] bool SetFileTimes(std::string_view path, uint64_t fileTime);
// The stamp SetFileTimes left: the attribute, else the write time.
bool GetFileCreationTime(std::string_view path, uint64_t& fileTime);
[[nodiscard]] bool RenameFile(std::string_view from, std::string_view to);
[[nodiscard]] bool DeleteFile(std::string_view path);
[[nodiscard]] bool RemoveDirectory(std::string_view path);
// Creates the directory and every missing parent.
[[nodiscard]] bool CreateDirectories(std::string_view path);
[[nodiscard]] bool CopyFile(std::string_view from, std::string_view to);
bool ListDirectory(std::string_view path, std::vector<DirEntry>& entries);

// Fault injection for tests: the n-th mutating operation from now (write,
// flush, sync, rename, delete, create directory; counted from 1) fails, and so
// does every later one, as if the process had died there. 0 turns it off.
void SetFileFaultAt(int n);
int FileMutationCount();  // mutating operations since the last SetFileFaultAt

}  // namespace zentu::os
