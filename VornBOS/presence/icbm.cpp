#include "VornBOS/presence/icbm.h"

#include <cctype>

#include "server-core/wire.h"

uint32_t DecimalPrefix(std::string_view text) {
  uint32_t v = 0;
  for (char ch : text) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) break;
    v = v * 10 + static_cast<uint32_t>(ch - '0');
  }
  return v;
}

namespace {

// Channel 1: 05 01, capability length, one capability byte, 01 01, fragment length,
// character set and subset, then the text (fragment length - 4 bytes).
void LocateChannel1Text(IcbmMessage& m) {
  if (m.tlvLen < 13) return;
  size_t frag = GetBe16(m.snac + m.tlvPos + 11);
  if (frag < 4 || 13 + (frag - 4) > m.tlvLen) return;
  m.hasText = true;
  m.textPos = m.tlvPos + 17;
  m.textLen = frag - 4;
}

// Channels 2 and 4: sender UIN, type, flags, text length (with NUL, little-endian), text.
void LocateInnerText(IcbmMessage& m) {
  if (m.tlvLen < 8) return;
  const uint8_t* p = m.snac + m.tlvPos + 4;
  size_t n = static_cast<size_t>(p[6] | (p[7] << 8));
  if (n == 0 || 8 + n > m.tlvLen) return;
  m.hasText = true;
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
  else
    LocateInnerText(m);
  return true;
}

bool IcbmInnerHeader(const IcbmMessage& m, uint32_t& senderUin, uint16_t& typeAndFlags) {
  if (m.tlvLen < 8) return false;
  WireReader r(m.snac + m.tlvPos + 4, m.tlvLen);
  senderUin = r.le32();
  typeAndFlags = r.le16();
  return r.ok();
}
