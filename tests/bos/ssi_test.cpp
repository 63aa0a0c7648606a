// The stored contact list: its file, its frames and its handlers.
#include <signal.h>
#include <sys/resource.h>

#include <ctime>
#include <filesystem>

#include "VornBOS/dispatcher.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/ssi/frames.h"
#include "VornBOS/ssi/handlers.h"
#include "VornBOS/ssi/store.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "server-core/userdb.h"
#include "server-core/wire.h"
#include "tests/bos/bos_fixture.h"
#include "tests/bos/client_snac.h"

namespace {

using Bytes = std::vector<uint8_t>;
using client_snac::Snac;
using client_snac::Item;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Data(const FlapFrame& f) { return Bytes(f.data.begin() + 6, f.data.end()); }

TEST_F(BosUnit, StoredListFileIsReadableAndSurvivesARestart) {
  ClientInfo& c = Session(10001);
  Receive(c, Snac(0x13, 0x08,
                  Cat({Item("Friends", 1, 0, 1), Item("10002", 1, 7, 0, {0x01, 0x31, 0x00, 0x02, 'R', '%'}),
                       Item(" odd\nname ", 1, 8, 0)})));
  SsiAddItems(c);
  std::string text = ReadFile("Db/10001.ssi");
  // An operator reads it as a profile file.
  EXPECT_EQ(plat::GetProfileString("List", "Count", "", 10, dir_ + "Db/10001.ssi"), "3");
  EXPECT_EQ(plat::GetProfileString("Item2", "Name", "", 20, dir_ + "Db/10001.ssi"), "10002");
  EXPECT_EQ(plat::GetProfileString("Item2", "Data", "", 40, dir_ + "Db/10001.ssi"), "01 31 00 02 52 25");
  EXPECT_EQ(plat::GetProfileString("Item3", "Name", "", 40, dir_ + "Db/10001.ssi"), "%20odd%0aname%20");
  // After a restart (nothing in memory) the list is the same, byte for byte in 13/06.
  DestroySession(c);
  ClientInfo& again = Session(10001);
  Receive(again, Snac(0x13, 0x04, {}));
  SsiSendList(again);
  Bytes listData = Data(again.sendQueue.back());
  Bytes expected = Cat({Bytes{0x00, 0x13, 0x00, 0x06, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x03},
                        Bytes{0x00, 0x07, 'F', 'r', 'i', 'e', 'n', 'd', 's', 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00},
                        Bytes{0x00, 0x05, '1', '0', '0', '0', '2', 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x06,
                              0x01, 0x31, 0x00, 0x02, 'R', '%'},
                        Bytes{0x00, 0x0A, ' ', 'o', 'd', 'd', '\n', 'n', 'a', 'm', 'e', ' ', 0x00, 0x01, 0x00, 0x08,
                              0x00, 0x00, 0x00, 0x00}});
  ASSERT_EQ(listData.size(), expected.size() + 4);
  EXPECT_EQ(Bytes(listData.begin(), listData.end() - 4), expected);
  auto stored = LoadSsi(10001);
  ASSERT_TRUE(stored);
  EXPECT_EQ(Bytes(listData.end() - 4, listData.end()),
            (Bytes{uint8_t(stored->time >> 24), uint8_t(stored->time >> 16), uint8_t(stored->time >> 8), uint8_t(stored->time)}));
}

TEST_F(BosUnit, StoredListIsReplacedWholeNeverTorn) {
  ClientInfo& c = Session(10001);
  Receive(c, Snac(0x13, 0x08, Item("10002", 1, 1, 0)));
  SsiAddItems(c);
  // A reader never sees a partial file: writes go to a temporary file renamed over the list,
  // so no temporary is left and the old content stays whole when a write cannot be done.
  for (auto& e : std::filesystem::directory_iterator(dir_ + "Db"))
    EXPECT_TRUE(e.path().extension() == ".ssi") << e.path();
  std::string before = ReadFile("Db/10001.ssi");
  // A write cut short (here by a file size limit, which binds every user) leaves the old file.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = before.size() + 10;
  ::setrlimit(RLIMIT_FSIZE, &small);
  Receive(c, Snac(0x13, 0x08, Item("10003", 1, 2, 0)));
  SsiAddItems(c);
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(ReadFile("Db/10001.ssi"), before);
  for (auto& e : std::filesystem::directory_iterator(dir_ + "Db")) EXPECT_EQ(e.path().filename(), "10001.ssi");
  // The client is told that nothing was stored (0x0001), never that a limit was reached.
  EXPECT_EQ(Data(c.sendQueue.back()), (Bytes{0x00, 0x13, 0x00, 0x0E, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x01}));
}

TEST_F(BosUnit, EditsAnswerOneStatusPerItem) {
  ClientInfo& c = Session(10001);
  Receive(c, Snac(0x13, 0x08, Cat({Item("", 0, 0, 1), Item("10002", 1, 1, 0), Item("", 0, 0x153b, 4, {0, 0xca, 0, 1, 4})})));
  SsiAddItems(c);
  EXPECT_EQ(Data(c.sendQueue.back()),
            (Bytes{0x00, 0x13, 0x00, 0x0E, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  Receive(c, Snac(0x13, 0x0A, Cat({Item("10002", 1, 1, 0), Item("10009", 1, 9, 0)})));
  SsiDeleteItems(c);
  EXPECT_EQ(Data(c.sendQueue.back()),
            (Bytes{0x00, 0x13, 0x00, 0x0E, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x02}));
  EXPECT_EQ(LoadSsi(10001)->items.size(), 2u);
  // A truncated item ends the request: only whole items are answered.
  Bytes cut = Item("10003", 1, 3, 0);
  cut.pop_back();
  Receive(c, Snac(0x13, 0x08, Cat({Item("10004", 1, 4, 0), cut})));
  SsiAddItems(c);
  EXPECT_EQ(Data(c.sendQueue.back()), (Bytes{0x00, 0x13, 0x00, 0x0E, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00}));
}

TEST_F(BosUnit, ListCheckSaysUpToDateOnlyWhenTimeAndCountMatch) {
  ClientInfo& c = Session(10001);
  Receive(c, Snac(0x13, 0x02, {}));
  SsiRights(c);
  // TLV 4: the most items of types 0 to 14, ignore (type 14) last.
  EXPECT_EQ(Data(c.sendQueue.back()),
            (Bytes{0x00, 0x13, 0x00, 0x03, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x04, 0x00, 0x1E, 0x03, 0xE8,
                   0x00, 0x3d, 0x00, 0xc8, 0x00, 0xc8, 0x00, 0x01, 0x00, 0x01, 0x00, 0x32, 0x00, 0x14, 0x00, 0x14,
                   0x00, 0x14, 0x00, 0x14, 0x00, 0x14, 0x00, 0x14, 0x00, 0x14, 0x00, 0xC8}));
  // No stored list: the user file's stamp (unset: time -1, count 0) decides.
  Receive(c, Snac(0x13, 0x05, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}));
  SsiCheckList(c);
  EXPECT_EQ(Data(c.sendQueue.back()),
            (Bytes{0x00, 0x13, 0x00, 0x0F, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}));
  // Otherwise an empty list, whose time stamp is never 0 (clients read 0 as "more to come").
  uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  Receive(c, Snac(0x13, 0x05, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  SsiCheckList(c);
  Bytes empty = Data(c.sendQueue.back());
  ASSERT_EQ(empty.size(), 17u);
  EXPECT_EQ(Bytes(empty.begin(), empty.begin() + 13),
            (Bytes{0x00, 0x13, 0x00, 0x06, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00}));
  uint32_t stamp = uint32_t(empty[13]) << 24 | uint32_t(empty[14]) << 16 | uint32_t(empty[15]) << 8 | empty[16];
  EXPECT_GE(stamp + 1, before);
  // With a stored list of one item at time 0x01020304.
  WriteFile("Db/10005.ssi", "[List]\nTime=16909060\nCount=1\n[Item1]\nType=1\nGroup=1\nId=0\nName=G\nData=\n");
  ClientInfo& d = Session(10005);
  Receive(d, Snac(0x13, 0x05, {0x01, 0x02, 0x03, 0x04, 0x00, 0x01}));
  SsiCheckList(d);
  EXPECT_EQ(Data(d.sendQueue.back()),
            (Bytes{0x00, 0x13, 0x00, 0x0F, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x04, 0x03, 0x02, 0x01, 0x01, 0x00}));
  Receive(d, Snac(0x13, 0x05, {0x01, 0x02, 0x03, 0x04, 0x00, 0x02}));
  SsiCheckList(d);
  EXPECT_EQ(Data(d.sendQueue.back()),
            (Bytes{0x00, 0x13, 0x00, 0x06, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x01, 0x00, 0x01, 'G',
                   0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04}));
}

TEST_F(BosUnit, StoredBuddiesAreWatchedFromActivationUnlessAwaitingAuthorization) {
  ClientInfo& owner = Session(10001);
  ClientInfo& buddy = Session(10002);
  ClientInfo& strict = Session(10003);
  WriteFile("Db/10003.ini", "[Main]\nAuthRequired=1\n");
  Receive(owner, Snac(0x13, 0x08, Cat({Item("10002", 1, 1, 0), Item("10003", 1, 2, 0, {0x00, 0x66, 0x00, 0x00})})));
  SsiAddItems(owner);
  EXPECT_TRUE(WatchersOf(10002).empty());  // not before 13/07
  size_t queued = owner.sendQueue.size();
  SsiActivate(owner);
  EXPECT_EQ(WatchersOf(10002), std::vector<ClientInfo*>{&owner});
  EXPECT_TRUE(WatchersOf(10003).empty());
  ASSERT_EQ(owner.sendQueue.size(), queued + 1);  // 10002's online notice, not 10003's
  EXPECT_EQ(owner.sendQueue.back().data[16], 5);
  EXPECT_EQ(std::string(owner.sendQueue.back().data.begin() + 17, owner.sendQueue.back().data.begin() + 22), "10002");
  // Adding a buddy of a strict target without the awaiting flag: authorization required.
  Receive(owner, Snac(0x13, 0x08, Item("10003", 1, 3, 0)));
  SsiAddItems(owner);
  EXPECT_EQ(Data(owner.sendQueue.back()), (Bytes{0x00, 0x13, 0x00, 0x0E, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x0E}));
  // Deleting the buddy ends the watch.
  Receive(owner, Snac(0x13, 0x0A, Item("10002", 1, 1, 0)));
  SsiDeleteItems(owner);
  EXPECT_TRUE(WatchersOf(10002).empty());
  EXPECT_TRUE(owner.contacts.empty());
  (void)buddy;
  (void)strict;
}

TEST_F(BosUnit, AddedBuddyIsToldAndFutureAuthorizationIsForwarded) {
  ClientInfo& owner = Session(10001);
  ClientInfo& buddy = Session(10002);
  Receive(owner, Snac(0x13, 0x08, Item("10002", 1, 1, 0)));
  SsiAddItems(owner);
  ASSERT_EQ(buddy.sendQueue.size(), 1u);
  Bytes added = Data(buddy.sendQueue.back());
  EXPECT_EQ(Bytes(added.begin(), added.begin() + 6), (Bytes{0x00, 0x13, 0x00, 0x1C, 0x00, 0x00}));
  EXPECT_EQ(Bytes(added.begin() + 10, added.end()), (Bytes{0x05, '1', '0', '0', '0', '1'}));
  Receive(owner, Snac(0x13, 0x14, {0x05, '1', '0', '0', '0', '2', 0x00, 0x02, 'o', 'k', 0x00, 0x00}));
  SsiFutureAuthGrant(owner);
  Bytes fut = Data(buddy.sendQueue.back());
  EXPECT_EQ(Bytes(fut.begin(), fut.begin() + 6), (Bytes{0x00, 0x13, 0x00, 0x15, 0x00, 0x00}));
  EXPECT_EQ(Bytes(fut.begin() + 10, fut.end()), (Bytes{0x05, '1', '0', '0', '0', '1', 0x00, 0x02, 'o', 'k', 0x00, 0x00}));
  // A lying reason length is dropped.
  size_t n = buddy.sendQueue.size();
  Receive(owner, Snac(0x13, 0x14, {0x05, '1', '0', '0', '0', '2', 0x00, 0x09, 'o', 'k'}));
  SsiFutureAuthGrant(owner);
  EXPECT_EQ(buddy.sendQueue.size(), n);
}

TEST_F(BosUnit, TypingGoesToTheRecipientWithTheSendersNumber) {
  ClientInfo& a = Session(10001);
  ClientInfo& b = Session(10002);
  Bytes body = {1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x01, 0x05, '1', '0', '0', '0', '2', 0x00, 0x02};
  Receive(a, Snac(0x04, 0x14, body));
  ReadFLAP(a);
  ASSERT_EQ(b.sendQueue.size(), 1u);
  Bytes got = Data(b.sendQueue.back());
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 6), (Bytes{0x00, 0x04, 0x00, 0x14, 0x00, 0x00}));
  EXPECT_EQ(Bytes(got.begin() + 10, got.end()),
            (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x01, 0x05, '1', '0', '0', '0', '1', 0x00, 0x02}));
  // Nobody connected as 10009: dropped.
  body[15] = '9';
  Receive(a, Snac(0x04, 0x14, body));
  ReadFLAP(a);
  EXPECT_EQ(b.sendQueue.size(), 1u);
  EXPECT_TRUE(a.sendQueue.empty());
}

TEST_F(BosUnit, CapabilitiesComeFromTlv5WhateverLeads) {
  ClientInfo& c = Session(10001);
  Bytes caps(32, 0xAB);
  Receive(c, Snac(0x02, 0x04, Cat({Bytes{0x00, 0x03, 0x00, 0x02, 'x', 'y', 0x00, 0x05, 0x00, 0x20}, caps})));
  ReadFLAP(c);
  EXPECT_EQ(Bytes(c.clientCaps, c.clientCaps + 34), Cat({Bytes{0x00, 0x20}, caps}));
  // Away text only: the capabilities stay.
  Receive(c, Snac(0x02, 0x04, {0x00, 0x04, 0x00, 0x01, 'z'}));
  ReadFLAP(c);
  EXPECT_EQ(Bytes(c.clientCaps, c.clientCaps + 34), Cat({Bytes{0x00, 0x20}, caps}));
}

}  // namespace

namespace {

TEST_F(BosUnit, GrantedAuthorizationClearsTheMarkAndStartsTheWatch) {
  ClientInfo& owner = Session(10001);
  ClientInfo& strict = Session(10003);
  WriteFile("Db/10003.ini", "[Main]\nAuthRequired=1\n");
  Receive(owner, Snac(0x13, 0x08, Item("10003", 1, 2, 0, {0x01, 0x31, 0x00, 0x01, 'x', 0x00, 0x66, 0x00, 0x00})));
  SsiAddItems(owner);
  SsiActivate(owner);
  EXPECT_TRUE(WatchersOf(10003).empty());
  // Declined: nothing changes.
  Receive(strict, Snac(0x13, 0x1A, {0x05, '1', '0', '0', '0', '1', 0x00, 0x00, 0x00, 0x00, 0x00}));
  ReadFLAP(strict);
  EXPECT_TRUE(WatchersOf(10003).empty());
  Receive(strict, Snac(0x13, 0x1A, {0x05, '1', '0', '0', '0', '1', 0x01, 0x00, 0x00, 0x00, 0x00}));
  ReadFLAP(strict);
  EXPECT_EQ(WatchersOf(10003), std::vector<ClientInfo*>{&owner});
  EXPECT_EQ(LoadSsi(10001)->items[0].data, std::string("\x01\x31\x00\x01x", 5));
}

}  // namespace

namespace {

TEST_F(BosUnit, ChannelOneMessageAskingForAServerAckGetsOne) {
  ClientInfo& a = Session(10001);
  ClientInfo& b = Session(10002);
  Bytes msg = {9, 8, 7, 6, 5, 4, 3, 2, 0x00, 0x01, 0x05, '1', '0', '0', '0', '2',
               0x00, 0x02, 0x00, 0x0E, 0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 'h'};
  Receive(a, Snac(0x04, 0x06, Cat({msg, Bytes{0x00, 0x03, 0x00, 0x00}})));
  ReadFLAP(a);
  ASSERT_EQ(b.sendQueue.size(), 1u);
  ASSERT_EQ(a.sendQueue.size(), 1u);
  EXPECT_EQ(Data(a.sendQueue.back()), (Bytes{0x00, 0x04, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 9, 8, 7, 6, 5,
                                             4, 3, 2, 0x00, 0x01, 0x05, '1', '0', '0', '0', '2'}));
  // Without TLV 3 nothing comes back to the sender.
  Receive(a, Snac(0x04, 0x06, msg));
  ReadFLAP(a);
  EXPECT_EQ(a.sendQueue.size(), 1u);
}

}  // namespace

namespace {

Bytes Ack(std::initializer_list<uint16_t> status) {
  Bytes out = {0x00, 0x13, 0x00, 0x0E, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04};
  for (uint16_t s : status) {
    out.push_back(uint8_t(s >> 8));
    out.push_back(uint8_t(s));
  }
  return out;
}

// Sends one request of the family through the dispatcher; the first frame of the family queued
// in reply (presence notices may come first).
Bytes Ask(ClientInfo& c, uint16_t subtype, const Bytes& body) {
  Bytes snac = Snac(0x13, subtype, body);
  c.in.head[1] = 2;
  c.in.data = snac;
  c.in.length = static_cast<uint16_t>(snac.size());
  size_t before = c.sendQueue.size();
  ReadFLAP(c);
  for (size_t i = before; i < c.sendQueue.size(); ++i)
    if (c.sendQueue[i].data[7] == 0x13) return Data(c.sendQueue[i]);
  return Bytes{};
}

TEST_F(BosUnit, EditsAnswerTheDocumentedStatusWords) {
  ClientInfo& c = Session(10001);
  WriteFile("Db/10003.ini", "[Main]\nAuthRequired=1\n");
  const Bytes mark = {0x00, 0x66, 0x00, 0x00};
  Bytes sixtyGroups;
  for (uint16_t g = 2; g <= 61; ++g) sixtyGroups = Cat({sixtyGroups, Item("g", g, 0, 1)});
  const struct {
    const char* what;
    uint16_t subtype;
    Bytes body;
    Bytes want;
  } cases[] = {
      {"group and buddy", 0x08, Cat({Item("G", 1, 0, 1), Item("10002", 1, 1, 0)}), Ack({0, 0})},
      {"id already in use", 0x08, Item("10009", 1, 1, 0), Ack({0x000A})},
      {"update of an unknown item", 0x09, Item("10009", 1, 9, 0), Ack({0x0002})},
      {"delete of an unknown item", 0x0A, Item("10009", 1, 9, 0), Ack({0x0002})},
      {"strict target without the mark", 0x08, Item("10003", 1, 2, 0), Ack({0x000E})},
      {"strict target with the mark", 0x08, Item("10003", 1, 3, 0, mark), Ack({0})},
      {"mark removed without a grant", 0x09, Item("10003", 1, 3, 0), Ack({0x000E})},
      {"item over its budget", 0x08, Item("10004", 1, 4, 0, Cat({Bytes{0x01, 0x3C, 0x04, 0x4C}, Bytes(1100, 'x')})),
       Ack({0x000C})},
      {"groups up to the limit of 61, then one more", 0x08, Cat({sixtyGroups, Item("g", 99, 0, 1)}), Bytes{}},
  };
  for (const auto& k : cases) {
    Bytes got = Ask(c, k.subtype, k.body);
    if (!k.want.empty()) {
      EXPECT_EQ(got, k.want) << k.what;
    }
  }
  Bytes last = Data(c.sendQueue.back());
  EXPECT_EQ(Bytes(last.end() - 4, last.end()), (Bytes{0x00, 0x00, 0x00, 0x0C}));
  EXPECT_EQ(last.size(), 10u + 2 * 61);
  // Every refused item left the stored list alone: 61 groups, 10002 and the marked 10003.
  DestroySession(c);
  EXPECT_EQ(LoadSsi(10001)->items.size(), 63u);
}

TEST_F(BosUnit, AThousandBuddyListGoesOutInSeveralFramesAndSurvivesARestart) {
  ClientInfo& c = Session(10001);
  // Nick (0x0131) and comment (0x013C): about 110 bytes an item, 110 KB in all.
  const Bytes tlvs = Cat({Bytes{0x01, 0x31, 0x00, 0x0C}, Bytes(12, 'n'), Bytes{0x01, 0x3C, 0x00, 0x50}, Bytes(80, 'c')});
  for (int part = 0; part < 10; ++part) {
    Bytes body;
    for (int i = 0; i < 100; ++i) body = Cat({body, Item(std::to_string(20000 + part * 100 + i), 1, uint16_t(1 + part * 100 + i), 0, tlvs)});
    ASSERT_EQ(Ask(c, 0x08, body).size(), 10u + 200) << part;
  }
  EXPECT_EQ(Ask(c, 0x08, Item("30000", 1, 2000, 0)), Ack({0x000C}));  // the 1,001st buddy
  DestroySession(c);
  ClientInfo& again = Session(10001);
  Receive(again, Snac(0x13, 0x04, {}));
  ReadFLAP(again);
  ASSERT_GE(again.sendQueue.size(), 2u);
  size_t items = 0;
  for (size_t f = 0; f < again.sendQueue.size(); ++f) {
    Bytes d = Data(again.sendQueue[f]);
    bool last = f + 1 == again.sendQueue.size();
    ASSERT_LE(d.size(), 0xFFFFu);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 11),
              (Bytes{0x00, 0x13, 0x00, 0x06, 0x00, uint8_t(last ? 0 : 1), 0x01, 0x02, 0x03, 0x04, 0x00}));
    size_t count = size_t(d[11]) << 8 | d[12], p = 13;
    for (size_t i = 0; i < count; ++i, ++items) {
      // name, group, id, type, TLV block: each item whole inside its frame
      size_t name = size_t(d[p]) << 8 | d[p + 1];
      ASSERT_EQ(std::string(d.begin() + p + 2, d.begin() + p + 2 + name), std::to_string(20000 + items));
      p += 2 + name + 6;
      size_t len = size_t(d[p]) << 8 | d[p + 1];
      ASSERT_EQ(Bytes(d.begin() + p + 2, d.begin() + p + 2 + len), tlvs);
      p += 2 + len;
    }
    EXPECT_EQ(d.size() - p, last ? 4u : 0u) << "the time stamp is in the last frame only";
  }
  EXPECT_EQ(items, 1000u);
}

TEST_F(BosUnit, AListThatCannotBeReadIsNeitherServedNorSavedShorter) {
  const std::string damaged = "[List]\nTime=5\nCount=2\n[Item1]\nType=0\nGroup=1\nId=1\nName=10002\nData=\n";
  WriteFile("Db/10001.ssi", damaged);  // one item of two: cut short
  WriteFile("Db/10002.ssi", "[List]\nTime=5\nCount=0\n");
  ASSERT_TRUE(plat::SetFaultPlan("read:*10002.ssi:1+:5"));
  for (uint32_t uin : {10001u, 10002u}) {
    ClientInfo& c = Session(uin);
    EXPECT_TRUE(Ask(c, 0x04, {}).empty()) << uin;
    EXPECT_TRUE(Ask(c, 0x05, {0, 0, 0, 0, 0, 0}).empty()) << uin;
    EXPECT_EQ(Ask(c, 0x08, Item("10003", 1, 3, 0)), Ack({0x0001})) << uin;
    DestroySession(c);
  }
  plat::SetFaultPlan("");
  EXPECT_EQ(ReadFile("Db/10001.ssi"), damaged);
  EXPECT_EQ(ReadFile("Db/10002.ssi"), "[List]\nTime=5\nCount=0\n");
  // A failed write is "not stored", and the list in memory goes back to what is on disk.
  ClientInfo& c = Session(10003);
  ASSERT_TRUE(plat::SetFaultPlan("rename:*10003.ssi*:1+:28"));
  EXPECT_EQ(Ask(c, 0x08, Item("10002", 1, 1, 0)), Ack({0x0001}));
  plat::SetFaultPlan("");
  EXPECT_EQ(Ask(c, 0x08, Item("10004", 1, 2, 0)), Ack({0}));
  EXPECT_EQ(LoadSsi(10003)->items.size(), 1u);
}

TEST_F(BosUnit, AnEditBracketIsWrittenOnceAtItsEnd) {
  ClientInfo& c = Session(10001);
  Ask(c, 0x11, {});
  EXPECT_EQ(Ask(c, 0x08, Item("10002", 1, 1, 0)), Ack({0}));
  EXPECT_EQ(Ask(c, 0x08, Item("10003", 1, 2, 0)), Ack({0}));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "Db/10001.ssi"));
  Ask(c, 0x12, {});
  EXPECT_EQ(LoadSsi(10001)->items.size(), 2u);
}

TEST_F(BosUnit, WatchesFollowTheItemsWithinMaxContacts) {
  ClientInfo& owner = Session(10001);
  ClientInfo& buddy = Session(10002);
  Ask(owner, 0x07, {});
  // Five items naming one buddy in one request: one "you were added".
  Bytes five;
  for (uint16_t id = 1; id <= 5; ++id) five = Cat({five, Item("10002", 1, id, 0)});
  EXPECT_EQ(Ask(owner, 0x08, five), Ack({0, 0, 0, 0, 0}));
  EXPECT_EQ(buddy.sendQueue.size(), 1u);
  Ask(owner, 0x0A, Cat({Item("10002", 1, 1, 0), Item("10002", 1, 2, 0), Item("10002", 1, 3, 0), Item("10002", 1, 4, 0)}));
  EXPECT_EQ(WatchersOf(10002), std::vector<ClientInfo*>{&owner});  // one item still names it
  Ask(owner, 0x0A, Item("10002", 1, 5, 0));
  EXPECT_TRUE(WatchersOf(10002).empty());
  // MaxContacts counts the upload and the stored list together.
  Cfg.MaxContacts = 2;
  ClientInfo& other = Session(10005);
  Receive(other, Snac(3, 4, Bytes{5, '1', '0', '0', '0', '7'}));
  ReadFLAP(other);
  Ask(other, 0x08, Cat({Item("10008", 1, 1, 0), Item("10009", 1, 2, 0)}));
  Ask(other, 0x07, {});
  Cfg.MaxContacts = 1000;
  EXPECT_EQ(other.contacts.size() + other.ssiContacts.size(), 2u);
  EXPECT_EQ(other.ssiContacts, std::vector<uint32_t>{10008});
}

}  // namespace

namespace {

TEST_F(BosUnit, NoWatcherSeesAStrictUserBeforeARecordedGrant) {
  ClientInfo& owner = Session(10001);
  ClientInfo& strict = Session(10003);
  ClientInfo& later = Session(10004);
  WriteFile("Db/10003.ini", "[Main]\nAuthRequired=1\n");
  WriteFile("Db/10004.ini", "[Main]\nAuthRequired=1\n");
  Ask(owner, 0x07, {});
  // Upload, update of an item the server never saw, marked add: none of them watches.
  Receive(owner, Snac(3, 4, Bytes{5, '1', '0', '0', '0', '3'}));
  ReadFLAP(owner);
  EXPECT_EQ(Ask(owner, 0x09, Item("10003", 1, 7, 0)), Ack({0x0002}));
  EXPECT_EQ(Ask(owner, 0x08, Item("10003", 1, 2, 0, {0x01, 0x31, 0x00, 0x01, 'x', 0x00, 0x66, 0x00, 0x00})), Ack({0}));
  EXPECT_TRUE(WatchersOf(10003).empty());
  uint32_t before = LoadSsi(10001)->time;
  owner.sendQueue.clear();
  // The grant: 13/1B to the requester, then 13/09 of its item without the mark.
  Receive(strict, Snac(0x13, 0x1A, {0x05, '1', '0', '0', '0', '1', 0x01, 0x00, 0x00}));
  ReadFLAP(strict);
  ASSERT_GE(owner.sendQueue.size(), 2u);
  Bytes reply = Data(owner.sendQueue[0]), update = Data(owner.sendQueue[1]);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), (Bytes{0x00, 0x13, 0x00, 0x1B, 0x00, 0x00}));
  EXPECT_EQ(Bytes(reply.begin() + 10, reply.end()), (Bytes{0x05, '1', '0', '0', '0', '3', 0x01, 0x00, 0x00}));
  EXPECT_EQ(Bytes(update.begin(), update.begin() + 6), (Bytes{0x00, 0x13, 0x00, 0x09, 0x00, 0x00}));
  EXPECT_EQ(Bytes(update.begin() + 10, update.end()),
            (Bytes{0x00, 0x05, '1', '0', '0', '0', '3', 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 0x01, 0x31, 0x00, 0x01, 'x'}));
  EXPECT_EQ(WatchersOf(10003), std::vector<ClientInfo*>{&owner});
  EXPECT_GT(LoadSsi(10001)->time, before);  // a cached copy is no longer "up to date"
  // A future authorization is recorded: the later add needs no mark.
  Receive(later, Snac(0x13, 0x14, {0x05, '1', '0', '0', '0', '1', 0x00, 0x00, 0x00, 0x00}));
  ReadFLAP(later);
  EXPECT_EQ(Ask(owner, 0x08, Item("10004", 1, 4, 0)), Ack({0}));
  EXPECT_EQ(WatchersOf(10004), std::vector<ClientInfo*>{&owner});
}

// A channel-1 message "h" from one session to another, with request id 01 02 03 04.
Bytes Message(const std::string& to) {
  return Snac(0x04, 0x06, Cat({Bytes{9, 8, 7, 6, 5, 4, 3, 2, 0x00, 0x01, uint8_t(to.size())}, Bytes(to.begin(), to.end()),
                               Bytes{0x00, 0x02, 0x00, 0x0E, 0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01, 0x00, 0x05,
                                     0x00, 0x00, 0x00, 0x00, 'h'}}));
}

uint16_t SubtypeOf(const FlapFrame& f) { return uint16_t(f.data[8] << 8 | f.data[9]); }

TEST_F(BosUnit, DenyIgnoreAndVisibilityDecideWhoSeesAndReachesTheOwner) {
  ClientInfo& alice = Session(10001);
  ClientInfo& bob = Session(10002);
  Receive(bob, Snac(3, 4, Bytes{5, '1', '0', '0', '0', '1'}));
  ReadFLAP(bob);
  auto status = [&](uint16_t word) {
    Receive(alice, Snac(0x01, 0x1E, {0x00, 0x06, 0x00, 0x04, 0x00, 0x00, uint8_t(word >> 8), uint8_t(word)}));
    ReadFLAP(alice);
  };
  auto bobGets = [&](auto&& step) {
    bob.sendQueue.clear();
    alice.sendQueue.clear();
    step();
    std::vector<uint16_t> out;
    for (const FlapFrame& f : bob.sendQueue) out.push_back(uint16_t(f.data[6] << 8 | f.data[7]) << 8 | SubtypeOf(f));
    return out;
  };
  auto send = [&] {
    Receive(bob, Message("10001"));
    ReadFLAP(bob);
  };
  // A typing notice from bob: alice hears of it while she takes his messages.
  auto aliceHearsTyping = [&] {
    alice.sendQueue.clear();
    Receive(bob, Snac(0x04, 0x14, {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 5, '1', '0', '0', '0', '1', 0x00, 0x02}));
    ReadFLAP(bob);
    return !alice.sendQueue.empty() && SubtypeOf(alice.sendQueue.back()) == 0x14;
  };
  using V = std::vector<uint16_t>;
  EXPECT_EQ(bobGets([&] { status(0); }), V{0x030B});
  EXPECT_TRUE(aliceHearsTyping());
  // Deny: bob sees alice leave, no more of her presence, and his message is refused (04/01,
  // "recipient is not logged in").
  EXPECT_EQ(bobGets([&] { Ask(alice, 0x08, Item("10002", 0, 1, 3)); }), V{0x030C});
  EXPECT_EQ(bobGets([&] { status(0x0001); }), V{});
  EXPECT_EQ(bobGets(send), V{0x0401});
  EXPECT_EQ(Data(bob.sendQueue.back()), (Bytes{0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x04}));
  EXPECT_TRUE(alice.sendQueue.empty());
  EXPECT_FALSE(aliceHearsTyping());
  // Ignore instead: bob sees her again; his message is dropped without a word.
  EXPECT_EQ(bobGets([&] { Ask(alice, 0x0A, Item("10002", 0, 1, 3)); }), V{0x030B});
  Ask(alice, 0x08, Item("10002", 0, 2, 14));
  EXPECT_EQ(bobGets(send), V{});
  EXPECT_TRUE(alice.sendQueue.empty());
  EXPECT_FALSE(aliceHearsTyping());
  // Invisible: only the visible list sees her.
  EXPECT_EQ(bobGets([&] { status(0x0100); }), V{0x030C});
  EXPECT_EQ(bobGets([&] { Ask(alice, 0x08, Item("10002", 0, 3, 2)); }), V{0x030B});
  // Visible again, with the permit/deny mode "nobody" (TLV 0x00CA = 2).
  EXPECT_EQ(bobGets([&] { status(0); }), V{0x030B});
  EXPECT_EQ(bobGets([&] { Ask(alice, 0x08, Item("", 0, 9, 4, {0x00, 0xCA, 0x00, 0x01, 0x02})); }), V{0x030C});
}

}  // namespace
