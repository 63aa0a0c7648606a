// Bit readers over one data block held in memory. Reads past the end of the
// block yield zero bits and are counted, so a decoder can tell a short block
// from a good one without ever touching bytes it was not given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace unpack {

// Deflate order: bytes fill the buffer from the least significant bit.
class LsbBits {
 public:
  LsbBits(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  // Makes at least 56 bits available.
  void Refill() {
    if (end_ - p_ >= 8) {
      uint64_t v = 0;
      for (int i = 7; i >= 0; --i) v = (v << 8) | p_[i];
      buf_ |= v << count_;
      p_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      uint64_t byte = 0;
      if (p_ < end_) {
        byte = *p_++;
      } else {
        ++pad_;
      }
      buf_ |= byte << count_;
      count_ += 8;
    }
  }
  uint64_t Buffer() const { return buf_; }
  void Drop(unsigned n) {
    buf_ >>= n;
    count_ -= n;
  }
  // Takes n <= 32 bits; the caller has refilled enough of them.
  uint32_t Take(unsigned n) {
    const uint32_t v = static_cast<uint32_t>(buf_ & ((uint64_t{1} << n) - 1));
    Drop(n);
    return v;
  }
  uint32_t Read(unsigned n) {
    if (count_ < n) Refill();
    return Take(n);
  }
  // True once bits beyond the end of the block have been consumed.
  bool Overrun() const { return count_ < pad_ * 8; }
  // Drops the bits up to the next byte boundary and hands over the byte
  // position; the caller continues with Resume(). Returns nullptr when the
  // boundary lies beyond the block.
  const uint8_t* AlignToByte() {
    Drop(count_ & 7);
    if (count_ < pad_ * 8) return nullptr;
    const uint8_t* at = p_ - (count_ / 8 - pad_);
    buf_ = 0;
    count_ = 0;
    pad_ = 0;
    return at;
  }
  void Resume(const uint8_t* at) {
    p_ = at;
    buf_ = 0;
    count_ = 0;
    pad_ = 0;
  }
  const uint8_t* End() const { return end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
  unsigned pad_ = 0;
};

// LZX order: little-endian 16-bit words, each read from its most significant bit.
class MsbWordBits {
 public:
  MsbWordBits(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  // Makes at least 49 bits available.
  void Refill() {
    while (count_ <= 48) {
      uint64_t word = 0;
      if (end_ - p_ >= 2) {
        word = static_cast<uint64_t>(p_[0]) | (static_cast<uint64_t>(p_[1]) << 8);
        p_ += 2;
      } else {
        if (p_ < end_) ++p_;  // a lone last byte is no whole word
        pad_ += 2;
      }
      buf_ |= word << (48 - count_);
      count_ += 16;
    }
  }
  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(buf_ >> (64 - n)); }
  void Drop(unsigned n) {
    buf_ <<= n;
    count_ -= n;
  }
  uint32_t Take(unsigned n) {
    if (n == 0) return 0;
    const uint32_t v = Peek(n);
    Drop(n);
    return v;
  }
  uint32_t Read(unsigned n) {
    if (count_ < n) Refill();
    return Take(n);
  }
  uint64_t Buffer() const { return buf_; }
  bool Overrun() const { return count_ < pad_ * 8; }
  // Drops the rest of the current word, or a whole word when at a word
  // boundary, and hands over the byte position that follows.
  const uint8_t* AlignForRawBytes() {
    if (count_ == 0) Refill();
    const unsigned rest = count_ % 16;
    Drop(rest != 0 ? rest : 16);
    if (count_ < pad_ * 8) return nullptr;
    const uint8_t* at = p_ - (count_ / 8 - pad_);
    Resume(at);
    return at;
  }
  void Resume(const uint8_t* at) {
    p_ = at;
    buf_ = 0;
    count_ = 0;
    pad_ = 0;
  }
  const uint8_t* End() const { return end_; }
  // Byte position of the next unread bit, when the reader sits on a word boundary.
  const uint8_t* Position() const { return p_ - (count_ / 8 - pad_); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
  unsigned pad_ = 0;
};

// Copies a back-reference inside one linear buffer (source before target,
// possibly overlapping) without writing past the last byte of the match.
inline void CopyMatch(uint8_t* dst, size_t distance, size_t length) {
  const uint8_t* src = dst - distance;
  if (distance >= 8) {
    while (length >= 8) {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
      length -= 8;
    }
  } else if (distance == 1) {
    std::memset(dst, *src, length);
    return;
  }
  while (length-- > 0) *dst++ = *src++;
}

}  // namespace unpack
