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
// Reads at most maxBytes of a file from offset on; nothing when it cannot be opened.
std::optional<std::vector<uint8_t>> ReadFileAt(const std::string& path, uint64_t offset, size_t maxBytes);
// Replaces a file by writing a temporary file beside it (the file's name followed by "." and
// six letters or digits) and renaming it over the old one. mode is the new file's permission
// (0600 for files that hold a secret).
bool WriteFileAtomic(const std::string& path, const void* data, size_t len, unsigned mode = 0644);

enum class AppendResult { Ok, OpenFailed, TooLarge, ShortWrite };
// Appends a record whole or not at all. When the file would grow past maxSize (0: no limit)
// nothing is written; a write that stops short (a full disk) is cut back to the old length.
AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize);
bool RemoveFile(const std::string& path);
bool FileExists(const std::string& path);

// True when a file can be created in dir (a probe file is made and removed); err tells why not.
bool DirWritable(const std::string& dir, int& err);
// True when path can be opened for appending (it is created if missing); err tells why not.
bool FileAppendable(const std::string& path, int& err);
// Removes what an interrupted WriteFileAtomic left in dir: "<name>.XXXXXX" files whose
// <name> ends in ".ini" or is a number, last written at least minAgeSeconds ago (a younger
// one may belong to a write in progress in the other server). Returns the names removed.
std::vector<std::string> RemoveStaleTempFiles(const std::string& dir, long minAgeSeconds);
// The same under a shared lock on the file, so that a WriteFileInPlace is never seen half
// done. When a writer holds the lock past a few tries, busy is set and nothing comes back.
std::optional<std::vector<uint8_t>> ReadFileLocked(const std::string& path, size_t maxBytes, bool& busy);
// Replaces a small file's contents in place under an exclusive lock on the file: one write of
// all the bytes at offset 0 into the existing file (created when missing), then the length cut
// to len. Readers that take the shared lock (ReadFileLocked) see the old contents or the new,
// never a mix. Keeps the file's inode, so no inode or directory entry is made per write; when
// the lock cannot be had at once (a reader holds it), the file is replaced through a renamed
// temporary file instead, which is just as safe for every reader.
// mode is the permission of a file created here, and a secret (mode without group or other
// bits) is narrowed to it.
bool WriteFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode = 0644);

// True when s ends in suffix, letters compared without case.
bool EndsWithNoCase(const std::string& s, const std::string& suffix);

// The order of ListFiles: by the number at the start of the name, then by name.
bool FileNameOrder(const std::string& a, const std::string& b);

// Regular files in dir whose names end in suffix (case-insensitive), ordered by the number at
// the start of the name, then by name.
std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix);

// Fills buf from the system's cryptographic random source.
bool RandomBytes(void* buf, size_t len);

// Raises the open-file limit to its hard maximum; returns the new soft limit.
long RaiseFileLimit();

// Holds an exclusive lock on the folder of path while it lives, so that writers of that
// folder in this process or another (a server and the admin tool) take turns.
class FolderLock {
 public:
  explicit FolderLock(const std::string& path);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  intptr_t handle_ = -1;
};

// Full path of the running program.
std::string ProgramPath();

}  // namespace plat
