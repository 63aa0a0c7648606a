// The cabinet engine on a random cabinet held in memory: every file is extracted into a
// sink, through whichever decoder its folder names.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "unpack/engine.h"

namespace {

const uint8_t* cabData = nullptr;
size_t cabSize = 0;
struct Handle {
  size_t pos = 0;
  bool sink = false;
};

void* Alloc(size_t n) { return std::malloc(n); }
void Release(void* p) { std::free(p); }
intptr_t Open(const char* path, int, int) {
  if (std::strcmp(path, "in.cab") != 0) return -1;
  return reinterpret_cast<intptr_t>(new Handle);
}
int32_t Read(intptr_t h, void* buf, uint32_t count) {
  Handle* hd = reinterpret_cast<Handle*>(h);
  if (hd->sink) return -1;
  size_t n = std::min<size_t>(count, hd->pos < cabSize ? cabSize - hd->pos : 0);
  std::memcpy(buf, cabData + hd->pos, n);
  hd->pos += n;
  return static_cast<int32_t>(n);
}
int32_t Write(intptr_t, const void*, uint32_t count) { return static_cast<int32_t>(count); }
int Close(intptr_t h) {
  delete reinterpret_cast<Handle*>(h);
  return 0;
}
int64_t Seek(intptr_t h, int64_t offset, int origin) {
  Handle* hd = reinterpret_cast<Handle*>(h);
  int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(hd->pos) : static_cast<int64_t>(cabSize);
  if (base + offset < 0) return -1;
  hd->pos = static_cast<size_t>(base + offset);
  return static_cast<int64_t>(hd->pos);
}

intptr_t Notify(unpack::Notice notice, unpack::Notification& n) {
  switch (notice) {
    case unpack::Notice::CopyFile: {
      auto* sink = new Handle;
      sink->sink = true;
      return reinterpret_cast<intptr_t>(sink);
    }
    case unpack::Notice::CloseFile:
      delete reinterpret_cast<Handle*>(n.handle);
      return 1;
    case unpack::Notice::NextCabinet:
      return -1;  // a set has no further cabinet here
    default:
      return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cabData = data;
  cabSize = size;
  unpack::IoCallbacks io{Alloc, Release, Open, Read, Write, Close, Seek};
  unpack::ErrorRecord err;
  unpack::Engine* e = unpack::EngineCreate(io, 0, &err);
  if (!e) return 0;
  unpack::EngineCopy(e, "in.cab", "", Notify, nullptr);
  unpack::EngineDestroy(e);
  return 0;
}
