// Turns a name stored in a cabinet into a path that stays inside the
// extraction folder.
#pragma once

#include <set>
#include <string>

namespace unpack_tool {

// Both separators split the name; a drive letter and leading separators are
// dropped, "." and empty parts vanish, and ".." becomes "__".
std::string SafeRelativePath(const std::string& stored);

// Creates the folders leading to `path` (relative parts below `root`).
bool MakeParents(const std::string& root, const std::string& relative);

// The paths given out during one extraction. Two stored names can clean to the same path
// ("/a" and "\\a"), or one name's file can stand where another needs a folder ("a" and
// "a/b"): the later one gets a numbered suffix ("a~1", "name~1.txt") so no file is
// overwritten and every folder can be created.
class PathRegistry {
 public:
  // The distinct path to use for `relative`, recorded as taken.
  std::string Claim(const std::string& relative);

 private:
  std::set<std::string> files_;
  std::set<std::string> dirs_;
};

}  // namespace unpack_tool
