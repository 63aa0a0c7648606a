#include "unpack/folder_stream.h"

#include <algorithm>

namespace unpack {

namespace {

// One block's compressed bytes, also when it is split over several cabinets.
constexpr size_t kMaxInput = 65536;
constexpr size_t kBlockHeader = 8;

}  // namespace

FolderStream::FolderStream(const IoCallbacks& io, CabinetSet& set) : io_(io), set_(set), data_(io) {
  input_ = static_cast<uint8_t*>(io_.alloc(kMaxInput + 16));
}

FolderStream::~FolderStream() {
  if (input_ != nullptr) io_.release(input_);
}

bool FolderStream::Extract(const FolderKey& key, uint32_t offset, uint32_t size, intptr_t target) {
  if (size == 0) return true;
  if (input_ == nullptr) return set_.Fail(EngineError::OutOfMemory);
  if (!(key == key_) || offset < position_) {
    if (!Start(key)) return false;
  }
  const uint64_t end = uint64_t{offset} + size;
  while (position_ < end) {
    if (blockUsed_ == blockSize_ && !NextBlock()) return false;
    size_t n = std::min<uint64_t>(blockSize_ - blockUsed_, end - position_);
    if (position_ < offset) {
      n = std::min<uint64_t>(n, offset - position_);
    } else {
      const int32_t wrote = io_.write(target, block_ + blockUsed_, static_cast<uint32_t>(n));
      if (wrote < 0 || static_cast<size_t>(wrote) != n) return set_.Fail(EngineError::TargetFileError);
    }
    blockUsed_ += n;
    position_ += n;
  }
  return true;
}

bool FolderStream::Start(const FolderKey& key) {
  key_ = FolderKey{};
  const CabinetInfo* info = nullptr;
  if (data_.IsOpen() && partCabinet_ == key.cabinet) {
    info = &set_.At(key.cabinet);
  } else {
    partCabinet_ = SIZE_MAX;
    info = set_.Open(key.cabinet, data_);
  }
  FolderEntry folder;
  if (info == nullptr) return false;
  if (!ReadFolderEntry(data_, *info, key.folder, folder)) return set_.Fail(EngineError::CorruptCabinet);
  if (!UseDecoder(folder.type)) return false;
  partCabinet_ = key.cabinet;
  partFolder_ = key.folder;
  type_ = folder.type;
  if (!EnterFolder(folder)) return false;
  key_ = key;
  block_ = nullptr;
  blockSize_ = blockUsed_ = 0;
  position_ = 0;
  return true;
}

bool FolderStream::UseDecoder(uint16_t type) {
  if (haveDecoder_ && decoderType_ == type) {
    decoder_->Reset();
    return true;
  }
  haveDecoder_ = false;
  decoder_.reset();
  switch (MakeDecoder(type, decoder_)) {
    case DecoderStatus::BadType:
      return set_.Fail(EngineError::BadCompressionType);
    case DecoderStatus::OutOfMemory:
      return set_.Fail(EngineError::OutOfMemory);
    case DecoderStatus::Ok:
      break;
  }
  haveDecoder_ = true;
  decoderType_ = type;
  return true;
}

bool FolderStream::EnterFolder(const FolderEntry& folder) {
  blocksLeft_ = folder.blocks;
  return data_.Seek(folder.dataOffset) || set_.Fail(EngineError::CorruptCabinet);
}

bool FolderStream::NextBlock() {
  size_t inputSize = 0;
  uint16_t uncompressed = 0;
  // A block whose uncompressed size is 0 goes on in the next cabinet.
  do {
    if (blocksLeft_ == 0 && !AdvancePart()) return false;
    if (!ReadPart(inputSize, uncompressed)) return false;
    if (uncompressed == 0 && blocksLeft_ != 0) return set_.Fail(EngineError::CorruptCabinet);
  } while (uncompressed == 0);
  if (uncompressed > kMaxBlockOutput) return set_.Fail(EngineError::CorruptCabinet);
  block_ = decoder_->Decode(input_, inputSize, uncompressed);
  if (block_ == nullptr) {
    key_ = FolderKey{};
    return set_.Fail(EngineError::DecompressionFailure);
  }
  blockSize_ = uncompressed;
  blockUsed_ = 0;
  return true;
}

bool FolderStream::ReadPart(size_t& inputSize, uint16_t& uncompressed) {
  uint8_t header[kBlockHeader];
  if (!data_.Read(header, sizeof header) || !data_.Skip(set_.At(partCabinet_).dataReserve)) {
    return set_.Fail(EngineError::CorruptCabinet);
  }
  const uint32_t checksum = header[0] | (header[1] << 8) | (header[2] << 16) | (uint32_t{header[3]} << 24);
  const size_t size = header[4] | (header[5] << 8);
  uncompressed = static_cast<uint16_t>(header[6] | (header[7] << 8));
  if (inputSize + size > kMaxInput || !data_.Read(input_ + inputSize, size)) {
    return set_.Fail(EngineError::CorruptCabinet);
  }
  if (checksum != 0 && Checksum(header + 4, 4, Checksum(input_ + inputSize, size, 0)) != checksum) {
    return set_.Fail(EngineError::CorruptCabinet);
  }
  inputSize += size;
  --blocksLeft_;
  return true;
}

bool FolderStream::AdvancePart() {
  const CabinetInfo& current = set_.At(partCabinet_);
  if (partFolder_ + 1 != current.folders || !current.HasNext()) return set_.Fail(EngineError::CorruptCabinet);
  const size_t next = partCabinet_ + 1;
  partCabinet_ = SIZE_MAX;
  const CabinetInfo* info = set_.Open(next, data_);
  if (info == nullptr) return false;
  FolderEntry folder;
  if (!set_.ContinuesIntoFirstFolder(next) || !ReadFolderEntry(data_, *info, 0, folder) || folder.type != type_) {
    return set_.Fail(EngineError::CorruptCabinet);
  }
  partCabinet_ = next;
  partFolder_ = 0;
  return EnterFolder(folder);
}

}  // namespace unpack
