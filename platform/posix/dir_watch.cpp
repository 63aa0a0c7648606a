#include "platform/dir_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

int64_t Ns(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

constexpr uint32_t kWatched = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                              IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

std::optional<FileStamp> StampFile(const std::string& path) {
  struct stat l{};
  if (::lstat(path.c_str(), &l) != 0) return std::nullopt;
  FileStamp s;
  s.link = S_ISLNK(l.st_mode);
  struct stat st = l;
  if (s.link && ::stat(path.c_str(), &st) != 0) return s;  // a dangling link: not a file
  s.regular = S_ISREG(st.st_mode);
  s.mtimeNs = Ns(st.st_mtim);
  s.ctimeNs = Ns(st.st_ctim);
  s.size = static_cast<uint64_t>(st.st_size);
  s.inode = static_cast<uint64_t>(st.st_ino);
  return s;
}

DirWatch::~DirWatch() { Close(); }

bool DirWatch::Open(const std::string& dir) {
  Close();
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return false;
  wd_ = ::inotify_add_watch(fd_, dir.empty() ? "." : dir.c_str(), kWatched);
  if (wd_ < 0) {
    Close();
    return false;
  }
  return true;
}

void DirWatch::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  wd_ = -1;
}

bool DirWatch::TakeChanges(std::vector<std::string>& names) {
  if (fd_ < 0) return false;
  alignas(inotify_event) char buf[64 * 1024];
  bool whole = true;
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      if (ev->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) whole = false;
      if (ev->len > 0) names.emplace_back(ev->name);
      p += sizeof(inotify_event) + ev->len;
    }
  }
  if (!whole) Close();  // the watch is opened again by the caller's next full look
  return whole;
}

}  // namespace plat
