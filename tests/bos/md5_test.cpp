// MD5 against the RFC 1321 test suite, and the digest forms of the key-and-digest login.
#include <gtest/gtest.h>

#include "VornAuth/md5.h"
#include "VornAuth/md5_login.h"

namespace {

std::string Hex(const Md5Digest& d) {
  static const char* k = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) s += {k[b >> 4], k[b & 15]};
  return s;
}

std::string Raw(const Md5Digest& d) { return std::string(d.begin(), d.end()); }

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Hex(Md5("")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(Md5("a")), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Hex(Md5("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(Md5("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Hex(Md5("abcdefghijklmnopqrstuvwxyz")), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Hex(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Hex(Md5("12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
            "57edf4a22be3c955ac49da2e2107b67a");
  // Lengths around the padding boundary (55, 56, 64 bytes).
  EXPECT_EQ(Hex(Md5(std::string(55, 'a'))), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Hex(Md5(std::string(56, 'a'))), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Hex(Md5(std::string(64, 'a'))), "014842d480b571495a4a0363793f7367");
}

TEST(Md5Login, AcceptsTheFormsClientsSendAndNothingElse) {
  // The captured BitlBee login: key "3141592653", password pw10001, with the suffix.
  const uint8_t captured[16] = {0x46, 0xd1, 0x55, 0xed, 0xd9, 0x3a, 0x73, 0x7d,
                                0x07, 0x89, 0x79, 0xc2, 0x54, 0xbb, 0x25, 0x7b};
  std::string digest(reinterpret_cast<const char*>(captured), 16);
  EXPECT_TRUE(Md5DigestMatches("3141592653", "pw10001", false, digest));
  EXPECT_FALSE(Md5DigestMatches("3141592653", "pw10001", true, digest));
  EXPECT_FALSE(Md5DigestMatches("3141592654", "pw10001", false, digest));
  EXPECT_FALSE(Md5DigestMatches("3141592653", "pw10002", false, digest));
  // Without the suffix, and with the password hashed first (TLV 0x004C).
  EXPECT_TRUE(Md5DigestMatches("k", "pw", false, Raw(Md5("kpw"))));
  std::string hashed = Raw(Md5("pw"));
  EXPECT_TRUE(Md5DigestMatches("k", "pw", true, Raw(Md5("k" + hashed + "AOL Instant Messenger (SM)"))));
  EXPECT_TRUE(Md5DigestMatches("k", "pw", true, Raw(Md5("k" + hashed))));
  EXPECT_FALSE(Md5DigestMatches("k", "pw", false, Raw(Md5("k" + hashed))));
  EXPECT_FALSE(Md5DigestMatches("k", "pw", false, digest.substr(0, 15)));
}

}  // namespace
