// router: the floor for message routing. A single-threaded epoll program that does what a
// session server must do for a channel-1 message and nothing else: it cuts each connection's
// byte stream into FLAP frames, parses the message request (SNAC 04/06), looks the recipient up,
// builds the incoming-message frame (SNAC 04/07) the session server sends, stamped with the
// recipient connection's own sequence counter, into the recipient's output buffer, and writes
// each output buffer with one send at the end of the event batch. No log.
// A connection names its number in the data of its first frame (channel 1, 4 bytes, big-endian).
// Usage: router PORT
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../common/epoll_server.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

struct Conn {
  int fd = -1;
  uint32_t uin = 0;
  uint16_t seq = 0;
  char uinText[12] = {};
  uint8_t uinLen = 0;
  std::vector<uint8_t> in;   // bytes not yet cut into frames
  std::vector<uint8_t> out;  // frames waiting to be written
  size_t outOff = 0;
  bool dirty = false;
};

std::vector<Conn> conns;
std::unordered_map<uint32_t, int> byUin;
std::vector<int> dirty;
uint32_t reqId = 0;

Conn& At(int fd) {
  if (static_cast<size_t>(fd) >= conns.size()) conns.resize(static_cast<size_t>(fd) + 1024);
  return conns[static_cast<size_t>(fd)];
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint8_t* Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
  return p + 2;
}
uint8_t* Put32(uint8_t* p, uint32_t v) { return Put16(Put16(p, static_cast<uint16_t>(v >> 16)), static_cast<uint16_t>(v)); }

void Flush(Conn& c) {
  while (c.outOff < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the rest goes when EPOLLOUT comes
    }
    c.outOff += static_cast<size_t>(n);
  }
  c.out.clear();
  c.outOff = 0;
}

// One 04/06 from sender: the same 04/07 the session server builds, for a connected recipient.
void Route(Conn& sender, const uint8_t* d, size_t n) {
  if (n < 21 || Be16(d) != 4 || Be16(d + 2) != 6) return;
  size_t tl = d[20];
  if (21 + tl + 4 > n) return;
  uint32_t to = 0;
  for (size_t i = 0; i < tl; ++i) to = to * 10 + static_cast<uint32_t>(d[21 + i] - '0');
  const uint8_t* tlv = d + 21 + tl;
  size_t tlvLen = 4 + Be16(tlv + 2);
  if (21 + tl + tlvLen > n) return;
  auto it = byUin.find(to);
  if (it == byUin.end()) return;
  Conn& r = At(it->second);
  size_t frameLen = 6 + 10 + 10 + 1 + sender.uinLen + 4 + 6 + 8 + 8 + 8 + tlvLen;
  size_t at = r.out.size();
  r.out.resize(at + frameLen);
  uint8_t* p = r.out.data() + at;
  *p++ = 0x2A;
  *p++ = 2;
  p = Put16(p, r.seq++);
  p = Put16(p, static_cast<uint16_t>(frameLen - 6));
  p = Put16(Put16(Put16(p, 4), 7), 0);
  p = Put32(p, ++reqId);
  std::memcpy(p, d + 10, 10);
  p += 10;
  *p++ = sender.uinLen;
  std::memcpy(p, sender.uinText, sender.uinLen);
  p += sender.uinLen;
  p = Put16(Put16(p, 0), 4);
  p = Put16(Put16(Put16(p, 1), 2), 0x50);
  p = Put32(Put16(Put16(p, 6), 4), 0);
  p = Put32(Put16(Put16(p, 0x0F), 4), 0x42E0);
  p = Put32(Put16(Put16(p, 3), 4), 0x3E375BD7);
  std::memcpy(p, tlv, tlvLen);
  if (!r.dirty) {
    r.dirty = true;
    dirty.push_back(r.fd);
  }
}

void Drop(int fd) {
  Conn& c = At(fd);
  close(fd);
  if (c.uin) byUin.erase(c.uin);
  c = Conn{};
}

void Readable(int fd) {
  static uint8_t buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno != EAGAIN)) return Drop(fd);
    if (n < 0) return;
    Conn& c = At(fd);
    const uint8_t* data = buf;
    size_t len = static_cast<size_t>(n);
    if (!c.in.empty()) {
      c.in.insert(c.in.end(), buf, buf + n);
      data = c.in.data();
      len = c.in.size();
    }
    size_t pos = 0;
    while (len - pos >= 6) {
      size_t flen = Be16(data + pos + 4);
      if (len - pos < 6 + flen) break;
      const uint8_t* f = data + pos;
      if (f[1] == 2) {
        Route(c, f + 6, flen);
      } else if (f[1] == 1 && flen == 4 && c.uin == 0) {
        c.uin = (uint32_t(f[6]) << 24) | (uint32_t(f[7]) << 16) | (uint32_t(f[8]) << 8) | f[9];
        c.uinLen = static_cast<uint8_t>(std::snprintf(c.uinText, sizeof c.uinText, "%u", c.uin));
        byUin[c.uin] = fd;
      }
      pos += 6 + flen;
    }
    if (c.in.empty()) {
      c.in.assign(data + pos, data + len);
    } else {
      c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(pos));
    }
    if (static_cast<size_t>(n) < sizeof buf) return;  // drained: the next edge brings more
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: router PORT\n");
    return 2;
  }
  return bench::RunEpollServer(
      "router", static_cast<uint16_t>(std::atoi(argv[1])),
      [](int c) {
        At(c) = Conn{};
        At(c).fd = c;
      },
      [](int ep, int fd, uint32_t events) {
        (void)ep;
        if (At(fd).fd < 0) return;
        if (events & EPOLLOUT) Flush(At(fd));
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) Readable(fd);
      },
      [] {
        // One send per connection that got frames in this batch.
        for (int fd : dirty) {
          Conn& c = At(fd);
          c.dirty = false;
          if (c.fd >= 0) Flush(c);
        }
        dirty.clear();
      });
}
