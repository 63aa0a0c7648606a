// The uncompressed bytes of one folder at a time, block by block, following
// the folder into the next cabinets of the set when it continues there.
// Memory: the decoder's window plus one block of input.
#pragma once

#include <cstdint>
#include <memory>

#include "unpack/cab_format.h"
#include "unpack/cabinet_set.h"
#include "unpack/decoder.h"
#include "unpack/engine.h"

namespace unpack {

class FolderStream {
 public:
  FolderStream(const IoCallbacks& io, CabinetSet& set);
  ~FolderStream();
  FolderStream(const FolderStream&) = delete;
  FolderStream& operator=(const FolderStream&) = delete;

  // Writes `size` bytes from folder offset `offset` of folder `key` to `target`.
  bool Extract(const FolderKey& key, uint32_t offset, uint32_t size, intptr_t target);

 private:
  bool Start(const FolderKey& key);
  bool UseDecoder(uint16_t type);
  bool NextBlock();
  bool ReadPart(size_t& inputSize, uint16_t& uncompressed);
  bool AdvancePart();
  bool EnterFolder(const FolderEntry& folder);

  const IoCallbacks& io_;
  CabinetSet& set_;
  Reader data_;
  FolderKey key_;
  size_t partCabinet_ = SIZE_MAX;  // cabinet whose blocks are being read
  uint16_t partFolder_ = 0;
  uint16_t blocksLeft_ = 0;
  uint16_t type_ = 0;
  std::unique_ptr<BlockDecoder> decoder_;
  bool haveDecoder_ = false;
  uint16_t decoderType_ = 0;
  uint8_t* input_ = nullptr;
  const uint8_t* block_ = nullptr;
  size_t blockSize_ = 0;
  size_t blockUsed_ = 0;
  uint64_t position_ = 0;  // folder offset of block_[blockUsed_]
};

}  // namespace unpack
