// The load generator's connections: non-blocking sockets on one epoll set, each cutting its
// byte stream into FLAP frames and handing every whole frame to the scenario.
#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/vornload/frames.h"

namespace vl {

struct Conn {
  int fd = -1;
  int index = 0;  // the client's number in the run
  Bytes in;       // received bytes not yet cut into frames
  Bytes out;      // bytes waiting to be written
  size_t outOff = 0;
  bool connected = false;
  uint32_t gen = 0;  // changes at every connect and close
  bool dirty = false;  // has bytes queued since the last flush
};

class Engine {
 public:
  using FrameHandler = std::function<void(Conn&, uint8_t channel, const uint8_t* data, size_t len)>;
  using ClosedHandler = std::function<void(Conn&)>;

  // sources: how many loopback source addresses (127.0.0.1 up) connections are spread over.
  Engine(int sources, FrameHandler onFrame, ClosedHandler onClosed);
  ~Engine();

  // Starts a non-blocking connection; false when no source address has a port left.
  bool Connect(Conn& c, const sockaddr_in& to);
  void Close(Conn& c);
  // Writes what it can now; the rest goes out when the socket takes more.
  void Flush(Conn& c);
  // Writes at the end of the current event batch, so that the messages queued for one
  // connection while a batch is handled go out in one call.
  void FlushLater(Conn& c);
  // Handles the events of at most timeoutMs milliseconds.
  void Poll(int timeoutMs);
  size_t open() const { return open_; }

 private:
  void Readable(Conn& c);

  std::vector<Conn*> dirty_;
  int ep_ = -1;
  int sources_ = 1;
  int nextSource_ = 0;
  size_t open_ = 0;
  FrameHandler onFrame_;
  ClosedHandler onClosed_;
};

sockaddr_in Loopback(uint16_t port, const std::string& host = "127.0.0.1");
uint64_t NowNs();

}  // namespace vl
