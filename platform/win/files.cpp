#include "platform/files.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

namespace plat {

namespace {

// The errno for the last Windows error: ENOENT for a missing file or folder, EIO otherwise.
int LastErrno() {
  DWORD e = GetLastError();
  if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return ENOENT;
  if (e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL) return ENOSPC;
  if (e == ERROR_TOO_MANY_OPEN_FILES) return EMFILE;
  if (e == ERROR_ACCESS_DENIED) return EACCES;
  return EIO;
}

HANDLE OpenForRead(const std::string& path) {
  if (int e = InjectedFault(FileOp::Open, path)) {
    SetLastError(e == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_READ_FAULT);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

FileRead ReadFileBytes(const std::string& path, size_t maxBytes) {
  HANDLE h = OpenForRead(path);
  if (h == INVALID_HANDLE_VALUE) return FileRead::Failed(LastErrno());
  std::vector<uint8_t> out;
  uint8_t buf[8192];
  while (out.size() < maxBytes) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min(sizeof buf, maxBytes - out.size()));
    if (InjectedFault(FileOp::Read, path) || !ReadFile(h, buf, want, &n, nullptr)) {
      CloseHandle(h);
      return FileRead::Failed(EIO);
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  CloseHandle(h);
  return FileRead::Content(std::move(out));
}

static bool WriteAll(HANDLE h, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(len, 1u << 30));
    if (!WriteFile(h, p, chunk, &n, nullptr) || n == 0) return false;
    p += n;
    len -= n;
  }
  return true;
}

// Creates "<path>.XXXXXX" (six letters or digits, the same names as on other systems, so
// that the start-up cleaning finds what a killed write left behind).
static HANDLE CreateTemporary(const std::string& path, std::string& tmp) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint8_t random[6];
    if (!RandomBytes(random, sizeof random)) break;
    tmp = path + ".";
    for (uint8_t r : random) tmp += kLetters[r % (sizeof kLetters - 1)];
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// The content is flushed to the disk before the rename, and the rename is written through,
// so after a power loss the old or the new file is there, never an empty or half one.
bool WriteFileAtomic(const std::string& path, const void* data, size_t len, unsigned) {
  std::string tmp;
  if (int e = InjectedFault(FileOp::Open, path)) return errno = e, false;
  HANDLE h = CreateTemporary(path, tmp);
  if (h == INVALID_HANDLE_VALUE) return errno = LastErrno(), false;
  int e = 0;
  if ((e = InjectedFault(FileOp::Write, path)) == 0 && !WriteAll(h, data, len)) e = LastErrno();
  if (e == 0 && (e = InjectedFault(FileOp::Fsync, path)) == 0 && !FlushFileBuffers(h)) e = LastErrno();
  if (!CloseHandle(h) && e == 0) e = LastErrno();
  if (e == 0 && (e = InjectedFault(FileOp::Rename, path)) == 0 &&
      !MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    e = LastErrno();
  if (e == 0) return true;
  DeleteFileA(tmp.c_str());
  errno = e;
  return false;
}

FileRead ReadFileAt(const std::string& path, uint64_t offset, size_t maxBytes) {
  HANDLE h = OpenForRead(path);
  if (h == INVALID_HANDLE_VALUE) return FileRead::Failed(LastErrno());
  std::vector<uint8_t> out;
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(h, pos, nullptr, FILE_BEGIN)) {
    CloseHandle(h);
    return FileRead::Failed(EIO);
  }
  out.resize(maxBytes);
  size_t got = 0;
  while (got < maxBytes) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(maxBytes - got, 1u << 20));
    if (InjectedFault(FileOp::Read, path) || !ReadFile(h, out.data() + got, want, &n, nullptr)) {
      CloseHandle(h);
      return FileRead::Failed(EIO);
    }
    if (n == 0) break;
    got += n;
  }
  out.resize(got);
  CloseHandle(h);
  return FileRead::Content(std::move(out));
}

AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize) {
  int err = 0;
  return AppendRecord(path, data, len, maxSize, err);
}

AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize, int& err) {
  err = InjectedFault(FileOp::Open, path);
  HANDLE h = err ? INVALID_HANDLE_VALUE
                 : CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (!err) err = LastErrno();
    return AppendResult::OpenFailed;
  }
  LARGE_INTEGER size{};
  LARGE_INTEGER zero{};
  if (!GetFileSizeEx(h, &size) || !SetFilePointerEx(h, zero, nullptr, FILE_END)) {
    err = LastErrno();
    CloseHandle(h);
    return AppendResult::OpenFailed;
  }
  if (maxSize != 0 && static_cast<uint64_t>(size.QuadPart) + len > maxSize) {
    CloseHandle(h);
    err = EFBIG;
    return AppendResult::TooLarge;
  }
  AppendResult r = AppendResult::Ok;
  if ((err = InjectedFault(FileOp::Write, path)) != 0 || !WriteAll(h, data, len)) {
    if (err == 0) err = LastErrno();
    r = AppendResult::ShortWrite;
  } else if ((err = InjectedFault(FileOp::Fsync, path)) != 0 || !FlushFileBuffers(h)) {
    if (err == 0) err = LastErrno();
    r = AppendResult::FlushFailed;
  }
  if (r != AppendResult::Ok) {
    // A partly written record would be read as the head of every later one: cut it off.
    SetFilePointerEx(h, size, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
  }
  CloseHandle(h);
  return r;
}

AppendBatch::~AppendBatch() {
  for (const Open& f : files_) CloseHandle(reinterpret_cast<HANDLE>(f.fd));
}

// Writes the record at once, whole or not at all, and keeps the file open for Commit.
AppendResult AppendBatch::Append(const std::string& path, const void* data, size_t len, uint64_t maxSize, int& err) {
  Open* file = nullptr;
  for (Open& f : files_)
    if (f.path == path) file = &f;
  HANDLE h = file ? reinterpret_cast<HANDLE>(file->fd) : INVALID_HANDLE_VALUE;
  if (!file) {
    err = InjectedFault(FileOp::Open, path);
    if (err == 0)
      h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (err == 0) err = LastErrno();
      return AppendResult::OpenFailed;
    }
  }
  LARGE_INTEGER size{};
  AppendResult r = AppendResult::Ok;
  if (!GetFileSizeEx(h, &size)) {
    err = LastErrno();
    r = AppendResult::OpenFailed;
  } else if (maxSize != 0 && static_cast<uint64_t>(size.QuadPart) + len > maxSize) {
    err = EFBIG;
    r = AppendResult::TooLarge;
  } else {
    LARGE_INTEGER zero{};
    err = InjectedFault(FileOp::Write, path);
    if (err == 0 && !(SetFilePointerEx(h, zero, nullptr, FILE_END) && WriteAll(h, data, len))) err = LastErrno();
    if (err != 0) {
      // A partly written record would be read as the head of every later one: cut it off.
      SetFilePointerEx(h, size, nullptr, FILE_BEGIN);
      SetEndOfFile(h);
      r = AppendResult::ShortWrite;
    }
  }
  if (!file) {
    if (r == AppendResult::Ok)
      files_.push_back(Open{path, reinterpret_cast<intptr_t>(h), static_cast<uint64_t>(size.QuadPart)});
    else
      CloseHandle(h);
  }
  return r;
}

AppendBatch::Flush::~Flush() {
  for (const Open& f : files_) CloseHandle(reinterpret_cast<HANDLE>(f.fd));
}

// One FlushFileBuffers per file touched.
void AppendBatch::Flush::Run() {
  for (Open& f : files_) {
    if (f.err == 0) f.err = InjectedFault(FileOp::Fsync, f.path);
    if (f.err == 0 && !FlushFileBuffers(reinterpret_cast<HANDLE>(f.fd))) f.err = LastErrno();
  }
}

// A file whose flush failed is cut back to its length before the batch, so no record
// reported as lost is delivered later.
std::vector<AppendBatch::Outcome> AppendBatch::Flush::Finish() {
  std::vector<Outcome> out;
  for (const Open& f : files_) {
    HANDLE h = reinterpret_cast<HANDLE>(f.fd);
    if (f.err != 0) {
      LARGE_INTEGER start;
      start.QuadPart = static_cast<LONGLONG>(f.startSize);
      SetFilePointerEx(h, start, nullptr, FILE_BEGIN);
      SetEndOfFile(h);
    }
    CloseHandle(h);
    out.push_back(Outcome{f.path, f.err, f.startSize});
  }
  files_.clear();
  return out;
}

// Renames are written through (MOVEFILE_WRITE_THROUGH) and NTFS journals its folder entries:
// there is no separate folder flush on this system.
bool SyncFolder(const std::string&) { return true; }

bool FileSize(const std::string& path, uint64_t& size, int& err) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) {
    err = LastErrno();
    return false;
  }
  size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  return true;
}

bool DirWritable(const std::string& dir, int& err) {
  char name[MAX_PATH];
  if (!GetTempFileNameA(dir.empty() ? "." : dir.c_str(), "vw", 0, name)) {
    err = static_cast<int>(GetLastError());
    return false;
  }
  HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = h != INVALID_HANDLE_VALUE && WriteAll(h, "x", 1);
  if (!ok) err = static_cast<int>(GetLastError());
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  DeleteFileA(name);
  return ok;
}

bool FileAppendable(const std::string& path, int& err) {
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = static_cast<int>(GetLastError());
    return false;
  }
  CloseHandle(h);
  return true;
}

std::vector<std::string> RemoveStaleTempFiles(const std::string& dir, long minAgeSeconds) {
  std::vector<std::string> removed;
  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA(((dir.empty() ? std::string(".\\") : dir) + "*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return removed;
  FILETIME nowFt;
  GetSystemTimeAsFileTime(&nowFt);
  auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  do {
    if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) continue;
    std::string name = fd.cFileName;
    if (!IsStaleTempCandidate(name)) continue;
    if (ticks(nowFt) - ticks(fd.ftLastWriteTime) < static_cast<uint64_t>(minAgeSeconds) * 10000000ull) continue;
    if (DeleteFileA((dir + name).c_str())) removed.push_back(name);
  } while (FindNextFileA(f, &fd));
  FindClose(f);
  return removed;
}

bool RemoveFile(const std::string& path) {
  if (int e = InjectedFault(FileOp::Unlink, path)) return errno = e, false;
  if (DeleteFileA(path.c_str())) return true;
  int e = LastErrno();
  if (e == ENOENT) return true;
  errno = e;
  return false;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> names;
  std::string pattern = (dir.empty() ? std::string(".\\") : dir) + "*" + suffix;
  WIN32_FIND_DATAA fd{};
  HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = fd.cFileName;
    // The pattern also matches short 8.3 names; the long name must carry the suffix itself.
    if ((fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 &&
        EndsWithNoCase(name, suffix))
      names.push_back(std::move(name));
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  std::sort(names.begin(), names.end(), FileNameOrder);
  return names;
}

namespace {

// Writers and readers of a file replaced in place lock one byte far beyond any content, so
// that the lock orders them without the mandatory byte-range locks of Windows ever refusing
// a plain read of the content.
constexpr DWORD kLockOffsetHigh = 0x40000000;

// Readers and writers hold the lock for one read or write; a few tries, 1 ms apart.
bool TryLock(HANDLE h, DWORD flags, int tries) {
  for (int attempt = 1;; ++attempt) {
    OVERLAPPED ov{};
    ov.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(h, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION || attempt >= tries) return false;
    Sleep(1);
  }
}

void Unlock(HANDLE h) {
  OVERLAPPED ov{};
  ov.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(h, 0, 1, 0, &ov);
}

}  // namespace

// One write of all the bytes at offset 0 and the length cut to len, under the exclusive lock.
// Unlike other systems, Windows cannot rename over a file that a reader has open, so a
// reader that holds the lock past the tries is waited for no further: the write fails with
// EWOULDBLOCK and the file keeps its old content.
bool WriteFileInPlace(const std::string& path, const void* data, size_t len, unsigned) {
  if (int e = InjectedFault(FileOp::Open, path)) return errno = e, false;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return errno = LastErrno(), false;
  if (!TryLock(h, LOCKFILE_EXCLUSIVE_LOCK, 50)) {
    int e = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : LastErrno();
    CloseHandle(h);
    errno = e;
    return false;
  }
  int e = InjectedFault(FileOp::Write, path);
  LARGE_INTEGER zero{};
  if (e == 0 && !(SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) && WriteAll(h, data, len) && SetEndOfFile(h)))
    e = LastErrno();
  Unlock(h);
  if (!CloseHandle(h) && e == 0) e = LastErrno();
  if (e != 0) errno = e;
  return e == 0;
}

// Windows files carry no rights of the owner's group or others, and every in-place write cuts
// the file to its new length: a record file needs nothing more than the plain in-place write.
bool WriteRecordFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode) {
  return WriteFileInPlace(path, data, len, mode);
}

std::vector<std::string> NarrowRecordFiles(const std::string&, uint64_t) { return {}; }

FileRead ReadFileLocked(const std::string& path, size_t maxBytes, bool& busy) {
  busy = false;
  HANDLE h = OpenForRead(path);
  if (h == INVALID_HANDLE_VALUE) return FileRead::Failed(LastErrno());
  if (!TryLock(h, 0, 5)) {
    busy = GetLastError() == ERROR_LOCK_VIOLATION;
    int e = busy ? EWOULDBLOCK : LastErrno();
    CloseHandle(h);
    return FileRead::Failed(e);
  }
  std::vector<uint8_t> out;
  uint8_t buf[8192];
  int e = 0;
  while (out.size() < maxBytes) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min(sizeof buf, maxBytes - out.size()));
    if (InjectedFault(FileOp::Read, path) || !ReadFile(h, buf, want, &n, nullptr)) {
      e = EIO;
      break;
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  Unlock(h);
  CloseHandle(h);
  return e ? FileRead::Failed(e) : FileRead::Content(std::move(out));
}

bool RandomBytes(void* buf, size_t len) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), static_cast<ULONG>(len),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

long RaiseFileLimit() {
  // Sockets are not C runtime descriptors on Windows; only the stdio limit can be raised.
  return _setmaxstdio(8192) == 8192 ? 8192 : _getmaxstdio();
}

std::string ProgramPath() {
  char buf[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return std::string();
  return std::string(buf, n);
}

// Windows cannot lock a folder handle, so the lock is a byte range of a lock file in it.
FolderLock::FolderLock(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  HANDLE h = ::CreateFileA((dir + "folder.lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  OVERLAPPED ov{};
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov)) {
    ::CloseHandle(h);
    return;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
}

FolderLock::~FolderLock() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

// A move without MOVEFILE_REPLACE_EXISTING refuses a name that is taken; written through, as
// the renames of WriteFileAtomic are.
bool PublishNewFile(const std::string& tmp, const std::string& path) {
  int e = InjectedFault(FileOp::Rename, path);
  if (e == 0 && !MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    DWORD w = GetLastError();
    e = w == ERROR_ALREADY_EXISTS || w == ERROR_FILE_EXISTS ? EEXIST : LastErrno();
  }
  if (e == 0) return true;
  DeleteFileA(tmp.c_str());
  errno = e;
  return false;
}

// The rights of an ACL are only known by using them: a folder is written to with a probe
// file, a file is opened for reading or writing.
bool MayAccess(const std::string& path, bool write) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return errno = LastErrno(), false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (!write) return true;
    int err = 0;
    if (DirWritable(path, err)) return true;
    SetLastError(static_cast<DWORD>(err));
    return errno = LastErrno(), false;
  }
  HANDLE h = CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return errno = LastErrno(), false;
  CloseHandle(h);
  return true;
}

std::optional<UnixRights> UnixRightsOf(const std::string&) { return std::nullopt; }

void GiveToFolderOwner(const std::string&) {}

}  // namespace plat
