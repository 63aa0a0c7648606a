// Presence notices, message routing, acknowledgements, list relays, authorization forwarding
// and the offline store: every frame queued for a client compared whole with the frame
// written out from the message tables.
#include <ctime>

#include "VornBOS/presence/presence.h"
#include "platform/clock.h"
#include "tests/frames/frames.h"

namespace frames {
namespace {

const std::string kCookie = "C1 C2 C3 C4 C5 C6 C7 C8";

// A message SNAC (0x04/0x06) as a client sends it, request id 0A 0B 0C 0D.
Bytes MessageSnac(const std::string& channel, const std::string& to, const std::string& firstTlv,
                  const std::string& more = "") {
  return Hex("00 04 00 06 00 00 0A 0B 0C 0D " + kCookie + channel + " 0" + std::to_string(to.size()) + " '" + to +
             "' " + firstTlv + more);
}

// Channel-1 text "Hi" (capability fragment, then text fragment) and channel-4 text "Yo".
const std::string kTlvHi = "00 02 00 0F  05 01 00 01 01  01 01 00 06 00 00 00 00 'Hi'";
const std::string kTlvYo = "00 05 00 0B  E8 03 00 00  01 00  03 00 'Yo' 00";

class PresenceFrames : public FrameTest {
 protected:
  void TearDown() override {
    ClearSendLists();
    Cfg.isSendChat = false;
    Cfg.TemplateMsg = "Message from %%UIN%% %%NICK%% - %%FIRST%% %%LAST%%";
    FrameTest::TearDown();
  }
  ClientInfo& Online(uint32_t uin, uint16_t seq) {
    ClientInfo& c = Session(uin);
    c.Seq = seq;
    std::fill(c.Status, c.Status + 4, 0);
    return c;
  }
};

TEST_F(PresenceFrames, OnlineAndDepartureNotices) {
  ClientInfo& a = Online(1000, 0x0100);
  ClientInfo& b = Online(2000, 0x0300);
  const uint8_t ext[4] = {127, 0, 0, 1};
  std::copy(ext, ext + 4, a.ipExt);
  a.connectTime = 0x5F5E1000;  // signed on at 2020-09-13 12:26:40 UTC
  Cfg.snacReqId = 0x10;
  // Capabilities: one whole 16-byte entry, passed on whole.
  Dispatch(a, Hex("00 02 00 04 00 00 00 00 00 01  00 05 00 10  A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF"));
  const Bytes status = Hex("00 01 00 1E 00 00 00 00 00 01  00 06 00 04 00 01 00 02  00 08 00 02 00 00"
                           "  00 0C 00 25 0A 01 02 03 00 00 0F A0 04 00 09 11 22 33 44"
                           "  00 00 00 50 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  Dispatch(a, status);  // nobody watches yet
  EXPECT_TRUE(Sent(a).empty());
  Dispatch(b, Hex("00 03 00 04 00 00 00 00 00 02  04 '1000'"));  // the upload announces 1000
  Dispatch(a, status);                                             // and so does the next status
  auto notice = [&](const std::string& seq, const std::string& reqId) {
    return Hex("2A 02 " + seq + " 00 76  00 03 00 0B 00 00 " + reqId + "  04 '1000'  00 00  00 07"
               "  00 01 00 02 00 50"
               "  00 0C 00 25  0A 01 02 03  00 00 0F A0  04  00 09  11 22 33 44  00 00 00 50  00 00 00 03"
               "  FF FF FF FF  00 00 00 00 00 00 00 00 00 00"
               "  00 0A 00 04 7F 00 00 01"
               "  00 06 00 04 00 01 00 02"
               "  00 0D 00 10  A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF"
               "  00 0F 00 04 00 00 5B 15"
               "  00 03 00 04 5F 5E 10 00");
  };
  ExpectFrames(Sent(b), {notice("03 00", "00 00 00 11"), notice("03 01", "00 00 00 12")}, "online notices");
  DestroySession(a);
  ExpectFrames(Sent(b), {Hex("2A 02 03 02 00 17  00 03 00 0C 00 00 00 00 00 13  04 '1000'  00 00  00 01  00 02 00 00")},
               "departure notice");
}

TEST_F(PresenceFrames, MessagesAcknowledgementsAndTheirFrames) {
  ClientInfo& a = Online(1000, 0x0400);
  ClientInfo& b = Online(2000, 0x0600);
  a.Status[1] = 0x20;  // the sender's status travels in TLV 6
  Cfg.snacReqId = 0x20;
  struct Case {
    const char* name;
    ClientInfo* from;
    Bytes snac;
    std::vector<Bytes> toA, toB;
  } cases[] = {
      {"channel 1", &a, MessageSnac("00 01", "2000", kTlvHi, "  00 06 00 00"),
       {},
       {Hex("2A 02 06 00 00 4E  00 04 00 07 00 00 00 00 00 21 " + kCookie + " 00 01  04 '1000'  00 00  00 04"
            "  00 01 00 02 00 50  00 06 00 04 00 20 00 00  00 0F 00 04 00 00 42 E0  00 03 00 04 3E 37 5B D7  " +
            kTlvHi)}},
      {"channel 4", &a, MessageSnac("00 04", "2000", kTlvYo),
       {},
       {Hex("2A 02 06 01 00 4A  00 04 00 07 00 00 00 00 00 22 " + kCookie + " 00 04  04 '1000'  00 00  00 04"
            "  00 01 00 02 00 50  00 06 00 04 00 20 00 00  00 0F 00 04 00 00 42 E0  00 03 00 04 3E 37 5B D7  " +
            kTlvYo)}},
      // Channel 2: the sender's acknowledgement, then the message; every frame carries the
      // next sequence number of the connection it goes to.
      {"channel 2", &a, MessageSnac("00 02", "2000", "00 05 00 06 00 00 C1 C2 09 46"),
       {Hex("2A 02 04 00 00 19  00 04 00 0C 00 00 0A 0B 0C 0D " + kCookie + " 00 02  04 '2000'")},
       {Hex("2A 02 06 02 00 45  00 04 00 07 00 00 00 00 00 23 " + kCookie + " 00 02  04 '1000'  00 00  00 04"
            "  00 01 00 02 00 50  00 06 00 04 00 20 00 00  00 0F 00 04 00 00 42 E0  00 03 00 04 3E 37 5B D7"
            "  00 05 00 06 00 00 C1 C2 09 46")}},
      {"channel 2 to nobody: only the acknowledgement", &a, MessageSnac("00 02", "5555", "00 05 00 02 00 00"),
       {Hex("2A 02 04 01 00 19  00 04 00 0C 00 00 0A 0B 0C 0D " + kCookie + " 00 02  04 '5555'")},
       {}},
      // The acknowledgement names the client that acknowledges, and keeps what follows.
      {"client acknowledgement", &b,
       Hex("00 04 00 0B 00 00 0A 0B 0C 0D " + kCookie + " 00 02  04 '1000'  00 03  00 1B 00 08 'I am away'"),
       {Hex("2A 02 04 02 00 28  00 04 00 0B 00 00 00 00 00 24 " + kCookie + " 00 02  04 '2000'"
            "  00 03  00 1B 00 08 'I am away'")},
       {}},
      {"acknowledgement to nobody", &b, Hex("00 04 00 0B 00 00 0A 0B 0C 0D " + kCookie + " 00 02  04 '5555'  00 03"),
       {},
       {}},
      // Rejected inner fields: a foreign inner number, and a type outside 1, 4 and 12.
      {"channel 4, foreign inner number", &a, MessageSnac("00 04", "2000", "00 05 00 0B  E9 03 00 00  01 00  03 00 'Yo' 00"),
       {}, {}},
      {"channel 4, chat request type", &a, MessageSnac("00 04", "2000", "00 05 00 0B  E8 03 00 00  02 00  03 00 'Yo' 00"),
       {}, {}},
      {"channel 4, URL type", &a, MessageSnac("00 04", "2000", "00 05 00 0B  E8 03 00 00  04 00  03 00 'Yo' 00"),
       {},
       {Hex("2A 02 06 03 00 4A  00 04 00 07 00 00 00 00 00 25 " + kCookie + " 00 04  04 '1000'  00 00  00 04"
            "  00 01 00 02 00 50  00 06 00 04 00 20 00 00  00 0F 00 04 00 00 42 E0  00 03 00 04 3E 37 5B D7"
            "  00 05 00 0B  E8 03 00 00  04 00  03 00 'Yo' 00")}},
  };
  for (auto& k : cases) {
    Dispatch(*k.from, k.snac);
    ExpectFrames(Sent(a), k.toA, std::string(k.name) + " (to 1000)");
    ExpectFrames(Sent(b), k.toB, std::string(k.name) + " (to 2000)");
  }
  std::string log = Log();
  for (const char* line : {"Error - get slow msg but user=5555 offline ", "Not equality ID=-385679360",
                           "Not suport this sub type=2 msg", "Error client=5555 OFFline, bat send slow msg"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

// The storage time of a record written now, in the record's byte order.
std::string StorageTimeHex() {
  std::time_t now = std::time(nullptr);
  std::tm local = plat::LocalTime(now);
  std::tm t = plat::UtcTime(now + (local.tm_isdst > 0 ? 3600 : 0));
  char buf[32];
  int year = t.tm_year + 1900;
  std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X %02X %02X", year & 0xFF, year >> 8, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min);
  return buf;
}

TEST_F(PresenceFrames, ListRelayRewritesTextAndInnerNumber) {
  WriteFile("Db/300.ini", "[List]\n0=2000\n1=3000\n2=-\n");
  Cfg.isSendChat = true;
  Cfg.TemplateMsg = "From %UIN%:\\n";
  ClearSendLists();
  AddSendList(300);
  ClientInfo& a = Online(1000, 0x0100);
  ClientInfo& b = Online(2000, 0x0200);
  Cfg.snacReqId = 0;
  const std::string when = StorageTimeHex();
  Dispatch(a, MessageSnac("00 01", "300", kTlvHi));
  Dispatch(a, MessageSnac("00 04", "300", kTlvYo));
  const std::string head = "00 0F 00 04 00 00 42 E0  00 03 00 04 3E 37 5B D7";
  ExpectFrames(Sent(b),
               {Hex("2A 02 02 00 00 59  00 04 00 07 00 00 00 00 00 01 " + kCookie + " 00 01  03 '300'  00 00  00 04"
                    "  00 01 00 02 00 50  00 06 00 04 00 00 00 00  " + head +
                    "  00 02 00 1B  05 01 00 01 01  01 01 00 12 00 00 00 00 'From 1000:' 0D 0A 'Hi'"),
                Hex("2A 02 02 01 00 55  00 04 00 07 00 00 00 00 00 02 " + kCookie + " 00 04  03 '300'  00 00  00 04"
                    "  00 01 00 02 00 50  00 06 00 04 00 00 00 00  " + head +
                    "  00 05 00 17  2C 01 00 00  01 00  0F 00 'From 1000:' 0D 0A 'Yo' 00")},
               "relayed through list 300");
  EXPECT_TRUE(Sent(a).empty());
  // 3000 is not connected: its records carry the list number and the relay text.
  if (StorageTimeHex() != when) GTEST_SKIP() << "the minute changed while storing";
  const std::string record = "2A 02 00 00 00 3E  00 15 00 03 00 00 00 00 00 00  00 01 00 30  2E 00  B8 0B 00 00  41 00  02 00"
                             "  2C 01 00 00 " + when + "  01 00  0F 00  'From 1000:' 0D 0A ";
  const std::string nine = " 00  00 00 00 00 00 00 00 00 00";
  const std::string stored = ReadFile("olm/3000.olm");
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), Cat({Hex(record + "'Hi'" + nine), Hex(record + "'Yo'" + nine)}));
}

TEST_F(PresenceFrames, AuthorizationForwardingAndTheOfflineStore) {
  ClientInfo& a = Online(1000, 0x0100);
  ClientInfo& b = Online(2000, 0x0200);
  Cfg.snacReqId = 0x30;
  Dispatch(a, Hex("00 13 00 18 00 00 0A 0B 0C 0D  04 '2000'  00 06 'please'  00 00"));
  Dispatch(b, Hex("00 13 00 1A 00 00 0A 0B 0C 0D  04 '1000'  00  00 02 'no'  00 00"));
  Dispatch(b, Hex("00 13 00 1A 00 00 0A 0B 0C 0D  04 '1000'  01  00 00  00 00"));
  ExpectFrames(Sent(b), {Hex("2A 02 02 00 00 19  00 13 00 19 00 00 00 00 00 31  04 '1000'  00 06 'please'  00 00")},
               "authorization request");
  // Both as 13/1B: the replier, the flag (0 declined, 1 granted), the reason.
  ExpectFrames(Sent(a),
               {Hex("2A 02 01 00 00 14  00 13 00 1B 00 00 00 00 00 32  04 '2000'  00  00 02 'no'"),
                Hex("2A 02 01 01 00 12  00 13 00 1B 00 00 00 00 00 33  04 '2000'  01  00 00")},
               "authorization replies");

  // To 3000, who is not connected: a message and a request are stored, and replayed at its
  // meta request 0x003C with its sequence numbers, request id and meta sequence.
  std::string when = StorageTimeHex();
  Dispatch(a, MessageSnac("00 01", "3000", "00 02 00 12  05 01 00 01 01  01 01 00 09 00 00 00 00 'Hello'"));
  Dispatch(a, Hex("00 13 00 18 00 00 0A 0B 0C 0D  04 '3000'  00 02 'hi'  00 00"));
  if (StorageTimeHex() != when) GTEST_SKIP() << "the minute changed while storing";
  ClientInfo& c = Online(3000, 0x0500);
  const Bytes request = Hex("00 15 00 02 00 00 71 72 73 74  00 01 00 0A  08 00  B8 0B 00 00  3C 00  07 99");
  Dispatch(c, request);
  const std::vector<Bytes> replay = {
      Hex("2A 02 05 00 00 35  00 15 00 03 00 00 71 72 73 74  00 01 00 27  25 00  B8 0B 00 00  41 00  07 99"
          "  E8 03 00 00 " + when + "  01 00  06 00 'Hello' 00  00 00 00 00 00 00 00 00 00"),
      Hex("2A 02 05 01 00 15  00 13 00 19 00 00 71 72 73 74  04 '1000'  00 02 'hi'  00 00"),
      Hex("2A 02 05 02 00 19  00 15 00 03 00 00 71 72 73 74  00 01 00 0B  09 00  B8 0B 00 00  42 00  07 99  00")};
  ExpectFrames(Sent(c), replay, "offline replay");
  Dispatch(c, request);  // again, until deleted
  auto again = Sent(c);
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(GetBe16(&again[0][2]), 0x0503);
  // Deleting sends nothing; the next request gets nothing at all.
  Dispatch(c, Hex("00 15 00 02 00 00 71 72 73 74  00 01 00 0A  08 00  B8 0B 00 00  3E 00  08 99"));
  Dispatch(c, request);
  EXPECT_TRUE(Sent(c).empty());
}

// AIM-style retrieval (0x0004/0x0010) of the same store: the stored message as an incoming
// message marked stored, with its time, then the end reply; after that nothing is left for
// either way of asking.
TEST_F(PresenceFrames, OfflineRetrievalByMessagingFamilyDeliversEachMessageOnce) {
  ClientInfo& a = Online(1000, 0x0100);
  std::time_t now = std::time(nullptr);
  Dispatch(a, MessageSnac("00 01", "3000", kTlvHi, "  00 06 00 00"));
  ClientInfo& c = Online(3000, 0x0500);
  const Bytes retrieve = Hex("00 04 00 10 00 00 00 00 00 07");
  Dispatch(c, retrieve);
  if (std::time(nullptr) / 60 != now / 60) GTEST_SKIP() << "the minute changed while storing";
  char sent[16];
  uint32_t minute = static_cast<uint32_t>(now - now % 60);
  std::snprintf(sent, sizeof sent, "%02X %02X %02X %02X", minute >> 24, (minute >> 16) & 0xFF, (minute >> 8) & 0xFF,
                minute & 0xFF);
  ExpectFrames(Sent(c),
               {Hex("2A 02 05 00 00 3C  00 04 00 07 00 00 00 00 00 07  " + std::string(sent) +
                    " 00 00 00 01  00 01  04 '1000'  00 00  00 00"
                    "  00 02 00 0F  05 01 00 01 01  01 01 00 06 00 00 00 00 'Hi'  00 06 00 00  00 16 00 04 " + sent),
                Hex("2A 02 05 01 00 0A  00 04 00 17 00 00 00 00 00 07")},
               "retrieved");
  Dispatch(c, Hex("00 15 00 02 00 00 71 72 73 74  00 01 00 0A  08 00  B8 0B 00 00  3C 00  07 99"));
  Dispatch(c, retrieve);
  ExpectFrames(Sent(c), {Hex("2A 02 05 02 00 0A  00 04 00 17 00 00 00 00 00 07")}, "asked again");
}

}  // namespace
}  // namespace frames
