#include "unpack/decoder.h"

#include <new>

namespace unpack {

namespace {

class StoredDecoder final : public BlockDecoder {
 public:
  void Reset() override {}
  const uint8_t* Decode(const uint8_t* in, size_t inSize, size_t outSize) override {
    return inSize == outSize ? in : nullptr;
  }
};

}  // namespace

std::unique_ptr<BlockDecoder> MakeStoredDecoder() { return std::make_unique<StoredDecoder>(); }

DecoderStatus MakeDecoder(uint16_t compressionType, std::unique_ptr<BlockDecoder>& out) {
  const unsigned windowBits = (compressionType >> 8) & 0x1F;
  try {
    switch (compressionType & 0x0F) {
      case 0:
        out = MakeStoredDecoder();
        return DecoderStatus::Ok;
      case 1:
        out = MakeMszipDecoder();
        return DecoderStatus::Ok;
      case 2:
        if (windowBits < 10 || windowBits > 21) return DecoderStatus::BadType;
        out = MakeQuantumDecoder(windowBits);
        return DecoderStatus::Ok;
      case 3:
        if (windowBits < 15 || windowBits > 21) return DecoderStatus::BadType;
        out = MakeLzxDecoder(windowBits);
        return DecoderStatus::Ok;
      default:
        return DecoderStatus::BadType;
    }
  } catch (const std::bad_alloc&) {
    return DecoderStatus::OutOfMemory;
  }
}

}  // namespace unpack
