// Cabinet records as stored on disk, and a buffered reader that keeps every
// offset relative to the cabinet's start in its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "unpack/engine.h"

namespace unpack {

constexpr uint16_t kFlagPrevCabinet = 0x0001;
constexpr uint16_t kFlagNextCabinet = 0x0002;
constexpr uint16_t kFlagReservePresent = 0x0004;

constexpr uint16_t kFolderContinuedFromPrev = 0xFFFD;
constexpr uint16_t kFolderContinuedToNext = 0xFFFE;
constexpr uint16_t kFolderContinuedBoth = 0xFFFF;

constexpr size_t kMaxName = 255;

class Reader {
 public:
  explicit Reader(const IoCallbacks& io) : io_(io) {}
  ~Reader() { Close(); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens `path`; the cabinet starts where the open left the file positioned.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return handle_ != -1; }
  bool Seek(uint64_t offset);
  bool Read(void* dst, size_t size);
  bool Skip(size_t size);
  uint64_t Tell() const { return bufferStart_ + used_; }
  // Reads a zero-terminated text of at most `maxChars` characters.
  bool ReadText(std::string& out, size_t maxChars);

 private:
  bool Fill();

  const IoCallbacks& io_;
  intptr_t handle_ = -1;
  int64_t base_ = 0;
  uint64_t bufferStart_ = 0;  // cabinet offset of buffer_[0]
  size_t used_ = 0;
  size_t size_ = 0;
  uint8_t buffer_[4096];
};

struct CabinetInfo {
  std::string path;
  uint32_t filesOffset = 0;
  uint32_t folderTableOffset = 0;
  uint16_t folders = 0;
  uint16_t files = 0;
  uint16_t flags = 0;
  uint16_t setId = 0;
  uint16_t index = 0;
  uint8_t folderReserve = 0;
  uint8_t dataReserve = 0;
  std::string nextName;
  std::string nextDisk;
  bool continuesFromPrev = false;  // some file is continued from the previous cabinet
  bool continuesToNext = false;    // some file is continued in the next cabinet
  bool HasNext() const { return (flags & kFlagNextCabinet) != 0; }
};

struct FolderEntry {
  uint32_t dataOffset = 0;
  uint16_t blocks = 0;
  uint16_t type = 0;
};

struct FileEntry {
  uint32_t size = 0;
  uint32_t offset = 0;
  uint16_t folder = 0;
  uint16_t date = 0;
  uint16_t time = 0;
  uint16_t attributes = 0;
  std::string name;
};

// Reads and checks the header of the cabinet open in `r`, then checks its
// file table. Fills the error record and returns false on failure.
bool ReadCabinet(Reader& r, CabinetInfo& info, ErrorRecord& error);
bool ReadFileEntry(Reader& r, FileEntry& entry);
bool ReadFolderEntry(Reader& r, const CabinetInfo& info, uint16_t index, FolderEntry& entry);

// The data-block checksum: an XOR of little-endian 32-bit words, the last
// partial word with its bytes in reverse significance.
uint32_t Checksum(const uint8_t* data, size_t size, uint32_t seed);

}  // namespace unpack
