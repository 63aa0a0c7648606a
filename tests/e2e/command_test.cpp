// The command tools against the real session server: messages injected in a user's name,
// status queries, and the departure notice when the tool disconnects.
#include <gtest/gtest.h>

#include "VornAX/vornax.h"
#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.WriteIni(0);
    dir.WriteUser(1000, "[Main]\nPass=pw\n");
    dir.WriteUser(1001, "[Main]\nPass=pw\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  std::string Port() const { return std::to_string(dir.bosPort); }
  DataDir dir;
  ServerProcess auth, bos;
};

std::string MessageText(const Frame& f) {
  // Channel-4 TLV 5 value: sender (4), type, flags, length (2), text with NUL.
  auto tlvs = ParseTlvs(f.data, 21 + f.data[20] + 4);
  const Bytes& v = tlvs[5];
  if (v.size() < 8) return std::string();
  size_t n = static_cast<size_t>(v[6] | (v[7] << 8));
  return n > 0 && 8 + n <= v.size() ? std::string(v.begin() + 8, v.begin() + 8 + static_cast<long>(n) - 1) : std::string();
}

TEST_F(Commands, MessageReachesTheUserAndTheToolNeverStandsInForItsSender) {
  OscarClient user, watcher;
  ASSERT_TRUE(user.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  ASSERT_TRUE(watcher.SignOn(dir.authPort, dir.bosPort, 1001, "pw"));
  watcher.AddContacts({555, 1000});
  std::string out;
  EXPECT_EQ(RunProgram("VornCmd", {"127.0.0.1", Port(), "msg", "555", "0001000", "hello"}, out), 0);
  EXPECT_EQ(out, "Command msg send OK\n");
  auto in = user.WaitSnac(0x0004, 0x0007);
  ASSERT_TRUE(in);
  EXPECT_EQ(std::string(in->data.begin() + 21, in->data.begin() + 21 + in->data[20]), "555");
  EXPECT_EQ(MessageText(*in), "hello");
  // The tool's connection was no login of 555: its close tells the watchers nothing.
  EXPECT_FALSE(watcher.WaitSnac(0x0003, 0x000C, 500));

  // A command connection that speaks for 1000 and stays open: messages to 1000 still reach
  // the logged-in 1000, and its close is no departure of 1000.
  OscarClient tool;
  ASSERT_TRUE(tool.Connect(dir.bosPort));
  ASSERT_TRUE(tool.ReadFrame());
  std::string text = "from the tool";
  Bytes value = Cat({Le32(1000), Bytes{1, 0}, Le16(static_cast<uint16_t>(text.size() + 1)), Text(text), Bytes{0}});
  tool.SendFrame(2, Cat({Be16(4), Be16(6), Be16(0), Be32(0), Bytes{0xF3, 0x3A, 0xC1, 0x0C, 0x70, 0x18, 0, 0},
                         Be16(4), Bytes{4}, Text("1001"), Be16(5), Be16(static_cast<uint16_t>(value.size())), value,
                         Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}, Be16(6), Be16(0)}));
  auto toWatcher = watcher.WaitSnac(0x0004, 0x0007);
  ASSERT_TRUE(toWatcher);
  EXPECT_EQ(MessageText(*toWatcher), "from the tool");
  watcher.SendMessage(1000, "to the real 1000");
  EXPECT_TRUE(user.WaitSnac(0x0004, 0x0007));
  EXPECT_TRUE(tool.Quiet(300));
  tool.Close();
  EXPECT_FALSE(watcher.WaitSnac(0x0003, 0x000C, 500));

  EXPECT_EQ(RunProgram("VornCmd", {"127.0.0.1", Port(), "MSG", "555", "2000", "later"}, out), 0);
  ASSERT_TRUE(WaitFor([&] { return dir.Exists("olm/2000.olm"); }));
  EXPECT_NE(dir.ReadFile("olm/2000.olm").find("later"), std::string::npos);
}

TEST_F(Commands, StatusQueryShowsTheSessionOrOffline) {
  OscarClient user;
  ASSERT_TRUE(user.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  // Status 0x00010012 with the direct-connection block: internal 10.1.2.3, port 4000.
  user.SendSnac(0x0001, 0x001E, 1,
                Cat({Be16(6), Be16(4), Be32(0x00010012), Be16(8), Be16(2), Be16(0), Be16(0x0C), Be16(0x25),
                     Bytes{10, 1, 2, 3}, Be32(4000), Bytes{4, 0, 8, 1, 2, 3, 4}, Bytes(24, 0)}));
  user.SendSnac(0x0001, 0x000E, 2, {});
  ASSERT_TRUE(user.WaitSnac(0x0001, 0x000F));
  std::string out;
  EXPECT_EQ(RunProgram("VornCmd", {"127.0.0.1", Port(), "Stat", "1000"}, out), 0);
  EXPECT_EQ(out,
            "Command Stat send OK\nUIN=1000\nIP external 127.0.0.1\nIP internal 10.1.2.3\nPort        4000\n"
            "Connect inf=1\nStatus     =18\n");
  EXPECT_EQ(RunProgram("VornCmd", {"127.0.0.1", Port(), "STAT", "4242"}, out), 0);
  EXPECT_EQ(out, "Command STAT send OK\nUIN=4242 - offline\n");

  Cmd* cmd = Cmd_Create();
  Cmd_put_ICQServer(cmd, "127.0.0.1");
  Cmd_put_ICQPort(cmd, dir.bosPort);
  Cmd_GetUinInfo(cmd, 1000);
  int32_t status = -99;
  uint32_t value = 0;
  Cmd_get_Status(cmd, &status);
  EXPECT_EQ(status, 0);
  Cmd_get_uinInfo(cmd, 0, &value);
  EXPECT_EQ(value, 18u);
  Cmd_get_uinInfo(cmd, 3, &value);
  EXPECT_EQ(value, 4000u);
  Cmd_GetUinInfo(cmd, 4242);
  Cmd_get_uinInfo(cmd, 0, &value);
  EXPECT_EQ(value, 0xFFFFu);
  Cmd_put_UINfrom(cmd, 777);
  Cmd_put_UINto(cmd, 1000);
  Cmd_put_Message(cmd, "from a script");
  Cmd_SendMsg(cmd);
  Cmd_get_Status(cmd, &status);
  EXPECT_EQ(status, 0);
  Cmd_Release(cmd);
  auto in = user.WaitSnac(0x0004, 0x0007);
  ASSERT_TRUE(in);
  EXPECT_EQ(MessageText(*in), "from a script");
}

}  // namespace
