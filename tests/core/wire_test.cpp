// Bounds-checked wire reading and the wire writer.
#include <gtest/gtest.h>

#include <memory>

#include "server-core/wire.h"

namespace {

// A heap copy of exactly the given bytes, so that a read past them is caught by the sanitizer.
std::unique_ptr<uint8_t[]> Exact(const std::vector<uint8_t>& v) {
  std::unique_ptr<uint8_t[]> p(new uint8_t[v.size() ? v.size() : 1]);
  std::copy(v.begin(), v.end(), p.get());
  return p;
}

TEST(WireReaderTest, ReadsBothByteOrders) {
  std::vector<uint8_t> v{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04};
  auto p = Exact(v);
  WireReader r(p.get(), v.size());
  EXPECT_EQ(r.be16(), 0x1234);
  EXPECT_EQ(r.le16(), 0x7856);
  EXPECT_EQ(r.be32(), 0x9ABCDEF0u);
  EXPECT_EQ(r.le32(), 0x04030201u);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(WireReaderTest, ShortReadFailsYieldsZeroAndStaysFailed) {
  std::vector<uint8_t> v{0xAA, 0xBB, 0xCC};
  auto p = Exact(v);
  WireReader r(p.get(), v.size());
  EXPECT_EQ(r.be16(), 0xAABB);
  EXPECT_EQ(r.be16(), 0) << "one byte left";
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.pos(), 2u) << "a failed read does not move";
  EXPECT_EQ(r.u8(), 0) << "after a failure every read fails";
  EXPECT_FALSE(r.skip(0));
}

TEST(WireReaderTest, LyingLengthsAreRejected) {
  std::vector<uint8_t> v{0x05, 'a', 'b'};
  auto p = Exact(v);
  WireReader r(p.get(), v.size());
  EXPECT_TRUE(r.text8().empty());
  EXPECT_FALSE(r.ok());

  std::vector<uint8_t> m{0xFF, 0xFF, 'x', 0};
  auto q = Exact(m);
  WireReader r2(q.get(), m.size());
  EXPECT_TRUE(r2.metaString().empty());
  EXPECT_FALSE(r2.ok());

  std::vector<uint8_t> good{0x03, 0x00, 'h', 'i', 0};
  auto g = Exact(good);
  WireReader r3(g.get(), good.size());
  EXPECT_EQ(r3.metaString(), std::string_view("hi\0", 3));
  EXPECT_TRUE(r3.ok());
}

TEST(WireReaderTest, SeekAndSkipStayInside) {
  std::vector<uint8_t> v{1, 2, 3, 4};
  auto p = Exact(v);
  WireReader r(p.get(), v.size());
  EXPECT_TRUE(r.seek(4));
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_TRUE(r.seek(1));
  EXPECT_TRUE(r.skip(3));
  EXPECT_FALSE(r.skip(1));
  WireReader r2(p.get(), v.size());
  EXPECT_FALSE(r2.seek(5));
  EXPECT_FALSE(r2.ok());
  WireReader empty(p.get(), 0);
  EXPECT_EQ(empty.le32(), 0u);
  EXPECT_TRUE(empty.bytes(1).empty());
  EXPECT_FALSE(empty.ok());
}

TEST(WireWriterTest, WritesFieldsAndPatches) {
  WireWriter w;
  w.u8(1).be16(0x0203).le16(0x0504).be32(0x06070809).le32(0x0D0C0B0A);
  w.text8("ab").metaString("cd").tlv(0x0004, "xy").tlv16(0x0008, 0x1234).tlv32(0x0006, 0xC0A80001);
  size_t at = w.size();
  w.be16(0).le16(0);
  w.patchBe16(at, 0xBEEF);
  w.patchLe16(at + 2, 0xBEEF);
  std::vector<uint8_t> expected{1,    2,    3,    4,    5,    6,    7,    8,    9,    0x0A, 0x0B, 0x0C, 0x0D,
                                2,    'a',  'b',  3,    0,    'c',  'd',  0,    0,    4,    0,    2,    'x',
                                'y',  0,    8,    0,    2,    0x12, 0x34, 0,    6,    0,    4,    0xC0, 0xA8,
                                0,    1,    0xBE, 0xEF, 0xEF, 0xBE};
  EXPECT_EQ(w.buffer(), expected);
}

TEST(WireWriterTest, Text8IsClippedTo255Bytes) {
  WireWriter w;
  w.text8(std::string(300, 'q'));
  ASSERT_EQ(w.size(), 256u);
  EXPECT_EQ(w.buffer()[0], 255);
}

}  // namespace
