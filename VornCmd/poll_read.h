// Reading a fixed number of bytes from a blocking socket by polling how many are waiting,
// so that a silent server costs a bounded wait instead of a hung client.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace vorn::cmd {

constexpr uint32_t kHelloPollMs = 100;
constexpr uint32_t kReplyPollMs = 300;

struct PollReadResult {
  size_t got = 0;            // bytes placed in the buffer
  bool queryFailed = false;  // asking the socket for waiting bytes failed
};

// Reads up to `want` bytes into `buf`. Each empty poll sleeps `intervalMs`; the read gives
// up once the empty polls outnumber the bytes wanted, or when the socket cannot be asked.
PollReadResult ReadByPolling(plat::Socket s, uint8_t* buf, size_t want, uint32_t intervalMs);

}  // namespace vorn::cmd
