// Turns a name stored in a cabinet into a path that stays inside the
// extraction folder.
#pragma once

#include <string>

namespace unpack_tool {

// Both separators split the name; a drive letter and leading separators are
// dropped, "." and empty parts vanish, and ".." becomes "__".
std::string SafeRelativePath(const std::string& stored);

// Creates the folders leading to `path` (relative parts below `root`).
bool MakeParents(const std::string& root, const std::string& relative);

}  // namespace unpack_tool
