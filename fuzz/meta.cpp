// Every meta request type and subtype of a logged-in session, with random subtype data.
#include "VornBOS/directory/meta.h"
#include "fuzz/bos_env.h"
#include "server-core/wire.h"

namespace {

const uint16_t kSubtypes[] = {0x03EA, 0x03F3, 0x03FD, 0x0406, 0x042E, 0x04B2, 0x04BA,
                              0x04D0, 0x0515, 0x055F, 0x0573, 0x1482, 0x0000, 0xFFFF};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::BosEnv& env = fz::Env();
  fz::ResetBetweenInputs();
  if (size < 2) return 0;
  // Byte 0: the request type (0x003C, 0x003E, 0x07D0, or byte 1 and 2 as it); byte 1: the subtype.
  uint16_t type = data[0] % 4 == 0 ? 0x003C : data[0] % 4 == 1 ? 0x003E : 0x07D0;
  uint16_t subtype = kSubtypes[data[1] % (sizeof kSubtypes / sizeof kSubtypes[0])];
  bool lie = data[0] & 0x80;  // a meta length and TLV length that do not match the data
  WireWriter meta;
  meta.le32(lie ? 999 : 1000).le16(type).le16(0x0102);
  if (type == 0x07D0) meta.le16(subtype);
  meta.bytes(data + 2, size - 2);
  WireWriter w;
  w.be16(0x15).be16(0x02).be16(0).be32(7).be16(1);
  w.be16(static_cast<uint16_t>(lie ? data[1] : meta.size() + 2)).le16(static_cast<uint16_t>(meta.size()));
  w.bytes(meta.buffer().data(), meta.size());
  if (w.size() > 0xFFFF) return 0;
  ClientInfo& c = *env.user;
  c.in.head[1] = 2;
  c.in.data = w.buffer();
  c.in.length = static_cast<uint16_t>(w.size());
  HandleMetaRequest(c);
  return 0;
}
