#include <algorithm>

#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/owner.h"
#include "server-core/config.h"
#include "server-core/wire.h"

namespace {

constexpr uint16_t kTlvStatus = 0x0006;
constexpr uint16_t kTlvDirectConnection = 0x000C;
constexpr uint16_t kTlvExtStatus = 0x001D;
constexpr size_t kDcFields = 15;  // the direct-connection fields read, up to the cookie

// Extended status data: items of a 16-bit type, a flags byte, a length byte and that many
// bytes. Keeps the items that are whole and fit in kExtStatusMax, in their order.
std::string WholeStatusItems(std::string_view v) {
  WireReader r(reinterpret_cast<const uint8_t*>(v.data()), v.size());
  size_t end = 0;
  while (r.has(4)) {
    r.skip(3);
    if (!r.skip(r.u8()) || r.pos() > kExtStatusMax) break;
    end = r.pos();
  }
  return std::string(v.substr(0, end));
}

void SendCopy(ClientInfo& w, const std::vector<uint8_t>& notice) {
  ReqId id = MakeReqId(++Cfg.snacReqId);
  SendTemplate(w, notice, id.b);
}

std::vector<uint8_t> BuildDepartureNotice(const ClientInfo& c) {
  WireWriter w(64);
  w.be16(0x0003).be16(0x000C).be16(0).be32(0);
  w.text8(std::to_string(c.UIN)).be16(0).be16(1).be16(0x0002).be16(0);
  return MakeTemplate(2, w.buffer());
}

}  // namespace

std::vector<uint8_t> BuildOnlineNotice(const ClientInfo& c) {
  uint16_t k = GetBe16(c.clientCaps);
  if (k > kClientCapsSize - 2) k = kClientCapsSize - 2;
  bool flags = c.Status[0] != 0 || c.Status[1] != 0;
  WireWriter w(128 + c.extStatus.size());
  w.be16(0x0003).be16(0x000B).be16(0).be32(0);
  w.text8(std::to_string(c.UIN)).be16(0).be16(c.extStatus.empty() ? 7 : 8);
  w.tlv16(0x0001, flags ? 0x0050 : 0x0070);
  w.be16(0x000C).be16(0x0025).bytes(c.ipInt, 4).be32(c.Port & 0xFFFF).u8(c.dcType);
  w.u8(0).u8(c.Version).bytes(c.Cookie, 4).be32(0x50).be32(3).be32(0xFFFFFFFF).zeros(10);
  w.be16(0x000A).be16(4).bytes(c.ipExt, 4);
  w.be16(0x0006).be16(4).bytes(c.Status, 4);
  w.be16(0x000D).be16(k).bytes(c.clientCaps + 2, k);
  w.tlv32(0x000F, 0x00005B15);
  w.tlv32(0x0003, c.connectTime);  // the sign-on time, seconds since 1970
  if (!c.extStatus.empty()) w.tlv(0x001D, c.extStatus);
  return MakeTemplate(2, w.buffer());
}

void NotifyStatusChange(ClientInfo& c) {
  uint8_t before[4];
  std::copy(c.Status, c.Status + 4, before);
  // Each TLV the request carries replaces what it stands for; what it leaves out stays.
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(10);
  while (r.has(4)) {
    uint16_t type = r.be16();
    uint16_t length = r.be16();
    // A last TLV cut short by the end of the request gives what it holds.
    std::string_view v = r.bytes(std::min<size_t>(length, r.remaining()));
    const uint8_t* q = reinterpret_cast<const uint8_t*>(v.data());
    if (type == kTlvStatus && v.size() >= 4) {
      std::copy(q, q + 4, c.Status);
    } else if (type == kTlvDirectConnection && v.size() >= kDcFields) {
      // Internal address, port (32-bit, 16 bits used), type, version (16-bit), cookie.
      std::copy(q, q + 4, c.ipInt);
      c.Port = GetBe16(q + 6);
      c.dcType = q[8];
      c.Version = q[10];
      std::copy(q + 11, q + 15, c.Cookie);
    } else if (type == kTlvExtStatus) {
      c.extStatus = WholeStatusItems(v);
    }
  }
  // Every watcher that may see the new status gets it; one that saw the old status and may
  // not see the new one (the owner went invisible) sees the owner leave.
  const SsiPrivacy& p = OwnerList(c.UIN).privacy;
  std::vector<uint8_t> online = BuildOnlineNotice(c), gone;
  for (ClientInfo* w : WatchersOf(c.UIN)) {
    if (w->ClnSocket < 0) continue;
    if (MaySee(p, c.Status, c.UIN, w->UIN)) {
      SendCopy(*w, online);
    } else if (MaySee(p, before, c.UIN, w->UIN)) {
      if (gone.empty()) gone = BuildDepartureNotice(c);
      SendCopy(*w, gone);
    }
  }
}

void RefreshPresence(ClientInfo& c, const SsiPrivacy& before) {
  const SsiPrivacy& now = OwnerList(c.UIN).privacy;
  std::vector<uint8_t> online, gone;
  for (ClientInfo* w : WatchersOf(c.UIN)) {
    if (w->ClnSocket < 0 || w == &c) continue;
    bool was = MaySee(before, c.Status, c.UIN, w->UIN), is = MaySee(now, c.Status, c.UIN, w->UIN);
    if (was == is) continue;
    std::vector<uint8_t>& notice = is ? online : gone;
    if (notice.empty()) notice = is ? BuildOnlineNotice(c) : BuildDepartureNotice(c);
    SendCopy(*w, notice);
  }
}

void NotifyDeparture(ClientInfo& c) {
  if (c.UIN == 0) return;
  std::vector<uint8_t> gone = BuildDepartureNotice(c);
  const SsiPrivacy& p = OwnerList(c.UIN).privacy;
  for (ClientInfo* w : WatchersOf(c.UIN))
    if (w->ClnSocket >= 0 && w != &c && MaySee(p, c.Status, c.UIN, w->UIN)) SendCopy(*w, gone);
}
