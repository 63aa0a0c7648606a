#include <cstring>

#include "VornBOS/admin/metrics.h"
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

// The incoming-message frame (SNAC 0x04/0x07) for a recipient (its sequence number is the
// recipient's, stamped when queued); empty when it would not fit in one frame. A sender that
// asked for typing events on the message's channel gets the empty TLV 0x000B after the
// message, which tells the recipient that it may send typing notifications back.
std::vector<uint8_t> IncomingMessageFrame(ClientInfo& sender, const IcbmMessage& m, uint32_t from) {
  std::vector<uint8_t> tlv = MessageTlv(sender, m, from);
  if (tlv.size() > kMaxFrame - 80) return {};
  WireWriter w(84 + tlv.size());
  w.u8(0x2A).u8(2).be16(0).be16(0);
  w.be16(0x0004).be16(0x0007).be16(0).be32(++Cfg.snacReqId);
  w.bytes(m.snac + 10, 10);  // cookie and channel
  w.text8(std::to_string(from)).be16(0).be16(4);
  w.tlv16(0x0001, 0x0050);
  w.be16(0x0006).be16(4).bytes(sender.Status, 4);
  w.tlv32(0x000F, 0x000042E0).tlv32(0x0003, 0x3E375BD7);
  w.bytes(tlv.data(), tlv.size());
  if (WantsTypingEvents(sender, m.channel)) w.be16(0x000B).be16(0);
  return std::move(w.buffer());
}

// The frame of IncomingMessageFrame for a message passed on unchanged (from is the sender),
// written straight into the recipient's queue with the recipient's next sequence number.
void QueueMessageInPlace(ClientInfo& sender, const IcbmMessage& m, ClientInfo& recipient, uint32_t from) {
  size_t tlvSize = 4 + m.tlvLen;
  if (tlvSize > kMaxFrame - 80) return BadSnac(sender, m.len);
  ClientInfo::NumberText& fromText = sender.fromText;
  if (fromText.len == 0 || fromText.of != from) {
    fromText.of = from;
    fromText.len = static_cast<uint8_t>(PutDecimalText(fromText.text, from));
  }
  size_t nd = fromText.len;
  bool typing = WantsTypingEvents(sender, m.channel);
  size_t dataLen = 10 + 10 + 1 + nd + 4 + 6 + 8 + 8 + 8 + tlvSize + (typing ? 4 : 0);
  uint32_t reqId = ++Cfg.snacReqId;
  uint8_t* p = QueueFrameInPlace(recipient, 2, dataLen, NextSeq(recipient));
  if (!p) return;
  static constexpr uint8_t kFamily[6] = {0x00, 0x04, 0x00, 0x07, 0x00, 0x00};
  std::copy(kFamily, kFamily + 6, p);
  PutBe32(p + 6, reqId);
  std::copy(m.snac + 10, m.snac + 20, p + 10);  // cookie and channel
  p += 20;
  *p++ = static_cast<uint8_t>(nd);
  // All ten bytes are copied (one fixed-size move); the block written next covers the rest.
  std::memcpy(p, fromText.text, sizeof fromText.text);
  p += nd;
  static constexpr uint8_t kBlock[14] = {0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0x00, 0x50, 0x00, 0x06, 0x00, 0x04};
  std::copy(kBlock, kBlock + 14, p);
  std::copy(sender.Status, sender.Status + 4, p + 14);
  static constexpr uint8_t kTail[16] = {0x00, 0x0F, 0x00, 0x04, 0x00, 0x00, 0x42, 0xE0,
                                        0x00, 0x03, 0x00, 0x04, 0x3E, 0x37, 0x5B, 0xD7};
  std::copy(kTail, kTail + 16, p + 18);
  p += 34;
  PutBe16(p, GetBe16(m.snac + m.tlvPos));
  PutBe16(p + 2, static_cast<uint16_t>(m.tlvLen));
  std::copy(m.snac + m.tlvPos + 4, m.snac + m.tlvPos + 4 + m.tlvLen, p + 4);
  if (typing) {
    static constexpr uint8_t kTyping[4] = {0x00, 0x0B, 0x00, 0x00};
    std::copy(kTyping, kTyping + 4, p + tlvSize);
  }
}

void QueueMessage(ClientInfo& sender, const IcbmMessage& m, ClientInfo& recipient, uint32_t from) {
  if (from == sender.UIN) return QueueMessageInPlace(sender, m, recipient, from);
  std::vector<uint8_t> frame = IncomingMessageFrame(sender, m, from);
  if (frame.empty()) return BadSnac(sender, m.len);
  QueueSessionFrame(recipient, std::move(frame));
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

bool RouteMessage(ClientInfo& sender, IcbmMessage& m) {
  if (!ParseOrDrop(sender, m)) return false;
  CountMessage(m.channel);
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
  ClientInfo* r = FindUser(m.recipient);
  switch (MessageVerdictFor(m.recipient, sender.UIN, r)) {
    case MessageVerdict::Refuse:
      RefuseMessage(sender, m.recipient);
      return false;
    case MessageVerdict::Drop:
      WriteLog("Message from %d to %d dropped (ignore list)", 9, a, sender.UIN, sender.UIN, m.recipient);
      return true;
    case MessageVerdict::Deliver:
      break;
  }
  if (r)
    DeliverMessage(sender, m, *r, sender.UIN);
  else
    StoreOfflineMessage(sender, m, m.recipient, sender.UIN);
  return true;
}

bool RouteMessage(ClientInfo& sender) {
  IcbmMessage m;
  return RouteMessage(sender, m);
}

void RelayAdvancedMessage(ClientInfo& sender) {
  IcbmMessage m;
  if (!ParseOrDrop(sender, m)) return;
  CountMessage(m.channel);
  WriteLog("Recv slow msg from %d to %d. Size=%d", 9, sender.addr.c_str(), sender.UIN, sender.UIN, m.recipient,
           static_cast<int>(m.len));
  MessageVerdict verdict = MessageVerdictFor(m.recipient, sender.UIN);
  if (verdict == MessageVerdict::Refuse) return RefuseMessage(sender, m.recipient);
  std::vector<uint8_t> ack(6 + 21 + m.tl);
  ack[1] = 2;
  std::copy(m.snac, m.snac + 21 + m.tl, ack.begin() + 6);
  PutBe16(&ack[6 + 2], 0x000C);
  QueueSessionFrame(sender, std::move(ack));
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
  w.u8(0x2A).u8(2).be16(0).be16(0);
  w.be16(0x0004).be16(0x000B).be16(0).be32(++Cfg.snacReqId);
  w.bytes(cookieAndChannel).text8(std::to_string(c.UIN)).bytes(rest);
  QueueSessionFrame(*t, std::move(w.buffer()));
}
