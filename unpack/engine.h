// The cabinet engine: created with seven I/O callbacks, it walks a cabinet
// (and the rest of its set) and reports every step to a notification
// callback, which decides where each file goes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace unpack {

struct IoCallbacks {
  void* (*alloc)(size_t size);
  void (*release)(void* block);
  intptr_t (*open)(const char* path, int flags, int mode);  // -1 on failure
  int32_t (*read)(intptr_t handle, void* buffer, uint32_t count);         // bytes read, 0 at end, -1 on failure
  int32_t (*write)(intptr_t handle, const void* buffer, uint32_t count);  // bytes written, -1 on failure
  int (*close)(intptr_t handle);
  int64_t (*seek)(intptr_t handle, int64_t offset, int origin);  // new position, -1 on failure
};

enum class Notice : int {
  CabinetInfo = 0,  // a cabinet was opened; return -1 to abort
  PartialFile = 1,  // a file continued from an earlier cabinet; return -1 to abort
  CopyFile = 2,     // return a target handle, 0 to skip the file, -1 to abort
  CloseFile = 3,    // the file is complete; the handler closes `handle`; return 1 to go on
  NextCabinet = 4,  // the next cabinet of the set is about to be opened; return -1 to abort
};

struct Notification {
  const char* name = nullptr;        // file name; next cabinet name for CabinetInfo/NextCabinet
  const char* disk = nullptr;        // next disk name for CabinetInfo/NextCabinet
  const char* cabinetDir = nullptr;  // folder the cabinets are looked up in
  uint32_t size = 0;
  uint16_t date = 0;
  uint16_t time = 0;
  uint16_t attributes = 0;  // as stored, run-after-extraction bit cleared
  bool run = false;         // the run-after-extraction bit was set
  intptr_t handle = 0;      // CloseFile: the handle CopyFile returned
  uint16_t setId = 0;
  uint16_t index = 0;
  void* user = nullptr;
};

using NotifyFn = intptr_t (*)(Notice notice, Notification& n);

enum class EngineError {
  None,
  CabinetNotFound,
  NotACabinet,
  UnknownVersion,
  CorruptCabinet,
  OutOfMemory,
  BadCompressionType,
  DecompressionFailure,
  TargetFileError,
  ReserveMismatch,
  WrongCabinet,
  UserAbort,
};

struct ErrorRecord {
  EngineError error = EngineError::None;
  int detail = 0;  // the version found, for UnknownVersion
};

struct Engine;

Engine* EngineCreate(const IoCallbacks& io, int cpuType, ErrorRecord* error);
// Extracts cabinet `name` found in folder `dir` (which ends with its separator
// or is empty) and the cabinets that follow it in its set.
bool EngineCopy(Engine* engine, const char* name, const char* dir, NotifyFn notify, void* user);
const ErrorRecord& EngineLastError(const Engine* engine);
void EngineDestroy(Engine* engine);

}  // namespace unpack
