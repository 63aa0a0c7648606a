// The VornCmd program end to end against a fake server on 127.0.0.1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/cmd/fake_bos.h"
#include "tests/cmd/run_program.h"

namespace vorn::test {
namespace {

const std::string kTool = std::string(VORN_BIN_DIR) + "/VornCmd";

const char kUsage[] =
    "VornCmd. Send message to Vorn\n"
    "Copyright (c) Tarn\n"
    "\n"
    "Use for send command:\n"
    "VornCmd ip-address port MSG uin-from uin-to \"message text\"\n"
    "\tsend message from command line\n"
    "VornCmd ip-address port MSGF uin-from uin-to file-name\n"
    "\tsend msg from file\n"
    "VornCmd ip-address port STAT uin\n"
    "\trequest info about uin\n";

ProgramResult RunTool(const std::vector<std::string>& args) { return RunProgram(kTool, args); }

Bytes MessageFrame(uint32_t from, const std::string& to, const std::string& text) {
  Bytes frame;
  EXPECT_TRUE(cmd::BuildMessageFrame(from, to, text, frame));
  return frame;
}

class VornCmdTest : public ::testing::Test {
 protected:
  std::string Port() const { return std::to_string(server_.Port()); }
  Bytes OnlyReceived() {
    EXPECT_TRUE(server_.WaitForConnections(1));
    const auto got = server_.Received();
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? Bytes() : got[0];
  }
  FakeBos server_{[](uint32_t uin) {
    return uin == 1000 ? FakeBos::ReplyFor(OnlineUser()) : FakeBos::OfflineReply(uin);
  }};
};

TEST_F(VornCmdTest, BadCommandLinesPrintUsageAndNeverConnect) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"127.0.0.1", Port()},
      {"127.0.0.1", Port(), "STAT"},
      {"127.0.0.1", Port(), "STAT", "1", "2"},
      {"127.0.0.1", Port(), "MSG", "555"},
      {"127.0.0.1", Port(), "MSGF", "555"},
      {"127.0.0.1", Port(), "QUERY", "555"},
      {"127.0.0.1", Port(), "MSG", "555", "1000", "a", "b"},
  };
  for (const auto& args : cases) {
    const ProgramResult r = RunTool(args);
    EXPECT_EQ(r.exitCode, 255) << args.size();
    EXPECT_EQ(r.errors, kUsage) << args.size();
    EXPECT_EQ(r.output, "") << args.size();
  }
  EXPECT_EQ(server_.Accepted(), 0u);
}

// A user number that is not one is refused before the tool connects: "abc" used to go out as
// user 0 and be reported as sent.
TEST_F(VornCmdTest, NumbersThatAreNotUserNumbersAreRefusedBeforeConnecting) {
  const struct {
    std::vector<std::string> args;
    const char* refused;
  } cases[] = {
      {{"STAT", "abc"}, "abc"},
      {{"MSG", "abc", "1000", "hi"}, "abc"},
      {{"MSG", "555", "10x", "hi"}, "10x"},
      {{"MSGF", "-5", "1000", "f"}, "-5"},
      {{"STAT", "0"}, "0"},
      {{"STAT", "4294967296"}, "4294967296"},
      {{"STAT", ""}, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"127.0.0.1", Port()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = RunTool(args);
    EXPECT_EQ(r.exitCode, 255) << c.refused;
    EXPECT_EQ(r.errors, std::string("VornCmd: not a user number: \"") + c.refused + "\"\n");
    EXPECT_EQ(r.output, "");
  }
  EXPECT_EQ(server_.Accepted(), 0u);
  EXPECT_EQ(RunTool({"127.0.0.1", Port(), "STAT", "4294967295"}).exitCode, 0);  // the largest passes
  const ProgramResult help = RunTool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.output, kUsage);
  EXPECT_EQ(help.errors, "");
}

TEST_F(VornCmdTest, MsgSendsTheFrameAndReportsOk) {
  const ProgramResult r = RunTool({"127.0.0.1", Port(), "msg", "555", "0001000", "hello"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "Command msg send OK\n");
  EXPECT_EQ(OnlyReceived(), MessageFrame(555, "0001000", "hello"));
}

TEST_F(VornCmdTest, StatPrintsTheSixLinesOfAnOnlineUser) {
  const ProgramResult r = RunTool({"127.0.0.1", Port(), "Stat", "01000"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output,
            "Command Stat send OK\n"
            "UIN=01000\n"
            "IP external 192.168.0.1\n"
            "IP internal 10.1.2.3\n"
            "Port        4000\n"
            "Connect inf=4097\n"
            "Status     =16\n");
  const auto req = cmd::BuildStatusRequest(1000);
  EXPECT_EQ(OnlyReceived(), Bytes(req.begin(), req.end()));
}

TEST_F(VornCmdTest, StatOfAnAbsentUserPrintsOffline) {
  const ProgramResult r = RunTool({"127.0.0.1", Port(), "stat", "77"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "Command stat send OK\nUIN=77 - offline\n");
}

TEST_F(VornCmdTest, PortInHexOrOctalReachesTheSamePort) {
  char hex[16], oct[16];
  std::snprintf(hex, sizeof hex, "0x%x", server_.Port());
  std::snprintf(oct, sizeof oct, "0%o", server_.Port());
  EXPECT_EQ(RunTool({"127.0.0.1", hex, "STAT", "77"}).output, "Command STAT send OK\nUIN=77 - offline\n");
  EXPECT_EQ(RunTool({"127.0.0.1", oct, "STAT", "77"}).output, "Command STAT send OK\nUIN=77 - offline\n");
  EXPECT_TRUE(server_.WaitForConnections(2));
}

class VornCmdFileTest : public VornCmdTest {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vorncmd-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return (dir_ / name).string();
  }
  std::filesystem::path dir_;
};

TEST_F(VornCmdFileTest, MsgfSendsAFileOfExactlyEightThousandBytes) {
  const std::string text(8000, 'q');
  const ProgramResult r = RunTool({"127.0.0.1", Port(), "MSGF", "555", "1000", Write("m", text)});
  EXPECT_EQ(r.output, "Command MSGF send OK\n");
  const Bytes got = OnlyReceived();
  EXPECT_EQ(got, MessageFrame(555, "1000", text));
  ASSERT_EQ(got.size(), 51u + 4 + 8001);
}

TEST_F(VornCmdFileTest, MsgfRefusesLargerFilesAndMissingOnesAndSendsNothing) {
  const std::string big = Write("big", std::string(8001, 'q'));
  ProgramResult r = RunTool({"127.0.0.1", Port(), "MSGF", "555", "1000", big});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.errors, "Error - file to lage=8001\n");
  const std::string missing = (dir_ / "none").string();
  r = RunTool({"127.0.0.1", Port(), "msgf", "555", "1000", missing});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.errors, "Error open file " + missing + "\n");
  ASSERT_TRUE(server_.WaitForConnections(2));
  for (const Bytes& b : server_.Received()) EXPECT_TRUE(b.empty());
}

TEST_F(VornCmdTest, MessageTooLongForTheFrameIsRefused) {
  const std::string text(65480, 'a');  // L + N = 4 + 65481: one past the frame's limit
  const ProgramResult r = RunTool({"127.0.0.1", Port(), "MSG", "555", "1000", text});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.errors, "Error - msg to lage=65485\n");
  EXPECT_TRUE(OnlyReceived().empty());
}

TEST(VornCmdFailures, UnknownHostAndServiceEndWithOne) {
  ProgramResult r = RunProgram(kTool, {"no.such.host.invalid", "5191", "STAT", "1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.errors, "VornCmd: unknown host: no.such.host.invalid\n");
  r = RunProgram(kTool, {"127.0.0.1", "no-such-service", "STAT", "1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.errors, "VornCmd: unknown service: no-such-service\n");
}

TEST(VornCmdFailures, RefusedConnectionShowsTheSystemErrorAndEndsWithOne) {
  const ProgramResult r = RunProgram(kTool, {"127.0.0.1", std::to_string(UnusedPort()), "STAT", "1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.errors, std::string("VornCmd: connect failed: ") + std::strerror(ECONNREFUSED) + " (" +
                          std::to_string(ECONNREFUSED) + ")\n");
}

TEST(VornCmdFailures, ShortStatusReplyIsReported) {
  FakeBos server([](uint32_t uin) {
    Bytes r = FakeBos::OfflineReply(uin);
    r.resize(20);
    return r;
  });
  const ProgramResult r = RunProgram(kTool, {"127.0.0.1", std::to_string(server.Port()), "STAT", "5"});
  EXPECT_EQ(r.exitCode, 2);  // a reply cut short is a time-out too
  EXPECT_EQ(r.output, "Command STAT send OK\n");
  EXPECT_EQ(r.errors,
            "Error: read=20 bytes wait=30\n"
            "Error get info about UIN=5\n"
            "Error: no whole reply from the server within 9300 ms\n");
}

}  // namespace
// A server that accepts (in its backlog) and never says anything.
int SilentListener(uint16_t& port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(s, 16);
  socklen_t len = sizeof sa;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return s;
}

TEST(VornCmdTimeouts, ASilentServerEndsEachCommandWithAMessageAndExitCode2) {
  uint16_t port = 0;
  int s = SilentListener(port);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"127.0.0.1", std::to_string(port), "STAT", "1000"},
        std::vector<std::string>{"127.0.0.1", std::to_string(port), "MSG", "1000", "1001", "hi"}}) {
    auto start = std::chrono::steady_clock::now();
    ProgramResult r = RunTool(args);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << args[2];
    EXPECT_EQ(r.exitCode, 2) << args[2];
    EXPECT_EQ(r.errors, "Error: no hello from the server within 1100 ms\n");
  }
  ::close(s);
}

TEST(VornCmdTimeouts, AStatusQueryWithoutReplyEndsWithExitCode2) {
  FakeBos server([](uint32_t) { return Bytes(); });  // greets, never answers
  ProgramResult r = RunTool({"127.0.0.1", std::to_string(server.Port()), "STAT", "1000"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.output, "Command STAT send OK\n");
  EXPECT_EQ(r.errors,
            "Error: read=0 bytes wait=30\nError get info about UIN=1000\n"
            "Error: no whole reply from the server within 9300 ms\n");
}

// A server that refuses the command frame (its CmdAllow leaves the address out) answers only by
// closing the connection: the tool says so and does not end with 0.
TEST(VornCmdFailures, AMessageTheServerRefusesEndsWithThree) {
  uint16_t port = 0;
  int s = SilentListener(port);
  std::thread refuser([s] {
    const int c = ::accept(s, nullptr, nullptr);
    const uint8_t hello[10] = {0x2A, 0x01, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01};
    ::send(c, hello, sizeof hello, MSG_NOSIGNAL);
    uint8_t buf[256];
    ::recv(c, buf, sizeof buf, 0);
    ::close(c);
  });
  const ProgramResult r = RunTool({"127.0.0.1", std::to_string(port), "MSG", "555", "1000", "hi"});
  refuser.join();
  ::close(s);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.output, "Command MSG send OK\n");
  EXPECT_EQ(r.errors, "VornCmd: the server closed the connection: command refused (is this address in CmdAllow?)\n");
}

}  // namespace vorn::test
