#include <ctime>

#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/owner.h"
#include "server-core/config.h"
#include "server-core/wire.h"

namespace {

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
  WireWriter w(128);
  w.be16(0x0003).be16(0x000B).be16(0).be32(0);
  w.text8(std::to_string(c.UIN)).be16(0).be16(7);
  w.tlv16(0x0001, flags ? 0x0050 : 0x0070);
  w.be16(0x000C).be16(0x0025).bytes(c.ipInt, 4).be32(c.Port & 0xFFFF).u8(c.dcType);
  w.u8(0).u8(c.Version).bytes(c.Cookie, 4).be32(0x50).be32(3).be32(0xFFFFFFFF).zeros(10);
  w.be16(0x000A).be16(4).bytes(c.ipExt, 4);
  w.be16(0x0006).be16(4).bytes(c.Status, 4);
  w.be16(0x000D).be16(k).bytes(c.clientCaps + 2, k);
  w.tlv32(0x000F, 0x00005B15);
  w.tlv32(0x0003, static_cast<uint32_t>(std::time(nullptr)) - c.connectTime);
  return MakeTemplate(2, w.buffer());
}

void NotifyStatusChange(ClientInfo& c) {
  uint8_t before[4];
  std::copy(c.Status, c.Status + 4, before);
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(14);
  std::string_view status = r.bytes(4);
  if (status.size() == 4) std::copy(status.begin(), status.end(), c.Status);
  // The direct-connection block is taken only when the request holds all of it.
  if (c.in.length > 18 && c.in.length >= 43) {
    const uint8_t* p = c.in.data.data();
    std::copy(p + 28, p + 32, c.ipInt);
    c.Port = GetBe16(p + 34);
    c.dcType = p[36];
    c.Version = p[38];
    std::copy(p + 39, p + 43, c.Cookie);
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
