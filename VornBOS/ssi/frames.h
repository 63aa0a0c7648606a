// The SNAC bodies of the stored-list family (0x0013): items as they travel and the replies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VornBOS/ssi/store.h"

// Edit status words of 13/0E.
constexpr uint16_t kSsiOk = 0x0000;
constexpr uint16_t kSsiNotFound = 0x0002;
constexpr uint16_t kSsiLimit = 0x000C;
constexpr uint16_t kSsiAuthRequired = 0x000E;

// Items of an add, update or delete request, read from the SNAC data after the header.
// An item that does not fit in the data ends the list (the rest is dropped).
std::vector<SsiItem> ParseSsiItems(const uint8_t* data, size_t len);

// SNAC data parts (header included) of the replies; reqId is the request's own.
std::vector<uint8_t> SsiRightsReply(const uint8_t reqId[4]);                  // 13/03
std::vector<uint8_t> SsiListReply(const uint8_t reqId[4], const SsiList& list); // 13/06
std::vector<uint8_t> SsiEditAck(const uint8_t reqId[4], const std::vector<uint16_t>& status);  // 13/0E
std::vector<uint8_t> SsiUpToDate(const uint8_t reqId[4], uint32_t time, uint16_t count);        // 13/0F
// "You were added" (13/1C) to the user a buddy item names.
std::vector<uint8_t> SsiYouWereAdded(uint32_t reqId, uint32_t adder);
// Future authorization granted (13/15), from a 13/14 request body.
std::vector<uint8_t> SsiFutureAuth(uint32_t reqId, uint32_t granter, const uint8_t* reason, size_t reasonLen);
