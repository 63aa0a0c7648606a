// Extracts cabinets through the exports of the unpack library and prints, per file, what
// the callback saw, a hash of the file written to disk and the time and read-only bit it was
// given; per cabinet, Enumerate's result.
// The same source runs against libunpack.so on Linux and unpack.dll (loaded through its
// exports) under Wine, so the two listings can be compared line by line.
//   unpack_list BASEDIR OUTDIR CABINET...   (cabinet names relative to BASEDIR, with '/')
#include <cstdint>
#include <cstdio>
#include <string>

#include <sys/stat.h>

#include "unpack/unpack.h"

#ifdef _WIN32
#include <windows.h>
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

namespace {

using OpenFn = int32_t(UNPACK_STDCALL*)(const char*);
using EnumerateFn = int32_t(UNPACK_STDCALL*)(UnpackCallback);
using CloseFn = int32_t(UNPACK_CDECL*)(void);

std::string g_outDir;
std::string g_cabTag;
int g_index = 0;

uint64_t HashFile(const std::string& path, uint64_t& size) {
  uint64_t h = 1469598103934665603ull;
  size = 0;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  int c;
  while ((c = std::fgetc(f)) != EOF) {
    h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    ++size;
  }
  std::fclose(f);
  return h;
}

std::string Hex(const char* s) {
  std::string out;
  char b[3];
  for (; *s; ++s) {
    std::snprintf(b, sizeof b, "%02x", static_cast<uint8_t>(*s));
    out += b;
  }
  return out;
}

bool ComparableDate(uint32_t dateTime) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const unsigned date = dateTime >> 16, time = dateTime & 0xFFFF;
  const unsigned year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month < 1 || month > 12 || day < 1 || day > unsigned(kDays[month - 1]) || year > 2037) return false;
  if (month == 2 && day == 29 && !leap) return false;
  return (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30;
}

int32_t UNPACK_STDCALL Callback(int32_t code, void* record) {
  if (code == UNPACK_BEFORE_FILE) {
    auto* f = static_cast<UnpackFileRecord*>(record);
    std::snprintf(f->targetPath, sizeof f->targetPath, "%s%c%s_%d", g_outDir.c_str(), kSep, g_cabTag.c_str(),
                  g_index++);
    return 1;
  }
  if (code == UNPACK_AFTER_FILE) {
    auto* f = static_cast<UnpackFileRecord*>(record);
    uint64_t size = 0;
    uint64_t hash = HashFile(f->targetPath, size);
    // The last-write time and the read-only bit the library gave the written file.
    struct stat st {};
    long long mtime = -1;
    int readOnly = -1;
    if (stat(f->targetPath, &st) == 0) {
      // A file whose stored date is invalid keeps the time it was written at, which differs
      // from run to run; dates past 2037 are not set by Wine. Neither is compared.
      mtime = ComparableDate(f->dateTime) ? static_cast<long long>(st.st_mtime) : -2;
      readOnly = (st.st_mode & S_IWUSR) ? 0 : 1;
    }
    std::printf("file\t%s\t%u\t%08x\t%02x\t%llu\t%016llx\t%lld\t%d\n", Hex(f->name).c_str(), f->size,
                f->dateTime, f->attributes, static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(hash), mtime, readOnly);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: unpack_list BASEDIR OUTDIR CABINET...\n");
    return 2;
  }
#ifdef _WIN32
  HMODULE lib = LoadLibraryA("unpack.dll");
  if (!lib) return std::puts("unpack.dll not loaded"), 1;
  auto open = reinterpret_cast<OpenFn>(reinterpret_cast<void*>(GetProcAddress(lib, "Open")));
  auto enumerate = reinterpret_cast<EnumerateFn>(reinterpret_cast<void*>(GetProcAddress(lib, "Enumerate")));
  auto close = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(GetProcAddress(lib, "Close")));
  if (!open || !enumerate || !close || !GetProcAddress(lib, "LibMain")) return std::puts("exports missing"), 1;
#else
  OpenFn open = &Open;
  EnumerateFn enumerate = &Enumerate;
  CloseFn close = &Close;
#endif
  g_outDir = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::string rel = argv[i];
    std::string path = std::string(argv[1]) + kSep + rel;
    for (char& c : path)
      if (c == '/') c = kSep;
    g_cabTag = std::to_string(i);
    g_index = 0;
    std::printf("cabinet\t%s\n", rel.c_str());
    int32_t opened = open(path.c_str());
    int32_t result = opened ? enumerate(&Callback) : -1;
    close();
    std::printf("result\t%s\t%d\t%d\n", rel.c_str(), opened, result);
  }
  return 0;
}
