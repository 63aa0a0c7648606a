// The ready-made reply frames of the start-up services.
#include <gtest/gtest.h>

#include "VornBOS/templates.h"
#include "server-core/wire.h"

namespace {

TEST(Templates, RateInformationHoldsFiveClassesAndTheirGroups) {
  const auto& f = RateInfoFrame();
  ASSERT_EQ(f.size(), 833u);
  EXPECT_EQ(GetBe16(&f[4]), 827);
  WireReader r(f.data() + 16, f.size() - 16);
  ASSERT_EQ(r.be16(), 5);
  const uint32_t first[9] = {1, 80, 2500, 2000, 1500, 800, 5861, 6000, 0};
  EXPECT_EQ(r.be16(), first[0]);
  for (int i = 1; i < 9; ++i) EXPECT_EQ(r.be32(), first[i]) << i;
  EXPECT_EQ(r.u8(), 0);
  r.skip(4 * 35);
  const uint16_t pairs[5] = {145, 6, 2, 2, 0};
  for (uint16_t id = 1; id <= 5; ++id) {
    EXPECT_EQ(r.be16(), id);
    uint16_t n = r.be16();
    EXPECT_EQ(n, pairs[id - 1]);
    if (id == 3) {
      EXPECT_EQ(r.be32(), 0x00020005u);
      EXPECT_EQ(r.be32(), 0x00040006u);
    } else {
      r.skip(4u * n);
    }
  }
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(Templates, FixedRepliesHaveTheirSizesAndValues) {
  EXPECT_EQ(ServiceFamiliesFrame().size(), 6u + 34);
  EXPECT_EQ(MotdFrame().size(), 6u + 24);
  EXPECT_EQ(LocationRightsFrame().size(), 6u + 28);
  EXPECT_EQ(BuddyRightsFrame().size(), 6u + 28);
  EXPECT_EQ(PrivacyRightsFrame().size(), 6u + 22);
  const auto& m = MessagingParamsFrame();
  ASSERT_EQ(m.size(), 6u + 26);
  const std::vector<uint8_t> body = {0, 2, 0, 0, 0, 3, 0x1F, 0x40, 0x03, 0xE7, 0x03, 0xE7, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(m.begin() + 16, m.end()), body);
  const auto& b = BuddyRightsFrame();
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 16, b.begin() + 22), (std::vector<uint8_t>{0, 2, 0, 2, 0x02, 0xEE}));
}

}  // namespace
