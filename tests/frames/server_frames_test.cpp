// Frames of the running servers: VornAuth's hello and login replies, VornBOS's hello and its
// status reply to a command frame, each compared whole with bytes written out by hand.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

// "2A 02 .." with 'text' in single quotes for ASCII.
Bytes Hex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      size_t end = text.find('\'', i + 1);
      out.insert(out.end(), text.begin() + static_cast<long>(i) + 1, text.begin() + static_cast<long>(end));
      i = end;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) continue;
    int v = std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0' : std::tolower(text[i]) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

// A received frame put back together: start byte, channel, sequence, length, data.
Bytes Whole(const Frame& f) {
  return Cat({Bytes{0x2A, f.channel}, Be16(f.seq), Be16(static_cast<uint16_t>(f.data.size())), f.data});
}

class ServerFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.WriteIni(0);
    dir.WriteUser(1000, "[Main]\nPass=secret\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  DataDir dir;
  ServerProcess auth, bos;
};

TEST_F(ServerFrames, AuthorizationHelloAndReplies) {
  const Bytes login = Cat({Hex("00 00 00 01  00 01 00 04 '1000'  00 02 00 06"), Roast("secret")});
  const Bytes wrong = Cat({Hex("00 00 00 01  00 01 00 04 '1000'  00 02 00 06"), Roast("Secret")});
  for (bool accepted : {true, false}) {
    OscarClient c;
    ASSERT_TRUE(c.Connect(dir.authPort));
    auto hello = c.ReadFrame();
    ASSERT_TRUE(hello);
    EXPECT_EQ(Whole(*hello), Cat({Hex("2A 01"), Be16(hello->seq), Hex("00 04  00 00 00 01")}));
    ASSERT_TRUE(c.SendFrame(1, accepted ? login : wrong));
    auto reply = c.ReadFrame();
    ASSERT_TRUE(reply);
    const Bytes seq = Be16(static_cast<uint16_t>(hello->seq + 1));
    if (accepted) {
      const std::string cookieText = dir.ReadFile("Cookie/1000");
      const Bytes cookie(cookieText.begin(), cookieText.end());
      ASSERT_EQ(cookie.size(), 256u);
      const std::string bosAddress = "127.0.0.1:" + std::to_string(dir.bosPort);
      EXPECT_EQ(Whole(*reply), Cat({Hex("2A 04"), seq, Be16(static_cast<uint16_t>(8 + 4 + bosAddress.size() + 260)),
                                    Hex("00 01 00 04 '1000'  00 05"), Be16(static_cast<uint16_t>(bosAddress.size())),
                                    Hex("'" + bosAddress + "'  00 06 01 00"), cookie}));
    } else {
      EXPECT_EQ(Whole(*reply), Cat({Hex("2A 04"), seq,
                                    Hex("00 38  00 01 00 04 '1000'"
                                        "  00 04 00 26 'http://127.0.0.1/vorn/login-error.html'  00 08 00 02 00 05")}));
    }
  }
}

TEST_F(ServerFrames, StatusReplyToACommandFrame) {
  OscarClient user;
  ASSERT_TRUE(user.SignOn(dir.authPort, dir.bosPort, 1000, "secret"));
  // Status 0x0001 0x0002 with the direct-connection block: internal address 10.1.2.3, port 4000.
  ASSERT_TRUE(user.SendSnac(0x0001, 0x001E, 0x42,
                            Hex("00 06 00 04 00 01 00 02  00 08 00 02 00 00"
                                "  00 0C 00 25 0A 01 02 03 00 00 0F A0 04 00 09 11 22 33 44")));
  user.SendSnac(0x0001, 0x000E, 0x43, {});
  ASSERT_TRUE(user.WaitSnac(0x0001, 0x000F));

  struct Query {
    const char* uin;
    Bytes want;
  } queries[] = {
      {"E8 03 00 00", Hex("2A 02 00 00 00 18  00 01 00 0F 00 00 00 00 00 00  7F 00 00 01  0A 01 02 03  A0 0F  01 00  02 00")},
      {"E9 03 00 00", Hex("2A 02 00 00 00 18  00 01 00 0F 00 00 00 00 00 00  00 00 00 00  00 00 00 00  00 00  FF FF FF FF")},
  };
  for (const Query& q : queries) {
    OscarClient tool;
    ASSERT_TRUE(tool.Connect(dir.bosPort));
    auto hello = tool.ReadFrame();
    ASSERT_TRUE(hello);
    EXPECT_EQ(Whole(*hello), Cat({Hex("2A 01"), Be16(hello->seq), Hex("00 04  00 00 00 01")}));
    ASSERT_TRUE(tool.SendRaw(Hex("2A 02 00 00 00 0A  00 01 00 0E 00 00 " + std::string(q.uin))));
    auto reply = tool.ReadFrame();
    ASSERT_TRUE(reply) << q.uin;
    EXPECT_EQ(Whole(*reply), q.want) << q.uin;
  }
}

}  // namespace
