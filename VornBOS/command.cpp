#include "VornBOS/command.h"

#include "VornBOS/session.h"
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
