// The file side of the library: the engine's I/O callbacks, the search for
// a cabinet embedded in a larger file, and a finished file's time and attributes.
#pragma once

#include <cstdint>
#include <string>

#include "unpack/engine.h"

namespace unpack {

// How far into a file an embedded cabinet is looked for.
constexpr size_t kSearchLimit = 262128;

// Position of the first "MSCF" followed by four zero bytes within the first
// kSearchLimit bytes of the open file, or -1.
int64_t FindCabinetStart(int fd);

// Sets the last-write time from a DOS date and time taken as local time;
// an invalid date leaves the time alone.
void SetFileTime(const char* path, uint16_t date, uint16_t time);
// Applies the attribute bits: read-only removes write permission.
void SetFileAttributes(const char* path, uint16_t attributes);

int OpenTarget(const char* path);

}  // namespace unpack
