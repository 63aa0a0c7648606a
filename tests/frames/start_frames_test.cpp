// Cookie login and the generic start-up services: each request through the real dispatcher,
// each reply compared whole with the frame written out from the reply tables.
#include <ctime>

#include "tests/frames/frames.h"

namespace frames {
namespace {

// Request id 0A 0B 0C 0D in every request.
Bytes Request(const std::string& familyAndSubtype, const std::string& body = "") {
  return Cat({Hex(familyAndSubtype), Hex("00 00 0A 0B 0C 0D"), Hex(body)});
}

// The class-1 members of the rate reply as the table lists them: family, first, last subtype.
Bytes Class1Pairs() {
  const int ranges[][3] = {{1, 0x01, 0x21}, {2, 0x01, 0x04}, {2, 0x06, 0x08}, {2, 0x0A, 0x0A}, {2, 0x0C, 0x15},
                           {3, 0x01, 0x03}, {3, 0x06, 0x0C}, {4, 0x01, 0x05}, {4, 0x07, 0x14}, {6, 0x01, 0x03},
                           {8, 0x01, 0x02}, {9, 0x01, 0x04}, {9, 0x09, 0x0B}, {0x0A, 0x01, 0x03}, {0x0B, 0x01, 0x04},
                           {0x0C, 0x01, 0x03}, {0x13, 0x01, 0x28}, {0x15, 0x01, 0x03}};
  Bytes out;
  for (const auto& r : ranges)
    for (int s = r[1]; s <= r[2]; ++s) out.insert(out.end(), {0, static_cast<uint8_t>(r[0]), 0, static_cast<uint8_t>(s)});
  return out;
}

struct StartCase {
  const char* name;
  Bytes request;
  std::vector<Bytes> want;
};

class StartFrames : public FrameTest {};

TEST_F(StartFrames, GenericServicesAnswerWithTheirWholeFrames) {
  const std::vector<StartCase> cases = {
      {"location rights", Request("00 02 00 02"),
       {Hex("2A 02 01 00 00 1C  00 02 00 03 00 00 0A 0B 0C 0D  00 01 00 02 04 00  00 02 00 02 00 10  00 03 00 02 00 0A")}},
      {"buddy rights", Request("00 03 00 02"),
       {Hex("2A 02 01 00 00 1C  00 03 00 03 00 00 0A 0B 0C 0D  00 02 00 02 02 EE  00 01 00 02 02 58  00 03 00 02 02 00")}},
      {"messaging parameters", Request("00 04 00 04"),
       {Hex("2A 02 01 00 00 1A  00 04 00 05 00 00 0A 0B 0C 0D  00 02  00 00 00 03  1F 40  03 E7  03 E7  00 00 00 00")}},
      {"privacy rights", Request("00 09 00 02"),
       {Hex("2A 02 01 00 00 16  00 09 00 03 00 00 0A 0B 0C 0D  00 02 00 02 00 DC  00 01 00 02 00 DC")}},
      {"message of the day, then the versions copy", Request("00 01 00 17", "00 01 00 03  00 13 00 04"),
       {Hex("2A 02 01 00 00 18  00 01 00 13 00 00 0A 0B 0C 0D  00 05  00 02 00 02 00 1E  00 03 00 02 04 B0"),
        Hex("2A 02 01 01 00 12  00 01 00 18 00 00 0A 0B 0C 0D  00 01 00 03  00 13 00 04")}},
      {"rate information",
       Request("00 01 00 06"),
       {Cat({Hex("2A 02 01 00 03 3B  00 01 00 07 00 00 0A 0B 0C 0D  00 05"),
             Hex("0001 00000050 000009C4 000007D0 000005DC 00000320 000016E5 00001770 00000000 00"),
             Hex("0002 00000050 00000BB8 000007D0 000005DC 000003E8 00001770 00001770 00000344 00"),
             Hex("0003 00000014 000013EC 00001388 00000FA0 00000BB8 00001770 00001770 00000344 00"),
             Hex("0004 00000014 0000157C 000014B4 00001068 00000BB8 00001770 00001F40 00000344 00"),
             Hex("0005 0000000A 0000157C 000014B4 00001068 00000BB8 00001770 00001F40 00000344 00"),
             Hex("0001 0091"), Class1Pairs(),
             Hex("0002 0006  0003 0004  0003 0005  0009 0005  0009 0006  0009 0007  0009 0008"),
             Hex("0003 0002  0002 0005  0004 0006"), Hex("0004 0002  0002 0009  0002 000B"), Hex("0005 0000")})}},
      // A check whose time and count match what is stored (nothing: time -1, count 0) is
      // answered "up to date" with the request's own id and the numbers least significant
      // byte first; a bare check or a list request gets the list itself (empty here).
      {"contact list up to date", Request("00 13 00 05", "FF FF FF FF  00 00"),
       {Hex("2A 02 01 00 00 10  00 13 00 0F 00 00 0A 0B 0C 0D  FF FF FF FF  00 00")}},
      {"client ready: nothing", Request("00 01 00 02"), {}},
      {"rate acknowledgement: nothing", Request("00 01 00 08"), {}},
      {"unsupported family: nothing", Request("00 05 00 01"), {}},
      {"unsupported subtype: nothing", Request("00 01 00 04"), {}},
  };
  for (const StartCase& k : cases) {
    ClientInfo& c = Session(1000);
    c.Seq = 0x0100;
    Dispatch(c, k.request);
    ExpectFrames(Sent(c), k.want, k.name);
    DestroySession(c);
  }
  std::string log = Log();
  EXPECT_NE(log.find("Not supported SNAC FAMILY(0x5, 0x1)"), std::string::npos);
  EXPECT_NE(log.find("Not supported SNAC(0x01,0x4)"), std::string::npos);
}

// A bare check or a list request of a user who never stored a list gets the empty list, stamped
// with the time of its first load: never 0, which clients read as "more parts follow".
TEST_F(StartFrames, EmptyListCarriesARealTimeStamp) {
  for (const char* subtype : {"00 13 00 05", "00 13 00 04"}) {
    ClientInfo& c = Session(1000);
    c.Seq = 0x0100;
    uint32_t t0 = static_cast<uint32_t>(std::time(nullptr));
    Dispatch(c, Request(subtype));
    uint32_t t1 = static_cast<uint32_t>(std::time(nullptr));
    auto got = Sent(c);
    ASSERT_EQ(got.size(), 1u) << subtype;
    bool matched = false;
    for (uint32_t t = t0; t <= t1; ++t)
      matched |= got[0] == Cat({Hex("2A 02 01 00 00 11  00 13 00 06 00 00 0A 0B 0C 0D  00  00 00"),
                                Bytes{uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)}});
    EXPECT_TRUE(matched) << subtype << "\n" << Dump(got[0]);
    DestroySession(c);
  }
}

TEST_F(StartFrames, ContactListReplyCarriesTheStoredDateAndSize) {
  WriteFile("Db/1000.ini", "[Contacts]\nSize=300\nDate=06.12.26 17:30\n");
  std::tm tm{};
  tm.tm_mday = 6;
  tm.tm_mon = 11;
  tm.tm_year = 126;
  tm.tm_hour = 17;
  tm.tm_min = 30;
  tm.tm_isdst = -1;
  uint32_t t = static_cast<uint32_t>(std::mktime(&tm));
  ClientInfo& c = Session(1000);
  c.Seq = 0x0100;
  Bytes stamp = {static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16), static_cast<uint8_t>(t >> 8),
                 static_cast<uint8_t>(t), 0x01, 0x2C};
  Dispatch(c, Cat({Request("00 13 00 05"), stamp}));
  Bytes want = Hex("2A 02 01 00 00 10  00 13 00 0F 00 00 0A 0B 0C 0D");
  want.insert(want.end(), {static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t >> 16),
                           static_cast<uint8_t>(t >> 24), 0x2C, 0x01});
  ExpectFrames(Sent(c), {want}, "stored list");
}

TEST_F(StartFrames, OwnInformationReply) {
  ClientInfo& c = Session(1000);
  c.Seq = 0x7FFF;
  const uint8_t ip[4] = {192, 168, 5, 6};
  std::copy(ip, ip + 4, c.ipExt);
  const uint8_t status[4] = {0x00, 0x01, 0x00, 0x02};
  std::copy(status, status + 4, c.Status);
  c.connectTime = static_cast<uint32_t>(std::time(nullptr)) - 90;
  Dispatch(c, Request("00 01 00 0E"));
  auto got = Sent(c);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), 112u);
  // The seconds online, 90 or 91 when a second boundary passed.
  const std::string seconds = got[0][79] == 0x5B ? "00 00 00 5B" : "00 00 00 5A";
  ExpectFrames(got,
               {Hex("2A 02 7F FF 00 6A  00 01 00 0F 00 00 0A 0B 0C 0D  04 '1000'  00 00  00 07"
                    "  00 01 00 02 00 80"
                    "  00 0C 00 25  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                    "               00 00 00 00 00 00 00 00 00 00 00"
                    "  00 0A 00 04 C0 A8 05 06"
                    "  00 0F 00 04 " + seconds +
                    "  00 02 00 04 34 12 00 00  00 03 00 04 34 12 00 00  00 06 00 04 00 01 00 02")},
               "own information");
}

// The login frame: version, TLV 6 with the 256-byte cookie.
Bytes LoginData(const Bytes& cookie) { return Cat({Hex("00 00 00 01  00 06 01 00"), cookie}); }

Bytes CookieFor(uint32_t uin) {
  Bytes cookie(256);
  for (size_t i = 0; i < cookie.size(); ++i) cookie[i] = static_cast<uint8_t>(i * 7 + 3);
  cookie[33] = static_cast<uint8_t>(uin >> 24);
  cookie[159] = static_cast<uint8_t>(uin >> 16);
  cookie[97] = static_cast<uint8_t>(uin >> 8);
  cookie[125] = static_cast<uint8_t>(uin);
  return cookie;
}

TEST_F(StartFrames, CookieLoginAnswersWithFamiliesOrTheRefusal) {
  const Bytes cookie = CookieFor(123456);
  WriteFile("Cookie/123456", std::string(cookie.begin(), cookie.end()));
  const std::string url = "'http://127.0.0.1/vorn/login-error.html'";
  const Bytes refusal123456 = Hex("2A 01 02 00 00 3A  00 01 00 06 '123456'  00 04 00 26 " + url + "  00 08 00 02 00 05");
  Bytes wrong = cookie;
  wrong[200] ^= 1;
  struct LoginCase {
    const char* name;
    Bytes data;
    std::vector<Bytes> want;
  } cases[] = {
      {"matching cookie",
       LoginData(cookie),
       {Hex("2A 02 02 00 00 22  00 01 00 03 00 00 01 02 03 04"
            "  00 01 00 02 00 03 00 04 00 06 00 08 00 09 00 0A 00 0B 00 0C 00 13 00 15")}},
      {"one byte changed", LoginData(wrong), {refusal123456}},
      {"short frame", Bytes(100, 0),
       {Hex("2A 01 02 00 00 35  00 01 00 01 '0'  00 04 00 26 " + url + "  00 08 00 02 00 05")}},
  };
  for (auto& k : cases) {
    k.data[0] = 0, k.data[1] = 0, k.data[2] = 0, k.data[3] = 1;
    ClientInfo& c = CreateSession(next_++);
    c.Seq = 0x0200;
    Cfg.snacReqId = 0x01020304;
    Dispatch(c, k.data, 1);
    ExpectFrames(Sent(c), k.want, k.name);
    DestroySession(c);
  }
  EXPECT_EQ(Cfg.snacReqId, 0x01020304u) << "a refusal takes no request id";
}

}  // namespace
}  // namespace frames
