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
// The same under a shared lock on the file, so that a WriteFileInPlace is never seen half
// done. When a writer holds the lock past a few tries, busy is set and nothing comes back.
std::optional<std::vector<uint8_t>> ReadFileLocked(const std::string& path, size_t maxBytes, bool& busy);
// Replaces a file by writing a temporary file beside it and renaming it over the old one.
bool WriteFileAtomic(const std::string& path, const void* data, size_t len);
// Replaces a small file's contents in place under an exclusive lock on the file: one write of
// all the bytes at offset 0 into the existing file (created when missing), then the length cut
// to len. Readers that take the shared lock (ReadFileLocked) see the old contents or the new,
// never a mix. Keeps the file's inode, so no inode or directory entry is made per write; when
// the lock cannot be had at once (a reader holds it), the file is replaced through a renamed
// temporary file instead, which is just as safe for every reader.
bool WriteFileInPlace(const std::string& path, const void* data, size_t len);
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
