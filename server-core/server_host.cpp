#include "server-core/server_host.h"

#include <cerrno>
#include <memory>

#include "server-core/flap.h"
#include "server-core/log.h"

bool RunSocketServer(uint16_t port, const ListenerTexts& texts, const plat::EventLoop::Handler& handler,
                     plat::Socket& listenSocket) {
  auto loop = std::make_unique<plat::EventLoop>();
  if (!loop->ok()) {
    WriteLog(texts.createFailed, 11, "", 0, errno);
    return false;
  }
  EventWindow = loop.get();
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
  EventWindow = nullptr;
  return ok;
}

void PostServiceControl(int control) {
  if (EventWindow) EventWindow->Post(WM_SERVICE_CONTROL, static_cast<uintptr_t>(control), 0);
}
