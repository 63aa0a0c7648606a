#include "VornBOS/ssi/store.h"

#include <cstdio>
#include <iterator>
#include <map>

#include "VornBOS/presence/icbm.h"
#include "platform/files.h"
#include "server-core/config.h"
#include "server-core/wire.h"

namespace {

// A list within the budget renders as at most three text bytes per item byte (hex, %XX) plus
// about 60 bytes of keys per item of at least 10 bytes: under 2.5 MiB. Anything larger is not a
// list this server wrote.
constexpr size_t kMaxFileSize = 16 * kSsiListBudget;
constexpr char kHex[] = "0123456789abcdef";

// Names keep printable characters; anything else (and '%') becomes %XX.
std::string EscapeName(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto b = static_cast<uint8_t>(s[i]);
    bool edge = b == ' ' && (i == 0 || i + 1 == s.size());
    if (b < 0x20 || b >= 0x7F || b == '%' || edge) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UnescapeName(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = 0, lo = 0;
    if (s[i] == '%' && i + 2 < s.size() && (hi = HexDigit(s[i + 1])) >= 0 && (lo = HexDigit(s[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string ToHex(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto b = static_cast<uint8_t>(s[i]);
    if (i) out += ' ';
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string FromHex(std::string_view s) {
  std::string out;
  int hi = -1;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) continue;
    if (hi < 0) {
      hi = d;
    } else {
      out += static_cast<char>(hi * 16 + d);
      hi = -1;
    }
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

uint32_t Number(std::string_view s) {
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFull) return 0;
  }
  return static_cast<uint32_t>(v);
}

void SetItemKey(SsiItem& item, std::string_view key, std::string_view value) {
  if (key == "Name") item.name = UnescapeName(value);
  else if (key == "Group") item.group = static_cast<uint16_t>(Number(value));
  else if (key == "Id") item.id = static_cast<uint16_t>(Number(value));
  else if (key == "Type") item.type = static_cast<uint16_t>(Number(value));
  else if (key == "Data") item.data = FromHex(value);
}

}  // namespace

std::string SsiFilePath(uint32_t uin) { return Cfg.userDir + std::to_string(static_cast<int32_t>(uin)) + ".ssi"; }

bool SsiHasTlv(const SsiItem& item, uint16_t type) {
  WireReader r(reinterpret_cast<const uint8_t*>(item.data.data()), item.data.size());
  while (r.has(4)) {
    uint16_t t = r.be16();
    uint16_t n = r.be16();
    if (t == type) return true;
    if (!r.skip(n)) break;
  }
  return false;
}

int SsiTlvByte(const SsiItem& item, uint16_t type) {
  WireReader r(reinterpret_cast<const uint8_t*>(item.data.data()), item.data.size());
  while (r.has(4)) {
    uint16_t t = r.be16();
    uint16_t n = r.be16();
    if (t == type && n > 0 && r.has(1)) return r.u8();
    if (!r.skip(n)) break;
  }
  return -1;
}

uint32_t SsiBuddyUin(const SsiItem& item) { return item.type == kSsiBuddy ? DecimalPrefix(item.name) : 0; }

uint32_t SsiPrivacyUin(const SsiItem& item) {
  bool privacy = item.type == kSsiPermit || item.type == kSsiDeny || item.type == kSsiIgnore;
  return privacy ? DecimalPrefix(item.name) : 0;
}

uint16_t SsiTypeLimit(uint16_t type) {
  return type < std::size(kSsiTypeLimits) ? kSsiTypeLimits[type] : kSsiOtherTypeLimit;
}

size_t SsiWireSize(const SsiItem& item) { return 10 + item.name.size() + item.data.size(); }

std::string RenderSsiText(uint32_t uin, const SsiList& list) {
  std::string out = "; Server-stored contact list of " + std::to_string(uin) +
                    ". Types: 0 buddy, 1 group, 2 visible, 3 invisible, 14 ignore.\n";
  out += "; Data is the item's TLVs in hex. Written by VornBOS; replaced as a whole.\n";
  out += "[List]\nTime=" + std::to_string(list.time) + "\nCount=" + std::to_string(list.items.size()) + "\n";
  if (!list.authorizedBy.empty()) {
    out += "AuthorizedBy=";
    for (size_t i = 0; i < list.authorizedBy.size(); ++i) out += (i ? " " : "") + std::to_string(list.authorizedBy[i]);
    out += "\n";
  }
  for (size_t i = 0; i < list.items.size(); ++i) {
    const SsiItem& it = list.items[i];
    out += "\n[Item" + std::to_string(i + 1) + "]\n";
    out += "Type=" + std::to_string(it.type) + "\nGroup=" + std::to_string(it.group) +
           "\nId=" + std::to_string(it.id) + "\nName=" + EscapeName(it.name) + "\nData=" + ToHex(it.data) + "\n";
  }
  return out;
}

std::optional<SsiList> ParseSsiText(std::string_view text) {
  SsiList list;
  SsiItem* current = nullptr;
  bool inList = false, sawList = false, sawType = true;
  long count = -1;
  size_t bytes = 0;
  std::map<uint16_t, size_t> perType;
  auto itemDone = [&]() {
    if (!current) return true;
    size_t size = SsiWireSize(*current);
    bytes += size;
    return sawType && size <= kSsiItemBudget && bytes <= kSsiListBudget &&
           ++perType[current->type] <= SsiTypeLimit(current->type);
  };
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = Trim(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      if (!itemDone()) return std::nullopt;
      std::string_view name = line.substr(1, line.size() - 2);
      inList = name == "List";
      sawList |= inList;
      current = nullptr;
      if (name.substr(0, 4) == "Item") {
        list.items.emplace_back();
        current = &list.items.back();
        sawType = false;
      }
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = line.substr(eq + 1);
    if (current) {
      sawType |= key == "Type";
      SetItemKey(*current, key, key == "Name" ? value : Trim(value));
    } else if (inList && key == "Time") {
      list.time = Number(Trim(value));
    } else if (inList && key == "Count") {
      count = static_cast<long>(Number(Trim(value)));
    } else if (inList && key == "AuthorizedBy") {
      for (std::string_view rest = Trim(value); !rest.empty();) {
        size_t sp = rest.find(' ');
        if (uint32_t n = Number(rest.substr(0, sp))) list.authorizedBy.push_back(n);
        rest = sp == std::string_view::npos ? std::string_view() : Trim(rest.substr(sp + 1));
      }
    }
  }
  if (!itemDone() || !sawList) return std::nullopt;
  if (count >= 0 && static_cast<size_t>(count) != list.items.size()) return std::nullopt;
  return list;
}

SsiRead ReadSsi(uint32_t uin, SsiList& out) {
  plat::FileRead bytes = plat::ReadFileBytes(SsiFilePath(uin), kMaxFileSize + 1);
  if (bytes.absent()) return SsiRead::Absent;
  if (!bytes || bytes->size() > kMaxFileSize) return SsiRead::Error;
  auto list = ParseSsiText(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!list) return SsiRead::Error;
  out = std::move(*list);
  return SsiRead::Ok;
}

std::optional<SsiList> LoadSsi(uint32_t uin) {
  SsiList list;
  if (ReadSsi(uin, list) != SsiRead::Ok) return std::nullopt;
  return list;
}

bool SaveSsi(uint32_t uin, const SsiList& list) {
  std::string text = RenderSsiText(uin, list);
  return plat::WriteFileAtomic(SsiFilePath(uin), text.data(), text.size(), 0600);
}

SsiItem* FindSsiItem(SsiList& list, uint16_t group, uint16_t id) {
  for (SsiItem& it : list.items)
    if (it.group == group && it.id == id) return &it;
  return nullptr;
}
