// The frames the load generator sends, built the way ICQ clients build them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vl {

using Bytes = std::vector<uint8_t>;

void PutBe16(Bytes& b, uint16_t v);
void PutBe32(Bytes& b, uint32_t v);
void PutLe16(Bytes& b, uint16_t v);
void PutLe32(Bytes& b, uint32_t v);
uint16_t Be16(const uint8_t* p);

// Appends a whole FLAP frame to out.
void AppendFlap(Bytes& out, uint8_t channel, uint16_t seq, const Bytes& data);
// Appends a channel-2 SNAC frame.
void AppendSnac(Bytes& out, uint16_t& seq, uint16_t family, uint16_t subtype, uint32_t reqId, const Bytes& body);

// Data part of the password login at the authorization server.
Bytes AuthLoginData(uint32_t uin, const std::string& password);
// Data part of the cookie login at the session server.
Bytes CookieLoginData(const Bytes& cookie);
// The start-up requests a client sends after the cookie login, ending with the contact-list
// check (answered by 0x13/0x0F or the stored list 0x13/0x06), the buddy list, the location info, the status and client ready.
void AppendStartup(Bytes& out, uint16_t& seq, const std::vector<uint32_t>& contacts, uint32_t status);
// A channel-1 message to a user.
void AppendMessage(Bytes& out, uint16_t& seq, uint32_t to, uint32_t reqId, const std::string& text);
// A set-status request.
void AppendSetStatus(Bytes& out, uint16_t& seq, uint32_t status);
// A meta request (0x15/0x02) of the given type with no further data.
void AppendMeta(Bytes& out, uint16_t& seq, uint32_t owner, uint16_t type);

// TLVs of a data part from an offset: the value of the type, empty when it is missing.
Bytes FindTlv(const uint8_t* data, size_t len, size_t offset, uint16_t type);

}  // namespace vl
