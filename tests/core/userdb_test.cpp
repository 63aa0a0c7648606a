// The user database: file naming, reads with defaults, numbered lists, enumeration and
// the stored encodings of country codes and single-byte values.
#include <gtest/gtest.h>

#include <filesystem>

#include "server-core/config.h"
#include "server-core/userdb.h"
#include "tests/core/core_util.h"

namespace {

constexpr uint32_t kUin = 123456;

class UserDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Cfg;
    SetDataPath(dir_.path());
    std::filesystem::create_directory(Cfg.userDir);
  }
  void TearDown() override { Cfg = saved_; }
  std::string Read(const char* section, const char* key, const char* def, size_t size = 0x100) {
    return ReadUserString(kUin, section, key, def, size);
  }

  TempDir dir_;
  ServerConfig saved_;
};

TEST_F(UserDbTest, DerivedFoldersAndFileNames) {
  EXPECT_EQ(Cfg.userDir, dir_.path() + "Db/");
  EXPECT_EQ(Cfg.cookieDir, dir_.path() + "Cookie/");
  EXPECT_EQ(Cfg.olmDir, dir_.path() + "olm/");
  EXPECT_EQ(Cfg.iniFile, dir_.path() + "vorn.ini");
  EXPECT_EQ(UserFilePath(123456), dir_.path() + "Db/123456.ini");
  EXPECT_EQ(UserFilePath(3000000000u), dir_.path() + "Db/-1294967296.ini") << "signed decimal";
  EXPECT_EQ(UserFilePath(0), dir_.path() + "Db/0.ini");
}

TEST_F(UserDbTest, MissingFileGivesTheDefaults) {
  EXPECT_EQ(Read("Main", "nick", ""), "");
  EXPECT_EQ(Read("Main", "first", " "), " ");
  EXPECT_EQ(DecodeCountry(Read("Main", "country", "00")), 0);
  EXPECT_EQ(LeadingNumber(Read("Main", "Publish", "1")), 1u);
  EXPECT_TRUE(ReadUserList(kUin, "About", 0x100).empty());
  EXPECT_TRUE(ReadMemberList(kUin).empty());
  EXPECT_FALSE(std::filesystem::exists(UserFilePath(kUin))) << "reading creates nothing";
}

TEST_F(UserDbTest, PresentEmptyKeyIsNotTheDefault) {
  ASSERT_TRUE(WriteUserString(kUin, "Main", "Nick", std::string("")));
  ASSERT_TRUE(WriteUserString(kUin, "Main", "First", std::string("")));
  EXPECT_EQ(Read("Main", "nick", ""), "");
  EXPECT_EQ(Read("Main", "First", " "), "") << "present but empty";
  EXPECT_EQ(Read("Main", "Last", " "), " ") << "missing";
}

TEST_F(UserDbTest, KeysWrittenAndReadWithDifferentSpelling) {
  ASSERT_TRUE(WriteUserString(kUin, "Main", "Nick", std::string("bob")));
  ASSERT_TRUE(WriteUserString(kUin, "Main", "Country", EncodeCountry(7)));
  ASSERT_TRUE(WriteUserString(kUin, "Work", "City", std::string("Oslo")));
  ASSERT_TRUE(WriteUserString(kUin, "Etc", "Lang1", std::string("12")));
  EXPECT_EQ(Read("Main", "nick", ""), "bob");
  EXPECT_EQ(DecodeCountry(Read("main", "country", "00")), 7);
  EXPECT_EQ(Read("work", "city", ""), "Oslo");
  EXPECT_EQ(Read("etc", "lang1", "0"), "12");
  EXPECT_EQ(Read("Main", "City", ""), "") << "sections stay apart";
}

TEST_F(UserDbTest, ValueIsCutToBufferSizeMinusOne) {
  ASSERT_TRUE(WriteUserString(kUin, "Main", "Nick", std::string(40, 'n')));
  EXPECT_EQ(Read("Main", "Nick", "", 21), std::string(20, 'n'));
}

TEST_F(UserDbTest, WriteWithoutValueDeletesTheKey) {
  ASSERT_TRUE(WriteUserString(kUin, "Main", "Pass", std::string("secret")));
  ASSERT_TRUE(WriteUserString(kUin, "Main", "Pass", std::nullopt));
  EXPECT_EQ(Read("Main", "Pass", "none"), "none");
}

TEST_F(UserDbTest, AboutListEndsAtTheFirstGap) {
  ASSERT_TRUE(WriteUserString(kUin, "About", "0", std::string("line zero")));
  ASSERT_TRUE(WriteUserString(kUin, "About", "1", std::string("line one")));
  ASSERT_TRUE(WriteUserString(kUin, "About", "3", std::string("line three")));
  EXPECT_EQ(ReadUserList(kUin, "About", 0x100), (std::vector<std::string>{"line zero", "line one"}));
}

TEST_F(UserDbTest, StoredEmptyEndsTheListButAnEmptyValueDoesNot) {
  WriteWholeFile(UserFilePath(kUin), "[MAIL]\n0=a@x\n1=\n2=c@x\n3=empty\n4=e@x\n");
  EXPECT_EQ(ReadUserList(kUin, "MAIL", 0x100), (std::vector<std::string>{"a@x", "", "c@x"}));
}

TEST_F(UserDbTest, ListHoldsAtMostTwentyEntries) {
  std::string text = "[About]\n";
  for (int i = 0; i < 25; ++i) text += std::to_string(i) + "=l" + std::to_string(i) + "\n";
  WriteWholeFile(UserFilePath(kUin), text);
  auto lines = ReadUserList(kUin, "About", 0x100);
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines.back(), "l19");
}

TEST_F(UserDbTest, MemberListEndsAtDashOrGap) {
  WriteWholeFile(UserFilePath(kUin), "[List]\n0=100\n1=200\n2=-\n3=300\n");
  EXPECT_EQ(ReadMemberList(kUin), (std::vector<uint32_t>{100, 200}));
  WriteWholeFile(UserFilePath(kUin), "[List]\n0=100\n2=300\n");
  EXPECT_EQ(ReadMemberList(kUin), (std::vector<uint32_t>{100}));
  WriteWholeFile(UserFilePath(kUin), "[List]\n0=-5\n");
  EXPECT_TRUE(ReadMemberList(kUin).empty());
}

TEST_F(UserDbTest, EnumerationSkipsFoldersAndOrdersByNumber) {
  for (const char* name : {"200.ini", "30.ini", "readme.ini", "40.olm", "5.INI"})
    WriteWholeFile(Cfg.userDir + name, "[Main]\n");
  std::filesystem::create_directory(Cfg.userDir + "7.ini");
  std::vector<std::pair<uint32_t, std::string>> seen;
  EnumerateUserFiles([&](uint32_t uin, const std::string& path) { seen.emplace_back(uin, path); });
  std::vector<std::pair<uint32_t, std::string>> expected{
      {0, Cfg.userDir + "readme.ini"},
      {5, Cfg.userDir + "5.INI"},
      {30, Cfg.userDir + "30.ini"},
      {200, Cfg.userDir + "200.ini"}};
  EXPECT_EQ(seen, expected);
}

TEST_F(UserDbTest, EnumerationOfMissingFolderVisitsNothing) {
  std::filesystem::remove(Cfg.userDir);
  int visits = 0;
  EnumerateUserFiles([&](uint32_t, const std::string&) { ++visits; });
  EXPECT_EQ(visits, 0);
}

// --- encodings ---

TEST(CountryCodeTest, DigitPairsLowByteFirst) {
  EXPECT_EQ(EncodeCountry(0), "00");
  EXPECT_EQ(EncodeCountry(1), "10");
  EXPECT_EQ(EncodeCountry(7), "70");
  EXPECT_EQ(EncodeCountry(0x0107), "71");
  EXPECT_EQ(EncodeCountry(49), "a0");
  EXPECT_EQ(DecodeCountry("71"), 0x0107);
  EXPECT_EQ(DecodeCountry("a0"), 49);
  EXPECT_EQ(DecodeCountry("00"), 0);
}

TEST(CountryCodeTest, EveryCodeRoundTripsWithoutLowCharacters) {
  for (uint32_t code = 0; code <= 0xFFFF; ++code) {
    std::string s = EncodeCountry(static_cast<uint16_t>(code));
    for (char ch : s)
      ASSERT_GE(static_cast<unsigned char>(ch), '0') << "code " << code << " gives a byte below '0'";
    ASSERT_EQ(DecodeCountry(s), code) << "stored as '" << s << "'";
  }
}

TEST_F(UserDbTest, HighCountryBytesSurviveTheFile) {
  const uint16_t codes[] = {0x00D0, 0xD000, 0xD0D0, 0xFFFF, 0x4ED0, 0xD04E, 0x004E, 0x7ECF, 0xCFCF, 0x0107};
  for (uint16_t code : codes) {
    ASSERT_TRUE(WriteUserString(kUin, "Main", "Country", EncodeCountry(code)));
    ASSERT_TRUE(WriteUserString(kUin, "Work", "Country", EncodeCountry(code)));
    EXPECT_EQ(DecodeCountry(Read("Main", "country", "00")), code) << std::hex << code;
    EXPECT_EQ(DecodeCountry(Read("work", "country", "00")), code) << std::hex << code;
    std::string raw = ReadWholeFile(UserFilePath(kUin));
    for (char ch : raw) {
      unsigned char b = static_cast<unsigned char>(ch);
      ASSERT_TRUE(b == '\n' || b >= ' ') << "control byte " << int(b) << " for code " << std::hex << code;
    }
  }
  ASSERT_TRUE(WriteUserString(kUin, "Main", "Country", EncodeCountry(0x0107)));
  EXPECT_NE(ReadWholeFile(UserFilePath(kUin)).find("Country=71\n"), std::string::npos);
}

TEST(ByteCharTest, OneCharacterPlusThirty) {
  EXPECT_EQ(EncodeByteChar(0), "0");
  EXPECT_EQ(EncodeByteChar(1), "1");
  EXPECT_EQ(EncodeByteChar(2), "2");
  EXPECT_EQ(static_cast<uint8_t>(EncodeByteChar(2)[0] - 0x30), 2);
  EXPECT_EQ(LeadingNumber(EncodeByteChar(9)), 9u);
}

TEST(LeadingNumberTest, LeadingDigitsOnly) {
  EXPECT_EQ(LeadingNumber("250"), 250u);
  EXPECT_EQ(static_cast<uint8_t>(LeadingNumber("250")), 0xFA) << "a time zone of -6";
  EXPECT_EQ(LeadingNumber("12abc"), 12u);
  EXPECT_EQ(LeadingNumber("abc"), 0u);
  EXPECT_EQ(LeadingNumber(""), 0u);
  EXPECT_EQ(LeadingNumber(" 5"), 0u);
  EXPECT_EQ(LeadingNumber("-5"), 0u);
  EXPECT_EQ(LeadingNumber("4294967295.ini"), 4294967295u);
}

}  // namespace
