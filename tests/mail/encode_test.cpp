#include "VornBOS/mail/encode.h"

#include <gtest/gtest.h>

#include <random>

#include "VornBOS/mail/message.h"

namespace {

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t crlf; (crlf = s.find("\r\n", start)) != std::string::npos; start = crlf + 2)
    out.push_back(s.substr(start, crlf - start));
  out.push_back(s.substr(start));
  return out;
}

}  // namespace

TEST(MailEncode, AutomaticChoice) {
  EXPECT_EQ(ClassifyContent(""), kEnc7bit);
  EXPECT_EQ(ClassifyContent("Hello,\r\nshort lines only.\r\n"), kEnc7bit);
  EXPECT_EQ(ClassifyContent(std::string(100, 'a')), kEncQuotedPrintable);
  EXPECT_EQ(ClassifyContent(std::string(76, 'a')), kEnc7bit);
  // One high byte in 20 stays under the 10 % limit.
  EXPECT_EQ(ClassifyContent("caf\xE9 and nineteen more"), kEnc8bit);
  // Cyrillic in Windows-1251: nearly every byte above 126.
  EXPECT_EQ(ClassifyContent("\xCF\xF0\xE8\xE2\xE5\xF2 \xEC\xE8\xF0"), kEncBase64);
}

TEST(MailEncode, ShortAsciiGoesAs7bitUnchanged) {
  EncodedBody b = EncodeBody(kEncAuto, "Hello there\r\nsecond line\r\n");
  EXPECT_EQ(b.encoding, "7bit");
  EXPECT_EQ(b.text, "Hello there\r\nsecond line\r\n");
  EXPECT_EQ(Encode7bit("a\xE9z\x7F"), "a?z?");
}

TEST(MailEncode, LongAsciiLineGetsSoftBreakAfter75) {
  std::string line;
  for (int i = 0; i < 100; ++i) line += static_cast<char>('a' + i % 26);
  EncodedBody b = EncodeBody(kEncAuto, line);
  EXPECT_EQ(b.encoding, "quoted-printable");
  EXPECT_EQ(b.text, line.substr(0, 75) + "=\r\n" + line.substr(75));
  // 76 characters fit on one line.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(76, 'x')), std::string(76, 'x'));
}

TEST(MailEncode, QuotedPrintableEscapes) {
  EXPECT_EQ(EncodeQuotedPrintable("a=b\x80\x01\tc"), "a=3Db=80=01\tc");
  EXPECT_EQ(EncodeQuotedPrintable("end \r\ntab\t\r\nmid dle"), "end=20\r\ntab=09\r\nmid dle");
  // An escape that would straddle column 75 moves to the next line whole.
  std::string in = std::string(74, 'a') + "=" + std::string(10, 'b');
  std::vector<std::string> out = Lines(EncodeQuotedPrintable(in));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], std::string(74, 'a') + "=");
  EXPECT_EQ(out[1], "=3D" + std::string(10, 'b'));
  // No output line is ever longer than 76, whatever the mix.
  std::string mixed;
  for (int i = 0; i < 500; ++i) mixed += (i % 7 == 0) ? '\xF0' : static_cast<char>('A' + i % 26);
  for (const auto& l : Lines(EncodeQuotedPrintable(mixed))) EXPECT_LE(l.size(), 76u);
}

TEST(MailEncode, WrapAt76) {
  std::string words;
  while (words.size() < 100) words += "word ";
  std::vector<std::string> out = Lines(WrapLines76(words));
  EXPECT_EQ(out[0], words.substr(0, 75));  // broken after the last blank in 76
  std::string solid(200, 'z');
  out = Lines(WrapLines76(solid));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].size(), 76u);
  EXPECT_EQ(out[2].size(), 48u);
  // Lone LF and lone CR line ends come out as CR LF.
  EXPECT_EQ(WrapLines76("a\nb\rc\r\nd"), "a\r\nb\r\nc\r\nd");
}

TEST(MailEncode, Base64) {
  const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                              {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
  for (auto& v : vectors) {
    EXPECT_EQ(Base64Encode(v[0]), v[1]);
    std::string back;
    ASSERT_TRUE(Base64Decode(v[1], back));
    EXPECT_EQ(back, v[0]);
  }
  std::string junk;
  EXPECT_FALSE(Base64Decode("Zm9v!", junk));

  std::mt19937 rng(7);
  std::string data(1000, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  EncodedBody b = EncodeBody(kEncAuto, data);
  EXPECT_EQ(b.encoding, "base64");
  std::vector<std::string> lines = Lines(b.text);
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 76u);
  std::string back;
  ASSERT_TRUE(Base64Decode(b.text, back));
  EXPECT_EQ(back, data);
}

TEST(MailEncode, LeadingDotsAreDoubled) {
  EXPECT_EQ(DotStuff(".a\r\n.\r\nb.c\r\n..d"), "..a\r\n..\r\nb.c\r\n...d");
  EXPECT_EQ(EncodeBody(kEncAuto, ".start\nx\n.\n").text, "..start\r\nx\r\n..\r\n");
  // A soft break can put a dot at the start of a line, too.
  std::string qp = EncodeBody(kEncQuotedPrintable, std::string(75, 'a') + ".bcd").text;
  EXPECT_EQ(qp, std::string(75, 'a') + "=\r\n..bcd");
  EXPECT_EQ(EncodeBody(99, "text").text, "");
}
