#include "VornBOS/server.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>

#include "VornBOS/dispatcher.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/owner.h"
#include "VornBOS/ssi/writer.h"
#include "VornBOS/tables.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/service.h"
#include "server-core/config.h"
#include "server-core/flap.h"
#include "server-core/log.h"
#include "server-core/server_host.h"
#include "server-core/startup_check.h"
#include "vorn_version.h"

namespace {

plat::Socket listenSocket = -1;
// Posted LoginTimeout seconds after an accept: a connection not logged in by then is closed.
constexpr uint32_t WM_LOGIN_CHECK = plat::WM_USER + 30;


// Logs the frame being received after a handler failure, whatever the log level.
void DumpReceiveFrame(const ClientInfo& c, bool logMissing) {
  if (c.in.data.empty()) {
    if (logMissing) WriteLog("pClientInfo->in.data == NULL", 11, c.addr.c_str(), c.UIN);
    return;
  }
  int16_t saved = LogLevel.exchange(0);
  HexDump(c.in.head, kFlapHeader, "Head");
  HexDump(c.in.data.data(), std::min<size_t>(c.in.length, c.in.data.size()), "Data");
  LogLevel = saved;
}

// Runs one branch of the socket-event handling; a failure is logged and the server goes on.
template <typename F>
void Guarded(const char* firstLine, intptr_t firstArg, const char* secondLine, plat::Socket s,
             ClientInfo** found, void (*dump)(const ClientInfo&), F&& body) {
  try {
    body();
  } catch (...) {
    WriteLog(firstLine, 11, "", 0, static_cast<int>(firstArg));
    if (*found) {
      WriteLog(secondLine, 11, (*found)->addr.c_str(), (*found)->UIN, s);
      if (dump) dump(**found);
    }
  }
}

void OnSocketError(plat::Socket s, intptr_t lParam, ClientInfo** found) {
  WriteLog("Socket=%d failed with error=%d (WSAGETSELECTERROR(lParam)=%d WSAGETSELECTEVENT(lParam)=%d", 6, "",
           0, s, plat::LastError(), plat::SelectError(lParam), plat::SelectEvent(lParam));
  *found = FindBySocket(s);
  if (!*found) {
    WriteLog("Not find socket=%d (WSAGETSELECTERROR(lParam)==true)", 3, "", 0, s);
    return;
  }
  DestroySession(**found);
  *found = nullptr;
}

void OnAccept(ClientInfo** found) {
  int err = 0;
  plat::Socket s = EventWindow->Accept(listenSocket, err);
  if (s < 0) {
    if (err != EAGAIN && err != EWOULDBLOCK)
      WriteLog("Socket=%d failed with error=%d (accept)", 11, "", 0, listenSocket, err);
    return;
  }
  ClientInfo& c = CreateSession(s);
  *found = &c;
  if (!EventWindow->PeerAddress(s, c.ipExt)) WriteLog("Error getpeername", 11, "", 0);
  std::copy(c.ipExt, c.ipExt + 4, c.ipInt);
  c.addr = std::to_string(c.ipExt[0]) + "." + std::to_string(c.ipExt[1]) + "." +
           std::to_string(c.ipExt[2]) + "." + std::to_string(c.ipExt[3]);
  if (plat::ServiceState == plat::SERVICE_PAUSED) {
    WriteLog("VornBOS - paused. Connect ignored", 11, c.addr.c_str(), 0);
    *found = nullptr;
    DestroySession(c);
    return;
  }
  SendTemplate(c, HelloFrame(), MakeReqId(0).b);
  WriteLog("Accept socket=%d", 9, c.addr.c_str(), 0, s);
  EventWindow->AsyncSelect(s, WM_SOCKET_EVENT, plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE);
  EventWindow->PostDelayedSocket(Cfg.LoginTimeout * 1000, WM_LOGIN_CHECK, s, 0);
}

// The same rule VornAuth keeps for answered connections: nobody holds a connection without
// logging in. The timer is dropped with its socket, so it never reaches a later connection.
void OnLoginCheck(plat::Socket s) {
  ClientInfo* c = FindBySocket(s);
  if (!c || c->isLogged) return;
  WriteLog("Login time-out socket=%d", 9, c->addr.c_str(), c->UIN, s);
  DestroySession(*c);
}

void DumpAfterFlap(const ClientInfo& c);

// One whole frame, with the failure handling a frame has always had.
void HandleFrame(ClientInfo& c) {
  ClientInfo* found = &c;
  Guarded("Exception in ReadFLAP ", 0, "Uknown error. Socket=%d", c.ClnSocket, &found, DumpAfterFlap,
          [&] { ReadFLAP(c); });
}

void OnRead(plat::Socket s, ClientInfo** found) {
  *found = FindBySocket(s);
  if (!*found) {
    WriteLog("Not find socket=%d (read)", 9, "", 0, s);
    return;
  }
  if (!ReceiveStep(**found, HandleFrame)) {
    WriteLog("Socket %d - bad FLAP (read)", 11, (*found)->addr.c_str(), (*found)->UIN, s);
    DestroySession(**found);
    *found = nullptr;
  }
}

void OnWrite(plat::Socket s, ClientInfo** found) {
  *found = FindBySocket(s);
  if (!*found) {
    WriteLog("Not find socket=%d (write)", 9, "", 0, s);
    return;
  }
  if (!SendStep(**found)) {
    DestroySession(**found);
    *found = nullptr;
  }
}

void OnClose(plat::Socket s, ClientInfo** found) {
  *found = FindBySocket(s);
  if (!*found) {
    WriteLog("Not find socket=%d", 9, "", 0, s);
    return;
  }
  // Frames the peer sent before closing are handled first: the close comes back after them.
  if (CloseMustWait(**found)) {
    EventWindow->PostSocket(WM_SOCKET_EVENT, s, plat::MakeSelectLParam(plat::FD_CLOSE, 0));
    return;
  }
  // Replies queued for the peer's last frames still go out, as far as the socket takes them
  // without waiting: a client that only shut its sending side reads them before it closes.
  // Answers waiting for the flush of the offline stores go first: the close comes back then.
  if (DeferCloseForOfflineAnswers(**found)) return;
  if (!(*found)->sendQueue.empty()) SendStep(**found);
  WriteLog("User close socket=%d", 9, (*found)->addr.c_str(), (*found)->UIN, s);
  DestroySession(**found);
  *found = nullptr;
}

void OnFlapReady(plat::Socket s, ClientInfo** found) {
  *found = FindBySocket(s);
  if (!*found) {
    WriteLog("Not find socket=%d", 9, "", 0, s);
    return;
  }
  ReadFLAP(**found);
}

void DumpAfterRead(const ClientInfo& c) { DumpReceiveFrame(c, true); }
void DumpAfterFlap(const ClientInfo& c) { DumpReceiveFrame(c, false); }

void HandleSocketEvent(const plat::Message& m) {
  plat::Socket s = static_cast<plat::Socket>(m.wParam);
  ClientInfo* found = nullptr;
  if (plat::SelectError(m.lParam) != 0) {
    Guarded("Exception in WSAGETSELECTERROR(%d)", m.lParam, "Uknown error=%d", s, &found, nullptr,
            [&] { OnSocketError(s, m.lParam, &found); });
    return;
  }
  switch (plat::SelectEvent(m.lParam)) {
    case plat::FD_ACCEPT:
      Guarded("Exception in FD_ACCEPT", 0, "Uknown error. Socket=%d", s, &found, nullptr,
              [&] { OnAccept(&found); });
      break;
    case plat::FD_READ:
      Guarded("Exception in FD_READ ", 0, "Uknown error. Socket=%d", s, &found, DumpAfterRead,
              [&] { OnRead(s, &found); });
      break;
    case plat::FD_WRITE:
      Guarded("Exception in FD_WRITE", 0, "Uknown error. Socket=%d", s, &found, nullptr,
              [&] { OnWrite(s, &found); });
      break;
    case plat::FD_CLOSE:
      Guarded("Exception in FD_CLOSE", 0, "Uknown error. Socket=%d", s, &found, nullptr,
              [&] { OnClose(s, &found); });
      break;
    default:
      break;
  }
}

void StopServer() {
  plat::ServiceState = plat::SERVICE_STOPPED;
  FlushAllOwnerLists();  // stored lists with edits not yet on the disk
  ClearServerTables();
  WriteLog("VornBOS - stopped", 11, "", 0);
  EventWindow->PostQuit();
}

void PauseServer() {
  plat::ServiceState = plat::SERVICE_PAUSED;
  LoadConfiguration(ServerTablesHooks());
  DumpSessions();
  DumpServerTables();
  WriteLog("VornBOS - pause", 11, "", 0);
  FlushLog();
}

void ContinueServer() {
  plat::ServiceState = plat::SERVICE_RUNNING;
  WriteLog("VornBOS - continue", 11, "", 0);
  FlushLog();
}

// A message for a socket whose session is gone: the line the handler writes when its lookup
// fails. The descriptor may already belong to a new connection, so nothing is looked up.
void LogDroppedMessage(const plat::Message& m) {
  plat::Socket s = static_cast<plat::Socket>(m.wParam);
  if (m.msg == WM_FLAP_READY) {
    WriteLog("Not find socket=%d", 9, "", 0, s);
    return;
  }
  if (m.msg != WM_SOCKET_EVENT) return;
  if (plat::SelectError(m.lParam) != 0) {
    WriteLog("Not find socket=%d (WSAGETSELECTERROR(lParam)==true)", 3, "", 0, s);
    return;
  }
  switch (plat::SelectEvent(m.lParam)) {
    case plat::FD_READ:
      WriteLog("Not find socket=%d (read)", 9, "", 0, s);
      break;
    case plat::FD_WRITE:
      WriteLog("Not find socket=%d (write)", 9, "", 0, s);
      break;
    case plat::FD_CLOSE:
      WriteLog("Not find socket=%d", 9, "", 0, s);
      break;
    default:
      break;
  }
}

void HandleControl(int control) {
  switch (control) {
    case plat::SERVICE_CONTROL_STOP:
      StopServer();
      break;
    case plat::SERVICE_CONTROL_PAUSE:
      PauseServer();
      break;
    case plat::SERVICE_CONTROL_CONTINUE:
      ContinueServer();
      break;
    case plat::SERVICE_CONTROL_INTERROGATE:
      break;
    default:
      WriteLog("Unknown opcode=%d", 11, "", 0, control);
      break;
  }
}

}  // namespace

void HandleWindowMessage(const plat::Message& m) {
  if (m.msg == WM_SOCKET_EVENT) {
    HandleSocketEvent(m);
  } else if (m.msg == WM_FLAP_READY) {
    plat::Socket s = static_cast<plat::Socket>(m.wParam);
    ClientInfo* found = nullptr;
    Guarded("Exception in ReadFLAP ", 0, "Uknown error. Socket=%d", s, &found, DumpAfterFlap,
            [&] { OnFlapReady(s, &found); });
  } else if (m.msg == WM_LOGIN_CHECK) {
    plat::Socket s = static_cast<plat::Socket>(m.wParam);
    ClientInfo* found = nullptr;
    Guarded("Exception in login check", 0, "Uknown error. Socket=%d", s, &found, nullptr, [&] { OnLoginCheck(s); });
  } else if (m.msg == WM_SERVICE_CONTROL) {
    HandleControl(static_cast<int>(m.wParam));
  } else if (m.msg == WM_OLM_FLUSHED) {
    OnOfflineStoresFlushed(m.wParam);
  } else if (m.msg == WM_SSI_WRITTEN) {
    SsiWriteDone(static_cast<uint32_t>(m.wParam), m.lParam != 0);
  }
}

void ServiceControl(int control) {
  // A reload request is a pause (which reloads vorn.ini) followed at once by a continue.
  if (control == plat::SERVICE_CONTROL_PARAMCHANGE) {
    PostServiceControl(plat::SERVICE_CONTROL_PAUSE);
    PostServiceControl(plat::SERVICE_CONTROL_CONTINUE);
    return;
  }
  PostServiceControl(control);
}

void ServerThread() {
  CloseLog();
  LoadConfiguration(ServerTablesHooks());
  WriteLog("\n\nVorn " VORN_VERSION " (BOS)", 11, "", 0);
  WriteLog("VornBOS start", 11, "", 0);
  if (!CheckDataFolders("VornBOS")) return;  // the service ends with a non-zero exit code
  RemoveStaleTemporaries();
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  static const ListenerTexts texts{"CreateWindow() failed with error=%d", "socket() failed with error=%d",
                                   "bind() failed with error=%d", "listen() failed with error=%d",
                                   "GetMessage() failed with error=%d", "VornBOS"};
  static const bool hooked = (AddRoundEndHook(CommitOfflineStoresAtRoundEnd), true);
  (void)hooked;
  bool ran = RunSocketServer(static_cast<uint16_t>(Cfg.BOS_Port), texts, HandleWindowMessage, listenSocket,
                             LogDroppedMessage);
  CommitOfflineStores();  // records of the last round reach the disk (their senders have gone)
  if (!ran) return;
  WaitForServerWork();
  WriteLog("VornBOS finish\n\n", 11, "", 0);
  CloseLog();
}
