// Requests as a client writes them, for the handler tests of this folder.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "server-core/wire.h"

namespace client_snac {

// A SNAC: family, subtype, flags 0, request id 0x01020304, then the body.
inline std::vector<uint8_t> Snac(uint16_t family, uint16_t subtype, const std::vector<uint8_t>& body) {
  WireWriter w;
  w.be16(family).be16(subtype).be16(0).be32(0x01020304).bytes(body.data(), body.size());
  return w.buffer();
}

// One stored-list item: name, group id, item id, type, then its TLVs.
inline std::vector<uint8_t> Item(const std::string& name, uint16_t group, uint16_t id, uint16_t type,
                                 const std::vector<uint8_t>& tlvs = {}) {
  WireWriter w;
  w.be16(static_cast<uint16_t>(name.size())).bytes(name).be16(group).be16(id).be16(type);
  w.be16(static_cast<uint16_t>(tlvs.size())).bytes(tlvs.data(), tlvs.size());
  return w.buffer();
}

}  // namespace client_snac
