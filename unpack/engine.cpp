// The walk over a cabinet's file table: every file is offered through the
// notification callback, and the accepted ones are written from their folder.
#include "unpack/engine.h"

#include <new>
#include <string>

#include "unpack/cab_format.h"
#include "unpack/cabinet_set.h"
#include "unpack/folder_stream.h"

namespace unpack {

struct Engine {
  IoCallbacks io;
  int cpuType = 0;
  ErrorRecord error;
};

namespace {

constexpr uint16_t kRunAfterExtract = 0x40;

class Walk {
 public:
  Walk(Engine& engine, NotifyFn notify, void* user, std::string dir)
      : engine_(engine),
        notify_(notify),
        user_(user),
        set_(engine.io, engine.error, notify, user, std::move(dir)),
        stream_(engine.io, set_),
        files_(engine.io) {}

  bool Run(const std::string& name) {
    if (!set_.OpenFirst(name, files_)) return false;
    for (size_t cabinet = 0;; ++cabinet) {
      if (cabinet > 0 && set_.Open(cabinet, files_) == nullptr) return false;
      if (!Announce(set_.At(cabinet)) || !WalkFiles(cabinet)) return false;
      if (!set_.At(cabinet).HasNext()) return true;
    }
  }

 private:
  bool Announce(const CabinetInfo& info) {
    Notification n = Base();
    n.name = info.nextName.c_str();
    n.disk = info.nextDisk.c_str();
    n.setId = info.setId;
    n.index = info.index;
    return notify_(Notice::CabinetInfo, n) != -1 || set_.Fail(EngineError::UserAbort);
  }

  bool WalkFiles(size_t cabinet) {
    const CabinetInfo info = set_.At(cabinet);
    if (!files_.Seek(info.filesOffset)) return set_.Fail(EngineError::CorruptCabinet);
    FileEntry entry;
    for (uint16_t i = 0; i < info.files; ++i) {
      // The table was checked when the cabinet was opened, but the file may
      // have been cut short since.
      if (!ReadFileEntry(files_, entry)) return set_.Fail(EngineError::CorruptCabinet);
      if (!OneFile(cabinet, info, entry)) return false;
    }
    return true;
  }

  bool OneFile(size_t cabinet, const CabinetInfo& info, const FileEntry& entry) {
    Notification n = Base();
    n.name = entry.name.c_str();
    n.size = entry.size;
    n.date = entry.date;
    n.time = entry.time;
    n.attributes = static_cast<uint16_t>(entry.attributes & ~kRunAfterExtract);
    n.run = (entry.attributes & kRunAfterExtract) != 0;
    FolderKey key;
    const uint16_t f = entry.folder;
    const bool fromPrev = f == kFolderContinuedFromPrev || f == kFolderContinuedBoth;
    const uint16_t folder = f == kFolderContinuedToNext ? static_cast<uint16_t>(info.folders - 1) : f;
    if (fromPrev || !set_.Origin(cabinet, folder, key)) {
      return notify_(Notice::PartialFile, n) != -1 || set_.Fail(EngineError::UserAbort);
    }
    const intptr_t target = notify_(Notice::CopyFile, n);
    if (target == -1) return set_.Fail(EngineError::UserAbort);
    if (target == 0) return true;
    if (!stream_.Extract(key, entry.offset, entry.size, target)) {
      engine_.io.close(target);
      return false;
    }
    n.handle = target;
    return notify_(Notice::CloseFile, n) > 0 || set_.Fail(EngineError::UserAbort);
  }

  Notification Base() const {
    Notification n;
    n.cabinetDir = set_.Dir().c_str();
    n.user = user_;
    return n;
  }

  Engine& engine_;
  NotifyFn notify_;
  void* user_;
  CabinetSet set_;
  FolderStream stream_;
  Reader files_;
};

}  // namespace

Engine* EngineCreate(const IoCallbacks& io, int cpuType, ErrorRecord* error) {
  void* memory = io.alloc != nullptr ? io.alloc(sizeof(Engine)) : nullptr;
  if (memory == nullptr) {
    if (error != nullptr) error->error = EngineError::OutOfMemory;
    return nullptr;
  }
  auto* engine = new (memory) Engine;
  engine->io = io;
  engine->cpuType = cpuType;
  return engine;
}

bool EngineCopy(Engine* engine, const char* name, const char* dir, NotifyFn notify, void* user) {
  if (engine == nullptr || name == nullptr || notify == nullptr) return false;
  engine->error = ErrorRecord{};
  try {
    Walk walk(*engine, notify, user, dir != nullptr ? dir : "");
    return walk.Run(name);
  } catch (const std::bad_alloc&) {
    engine->error.error = EngineError::OutOfMemory;
    return false;
  }
}

const ErrorRecord& EngineLastError(const Engine* engine) { return engine->error; }

void EngineDestroy(Engine* engine) {
  if (engine == nullptr) return;
  void (*release)(void*) = engine->io.release;
  engine->~Engine();
  release(engine);
}

}  // namespace unpack
