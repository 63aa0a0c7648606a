#include "unpack/cab_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace unpack {

namespace {

constexpr size_t kHeaderSize = 36;
constexpr size_t kFileEntrySize = 16;
constexpr size_t kFolderEntrySize = 8;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool Fail(ErrorRecord& error, EngineError code, int detail = 0) {
  error.error = code;
  error.detail = detail;
  return false;
}

// Walks the file table once: checks every entry and notes the continuations.
bool CheckFiles(Reader& r, CabinetInfo& info) {
  if (!r.Seek(info.filesOffset)) return false;
  FileEntry entry;
  for (uint16_t i = 0; i < info.files; ++i) {
    if (!ReadFileEntry(r, entry)) return false;
    const uint16_t f = entry.folder;
    if (f == kFolderContinuedFromPrev || f == kFolderContinuedBoth) info.continuesFromPrev = true;
    if (f == kFolderContinuedToNext || f == kFolderContinuedBoth) info.continuesToNext = true;
    if (f < kFolderContinuedFromPrev && f >= info.folders) return false;
  }
  return true;
}

}  // namespace

bool Reader::Open(const std::string& path) {
  Close();
  handle_ = io_.open(path.c_str(), O_RDONLY, 0);
  if (handle_ == -1) return false;
  base_ = io_.seek(handle_, 0, SEEK_CUR);
  if (base_ < 0) {
    Close();
    return false;
  }
  bufferStart_ = 0;
  used_ = size_ = 0;
  return true;
}

void Reader::Close() {
  if (handle_ != -1) io_.close(handle_);
  handle_ = -1;
}

bool Reader::Seek(uint64_t offset) {
  if (offset >= bufferStart_ && offset <= bufferStart_ + size_) {
    used_ = static_cast<size_t>(offset - bufferStart_);
    return true;
  }
  if (io_.seek(handle_, base_ + static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
  bufferStart_ = offset;
  used_ = size_ = 0;
  return true;
}

bool Reader::Fill() {
  bufferStart_ += size_;
  used_ = size_ = 0;
  const int32_t got = io_.read(handle_, buffer_, sizeof buffer_);
  if (got <= 0) return false;
  size_ = static_cast<size_t>(got);
  return true;
}

bool Reader::Read(void* dst, size_t size) {
  auto* out = static_cast<uint8_t*>(dst);
  while (size > 0) {
    if (used_ == size_) {
      if (size >= sizeof buffer_) {
        // Large reads go straight to the caller's memory.
        bufferStart_ += size_;
        used_ = size_ = 0;
        const int32_t got = io_.read(handle_, out, static_cast<uint32_t>(size));
        if (got <= 0) return false;
        bufferStart_ += static_cast<uint64_t>(got);
        out += got;
        size -= static_cast<size_t>(got);
        continue;
      }
      if (!Fill()) return false;
    }
    const size_t n = std::min(size, size_ - used_);
    std::memcpy(out, buffer_ + used_, n);
    used_ += n;
    out += n;
    size -= n;
  }
  return true;
}

bool Reader::Skip(size_t size) { return Seek(bufferStart_ + used_ + size); }

bool Reader::ReadText(std::string& out, size_t maxChars) {
  out.clear();
  for (;;) {
    uint8_t c = 0;
    if (!Read(&c, 1)) return false;
    if (c == 0) return true;
    if (out.size() == maxChars) return false;
    out.push_back(static_cast<char>(c));
  }
}

bool ReadCabinet(Reader& r, CabinetInfo& info, ErrorRecord& error) {
  uint8_t h[kHeaderSize];
  if (!r.Read(h, 4) || std::memcmp(h, "MSCF", 4) != 0) return Fail(error, EngineError::NotACabinet);
  if (!r.Read(h + 4, kHeaderSize - 4)) return Fail(error, EngineError::CorruptCabinet);
  const int version = (h[25] << 8) | h[24];
  if (version != 0x0103) return Fail(error, EngineError::UnknownVersion, version);
  info.filesOffset = Le32(h + 16);
  info.folders = Le16(h + 26);
  info.files = Le16(h + 28);
  info.flags = Le16(h + 30);
  info.setId = Le16(h + 32);
  info.index = Le16(h + 34);
  if (info.folders == 0 || info.files == 0) return Fail(error, EngineError::CorruptCabinet);
  if (info.flags & kFlagReservePresent) {
    uint8_t reserve[4];
    if (!r.Read(reserve, 4) || !r.Skip(Le16(reserve))) return Fail(error, EngineError::CorruptCabinet);
    info.folderReserve = reserve[2];
    info.dataReserve = reserve[3];
  }
  std::string ignored;
  if ((info.flags & kFlagPrevCabinet) &&
      (!r.ReadText(ignored, kMaxName) || !r.ReadText(ignored, kMaxName))) {
    return Fail(error, EngineError::CorruptCabinet);
  }
  if ((info.flags & kFlagNextCabinet) &&
      (!r.ReadText(info.nextName, kMaxName) || !r.ReadText(info.nextDisk, kMaxName))) {
    return Fail(error, EngineError::CorruptCabinet);
  }
  // The folder table follows the optional fields; its entries are checked
  // when a folder is used.
  info.folderTableOffset = static_cast<uint32_t>(r.Tell());
  if (!CheckFiles(r, info)) return Fail(error, EngineError::CorruptCabinet);
  return true;
}

bool ReadFileEntry(Reader& r, FileEntry& entry) {
  uint8_t e[kFileEntrySize];
  if (!r.Read(e, sizeof e)) return false;
  entry.size = Le32(e);
  entry.offset = Le32(e + 4);
  entry.folder = Le16(e + 8);
  entry.date = Le16(e + 10);
  entry.time = Le16(e + 12);
  entry.attributes = Le16(e + 14);
  return r.ReadText(entry.name, kMaxName) && !entry.name.empty();
}

bool ReadFolderEntry(Reader& r, const CabinetInfo& info, uint16_t index, FolderEntry& entry) {
  const uint64_t at = info.folderTableOffset + uint64_t{index} * (kFolderEntrySize + info.folderReserve);
  uint8_t e[kFolderEntrySize];
  if (index >= info.folders || !r.Seek(at) || !r.Read(e, sizeof e)) return false;
  entry.dataOffset = Le32(e);
  entry.blocks = Le16(e + 4);
  entry.type = Le16(e + 6);
  return true;
}

uint32_t Checksum(const uint8_t* data, size_t size, uint32_t seed) {
  uint64_t wide = 0;
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= size; i += 8) {
      uint64_t v = 0;
      std::memcpy(&v, data + i, 8);
      wide ^= v;
    }
  }
  uint32_t sum = seed ^ static_cast<uint32_t>(wide) ^ static_cast<uint32_t>(wide >> 32);
  for (; i + 4 <= size; i += 4) sum ^= Le32(data + i);
  uint32_t tail = 0;
  for (; i < size; ++i) tail = (tail << 8) | data[i];
  return sum ^ tail;
}

}  // namespace unpack
