// Bounds-checked reading and writing of wire data. A reader never moves past the bytes it
// was given: a read that does not fit fails, sets the reader's error flag and yields zero.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

class WireReader {
 public:
  WireReader(const uint8_t* data, size_t len) : data_(data), len_(len) {}

  size_t pos() const { return pos_; }
  size_t size() const { return len_; }
  size_t remaining() const { return len_ - pos_; }
  bool ok() const { return ok_; }
  bool has(size_t n) const { return ok_ && n <= remaining(); }
  const uint8_t* here() const { return data_ + pos_; }

  bool seek(size_t pos) {
    if (pos > len_) return fail();
    pos_ = pos;
    return true;
  }
  bool skip(size_t n) { return has(n) ? (pos_ += n, true) : fail(); }

  uint8_t u8() { return has(1) ? data_[pos_++] : (fail(), 0); }
  uint16_t be16() { return static_cast<uint16_t>(take(2, true)); }
  uint32_t be32() { return static_cast<uint32_t>(take(4, true)); }
  uint16_t le16() { return static_cast<uint16_t>(take(2, false)); }
  uint32_t le32() { return static_cast<uint32_t>(take(4, false)); }

  // A run of n bytes; an empty view (and the error flag) when they are not all there.
  std::string_view bytes(size_t n) {
    if (!has(n)) return fail(), std::string_view();
    std::string_view v(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return v;
  }
  // A text preceded by a one-byte length (the screen-name form).
  std::string_view text8() { return bytes(u8()); }
  // An ICQ meta string: little-endian 16-bit length (terminator included), then the bytes.
  std::string_view metaString() { return bytes(le16()); }

 private:
  bool fail() {
    ok_ = false;
    return false;
  }
  uint64_t take(size_t n, bool bigEndian) {
    if (!has(n)) return fail(), 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
      uint64_t b = data_[pos_ + (bigEndian ? i : n - 1 - i)];
      v = (v << 8) | b;
    }
    pos_ += n;
    return v;
  }

  const uint8_t* data_;
  size_t len_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Appends wire data to a growing buffer.
class WireWriter {
 public:
  WireWriter() = default;
  explicit WireWriter(size_t reserve) { buf_.reserve(reserve); }

  std::vector<uint8_t>& buffer() { return buf_; }
  const std::vector<uint8_t>& buffer() const { return buf_; }
  size_t size() const { return buf_.size(); }

  WireWriter& u8(uint8_t v) { return buf_.push_back(v), *this; }
  WireWriter& be16(uint16_t v) { return put(v, 2, true); }
  WireWriter& be32(uint32_t v) { return put(v, 4, true); }
  WireWriter& le16(uint16_t v) { return put(v, 2, false); }
  WireWriter& le32(uint32_t v) { return put(v, 4, false); }
  WireWriter& bytes(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
    return *this;
  }
  WireWriter& bytes(std::string_view s) { return bytes(s.data(), s.size()); }
  WireWriter& zeros(size_t n) { return buf_.insert(buf_.end(), n, 0), *this; }
  // A text preceded by a one-byte length.
  WireWriter& text8(std::string_view s) {
    size_t n = s.size() > 255 ? 255 : s.size();
    return u8(static_cast<uint8_t>(n)).bytes(s.data(), n);
  }
  // A TLV with a raw value.
  WireWriter& tlv(uint16_t type, std::string_view value) {
    return be16(type).be16(static_cast<uint16_t>(value.size())).bytes(value);
  }
  WireWriter& tlv16(uint16_t type, uint16_t value) { return be16(type).be16(2).be16(value); }
  WireWriter& tlv32(uint16_t type, uint32_t value) { return be16(type).be16(4).be32(value); }
  // An ICQ meta string: little-endian length counting the terminator, text, NUL.
  WireWriter& metaString(std::string_view s) {
    return le16(static_cast<uint16_t>(s.size() + 1)).bytes(s).u8(0);
  }

  // Overwrites a 16-bit number written earlier at offset pos.
  void patchBe16(size_t pos, uint16_t v) {
    buf_[pos] = static_cast<uint8_t>(v >> 8);
    buf_[pos + 1] = static_cast<uint8_t>(v);
  }
  void patchLe16(size_t pos, uint16_t v) {
    buf_[pos] = static_cast<uint8_t>(v);
    buf_[pos + 1] = static_cast<uint8_t>(v >> 8);
  }

 private:
  WireWriter& put(uint64_t v, size_t n, bool bigEndian) {
    for (size_t i = 0; i < n; ++i) {
      size_t shift = 8 * (bigEndian ? n - 1 - i : i);
      buf_.push_back(static_cast<uint8_t>(v >> shift));
    }
    return *this;
  }

  std::vector<uint8_t> buf_;
};

inline uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The number of decimal digits of v (1 for 0), in at most four comparisons.
inline size_t DecimalWidth(uint32_t v) {
  if (v < 100000) return v < 100 ? (v < 10 ? 1 : 2) : v < 1000 ? 3 : v < 10000 ? 4 : 5;
  return v < 10000000 ? (v < 1000000 ? 6 : 7) : v < 100000000 ? 8 : v < 1000000000 ? 9 : 10;
}

// "00" to "99": the digits of every number below 100, two characters each.
inline constexpr char kDecimalPairs[] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
    "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";

// Writes the decimal digits of v, two at a time, so that they end just before end; returns
// where they start. Ch is the buffer's character type.
template <typename Ch, typename U>
inline Ch* DigitsBefore(Ch* end, U v) {
  while (v >= 100) {
    const char* d = kDecimalPairs + 2 * (v % 100);
    v /= 100;
    *--end = static_cast<Ch>(d[1]);
    *--end = static_cast<Ch>(d[0]);
  }
  if (v >= 10) {
    *--end = static_cast<Ch>(kDecimalPairs[2 * v + 1]);
    *--end = static_cast<Ch>(kDecimalPairs[2 * v]);
  } else {
    *--end = static_cast<Ch>('0' + v);
  }
  return end;
}

// Writes the decimal digits of v at p; returns their number (DecimalWidth(v)).
inline size_t PutDecimalText(uint8_t* p, uint32_t v) {
  size_t width = DecimalWidth(v);
  DigitsBefore(p + width, v);
  return width;
}
