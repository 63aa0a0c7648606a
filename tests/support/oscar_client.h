// A small OSCAR client for the end-to-end tests: FLAP frames with time-outs, SNACs, the
// password login at the authorization server and the cookie login at the session server.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vt {

using Bytes = std::vector<uint8_t>;

struct Frame {
  uint8_t channel = 0;
  uint16_t seq = 0;
  Bytes data;

  uint16_t family() const { return data.size() >= 4 ? static_cast<uint16_t>((data[0] << 8) | data[1]) : 0; }
  uint16_t subtype() const { return data.size() >= 4 ? static_cast<uint16_t>((data[2] << 8) | data[3]) : 0; }
  bool Is(uint16_t fam, uint16_t sub) const { return channel == 2 && family() == fam && subtype() == sub; }
};

// TLVs of a data part from an offset: type -> value (the last of a type wins).
std::map<uint16_t, Bytes> ParseTlvs(const Bytes& data, size_t offset);

// Roasts a password with the published OSCAR XOR sequence.
Bytes Roast(const std::string& password);
Bytes Be16(uint16_t v);
Bytes Be32(uint32_t v);
Bytes Le16(uint16_t v);
Bytes Le32(uint32_t v);
Bytes Text(const std::string& s);
Bytes Cat(std::initializer_list<Bytes> parts);

class OscarClient {
 public:
  OscarClient() = default;
  ~OscarClient();
  OscarClient(const OscarClient&) = delete;
  OscarClient& operator=(const OscarClient&) = delete;

  bool Connect(uint16_t port);
  void Close();
  // Ends the sending side (a FIN) and keeps receiving: data the server sends
  // later is taken in, so the close can never turn into a reset.
  void ShutdownSend();
  bool SendRaw(const Bytes& bytes);
  bool SendFrame(uint8_t channel, const Bytes& data);
  bool SendSnac(uint16_t family, uint16_t subtype, uint32_t reqId, const Bytes& body);
  std::optional<Frame> ReadFrame(int timeoutMs = 2000);
  // The next frame of that SNAC, skipping others; nothing when none comes in time.
  std::optional<Frame> WaitSnac(uint16_t family, uint16_t subtype, int timeoutMs = 2000);
  // True when the server closes the connection within the time.
  bool WaitClosed(int timeoutMs = 2000);
  // True when no data arrives within the time.
  bool Quiet(int timeoutMs = 300);
  int fd() const { return fd_; }

  // Password login at the authorization server: the reply frame (channel 4), if any.
  std::optional<Frame> AuthLogin(uint16_t authPort, uint32_t uin, const std::string& password);
  // Cookie login at the session server: the first reply frame after the hello.
  std::optional<Frame> BosLogin(uint16_t bosPort, const Bytes& cookie);
  // Both logins; true when the session server sent the service families.
  bool SignOn(uint16_t authPort, uint16_t bosPort, uint32_t uin, const std::string& password);
  // Sets the status (0x01/0x1E with TLV 6) and waits until the server has handled it.
  void SetStatus(uint32_t status);
  void AddContacts(const std::vector<uint32_t>& uins);
  // A channel-1 message to a user.
  void SendMessage(uint32_t to, const std::string& text, uint32_t reqId = 7);

 private:
  bool ReadExact(uint8_t* buf, size_t len, int timeoutMs);
  int fd_ = -1;
};

// The text of a channel-1 message TLV 2 value, as clients build it.
Bytes Channel1Tlv(const std::string& text);

}  // namespace vt
