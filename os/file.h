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
};

[[nodiscard]] bool ReadWholeFile(std::string_view path, std::string& out);
// Writes a temporary file beside `path`, syncs it and renames it over `path`:
// a crash leaves the old file or the new one, never half of one.
[[nodiscard]] bool WriteFileAtomic(std::string_view path, std::string_view data);
bool FileExists(std::string_view path);       // a regular file
bool DirectoryExists(std::string_view path);
bool PathExists(std::string_view path);
int64_t GetFileSize(std::string_view path);  // -1 when missing
bool GetFileTime(std::string_view path, std::time_t& modified);
bool SetFileTime(std::string_view path, std::time_t modified);
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
