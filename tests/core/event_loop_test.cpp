// The event loop: posted messages, timers and the socket events with their
// asynchronous-select rules, over loopback connections.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "tests/core/core_util.h"

namespace {

using plat::FD_ACCEPT;
using plat::FD_CLOSE;
using plat::FD_READ;
using plat::FD_WRITE;

constexpr uint32_t kSockMsg = plat::WM_USER + 1;
constexpr uint32_t kMsgA = plat::WM_USER + 20;
constexpr uint32_t kMsgB = plat::WM_USER + 21;
constexpr uint16_t kAll = FD_READ | FD_WRITE | FD_CLOSE;

struct Event {
  uint16_t event;
  uint16_t error;
};

// Collects the socket events of one socket.
std::vector<Event> EventsOf(const std::vector<plat::Message>& all, int s) {
  std::vector<Event> out;
  for (const auto& m : all)
    if (m.msg == kSockMsg && static_cast<int>(m.wParam) == s)
      out.push_back({plat::SelectEvent(m.lParam), plat::SelectError(m.lParam)});
  return out;
}

int Count(const std::vector<Event>& ev, uint16_t what) {
  int n = 0;
  for (const auto& e : ev) n += e.event == what;
  return n;
}

TEST(EventLoopTest, PostedMessagesComeInOrder) {
  plat::EventLoop loop;
  ASSERT_TRUE(loop.ok());
  for (uintptr_t i = 0; i < 100; ++i) loop.Post(i % 2 ? kMsgA : kMsgB, i, static_cast<intptr_t>(i) * 3);
  std::vector<uintptr_t> seen;
  bool stopped = RunLoopFor(loop, [&](const plat::Message& m) {
    if (m.wParam < 100) {
      EXPECT_EQ(m.msg, m.wParam % 2 ? kMsgA : kMsgB);
      EXPECT_EQ(m.lParam, static_cast<intptr_t>(m.wParam) * 3);
    }
    seen.push_back(m.wParam);
    if (m.wParam == 50) loop.Post(kMsgA, 1000, 0);  // goes behind the rest
    if (m.wParam == 1000) loop.PostQuit();
  }, 2000);
  ASSERT_TRUE(stopped);
  ASSERT_EQ(seen.size(), 101u);
  for (uintptr_t i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(seen.back(), 1000u);
}

TEST(EventLoopTest, PostFromAnotherThreadWakesTheLoop) {
  plat::EventLoop loop;
  std::thread poster([&] {
    plat::SleepMs(30);
    loop.Post(kMsgA, 1, 0);
    loop.Post(kMsgA, 2, 0);
  });
  std::vector<uintptr_t> seen;
  bool stopped = RunLoopFor(loop, [&](const plat::Message& m) {
    seen.push_back(m.wParam);
    if (seen.size() == 2) loop.PostQuit();
  }, 2000);
  poster.join();
  ASSERT_TRUE(stopped);
  EXPECT_EQ(seen, (std::vector<uintptr_t>{1, 2}));
}

TEST(EventLoopTest, DelayedMessagesFireAfterTheirDelayInDueOrder) {
  plat::EventLoop loop;
  uint64_t start = plat::TickMs();
  loop.PostDelayed(60, kMsgA, 60, 0);
  loop.PostDelayed(20, kMsgA, 20, 0);
  loop.Post(kMsgB, 0, 0);
  std::vector<std::pair<uintptr_t, uint64_t>> seen;
  bool stopped = RunLoopFor(loop, [&](const plat::Message& m) {
    seen.emplace_back(m.wParam, plat::TickMs() - start);
    if (m.wParam == 60) loop.PostQuit();
  }, 2000);
  ASSERT_TRUE(stopped);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].first, 0u) << "a posted message does not wait for timers";
  EXPECT_EQ(seen[1].first, 20u);
  EXPECT_GE(seen[1].second, 20u);
  EXPECT_EQ(seen[2].first, 60u);
  EXPECT_GE(seen[2].second, 60u);
  EXPECT_LT(seen[2].second, 1000u);
}

TEST(EventLoopTest, DelayedMessageFiresWhileMessagesKeepComing) {
  plat::EventLoop loop;
  loop.PostDelayed(20, kMsgA, 1, 0);
  loop.Post(kMsgB, 0, 0);
  uint64_t start = plat::TickMs();
  int busy = 0;
  bool stopped = RunLoopFor(loop, [&](const plat::Message& m) {
    if (m.msg == kMsgB) {
      ++busy;
      plat::SleepMs(1);
      loop.Post(kMsgB, 0, 0);  // the queue is never empty
    } else {
      loop.PostQuit();
    }
  }, 2000);
  ASSERT_TRUE(stopped) << "the timer starved behind " << busy << " messages";
  EXPECT_GE(plat::TickMs() - start, 20u);
}

class SocketEventTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseLoopbackPair(loop_, pair_); }
  // Runs the loop for ms milliseconds (or until the handler quits), recording every message.
  void RunFor(uint32_t ms, const std::function<void(const plat::Message&)>& extra = {}) {
    RunLoopFor(loop_, [&](const plat::Message& m) {
      seen_.push_back(m);
      if (extra) extra(m);
    }, ms);
  }
  std::vector<Event> Events() const { return EventsOf(seen_, pair_.server); }
  void ClientSend(const std::string& s) {
    ASSERT_EQ(::send(pair_.client, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
  }

  plat::EventLoop loop_;
  LoopbackPair pair_;
  std::vector<plat::Message> seen_;
};

TEST_F(SocketEventTest, WriteEventOnceAfterAcceptNotAfterLaterActivity) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  int rounds = 0;
  RunFor(150, [&](const plat::Message& m) {
    if (m.msg != kSockMsg || static_cast<int>(m.wParam) != pair_.server) return;
    uint16_t ev = plat::SelectEvent(m.lParam);
    if (ev == FD_WRITE && rounds == 0) ClientSend("ping");
    if (ev == FD_READ) {
      char buf[16];
      int err = 0;
      if (loop_.Recv(pair_.server, buf, sizeof buf, err) > 0 && rounds++ < 20) {
        EXPECT_EQ(loop_.Send(pair_.server, "pong", 4, err), 4);  // succeeds: no new FD_WRITE
        ClientSend("more");
      }
    }
  });
  EXPECT_EQ(Count(Events(), FD_WRITE), 1);
  EXPECT_GE(rounds, 20);
  EXPECT_EQ(Count(Events(), FD_CLOSE), 0);
}

TEST_F(SocketEventTest, WriteEventAgainOnlyAfterASendWouldBlock) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  int small = 16384;
  ::setsockopt(pair_.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(pair_.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::vector<char> chunk(4096, 'x');
  size_t sent = 0;
  int writeEvents = 0;
  bool blocked = false;
  std::thread drainer;
  RunFor(3000, [&](const plat::Message& m) {
    if (static_cast<int>(m.wParam) != pair_.server || plat::SelectEvent(m.lParam) != FD_WRITE) return;
    ++writeEvents;
    if (writeEvents == 1) {
      int err = 0;
      for (int i = 0; i < 100000; ++i) {
        long n = loop_.Send(pair_.server, chunk.data(), chunk.size(), err);
        if (n < 0) {
          blocked = err == plat::kWouldBlock;
          break;
        }
        sent += static_cast<size_t>(n);
      }
      // Only now does the peer start reading, which makes room again.
      drainer = std::thread([&, total = sent] {
        std::vector<char> buf(65536);
        size_t got = 0;
        while (got < total) {
          pollfd p{pair_.client, POLLIN, 0};
          if (::poll(&p, 1, 2000) <= 0) break;
          ssize_t r = ::recv(pair_.client, buf.data(), buf.size(), 0);
          if (r <= 0) break;
          got += static_cast<size_t>(r);
        }
      });
    } else {
      loop_.PostQuit();
    }
  });
  if (drainer.joinable()) drainer.join();
  ASSERT_TRUE(blocked) << "the socket never filled (" << sent << " bytes)";
  EXPECT_EQ(writeEvents, 2) << "one after accept, one after the blocked send";
}

TEST_F(SocketEventTest, ReadEventAfterDataAndAfterEachReceive) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ClientSend("0123456789");
  std::string got;
  int reads = 0;
  RunFor(2000, [&](const plat::Message& m) {
    if (static_cast<int>(m.wParam) != pair_.server || plat::SelectEvent(m.lParam) != FD_READ) return;
    ++reads;
    char c;
    int err = 0;
    if (loop_.Recv(pair_.server, &c, 1, err) == 1) got += c;  // one byte per event
    if (got.size() == 10) loop_.PostQuit();
  });
  EXPECT_EQ(got, "0123456789");
  EXPECT_GE(reads, 10);
  EXPECT_EQ(Count(Events(), FD_CLOSE), 0);
}

TEST_F(SocketEventTest, HeldDataIsAnnouncedAgainAfterTheHandlerResumes) {
  // A handler that does not receive on FD_READ gets no further FD_READ until it receives.
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ClientSend("abc");
  RunFor(100);
  EXPECT_EQ(Count(Events(), FD_READ), 1);
  char buf[8];
  int err = 0;
  EXPECT_EQ(loop_.Recv(pair_.server, buf, 1, err), 1);
  seen_.clear();
  RunFor(100);
  EXPECT_GE(Count(Events(), FD_READ), 1) << "receiving re-enables FD_READ";
}

TEST_F(SocketEventTest, CloseEventWhenThePeerCloses) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ::close(pair_.client);
  pair_.client = -1;
  RunFor(2000, [&](const plat::Message& m) {
    if (m.msg == kMsgB) loop_.PostQuit();  // a little after the close: nothing more came
    if (m.msg != kSockMsg || static_cast<int>(m.wParam) != pair_.server) return;
    uint16_t ev = plat::SelectEvent(m.lParam);
    if (ev == FD_READ) {
      char buf[8];
      int err = 0;
      loop_.Recv(pair_.server, buf, sizeof buf, err);
    }
    if (ev == FD_CLOSE) loop_.PostDelayed(50, kMsgB, 0, 0);
  });
  auto ev = Events();
  ASSERT_EQ(Count(ev, FD_CLOSE), 1);
  for (const auto& e : ev)
    if (e.event == FD_CLOSE) {
      EXPECT_EQ(e.error, 0);
    }
}

// The peer sends and closes; the handler reads exactly the bytes sent, so no receive ever
// returns 0: the close must still be reported, after the data.
TEST_F(SocketEventTest, CloseEventAfterTheLastDataWasRead) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ClientSend("xyz");
  ::close(pair_.client);
  pair_.client = -1;
  std::string got;
  bool dataBeforeClose = false;
  RunFor(2000, [&](const plat::Message& m) {
    if (static_cast<int>(m.wParam) != pair_.server) return;
    uint16_t ev = plat::SelectEvent(m.lParam);
    if (ev == FD_READ && got.size() < 3) {
      char buf[3];
      int err = 0;
      long n = loop_.Recv(pair_.server, buf, 3 - got.size(), err);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    if (ev == FD_CLOSE) {
      dataBeforeClose = got == "xyz";
      loop_.PostQuit();
    }
  });
  EXPECT_EQ(got, "xyz");
  EXPECT_EQ(Count(Events(), FD_CLOSE), 1);
  EXPECT_TRUE(dataBeforeClose);
}

// What the handler posts while reading the last bytes (a completed frame, say) is handled
// before the peer's close.
TEST_F(SocketEventTest, CloseComesBehindWhatTheLastReadPosted) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ClientSend("frame");
  ::shutdown(pair_.client, SHUT_WR);
  usleep(20000);  // the data and the close are both in before the loop looks
  std::vector<uint32_t> order;
  RunFor(2000, [&](const plat::Message& m) {
    if (m.msg == kMsgA) order.push_back(kMsgA);
    if (m.msg != kSockMsg || static_cast<int>(m.wParam) != pair_.server) return;
    uint16_t ev = plat::SelectEvent(m.lParam);
    if (ev == FD_READ) {
      char buf[5];
      int err = 0;
      if (loop_.Recv(pair_.server, buf, sizeof buf, err) == 5) loop_.Post(kMsgA, 0, 0);
    }
    if (ev == FD_CLOSE) {
      order.push_back(FD_CLOSE);
      loop_.PostQuit();
    }
  });
  EXPECT_EQ(order, (std::vector<uint32_t>{kMsgA, FD_CLOSE}));
}

// A reader that keeps taking data after the peer closed is not cut off by the grace period,
// however long it takes; the close follows the last byte.
TEST_F(SocketEventTest, SlowReaderGetsEveryByteBeforeTheClose) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ClientSend(std::string(15, 'd'));
  ::shutdown(pair_.client, SHUT_WR);
  size_t got = 0;
  size_t atClose = 0;
  RunFor(5000, [&](const plat::Message& m) {
    if (m.msg == kMsgB) {
      char c;
      int err = 0;
      if (loop_.Recv(pair_.server, &c, 1, err) == 1) ++got;
      return;
    }
    if (m.msg != kSockMsg || static_cast<int>(m.wParam) != pair_.server) return;
    uint16_t ev = plat::SelectEvent(m.lParam);
    if (ev == FD_READ) loop_.PostDelayed(100, kMsgB, 0, 0);  // 1.5 s for all bytes
    if (ev == FD_CLOSE) {
      atClose = got;
      loop_.PostQuit();
    }
  });
  EXPECT_EQ(got, 15u);
  EXPECT_EQ(atClose, 15u);
}

TEST_F(SocketEventTest, CloseEventCarriesTheErrorOfAReset) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  linger lg{1, 0};
  ::setsockopt(pair_.client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(pair_.client);  // sends a reset
  pair_.client = -1;
  RunFor(2000, [&](const plat::Message& m) {
    if (static_cast<int>(m.wParam) != pair_.server) return;
    uint16_t ev = plat::SelectEvent(m.lParam);
    if (ev == FD_READ) {
      char buf[8];
      int err = 0;
      loop_.Recv(pair_.server, buf, sizeof buf, err);
    }
    if (ev == FD_CLOSE) loop_.PostQuit();
  });
  auto ev = Events();
  ASSERT_EQ(Count(ev, FD_CLOSE), 1);
  for (const auto& e : ev)
    if (e.event == FD_CLOSE) {
      EXPECT_NE(e.error, 0);
    }
}

// A peer that closed before our first write answers it with a reset; its close was a clean
// one all the same.
TEST_F(SocketEventTest, WriteToAPeerThatHadClosedEndsInACleanClose) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ::close(pair_.client);
  pair_.client = -1;
  usleep(20000);  // its close is in before the write
  int err = 0;
  ASSERT_EQ(loop_.Send(pair_.server, "hello", 5, err), 5);
  RunFor(2000, [&](const plat::Message& m) {
    if (m.msg == kSockMsg && plat::SelectEvent(m.lParam) == FD_CLOSE) loop_.PostQuit();
  });
  auto ev = Events();
  ASSERT_EQ(Count(ev, FD_CLOSE), 1);
  for (const auto& e : ev)
    if (e.event == FD_CLOSE) {
      EXPECT_EQ(e.error, 0);
    }
}

// An owner that no longer selects read events gets the peer's close at once, unread data or
// not: there is no reader to wait for.
TEST_F(SocketEventTest, CloseComesAtOnceWhenNothingReadsAnyMore) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ASSERT_TRUE(loop_.AsyncSelect(pair_.server, kSockMsg, FD_WRITE | FD_CLOSE));
  ClientSend("late");
  ::close(pair_.client);
  pair_.client = -1;
  uint64_t start = plat::TickMs(), closedAfter = 0;
  RunFor(3000, [&](const plat::Message& m) {
    if (m.msg != kSockMsg || plat::SelectEvent(m.lParam) != FD_CLOSE) return;
    closedAfter = plat::TickMs() - start;
    loop_.PostQuit();
  });
  EXPECT_EQ(Count(Events(), FD_READ), 0);
  ASSERT_EQ(Count(Events(), FD_CLOSE), 1);
  EXPECT_LT(closedAfter, 500u);  // a reader would have had the one-second grace
}

TEST_F(SocketEventTest, OnlySelectedEventsAreReported) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, FD_CLOSE, pair_));
  ClientSend("data");
  RunFor(100);
  EXPECT_EQ(Count(Events(), FD_READ), 0);
  EXPECT_EQ(Count(Events(), FD_WRITE), 0);
}

TEST_F(SocketEventTest, MessageForAClosedSocketIsNotDelivered) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  int old = pair_.server;
  loop_.PostSocket(kMsgA, old, 77);
  loop_.Close(old);
  pair_.server = -1;
  // A new connection very likely reuses the descriptor number; the old message must not
  // reach it either.
  LoopbackPair second;
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, second));
  loop_.Post(kMsgB, 0, 0);
  bool staleSeen = false;
  RunLoopFor(loop_, [&](const plat::Message& m) {
    if (m.msg == kMsgA) staleSeen = true;
    if (m.msg == kMsgB) loop_.PostDelayed(30, kMsgB + 1, 0, 0);
    if (m.msg == kMsgB + 1) loop_.PostQuit();
  }, 2000);
  EXPECT_FALSE(staleSeen);
  CloseLoopbackPair(loop_, second);
}

TEST_F(SocketEventTest, AcceptEventForAWaitingConnection) {
  int err = 0;
  int listener = loop_.CreateTcpSocket(err);
  ASSERT_GE(listener, 0);
  ASSERT_TRUE(loop_.AsyncSelect(listener, kSockMsg, FD_ACCEPT | FD_CLOSE));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_TRUE(loop_.Listen(listener, 4, err));
  socklen_t len = sizeof sa;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  int accepted = -1;
  uint8_t peer[4] = {0, 0, 0, 0};
  RunLoopFor(loop_, [&](const plat::Message& m) {
    if (m.msg != kSockMsg || static_cast<int>(m.wParam) != listener) return;
    if (plat::SelectEvent(m.lParam) != FD_ACCEPT || accepted >= 0) return;
    int e = 0;
    accepted = loop_.Accept(listener, e);
    if (accepted >= 0) {
      loop_.PeerAddress(accepted, peer);
      loop_.PostQuit();
    }
  }, 2000);
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(peer[0], 127);
  EXPECT_EQ(peer[3], 1);
  loop_.Close(accepted);
  ::close(client);
  loop_.Close(listener);
}

// Asynchronous selection may also be asked for after listen, as Windows Sockets allows.
TEST_F(SocketEventTest, AcceptEventWhenSelectedAfterListen) {
  int err = 0;
  int listener = loop_.CreateTcpSocket(err);
  ASSERT_GE(listener, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_TRUE(loop_.Listen(listener, 4, err));
  ASSERT_TRUE(loop_.AsyncSelect(listener, kSockMsg, FD_ACCEPT | FD_CLOSE));
  socklen_t len = sizeof sa;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  int accepts = 0;
  RunLoopFor(loop_, [&](const plat::Message& m) {
    if (m.msg == kSockMsg && static_cast<int>(m.wParam) == listener &&
        plat::SelectEvent(m.lParam) == FD_ACCEPT) {
      ++accepts;
      loop_.PostQuit();
    }
  }, 300);
  EXPECT_EQ(accepts, 1);
  ::close(client);
  loop_.Close(listener);
}

}  // namespace

TEST_F(SocketEventTest, RoundEndsWithTheHookThenTheWritesThenTheAfterHook) {
  // Frames a round queues, including those the end-of-round hook queues, leave after the hook.
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  constexpr uint32_t kWork = plat::WM_USER + 7;
  std::vector<std::string> order;
  bool hookAsked = false;
  loop_.SetBeforePoll([&] {
    order.push_back("hook");
    if (!hookAsked) loop_.PostSelectAtRoundEnd(kSockMsg, pair_.server, FD_WRITE);  // asked twice: once
    hookAsked = true;
  });
  loop_.SetAfterRound([&] { order.push_back("after"); });
  loop_.Post(kWork, 0, 0);
  RunFor(200, [&](const plat::Message& m) {
    if (m.msg == kWork) {
      order.push_back("work");
      loop_.PostSelectAtRoundEnd(kSockMsg, pair_.server, FD_WRITE);
    } else if (m.msg == kSockMsg && plat::SelectEvent(m.lParam) == FD_WRITE && order.size() < 4) {
      order.push_back("write");
    }
  });
  ASSERT_GE(order.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 4),
            (std::vector<std::string>{"work", "hook", "write", "after"}));
}

TEST_F(SocketEventTest, NoReadEventAfterAShortReceiveUntilNewDataArrives) {
  ASSERT_TRUE(MakeLoopbackPair(loop_, kSockMsg, kAll, pair_));
  ClientSend("abc");
  std::string got;
  int reads = 0, secondFailed = 0;
  RunFor(2000, [&](const plat::Message& m) {
    if (static_cast<int>(m.wParam) != pair_.server || plat::SelectEvent(m.lParam) != FD_READ) return;
    ++reads;
    char buf[16];
    int err = 0;
    long n = loop_.Recv(pair_.server, buf, sizeof buf, err);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    // Less than asked came: the socket is empty.
    if (n > 0 && loop_.Recv(pair_.server, buf, sizeof buf, err) < 0 && err == plat::kWouldBlock) ++secondFailed;
    if (got == "abc") ClientSend("de");
    if (got == "abcde") loop_.PostQuit();
  });
  EXPECT_EQ(got, "abcde");
  EXPECT_EQ(reads, 2) << "one read event per arrival, none after a short receive";
  EXPECT_EQ(secondFailed, 2);
}
