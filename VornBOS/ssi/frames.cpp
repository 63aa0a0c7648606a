#include "VornBOS/ssi/frames.h"

#include <string>

#include "server-core/wire.h"

namespace {

WireWriter Header(uint16_t subtype, const uint8_t reqId[4]) {
  WireWriter w(64);
  w.be16(0x0013).be16(subtype).be16(0).bytes(reqId, 4);
  return w;
}

WireWriter Header(uint16_t subtype, uint32_t reqId) {
  WireWriter w(64);
  w.be16(0x0013).be16(subtype).be16(0).be32(reqId);
  return w;
}

// A list reply frame holds at most this much SNAC data (the FLAP length is 16 bits).
constexpr size_t kMaxListSnac = 0xFFFF;
constexpr size_t kListHead = 10 + 1 + 2;  // SNAC header, version byte, item count

void PutItem(WireWriter& w, const SsiItem& it) {
  w.be16(static_cast<uint16_t>(it.name.size())).bytes(it.name);
  w.be16(it.group).be16(it.id).be16(it.type);
  w.be16(static_cast<uint16_t>(it.data.size())).bytes(it.data);
}

}  // namespace

std::vector<SsiItem> ParseSsiItems(const uint8_t* data, size_t len) {
  std::vector<SsiItem> items;
  WireReader r(data, len);
  while (r.remaining() > 0) {
    SsiItem it;
    it.name = std::string(r.bytes(r.be16()));
    it.group = r.be16();
    it.id = r.be16();
    it.type = r.be16();
    it.data = std::string(r.bytes(r.be16()));
    if (!r.ok()) break;
    items.push_back(std::move(it));
  }
  return items;
}

std::vector<uint8_t> SsiRightsReply(const uint8_t reqId[4]) {
  WireWriter w = Header(0x0003, reqId);
  // TLV 4: the most items of each type, types 0 to 14 (buddy ... ignore).
  w.be16(0x0004).be16(sizeof(kSsiTypeLimits));
  for (uint16_t v : kSsiTypeLimits) w.be16(v);
  return std::move(w.buffer());
}

std::vector<std::vector<uint8_t>> SsiListReplies(const uint8_t reqId[4], const SsiList& list) {
  std::vector<std::vector<uint8_t>> out;
  size_t next = 0;
  do {
    // Items that fit one frame, leaving room for the time stamp of the last one.
    size_t size = kListHead + 4, end = next;
    while (end < list.items.size() && size + SsiWireSize(list.items[end]) <= kMaxListSnac) size += SsiWireSize(list.items[end++]);
    if (end == next && end < list.items.size()) ++end;  // an item larger than a frame cannot come from the budget
    bool last = end >= list.items.size();
    WireWriter w(size);
    w.be16(0x0013).be16(0x0006).be16(last ? 0x0000 : 0x0001).bytes(reqId, 4);
    w.u8(0).be16(static_cast<uint16_t>(end - next));
    for (size_t i = next; i < end; ++i) PutItem(w, list.items[i]);
    if (last) w.be32(list.time);
    out.push_back(std::move(w.buffer()));
    next = end;
  } while (next < list.items.size());
  return out;
}

std::vector<uint8_t> SsiServerUpdate(uint32_t reqId, const std::vector<SsiItem>& items) {
  WireWriter w = Header(0x0009, reqId);
  for (const SsiItem& it : items) PutItem(w, it);
  return std::move(w.buffer());
}

std::vector<uint8_t> SsiAuthReplyFrame(uint32_t reqId, uint32_t replier, uint8_t granted, std::string_view reason) {
  WireWriter w = Header(0x001B, reqId);
  w.text8(std::to_string(replier)).u8(granted).be16(static_cast<uint16_t>(reason.size())).bytes(reason);
  return std::move(w.buffer());
}

std::vector<uint8_t> SsiEditAck(const uint8_t reqId[4], const std::vector<uint16_t>& status) {
  WireWriter w = Header(0x000E, reqId);
  for (uint16_t s : status) w.be16(s);
  return std::move(w.buffer());
}

std::vector<uint8_t> SsiUpToDate(const uint8_t reqId[4], uint32_t time, uint16_t count) {
  WireWriter w = Header(0x000F, reqId);
  w.le32(time).le16(count);
  return std::move(w.buffer());
}

std::vector<uint8_t> SsiYouWereAdded(uint32_t reqId, uint32_t adder) {
  WireWriter w = Header(0x001C, reqId);
  w.text8(std::to_string(adder));
  return std::move(w.buffer());
}

std::vector<uint8_t> SsiFutureAuth(uint32_t reqId, uint32_t granter, const uint8_t* reason, size_t reasonLen) {
  WireWriter w = Header(0x0015, reqId);
  w.text8(std::to_string(granter)).be16(static_cast<uint16_t>(reasonLen)).bytes(reason, reasonLen).be16(0);
  return std::move(w.buffer());
}
