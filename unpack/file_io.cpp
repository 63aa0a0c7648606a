#include "unpack/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
// This file defines functions of these names in namespace unpack; the API is called as ...A.
#undef SetFileAttributes
#undef SetFileTime
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace unpack {

namespace {

constexpr uint8_t kSignature[8] = {'M', 'S', 'C', 'F', 0, 0, 0, 0};
constexpr uint16_t kReadOnly = 0x01;

[[maybe_unused]] bool ValidDate(int year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace

int64_t FindCabinetStart(int fd) {
  // Read in steps so a plain cabinet is found after the first one; each step
  // keeps the last 7 bytes of the one before, so a signature may straddle steps.
  constexpr size_t kStep = 16384;
  constexpr size_t kKeep = sizeof kSignature - 1;
  uint8_t buffer[kStep + kKeep];
  size_t kept = 0;
  size_t consumed = 0;  // file offset of buffer[kept]
  while (consumed < kSearchLimit) {
    const size_t want = std::min(kStep, kSearchLimit - consumed);
    ssize_t n;
    do {
      n = read(fd, buffer + kept, want);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) break;
    const size_t have = kept + static_cast<size_t>(n);
    for (size_t i = 0; i + sizeof kSignature <= have; ++i) {
      if (buffer[i] == 'M' && std::memcmp(buffer + i, kSignature, sizeof kSignature) == 0) {
        return static_cast<int64_t>(consumed - kept + i);
      }
    }
    consumed += static_cast<size_t>(n);
    kept = std::min(have, kKeep);
    std::memmove(buffer, buffer + have - kept, kept);
  }
  return -1;
}

#ifdef _WIN32

// The DOS date and time are local time: converted to UTC, they become the creation and
// last-write times; the last-access time stays. Failures are silent.
void SetFileTime(const char* path, uint16_t date, uint16_t time) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  FILETIME local, utc;
  if (DosDateTimeToFileTime(date, time, &local) && LocalFileTimeToFileTime(&local, &utc))
    ::SetFileTime(h, &utc, nullptr, &utc);
  CloseHandle(h);
}

// Read-only, hidden, system and archive, as stored.
void SetFileAttributes(const char* path, uint16_t attributes) {
  ::SetFileAttributesA(path, attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                           FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
}

int OpenTarget(const char* path) {
  // Created when missing, never truncated: a longer old file keeps its tail.
  return _open(path, _O_WRONLY | _O_CREAT | _O_BINARY | _O_SEQUENTIAL | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

#else

void SetFileTime(const char* path, uint16_t date, uint16_t time) {
  std::tm tm{};
  tm.tm_year = 80 + (date >> 9);
  tm.tm_mon = ((date >> 5) & 0x0F) - 1;
  tm.tm_mday = date & 0x1F;
  tm.tm_hour = time >> 11;
  tm.tm_min = (time >> 5) & 0x3F;
  tm.tm_sec = (time & 0x1F) * 2;
  tm.tm_isdst = -1;
  if (!ValidDate(1980 + (date >> 9), tm.tm_mon + 1, tm.tm_mday) || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 59) {
    return;
  }
  const time_t when = mktime(&tm);
  if (when == static_cast<time_t>(-1)) return;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the last-access time stays
  times[1].tv_sec = when;
  times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path, times, 0);
}

void SetFileAttributes(const char* path, uint16_t attributes) {
  if ((attributes & kReadOnly) == 0) return;
  struct stat st {};
  if (stat(path, &st) != 0) return;
  chmod(path, st.st_mode & 07555);
}

int OpenTarget(const char* path) {
  // Created when missing, never truncated: a longer old file keeps its tail.
  return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
}

#endif

}  // namespace unpack
