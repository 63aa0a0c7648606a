#include "VornCmd/cmd_frames.h"

#include <algorithm>

namespace vorn::cmd {
namespace {

constexpr uint8_t kMessageCookie[8] = {0xF3, 0x3A, 0xC1, 0x0C, 0x70, 0x18, 0x00, 0x00};
constexpr uint8_t kMessageTrailer[8] = {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00};

void PutBe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutLe16At(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// FLAP header on channel 2 and a SNAC header with zero flags.
void PutFlapSnac(std::vector<uint8_t>& out, uint16_t seq, uint16_t dataLen, uint16_t family,
                 uint16_t subtype) {
  out.push_back(0x2A);
  out.push_back(0x02);
  PutBe16(out, seq);
  PutBe16(out, dataLen);
  PutBe16(out, family);
  PutBe16(out, subtype);
  PutBe16(out, 0x0000);
}

}  // namespace

bool BuildMessageFrame(uint32_t fromUin, std::string_view toText, std::string_view text,
                       std::vector<uint8_t>& frame) {
  frame.clear();
  const size_t l = toText.size();
  const size_t n = text.size() + 1;
  if (l > kMaxUinTextLen || l + n > kMaxUinAndText) return false;
  frame.reserve(kMessageOverhead + l + n);
  PutFlapSnac(frame, 0x4D1A, static_cast<uint16_t>(45 + l + n), 0x0004, 0x0006);
  PutLe32(frame, 0);  // request id 0
  frame.insert(frame.end(), kMessageCookie, kMessageCookie + 8);
  PutBe16(frame, 0x0004);  // message channel
  frame.push_back(static_cast<uint8_t>(l));
  frame.insert(frame.end(), toText.begin(), toText.end());
  PutBe16(frame, 0x0005);
  PutBe16(frame, static_cast<uint16_t>(n + 16));
  PutLe32(frame, fromUin);
  frame.push_back(0x01);  // plain text
  frame.push_back(0x00);  // flags
  PutLe16(frame, static_cast<uint16_t>(n));
  frame.insert(frame.end(), text.begin(), text.end());
  frame.push_back(0x00);
  frame.insert(frame.end(), kMessageTrailer, kMessageTrailer + 8);
  PutBe16(frame, 0x0006);
  PutBe16(frame, 0x0000);
  return true;
}

std::array<uint8_t, kStatusRequestSize> BuildStatusRequest(uint32_t uin) {
  std::vector<uint8_t> v;
  PutFlapSnac(v, 0x0000, 0x000A, 0x0001, 0x000E);
  PutLe32(v, uin);  // in the place of the request id
  std::array<uint8_t, kStatusRequestSize> out{};
  std::copy(v.begin(), v.end(), out.begin());
  return out;
}

StatusInfo ParseStatusReply(const StatusReplyBytes& reply) {
  StatusInfo info;
  std::copy(reply.begin() + 16, reply.begin() + 20, info.ipExt.begin());
  std::copy(reply.begin() + 20, reply.begin() + 24, info.ipInt.begin());
  info.port = GetLe16(&reply[24]);
  info.flags = GetLe16(&reply[26]);
  info.status = GetLe16(&reply[28]);
  return info;
}

StatusReplyBytes BuildStatusReply(const StatusInfo& info) {
  std::vector<uint8_t> v;
  PutFlapSnac(v, 0x0000, 0x0018, 0x0001, 0x000F);
  PutLe32(v, 0);
  StatusReplyBytes out{};
  std::copy(v.begin(), v.end(), out.begin());
  std::copy(info.ipExt.begin(), info.ipExt.end(), out.begin() + 16);
  std::copy(info.ipInt.begin(), info.ipInt.end(), out.begin() + 20);
  PutLe16At(&out[24], info.port);
  PutLe16At(&out[26], info.flags);
  PutLe16At(&out[28], info.status);
  return out;
}

uint32_t AddressAsNumber(const std::array<uint8_t, 4>& ip) {
  return (uint32_t{ip[0]} << 24) | (uint32_t{ip[1]} << 16) | (uint32_t{ip[2]} << 8) | ip[3];
}

}  // namespace vorn::cmd
