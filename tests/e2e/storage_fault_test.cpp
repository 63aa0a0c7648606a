// Storage under faults, injected into the real server processes through VORN_FAULTS: what the
// client is told and what the files hold afterwards, for the offline store, its replay and
// deletion, set-info, the cookie file and vornadmin's edits; the login server's limits; and
// a crash under load (kill -9) that loses no acknowledged message.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

// The fault plan the next started processes inherit.
struct FaultEnv {
  explicit FaultEnv(const std::string& plan) { ::setenv("VORN_FAULTS", plan.c_str(), 1); }
  ~FaultEnv() { ::unsetenv("VORN_FAULTS"); }
};

Bytes MetaRequestBody(uint32_t owner, uint16_t type, uint16_t seq, const Bytes& data = {}) {
  Bytes meta = Cat({Le32(owner), Le16(type), Le16(seq), data});
  return Cat({Be16(1), Be16(static_cast<uint16_t>(meta.size() + 2)), Le16(static_cast<uint16_t>(meta.size())), meta});
}

// A channel-1 message to `to` that asks for the server's acknowledgement (TLV 3), with a
// cookie of eight times `n`.
void SendAckedMessage(OscarClient& c, uint32_t to, const std::string& text, uint32_t reqId, uint8_t n) {
  std::string t = std::to_string(to);
  Bytes tlv = Channel1Tlv(text);
  c.SendSnac(0x0004, 0x0006, reqId,
             Cat({Bytes(8, n), Be16(1), Bytes{static_cast<uint8_t>(t.size())}, Text(t), Be16(2),
                  Be16(static_cast<uint16_t>(tlv.size())), tlv, Be16(3), Be16(0), Be16(6), Be16(0)}));
}

// The 04/0C acknowledgement of such a message to 2000, written out from the message table.
Bytes AckOf(uint32_t reqId, uint8_t n) {
  return Cat({Bytes{0x00, 0x04, 0x00, 0x0C, 0x00, 0x00}, Be32(reqId), Bytes(8, n), Bytes{0x00, 0x01, 0x04},
              Text("2000")});
}

// The ICBM error reply (04/01) with an error code.
Bytes ErrorOf(uint32_t reqId, uint16_t code) {
  return Cat({Bytes{0x00, 0x04, 0x00, 0x01, 0x00, 0x00}, Be32(reqId), Be16(code)});
}

class Storage : public ::testing::Test {
 protected:
  void Start(const std::string& faults, const std::string& ini = "") {
    dir.WriteIni(0, ini);
    for (uint32_t u : {1000u, 2000u}) dir.WriteUser(u, "[Main]\nPass=pw\nNick=n" + std::to_string(u) + "\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    FaultEnv env(faults);
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  void Login(OscarClient& c, uint32_t uin) { ASSERT_TRUE(c.SignOn(dir.authPort, dir.bosPort, uin, "pw")); }
  std::string Log() { return dir.Log("VornBOS"); }
  DataDir dir;
  ServerProcess auth, bos;
};

TEST_F(Storage, AnOfflineMessageIsAcknowledgedOnlyWhenStored) {
  struct Case {
    const char* faults;
    const char* ini;
    uint16_t code;       // 0: stored and acknowledged
    const char* logLine;
  };
  const Case cases[] = {
      {"", "", 0, "Create OLM from 1000 to 2000"},
      {"write:*/olm/2000.olm:1+:ENOSPC", "", 0x0005, "OLM write failed to 2000. Record removed (No space left"},
      {"write:*/olm/2000.olm:1+:EIO", "", 0x0005, "OLM write failed to 2000. Record removed (Input/output"},
      {"open:*/olm/2000.olm:1+:EMFILE", "", 0x0005, "OLM open failed to 2000: Too many open files"},
      {"fsync:*/olm/2000.olm:1+:EIO", "", 0x0005, "OLM flush failed ("},
      {"", "OLMMaxBytes=50\n", 0x0017, "OLM full to 2000 (max=50). Record refused"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.faults) + k.ini);
    Start(k.faults, k.ini);
    OscarClient a;
    Login(a, 1000);
    for (uint8_t i = 1; i <= 2; ++i) SendAckedMessage(a, 2000, "note " + std::to_string(i), 0x70 + i, i);
    for (uint8_t i = 1; i <= 2; ++i) {
      auto reply = a.WaitSnac(0x0004, k.code ? 0x0001 : 0x000C);
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->data, k.code ? ErrorOf(0x70 + i, k.code) : AckOf(0x70 + i, i));
    }
    EXPECT_FALSE(a.WaitSnac(0x0004, k.code ? 0x000C : 0x0001, 200));
    std::string olm = dir.ReadFile("olm/2000.olm");
    if (k.code) {
      EXPECT_EQ(olm, "");  // nothing that was refused is left to be delivered
    } else {
      EXPECT_NE(olm.find("note 1"), std::string::npos);
      EXPECT_NE(olm.find("note 2"), std::string::npos);
    }
    EXPECT_NE(Log().find(k.logLine), std::string::npos) << Log();
    bos.Stop();
    auth.Stop();
    std::remove((dir.path() + "olm/2000.olm").c_str());
  }
}

TEST_F(Storage, AReplayReadErrorKeepsTheStoreAndSendsNoEnd) {
  Start("read:*/olm/2000.olm:1:EIO");
  OscarClient a, b;
  Login(a, 1000);
  for (uint8_t i = 1; i <= 3; ++i) SendAckedMessage(a, 2000, "kept " + std::to_string(i), i, i);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a.WaitSnac(0x0004, 0x000C));
  std::string stored = dir.ReadFile("olm/2000.olm");
  Login(b, 2000);
  b.SendSnac(0x0015, 0x0002, 1, MetaRequestBody(2000, 0x003C, 1));
  EXPECT_FALSE(b.WaitSnac(0x0015, 0x0003, 500));  // no record, and no end reply
  EXPECT_TRUE(WaitFor([&] { return Log().find("OLM read failed (Input/output error). Replay stopped") != std::string::npos; }));
  // A deletion request now removes nothing: nothing was delivered.
  b.SendSnac(0x0015, 0x0002, 1, MetaRequestBody(2000, 0x003E, 2));
  b.SendSnac(0x0015, 0x0002, 1, MetaRequestBody(2000, 0x003C, 3));
  int records = 0;
  while (auto f = b.WaitSnac(0x0015, 0x0003)) {
    if (f->data.size() == 25 && f->data[20] == 0x42) break;
    ++records;
  }
  EXPECT_EQ(records, 3);
  EXPECT_EQ(dir.ReadFile("olm/2000.olm"), stored);
  b.SendSnac(0x0015, 0x0002, 1, MetaRequestBody(2000, 0x003E, 4));
  EXPECT_TRUE(WaitFor([&] { return !dir.Exists("olm/2000.olm"); }));
}

// Set home info with every field: Nick "new" and ten more texts, country, zone, publish.
Bytes HomeInfo() {
  Bytes data = Cat({Le16(4), Text("new"), Bytes{0}});
  for (int i = 0; i < 10; ++i) data = Cat({data, Le16(2), Text("x"), Bytes{0}});
  return Cat({Le16(0x03EA), data, Le16(49), Bytes{2}, Bytes{1}});
}

TEST_F(Storage, SetInfoWritesEveryFieldOrNoneAndSaysWhich) {
  const std::string before = "[Main]\nPass=pw\nNick=n1000\n";
  // fault plan, result byte of the reply
  const std::pair<const char*, uint8_t> cases[] = {
      {"write:*/Db/1000.ini:1+:ENOSPC", 0x32}, {"write:*/Db/1000.ini:1+:EIO", 0x32},
      {"fsync:*/Db/1000.ini:1+:EIO", 0x32},    {"rename:*/Db/1000.ini:1+:EIO", 0x32},
      {"read:*/Db/1000.ini:1+:EIO", 0x32},     {"open:*/Db/1000.ini:1+:EMFILE", 0x32},
      {"", 0x0A},
  };
  for (const auto& [faults, result] : cases) {
    SCOPED_TRACE(faults);
    Start(faults);
    OscarClient a;
    Login(a, 1000);
    a.SendSnac(0x0015, 0x0002, 0x0A0B0C0D, MetaRequestBody(1000, 0x07D0, 7, HomeInfo()));
    auto reply = a.WaitSnac(0x0015, 0x0003);
    ASSERT_TRUE(reply);
    // Meta reply 0x07DA, subtype 0x0064, the result.
    EXPECT_EQ(reply->data, Cat({Bytes{0x00, 0x15, 0x00, 0x03, 0x00, 0x00, 0x0A, 0x0B, 0x0C, 0x0D, 0x00, 0x01, 0x00, 0x0D,
                                      0x0B, 0x00, 0xE8, 0x03, 0x00, 0x00, 0xDA, 0x07, 0x07, 0x00, 0x64, 0x00, result}}));
    std::string file = dir.ReadFile("Db/1000.ini");
    if (result == 0x32) {
      EXPECT_EQ(file, before);  // the password and every other key as they were
      EXPECT_TRUE(WaitFor([&] { return Log().find("User file not written") != std::string::npos; }));
    } else {
      EXPECT_NE(file.find("Nick=new"), std::string::npos);
      EXPECT_NE(file.find("Pass=pw"), std::string::npos);
    }
    bos.Stop();
    auth.Stop();
  }
}

TEST_F(Storage, CookieFilesOnlyForUsersAndNeverAFalseAcceptance) {
  dir.WriteIni(0);
  dir.WriteUser(1000, "[Main]\nPass=pw\n");
  {
    FaultEnv env("write:*/Cookie/1000:2+:ENOSPC");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  }
  OscarClient c;
  for (uint32_t stranger = 4000; stranger < 4010; ++stranger) {
    auto r = c.AuthLogin(dir.authPort, stranger, "pw");
    ASSERT_TRUE(r);
    EXPECT_EQ(ParseTlvs(r->data, 0)[8], Be16(5));
  }
  EXPECT_FALSE(dir.Exists("Cookie/4000"));
  EXPECT_FALSE(dir.Exists("Cookie/4009"));
  // The first write of 1000's cookie works, the second fails: refused, and logged.
  auto ok = c.AuthLogin(dir.authPort, 1000, "pw");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ParseTlvs(ok->data, 0)[6].size(), 256u);
  EXPECT_EQ(dir.ReadFile("Cookie/1000").size(), 256u);
  auto failed = c.AuthLogin(dir.authPort, 1000, "pw");
  ASSERT_TRUE(failed);
  EXPECT_EQ(ParseTlvs(failed->data, 0)[8], Be16(5));
  EXPECT_TRUE(WaitFor([&] { return dir.Log("VornAuth").find("Cookie write failed (No space left on device)") != std::string::npos; }));
}

TEST_F(Storage, TheLoginServerClosesIdleAndKeyHungryConnections) {
  dir.WriteIni(0, "LoginTimeout=1\n");
  ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  OscarClient idle, hungry;
  ASSERT_TRUE(idle.Connect(dir.authPort));
  ASSERT_TRUE(idle.ReadFrame());
  ASSERT_TRUE(hungry.Connect(dir.authPort));
  ASSERT_TRUE(hungry.ReadFrame());
  hungry.SendFrame(1, Be32(1));
  Bytes keyRequest = Cat({Be16(1), Be16(4), Text("1000")});
  int keys = 0;
  for (int i = 0; i < 6; ++i) {
    hungry.SendSnac(0x0017, 0x0006, static_cast<uint32_t>(i), keyRequest);
    if (hungry.WaitSnac(0x0017, 0x0007, 500)) ++keys;
  }
  EXPECT_EQ(keys, 4);
  EXPECT_TRUE(hungry.WaitClosed(500));
  EXPECT_TRUE(idle.WaitClosed(2500));
  EXPECT_NE(dir.Log("VornAuth").find("Login time-out socket="), std::string::npos);
}

TEST_F(Storage, VornadminEditsChangeAllOrNothing) {
  dir.WriteIni(0);
  const std::string user = "[Main]\nPass=old\nNick=a\n";
  dir.WriteUser(1000, user);
  for (const char* faults : {"fsync:*/Db/1000.ini:1+:EIO", "rename:*/Db/1000.ini:1+:ENOSPC", "read:*/Db/1000.ini:1+:EIO"}) {
    SCOPED_TRACE(faults);
    FaultEnv env(faults);
    std::string out;
    EXPECT_EQ(RunProgram("vornadmin", {"--data", dir.path(), "user", "passwd", "1000", "--password", "new"}, out), 1);
    EXPECT_EQ(dir.ReadFile("Db/1000.ini"), user);
  }
  FaultEnv env("write:*/Db/.1001.new-*:1+:ENOSPC");
  std::string out;
  EXPECT_EQ(RunProgram("vornadmin", {"--data", dir.path(), "user", "add", "1001", "--password", "pw"}, out), 1);
  EXPECT_FALSE(dir.Exists("Db/1001.ini"));
}

// kill -9 while a sender streams acknowledged messages to an absent user: after each restart
// the owner gets every acknowledged message exactly once.
TEST_F(Storage, AKilledServerLosesNoAcknowledgedMessage) {
  Start("");
  std::set<std::string> acked;
  uint32_t next = 1;
  for (int round = 0; round < 3; ++round) {
    OscarClient a;
    Login(a, 1000);
    std::map<uint32_t, std::string> sent;
    auto collect = [&](int waitMs) {
      while (auto f = a.ReadFrame(waitMs))
        if (f->Is(0x0004, 0x000C) && f->data.size() >= 10) {
          uint32_t id = (uint32_t(f->data[6]) << 24) | (uint32_t(f->data[7]) << 16) | (f->data[8] << 8) | f->data[9];
          acked.insert(sent[id]);
        }
    };
    for (int i = 0; i < 300; ++i, ++next) {
      std::string text = "m" + std::to_string(next);
      SendAckedMessage(a, 2000, text, next, 1);
      sent[next] = text;
      if (i % 25 == 24) collect(20);
      if (i == 200 + 30 * round) ::kill(bos.pid(), SIGKILL);
    }
    collect(300);
    bos.Stop();
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  ASSERT_GT(acked.size(), 100u);
  OscarClient b;
  Login(b, 2000);
  b.SendSnac(0x0015, 0x0002, 1, MetaRequestBody(2000, 0x003C, 1));
  std::map<std::string, int> delivered;
  while (auto f = b.WaitSnac(0x0015, 0x0003)) {
    if (f->data.size() == 25 && f->data[20] == 0x42) break;
    ASSERT_GT(f->data.size(), 38u);
    std::string body(f->data.begin() + 38, f->data.end());
    delivered[body.substr(0, body.find('\0'))]++;
  }
  for (const std::string& t : acked) EXPECT_EQ(delivered[t], 1) << t;
}

}  // namespace
