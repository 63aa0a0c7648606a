// The event-loop part of platform_check: kept apart from <windows.h>, whose macros carry
// the same names as the loop's constants.
#include <string>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/net.h"

void Check(bool ok, const std::string& what);

// The loop's socket events for one loopback connection: accept, write once, read, close.
void EventLoopOverLoopback() {
  constexpr uint32_t kSock = plat::WM_USER + 1, kPosted = plat::WM_USER + 5, kGiveUp = plat::WM_USER + 6;
  plat::EventLoop loop;
  Check(loop.ok(), "hidden window created");
  int err = 0;
  plat::Socket listener = loop.CreateTcpSocket(err);
  // Below the Linux ephemeral range, where Wine's bind could meet TIME_WAIT connections.
  const uint16_t port = static_cast<uint16_t>(20000 + plat::TickMs() % 12000);
  bool listening = loop.AsyncSelect(listener, kSock, plat::FD_ACCEPT | plat::FD_CLOSE) &&
                   loop.Bind(listener, port, err) && loop.Listen(listener, 5, err);
  Check(listening, "listening on port " + std::to_string(port));
  std::string events;
  plat::Socket client = plat::kInvalidSocket;
  loop.Post(kPosted, 1, 0);
  loop.Post(kPosted, 2, 0);
  loop.PostDelayed(5000, kGiveUp, 0, 0);
  plat::Socket peer = plat::kInvalidSocket;
  uint32_t addr = 0;
  plat::ResolveHostV4("127.0.0.1", addr);
  auto handler = [&](const plat::Message& m) {
    if (m.msg == kPosted) {
      events += "posted" + std::to_string(m.wParam) + " ";
      if (m.wParam == 2) peer = plat::TcpConnect(addr, port, 2000, err);
      return;
    }
    if (m.msg == kGiveUp) {
      events += "timeout";
      loop.PostQuit();
      return;
    }
    plat::Socket s = static_cast<plat::Socket>(m.wParam);
    switch (plat::SelectEvent(m.lParam)) {
      case plat::FD_ACCEPT:
        client = loop.Accept(s, err);
        events += "accept ";
        loop.AsyncSelect(client, kSock, plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE);
        break;
      case plat::FD_WRITE:
        events += "write ";
        plat::SendAll(peer, "abc", 3, err);
        break;
      case plat::FD_READ: {
        char buf[16];
        long n = loop.Recv(s, buf, sizeof buf, err);
        events += "read" + std::to_string(n) + " ";
        plat::CloseSocket(peer);
        break;
      }
      case plat::FD_CLOSE:
        events += "close";
        loop.Close(s);
        loop.PostQuit();
        break;
    }
  };
  Check(loop.Run(handler, err) == 0, "loop ended by WM_QUIT");
  Check(events == "posted1 posted2 accept write read3 close", "events in order: " + events);
}

