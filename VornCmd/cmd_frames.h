// The three FLAP frames of the command protocol: the message frame a command client sends
// in the name of a user, the status request and the fixed-size status reply of VornBOS.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vorn::cmd {

constexpr size_t kHelloSize = 10;          // the server's hello frame, read and not examined
constexpr size_t kHelloBufSize = 64;       // one receive of the console tool
constexpr size_t kStatusRequestSize = 16;
constexpr size_t kStatusReplySize = 30;
constexpr size_t kMessageOverhead = 51;    // whole message frame = 51 + L + N
constexpr size_t kMaxUinAndText = 65484;   // L + N must stay below 65485 (16-bit length fields)
constexpr size_t kMaxUinTextLen = 255;     // L travels in one byte
constexpr long kMaxFileMessage = 8000;     // largest message file, in bytes

using StatusReplyBytes = std::array<uint8_t, kStatusReplySize>;

// Builds the message frame: sender number inside, recipient as text, text zero-terminated
// (N = text.size() + 1). Returns false, leaving `frame` empty, when the recipient text or
// the text are too long for the frame's length fields.
bool BuildMessageFrame(uint32_t fromUin, std::string_view toText, std::string_view text,
                       std::vector<uint8_t>& frame);

std::array<uint8_t, kStatusRequestSize> BuildStatusRequest(uint32_t uin);

// The fields of a status reply. Addresses keep their wire order (first octet first);
// the three 16-bit values are decoded from little-endian.
struct StatusInfo {
  std::array<uint8_t, 4> ipExt{};
  std::array<uint8_t, 4> ipInt{};
  uint16_t port = 0;
  uint16_t flags = 0xFFFF;   // upper half of the 32-bit ICQ status
  uint16_t status = 0xFFFF;  // lower half: the status proper
};

StatusInfo ParseStatusReply(const StatusReplyBytes& reply);
// The reply VornBOS sends for a session (or the default StatusInfo for no session).
StatusReplyBytes BuildStatusReply(const StatusInfo& info);
// Bytes 28 and 29 both 0xFF: no session, or one whose client has not set a status yet.
inline bool IsOffline(const StatusInfo& info) { return info.status == 0xFFFF; }

// An address in wire order as a number with the first octet in the top byte.
uint32_t AddressAsNumber(const std::array<uint8_t, 4>& ip);

}  // namespace vorn::cmd
