// Address lists of the form "127.0.0.1, 10.0.0.0/8, *": which peers may use a service.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct AddrRule {
  uint32_t net = 0;   // host order, already masked
  uint32_t mask = 0;  // host order
};

struct AddrAllowList {
  bool everyone = false;  // an entry "*"
  std::vector<AddrRule> rules;
};

// Parses a comma-separated list of IPv4 addresses and CIDR ranges. Entries that are neither
// are left out and their text appended to `bad`.
AddrAllowList ParseAddrAllowList(const std::string& text, std::vector<std::string>& bad);

// True when the address (host order, first octet in the top byte) is on the list.
bool AddrAllowed(const AddrAllowList& list, uint32_t addr);

// Parses a dotted IPv4 address of exactly four decimal parts 0..255; false otherwise.
bool ParseIPv4(const std::string& text, uint32_t& addr);
