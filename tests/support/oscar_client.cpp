#include "tests/support/oscar_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vt {

namespace {
constexpr uint8_t kRoast[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};
int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

Bytes Be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
Bytes Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}
Bytes Le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Roast(const std::string& password) {
  Bytes out(password.begin(), password.end());
  for (size_t i = 0; i < out.size(); ++i) out[i] ^= kRoast[i % 16];
  return out;
}

std::map<uint16_t, Bytes> ParseTlvs(const Bytes& data, size_t offset) {
  std::map<uint16_t, Bytes> out;
  size_t p = offset;
  while (p + 4 <= data.size()) {
    uint16_t type = static_cast<uint16_t>((data[p] << 8) | data[p + 1]);
    size_t len = static_cast<size_t>((data[p + 2] << 8) | data[p + 3]);
    if (p + 4 + len > data.size()) break;
    out[type] = Bytes(data.begin() + static_cast<long>(p + 4), data.begin() + static_cast<long>(p + 4 + len));
    p += 4 + len;
  }
  return out;
}

Bytes Channel1Tlv(const std::string& text) {
  return Cat({Bytes{0x05, 0x01}, Be16(1), Bytes{0x01}, Bytes{0x01, 0x01}, Be16(static_cast<uint16_t>(text.size() + 4)),
              Be16(0), Be16(0), Text(text)});
}

OscarClient::~OscarClient() { Close(); }

bool OscarClient::Connect(uint16_t port) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    Close();
    return false;
  }
  int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

void OscarClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void OscarClient::ShutdownSend() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

bool OscarClient::SendRaw(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool OscarClient::SendFrame(uint8_t channel, const Bytes& data) {
  static uint16_t seq = 0x100;
  return SendRaw(Cat({Bytes{0x2A, channel}, Be16(seq++), Be16(static_cast<uint16_t>(data.size())), data}));
}

bool OscarClient::SendSnac(uint16_t family, uint16_t subtype, uint32_t reqId, const Bytes& body) {
  return SendFrame(2, Cat({Be16(family), Be16(subtype), Be16(0), Be32(reqId), body}));
}

bool OscarClient::ReadExact(uint8_t* buf, size_t len, int timeoutMs) {
  int64_t end = NowMs() + timeoutMs;
  size_t got = 0;
  while (got < len) {
    int left = static_cast<int>(end - NowMs());
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) return false;
    ssize_t n = ::recv(fd_, buf + got, len - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

std::optional<Frame> OscarClient::ReadFrame(int timeoutMs) {
  uint8_t head[6];
  if (fd_ < 0 || !ReadExact(head, 6, timeoutMs)) return std::nullopt;
  Frame f;
  f.channel = head[1];
  f.seq = static_cast<uint16_t>((head[2] << 8) | head[3]);
  f.data.resize(static_cast<size_t>((head[4] << 8) | head[5]));
  if (!f.data.empty() && !ReadExact(f.data.data(), f.data.size(), timeoutMs)) return std::nullopt;
  return f;
}

std::optional<Frame> OscarClient::WaitSnac(uint16_t family, uint16_t subtype, int timeoutMs) {
  int64_t end = NowMs() + timeoutMs;
  for (;;) {
    int left = static_cast<int>(end - NowMs());
    if (left <= 0) return std::nullopt;
    auto f = ReadFrame(left);
    if (!f) return std::nullopt;
    if (f->Is(family, subtype)) return f;
  }
}

bool OscarClient::WaitClosed(int timeoutMs) {
  int64_t end = NowMs() + timeoutMs;
  uint8_t buf[4096];
  while (NowMs() < end) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(end - NowMs())) <= 0) return false;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
  return false;
}

bool OscarClient::Quiet(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 0;
}

std::optional<Frame> OscarClient::AuthLogin(uint16_t authPort, uint32_t uin, const std::string& password) {
  if (!Connect(authPort) || !ReadFrame()) return std::nullopt;
  std::string uinText = std::to_string(uin);
  Bytes roasted = Roast(password);
  SendFrame(1, Cat({Be32(1), Be16(1), Be16(static_cast<uint16_t>(uinText.size())), Text(uinText), Be16(2),
                    Be16(static_cast<uint16_t>(roasted.size())), roasted, Be16(0x0003), Be16(4), Text("test")}));
  auto reply = ReadFrame();
  Close();
  return reply;
}

std::optional<Frame> OscarClient::BosLogin(uint16_t bosPort, const Bytes& cookie) {
  if (!Connect(bosPort) || !ReadFrame()) return std::nullopt;
  SendFrame(1, Cat({Be32(1), Be16(6), Be16(static_cast<uint16_t>(cookie.size())), cookie}));
  return ReadFrame();
}

bool OscarClient::SignOn(uint16_t authPort, uint16_t bosPort, uint32_t uin, const std::string& password) {
  auto reply = AuthLogin(authPort, uin, password);
  if (!reply) return false;
  auto tlvs = ParseTlvs(reply->data, 0);
  if (!tlvs.count(6)) return false;
  auto first = BosLogin(bosPort, tlvs[6]);
  return first && first->Is(0x0001, 0x0003);
}

void OscarClient::SetStatus(uint32_t status) {
  SendSnac(0x0001, 0x001E, 0x42, Cat({Be16(6), Be16(4), Be32(status)}));
  // The own-information request is answered after the status has been handled.
  SendSnac(0x0001, 0x000E, 0x43, {});
  WaitSnac(0x0001, 0x000F);
}

void OscarClient::AddContacts(const std::vector<uint32_t>& uins) {
  Bytes body;
  for (uint32_t u : uins) {
    std::string t = std::to_string(u);
    body.push_back(static_cast<uint8_t>(t.size()));
    body.insert(body.end(), t.begin(), t.end());
  }
  SendSnac(0x0003, 0x0004, 0x44, body);
}

void OscarClient::SendMessage(uint32_t to, const std::string& text, uint32_t reqId) {
  std::string t = std::to_string(to);
  Bytes tlv = Channel1Tlv(text);
  SendSnac(0x0004, 0x0006, reqId,
           Cat({Bytes{1, 2, 3, 4, 5, 6, 7, 8}, Be16(1), Bytes{static_cast<uint8_t>(t.size())}, Text(t), Be16(2),
                Be16(static_cast<uint16_t>(tlv.size())), tlv, Be16(6), Be16(0)}));
}

}  // namespace vt
