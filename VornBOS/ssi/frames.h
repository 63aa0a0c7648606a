// The SNAC bodies of the stored-list family (0x0013): items as they travel and the replies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "VornBOS/ssi/store.h"

// Edit status words of 13/0E.
constexpr uint16_t kSsiOk = 0x0000;
constexpr uint16_t kSsiNotFound = 0x0002;
constexpr uint16_t kSsiIdInUse = 0x000A;
constexpr uint16_t kSsiLimit = 0x000C;
constexpr uint16_t kSsiAuthRequired = 0x000E;
// The change could not be written (or the stored list cannot be read): nothing was stored.
// Not one of the documented refusals, so that a client never takes it for a limit.
constexpr uint16_t kSsiNotStored = 0x0001;

// Items of an add, update or delete request, read from the SNAC data after the header.
// An item that does not fit in the data ends the list (the rest is dropped).
std::vector<SsiItem> ParseSsiItems(const uint8_t* data, size_t len);

// SNAC data parts (header included) of the replies; reqId is the request's own.
std::vector<uint8_t> SsiRightsReply(const uint8_t reqId[4]);                  // 13/03
// 13/06 as one frame or several: SNAC flag 0x0001 on all but the last, each with the count of
// its own items, the time stamp only in the last.
std::vector<std::vector<uint8_t>> SsiListReplies(const uint8_t reqId[4], const SsiList& list);
// The server's own 13/09 telling a client that items of its list changed.
std::vector<uint8_t> SsiServerUpdate(uint32_t reqId, const std::vector<SsiItem>& items);
// Authorization reply (13/1B) to the requester: replier, flag (1 granted, 0 declined), reason.
std::vector<uint8_t> SsiAuthReplyFrame(uint32_t reqId, uint32_t replier, uint8_t granted, std::string_view reason);
std::vector<uint8_t> SsiEditAck(const uint8_t reqId[4], const std::vector<uint16_t>& status);  // 13/0E
std::vector<uint8_t> SsiUpToDate(const uint8_t reqId[4], uint32_t time, uint16_t count);        // 13/0F
// "You were added" (13/1C) to the user a buddy item names.
std::vector<uint8_t> SsiYouWereAdded(uint32_t reqId, uint32_t adder);
// Future authorization granted (13/15), from a 13/14 request body.
std::vector<uint8_t> SsiFutureAuth(uint32_t reqId, uint32_t granter, const uint8_t* reason, size_t reasonLen);
