#include "platform/files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/random.h>
#include <sched.h>
#include <sys/file.h>
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

bool WriteFileAtomic(const std::string& path, const void* data, size_t len) {
  std::string tmp = path + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  // The new file keeps the permissions (and, for a writer running as root, the owner) of the
  // one it replaces, so a file an operator made private (a user file holding a password)
  // stays private and readable by the servers' user; a new file is 0644.
  struct stat old{};
  bool replacing = ::stat(path.c_str(), &old) == 0;
  ::fchmod(fd, replacing ? (old.st_mode & 07777) : 0644);
  if (replacing && ::geteuid() == 0) (void)!::fchown(fd, old.st_uid, old.st_gid);
  bool ok = WriteAll(fd, data, len);
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(name.data(), path.c_str()) == 0) return true;
  ::unlink(name.data());
  return false;
}

bool WriteFileInPlace(const std::string& path, const void* data, size_t len) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (!TryLock(fd, LOCK_EX)) {
    ::close(fd);
    return WriteFileAtomic(path, data, len);
  }
  struct stat st{};
  bool ok = ::fstat(fd, &st) == 0;
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

bool AppendFile(const std::string& path, const void* data, size_t len) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = ::write(fd, data, len);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == static_cast<ssize_t>(len);
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

namespace {

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) !=
        std::tolower(static_cast<unsigned char>(suffix[i])))
      return false;
  return true;
}

unsigned long long LeadingNumber(const std::string& s) {
  unsigned long long v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > 0xFFFFFFFFFFull) break;
  }
  return v;
}

}  // namespace

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

bool FileNameOrder(const std::string& a, const std::string& b) {
  auto na = LeadingNumber(a), nb = LeadingNumber(b);
  return na != nb ? na < nb : a < b;
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

}  // namespace plat
