// Profile (INI) files with the semantics the servers rely on: section and key names
// compared without regard to case, white space around names and values trimmed, a value in
// matching quotes loses them, the default only when the file, section or key is missing, and
// the result cut to size - 1 characters. Writes replace the file atomically.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace plat {

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& def, size_t size, const std::string& path);

// Several keys of one section read in one pass over the file: for each key its value as it is
// stored (quotes taken off, not cut), or nothing when the key, the section or the file is
// missing. A file that cannot be read gives nothing for every key: for settings only; a
// caller that must tell a read error from a missing file uses ReadProfileStrings.
std::vector<std::optional<std::string>> GetProfileStrings(const std::string& section,
                                                          const std::vector<std::string>& keys,
                                                          const std::string& path);
// The same, false (err set) when the file exists but cannot be read; an absent file gives
// true with every value missing.
bool ReadProfileStrings(const std::string& section, const std::vector<std::string>& keys,
                        const std::string& path, std::vector<std::optional<std::string>>& out, int& err);

// Sets a key, creating file, section and key as needed; no value deletes the key.
// Returns false when the file could not be written. mode is the permission the file gets.
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::optional<std::string>& value, const std::string& path,
                        unsigned mode = 0644);

// Several sets and deletes of one file in one durable replacement (nothing written when none
// changes anything). Writers of the same folder, in this process or another, take turns.
// A file that exists but cannot be read is not written: false with errno set.
struct ProfileEdit {
  std::string section;
  std::string key;
  std::optional<std::string> value;
};
bool WriteProfileStrings(const std::vector<ProfileEdit>& edits, const std::string& path, unsigned mode = 0644);

// Integer conversion the way atoi does it: white space, optional sign, leading digits.
long long AtoI(const std::string& text);

}  // namespace plat
