// Stored-list edits and typing notices as the owner's client sees them afterwards.
#include <ctime>

#include "VornBOS/dispatcher.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/ssi/handlers.h"
#include "VornBOS/ssi/owner.h"
#include "VornBOS/ssi/store.h"
#include "server-core/wire.h"
#include "tests/bos/bos_fixture.h"
#include "tests/bos/client_snac.h"

namespace {

using Bytes = std::vector<uint8_t>;
using client_snac::Snac;
using client_snac::Item;

uint16_t Subtype(const FlapFrame& f) { return static_cast<uint16_t>(f.data[6 + 2] << 8 | f.data[6 + 3]); }

TEST_F(BosUnit, AnEditStampsTheListSoAnOldCopyIsNotUpToDate) {
  ClientInfo& c = Session(10001);
  WriteFile("Db/10001.ssi", "[List]\nTime=16909060\nCount=1\n[Item1]\nType=1\nGroup=1\nId=0\nName=G\nData=\n");
  Receive(c, Snac(0x13, 0x08, Item("10002", 1, 7, 0)));
  const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  SsiAddItems(c);
  const uint32_t stamp = LoadSsi(10001)->time;
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, before + 5);
  // The client kept the old time stamp but counted its own addition: the whole list comes.
  Receive(c, Snac(0x13, 0x05, {0x01, 0x02, 0x03, 0x04, 0x00, 0x02}));
  SsiCheckList(c);
  EXPECT_EQ(Subtype(c.sendQueue.back()), 0x0006);
}

TEST_F(BosUnit, NamesWithPercentAndControlBytesComeBackAsSent) {
  ClientInfo& c = Session(10001);
  const std::string names[] = {"50%25 off", "%", "a%zz", "tab\there", " edge "};
  uint16_t id = 1;
  for (const std::string& name : names) {
    Receive(c, Snac(0x13, 0x08, Item(name, 1, id++, 1)));
    SsiAddItems(c);
  }
  // The file, as a restarted server reads it.
  FlushAllOwnerLists();
  auto stored = LoadSsi(10001);
  ASSERT_TRUE(stored);
  std::vector<std::string> got;
  for (const SsiItem& item : stored->items) got.push_back(item.name);
  EXPECT_EQ(got, std::vector<std::string>(std::begin(names), std::end(names)));
}

TEST_F(BosUnit, ItemsWithOneIdInTwoGroupsAreTwoItems) {
  ClientInfo& c = Session(10001);
  Receive(c, Snac(0x13, 0x08, Item("10002", 1, 5, 0)));
  SsiAddItems(c);
  Receive(c, Snac(0x13, 0x08, Item("10003", 2, 5, 0)));
  SsiAddItems(c);
  ASSERT_EQ(LoadSsi(10001)->items.size(), 2u);
  Receive(c, Snac(0x13, 0x0A, Item("10003", 2, 5, 0)));
  SsiDeleteItems(c);
  auto list = LoadSsi(10001);
  ASSERT_EQ(list->items.size(), 1u);
  EXPECT_EQ(list->items[0].name, "10002");
  EXPECT_EQ(list->items[0].group, 1);
}

TEST_F(BosUnit, AnUpdatedBuddyStaysWatched) {
  ClientInfo& owner = Session(10001);
  Session(10002);
  Receive(owner, Snac(0x13, 0x07, {}));
  SsiActivate(owner);
  Receive(owner, Snac(0x13, 0x08, Item("10002", 1, 1, 0)));
  SsiAddItems(owner);
  ASSERT_EQ(WatchersOf(10002), std::vector<ClientInfo*>{&owner});
  // A new alias (TLV 0x0131) for the same buddy.
  Receive(owner, Snac(0x13, 0x09, Item("10002", 1, 1, 0, {0x01, 0x31, 0x00, 0x02, 'B', 'o'})));
  SsiUpdateItems(owner);
  EXPECT_EQ(WatchersOf(10002), std::vector<ClientInfo*>{&owner});
}

TEST_F(BosUnit, TypingNoticesThatReachNobodyAreDropped) {
  ClientInfo& a = Session(10001);
  ClientInfo& b = Session(10002);
  const Bytes toSelf = {1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x01, 0x05, '1', '0', '0', '0', '1', 0x00, 0x02};
  const Bytes cut = {1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x01, 0x05, '1', '0', '0', '0', '2', 0x00};
  for (const Bytes& body : {toSelf, cut}) {
    Receive(a, Snac(0x04, 0x14, body));
    ReadFLAP(a);
  }
  EXPECT_TRUE(a.sendQueue.empty());
  EXPECT_TRUE(b.sendQueue.empty());
  // A session whose connection is gone gets nothing queued either.
  const Bytes toB = {1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x01, 0x05, '1', '0', '0', '0', '2', 0x00, 0x01};
  const auto socket = b.ClnSocket;
  b.ClnSocket = -1;
  Receive(a, Snac(0x04, 0x14, toB));
  ReadFLAP(a);
  b.ClnSocket = socket;
  EXPECT_TRUE(b.sendQueue.empty());
}

// Only TLV 3 asks for the server's acknowledgement; "store if offline" (TLV 6) does not.
TEST_F(BosUnit, AMessageWithOtherTrailingTlvsGetsNoServerAck) {
  ClientInfo& a = Session(10001);
  ClientInfo& b = Session(10002);
  Bytes msg = {9, 8, 7, 6, 5, 4, 3, 2, 0x00, 0x01, 0x05, '1', '0', '0', '0', '2',
               0x00, 0x02, 0x00, 0x0E, 0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 'h',
               0x00, 0x06, 0x00, 0x00};
  Receive(a, Snac(0x04, 0x06, msg));
  ReadFLAP(a);
  EXPECT_EQ(b.sendQueue.size(), 1u);
  EXPECT_TRUE(a.sendQueue.empty());
}

}  // namespace
