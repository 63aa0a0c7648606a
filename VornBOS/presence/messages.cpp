#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/owner.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

// Frames built from a client's SNAC must fit the 16-bit FLAP length.
constexpr size_t kMaxFrame = 0xFFFF;

void BadSnac(ClientInfo& c, size_t len) {
  WriteLog("Bad message SNAC from %d. Size=%d", 11, c.addr.c_str(), c.UIN, c.UIN, static_cast<int>(len));
}

bool ParseOrDrop(ClientInfo& c, IcbmMessage& m) {
  if (ParseIcbm(c.in.data.data(), c.in.length, m)) return true;
  BadSnac(c, c.in.length);
  return false;
}


// The first TLV of the message as it is passed on. A relayed message (from another number
// than the sender's) gets the sender's relay text in front of its text and, outside channel 1,
// the relaying number as the inner sender.
std::vector<uint8_t> MessageTlv(ClientInfo& sender, const IcbmMessage& m, uint32_t from) {
  const uint8_t* value = m.snac + m.tlvPos + 4;
  std::vector<uint8_t> v(value, value + m.tlvLen);
  if (from != sender.UIN) {
    const std::string& relay = RenderRelayText(sender);
    uint16_t t = static_cast<uint16_t>(relay.size());
    size_t base = m.tlvPos + 4;
    if (m.channel == 1 && m.hasText) {
      size_t lenAt = m.textLenPos - base;
      PutBe16(&v[lenAt], static_cast<uint16_t>(GetBe16(&v[lenAt]) + t));
      v.insert(v.begin() + static_cast<long>(m.textPos - base), relay.begin(), relay.end());
    } else if (m.channel != 1 && v.size() >= 8) {
      for (int i = 0; i < 4; ++i) v[i] = static_cast<uint8_t>(from >> (8 * i));
      uint16_t n = static_cast<uint16_t>((v[6] | (v[7] << 8)) + t);
      v[6] = static_cast<uint8_t>(n);
      v[7] = static_cast<uint8_t>(n >> 8);
      v.insert(v.begin() + 8, relay.begin(), relay.end());
    }
  }
  WireWriter w(v.size() + 4);
  w.be16(GetBe16(m.snac + m.tlvPos)).be16(static_cast<uint16_t>(v.size())).bytes(v.data(), v.size());
  return std::move(w.buffer());
}

// The incoming-message frame (SNAC 0x04/0x07) for a recipient, numbered with the sender's
// counter; empty when it would not fit in one frame.
std::vector<uint8_t> IncomingMessageFrame(ClientInfo& sender, const IcbmMessage& m, uint32_t from) {
  std::vector<uint8_t> tlv = MessageTlv(sender, m, from);
  if (tlv.size() > kMaxFrame - 80) return {};
  WireWriter w(80 + tlv.size());
  sender.Seq += 1;
  w.u8(0x2A).u8(2).be16(static_cast<uint16_t>(sender.Seq)).be16(0);
  w.be16(0x0004).be16(0x0007).be16(0).be32(++Cfg.snacReqId);
  w.bytes(m.snac + 10, 10);  // cookie and channel
  w.text8(std::to_string(from)).be16(0).be16(4);
  w.tlv16(0x0001, 0x0050);
  w.be16(0x0006).be16(4).bytes(sender.Status, 4);
  w.tlv32(0x000F, 0x000042E0).tlv32(0x0003, 0x3E375BD7);
  w.bytes(tlv.data(), tlv.size());
  return std::move(w.buffer());
}

void QueueMessage(ClientInfo& sender, const IcbmMessage& m, ClientInfo& recipient, uint32_t from) {
  std::vector<uint8_t> frame = IncomingMessageFrame(sender, m, from);
  if (frame.empty()) return BadSnac(sender, m.len);
  QueueRawFrame(recipient, std::move(frame));
}

}  // namespace

void DeliverMessage(ClientInfo& sender, const IcbmMessage& m, ClientInfo& recipient, uint32_t from) {
  WriteLog("Send fast msg from %d to %d.Szie=%d", 9, sender.addr.c_str(), sender.UIN, from, recipient.UIN,
           static_cast<int>(m.len));
  QueueMessage(sender, m, recipient, from);
}

namespace {

// Channels 2 and 4 carry the sender's number and the message type inside; both are checked.
bool InnerFieldsAccepted(ClientInfo& sender, const IcbmMessage& m) {
  uint32_t inner = 0;
  uint16_t type = 0;
  if (!IcbmInnerHeader(m, inner, type)) {
    BadSnac(sender, m.len);
    return false;
  }
  if (inner != sender.UIN) {
    uint32_t shown = ((inner & 0xFF) << 24) | ((inner & 0xFF00) << 8) | ((inner >> 8) & 0xFF00) | (inner >> 24);
    WriteLog("Not equality ID=%d", 11, sender.addr.c_str(), sender.UIN, shown);
    return false;
  }
  if (type != 0x0001 && type != 0x0004 && type != 0x000C) {
    WriteLog("Not suport this sub type=%d msg", 7, sender.addr.c_str(), sender.UIN, type);
    return false;
  }
  return true;
}

void SendToEveryone(ClientInfo& sender, const IcbmMessage& m, uint32_t from) {
  std::vector<ClientInfo*> targets;
  ForEachSession([&](ClientInfo& c) {
    if (c.UIN != sender.UIN) targets.push_back(&c);
  });
  for (ClientInfo* c : targets) DeliverMessage(sender, m, *c, from);
}

void SendToList(ClientInfo& sender, const IcbmMessage& m, const SendList& list, uint32_t from) {
  for (uint32_t member : list.members) {
    ClientInfo* c = FindUser(member);
    if (c && c != &sender && c->UIN != sender.UIN)
      DeliverMessage(sender, m, *c, from);
    else if (!c)
      StoreOfflineMessage(sender, m, member, from);
  }
}

// The messaging error reply (04/01) to a message the recipient's deny list refuses: "recipient
// is not logged in", which tells the denied sender no more than its missing presence does.
void RefuseMessage(ClientInfo& sender, uint32_t recipient) {
  WriteLog("Message from %d to %d refused (deny list)", 9, sender.addr.c_str(), sender.UIN, sender.UIN, recipient);
  WireWriter w(12);
  w.be16(0x0004).be16(0x0001).be16(0).bytes(sender.in.data.data() + 6, 4).be16(0x0004);
  QueueFrame(sender, 2, w.buffer());
}

}  // namespace

bool RouteMessage(ClientInfo& sender) {
  IcbmMessage m;
  if (!ParseOrDrop(sender, m)) return false;
  const char* a = sender.addr.c_str();
  WriteLog("Recv fast msg format=%d from %d to %d.Szie=%d", 9, a, sender.UIN, m.channel, sender.UIN, m.recipient,
           static_cast<int>(m.len));
  if (m.channel == 2 || m.channel == 4) {
    if (!InnerFieldsAccepted(sender, m)) return false;
  } else if (m.channel != 1) {
    WriteLog("Uknow message format=%d from %d to %d.Szie=%d", 7, a, sender.UIN, m.channel, sender.UIN,
             m.recipient, static_cast<int>(m.len));
  }
  // The SendOnLine number 0 means the setting is off: it never turns a message to an
  // unreadable recipient into a broadcast.
  if (Cfg.SendOnLine != 0 && m.recipient == Cfg.SendOnLine) {
    SendToEveryone(sender, m, Cfg.isSendChat ? Cfg.SendOnLine : sender.UIN);
    return true;
  }
  if (const SendList* list = FindList(m.recipient)) {
    SendToList(sender, m, *list, Cfg.isSendChat ? list->number : sender.UIN);
    return true;
  }
  // The recipient's deny list refuses the message; its ignore list drops it unseen (the sender
  // is answered as if it went through).
  switch (MessageVerdictFor(m.recipient, sender.UIN)) {
    case MessageVerdict::Refuse:
      RefuseMessage(sender, m.recipient);
      return false;
    case MessageVerdict::Drop:
      WriteLog("Message from %d to %d dropped (ignore list)", 9, a, sender.UIN, sender.UIN, m.recipient);
      return true;
    case MessageVerdict::Deliver:
      break;
  }
  if (ClientInfo* r = FindUser(m.recipient))
    DeliverMessage(sender, m, *r, sender.UIN);
  else
    StoreOfflineMessage(sender, m, m.recipient, sender.UIN);
  return true;
}

void RelayAdvancedMessage(ClientInfo& sender) {
  IcbmMessage m;
  if (!ParseOrDrop(sender, m)) return;
  WriteLog("Recv slow msg from %d to %d. Size=%d", 9, sender.addr.c_str(), sender.UIN, sender.UIN, m.recipient,
           static_cast<int>(m.len));
  MessageVerdict verdict = MessageVerdictFor(m.recipient, sender.UIN);
  if (verdict == MessageVerdict::Refuse) return RefuseMessage(sender, m.recipient);
  std::vector<uint8_t> ack(6 + 21 + m.tl);
  ack[1] = 2;
  PutBe16(&ack[2], NextSeq(sender));
  std::copy(m.snac, m.snac + 21 + m.tl, ack.begin() + 6);
  PutBe16(&ack[6 + 2], 0x000C);
  QueueRawFrame(sender, std::move(ack));
  if (verdict == MessageVerdict::Drop) return;  // an ignored sender is not told
  if (ClientInfo* r = FindUser(m.recipient)) {
    QueueMessage(sender, m, *r, sender.UIN);
  } else {
    WriteLog("Error client=%d OFFline, bat send slow msg", 11, sender.addr.c_str(), sender.UIN, m.recipient);
  }
}

void ForwardAck(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.skip(10);
  std::string_view cookieAndChannel = r.bytes(10);
  std::string_view target = r.text8();
  std::string_view rest = r.bytes(r.remaining());
  if (!r.ok() || rest.size() + 48 > kMaxFrame) return BadSnac(c, c.in.length);
  uint32_t targetUin = DecimalPrefix(target);
  ClientInfo* t = FindUser(targetUin);
  if (!t) {
    WriteLog("Error - get slow msg but user=%d offline ", 11, c.addr.c_str(), c.UIN, targetUin);
    return;
  }
  WireWriter w(rest.size() + 48);
  w.u8(0x2A).u8(2).be16(NextSeq(c)).be16(0);
  w.be16(0x0004).be16(0x000B).be16(0).be32(++Cfg.snacReqId);
  w.bytes(cookieAndChannel).text8(std::to_string(c.UIN)).bytes(rest);
  QueueRawFrame(*t, std::move(w.buffer()));
}
