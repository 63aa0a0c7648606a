// Password login at VornAuth, cookie login at VornBOS and the generic start-up requests.
#include <gtest/gtest.h>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

class SignOn : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.WriteIni(0);
    dir.WriteUser(1000, "[Main]\nPass=secret\nNick=Ann\n");
    dir.WriteUser(1001, "[Main]\nNick=NoPass\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  bool LogHas(const std::string& program, const std::string& text) {
    return WaitFor([&] { return dir.Log(program).find(text) != std::string::npos; }, 2000);
  }
  Bytes Cookie(uint32_t uin) {
    std::string s = dir.ReadFile("Cookie/" + std::to_string(uin));
    return Bytes(s.begin(), s.end());
  }
  // A logged-in client that has read the service families.
  void Login(OscarClient& c, uint32_t uin = 1000) { ASSERT_TRUE(c.SignOn(dir.authPort, dir.bosPort, uin, "secret")); }

  DataDir dir;
  ServerProcess auth, bos;
};

TEST_F(SignOn, PasswordLoginAnswersWithAddressAndCookie) {
  OscarClient c;
  ASSERT_TRUE(c.Connect(dir.authPort));
  auto hello = c.ReadFrame();
  ASSERT_TRUE(hello);
  Bytes roasted = Roast("secret");
  c.SendFrame(1, Cat({Be32(1), Be16(1), Be16(4), Text("1000"), Be16(2), Be16(6), roasted}));
  auto reply = c.ReadFrame();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->channel, 4);
  EXPECT_EQ(reply->seq, static_cast<uint16_t>(hello->seq + 1));
  auto tlvs = ParseTlvs(reply->data, 0);
  EXPECT_EQ(tlvs[1], Text("1000"));
  EXPECT_EQ(tlvs[5], Text("127.0.0.1:" + std::to_string(dir.bosPort)));
  ASSERT_EQ(tlvs[6].size(), 256u);
  EXPECT_EQ(tlvs[6][33], 0);
  EXPECT_EQ(tlvs[6][159], 0);
  EXPECT_EQ(tlvs[6][97], 0x03);
  EXPECT_EQ(tlvs[6][125], 0xE8);
  EXPECT_EQ(Cookie(1000), tlvs[6]);
}

// VornAuth at a negative log level: the number text read as atoi reads it, frames dumped,
// and every starting sequence number within 0..32767.
TEST(AuthServer, BlankAndSignedUinTextDumpsBelowZeroAndSmallStartingSequence) {
  DataDir dir;
  dir.WriteIni(-1);
  dir.WriteUser(123, "[Main]\nPass=secret\n");
  ServerProcess auth;
  ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  for (const char* text : {" 123", "\t+123"}) {
    OscarClient c;
    ASSERT_TRUE(c.Connect(dir.authPort));
    auto hello = c.ReadFrame();
    ASSERT_TRUE(hello);
    EXPECT_LE(hello->seq, 32767);
    std::string uin(text);
    c.SendFrame(1, Cat({Be32(1), Be16(1), Be16(static_cast<uint16_t>(uin.size())), Text(uin), Be16(2), Be16(6),
                        Roast("secret")}));
    auto reply = c.ReadFrame();
    ASSERT_TRUE(reply);
    auto tlvs = ParseTlvs(reply->data, 0);
    EXPECT_EQ(tlvs[1], Text("123")) << text;
    EXPECT_EQ(tlvs[6].size(), 256u) << text;
    EXPECT_EQ(dir.ReadFile("Cookie/123").size(), 256u);
  }
  for (int i = 0; i < 8; ++i) {
    OscarClient c;
    ASSERT_TRUE(c.Connect(dir.authPort));
    auto hello = c.ReadFrame();
    ASSERT_TRUE(hello);
    EXPECT_LE(hello->seq, 32767);
  }
  EXPECT_TRUE(WaitFor([&] { return dir.Log("VornAuth").find("Recv head") != std::string::npos; }, 2000));
  EXPECT_NE(dir.Log("VornAuth").find("Send head"), std::string::npos);
}

TEST_F(SignOn, WrongOrMissingPasswordIsRefusedAndEmptiesTheCookieFile) {
  OscarClient c;
  auto ok = c.AuthLogin(dir.authPort, 1000, "secret");
  ASSERT_TRUE(ok);
  auto refused = c.AuthLogin(dir.authPort, 1000, "Secret");
  ASSERT_TRUE(refused);
  auto tlvs = ParseTlvs(refused->data, 0);
  EXPECT_EQ(tlvs[8], Be16(5));
  EXPECT_EQ(tlvs[1], Text("1000"));
  EXPECT_TRUE(dir.Exists("Cookie/1000"));
  EXPECT_TRUE(Cookie(1000).empty());
  EXPECT_TRUE(LogHas("VornAuth", "User pass not eqvil"));
  // The cookie handed out before the refusal no longer admits the user.
  OscarClient b;
  auto reply = b.BosLogin(dir.bosPort, ParseTlvs(ok->data, 0)[6]);
  ASSERT_TRUE(reply);
  EXPECT_EQ(ParseTlvs(reply->data, 0)[8], Be16(5));

  auto noPass = c.AuthLogin(dir.authPort, 1001, "x");
  ASSERT_TRUE(noPass);
  EXPECT_EQ(ParseTlvs(noPass->data, 0)[8], Be16(5));
  EXPECT_TRUE(LogHas("VornAuth", "User pass not find"));
}

TEST(AuthIdle, AnsweredConnectionHeldOpenIsClosed) {
  DataDir dir;
  dir.WriteIni(0, "Auth_IdleClose=1\n");
  dir.WriteUser(1000, "[Main]\nPass=secret\n");
  ServerProcess auth;
  ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  OscarClient c;
  ASSERT_TRUE(c.Connect(dir.authPort));
  ASSERT_TRUE(c.ReadFrame());
  c.SendFrame(1, Cat({Be32(1), Be16(1), Be16(4), Text("1000"), Be16(2), Be16(6), Roast("secret")}));
  ASSERT_TRUE(c.ReadFrame());
  EXPECT_TRUE(c.Quiet(500));
  EXPECT_TRUE(c.WaitClosed(3000));
}

TEST_F(SignOn, MalformedLoginFramesAreRefused) {
  OscarClient c;
  for (const Bytes& body : {Cat({Be32(1), Be16(1), Be16(4), Text("1000")}),
                            Cat({Be32(1), Be16(1), Be16(4), Text("1000"), Be16(2), Be16(60), Roast("secret")}),
                            Cat({Be32(1), Be16(1), Be16(4), Text("1000"), Be16(2), Be16(20), Roast("secretsecretsecret12")})}) {
    ASSERT_TRUE(c.Connect(dir.authPort));
    ASSERT_TRUE(c.ReadFrame());
    c.SendFrame(1, body);
    auto reply = c.ReadFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(ParseTlvs(reply->data, 0)[8], Be16(5));
  }
}

TEST_F(SignOn, CookieLoginAndRefusalOfAChangedCookie) {
  OscarClient c;
  auto reply = c.AuthLogin(dir.authPort, 1000, "secret");
  ASSERT_TRUE(reply);
  Bytes cookie = ParseTlvs(reply->data, 0)[6];
  Bytes changed = cookie;
  changed[200] ^= 1;
  OscarClient bad;
  auto refusal = bad.BosLogin(dir.bosPort, changed);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(ParseTlvs(refusal->data, 0)[8], Be16(5));
  EXPECT_TRUE(bad.Quiet(200));

  OscarClient good;
  auto families = good.BosLogin(dir.bosPort, cookie);
  ASSERT_TRUE(families);
  EXPECT_TRUE(families->Is(0x0001, 0x0003));
  EXPECT_EQ(families->data.size(), 34u);
  EXPECT_TRUE(LogHas("VornBOS", "127.0.0.1     1000 - Connect"));
  EXPECT_EQ(Cookie(1000), cookie);  // only read
}

TEST_F(SignOn, SecondLoginClosesTheFirstConnection) {
  OscarClient first, second;
  Login(first);
  Login(second);
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_TRUE(LogHas("VornBOS", "First connection - disconnect"));
  second.SendSnac(0x0001, 0x0006, 9, {});
  EXPECT_TRUE(second.WaitSnac(0x0001, 0x0007));
}

TEST_F(SignOn, GenericStartUpRequestsAreAnsweredWithTheirRequestIds) {
  OscarClient c;
  Login(c);
  c.SendSnac(0x0001, 0x0017, 0x1111, Cat({Be16(1), Be16(3), Be16(0x13), Be16(2)}));
  auto motd = c.ReadFrame();
  auto versions = c.ReadFrame();
  ASSERT_TRUE(motd && versions);
  EXPECT_TRUE(motd->Is(0x0001, 0x0013));
  EXPECT_EQ(motd->data.size(), 24u);
  EXPECT_EQ(Bytes(motd->data.begin() + 6, motd->data.begin() + 10), Be32(0x1111));
  EXPECT_TRUE(versions->Is(0x0001, 0x0018));
  EXPECT_EQ(versions->seq, static_cast<uint16_t>(motd->seq + 1));
  EXPECT_EQ(Bytes(versions->data.begin() + 10, versions->data.end()), Cat({Be16(1), Be16(3), Be16(0x13), Be16(2)}));

  struct Case {
    uint16_t family, subtype, replyFamily, replySubtype;
    size_t size;
  };
  for (Case k : {Case{1, 6, 1, 7, 827}, Case{2, 2, 2, 3, 28}, Case{3, 2, 3, 3, 28}, Case{4, 4, 4, 5, 26},
                 Case{9, 2, 9, 3, 22}}) {
    c.SendSnac(k.family, k.subtype, 0xABCD0000u + k.subtype, {});
    auto f = c.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->Is(k.replyFamily, k.replySubtype)) << k.family << "/" << k.subtype;
    EXPECT_EQ(f->data.size(), k.size);
    EXPECT_EQ(Bytes(f->data.begin() + 6, f->data.begin() + 10), Be32(0xABCD0000u + k.subtype));
  }
  c.SendSnac(0x0001, 0x000E, 0x77, {});
  auto own = c.ReadFrame();
  ASSERT_TRUE(own);
  EXPECT_TRUE(own->Is(0x0001, 0x000F));
  EXPECT_EQ(own->data[10], 4);
  EXPECT_EQ(Bytes(own->data.begin() + 11, own->data.begin() + 15), Text("1000"));

  c.SendSnac(0x0001, 0x0008, 1, {});
  c.SendSnac(0x0005, 0x0001, 1, {});
  c.SendSnac(0x0001, 0x0004, 1, {});
  EXPECT_TRUE(c.Quiet(300));
  EXPECT_TRUE(LogHas("VornBOS", "Not supported SNAC FAMILY(0x5, 0x1)"));
  EXPECT_TRUE(LogHas("VornBOS", "Not supported SNAC(0x01,0x4)"));
}

}  // namespace
