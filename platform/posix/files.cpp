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

std::vector<uint8_t> ReadOpen(int fd, size_t maxBytes) {
  std::vector<uint8_t> out;
  uint8_t buf[8192];
  while (out.size() < maxBytes) {
    ssize_t n = ::read(fd, buf, std::min(sizeof buf, maxBytes - out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path, size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<uint8_t> out = ReadOpen(fd, maxBytes);
  ::close(fd);
  return out;
}

static bool WriteAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::vector<uint8_t>> ReadFileAt(const std::string& path, uint64_t offset, size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<uint8_t> out(maxBytes);
  size_t got = 0;
  while (got < maxBytes) {
    ssize_t n = ::pread(fd, out.data() + got, maxBytes - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(got);
  return out;
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t len, unsigned mode) {
  std::string tmp = path + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  // The new file keeps the permissions (and, for a writer running as root, the owner) of the
  // one it replaces, so a file an operator made private stays private and readable by the
  // servers' user; a new file gets `mode`. A secret (mode without group or other bits) never
  // stays readable by others, whatever the file it replaces allowed.
  struct stat old{};
  bool replacing = ::stat(path.c_str(), &old) == 0;
  mode_t keep = replacing ? (old.st_mode & 07777) : static_cast<mode_t>(mode);
  if (replacing && (mode & 077) == 0) keep &= ~static_cast<mode_t>(077);
  ::fchmod(fd, keep);
  if (replacing && ::geteuid() == 0) (void)!::fchown(fd, old.st_uid, old.st_gid);
  bool ok = WriteAll(fd, data, len);
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(name.data(), path.c_str()) == 0) return true;
  ::unlink(name.data());
  return false;
}

bool WriteFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return false;
  if (!TryLock(fd, LOCK_EX)) {
    ::close(fd);
    return WriteFileAtomic(path, data, len, mode);
  }
  struct stat st{};
  bool ok = ::fstat(fd, &st) == 0;
  // A secret never stays readable by others, whatever the file allowed before.
  if (ok && (mode & 077) == 0 && (st.st_mode & 077) != 0)
    ok = ::fchmod(fd, st.st_mode & 07700) == 0;
  if (ok && len > 0) {
    ssize_t n;
    do {
      n = ::pwrite(fd, data, len, 0);
    } while (n < 0 && errno == EINTR);
    ok = n == static_cast<ssize_t>(len);
  }
  if (ok && static_cast<size_t>(st.st_size) > len) ok = ::ftruncate(fd, static_cast<off_t>(len)) == 0;
  ok = (::close(fd) == 0) && ok;  // closing releases the lock
  return ok;
}

std::optional<std::vector<uint8_t>> ReadFileLocked(const std::string& path, size_t maxBytes, bool& busy) {
  busy = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  if (!TryLock(fd, LOCK_SH)) {
    busy = true;
    ::close(fd);
    return std::nullopt;
  }
  std::vector<uint8_t> out = ReadOpen(fd, maxBytes);
  ::close(fd);
  return out;
}

AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return AppendResult::OpenFailed;
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return AppendResult::OpenFailed;
  }
  uint64_t old = static_cast<uint64_t>(st.st_size);
  if (maxSize != 0 && old + len > maxSize) {
    ::close(fd);
    return AppendResult::TooLarge;
  }
  bool ok = WriteAll(fd, data, len);
  // A partly written record would be read as the head of every later one: cut it off.
  if (!ok && ::ftruncate(fd, static_cast<off_t>(old)) != 0) ok = false;
  ::close(fd);
  return ok ? AppendResult::Ok : AppendResult::ShortWrite;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

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
  bool ok = WriteAll(fd, "x", 1);
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
// lists ("*.ssi") and cookies (numbers); and the probe of the start-up writability check.
bool IsAtomicTarget(const std::string& base) {
  if (EndsWithNoCase(base, ".ini") || EndsWithNoCase(base, ".ssi") || base == ".write-probe") return true;
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

}  // namespace plat
