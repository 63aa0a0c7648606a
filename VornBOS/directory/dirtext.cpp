#include "VornBOS/directory/dirtext.h"

#include <cctype>
#include <charconv>

#include "platform/system.h"

std::string MetaText(std::string_view bytes) {
  return std::string(bytes.substr(0, bytes.find('\0')));
}

std::optional<std::string> TakeMetaText(WireReader& r) {
  std::string_view bytes = r.metaString();
  if (!r.ok()) return std::nullopt;
  return MetaText(bytes);
}

std::string ClippedMetaText(std::string_view bytes) {
  if (bytes.size() < 2) return std::string();
  size_t len = static_cast<uint8_t>(bytes[0]) | (static_cast<size_t>(static_cast<uint8_t>(bytes[1])) << 8);
  return MetaText(bytes.substr(2, len));
}

namespace {

// Length of the line break at pos (CR LF counts as one), 0 when there is none.
size_t BreakAt(std::string_view t, size_t pos) {
  if (t[pos] == '\n') return 1;
  if (t[pos] != '\r') return 0;
  return pos + 1 < t.size() && t[pos + 1] == '\n' ? 2 : 1;
}

// The text with each line break replaced by the given text; an LF alone by lfWith.
std::string ReplaceBreaks(std::string_view t, std::string_view with, std::string_view lfWith) {
  std::string out;
  out.reserve(t.size());
  for (size_t i = 0; i < t.size();) {
    if (size_t n = BreakAt(t, i)) {
      out += t[i] == '\n' ? lfWith : with;
      i += n;
    } else {
      out += t[i++];
    }
  }
  return out;
}

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view TrimBlanks(std::string_view t) {
  while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
  while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
  return t;
}

char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string OneLine(std::string_view text) { return ReplaceBreaks(text, " ", " "); }

std::string ProfileValue(std::string text) {
  if (text.empty()) return text;
  char first = text.front(), last = text.back();
  bool quoted = text.size() >= 2 && (first == '"' || first == '\'') && last == first;
  if (IsBlank(first) || IsBlank(last) || quoted) return '"' + text + '"';
  return text;
}

std::vector<std::string> SplitAboutText(std::string_view text) {
  constexpr size_t kMaxBreaks = 19;
  std::vector<std::string> lines;
  size_t pos = 0;
  size_t start = 0;
  while (pos < text.size() && lines.size() < kMaxBreaks) {
    size_t n = BreakAt(text, pos);
    if (n == 0) {
      ++pos;
      continue;
    }
    lines.emplace_back(text.substr(start, pos - start));
    if (text[pos] == '\n') lines.back() += kStoredLf;
    pos += n;
    start = pos;
  }
  std::string_view rest = TrimBlanks(text.substr(start));
  if (!rest.empty())
    lines.push_back(
        ReplaceBreaks(rest, std::string_view(&kStoredBreak, 1), std::string_view(&kStoredLf, 1)));
  return lines;
}

std::string JoinAboutLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    for (char c : line) {
      if (c == kStoredBreak)
        out += "\r\n";
      else if (c == kStoredLf)
        out += '\n';
      else
        out += c;
    }
    if (line.empty() || line.back() != kStoredLf) out += "\r\n";
  }
  return out;
}

bool SameTextNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

std::string Clip(std::string text, size_t n) {
  if (text.size() > n) text.resize(n);
  return text;
}

uint16_t AgeOn(uint32_t year, uint32_t month, uint32_t day, const std::tm& today) {
  int64_t age = static_cast<int64_t>(today.tm_year) + 1900 - year;
  uint32_t nowMonth = static_cast<uint32_t>(today.tm_mon + 1);
  uint32_t nowDay = static_cast<uint32_t>(today.tm_mday);
  if (nowMonth < month || (nowMonth == month && nowDay < day)) --age;
  if (age < 0) return 0;
  return static_cast<uint16_t>(age);
}

std::optional<uint32_t> UserFileUin(const std::string& path) {
  constexpr std::string_view kSuffix = ".ini";
  size_t slash = path.find_last_of(plat::kPathSep);
  std::string_view name(path);
  if (slash != std::string::npos) name.remove_prefix(slash + 1);
  if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return std::nullopt;
  std::string_view number = name.substr(0, name.size() - kSuffix.size());
  int32_t value = 0;
  auto [end, err] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (err != std::errc() || end != number.data() + number.size()) return std::nullopt;
  if (std::to_string(value) != number) return std::nullopt;  // "007", "-0" are not user files
  return static_cast<uint32_t>(value);
}
