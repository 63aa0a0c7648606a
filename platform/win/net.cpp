#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

namespace plat {

namespace {
// Winsock is started once for the blocking clients of this process.
struct WinsockUser {
  bool ok;
  WinsockUser() {
    WSADATA wsa;
    ok = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  }
  ~WinsockUser() {
    if (ok) WSACleanup();
  }
};
void EnsureWinsock() { static WinsockUser user; }
}  // namespace

bool ResolveHostV4(const std::string& host, uint32_t& addrNet) {
  EnsureWinsock();
  unsigned long a = inet_addr(host.c_str());
  if (a != INADDR_NONE || host == "255.255.255.255") {
    addrNet = a;
    return true;
  }
  hostent* he = gethostbyname(host.c_str());
  if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr) return false;
  std::memcpy(&addrNet, he->h_addr_list[0], 4);
  return true;
}

bool ResolveServicePort(const std::string& name, uint16_t& port) {
  EnsureWinsock();
  servent* se = getservbyname(name.c_str(), "tcp");
  if (se == nullptr) return false;
  port = ntohs(static_cast<uint16_t>(se->s_port));
  return true;
}

Socket TcpConnect(uint32_t addrNet, uint16_t port, int timeoutMs, int& err) {
  EnsureWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    err = WSAGetLastError();
    return kInvalidSocket;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addrNet;
  int rc;
  if (timeoutMs < 0) {
    rc = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } else {
    u_long nb = 1;
    ioctlsocket(s, FIONBIO, &nb);
    rc = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
      fd_set wr, ex;
      FD_ZERO(&wr);
      FD_ZERO(&ex);
      FD_SET(s, &wr);
      FD_SET(s, &ex);
      timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      rc = ::select(0, nullptr, &wr, &ex, &tv);
      if (rc == 0) {
        WSASetLastError(WSAETIMEDOUT);
        rc = -1;
      } else if (rc > 0) {
        int soErr = 0;
        int l = sizeof soErr;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &l);
        if (FD_ISSET(s, &ex) && soErr == 0) soErr = WSAECONNREFUSED;
        WSASetLastError(soErr);
        rc = soErr == 0 ? 0 : -1;
      }
    }
    nb = 0;
    if (rc == 0) {
      ioctlsocket(s, FIONBIO, &nb);
      DWORD ms = static_cast<DWORD>(timeoutMs);
      setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    }
  }
  if (rc != 0) {
    err = WSAGetLastError();
    closesocket(s);
    return kInvalidSocket;
  }
  return static_cast<Socket>(s);
}

long SendAll(Socket s, const void* data, size_t len, int& err) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    int n = ::send(static_cast<SOCKET>(s), p + done, static_cast<int>(len - done), 0);
    if (n == SOCKET_ERROR) {
      err = WSAGetLastError();
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

long Recv(Socket s, void* buf, size_t len, int& err) {
  int n = ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), static_cast<int>(len), 0);
  if (n == SOCKET_ERROR) {
    err = WSAGetLastError();
    return -1;
  }
  return n;
}

int WaitReadable(Socket s, int timeoutMs, int& err) {
  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(static_cast<SOCKET>(s), &rd);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int rc = ::select(0, &rd, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
  if (rc == SOCKET_ERROR) {
    err = WSAGetLastError();
    return -1;
  }
  return rc > 0 ? 1 : 0;
}

long BytesAvailable(Socket s) {
  u_long n = 0;
  if (ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &n) != 0) return -1;
  return static_cast<long>(n);
}

void CloseSocket(Socket s) {
  if (s != kInvalidSocket) closesocket(static_cast<SOCKET>(s));
}

int LastError() { return static_cast<int>(GetLastError()); }

std::string ErrorText(int err) {
  char buf[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(err), 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) buf[--n] = '\0';
  if (n == 0) return "error " + std::to_string(err);
  return std::string(buf, n);
}

std::string HostName() {
  char buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof buf;
  if (!GetComputerNameA(buf, &n)) return "localhost";
  return std::string(buf, n);
}

}  // namespace plat
