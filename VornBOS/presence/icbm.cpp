#include "VornBOS/presence/icbm.h"

#include "server-core/wire.h"

uint32_t DecimalPrefix(std::string_view text) {
  uint32_t v = 0;
  for (char ch : text) {
    uint32_t digit = static_cast<uint32_t>(static_cast<unsigned char>(ch)) - '0';
    if (digit > 9) break;
    v = v * 10 + digit;
  }
  return v;
}

namespace {

// Channel 1: fragment 05 01 (capabilities, with its length), then fragment 01 01 whose
// length covers the character set and subset (4 bytes) and the text.
void LocateChannel1Text(IcbmMessage& m) {
  WireReader r(m.snac + m.tlvPos + 4, m.tlvLen);
  if (r.u8() != 0x05 || r.u8() != 0x01) return;
  r.skip(r.be16());
  if (r.u8() != 0x01 || r.u8() != 0x01) return;
  size_t lenPos = r.pos();
  size_t frag = r.be16();
  if (!r.ok()) return;
  if (frag < 4 || !r.has(frag)) {
    m.textOverrun = true;
    return;
  }
  m.hasText = true;
  m.textLenPos = m.tlvPos + 4 + lenPos;
  m.textPos = m.textLenPos + 6;
  m.textLen = frag - 4;
}

// Channels 2 and 4: sender UIN, type, flags, text length (with NUL, little-endian), text.
void LocateInnerText(IcbmMessage& m) {
  WireReader r(m.snac + m.tlvPos + 4, m.tlvLen);
  r.skip(6);
  size_t n = r.le16();
  if (!r.ok()) return;
  if (n == 0 || !r.has(n)) {
    m.textOverrun = n != 0;
    return;
  }
  m.hasText = true;
  m.textLenPos = m.tlvPos + 10;
  m.textPos = m.tlvPos + 12;
  m.textLen = n - 1;
}

}  // namespace

bool ParseIcbm(const uint8_t* snac, size_t len, IcbmMessage& m) {
  WireReader r(snac, len);
  r.skip(19);
  m.snac = snac;
  m.len = len;
  m.channel = r.u8();
  std::string_view recipient = r.text8();
  r.be16();
  m.tlvLen = r.be16();
  if (!r.ok() || !r.has(m.tlvLen)) return false;
  m.tl = recipient.size();
  m.recipient = DecimalPrefix(recipient);
  m.tlvPos = 21 + m.tl;
  if (m.channel == 1)
    LocateChannel1Text(m);
  else if (m.channel == 2 || m.channel == 4)
    LocateInnerText(m);
  // Advanced (channel 2) messages from clients carry another layout; only the plain
  // channels are refused for a text that runs past the message.
  return !(m.textOverrun && m.channel != 2);
}

bool IcbmInnerHeader(const IcbmMessage& m, uint32_t& senderUin, uint16_t& typeAndFlags) {
  if (m.tlvLen < 8) return false;
  WireReader r(m.snac + m.tlvPos + 4, m.tlvLen);
  senderUin = r.le32();
  typeAndFlags = r.le16();
  return r.ok();
}
