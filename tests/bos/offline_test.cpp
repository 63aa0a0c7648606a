// The offline store: record layout, replay stamping, damaged files and deletion.
#include "VornBOS/directory/meta.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/presence.h"
#include "server-core/wire.h"
#include "tests/bos/bos_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes HelloMessage(const std::string& to) {
  Bytes tlv = {5, 1, 0, 1, 1, 1, 1, 0, 9, 0, 0, 0, 0, 'H', 'e', 'l', 'l', 'o'};
  WireWriter w;
  w.be16(4).be16(6).be16(0).be32(1).zeros(8).be16(1).text8(to).be16(2).be16(static_cast<uint16_t>(tlv.size()));
  w.bytes(tlv.data(), tlv.size());
  return w.buffer();
}

MetaRequest OfflineRequest(ClientInfo& c, uint16_t seq) {
  return MetaRequest{c, {9, 8, 7, 6}, seq, 0x003C, 0, nullptr, 0};
}

TEST_F(BosUnit, OfflineRecordOfAPlainMessage) {
  ClientInfo& a = Session(1000);
  a.in.data = HelloMessage("2000");
  a.in.length = static_cast<uint16_t>(a.in.data.size());
  RouteMessage(a);
  std::string rec = ReadFile("olm/2000.olm");
  ASSERT_EQ(rec.size(), 59u);
  EXPECT_EQ(rec.substr(0, 6), std::string("\x2A\x02\x00\x00\x00\x35", 6));
  EXPECT_EQ(rec.substr(22, 4), std::string("\xD0\x07\x00\x00", 4));
  EXPECT_EQ(rec.substr(26, 4), std::string("\x41\x00\x02\x00", 4));
  EXPECT_EQ(rec.substr(30, 4), std::string("\xE8\x03\x00\x00", 4));
  EXPECT_EQ(rec.substr(40, 4), std::string("\x01\x00\x06\x00", 4));
  EXPECT_EQ(rec.substr(44, 6), std::string("Hello\0", 6));
  EXPECT_NE(Log().find("Create OLM from 1000 to 2000"), std::string::npos);
}

TEST_F(BosUnit, AMessageTooLongForOneStoredFrameIsDropped) {
  ClientInfo& a = Session(1000);
  std::string text(65492, 'x');
  Bytes tlv = {5, 1, 0, 1, 1, 1, 1};
  WireWriter frag;
  frag.be16(static_cast<uint16_t>(text.size() + 4)).be16(0).be16(0).bytes(text);
  tlv.insert(tlv.end(), frag.buffer().begin(), frag.buffer().end());
  WireWriter w;
  w.be16(4).be16(6).be16(0).be32(1).zeros(8).be16(1).text8("7").be16(2).be16(static_cast<uint16_t>(tlv.size()));
  w.bytes(tlv.data(), tlv.size());
  ASSERT_LE(w.size(), 0xFFFFu);
  a.in.data = w.buffer();
  a.in.length = static_cast<uint16_t>(a.in.data.size());
  RouteMessage(a);
  EXPECT_TRUE(ReadFile("olm/7.olm").empty());
  EXPECT_NE(Log().find("Bad message SNAC from 1000"), std::string::npos);
}

TEST_F(BosUnit, ReplayStampsEachRecordAndSkipsADamagedTail) {
  ClientInfo& a = Session(1000);
  a.in.data = HelloMessage("1001");
  a.in.length = static_cast<uint16_t>(a.in.data.size());
  RouteMessage(a);
  RouteMessage(a);
  std::string stored = ReadFile("olm/1001.olm");
  WriteFile("olm/1001.olm", stored + std::string("\x2A\x02\x00\x00\x01\x00" "abc", 9));  // announces 256 bytes
  ClientInfo& b = Session(1001);
  b.Seq = 0xFFFF;
  SendOfflineMessages(OfflineRequest(b, 0x0102));
  ASSERT_EQ(b.sendQueue.size(), 3u);  // two records and the end reply
  const Bytes& first = b.sendQueue[0].data;
  const Bytes& second = b.sendQueue[1].data;
  EXPECT_EQ(GetBe16(&first[2]), 0xFFFF);
  EXPECT_EQ(GetBe16(&second[2]), 0x0000);
  EXPECT_EQ(Bytes(first.begin() + 12, first.begin() + 16), (Bytes{9, 8, 7, 6}));
  EXPECT_EQ(Bytes(first.begin() + 28, first.begin() + 30), (Bytes{0x02, 0x01}));
  const Bytes& end = b.sendQueue[2].data;
  ASSERT_EQ(end.size(), 31u);
  EXPECT_EQ(Bytes(end.begin() + 26, end.begin() + 31), (Bytes{0x42, 0, 0x02, 0x01, 0}));
  EXPECT_NE(Log().find("OLM record cut. Size=262"), std::string::npos);

  DeleteOfflineMessages(b);
  b.sendQueue.clear();
  SendOfflineMessages(OfflineRequest(b, 1));
  EXPECT_TRUE(b.sendQueue.empty());  // no file: not even the end reply
}

TEST_F(BosUnit, DeletionRemovesOnlyWhatThisSessionWasGiven) {
  ClientInfo& a = Session(1000);
  a.in.data = HelloMessage("1001");
  a.in.length = static_cast<uint16_t>(a.in.data.size());
  RouteMessage(a);
  std::string first = ReadFile("olm/1001.olm");
  ClientInfo& b = Session(1001);
  DeleteOfflineMessages(b);  // nothing replayed yet: nothing removed
  EXPECT_EQ(ReadFile("olm/1001.olm"), first);
  SendOfflineMessages(OfflineRequest(b, 1));
  ASSERT_EQ(b.sendQueue.size(), 2u);  // the record and the end reply
  WriteFile("olm/1001.olm", first + first);  // one more stored after the replay: it stays
  std::string both = ReadFile("olm/1001.olm");
  ASSERT_EQ(both.size(), 2 * first.size());
  DeleteOfflineMessages(b);
  EXPECT_EQ(ReadFile("olm/1001.olm"), both.substr(first.size()));
  DeleteOfflineMessages(b);  // a second request removes nothing more
  EXPECT_EQ(ReadFile("olm/1001.olm"), both.substr(first.size()));
}

TEST_F(BosUnit, AuthorizationRequestWithALyingReasonLengthIsDropped) {
  ClientInfo& a = Session(1000);
  WireWriter w;
  w.be16(0x13).be16(0x18).be16(0).be32(1).text8("2000").be16(50).bytes("short");
  a.in.data = w.buffer();
  a.in.length = static_cast<uint16_t>(a.in.data.size());
  ForwardAuthRequest(a);
  EXPECT_TRUE(ReadFile("olm/2000.olm").empty());
  WireWriter ok;
  ok.be16(0x13).be16(0x18).be16(0).be32(1).text8("2000").be16(5).bytes("short").be16(0);
  a.in.data = ok.buffer();
  a.in.length = static_cast<uint16_t>(a.in.data.size());
  ForwardAuthRequest(a);
  std::string rec = ReadFile("olm/2000.olm");
  ASSERT_EQ(rec.size(), a.in.data.size() - 4 + 4 + 6);
  EXPECT_EQ(rec.substr(6, 4), std::string("\x00\x13\x00\x19", 4));
  EXPECT_EQ(rec.substr(16, 5), "\x04" "1000");
}

}  // namespace
