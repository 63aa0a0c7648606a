#include "platform/ini.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/files.h"

namespace plat {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

constexpr size_t kMaxProfile = 64u << 20;

// The file's lines; nothing when it is absent or cannot be read (err tells which: ENOENT for
// absent). A file past the size limit is an error (EFBIG), never a shortened text.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, int& err) {
  FileRead bytes = ReadFileBytes(path, kMaxProfile + 1);
  if (!bytes) {
    err = bytes.err;
    return std::nullopt;
  }
  if (bytes->size() > kMaxProfile) {
    err = EFBIG;
    return std::nullopt;
  }
  err = 0;
  std::vector<std::string> lines;
  std::string cur;
  for (uint8_t b : *bytes) {
    if (b == '\n') {
      if (!cur.empty() && cur.back() == '\r') cur.pop_back();
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(b);
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

// "[name]" gives name; anything else gives nothing.
std::optional<std::string> SectionName(const std::string& line) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  size_t close = t.find(']');
  if (close == std::string::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

// "key=value" gives key and the raw value; other lines give nothing.
bool SplitKey(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(line.substr(0, eq));
  value = line.substr(eq + 1);
  return !key.empty() && key[0] != ';';
}

std::string Unquote(std::string v) {
  v = Trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

// Index range [first, end) of the section's body lines, or nothing.
bool FindSection(const std::vector<std::string>& lines, const std::string& section, size_t& first,
                 size_t& end) {
  for (size_t i = 0; i < lines.size(); ++i) {
    auto name = SectionName(lines[i]);
    if (!name || !SameName(*name, section)) continue;
    first = i + 1;
    end = first;
    while (end < lines.size() && !SectionName(lines[end])) ++end;
    return true;
  }
  return false;
}

}  // namespace

long long AtoI(const std::string& text) { return std::atoll(text.c_str()); }

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& def, size_t size, const std::string& path) {
  std::string result = def;
  int err = 0;
  if (auto lines = ReadLines(path, err)) {
    size_t first, end;
    if (FindSection(*lines, section, first, end)) {
      for (size_t i = first; i < end; ++i) {
        std::string k, v;
        if (SplitKey((*lines)[i], k, v) && SameName(k, key)) {
          result = Unquote(v);
          break;
        }
      }
    }
  }
  if (size == 0) return std::string();
  if (result.size() > size - 1) result.resize(size - 1);
  return result;
}

std::vector<std::optional<std::string>> GetProfileStrings(const std::string& section,
                                                          const std::vector<std::string>& keys,
                                                          const std::string& path) {
  std::vector<std::optional<std::string>> out;
  int err = 0;
  ReadProfileStrings(section, keys, path, out, err);
  return out;
}

bool ReadProfileStrings(const std::string& section, const std::vector<std::string>& keys,
                        const std::string& path, std::vector<std::optional<std::string>>& out, int& err) {
  out.assign(keys.size(), std::nullopt);
  auto lines = ReadLines(path, err);
  if (!lines) return err == ENOENT;
  size_t first, end;
  if (!FindSection(*lines, section, first, end)) return true;
  for (size_t i = first; i < end; ++i) {
    std::string k, v;
    if (!SplitKey((*lines)[i], k, v)) continue;
    // The first line of a key counts, as in GetProfileString.
    for (size_t j = 0; j < keys.size(); ++j)
      if (!out[j] && SameName(k, keys[j])) out[j] = Unquote(v);
  }
  return true;
}

namespace {

// One edit of the lines of a profile file; false when nothing had to change.
bool ApplyEdit(std::vector<std::string>& lines, const ProfileEdit& e) {
  size_t first, end;
  if (!FindSection(lines, e.section, first, end)) {
    if (!e.value) return false;
    lines.push_back("[" + e.section + "]");
    first = end = lines.size();
  }
  size_t lastKey = first;
  for (size_t i = first; i < end; ++i) {
    std::string k, v;
    if (!SplitKey(lines[i], k, v)) continue;
    lastKey = i + 1;
    if (!SameName(k, e.key)) continue;
    if (e.value)
      lines[i] = k + "=" + *e.value;
    else
      lines.erase(lines.begin() + static_cast<long>(i));
    return true;
  }
  if (!e.value) return false;
  lines.insert(lines.begin() + static_cast<long>(lastKey), e.key + "=" + *e.value);
  return true;
}

}  // namespace

bool WriteProfileStrings(const std::vector<ProfileEdit>& edits, const std::string& path, unsigned mode) {
  FolderLock lock(path);
  int err = 0;
  std::vector<std::string> lines;
  if (auto read = ReadLines(path, err)) {
    lines = std::move(*read);
  } else if (err != ENOENT) {
    // A file that cannot be read is never rewritten from what little was read.
    errno = err;
    return false;
  }
  bool changed = false;
  for (const ProfileEdit& e : edits) changed = ApplyEdit(lines, e) || changed;
  if (!changed) return true;
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return WriteFileAtomic(path, text.data(), text.size(), mode);
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::optional<std::string>& value, const std::string& path, unsigned mode) {
  return WriteProfileStrings({ProfileEdit{section, key, value}}, path, mode);
}

}  // namespace plat
