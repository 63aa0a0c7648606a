// vornadmin against a running VornBOS: who is online, messages through the command protocol,
// and the tool and the server writing the same user file at the same time.
#include <thread>

#include <gtest/gtest.h>

#include "tests/admin/admin_support.h"
#include "tests/support/oscar_client.h"

using namespace vt;

namespace {

Bytes MetaRequest(uint32_t owner, uint16_t subtype, uint16_t seq, const Bytes& data) {
  Bytes meta = Cat({Le32(owner), Le16(0x07D0), Le16(seq), Le16(subtype), data});
  return Cat({Be16(1), Be16(static_cast<uint16_t>(meta.size() + 2)), Le16(static_cast<uint16_t>(meta.size())), meta});
}

class AdminLive : public ::testing::Test {
 protected:
  void Start(const std::string& extra) {
    dir.WriteIni(8, extra);
    dir.WriteUser(1000, "[Main]\nPass=pw\n");
    dir.WriteUser(1001, "[Main]\nPass=pw\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  DataDir dir;
  ServerProcess auth, bos;
};

TEST_F(AdminLive, OnlineAndSend) {
  Start("");
  AdminRun r = Admin(dir, {"--json", "online"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "[]\n");
  OscarClient a;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  a.SendSnac(0x0001, 0x001E, 1, Cat({Be16(6), Be16(4), Be32(0x00000001)}));  // away
  a.SendSnac(0x0001, 0x000E, 2, {});
  ASSERT_TRUE(a.WaitSnac(0x0001, 0x000F));
  r = Admin(dir, {"online"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "1000        127.0.0.1        127.0.0.1            0  0x0001  away\n");
  r = Admin(dir, {"--json", "online"});
  EXPECT_EQ(r.out, "[{\"uin\": 1000, \"external\": \"127.0.0.1\", \"internal\": \"127.0.0.1\", \"port\": 0, "
                   "\"flags\": 0, \"status\": 1, \"status_name\": \"away\"}]\n");

  r = Admin(dir, {"send", "555", "1000", "hello from the admin"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "message from 555 to 1000 handed to VornBOS\n");
  auto in = a.WaitSnac(0x0004, 0x0007);
  ASSERT_TRUE(in);
  std::string text(in->data.begin(), in->data.end());
  EXPECT_NE(text.find("hello from the admin"), std::string::npos);
  // To someone offline: kept in the offline store.
  EXPECT_EQ(Admin(dir, {"send", "555", "1001", "later"}).code, 0);
  EXPECT_TRUE(WaitFor([&] { return dir.Exists("olm/1001.olm"); }));

  EXPECT_EQ(Admin(dir, {"send", "555", "x1", "t"}).code, 2);
  EXPECT_EQ(Admin(dir, {"send", "555", "1000"}).code, 2);
}

TEST_F(AdminLive, RefusedOrAbsentServerIsAFailure) {
  Start("CmdAllow=10.0.0.1\n");
  AdminRun r = Admin(dir, {"online"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "vornadmin: VornBOS on 127.0.0.1:" + std::to_string(dir.bosPort) +
                       " closed the connection: 127.0.0.1 is not in [Main] CmdAllow of vorn.ini\n");
  r = Admin(dir, {"send", "555", "1000", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("CmdAllow"), std::string::npos);
  bos.Stop();
  r = Admin(dir, {"online"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err.rfind("vornadmin: cannot reach VornBOS on 127.0.0.1:", 0), 0u) << r.err;
}

// The server stores the about text of a signed-on user while the tool changes the same
// user's password; neither write may undo the other.
TEST_F(AdminLive, ToolAndServerWriteTheSameUserFile) {
  Start("");
  OscarClient a;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  constexpr int kRounds = 60;
  std::thread tool([&] {
    for (int i = 0; i < kRounds; ++i)
      EXPECT_EQ(Admin(dir, {"user", "passwd", "1000", "--password", "pw" + std::to_string(i)}).code, 0);
  });
  for (int i = 0; i < kRounds; ++i) {
    std::string about = "about" + std::to_string(i);
    a.SendSnac(0x0015, 0x0002, 10 + static_cast<uint32_t>(i),
               MetaRequest(1000, 0x0406, static_cast<uint16_t>(i),
                           Cat({Le16(static_cast<uint16_t>(about.size() + 1)), Text(about), Bytes{0}})));
    ASSERT_TRUE(a.WaitSnac(0x0015, 0x0003));
  }
  tool.join();
  std::string file = dir.ReadFile("Db/1000.ini");
  EXPECT_NE(file.find("Pass=pw" + std::to_string(kRounds - 1) + "\n"), std::string::npos) << file;
  EXPECT_NE(file.find("0=about" + std::to_string(kRounds - 1) + "\n"), std::string::npos) << file;
  OscarClient b;
  EXPECT_TRUE(b.SignOn(dir.authPort, dir.bosPort, 1000, "pw" + std::to_string(kRounds - 1)));
}

}  // namespace

namespace {

// Deleting a signed-on user ends the session, and nothing of the user comes back: the stored
// list is not written again, and a later add of the number starts with nothing.
TEST_F(AdminLive, DeletingASignedOnUserEndsTheSessionAndLeavesNoFiles) {
  Start("");
  OscarClient a;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  a.SendSnac(0x0013, 0x0011, 1, {});
  a.SendSnac(0x0013, 0x0008, 2, Cat({Be16(4), Text("1001"), Be16(1), Be16(1), Be16(0), Be16(0)}));
  ASSERT_TRUE(a.WaitSnac(0x0013, 0x000E));  // stored in memory; the bracket is still open
  AdminRun r = Admin(dir, {"user", "delete", "1000", "--port", std::to_string(dir.bosPort)});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("signed off (1 session)"), std::string::npos) << r.out;
  EXPECT_TRUE(a.WaitClosed(2000));
  for (const char* f : {"Db/1000.ini", "Db/1000.ssi", "Cookie/1000"}) EXPECT_FALSE(dir.Exists(f)) << f;
  dir.WriteFile("olm/1000.olm", "x");  // left by someone writing to the number meanwhile
  r = Admin(dir, {"user", "add", "1000", "--password", "pw2"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("removed files of an earlier user of the number: " + dir.path() + "olm/1000.olm"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(dir.Exists("olm/1000.olm"));
  EXPECT_FALSE(dir.Exists("Db/1000.ssi"));
}

}  // namespace
