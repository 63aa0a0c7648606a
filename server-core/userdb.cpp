#include "server-core/userdb.h"

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "platform/ini.h"
#include "server-core/config.h"

std::string UserFilePath(uint32_t uin) {
  return Cfg.userDir + std::to_string(static_cast<int32_t>(uin)) + ".ini";
}

std::string ReadUserString(uint32_t uin, const char* section, const char* key, const char* def,
                           size_t size) {
  return plat::GetProfileString(section, key, def, size, UserFilePath(uin));
}

bool WriteUserString(uint32_t uin, const char* section, const char* key,
                     const std::optional<std::string>& value) {
  // A user file holds the password: readable by the servers' account only.
  return plat::WriteProfileString(section, key, value, UserFilePath(uin), 0600);
}

bool WriteUserStrings(uint32_t uin, const std::vector<plat::ProfileEdit>& edits) {
  errno = 0;
  return plat::WriteProfileStrings(edits, UserFilePath(uin), 0600);
}

uint32_t LeadingNumber(const std::string& text) {
  uint32_t v = 0;
  for (char ch : text) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) break;
    v = v * 10 + static_cast<uint32_t>(ch - '0');
  }
  return v;
}

void EnumerateUserFiles(const std::function<void(uint32_t uin, const std::string& path)>& visit) {
  for (const std::string& name : plat::ListFiles(Cfg.userDir, ".ini"))
    visit(LeadingNumber(name), Cfg.userDir + name);
}

std::vector<std::string> ReadUserList(uint32_t uin, const char* section, size_t valueSize) {
  std::vector<std::string> out;
  for (int i = 0; i < 20; ++i) {
    std::string v = ReadUserString(uin, section, std::to_string(i).c_str(), "empty", valueSize);
    if (v == "empty") break;
    out.push_back(std::move(v));
  }
  return out;
}

std::vector<uint32_t> ReadMemberList(uint32_t uin) {
  std::vector<uint32_t> out;
  for (int i = 0;; ++i) {
    std::string v = ReadUserString(uin, "List", std::to_string(i).c_str(), "-", 300);
    if (v.starts_with('-')) break;
    out.push_back(LeadingNumber(v));
  }
  return out;
}

namespace {

void AppendCountryByte(std::string& out, uint8_t b) {
  if (b < 0xD0) {
    out += static_cast<char>(b + 0x30);
    return;
  }
  char hex[4];
  std::snprintf(hex, sizeof hex, "~%02X", b);
  out += hex;
}

// Reads one stored byte at pos and moves pos past it.
uint8_t TakeCountryByte(const std::string& t, size_t& pos) {
  if (pos >= t.size()) return 0;  // a missing character counts as byte 0
  if (t[pos] == '~' && pos + 2 < t.size() && std::isxdigit(static_cast<unsigned char>(t[pos + 1])) &&
      std::isxdigit(static_cast<unsigned char>(t[pos + 2]))) {
    uint8_t b = static_cast<uint8_t>(std::stoi(t.substr(pos + 1, 2), nullptr, 16));
    pos += 3;
    return b;
  }
  return static_cast<uint8_t>(static_cast<uint8_t>(t[pos++]) - 0x30);
}

}  // namespace

std::string EncodeCountry(uint16_t code) {
  std::string out;
  AppendCountryByte(out, static_cast<uint8_t>(code & 0xFF));
  AppendCountryByte(out, static_cast<uint8_t>(code >> 8));
  return out;
}

uint16_t DecodeCountry(const std::string& text) {
  size_t pos = 0;
  uint8_t lo = TakeCountryByte(text, pos);
  uint8_t hi = TakeCountryByte(text, pos);
  return static_cast<uint16_t>(lo | (hi << 8));
}

std::string EncodeByteChar(uint8_t b) {
  auto c = static_cast<uint8_t>(b + 0x30);
  if (c <= 0x20) return "0";
  return std::string(1, static_cast<char>(c));
}

bool UserLocked(uint32_t uin) { return ReadUserString(uin, "Main", "Locked", "0", 8).starts_with('1'); }
