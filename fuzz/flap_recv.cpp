// The FLAP receive state machine fed through a real socket in random pieces: every header
// and data part must be taken exactly, whatever the split, and never written past.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "server-core/flap.h"
#include "server-core/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LogLevel = 20;  // no log file
  // A loop of its own per input: nothing runs it here, so the events the receive step posts
  // would otherwise pile up from one input to the next.
  plat::EventLoop loop;
  EventWindow = &loop;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) return 0;
  FlapConn c;
  c.ClnSocket = fds[0];
  const FlapDumpTitles titles{"h", "d"};
  size_t pos = 0;
  bool stop = false;
  while (pos < size && !stop) {
    size_t piece = std::min<size_t>(1 + data[pos] % 64, size - pos - 1);
    ++pos;
    if (piece && ::write(fds[1], data + pos, piece) != static_cast<ssize_t>(piece)) break;
    pos += piece;
    for (int guard = 0; guard < 256 && !stop; ++guard) {
      int err = 0;
      RecvStatus st = RecvPiece(c, titles, err);
      if (st == RecvStatus::HeadDone) {
        if (c.in.data.size() != c.in.length || c.in.waitBytes != c.in.length) std::abort();
      } else if (st == RecvStatus::FrameDone) {
        if (c.in.waitBytes != 0 || !c.in.isWaitHead) std::abort();
        c.in.waitBytes = kFlapHeader;  // what ReadFLAP does once the frame is handled
      } else if (st == RecvStatus::ZeroLength) {
        if (c.in.channel() != 5) stop = true;
        c.in.waitBytes = kFlapHeader;
        c.in.isWaitHead = true;
      } else if (st == RecvStatus::BadStart) {
        stop = true;
      } else if (st != RecvStatus::Partial) {
        break;
      }
    }
  }
  ::close(fds[0]);
  ::close(fds[1]);
  EventWindow = nullptr;
  return 0;
}
