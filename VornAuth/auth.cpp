#include "VornAuth/auth.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ctime>
#include <exception>
#include <unordered_map>

#include "VornAuth/auth_config.h"
#include "vorn_version.h"
#include "VornAuth/md5_login.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/service.h"
#include "server-core/startup_check.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/server_host.h"
#include "server-core/userdb.h"

uint32_t AnsweredIdleSeconds = 60;

namespace {

constexpr uint32_t WM_IDLE_CHECK = plat::WM_USER + 20;
constexpr uint32_t WM_LOGIN_CHECK = plat::WM_USER + 21;
constexpr uint8_t kRoastTable[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                     0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};
constexpr const char* kErrorUrl = "http://127.0.0.1/vorn/login-error.html";
const FlapDumpTitles kDumpTitles{"Recv head", "Recv data"};

std::unordered_map<plat::Socket, AuthClient> clients;
plat::Socket listenSocket = -1;

AuthClient* FindClient(plat::Socket s) {
  auto it = clients.find(s);
  return it == clients.end() ? nullptr : &it->second;
}

void CloseClient(AuthClient& c) {
  plat::Socket s = c.ClnSocket;
  FlushLog();  // the lines about this connection are in the file before its peer sees the close
  EventWindow->Close(s);
  clients.erase(s);
}

// The reply TLVs of the authorization server's own writer: 0x0006 carries the whole cookie.
std::vector<uint8_t> AcceptedReply(uint32_t uin, const std::vector<uint8_t>& cookie) {
  WireWriter w(300);
  PutTLV(w, 0x0001, {uin, nullptr, {}});
  PutTLV(w, 0x0005);
  w.be16(0x0006).be16(static_cast<uint16_t>(cookie.size())).bytes(cookie.data(), cookie.size());
  return std::move(w.buffer());
}

std::vector<uint8_t> RefusedReply(uint32_t uin) {
  WireWriter w(64);
  PutTLV(w, 0x0001, {uin, nullptr, {}});
  PutTLV(w, 0x0004, {0, nullptr, kErrorUrl});
  PutTLV(w, 0x0008, {0x0005, nullptr, {}});
  return std::move(w.buffer());
}

bool PasswordAccepted(AuthClient& c, bool parsed, const std::string& password) {
  if (!parsed) return false;
  std::string stored;
  bool locked = false;
  if (!ReadStoredPassword(c, stored, locked)) return false;
  bool ok = true;
  if (stored.empty()) {
    WriteLog("User pass not find", 11, c.addr.c_str(), c.UIN);
    ok = false;
  }
  if (stored != password) {
    WriteLog("User pass not eqvil", 9, c.addr.c_str(), c.UIN);
    ok = false;
  }
  // A locked user gets the same refusal as a wrong password.
  if (ok && locked) {
    WriteLog("User locked", 9, c.addr.c_str(), c.UIN);
    ok = false;
  }
  return ok;
}

void MarkAnswered(AuthClient& c) {
  c.step = 2;
  // An answered connection reads nothing more; without read events its client's close is
  // taken at once, with nothing left to look for in the socket.
  EventWindow->AsyncSelect(c.ClnSocket, WM_SOCKET_EVENT, plat::FD_WRITE | plat::FD_CLOSE);
  EventWindow->PostDelayedSocket(AnsweredIdleSeconds * 1000, WM_IDLE_CHECK, c.ClnSocket, 0);
}

void HandleLoginFrame(AuthClient& c) {
  uint32_t uin = 0;
  std::string password;
  bool parsed = ParseLoginFrame(c.in.data.data(), c.in.length, uin, password);
  c.UIN = uin;
  c.step = 2;
  bool accepted = PasswordAccepted(c, parsed, password);
  std::vector<uint8_t> cookie = accepted ? MakeCookie(uin) : std::vector<uint8_t>();
  if (!WriteCookieFile(c, cookie)) accepted = false;
  QueueFrame(c, 4, accepted ? AcceptedReply(uin, cookie) : RefusedReply(uin));
  WriteLog("User auth OK", 7, c.addr.c_str(), c.UIN);
  MarkAnswered(c);
}

// Closes a connection that has not been answered within [Main] LoginTimeout.
void OnLoginCheck(plat::Socket s) {
  AuthClient* c = FindClient(s);
  if (!c || c->step == 2) return;
  WriteLog("Login time-out socket=%d", 9, c->addr.c_str(), c->UIN, s);
  CloseClient(*c);
}

void OnAccept() {
  int err = 0;
  plat::Socket s = EventWindow->Accept(listenSocket, err);
  if (s < 0) {
    if (err != EAGAIN && err != EWOULDBLOCK) WriteLog("Socket failed with error=%d (Accept)", 11, "", 0, err);
    return;
  }
  AuthClient& c = clients[s];
  c.ClnSocket = s;
  c.Seq = FirstSequence();
  uint8_t a[4] = {0, 0, 0, 0};
  if (!EventWindow->PeerAddress(s, a)) WriteLog("Error getpeername", 11, "", 0);
  c.addr = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
  if (plat::ServiceState == plat::SERVICE_PAUSED) {
    WriteLog("VornAuth - paused. Connect ignored", 11, c.addr.c_str(), 0);
    CloseClient(c);
    return;
  }
  SendTemplate(c, HelloFrame(), MakeReqId(0).b);
  c.step = 1;
  WriteLog("Accept socket=%d", 6, c.addr.c_str(), 0, s);
  EventWindow->AsyncSelect(s, WM_SOCKET_EVENT, plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE);
  // Posted once the socket is registered, so that the check is dropped with this connection
  // and never reaches a later one on the same descriptor.
  EventWindow->PostDelayedSocket(Cfg.LoginTimeout * 1000, WM_LOGIN_CHECK, s, 0);
}

void OnRead(plat::Socket s) {
  AuthClient* c = FindClient(s);
  if (!c) {
    WriteLog("Not find socket", 11, "", 0);
    return;
  }
  // Every whole frame the read brought is handled in this event, in order, as long as the
  // connection is still in its reading step.
  c->onePass = true;
  c->socketEmpty = false;  // a read event: the socket may hold data again
  while (c->step == 1) {
    int err = 0;
    switch (RecvPiece(*c, kDumpTitles, err)) {
      case RecvStatus::BadStart:
        WriteLog("Bad FLAP", 11, c->addr.c_str(), c->UIN);
        CloseClient(*c);
        return;
      case RecvStatus::ZeroLength:
        c->in.waitBytes = 0;  // such a frame is never completed; nothing more is read
        return;
      case RecvStatus::HeadDone:
        continue;
      case RecvStatus::FrameDone:
        switch (HandleMd5Frame(*c)) {
          case Md5Step::NotMine: HandleLoginFrame(*c); break;
          case Md5Step::Answered: MarkAnswered(*c); break;
          case Md5Step::Continue: break;
          case Md5Step::Close: CloseClient(*c); break;
        }
        if (FindClient(s) != c) return;
        continue;
      default:
        return;
    }
  }
}

void OnWrite(plat::Socket s) {
  AuthClient* c = FindClient(s);
  if (!c) {
    WriteLog("Not find socket", 6, "", 0);
    return;
  }
  int err = 0;
  SendStatus st = SendPiece(*c, err);
  if (st == SendStatus::Failed && err != plat::kWouldBlock) {
    WriteLog("WSASend() failed with error ", 11, c->addr.c_str(), c->UIN);
    if (IsConnectionLost(err)) CloseClient(*c);
  } else if (st == SendStatus::FrameSent) {
    PopSentFrames(*c, [&](const FlapFrame& f) {
      if (f.length < kFlapHeader + 4) return;
      const int8_t* d = reinterpret_cast<const int8_t*>(f.data.data() + kFlapHeader);
      WriteLog("Send SNAK(0x%x 0x%x, 0x%x 0x%x)", 6, c->addr.c_str(), c->UIN, d[0], d[1], d[2], d[3]);
    });
  }
}

void OnClose(plat::Socket s, uint16_t error) {
  AuthClient* c = FindClient(s);
  if (error != 0) {
    WriteLog("Socket failed with error=%d", 11, c ? c->addr.c_str() : "", c ? c->UIN : 0, error);
    if (!c) WriteLog("Not find socket ", 6, "", 0);
  } else if (!c) {
    WriteLog("Not find socket", 6, "", 0);
  } else {
    WriteLog("User close socket", 6, c->addr.c_str(), c->UIN);
  }
  if (c) CloseClient(*c);
}

// Closes an answered connection that the client still holds open.
void OnIdleCheck(plat::Socket s) {
  AuthClient* c = FindClient(s);
  if (c && c->step == 2) CloseClient(*c);
}

void HandleSocketEvent(const plat::Message& m) {
  plat::Socket s = static_cast<plat::Socket>(m.wParam);
  uint16_t error = plat::SelectError(m.lParam);
  if (error != 0) return OnClose(s, error);
  switch (plat::SelectEvent(m.lParam)) {
    case plat::FD_ACCEPT: return OnAccept();
    case plat::FD_READ: return OnRead(s);
    case plat::FD_WRITE: return OnWrite(s);
    case plat::FD_CLOSE: return OnClose(s, 0);
    default: return;
  }
}

void HandleControl(int control) {
  switch (control) {
    case plat::SERVICE_CONTROL_STOP:
      plat::ServiceState = plat::SERVICE_STOPPED;
      WriteLog("VornAuth - stopped", 11, "", 0);
      EventWindow->PostQuit();
      break;
    case plat::SERVICE_CONTROL_PAUSE:
      plat::ServiceState = plat::SERVICE_PAUSED;
      WriteLog("VornAuth - pause", 11, "", 0);
      FlushLog();
      break;
    case plat::SERVICE_CONTROL_CONTINUE:
      plat::ServiceState = plat::SERVICE_RUNNING;
      WriteLog("VornAuth - continue", 11, "", 0);
      FlushLog();
      break;
    case plat::SERVICE_CONTROL_INTERROGATE:
      break;
    case plat::SERVICE_CONTROL_PARAMCHANGE: {
      // Reload (SIGHUP): the BOS address, log level and limits take effect for the next login;
      // the listening socket stays on the port it was bound to.
      int32_t listening = Cfg.Auth_Port;
      WriteLog("VornAuth - reload", 11, "", 0);
      LoadAuthConfiguration();
      if (Cfg.Auth_Port != listening) {
        WriteLog("Auth_Port %d takes effect at the next start; still listening on %d", 11, "", 0, Cfg.Auth_Port,
                 listening);
        Cfg.Auth_Port = listening;
      }
      FlushLog();
      break;
    }
    default:
      WriteLog("unknown opcode = %d", 11, "", 0, control);
      break;
  }
}

}  // namespace

std::string DeRoast(std::string_view roasted) {
  std::string out(roasted);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ kRoastTable[i % 16]);
  return out.substr(0, out.find('\0'));
}

// The number as atoi reads it: leading blanks, an optional sign, then digits (0 if none).
static uint32_t AtoiNumber(const std::string& text) {
  return static_cast<uint32_t>(static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10)));
}

bool ParseLoginFrame(const uint8_t* data, size_t len, uint32_t& uin, std::string& password) {
  WireReader r(data, len);
  r.skip(4);
  r.be16();
  std::string_view uinText = r.bytes(r.be16());
  r.be16();
  std::string_view roasted = r.bytes(r.be16());
  uin = AtoiNumber(std::string(uinText));
  if (!r.ok()) return false;
  password = DeRoast(roasted);
  return password.size() <= kMaxPassword;
}

bool TakeRandomBytes(uint8_t* out, size_t len) {
  static uint8_t reserve[4096];
  static size_t left = 0;
  while (len > 0) {
    if (left == 0) {
      if (!plat::RandomBytes(reserve, sizeof reserve)) return false;
      left = sizeof reserve;
    }
    size_t n = std::min(len, left);
    uint8_t* from = reserve + sizeof reserve - left;
    std::copy(from, from + n, out);
    std::fill(from, from + n, uint8_t{0});  // bytes handed out are not kept
    left -= n;
    out += n;
    len -= n;
  }
  return true;
}

std::vector<uint8_t> MakeCookie(uint32_t uin) {
  std::vector<uint8_t> cookie(kCookieSize);
  if (!TakeRandomBytes(cookie.data(), cookie.size()))
    for (auto& b : cookie) b = static_cast<uint8_t>(std::rand());
  cookie[33] = static_cast<uint8_t>(uin >> 24);
  cookie[97] = static_cast<uint8_t>(uin >> 8);
  cookie[125] = static_cast<uint8_t>(uin);
  cookie[159] = static_cast<uint8_t>(uin >> 16);
  return cookie;
}

bool ReadStoredPassword(AuthClient& c, std::string& password, bool& locked) {
  std::vector<std::optional<std::string>> v;
  int err = 0;
  if (!plat::ReadProfileStrings("Main", {"Pass", "Locked"}, UserFilePath(c.UIN), v, err)) {
    WriteLog("User file not readable (%s)", 11, c.addr.c_str(), c.UIN, std::strerror(err));
    return false;
  }
  password = v[0].value_or(std::string());
  if (password.size() > 299) password.resize(299);  // what the profile read of 300 characters gives
  locked = v[1].value_or(std::string()).starts_with('1');
  return true;
}

bool WriteCookieFile(AuthClient& c, const std::vector<uint8_t>& cookie) {
  std::string path = Cfg.cookieDir + std::to_string(static_cast<int32_t>(c.UIN));
  // A refusal empties the cookie of a user, so that one handed out earlier stops working; a
  // number nobody has gets no file at all.
  if (cookie.empty() && !plat::FileExists(UserFilePath(c.UIN)) && !plat::FileExists(path)) return true;
  // The file is rewritten in place under a lock that the session server's read takes too, so
  // it never reads half a cookie.
  if (plat::WriteRecordFileInPlace(path, cookie.data(), cookie.size(), 0600)) return true;
  WriteLog("Cannot create cookie", 11, c.addr.c_str(), c.UIN);
  WriteLog("Cookie write failed (%s)", 11, c.addr.c_str(), c.UIN, std::strerror(errno));
  return false;
}

void HandleAuthMessage(const plat::Message& m) {
  try {
    if (m.msg == WM_SOCKET_EVENT)
      HandleSocketEvent(m);
    else if (m.msg == WM_IDLE_CHECK)
      OnIdleCheck(static_cast<plat::Socket>(m.wParam));
    else if (m.msg == WM_LOGIN_CHECK)
      OnLoginCheck(static_cast<plat::Socket>(m.wParam));
    else if (m.msg == WM_SERVICE_CONTROL)
      HandleControl(static_cast<int>(m.wParam));
  } catch (...) {
    WriteLog("Uknown error", 11, "", 0);
  }
}

void AuthServerThread() {
  HexDumpBelowZero = true;  // this server dumps frames at every level of 0 or lower
  LoadAuthConfiguration();
  WriteLog("Vorn " VORN_VERSION " (Authorization) Tarn", 11, "", 0);
  WriteLog("VornAuth start", 11, "", 0);
  if (!CheckDataFolders("VornAuth")) return;  // the service ends with a non-zero exit code
  RemoveStaleTemporaries();
  // Cookie files are written as fixed-size records from here on; files from before (wider
  // rights, other contents) are brought in line first.
  for (const std::string& name : plat::NarrowRecordFiles(Cfg.cookieDir, kCookieSize))
    WriteLog("Cookie file %s%s narrowed", 11, "", 0, Cfg.cookieDir.c_str(), name.c_str());
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  static const ListenerTexts texts{"CreateWindow() failed with error", "socket() failed with error",
                                   "bind() failed with error", "listen() failed with error",
                                   "GetMessage() failed with error", "VornAuth",
                                   // one answer per request: nothing is ever written behind
                                   // unacknowledged data, so no write waits
                                   false};
  if (!RunSocketServer(static_cast<uint16_t>(Cfg.Auth_Port), texts, HandleAuthMessage, listenSocket)) return;
  clients.clear();
  WriteLog("VornAuth finish\n\n", 11, "", 0);
  FlushLog();
  CloseLog();
}

void AuthControl(int control) { PostServiceControl(control); }
