#include "server-core/addr_allow.h"

#include <cctype>

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// A decimal number of 1 to 3 digits no larger than max; false for anything else.
bool SmallNumber(const std::string& s, unsigned max, unsigned& out) {
  if (s.empty() || s.size() > 3) return false;
  unsigned v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<unsigned>(ch - '0');
  }
  if (v > max) return false;
  out = v;
  return true;
}

bool ParseRule(const std::string& entry, AddrRule& rule) {
  std::string addrText = entry;
  unsigned bits = 32;
  size_t slash = entry.find('/');
  if (slash != std::string::npos) {
    addrText = entry.substr(0, slash);
    if (!SmallNumber(entry.substr(slash + 1), 32, bits)) return false;
  }
  uint32_t addr = 0;
  if (!ParseIPv4(addrText, addr)) return false;
  rule.mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  rule.net = addr & rule.mask;
  return true;
}

}  // namespace

bool ParseIPv4(const std::string& text, uint32_t& addr) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    size_t dot = text.find('.', pos);
    bool last = part == 3;
    if (last != (dot == std::string::npos)) return false;
    unsigned octet = 0;
    if (!SmallNumber(text.substr(pos, last ? std::string::npos : dot - pos), 255, octet)) return false;
    value = (value << 8) | octet;
    pos = dot + 1;
  }
  addr = value;
  return true;
}

AddrAllowList ParseAddrAllowList(const std::string& text, std::vector<std::string>& bad) {
  AddrAllowList list;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string entry = Trim(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (entry.empty()) continue;
    AddrRule rule;
    if (entry == "*")
      list.everyone = true;
    else if (ParseRule(entry, rule))
      list.rules.push_back(rule);
    else
      bad.push_back(entry);
  }
  return list;
}

bool AddrAllowed(const AddrAllowList& list, uint32_t addr) {
  if (list.everyone) return true;
  for (const AddrRule& r : list.rules)
    if ((addr & r.mask) == r.net) return true;
  return false;
}
