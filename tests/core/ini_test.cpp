// The profile (INI) engine: lookups, defaults, clipping, writes and atomic replacement.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/ini.h"
#include "tests/core/core_util.h"

using plat::GetProfileString;
using plat::WriteProfileString;

namespace {

class IniTest : public ::testing::Test {
 protected:
  std::string Get(const std::string& section, const std::string& key, const std::string& def = "DEF",
                  size_t size = 300) {
    return GetProfileString(section, key, def, size, file_);
  }
  TempDir dir_;
  std::string file_ = dir_.path() + "test.ini";
};

TEST_F(IniTest, NamesAreFoundWithoutRegardToCase) {
  WriteWholeFile(file_, "[Main]\nNick=Bob\n[etc]\nAGE=33\n");
  EXPECT_EQ(Get("main", "nick"), "Bob");
  EXPECT_EQ(Get("MAIN", "NICK"), "Bob");
  EXPECT_EQ(Get("Etc", "age"), "33");
}

TEST_F(IniTest, WhiteSpaceAroundNamesAndValuesIsTrimmed) {
  WriteWholeFile(file_, "  [ Main ]  \r\n  Nick   =   Bob Smith  \r\n\tCity=\t Oslo\t\r\n");
  EXPECT_EQ(Get("Main", "Nick"), "Bob Smith");
  EXPECT_EQ(Get("Main", "City"), "Oslo");
}

TEST_F(IniTest, MatchingQuotesAreRemovedOthersKept) {
  WriteWholeFile(file_,
                 "[Main]\nA=\"  quoted  \"\nB='single'\nC=\"open\nD=mixed\"'\nE=in\"side\"\n");
  EXPECT_EQ(Get("Main", "A"), "  quoted  ");
  EXPECT_EQ(Get("Main", "B"), "single");
  EXPECT_EQ(Get("Main", "C"), "\"open");
  EXPECT_EQ(Get("Main", "D"), "mixed\"'");
  EXPECT_EQ(Get("Main", "E"), "in\"side\"");
}

TEST_F(IniTest, DefaultOnlyWhenFileSectionOrKeyIsMissing) {
  EXPECT_EQ(Get("Main", "Nick", " "), " ") << "missing file";
  WriteWholeFile(file_, "[Main]\nNick=\nFirst=   \n[Other]\nLast=x\n");
  EXPECT_EQ(Get("Nope", "Nick", " "), " ") << "missing section";
  EXPECT_EQ(Get("Main", "Last", " "), " ") << "key of another section";
  EXPECT_EQ(Get("Main", "Nick", " "), "") << "present but empty";
  EXPECT_EQ(Get("Main", "First", " "), "") << "present, only blanks";
}

TEST_F(IniTest, ResultIsCutToSizeMinusOne) {
  WriteWholeFile(file_, "[Main]\nNick=abcdefghij\n");
  EXPECT_EQ(Get("Main", "Nick", "", 5), "abcd");
  EXPECT_EQ(Get("Main", "Nick", "", 11), "abcdefghij");
  EXPECT_EQ(Get("Main", "Nick", "", 1), "");
  EXPECT_EQ(Get("Main", "Missing", "0123456789", 4), "012") << "the default is cut as well";
}

TEST_F(IniTest, ValueMayContainEqualsSignsAndEightBitBytes) {
  WriteWholeFile(file_, "[Main]\nUrl=a=b=c\nName=\xC0\xFF\x80z\n");
  EXPECT_EQ(Get("Main", "Url"), "a=b=c");
  EXPECT_EQ(Get("Main", "Name"), "\xC0\xFF\x80z");
}

TEST_F(IniTest, WriteCreatesFileSectionAndKey) {
  ASSERT_TRUE(WriteProfileString("Main", "Nick", std::string("Bob"), file_));
  EXPECT_EQ(Get("Main", "Nick"), "Bob");
  ASSERT_TRUE(WriteProfileString("Main", "First", std::string("Robert"), file_));
  ASSERT_TRUE(WriteProfileString("Etc", "Age", std::string("40"), file_));
  EXPECT_EQ(Get("main", "nick"), "Bob");
  EXPECT_EQ(Get("main", "first"), "Robert");
  EXPECT_EQ(Get("etc", "age"), "40");
}

TEST_F(IniTest, WriteReplacesValueOfDifferentlyCasedKey) {
  WriteWholeFile(file_, "[Main]\nnick=old\nFirst=keep\n[Etc]\nNick=other\n");
  ASSERT_TRUE(WriteProfileString("MAIN", "Nick", std::string("new"), file_));
  EXPECT_EQ(Get("Main", "Nick"), "new");
  EXPECT_EQ(Get("Main", "First"), "keep");
  EXPECT_EQ(Get("Etc", "Nick"), "other");
  std::string text = ReadWholeFile(file_);
  EXPECT_EQ(text.find("old"), std::string::npos);
}

TEST_F(IniTest, WriteOfEmptyValueKeepsKeyPresent) {
  ASSERT_TRUE(WriteProfileString("Main", "Nick", std::string(""), file_));
  EXPECT_EQ(Get("Main", "Nick", "default"), "");
}

TEST_F(IniTest, WriteWithoutValueDeletesKeyOnly) {
  WriteWholeFile(file_, "[Main]\nNick=Bob\nFirst=Robert\n");
  ASSERT_TRUE(WriteProfileString("Main", "nick", std::nullopt, file_));
  EXPECT_EQ(Get("Main", "Nick", "gone"), "gone");
  EXPECT_EQ(Get("Main", "First"), "Robert");
  // Deleting what is not there changes nothing and creates nothing.
  std::string other = dir_.path() + "none.ini";
  EXPECT_TRUE(WriteProfileString("Main", "Nick", std::nullopt, other));
  EXPECT_TRUE(WriteProfileString("Nope", "Nick", std::nullopt, file_));
  EXPECT_EQ(Get("Main", "First"), "Robert");
}

TEST_F(IniTest, WriteIntoMissingFolderFails) {
  EXPECT_FALSE(WriteProfileString("Main", "Nick", std::string("x"), dir_.path() + "no/such/dir.ini"));
}

TEST_F(IniTest, ManyWritesLeaveNoTemporaryFiles) {
  for (int i = 0; i < 50; ++i)
    ASSERT_TRUE(WriteProfileString("Main", "K" + std::to_string(i % 7), std::to_string(i), file_));
  EXPECT_EQ(DirEntries(dir_.path()), std::vector<std::string>{"test.ini"});
  EXPECT_EQ(Get("Main", "K0"), "49");
}

// A reader that runs while another thread keeps rewriting the file sees either the old or
// the new whole file, never a half-written or missing one.
TEST_F(IniTest, ConcurrentReaderNeverSeesPartialFile) {
  const std::string big(2000, 'x');
  ASSERT_TRUE(WriteProfileString("Main", "Pad", big, file_));
  ASSERT_TRUE(WriteProfileString("Main", "Tail", std::string("0"), file_));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 1; i <= 150; ++i) WriteProfileString("Main", "Tail", std::to_string(i % 2), file_);
    stop = true;
  });
  int reads = 0, bad = 0;
  while (!stop) {
    std::string tail = Get("Main", "Tail", "MISSING");
    std::string pad = Get("Main", "Pad", "MISSING", 4096);
    if ((tail != "0" && tail != "1") || pad != big) ++bad;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";
  EXPECT_EQ(DirEntries(dir_.path()), std::vector<std::string>{"test.ini"});
}

TEST(AtoITest, BehavesLikeAtoi) {
  EXPECT_EQ(plat::AtoI("abc"), 0);
  EXPECT_EQ(plat::AtoI(""), 0);
  EXPECT_EQ(plat::AtoI(" 12x"), 12);
  EXPECT_EQ(plat::AtoI("-5"), -5);
  EXPECT_EQ(plat::AtoI("+7"), 7);
  EXPECT_EQ(plat::AtoI("\t 5191"), 5191);
  EXPECT_EQ(plat::AtoI("- 5"), 0);
}

}  // namespace

// Several keys in one pass: the same values GetProfileString finds, nothing where it would give
// the default.
TEST(IniMany, SeveralKeysAsOneReadEachGives) {
  TempDir dir;
  std::string path = dir.path() + "u.ini";
  std::ofstream(path) << "[Other]\nFirst=no\n[MAIN]\n first = \"Quoted\" \nEMAIL=\nFirst=later\n";
  auto v = plat::GetProfileStrings("Main", {"first", "Email", "Nick"}, path);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], std::optional<std::string>("Quoted"));
  EXPECT_EQ(v[1], std::optional<std::string>(""));
  EXPECT_FALSE(v[2]);
  for (const char* key : {"first", "Email"})
    EXPECT_EQ(plat::GetProfileString("Main", key, "def", 100, path), *v[key[0] == 'f' ? 0 : 1]);
  auto missing = plat::GetProfileStrings("Main", {"First"}, dir.path() + "none.ini");
  EXPECT_FALSE(missing[0]);
}
