// Who may send command frames ([Main] CmdAllow), and the online-list command frame, against
// the real session server. Connections from 127.0.0.2 stand for a peer that is not loopback
// 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

// A raw connection to the session server from a chosen loopback source address.
class RawConn {
 public:
  RawConn(const char* from, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &src.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&src), sizeof src);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(port);
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == 0;
  }
  ~RawConn() { ::close(fd_); }
  bool connected() const { return connected_; }
  void Send(const Bytes& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), 0), static_cast<ssize_t>(b.size())); }
  // Everything that arrives until the server closes or `ms` of silence; closed tells which.
  Bytes Read(int ms, bool& closed) {
    Bytes out;
    closed = false;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) return out;
      uint8_t buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = true;
        return out;
      }
      out.insert(out.end(), buf, buf + n);
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// STAT for 1000, written out from the command protocol's table.
const Bytes kStat1000 = {0x2A, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x0E, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00};
const Bytes kOnlineRequest = {0x2A, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0, 0, 0, 0};

class CmdAllow : public ::testing::Test {
 protected:
  void Start(const std::string& extra) {
    dir.WriteIni(0, extra);
    dir.WriteUser(1000, "[Main]\nPass=pw\n");
    dir.WriteUser(1001, "[Main]\nPass=pw\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  }
  // Sends one command frame from `from`; the bytes after the hello, and whether it closed.
  Bytes Ask(const char* from, const Bytes& frame, bool& closed) {
    RawConn c(from, dir.bosPort);
    EXPECT_TRUE(c.connected());
    bool ignored = false;
    EXPECT_EQ(c.Read(300, ignored).size(), 10u);  // the hello, its sequence number random
    c.Send(frame);
    return c.Read(1000, closed);
  }
  bool LogHas(const std::string& text) {
    return WaitFor([&] { return dir.Log("VornBOS").find(text) != std::string::npos; }, 2000);
  }
  DataDir dir;
  ServerProcess auth, bos;
};

TEST_F(CmdAllow, WithoutTheKeyOnly127001IsAnswered) {
  Start("");
  bool closed = false;
  Bytes reply = Ask("127.0.0.1", kStat1000, closed);
  EXPECT_EQ(reply, Bytes({0x2A, 0x02, 0x00, 0x00, 0x00, 0x18, 0x00, 0x01, 0x00, 0x0F, 0x00, 0x00, 0, 0, 0, 0,
                          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_FALSE(closed);

  reply = Ask("127.0.0.2", kStat1000, closed);
  EXPECT_TRUE(reply.empty());
  EXPECT_TRUE(closed);
  EXPECT_TRUE(LogHas("Command frame refused (CmdAllow)"));
  EXPECT_NE(dir.Log("VornBOS").find("127.0.0.2"), std::string::npos);

  // A refused message frame delivers nothing and stores nothing.
  OscarClient user;
  ASSERT_TRUE(user.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  Bytes msg = {0x2A, 0x02, 0x4D, 0x1A, 0x00, 0x33, 0x00, 0x04, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0xF3, 0x3A, 0xC1, 0x0C, 0x70, 0x18, 0x00, 0x00, 0x00, 0x04, 0x04, '1', '0', '0', '0', 0x00,
               0x05, 0x00, 0x14, 0x2B, 0x02, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 'a', 'b', 'c', 0x00, 0x00,
               0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x06, 0x00, 0x00};
  Ask("127.0.0.2", msg, closed);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(user.Quiet(300));
  Ask("127.0.0.1", msg, closed);
  EXPECT_TRUE(user.WaitSnac(0x0004, 0x0007));
}

TEST_F(CmdAllow, RangesAndEveryone) {
  Start("CmdAllow=10.0.0.0/8, 127.0.0.2/31 ,bogus\n");
  bool closed = false;
  EXPECT_EQ(Ask("127.0.0.3", kStat1000, closed).size(), 30u);
  EXPECT_EQ(Ask("127.0.0.2", kStat1000, closed).size(), 30u);
  EXPECT_TRUE(Ask("127.0.0.1", kStat1000, closed).empty());
  EXPECT_TRUE(closed);
  EXPECT_TRUE(LogHas("Bad CmdAllow entry: bogus"));
}

TEST_F(CmdAllow, StarLetsEveryoneIn) {
  Start("CmdAllow=*\n");
  bool closed = false;
  EXPECT_EQ(Ask("127.0.0.9", kStat1000, closed).size(), 30u);
}

TEST_F(CmdAllow, OnlineListNamesEverySignedOnSession) {
  Start("");
  bool closed = false;
  // Nobody on: one frame with no records.
  EXPECT_EQ(Ask("127.0.0.1", kOnlineRequest, closed),
            Bytes({0x2A, 0x02, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x81, 0x00, 0x00, 0, 0, 0, 0, 0x00, 0x00}));
  OscarClient a, b;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  ASSERT_TRUE(b.SignOn(dir.authPort, dir.bosPort, 1001, "pw"));
  // Status 0x00010012 with internal 10.1.2.3, port 4000.
  a.SendSnac(0x0001, 0x001E, 1,
             Cat({Be16(6), Be16(4), Be32(0x00010012), Be16(8), Be16(2), Be16(0), Be16(0x0C), Be16(0x25),
                  Bytes{10, 1, 2, 3}, Be32(4000), Bytes{4, 0, 8, 1, 2, 3, 4}, Bytes(24, 0)}));
  a.SendSnac(0x0001, 0x000E, 2, {});
  ASSERT_TRUE(a.WaitSnac(0x0001, 0x000F));
  Bytes reply = Ask("127.0.0.1", kOnlineRequest, closed);
  // Newest session first: 1001 signed on with status 0 and no direct-connection block.
  EXPECT_EQ(reply, Bytes({0x2A, 0x02, 0x00, 0x00, 0x00, 0x30, 0x00, 0x01, 0x00, 0x81, 0x00, 0x00, 0, 0, 0, 0,
                          0x02, 0x00,                                   // two records
                          0xE9, 0x03, 0x00, 0x00, 127, 0, 0, 1, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0,
                          0xE8, 0x03, 0x00, 0x00, 127, 0, 0, 1, 10, 1, 2, 3, 0xA0, 0x0F, 0x01, 0x00, 0x12,
                          0x00}));
  EXPECT_TRUE(Ask("127.0.0.2", kOnlineRequest, closed).empty());
  EXPECT_TRUE(closed);
}

}  // namespace
