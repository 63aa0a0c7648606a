#include "VornBOS/mail/mime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "VornBOS/mail/encode.h"

namespace {

std::tm SampleTime() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_wday = 0;
  t.tm_hour = 17;
  t.tm_min = 45;
  t.tm_sec = 56;
  return t;
}

MailMessage SmsLikeMessage() {
  MailMessage m;
  m.created = SampleTime();
  m.zone = 1000;
  m.from = {"First Last", "sms@vorn.test"};
  m.to = {"", "seven-9001234567@a.test"};
  m.subject = "A 9001234567";
  m.AddTextPart("\xCF\xF0\xE8\xE2\xE5\xF2", "text/plain", "Windows-1251");
  return m;
}

std::string TempFile(const std::string& name, const std::string& content) {
  std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

}  // namespace

TEST(MailMime, DateUsesEnglishNamesAndSignedZone) {
  EXPECT_EQ(FormatMailDate(SampleTime(), 1000), "Sun, 6 Dec 2026 17:45:56 +1000");
  EXPECT_EQ(FormatMailDate(SampleTime(), -500), "Sun, 6 Dec 2026 17:45:56 -0500");
  EXPECT_EQ(FormatMailDate(SampleTime(), 0), "Sun, 6 Dec 2026 17:45:56 -0000");
  EXPECT_EQ(ZoneFromGmtOffset(36000), 1000);
  EXPECT_EQ(ZoneFromGmtOffset(-18000), -500);
  EXPECT_EQ(ZoneFromGmtOffset(-12600), -330);
  EXPECT_EQ(ZoneFromGmtOffset(19800), 530);
}

TEST(MailMime, SinglePartContinuesHeaderBlock) {
  MailMessage m = SmsLikeMessage();
  m.headers = {{"Content-Type", "stale"}, {"X-Priority", "1 (Highest)"}, {"Subject", "old"}};
  m.messageId = "id1@vorn.test";
  std::string out = BuildMimeContent(m, 0x1234);
  EXPECT_EQ(out,
            "X-Priority: 1 (Highest)\r\n"
            "MIME-Version: 1.0\r\n"
            "Message-ID: <id1@vorn.test>\r\n"
            "X-MSMail-Priority: Normal\r\n"
            "X-Mailer: " + std::string(kMailerName) + "\r\n"
            "Importance: Normal\r\n"
            "Date: Sun, 6 Dec 2026 17:45:56 +1000\r\n"
            "Subject: A 9001234567\r\n"
            "To: <seven-9001234567@a.test>\r\n"
            "From: \"First Last\" <sms@vorn.test>\r\n"
            "Content-Type: text/plain;\r\n\tcharset=\"Windows-1251\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n"
            "z/Do4uXy");
  EXPECT_TRUE(m.headers.size() == 3u) << "the message itself is left as it was";
}

TEST(MailMime, MultipartAlternativeAndNestedMixed) {
  MailMessage m = SmsLikeMessage();
  m.AddTextPart("<p>hi</p>", "text/html", "");
  std::string alt = BuildMimeContent(m, 0xABCD);
  const std::string b1 = "CSmtpMsgPart123X456_000_0000ABCD";
  EXPECT_NE(alt.find("Content-Type: multipart/alternative;\r\n\tboundary=\"" + b1 + "\"\r\n"),
            std::string::npos);
  EXPECT_NE(alt.find("\r\n\r\nThis is a multipart message in MIME format\r\n\r\n--" + b1 +
                     "\r\nContent-Type: text/plain"),
            std::string::npos);
  EXPECT_NE(alt.find("\r\n--" + b1 + "\r\nContent-Type: text/html;\r\n\tcharset=\"\"\r\n"),
            std::string::npos);
  EXPECT_TRUE(alt.ends_with("<p>hi</p>\r\n--" + b1 + "--\r\n"));

  MailAttachment a;
  a.path = TempFile("report.pdf", "%PDF-1.4 \x01\x02\x03");
  m.attachments.push_back(a);
  a.path = testing::TempDir() + "missing-file.bin";
  m.attachments.push_back(a);
  std::string mixed = BuildMimeContent(m, 0xABCD);
  const std::string b2 = "CSmtpMsgPart123X456_001_0000ABCD";
  EXPECT_NE(mixed.find("multipart/mixed;\r\n\tboundary=\"" + b1), std::string::npos);
  EXPECT_NE(mixed.find("\r\n--" + b1 + "\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"" +
                       b2 + "\"\r\n\r\n--" + b2 + "\r\n"),
            std::string::npos);
  EXPECT_NE(mixed.find("\r\n--" + b2 + "--\r\n\r\n--" + b1 + "\r\n"), std::string::npos);
  EXPECT_NE(mixed.find("Content-Disposition: attachment;\r\n\tfilename=\"report.pdf\"\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(mixed.find("missing-file"), std::string::npos);
}

TEST(MailMime, AttachmentTypeFromTable) {
  std::string table = TempFile("mime.types", "# comment\napplication/pdf\t\tpdf\n"
                                             "text/plain txt text\n");
  EXPECT_EQ(LookupMimeType("a.PDF", table), "application/pdf");
  EXPECT_EQ(LookupMimeType("notes.text", table), "text/plain");
  EXPECT_EQ(LookupMimeType("a.tar.gz", table), "application/octet-stream");
  EXPECT_EQ(LookupMimeType("noext", table), "application/octet-stream");
  EXPECT_EQ(LookupMimeType("a.pdf", testing::TempDir() + "no-table"), "application/octet-stream");
}

TEST(MailMime, HeaderValuesCannotStartNewHeaders) {
  MailMessage m = SmsLikeMessage();
  m.subject = "Hi\r\nBcc: victim@x.test";
  m.from.name = "Eve\" <boss@x.test>, \"";
  m.cc = {{"Cc One", "c1@x.test"}, {"", "c2@x.test"}};
  m.bcc = {{"", "hidden@x.test"}};
  std::string out = BuildMimeContent(m, 0);
  EXPECT_NE(out.find("Subject: Hi  Bcc: victim@x.test\r\n"), std::string::npos);
  EXPECT_NE(out.find("From: \"Eve\\\" <boss@x.test>, \\\"\" <sms@vorn.test>\r\n"),
            std::string::npos);
  EXPECT_NE(out.find("To: <seven-9001234567@a.test>,\r\n\t\"Cc One\" <c1@x.test>,\r\n\t<c2@x.test>\r\n"),
            std::string::npos);
  EXPECT_EQ(out.find("hidden"), std::string::npos);
}

TEST(MailMime, FreeHeadersCannotEndTheMessageOrAddHeaders) {
  MailMessage m = SmsLikeMessage();
  m.headers = {{"X-Note", "a\r\n.\r\nRCPT TO:<x@evil.test>\r\nDATA"},
               {"X-Bad\r\nBcc", "v@x.test"},
               {"X-Lone", "cr\rlf\nend"}};
  std::string out = BuildMimeContent(m, 0);
  EXPECT_EQ(out.substr(0, out.find("MIME-Version")),
            "X-Note: a  .  RCPT TO:<x@evil.test>  DATA\r\n"
            "X-Bad  Bcc: v@x.test\r\n"
            "X-Lone: cr lf end\r\n");
  EXPECT_EQ(m.headers[0].second, "a\r\n.\r\nRCPT TO:<x@evil.test>\r\nDATA") << "the message is left as it was";
}

TEST(MailMime, EmptyCharsetIsWrittenEmptyOnTextPartsOnly) {
  MailMessage m = SmsLikeMessage();
  m.parts.clear();
  m.AddTextPart("hi", "TEXT/plain", "");
  EXPECT_TRUE(BuildMimeContent(m, 0).ends_with(
      "Content-Type: TEXT/plain;\r\n\tcharset=\"\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\nhi"));
  m.parts[0].contentType = "application/json";
  m.parts[0].charset = "utf-8";
  EXPECT_TRUE(BuildMimeContent(m, 0).ends_with(
      "Content-Type: application/json\r\nContent-Transfer-Encoding: 7bit\r\n\r\nhi"));
}
