#include "server-core/server_host.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <memory>
#include <mutex>
#include <vector>

#include "server-core/flap.h"
#include "server-core/log.h"
#include "platform/net.h"

namespace {

// Controls arrive on the main thread, possibly before the loop exists or after it ended:
// they wait here until the loop can take them.
struct ControlGate {
  std::mutex lock;
  plat::EventLoop* loop = nullptr;
  std::vector<int> pending;
};

std::vector<std::function<void()>>& RoundEndHooks() {
  static std::vector<std::function<void()>> hooks;
  return hooks;
}

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

// The failure line is followed by one line with what the operator needs: which address and port
// the server could not take, and the system's reason. The same text goes to standard error, so
// a server started by hand or by systemd does not end silently.
void ReportListenFailure(const ListenerTexts& texts, const char* what, const char* failureLine, uint16_t port,
                         int err) {
  WriteLog(failureLine, 11, "", 0, err);
  std::string detail = std::string("cannot ") + what + " on 0.0.0.0:" + std::to_string(port) + ": " +
                       plat::ErrorText(err) + " (error " + std::to_string(err) + ")";
  WriteLog("%s", 11, "", 0, detail.c_str());
  std::fprintf(stderr, "%s: %s\n", texts.program, detail.c_str());
}

}  // namespace

bool RunSocketServer(uint16_t port, const ListenerTexts& texts, const plat::EventLoop::Handler& handler,
                     plat::Socket& listenSocket, const plat::EventLoop::Handler& dropped) {
  auto loop = std::make_unique<plat::EventLoop>();
  loop->OnDropped(dropped);
  loop->SetNoDelay(texts.noDelay);
  if (!loop->ok()) {
    int err = errno;
    WriteLog(texts.createFailed, 11, "", 0, err);
    std::fprintf(stderr, "%s: cannot create the event loop: %s\n", texts.program, plat::ErrorText(err).c_str());
    return false;
  }
  EventWindow = loop.get();
  OpenGate(loop.get());
  // Log lines of one event round reach the file together, once the round's frames are written
  // and before the loop looks for more work.
  DeferLogFlush(true);
  // The end-of-round hooks run after the round's handlers and before its frames are written,
  // so what they queue (acknowledgements of a group commit) leaves in the same round.
  loop->SetBeforePoll([] {
    for (const auto& hook : RoundEndHooks()) hook();
  });
  loop->SetAfterRound([] { FlushLog(); });
  int err = 0;
  bool ok = false;
  listenSocket = loop->CreateTcpSocket(err);
  if (listenSocket < 0) {
    ReportListenFailure(texts, "create the listening socket", texts.socketFailed, port, err);
  } else if (loop->AsyncSelect(listenSocket, WM_SOCKET_EVENT, plat::FD_ACCEPT | plat::FD_CLOSE),
             !loop->Bind(listenSocket, port, err)) {
    ReportListenFailure(texts, "listen", texts.bindFailed, port, err);
  } else if (!loop->Listen(listenSocket, plat::kMaxBacklog, err)) {
    // A deep accept queue, so that bursts of thousands of clients are not turned away.
    ReportListenFailure(texts, "listen", texts.listenFailed, port, err);
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

void AddRoundEndHook(std::function<void()> hook) { RoundEndHooks().push_back(std::move(hook)); }

void PostServiceControl(int control) {
  ControlGate& g = Gate();
  std::lock_guard<std::mutex> hold(g.lock);
  if (g.loop)
    g.loop->Post(WM_SERVICE_CONTROL, static_cast<uintptr_t>(control), 0);
  else
    g.pending.push_back(control);
}

bool PostToServerLoop(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  ControlGate& g = Gate();
  std::lock_guard<std::mutex> hold(g.lock);
  if (!g.loop) return false;
  g.loop->Post(msg, wParam, lParam);
  return true;
}
