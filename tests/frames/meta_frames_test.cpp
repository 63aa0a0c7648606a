// Meta requests (SNAC 0x15/0x02) through the real dispatcher: the envelope checks and their
// log lines, and every reply frame compared whole with the frame written out from the tables.
#include <sstream>

#include "VornBOS/directory/sms.h"
#include "tests/frames/frames.h"

namespace frames {
namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Le16(size_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes Be16(size_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// A meta request of user 1000, request id 0A 0B 0C 0D, meta sequence 7.
Bytes Meta(uint16_t type, uint16_t subtype, const Bytes& data, uint32_t owner = 1000) {
  Bytes body = Cat({Le16(owner), Le16(owner >> 16), Le16(type), Hex("07 00")});
  if (type == 0x07D0) body = Cat({body, Le16(subtype)});
  body = Cat({body, data});
  return Cat({Hex("00 15 00 02 00 00 0A 0B 0C 0D  00 01"), Be16(body.size() + 2), Le16(body.size()), body});
}

// A reply to such a request as the reply table lays it out: reply type 0x07DA, the given FLAP
// sequence number, subtype, result and data.
// more: the SNAC flags say that further replies to the same request follow.
Bytes Reply(uint16_t seq, uint16_t subtype, uint8_t result, const Bytes& data, bool more = false) {
  size_t len = 33 + data.size();
  return Cat({Hex("2A 02"), Be16(seq), Be16(len - 6), Hex("00 15 00 03"), Hex(more ? "00 01" : "00 00"),
              Hex("0A 0B 0C 0D  00 01"), Be16(len - 20),
              Le16(len - 22), Hex("E8 03 00 00  DA 07  07 00"), Le16(subtype), Bytes{result}, data});
}

Bytes Repeat(const std::string& hex, int n) {
  Bytes out;
  for (int i = 0; i < n; ++i) out = Cat({out, Hex(hex)});
  return out;
}

struct MetaCase {
  const char* name;
  Bytes request;
  std::vector<Bytes> want;  // sequence numbers from 0x0100 on
};

class MetaFrames : public FrameTest {
 protected:
  void Run(const std::vector<MetaCase>& cases) {
    for (const MetaCase& k : cases) {
      ClientInfo& c = Session(1000);
      c.Seq = 0x0100;
      Dispatch(c, k.request);
      ExpectFrames(Sent(c), k.want, k.name);
      DestroySession(c);
    }
  }
  // Log lines written since the last call, without the dispatcher's "Get SNAK" lines.
  std::string NewLogLines() {
    std::string all = Log();
    std::string fresh = all.substr(std::min(seen_, all.size()));
    seen_ = all.size();
    std::istringstream in(fresh);
    std::string line, out;
    while (std::getline(in, line))
      if (line.find("Get SNAK") == std::string::npos && line.find("Send SNAK") == std::string::npos) out += line + "\n";
    return out;
  }
  size_t seen_ = 0;
};

TEST_F(MetaFrames, CannedAcknowledgementsOfTheSetRequests) {
  // The first written out in full: 33 bytes, TLV length 13, meta data length 11.
  const Bytes password = Hex("2A 02 01 00 00 1B  00 15 00 03 00 00 0A 0B 0C 0D  00 01 00 0D  0B 00  E8 03 00 00"
                             "  DA 07  07 00  AA 00  0A");
  Run({
      {"set password", Meta(0x07D0, 0x042E, Hex("03 00 'pw' 00")), {password}},
      {"set home info", Meta(0x07D0, 0x03EA, Cat({Repeat("01 00 00", 11), Hex("07 00 FA 01")})),
       {Reply(0x0100, 0x0064, 0x0A, {})}},
      {"set work info",
       Meta(0x07D0, 0x03F3, Cat({Repeat("01 00 00", 6), Hex("00 00"), Repeat("01 00 00", 3), Hex("00 00 01 00 00")})),
       {Reply(0x0100, 0x006E, 0x0A, {})}},
      {"set more info", Meta(0x07D0, 0x03FD, Hex("20 00 01  01 00 00  BC 07 02 01  01 02 03")),
       {Reply(0x0100, 0x0078, 0x0A, {})}},
      {"set about", Meta(0x07D0, 0x0406, Hex("04 00 'a' 0D 0A 00")), {Reply(0x0100, 0x0082, 0x0A, {})}},
  });
}

TEST_F(MetaFrames, InfoReplies) {
  WriteFile("Db/1001.ini", "[Main]\nNick=Ann\nFirst=A\nLast=Lee\nEmail=a@b\n");
  const Bytes none = Hex("01 00 00");
  Run({
      {"short info", Meta(0x07D0, 0x04BA, Hex("E9 03 00 00")),
       {Reply(0x0100, 0x0104, 0x0A, Hex("04 00 'Ann' 00  02 00 'A' 00  04 00 'Lee' 00  04 00 'a@b' 00"))}},
      {"full info of a number without a file", Meta(0x07D0, 0x04B2, Hex("92 10 00 00")),
       {Reply(0x0100, 0x00C8, 0x0A, Cat({Repeat("01 00 00", 11), Hex("00 00  00  01  02  00")}), true),
        Reply(0x0101, 0x00DC, 0x0A, Hex("00 00  00  01 00 00  00 00 00 00  00 00 00  00 00 00 01 00 00 01 00 00 00 00"), true),
        Reply(0x0102, 0x00EB, 0x0A, Hex("00"), true), Reply(0x0103, 0x010E, 0x0A, Hex("00 00"), true),
        Reply(0x0104, 0x00D2, 0x0A,
              Cat({Repeat("01 00 00", 6), Hex("00 00"), Repeat("01 00 00", 3), Hex("00 00"), none}), true),
        Reply(0x0105, 0x00E6, 0x0A, none, true), Reply(0x0106, 0x00F0, 0x0A, Hex("00"), true),
        Reply(0x0107, 0x00FA, 0x0A, Hex("00 00"))}},
  });
}

TEST_F(MetaFrames, SearchReplies) {
  WriteFile("Db/1001.ini", "[Main]\nNick=abc\nFirst=Al\nLast=Bo\nEmail=a.b\n");
  WriteFile("Db/1002.ini", "[Main]\nNick=x\nFirst=Cy\nLast=Bo\nEmail=c@d.test\n");
  const Bytes record1001 = Hex("36 00  E9 03 00 00  04 00 'abc' 00  03 00 'Al' 00  03 00 'Bo' 00  04 00 'a.b' 00"
                               "  00 00 00 00 00 00");
  const Bytes tail = Hex("00 00 00 00");
  Run({
      {"name search, one match", Meta(0x07D0, 0x0515, Hex("40 01 05 00  03 00 'AL' 00")),
       {Reply(0x0100, 0x019A, 0x0A, Cat({record1001, tail}))}},
      {"name search, nothing", Meta(0x07D0, 0x055F, Hex("54 01 05 00  03 00 'zz' 00")), {Reply(0x0100, 0x01AE, 0x32, {})}},
      {"e-mail search", Meta(0x07D0, 0x0573, Hex("5E 01 0B 00  09 00 'C@D.TEST' 00")),
       {Reply(0x0100, 0x01AE, 0x0A,
              Hex("39 00  EA 03 00 00  02 00 'x' 00  03 00 'Cy' 00  03 00 'Bo' 00  09 00 'c@d.test' 00"
                  "  00 00 00 00 00 00  00 00 00 00"))}},
      {"e-mail search, too short", Meta(0x07D0, 0x0573, Hex("5E 01 06 00  04 00 'a.b' 00")),
       {Reply(0x0100, 0x01AE, 0x32, {})}},
      {"number search", Meta(0x07D0, 0x0573, Hex("36 01 04 00  E9 03 00 00")),
       {Reply(0x0100, 0x019A, 0x0A, Cat({record1001, tail}))}},
      {"number search, nobody", Meta(0x07D0, 0x0573, Hex("36 01 04 00  92 10 00 00")),
       {Reply(0x0100, 0x019A, 0x32, {})}},
  });
  // Two matches: the first without the trailer (0x0190), the last with it (0x019A).
  ClientInfo& c = Session(1000);
  c.Seq = 0x0100;
  Dispatch(c, Meta(0x07D0, 0x0515, Hex("4A 01 05 00  03 00 'bo' 00")));
  auto got = Sent(c);
  ASSERT_EQ(got.size(), 2u);
  const Bytes record1002 = Hex("39 00  EA 03 00 00  02 00 'x' 00  03 00 'Cy' 00  03 00 'Bo' 00  09 00 'c@d.test' 00"
                               "  00 00 00 00 00 00");
  bool firstIs1001 = got[0].size() > 35 && got[0][35] == 0xE9;
  ExpectFrames(got,
               {Reply(0x0100, 0x0190, 0x0A, firstIs1001 ? record1001 : record1002),
                Reply(0x0101, 0x019A, 0x0A, Cat({firstIs1001 ? record1002 : record1001, tail}))},
               "name search, two matches");
}

// The user-lookup family's e-mail search, and service requests for families not offered here.
TEST_F(MetaFrames, UserLookupByEmailAndServiceRequests) {
  WriteFile("Db/1001.ini", "[Main]\nEmail=Bo@x.test\n");
  WriteFile("Db/1002.ini", "[Main]\nEmail=c@d.test\n");
  WriteFile("Db/1003.ini", "[Main]\nEmail=bo@X.TEST\n");
  Run({
      {"e-mail lookup, two users", Hex("00 0A 00 02 00 00 0A 0B 0C 0D 'bo@x.test'"),
       {Hex("2A 02 01 00 00 1A  00 0A 00 03 00 00 0A 0B 0C 0D  00 01 00 04 '1001'  00 01 00 04 '1003'")}},
      {"e-mail lookup, nobody", Hex("00 0A 00 02 00 00 0A 0B 0C 0D 'bo@x.tes'"),
       {Hex("2A 02 01 00 00 0C  00 0A 00 01 00 00 0A 0B 0C 0D  00 14")}},
      {"service not offered", Hex("00 01 00 04 00 00 0A 0B 0C 0D  00 10"),
       {Hex("2A 02 01 00 00 0C  00 01 00 01 00 00 0A 0B 0C 0D  00 06")}},
      {"service offered on this connection", Hex("00 01 00 04 00 00 0A 0B 0C 0D  00 13"), {}},
  });
}

Bytes Sms(const std::string& xml) { return Meta(0x07D0, 0x1482, Cat({Bytes(25, 0x11), Text(xml), Hex("00")})); }

Bytes SmsReply(const std::string& response) {
  return Reply(0x0100, 0x0096, 0x0A,
               Cat({Hex("00 01 00 0D 00 0B  00 04 'Vorn'"), Be16(response.size() + 1), Text(response), Hex("00")}));
}

TEST_F(MetaFrames, SmsReceipts) {
  AddSmsRoute("<sign>79</sign><to>%number%@sms.test</to><subj>SMS %number%</subj>");
  Run({
      {"routed, receipt",
       Sms("<destination>79555</destination><text>Hi</text><delivery_receipt>YES</delivery_receipt>"),
       {SmsReply("<sms_response>\n<source>79</source>\n<deliverable>Yes</deliverable><network>555@sms.test</network>"
                 "<message_id>1</message_id>\n<messages_left>79555</messages_left>\n</sms_response>\n")}},
      {"no route, receipt", Sms("<destination>+4412</destination><delivery_receipt>yes</delivery_receipt>"),
       {SmsReply("<sms_response>\n<source>Not find</source>\n<deliverable>No</deliverable><error><id>+4412</id>\n"
                 "<params><param>Not find where</param></params></error>\n</sms_response>\n")}},
      {"no receipt", Sms("<destination>79555</destination><text>Hi</text>"), {}},
  });
  WaitForMailThreads();
  ClearSmsRoutes();
}

TEST_F(MetaFrames, EnvelopeChecksAndTheirLogLines) {
  NewLogLines();
  struct Drop {
    const char* name;
    Bytes request;
    std::string log;
  };
  Bytes shortTlv = Meta(0x07D0, 0x042E, Hex("03 00 'pw' 00"));
  shortTlv[13] = 5;  // TLV length below 6
  Bytes sixTlv = Meta(0x07D0, 0x042E, Hex("03 00 'pw' 00"));
  sixTlv[13] = 6;  // the least accepted
  const std::vector<Drop> drops = {
      {"another user's number", Meta(0x07D0, 0x042E, Hex("03 00 'pw' 00"), 1001), ""},
      {"TLV length 5", shortTlv, ""},
      {"unknown request type", Meta(0x0050, 0, {}), "Not support Meta=80\n"},
      {"unknown subtype", Meta(0x07D0, 0x04C4, {}), "Not support Meta=0xd007 Key=0x4c4\n"},
      {"unknown search key", Meta(0x07D0, 0x0573, Hex("54 01 04 00 00 00 00 00")), "Understand param find = 340\n"},
  };
  for (const Drop& d : drops) {
    ClientInfo& c = Session(1000);
    Dispatch(c, d.request);
    EXPECT_TRUE(Sent(c).empty()) << d.name;
    std::string lines = NewLogLines();
    if (d.log.empty()) {
      EXPECT_EQ(lines, "") << d.name;
    } else {
      EXPECT_TRUE(lines.ends_with(d.log)) << d.name << ": " << lines;
      EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << d.name << ": " << lines;
    }
    DestroySession(c);
  }
  ClientInfo& c = Session(1000);
  c.Seq = 0x0100;
  Dispatch(c, sixTlv);
  ExpectFrames(Sent(c), {Reply(0x0100, 0x00AA, 0x0A, {})}, "TLV length 6");
}

}  // namespace
}  // namespace frames
