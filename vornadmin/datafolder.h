// The files of a data folder as the servers name them, and the checks every command makes
// before it touches them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ini.h"

namespace vornadmin {

// A user number given on the command line: decimal digits only, 1 to 4294967295.
uint32_t ParseUin(const std::string& text, const char* what = "user number");

// The folder must exist; the subfolder (if given) must exist in it.
void RequireFolder(const std::string& data, const char* sub = nullptr);

std::string UserFile(const std::string& data, uint32_t uin);     // Db/<n>.ini
std::string OfflineFile(const std::string& data, uint32_t uin);  // olm/<n>.olm
std::string CookieFile(const std::string& data, uint32_t uin);   // Cookie/<n>
// Files beside the user file that belong to the user (a server-stored contact list).
std::vector<std::string> UserSideFiles(const std::string& data, uint32_t uin);

// The broadcast-list settings of vorn.ini.
struct ListSettings {
  uint32_t sendOnLine = 0;
  uint32_t sendAll = 0;
  bool chat = false;
  std::vector<uint32_t> lists;  // ordinary lists, in key order, up to the first '-'
};
ListSettings ReadListSettings(const std::string& data);
// True when the number is a broadcast address (SendOnLine, SendAll or an ordinary list).
bool IsListNumber(const ListSettings& s, uint32_t uin);

// A value read from a profile file: text, or nothing when the key is missing.
std::optional<std::string> ReadValue(const std::string& path, const std::string& section, const std::string& key);

// One atomic replacement of a file with the edits; a failure names the file and the reason.
// A new file gets mode; the file then belongs to the folder's owner when the tool runs as
// root (plat::GiveToFolderOwner), so the servers can still read and replace it.
void WriteEdits(const std::string& path, const std::vector<plat::ProfileEdit>& edits, unsigned mode = 0644);

// Values an operator types must survive a profile file: one line, no control characters,
// no white space or quotes around them (the reader would strip those).
void CheckValue(const std::string& value, const char* what, size_t maxLen);

std::string ErrnoText();
bool IsFile(const std::string& path);
bool IsDir(const std::string& path);

}  // namespace vornadmin
