// A stand-in for VornBOS on 127.0.0.1 for command-client tests: greets every connection
// with the 10-byte hello, records all bytes it receives and answers a status request with
// whatever the test chooses. Connections are served one after the other on one thread.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "VornCmd/cmd_frames.h"

namespace vorn::test {

using Bytes = std::vector<uint8_t>;

class FakeBos {
 public:
  // The bytes to answer a status request for `uin` with (empty: answer nothing).
  using ReplyFn = std::function<Bytes(uint32_t uin)>;

  explicit FakeBos(ReplyFn reply = OfflineReply);
  ~FakeBos();
  FakeBos(const FakeBos&) = delete;
  FakeBos& operator=(const FakeBos&) = delete;

  uint16_t Port() const { return port_; }
  // Waits until `count` connections have been closed by the client; false on time-out.
  bool WaitForConnections(size_t count, int timeoutMs = 15000);
  // What each finished connection received, in order of arrival.
  std::vector<Bytes> Received();
  size_t Accepted() const { return accepted_; }

  // Replies for tests: nobody online, or one user with the given details.
  static Bytes OfflineReply(uint32_t uin);
  static Bytes ReplyFor(const cmd::StatusInfo& info);

 private:
  void Serve();
  void ServeConnection(int fd);

  ReplyFn reply_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Bytes> received_;
  std::thread thread_;
};

// A TCP port on 127.0.0.1 where nothing listens (bound, then released).
uint16_t UnusedPort();

// The status of a user who is online, as the tests' fake server reports it.
cmd::StatusInfo OnlineUser();

}  // namespace vorn::test
