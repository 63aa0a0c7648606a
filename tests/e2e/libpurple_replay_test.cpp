// libpurple 2.10.9 (Pidgin, Finch, Adium) replayed against the real servers: both accounts'
// captured frames in their captured order, with the MD5 digests and login cookies put in.
// Each gap of the capture's notes is checked with the whole reply frames, written out below
// from the transcript and the protocol notes ("??" stands for a byte the test cannot know:
// sequence numbers, which are checked for every connection apart, notice request ids and
// times, which are checked for their range).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "VornAuth/md5.h"
#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

struct Captured {
  std::string number, server, port;
  Bytes frame;
};

std::vector<Captured> LoadCapture() {
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/tests/e2e/clients/libpurple-2.10.9.frames");
  std::vector<Captured> out;
  std::string line, hex;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    Captured c;
    std::istringstream(line) >> c.number >> c.server >> c.port >> hex;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) c.frame.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    out.push_back(std::move(c));
  }
  return out;
}

// Hex text with 'quoted' ASCII and "??" for any byte; -1 marks those.
std::vector<int> Pattern(const std::string& text) {
  std::vector<int> out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      size_t end = text.find('\'', i + 1);
      for (size_t j = i + 1; j < end; ++j) out.push_back(static_cast<uint8_t>(text[j]));
      i = end;
    } else if (text[i] == '?') {
      out.push_back(-1);
      ++i;
    } else if (std::isxdigit(static_cast<unsigned char>(text[i]))) {
      out.push_back(std::stoi(text.substr(i, 2), nullptr, 16));
      ++i;
    }
  }
  return out;
}

Bytes Whole(const Frame& f) {
  return Cat({Bytes{0x2A, f.channel}, Be16(f.seq), Be16(static_cast<uint16_t>(f.data.size())), f.data});
}

bool Matches(const Frame& f, const std::vector<int>& want) {
  Bytes got = Whole(f);
  if (got.size() != want.size()) return false;
  for (size_t i = 0; i < got.size(); ++i)
    if (want[i] >= 0 && got[i] != want[i]) return false;
  return true;
}

struct Packet {
  std::string port;
  bool toServer;
  Bytes bytes;
};

// One run of the whole capture, shared by the checks below.
struct Session {
  DataDir dir;
  ServerProcess auth, bos;
  std::map<std::string, std::unique_ptr<OscarClient>> conns;
  std::map<std::string, std::vector<Frame>> got;  // BOS frames received, by client port
  std::map<std::string, std::pair<uint32_t, uint32_t>> connected;  // time bounds of each accept
  std::vector<Packet> packets;                                     // both ways, in order
  bool ran = false;

  void Drain() {
    for (auto& [port, c] : conns)
      while (auto f = c->ReadFrame(150)) {
        got[port].push_back(*f);
        packets.push_back({port, false, Whole(*f)});
      }
  }
  OscarClient& Open(const std::string& port, uint16_t serverPort) {
    auto& c = conns[port];
    if (!c) {
      c = std::make_unique<OscarClient>();
      uint32_t before = static_cast<uint32_t>(std::time(nullptr));
      EXPECT_TRUE(c->Connect(serverPort));
      auto hello = c->ReadFrame();
      EXPECT_TRUE(hello);
      connected[port] = {before, static_cast<uint32_t>(std::time(nullptr))};
      if (hello) {
        got[port].push_back(*hello);
        packets.push_back({port, false, Whole(*hello)});
      }
    }
    return *c;
  }

  void Run() {
    dir.WriteIni(0);
    dir.WriteUser(30001, "[Main]\nPass=pw30001\nnick=patty\nFirst=Pat\nLast=Anders\nemail=pat@purple.test\n");
    dir.WriteUser(30002, "[Main]\nPass=pw30002\nnick=beatrix\nFirst=Bea\nLast=Brandt\nemail=bea@purple.test\n");
    dir.WriteUser(30003, "[Main]\nPass=pw30003\nnick=zorro77\nFirst=Quirin\nLast=Ostrander\nemail=quirin@ostrander.test\n");
    // A's stored list as the capture found it: the root group, group "Seeded" holding 30002.
    dir.WriteFile("Db/30001.ssi",
                  "[List]\nTime=1764000000\nCount=3\n[Item1]\nType=1\nGroup=0\nId=0\nName=\nData=00 C8 00 02 00 01\n"
                  "[Item2]\nType=1\nGroup=1\nId=0\nName=Seeded\nData=00 C8 00 02 01 01\n"
                  "[Item3]\nType=0\nGroup=1\nId=257\nName=30002\nData=\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
    std::string lastPort, key;
    Bytes cookie;
    for (const Captured& f : LoadCapture()) {
      if (f.port == "51906") break;  // the wrong-password attempt is not replayed
      if (f.port != lastPort) Drain();
      lastPort = f.port;
      Bytes frame = f.frame;
      if (f.server == "login") {
        OscarClient& c = Open(f.port, dir.authPort);
        if (frame[1] == 2 && frame[9] == 0x02) {  // 17/02: TLV 0x0025 holds the digest of TLV 0x004C's kind
          std::string uin(frame.begin() + 20, frame.begin() + 25);
          Md5Digest hashed = Md5("pw" + uin);
          Md5Digest d = Md5(key + std::string(hashed.begin(), hashed.end()) + "AOL Instant Messenger (SM)");
          std::copy(d.begin(), d.end(), frame.begin() + 29);
        }
        c.SendRaw(frame);
        packets.push_back({f.port, true, frame});
        if (frame[1] == 1) continue;
        auto reply = c.ReadFrame();
        ASSERT_TRUE(reply) << f.number;
        packets.push_back({f.port, false, Whole(*reply)});
        if (reply->Is(0x0017, 0x0007)) key.assign(reply->data.begin() + 12, reply->data.end());
        if (reply->Is(0x0017, 0x0003)) {
          cookie = ParseTlvs(reply->data, 10)[6];
          conns.erase(f.port);  // the client closes its login connection
        }
        continue;
      }
      OscarClient& c = Open(f.port, dir.bosPort);
      if (frame[1] == 4) {  // the client signs off and closes
        Drain();
        conns.erase(f.port);
        continue;
      }
      if (frame[1] == 1) std::copy(cookie.begin(), cookie.end(), frame.begin() + 14);
      c.SendRaw(frame);
      packets.push_back({f.port, true, frame});
    }
    Drain();
    ran = true;
  }
};

Session* run = nullptr;

class Libpurple : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    run = new Session;
    run->Run();
  }
  static void TearDownTestSuite() {
    delete run;
    run = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(run && run->ran); }
};

// The frames of one connection that match, in order.
std::vector<const Frame*> Find(const std::string& port, const std::string& pattern) {
  std::vector<const Frame*> out;
  for (const Frame& f : run->got[port])
    if (Matches(f, Pattern(pattern))) out.push_back(&f);
  return out;
}

// Client ports of the capture: 30001 (A) logs in on 47450 and has its session on 51394; 30002
// (B) logs in on 47452, session 51400; A logs in again on 51900, session 35244.
const std::string kA = "51394", kB = "51400", kA2 = "35244";

void EveryFrameCarriesItsConnectionsNextSequenceNumber() {
  for (const std::string& port : {kA, kB, kA2}) {
    const auto& frames = run->got[port];
    ASSERT_GT(frames.size(), 10u) << port;
    for (size_t i = 1; i < frames.size(); ++i)
      EXPECT_EQ(frames[i].seq, static_cast<uint16_t>(frames[0].seq + i)) << port << " frame " << i;
  }
}

void ServiceRequestsForFamiliesNotOfferedGetTheGenericError() {
  for (const auto& [port, reqIds] : std::map<std::string, std::vector<std::string>>{
           {kA, {"17", "18"}}, {kB, {"17", "18"}}, {kA2, {"16", "17"}}})
    for (const std::string& id : reqIds)
      EXPECT_EQ(Find(port, "2A 02 ?? ?? 00 0C  00 01 00 01 00 00 00 00 00 " + id + "  00 06").size(), 1u) << port << id;
}

void MessagesCarryTheTypingTlvOfSendersThatAskedForIt() {
  const std::string info =
      "00 00  00 04  00 01 00 02 00 50  00 06 00 04 10 02 00 00  00 0F 00 04 00 00 42 E0  00 03 00 04 3E 37 5B D7"
      "  00 02 00 34  05 01 00 01 01  01 01 00 2B 00 00 00 00 ";
  EXPECT_EQ(Find(kB, "2A 02 ?? ?? 00 78  00 04 00 07 00 00 ?? ?? ?? ??  36 31 35 36 31 32 31 00  00 01  05 '30001' " +
                         info + "'<HTML><BODY>a-to-b-471d53</BODY></HTML>'  00 0B 00 00").size(), 1u);
  EXPECT_EQ(Find(kA, "2A 02 ?? ?? 00 78  00 04 00 07 00 00 ?? ?? ?? ??  37 30 34 34 34 38 37 00  00 01  05 '30002' " +
                         info + "'<HTML><BODY>b-to-a-471d53</BODY></HTML>'  00 0B 00 00").size(), 1u);
  EXPECT_EQ(Find(kA, "2A 02 ?? ?? 00 1A  00 04 00 0C 00 00 00 00 00 1F  36 31 35 36 31 32 31 00  00 01  05 '30002'").size(), 1u);
}

// B's online notices at A, one per status change of B: sign-on time, whole capabilities, the
// direct-connection block of B's own TLV 0x000C, and the extended status data with the away text.
void OnlineNoticesCarrySignOnTimeWholeCapabilitiesAndAwayText() {
  const std::string caps =
      "09 46 00 00 4C 7F 11 D1 82 22 44 45 53 54 00 00  09 46 13 43 4C 7F 11 D1 82 22 44 45 53 54 00 00"
      "  09 46 13 45 4C 7F 11 D1 82 22 44 45 53 54 00 00  09 46 13 46 4C 7F 11 D1 82 22 44 45 53 54 00 00"
      "  09 46 13 49 4C 7F 11 D1 82 22 44 45 53 54 00 00  09 46 00 00 4C 7F 11 D1 82 22 44 45 53 54 00 00"
      "  1A 09 3C 6C D7 FD 4E C5 9D 51 A6 47 4E 34 F5 A0";
  const std::string dcAtAccept = "7F 00 00 01  00 00 00 00  04  00 08  00 00 00 00";
  const std::string dcSent = "00 00 00 00  00 00 00 00  00  00 08  00 00 00 00";
  const std::string plain = "00 1D 00 08  00 02 00 00  00 09 00 00";
  const std::string away = "00 1D 00 17  00 02 04 0F 00 0B 'away-471d53' 00 00  00 09 00 00";
  auto notice = [&](const std::string& len, const std::string& dc, const std::string& status, const std::string& ext) {
    return "2A 02 ?? ?? 00 " + len + "  00 03 00 0B 00 00 ?? ?? ?? ??  05 '30002'  00 00  00 08  00 01 00 02 00 50"
           "  00 0C 00 25 " + dc + "  00 00 00 50  00 00 00 03  FF FF FF FF  00 00 00 00 00 00 00 00 00 00"
           "  00 0A 00 04 7F 00 00 01  00 06 00 04 " + status + "  00 0D 00 70 " + caps +
           "  00 0F 00 04 00 00 5B 15  00 03 00 04 ?? ?? ?? ??  " + ext;
  };
  std::vector<std::string> want = {notice("E3", dcAtAccept, "10 02 00 00", plain),
                                   notice("E3", dcAtAccept, "10 02 00 00", plain),
                                   notice("E3", dcSent, "10 02 00 00", plain),
                                   notice("E3", dcSent, "10 02 00 00", plain),
                                   notice("F2", dcSent, "10 02 00 01", away),
                                   notice("E3", dcSent, "10 02 00 00", plain)};
  std::vector<const Frame*> got;
  for (const Frame& f : run->got[kA])
    if (f.Is(0x0003, 0x000B)) got.push_back(&f);
  ASSERT_EQ(got.size(), want.size());
  auto [from, to] = run->connected[kB];
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(Matches(*got[i], Pattern(want[i]))) << "notice " << i;
    Bytes signOn = ParseTlvs(got[i]->data, 20)[0x0003];
    ASSERT_EQ(signOn.size(), 4u);
    uint32_t t = uint32_t(signOn[0]) << 24 | uint32_t(signOn[1]) << 16 | uint32_t(signOn[2]) << 8 | signOn[3];
    EXPECT_GE(t, from);
    EXPECT_LE(t, to);
  }
}

// A's message to B, stored while B was offline, reaches B at its 04/10 as a channel-1 message
// marked stored, with the time it was sent; every 04/10 ends with 04/17 (A's two find nothing
// stored), and the delivered message has left the store.
void OfflineMessagesAskedForWithTheMessagingFamily() {
  auto stored = Find(kB, "2A 02 ?? ?? 00 63  00 04 00 07 00 00 00 00 00 00  ?? ?? ?? ?? 00 00 00 01  00 01  05 '30001'"
                         "  00 00  00 00  00 02 00 35  05 01 00 01 01  01 01 00 2C 00 00 00 00"
                         "  '<HTML><BODY>offline-471d53</BODY></HTML>'  00 06 00 00  00 16 00 04 ?? ?? ?? ??");
  ASSERT_EQ(stored.size(), 1u);
  Bytes sent = ParseTlvs(stored[0]->data, 30)[0x0016];
  ASSERT_EQ(sent.size(), 4u);
  uint32_t t = uint32_t(sent[0]) << 24 | uint32_t(sent[1]) << 16 | uint32_t(sent[2]) << 8 | sent[3];
  EXPECT_GE(t + 60, run->connected[kA].first);
  EXPECT_LE(t, run->connected[kB].second);
  EXPECT_EQ(Bytes(stored[0]->data.begin() + 10, stored[0]->data.begin() + 14), sent);
  const std::string end = "2A 02 ?? ?? 00 0A  00 04 00 17 00 00 00 00 00 00";
  for (const std::string& port : {kA, kB, kA2}) EXPECT_EQ(Find(port, end).size(), 1u) << port;
  EXPECT_FALSE(run->dir.Exists("olm/30002.olm"));
}

void EmailSearchInTheUserLookupFamily() {
  EXPECT_EQ(Find(kA, "2A 02 ?? ?? 00 13  00 0A 00 03 00 00 00 00 00 21  00 01 00 05 '30003'").size(), 1u);
}

// One run of the capture serves every check (the run takes seconds).
TEST_F(Libpurple, ClosesEveryGapOfTheCapture) {
  {
    SCOPED_TRACE("EveryFrameCarriesItsConnectionsNextSequenceNumber");
    EveryFrameCarriesItsConnectionsNextSequenceNumber();
  }
  {
    SCOPED_TRACE("ServiceRequestsForFamiliesNotOfferedGetTheGenericError");
    ServiceRequestsForFamiliesNotOfferedGetTheGenericError();
  }
  {
    SCOPED_TRACE("MessagesCarryTheTypingTlvOfSendersThatAskedForIt");
    MessagesCarryTheTypingTlvOfSendersThatAskedForIt();
  }
  {
    SCOPED_TRACE("OnlineNoticesCarrySignOnTimeWholeCapabilitiesAndAwayText");
    OnlineNoticesCarrySignOnTimeWholeCapabilitiesAndAwayText();
  }
  {
    SCOPED_TRACE("OfflineMessagesAskedForWithTheMessagingFamily");
    OfflineMessagesAskedForWithTheMessagingFamily();
  }
  {
    SCOPED_TRACE("EmailSearchInTheUserLookupFamily");
    EmailSearchInTheUserLookupFamily();
  }
}

// The replayed session as a capture file (Ethernet, IPv4, TCP to port 5190, one FLAP frame per
// segment), for tshark's AIM dissector.
void WritePcap(const std::string& path, const std::vector<Packet>& packets) {
  std::ofstream out(path, std::ios::binary);
  auto le32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(Le32(v).data()), 4); };
  le32(0xA1B2C3D4);
  out.write("\x02\x00\x04\x00", 4);
  le32(0), le32(0), le32(65535), le32(1);
  std::map<std::pair<std::string, bool>, uint32_t> next;  // TCP sequence per port and direction
  uint32_t t = 0;
  for (const Packet& p : packets) {
    uint16_t client = static_cast<uint16_t>(std::stoi(p.port));
    uint32_t& seq = next[{p.port, p.toServer}];
    uint32_t ack = next[{p.port, !p.toServer}];
    Bytes tcp = Cat({Be16(p.toServer ? client : 5190), Be16(p.toServer ? 5190 : client), Be32(seq), Be32(ack),
                     Bytes{0x50, 0x18, 0xFF, 0xFF, 0, 0, 0, 0}, p.bytes});
    Bytes ip = Cat({Bytes{0x45, 0}, Be16(static_cast<uint16_t>(20 + tcp.size())),
                    Bytes{0, 0, 0x40, 0, 0x40, 6, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1}, tcp});
    Bytes eth = Cat({Bytes(12, 0), Bytes{0x08, 0x00}, ip});
    le32(++t), le32(0), le32(static_cast<uint32_t>(eth.size())), le32(static_cast<uint32_t>(eth.size()));
    out.write(reinterpret_cast<const char*>(eth.data()), static_cast<long>(eth.size()));
    seq += static_cast<uint32_t>(p.bytes.size());
  }
}

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* f = ::popen(command.c_str(), "r")) {
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
    ::pclose(f);
  }
  return out;
}

TEST_F(Libpurple, TsharkFindsNoMalformedFrameInTheSession) {
  if (Shell("command -v tshark").empty()) GTEST_SKIP() << "tshark is not installed";
  const std::string pcap = run->dir.path() + "libpurple.pcap";
  WritePcap(pcap, run->packets);
  const std::string tshark = "tshark -n -d tcp.port==5190,aim -r " + pcap;
  std::string aim = Shell(tshark + " -Y aim -T fields -e frame.number 2>/dev/null");
  EXPECT_EQ(static_cast<size_t>(std::count(aim.begin(), aim.end(), '\n')), run->packets.size()) << aim;
  EXPECT_EQ(Shell(tshark + " -Y _ws.malformed 2>/dev/null"), "");
}

}  // namespace
