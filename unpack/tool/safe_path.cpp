#include "unpack/tool/safe_path.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>

namespace unpack_tool {

std::string SafeRelativePath(const std::string& stored) {
  std::string name = stored;
  if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':') name.erase(0, 2);
  std::string out;
  std::string part;
  auto flush = [&]() {
    if (part.empty() || part == ".") {
      part.clear();
      return;
    }
    if (part == "..") part = "__";
    if (!out.empty()) out += '/';
    out += part;
    part.clear();
  };
  for (char c : name) {
    if (c == '/' || c == '\\') {
      flush();
    } else {
      part += c;
    }
  }
  flush();
  return out.empty() ? "_" : out;
}

bool MakeParents(const std::string& root, const std::string& relative) {
  for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
    const std::string dir = root + "/" + relative.substr(0, slash);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace unpack_tool
