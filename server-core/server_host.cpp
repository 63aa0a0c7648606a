#include "server-core/server_host.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "server-core/flap.h"
#include "server-core/log.h"

namespace {

// Controls arrive on the main thread, possibly before the loop exists or after it ended:
// they wait here until the loop can take them.
struct ControlGate {
  std::mutex lock;
  plat::EventLoop* loop = nullptr;
  std::vector<int> pending;
};

ControlGate& Gate() {
  static ControlGate gate;
  return gate;
}

void OpenGate(plat::EventLoop* loop) {
  ControlGate& g = Gate();
  std::lock_guard<std::mutex> hold(g.lock);
  g.loop = loop;
  if (!loop) return;
  for (int control : g.pending) loop->Post(WM_SERVICE_CONTROL, static_cast<uintptr_t>(control), 0);
  g.pending.clear();
}

}  // namespace

bool RunSocketServer(uint16_t port, const ListenerTexts& texts, const plat::EventLoop::Handler& handler,
                     plat::Socket& listenSocket, const plat::EventLoop::Handler& dropped) {
  auto loop = std::make_unique<plat::EventLoop>();
  loop->OnDropped(dropped);
  if (!loop->ok()) {
    WriteLog(texts.createFailed, 11, "", 0, errno);
    return false;
  }
  EventWindow = loop.get();
  OpenGate(loop.get());
  // Log lines of one event round reach the file together, once the round's frames are written
  // and before the loop looks for more work.
  DeferLogFlush(true);
  loop->SetAfterRound([] { FlushLog(); });
  int err = 0;
  bool ok = false;
  listenSocket = loop->CreateTcpSocket(err);
  if (listenSocket < 0) {
    WriteLog(texts.socketFailed, 11, "", 0, err);
  } else if (loop->AsyncSelect(listenSocket, WM_SOCKET_EVENT, plat::FD_ACCEPT | plat::FD_CLOSE),
             !loop->Bind(listenSocket, port, err)) {
    WriteLog(texts.bindFailed, 11, "", 0, err);
  } else if (!loop->Listen(listenSocket, plat::kMaxBacklog, err)) {
    // A deep accept queue, so that bursts of thousands of clients are not turned away.
    WriteLog(texts.listenFailed, 11, "", 0, err);
  } else if (loop->Run(handler, err) != 0) {
    WriteLog(texts.loopFailed, 11, "", 0, err);
  } else {
    ok = true;
  }
  DeferLogFlush(false);
  FlushLog();
  OpenGate(nullptr);
  EventWindow = nullptr;
  return ok;
}

void PostServiceControl(int control) {
  ControlGate& g = Gate();
  std::lock_guard<std::mutex> hold(g.lock);
  if (g.loop)
    g.loop->Post(WM_SERVICE_CONTROL, static_cast<uintptr_t>(control), 0);
  else
    g.pending.push_back(control);
}
