// The library's four exports over the engine. One cabinet at a time: the
// state is global, and the caller's callback runs inside Enumerate.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#ifdef _WIN32
// Files are opened in binary mode and their handles are not inherited.
#define O_CLOEXEC (_O_BINARY | _O_NOINHERIT)
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "unpack/engine.h"
#include "unpack/file_io.h"
#include "unpack/unpack.h"

namespace {

using unpack::Notice;
using unpack::Notification;

constexpr size_t kMaxPath = 255;
constexpr int kCpu80386 = 1;
constexpr uint16_t kAttributeMask = 0x27;
// The cabinet path is split into folder and name at the system's separator; the next
// cabinets of a set are looked for in that folder.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

struct State {
  char cabinetPath[kMaxPath + 1] = {};
  unpack::Engine* engine = nullptr;
  UnpackCallback callback = nullptr;
  UnpackFileRecord file{};
  UnpackProgressRecord progress{};
  int64_t cabinetStart = 0;
  bool walking = false;       // inside Enumerate
  bool closePending = false;  // Close was called from the callback
};

State g_state;

void* Alloc(size_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }

// The cabinet path itself is searched for an embedded cabinet and handed
// over positioned at its start; every other path opens plainly.
intptr_t OpenFile(const char* path, int flags, int mode) {
  if (strcasecmp(path, g_state.cabinetPath) != 0) {
    const int fd = open(path, flags | O_CLOEXEC, mode);
    return fd < 0 ? -1 : fd;
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int64_t start = unpack::FindCabinetStart(fd);
  if (start < 0 || lseek(fd, start, SEEK_SET) != start) {
    close(fd);
    return -1;
  }
  g_state.cabinetStart = start;
  return fd;
}

int32_t ReadFile(intptr_t handle, void* buffer, uint32_t count) {
  ssize_t n;
  do {
    n = read(static_cast<int>(handle), buffer, count);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int32_t>(n);
}

// Every chunk is shown to the callback before it is written; -1 stops the write.
int32_t WriteFile(intptr_t handle, const void* buffer, uint32_t count) {
  UnpackProgressRecord& p = g_state.progress;
  p.chunkLength = count;
  p.written += count;
  p.chunk = buffer;
  if (g_state.callback(UNPACK_PROGRESS, &p) == -1) return -1;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = write(static_cast<int>(handle), bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<uint32_t>(n);
  }
  return static_cast<int32_t>(done);
}

int CloseFile(intptr_t handle) { return close(static_cast<int>(handle)); }

int64_t SeekFile(intptr_t handle, int64_t offset, int origin) {
  // The engine keeps its offsets relative to the cabinet start itself.
  return lseek(static_cast<int>(handle), offset, origin);
}

void FillFileRecord(const Notification& n) {
  UnpackFileRecord& f = g_state.file;
  f.name = n.name;
  f.size = n.size;
  f.dateTime = (uint32_t{n.date} << 16) | n.time;
  f.attributes = n.attributes;
}

intptr_t CopyFile(const Notification& n) {
  FillFileRecord(n);
  UnpackFileRecord& f = g_state.file;
  std::memset(f.targetPath, 0, sizeof f.targetPath);
  if (g_state.callback(UNPACK_BEFORE_FILE, &f) != 1) return 0;
  f.targetPath[sizeof f.targetPath - 1] = '\0';
  if (f.targetPath[0] == '\0') return 0;
  const int fd = unpack::OpenTarget(f.targetPath);
  if (fd < 0) return -1;
  g_state.progress = UnpackProgressRecord{f.name, f.targetPath, f.size, 0, 0, nullptr};
  return fd;
}

intptr_t CloseTarget(const Notification& n) {
  close(static_cast<int>(n.handle));
  FillFileRecord(n);
  UnpackFileRecord& f = g_state.file;
  unpack::SetFileTime(f.targetPath, n.date, n.time);
  unpack::SetFileAttributes(f.targetPath, n.attributes & kAttributeMask);
  return g_state.callback(UNPACK_AFTER_FILE, &f) == -1 ? 0 : 1;
}

intptr_t Notify(Notice notice, Notification& n) {
  switch (notice) {
    case Notice::CopyFile:
      return CopyFile(n);
    case Notice::CloseFile:
      return CloseTarget(n);
    default:
      return 0;
  }
}

const unpack::IoCallbacks kCallbacks = {Alloc, Release, OpenFile, ReadFile, WriteFile, CloseFile, SeekFile};

}  // namespace

extern "C" {

UNPACK_API int32_t UNPACK_STDCALL Open(const char* path) {
  if (g_state.walking || path == nullptr || std::strlen(path) > kMaxPath) return 0;
  if (g_state.engine != nullptr) {
    unpack::EngineDestroy(g_state.engine);
    g_state.engine = nullptr;
  }
  std::strcpy(g_state.cabinetPath, path);
  unpack::ErrorRecord error;
  g_state.engine = unpack::EngineCreate(kCallbacks, kCpu80386, &error);
  return g_state.engine != nullptr ? 1 : 0;
}

UNPACK_API int32_t UNPACK_STDCALL Enumerate(UnpackCallback callback) {
  if (g_state.walking || g_state.engine == nullptr || callback == nullptr) return 0;
  g_state.callback = callback;
  g_state.walking = true;
  const std::string path = g_state.cabinetPath;
  const size_t slash = path.find_last_of(kPathSeparator);
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const bool ok = unpack::EngineCopy(g_state.engine, name.c_str(), dir.c_str(), Notify, nullptr);
  g_state.callback = nullptr;
  g_state.walking = false;
  if (g_state.closePending) Close();
  return ok ? 1 : 0;
}

UNPACK_API int32_t UNPACK_CDECL Close(void) {
  // The engine in use by a running walk goes when the walk ends.
  g_state.closePending = g_state.walking;
  if (g_state.walking) return 1;
  unpack::EngineDestroy(g_state.engine);
  g_state.engine = nullptr;
  g_state.callback = nullptr;
  return 1;
}

UNPACK_API int32_t UNPACK_STDCALL LibMain(void*, uint32_t, void*) { return 1; }

#ifdef _WIN32
// The runtime's entry point hands every notification on to LibMain.
int __stdcall DllMain(void* module, unsigned long reason, void* reserved) {
  return LibMain(module, static_cast<uint32_t>(reason), reserved);
}
#endif

}  // extern "C"
