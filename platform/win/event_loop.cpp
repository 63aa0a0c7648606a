// The scheduler on Windows: one hidden window per loop. Winsock reports socket events to it
// through WSAAsyncSelect; messages the server posts itself wait in the loop's own FIFO and a
// wake-up message per entry keeps them in order with the socket events in the window's queue.
#include "platform/event_loop.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#undef PostMessage  // the loop has a member of that name; the API is called as PostMessageA

#include <cstring>
#include <unordered_map>

#include "platform/clock.h"

namespace plat {

namespace {
constexpr UINT kWake = WM_APP + 1;  // one posted entry of the FIFO is waiting
// Each selected socket reports under a window message of its own, taken in turn from this
// range, so that an event left in the queue for a closed socket is recognised even when a
// new connection has been given the same handle since (Windows reuses handles at once).
constexpr UINT kFirstSocketMsg = WM_APP + 0x100;
constexpr UINT kLastSocketMsg = 0xBFFF;
constexpr char kClassName[] = "AsyncSelect";
}  // namespace

struct EventLoop::WinState {
  HWND window = nullptr;
  bool winsock = false;
  const Handler* handler = nullptr;
  UINT_PTR nextTimer = 1;
  std::unordered_map<UINT_PTR, Message> timers;  // window timer id -> delayed message
  UINT nextSocketMsg = kFirstSocketMsg;
  struct Live {
    uint32_t msg = 0;     // the message the server asked for
    UINT winMsg = 0;      // the message Winsock posts for this connection
    uint32_t generation = 0;
  };
  std::unordered_map<Socket, Live> sockets;  // sockets with asynchronous selection
};

struct WinLoopAccess {
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

LRESULT CALLBACK WinLoopAccess::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* loop = reinterpret_cast<EventLoop*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (loop == nullptr || loop->win_->handler == nullptr) return DefWindowProcA(hwnd, msg, wParam, lParam);
  EventLoop::WinState& w = *loop->win_;
  if (msg == kWake) {
    Message m;
    if (!loop->TakeMessage(m)) return 0;
    if (m.msg == WM_QUIT) {
      PostQuitMessage(0);
      return 0;
    }
    if (!loop->IsStale(m))
      (*w.handler)(m);
    else if (loop->dropped_)
      loop->dropped_(m);
    return 0;
  }
  if (msg == WM_TIMER) {
    auto it = w.timers.find(wParam);
    if (it == w.timers.end()) return DefWindowProcA(hwnd, msg, wParam, lParam);
    KillTimer(hwnd, wParam);
    Message m = it->second;
    w.timers.erase(it);
    loop->PostMessage(m);
    return 0;
  }
  // An event Winsock reports for a socket that is still selected; one left in the queue for
  // a socket closed since then carries that connection's message and is dropped.
  if (msg >= kFirstSocketMsg && msg <= kLastSocketMsg) {
    auto live = w.sockets.find(static_cast<Socket>(wParam));
    if (live != w.sockets.end() && live->second.winMsg == msg)
      (*w.handler)(Message{live->second.msg, wParam, static_cast<intptr_t>(lParam), 0});
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

EventLoop::EventLoop() {
  win_ = new WinState;
  WSADATA wsa;
  win_->winsock = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  WNDCLASSA wc{};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = WinLoopAccess::WindowProc;
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = kClassName;
  if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
  win_->window = CreateWindowA(kClassName, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  if (win_->window == nullptr) return;
  SetWindowLongPtrA(win_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  epollFd_ = 0;  // ok(): the window exists
}

EventLoop::~EventLoop() {
  for (auto& [s, live] : win_->sockets) closesocket(static_cast<SOCKET>(s));
  if (win_->window) {
    for (auto& [id, m] : win_->timers) KillTimer(win_->window, id);
    DestroyWindow(win_->window);
  }
  if (win_->winsock) WSACleanup();
  delete win_;
}

void EventLoop::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  PostMessage(Message{msg, wParam, lParam, 0});
}

void EventLoop::PostSocket(uint32_t msg, Socket s, intptr_t lParam) {
  auto it = win_->sockets.find(s);
  PostMessage(Message{msg, static_cast<uintptr_t>(s), lParam, it != win_->sockets.end() ? it->second.generation : 0});
}

void EventLoop::PostMessage(const Message& m) {
  {
    std::lock_guard<std::mutex> g(lock_);
    queue_.push_back(m);
  }
  ::PostMessageA(win_->window, kWake, 0, 0);
}

bool EventLoop::TakeMessage(Message& m) {
  std::lock_guard<std::mutex> g(lock_);
  if (queue_.empty()) return false;
  m = queue_.front();
  queue_.pop_front();
  return true;
}

bool EventLoop::IsStale(const Message& m) const {
  if (m.generation == 0) return false;
  auto it = win_->sockets.find(static_cast<Socket>(m.wParam));
  return it == win_->sockets.end() || it->second.generation != m.generation;
}

void EventLoop::PostDelayed(uint32_t delayMs, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  UINT_PTR id = win_->nextTimer++;
  win_->timers[id] = Message{msg, wParam, lParam, 0};
  SetTimer(win_->window, id, delayMs, nullptr);
}

void EventLoop::PostDelayedSocket(uint32_t delayMs, uint32_t msg, Socket s, intptr_t lParam) {
  auto it = win_->sockets.find(s);
  UINT_PTR id = win_->nextTimer++;
  win_->timers[id] = Message{msg, static_cast<uintptr_t>(s), lParam,
                             it != win_->sockets.end() ? it->second.generation : 0};
  SetTimer(win_->window, id, delayMs, nullptr);
}

bool EventLoop::AsyncSelect(Socket s, uint32_t msg, uint16_t events) {
  if (s == -1) return false;
  auto [it, added] = win_->sockets.try_emplace(s);
  if (added) {
    it->second.generation = nextGeneration_++;
    it->second.winMsg = win_->nextSocketMsg;
    win_->nextSocketMsg = win_->nextSocketMsg == kLastSocketMsg ? kFirstSocketMsg : win_->nextSocketMsg + 1;
  }
  it->second.msg = msg;
  return WSAAsyncSelect(static_cast<SOCKET>(s), win_->window, it->second.winMsg, events) == 0;
}

Socket EventLoop::CreateTcpSocket(int& err) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    err = WSAGetLastError();
    return -1;
  }
  return static_cast<Socket>(s);
}

bool EventLoop::Bind(Socket s, uint16_t port, int& err) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
  err = WSAGetLastError();
  return false;
}

bool EventLoop::Listen(Socket s, int backlog, int& err) {
  if (::listen(static_cast<SOCKET>(s), backlog) == 0) return true;
  err = WSAGetLastError();
  return false;
}

Socket EventLoop::Accept(Socket listener, int& err) {
  // Winsock re-enables FD_ACCEPT by this call, and the new socket inherits the listener's
  // selection until the caller selects its own events.
  SOCKET c = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  if (c == INVALID_SOCKET) {
    err = WSAGetLastError();
    return -1;
  }
  BOOL on = TRUE;
  if (noDelay_) setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return static_cast<Socket>(c);
}

long EventLoop::Recv(Socket s, void* buf, size_t len, int& err) {
  int n = ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), static_cast<int>(len), 0);
  if (n == SOCKET_ERROR) {
    err = WSAGetLastError();
    return -1;
  }
  return n;
}

long EventLoop::Send(Socket s, const void* buf, size_t len, int& err) {
  int n = ::send(static_cast<SOCKET>(s), static_cast<const char*>(buf), static_cast<int>(len), 0);
  if (n == SOCKET_ERROR) {
    err = WSAGetLastError();
    return -1;
  }
  return n;
}

// One send per piece, in order, until the socket takes less than a whole piece.
long EventLoop::SendPieces(Socket s, const Piece* pieces, size_t count, int& err) {
  long total = 0;
  for (size_t i = 0; i < count; ++i) {
    long n = Send(s, pieces[i].data, pieces[i].len, err);
    if (n < 0) return total > 0 ? total : -1;
    total += n;
    if (static_cast<size_t>(n) < pieces[i].len) break;
  }
  return total;
}

// Windows posts the write event at once: the frames queued meanwhile still leave together.
void EventLoop::PostSelectAtRoundEnd(uint32_t msg, Socket s, uint16_t event) {
  PostSocket(msg, s, MakeSelectLParam(event, 0));
}

void EventLoop::Close(Socket s) {
  win_->sockets.erase(s);
  if (s != -1) closesocket(static_cast<SOCKET>(s));
}

bool EventLoop::PeerAddress(Socket s, uint8_t addr[4]) {
  sockaddr_in sa{};
  int l = sizeof sa;
  if (::getpeername(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &l) != 0 || sa.sin_family != AF_INET)
    return false;
  std::memcpy(addr, &sa.sin_addr.s_addr, 4);
  return true;
}

int EventLoop::Run(const Handler& handler, int& err) {
  if (!ok()) {
    err = static_cast<int>(GetLastError());
    return -1;
  }
  win_->handler = &handler;
  MSG msg;
  for (;;) {
    // The end of a round (nothing waits in the queue): the end-of-round hook, then the hook
    // that flushes the log. Writes here are posted window messages that follow the hook.
    if ((beforePoll_ || afterRound_) && !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (beforePoll_) beforePoll_();
      if (afterRound_) afterRound_();
    }
    BOOL rc = GetMessageA(&msg, nullptr, 0, 0);
    if (rc == 0) break;
    if (rc == -1) {
      err = static_cast<int>(GetLastError());
      win_->handler = nullptr;
      return -1;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  win_->handler = nullptr;
  return 0;
}

}  // namespace plat
