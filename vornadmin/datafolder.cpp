#include "vornadmin/datafolder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/files.h"
#include "vornadmin/admin.h"

namespace vornadmin {

namespace {

std::string Signed(uint32_t uin) { return std::to_string(static_cast<int32_t>(uin)); }

constexpr size_t kIniValueSize = 300;

}  // namespace

uint32_t ParseUin(const std::string& text, const char* what) {
  bool digits = !text.empty() && text.size() <= 10;
  uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') digits = false;
    if (digits) v = v * 10 + static_cast<uint64_t>(ch - '0');
  }
  if (!digits || v == 0 || v > 0xFFFFFFFFull)
    throw UsageError("'" + text + "' is not a " + what + " (a number from 1 to 4294967295)");
  return static_cast<uint32_t>(v);
}

void RequireFolder(const std::string& data, const char* sub) {
  if (!IsDir(data))
    throw Failure("data folder " + data + " does not exist (give --data DIR or set VORN_PATH)");
  if (sub && !IsDir(data + sub))
    throw Failure("folder " + data + sub + " is missing (run 'vornadmin check')");
}

std::string UserFile(const std::string& data, uint32_t uin) { return data + "Db/" + Signed(uin) + ".ini"; }
std::string OfflineFile(const std::string& data, uint32_t uin) { return data + "olm/" + Signed(uin) + ".olm"; }
std::string CookieFile(const std::string& data, uint32_t uin) { return data + "Cookie/" + Signed(uin); }

std::vector<std::string> UserSideFiles(const std::string& data, uint32_t uin) {
  // The server-stored contact list is kept beside the user file.
  return {data + "Db/" + Signed(uin) + ".ssi"};
}

std::optional<std::string> ReadValue(const std::string& path, const std::string& section, const std::string& key) {
  std::vector<std::optional<std::string>> v;
  int err = 0;
  // A file that cannot be read stops the command: its values are unknown, not missing.
  if (!plat::ReadProfileStrings(section, {key}, path, v, err))
    throw Failure("cannot read " + path + ": " + std::strerror(err) + " (nothing was changed)");
  if (v[0] && v[0]->size() > kIniValueSize - 1) v[0]->resize(kIniValueSize - 1);
  return v[0];
}

ListSettings ReadListSettings(const std::string& data) {
  std::string ini = data + "vorn.ini";
  ListSettings s;
  s.sendOnLine = static_cast<uint32_t>(plat::AtoI(ReadValue(ini, "Lists", "SendOnLine").value_or("0")));
  s.sendAll = static_cast<uint32_t>(plat::AtoI(ReadValue(ini, "Lists", "SendAll").value_or("0")));
  s.chat = ReadValue(ini, "SendSetting", "isSendChat").value_or("0").starts_with('1');
  for (int i = 0;; ++i) {
    std::string v = ReadValue(ini, "Lists", std::to_string(i)).value_or("-");
    if (v.starts_with('-')) break;
    s.lists.push_back(static_cast<uint32_t>(plat::AtoI(v)));
  }
  return s;
}

bool IsListNumber(const ListSettings& s, uint32_t uin) {
  if (uin == s.sendAll || uin == s.sendOnLine) return true;
  for (uint32_t n : s.lists)
    if (n == uin) return true;
  return false;
}

void WriteEdits(const std::string& path, const std::vector<plat::ProfileEdit>& edits, unsigned mode) {
  errno = 0;
  if (!plat::WriteProfileStrings(edits, path, mode))
    throw Failure("cannot write " + path + ": " + ErrnoText() + " (nothing was changed)");
  plat::GiveToFolderOwner(path);
}

void CheckValue(const std::string& value, const char* what, size_t maxLen) {
  if (value.size() > maxLen)
    throw UsageError(std::string(what) + " is longer than " + std::to_string(maxLen) + " characters");
  for (unsigned char ch : value)
    if (ch < 0x20 || ch == 0x7F) throw UsageError(std::string(what) + " must be one line without control characters");
  if (!value.empty() && (value.front() == ' ' || value.back() == ' ' || value.front() == '\t' || value.back() == '\t'))
    throw UsageError(std::string(what) + " must not begin or end with white space");
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    throw UsageError(std::string(what) + " must not be wrapped in quotes");
}

std::string ErrnoText() { return errno ? std::strerror(errno) : "unknown error"; }

bool IsFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool IsDir(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

}  // namespace vornadmin
