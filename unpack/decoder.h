// The one interface every folder decompressor offers the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace unpack {

// Every decoder turns one data block into at most this many bytes.
constexpr size_t kMaxBlockOutput = 32768;

class BlockDecoder {
 public:
  virtual ~BlockDecoder() = default;
  // Starts a new folder: history, models and trees return to their initial state.
  virtual void Reset() = 0;
  // Decodes the compressed bytes of one block into exactly `outSize` bytes.
  // Returns the decoded bytes (valid until the next call), or nullptr when
  // the block is corrupt or does not decode to `outSize` bytes.
  virtual const uint8_t* Decode(const uint8_t* in, size_t inSize, size_t outSize) = 0;
};

enum class DecoderStatus { Ok, BadType, OutOfMemory };

// Makes the decoder for a folder's compression type field.
DecoderStatus MakeDecoder(uint16_t compressionType, std::unique_ptr<BlockDecoder>& out);

std::unique_ptr<BlockDecoder> MakeStoredDecoder();
std::unique_ptr<BlockDecoder> MakeMszipDecoder();
std::unique_ptr<BlockDecoder> MakeQuantumDecoder(unsigned windowBits);
std::unique_ptr<BlockDecoder> MakeLzxDecoder(unsigned windowBits);

}  // namespace unpack
