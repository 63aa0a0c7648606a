// Search by e-mail address in the user-lookup family (SNAC 0x000A/0x0002): the request body is
// the address as plain text. The reply lists the number of every user whose stored e-mail
// address is that address (letters compared without regard to case), one TLV 0x0001 each in
// SNAC 0x000A/0x0003, or is the family's error SNAC 0x000A/0x0001 with the code "no match".
#include <string>
#include <string_view>

#include "VornBOS/directory/dirtext.h"
#include "VornBOS/directory/handlers.h"
#include "VornBOS/directory/user_index.h"
#include "VornBOS/session.h"
#include "server-core/log.h"

namespace {

constexpr uint16_t kLookupFamily = 0x000A;
constexpr uint16_t kLookupError = 0x0001;
constexpr uint16_t kLookupReply = 0x0003;
constexpr uint16_t kErrorNoMatch = 0x0014;
constexpr size_t kCompareSize = 100;  // stored addresses are compared up to 99 characters
constexpr size_t kMaxData = 0xFFFF - 6;

// A reply's SNAC header, with the request's id.
WireWriter SnacHead(const ClientInfo& c, uint16_t subtype) {
  WireWriter w(64);
  w.be16(kLookupFamily).be16(subtype).be16(0).bytes(c.in.data.data() + 6, 4);
  return w;
}

}  // namespace

void LookupByEmail(ClientInfo& c) {
  std::string_view body(reinterpret_cast<const char*>(c.in.data.data()) + 10, c.in.length - 10u);
  std::string wanted(body.substr(0, body.find('\0')));
  WireWriter w = SnacHead(c, kLookupReply);
  size_t found = 0;
  if (!wanted.empty() && wanted.size() < kCompareSize) {
    ForEachIndexedUser([&](uint32_t uin) {
      std::string email = IndexedUserString(uin, "email", "", kCompareSize);
      if (email.empty() || !SameTextNoCase(email, wanted)) return;
      std::string number = std::to_string(uin);
      if (w.size() + 4 + number.size() > kMaxData) return;  // the rest would not fit one reply
      w.tlv(0x0001, number);
      ++found;
    });
  }
  WriteLog("Find by email. Found=%d", 9, c.addr.c_str(), c.UIN, static_cast<int>(found));
  if (found == 0) {
    WireWriter e = SnacHead(c, kLookupError);
    e.be16(kErrorNoMatch);
    QueueFrame(c, 2, e.buffer());
    return;
  }
  QueueFrame(c, 2, w.buffer());
}
