#include "unpack/huffman.h"

#include <algorithm>

namespace unpack {

namespace {

uint32_t Reverse(uint32_t code, unsigned length) {
  uint32_t out = 0;
  for (unsigned i = 0; i < length; ++i) {
    out = (out << 1) | (code & 1);
    code >>= 1;
  }
  return out;
}

uint32_t Entry(uint32_t symbol, uint32_t flags, uint32_t length) {
  return (symbol << 16) | flags | length;
}

// Writes `entry` into every slot of a table of `tableBits` index bits whose
// index starts with the `length` bits of `code`.
void Fill(uint32_t* table, unsigned tableBits, uint32_t code, unsigned length,
          BitOrder order, uint32_t entry) {
  const uint32_t repeat = 1u << (tableBits - length);
  if (order == BitOrder::MsbFirst) {
    uint32_t* first = table + (code << (tableBits - length));
    std::fill(first, first + repeat, entry);
    return;
  }
  const uint32_t base = Reverse(code, length);
  for (uint32_t i = 0; i < repeat; ++i) table[base + (i << length)] = entry;
}

}  // namespace

HuffmanTable::HuffmanTable(unsigned rootBits, unsigned maxLength, size_t maxSymbols)
    : rootBits_(rootBits), maxLength_(maxLength) {
  const size_t subSize = maxLength > rootBits ? (size_t{1} << (maxLength - rootBits)) : 0;
  entries_.resize((size_t{1} << rootBits) + maxSymbols * subSize);
}

TreeShape HuffmanTable::Build(const uint8_t* lengths, size_t count, BitOrder order) {
  uint32_t counts[33] = {};
  for (size_t i = 0; i < count; ++i) {
    if (lengths[i] > maxLength_) return TreeShape::Oversubscribed;
    ++counts[lengths[i]];
  }
  counts[0] = 0;
  int64_t left = 1;
  for (unsigned len = 1; len <= maxLength_; ++len) {
    left = (left << 1) - counts[len];
    if (left < 0) return TreeShape::Oversubscribed;
  }
  const bool empty = left == (int64_t{1} << maxLength_);
  uint32_t next[33] = {};
  uint32_t code = 0;
  for (unsigned len = 1; len <= maxLength_; ++len) {
    code = (code + counts[len - 1]) << 1;
    next[len] = code;
  }
  uint32_t* root = entries_.data();
  std::fill(root, root + (size_t{1} << rootBits_), Entry(0, kInvalid, 0));
  const unsigned subBits = maxLength_ > rootBits_ ? maxLength_ - rootBits_ : 0;
  uint32_t nextSub = 1u << rootBits_;
  // Symbols in order of length, then value: the canonical code order.
  for (unsigned len = 1; len <= maxLength_; ++len) {
    for (size_t sym = 0; sym < count; ++sym) {
      if (lengths[sym] != len) continue;
      const uint32_t c = next[len]++;
      if (len <= rootBits_) {
        Fill(root, rootBits_, c, len, order, Entry(static_cast<uint32_t>(sym), 0, len));
        continue;
      }
      const unsigned extra = len - rootBits_;
      const uint32_t prefix = c >> extra;
      const uint32_t slot = order == BitOrder::MsbFirst ? prefix : Reverse(prefix, rootBits_);
      if ((root[slot] & kLink) == 0) {
        std::fill(root + nextSub, root + nextSub + (1u << subBits), Entry(0, kInvalid, 0));
        root[slot] = Entry(nextSub, kLink, subBits);
        nextSub += 1u << subBits;
      }
      uint32_t* sub = root + (root[slot] >> 16);
      Fill(sub, subBits, c & ((1u << extra) - 1), extra, order,
           Entry(static_cast<uint32_t>(sym), 0, len));
    }
  }
  if (empty) return TreeShape::Empty;
  return left == 0 ? TreeShape::Complete : TreeShape::Incomplete;
}

}  // namespace unpack
