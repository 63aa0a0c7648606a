#include "bench/vornload/engine.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vl {

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

sockaddr_in Loopback(uint16_t port, const std::string& host) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
  return sa;
}

Engine::Engine(int sources, FrameHandler onFrame, ClosedHandler onClosed)
    : sources_(sources < 1 ? 1 : sources > 250 ? 250 : sources),
      onFrame_(std::move(onFrame)),
      onClosed_(std::move(onClosed)) {
  ep_ = epoll_create1(EPOLL_CLOEXEC);
}

Engine::~Engine() {
  if (ep_ >= 0) close(ep_);
}

bool Engine::Connect(Conn& c, const sockaddr_in& to) {
  // Each source address has its own range of ports; when one is used up the next takes over.
  for (int tries = 0; tries < sources_; ++tries) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (sources_ > 1) {
      setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
      sockaddr_in src{};
      src.sin_family = AF_INET;
      src.sin_addr.s_addr = htonl(0x7F000001u + static_cast<uint32_t>(nextSource_));
      nextSource_ = (nextSource_ + 1) % sources_;
      if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
        close(fd);
        continue;
      }
    }
    int r = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (r != 0 && errno != EINPROGRESS) {
      close(fd);
      if (errno == EADDRNOTAVAIL || errno == EADDRINUSE) continue;
      return false;
    }
    c.fd = fd;
    c.in.clear();
    c.out.clear();
    c.outOff = 0;
    c.connected = false;
    ++c.gen;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = &c;
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
    ++open_;
    return true;
  }
  return false;
}

void Engine::Close(Conn& c) {
  if (c.fd < 0) return;
  epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
  close(c.fd);
  c.fd = -1;
  c.connected = false;
  ++c.gen;
  --open_;
}

void Engine::Flush(Conn& c) {
  if (c.fd < 0 || !c.connected) return;
  while (c.outOff < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // would block (EPOLLOUT follows) or failed (the close event follows)
    }
    c.outOff += static_cast<size_t>(n);
  }
  c.out.clear();
  c.outOff = 0;
}

void Engine::FlushLater(Conn& c) {
  if (c.dirty) return;
  c.dirty = true;
  dirty_.push_back(&c);
}

void Engine::Readable(Conn& c) {
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        Close(c);
        onClosed_(c);
      }
      break;
    }
    c.in.insert(c.in.end(), buf, buf + n);
    size_t p = 0;
    while (c.in.size() - p >= 6) {
      size_t len = Be16(&c.in[p + 4]);
      if (c.in.size() - p < 6 + len) break;
      uint32_t gen = c.gen;
      onFrame_(c, c.in[p + 1], c.in.data() + p + 6, len);
      if (c.gen != gen) return;  // the handler closed or replaced the connection
      p += 6 + len;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(p));
    if (static_cast<size_t>(n) < sizeof buf) break;
  }
}

void Engine::Poll(int timeoutMs) {
  epoll_event events[512];
  int n = epoll_wait(ep_, events, 512, timeoutMs);
  for (int i = 0; i < n; ++i) {
    Conn& c = *static_cast<Conn*>(events[i].data.ptr);
    if (c.fd < 0) continue;
    uint32_t ev = events[i].events;
    if (ev & EPOLLERR) {
      Close(c);
      onClosed_(c);
      continue;
    }
    if (ev & EPOLLOUT) {
      c.connected = true;
      Flush(c);
    }
    if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) Readable(c);
  }
  std::vector<Conn*> dirty;
  dirty.swap(dirty_);
  for (Conn* c : dirty) {
    c->dirty = false;
    Flush(*c);
  }
}

}  // namespace vl
