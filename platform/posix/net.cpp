#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {

bool ResolveHostV4(const std::string& host, uint32_t& addrNet) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
    addrNet = a.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
  addrNet = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

bool ResolveServicePort(const std::string& name, uint16_t& port) {
  servent buf{};
  servent* se = nullptr;
  char tmp[1024];
  if (getservbyname_r(name.c_str(), "tcp", &buf, tmp, sizeof tmp, &se) != 0 || se == nullptr)
    return false;
  port = ntohs(static_cast<uint16_t>(se->s_port));
  return true;
}

Socket TcpConnect(uint32_t addrNet, uint16_t port, int timeoutMs, int& err) {
  Socket s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    err = errno;
    return kInvalidSocket;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addrNet;
  if (timeoutMs < 0) {
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      err = errno;
      ::close(s);
      return kInvalidSocket;
    }
    return s;
  }
  int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{s, POLLOUT, 0};
    rc = ::poll(&p, 1, timeoutMs);
    if (rc == 0) {
      errno = ETIMEDOUT;
      rc = -1;
    } else if (rc > 0) {
      int soErr = 0;
      socklen_t l = sizeof soErr;
      getsockopt(s, SOL_SOCKET, SO_ERROR, &soErr, &l);
      errno = soErr;
      rc = soErr == 0 ? 0 : -1;
    }
  }
  if (rc != 0) {
    err = errno;
    ::close(s);
    return kInvalidSocket;
  }
  fcntl(s, F_SETFL, flags);
  // A peer that stops reading cannot hold a send longer than the connect time-out.
  timeval tv{timeoutMs / 1000, static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return s;
}

long SendAll(Socket s, const void* data, size_t len, int& err) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::send(s, p + done, len - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

long Recv(Socket s, void* buf, size_t len, int& err) {
  for (;;) {
    ssize_t n = ::recv(s, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    return static_cast<long>(n);
  }
}

int WaitReadable(Socket s, int timeoutMs, int& err) {
  pollfd p{s, POLLIN, 0};
  for (;;) {
    int rc = ::poll(&p, 1, timeoutMs);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) {
      err = errno;
      return -1;
    }
    return rc > 0 ? 1 : 0;
  }
}

long BytesAvailable(Socket s) {
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0) return -1;
  return n;
}

void CloseSocket(Socket s) {
  if (s >= 0) ::close(s);
}

int LastError() { return errno; }

std::string ErrorText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be in buf.
  return std::string(strerror_r(err, buf, sizeof buf));
}

std::string HostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

}  // namespace plat
