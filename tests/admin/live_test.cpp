// vornadmin against a running VornBOS: who is online, messages through the command protocol,
// and the tool and the server writing the same user file at the same time.
#include <sys/stat.h>

#include <algorithm>
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
  std::string ApiSection() {
    WriteAdminToken(dir, "live-test-token");
    return "[Admin]\nListen=127.0.0.1:" + std::to_string(FreePort()) + "\n";
  }
  void Start(const std::string& extra) {
    dir.WriteIni(8, extra);
    dir.WriteUser(1000, "[Main]\nPass=pw\nNick=ann\n");
    dir.WriteUser(1001, "[Main]\nPass=pw\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  DataDir dir;
  ServerProcess auth, bos;
};

TEST_F(AdminLive, OnlineAndSend) {
  Start(ApiSection());
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
  // A header line, then number, nick, address, status, online since (local time) and idle time.
  std::string shape = r.out;  // digits of the time and the idle figure masked
  std::replace_if(shape.begin(), shape.end(), [](char ch) { return ch >= '0' && ch <= '9'; }, '9');
  EXPECT_EQ(shape, "NUMBER      NICK              ADDRESS          STATUS          ONLINE SINCE         IDLE\n"
                   "9999        ann               999.9.9.9        away            9999-99-99 99:99:99  9s\n")
      << r.out;
  r = Admin(dir, {"--json", "online"});
  EXPECT_NE(r.out.find("\"status_name\":\"away\""), std::string::npos) << r.out;

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
  EXPECT_EQ(r.err, "vornadmin: the management API is off: no [Admin] Listen in " + dir.path() + "vorn.ini\n");
  r = Admin(dir, {"send", "555", "1000", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("CmdAllow"), std::string::npos);
  // A lock without the API changes the file; it holds from the next sign-on.
  r = Admin(dir, {"user", "lock", "1001"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(dir.ReadFile("Db/1001.ini").find("Locked=1\n"), std::string::npos);
  OscarClient b;
  EXPECT_FALSE(b.SignOn(dir.authPort, dir.bosPort, 1001, "pw"));
}

// kick, user lock/unlock, stats, reload and token new through the API of the running server.
TEST_F(AdminLive, LiveCommandsUseTheApi) {
  Start(ApiSection());
  OscarClient a, b;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  ASSERT_TRUE(b.SignOn(dir.authPort, dir.bosPort, 1001, "pw"));
  struct Step {
    std::vector<std::string> args;
    int code;
    std::string out;
  } steps[] = {
      {{"kick", "1000"}, 0, "session of 1000 ended\n"},
      {{"kick", "1000"}, 1, ""},
      {{"user", "lock", "1001"}, 0, "user 1001 locked: changed through VornBOS\n"},
      {{"reload"}, 0, "VornBOS reloaded vorn.ini\n"},
      {{"--json", "user", "unlock", "1001"}, 0, "{\"uin\": 1001, \"locked\": false}\n"},
      {{"--version"}, 0, "vornadmin (Vorn) 1.2.5\n"},
      {{"kick", "x"}, 2, ""},
  };
  for (const Step& s : steps) {
    AdminRun r = Admin(dir, s.args);
    EXPECT_EQ(r.code, s.code) << s.args[0] << r.err;
    if (!s.out.empty()) {
      EXPECT_EQ(r.out, s.out);
    }
  }
  EXPECT_TRUE(a.WaitClosed(2000));
  EXPECT_TRUE(b.WaitClosed(2000));
  AdminRun r = Admin(dir, {"stats"});
  EXPECT_NE(r.out.find("\nsignons.ok 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sessions 0\n"), std::string::npos) << r.out;

  // A new token replaces the old one at once; the tool reads the new file.
  std::string before = dir.ReadFile("admin.token");
  r = Admin(dir, {"token", "new"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.size(), 65u);
  EXPECT_EQ(r.out.find_first_not_of("0123456789abcdef"), 64u) << r.out;
  EXPECT_EQ(dir.ReadFile("admin.token"), r.out);
  struct stat st{};
  ASSERT_EQ(::stat((dir.path() + "admin.token").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Admin(dir, {"stats"}).code, 0);
  dir.WriteFile("admin.token", before);
  EXPECT_EQ(Admin(dir, {"stats"}).code, 0);
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
