// Meta requests end to end: a password change seen by VornAuth, and SMS sent as mail
// through a real SMTP server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "tests/mail/mail_test_util.h"
#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

Bytes MetaRequest(uint32_t owner, uint16_t subtype, uint16_t seq, const Bytes& data) {
  Bytes meta = Cat({Le32(owner), Le16(0x07D0), Le16(seq), Le16(subtype), data});
  return Cat({Be16(1), Be16(static_cast<uint16_t>(meta.size() + 2)), Le16(static_cast<uint16_t>(meta.size())), meta});
}

Bytes MetaText(const std::string& s) { return Cat({Le16(static_cast<uint16_t>(s.size() + 1)), Text(s), Bytes{0}}); }

// The response text of an SMS reply (after the result byte: 6 fixed bytes, "Vorn", length).
std::string SmsResponse(const Frame& f) {
  size_t at = 10 + 4 + 2 + 4 + 2 + 2 + 2 + 1 + 6 + 2 + 4;
  if (f.data.size() < at + 2) return std::string();
  size_t len = static_cast<size_t>((f.data[at] << 8) | f.data[at + 1]);
  return std::string(f.data.begin() + static_cast<long>(at + 2), f.data.begin() + static_cast<long>(at + 1 + len));
}

class MetaEndToEnd : public ::testing::Test {
 protected:
  void Start(const std::string& extra) {
    dir.WriteIni(0, extra);
    dir.WriteUser(1000, "[Main]\nPass=old\nFirst=First\nLast=Last\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
    ASSERT_TRUE(user.SignOn(dir.authPort, dir.bosPort, 1000, "old"));
  }
  void SendSms(const std::string& destination, const std::string& receipt, const std::string& text) {
    std::string xml = "<icq_sms_message><destination>" + destination + "</destination><text>" + text +
                      "</text><codepage>1251</codepage><delivery_receipt>" + receipt +
                      "</delivery_receipt></icq_sms_message>";
    user.SendSnac(0x0015, 0x0002, 0x99, MetaRequest(1000, 0x1482, 5, Cat({Bytes(25, 0), Text(xml), Bytes{0}})));
  }
  DataDir dir;
  ServerProcess auth, bos;
  OscarClient user;
};

TEST_F(MetaEndToEnd, NewPasswordLogsInAtOnce) {
  Start("");
  user.SendSnac(0x0015, 0x0002, 0x42, MetaRequest(1000, 0x042E, 9, MetaText("n3w")));
  auto ack = user.WaitSnac(0x0015, 0x0003);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->data.size(), 27u);  // the 33-byte canned acknowledgement
  OscarClient c;
  auto refused = c.AuthLogin(dir.authPort, 1000, "old");
  ASSERT_TRUE(refused);
  EXPECT_EQ(ParseTlvs(refused->data, 0)[8], Be16(5));
  auto accepted = c.AuthLogin(dir.authPort, 1000, "n3w");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(ParseTlvs(accepted->data, 0)[6].size(), 256u);
}

TEST_F(MetaEndToEnd, SmsBecomesMailAndIsAnsweredAtOnce) {
  SmtpServerProcess smtp;
  ASSERT_TRUE(smtp.Started());
  Start("[SendSetting]\nsms0=<sign>7</sign><to>seven-%number%@a.test</to><subj>A %NUMBER%</subj>\n"
        "sms1=<sign>79</sign><to>nine-%number%@b.test</to><subj>B %number%</subj>\n"
        "smtp_server=127.0.0.1\nsmtp_port=" + std::to_string(smtp.Port()) + "\nsmtp_from=gw@vorn.test\n");
  std::string text = "\xcf\xf0\xe8\xe2\xe5\xf2 (hello)";  // Cyrillic in Windows-1251
  SendSms("79001234567", "YES", text);
  auto reply = user.WaitSnac(0x0015, 0x0003);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Bytes(reply->data.begin() + 20, reply->data.begin() + 22), Le16(0x07DA));
  EXPECT_EQ(Bytes(reply->data.begin() + 24, reply->data.begin() + 26), Le16(0x0096));
  std::string response = SmsResponse(*reply);
  EXPECT_NE(response.find("<source>7</source>"), std::string::npos) << response;
  EXPECT_NE(response.find("<network>seven-9001234567@a.test</network>"), std::string::npos);

  MailRecord mail;
  ASSERT_TRUE(smtp.NextRecord(mail));
  EXPECT_EQ(mail.mailFrom, "gw@vorn.test");
  ASSERT_EQ(mail.rcpts.size(), 1u);
  EXPECT_EQ(mail.rcpts[0], "seven-9001234567@a.test");
  EXPECT_NE(mail.data.find("Subject: A 9001234567"), std::string::npos);
  EXPECT_NE(mail.data.find("From: \"First Last\" <gw@vorn.test>"), std::string::npos);
  EXPECT_NE(mail.data.find("MIME-Version: 1.0"), std::string::npos);
  EXPECT_NE(mail.data.find("X-Mailer:"), std::string::npos);
  EXPECT_NE(mail.data.find("Date: "), std::string::npos);
  ASSERT_EQ(mail.parts.size(), 1u);
  EXPECT_EQ(mail.parts[0].encoding, "base64");
  EXPECT_EQ(mail.parts[0].charset, "windows-1251");
  EXPECT_EQ(mail.parts[0].payload, text);

  // No route: the failure text and no mail; no receipt asked: no reply at all.
  SendSms("12345", "yes", "x");
  auto failed = user.WaitSnac(0x0015, 0x0003);
  ASSERT_TRUE(failed);
  EXPECT_NE(SmsResponse(*failed).find("<source>Not find</source>"), std::string::npos);
  EXPECT_NE(SmsResponse(*failed).find("<id>12345</id>"), std::string::npos);
  SendSms("12345", "no", "x");
  EXPECT_TRUE(user.Quiet(300));
  EXPECT_FALSE(smtp.NextRecord(mail, 300));
}

TEST_F(MetaEndToEnd, StopWaitsForAMailInFlight) {
  std::atomic<bool> delivered{false};
  FakeServer slow([&](int fd) {
    usleep(800000);  // a slow relay: the stop arrives before the greeting
    SendText(fd, "220 slow relay\r\n");
    for (;;) {
      std::string line = ReadLine(fd);
      if (line.empty()) return;
      if (line.rfind("DATA", 0) == 0) {
        SendText(fd, "354 go ahead\r\n");
        ReadUntil(fd, "\r\n.\r\n");
        delivered = true;
        SendText(fd, "250 queued\r\n");
      } else if (line.rfind("QUIT", 0) == 0) {
        SendText(fd, "221 bye\r\n");
        return;
      } else {
        SendText(fd, "250 ok\r\n");
      }
    }
  });
  Start("[SendSetting]\nsms0=<sign>7</sign><to>%number%@a.test</to><subj>s</subj>\nsmtp_server=127.0.0.1\n"
        "smtp_port=" + std::to_string(slow.Port()) + "\nsmtp_from=gw@vorn.test\n");
  SendSms("7123", "yes", "in flight");
  ASSERT_TRUE(user.WaitSnac(0x0015, 0x0003));
  EXPECT_EQ(bos.Stop(10000), 0);
  EXPECT_TRUE(delivered);
}

}  // namespace
