// LZX: verbatim, aligned-offset and uncompressed blocks over a window of
// 2^15 to 2^21 bytes, with the E8 call translation undone on each 32 KB frame.
// Every data block of a folder is one frame; blocks may span frames.
#include <algorithm>
#include <cstring>
#include <vector>

#include "unpack/bits.h"
#include "unpack/decoder.h"
#include "unpack/huffman.h"

namespace unpack {

namespace {

constexpr unsigned kMainRoot = 11;
constexpr unsigned kLengthRoot = 10;
constexpr unsigned kMaxCodeLength = 16;
constexpr size_t kMaxMainSymbols = 256 + 8 * 50;
constexpr size_t kLengthSymbols = 249;
constexpr size_t kLengthSlack = 64;  // pretree runs may spill past the range they fill
constexpr uint32_t kFramesWithE8 = 32768;

enum BlockType : uint32_t { kNone = 0, kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

struct SlotTables {
  uint32_t base[51];
  uint8_t extra[51];
  SlotTables() {
    uint32_t b = 0;
    for (unsigned i = 0; i < 51; ++i) {
      extra[i] = static_cast<uint8_t>(i < 4 ? 0 : std::min<unsigned>((i - 2) / 2, 17));
      base[i] = b;
      b += 1u << extra[i];
    }
  }
};
const SlotTables kSlots;

unsigned PositionSlots(unsigned windowBits) {
  static const unsigned kSlotsFor[] = {30, 32, 34, 36, 38, 42, 50};
  return kSlotsFor[windowBits - 15];
}

inline uint32_t Lookup(const HuffmanTable& table, unsigned rootBits, const MsbWordBits& bits) {
  const uint32_t* t = table.Entries();
  uint32_t e = t[bits.Peek(rootBits)];
  if (e & HuffmanTable::kLink) {
    const unsigned sub = e & 0xFF;
    e = t[(e >> 16) + ((bits.Buffer() >> (64 - rootBits - sub)) & ((1u << sub) - 1))];
  }
  return e;
}

class LzxDecoder final : public BlockDecoder {
 public:
  explicit LzxDecoder(unsigned windowBits)
      : windowSize_(size_t{1} << windowBits),
        mainSymbols_(256 + 8 * PositionSlots(windowBits)),
        window_(windowSize_ + 16),
        translated_(kMaxBlockOutput + 16) {
    Reset();
  }

  void Reset() override {
    r_[0] = r_[1] = r_[2] = 1;
    std::fill(std::begin(mainLengths_), std::end(mainLengths_), 0);
    std::fill(std::begin(lengthLengths_), std::end(lengthLengths_), 0);
    headerRead_ = false;
    blockType_ = kNone;
    blockRemaining_ = 0;
    blockLength_ = 0;
    e8Seen_ = false;
    e8FileSize_ = 0;
    position_ = 0;
    total_ = 0;
    frame_ = 0;
  }

  const uint8_t* Decode(const uint8_t* in, size_t inSize, size_t outSize) override {
    if (outSize == 0 || outSize > kMaxBlockOutput) return nullptr;
    if (position_ == windowSize_) position_ = 0;
    if (position_ + outSize > windowSize_) return nullptr;
    MsbWordBits bits(in, inSize);
    if (blockType_ == kUncompressed) rawAt_ = in;  // raw bytes or their pad continue here
    const size_t frameStart = position_;
    frameStart_ = frameStart;
    const size_t frameEnd = position_ + outSize;
    if (!headerRead_) {
      headerRead_ = true;
      if (bits.Read(1) != 0) {
        const uint32_t high = bits.Read(16);
        e8FileSize_ = static_cast<int32_t>((high << 16) | bits.Read(16));
      }
    }
    while (position_ < frameEnd) {
      if (blockRemaining_ == 0 && !ReadBlockHeader(bits)) return nullptr;
      const size_t run = std::min<size_t>(blockRemaining_, frameEnd - position_);
      const bool ok = blockType_ == kUncompressed ? CopyRaw(bits, run) : DecodeRun(bits, run);
      if (!ok) return nullptr;
      blockRemaining_ -= static_cast<uint32_t>(run);
    }
    if (blockType_ == kUncompressed) {
      // A pad byte after an odd-sized block may already sit in this frame.
      if (blockRemaining_ == 0 && (blockLength_ & 1) && rawAt_ < bits.End()) {
        ++rawAt_;
        padPending_ = false;
      }
    } else if (bits.Overrun()) {
      return nullptr;
    }
    const uint8_t* result = Translate(window_.data() + frameStart, outSize);
    total_ += outSize;
    ++frame_;
    return result;
  }

 private:
  bool ReadBlockHeader(MsbWordBits& bits) {
    if (blockType_ == kUncompressed) {
      // Back from raw bytes: skip the pad of an odd-sized block, then read bits again.
      const uint8_t* at = rawAt_ != nullptr ? rawAt_ : bits.Position();
      if (padPending_ && at < bits.End()) ++at;
      padPending_ = false;
      bits.Resume(at);
    }
    rawAt_ = nullptr;
    bits.Refill();
    blockType_ = bits.Take(3);
    const uint32_t high = bits.Take(16);
    blockLength_ = (high << 8) | bits.Take(8);
    blockRemaining_ = blockLength_;
    if (blockLength_ == 0) return false;
    switch (blockType_) {
      case kAligned:
        for (uint8_t& len : alignedLengths_) len = static_cast<uint8_t>(bits.Read(3));
        if (aligned_.Build(alignedLengths_, 8, BitOrder::MsbFirst) != TreeShape::Complete) return false;
        return ReadTrees(bits);
      case kVerbatim:
        return ReadTrees(bits);
      case kUncompressed:
        return StartRaw(bits);
      default:
        return false;
    }
  }

  bool ReadTrees(MsbWordBits& bits) {
    if (!ReadLengths(bits, mainLengths_, 0, 256) || !ReadLengths(bits, mainLengths_, 256, mainSymbols_)) {
      return false;
    }
    if (main_.Build(mainLengths_, mainSymbols_, BitOrder::MsbFirst) != TreeShape::Complete) return false;
    if (mainLengths_[0xE8] != 0) e8Seen_ = true;
    if (!ReadLengths(bits, lengthLengths_, 0, kLengthSymbols)) return false;
    const TreeShape shape = length_.Build(lengthLengths_, kLengthSymbols, BitOrder::MsbFirst);
    return (shape == TreeShape::Complete || shape == TreeShape::Empty) && !bits.Overrun();
  }

  // Code lengths travel as differences to the previous block's, coded with a
  // 20-symbol pretree.
  bool ReadLengths(MsbWordBits& bits, uint8_t* lengths, size_t first, size_t last) {
    uint8_t pre[20];
    for (uint8_t& len : pre) len = static_cast<uint8_t>(bits.Read(4));
    if (pretree_.Build(pre, 20, BitOrder::MsbFirst) != TreeShape::Complete) return false;
    const size_t limit = last + kLengthSlack;
    for (size_t x = first; x < last;) {
      bits.Refill();
      uint32_t e = Lookup(pretree_, 6, bits);
      bits.Drop(e & 0xFF);
      uint32_t z = e >> 16;
      size_t run = 1;
      uint32_t value = 0;
      if (z == 17) {
        run = 4 + bits.Take(4);
      } else if (z == 18) {
        run = 20 + bits.Take(5);
      } else if (z == 19) {
        run = 4 + bits.Take(1);
        e = Lookup(pretree_, 6, bits);
        bits.Drop(e & 0xFF);
        z = e >> 16;
        if (z > 16) return false;
        value = (lengths[x] + 17 - z) % 17;
      } else {
        value = (lengths[x] + 17 - z) % 17;
      }
      if (x + run > limit) return false;
      std::fill(lengths + x, lengths + x + run, static_cast<uint8_t>(value));
      x += run;
    }
    return !bits.Overrun();
  }

  bool StartRaw(MsbWordBits& bits) {
    const uint8_t* at = bits.AlignForRawBytes();
    if (at == nullptr || bits.End() - at < 12) return false;
    for (int i = 0; i < 3; ++i) {
      r_[i] = at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
      at += 4;
    }
    rawAt_ = at;
    padPending_ = (blockLength_ & 1) != 0;
    e8Seen_ = true;
    return true;
  }

  bool CopyRaw(MsbWordBits& bits, size_t run) {
    if (rawAt_ == nullptr) rawAt_ = bits.Position();  // raw bytes continue in a new frame
    if (static_cast<size_t>(bits.End() - rawAt_) < run) return false;
    std::memcpy(window_.data() + position_, rawAt_, run);
    rawAt_ += run;
    position_ += run;
    return true;
  }

  bool DecodeRun(MsbWordBits& bits, size_t run) {
    uint8_t* const window = window_.data();
    const size_t runEnd = position_ + run;
    const bool aligned = blockType_ == kAligned;
    size_t pos = position_;
    while (pos < runEnd) {
      bits.Refill();
      uint32_t e = Lookup(main_, kMainRoot, bits);
      bits.Drop(e & 0xFF);
      const uint32_t sym = e >> 16;
      if (sym < 256) {
        window[pos++] = static_cast<uint8_t>(sym);
        continue;
      }
      uint32_t length = (sym - 256) & 7;
      const uint32_t slot = (sym - 256) >> 3;
      if (length == 7) {
        e = Lookup(length_, kLengthRoot, bits);
        if (e & HuffmanTable::kInvalid) return false;
        bits.Drop(e & 0xFF);
        length += e >> 16;
      }
      length += 2;
      uint32_t offset = 0;
      if (slot < 3) {
        offset = r_[slot];
        r_[slot] = r_[0];
        r_[0] = offset;
      } else {
        bits.Refill();
        offset = ReadOffset(bits, slot, aligned);
        r_[2] = r_[1];
        r_[1] = r_[0];
        r_[0] = offset;
      }
      if (length > runEnd - pos || !CopyFromWindow(pos, offset, length)) return false;
      pos += length;
    }
    position_ = pos;
    return !bits.Overrun();
  }

  uint32_t ReadOffset(MsbWordBits& bits, uint32_t slot, bool aligned) {
    const unsigned extra = kSlots.extra[slot];
    uint32_t offset = kSlots.base[slot] - 2;
    if (aligned && extra >= 3) {
      offset += bits.Take(extra - 3) << 3;
      const uint32_t e = aligned_.Entries()[bits.Peek(7)];
      bits.Drop(e & 0xFF);
      return offset + (e >> 16);
    }
    return offset + bits.Take(extra);
  }

  // Copies a match ending inside the window; the source may wrap around its end.
  bool CopyFromWindow(size_t pos, uint32_t offset, uint32_t length) {
    if (offset == 0 || offset > windowSize_ || offset > total_ + (pos - frameStart_)) return false;
    uint8_t* window = window_.data();
    if (offset <= pos) {
      CopyMatch(window + pos, offset, length);
      return true;
    }
    size_t src = windowSize_ - (offset - pos);
    for (uint32_t i = 0; i < length; ++i) {
      window[pos + i] = window[src];
      if (++src == windowSize_) src = 0;
    }
    return true;
  }

  const uint8_t* Translate(const uint8_t* frame, size_t size) {
    if (e8FileSize_ == 0 || !e8Seen_ || frame_ >= kFramesWithE8 || size <= 10) return frame;
    uint8_t* data = translated_.data();
    std::memcpy(data, frame, size);
    const int32_t base = static_cast<int32_t>(total_);
    const size_t limit = size - 10;  // the last 10 bytes of a frame are never translated
    for (size_t i = 0; i < limit;) {
      const void* found = std::memchr(data + i, 0xE8, limit - i);
      if (found == nullptr) break;
      i = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
      uint8_t* p = data + i + 1;
      const int32_t abs = static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
      const int32_t here = base + static_cast<int32_t>(i);
      if (abs >= -here && abs < e8FileSize_) {
        const uint32_t rel = static_cast<uint32_t>(abs >= 0 ? abs - here : abs + e8FileSize_);
        p[0] = static_cast<uint8_t>(rel);
        p[1] = static_cast<uint8_t>(rel >> 8);
        p[2] = static_cast<uint8_t>(rel >> 16);
        p[3] = static_cast<uint8_t>(rel >> 24);
      }
      i += 5;
    }
    return data;
  }

  const size_t windowSize_;
  const size_t mainSymbols_;
  std::vector<uint8_t> window_;
  std::vector<uint8_t> translated_;
  HuffmanTable main_{kMainRoot, kMaxCodeLength, kMaxMainSymbols};
  HuffmanTable length_{kLengthRoot, kMaxCodeLength, kLengthSymbols};
  HuffmanTable aligned_{7, 7, 8};
  HuffmanTable pretree_{6, kMaxCodeLength, 20};
  uint8_t mainLengths_[kMaxMainSymbols + kLengthSlack] = {};
  uint8_t lengthLengths_[kLengthSymbols + kLengthSlack] = {};
  uint8_t alignedLengths_[8] = {};
  uint32_t r_[3] = {1, 1, 1};
  bool headerRead_ = false;
  uint32_t blockType_ = kNone;
  uint32_t blockLength_ = 0;
  uint32_t blockRemaining_ = 0;
  const uint8_t* rawAt_ = nullptr;
  bool padPending_ = false;
  bool e8Seen_ = false;
  int32_t e8FileSize_ = 0;
  size_t position_ = 0;
  size_t frameStart_ = 0;  // window position of the current frame's first byte
  uint64_t total_ = 0;
  uint32_t frame_ = 0;
};

}  // namespace

std::unique_ptr<BlockDecoder> MakeLzxDecoder(unsigned windowBits) {
  return std::make_unique<LzxDecoder>(windowBits);
}

}  // namespace unpack
