#include "os/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "os/cp932.h"
#include "os/path.h"

namespace zentu::os {
namespace {

std::atomic<int> g_faultAt{0};
std::atomic<int> g_mutations{0};

// Counts one mutating operation; false when fault injection says it fails.
bool Mutate() {
  int n = ++g_mutations;
  int at = g_faultAt.load();
  return at == 0 || n < at;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t w = ::write(fd, data, size);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

constexpr size_t kBufferSize = 1 << 16;

}  // namespace

void SetFileFaultAt(int n) {
  g_faultAt = n;
  g_mutations = 0;
}

int FileMutationCount() { return g_mutations.load(); }

File::~File() { Close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    failed_ = other.failed_;
    writable_ = other.writable_;
    wbuf_ = std::move(other.wbuf_);
    rbuf_ = std::move(other.rbuf_);
    rpos_ = other.rpos_;
    eof_ = other.eof_;
    other.fd_ = -1;
  }
  return *this;
}

bool File::Open(std::string_view path, Mode mode) {
  Close();
  failed_ = false;
  eof_ = false;
  rbuf_.clear();
  rpos_ = 0;
  wbuf_.clear();
  auto native = ToNativePath(path);
  if (!native) return false;
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    // A link in the place of a file being written anew is never followed.
    case Mode::Write: flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
    case Mode::Append: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
    case Mode::ReadWrite: flags |= O_RDWR | O_CREAT; break;
  }
  writable_ = mode != Mode::Read;
  if (writable_ && !Mutate()) return false;
  int fd;
  do {
    fd = ::open(native->c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool File::FillBuffer() {
  if (eof_ || fd_ < 0) return false;
  if (rpos_ > 0) {
    rbuf_.erase(0, rpos_);
    rpos_ = 0;
  }
  size_t old = rbuf_.size();
  rbuf_.resize(old + kBufferSize);
  ssize_t r;
  do {
    r = ::read(fd_, rbuf_.data() + old, kBufferSize);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) {
    rbuf_.resize(old);
    eof_ = true;
    return false;
  }
  rbuf_.resize(old + static_cast<size_t>(r));
  return true;
}

size_t File::Read(void* buffer, size_t size) {
  if (fd_ < 0) return 0;
  size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  size_t avail = rbuf_.size() - rpos_;
  if (avail > 0) {
    size_t n = avail < size ? avail : size;
    std::memcpy(out, rbuf_.data() + rpos_, n);
    rpos_ += n;
    done = n;
  }
  while (done < size && !eof_) {
    ssize_t r = ::read(fd_, out + done, size - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      eof_ = true;
      break;
    }
    done += static_cast<size_t>(r);
  }
  return done;
}

bool File::ReadLine(std::string& line, size_t limit) {
  line.clear();
  if (fd_ < 0 || limit < 2) return false;
  size_t max = limit - 1;
  for (;;) {
    const char* start = rbuf_.data() + rpos_;
    size_t avail = rbuf_.size() - rpos_;
    size_t want = max - line.size();
    size_t scan = avail < want ? avail : want;
    const void* nl = std::memchr(start, '\n', scan);
    if (nl) {
      size_t n = static_cast<const char*>(nl) - start + 1;
      line.append(start, n);
      rpos_ += n;
      break;
    }
    line.append(start, scan);
    rpos_ += scan;
    if (line.size() >= max) break;
    if (!FillBuffer()) break;
  }
  if (line.empty()) return false;
  size_t n = line.size();
  if (n >= 2 && line[n - 1] == '\n' && line[n - 2] == '\r') {
    line.erase(n - 2, 1);
  }
  return true;
}

bool File::Write(std::string_view data) {
  if (fd_ < 0 || !writable_) return false;
  wbuf_.append(data);
  if (wbuf_.size() >= kBufferSize) return Flush();
  return !failed_;
}

bool File::WriteText(std::string_view text) {
  size_t from = 0;
  for (;;) {
    size_t nl = text.find('\n', from);
    if (nl == std::string_view::npos) {
      return Write(text.substr(from));
    }
    if (!Write(text.substr(from, nl - from)) || !Write("\r\n")) return false;
    from = nl + 1;
  }
}

bool File::Flush() {
  if (fd_ < 0) return false;
  if (wbuf_.empty()) return !failed_;
  if (!Mutate() || !WriteAll(fd_, wbuf_.data(), wbuf_.size())) failed_ = true;
  wbuf_.clear();
  return !failed_;
}

bool File::Sync() {
  if (!Flush()) return false;
  if (!Mutate() || ::fsync(fd_) != 0) failed_ = true;
  return !failed_;
}

bool File::Close() {
  if (fd_ < 0) return !failed_;
  bool ok = true;
  if (writable_) ok = Flush();
  ::close(fd_);
  fd_ = -1;
  return ok && !failed_;
}

int64_t File::Size() const {
  if (fd_ < 0) return -1;
  struct stat st;
  if (fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size) + static_cast<int64_t>(wbuf_.size());
}

bool File::Seek(int64_t offset) {
  if (fd_ < 0) return false;
  if (writable_ && !Flush()) return false;
  rbuf_.clear();
  rpos_ = 0;
  eof_ = false;
  return ::lseek(fd_, offset, SEEK_SET) == offset;
}

bool ReadWholeFile(std::string_view path, std::string& out) {
  out.clear();
  File f;
  if (!f.Open(path, File::Mode::Read)) return false;
  int64_t size = f.Size();
  if (size > 0) out.reserve(static_cast<size_t>(size));
  char buf[kBufferSize];
  for (;;) {
    size_t n = f.Read(buf, sizeof buf);
    if (n == 0) break;
    out.append(buf, n);
  }
  return true;
}

bool WriteCrLfTextFile(std::string_view path, std::string_view text, Access access) {
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 16 + 16);
  for (char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return WriteFileAtomic(path, bytes, access);
}

bool AtomicFile::Open(std::string_view path, Access access, Durability durability) {
  Abandon();
  sync_ = durability == Durability::Synced;
  path_.assign(path);
  temp_ = path_ + ".tmp" + std::to_string(::getpid());
  // The new file takes the mode the user gave the old one.
  mode_ = GetFileMode(path);
  if (mode_ < 0) mode_ = 0600;
  if (access == Access::Private) mode_ &= 0600;
  return file_.Open(temp_, File::Mode::Write);
}

bool AtomicFile::Write(std::string_view data) { return file_.IsOpen() && file_.Write(data); }

void AtomicFile::Abandon() {
  if (!file_.IsOpen()) return;
  file_.Close();
  (void)DeleteFile(temp_);
}

bool AtomicFile::Commit() {
  if (!file_.IsOpen()) return false;
  bool ok = file_.Flush();
  if (ok) {
    auto native = ToNativePath(temp_);
    ok = native && ::chmod(native->c_str(), static_cast<mode_t>(mode_)) == 0;
  }
  if (!ok || (sync_ && !file_.Sync()) || !file_.Close()) {
    file_.Close();
    (void)DeleteFile(temp_);
    return false;
  }
  if (!RenameFile(temp_, path_)) {
    (void)DeleteFile(temp_);
    return false;
  }
  // Make the rename itself durable.
  auto dir = sync_ ? ToNativePath(DirectoryOf(path_)) : std::nullopt;
  if (dir) {
    int dfd = ::open(dir->empty() ? "." : dir->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  }
  return true;
}

bool WriteFileAtomic(std::string_view path, std::string_view data, Access access, Durability durability) {
  AtomicFile f;
  return f.Open(path, access, durability) && f.Write(data) && f.Commit();
}

bool RewriteFileInPlace(std::string_view path, std::string_view data) {
  auto native = ToNativePath(path);
  if (!native) return false;
  const int fd = ::open(native->c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  // Another name for the same file would change with it: that one is replaced whole.
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && Mutate();
  if (ok) {
    const char* p = data.data();
    size_t left = data.size();
    off_t at = 0;
    while (ok && left > 0) {
      const ssize_t w = ::pwrite(fd, p, left, at);
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) {
        p += w;
        left -= static_cast<size_t>(w);
        at += w;
      }
    }
    ok = ok && (static_cast<uint64_t>(st.st_size) <= data.size() ||
                ::ftruncate(fd, static_cast<off_t>(data.size())) == 0);
  }
  return ::close(fd) == 0 && ok;
}

bool RestrictToOwner(std::string_view path) {
  auto native = ToNativePath(path);
  struct stat st;
  if (!native || ::lstat(native->c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  if ((st.st_mode & 077) == 0) return false;
  return ::chmod(native->c_str(), st.st_mode & 07700) == 0;
}

int GetFileMode(std::string_view path) {
  auto native = ToNativePath(path);
  struct stat st;
  if (!native || ::stat(native->c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

namespace {

// The names of `path` below `root`, both native; false when it does not lie
// below it or a name on the way is "." or "..".
bool NamesBelow(const std::string& root, const std::string& path, std::vector<std::string>& names) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (r.empty() || path.size() <= r.size() + 1 || path.compare(0, r.size(), r) != 0) return false;
  if (r != "/" && path[r.size()] != '/') return false;
  size_t i = r == "/" ? 1 : r.size() + 1;
  while (i <= path.size()) {
    size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(i, end - i);
    if (name == "." || name == "..") return false;
    if (!name.empty()) names.push_back(std::move(name));
    i = end + 1;
  }
  return !names.empty();
}

// Walks down from `root` through the folders of `names` (all of them when
// `lastIsFolder`, else all but the last), making missing ones.
BelowStatus WalkBelow(std::string_view root, std::string_view path, bool lastIsFolder, bool makeFolders) {
  auto nativeRoot = ToNativePath(root);
  auto native = ToNativePath(path);
  if (!nativeRoot || !native) return BelowStatus::Failed;
  std::string current = *nativeRoot;
  while (current.size() > 1 && current.back() == '/') current.pop_back();
  if (!DirectoryExists(root) && !CreateDirectories(root)) return BelowStatus::Failed;
  std::string target = *native;
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  if (lastIsFolder && target == current) return BelowStatus::Ok;
  std::vector<std::string> names;
  if (!NamesBelow(current, target, names)) return BelowStatus::Outside;
  const size_t folders = lastIsFolder ? names.size() : names.size() - 1;
  struct stat st;
  for (size_t k = 0; k < names.size(); ++k) {
    if (current != "/") current += '/';
    current += names[k];
    if (k == folders) {
      // The file's own place: a link there is taken away, never followed.
      if (::lstat(current.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return BelowStatus::Failed;
        if (S_ISLNK(st.st_mode) && (!Mutate() || ::unlink(current.c_str()) != 0)) return BelowStatus::Failed;
      }
      break;
    }
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno == ENOENT && !makeFolders) return BelowStatus::Ok;  // nothing below it exists either
      if (errno != ENOENT || !Mutate()) return BelowStatus::Failed;
      if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) return BelowStatus::Failed;
      if (::lstat(current.c_str(), &st) != 0) return BelowStatus::Failed;
    }
    if (S_ISLNK(st.st_mode)) return BelowStatus::Link;
    if (!S_ISDIR(st.st_mode)) return BelowStatus::Failed;
  }
  return BelowStatus::Ok;
}

}  // namespace

BelowStatus PrepareFileBelow(std::string_view root, std::string_view path, bool makeFolders) {
  return WalkBelow(root, path, false, makeFolders);
}

BelowStatus PrepareFolderBelow(std::string_view root, std::string_view folder) {
  return WalkBelow(root, folder, true, true);
}

static bool StatPath(std::string_view path, struct stat& st) {
  auto native = ToNativePath(path);
  return native && ::stat(native->c_str(), &st) == 0;
}

bool FileExists(std::string_view path) {
  struct stat st;
  return StatPath(path, st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(std::string_view path) {
  struct stat st;
  return StatPath(path, st) && S_ISDIR(st.st_mode);
}

bool PathExists(std::string_view path) {
  struct stat st;
  return StatPath(path, st);
}

int64_t GetFileSize(std::string_view path) {
  struct stat st;
  if (!StatPath(path, st) || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

bool GetFileTime(std::string_view path, std::time_t& modified) {
  struct stat st;
  if (!StatPath(path, st)) return false;
  modified = st.st_mtime;
  return true;
}

bool SetFileTime(std::string_view path, std::time_t modified) {
  auto native = ToNativePath(path);
  if (!native) return false;
  struct timeval tv[2];
  tv[0].tv_sec = modified;
  tv[0].tv_usec = 0;
  tv[1] = tv[0];
  return ::utimes(native->c_str(), tv) == 0;
}

namespace {
constexpr char kStampAttribute[] = "user.zentu.lastmodified";
}  // namespace

bool SetFileTimes(std::string_view path, uint64_t fileTime) {
  auto native = ToNativePath(path);
  if (!native || fileTime < kFileTimeUnixEpoch) return false;
  const uint64_t since = fileTime - kFileTimeUnixEpoch;
  struct timespec ts[2];
  ts[0].tv_sec = static_cast<time_t>(since / 10000000);
  ts[0].tv_nsec = static_cast<long>(since % 10000000) * 100;
  ts[1] = ts[0];
  if (::utimensat(AT_FDCWD, native->c_str(), ts, 0) != 0) return false;
  const std::string text = std::to_string(fileTime);
  if (::setxattr(native->c_str(), kStampAttribute, text.data(), text.size(), 0) != 0) {
    // No user attributes here: the write time just set stands in. A stale
    // attribute must not outlive the change.
    ::removexattr(native->c_str(), kStampAttribute);
  }
  return true;
}

bool GetFileCreationTime(std::string_view path, uint64_t& fileTime) {
  auto native = ToNativePath(path);
  if (!native) return false;
  struct stat st;
  if (::stat(native->c_str(), &st) != 0) return false;
  char buffer[32];
  ssize_t n = ::getxattr(native->c_str(), kStampAttribute, buffer, sizeof buffer - 1);
  if (n > 0) {
    buffer[n] = '\0';
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(buffer, &end, 10);
    if (errno == 0 && end == buffer + n) {
      fileTime = value;
      return true;
    }
  }
  if (st.st_mtim.tv_sec < 0) return false;
  fileTime = FileTimeFromUnix(st.st_mtim.tv_sec) + static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  return true;
}

bool RenameFile(std::string_view from, std::string_view to) {
  auto a = ToNativePath(from);
  auto b = ToNativePath(to);
  if (!a || !b || !Mutate()) return false;
  return ::rename(a->c_str(), b->c_str()) == 0;
}

bool DeleteFile(std::string_view path) {
  auto native = ToNativePath(path);
  if (!native || !Mutate()) return false;
  return ::unlink(native->c_str()) == 0;
}

bool RemoveDirectory(std::string_view path) {
  auto native = ToNativePath(path);
  if (!native || !Mutate()) return false;
  return ::rmdir(native->c_str()) == 0;
}

bool CreateDirectories(std::string_view path) {
  auto native = ToNativePath(path);
  if (!native) return false;
  std::string p = *native;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  struct stat st;
  if (::stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i != p.size() && p[i] != '/') continue;
    std::string part = p.substr(0, i);
    if (::stat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;
      continue;
    }
    if (!Mutate()) return false;
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool CopyFile(std::string_view from, std::string_view to) {
  File in;
  if (!in.Open(from, File::Mode::Read)) return false;
  File out;
  if (!out.Open(to, File::Mode::Write)) return false;
  char buf[kBufferSize];
  for (;;) {
    size_t n = in.Read(buf, sizeof buf);
    if (n == 0) break;
    if (!out.Write(std::string_view(buf, n))) return false;
  }
  return out.Close();
}

bool IsSymbolicLink(std::string_view path) {
  auto native = ToNativePath(path);
  struct stat st;
  return native && ::lstat(native->c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool ListDirectory(std::string_view path, std::vector<DirEntry>& entries) {
  entries.clear();
  auto native = ToNativePath(path);
  if (!native) return false;
  DIR* dir = ::opendir(native->c_str());
  if (!dir) return false;
  struct Raw {
    std::string name;
    ino_t inode;
    unsigned char type;
  };
  std::vector<Raw> raw;
  while (dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    raw.push_back({e->d_name, e->d_ino, e->d_type});
  }
  // The entries are looked up relative to the open folder (no path walk per
  // entry) and in inode order, which is close to where the file system keeps
  // them: on a cold cache a large folder no longer costs a seek per file. The
  // caller still gets them in listing order.
  std::vector<size_t> order(raw.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return raw[a].inode < raw[b].inode; });
  const int fd = ::dirfd(dir);
  entries.resize(raw.size());
  for (size_t i : order) {
    DirEntry& entry = entries[i];
    entry.name = ProgramNameFromNative(raw[i].name, &entry.lossy);
    struct stat st;
    entry.isLink = raw[i].type == DT_LNK || (raw[i].type == DT_UNKNOWN &&
                                             ::fstatat(fd, raw[i].name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                             S_ISLNK(st.st_mode));
    if (::fstatat(fd, raw[i].name.c_str(), &st, 0) == 0) {
      entry.isDirectory = S_ISDIR(st.st_mode);
      entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
      entry.modified = st.st_mtime;
    }
  }
  ::closedir(dir);
  return true;
}

}  // namespace zentu::os
