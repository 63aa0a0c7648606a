#include "VornBOS/mail/smtp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>

#include "VornBOS/mail/reply.h"
#include "mail_test_util.h"

namespace {

const char kCyrillic[] = "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0! \xDD\xF2\xEE "
                         "\xF2\xE5\xF1\xF2 SMS \xF7\xE5\xF0\xE5\xE7 \xEF\xEE\xF7\xF2\xF3.";

// Records every callback so that tests can check what the mailer reported.
class RecordingSmtp : public CSmtp {
 public:
  int OnWarning(int code, const std::string& reply) override {
    warnings.push_back(code);
    lastWarning = reply;
    return 0;
  }
  int OnError(int code, const std::string&) override {
    errors.push_back(code);
    return 0;
  }
  void OnReply(const std::string&, int code, const std::string& line) override {
    replies.push_back(std::to_string(code) + "|" + line);
  }
  int OnProgress(const std::string&, size_t sent, size_t total) override {
    progress.emplace_back(sent, total);
    return progress.size() < abortAfter ? 1 : 0;
  }
  size_t abortAfter = SIZE_MAX;
  std::vector<std::pair<size_t, size_t>> progress;
  std::vector<int> warnings, errors;
  std::vector<std::string> replies;
  std::string lastWarning;
};

MailMessage SmsMessage() {
  MailMessage m;
  m.from = {"First Last", "sms@vorn.test"};
  m.to = {"", "seven-9001234567@a.test"};
  m.subject = "A 9001234567";
  m.AddTextPart(std::string(kCyrillic) + "\r\n" + kCyrillic, "text/plain", "Windows-1251");
  return m;
}

bool Contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

}  // namespace

TEST(MailReply, SplitAndMultiLineRepliesKeepTheLastLine) {
  ReplyReader r;
  const std::string text = "250-first\r\n250-sec";
  for (char c : text) EXPECT_FALSE(r.Feed(&c, 1));
  EXPECT_TRUE(r.Feed("ond\r\n250 last one\r\n221 extra\r\n", 31));
  EXPECT_EQ(r.Code(), 250);
  EXPECT_EQ(r.Line(), "250 last one");

  ReplyReader bare;
  EXPECT_TRUE(bare.Feed("354\n", 4));
  EXPECT_EQ(bare.Code(), 354);
  ReplyReader junk;
  EXPECT_TRUE(junk.Feed("hello-there\r\n", 13));
  EXPECT_EQ(junk.Code(), 0);
  ReplyReader longLine;
  std::string huge = "250 " + std::string(5000, 'x') + "\r\n";
  EXPECT_TRUE(longLine.Feed(huge.data(), huge.size()));
  EXPECT_EQ(longLine.Line().size(), ReplyReader::kMaxLine);
}

class MailDelivery : public testing::Test {
 protected:
  void SetUp() override { NewLogText(); }
};

TEST_F(MailDelivery, PlainDeliveryOfAnSmsMail) {
  SmtpServerProcess server;
  ASSERT_TRUE(server.Started()) << "python3-aiosmtpd is needed for this test";
  RecordingSmtp smtp;
  smtp.port = server.Port();
  ASSERT_TRUE(smtp.ConnectServer("127.0.0.1"));
  MailMessage m = SmsMessage();
  m.cc = {{"Copy", "copy@b.test"}};
  m.bcc = {{"", "hidden@b.test"}};
  EXPECT_EQ(smtp.SendMail(m), 0);
  smtp.Disconnect();
  EXPECT_TRUE(smtp.errors.empty());

  MailRecord rec;
  ASSERT_TRUE(server.NextRecord(rec));
  EXPECT_EQ(rec.mailFrom, "sms@vorn.test");
  EXPECT_EQ(rec.rcpts, (std::vector<std::string>{"seven-9001234567@a.test", "copy@b.test",
                                                 "hidden@b.test"}));
  EXPECT_TRUE(Contains(rec.data, "\r\nSubject: A 9001234567\r\n"));
  EXPECT_TRUE(Contains(rec.data, "\r\nFrom: \"First Last\" <sms@vorn.test>\r\n"));
  EXPECT_TRUE(Contains(rec.data, "\r\nTo: <seven-9001234567@a.test>,\r\n\t\"Copy\" <copy@b.test>\r\n"));
  EXPECT_TRUE(Contains(rec.data, "MIME-Version: 1.0\r\n"));
  EXPECT_TRUE(Contains(rec.data, "\r\nX-Mailer: "));
  EXPECT_FALSE(Contains(rec.data, "hidden"));
  EXPECT_FALSE(Contains(rec.data, "--CSmtpMsgPart"));
  EXPECT_NE(rec.date, "");
  EXPECT_NE(rec.date, "invalid");
  // Base64 body in lines of 76.
  size_t body = rec.data.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(rec.data.find("\r\n", body + 4) - (body + 4), 76u);
  ASSERT_EQ(rec.parts.size(), 1u);
  EXPECT_EQ(rec.parts[0].encoding, "base64");
  EXPECT_EQ(rec.parts[0].charset, "windows-1251");
  EXPECT_EQ(rec.parts[0].payload, std::string(kCyrillic) + "\r\n" + kCyrillic);
  EXPECT_EQ(rec.parts[0].defects, 0);
  EXPECT_EQ(NewLogText(), "");
}

TEST_F(MailDelivery, EncodedPartsDecodeBackThroughAnIndependentParser) {
  SmtpServerProcess server;
  ASSERT_TRUE(server.Started());
  std::string qpText = std::string(100, 'q') + "\r\n.\r\n.dot line = x\t\r\ntrail \r\n\x01\xE9=end";
  std::string plain = ".only a dot first\r\nthen text\r\n";
  std::mt19937 rng(3);
  std::string bin(3000, '\0');
  for (char& c : bin) c = static_cast<char>(rng());
  std::string path = testing::TempDir() + "blob.bin";
  std::ofstream(path, std::ios::binary) << bin;

  MailMessage m = SmsMessage();
  m.parts.clear();
  m.AddTextPart(qpText, "text/plain", "iso-8859-1", kEncQuotedPrintable);
  m.AddTextPart(plain, "text/plain", "");  // an empty charset is written as charset=""
  MailAttachment a;
  a.path = path;
  m.attachments.push_back(a);

  RecordingSmtp smtp;
  smtp.port = server.Port();
  ASSERT_TRUE(smtp.ConnectServer("localhost"));
  EXPECT_EQ(smtp.SendMail(m), 0);
  // The content went in 1024-byte pieces, each one reported.
  ASSERT_GE(smtp.progress.size(), 4u);
  EXPECT_EQ(smtp.progress[0].first, 1024u);
  EXPECT_EQ(smtp.progress.back().first, smtp.progress.back().second);
  EXPECT_EQ(smtp.progress.size(), (smtp.progress.back().second + 1023) / 1024);

  // Stopping in the middle drops the connection, and the server keeps nothing.
  smtp.abortAfter = 2;
  smtp.progress.clear();
  EXPECT_EQ(smtp.SendMail(m), -1);
  EXPECT_EQ(smtp.progress.size(), 2u);
  EXPECT_FALSE(smtp.Connected());
  smtp.Disconnect();
  MailRecord rec;
  ASSERT_TRUE(server.NextRecord(rec));
  MailRecord none;
  EXPECT_FALSE(server.NextRecord(none, 300));
  ASSERT_EQ(rec.parts.size(), 3u);
  EXPECT_EQ(rec.parts[0].encoding, "quoted-printable");
  EXPECT_EQ(rec.parts[0].payload, qpText);
  EXPECT_EQ(rec.parts[1].encoding, "7bit");
  EXPECT_EQ(rec.parts[1].payload, plain);
  EXPECT_EQ(rec.parts[1].charset, "");
  EXPECT_TRUE(Contains(rec.data, "Content-Type: text/plain;\r\n\tcharset=\"\"\r\n"));
  EXPECT_EQ(rec.parts[2].encoding, "base64");
  EXPECT_EQ(rec.parts[2].filename, "blob.bin");
  EXPECT_EQ(rec.parts[2].type, "application/octet-stream");
  EXPECT_EQ(rec.parts[2].payload, bin);
  for (const auto& p : rec.parts) EXPECT_EQ(p.defects, 0);
}

TEST_F(MailDelivery, AuthLoginWhenTheServerAsksForIt) {
  SmtpServerProcess server({"--user", "smsgate", "--password", "s3cret"});
  ASSERT_TRUE(server.Started());
  RecordingSmtp smtp;
  smtp.port = server.Port();
  smtp.username = "smsgate";
  smtp.password = "s3cret";
  ASSERT_TRUE(smtp.ConnectServer("127.0.0.1"));
  EXPECT_EQ(smtp.SendMail(SmsMessage()), 0);  // 530, AUTH LOGIN, then MAIL FROM again
  smtp.Disconnect();
  MailRecord rec;
  ASSERT_TRUE(server.NextRecord(rec));
  EXPECT_EQ(rec.login, "smsgate");
  EXPECT_TRUE(smtp.errors.empty());

  RecordingSmtp early;  // authenticates right after HELO
  early.port = server.Port();
  early.username = "smsgate";
  early.password = "s3cret";
  early.serverOffersAuth = true;
  ASSERT_TRUE(early.ConnectServer("127.0.0.1"));
  EXPECT_TRUE(Contains(early.LastReply(), "235"));
  EXPECT_EQ(early.SendMail(SmsMessage()), 0);
  early.Disconnect();
  ASSERT_TRUE(server.NextRecord(rec));

  RecordingSmtp wrong;
  wrong.port = server.Port();
  wrong.username = "smsgate";
  wrong.password = "guess";
  ASSERT_TRUE(wrong.ConnectServer("127.0.0.1"));
  EXPECT_EQ(wrong.SendMail(SmsMessage()), 530);
  EXPECT_EQ(wrong.warnings, std::vector<int>{535});
  wrong.Disconnect();
  EXPECT_FALSE(server.NextRecord(rec, 300));
}

TEST_F(MailDelivery, RefusedRecipients) {
  SmtpServerProcess server({"--refuse", "nobody@a.test", "--refuse", "ghost@a.test"});
  ASSERT_TRUE(server.Started());
  RecordingSmtp smtp;
  smtp.port = server.Port();
  ASSERT_TRUE(smtp.ConnectServer("127.0.0.1"));

  MailMessage all = SmsMessage();
  all.to.address = "nobody@a.test";
  all.cc = {{"", "ghost@a.test"}};
  EXPECT_EQ(smtp.SendMail(all), 550);
  EXPECT_EQ(smtp.warnings, (std::vector<int>{550, 550}));
  EXPECT_EQ(smtp.errors, std::vector<int>{550});

  // A recipient address that would break the command line is never sent.
  MailMessage bad = SmsMessage();
  bad.to.address = "x@a.test>\r\nRCPT TO: <evil@a.test";
  EXPECT_EQ(smtp.SendMail(bad), -1);

  MailMessage some = SmsMessage();
  some.cc = {{"", "ghost@a.test"}};
  EXPECT_EQ(smtp.SendMail(some), 0);
  smtp.Disconnect();

  MailRecord rec;
  ASSERT_TRUE(server.NextRecord(rec));  // the first delivered message is the third one
  EXPECT_EQ(rec.rcpts, std::vector<std::string>{"seven-9001234567@a.test"});
}

TEST_F(MailDelivery, GreetingOf554GetsNoHelo) {
  std::string afterGreeting = "unset";
  {
    FakeServer fake([&](int fd) {
      SendText(fd, "554 5.3.2 No service here\r\n");
      afterGreeting = ReadLine(fd);
    });
    RecordingSmtp smtp;
    smtp.port = fake.Port();
    EXPECT_FALSE(smtp.ConnectServer("127.0.0.1"));
    EXPECT_EQ(smtp.errors, std::vector<int>{554});
    EXPECT_FALSE(smtp.Connected());
  }
  EXPECT_EQ(afterGreeting, "");
  EXPECT_TRUE(Contains(NewLogText(), "SMTP:Cmd NULL not accept"));
}

TEST_F(MailDelivery, MultiLineAndSplitReplies) {
  std::vector<std::string> commands;
  {
    FakeServer fake([&](int fd) {
      SendText(fd, "220-mail.test first line\r\n220-second");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      SendText(fd, " line\r\n220 re");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      SendText(fd, "ady\r\n");
      commands.push_back(ReadLine(fd));
      SendText(fd, "250-mail.test\r\n250-SIZE 1000\r\n250 HELP\r\n");
      commands.push_back(ReadLine(fd));
      SendText(fd, "250 2.1.0 Ok\r\n");
      commands.push_back(ReadLine(fd));
      SendText(fd, "250 2.1.5 Ok\r\n");
      commands.push_back(ReadLine(fd));
      SendText(fd, "354 End data with <CR><LF>.<CR><LF>\r\n");
      commands.push_back(ReadUntil(fd, "\r\n.\r\n").empty() ? "no data" : "data");
      SendText(fd, "250-2.0.0 queued\r\n250 2.0.0 as 42\r\n");
      commands.push_back(ReadLine(fd));
      SendText(fd, "221-2.0.0 closing\r\n221 2.0.0 Bye\r\n");
    });
    RecordingSmtp smtp;
    smtp.port = fake.Port();
    ASSERT_TRUE(smtp.ConnectServer("127.0.0.1"));
    EXPECT_EQ(smtp.replies[0], "220|220 ready");
    EXPECT_EQ(smtp.replies[1], "250|250 HELP");
    EXPECT_EQ(smtp.SendMail(SmsMessage()), 0);
    EXPECT_EQ(smtp.LastReply(), "250 2.0.0 as 42");
    smtp.Disconnect();
    EXPECT_TRUE(smtp.errors.empty());
  }
  ASSERT_EQ(commands.size(), 6u);
  EXPECT_TRUE(commands[0].starts_with("HELO "));
  EXPECT_EQ(commands[1], "MAIL FROM: <sms@vorn.test>\r\n");
  EXPECT_EQ(commands[2], "RCPT TO: <seven-9001234567@a.test>\r\n");
  EXPECT_EQ(commands[3], "DATA\r\n");
  EXPECT_EQ(commands[4], "data");
  EXPECT_EQ(commands[5], "QUIT\r\n");
}

TEST_F(MailDelivery, SilentOrHalfSpokenServers) {
  {
    FakeServer fake([](int fd) { ReadLine(fd, 5000); });  // never says a word
    RecordingSmtp smtp;
    smtp.port = fake.Port();
    smtp.timeout = 1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(smtp.ConnectServer("127.0.0.1"));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(smtp.errors, std::vector<int>{-1});
  }
  std::string log = NewLogText();
  EXPECT_TRUE(Contains(log, "SMTO: Error in SendCmd"));
  EXPECT_TRUE(Contains(log, "SMTP:Cmd NULL not accept"));

  // A greeting whose line never ends counts with what came once the time is up; a
  // reply without a code fails the mail instead of passing for success.
  std::string mailFrom;
  {
    FakeServer fake([&](int fd) {
      SendText(fd, "220 half a greeting");
      ReadLine(fd);
      SendText(fd, "250 ok\r\n");
      mailFrom = ReadLine(fd);
      SendText(fd, "OK, go on\r\n");
      ReadLine(fd);
    });
    RecordingSmtp smtp;
    smtp.port = fake.Port();
    smtp.timeout = 1;
    ASSERT_TRUE(smtp.ConnectServer("127.0.0.1"));
    EXPECT_EQ(smtp.replies[0], "220|220 half a greeting");
    EXPECT_EQ(smtp.SendMail(SmsMessage()), -1);
    EXPECT_EQ(smtp.errors, std::vector<int>{-1});
    EXPECT_EQ(smtp.LastReply(), "OK, go on");
  }
  EXPECT_EQ(mailFrom, "MAIL FROM: <sms@vorn.test>\r\n");
  EXPECT_FALSE(Contains(NewLogText(), "SMTO: Error in SendCmd"));
}

TEST_F(MailDelivery, UnreachableServer) {
  RecordingSmtp smtp;
  smtp.port = UnusedLoopbackPort();
  EXPECT_FALSE(smtp.ConnectServer("127.0.0.1"));
  EXPECT_EQ(smtp.errors, std::vector<int>{-1});
  EXPECT_TRUE(Contains(NewLogText(), "SMTP:connect call failed"));
  EXPECT_EQ(smtp.SendMail(SmsMessage()), -1);  // not connected: nothing to send on
  smtp.Disconnect();
}
