#include "platform/event_loop.h"

#include "platform/clock.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace plat {

namespace {
// Messages handled in one round at most, before the round's writes go out and the loop looks
// at the sockets again. A socket event handles everything its read brought, so a round of a
// busy server is one batch of readiness events with the work they started.
constexpr int kRoundBudget = 1024;
// Rounds of writes handled at one round's end: writes that queue more frames (a queue drained
// in steps) go on in the same round a few times, the rest in the next.
constexpr int kWritePasses = 4;
// A peer that closed with data still unread: once the reader has taken nothing for this
// long, FD_CLOSE comes anyway (a reader that stopped reading would otherwise never see it).
constexpr uint32_t kCloseGraceMs = 1000;
constexpr uint32_t kCloseCheck = 0xFFFF0001;  // internal message, never handed to the handler
}

EventLoop::EventLoop() {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epollFd_ >= 0 && wakeFd_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
  }
}

EventLoop::~EventLoop() {
  for (size_t fd = 0; fd < sockets_.size(); ++fd)
    if (sockets_[fd].used) ::close(static_cast<int>(fd));
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
}

void EventLoop::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  PostMessage(Message{msg, wParam, lParam, 0});
}

void EventLoop::PostSocket(uint32_t msg, Socket s, intptr_t lParam) {
  SockState* st = State(s);
  PostMessage(Message{msg, static_cast<uintptr_t>(s), lParam, st ? st->generation : 0});
}

void EventLoop::PostSelectAtRoundEnd(uint32_t msg, Socket s, uint16_t event) {
  SockState* st = State(s);
  if (!st || st->msg != msg) return PostSocket(msg, s, MakeSelectLParam(event, 0));
  if (st->roundEndEvents & event) return;
  st->roundEndEvents |= event;
  roundEnd_.push_back(Message{msg, static_cast<uintptr_t>(s), MakeSelectLParam(event, 0), st->generation});
}

bool EventLoop::EndRound(const Handler& handler) {
  if (roundEnd_.empty()) return false;
  // Two lists take turns, so that a round's end allocates nothing once they have grown.
  roundDue_.swap(roundEnd_);
  for (const Message& m : roundDue_) {
    if (IsStale(m)) {
      if (dropped_) dropped_(m);
      continue;
    }
    sockets_[m.wParam].roundEndEvents &= static_cast<uint16_t>(~SelectEvent(m.lParam));
    handler(m);
    PostDeferredCloses();
  }
  roundDue_.clear();
  return true;
}

void EventLoop::PostDelayed(uint32_t delayMs, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  timers_.push(Timer{TickMs() + delayMs, Message{msg, wParam, lParam, 0}});
}

void EventLoop::PostDelayedSocket(uint32_t delayMs, uint32_t msg, Socket s, intptr_t lParam) {
  SockState* st = State(s);
  timers_.push(Timer{TickMs() + delayMs, Message{msg, static_cast<uintptr_t>(s), lParam, st ? st->generation : 0}});
}

void EventLoop::ScheduleCloseCheck(Socket s, const SockState& st) {
  timers_.push(Timer{TickMs() + kCloseGraceMs, Message{kCloseCheck, static_cast<uintptr_t>(s), 0, st.generation}});
}

int EventLoop::NextTimerWait() {
  if (timers_.empty()) return -1;
  uint64_t now = TickMs();
  return timers_.top().due <= now ? 0 : static_cast<int>(timers_.top().due - now);
}

void EventLoop::FireTimers() {
  uint64_t now = TickMs();
  while (!timers_.empty() && timers_.top().due <= now) {
    PostMessage(timers_.top().m);
    timers_.pop();
  }
}

bool EventLoop::IsStale(const Message& m) const {
  if (m.generation == 0) return false;
  size_t fd = m.wParam;
  return fd >= sockets_.size() || !sockets_[fd].used || sockets_[fd].generation != m.generation;
}

void EventLoop::PostMessage(const Message& m) {
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> g(lock_);
    wasEmpty = queue_.empty();
    queue_.push_back(m);
  }
  // The loop thread takes its own messages before it waits again: only another thread has to
  // wake it.
  if (wasEmpty && std::this_thread::get_id() != loopThread_) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }
}

EventLoop::SockState* EventLoop::State(Socket s) {
  if (s < 0 || static_cast<size_t>(s) >= sockets_.size() || !sockets_[s].used) return nullptr;
  return &sockets_[s];
}

bool EventLoop::AsyncSelect(Socket s, uint32_t msg, uint16_t events) {
  if (s < 0) return false;
  if (static_cast<size_t>(s) >= sockets_.size()) sockets_.resize(static_cast<size_t>(s) + 64);
  SockState& st = sockets_[s];
  bool added = st.used;
  if (!added) st.generation = nextGeneration_++;
  // The epoll registration covers every event already; a new selection that only narrows
  // the events (an owner that stops reading) needs no call. One that widens them registers
  // again, so that a condition already present is reported anew.
  bool widened = !added || (events & ~st.events) != 0;
  st.used = true;
  st.msg = msg;
  st.events = events;
  if (!widened) return true;
  if (events & FD_ACCEPT) st.listening = true;
  // A socket from Accept is non-blocking already (accept4).
  if (!(static_cast<size_t>(s) < accepted_.size() && accepted_[s].known)) {
    int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.fd = s;
  return epoll_ctl(epollFd_, added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &ev) == 0;
}

void EventLoop::PostSelect(Socket s, const SockState& st, uint16_t event, uint16_t error) {
  if (st.events & event) PostSocket(st.msg, s, MakeSelectLParam(event, error));
}

void EventLoop::PostCloseOnce(Socket s, SockState& st, uint16_t error) {
  if (st.closePosted) return;
  st.closePosted = true;
  PostSelect(s, st, FD_CLOSE, error);
}

Socket EventLoop::CreateTcpSocket(int& err) {
  Socket s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) err = errno;
  int on = 1;
  if (s >= 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return s;
}

bool EventLoop::Bind(Socket s, uint16_t port, int& err) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
  err = errno;
  return false;
}

bool EventLoop::Listen(Socket s, int backlog, int& err) {
  if (::listen(s, backlog) != 0) {
    err = errno;
    return false;
  }
  if (SockState* st = State(s)) st->listening = true;
  return true;
}

Socket EventLoop::Accept(Socket listener, int& err) {
  sockaddr_in sa{};
  socklen_t l = sizeof sa;
  Socket c = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &l, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (c < 0) {
    err = errno;
    return -1;
  }
  // The peer's address and the non-blocking mode come with the accept: PeerAddress and
  // AsyncSelect need no further call.
  if (static_cast<size_t>(c) >= accepted_.size()) accepted_.resize(static_cast<size_t>(c) + 64);
  accepted_[c].known = true;
  accepted_[c].inet = sa.sin_family == AF_INET;
  std::memcpy(accepted_[c].addr, &sa.sin_addr.s_addr, 4);
  // Replies go out frame by frame; without this, small frames wait for delayed ACKs.
  int on = 1;
  if (noDelay_) setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Another connection may be waiting: accepting re-enables FD_ACCEPT.
  if (SockState* st = State(listener)) PostSelect(listener, *st, FD_ACCEPT);
  return c;
}

long EventLoop::Recv(Socket s, void* buf, size_t len, int& err) {
  ssize_t n;
  do {
    n = ::recv(s, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  SockState* st = State(s);
  if (n < 0) {
    err = errno;
    return -1;
  }
  if (st) {
    if (n > 0) {
      // A receive that filled the buffer re-enables FD_READ; one that returned less emptied
      // the socket, and the next data is announced by the readiness of the socket.
      if (static_cast<size_t>(n) == len) PostSelect(s, *st, FD_READ);
      int waiting = 0;
      st->lastReadMs = TickMs();
      // The last bytes may complete a frame whose handling the caller is about to post:
      // the close goes behind it.
      if (st->peerClosed && ::ioctl(s, FIONREAD, &waiting) == 0 && waiting == 0)
        deferredCloses_.emplace_back(s, st->generation);
    } else if (len > 0) {
      st->peerClosed = true;
      PostCloseOnce(s, *st, 0);
    }
  }
  return static_cast<long>(n);
}

long EventLoop::Send(Socket s, const void* buf, size_t len, int& err) {
  ssize_t n;
  do {
    n = ::send(s, buf, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      err = kWouldBlock;
      if (SockState* st = State(s)) st->writeBlocked = true;
    }
    return -1;
  }
  return static_cast<long>(n);
}

long EventLoop::SendPieces(Socket s, const Piece* pieces, size_t count, int& err) {
  constexpr size_t kMaxPieces = 64;
  iovec iov[kMaxPieces];
  size_t n = std::min(count, kMaxPieces);
  for (size_t i = 0; i < n; ++i) iov[i] = iovec{const_cast<void*>(pieces[i].data), pieces[i].len};
  msghdr mh{};
  mh.msg_iov = iov;
  mh.msg_iovlen = n;
  ssize_t r;
  do {
    r = ::sendmsg(s, &mh, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      err = kWouldBlock;
      if (SockState* st = State(s)) st->writeBlocked = true;
    }
    return -1;
  }
  return static_cast<long>(r);
}

void EventLoop::Close(Socket s) {
  // Closing the only descriptor of the socket also takes it out of the epoll set.
  if (SockState* st = State(s)) *st = SockState{};
  if (s >= 0 && static_cast<size_t>(s) < accepted_.size()) accepted_[s] = Accepted{};
  if (s >= 0) ::close(s);
}

bool EventLoop::PeerAddress(Socket s, uint8_t addr[4]) {
  if (s >= 0 && static_cast<size_t>(s) < accepted_.size() && accepted_[s].known) {
    if (!accepted_[s].inet) return false;
    std::memcpy(addr, accepted_[s].addr, 4);
    return true;
  }
  sockaddr_in sa{};
  socklen_t l = sizeof sa;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &l) != 0 || sa.sin_family != AF_INET)
    return false;
  uint32_t a = sa.sin_addr.s_addr;
  for (int i = 0; i < 4; ++i) addr[i] = reinterpret_cast<const uint8_t*>(&a)[i];
  return true;
}

void EventLoop::OnReadiness(Socket s, uint32_t ev) {
  SockState* st = State(s);
  if (!st) return;
  if (st->listening) {
    if (ev & EPOLLIN) PostSelect(s, *st, FD_ACCEPT);
    return;
  }
  if ((ev & EPOLLERR) && st->peerClosed) {
    // The peer closed cleanly; the error is the reset its side sent back to a later write.
    PostCloseOnce(s, *st, 0);
    return;
  }
  if (ev & EPOLLERR) {
    int soErr = 0;
    socklen_t l = sizeof soErr;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &soErr, &l);
    // A reset that answers our write to a peer which had closed first (typically before it
    // read a greeting) is reported as EPIPE: the peer's close was a clean one.
    if (soErr == EPIPE) st->peerClosed = true;
    PostCloseOnce(s, *st, st->peerClosed ? 0 : static_cast<uint16_t>(soErr ? soErr : ECONNRESET));
    return;
  }
  if (ev & EPOLLOUT) {
    if (!st->writeAnnounced || st->writeBlocked) PostSelect(s, *st, FD_WRITE);
    st->writeAnnounced = true;
    st->writeBlocked = false;
  }
  if (ev & EPOLLIN) PostSelect(s, *st, FD_READ);
  if (ev & (EPOLLRDHUP | EPOLLHUP)) {
    st->peerClosed = true;
    // Data still waiting is announced first; the close follows once it is read, or now
    // when nothing is left to read. A socket whose owner reads no more closes at once.
    int waiting = 0;
    if (!(st->events & FD_READ) || ::ioctl(s, FIONREAD, &waiting) != 0 || waiting == 0)
      PostCloseOnce(s, *st, 0);
    else
      ScheduleCloseCheck(s, *st);
  }
}

void EventLoop::PollSockets(int timeoutMs) {
  epoll_event events[256];
  int n;
  do {
    n = epoll_wait(epollFd_, events, 256, timeoutMs);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    int fd = events[i].data.fd;
    if (fd == wakeFd_) {
      uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(wakeFd_, &v, sizeof v);
      continue;
    }
    OnReadiness(fd, events[i].events);
  }
}

void EventLoop::CheckClose(Socket s, SockState& st) {
  int waiting = 0;
  bool dataLeft = ::ioctl(s, FIONREAD, &waiting) == 0 && waiting > 0;
  if (dataLeft && TickMs() - st.lastReadMs < kCloseGraceMs)
    ScheduleCloseCheck(s, st);  // still being read: wait for the reader
  else
    PostCloseOnce(s, st, 0);
}

void EventLoop::PostDeferredCloses() {
  for (const auto& [s, generation] : deferredCloses_) {
    SockState* st = State(s);
    if (st && st->generation == generation) PostCloseOnce(s, *st, 0);
  }
  deferredCloses_.clear();
}

bool EventLoop::TakeMessage(Message& m) {
  std::lock_guard<std::mutex> g(lock_);
  if (queue_.empty()) return false;
  m = queue_.front();
  queue_.pop_front();
  return true;
}

int EventLoop::Run(const Handler& handler, int& err) {
  if (!ok()) {
    err = errno;
    return -1;
  }
  loopThread_ = std::this_thread::get_id();
  for (;;) {
    // The round: the messages waiting (up to the budget), with what they post.
    int handled = 0;
    bool more = false;
    for (;;) {
      PostDeferredCloses();
      if (handled >= kRoundBudget) {
        more = true;
        break;
      }
      Message m;
      if (!TakeMessage(m)) break;
      if (m.msg == WM_QUIT) {
        loopThread_ = {};
        return 0;
      }
      if (IsStale(m)) {
        if (dropped_ && m.msg != kCloseCheck) dropped_(m);
        continue;
      }
      ++handled;
      if (m.msg == kCloseCheck) {
        CheckClose(static_cast<Socket>(m.wParam), sockets_[m.wParam]);
        continue;
      }
      handler(m);
    }
    // The round's end: the hook, then the writes of what the round queued.
    if (beforePoll_ && (handled > 0 || !roundEnd_.empty())) beforePoll_();
    for (int pass = 0; pass < kWritePasses && EndRound(handler); ++pass) {
    }
    if (afterRound_) afterRound_();
    more = more || !roundEnd_.empty() || !QueueEmpty();
    PollSockets(more ? 0 : NextTimerWait());
    FireTimers();
  }
}

bool EventLoop::QueueEmpty() {
  std::lock_guard<std::mutex> g(lock_);
  return queue_.empty();
}

}  // namespace plat
