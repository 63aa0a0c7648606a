// Many frames in one write, and a close right behind them: every frame is handled, in order,
// before the close; replies leave together and in order.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

// One channel-1 message frame as a client sends it.
Bytes MessageFrame(uint32_t to, const std::string& text, uint16_t seq) {
  std::string t = std::to_string(to);
  Bytes tlv = Channel1Tlv(text);
  Bytes snac = Cat({Be16(4), Be16(6), Be16(0), Be32(seq), Bytes{1, 2, 3, 4, 5, 6, 7, 8}, Be16(1),
                    Bytes{static_cast<uint8_t>(t.size())}, Text(t), Be16(2), Be16(static_cast<uint16_t>(tlv.size())), tlv});
  return Cat({Bytes{0x2A, 2}, Be16(seq), Be16(static_cast<uint16_t>(snac.size())), snac});
}

class Burst : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.WriteIni(9);
    for (uint32_t u : {2000u, 2001u}) dir.WriteUser(u, "[Main]\nPass=pw\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  DataDir dir;
  ServerProcess auth, bos;
};

TEST_F(Burst, FramesSentJustBeforeACloseAreAllRoutedInOrder) {
  OscarClient a, b;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 2000, "pw"));
  ASSERT_TRUE(b.SignOn(dir.authPort, dir.bosPort, 2001, "pw"));
  Bytes burst;
  for (int i = 0; i < 40; ++i) burst = Cat({burst, MessageFrame(2001, "burst " + std::to_string(i), static_cast<uint16_t>(i))});
  ASSERT_TRUE(a.SendRaw(burst));
  a.Close();
  for (int i = 0; i < 40; ++i) {
    auto m = b.WaitSnac(4, 7, 3000);
    ASSERT_TRUE(m) << "message " << i;
    std::string text = "burst " + std::to_string(i);
    ASSERT_GE(m->data.size(), text.size());
    EXPECT_EQ(std::string(m->data.end() - static_cast<long>(text.size()), m->data.end()), text);
  }
  // The close is logged after the last message was routed. The log reaches the file at the end
  // of an event round, after the round's frames were sent, so it is waited for; the readiness
  // probe's connection logs a close of its own, so only a close after 2000's connect counts.
  std::string log;
  size_t close = std::string::npos;
  ASSERT_TRUE(WaitFor([&] {
    log = dir.Log("VornBOS");
    size_t connect = log.find("     2000 - Connect");
    close = connect == std::string::npos ? connect : log.find("User close socket=", connect);
    return close != std::string::npos;
  }, 3000));
  size_t lastSend = log.rfind("Send fast msg from 2000 to 2001");
  EXPECT_NE(lastSend, std::string::npos);
  EXPECT_LT(lastSend, close);
}

}  // namespace
