// The server-stored contact list of a user: its items and the file that keeps them.
// The file "<userDir><uin>.ssi" sits beside the user file. It is plain text in profile form,
// one section per item, so an operator can read it; it is always replaced as a whole.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Item types of the stored list.
constexpr uint16_t kSsiBuddy = 0x0000;
constexpr uint16_t kSsiGroup = 0x0001;
constexpr uint16_t kSsiPermit = 0x0002;   // visible list
constexpr uint16_t kSsiDeny = 0x0003;     // invisible list
constexpr uint16_t kSsiIgnore = 0x000E;
// The TLV that marks a buddy whose authorization is still awaited.
constexpr uint16_t kSsiAwaitingAuth = 0x0066;

// Most items one list may hold.
constexpr size_t kSsiMaxItems = 1000;

struct SsiItem {
  std::string name;
  uint16_t group = 0;
  uint16_t id = 0;
  uint16_t type = 0;
  std::string data;  // the item's TLVs as sent
};

struct SsiList {
  uint32_t time = 0;  // seconds since 1970 of the last change
  std::vector<SsiItem> items;
};

std::string SsiFilePath(uint32_t uin);

// True when the item's TLV block holds a TLV of the type.
bool SsiHasTlv(const SsiItem& item, uint16_t type);
// The user number a buddy item names: 0 for other items and names that are not numbers.
uint32_t SsiBuddyUin(const SsiItem& item);

// The file text and its reading. Parsing skips what it does not understand.
std::string RenderSsiText(uint32_t uin, const SsiList& list);
SsiList ParseSsiText(std::string_view text);

// Nothing when the user has no stored list.
std::optional<SsiList> LoadSsi(uint32_t uin);
// Replaces the file in one step (temporary file renamed over it). False when it failed.
bool SaveSsi(uint32_t uin, const SsiList& list);

SsiItem* FindSsiItem(SsiList& list, uint16_t group, uint16_t id);
