// libVornAX through its C interface, against a fake server on 127.0.0.1.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "VornAX/vornax.h"
#include "tests/cmd/fake_bos.h"
#include "tests/cmd/run_program.h"

// Counts the sockets the process creates, so a test can tell that a call opened none.
namespace {
std::atomic<int> g_sockets{0};
}

extern "C" int socket(int domain, int type, int protocol) {
  using SocketFn = int (*)(int, int, int);
  static const auto real = reinterpret_cast<SocketFn>(dlsym(RTLD_NEXT, "socket"));
  ++g_sockets;
  return real(domain, type, protocol);
}

namespace vorn::test {
namespace {

using CmdPtr = std::unique_ptr<Cmd, decltype(&Cmd_Release)>;

CmdPtr NewCmd() { return CmdPtr(Cmd_Create(), &Cmd_Release); }

int32_t StatusOf(Cmd* c) {
  int32_t v = 12345;
  EXPECT_EQ(Cmd_get_Status(c, &v), VORNAX_S_OK);
  return v;
}

uint32_t Info(Cmd* c, uint8_t tp) {
  uint32_t v = 12345;
  EXPECT_EQ(Cmd_get_uinInfo(c, tp, &v), VORNAX_S_OK);
  return v;
}

std::string TextOf(int32_t (*get)(Cmd*, char**), Cmd* c) {
  char* p = nullptr;
  EXPECT_EQ(get(c, &p), VORNAX_S_OK);
  std::string s = p != nullptr ? p : "<null>";
  Cmd_FreeString(p);
  return s;
}

TEST(VornAX, NewObjectState) {
  CmdPtr c = NewCmd();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(StatusOf(c.get()), 0);
  EXPECT_EQ(Info(c.get(), VORNAX_INFO_EXTERNAL), 0u);
  EXPECT_EQ(Info(c.get(), VORNAX_INFO_INTERNAL), 0u);
  EXPECT_EQ(Info(c.get(), VORNAX_INFO_PORT), 0u);
  EXPECT_EQ(Info(c.get(), VORNAX_INFO_FLAGS), 0xFFFFu);
  EXPECT_EQ(Info(c.get(), 0), 0xFFFFu);
  EXPECT_EQ(Info(c.get(), 5), 0xFFFFu);
  EXPECT_EQ(TextOf(Cmd_get_ICQServer, c.get()), "<null>");
  EXPECT_EQ(TextOf(Cmd_get_Message, c.get()), "<null>");
  EXPECT_EQ(TextOf(Cmd_get_MessageFile, c.get()), "<null>");
  uint16_t port = 1;
  int32_t uin = 1;
  EXPECT_EQ(Cmd_get_ICQPort(c.get(), &port), VORNAX_S_OK);
  EXPECT_EQ(port, 0);
  EXPECT_EQ(Cmd_get_UINto(c.get(), &uin), VORNAX_S_OK);
  EXPECT_EQ(uin, 0);
}

TEST(VornAX, StringGettersHandOutSeparateCopies) {
  CmdPtr c = NewCmd();
  ASSERT_EQ(Cmd_put_ICQServer(c.get(), "127.0.0.1"), VORNAX_S_OK);
  char* a = nullptr;
  char* b = nullptr;
  ASSERT_EQ(Cmd_get_ICQServer(c.get(), &a), VORNAX_S_OK);
  ASSERT_EQ(Cmd_get_ICQServer(c.get(), &b), VORNAX_S_OK);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_STREQ(a, "127.0.0.1");
  EXPECT_STREQ(b, "127.0.0.1");
  a[0] = 'X';  // a caller's copy is its own
  EXPECT_EQ(TextOf(Cmd_get_ICQServer, c.get()), "127.0.0.1");
  Cmd_FreeString(a);
  Cmd_FreeString(b);

  EXPECT_EQ(Cmd_put_Message(c.get(), ""), VORNAX_S_OK);
  EXPECT_EQ(TextOf(Cmd_get_Message, c.get()), "");
  EXPECT_EQ(Cmd_put_Message(c.get(), nullptr), VORNAX_S_OK);  // clears
  EXPECT_EQ(TextOf(Cmd_get_Message, c.get()), "<null>");
  EXPECT_EQ(Cmd_put_MessageFile(c.get(), "/tmp/x"), VORNAX_S_OK);
  EXPECT_EQ(TextOf(Cmd_get_MessageFile, c.get()), "/tmp/x");
}

TEST(VornAX, NullPointersAreRefused) {
  CmdPtr c = NewCmd();
  EXPECT_EQ(Cmd_get_Status(c.get(), nullptr), VORNAX_E_POINTER);
  EXPECT_EQ(Cmd_get_ICQServer(c.get(), nullptr), VORNAX_E_POINTER);
  EXPECT_EQ(Cmd_get_uinInfo(c.get(), 0, nullptr), VORNAX_E_POINTER);
  EXPECT_EQ(Cmd_SendMsg(nullptr), VORNAX_E_POINTER);
  EXPECT_EQ(Cmd_put_UINto(nullptr, 1), VORNAX_E_POINTER);
  Cmd_Release(nullptr);
  Cmd_FreeString(nullptr);
}

TEST(VornAX, UnresolvableServerLeavesMinusOneAndOpensNoSocket) {
  CmdPtr c = NewCmd();
  const int before = g_sockets;
  Cmd_SendMsg(c.get());  // no server set
  EXPECT_EQ(StatusOf(c.get()), VORNAX_STATUS_NO_SERVER);
  Cmd_put_ICQServer(c.get(), "no.such.host.invalid");
  Cmd_put_ICQPort(c.get(), 5191);
  EXPECT_EQ(Cmd_SendMsg(c.get()), VORNAX_S_OK);
  EXPECT_EQ(StatusOf(c.get()), VORNAX_STATUS_NO_SERVER);
  Cmd_GetUinInfo(c.get(), 7);
  EXPECT_EQ(StatusOf(c.get()), VORNAX_STATUS_NO_SERVER);
  EXPECT_EQ(g_sockets, before);
}

TEST(VornAX, RefusedConnectionIsMinusEight) {
  CmdPtr c = NewCmd();
  Cmd_put_ICQServer(c.get(), "127.0.0.1");
  Cmd_put_ICQPort(c.get(), UnusedPort());
  const int before = g_sockets;
  Cmd_SendMsg(c.get());
  EXPECT_EQ(StatusOf(c.get()), VORNAX_STATUS_CONNECT_FAILED);
  EXPECT_EQ(g_sockets, before + 1);  // the counter sees the library's sockets
}

class VornAXServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(cmd_, nullptr);
    Cmd_put_ICQServer(cmd_.get(), "127.0.0.1");
    Cmd_put_ICQPort(cmd_.get(), server_.Port());
  }
  std::vector<Bytes> ReceivedAfter(size_t connections) {
    EXPECT_TRUE(server_.WaitForConnections(connections));
    return server_.Received();
  }
  FakeBos server_{[](uint32_t uin) {
    return uin == 1000 ? FakeBos::ReplyFor(OnlineUser()) : FakeBos::OfflineReply(uin);
  }};
  CmdPtr cmd_ = NewCmd();
};

TEST_F(VornAXServerTest, SendMsgWritesTheRecipientInDecimal) {
  Cmd_put_UINfrom(cmd_.get(), 555);
  Cmd_put_UINto(cmd_.get(), 42);
  Cmd_put_Message(cmd_.get(), "hello there");
  EXPECT_EQ(Cmd_SendMsg(cmd_.get()), VORNAX_S_OK);
  EXPECT_EQ(StatusOf(cmd_.get()), 0);
  Cmd_put_Message(cmd_.get(), nullptr);  // an unset message sends an empty text
  Cmd_SendMsg(cmd_.get());
  const auto got = ReceivedAfter(2);
  Bytes expected;
  ASSERT_TRUE(cmd::BuildMessageFrame(555, "42", "hello there", expected));
  EXPECT_EQ(got[0], expected);
  EXPECT_EQ(got[0][26], 2);  // L
  ASSERT_TRUE(cmd::BuildMessageFrame(555, "42", "", expected));
  EXPECT_EQ(got[1], expected);
}

TEST_F(VornAXServerTest, MessageTooLongForTheFrameIsMinusFourAndNotSent) {
  Cmd_put_Message(cmd_.get(), std::string(70000, 'a').c_str());
  Cmd_SendMsg(cmd_.get());
  EXPECT_EQ(StatusOf(cmd_.get()), VORNAX_STATUS_NO_MEMORY);
  EXPECT_TRUE(ReceivedAfter(1)[0].empty());
}

TEST_F(VornAXServerTest, GetUinInfoStoresTheReplyAndSetsUinTo) {
  Cmd_GetUinInfo(cmd_.get(), 1000);
  EXPECT_EQ(StatusOf(cmd_.get()), 0);
  int32_t to = 0;
  Cmd_get_UINto(cmd_.get(), &to);
  EXPECT_EQ(to, 1000);
  EXPECT_EQ(Info(cmd_.get(), VORNAX_INFO_EXTERNAL), 0xC0A80001u);
  EXPECT_EQ(Info(cmd_.get(), VORNAX_INFO_INTERNAL), 0x0A010203u);
  EXPECT_EQ(Info(cmd_.get(), VORNAX_INFO_PORT), 4000u);
  EXPECT_EQ(Info(cmd_.get(), VORNAX_INFO_FLAGS), 0x1001u);
  EXPECT_EQ(Info(cmd_.get(), 0), 0x10u);
  EXPECT_EQ(Info(cmd_.get(), 5), 0x10u);

  Cmd_GetUinInfo(cmd_.get(), 123);  // nobody: the reply of a user who is not online
  Cmd_get_UINto(cmd_.get(), &to);
  EXPECT_EQ(to, 123);
  EXPECT_EQ(StatusOf(cmd_.get()), 0);
  EXPECT_EQ(Info(cmd_.get(), VORNAX_INFO_EXTERNAL), 0u);
  EXPECT_EQ(Info(cmd_.get(), VORNAX_INFO_FLAGS), 0xFFFFu);
  EXPECT_EQ(Info(cmd_.get(), 0), 0xFFFFu);

  const auto got = ReceivedAfter(2);
  const auto req = cmd::BuildStatusRequest(123);
  EXPECT_EQ(got[1], Bytes(req.begin(), req.end()));
}

class VornAXFileTest : public VornAXServerTest {
 protected:
  void SetUp() override {
    VornAXServerTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() /
           ("vornax-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    Cmd_put_UINfrom(cmd_.get(), 555);
    Cmd_put_UINto(cmd_.get(), 1000);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return (dir_ / name).string();
  }
  std::filesystem::path dir_;
};

TEST_F(VornAXFileTest, SendFileHonoursTheEightThousandByteLimit) {
  Cmd_put_MessageFile(cmd_.get(), Write("big", std::string(8001, 'z')).c_str());
  Cmd_SendFile(cmd_.get());
  EXPECT_EQ(StatusOf(cmd_.get()), VORNAX_STATUS_FILE_TOO_LARGE);
  Cmd_put_MessageFile(cmd_.get(), (dir_ / "none").c_str());
  Cmd_SendFile(cmd_.get());
  EXPECT_EQ(StatusOf(cmd_.get()), VORNAX_STATUS_FILE_OPEN);
  const std::string text(8000, 'z');
  Cmd_put_MessageFile(cmd_.get(), Write("ok", text).c_str());
  Cmd_SendFile(cmd_.get());
  EXPECT_EQ(StatusOf(cmd_.get()), 0);

  const auto got = ReceivedAfter(3);
  EXPECT_TRUE(got[0].empty());  // refused files send nothing
  EXPECT_TRUE(got[1].empty());
  Bytes expected;
  ASSERT_TRUE(cmd::BuildMessageFrame(555, "1000", text, expected));
  EXPECT_EQ(got[2], expected);
}

TEST(VornAXReply, ShortReplyIsMinusElevenAndKeepsEarlierValues) {
  std::atomic<bool> full{true};
  FakeBos server([&full](uint32_t) {
    Bytes r = FakeBos::ReplyFor(OnlineUser());
    if (!full) r.resize(29);
    return r;
  });
  CmdPtr c = NewCmd();
  Cmd_put_ICQServer(c.get(), "127.0.0.1");
  Cmd_put_ICQPort(c.get(), server.Port());
  Cmd_GetUinInfo(c.get(), 1000);
  ASSERT_EQ(StatusOf(c.get()), 0);
  ASSERT_TRUE(server.WaitForConnections(1));
  full = false;
  Cmd_GetUinInfo(c.get(), 1000);
  EXPECT_EQ(StatusOf(c.get()), VORNAX_STATUS_NO_REPLY);
  EXPECT_EQ(Info(c.get(), VORNAX_INFO_EXTERNAL), 0xC0A80001u);
  EXPECT_EQ(Info(c.get(), 0), 0x10u);
}

TEST(VornAXLibrary, ExportsTheCInterfaceByName) {
  const std::string path = std::string(VORN_LIB_DIR) + "/libVornAX.so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name :
       {"Cmd_Create", "Cmd_Release", "Cmd_SendMsg", "Cmd_SendFile", "Cmd_get_Status",
        "Cmd_get_ICQServer", "Cmd_put_ICQServer", "Cmd_get_ICQPort", "Cmd_put_ICQPort",
        "Cmd_get_Message", "Cmd_put_Message", "Cmd_get_MessageFile", "Cmd_put_MessageFile",
        "Cmd_get_UINto", "Cmd_put_UINto", "Cmd_get_UINfrom", "Cmd_put_UINfrom", "Cmd_GetUinInfo",
        "Cmd_get_uinInfo", "Cmd_FreeString"}) {
    EXPECT_NE(dlsym(lib, name), nullptr) << name;
  }
  EXPECT_EQ(dlsym(lib, "_ZN4vorn3cmd13ReadByPollingEiPhmj"), nullptr);  // internals stay hidden
  dlclose(lib);
}

std::string FindPython() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin"}) {
    const std::string p = std::string(dir) + "/python3";
    if (::access(p.c_str(), X_OK) == 0) return p;
  }
  return {};
}

TEST(VornAXLibrary, PythonExampleSendsAndPrintsStatus) {
  const std::string python = FindPython();
  if (python.empty()) GTEST_SKIP() << "python3 not installed";
  if (std::getenv("ASAN_OPTIONS") != nullptr || VORN_SANITIZED)
    GTEST_SKIP() << "a sanitized library cannot be loaded into a plain interpreter";
  FakeBos server([](uint32_t uin) {
    return uin == 1000 ? FakeBos::ReplyFor(OnlineUser()) : FakeBos::OfflineReply(uin);
  });
  ::setenv("VORNAX_LIB", (std::string(VORN_LIB_DIR) + "/libVornAX.so").c_str(), 1);
  const ProgramResult r =
      RunProgram(python, {std::string(VORN_SOURCE_DIR) + "/VornAX/example.py", "127.0.0.1",
                          std::to_string(server.Port()), "555", "1000", "hi from python"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output,
            "send status 0\n"
            "UIN 1000 online: status 16, flags 4097, external 192.168.0.1, "
            "internal 10.1.2.3, port 4000\n");
  ASSERT_TRUE(server.WaitForConnections(2));
  Bytes expected;
  ASSERT_TRUE(cmd::BuildMessageFrame(555, "1000", "hi from python", expected));
  EXPECT_EQ(server.Received()[0], expected);
}

}  // namespace
}  // namespace vorn::test
