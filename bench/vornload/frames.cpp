#include "bench/vornload/frames.h"

namespace vl {

namespace {
constexpr uint8_t kRoast[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};

void PutTlv(Bytes& b, uint16_t type, const std::string& value) {
  PutBe16(b, type);
  PutBe16(b, static_cast<uint16_t>(value.size()));
  b.insert(b.end(), value.begin(), value.end());
}
}  // namespace

void PutBe16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void PutBe32(Bytes& b, uint32_t v) {
  PutBe16(b, static_cast<uint16_t>(v >> 16));
  PutBe16(b, static_cast<uint16_t>(v));
}
void PutLe16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe32(Bytes& b, uint32_t v) {
  PutLe16(b, static_cast<uint16_t>(v));
  PutLe16(b, static_cast<uint16_t>(v >> 16));
}
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void AppendFlap(Bytes& out, uint8_t channel, uint16_t seq, const Bytes& data) {
  out.push_back(0x2A);
  out.push_back(channel);
  PutBe16(out, seq);
  PutBe16(out, static_cast<uint16_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}

void AppendSnac(Bytes& out, uint16_t& seq, uint16_t family, uint16_t subtype, uint32_t reqId, const Bytes& body) {
  Bytes d;
  d.reserve(10 + body.size());
  PutBe16(d, family);
  PutBe16(d, subtype);
  PutBe16(d, 0);
  PutBe32(d, reqId);
  d.insert(d.end(), body.begin(), body.end());
  AppendFlap(out, 2, seq++, d);
}

Bytes AuthLoginData(uint32_t uin, const std::string& password) {
  Bytes d;
  PutBe32(d, 1);
  PutTlv(d, 0x0001, std::to_string(uin));
  std::string roasted = password;
  for (size_t i = 0; i < roasted.size(); ++i) roasted[i] = static_cast<char>(roasted[i] ^ kRoast[i % 16]);
  PutTlv(d, 0x0002, roasted);
  PutTlv(d, 0x0003, "ICQ Inc. - Product of ICQ (TM).2003b.5.56.1.3916.85");
  for (uint16_t t : {0x0016, 0x0017, 0x0018, 0x0019, 0x001A}) {
    PutBe16(d, t);
    PutBe16(d, 2);
    PutBe16(d, 1);
  }
  PutBe16(d, 0x0014);
  PutBe16(d, 4);
  PutBe32(d, 0x55);
  PutTlv(d, 0x000F, "en");
  PutTlv(d, 0x000E, "us");
  return d;
}

Bytes CookieLoginData(const Bytes& cookie) {
  Bytes d;
  PutBe32(d, 1);
  PutBe16(d, 0x0006);
  PutBe16(d, static_cast<uint16_t>(cookie.size()));
  d.insert(d.end(), cookie.begin(), cookie.end());
  return d;
}

void AppendSetStatus(Bytes& out, uint16_t& seq, uint32_t status) {
  Bytes b;
  PutBe16(b, 0x0006);
  PutBe16(b, 4);
  PutBe32(b, status);
  // TLV 0x0008 (error code) and TLV 0x000C (direct-connection block) as clients send them.
  PutBe16(b, 0x0008);
  PutBe16(b, 2);
  PutBe16(b, 0);
  PutBe16(b, 0x000C);
  PutBe16(b, 0x0025);
  for (uint8_t x : {127, 0, 0, 1}) b.push_back(x);
  PutBe32(b, 0);
  b.push_back(4);
  PutBe16(b, 8);
  PutBe32(b, 0x12345678);
  PutBe32(b, 0x50);
  PutBe32(b, 3);
  PutBe32(b, 0);
  PutBe32(b, 0);
  PutBe32(b, 0);
  PutBe16(b, 0);
  AppendSnac(out, seq, 0x01, 0x1E, 0x1E, b);
}

void AppendStartup(Bytes& out, uint16_t& seq, const std::vector<uint32_t>& contacts, uint32_t status) {
  Bytes versions;
  for (uint16_t fam : {0x01, 0x02, 0x03, 0x04, 0x09, 0x13, 0x15}) {
    PutBe16(versions, fam);
    PutBe16(versions, fam == 0x13 ? 4 : fam == 0x01 ? 4 : 1);
  }
  AppendSnac(out, seq, 0x01, 0x17, 1, versions);
  AppendSnac(out, seq, 0x01, 0x06, 2, {});
  AppendSnac(out, seq, 0x01, 0x08, 3, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5});
  AppendSnac(out, seq, 0x01, 0x0E, 4, {});
  AppendSnac(out, seq, 0x02, 0x02, 5, {});
  AppendSnac(out, seq, 0x03, 0x02, 6, {});
  AppendSnac(out, seq, 0x04, 0x04, 7, {});
  AppendSnac(out, seq, 0x09, 0x02, 8, {});
  AppendSnac(out, seq, 0x13, 0x05, 9, {0, 0, 0, 0, 0, 0});
  Bytes buddies;
  for (uint32_t uin : contacts) {
    std::string t = std::to_string(uin);
    buddies.push_back(static_cast<uint8_t>(t.size()));
    buddies.insert(buddies.end(), t.begin(), t.end());
  }
  AppendSnac(out, seq, 0x03, 0x04, 10, buddies);
  Bytes caps;
  PutBe16(caps, 0x0005);
  PutBe16(caps, 32);
  for (int i = 0; i < 32; ++i) caps.push_back(static_cast<uint8_t>(0x09 + i));
  AppendSnac(out, seq, 0x02, 0x04, 11, caps);
  AppendSetStatus(out, seq, status);
  AppendSnac(out, seq, 0x01, 0x02, 12, {0, 1, 0, 3, 1, 0x10, 0x04, 0x7B});
}

void AppendMessage(Bytes& out, uint16_t& seq, uint32_t to, uint32_t reqId, const std::string& text) {
  Bytes b;
  b.reserve(64 + text.size());
  PutBe32(b, reqId);  // message cookie
  PutBe32(b, 0x4D534731);
  PutBe16(b, 1);  // channel 1
  std::string recipient = std::to_string(to);
  b.push_back(static_cast<uint8_t>(recipient.size()));
  b.insert(b.end(), recipient.begin(), recipient.end());
  PutBe16(b, 0x0002);
  PutBe16(b, static_cast<uint16_t>(13 + text.size()));
  for (uint8_t x : {0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01}) b.push_back(x);
  PutBe16(b, static_cast<uint16_t>(4 + text.size()));
  PutBe32(b, 0);
  b.insert(b.end(), text.begin(), text.end());
  AppendSnac(out, seq, 0x04, 0x06, reqId, b);
}

void AppendMeta(Bytes& out, uint16_t& seq, uint32_t owner, uint16_t type) {
  Bytes b;
  PutBe16(b, 0x0001);
  PutBe16(b, 10);
  PutLe16(b, 8);
  PutLe32(b, owner);
  PutLe16(b, type);
  PutLe16(b, 2);
  AppendSnac(out, seq, 0x15, 0x02, 0x15, b);
}

Bytes FindTlv(const uint8_t* data, size_t len, size_t offset, uint16_t type) {
  size_t p = offset;
  while (p + 4 <= len) {
    uint16_t t = Be16(data + p);
    size_t n = Be16(data + p + 2);
    if (p + 4 + n > len) break;
    if (t == type) return Bytes(data + p + 4, data + p + 4 + n);
    p += 4 + n;
  }
  return {};
}

}  // namespace vl
