// The storage guarantees of the Windows file layer: whole-record appends with rollback, the
// group commit's flush and cut-back, the cookie written in place under the file lock, the
// durable replacement and its honest errors, the cleaning of a killed write's leftovers, and
// what the admin tool relies on: a new file that never replaces one, rights found by use.
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/files.h"

void Check(bool ok, const std::string& what);  // platform_check.cpp

namespace {

std::string Content(const std::string& path) {
  plat::FileRead r = plat::ReadFileBytes(path, 1 << 20);
  return r.ok() ? std::string(r->begin(), r->end()) : "<" + std::to_string(r.err) + ">";
}

void Write(const std::string& path, const std::string& text) {
  plat::WriteFileAtomic(path, text.data(), text.size());
}

DWORD FileIndex(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  return info.nFileIndexLow;
}

// Holds the lock byte that the in-place writer and the locked reader take.
HANDLE HoldLock(const std::string& path, bool exclusive) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  OVERLAPPED ov{};
  ov.OffsetHigh = 0x40000000;
  LockFileEx(h, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &ov);
  return h;
}

void Appends(const std::string& dir) {
  const std::string a = dir + "1001.olm", b = dir + "1002.olm";
  Write(a, "old|");
  int err = 0;
  Check(plat::AppendRecord(a, "12345", 5, 8, err) == plat::AppendResult::TooLarge && err == EFBIG &&
            Content(a) == "old|",
        "an append past the size limit writes nothing");
  plat::SetFaultPlan("write:*1001.olm:1:28");
  Check(plat::AppendRecord(a, "lost", 4, 0, err) == plat::AppendResult::ShortWrite && err == 28 && Content(a) == "old|",
        "a failed append leaves the file as it was");
  plat::SetFaultPlan("");
  {
    plat::AppendBatch batch;
    Check(batch.Append(a, "r1|", 3, 0, err) == plat::AppendResult::Ok && batch.Append(b, "s1|", 3, 0, err) ==
              plat::AppendResult::Ok && batch.Append(a, "r2|", 3, 0, err) == plat::AppendResult::Ok,
          "batch appends");
    auto out = batch.Commit();
    Check(out.size() == 2 && out[0].err == 0 && out[1].err == 0, "batch commit: both files flushed");
  }
  Check(Content(a) == "old|r1|r2|" && Content(b) == "s1|", "batch records whole and in order");
  plat::SetFaultPlan("fsync:*1001.olm:1:5");
  {
    plat::AppendBatch batch;
    batch.Append(a, "r3|", 3, 0, err);
    batch.Append(b, "s2|", 3, 0, err);
    auto out = batch.Commit();
    Check(out.size() == 2 && out[0].err == 5 && out[1].err == 0, "a failed flush is reported for its file only");
  }
  plat::SetFaultPlan("");
  Check(Content(a) == "old|r1|r2|" && Content(b) == "s1|s2|", "the file whose flush failed is cut back");
}

void CookieInPlace(const std::string& dir) {
  const std::string cookie = dir + "4242";
  Write(cookie, std::string(256, 'a'));
  DWORD index = FileIndex(cookie);
  Check(plat::WriteFileInPlace(cookie, "short", 5) && Content(cookie) == "short", "cookie written in place, cut");
  Check(FileIndex(cookie) == index, "in place: the same file");
  HANDLE reader = HoldLock(cookie, false);
  errno = 0;
  Check(!plat::WriteFileInPlace(cookie, "while read", 10) && errno == EWOULDBLOCK && Content(cookie) == "short",
        "a reader that keeps the lock makes the write fail, the old cookie whole");
  CloseHandle(reader);
  Check(plat::WriteFileInPlace(cookie, "while read", 10) && FileIndex(cookie) == index, "written once it is free");
  HANDLE writer = HoldLock(cookie, true);
  bool busy = false;
  plat::FileRead r = plat::ReadFileLocked(cookie, 256, busy);
  Check(r.failed() && busy && r.err == EWOULDBLOCK, "a locked read while a writer holds the lock says busy");
  CloseHandle(writer);
  r = plat::ReadFileLocked(cookie, 256, busy);
  Check(r.ok() && !busy && std::string(r->begin(), r->end()) == "while read", "locked read after the writer");
  r = plat::ReadFileLocked(dir + "4243", 256, busy);
  Check(r.absent(), "a missing cookie is absent, not empty");
}

void DurableReplace(const std::string& dir) {
  const std::string user = dir + "1015.ini";
  Write(user, "[Main]\r\nPass=old\r\n");
  plat::SetFaultPlan("rename:*1015.ini:1:28");
  errno = 0;
  Check(!plat::WriteFileAtomic(user, "new", 3) && errno == 28, "a failed replacement says so, with its error");
  plat::SetFaultPlan("fsync:*1015.ini:1:5");
  Check(!plat::WriteFileAtomic(user, "new", 3) && errno == 5, "a failed flush fails the replacement");
  plat::SetFaultPlan("");
  Check(Content(user) == "[Main]\r\nPass=old\r\n", "the old file stays after failed replacements");
  Check(plat::RemoveStaleTempFiles(dir, 0).empty(), "failed replacements leave no temporary file");
  plat::SetFaultPlan("read:*1015.ini:1:5");
  plat::FileRead r = plat::ReadFileBytes(user, 100);
  plat::SetFaultPlan("");
  Check(r.failed() && !r.absent(), "a read error is an error, not an empty file");
  Check(plat::ReadFileBytes(dir + "none.ini", 100).absent(), "a missing file is absent");

  // Leftovers of a killed write: "<name>.XXXXXX" beside user files and cookies, when old.
  for (const char* n : {"1015.ini.Xx3Xon", "77.aB3dE9", "notes.txt.Ab3dE9", "1015.ini.young1"}) Write(dir + n, "x");
  HANDLE h = CreateFileA((dir + "1015.ini.young1").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  SetFileTime(h, nullptr, nullptr, &now);
  CloseHandle(h);
  for (const char* n : {"1015.ini.Xx3Xon", "77.aB3dE9", "notes.txt.Ab3dE9"}) {
    h = CreateFileA((dir + n).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME old{0, now.dwHighDateTime - 1000};
    SetFileTime(h, nullptr, nullptr, &old);
    CloseHandle(h);
  }
  auto removed = plat::RemoveStaleTempFiles(dir, 60);
  Check(removed.size() == 2 && !plat::FileExists(dir + "1015.ini.Xx3Xon") && !plat::FileExists(dir + "77.aB3dE9") &&
            plat::FileExists(dir + "notes.txt.Ab3dE9") && plat::FileExists(dir + "1015.ini.young1"),
        "stale temporaries of user files and cookies removed, others and young ones kept");
}

void NewFileOnly(const std::string& dir) {
  const std::string user = dir + "1016.ini", first = dir + ".1016.new-a", second = dir + ".1016.new-b";
  Write(first, "first");
  Check(plat::PublishNewFile(first, user) && Content(user) == "first" && !plat::FileExists(first),
        "a new file takes its name, the temporary name is gone");
  Write(second, "second");
  errno = 0;
  Check(!plat::PublishNewFile(second, user) && errno == EEXIST && Content(user) == "first" &&
            !plat::FileExists(second),
        "a taken name is refused with EEXIST, the file there untouched, the temporary removed");

  errno = 0;
  Check(!plat::MayAccess(dir + "none.ini", false) && errno == ENOENT, "no rights to a missing file, ENOENT");
  Check(plat::MayAccess(dir, true) && plat::MayAccess(user, false) && plat::MayAccess(user, true),
        "a folder and a file of ours may be written");
  Check(!plat::UnixRightsOf(user), "no Unix modes or owners on Windows");
  errno = 0;
  Check(!plat::RemoveFile(dir + "Sub") && errno == EACCES, "removing a folder as a file fails and says why");
}

// Wine reuses process ids, so a folder named after one may hold an earlier run's files.
void EmptyFolder(const std::string& dir) {
  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA((dir + "*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((dir + fd.cFileName).c_str());
  } while (FindNextFileA(f, &fd));
  FindClose(f);
}

}  // namespace

void StorageGuarantees(const std::string& dir) {
  const std::string store = dir + "store\\";
  CreateDirectoryA(store.c_str(), nullptr);
  EmptyFolder(store);
  Appends(store);
  CookieInPlace(store);
  DurableReplace(store);
  CreateDirectoryA((store + "Sub").c_str(), nullptr);
  NewFileOnly(store);
}
