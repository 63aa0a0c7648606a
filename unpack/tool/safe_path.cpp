#include "unpack/tool/safe_path.h"

#include <cctype>
#include <filesystem>
#include <system_error>

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
    std::error_code ec;
    std::filesystem::create_directory(dir, ec);
    if (ec && ec != std::errc::file_exists) return false;
  }
  return true;
}

namespace {

// "name~n.ext" for the last part of the path, the suffix before an extension that does not
// start the part.
std::string WithSuffix(const std::string& path, unsigned n) {
  const size_t slash = path.rfind('/');
  const size_t partStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= partStart) dot = path.size();
  return path.substr(0, dot) + "~" + std::to_string(n) + path.substr(dot);
}

}  // namespace

std::string PathRegistry::Claim(const std::string& relative) {
  std::string out;
  size_t start = 0;
  while (true) {
    const size_t slash = relative.find('/', start);
    const bool last = slash == std::string::npos;
    const std::string part = relative.substr(start, last ? std::string::npos : slash - start);
    const std::string base = out.empty() ? part : out + "/" + part;
    std::string pick = base;
    // A folder may be shared, but never stand where a file is; a file needs a free name.
    for (unsigned n = 1; files_.count(pick) != 0 || (last && dirs_.count(pick) != 0); ++n) pick = WithSuffix(base, n);
    out = pick;
    if (last) break;
    dirs_.insert(out);
    start = slash + 1;
  }
  files_.insert(out);
  return out;
}

}  // namespace unpack_tool
