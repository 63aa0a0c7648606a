// The server's scheduler: a FIFO of posted messages interleaved with socket readiness,
// handled one message at a time on the thread that runs the loop. Socket events follow
// the asynchronous-select rules the protocol code was written for:
//  - FD_READ comes when data arrives and again after each receive call that filled the
//    buffer it was given (a receive that returned less emptied the socket: the next FD_READ
//    comes with new data);
//  - FD_WRITE comes once after accept and again only after a send would have blocked;
//  - FD_ACCEPT comes when a connection waits and again after each successful accept;
//  - FD_CLOSE comes once when the peer has closed (error 0) or the connection failed
//    (the error number in the high 16 bits of lParam). After a peer's clean close it comes
//    only once every byte has been read, and behind whatever the handler posted while
//    reading the last bytes (a frame completed by them is handled before the close). A
//    reset that merely answers a write after the peer's clean close is reported as that
//    clean close.
//
// Rounds. The loop works in rounds: it handles the messages waiting (socket events, posted and
// due messages, at most a fixed budget), then ends the round in this order:
//   1. the hook set with SetBeforePoll runs (after every handler of the round);
//   2. the events asked for with PostSelectAtRoundEnd are handled (typically FD_WRITE: the
//      frames queued during the round, including any the hook queued, leave with one write per
//      socket);
//   3. the hook set with SetAfterRound runs (the log is flushed here);
//   4. the loop looks at the sockets, waiting only when nothing is left to do.
// Messages the loop thread posts for itself never wake it through the wake-up descriptor; posts
// from other threads (Post is thread-safe) do.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <queue>
#include <vector>
#ifndef _WIN32
#include <thread>
#endif

namespace plat {

using Socket = int;

constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_QUIT = 0x0012;

constexpr uint16_t FD_READ = 1;
constexpr uint16_t FD_WRITE = 2;
constexpr uint16_t FD_ACCEPT = 8;
constexpr uint16_t FD_CLOSE = 32;

#ifdef _WIN32
constexpr int kWouldBlock = 10035;  // WSAEWOULDBLOCK
#else
constexpr int kWouldBlock = 11;  // EWOULDBLOCK on Linux
#endif
constexpr int kMaxBacklog = 4096;

inline uint16_t SelectEvent(intptr_t lParam) { return static_cast<uint16_t>(lParam & 0xFFFF); }
inline uint16_t SelectError(intptr_t lParam) { return static_cast<uint16_t>((lParam >> 16) & 0xFFFF); }
inline intptr_t MakeSelectLParam(uint16_t event, uint16_t error) {
  return static_cast<intptr_t>(static_cast<uint32_t>(event) | (static_cast<uint32_t>(error) << 16));
}

struct Message {
  uint32_t msg = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  uint32_t generation = 0;  // for socket messages: which connection on that descriptor
};

class EventLoop {
 public:
  using Handler = std::function<void(const Message&)>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  bool ok() const { return epollFd_ >= 0; }

  // Thread-safe: queues a message behind those already posted.
  void Post(uint32_t msg, uintptr_t wParam, intptr_t lParam);
  void PostQuit() { Post(WM_QUIT, 0, 0); }
  // Loop thread only: a message about socket s. It is dropped if s is closed before the
  // message is handled, so it never reaches a later connection that reuses the descriptor.
  void PostSocket(uint32_t msg, Socket s, intptr_t lParam);

  // Loop thread only: a socket event (message msg, the event in lParam as AsyncSelect reports
  // it) that joins the queue when the current round of messages ends, before the loop looks at
  // the sockets again; posted once per socket and event however often it is asked for in the
  // round, so the work it starts covers everything queued meanwhile. A socket that is not
  // selected yet gets the message posted at once.
  void PostSelectAtRoundEnd(uint32_t msg, Socket s, uint16_t event);

  // Loop thread only: queues a message once delayMs milliseconds have passed.
  void PostDelayed(uint32_t delayMs, uint32_t msg, uintptr_t wParam, intptr_t lParam);
  // The same for a message about socket s, dropped if s is closed in the meantime.
  void PostDelayedSocket(uint32_t delayMs, uint32_t msg, Socket s, intptr_t lParam);

  // Reports the socket's events (FD_* mask) as message `msg`. The socket is made non-blocking.
  bool AsyncSelect(Socket s, uint32_t msg, uint16_t events);

  // Socket calls that keep the event rules above. Errors come back as errno values.
  Socket CreateTcpSocket(int& err);
  bool Bind(Socket s, uint16_t port, int& err);
  bool Listen(Socket s, int backlog, int& err);
  Socket Accept(Socket listener, int& err);
  // Whether Accept turns off the delay of small writes (on unless set otherwise).
  void SetNoDelay(bool on) { noDelay_ = on; }
  long Recv(Socket s, void* buf, size_t len, int& err);
  long Send(Socket s, const void* buf, size_t len, int& err);
  // Writes several buffers in order with one call; the same rules as Send.
  struct Piece {
    const void* data;
    size_t len;
  };
  long SendPieces(Socket s, const Piece* pieces, size_t count, int& err);
  void Close(Socket s);
  // The peer's IPv4 address in network order.
  bool PeerAddress(Socket s, uint8_t addr[4]);

  // Called on the loop thread at the end of each round that handled anything: after the round's
  // handlers and before the round's queued frames are written (step 1 above), so frames the
  // hook queues leave in the same round.
  void SetBeforePoll(std::function<void()> hook) { beforePoll_ = std::move(hook); }
  // Called on the loop thread after the round's writes, before each look at the sockets.
  void SetAfterRound(std::function<void()> hook) { afterRound_ = std::move(hook); }
  // Receives the socket messages that are dropped because their socket was closed (or its
  // descriptor reused) after they were posted.
  void OnDropped(const Handler& dropped) { dropped_ = dropped; }

  // Runs until WM_QUIT; returns 0, or -1 when waiting for events failed (err set).
  int Run(const Handler& handler, int& err);

 private:
  struct SockState {
    bool used = false;
    bool listening = false;
    bool writeBlocked = false;
    bool writeAnnounced = false;
    bool closePosted = false;
    bool peerClosed = false;
    uint64_t lastReadMs = 0;  // when a receive last returned data
    uint16_t events = 0;
    uint16_t roundEndEvents = 0;  // events waiting for the end of the round
    uint32_t msg = 0;
    uint32_t generation = 0;
  };
  SockState* State(Socket s);
  void PostSelect(Socket s, const SockState& st, uint16_t event, uint16_t error = 0);
  void PostCloseOnce(Socket s, SockState& st, uint16_t error);
  void PollSockets(int timeoutMs);
  void OnReadiness(Socket s, uint32_t epollEvents);
  bool TakeMessage(Message& m);
  int NextTimerWait();
  void FireTimers();
  void PostMessage(const Message& m);
  bool IsStale(const Message& m) const;
  void ScheduleCloseCheck(Socket s, const SockState& st);
  // Handles the events waiting for the end of the round; true when there were any.
  bool EndRound(const Handler& handler);
  bool QueueEmpty();
  void CheckClose(Socket s, SockState& st);
  void PostDeferredCloses();

  int epollFd_ = -1;
  int wakeFd_ = -1;
  std::mutex lock_;
  std::deque<Message> queue_;
  std::vector<SockState> sockets_;
  struct Timer {
    uint64_t due;
    Message m;
    bool operator>(const Timer& o) const { return due > o.due; }
  };
  std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
  uint32_t nextGeneration_ = 1;
  std::function<void()> beforePoll_;
  std::function<void()> afterRound_;
  bool noDelay_ = true;
  std::vector<Message> roundEnd_;
  std::vector<Message> roundDue_;
#ifndef _WIN32
  std::thread::id loopThread_;
#endif
  // What accept4 told about an accepted socket: its peer, and that it is non-blocking.
  struct Accepted {
    bool known = false;
    bool inet = false;
    uint8_t addr[4] = {0, 0, 0, 0};
  };
  std::vector<Accepted> accepted_;
  // Closes found while a handler reads, posted once that handler returns.
  std::vector<std::pair<Socket, uint32_t>> deferredCloses_;
  Handler dropped_;
#ifdef _WIN32
  // The hidden window, its timers and the live sockets (win/event_loop.cpp).
  struct WinState;
  WinState* win_ = nullptr;
  friend struct WinLoopAccess;
#endif
};

}  // namespace plat
