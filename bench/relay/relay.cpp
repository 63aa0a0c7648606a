// relay: the yardstick for message routing. A bare single-threaded epoll program that forwards
// the bytes of each connection to its partner connection, with no protocol work. Connections
// pair up by the 4-byte number in the data of their first frame (a 10-byte FLAP frame); after
// that every byte read from one is written to the other, unchanged.
// Usage: relay PORT
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../common/epoll_server.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kPairFrame = 10;

struct Peer {
  int fd = -1;
  int partner = -1;
  uint8_t head[kPairFrame];
  size_t headGot = 0;
  std::vector<uint8_t> pending;  // bytes for this connection that it could not take yet
  size_t pendingOff = 0;
};

std::vector<Peer> peers;
std::unordered_map<uint32_t, int> waiting;  // pair number -> the connection that came first

Peer& At(int fd) {
  if (static_cast<size_t>(fd) >= peers.size()) peers.resize(static_cast<size_t>(fd) + 1024);
  return peers[static_cast<size_t>(fd)];
}

// Writes to fd what it can; the rest waits in its pending buffer for EPOLLOUT.
void Deliver(int fd, const uint8_t* data, size_t len) {
  Peer& p = At(fd);
  if (p.pending.size() == p.pendingOff) {
    while (len > 0) {
      ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      data += n;
      len -= static_cast<size_t>(n);
    }
  }
  if (len > 0) p.pending.insert(p.pending.end(), data, data + len);
}

void FlushPending(int fd) {
  Peer& p = At(fd);
  while (p.pendingOff < p.pending.size()) {
    ssize_t n = send(fd, p.pending.data() + p.pendingOff, p.pending.size() - p.pendingOff, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p.pendingOff += static_cast<size_t>(n);
  }
  p.pending.clear();
  p.pendingOff = 0;
}

void Drop(int ep, int fd) {
  Peer& p = At(fd);
  epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
  if (p.partner >= 0) At(p.partner).partner = -1;
  for (auto it = waiting.begin(); it != waiting.end(); ++it)
    if (it->second == fd) {
      waiting.erase(it);
      break;
    }
  p = Peer{};
}

void Readable(int ep, int fd) {
  static uint8_t buf[65536];
  for (;;) {
    Peer& p = At(fd);
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno != EAGAIN)) return Drop(ep, fd);
    if (n < 0) return;
    const uint8_t* data = buf;
    size_t len = static_cast<size_t>(n);
    if (p.headGot < kPairFrame) {
      size_t take = std::min(len, kPairFrame - p.headGot);
      std::copy(data, data + take, p.head + p.headGot);
      p.headGot += take;
      data += take;
      len -= take;
      if (p.headGot == kPairFrame) {
        uint32_t id = (uint32_t(p.head[6]) << 24) | (uint32_t(p.head[7]) << 16) | (uint32_t(p.head[8]) << 8) | p.head[9];
        auto it = waiting.find(id);
        if (it == waiting.end()) {
          waiting[id] = fd;
        } else {
          p.partner = it->second;
          At(it->second).partner = fd;
          waiting.erase(it);
        }
      }
    }
    if (len > 0 && p.partner >= 0) Deliver(p.partner, data, len);
    if (static_cast<size_t>(n) < sizeof buf) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: relay PORT\n");
    return 2;
  }
  return bench::RunEpollServer(
      "relay", static_cast<uint16_t>(std::atoi(argv[1])),
      [](int c) {
        At(c) = Peer{};
        At(c).fd = c;
      },
      [](int ep, int fd, uint32_t events) {
        if (At(fd).fd < 0) return;
        if (events & EPOLLOUT) FlushPending(fd);
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) Readable(ep, fd);
      },
      [] {});
}
