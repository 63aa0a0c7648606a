// Blocking TCP client sockets and name resolution, for the programs that talk to a
// server one exchange at a time (the mailer thread and the command clients).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

using Socket = int;
constexpr Socket kInvalidSocket = -1;

// Dotted address first, then a host-name lookup. The address comes back in network order.
bool ResolveHostV4(const std::string& host, uint32_t& addrNet);
// Service name ("smtp", "http") to a TCP port in host order.
bool ResolveServicePort(const std::string& name, uint16_t& port);

// Connects a blocking socket; timeoutMs < 0 waits as long as the system does. With a
// time-out, later sends also give up after that long.
Socket TcpConnect(uint32_t addrNet, uint16_t port, int timeoutMs, int& err);
// Sends everything or fails; returns bytes sent or -1 with err set.
long SendAll(Socket s, const void* data, size_t len, int& err);
// One receive call; returns bytes read, 0 when the peer closed, -1 with err set.
long Recv(Socket s, void* buf, size_t len, int& err);
// 1 when data (or a close) is waiting, 0 on time-out, -1 on error (err set).
int WaitReadable(Socket s, int timeoutMs, int& err);
// Bytes waiting to be read without blocking, or -1.
long BytesAvailable(Socket s);
void CloseSocket(Socket s);

// The last system error number of the calling thread and its text.
int LastError();
std::string ErrorText(int err);

// This computer's name.
std::string HostName();

}  // namespace plat
