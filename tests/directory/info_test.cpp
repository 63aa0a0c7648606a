// Full and short info, and the set-info requests that change what they report.
#include <ctime>

#include "platform/clock.h"
#include "server-core/userdb.h"
#include "tests/directory/fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(const Bytes& part, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kEmpty = {1, 0, 0};

class DirectoryInfo : public DirectoryTest {
 protected:
  std::vector<Reply> FullInfo(uint32_t uin) {
    return Call(SendFullInfo, 0x04B2, Req().le32(uin).bytes());
  }
  // Home info with every string set to its key name, and the given trailing numbers.
  Req HomeInfo(uint16_t country, uint8_t tz, uint8_t publish) {
    Req r;
    for (const char* s : {"nick", "first", "last", "mail", "city", "state", "phone", "fax",
                          "street", "cell", "zip"})
      r.str(s);
    return r.le16(country).u8(tz).u8(publish);
  }
  uint16_t AgeSent(const std::string& birthDay) {
    WriteFile("1000.ini", "[Etc]\nAge=77\nBirthDay=" + birthDay + "\n");
    auto replies = FullInfo(kSelf);
    ReplyReader rr(replies.at(1).data);
    return rr.le16();
  }
};

TEST_F(DirectoryInfo, FullInfoOfUserWithoutFileSendsDefaults) {
  auto r = FullInfo(4242);
  ASSERT_EQ(r.size(), 8u);
  std::vector<uint16_t> subtypes;
  for (const Reply& x : r) {
    subtypes.push_back(x.subtype);
    EXPECT_EQ(x.result, 0x0A);
  }
  EXPECT_EQ(subtypes, (std::vector<uint16_t>{0x00C8, 0x00DC, 0x00EB, 0x010E, 0x00D2, 0x00E6,
                                             0x00F0, 0x00FA}));
  EXPECT_EQ(r[0].data, Cat({Repeat(kEmpty, 11), {0, 0, 0, 1, 2, 0}}));
  EXPECT_EQ(r[1].data, Cat({{0, 0, 0}, kEmpty, Bytes(7, 0), {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0}}));
  EXPECT_EQ(r[2].data, Bytes{0});
  EXPECT_EQ(r[3].data, (Bytes{0, 0}));
  EXPECT_EQ(r[4].data, Cat({Repeat(kEmpty, 6), {0, 0}, Repeat(kEmpty, 3), {0, 0}, kEmpty}));
  EXPECT_EQ(r[5].data, kEmpty);
  EXPECT_EQ(r[6].data, Bytes{0});
  EXPECT_EQ(r[7].data, (Bytes{0, 0}));
  // Consecutive FLAP sequence numbers.
  for (size_t i = 1; i < r.size(); ++i)
    EXPECT_EQ(GetBe16(&r[i].frame[2]), GetBe16(&r[i - 1].frame[2]) + 1);
}

TEST_F(DirectoryInfo, HomeInfoIsStoredAndReportedBack) {
  auto ack = Call(SetHomeInfo, 0x03EA, HomeInfo(7, 0xFA, 1).bytes());
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_EQ(ack[0].subtype, 0x0064);
  EXPECT_EQ(ack[0].frame.size(), 33u);
  EXPECT_EQ(Value(kSelf, "Main", "Country"), "70");
  EXPECT_EQ(Value(kSelf, "Main", "timezone"), "250");
  EXPECT_EQ(Value(kSelf, "Main", "Publish"), "1");
  EXPECT_EQ(Value(kSelf, "Main", "Nick"), "nick");
  EXPECT_EQ(Value(kSelf, "Main", "Cell"), "cell");

  auto r = FullInfo(kSelf);
  ReplyReader rr(r.at(0).data);
  for (const char* s : {"nick", "first", "last", "mail", "city", "state", "phone", "fax",
                        "street", "cell", "zip"})
    EXPECT_EQ(rr.str(), s);
  EXPECT_EQ(rr.le16(), 7);
  EXPECT_EQ(rr.u8(), 0xFA);
  EXPECT_EQ(rr.u8(), 1);
  EXPECT_EQ(rr.u8(), 2);
  EXPECT_EQ(rr.u8(), 0);
  EXPECT_TRUE(rr.atEnd());

  auto s = Call(SendShortInfo, 0x04BA, Req().le32(kSelf).bytes());
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].subtype, 0x0104);
  ReplyReader sr(s[0].data);
  for (const char* t : {"nick", "first", "last", "mail"}) EXPECT_EQ(sr.str(), t);
  EXPECT_TRUE(sr.atEnd());
}

TEST_F(DirectoryInfo, WorkAndMoreInfoRoundTrip) {
  Req work;
  for (const char* s : {"wcity", "wstate", "wphone", "wfax", "wstreet", "wzip"}) work.str(s);
  work.le16(0x0107).str("co").str("dep").str("pos").le16(65000).str("http://w");
  Call(SetWorkInfo, 0x03F3, work.bytes());
  EXPECT_EQ(Value(kSelf, "Work", "Country"), "71");
  EXPECT_EQ(Value(kSelf, "Work", "OCCUPATION"), "65000");

  Req more;
  more.le16(33).u8(2).str("http://h").le16(1980).u8(2).u8(1).u8(10).u8(20).u8(255);
  auto ack = Call(SetMoreInfo, 0x03FD, more.bytes());
  EXPECT_EQ(ack.at(0).subtype, 0x0078);
  EXPECT_EQ(Value(kSelf, "Etc", "BirthDay"), "01.02.1980");
  EXPECT_EQ(Value(kSelf, "Etc", "Sex"), "2");
  EXPECT_EQ(Value(kSelf, "Etc", "Lang3"), "255");

  auto r = FullInfo(kSelf);
  ReplyReader m(r.at(1).data);
  m.le16();  // age, from the birth date
  EXPECT_EQ(m.u8(), 2);
  EXPECT_EQ(m.str(), "http://h");
  EXPECT_EQ(m.le16(), 1980);
  EXPECT_EQ(m.u8(), 2);
  EXPECT_EQ(m.u8(), 1);
  EXPECT_EQ(m.u8(), 10);
  EXPECT_EQ(m.u8(), 20);
  EXPECT_EQ(m.u8(), 255);

  ReplyReader w(r.at(4).data);
  for (const char* s : {"wcity", "wstate", "wphone", "wfax", "wstreet", "wzip"})
    EXPECT_EQ(w.str(), s);
  EXPECT_EQ(w.le16(), 0x0107);
  for (const char* s : {"co", "dep", "pos"}) EXPECT_EQ(w.str(), s);
  EXPECT_EQ(w.le16(), 65000);
  EXPECT_EQ(w.str(), "http://w");
  EXPECT_TRUE(w.atEnd());

  Call(SetMoreInfo, 0x03FD, Req().le16(0).u8(0).str("").le16(0).u8(0).u8(0).bytes());
  EXPECT_EQ(Value(kSelf, "Etc", "BirthDay"), "00.00.0000");
}

TEST_F(DirectoryInfo, AgeFromBirthDateCountsBirthdayFromItsDay) {
  std::tm now = plat::LocalTimeNow();
  auto date = [](std::tm t) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900 - 30);
    return std::string(buf);
  };
  std::tm tomorrow = now, yesterday = now;
  tomorrow.tm_mday += 1;
  yesterday.tm_mday -= 1;
  std::mktime(&tomorrow);
  std::mktime(&yesterday);
  EXPECT_EQ(AgeSent(date(now)), 30);
  EXPECT_EQ(AgeSent(date(yesterday)), 30);
  EXPECT_EQ(AgeSent(date(tomorrow)), 29);
  EXPECT_EQ(AgeSent("00.00.0000"), now.tm_year + 1900);
  EXPECT_EQ(AgeSent("1.2.1980"), 77);  // not ten characters: the stored age
  EXPECT_EQ(AgeSent("01.01.9999"), 0);
}

TEST_F(DirectoryInfo, AboutTextIsStoredLineByLine) {
  for (int i = 0; i < 6; ++i)
    WriteUserString(kSelf, "About", std::to_string(i).c_str(), "old" + std::to_string(i));
  auto ack = Call(SetAbout, 0x0406, Req().str("a\r\nb\r\n").bytes());
  EXPECT_EQ(ack.at(0).subtype, 0x0082);
  EXPECT_EQ(Value(kSelf, "About", "0"), "a");
  EXPECT_EQ(Value(kSelf, "About", "1"), "b");
  for (int i = 2; i < 20; ++i) EXPECT_EQ(Value(kSelf, "About", std::to_string(i).c_str()), "<missing>");
  ReplyReader rr(FullInfo(kSelf).at(5).data);
  EXPECT_EQ(rr.str(), "a\r\nb\r\n");

  Call(SetAbout, 0x0406, Req().str("").bytes());
  EXPECT_EQ(Value(kSelf, "About", "0"), "<missing>");
}

TEST_F(DirectoryInfo, AboutTextNeverBreaksTheFile) {
  std::string text;
  for (int i = 1; i <= 25; ++i) text += "line" + std::to_string(i) + "\r\n";
  Call(SetAbout, 0x0406, Req().str(text).bytes());
  EXPECT_EQ(Value(kSelf, "About", "18"), "line19");
  ReplyReader rr(FullInfo(kSelf).at(5).data);
  EXPECT_EQ(rr.str(), text);  // the lines after the 19th break read back as sent

  // Line breaks of LF alone read back as LF.
  Call(SetAbout, 0x0406, Req().str("x\ny\n\nz\n").bytes());
  EXPECT_EQ(Value(kSelf, "About", "2"), "\f");
  ReplyReader lf(FullInfo(kSelf).at(5).data);
  EXPECT_EQ(lf.str(), "x\ny\n\nz\n");

  // A lone CR ends a line without swallowing the next character.
  Call(SetAbout, 0x0406, Req().str("p\rqr").bytes());
  EXPECT_EQ(Value(kSelf, "About", "1"), "qr");

  // Every line of the file is a section, a key or empty: nothing was split apart.
  std::string file = FileText(kSelf);
  size_t start = 0;
  while (start < file.size()) {
    size_t end = file.find('\n', start);
    std::string line = file.substr(start, end - start);
    EXPECT_TRUE(line.empty() || line[0] == '[' || line.find('=') != std::string::npos) << line;
    start = end + 1;
  }
}

TEST_F(DirectoryInfo, ShortRequestsStoreTheWholeFieldsOnly) {
  Req home;
  home.str("nick").str("first").le16(40).raw("las");  // the last name's bytes end early
  auto ack = Call(SetHomeInfo, 0x03EA, home.bytes());
  EXPECT_EQ(ack.at(0).subtype, 0x0064);
  EXPECT_EQ(Value(kSelf, "Main", "Nick"), "nick");
  EXPECT_EQ(Value(kSelf, "Main", "First"), "first");
  EXPECT_EQ(Value(kSelf, "Main", "Last"), "<missing>");

  // Strings complete, the country code cut in half.
  Bytes cut = HomeInfo(7, 0, 0).bytes();
  cut.resize(cut.size() - 3);
  Call(SetHomeInfo, 0x03EA, cut);
  EXPECT_EQ(Value(kSelf, "Main", "Zip"), "zip");
  EXPECT_EQ(Value(kSelf, "Main", "Country"), "<missing>");

  Call(SetMoreInfo, 0x03FD, Req().le16(30).u8(1).str("hp").le16(1990).u8(5).bytes());
  EXPECT_EQ(Value(kSelf, "Etc", "Homepage"), "hp");
  EXPECT_EQ(Value(kSelf, "Etc", "BirthDay"), "<missing>");

  for (auto handler : {SetWorkInfo, SetAbout, SetPassword}) {
    auto r = Call(handler, 0x0000, Bytes{5});
    EXPECT_EQ(r.size(), 1u);
  }
  EXPECT_TRUE(Call(SendFullInfo, 0x04B2, Bytes{1, 2, 3}).empty());
  EXPECT_TRUE(Call(SendShortInfo, 0x04BA, Bytes{}).empty());
}

TEST_F(DirectoryInfo, LineBreaksInFieldsDoNotReachTheFile) {
  Req home;
  home.str("a\r\n[Etc]\nAge=5").str("x\ry");
  Call(SetHomeInfo, 0x03EA, home.bytes());
  EXPECT_EQ(Value(kSelf, "Main", "Nick"), "a [Etc] Age=5");
  EXPECT_EQ(Value(kSelf, "Main", "First"), "x y");
  EXPECT_EQ(Value(kSelf, "Etc", "Age"), "<missing>");

  // Gender bytes whose character would be a control character are stored as "0".
  Call(SetMoreInfo, 0x03FD, Req().le16(1).u8(0xDA).bytes());
  EXPECT_EQ(Value(kSelf, "Etc", "Sex"), "0");
}

TEST_F(DirectoryInfo, TextsAreStoredAsSent) {
  auto ack = Call(SetPassword, 0x042E, Req().str("s3cret!").bytes());
  EXPECT_EQ(ack.at(0).subtype, 0x00AA);
  EXPECT_EQ(Value(kSelf, "Main", "Pass"), "s3cret!");
  Call(SetPassword, 0x042E, Req().str("").bytes());
  EXPECT_EQ(Value(kSelf, "Main", "Pass"), "");
  // White space at the ends and enclosing quotes survive the profile file.
  Call(SetPassword, 0x042E, Req().str(" pw ").bytes());
  EXPECT_EQ(Value(kSelf, "Main", "Pass"), " pw ");
  Call(SetPassword, 0x042E, Req().str("'pw'").bytes());
  EXPECT_EQ(Value(kSelf, "Main", "Pass"), "'pw'");
  Call(SetHomeInfo, 0x03EA, Req().str("\"q\"").str(" first").bytes());
  EXPECT_EQ(Value(kSelf, "Main", "Nick"), "\"q\"");
  EXPECT_EQ(Value(kSelf, "Main", "First"), " first");
  Call(SetAbout, 0x0406, Req().str("  indented\r\nplain").bytes());
  ReplyReader about(Call(SendFullInfo, 0x04B2, Req().le32(kSelf).bytes()).at(5).data);
  EXPECT_EQ(about.str(), "  indented\r\nplain\r\n");

  Call(SetPassword, 0x042E, Req().str("new").bytes());
  EXPECT_EQ(ack.at(0).result, 0x0A);
  // A password with a line break is not stored, and the acknowledgement says it failed.
  for (const char* broken : {"a\nb", "a\rb", "\r\n"}) {
    auto refused = Call(SetPassword, 0x042E, Req().str(broken).bytes());
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused.at(0).subtype, 0x00AA);
    EXPECT_EQ(refused.at(0).result, 0x32) << broken;
  }
  EXPECT_EQ(Value(kSelf, "Main", "Pass"), "new");
}

TEST_F(DirectoryInfo, FileChangedBetweenRequestsIsSeen) {
  WriteFile("1000.ini", "[Main]\nnick=one\n[MAIL]\n0=a@x\n1=b@x\n");
  ReplyReader first(FullInfo(kSelf).at(0).data);
  EXPECT_EQ(first.str(), "one");
  WriteFile("1000.ini", "[Main]\nNick=two\ntimezone=250\n[MAIL]\n0=empty\n1=b@x\n");
  auto r = FullInfo(kSelf);
  ReplyReader second(r.at(0).data);
  EXPECT_EQ(second.str(), "two");
  EXPECT_EQ(r.at(2).data, Bytes{0});
  WriteFile("1000.ini", "[MAIL]\n0=a@x\n1=b@x\n");
  ReplyReader mails(FullInfo(kSelf).at(2).data);
  EXPECT_EQ(mails.u8(), 2);
  EXPECT_EQ(mails.u8(), 1);
  EXPECT_EQ(mails.str(), "a@x");
}

TEST_F(DirectoryInfo, LongValuesAreCut) {
  WriteFile("1000.ini", "[Main]\nCity=" + std::string(400, 'c') + "\n");
  ReplyReader rr(FullInfo(kSelf).at(0).data);
  for (int i = 0; i < 4; ++i) rr.str();
  EXPECT_EQ(rr.str(), std::string(299, 'c'));
}

}  // namespace
