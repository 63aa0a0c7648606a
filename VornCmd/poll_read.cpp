#include "VornCmd/poll_read.h"

#include <algorithm>

#include "platform/clock.h"

namespace vorn::cmd {

PollReadResult ReadByPolling(plat::Socket s, uint8_t* buf, size_t want, uint32_t intervalMs) {
  PollReadResult r;
  size_t emptyPolls = 0;
  while (r.got < want) {
    const long waiting = plat::BytesAvailable(s);
    if (waiting < 0) {
      r.queryFailed = true;
      break;
    }
    if (waiting == 0) {
      plat::SleepMs(intervalMs);
      if (++emptyPolls > want) break;
      continue;
    }
    const size_t ask = std::min(static_cast<size_t>(waiting), want - r.got);
    int err = 0;
    const long n = plat::Recv(s, buf + r.got, ask, err);
    if (n <= 0) break;  // the connection failed under us: nothing more will come
    r.got += static_cast<size_t>(n);
  }
  return r;
}

}  // namespace vorn::cmd
