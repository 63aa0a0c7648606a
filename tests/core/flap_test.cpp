// FLAP framing over a loopback connection registered in an event loop: the receive state
// machine, the send queue with its sequence numbers, ready-made frames and TLVs.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "server-core/config.h"
#include "server-core/flap.h"
#include "server-core/log.h"
#include "tests/core/core_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
const FlapDumpTitles kTitles{"Recive head", "Recive FLAP"};

Bytes Frame(uint8_t channel, uint16_t seq, const Bytes& data) {
  Bytes f(6 + data.size());
  f[0] = 0x2A;
  f[1] = channel;
  f[2] = static_cast<uint8_t>(seq >> 8);
  f[3] = static_cast<uint8_t>(seq);
  f[4] = static_cast<uint8_t>(data.size() >> 8);
  f[5] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), f.begin() + 6);
  return f;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int Available(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Waits until at least n bytes are waiting on fd (at most two seconds).
bool WaitAvailable(int fd, int n) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Available(fd) < n) {
    if (std::chrono::steady_clock::now() > end) return false;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 10);
  }
  return true;
}

// Reads exactly n bytes from a blocking socket (at most two seconds).
Bytes ReadExactly(int fd, size_t n) {
  Bytes out(n);
  size_t got = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (got < n && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

class FlapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel_ = LogLevel.load();
    LogLevel = 12;
    EventWindow = &loop_;
    ASSERT_TRUE(MakeLoopbackPair(loop_, WM_SOCKET_EVENT, plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE, pair_));
    c_.ClnSocket = pair_.server;
  }
  void TearDown() override {
    CloseLoopbackPair(loop_, pair_);
    EventWindow = nullptr;
    LogLevel = savedLevel_;
  }
  void ClientSend(const Bytes& b) {
    ASSERT_EQ(::send(pair_.client, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
  }
  RecvStatus Recv() {
    int err = 0;
    return RecvPiece(c_, kTitles, err);
  }

  plat::EventLoop loop_;
  LoopbackPair pair_;
  FlapConn c_;
  int16_t savedLevel_ = 0;
};

// --- receive ---

TEST_F(FlapTest, HeaderOneByteAtATimeThenDataInOneRead) {
  Bytes frame = Frame(2, 0x1234, {'h', 'e', 'l', 'l', 'o'});
  for (int i = 0; i < 6; ++i) {
    ClientSend({frame[i]});
    ASSERT_TRUE(WaitAvailable(pair_.server, 1));
    RecvStatus st = Recv();
    if (i < 5) {
      ASSERT_EQ(st, RecvStatus::Partial) << "byte " << i;
      EXPECT_EQ(c_.in.waitBytes, 5 - i);
      EXPECT_TRUE(c_.in.isWaitHead);
    } else {
      ASSERT_EQ(st, RecvStatus::HeadDone);
    }
  }
  EXPECT_FALSE(c_.in.isWaitHead);
  EXPECT_EQ(c_.in.length, 5);
  EXPECT_EQ(c_.in.waitBytes, 5);
  EXPECT_EQ(c_.in.data.size(), 5u) << "one buffer of the announced length";
  EXPECT_EQ(c_.in.channel(), 2);
  EXPECT_EQ(c_.in.sequence(), 0x1234);

  // The data and the next frame arrive together: one read takes both; the frame gets exactly
  // its data part and the next header waits in the read-ahead bytes.
  Bytes next = Frame(5, 1, {});
  ClientSend(Cat({Bytes(frame.begin() + 6, frame.end()), next}));
  ASSERT_TRUE(WaitAvailable(pair_.server, 11));
  ASSERT_EQ(Recv(), RecvStatus::FrameDone);
  EXPECT_EQ(c_.in.data, Bytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_TRUE(c_.in.isWaitHead);
  EXPECT_EQ(c_.in.waitBytes, 0);
  EXPECT_EQ(Available(pair_.server), 0);
  EXPECT_EQ(Bytes(c_.readAhead.begin() + static_cast<long>(c_.readAheadPos), c_.readAhead.end()), next);

  // A held frame is not read over until reading is resumed.
  EXPECT_EQ(Recv(), RecvStatus::Idle);
  EXPECT_EQ(c_.readAhead.size() - c_.readAheadPos, 6u);
  c_.in.waitBytes = kFlapHeader;
  EXPECT_EQ(Recv(), RecvStatus::ZeroLength);
  EXPECT_TRUE(c_.readAhead.empty()) << "no storage is kept once the read-ahead bytes are used";
  EXPECT_EQ(c_.in.channel(), 5);
  EXPECT_EQ(c_.in.sequence(), 1);
}

TEST_F(FlapTest, KeepAliveGivesZeroLengthOnChannelFive) {
  ClientSend({0x2A, 0x05, 0xAB, 0xCD, 0x00, 0x00});
  ASSERT_TRUE(WaitAvailable(pair_.server, 6));
  EXPECT_EQ(Recv(), RecvStatus::ZeroLength);
  EXPECT_EQ(c_.in.channel(), 5);
  EXPECT_EQ(c_.in.sequence(), 0xABCD);
  EXPECT_EQ(c_.in.length, 0);
}

TEST_F(FlapTest, EmptyChannelTwoFrameGivesZeroLength) {
  ClientSend({0x2A, 0x02, 0x00, 0x01, 0x00, 0x00});
  ASSERT_TRUE(WaitAvailable(pair_.server, 6));
  EXPECT_EQ(Recv(), RecvStatus::ZeroLength);
  EXPECT_EQ(c_.in.channel(), 2);
}

TEST_F(FlapTest, BadStartByteStopsBeforeTheData) {
  ClientSend(Cat({{0x2B, 0x02, 0x00, 0x01, 0x00, 0x05}, {'h', 'e', 'l', 'l', 'o'}}));
  ASSERT_TRUE(WaitAvailable(pair_.server, 11));
  EXPECT_EQ(Recv(), RecvStatus::BadStart);
  EXPECT_EQ(c_.in.head[0], 0x2B);
  EXPECT_TRUE(c_.in.data.empty()) << "bytes after the bad header are not examined";
}

TEST_F(FlapTest, NothingWaitingPeerClosedAndInvalidSocket) {
  int err = 0;
  EXPECT_EQ(RecvPiece(c_, kTitles, err), RecvStatus::Failed);
  EXPECT_EQ(err, plat::kWouldBlock);
  ::shutdown(pair_.client, SHUT_WR);
  pollfd p{pair_.server, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  EXPECT_EQ(Recv(), RecvStatus::Idle);
  EXPECT_EQ(c_.in.waitBytes, 6);
  FlapConn none;
  EXPECT_EQ(RecvPiece(none, kTitles, err), RecvStatus::BadSocket);
}

TEST_F(FlapTest, LargestFrameIsAssembledInPlace) {
  Bytes data(0xFFFF);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  Bytes frame = Frame(2, 9, data);
  std::thread sender([&] { ::send(pair_.client, frame.data(), frame.size(), MSG_NOSIGNAL); });
  RecvStatus st = RecvStatus::Partial;
  for (int guard = 0; guard < 10000 && st != RecvStatus::FrameDone; ++guard) {
    if (!WaitAvailable(pair_.server, 1)) break;
    st = Recv();
    ASSERT_TRUE(st == RecvStatus::Partial || st == RecvStatus::HeadDone || st == RecvStatus::FrameDone);
  }
  sender.join();
  ASSERT_EQ(st, RecvStatus::FrameDone);
  EXPECT_EQ(c_.in.length, 0xFFFF);
  EXPECT_EQ(c_.in.data, data);
}

// The receive step driven by FD_READ events, as a server runs it: keep-alives are skipped,
// each complete frame is taken and reading resumes.
TEST_F(FlapTest, EventDrivenReceiveSkipsKeepAlivesAndSplitsFrames) {
  ClientSend(Cat({Frame(5, 7, {}), Frame(2, 8, {'a', 'b', 'c'}), Frame(5, 9, {}), Frame(1, 10, {0, 0, 0, 1})}));
  std::vector<std::pair<uint16_t, Bytes>> frames;
  int keepAlives = 0, bad = 0;
  bool stopped = RunLoopFor(loop_, [&](const plat::Message& m) {
    if (m.msg != WM_SOCKET_EVENT || static_cast<int>(m.wParam) != pair_.server) return;
    if (plat::SelectEvent(m.lParam) != plat::FD_READ) return;
    switch (Recv()) {
      case RecvStatus::ZeroLength:
        if (c_.in.channel() != 5) { ++bad; break; }
        ++keepAlives;
        c_.in.waitBytes = kFlapHeader;
        c_.in.isWaitHead = true;
        PostSocketEvent(c_.ClnSocket, plat::FD_READ);
        break;
      case RecvStatus::FrameDone:
        frames.emplace_back(c_.in.sequence(), c_.in.data);
        c_.in.waitBytes = kFlapHeader;
        PostSocketEvent(c_.ClnSocket, plat::FD_READ);
        if (frames.size() == 2) loop_.PostQuit();
        break;
      case RecvStatus::BadStart:
      case RecvStatus::BadSocket:
        ++bad;
        break;
      default:
        break;
    }
  }, 2000);
  ASSERT_TRUE(stopped) << "frames received: " << frames.size();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(keepAlives, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].first, 8);
  EXPECT_EQ(frames[0].second, Bytes({'a', 'b', 'c'}));
  EXPECT_EQ(frames[1].first, 10);
  EXPECT_EQ(frames[1].second, Bytes({0, 0, 0, 1}));
}

// --- send ---

TEST_F(FlapTest, QueuedFrameLayoutAndWrapOfSequenceNumbers) {
  c_.Seq = 0xFFFE;
  QueueFrame(c_, 2, Bytes{0x00, 0x01});
  QueueFrame(c_, 4, Bytes{});
  QueueFrame(c_, 2, Bytes{0xEE});
  ASSERT_EQ(c_.sendQueue.size(), 3u);
  EXPECT_EQ(c_.sendQueue[0].data, Bytes({0x2A, 0x02, 0xFF, 0xFE, 0x00, 0x02, 0x00, 0x01}));
  EXPECT_EQ(c_.sendQueue[0].length, 8);
  EXPECT_EQ(c_.sendQueue[0].waitBytes, 8);
  EXPECT_EQ(c_.sendQueue[1].data, Bytes({0x2A, 0x04, 0xFF, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(c_.sendQueue[2].data, Bytes({0x2A, 0x02, 0x00, 0x00, 0x00, 0x01, 0xEE}));
  EXPECT_EQ(NextSeq(c_), 0x0001);
}

TEST_F(FlapTest, OversizedDataIsClippedToWhatTheHeaderCanAnnounce) {
  Bytes big(70000, 0x55);
  QueueFrame(c_, 2, big);
  ASSERT_EQ(c_.sendQueue.size(), 1u);
  const FlapFrame& f = c_.sendQueue.front();
  EXPECT_EQ(f.data.size(), 0xFFFFu);
  EXPECT_EQ(f.length, 0xFFFF);
  EXPECT_EQ(GetBe16(&f.data[4]), 0xFFFF - 6);
}

// Frames queued in one handler go out together at the next write event, in queue order, and
// each is handed back for its log line in that order.
TEST_F(FlapTest, QueuedFramesGoOutInOrderWithOneWrite) {
  c_.Seq = 0x4000;
  QueueFrame(c_, 2, Bytes{1, 2, 3});
  QueueFrame(c_, 2, Bytes{4, 5});
  QueueFrame(c_, 5, Bytes{});
  int writeEvents = 0;
  std::vector<uint16_t> logged;
  bool stopped = RunLoopFor(loop_, [&](const plat::Message& m) {
    if (m.msg != WM_SOCKET_EVENT || plat::SelectEvent(m.lParam) != plat::FD_WRITE) return;
    int err = 0;
    if (SendPiece(c_, err) != SendStatus::FrameSent) return;
    ++writeEvents;
    PopSentFrames(c_, [&](const FlapFrame& f) { logged.push_back(GetBe16(&f.data[2])); });
    if (c_.sendQueue.empty()) loop_.PostQuit();
  }, 2000);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(writeEvents, 1);
  EXPECT_EQ(logged, (std::vector<uint16_t>{0x4000, 0x4001, 0x4002}));
  Bytes expected = Cat({Frame(2, 0x4000, {1, 2, 3}), Frame(2, 0x4001, {4, 5}), Frame(5, 0x4002, {})});
  EXPECT_EQ(ReadExactly(pair_.client, expected.size()), expected);
}

// Many frames that do not fit the socket at once: a write that stops inside a frame is
// continued from there, and every byte arrives once, in order.
TEST_F(FlapTest, ManyFramesThroughASmallSocketArriveWholeAndInOrder) {
  int small = 4096;
  ::setsockopt(pair_.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  Bytes expected;
  for (int i = 0; i < 300; ++i) {
    Bytes data(static_cast<size_t>(100 + i * 7 % 900), static_cast<uint8_t>(i));
    expected = Cat({expected, Frame(2, static_cast<uint16_t>(c_.Seq), data)});
    QueueFrame(c_, 2, data);
  }
  Bytes got;
  std::thread reader([&] { got = ReadExactly(pair_.client, expected.size()); });
  size_t popped = 0;
  bool stopped = RunLoopFor(loop_, [&](const plat::Message& m) {
    if (m.msg != WM_SOCKET_EVENT || plat::SelectEvent(m.lParam) != plat::FD_WRITE) return;
    int err = 0;
    if (SendPiece(c_, err) == SendStatus::FrameSent) PopSentFrames(c_, [&](const FlapFrame&) { ++popped; });
    if (c_.sendQueue.empty()) loop_.PostQuit();
  }, 5000);
  reader.join();
  ASSERT_TRUE(stopped);
  EXPECT_EQ(popped, 300u);
  EXPECT_EQ(got, expected);
}

// A frame larger than the socket can take at once is finished by later write events.
TEST_F(FlapTest, PartialWriteIsCompletedByLaterWriteEvents) {
  int small = 16384;
  ::setsockopt(pair_.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(pair_.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  Bytes data(0xFFFF - 6);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ (i >> 8));
  QueueFrame(c_, 2, data);
  Bytes expected = Frame(2, static_cast<uint16_t>(c_.Seq - 1), data);
  Bytes got;
  std::thread reader([&] {
    plat::SleepMs(50);  // let the sender fill the socket first
    got = ReadExactly(pair_.client, expected.size());
  });
  int partial = 0, blocked = 0;
  bool stopped = RunLoopFor(loop_, [&](const plat::Message& m) {
    if (m.msg != WM_SOCKET_EVENT || plat::SelectEvent(m.lParam) != plat::FD_WRITE) return;
    int err = 0;
    switch (SendPiece(c_, err)) {
      case SendStatus::Partial: ++partial; break;
      case SendStatus::Failed: blocked += err == plat::kWouldBlock; break;
      case SendStatus::FrameSent: PopSentFrame(c_); loop_.PostQuit(); break;
      default: break;
    }
  }, 3000);
  reader.join();
  ASSERT_TRUE(stopped) << "partial=" << partial << " blocked=" << blocked;
  EXPECT_GT(partial + blocked, 0) << "the frame should not have fitted at once";
  EXPECT_EQ(got, expected);
}

TEST_F(FlapTest, RawFrameKeepsItsSequenceAndGetsStartAndLength) {
  QueueRawFrame(c_, Bytes{0, 2, 0x12, 0x34, 0xFF, 0xFF, 7, 8});
  QueueRawFrame(c_, Bytes{0x2A, 2, 0, 0, 0});  // shorter than a header: dropped
  ASSERT_EQ(c_.sendQueue.size(), 1u);
  EXPECT_EQ(c_.sendQueue[0].data, Bytes({0x2A, 2, 0x12, 0x34, 0x00, 0x02, 7, 8}));
  EXPECT_EQ(c_.sendQueue[0].waitBytes, 8);
  EXPECT_EQ(c_.Seq, 0u);
}

TEST_F(FlapTest, SendOnEmptyQueueOrInvalidSocket) {
  int err = 0;
  EXPECT_EQ(SendPiece(c_, err), SendStatus::Idle);
  FlapConn none;
  QueueFrame(none, 2, Bytes{1});
  EXPECT_EQ(SendPiece(none, err), SendStatus::BadSocket);
}

// --- ready-made frames ---

TEST_F(FlapTest, HelloFrameIsTenBytesAndKeepsItsData) {
  c_.Seq = 0x1234;
  SendTemplate(c_, HelloFrame(), MakeReqId(0xA1B2C3D4).b);
  ASSERT_EQ(c_.sendQueue.size(), 1u);
  EXPECT_EQ(c_.sendQueue[0].data, Bytes({0x2A, 0x01, 0x12, 0x34, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(HelloFrame(), Bytes({0x2A, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(c_.Seq, 0x1235u);
}

TEST_F(FlapTest, TemplateOfSixteenBytesOrMoreCarriesTheRequestId) {
  Bytes snac{0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAB, 0xCD};
  Bytes tpl = MakeTemplate(2, snac);
  Bytes copy = tpl;
  c_.Seq = 7;
  SendTemplate(c_, tpl, MakeReqId(0x01020304).b);
  ASSERT_EQ(c_.sendQueue.size(), 1u);
  Bytes expected{0x2A, 0x02, 0x00, 0x07, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03,
                 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0xAB, 0xCD};
  EXPECT_EQ(c_.sendQueue[0].data, expected);
  EXPECT_EQ(c_.sendQueue[0].length, expected.size());
  EXPECT_EQ(tpl, copy) << "the stored template is not stamped";
}

TEST_F(FlapTest, TemplateBelowFifteenBytesIsNotStamped) {
  Bytes tpl = MakeTemplate(2, Bytes{9, 9, 9, 9, 9, 9, 9, 9});  // 14 bytes
  SendTemplate(c_, tpl, MakeReqId(0x01020304).b);
  ASSERT_EQ(c_.sendQueue.size(), 1u);
  EXPECT_EQ(Bytes(c_.sendQueue[0].data.begin() + 6, c_.sendQueue[0].data.end()), Bytes(8, 9));
}

// A 15-byte frame has only three bytes from offset 12 on: stamping must stay inside it
// (the sanitizer build reports a write past the frame's buffer).
TEST_F(FlapTest, TemplateOfFifteenBytesStaysInsideTheFrame) {
  Bytes tpl = MakeTemplate(2, Bytes{0, 1, 0, 3, 0, 0, 0, 0, 0});  // 15 bytes
  c_.Seq = 0;
  SendTemplate(c_, tpl, MakeReqId(0x01020304).b);
  ASSERT_EQ(c_.sendQueue.size(), 1u);
  const FlapFrame& f = c_.sendQueue[0];
  ASSERT_EQ(f.data.size(), 15u);
  EXPECT_EQ(f.length, 15);
  EXPECT_EQ(Bytes(f.data.begin(), f.data.begin() + 12), Bytes({0x2A, 2, 0, 0, 0, 9, 0, 1, 0, 3, 0, 0}));
}

TEST_F(FlapTest, TemplateForInvalidSocketQueuesNothing) {
  FlapConn none;
  SendTemplate(none, HelloFrame(), MakeReqId(0).b);
  EXPECT_TRUE(none.sendQueue.empty());
  EXPECT_EQ(none.Seq, 0u);
}

// --- TLVs ---

TlvValue Num(uint32_t n) {
  TlvValue v;
  v.number = n;
  return v;
}
TlvValue Four(const uint8_t* p) {
  TlvValue v;
  v.four = p;
  return v;
}
TlvValue Text(std::string_view t) {
  TlvValue v;
  v.text = t;
  return v;
}

Bytes Tlv(uint16_t type, const TlvValue& v = TlvValue()) {
  WireWriter w;
  w.u8(0xEE);  // something before, so offsets are relative to the TLV
  size_t n = PutTLV(w, type, v);
  Bytes out(w.buffer().begin() + 1, w.buffer().end());
  EXPECT_EQ(n, out.size());
  return out;
}

TEST(PutTlvTest, NumberAsDecimalText) {
  EXPECT_EQ(Tlv(0x0001, Num(123456)), Bytes({0, 1, 0, 6, '1', '2', '3', '4', '5', '6'}));
  Bytes big = Tlv(0x0001, Num(3000000000u));
  EXPECT_EQ(std::string(big.begin() + 4, big.end()), "-1294967296") << "signed, as %d prints it";
  EXPECT_EQ(GetBe16(&big[2]), 11);
}

TEST(PutTlvTest, ConstantsAndFixedValues) {
  EXPECT_EQ(Tlv(0x0002), Bytes({0, 2, 0, 4, 0x34, 0x12, 0, 0}));
  EXPECT_EQ(Tlv(0x0003), Bytes({0, 3, 0, 4, 0x34, 0x12, 0, 0}));
  const uint8_t four[4] = {0xC0, 0xA8, 0x00, 0x05};
  EXPECT_EQ(Tlv(0x0006, Four(four)), Bytes({0, 6, 0, 4, 0xC0, 0xA8, 0x00, 0x05}));
  EXPECT_EQ(Tlv(0x000A, Four(four)), Bytes({0, 0x0A, 0, 4, 0xC0, 0xA8, 0x00, 0x05}));
  EXPECT_EQ(Tlv(0x0008, Num(0x1234)), Bytes({0, 8, 0, 2, 0x12, 0x34}));
  Bytes c = Tlv(0x000C);
  EXPECT_EQ(c, Cat({{0, 0x0C, 0, 37}, Bytes(37, 0)}));
}

TEST(PutTlvTest, BosAddressFromConfiguration) {
  ServerConfig saved = Cfg;
  Cfg.BOS_IP = "10.1.2.3";
  Cfg.BOS_Port = 5191;
  Bytes t = Tlv(0x0005);
  Cfg = saved;
  EXPECT_EQ(std::string(t.begin() + 4, t.end()), "10.1.2.3:5191");
  EXPECT_EQ(GetBe16(&t[0]), 5);
  EXPECT_EQ(GetBe16(&t[2]), 13);
}

TEST(PutTlvTest, SecondsSinceTheGivenTime) {
  uint32_t then = static_cast<uint32_t>(std::time(nullptr)) - 100;
  Bytes t = Tlv(0x000F, Num(then));
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(GetBe16(&t[2]), 4);
  uint32_t secs = (uint32_t{t[4]} << 24) | (uint32_t{t[5]} << 16) | (uint32_t{t[6]} << 8) | t[7];
  EXPECT_GE(secs, 100u);
  EXPECT_LE(secs, 102u);
}

TEST(PutTlvTest, OtherTypesCarryTheText) {
  EXPECT_EQ(Tlv(0x0004, Text("http://x/")),
            Bytes({0, 4, 0, 9, 'h', 't', 't', 'p', ':', '/', '/', 'x', '/'}));
  EXPECT_EQ(Tlv(0x0101, Text("")), Bytes({1, 1, 0, 0}));
}

TEST(ReqIdTest, BigEndian) {
  ReqId r = MakeReqId(0x01020304);
  EXPECT_EQ(Bytes(r.b, r.b + 4), Bytes({1, 2, 3, 4}));
}

TEST(SendQueueBound, AQueuePastTheLimitRefusesFramesLogsOnceAndAsksForTheClose) {
  TempDir dir;
  SetLogFile("VornBOS", dir.path());
  LogLevel = 11;
  uint64_t saved = Cfg.SendQueueMax;
  Cfg.SendQueueMax = 1000;
  FlapConn c;
  c.addr = "10.0.0.1";
  std::vector<uint8_t> data(94, 7);  // 100-byte frames
  for (int i = 0; i < 10; ++i) QueueFrame(c, 2, data);
  EXPECT_EQ(c.sendQueue.size(), 10u);
  EXPECT_EQ(c.queuedBytes, 1000u);
  EXPECT_FALSE(c.queueOverflow);
  QueueFrame(c, 2, data);
  QueueRawFrame(c, std::vector<uint8_t>(50, 0));
  EXPECT_EQ(c.sendQueue.size(), 10u);
  EXPECT_TRUE(c.queueOverflow);
  PopSentFrame(c);
  EXPECT_EQ(c.queuedBytes, 900u);
  QueueFrame(c, 2, data);  // a closing connection takes nothing more
  EXPECT_EQ(c.sendQueue.size(), 9u);
  Cfg.SendQueueMax = saved;
  FlushLog();
  std::string log = ReadWholeFile(TodayLogPath());
  size_t at = log.find("Send queue overflow. Size=1100");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("Send queue overflow", at + 1), std::string::npos);
  CloseLog();
}

}  // namespace
