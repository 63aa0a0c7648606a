// Random and truncated requests through the dispatcher: nothing may read or write past the
// received bytes (the sanitizer build turns any such access into a failure).
#include <random>

#include "VornBOS/dispatcher.h"
#include "server-core/wire.h"
#include "tests/bos/bos_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Served {
  uint16_t family, subtype;
};

constexpr Served kServed[] = {{1, 0x0E}, {1, 0x17}, {1, 0x1E}, {2, 0x04}, {3, 0x04}, {4, 0x06},
                              {4, 0x0B}, {4, 0x14}, {0x13, 0x04}, {0x13, 0x05}, {0x13, 0x08}, {0x13, 0x09},
                              {0x13, 0x0A}, {0x13, 0x14}, {0x13, 0x18}, {0x13, 0x1A}, {0x15, 0x02}};

// A body that often looks like the real thing: meta envelopes of the session's own number,
// message channels 1, 2 and 4, short length-prefixed numbers; then cut at a random length.
Bytes RandomBody(std::mt19937& rng, const Served& s, uint32_t owner) {
  std::uniform_int_distribution<int> byte(0, 255);
  WireWriter w;
  if (s.family == 0x15) {
    static const uint16_t kSubtypes[] = {0x03EA, 0x03F3, 0x03FD, 0x0406, 0x042E, 0x04B2, 0x04BA,
                                         0x0515, 0x0573, 0x1482, 0x04D0, 0x055F, 0x0533, 0x0569};
    uint16_t type = rng() % 4 == 0 ? 0x003C : 0x07D0;
    w.be16(1).be16(static_cast<uint16_t>(rng() % 300)).le16(0).le32(owner).le16(type).le16(1);
    w.le16(kSubtypes[rng() % std::size(kSubtypes)]);
    if (rng() % 2) w.le16(rng() % 2 ? 0x0136 : 0x015E).le16(static_cast<uint16_t>(rng() % 40));
  } else if (s.family == 0x13 && s.subtype >= 0x08 && s.subtype <= 0x0A) {
    // Stored-list items: name, group, id, type, TLV block.
    for (int n = static_cast<int>(rng() % 3); n >= 0; --n)
      w.be16(5).bytes("1000" + std::to_string(rng() % 3)).be16(1).be16(static_cast<uint16_t>(rng() % 4))
          .be16(static_cast<uint16_t>(rng() % 2)).be16(static_cast<uint16_t>(rng() % 2 ? 0 : 4)).be16(0x66).be16(0);
  } else if (s.family == 4 || s.family == 0x13) {
    if (s.family == 4) w.zeros(8).be16(static_cast<uint16_t>(1 + rng() % 4));
    w.text8(std::to_string(1000 + rng() % 3));
    w.be16(static_cast<uint16_t>(rng() % 6)).be16(static_cast<uint16_t>(rng() % 64));
  }
  size_t extra = rng() % 96;
  for (size_t i = 0; i < extra; ++i) w.u8(static_cast<uint8_t>(byte(rng)));
  Bytes body = w.buffer();
  body.resize(rng() % (body.size() + 1));
  return body;
}

TEST_F(BosUnit, RandomRequestsStayInsideTheirBytes) {
  ClientInfo& a = Session(1000);
  ClientInfo& b = Session(1001);
  std::mt19937 rng(20261207);
  size_t replies = 0;
  for (int i = 0; i < 20000; ++i) {
    const Served& s = kServed[rng() % std::size(kServed)];
    WireWriter snac;
    snac.be16(s.family).be16(s.subtype).be16(0).be32(static_cast<uint32_t>(i));
    Bytes body = RandomBody(rng, s, a.UIN);
    snac.bytes(body.data(), body.size());
    Bytes data = snac.buffer();
    data.resize(rng() % 8 == 0 ? rng() % (data.size() + 1) : data.size());  // sometimes cut the header too
    Receive(a, data);
    a.in.waitBytes = 0;
    ReadFLAP(a);
    replies += a.sendQueue.size() + b.sendQueue.size();
    a.sendQueue.clear();
    b.sendQueue.clear();
  }
  EXPECT_EQ(SessionCount(), 2u);
  EXPECT_GT(replies, 1000u);  // the requests do reach the handlers
}

}  // namespace
