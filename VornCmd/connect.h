// Opening the command connection to VornBOS, telling a socket that could not be made
// from a connection that failed.
#pragma once
#include <cstdint>

#include "platform/net.h"

namespace vorn::cmd {

enum class ConnectStep { Done, SocketFailed, ConnectFailed };

struct Connection {
  plat::Socket socket = plat::kInvalidSocket;
  ConnectStep step = ConnectStep::Done;
  int error = 0;  // system error number of the failed step
};

// A blocking connect to an IPv4 address (network order) and a port (host order).
Connection OpenConnection(uint32_t addrNet, uint16_t port);

}  // namespace vorn::cmd
