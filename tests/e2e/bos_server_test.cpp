// The session server as a process: start-up, framing, service controls and the command line.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

class BosServer : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.WriteIni(0);
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  bool LogHas(const std::string& text) {
    return WaitFor([&] { return dir.Log("VornBOS").find(text) != std::string::npos; }, 2000);
  }
  DataDir dir;
  ServerProcess bos;
};

TEST_F(BosServer, StartUpLinesAndHelloFrame) {
  OscarClient c;
  ASSERT_TRUE(c.Connect(dir.bosPort));
  auto hello = c.ReadFrame();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->channel, 1);
  EXPECT_EQ(hello->data, (Bytes{0, 0, 0, 1}));
  std::string log = dir.Log("VornBOS");
  EXPECT_NE(log.find("      User dir          - " + dir.ServerPath("Db/")), std::string::npos);
  EXPECT_NE(log.find("       BOS port          - " + std::to_string(dir.bosPort)), std::string::npos);
  EXPECT_NE(log.find("VornBOS start"), std::string::npos);
  EXPECT_TRUE(LogHas("- Accept socket="));
}

TEST_F(BosServer, KeepAliveIsSkippedAndAFirstFrameThatIsNoLoginCloses) {
  OscarClient c;
  ASSERT_TRUE(c.Connect(dir.bosPort));
  ASSERT_TRUE(c.ReadFrame());
  c.SendRaw({0x2A, 0x05, 0x00, 0x01, 0x00, 0x00});
  EXPECT_TRUE(c.Quiet(200));
  c.SendSnac(0x0001, 0x0017, 1, {});
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_TRUE(LogHas("User close socket="));
}

TEST_F(BosServer, CommandFramesAreKnownByTheWholeFamilyAndSubtype) {
  // Same low bytes as the status query and the message, other high bytes: no command, and as
  // a first frame that is no login either, the connection is closed.
  OscarClient stat, msg;
  ASSERT_TRUE(stat.Connect(dir.bosPort));
  ASSERT_TRUE(stat.ReadFrame());
  stat.SendSnac(0xFF01, 0xAB0E, 1000, {});
  EXPECT_TRUE(stat.WaitClosed());
  ASSERT_TRUE(msg.Connect(dir.bosPort));
  ASSERT_TRUE(msg.ReadFrame());
  std::string text = "x";
  Bytes value = Cat({Le32(1000), Bytes{1, 0}, Le16(2), Text(text), Bytes{0}});
  msg.SendFrame(2, Cat({Be16(0x7704), Be16(0x1206), Be16(0), Be32(0), Bytes(8, 0), Be16(4), Bytes{4}, Text("2000"),
                        Be16(5), Be16(static_cast<uint16_t>(value.size())), value}));
  EXPECT_TRUE(msg.WaitClosed());
  EXPECT_FALSE(dir.Exists("olm/2000.olm"));
}

TEST_F(BosServer, CloseBeforeReadingTheHelloIsACleanClose) {
  for (int i = 0; i < 5; ++i) {
    OscarClient c;
    ASSERT_TRUE(c.Connect(dir.bosPort));
    c.Close();
  }
  EXPECT_TRUE(WaitFor([&] {
    std::string log = dir.Log("VornBOS");
    size_t n = 0;
    for (size_t at = log.find("User close socket="); at != std::string::npos; at = log.find("User close socket=", at + 1)) ++n;
    return n >= 5;  // the start-up probe closes too
  }));
  EXPECT_EQ(dir.Log("VornBOS").find("failed with error="), std::string::npos);
}

TEST_F(BosServer, EventsLeftForAClosedSessionAreLoggedAsNotFound) {
  // Two frames in one go, the first no login: the server closes the connection, and the
  // read events that reading the second frame posted come after the close.
  OscarClient c;
  ASSERT_TRUE(c.Connect(dir.bosPort));
  ASSERT_TRUE(c.ReadFrame());
  Bytes snac = Cat({Be16(1), Be16(0x17), Be16(0), Be32(1)});
  Bytes frame = Cat({Bytes{0x2A, 2, 0, 1}, Be16(static_cast<uint16_t>(snac.size())), snac});
  c.SendRaw(Cat({frame, frame}));
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_TRUE(LogHas("User close socket="));
  EXPECT_TRUE(LogHas("Not find socket="));
}

TEST_F(BosServer, BadStartByteAndEmptySnacFrameClose) {
  OscarClient a, b;
  ASSERT_TRUE(a.Connect(dir.bosPort));
  ASSERT_TRUE(b.Connect(dir.bosPort));
  a.SendRaw({0x2B, 0x02, 0x00, 0x01, 0x00, 0x05});
  b.SendRaw({0x2A, 0x02, 0x12, 0x34, 0x00, 0x00});
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());
  EXPECT_TRUE(LogHas("Bad FLAP (0x2b 0x2 0x__ 0x__ 0x5 0x0)"));
  EXPECT_TRUE(LogHas("FLAP size=0 (0x2a 0x2 0x34 0x12 0x00 0x00)"));
  EXPECT_TRUE(LogHas("- bad FLAP (read)"));
}

TEST_F(BosServer, HeaderArrivingByteByByteIsAssembled) {
  OscarClient c;
  ASSERT_TRUE(c.Connect(dir.bosPort));
  ASSERT_TRUE(c.ReadFrame());
  // A login frame too short to hold a cookie is refused, which shows it was read whole.
  Bytes frame = {0x2A, 0x01, 0x00, 0x01, 0x00, 0x08, 0, 0, 0, 1, 0, 6, 0, 0};
  for (uint8_t b : frame) {
    c.SendRaw({b});
    usleep(20000);
  }
  auto reply = c.ReadFrame();
  ASSERT_TRUE(reply);
  auto tlvs = ParseTlvs(reply->data, 0);
  EXPECT_EQ(tlvs[8], Be16(5));
  EXPECT_TRUE(c.Quiet(200));  // the refusal leaves the connection open
}

TEST_F(BosServer, PauseContinueAndStop) {
  OscarClient kept;
  ASSERT_TRUE(kept.Connect(dir.bosPort));
  ASSERT_TRUE(kept.ReadFrame());
  dir.WriteIni(6);
  bos.Signal(SIGUSR1);
  ASSERT_TRUE(LogHas("VornBOS - pause"));
  EXPECT_NE(dir.Log("VornBOS").find("Recv: waitBytes=6 isWaitHead=1"), std::string::npos);
  OscarClient refused;
  ASSERT_TRUE(refused.Connect(dir.bosPort));
  EXPECT_TRUE(refused.WaitClosed());
  EXPECT_TRUE(LogHas("VornBOS - paused. Connect ignored"));
  bos.Signal(SIGUSR2);
  ASSERT_TRUE(LogHas("VornBOS - continue"));
  OscarClient fresh;
  ASSERT_TRUE(fresh.Connect(dir.bosPort));
  EXPECT_TRUE(fresh.ReadFrame());
  EXPECT_TRUE(kept.Quiet(100));
  EXPECT_EQ(bos.Stop(), 0);
  std::string log = dir.Log("VornBOS");
  EXPECT_NE(log.find("VornBOS - stopped"), std::string::npos);
  EXPECT_NE(log.find("VornBOS finish"), std::string::npos);
}

TEST(BosLifecycle, StopDuringStartUpIsNotLost) {
  for (int round = 0; round < 3; ++round) {
    DataDir dir;
    dir.WriteIni(0);
    ServerProcess bos;
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort, false));
    // Stop as soon as the configuration is being read, before the loop runs.
    ASSERT_TRUE(WaitFor([&] { return dir.Log("VornBOS").find("User dir") != std::string::npos; }, 3000));
    bos.Signal(SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return dir.Log("VornBOS").find("VornBOS finish") != std::string::npos; }, 3000));
    EXPECT_EQ(bos.Stop(), 0);
  }
}

TEST_F(BosServer, PeerThatClosesWithUnreadDataIsDroppedEvenWhenReadingStopped) {
  OscarClient c;
  ASSERT_TRUE(c.Connect(dir.bosPort));
  ASSERT_TRUE(c.ReadFrame());
  // A status query is held for good; the bytes after it are never read.
  c.SendRaw(Cat({Bytes{0x2A, 2, 0, 0, 0, 10, 0, 1, 0, 0x0E, 0, 0}, Le32(1000), Text("EXTRA")}));
  ASSERT_TRUE(c.ReadFrame());
  c.Close();
  EXPECT_TRUE(WaitFor([&] { return dir.Log("VornBOS").find("User close socket=") != std::string::npos; }, 3000));
}

TEST(BosCommandLine, SetupDeleteAndUsage) {
  VORN_SKIP_ON_WINDOWS("setup and delete write systemd units here; the service control manager's are in win_services");
  DataDir dir;
  std::string units = dir.path() + "units";
  std::filesystem::create_directory(units);
  std::string out;
  EXPECT_EQ(RunProgram("VornBOS", {"SETUP"}, out, dir.path(), units), 0);
  EXPECT_NE(out.find("Successfully registered \""), std::string::npos);
  std::string unit = dir.ReadFile("units/VornBOS.service");
  EXPECT_NE(unit.find("Environment=\"VORN_PATH=" + dir.path() + "\""), std::string::npos);
  EXPECT_NE(unit.find("Restart=on-failure"), std::string::npos);
  EXPECT_NE(unit.find("\nLimitNOFILE=100000\n"), std::string::npos);
  EXPECT_EQ(RunProgram("VornBOS", {"setup"}, out, dir.path(), units), 2);
  EXPECT_EQ(out, "Registration error!\n");
  EXPECT_EQ(RunProgram("VornBOS", {"Delete"}, out, dir.path(), units), 0);
  EXPECT_EQ(out, "Service deleted\n");
  EXPECT_EQ(RunProgram("VornBOS", {"delete"}, out, dir.path(), units), 2);
  EXPECT_EQ(out, "Can't open service\n");
  EXPECT_EQ(RunProgram("VornBOS", {"delete"}, out, dir.path(), dir.path() + "missing"), 1);
  EXPECT_EQ(out, "Can't open SCM\n");
  EXPECT_EQ(RunProgram("VornBOS", {"/?"}, out), 0);
  EXPECT_NE(out.find("Usage:\n\tVornBOS setup \t- install services\n\tVornBOS delete \t- remove services\n"),
            std::string::npos);
}

}  // namespace
