#include "VornBOS/command.h"

#include <algorithm>
#include <vector>

#include "VornBOS/session.h"
#include "VornBOS/ssi/owner.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/wire.h"

void SendStatusReply(ClientInfo& c, uint32_t uin) {
  WireWriter w(30);
  w.u8(0x2A).u8(2).be16(0).be16(0x0018).be16(0x0001).be16(0x000F).be16(0).be32(0);
  const ClientInfo* s = FindUser(uin);
  if (s) {
    w.bytes(s->ipExt, 4).bytes(s->ipInt, 4).le16(static_cast<uint16_t>(s->Port));
    w.u8(s->Status[1]).u8(s->Status[0]).u8(s->Status[3]).u8(s->Status[2]);
  } else {
    w.zeros(10).be32(0xFFFFFFFF);
  }
  QueueRawFrame(c, std::move(w.buffer()));
}

bool CommandAllowed(const ClientInfo& c) {
  // ipExt holds the peer's address from the accept until the client reports its own, which a
  // connection that has not logged in never does.
  uint32_t peer = (uint32_t{c.ipExt[0]} << 24) | (uint32_t{c.ipExt[1]} << 16) | (uint32_t{c.ipExt[2]} << 8) |
                  uint32_t{c.ipExt[3]};
  return AddrAllowed(Cfg.cmdAllow, peer);
}

void SendOnlineList(ClientInfo& c) {
  std::vector<const ClientInfo*> online;
  ForEachSession([&](const ClientInfo& s) {
    if (s.isLogged && s.UIN != 0) online.push_back(&s);
  });
  size_t pos = 0;
  do {
    size_t n = std::min(kOnlineRecordsPerFrame, online.size() - pos);
    bool more = pos + n < online.size();
    uint16_t length = static_cast<uint16_t>(12 + n * kOnlineRecordSize);
    WireWriter w(6 + length);
    w.u8(0x2A).u8(2).be16(0).be16(length).be16(0x0001).be16(0x0081).be16(more ? 1 : 0).be32(0);
    w.le16(static_cast<uint16_t>(n));
    for (size_t i = pos; i < pos + n; ++i) {
      const ClientInfo* s = online[i];
      w.le32(s->UIN).bytes(s->ipExt, 4).bytes(s->ipInt, 4).le16(static_cast<uint16_t>(s->Port));
      w.u8(s->Status[1]).u8(s->Status[0]).u8(s->Status[3]).u8(s->Status[2]);
    }
    QueueRawFrame(c, std::move(w.buffer()));
    pos += n;
  } while (pos < online.size());
}

void EndUserSessions(ClientInfo& c, uint32_t uin) {
  if (SsiOwner* o = LoadedOwnerList(uin)) o->discard = true;
  std::vector<ClientInfo*> ended;
  ForEachSession([&](ClientInfo& s) {
    if (&s != &c && s.UIN == uin && uin != 0 && s.isLogged) ended.push_back(&s);
  });
  for (ClientInfo* s : ended) {
    WriteLog("Session ended: user deleted", 9, s->addr.c_str(), uin);
    DestroySession(*s);
  }
  DiscardOwnerList(uin);
  WireWriter w(20);
  w.u8(0x2A).u8(2).be16(0).be16(12).be16(0x0001).be16(0x0083).be16(0).be32(0);
  w.le16(static_cast<uint16_t>(ended.size()));
  QueueRawFrame(c, std::move(w.buffer()));
}
