// Messaging extras that clients rely on: typing notifications and the ICBM parameters that ask
// for them, the server acknowledgement of channel-1 messages that ask for one, and the
// capabilities of the location information.
#include <algorithm>

#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/owner.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

constexpr uint16_t kTlvServerAck = 0x0003;
constexpr uint16_t kTlvCapabilities = 0x0005;
constexpr size_t kCapabilitySize = 16;
// Whole capabilities only: a notice never carries part of one.
constexpr size_t kMaxCaps = (kClientCapsSize - 2) / kCapabilitySize * kCapabilitySize;
constexpr uint32_t kIcbmTypingEvents = 0x00000008;
constexpr uint8_t kLastChannel = 7;  // channels kept in ClientInfo::typingChannels

}  // namespace

void SetIcbmParams(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(10);
  uint16_t channel = r.be16();
  uint32_t flags = r.be32();
  if (!r.ok() || channel > kLastChannel) return;
  // Channel 0 sets the parameters of every channel.
  uint8_t bits = channel == 0 ? 0xFF : static_cast<uint8_t>(1u << channel);
  if (flags & kIcbmTypingEvents)
    c.typingChannels |= bits;
  else
    c.typingChannels &= static_cast<uint8_t>(~bits);
}

bool WantsTypingEvents(const ClientInfo& c, uint8_t channel) {
  return channel <= kLastChannel && (c.typingChannels & (1u << channel)) != 0;
}

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
  // A user who denies or ignores the sender hears of its typing no more than of its messages.
  if (MessageVerdictFor(to->UIN, c.UIN, to) != MessageVerdict::Deliver) return;
  WireWriter w(48);
  w.be16(0x0004).be16(0x0014).be16(0).be32(++Cfg.snacReqId);
  w.bytes(cookieAndChannel).text8(std::to_string(c.UIN)).be16(what);
  QueueFrame(*to, 2, w.buffer());
}

void AckIfRequested(ClientInfo& c, const IcbmMessage& m) {
  StoreOutcome stored = StoreOutcomeWaiting() ? TakeStoreOutcome(c) : StoreOutcome{};
  bool wanted = false;
  if (m.channel == 1) {
    WireReader r(m.snac, m.len);
    r.seek(m.tlvPos + 4 + m.tlvLen);
    while (r.has(4)) {
      uint16_t type = r.be16();
      if (!r.skip(r.be16())) break;
      if (type == kTlvServerAck) wanted = true;
    }
  }
  if (!wanted && !stored.failed && stored.files.empty()) return;  // nothing to answer
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
    uint16_t length = r.be16();
    // A value cut short by the end of the SNAC gives what it holds.
    std::string_view value = r.bytes(std::min<size_t>(length, r.remaining()));
    if (type != kTlvCapabilities) continue;
    size_t k = std::min(value.size(), kMaxCaps) / kCapabilitySize * kCapabilitySize;
    std::fill(std::begin(c.clientCaps), std::end(c.clientCaps), 0);
    std::copy(value.begin(), value.begin() + static_cast<long>(k), c.clientCaps + 2);
    PutBe16(c.clientCaps, static_cast<uint16_t>(k));
    return true;
  }
  return false;
}
