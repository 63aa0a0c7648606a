#include "VornBOS/directory/meta.h"

#include <map>

#include "VornBOS/directory/handlers.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/session.h"
#include "server-core/log.h"

namespace {

constexpr size_t kSnacHeader = 10;

std::vector<uint8_t> BuildCanned(uint16_t subtype, uint8_t result, size_t zeroBytes) {
  WireWriter w = StartMetaReply(subtype, result);
  w.zeros(zeroBytes);
  return w.buffer();
}

// Parses the envelope; false when the request is too short or not the session's own.
bool ParseMetaRequest(ClientInfo& c, MetaRequest& req) {
  const std::vector<uint8_t>& snac = c.in.data;
  WireReader r(snac.data(), c.in.length);
  r.skip(6);
  for (int i = 0; i < 4; ++i) req.reqId[i] = r.u8();
  r.be16();  // TLV type, not examined
  uint16_t tlvLen = r.be16();
  r.le16();  // meta data length, not examined
  uint32_t owner = r.le32();
  req.type = r.le16();
  req.sequence = r.le16();
  if (!r.ok() || tlvLen < 6 || owner != c.UIN) return false;
  if (req.type == 0x07D0) {
    req.subtype = r.le16();
    if (!r.ok()) return false;
  }
  req.data = r.here();
  req.len = r.remaining();
  return true;
}

void DispatchSearchByKey(const MetaRequest& req) {
  WireReader r(req.data, req.len);
  uint16_t tlvType = r.le16();
  if (!r.ok()) return;
  if (tlvType == 0x0136)
    SearchByUin(req);
  else if (tlvType == 0x015E)
    SearchByEmail(req);
  else
    WriteLog("Understand param find = %d", 11, req.client.addr.c_str(), req.client.UIN, tlvType);
}

void DispatchMetaSubtype(const MetaRequest& req) {
  using Handler = void (*)(const MetaRequest&);
  static const std::map<uint16_t, Handler> handlers = {
      {0x03EA, SetHomeInfo},  {0x03F3, SetWorkInfo},   {0x03FD, SetMoreInfo},
      {0x0406, SetAbout},     {0x042E, SetPassword},   {0x04B2, SendFullInfo},
      {0x04BA, SendShortInfo}, {0x04D0, SendFullInfo}, {0x0515, SearchByName},
      {0x055F, SearchByName}, {0x0573, DispatchSearchByKey}, {0x1482, SendSms},
      {0x0533, SearchWhitePages}, {0x0569, DispatchSearchByKey},
  };
  auto it = handlers.find(req.subtype);
  if (it == handlers.end()) {
    WriteLog("Not support Meta=0xd007 Key=0x%x", 7, req.client.addr.c_str(), req.client.UIN, req.subtype);
    return;
  }
  it->second(req);
}

}  // namespace

WireWriter StartMetaReply(uint16_t subtype, uint8_t result) {
  WireWriter w(64);
  w.zeros(26).le16(kMetaReply).le16(0).le16(subtype).u8(result);
  return w;
}

WireWriter StartMetaFrame(uint16_t replyType) {
  WireWriter w(64);
  w.zeros(26).le16(replyType).le16(0);
  return w;
}

void FinishMetaReply(const MetaRequest& req, std::vector<uint8_t> frame) {
  ClientInfo& c = req.client;
  // The stamped fields run up to byte 29.
  if (frame.size() < 30 || frame.size() > 0xFFFF) {
    WriteLog("Bad meta flap", 11, c.addr.c_str(), c.UIN);
    return;
  }
  uint16_t len = static_cast<uint16_t>(frame.size());
  frame[1] = 2;
  PutBe16(&frame[6], 0x0015);
  PutBe16(&frame[8], 0x0003);
  PutBe16(&frame[10], 0);
  std::copy(req.reqId, req.reqId + 4, frame.begin() + 12);
  PutBe16(&frame[16], 0x0001);
  PutBe16(&frame[18], static_cast<uint16_t>(len - 20));
  frame[20] = static_cast<uint8_t>(len - 22);
  frame[21] = static_cast<uint8_t>((len - 22) >> 8);
  for (int i = 0; i < 4; ++i) frame[22 + i] = static_cast<uint8_t>(c.UIN >> (8 * i));
  frame[28] = static_cast<uint8_t>(req.sequence);
  frame[29] = static_cast<uint8_t>(req.sequence >> 8);
  QueueSessionFrame(c, std::move(frame));
}

void MarkMoreRepliesFollow(ClientInfo& c, size_t first) {
  for (size_t i = first; i + 1 < c.sendQueue.size(); ++i) {
    std::vector<uint8_t>& d = c.sendQueue[i].data;
    if (d.size() >= 12) PutBe16(&d[10], 0x0001);
  }
}

void SendMetaTemplate(const MetaRequest& req, const std::vector<uint8_t>& canned) {
  FinishMetaReply(req, canned);
}

const std::vector<uint8_t>& CannedReply(uint16_t subtype) {
  static const std::map<uint16_t, std::vector<uint8_t>> canned = {
      {0x0064, BuildCanned(0x0064, kMetaSuccess, 0)}, {0x006E, BuildCanned(0x006E, kMetaSuccess, 0)},
      {0x0078, BuildCanned(0x0078, kMetaSuccess, 0)}, {0x0082, BuildCanned(0x0082, kMetaSuccess, 0)},
      {0x00AA, BuildCanned(0x00AA, kMetaSuccess, 0)}, {0x010E, BuildCanned(0x010E, kMetaSuccess, 2)},
      {0x00F0, BuildCanned(0x00F0, kMetaSuccess, 1)}, {0x00FA, BuildCanned(0x00FA, kMetaSuccess, 2)},
      {0x019A, BuildCanned(0x019A, kMetaFailure, 0)}, {0x01AE, BuildCanned(0x01AE, kMetaFailure, 0)},
  };
  static const std::vector<uint8_t> none;
  auto it = canned.find(subtype);
  return it == canned.end() ? none : it->second;
}

const std::vector<uint8_t>& EndOfOfflineReply() {
  static const std::vector<uint8_t> frame = [] {
    WireWriter w = StartMetaFrame(0x0042);
    w.u8(0);
    return w.buffer();
  }();
  return frame;
}

void HandleMetaRequest(ClientInfo& c) {
  MetaRequest req{c, {0, 0, 0, 0}, 0, 0, 0, nullptr, 0};
  if (c.in.length < kSnacHeader || !ParseMetaRequest(c, req)) return;
  switch (req.type) {
    case 0x003C:
      SendOfflineMessages(req);
      break;
    case 0x003E:
      DeleteOfflineMessages(c);
      break;
    case 0x07D0:
      DispatchMetaSubtype(req);
      break;
    default:
      WriteLog("Not support Meta=%d", 7, c.addr.c_str(), c.UIN, req.type);
      break;
  }
}
