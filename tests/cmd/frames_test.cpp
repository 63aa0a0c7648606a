// Byte-level checks of the command frames, the command line and the polling read.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "VornCmd/cmd_args.h"
#include "VornCmd/cmd_frames.h"
#include "VornCmd/msg_file.h"
#include "VornCmd/poll_read.h"

namespace vorn::cmd {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(CmdMessageFrame, MatchesTheWireLayoutByteForByte) {
  Bytes frame;
  ASSERT_TRUE(BuildMessageFrame(555, "1234", "abc", frame));
  const Bytes expected = {
      0x2A, 0x02, 0x4D, 0x1A, 0x00, 53,                         // FLAP, data length 59 - 6
      0x00, 0x04, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // SNAC 4/6
      0xF3, 0x3A, 0xC1, 0x0C, 0x70, 0x18, 0x00, 0x00,           // message cookie
      0x00, 0x04, 4, '1', '2', '3', '4',                        // channel, L, recipient
      0x00, 0x05, 0x00, 20,                                     // TLV 5, N + 16
      0x2B, 0x02, 0x00, 0x00,                                   // sender 555 little-endian
      0x01, 0x00, 4, 0x00, 'a', 'b', 'c', 0x00,                 // type, flags, N, text
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00,           // trailer
      0x00, 0x06, 0x00, 0x00};                                  // TLV 6, empty
  EXPECT_EQ(frame, expected);
  EXPECT_EQ(frame.size(), 59u);
}

TEST(CmdMessageFrame, KeepsRecipientAsTypedAndSizesFollowTheText) {
  Bytes frame;
  ASSERT_TRUE(BuildMessageFrame(0xFFFFFFFF, "0042", std::string(8000, 'x'), frame));
  ASSERT_EQ(frame.size(), 51u + 4 + 8001);
  EXPECT_EQ((frame[4] << 8) | frame[5], static_cast<int>(frame.size() - 6));
  EXPECT_EQ(std::string(frame.begin() + 27, frame.begin() + 31), "0042");
  EXPECT_EQ(frame[35] | (frame[36] << 8), 0xFFFF);               // sender bytes
  EXPECT_EQ(frame[41] | (frame[42] << 8), 8001);                 // N, little-endian
  EXPECT_EQ((frame[33] << 8) | frame[34], 8001 + 16);            // TLV 5 length
  EXPECT_EQ(frame[43 + 8000], 0);                                // terminating zero
}

TEST(CmdMessageFrame, RefusesTextsTheLengthFieldsCannotHold) {
  Bytes frame;
  EXPECT_FALSE(BuildMessageFrame(1, std::string(256, '1'), "x", frame));
  EXPECT_TRUE(frame.empty());
  EXPECT_TRUE(BuildMessageFrame(1, std::string(255, '1'), "x", frame));
  // L + N must stay below 65485.
  EXPECT_TRUE(BuildMessageFrame(1, "12", std::string(65484 - 3, 'a'), frame));
  EXPECT_EQ((frame[4] << 8) | frame[5], 45 + 65484);
  EXPECT_FALSE(BuildMessageFrame(1, "12", std::string(65485 - 3, 'a'), frame));
}

TEST(CmdStatusFrames, RequestCarriesTheUinInPlaceOfTheRequestId) {
  const auto req = BuildStatusRequest(0x12345678);
  const Bytes expected = {0x2A, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x01,
                          0x00, 0x0E, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(Bytes(req.begin(), req.end()), expected);
}

TEST(CmdStatusFrames, ReplyRoundTripsAndOfflineReplyHasItsFixedTail) {
  StatusInfo info;
  info.ipExt = {192, 168, 0, 1};
  info.ipInt = {10, 0, 0, 7};
  info.port = 0x1234;
  info.flags = 0x0011;
  info.status = 0x0020;
  const StatusReplyBytes r = BuildStatusReply(info);
  const Bytes expected = {0x2A, 0x02, 0x00, 0x00, 0x00, 0x18, 0x00, 0x01, 0x00, 0x0F,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 192,  168,  0,    1,
                          10,   0,    0,    7,    0x34, 0x12, 0x11, 0x00, 0x20, 0x00};
  EXPECT_EQ(Bytes(r.begin(), r.end()), expected);
  const StatusInfo back = ParseStatusReply(r);
  EXPECT_EQ(back.ipExt, info.ipExt);
  EXPECT_EQ(back.port, 0x1234);
  EXPECT_EQ(back.flags, 0x0011);
  EXPECT_FALSE(IsOffline(back));
  EXPECT_EQ(AddressAsNumber(back.ipExt), 0xC0A80001u);

  const StatusReplyBytes off = BuildStatusReply(StatusInfo{});
  for (int i = 16; i < 26; ++i) EXPECT_EQ(off[i], 0) << i;
  for (int i = 26; i < 30; ++i) EXPECT_EQ(off[i], 0xFF) << i;
  EXPECT_TRUE(IsOffline(ParseStatusReply(off)));
}

std::vector<const char*> Argv(std::initializer_list<const char*> args) {
  std::vector<const char*> v{"VornCmd"};
  v.insert(v.end(), args);
  return v;
}

bool Parse(std::initializer_list<const char*> args, CmdLine& cl) {
  const auto v = Argv(args);
  return ParseCommandLine(static_cast<int>(v.size()), v.data(), cl);
}

TEST(CmdLine, AcceptsTheThreeFormsInAnyCase) {
  CmdLine cl;
  ASSERT_TRUE(Parse({"h", "1", "stat", "77"}, cl));
  EXPECT_EQ(cl.command, Command::Stat);
  EXPECT_EQ(cl.statUin, "77");
  ASSERT_TRUE(Parse({"h", "1", "Stat", "77"}, cl));
  ASSERT_TRUE(Parse({"h", "1", "Msg", "555", "0042", "hi there"}, cl));
  EXPECT_EQ(cl.command, Command::Msg);
  EXPECT_EQ(cl.word, "Msg");
  EXPECT_EQ(cl.uinTo, "0042");
  EXPECT_EQ(cl.text, "hi there");
  ASSERT_TRUE(Parse({"h", "1", "msgf", "555", "7", "file"}, cl));
  EXPECT_EQ(cl.command, Command::MsgFile);
}

TEST(CmdLine, RefusesWrongCountsUnknownWordsAndMissingArguments) {
  CmdLine cl;
  EXPECT_FALSE(Parse({}, cl));
  EXPECT_FALSE(Parse({"h", "1"}, cl));
  EXPECT_FALSE(Parse({"h", "1", "STAT"}, cl));
  EXPECT_FALSE(Parse({"h", "1", "STAT", "7", "8"}, cl));
  EXPECT_FALSE(Parse({"h", "1", "MSG", "7"}, cl));
  EXPECT_FALSE(Parse({"h", "1", "MSGF", "7"}, cl));
  EXPECT_FALSE(Parse({"h", "1", "SEND", "7"}, cl));
  EXPECT_FALSE(Parse({"h", "1", "STATS", "7", "8", "9"}, cl));
  EXPECT_FALSE(Parse({"h", "1", "MSG", "7", "8", "9", "10"}, cl));
}

TEST(CmdLine, NumbersAndNames) {
  EXPECT_EQ(UinFromText("0042"), 42u);
  EXPECT_EQ(UinFromText("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(UinFromText("12abc"), 12u);
  EXPECT_EQ(UinFromText("abc"), 0u);
  EXPECT_EQ(ProgramName("/usr/local/bin/VornCmd"), "VornCmd");
  EXPECT_EQ(ProgramName("VornCmd"), "VornCmd");
}

TEST(CmdLine, PortTakesAnyBaseOrAServiceName) {
  uint16_t port = 0;
  ASSERT_TRUE(ParsePort("5191", port));
  EXPECT_EQ(port, 5191);
  ASSERT_TRUE(ParsePort("0x1447", port));
  EXPECT_EQ(port, 5191);
  ASSERT_TRUE(ParsePort("012", port));
  EXPECT_EQ(port, 10);
  EXPECT_FALSE(ParsePort("5191x-no-such-service", port));
  EXPECT_FALSE(ParsePort("70000", port));  // beyond 16 bits, and no such service
  EXPECT_FALSE(ParsePort("-1", port));
  if (ParsePort("smtp", port)) {  // when the services list exists
    EXPECT_EQ(port, 25);
  }
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vorn-cmd-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, size_t size) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << std::string(size, 'm');
    return path.string();
  }
  std::filesystem::path dir_;
};

using CmdMessageFile = TempDir;

TEST_F(CmdMessageFile, LimitIsEightThousandBytes) {
  MessageFile mf = LoadMessageFile(Write("ok", 8000));
  EXPECT_EQ(mf.result, FileLoad::Ok);
  EXPECT_EQ(mf.size, 8000);
  EXPECT_EQ(mf.text, std::string(8000, 'm'));
  mf = LoadMessageFile(Write("big", 8001));
  EXPECT_EQ(mf.result, FileLoad::TooLarge);
  EXPECT_EQ(mf.size, 8001);
  mf = LoadMessageFile(Write("empty", 0));
  EXPECT_EQ(mf.result, FileLoad::Ok);
  EXPECT_EQ(mf.text, "");
}

TEST_F(CmdMessageFile, MissingFilesAndFoldersCannotBeOpened) {
  EXPECT_EQ(LoadMessageFile((dir_ / "none").string()).result, FileLoad::OpenFailed);
  EXPECT_EQ(LoadMessageFile(dir_.string()).result, FileLoad::OpenFailed);
  EXPECT_EQ(LoadMessageFile("").result, FileLoad::OpenFailed);
}

TEST(CmdPollingRead, TakesWaitingBytesAndStopsAtTheCount) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const char data[] = "0123456789ABCDEF";
  ASSERT_EQ(::write(sv[1], data, 16), 16);
  uint8_t buf[10] = {};
  const PollReadResult r = ReadByPolling(sv[0], buf, sizeof buf, 1);
  EXPECT_EQ(r.got, 10u);
  EXPECT_FALSE(r.queryFailed);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 10), "0123456789");
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(CmdPollingRead, GivesUpAfterMoreEmptyPollsThanBytesWanted) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(::write(sv[1], "abc", 3), 3);
  uint8_t buf[30] = {};
  const auto t0 = std::chrono::steady_clock::now();
  const PollReadResult r = ReadByPolling(sv[0], buf, sizeof buf, 10);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.got, 3u);
  EXPECT_FALSE(r.queryFailed);
  EXPECT_GE(ms, 31 * 10);  // 31 empty polls of 10 ms
  EXPECT_LT(ms, 3000);
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(CmdPollingRead, ReportsASocketThatCannotBeAsked) {
  uint8_t buf[4];
  const PollReadResult r = ReadByPolling(plat::kInvalidSocket, buf, sizeof buf, 1);
  EXPECT_TRUE(r.queryFailed);
  EXPECT_EQ(r.got, 0u);
}

}  // namespace
}  // namespace vorn::cmd
