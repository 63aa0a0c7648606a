// MSZIP: every data block is "CK" followed by a complete deflate stream
// (RFC 1951); the last 32 KB of output stay available to the next block of
// the same folder.
#include <algorithm>
#include <cstring>
#include <vector>

#include "unpack/bits.h"
#include "unpack/decoder.h"
#include "unpack/huffman.h"

namespace unpack {

namespace {

constexpr size_t kHistory = 32768;
// Blocks are decoded one after another into a buffer of several blocks; the
// last 32 KB move to its front only when it is full.
constexpr size_t kBufferSize = kHistory + 8 * kMaxBlockOutput;
constexpr unsigned kLitRoot = 10;
constexpr unsigned kDistRoot = 8;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                    33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

inline uint32_t Lookup(const uint32_t* table, unsigned rootBits, uint64_t bits) {
  uint32_t e = table[bits & ((1u << rootBits) - 1)];
  if (e & HuffmanTable::kLink) {
    e = table[(e >> 16) + ((bits >> rootBits) & ((1u << (e & 0xFF)) - 1))];
  }
  return e;
}

class MszipDecoder final : public BlockDecoder {
 public:
  MszipDecoder() : buffer_(kBufferSize + 16) {
    uint8_t lengths[288 + 32];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    std::fill(lengths + 288, lengths + 320, 5);
    fixedLit_.Build(lengths, 288, BitOrder::LsbFirst);
    fixedDist_.Build(lengths + 288, 32, BitOrder::LsbFirst);
  }

  void Reset() override {
    historyValid_ = 0;
    fill_ = kHistory;
  }

  const uint8_t* Decode(const uint8_t* in, size_t inSize, size_t outSize) override {
    if (inSize < 2 || in[0] != 'C' || in[1] != 'K' || outSize > kMaxBlockOutput) return nullptr;
    MakeRoom();
    uint8_t* start = buffer_.data() + fill_;
    out_ = start;
    outEnd_ = start + outSize;
    windowStart_ = start - historyValid_;
    LsbBits bits(in + 2, inSize - 2);
    bool last = false;
    while (!last) {
      last = bits.Read(1) != 0;
      const uint32_t type = bits.Read(2);
      bool ok = false;
      if (type == 0) ok = Stored(bits);
      if (type == 1) ok = Codes(bits, fixedLit_, fixedDist_);
      if (type == 2) ok = Dynamic(bits);
      if (!ok || bits.Overrun()) return nullptr;
    }
    if (out_ != outEnd_) return nullptr;
    fill_ += outSize;
    historyValid_ = std::min(kHistory, historyValid_ + outSize);
    return start;
  }

 private:
  // Moves the newest 32 KB of output to the front when a block might not fit.
  void MakeRoom() {
    if (fill_ + kMaxBlockOutput <= kBufferSize) return;
    std::memmove(buffer_.data(), buffer_.data() + fill_ - kHistory, kHistory);
    fill_ = kHistory;
  }

  bool Stored(LsbBits& bits) {
    const uint8_t* at = bits.AlignToByte();
    if (at == nullptr || bits.End() - at < 4) return false;
    const uint32_t len = at[0] | (at[1] << 8);
    const uint32_t nlen = at[2] | (at[3] << 8);
    at += 4;
    if ((len ^ 0xFFFF) != nlen || static_cast<size_t>(bits.End() - at) < len ||
        static_cast<size_t>(outEnd_ - out_) < len) {
      return false;
    }
    std::memcpy(out_, at, len);
    out_ += len;
    bits.Resume(at + len);
    return true;
  }

  bool Dynamic(LsbBits& bits) {
    bits.Refill();
    const uint32_t nlit = bits.Take(5) + 257;
    const uint32_t ndist = bits.Take(5) + 1;
    const uint32_t ncode = bits.Take(4) + 4;
    if (nlit > 286 || ndist > 30) return false;
    uint8_t codeLengths[19] = {};
    for (uint32_t i = 0; i < ncode; ++i) codeLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(bits.Read(3));
    const TreeShape shape = codeTable_.Build(codeLengths, 19, BitOrder::LsbFirst);
    if (shape == TreeShape::Oversubscribed || shape == TreeShape::Empty) return false;
    uint8_t lengths[286 + 30] = {};
    const uint32_t total = nlit + ndist;
    for (uint32_t i = 0; i < total;) {
      bits.Refill();
      const uint32_t e = codeTable_.Entries()[bits.Buffer() & 0x7F];
      if (e & HuffmanTable::kInvalid) return false;
      bits.Drop(e & 0xFF);
      const uint32_t sym = e >> 16;
      if (sym < 16) {
        lengths[i++] = static_cast<uint8_t>(sym);
        continue;
      }
      uint32_t repeat = 0;
      uint8_t value = 0;
      if (sym == 16) {
        if (i == 0) return false;
        value = lengths[i - 1];
        repeat = 3 + bits.Take(2);
      } else if (sym == 17) {
        repeat = 3 + bits.Take(3);
      } else {
        repeat = 11 + bits.Take(7);
      }
      if (i + repeat > total) return false;
      std::fill(lengths + i, lengths + i + repeat, value);
      i += repeat;
    }
    if (lengths[256] == 0 || bits.Overrun()) return false;
    if (lit_.Build(lengths, nlit, BitOrder::LsbFirst) == TreeShape::Oversubscribed) return false;
    if (dist_.Build(lengths + nlit, ndist, BitOrder::LsbFirst) == TreeShape::Oversubscribed) return false;
    return Codes(bits, lit_, dist_);
  }

  bool Codes(LsbBits& bits, const HuffmanTable& lit, const HuffmanTable& dist) {
    const uint32_t* litTable = lit.Entries();
    const uint32_t* distTable = dist.Entries();
    uint8_t* out = out_;
    uint8_t* const end = outEnd_;
    for (;;) {
      bits.Refill();
      uint32_t e = Lookup(litTable, kLitRoot, bits.Buffer());
      if (e & HuffmanTable::kInvalid) return false;
      bits.Drop(e & 0xFF);
      uint32_t sym = e >> 16;
      if (sym < 256) {
        if (out == end) return false;
        *out++ = static_cast<uint8_t>(sym);
        continue;
      }
      if (sym == 256) break;
      sym -= 257;
      if (sym >= 29) return false;
      const uint32_t length = kLengthBase[sym] + bits.Take(kLengthExtra[sym]);
      e = Lookup(distTable, kDistRoot, bits.Buffer());
      if (e & HuffmanTable::kInvalid) return false;
      bits.Drop(e & 0xFF);
      const uint32_t dsym = e >> 16;
      if (dsym >= 30) return false;
      const uint32_t distance = kDistBase[dsym] + bits.Take(kDistExtra[dsym]);
      if (distance > static_cast<size_t>(out - windowStart_) || length > static_cast<size_t>(end - out)) {
        return false;
      }
      CopyMatch(out, distance, length);
      out += length;
    }
    out_ = out;
    return true;
  }

  std::vector<uint8_t> buffer_;
  size_t historyValid_ = 0;
  size_t fill_ = kHistory;  // where the next block's output begins
  uint8_t* out_ = nullptr;
  uint8_t* outEnd_ = nullptr;
  const uint8_t* windowStart_ = nullptr;
  HuffmanTable fixedLit_{kLitRoot, 15, 288};
  HuffmanTable fixedDist_{kDistRoot, 15, 32};
  HuffmanTable lit_{kLitRoot, 15, 288};
  HuffmanTable dist_{kDistRoot, 15, 32};
  HuffmanTable codeTable_{7, 7, 19};
};

}  // namespace

std::unique_ptr<BlockDecoder> MakeMszipDecoder() { return std::make_unique<MszipDecoder>(); }

}  // namespace unpack
