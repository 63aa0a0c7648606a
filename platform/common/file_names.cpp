// File-name rules that are the same on every system.
#include <cctype>

#include "platform/files.h"

namespace plat {
namespace {

unsigned long long LeadingNumber(const std::string& s) {
  unsigned long long v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > 0xFFFFFFFFFFull) break;
  }
  return v;
}

}  // namespace

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) !=
        std::tolower(static_cast<unsigned char>(suffix[i])))
      return false;
  return true;
}

bool FileNameOrder(const std::string& a, const std::string& b) {
  auto na = LeadingNumber(a), nb = LeadingNumber(b);
  return na != nb ? na < nb : a < b;
}

bool IsStaleTempCandidate(const std::string& name) {
  if (name.size() < 8 || name[name.size() - 7] != '.') return false;
  for (size_t i = name.size() - 6; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  std::string base = name.substr(0, name.size() - 7);
  if (EndsWithNoCase(base, ".ini") || EndsWithNoCase(base, ".ssi") || base == ".write-probe") return true;
  size_t i = base.starts_with('-') ? 1 : 0;
  if (i == base.size()) return false;
  for (; i < base.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(base[i]))) return false;
  return true;
}

}  // namespace plat
