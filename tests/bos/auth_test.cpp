// The authorization server's login-frame parsing, de-roasting and cookie.
#include <gtest/gtest.h>

#include "VornAuth/auth.h"
#include "server-core/wire.h"

namespace {

std::vector<uint8_t> LoginFrame(const std::string& uin, const std::string& roasted, int pwLenDelta = 0) {
  WireWriter w;
  w.be32(1).be16(1).be16(static_cast<uint16_t>(uin.size())).bytes(uin);
  w.be16(2).be16(static_cast<uint16_t>(roasted.size() + pwLenDelta)).bytes(roasted);
  return w.buffer();
}

std::string Roasted(const std::string& pw) {
  static const uint8_t table[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                    0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};
  std::string out = pw;
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ table[i % 16]);
  return out;
}

TEST(AuthLogin, ParsesTheFirstTwoTlvsByPosition) {
  uint32_t uin = 0;
  std::string pw;
  auto f = LoginFrame("0123", Roasted("a-longer-password!"));
  ASSERT_TRUE(ParseLoginFrame(f.data(), f.size(), uin, pw));
  EXPECT_EQ(uin, 123u);
  EXPECT_EQ(pw, "a-longer-password!");
  f = LoginFrame("abc", Roasted("x"));
  ASSERT_TRUE(ParseLoginFrame(f.data(), f.size(), uin, pw));
  EXPECT_EQ(uin, 0u);
}

TEST(AuthLogin, RefusesShortLyingOrOverlongFrames) {
  uint32_t uin = 0;
  std::string pw;
  auto f = LoginFrame("1000", Roasted("secret"), 30);
  EXPECT_FALSE(ParseLoginFrame(f.data(), f.size(), uin, pw));
  f = LoginFrame("1000", Roasted("secret"));
  EXPECT_FALSE(ParseLoginFrame(f.data(), 14, uin, pw));  // only the first TLV
  f = LoginFrame("1000", Roasted(std::string(20, 'p')));
  EXPECT_FALSE(ParseLoginFrame(f.data(), f.size(), uin, pw));
  f = LoginFrame("1000", Roasted(std::string(19, 'p')));
  EXPECT_TRUE(ParseLoginFrame(f.data(), f.size(), uin, pw));
}

TEST(AuthLogin, CookieCarriesTheUinInItsFourPositions) {
  auto a = MakeCookie(0x11223344);
  auto b = MakeCookie(0x11223344);
  ASSERT_EQ(a.size(), 256u);
  EXPECT_EQ(a[33], 0x11);
  EXPECT_EQ(a[159], 0x22);
  EXPECT_EQ(a[97], 0x33);
  EXPECT_EQ(a[125], 0x44);
  EXPECT_NE(a, b);  // drawn from the system's random source
}

}  // namespace
