// Whole-file helpers, directory listing and system odds and ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat {

// Reads at most maxBytes of a file; nothing when it cannot be opened.
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path, size_t maxBytes);
// Replaces a file by writing a temporary file beside it and renaming it over the old one.
bool WriteFileAtomic(const std::string& path, const void* data, size_t len);
// Appends the bytes with one write call, so a reader never sees half a record.
bool AppendFile(const std::string& path, const void* data, size_t len);
bool RemoveFile(const std::string& path);
bool FileExists(const std::string& path);

// The order of ListFiles: by the number at the start of the name, then by name.
bool FileNameOrder(const std::string& a, const std::string& b);

// Regular files in dir whose names end in suffix (case-insensitive), ordered by the number at
// the start of the name, then by name.
std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix);

// Fills buf from the system's cryptographic random source.
bool RandomBytes(void* buf, size_t len);

// Raises the open-file limit to its hard maximum; returns the new soft limit.
long RaiseFileLimit();

// Full path of the running program.
std::string ProgramPath();

}  // namespace plat
