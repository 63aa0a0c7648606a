// Change notices for one folder, and the identity of a file's current contents, so that a
// cache of files can be kept in line with the folder without reading every file again.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat {

// What identifies a file's contents: replaced or rewritten files differ in one of these.
struct FileStamp {
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  uint64_t size = 0;
  uint64_t inode = 0;
  bool regular = false;  // a regular file, also through a symbolic link
  bool link = false;     // the name itself is a symbolic link (its target is not watched)
  bool operator==(const FileStamp&) const = default;
};

// Nothing when the name does not exist.
std::optional<FileStamp> StampFile(const std::string& path);

class DirWatch {
 public:
  DirWatch() = default;
  ~DirWatch();
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  // Starts watching dir (created, deleted, renamed, written and closed files, and the folder
  // itself going away). False when the system gives no notices for it.
  bool Open(const std::string& dir);
  void Close();
  bool watching() const { return fd_ >= 0; }

  // Adds the names of the entries changed since the last call, without waiting. False when
  // notices were lost or the folder itself went away: the caller looks at the whole folder.
  bool TakeChanges(std::vector<std::string>& names);

 private:
  int fd_ = -1;
  int wd_ = -1;
};

}  // namespace plat
