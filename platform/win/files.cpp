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

bool WriteFileAtomic(const std::string& path, const void* data, size_t len, unsigned) {
  static volatile LONG counter = 0;
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".%lu.%ld.tmp", GetCurrentProcessId(), InterlockedIncrement(&counter));
  std::string tmp = path + suffix;
  HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = !InjectedFault(FileOp::Write, path) && WriteAll(h, data, len) &&
            !InjectedFault(FileOp::Fsync, path) && FlushFileBuffers(h);
  ok = CloseHandle(h) && ok;
  if (ok && InjectedFault(FileOp::Rename, path)) ok = false;
  // The rename replaces the old file in one step, so a reader sees the old or the new text.
  if (ok && MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DeleteFileA(tmp.c_str());
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
    CloseHandle(h);
    return AppendResult::OpenFailed;
  }
  if (maxSize != 0 && static_cast<uint64_t>(size.QuadPart) + len > maxSize) {
    CloseHandle(h);
    err = EFBIG;
    return AppendResult::TooLarge;
  }
  AppendResult r = AppendResult::Ok;
  if (InjectedFault(FileOp::Write, path) || !WriteAll(h, data, len)) {
    r = AppendResult::ShortWrite;
  } else if (InjectedFault(FileOp::Fsync, path) || !FlushFileBuffers(h)) {
    r = AppendResult::FlushFailed;
  }
  if (r != AppendResult::Ok) {
    err = EIO;
    // A partly written record would be read as the head of every later one: cut it off.
    SetFilePointerEx(h, size, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
  }
  CloseHandle(h);
  return r;
}

// Each record is flushed as it is appended; Commit only reports.
AppendBatch::~AppendBatch() = default;

bool AppendBatch::Holds(const std::string& path) const {
  for (const Open& f : files_)
    if (f.path == path) return true;
  return false;
}

AppendResult AppendBatch::Append(const std::string& path, const void* data, size_t len, uint64_t maxSize, int& err) {
  AppendResult r = AppendRecord(path, data, len, maxSize, err);
  if (r == AppendResult::Ok && !Holds(path)) files_.push_back(Open{path, -1, 0});
  return r;
}

std::vector<AppendBatch::Outcome> AppendBatch::Commit() {
  std::vector<Outcome> out;
  for (const Open& f : files_) out.push_back(Outcome{f.path, 0});
  files_.clear();
  return out;
}

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

// The Windows writer names its temporaries "<name>.<pid>.<n>.tmp".
std::vector<std::string> RemoveStaleTempFiles(const std::string& dir, long minAgeSeconds) {
  std::vector<std::string> removed;
  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA((dir + "*.tmp").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return removed;
  FILETIME nowFt;
  GetSystemTimeAsFileTime(&nowFt);
  auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::string name = fd.cFileName;
    if (name.find(".ini.") == std::string::npos && !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    if (ticks(nowFt) - ticks(fd.ftLastWriteTime) < static_cast<uint64_t>(minAgeSeconds) * 10000000ull) continue;
    if (DeleteFileA((dir + name).c_str())) removed.push_back(name);
  } while (FindNextFileA(f, &fd));
  FindClose(f);
  return removed;
}

bool RemoveFile(const std::string& path) {
  if (InjectedFault(FileOp::Unlink, path)) return false;
  return DeleteFileA(path.c_str()) != 0 || LastErrno() == ENOENT;
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

// The replacement through a renamed copy is the safe way on this system: readers see the old
// file or the new one.
bool WriteFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode) {
  return WriteFileAtomic(path, data, len, mode);
}

FileRead ReadFileLocked(const std::string& path, size_t maxBytes, bool& busy) {
  busy = false;
  return ReadFileBytes(path, maxBytes);
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

}  // namespace plat
