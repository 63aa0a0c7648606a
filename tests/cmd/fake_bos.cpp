#include "tests/cmd/fake_bos.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace vorn::test {
namespace {

constexpr uint8_t kHello[10] = {0x2A, 0x01, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01};
constexpr int kConnectionLimitMs = 20000;  // a client that never closes is dropped after this
constexpr int kPollMs = 20;

int ListenLoopback(uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("listen");
  }
  port = ntohs(sa.sin_port);
  return fd;
}

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kPollMs) > 0;
}

// The queried number when `data` starts with a whole status request frame.
bool StatusRequestIn(const Bytes& data, uint32_t& uin) {
  if (data.size() < cmd::kStatusRequestSize) return false;
  if (data[0] != 0x2A || data[7] != 0x01 || data[9] != 0x0E) return false;
  uin = data[12] | (data[13] << 8) | (data[14] << 16) | (uint32_t{data[15]} << 24);
  return true;
}

}  // namespace

FakeBos::FakeBos(ReplyFn reply) : reply_(std::move(reply)) {
  listenFd_ = ListenLoopback(port_);
  thread_ = std::thread([this] { Serve(); });
}

FakeBos::~FakeBos() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

void FakeBos::Serve() {
  while (!stop_) {
    if (!WaitReadable(listenFd_)) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    ServeConnection(fd);
    ::close(fd);
  }
}

void FakeBos::ServeConnection(int fd) {
  ::send(fd, kHello, sizeof kHello, MSG_NOSIGNAL);
  Bytes got;
  bool answered = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectionLimitMs);
  while (!stop_ && std::chrono::steady_clock::now() < deadline) {
    if (!WaitReadable(fd)) continue;
    uint8_t buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
    uint32_t uin = 0;
    if (!answered && StatusRequestIn(got, uin)) {
      answered = true;
      const Bytes reply = reply_(uin);
      if (!reply.empty()) ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  received_.push_back(std::move(got));
  cv_.notify_all();
}

bool FakeBos::WaitForConnections(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return received_.size() >= count; });
}

std::vector<Bytes> FakeBos::Received() {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

Bytes FakeBos::OfflineReply(uint32_t) { return ReplyFor(cmd::StatusInfo{}); }

Bytes FakeBos::ReplyFor(const cmd::StatusInfo& info) {
  const cmd::StatusReplyBytes r = cmd::BuildStatusReply(info);
  return Bytes(r.begin(), r.end());
}

uint16_t UnusedPort() {
  uint16_t port = 0;
  ::close(ListenLoopback(port));
  return port;
}

cmd::StatusInfo OnlineUser() {
  cmd::StatusInfo info;
  info.ipExt = {192, 168, 0, 1};
  info.ipInt = {10, 1, 2, 3};
  info.port = 4000;
  info.flags = 0x1001;
  info.status = 0x0010;
  return info;
}

}  // namespace vorn::test
