// Canonical Huffman decode tables shared by the deflate and LZX decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace unpack {

// Which end of the bit buffer a code starts at: deflate packs codes from the
// least significant bit, LZX reads its 16-bit words from the most significant.
enum class BitOrder { LsbFirst, MsbFirst };

enum class TreeShape { Empty, Complete, Incomplete, Oversubscribed };

// A two-level lookup table. Entry layout: bits 0-7 code length (for a link:
// the number of index bits of the sub-table), bit 8 link flag, bit 9 unused
// code, bits 16-31 symbol (for a link: first entry of the sub-table).
class HuffmanTable {
 public:
  static constexpr uint32_t kLink = 0x100;
  static constexpr uint32_t kInvalid = 0x200;

  HuffmanTable(unsigned rootBits, unsigned maxLength, size_t maxSymbols);

  // Builds the table from one code length per symbol (0 = symbol unused).
  TreeShape Build(const uint8_t* lengths, size_t count, BitOrder order);

  unsigned RootBits() const { return rootBits_; }
  const uint32_t* Entries() const { return entries_.data(); }

 private:
  unsigned rootBits_;
  unsigned maxLength_;
  std::vector<uint32_t> entries_;
};

}  // namespace unpack
