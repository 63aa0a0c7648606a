// send: messages for the running VornBOS, through the command protocol on the loopback address.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "VornCmd/cmd_frames.h"
#include "platform/net.h"
#include "vornadmin/admin.h"
#include "vornadmin/datafolder.h"
#include "vornadmin/output.h"

namespace vornadmin {

namespace {

constexpr int kTimeoutMs = 3000;
constexpr size_t kRecordSize = 18;

uint16_t BosPort(Context& ctx) {
  std::string text = ctx.args.Get("--port").value_or(
      ReadValue(ctx.data + "vorn.ini", "Main", "BOS_Port").value_or("5191"));
  long long port = plat::AtoI(text);
  if (port <= 0 || port > 65535) throw UsageError("'" + text + "' is not a port");
  return static_cast<uint16_t>(port);
}

class Link {
 public:
  explicit Link(uint16_t port) : port_(port) {
    int err = 0;
    uint32_t loopback = 0;
    plat::ResolveHostV4("127.0.0.1", loopback);
    s_ = plat::TcpConnect(loopback, port, kTimeoutMs, err);
    if (s_ == plat::kInvalidSocket)
      throw Failure("cannot reach VornBOS on 127.0.0.1:" + std::to_string(port) + ": " + plat::ErrorText(err));
    uint8_t hello[vorn::cmd::kHelloSize];
    if (!ReadExact(hello, sizeof hello)) throw Failure(Where() + " sent no hello frame");
  }
  ~Link() { plat::CloseSocket(s_); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  void Send(const uint8_t* data, size_t len) {
    int err = 0;
    if (plat::SendAll(s_, data, len, err) < 0) throw Failure("sending to " + Where() + " failed: " + plat::ErrorText(err));
  }
  bool ReadExact(uint8_t* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
      int err = 0;
      if (plat::WaitReadable(s_, kTimeoutMs, err) != 1) return false;
      long n = plat::Recv(s_, buf + got, len - got, err);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
  // True when the server closes the connection within the time (a refused command frame).
  bool ClosedWithin(int ms) {
    int err = 0;
    if (plat::WaitReadable(s_, ms, err) != 1) return false;
    uint8_t b;
    return plat::Recv(s_, &b, 1, err) <= 0;
  }
  std::string Where() const { return "VornBOS on 127.0.0.1:" + std::to_string(port_); }
  std::string Refused() const {
    return Where() + " closed the connection: 127.0.0.1 is not in [Main] CmdAllow of vorn.ini";
  }

 private:
  uint16_t port_;
  plat::Socket s_ = plat::kInvalidSocket;
};

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

void SendCommand(Context& ctx, const std::vector<std::string>& words) {
  NeedWords(words, 3, 3, "send FROM TO TEXT [--port PORT]");
  AllowOptions(ctx, {"--port"});
  uint32_t from = ParseUin(words[0], "sender number");
  uint32_t to = ParseUin(words[1], "recipient number");
  if (words[2].empty()) throw UsageError("the message text is empty");
  std::vector<uint8_t> frame;
  if (!vorn::cmd::BuildMessageFrame(from, std::to_string(to), words[2], frame))
    throw UsageError("the message text is too long for one frame");
  Link link(BosPort(ctx));
  link.Send(frame.data(), frame.size());
  // An accepted message gets no answer; a refused one closes the connection.
  if (link.ClosedWithin(300)) throw Failure(link.Refused());
  if (ctx.json)
    *ctx.out << JsonObject().Num("from", from).Num("to", to).Bool("sent", true).Text() << "\n";
  else
    *ctx.out << "message from " << from << " to " << to << " handed to VornBOS\n";
}

std::optional<int> EndSessionsOf(Context& ctx, uint32_t uin) {
  uint16_t port = BosPort(ctx);
  std::unique_ptr<Link> link;
  try {
    link = std::make_unique<Link>(port);
  } catch (const Failure&) {
    return std::nullopt;  // no VornBOS runs there: nobody is signed on through it
  }
  // SNAC 0x0001/0x0082 with the number, little-endian, in the request id.
  const uint8_t request[] = {0x2A, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x82, 0x00, 0x00,
                             uint8_t(uin), uint8_t(uin >> 8), uint8_t(uin >> 16), uint8_t(uin >> 24)};
  link->Send(request, sizeof request);
  uint8_t reply[18];
  if (!link->ReadExact(reply, sizeof reply)) throw Failure(link->Refused() + " (nothing was removed)");
  if (reply[7] != 0x01 || reply[9] != 0x83)
    throw Failure(link->Where() + " cannot end sessions (is it an older version?); nothing was removed");
  return Le16(reply + 16);
}

}  // namespace vornadmin
