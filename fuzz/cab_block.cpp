// Each block decoder (stored, MSZIP, Quantum and LZX at their window sizes) on random
// blocks: a block decodes to exactly the size asked for, or is refused.
#include <algorithm>
#include <cstdlib>

#include "unpack/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Byte 0: decoder and window; bytes 1-2: output size; byte 3: blocks in the folder.
  std::unique_ptr<unpack::BlockDecoder> d;
  uint16_t type = static_cast<uint16_t>((data[0] & 3) | ((10 + (data[0] >> 2) % 12) << 8));
  if (unpack::MakeDecoder(type, d) != unpack::DecoderStatus::Ok || !d) return 0;
  size_t outSize = 1 + ((size_t(data[1]) << 8 | data[2]) % unpack::kMaxBlockOutput);
  unsigned blocks = 1 + data[3] % 4;
  size_t pos = 4, per = (size - 4) / blocks;
  d->Reset();
  for (unsigned b = 0; b < blocks; ++b) {
    const uint8_t* out = d->Decode(data + pos, per, outSize);
    if (out) {
      volatile uint8_t sum = 0;
      for (size_t i = 0; i < outSize; ++i) sum += out[i];  // every byte of it is readable
    }
    pos += per;
  }
  return 0;
}
