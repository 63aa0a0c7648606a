#include "platform/files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sched.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr int kLockTries = 8;

// Takes the lock without waiting, trying again a few times (the other side holds it only for
// one short read or write).
bool TryLock(int fd, int how) {
  for (int i = 0; i < kLockTries; ++i) {
    if (::flock(fd, how | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    ::sched_yield();
  }
  return false;
}

// The system calls of this file, each asking the fault plan first (the test seam).
int Open(const std::string& path, int flags, mode_t mode = 0) {
  if (int e = InjectedFault(FileOp::Open, path)) {
    errno = e;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t Read(const std::string& path, int fd, void* buf, size_t len, int64_t offset = -1) {
  if (int e = InjectedFault(FileOp::Read, path)) {
    errno = e;
    return -1;
  }
  ssize_t n;
  do {
    n = offset < 0 ? ::read(fd, buf, len) : ::pread(fd, buf, len, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

// Writes all of data; false with errno set when any write fails (ENOSPC for a write that
// makes no progress).
bool WriteAll(const std::string& path, int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    if (int e = InjectedFault(FileOp::Write, path)) {
      errno = e;
      return false;
    }
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool Sync(const std::string& path, int fd, bool dataOnly) {
  if (int e = InjectedFault(FileOp::Fsync, path)) {
    errno = e;
    return false;
  }
  int rc;
  do {
    rc = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool Rename(const std::string& from, const std::string& to) {
  if (int e = InjectedFault(FileOp::Rename, to)) {
    errno = e;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// Reads to the end or maxBytes; a failing read is an error, not a short file. The files read
// here are regular files, where a read returns less than asked only at the end: no further
// read is made to see it.
FileRead ReadOpen(const std::string& path, int fd, size_t maxBytes) {
  std::vector<uint8_t> out;
  uint8_t buf[8192];
  while (out.size() < maxBytes) {
    size_t want = std::min(sizeof buf, maxBytes - out.size());
    ssize_t n = Read(path, fd, buf, want);
    if (n < 0) return FileRead::Failed(errno == ENOENT ? EIO : errno);
    out.insert(out.end(), buf, buf + n);
    if (static_cast<size_t>(n) < want) break;
  }
  return FileRead::Content(std::move(out));
}

// Closes fd keeping errno.
void CloseKeepErrno(int fd) {
  int e = errno;
  ::close(fd);
  errno = e;
}

}  // namespace

FileRead ReadFileBytes(const std::string& path, size_t maxBytes) {
  int fd = Open(path, O_RDONLY);
  if (fd < 0) return FileRead::Failed(errno);
  FileRead out = ReadOpen(path, fd, maxBytes);
  ::close(fd);
  return out;
}

FileRead ReadFileAt(const std::string& path, uint64_t offset, size_t maxBytes) {
  int fd = Open(path, O_RDONLY);
  if (fd < 0) return FileRead::Failed(errno);
  std::vector<uint8_t> out(maxBytes);
  size_t got = 0;
  while (got < maxBytes) {
    ssize_t n = Read(path, fd, out.data() + got, maxBytes - got, static_cast<int64_t>(offset + got));
    if (n < 0) {
      int e = errno == ENOENT ? EIO : errno;
      ::close(fd);
      return FileRead::Failed(e);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(got);
  return FileRead::Content(std::move(out));
}

bool SyncFolder(const std::string& dir) {
  int fd = Open(dir.empty() ? std::string("./") : dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  bool ok = Sync(dir, fd, false);
  if (!ok) CloseKeepErrno(fd);
  else ::close(fd);
  return ok;
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t len, unsigned mode) {
  if (int e = InjectedFault(FileOp::Open, path)) {
    errno = e;
    return false;
  }
  std::string tmp = path + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  tmp.assign(name.data());
  // The new file keeps the permissions (and, for a writer running as root, the owner) of the
  // one it replaces, so a file an operator made private stays private and readable by the
  // servers' user; a new file gets `mode`. A secret (mode without group or other bits) never
  // stays readable by others, whatever the file it replaces allowed. fchmod is not narrowed
  // by the umask.
  struct stat old{};
  bool replacing = ::stat(path.c_str(), &old) == 0;
  mode_t keep = replacing ? (old.st_mode & 07777) : static_cast<mode_t>(mode);
  if (replacing && (mode & 077) == 0) keep &= ~static_cast<mode_t>(077);
  bool ok = ::fchmod(fd, keep) == 0;
  if (ok && replacing && ::geteuid() == 0) (void)!::fchown(fd, old.st_uid, old.st_gid);
  // The content reaches the disk before the name points at it: a power loss then leaves the
  // old file or the new one, never an empty one.
  ok = ok && WriteAll(path, fd, data, len) && Sync(path, fd, false);
  if (!ok) {
    CloseKeepErrno(fd);
  } else if (::close(fd) != 0) {
    ok = false;
  }
  if (ok && Rename(tmp, path)) return SyncFolder(FolderOf(path));
  int e = errno;
  ::unlink(tmp.c_str());
  errno = e;
  return false;
}

namespace {

// The in-place write under the exclusive lock. A file known to be a record file (written here
// only, whole records or nothing, its rights narrowed at start) needs no look at its rights
// and length: the write covers all it holds, and only emptying it cuts.
bool WriteInPlace(const std::string& path, const void* data, size_t len, unsigned mode, bool recordFile) {
  int fd = Open(path, O_WRONLY | O_CREAT, static_cast<mode_t>(mode));
  if (fd < 0) return false;
  if (!TryLock(fd, LOCK_EX)) {
    ::close(fd);
    return WriteFileAtomic(path, data, len, mode);
  }
  struct stat st{};
  bool ok = recordFile || ::fstat(fd, &st) == 0;
  // A secret never stays readable by others, whatever the file allowed before or the umask.
  if (ok && !recordFile && (mode & 077) == 0 && (st.st_mode & 077) != 0)
    ok = ::fchmod(fd, st.st_mode & 07700) == 0;
  if (ok && len > 0) {
    if (int e = InjectedFault(FileOp::Write, path)) {
      errno = e;
      ok = false;
    } else {
      ssize_t n;
      do {
        n = ::pwrite(fd, data, len, 0);
      } while (n < 0 && errno == EINTR);
      if (n >= 0 && n != static_cast<ssize_t>(len)) errno = ENOSPC;
      ok = n == static_cast<ssize_t>(len);
    }
  }
  bool cut = recordFile ? len == 0 : static_cast<size_t>(st.st_size) > len;
  if (ok && cut) ok = ::ftruncate(fd, static_cast<off_t>(len)) == 0;
  if (!ok) {
    CloseKeepErrno(fd);  // closing releases the lock
    return false;
  }
  return ::close(fd) == 0;
}

}  // namespace

bool WriteFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode) {
  return WriteInPlace(path, data, len, mode, false);
}

bool WriteRecordFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode) {
  return WriteInPlace(path, data, len, mode, true);
}

std::vector<std::string> NarrowRecordFiles(const std::string& dir, uint64_t recordSize) {
  std::vector<std::string> changed;
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return changed;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    std::string full = dir + name;
    struct stat st{};
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    bool wide = (st.st_mode & 077) != 0;
    bool longer = static_cast<uint64_t>(st.st_size) > recordSize;
    if (wide && ::chmod(full.c_str(), st.st_mode & 07700) != 0) continue;
    if (longer && ::truncate(full.c_str(), 0) != 0) continue;
    if (wide || longer) changed.push_back(std::move(name));
  }
  ::closedir(d);
  return changed;
}

FileRead ReadFileLocked(const std::string& path, size_t maxBytes, bool& busy) {
  busy = false;
  int fd = Open(path, O_RDONLY);
  if (fd < 0) return FileRead::Failed(errno);
  if (!TryLock(fd, LOCK_SH)) {
    int e = errno;
    busy = e == EWOULDBLOCK;
    ::close(fd);
    return FileRead::Failed(e == ENOENT ? EIO : e);
  }
  FileRead out = ReadOpen(path, fd, maxBytes);
  ::close(fd);
  return out;
}

namespace {

// Writes one record at the end of an open file, whole or not at all.
AppendResult AppendOpen(const std::string& path, int fd, const void* data, size_t len, uint64_t maxSize,
                        uint64_t& oldSize, int& err) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    err = errno;
    return AppendResult::OpenFailed;
  }
  oldSize = static_cast<uint64_t>(st.st_size);
  if (maxSize != 0 && oldSize + len > maxSize) {
    err = EFBIG;
    return AppendResult::TooLarge;
  }
  if (WriteAll(path, fd, data, len)) return AppendResult::Ok;
  err = errno;
  // A partly written record would be read as the head of every later one: cut it off.
  (void)!::ftruncate(fd, static_cast<off_t>(oldSize));
  return AppendResult::ShortWrite;
}

}  // namespace

AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize, int& err) {
  int fd = Open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) {
    err = errno;
    return AppendResult::OpenFailed;
  }
  uint64_t old = 0;
  AppendResult r = AppendOpen(path, fd, data, len, maxSize, old, err);
  if (r == AppendResult::Ok && !Sync(path, fd, true)) {
    err = errno;
    (void)!::ftruncate(fd, static_cast<off_t>(old));
    r = AppendResult::FlushFailed;
  }
  ::close(fd);
  return r;
}

AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize) {
  int err = 0;
  return AppendRecord(path, data, len, maxSize, err);
}

AppendBatch::~AppendBatch() {
  for (const Open& f : files_) ::close(static_cast<int>(f.fd));
}


AppendResult AppendBatch::Append(const std::string& path, const void* data, size_t len, uint64_t maxSize, int& err) {
  Open* file = nullptr;
  for (Open& f : files_)
    if (f.path == path) file = &f;
  bool fresh = file == nullptr;
  int fd;
  if (fresh) {
    fd = plat::Open(path, O_WRONLY | O_CREAT | O_APPEND, static_cast<mode_t>(mode_));
    if (fd < 0) {
      err = errno;
      return AppendResult::OpenFailed;
    }
  } else {
    fd = static_cast<int>(file->fd);
  }
  uint64_t old = 0;
  AppendResult r = AppendOpen(path, fd, data, len, maxSize, old, err);
  if (fresh) {
    if (r == AppendResult::Ok)
      files_.push_back(Open{path, fd, old});
    else
      ::close(fd);
  }
  return r;
}

AppendBatch::Flush::~Flush() {
  for (const Open& f : files_) ::close(static_cast<int>(f.fd));
}

void AppendBatch::Flush::Run() {
  std::vector<std::string> created;
  for (Open& f : files_) {
    if (f.err == 0 && !Sync(f.path, static_cast<int>(f.fd), true)) f.err = errno;
    if (f.err == 0 && f.startSize == 0) created.push_back(FolderOf(f.path));
  }
  // A file made in this batch needs its folder entry on the disk too.
  std::sort(created.begin(), created.end());
  created.erase(std::unique(created.begin(), created.end()), created.end());
  for (const std::string& dir : created) {
    if (SyncFolder(dir)) continue;
    int e = errno;
    for (Open& f : files_)
      if (f.err == 0 && FolderOf(f.path) == dir) f.err = e;
  }
}

std::vector<AppendBatch::Outcome> AppendBatch::Flush::Finish() {
  std::vector<Outcome> out;
  for (const Open& f : files_) {
    int fd = static_cast<int>(f.fd);
    // What the disk holds of failed records is unknown: remove them, so that none of the
    // records reported as lost is delivered later.
    if (f.err != 0) (void)!::ftruncate(fd, static_cast<off_t>(f.startSize));
    ::close(fd);
    out.push_back(Outcome{f.path, f.err, f.startSize});
  }
  files_.clear();
  return out;
}

bool RemoveFile(const std::string& path) {
  if (int e = InjectedFault(FileOp::Unlink, path)) {
    errno = e;
    return false;
  }
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool FileSize(const std::string& path, uint64_t& size, int& err) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    err = errno;
    return false;
  }
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

bool DirWritable(const std::string& dir, int& err) {
  std::string probe = (dir.empty() ? std::string("./") : dir) + ".write-probe.XXXXXX";
  std::vector<char> name(probe.begin(), probe.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    err = errno;
    return false;
  }
  // A probe byte as well: a full disk still lets an empty file be created.
  bool ok = WriteAll(dir, fd, "x", 1);
  if (!ok) err = errno ? errno : ENOSPC;
  ::close(fd);
  ::unlink(name.data());
  return ok;
}

bool FileAppendable(const std::string& path, int& err) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = errno;
    return false;
  }
  ::close(fd);
  return true;
}

namespace {

bool IsTempSuffix(const std::string& name) {
  if (name.size() < 8 || name[name.size() - 7] != '.') return false;
  for (size_t i = name.size() - 6; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// The names the stores replace atomically: user files ("*.ini", vorn.ini), stored contact
// lists ("*.ssi"), offline stores cut after a replay ("*.olm") and cookies (numbers); and the
// probe of the start-up writability check.
bool IsAtomicTarget(const std::string& base) {
  if (EndsWithNoCase(base, ".ini") || EndsWithNoCase(base, ".ssi") || EndsWithNoCase(base, ".olm") ||
      base == ".write-probe")
    return true;
  size_t i = base.starts_with('-') ? 1 : 0;
  if (i == base.size()) return false;
  for (; i < base.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(base[i]))) return false;
  return true;
}

}  // namespace

std::vector<std::string> RemoveStaleTempFiles(const std::string& dir, long minAgeSeconds) {
  std::vector<std::string> removed;
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return removed;
  std::time_t now = std::time(nullptr);
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (!IsTempSuffix(name) || !IsAtomicTarget(name.substr(0, name.size() - 7))) continue;
    struct stat st{};
    std::string full = dir + name;
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime < minAgeSeconds) continue;
    if (::unlink(full.c_str()) == 0) removed.push_back(std::move(name));
  }
  ::closedir(d);
  return removed;
}

std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (!EndsWithNoCase(name, suffix)) continue;
    bool regular = e->d_type == DT_REG;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st{};
      regular = ::stat((dir + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (regular) names.push_back(std::move(name));
  }
  ::closedir(d);
  std::sort(names.begin(), names.end(), FileNameOrder);
  return names;
}

bool RandomBytes(void* buf, size_t len) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = ::getrandom(p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

long RaiseFileLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  rl.rlim_cur = rl.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &rl);
  ::getrlimit(RLIMIT_NOFILE, &rl);
  return static_cast<long>(rl.rlim_cur);
}

std::string ProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

FolderLock::FolderLock(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0)
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  handle_ = fd;
}

FolderLock::~FolderLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool PublishNewFile(const std::string& tmp, const std::string& path) {
  // link() refuses a name that is taken, where rename() would replace the file.
  int e = InjectedFault(FileOp::Rename, path);
  if (e == 0 && ::link(tmp.c_str(), path.c_str()) != 0) e = errno;
  ::unlink(tmp.c_str());
  if (e != 0) {
    errno = e;
    return false;
  }
  return SyncFolder(FolderOf(path));
}

bool MayAccess(const std::string& path, bool write) { return ::access(path.c_str(), write ? W_OK : R_OK) == 0; }

std::optional<UnixRights> UnixRightsOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return UnixRights{static_cast<unsigned>(st.st_mode & 07777), static_cast<uint32_t>(st.st_uid)};
}

void GiveToFolderOwner(const std::string& path) {
  if (::geteuid() != 0) return;
  struct stat st{};
  if (::stat(FolderOf(path).c_str(), &st) == 0) (void)!::chown(path.c_str(), st.st_uid, st.st_gid);
}

}  // namespace plat
