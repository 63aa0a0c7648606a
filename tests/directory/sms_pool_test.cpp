// SMS mail under a relay that accepts and never answers: a fixed number of mail threads, a
// bounded queue, the failure reply once it is full, and a stop that waits a bounded time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "VornBOS/directory/mail_pool.h"
#include "VornBOS/directory/sms.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "tests/directory/fixture.h"

namespace {

int ThreadCount() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// A listening socket that never accepts: connections complete in its backlog and hang.
int SilentRelay(uint16_t& port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(s, 512);
  socklen_t len = sizeof sa;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return s;
}

std::vector<uint8_t> SmsRequest(const std::string& destination) {
  std::string xml = "<icq_sms_message><destination>" + destination +
                    "</destination><text>hi</text><delivery_receipt>Yes</delivery_receipt></icq_sms_message>";
  std::string data = std::string(25, '\0') + xml + std::string(1, '\0');
  return std::vector<uint8_t>(data.begin(), data.end());
}

class SmsPoolTest : public DirectoryTest {};

TEST_F(SmsPoolTest, AHangingRelayTiesUpFourThreadsAndTheQueueThenRequestsFail) {
  uint16_t port = 0;
  int relay = SilentRelay(port);
  std::ofstream(Cfg.iniFile) << "[SendSetting]\nsmtp_server=127.0.0.1\nsmtp_port=" << port << "\n";
  ClearSmsRoutes();
  AddSmsRoute("<sign>7</sign><to>%number%@sms.test</to><subj>SMS</subj>");
  LogLevel = 11;
  int before = ThreadCount();
  const int kRequests = 200;
  int success = 0, failure = 0;
  for (int i = 0; i < kRequests; ++i) {
    auto replies = Call(SendSms, 0x1482, SmsRequest("7" + std::to_string(100 + i)));
    ASSERT_EQ(replies.size(), 1u);
    std::string text(replies[0].data.begin(), replies[0].data.end());
    if (text.find("<deliverable>Yes</deliverable>") != std::string::npos) ++success;
    if (text.find("<deliverable>No</deliverable>") != std::string::npos) ++failure;
  }
  EXPECT_LE(ThreadCount(), before + kMailWorkers);
  // Four taken by the workers (or about to be), sixty-four waiting, the rest refused.
  EXPECT_GE(success, kMailQueueMax);
  EXPECT_LE(success, kMailQueueMax + kMailWorkers);
  EXPECT_EQ(success + failure, kRequests);
  EXPECT_NE(LogText().find("SMS queue full. Mail to 299@sms.test dropped"), std::string::npos);
  auto start = std::chrono::steady_clock::now();
  WaitForMailJobs(1);  // the stop's wait is bounded even while the relay hangs
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // The relay goes away: the hung connections fail and the queue empties.
  ::close(relay);
  std::ofstream(Cfg.iniFile) << "[SendSetting]\nsmtp_server=127.0.0.1\nsmtp_port=1\n";
  WaitForMailJobs(60);
  EXPECT_EQ(PendingMailJobs(), 0);
  ClearSmsRoutes();
}

TEST_F(SmsPoolTest, ARelayThatIsDownFailsEachMailQuicklyAndFreesTheWorkers) {
  uint16_t port = 0;
  ::close(SilentRelay(port));  // nothing listens there any more
  std::ofstream(Cfg.iniFile) << "[SendSetting]\nsmtp_server=127.0.0.1\nsmtp_port=" << port << "\n";
  ClearSmsRoutes();
  AddSmsRoute("<sign>7</sign><to>%number%@sms.test</to><subj>SMS</subj>");
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    auto replies = Call(SendSms, 0x1482, SmsRequest("7" + std::to_string(100 + i)));
    ASSERT_EQ(replies.size(), 1u);
    std::string text(replies[0].data.begin(), replies[0].data.end());
    EXPECT_NE(text.find("<deliverable>Yes</deliverable>"), std::string::npos);  // queued: the reply does not wait
  }
  WaitForMailJobs(10);
  EXPECT_EQ(PendingMailJobs(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ClearSmsRoutes();
}

}  // namespace
