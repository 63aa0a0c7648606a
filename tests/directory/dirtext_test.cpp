// The text helpers of the directory handlers that carry decisions of their own.
#include <gtest/gtest.h>

#include "VornBOS/directory/dirtext.h"

namespace {

std::tm Day(int year, int month, int day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  return t;
}

TEST(DirectoryText, AgeBirthdayCountsFromItsDay) {
  EXPECT_EQ(AgeOn(1980, 6, 15, Day(2020, 6, 14)), 39);
  EXPECT_EQ(AgeOn(1980, 6, 15, Day(2020, 6, 15)), 40);
  EXPECT_EQ(AgeOn(1980, 6, 15, Day(2020, 6, 16)), 40);
  EXPECT_EQ(AgeOn(1980, 6, 15, Day(2020, 5, 30)), 39);
  EXPECT_EQ(AgeOn(1980, 12, 31, Day(2021, 1, 1)), 40);
  // Born on 29 February: the birthday has passed from 1 March in other years.
  EXPECT_EQ(AgeOn(2000, 2, 29, Day(2021, 2, 28)), 20);
  EXPECT_EQ(AgeOn(2000, 2, 29, Day(2021, 3, 1)), 21);
  EXPECT_EQ(AgeOn(2000, 2, 29, Day(2024, 2, 29)), 24);
  // 00.00.0000: the distance to year 0.
  EXPECT_EQ(AgeOn(0, 0, 0, Day(2024, 1, 1)), 2024);
  EXPECT_EQ(AgeOn(2030, 1, 1, Day(2024, 1, 1)), 0);
  EXPECT_EQ(AgeOn(2024, 1, 2, Day(2024, 1, 1)), 0);
}

TEST(DirectoryText, AboutLineBreaks) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitAboutText("a\r\nb\r\n"), (V{"a", "b"}));
  EXPECT_EQ(SplitAboutText("a\r\n\r\nb  "), (V{"a", "", "b"}));
  EXPECT_EQ(SplitAboutText("a\nb\rc"), (V{"a\f", "b", "c"}));
  EXPECT_EQ(JoinAboutLines(SplitAboutText("x\ny\n\nz\r\nw\n")), "x\ny\n\nz\r\nw\n");
  EXPECT_EQ(SplitAboutText("  "), V{});
  EXPECT_EQ(SplitAboutText(""), V{});

  std::string text;
  for (int i = 0; i < 25; ++i) text += std::to_string(i) + "\n";
  V lines = SplitAboutText(text);
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[18], "18\f");
  EXPECT_EQ(lines[19], "19\f20\f21\f22\f23\f24");
  EXPECT_EQ(JoinAboutLines(lines), text.substr(0, text.size() - 1) + "\r\n");  // LFs kept
  EXPECT_EQ(JoinAboutLines({"a", "19\v20\fx"}), "a\r\n19\r\n20\nx\r\n");
}

TEST(DirectoryText, UserFileOnlyCanonicalNames) {
  EXPECT_EQ(UserFileUin("/d/Db/123.ini"), 123u);
  EXPECT_EQ(UserFileUin("/d/Db/0.ini"), 0u);
  EXPECT_EQ(UserFileUin("/d/Db/-1294967296.ini"), 3000000000u);
  EXPECT_EQ(UserFileUin("/d/Db/0123.ini"), std::nullopt);
  EXPECT_EQ(UserFileUin("/d/Db/-0.ini"), std::nullopt);
  EXPECT_EQ(UserFileUin("/d/Db/12a.ini"), std::nullopt);
  EXPECT_EQ(UserFileUin("/d/Db/.ini"), std::nullopt);
  EXPECT_EQ(UserFileUin("/d/Db/5.INI"), std::nullopt);
  EXPECT_EQ(UserFileUin("/d/Db/99999999999.ini"), std::nullopt);
}

TEST(DirectoryText, MatchOnlyAsciiLettersFold) {
  EXPECT_TRUE(SameTextNoCase("John", "jOHN"));
  EXPECT_FALSE(SameTextNoCase("John", "Jo"));
  EXPECT_FALSE(SameTextNoCase("\xC0", "\xE0"));
  EXPECT_FALSE(SameTextNoCase("[", "{"));
}

}  // namespace
