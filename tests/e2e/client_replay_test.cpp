// Replays what real ICQ clients sent (their captured frames, with the login cookie and the MD5
// digest substituted) against the real servers, and checks the replies each client needs.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "VornAuth/md5.h"
#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

struct Captured {
  std::string number;
  bool login = false;
  Bytes frame;  // the whole FLAP frame
  uint8_t channel() const { return frame.size() > 1 ? frame[1] : 0; }
  Bytes data() const { return Bytes(frame.begin() + 6, frame.end()); }
};

std::vector<Captured> LoadCapture(const std::string& client) {
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/tests/e2e/clients/" + client + ".frames");
  std::vector<Captured> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    Captured c;
    std::string server, hex;
    s >> c.number >> server >> hex;
    c.login = server == "login";
    for (size_t i = 0; i + 1 < hex.size(); i += 2) c.frame.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    out.push_back(std::move(c));
  }
  return out;
}

uint16_t MetaSubtype(const Frame& f) { return f.data.size() >= 26 ? static_cast<uint16_t>(f.data[24] | f.data[25] << 8) : 0; }
uint16_t SnacFlags(const Frame& f) { return f.data.size() >= 6 ? static_cast<uint16_t>(f.data[4] << 8 | f.data[5]) : 0; }
uint32_t ReqIdOf(const Frame& f) {
  return f.data.size() >= 10 ? uint32_t(f.data[6]) << 24 | uint32_t(f.data[7]) << 16 | uint32_t(f.data[8]) << 8 | f.data[9] : 0;
}
bool Contains(const Bytes& data, const std::string& text) {
  return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
}

class ClientReplay : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.WriteIni(0);
    for (uint32_t u = 10001; u <= 10004; ++u) {
      std::string n = std::to_string(u);
      dir.WriteUser(u, "[Main]\nPass=pw" + n + "\nnick=nick" + n + "\nFirst=First" + n + "\nLast=Last" + n +
                           "\nemail=u" + n + "@example.org\n");
    }
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
    // 10002 is online and watches the client (it sees the client's presence).
    ASSERT_TRUE(peer.SignOn(dir.authPort, dir.bosPort, 10002, "pw10002"));
    peer.AddContacts({10001});
    peer.SetStatus(0);
  }

  // The client's login at VornAuth, roasted or MD5; returns the cookie.
  Bytes Login(const std::vector<Captured>& frames) {
    OscarClient c;
    EXPECT_TRUE(c.Connect(dir.authPort));
    EXPECT_TRUE(c.ReadFrame());  // hello
    std::string key;
    for (const Captured& f : frames) {
      if (!f.login || f.channel() == 4) continue;
      Bytes frame = f.frame;
      bool md5Login = f.channel() == 2 && frame[9] == 0x02;
      if (md5Login) {
        // TLV 0x0025 of the captured login holds the digest made with the capture's key.
        auto at = std::search(frame.begin() + 16, frame.end(), std::begin(kDigestTlv), std::end(kDigestTlv));
        EXPECT_NE(at, frame.end());
        Md5Digest d = Md5(key + "pw10001" + "AOL Instant Messenger (SM)");
        std::copy(d.begin(), d.end(), at + 4);
      }
      c.SendRaw(frame);
      if (f.channel() == 1 && frame.size() == 10) {
        EXPECT_TRUE(c.Quiet(300)) << "the bare hello is answered by nothing";
        continue;
      }
      auto reply = c.ReadFrame();
      if (!reply) return {};
      if (reply->Is(0x0017, 0x0007)) {
        EXPECT_EQ(ReqIdOf(*reply), 1u);
        key.assign(reply->data.begin() + 12, reply->data.end());
        EXPECT_EQ(key.size(), size_t(reply->data[10] << 8 | reply->data[11]));
        continue;
      }
      if (reply->Is(0x0017, 0x0003)) {
        auto tlvs = ParseTlvs(reply->data, 10);
        EXPECT_EQ(tlvs[1], Text("10001"));
        EXPECT_EQ(tlvs[5], Text("127.0.0.1:" + std::to_string(dir.bosPort)));
        EXPECT_EQ(Bytes(tlvs[6].begin(), tlvs[6].end()), BytesOfFile(dir.ReadFile("Cookie/10001")));
        return tlvs[6];
      }
      EXPECT_EQ(reply->channel, 4);
      return ParseTlvs(reply->data, 0)[6];
    }
    return {};
  }
  static Bytes BytesOfFile(const std::string& s) { return Bytes(s.begin(), s.end()); }

  // The BOS frames with the cookie put in; everything the server sends back, in order.
  std::vector<Frame> ReplayBos(const std::vector<Captured>& frames, const Bytes& cookie) {
    std::vector<Frame> got;
    EXPECT_EQ(cookie.size(), 256u);
    EXPECT_TRUE(client.Connect(dir.bosPort));
    EXPECT_TRUE(client.ReadFrame());
    for (const Captured& f : frames) {
      if (f.login || f.channel() == 4) continue;
      Bytes frame = f.frame;
      if (f.channel() == 1) std::copy(cookie.begin(), cookie.end(), frame.begin() + 14);
      client.SendRaw(frame);
    }
    while (auto f = client.ReadFrame(700)) got.push_back(*f);
    return got;
  }

  std::vector<Frame> Run(const std::string& name) {
    auto frames = LoadCapture(name);
    EXPECT_GT(frames.size(), 20u) << name;
    return ReplayBos(frames, Login(frames));
  }

  static const Frame* Find(const std::vector<Frame>& got, uint16_t fam, uint16_t sub, uint32_t reqId) {
    for (const Frame& f : got)
      if (f.Is(fam, sub) && ReqIdOf(f) == reqId) return &f;
    return nullptr;
  }
  static std::vector<const Frame*> Meta(const std::vector<Frame>& got, uint16_t subtype) {
    std::vector<const Frame*> out;
    for (const Frame& f : got)
      if (f.Is(0x0015, 0x0003) && MetaSubtype(f) == subtype) out.push_back(&f);
    return out;
  }
  static bool SawOnline(const std::vector<Frame>& got, const std::string& uin) {
    for (const Frame& f : got)
      if (f.Is(0x0003, 0x000B) && f.data[10] == uin.size() && Contains(f.data, uin)) return true;
    return false;
  }

  static constexpr uint8_t kDigestTlv[4] = {0x00, 0x25, 0x00, 0x10};
  DataDir dir;
  ServerProcess auth, bos;
  OscarClient peer, client;
};

// The rights reply, written out from its table: TLV 4 with the 16-bit item limits of types 0
// to 14 (1000 buddies, 61 groups, 200 visible, 200 invisible, ..., 200 ignore).
Bytes RightsReply(Bytes reqId) {
  return Cat({Bytes{0x00, 0x13, 0x00, 0x03, 0x00, 0x00}, reqId,
              Bytes{0x00, 0x04, 0x00, 0x1E, 0x03, 0xE8, 0x00, 0x3d, 0x00, 0xc8, 0x00, 0xc8, 0x00, 0x01, 0x00, 0x01,
                    0x00, 0x32, 0x00, 0x14, 0x00, 0x14, 0x00, 0x14, 0x00, 0x14, 0x00, 0x14, 0x00, 0x14, 0x00, 0x14,
                    0x00, 0xC8}});
}

// A user who never stored a list: 13/05 (time 0, count 0) gets one 13/06 with no items, no
// "more follows" flag, and a real time stamp (climm waits for ever on a 0).
void ExpectEmptyStampedList(const Frame* list, Bytes reqId, uint32_t since) {
  ASSERT_TRUE(list);
  ASSERT_EQ(list->data.size(), 17u);
  EXPECT_EQ(Bytes(list->data.begin(), list->data.begin() + 13),
            Cat({Bytes{0x00, 0x13, 0x00, 0x06, 0x00, 0x00}, reqId, Bytes{0x00, 0x00, 0x00}}));
  uint32_t stamp = uint32_t(list->data[13]) << 24 | uint32_t(list->data[14]) << 16 | uint32_t(list->data[15]) << 8 |
                   list->data[16];
  EXPECT_GE(stamp, since);
}

TEST_F(ClientReplay, Climm071SignsOnWatchesStoredBuddiesAndReadsSearchResults) {
  uint32_t since = static_cast<uint32_t>(std::time(nullptr));
  auto got = Run("climm-0.7.1");
  const Frame* rights = Find(got, 0x0013, 0x0003, 0x000030fa);
  ASSERT_TRUE(rights);
  EXPECT_EQ(rights->data, RightsReply({0x00, 0x00, 0x30, 0xfa}));
  ExpectEmptyStampedList(Find(got, 0x0013, 0x0006, 0x000044d9), {0x00, 0x00, 0x44, 0xd9}, since);
  for (uint32_t id : {0x00004db1u, 0x000068cdu, 0x000038ddu}) {
    const Frame* ack = Find(got, 0x0013, 0x000E, id);
    ASSERT_TRUE(ack) << std::hex << id;
    EXPECT_EQ(ack->data, Cat({Bytes{0x00, 0x13, 0x00, 0x0e, 0x00, 0x00}, Be32(id), Bytes{0x00, 0x00}}));
  }
  // climm never sends 03/04: 10002 is seen through the stored buddy item alone.
  EXPECT_TRUE(SawOnline(got, "10002"));
  // Name and nickname searches (055F) and the white-pages search (0533) as 01AE.
  EXPECT_TRUE(Meta(got, 0x019A).empty());
  auto last = Meta(got, 0x01AE);
  EXPECT_GE(last.size(), 4u);  // name, nick, e-mail (0573), white pages
  for (const Frame* f : last) EXPECT_TRUE(Contains(f->data, "nick10002"));
  // The stored list is on disk, readable.
  std::string file = dir.ReadFile("Db/10001.ssi");
  EXPECT_NE(file.find("Name=10002"), std::string::npos);
  EXPECT_NE(file.find("Count="), std::string::npos);
  // The channel-1 message that asked for a server ack got 04/0C.
  bool acked = false;
  for (const Frame& f : got) acked |= f.Is(0x0004, 0x000C) && f.data[19] == 1;
  EXPECT_TRUE(acked);
  // Presence both ways: the peer saw the client, and the client sees the peer leave.
  EXPECT_TRUE(peer.WaitSnac(0x0004, 0x0007));
  peer.Close();
  auto gone = client.WaitSnac(0x0003, 0x000C);
  ASSERT_TRUE(gone);
  EXPECT_TRUE(Contains(gone->data, "10002"));
}

TEST_F(ClientReplay, Climm061GetsRightsAndEveryEditAcknowledged) {
  uint32_t since = static_cast<uint32_t>(std::time(nullptr));
  auto got = Run("climm-0.6.1");
  ExpectEmptyStampedList(Find(got, 0x0013, 0x0006, 0x0000100a), {0x00, 0x00, 0x10, 0x0a}, since);
  ASSERT_TRUE(Find(got, 0x0013, 0x0003, 0x0000645d));
  EXPECT_EQ(Find(got, 0x0013, 0x0003, 0x0000645d)->data, RightsReply({0x00, 0x00, 0x64, 0x5d}));
  for (uint32_t id : {0x00004350u, 0x0000143au, 0x00003889u, 0x000017f0u}) EXPECT_TRUE(Find(got, 0x0013, 0x000E, id)) << std::hex << id;
  EXPECT_TRUE(Meta(got, 0x019A).empty());
  EXPECT_FALSE(Meta(got, 0x01AE).empty());
}

TEST_F(ClientReplay, LicqFindsByUinAndEmailAndGetsItsOwnRequestIds) {
  auto got = Run("licq-1.3.5");
  // 13/05 is answered with its own request id 00 00 00 07.
  EXPECT_TRUE(Find(got, 0x0013, 0x0006, 7) || Find(got, 0x0013, 0x000F, 7));
  // UIN search 0569: one 019A with result 0A and the record of 10002.
  bool uinFound = false, emailFound = false;
  for (const Frame* f : Meta(got, 0x019A)) uinFound |= f->data[26] == 0x0A && Contains(f->data, "nick10002");
  // E-mail search inside 055F: the record of u10002@example.org as 01AE.
  for (const Frame* f : Meta(got, 0x01AE)) emailFound |= f->data[26] == 0x0A && Contains(f->data, "u10002@example.org");
  EXPECT_TRUE(uinFound);
  EXPECT_TRUE(emailFound);
  int acks = 0;
  for (const Frame& f : got) acks += f.Is(0x0013, 0x000E);
  EXPECT_GE(acks, 5);
}

// BitlBee: the list (13/06) it waits for, acknowledged edits, presence of stored buddies,
// capabilities from TLV 5 and the "more replies follow" flag on the info replies.
void CheckBitlBee(ClientReplay* t, const std::vector<Frame>& got, uint32_t listReq, OscarClient& peer, uint32_t since) {
  const Frame* list = nullptr;
  for (const Frame& f : got)
    if (!list && f.Is(0x0013, 0x0006) && ReqIdOf(f) == listReq) list = &f;
  ExpectEmptyStampedList(list, Be32(listReq), since);
  int acks = 0;
  for (const Frame& f : got) acks += f.Is(0x0013, 0x000E);
  EXPECT_GE(acks, 7);
  bool online = false;
  for (const Frame& f : got) online |= f.Is(0x0003, 0x000B) && Contains(f.data, "10002");
  EXPECT_TRUE(online);
  std::vector<const Frame*> info;
  for (const Frame& f : got)
    if (f.Is(0x0015, 0x0003)) info.push_back(&f);
  ASSERT_GE(info.size(), 8u);
  auto infoEnd = info.end();
  for (auto it = infoEnd - 8; it != infoEnd; ++it)
    EXPECT_EQ(SnacFlags(**it), it + 1 == infoEnd ? 0x0000 : 0x0001);
  // The peer's notices of 10001 carry BitlBee's capability block, not its away text.
  std::optional<Frame> notice;
  while (auto f = peer.WaitSnac(0x0003, 0x000B, 500)) notice = f;
  ASSERT_TRUE(notice);
  auto tlvs = ParseTlvs(notice->data, 11 + 5 + 4);
  ASSERT_EQ(tlvs[0x000D].size(), 64u);
  EXPECT_EQ(Bytes(tlvs[0x000D].begin(), tlvs[0x000D].begin() + 4), (Bytes{0x74, 0x8f, 0x24, 0x20}));
  (void)t;
}

TEST_F(ClientReplay, BitlBeeRoastedLogsInAndWatchesItsStoredList) {
  uint32_t since = static_cast<uint32_t>(std::time(nullptr));
  auto got = Run("bitlbee-3.5.1-roasted");
  CheckBitlBee(this, got, 0x00000008, peer, since);
}

TEST_F(ClientReplay, BitlBeeMd5LoginThenTheSameSession) {
  uint32_t since = static_cast<uint32_t>(std::time(nullptr));
  auto got = Run("bitlbee-3.5.1-md5");
  CheckBitlBee(this, got, 0x0000000a, peer, since);
}

TEST_F(ClientReplay, Md5LoginKeysAreFreshAndAWrongDigestIsRefused) {
  auto keyRequest = [&](OscarClient& c) {
    EXPECT_TRUE(c.Connect(dir.authPort));
    EXPECT_TRUE(c.ReadFrame());
    c.SendFrame(1, Be32(1));
    EXPECT_TRUE(c.Quiet(300));  // the bare hello is not a login
    c.SendSnac(0x0017, 0x0006, 1, Cat({Be16(1), Be16(5), Text("10001")}));
    auto key = c.ReadFrame();
    EXPECT_TRUE(key && key->Is(0x0017, 0x0007));
    if (!key || key->data.size() != 22) return std::string();
    EXPECT_EQ(Bytes(key->data.begin(), key->data.begin() + 12),
              (Bytes{0x00, 0x17, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x0A}));
    return std::string(key->data.begin() + 12, key->data.end());
  };
  OscarClient a, b;
  std::string k1 = keyRequest(a), k2 = keyRequest(b);
  EXPECT_EQ(k1.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_NE(k1, k2);
  a.SendSnac(0x0017, 0x0002, 2, Cat({Be16(1), Be16(5), Text("10001"), Be16(0x25), Be16(16), Bytes(16, 0)}));
  auto refused = a.ReadFrame();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->channel, 2);
  EXPECT_EQ(refused->data, Cat({Bytes{0x00, 0x17, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02},
                                Bytes{0x00, 0x01, 0x00, 0x05}, Text("10001"), Bytes{0x00, 0x04, 0x00, 0x26},
                                Text("http://127.0.0.1/vorn/login-error.html"), Bytes{0x00, 0x08, 0x00, 0x02, 0x00, 0x05}}));
  EXPECT_EQ(dir.ReadFile("Cookie/10001"), "");
  // The right digest made with the other connection's key works there, with the password
  // hashed first (TLV 0x004C).
  Md5Digest hashed = Md5("pw10001");
  Md5Digest d = Md5(k2 + std::string(hashed.begin(), hashed.end()) + "AOL Instant Messenger (SM)");
  b.SendSnac(0x0017, 0x0002, 3, Cat({Be16(1), Be16(5), Text("10001"), Be16(0x25), Be16(16), Bytes(d.begin(), d.end()),
                                     Be16(0x4C), Be16(0)}));
  auto accepted = b.ReadFrame();
  ASSERT_TRUE(accepted);
  auto tlvs = ParseTlvs(accepted->data, 10);
  ASSERT_EQ(tlvs[6].size(), 256u);
  EXPECT_EQ(tlvs[6], BytesOfFile(dir.ReadFile("Cookie/10001")));
  // The roasted login on channel 1 is unchanged.
  OscarClient r;
  auto roasted = r.AuthLogin(dir.authPort, 10001, "pw10001");
  ASSERT_TRUE(roasted);
  EXPECT_EQ(roasted->channel, 4);
  EXPECT_EQ(ParseTlvs(roasted->data, 0)[6].size(), 256u);
}

}  // namespace
