// The server-stored contact list of a user: its items, its budget and the file that keeps them.
// The file "<userDir><uin>.ssi" sits beside the user file. It is plain text in profile form,
// one section per item, so an operator can read it; it is always replaced as a whole.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Item types of the stored list.
constexpr uint16_t kSsiBuddy = 0x0000;
constexpr uint16_t kSsiGroup = 0x0001;
constexpr uint16_t kSsiPermit = 0x0002;      // visible list
constexpr uint16_t kSsiDeny = 0x0003;        // invisible list
constexpr uint16_t kSsiVisibility = 0x0004;  // the permit/deny setting, TLV 0x00CA
constexpr uint16_t kSsiIgnore = 0x000E;
// The TLV that marks a buddy whose authorization is still awaited.
constexpr uint16_t kSsiAwaitingAuth = 0x0066;
// The permit/deny mode byte of the visibility item.
constexpr uint16_t kSsiModeTlv = 0x00CA;

// The budget. One item (its 10-byte head, name and TLVs as they travel) is at most
// kSsiItemBudget bytes and a list at most kSsiListBudget bytes: 1,000 buddies with a nick and a
// comment take about 150 KB. Per type, at most kSsiTypeLimits[type] items (the rights reply
// announces the same table); types past the table share kSsiOtherTypeLimit.
constexpr size_t kSsiItemBudget = 1024;
constexpr size_t kSsiListBudget = 256 * 1024;
constexpr uint16_t kSsiTypeLimits[15] = {1000, 61, 200, 200, 1, 1, 50, 20, 20, 20, 20, 20, 20, 20, 200};
constexpr uint16_t kSsiOtherTypeLimit = 20;

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
  // Numbers that authorized the owner to watch them (a grant or a future authorization). Kept
  // by the server only: clients cannot write it.
  std::vector<uint32_t> authorizedBy;
};

std::string SsiFilePath(uint32_t uin);

uint16_t SsiTypeLimit(uint16_t type);
// Bytes of the item as it travels in a list reply.
size_t SsiWireSize(const SsiItem& item);

// True when the item's TLV block holds a TLV of the type.
bool SsiHasTlv(const SsiItem& item, uint16_t type);
// The first byte of a TLV's value, or -1 when there is none.
int SsiTlvByte(const SsiItem& item, uint16_t type);
// The user number a buddy item names: 0 for other items and names that are not numbers.
uint32_t SsiBuddyUin(const SsiItem& item);
// The number a visible, invisible or ignore item names (0 for other types).
uint32_t SsiPrivacyUin(const SsiItem& item);

// The file text and its reading. A text that is damaged (no [List] section, an item count
// that does not match, an item section without its type) or over the budget gives nothing:
// it is never taken for a shorter list.
std::string RenderSsiText(uint32_t uin, const SsiList& list);
std::optional<SsiList> ParseSsiText(std::string_view text);

enum class SsiRead { Ok, Absent, Error };
// Reads the user's list into out. Absent: the user never stored one. Error: the file exists
// but cannot be read, or is damaged or over budget (logged by the caller).
SsiRead ReadSsi(uint32_t uin, SsiList& out);
// The stored list, or nothing when it is absent or unreadable.
std::optional<SsiList> LoadSsi(uint32_t uin);
// Replaces the file in one step (temporary file renamed over it), readable by its owner only.
// False when it failed.
bool SaveSsi(uint32_t uin, const SsiList& list);

SsiItem* FindSsiItem(SsiList& list, uint16_t group, uint16_t id);
