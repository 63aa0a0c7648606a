// Messaging extras that clients rely on: typing notifications, the server acknowledgement of
// channel-1 messages that ask for one, and capabilities sent after other location TLVs.
#include <algorithm>

#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

constexpr uint16_t kTlvServerAck = 0x0003;
constexpr uint16_t kTlvCapabilities = 0x0005;
constexpr size_t kMaxCaps = kClientCapsSize - 2;

}  // namespace

void RelayTyping(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(10);
  std::string_view cookieAndChannel = r.bytes(10);
  std::string_view target = r.text8();
  uint16_t what = r.be16();
  if (!r.ok()) {
    WriteLog("Bad typing notification. Size=%d", 11, c.addr.c_str(), c.UIN, c.in.length);
    return;
  }
  ClientInfo* to = FindUser(DecimalPrefix(target));
  if (!to || to == &c || to->ClnSocket < 0) return;  // nobody to tell: dropped
  WireWriter w(48);
  w.be16(0x0004).be16(0x0014).be16(0).be32(++Cfg.snacReqId);
  w.bytes(cookieAndChannel).text8(std::to_string(c.UIN)).be16(what);
  QueueFrame(*to, 2, w.buffer());
}

void AckIfRequested(ClientInfo& c) {
  StoreOutcome stored = TakeStoreOutcome(c);
  IcbmMessage m;
  bool wanted = false;
  if (ParseIcbm(c.in.data.data(), c.in.length, m) && m.channel == 1) {
    WireReader r(m.snac, m.len);
    r.seek(m.tlvPos + 4 + m.tlvLen);
    while (r.has(4)) {
      uint16_t type = r.be16();
      if (!r.skip(r.be16())) break;
      if (type == kTlvServerAck) wanted = true;
    }
  }
  std::vector<uint8_t> ack;
  if (wanted) {
    // The same acknowledgement as for channel 2: the request's header, cookie, channel and
    // recipient, with the subtype 0x000C.
    WireWriter w(21 + m.tl);
    w.bytes(m.snac, 21 + m.tl);
    w.patchBe16(2, 0x000C);
    ack = std::move(w.buffer());
  }
  // A message kept for an absent recipient is acknowledged once it is on the disk.
  AnswerStoredMessage(c, stored, std::move(ack));
}

bool StoreCapabilitiesTlv(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(10);
  while (r.has(4)) {
    uint16_t type = r.be16();
    std::string_view value = r.bytes(r.be16());
    if (!r.ok()) break;
    if (type != kTlvCapabilities) continue;
    size_t k = std::min(value.size(), kMaxCaps);
    std::fill(std::begin(c.clientCaps), std::end(c.clientCaps), 0);
    std::copy(value.begin(), value.begin() + static_cast<long>(k), c.clientCaps + 2);
    PutBe16(c.clientCaps, static_cast<uint16_t>(k));
    return true;
  }
  return false;
}
