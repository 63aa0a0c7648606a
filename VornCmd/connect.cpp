#include "VornCmd/connect.h"

#include <cerrno>

namespace vorn::cmd {
namespace {

// The platform call makes the socket and connects in one go; these are the errors only
// the making of a socket reports (out of descriptors or memory, no IPv4/TCP support).
bool IsSocketCreationError(int err) {
  switch (err) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
      return true;
    default:
      return false;
  }
}

}  // namespace

Connection OpenConnection(uint32_t addrNet, uint16_t port) {
  Connection c;
  int err = 0;
  c.socket = plat::TcpConnect(addrNet, port, -1, err);
  if (c.socket == plat::kInvalidSocket) {
    c.error = err;
    c.step = IsSocketCreationError(err) ? ConnectStep::SocketFailed : ConnectStep::ConnectFailed;
  }
  return c;
}

}  // namespace vorn::cmd
