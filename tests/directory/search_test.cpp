// Name, e-mail and number searches over the user directory.
#include <filesystem>
#include <map>

#include "server-core/config.h"
#include "server-core/userdb.h"
#include "tests/directory/fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
  uint16_t length = 0;
  uint32_t uin = 0;
  std::string nick, first, last, email;
  Bytes tail;
};

Record ParseRecord(const Reply& r) {
  ReplyReader rr(r.data);
  Record rec;
  rec.length = rr.le16();
  rec.uin = rr.le32();
  rec.nick = rr.str();
  rec.first = rr.str();
  rec.last = rr.str();
  rec.email = rr.str();
  rec.tail.assign(r.data.begin() + static_cast<long>(rr.pos()), r.data.end());
  return rec;
}

class DirectorySearch : public DirectoryTest {
 protected:
  void User(uint32_t uin, const std::string& nick, const std::string& first,
            const std::string& last, const std::string& email) {
    WriteFile(std::to_string(static_cast<int32_t>(uin)) + ".ini",
              "[Main]\nNick=" + nick + "\nFirst=" + first + "\nLast=" + last +
                  (email.empty() ? "" : "\nEmail=" + email) + "\n");
  }
  std::vector<Reply> ByName(Req&& r) { return Call(SearchByName, 0x0515, r.bytes()); }
  std::vector<Reply> ByName(Req& r) { return Call(SearchByName, 0x0515, r.bytes()); }
  std::vector<Reply> ByEmail(const std::string& mail) {
    return Call(SearchByEmail, 0x0573, Req().le16(0x015E).le16(0).str(mail).bytes());
  }
  std::vector<Reply> ByUin(uint32_t uin) {
    return Call(SearchByUin, 0x0573, Req().le16(0x0136).le16(4).le32(uin).bytes());
  }
  void ExpectNothingFound(const std::vector<Reply>& r, uint16_t subtype) {
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].subtype, subtype);
    EXPECT_EQ(r[0].result, 0x32);
    EXPECT_EQ(r[0].frame.size(), 33u);
  }
};

const Bytes kSixZeros(6, 0);
const Bytes kTenZeros(10, 0);

TEST_F(DirectorySearch, NameSearchMatchesWholeNameIgnoringCase) {
  User(10, "n1", "John", "Smith", "j@x");
  User(11, "n2", "Jo", "Smith", "");
  User(12, "n3", "john", "Doe", "");
  User(13, "n4", "JOHNNY", "Doe", "");
  auto r = ByName(Req().tlvStr(0x0140, "JOHN"));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].subtype, 0x0190);
  EXPECT_EQ(r[1].subtype, 0x019A);
  Record a = ParseRecord(r[0]), b = ParseRecord(r[1]);
  EXPECT_EQ(a.uin, 10u);
  EXPECT_EQ(a.first, "John");
  EXPECT_EQ(a.email, "j@x");
  EXPECT_EQ(a.tail, kSixZeros);
  EXPECT_EQ(b.uin, 12u);
  EXPECT_EQ(b.first, "john");
  EXPECT_EQ(b.email, " ");  // no e-mail stored
  EXPECT_EQ(b.tail, kTenZeros);
}

TEST_F(DirectorySearch, NameSearchWithThreeMatchesAndAllKeys) {
  for (uint32_t u = 20; u < 23; ++u) User(u, "nk", "Al", "Bo", "a.b");
  User(23, "nk", "Al", "Other", "a.b");
  auto r = ByName(Req().tlvStr(0x0140, "al").tlvStr(0x014A, "BO").tlvStr(0x0154, "NK"));
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].subtype, 0x0190);
  EXPECT_EQ(r[1].subtype, 0x0190);
  EXPECT_EQ(r[2].subtype, 0x019A);
  EXPECT_EQ(r[0].result, 0x0A);
  EXPECT_EQ(ParseRecord(r[2]).tail, kTenZeros);

  User(30, "abc", "Al", "Bo", "a.b");
  auto one = ByName(Req().tlvStr(0x0154, "abc"));
  ASSERT_EQ(one.size(), 1u);
  Record rec = ParseRecord(one[0]);
  EXPECT_EQ(rec.length, 54);
  EXPECT_EQ(rec.uin, 30u);
  EXPECT_EQ(rec.nick, "abc");
  EXPECT_EQ(rec.last, "Bo");
}

TEST_F(DirectorySearch, NameSearchWithoutMatchOrKeys) {
  User(10, "n", "John", "Smith", "");
  ExpectNothingFound(ByName(Req().tlvStr(0x0140, "Nobody")), 0x019A);
  ExpectNothingFound(ByName(Req().tlvStr(0x0140, "").tlvStr(0x014A, "").tlvStr(0x0154, "")), 0x019A);
  ExpectNothingFound(ByName(Req()), 0x019A);
}

TEST_F(DirectorySearch, NameSearchTlvScan) {
  User(10, "n", "John", "Smith", "");
  // A later TLV of a type overrides the earlier one; an unknown one is logged and skipped.
  auto r = ByName(Req().tlvStr(0x0140, "Bob").le16(0x0136).le16(4).le32(5).tlvStr(0x0140, "john"));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].subtype, 0x019A);
  EXPECT_NE(LogText().find("Uknow tlv type=0x136 in find request \n"), std::string::npos);

  // A value running past the data ends the scan; the keys before it count.
  Req cut;
  cut.tlvStr(0x014A, "smith").le16(0x0140).le16(50).str("x");
  r = ByName(cut);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(ParseRecord(r[0]).uin, 10u);

  // A header cut short, and a meta string longer than its TLV.
  Req half;
  half.tlvStr(0x0154, "n").u8(0x40);
  EXPECT_EQ(ByName(half).size(), 1u);
  Req lying;
  lying.le16(0x0140).le16(6).le16(200).raw("John");
  EXPECT_EQ(ByName(lying).size(), 1u);
}

TEST_F(DirectorySearch, LongNamesAreCutInRecords) {
  std::string nick(40, 'n'), first(40, 'f'), mail(120, 'm');
  User(10, nick, first, "L", mail);
  auto r = ByName(Req().tlvStr(0x014A, "l"));
  ASSERT_EQ(r.size(), 1u);
  Record rec = ParseRecord(r[0]);
  EXPECT_EQ(rec.nick.size(), 22u);
  EXPECT_EQ(rec.first.size(), 23u);
  EXPECT_EQ(rec.email.size(), 99u);
  EXPECT_EQ(rec.length, 22 + 23 + 1 + 99 + 44);

  auto u = ByUin(10);
  rec = ParseRecord(u.at(0));
  EXPECT_EQ(rec.nick.size(), 23u);
  EXPECT_EQ(rec.email.size(), 120u);
}

TEST_F(DirectorySearch, EmailSearch) {
  User(10, "n1", "", "", "Me@Example.org");
  WriteFile("11.ini", "[Main]\nemail=me@example.ORG\n");
  User(12, "n3", "A", "B", "other@example.org");
  auto r = ByEmail("me@example.org");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].subtype, 0x01A4);
  EXPECT_EQ(r[1].subtype, 0x01AE);
  Record a = ParseRecord(r[0]), b = ParseRecord(r[1]);
  EXPECT_EQ(a.uin, 10u);
  EXPECT_EQ(a.email, "Me@Example.org");
  EXPECT_EQ(a.first, "");  // present but empty
  EXPECT_EQ(a.tail, kSixZeros);
  EXPECT_EQ(b.uin, 11u);
  EXPECT_EQ(b.nick, "");
  EXPECT_EQ(b.first, " ");  // missing: a single space
  EXPECT_EQ(b.tail, kTenZeros);

  ExpectNothingFound(ByEmail("none@example.org"), 0x01AE);
}

TEST_F(DirectorySearch, EmailSearchRefusesShortTexts) {
  User(10, "n", "", "", "a@b");
  ExpectNothingFound(ByEmail("a@b"), 0x01AE);  // would match if the folder were read
  ExpectNothingFound(ByEmail(""), 0x01AE);
  ExpectNothingFound(Call(SearchByEmail, 0x0573, Bytes{0x5E, 0x01}), 0x01AE);
  User(11, "n", "", "", "ab@c");
  EXPECT_EQ(ByEmail("AB@C").size(), 1u);
}

TEST_F(DirectorySearch, UinSearch) {
  User(10, "nick", "", "", "");
  WriteFile("11.ini", "[Main]\nFirst=Ann\nEmail=ann@x\n");
  WriteFile("12.ini", "[Main]\nNick=\n");
  auto r = ByUin(10);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].subtype, 0x019A);
  EXPECT_EQ(r[0].result, 0x0A);
  Record rec = ParseRecord(r[0]);
  EXPECT_EQ(rec.uin, 10u);
  EXPECT_EQ(rec.nick, "nick");
  EXPECT_EQ(rec.email, " ");
  EXPECT_EQ(rec.tail, kTenZeros);
  ExpectNothingFound(ByUin(11), 0x019A);
  ExpectNothingFound(ByUin(12), 0x019A);
  ExpectNothingFound(ByUin(99), 0x019A);
  ExpectNothingFound(Call(SearchByUin, 0x0573, Bytes{0x36, 0x01, 4, 0, 10}), 0x019A);
}

TEST_F(DirectorySearch, OnlyUserFilesAreSearched) {
  User(3000000000u, "big", "Max", "", "");
  User(7, "seven", "Max", "", "");
  WriteFile("007.ini", "[Main]\nFirst=Max\n");
  WriteFile("notes.ini", "[Main]\nFirst=Max\n");
  std::filesystem::create_directory(Cfg.userDir + "8.ini");
  auto r = ByName(Req().tlvStr(0x0140, "max"));
  ASSERT_EQ(r.size(), 2u);
  std::map<uint32_t, std::string> found;
  for (const Reply& x : r) found[ParseRecord(x).uin] = ParseRecord(x).nick;
  EXPECT_EQ(found, (std::map<uint32_t, std::string>{{7u, "seven"}, {3000000000u, "big"}}));
}

TEST_F(DirectorySearch, DirectoryIsReadAfreshForEveryRequest) {
  ExpectNothingFound(ByName(Req().tlvStr(0x0154, "late")), 0x019A);
  User(40, "late", "", "", "");
  EXPECT_EQ(ByName(Req().tlvStr(0x0154, "late")).size(), 1u);
  std::filesystem::remove_all(Cfg.userDir);
  ExpectNothingFound(ByName(Req().tlvStr(0x0154, "late")), 0x019A);
}

}  // namespace

namespace {

TEST_F(DirectorySearch, WhitePagesSearchesAnswerWithTheEmailSubtypes) {
  User(30, "nk", "Al", "Bo", "a.b");
  User(31, "nk", "Cy", "Do", "c.d");
  // 0533, fixed fields: first, last, nick, e-mail, then fields that are not searched.
  auto r = Call(SearchWhitePages, 0x0533, Req().str("").str("").str("nk").str("a.b").le16(0).u8(0).bytes());
  ASSERT_EQ(r.size(), 1u);
  const Bytes& f = r[0].frame;
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 2), (Bytes{0x2A, 0x02}));
  Bytes expected = {0x00, 0x40, 0x00, 0x15, 0x00, 0x03, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x01, 0x00, 0x32,
                    0x30, 0x00, 0xE8, 0x03, 0x00, 0x00, 0xDA, 0x07, 0x34, 0x12, 0xAE, 0x01, 0x0A,
                    0x35, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x03, 0x00, 'n', 'k', 0x00, 0x03, 0x00, 'A', 'l', 0x00,
                    0x03, 0x00, 'B', 'o', 0x00, 0x04, 0x00, 'a', '.', 'b', 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(f.begin() + 4, f.end()), expected);
  // 055F: the name keys and an e-mail key (TLV 0x015E); results as 01A4 / 01AE.
  auto byNick = Call(SearchByName, 0x055F, Req().tlvStr(0x0154, "NK").bytes());
  ASSERT_EQ(byNick.size(), 2u);
  EXPECT_EQ(byNick[0].subtype, 0x01A4);
  EXPECT_EQ(byNick[1].subtype, 0x01AE);
  auto byMail = Call(SearchByName, 0x055F, Req().tlvStr(0x015E, "C.D").bytes());
  ASSERT_EQ(byMail.size(), 1u);
  EXPECT_EQ(byMail[0].subtype, 0x01AE);
  EXPECT_EQ(ParseRecord(byMail[0]).uin, 31u);
  ExpectNothingFound(Call(SearchByName, 0x055F, Req().tlvStr(0x015E, "x@y").bytes()), 0x01AE);
  // 0515 keeps its own subtypes.
  auto old = ByName(Req().tlvStr(0x0154, "nk"));
  ASSERT_EQ(old.size(), 2u);
  EXPECT_EQ(old[1].subtype, 0x019A);
}

}  // namespace
