// Presence notices, message parsing limits, relay text and the list table.
#include <ctime>

#include "VornBOS/dispatcher.h"
#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/presence.h"
#include "server-core/wire.h"
#include "tests/bos/bos_fixture.h"
#include "tests/bos/client_snac.h"

namespace {

using Bytes = std::vector<uint8_t>;
using client_snac::Snac;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes MessageSnac(const std::string& to, uint16_t tlvLenField, const Bytes& value) {
  WireWriter w;
  w.zeros(8).be16(1).text8(to).be16(2).be16(tlvLenField).bytes(value.data(), value.size());
  return Snac(4, 6, w.buffer());
}

TEST_F(BosUnit, OnlineNoticeLayout) {
  ClientInfo& c = Session(1234);
  c.connectTime = 0x5F5E1000;
  std::fill(c.Status, c.Status + 4, 0);
  Bytes notice = BuildOnlineNotice(c);
  ASSERT_EQ(notice.size(), 108u);
  EXPECT_EQ(GetBe16(&notice[4]), 102);
  EXPECT_EQ(GetBe16(&notice[21 + 4 + 4]), 0x0070);
  // TLV 0x0003 is the sign-on time, seconds since 1970.
  EXPECT_EQ(Bytes(notice.end() - 8, notice.end()), (Bytes{0, 3, 0, 4, 0x5F, 0x5E, 0x10, 0x00}));
  c.Status[1] = 1;
  EXPECT_EQ(GetBe16(&BuildOnlineNotice(c)[29]), 0x0050);
  // A capability block with the largest stored length stays inside the record.
  PutBe16(c.clientCaps, 112);
  EXPECT_EQ(BuildOnlineNotice(c).size(), 108u + 112);
}

TEST_F(BosUnit, StatusRequestReadsTheDirectBlockOnlyWhenWhole) {
  ClientInfo& c = Session(1000);
  Bytes partial = Snac(1, 0x1E, Bytes{0, 6, 0, 4, 0, 1, 0, 2, 0, 8, 0, 2, 0, 0, 0, 0x0C, 0, 0x25, 10, 1, 2, 3});
  Receive(c, partial);
  NotifyStatusChange(c);
  EXPECT_EQ(Bytes(c.Status, c.Status + 4), (Bytes{0, 1, 0, 2}));
  EXPECT_EQ(Bytes(c.ipInt, c.ipInt + 4), (Bytes{0, 0, 0, 0}));
  Bytes whole = partial;
  whole.resize(43, 0);
  whole[34] = 0x0F;
  whole[35] = 0xA0;
  whole[36] = 4;
  whole[38] = 9;
  Receive(c, whole);
  NotifyStatusChange(c);
  EXPECT_EQ(Bytes(c.ipInt, c.ipInt + 4), (Bytes{10, 1, 2, 3}));
  EXPECT_EQ(c.Port, 4000u);
  EXPECT_EQ(c.Version, 9);
}

// Each TLV of a status change replaces what it stands for wherever it stands; the extended
// status data keeps whole items only.
TEST_F(BosUnit, StatusChangeTakesItsTlvsWhereTheyStand) {
  ClientInfo& c = Session(1000);
  Bytes ext = {0, 2, 4, 3, 'a', 'b', 'c', 0, 9, 0, 0, 0, 1, 0, 16, 1, 2, 3};  // the last item is cut
  Bytes dc = {10, 1, 2, 3, 0, 0, 0x0F, 0xA0, 4, 0, 9, 0x11, 0x22, 0x33, 0x44};
  Receive(c, Snac(1, 0x1E, Cat({Bytes{0, 0x1D, 0, static_cast<uint8_t>(ext.size())}, ext, Bytes{0, 6, 0, 4, 0, 1, 0, 2},
                                Bytes{0, 0x0C, 0, 15}, dc})));
  NotifyStatusChange(c);
  EXPECT_EQ(c.extStatus, std::string("\0\2\4\3abc\0\x09\0\0", 11));
  EXPECT_EQ(Bytes(c.Status, c.Status + 4), (Bytes{0, 1, 0, 2}));
  EXPECT_EQ(Bytes(c.ipInt, c.ipInt + 4), (Bytes{10, 1, 2, 3}));
  EXPECT_EQ(c.Port, 4000u);
  EXPECT_EQ(Bytes(c.Cookie, c.Cookie + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
  Receive(c, Snac(1, 0x1E, Bytes{0, 0x1D, 0, 4, 0, 2, 0, 0}));  // what it leaves out stays
  NotifyStatusChange(c);
  EXPECT_EQ(c.extStatus, std::string("\0\2\0\0", 4));
  EXPECT_EQ(Bytes(c.Status, c.Status + 4), (Bytes{0, 1, 0, 2}));
  EXPECT_EQ(c.Port, 4000u);
}

TEST_F(BosUnit, WatchersGetOneCopyAndLeaveTheIndexWhenDestroyed) {
  ClientInfo& a = Session(1000);
  ClientInfo& b = Session(1001);
  Receive(b, Snac(3, 4, Bytes{4, '1', '0', '0', '0', 4, '1', '0', '0', '0', 4, 'a', 'b', 'c', 'd'}));
  AddContacts(b);
  EXPECT_EQ(b.contacts, (std::vector<uint32_t>{1000, 1000}));  // "abcd" stores nothing
  b.sendQueue.clear();
  Receive(a, Snac(1, 0x1E, Bytes{0, 6, 0, 4, 0, 0, 0, 0}));
  NotifyStatusChange(a);
  EXPECT_EQ(b.sendQueue.size(), 1u);
  DestroySession(b);
  EXPECT_TRUE(WatchersOf(1000).empty());
}

TEST_F(BosUnit, OnlyLoggedInSessionsAreFoundOrAnnounceADeparture) {
  ClientInfo& user = Session(1000);
  ClientInfo& watcher = Session(1001);
  watcher.contacts = {1000};
  Receive(watcher, Snac(3, 4, Bytes{4, '1', '0', '0', '0'}));
  AddContacts(watcher);
  // A newer connection that carries the number without having logged in.
  ClientInfo& carrier = CreateSession(next_++);
  SetSessionUin(carrier, 1000);
  EXPECT_EQ(FindByUin(1000), &user);
  EXPECT_EQ(FindUser(1000), &user);
  watcher.sendQueue.clear();
  DestroySession(carrier);
  EXPECT_TRUE(watcher.sendQueue.empty());
  DestroySession(user);
  EXPECT_EQ(watcher.sendQueue.size(), 1u);  // the real departure
  EXPECT_EQ(FindByUin(1000), nullptr);
}

TEST_F(BosUnit, StartingSequenceNumbersStayBelow32768) {
  for (int i = 0; i < 64; ++i) EXPECT_LE(CreateSession(next_++).Seq, 32767u);
}

TEST_F(BosUnit, MessagesRunningPastTheSnacAreDropped) {
  ClientInfo& a = Session(1000);
  ClientInfo& b = Session(1001);
  Bytes tlv = {5, 1, 0, 1, 1, 1, 1, 0, 6, 0, 0, 0, 0, 'h', 'i'};
  Receive(a, MessageSnac("1001", static_cast<uint16_t>(tlv.size() + 40), tlv));
  RouteMessage(a);
  Bytes cut = MessageSnac("1001", static_cast<uint16_t>(tlv.size()), tlv);
  cut.resize(22);  // ends inside the recipient text
  Receive(a, cut);
  RouteMessage(a);
  EXPECT_TRUE(b.sendQueue.empty());
  EXPECT_NE(Log().find("Bad message SNAC from 1000"), std::string::npos);
  Receive(a, MessageSnac("1001", static_cast<uint16_t>(tlv.size()), tlv));
  RouteMessage(a);
  EXPECT_EQ(b.sendQueue.size(), 1u);
}

TEST_F(BosUnit, NumberZeroAndLyingTextLengthsReachNobody) {
  ClientInfo& a = Session(1000);
  ClientInfo& anonymous = CreateSession(next_++);  // connected, not logged in
  ClientInfo& b = Session(1001);
  Bytes tlv = {5, 1, 0, 1, 1, 1, 1, 0, 6, 0, 0, 0, 0, 'h', 'i'};
  Receive(a, MessageSnac("abc", static_cast<uint16_t>(tlv.size()), tlv));
  RouteMessage(a);
  EXPECT_TRUE(anonymous.sendQueue.empty());
  // Channel 4 with a text length past the message, and channel 1 with a fragment past it.
  Bytes inner = {0xE8, 0x03, 0, 0, 1, 0, 200, 0, 'x', 0};
  Bytes snac4 = MessageSnac("1001", static_cast<uint16_t>(inner.size()), inner);
  snac4[19] = 4;
  Receive(a, snac4);
  RouteMessage(a);
  Bytes longFragment = tlv;
  longFragment[8] = 60;
  Receive(a, MessageSnac("1001", static_cast<uint16_t>(longFragment.size()), longFragment));
  RouteMessage(a);
  EXPECT_TRUE(b.sendQueue.empty());
}

TEST_F(BosUnit, RelayTextFromTheDefaultTemplate) {
  WriteFile("Db/1234.ini", "[Main]\nNick=Ann\nFirst=Ann\nLast=Lee\n");
  ClientInfo& c = Session(1234);
  EXPECT_EQ(RenderRelayText(c), "Message from %1234% %Ann% - %Ann% %Lee%");
  WriteFile("Db/1234.ini", "[Main]\nNick=Bob\n");
  EXPECT_EQ(RenderRelayText(c), "Message from %1234% %Ann% - %Ann% %Lee%");  // kept for the connection
}

TEST_F(BosUnit, SendAllListLeavesOutListNumbers) {
  for (const char* f : {"Db/1000.ini", "Db/2000.ini", "Db/300.ini"}) WriteFile(f, "[Main]\n");
  WriteFile("Db/300.ini", "[List]\n0=1000\n1=-\n");
  Cfg.SendAll = 200;
  Cfg.SendOnLine = 100;
  ClearSendLists();
  AddSendList(300);
  AddSendList(200);
  ASSERT_NE(FindList(200), nullptr);
  EXPECT_EQ(FindList(200)->members, (std::vector<uint32_t>{1000, 2000}));
  EXPECT_EQ(FindList(300)->members, (std::vector<uint32_t>{1000}));
  ClearSendLists();
}

TEST_F(BosUnit, ListUpToDateCarriesSizeAndDate) {
  ClientInfo& c = Session(1000);
  Receive(c, Snac(0x13, 5, {}));
  SendListUpToDate(c);
  ASSERT_EQ(c.sendQueue.back().data.size(), 22u);
  EXPECT_EQ(Bytes(c.sendQueue.back().data.begin() + 16, c.sendQueue.back().data.end()),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
  WriteFile("Db/1000.ini", "[Contacts]\nSize=50\nDate=06.12.26 17:30\n");
  SendListUpToDate(c);
  const Bytes& f = c.sendQueue.back().data;
  std::tm tm{};
  tm.tm_mday = 6;
  tm.tm_mon = 11;
  tm.tm_year = 126;
  tm.tm_hour = 17;
  tm.tm_min = 30;
  uint32_t expected = static_cast<uint32_t>(std::mktime(&tm));
  EXPECT_EQ(uint32_t(f[16] | f[17] << 8 | f[18] << 16 | uint32_t(f[19]) << 24), expected);
  EXPECT_EQ(Bytes(f.end() - 2, f.end()), (Bytes{0x32, 0}));
}

TEST_F(BosUnit, LocationInfoKeepsWholeCapabilitiesUpToSeven) {
  ClientInfo& c = Session(1000);
  struct Case {
    uint16_t sent, kept;
  } cases[] = {{200, 112}, {40, 32}, {16, 16}};
  for (const Case& k : cases) {
    Bytes body = {0, 5, static_cast<uint8_t>(k.sent >> 8), static_cast<uint8_t>(k.sent)};
    body.resize(4 + k.sent, 0xAB);
    Receive(c, Snac(2, 4, body));
    c.in.waitBytes = 0;
    ReadFLAP(c);
    EXPECT_EQ(GetBe16(c.clientCaps), k.kept) << k.sent;
    EXPECT_EQ(c.clientCaps[2], 0xAB) << k.sent;
    EXPECT_EQ(c.clientCaps[1 + k.kept], 0xAB) << k.sent;
    if (k.kept < 112) {
      EXPECT_EQ(c.clientCaps[2 + k.kept], 0) << k.sent;
    }
  }
}

TEST_F(BosUnit, AContactListStopsAtMaxContactsWithOneLogLinePerUpload) {
  ClientInfo& b = Session(1001);
  auto upload = [&](uint32_t first, int count) {
    Bytes body;
    for (int i = 0; i < count; ++i) {
      std::string t = std::to_string(first + i);
      body.push_back(static_cast<uint8_t>(t.size()));
      body.insert(body.end(), t.begin(), t.end());
    }
    Receive(b, Snac(3, 4, body));
    AddContacts(b);
  };
  upload(10000, 600);
  upload(20000, 600);  // 400 of these fit
  ASSERT_EQ(b.contacts.size(), 1000u);
  EXPECT_EQ(b.contacts[599], 10599u);
  EXPECT_EQ(b.contacts[999], 20399u);
  upload(30000, 5);
  EXPECT_EQ(b.contacts.size(), 1000u);
  std::string log = Log();
  size_t first = log.find("Contact list full (max=1000). Rest of upload ignored");
  ASSERT_NE(first, std::string::npos);
  size_t second = log.find("Contact list full", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(log.find("Contact list full", second + 1), std::string::npos);
  Cfg.MaxContacts = 0;  // no limit
  upload(40000, 3);
  EXPECT_EQ(b.contacts.size(), 1003u);
  Cfg.MaxContacts = 1000;
}

// What vorn.ini says is what the servers use: 0 contacts means no limit, and the login
// time-out counts seconds; values that make no sense fall back to the defaults.
TEST_F(BosUnit, BoundsComeFromTheIniFileAsWritten) {
  struct Case {
    const char* ini;
    uint32_t contacts, loginTimeout;
  } cases[] = {
      {"[Main]\nMaxContacts=0\nLoginTimeout=5\n", 0, 5},
      {"[Main]\nMaxContacts=7\nLoginTimeout=0\n", 7, 60},
      {"[Main]\nMaxContacts=-1\nLoginTimeout=-3\n", 1000, 60},
      {"[Main]\n", 1000, 60},
  };
  for (const Case& t : cases) {
    WriteFile("vorn.ini", t.ini);
    LoadBounds();
    EXPECT_EQ(Cfg.MaxContacts, t.contacts) << t.ini;
    EXPECT_EQ(Cfg.LoginTimeout, t.loginTimeout) << t.ini;
  }
  Cfg.MaxContacts = 1000;
  Cfg.LoginTimeout = 60;
}

}  // namespace
