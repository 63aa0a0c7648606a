// Quantum: an adaptive arithmetic coder over seven selector-driven models,
// with literals and matches into a window of 2^10 to 2^21 bytes. The coder
// starts afresh with every data block; models and window live for the folder.
#include <algorithm>
#include <cstring>
#include <vector>

#include "unpack/decoder.h"

namespace unpack {

namespace {

constexpr uint32_t kPositionBase[42] = {
    0,      1,      2,      3,      4,      6,       8,       12,      16,     24,     32,
    48,     64,     96,     128,    192,    256,     384,     512,     768,    1024,   1536,
    2048,   3072,   4096,   6144,   8192,   12288,   16384,   24576,   32768,  49152,  65536,
    98304,  131072, 196608, 262144, 393216, 524288,  786432,  1048576, 1572864};
constexpr uint8_t kPositionExtra[42] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,
                                        6, 6, 7,  7,  8,  8,  9,  9,  10, 10, 11, 11, 12, 12,
                                        13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18, 19, 19};
constexpr uint8_t kLengthBase[27] = {0,  1,  2,  3,  4,  5,  6,   8,   10,  12,  14,  18,  22, 26,
                                     30, 38, 46, 54, 62, 78, 94, 110, 126, 158, 190, 222, 254};
constexpr uint8_t kLengthExtra[27] = {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                      3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr size_t kMaxPadBytes = 8;

// One adaptive model: symbols kept in order of falling frequency, each with
// the cumulative frequency of itself and every symbol after it.
struct Model {
  struct Entry {
    uint16_t symbol;
    uint16_t cumulative;
  };
  int shiftsLeft = 4;
  unsigned entries = 0;
  Entry syms[65] = {};

  void Init(unsigned first, unsigned count) {
    shiftsLeft = 4;
    entries = count;
    for (unsigned i = 0; i <= count; ++i) {
      syms[i].symbol = static_cast<uint16_t>(first + i);
      syms[i].cumulative = static_cast<uint16_t>(count - i);
    }
  }

  // Halves the frequencies; every 50th time also re-sorts the symbols.
  void Rescale() {
    if (--shiftsLeft > 0) {
      for (int i = static_cast<int>(entries) - 1; i >= 0; --i) {
        syms[i].cumulative >>= 1;
        if (syms[i].cumulative <= syms[i + 1].cumulative) syms[i].cumulative = syms[i + 1].cumulative + 1;
      }
      return;
    }
    shiftsLeft = 50;
    for (unsigned i = 0; i < entries; ++i) {
      syms[i].cumulative = static_cast<uint16_t>(((syms[i].cumulative - syms[i + 1].cumulative) + 1) >> 1);
    }
    // Selection-style exchange sort: equal frequencies must keep this exact order.
    for (unsigned i = 0; i + 1 < entries; ++i) {
      for (unsigned j = i + 1; j < entries; ++j) {
        if (syms[i].cumulative < syms[j].cumulative) std::swap(syms[i], syms[j]);
      }
    }
    for (int i = static_cast<int>(entries) - 1; i >= 0; --i) syms[i].cumulative += syms[i + 1].cumulative;
  }
};

// MSB-first bytes; past the end of the block a 0xFF trailer, then zeros.
class ByteBits {
 public:
  ByteBits(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint32_t Read(unsigned n) {
    if (n == 0) return 0;
    while (count_ < n) {
      uint64_t byte = 0;
      if (p_ < end_) {
        byte = *p_++;
      } else {
        byte = pad_ == 0 ? 0xFF : 0;
        ++pad_;
      }
      buf_ |= byte << (56 - count_);
      count_ += 8;
    }
    const uint32_t v = static_cast<uint32_t>(buf_ >> (64 - n));
    buf_ <<= n;
    count_ -= n;
    return v;
  }
  bool Overrun() const { return pad_ > kMaxPadBytes; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
  size_t pad_ = 0;
};

class ArithmeticDecoder {
 public:
  explicit ArithmeticDecoder(ByteBits& bits) : bits_(bits) { code_ = bits_.Read(16); }

  unsigned Decode(Model& m) {
    const int32_t range = ((high_ - low_) & 0xFFFF) + 1;
    const int32_t scaled =
        static_cast<int32_t>((((static_cast<int64_t>(code_) - low_ + 1) * m.syms[0].cumulative) - 1) / range) & 0xFFFF;
    unsigned i = 1;
    while (i < m.entries && m.syms[i].cumulative > scaled) ++i;
    const unsigned symbol = m.syms[i - 1].symbol;
    const int64_t span = static_cast<int64_t>(high_) - low_ + 1;
    const int64_t total = m.syms[0].cumulative;
    const uint32_t newHigh = static_cast<uint32_t>(low_ + (m.syms[i - 1].cumulative * span) / total - 1);
    const uint32_t newLow = static_cast<uint32_t>(low_ + (m.syms[i].cumulative * span) / total);
    high_ = newHigh & 0xFFFF;
    low_ = newLow & 0xFFFF;
    do {
      m.syms[--i].cumulative += 8;
    } while (i > 0);
    if (m.syms[0].cumulative > 3800) m.Rescale();
    Normalise();
    return symbol;
  }

 private:
  void Normalise() {
    for (;;) {
      if ((low_ & 0x8000) != (high_ & 0x8000)) {
        if ((low_ & 0x4000) == 0 || (high_ & 0x4000) != 0) return;
        code_ ^= 0x4000;  // underflow: the two top bits straddle the middle
        low_ &= 0x3FFF;
        high_ |= 0x4000;
      }
      low_ = (low_ << 1) & 0xFFFF;
      high_ = ((high_ << 1) | 1) & 0xFFFF;
      code_ = ((code_ << 1) | bits_.Read(1)) & 0xFFFF;
    }
  }

  ByteBits& bits_;
  uint32_t high_ = 0xFFFF;
  uint32_t low_ = 0;
  uint32_t code_ = 0;
};

class QuantumDecoder final : public BlockDecoder {
 public:
  explicit QuantumDecoder(unsigned windowBits)
      : windowBits_(windowBits), mask_((size_t{1} << windowBits) - 1), window_(mask_ + 1), out_(kMaxBlockOutput) {
    Reset();
  }

  void Reset() override {
    for (unsigned i = 0; i < 4; ++i) literals_[i].Init(i * 64, 64);
    const unsigned slots = windowBits_ * 2;
    length3_.Init(0, std::min(slots, 24u));
    length4_.Init(0, std::min(slots, 36u));
    longer_.Init(0, slots);
    lengths_.Init(0, 27);
    selector_.Init(0, 7);
    position_ = 0;
    total_ = 0;
  }

  const uint8_t* Decode(const uint8_t* in, size_t inSize, size_t outSize) override {
    if (outSize > kMaxBlockOutput) return nullptr;
    ByteBits bits(in, inSize);
    ArithmeticDecoder coder(bits);
    size_t done = 0;
    while (done < outSize) {
      const unsigned selector = coder.Decode(selector_);
      if (selector < 4) {
        Put(static_cast<uint8_t>(coder.Decode(literals_[selector])), done);
        continue;
      }
      uint32_t length = 0;
      unsigned slot = 0;
      if (selector == 4) {
        slot = coder.Decode(length3_);
        length = 3;
      } else if (selector == 5) {
        slot = coder.Decode(length4_);
        length = 4;
      } else if (selector == 6) {
        const unsigned lengthSlot = coder.Decode(lengths_);
        length = kLengthBase[lengthSlot] + bits.Read(kLengthExtra[lengthSlot]) + 5;
        slot = coder.Decode(longer_);
      } else {
        return nullptr;
      }
      const uint32_t offset = kPositionBase[slot] + bits.Read(kPositionExtra[slot]) + 1;
      // The last block of a folder may be cut short of its frame: a match
      // may run on to the frame's full size, and the surplus is dropped. A
      // full block must come out exactly, or everything after it would shift.
      const size_t limit = outSize < kMaxBlockOutput ? kMaxBlockOutput : outSize;
      if (offset > total_ || offset > mask_ + 1 || length > limit - done) return nullptr;
      for (uint32_t i = 0; i < length; ++i) Put(window_[(position_ - offset) & mask_], done);
      if (bits.Overrun()) return nullptr;
    }
    return bits.Overrun() ? nullptr : out_.data();
  }

 private:
  void Put(uint8_t byte, size_t& done) {
    window_[position_ & mask_] = byte;
    ++position_;
    ++total_;
    out_[done++] = byte;
  }

  const unsigned windowBits_;
  const size_t mask_;
  std::vector<uint8_t> window_;
  std::vector<uint8_t> out_;
  Model literals_[4];
  Model length3_, length4_, longer_, lengths_, selector_;
  size_t position_ = 0;
  uint64_t total_ = 0;
};

}  // namespace

std::unique_ptr<BlockDecoder> MakeQuantumDecoder(unsigned windowBits) {
  return std::make_unique<QuantumDecoder>(windowBits);
}

}  // namespace unpack
