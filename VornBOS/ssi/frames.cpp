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

// Most items per type that the rights reply announces: buddies, groups, visible, invisible,
// visibility setting, presence setting, then unused types; ignore is the 15th.
constexpr uint16_t kLimits[] = {0x0190, 0x003D, 0x00C8, 0x00C8, 0x0001, 0x0001, 0x0032, 0x0000, 0x0000, 0x0000};

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
  w.be16(0x0004).be16(sizeof(kLimits));
  for (uint16_t v : kLimits) w.be16(v);
  return std::move(w.buffer());
}

std::vector<uint8_t> SsiListReply(const uint8_t reqId[4], const SsiList& list) {
  WireWriter w = Header(0x0006, reqId);
  w.u8(0).be16(static_cast<uint16_t>(list.items.size()));
  for (const SsiItem& it : list.items) {
    w.be16(static_cast<uint16_t>(it.name.size())).bytes(it.name);
    w.be16(it.group).be16(it.id).be16(it.type);
    w.be16(static_cast<uint16_t>(it.data.size())).bytes(it.data);
  }
  w.be32(list.time);
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
