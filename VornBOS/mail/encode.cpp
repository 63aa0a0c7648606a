#include "VornBOS/mail/encode.h"

#include <cstdint>
#include <vector>

#include "VornBOS/mail/message.h"

namespace {

constexpr size_t kWrapWidth = 76;
constexpr size_t kQpWidth = 75;  // characters before the soft break "="
constexpr char kBase64Chars[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Line {
  std::string_view text;
  bool ended;  // a line end followed it
};

// Splits at CR LF, a lone CR or a lone LF. The last line has ended == false unless the
// content ends with a line end (then no empty line follows).
std::vector<Line> SplitLines(std::string_view s) {
  std::vector<Line> lines;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\r' && s[i] != '\n') continue;
    lines.push_back({s.substr(start, i - start), true});
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < s.size()) lines.push_back({s.substr(start), false});
  return lines;
}

bool IsPrintable(uint8_t c) { return (c >= 32 && c < 127) || c == '\t' || c == '\r' || c == '\n'; }

bool IsBreakChar(char c) {
  return c == ' ' || c == '-' || c == ';' || c == '.' || c == ',' || c == '?' || c == '!';
}

void WrapOneLine(std::string_view line, std::string& out) {
  while (line.size() > kWrapWidth) {
    size_t cut = kWrapWidth;
    for (size_t i = kWrapWidth; i-- > 0;) {
      if (IsBreakChar(line[i])) {
        cut = i + 1;
        break;
      }
    }
    out.append(line.substr(0, cut));
    out += "\r\n";
    line.remove_prefix(cut);
  }
  out.append(line);
}

std::string HexEscape(uint8_t c) {
  static const char kHex[] = "0123456789ABCDEF";
  return {'=', kHex[c >> 4], kHex[c & 15]};
}

bool QpNeedsEscape(uint8_t c) { return c == '=' || c >= 127 || (c < 32 && c != '\t'); }

// One hard line as quoted-printable tokens, cut with soft breaks so that no output line
// is longer than 76 and no escape is split.
void QpOneLine(std::string_view line, std::string& out) {
  std::vector<std::string> tokens;
  tokens.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    uint8_t c = static_cast<uint8_t>(line[i]);
    bool trailingBlank = i + 1 == line.size() && (c == ' ' || c == '\t');
    tokens.push_back(QpNeedsEscape(c) || trailingBlank ? HexEscape(c) : std::string(1, line[i]));
  }
  size_t remaining = 0;
  for (const auto& t : tokens) remaining += t.size();
  size_t k = 0;
  while (remaining > kWrapWidth) {
    size_t used = 0;
    while (k < tokens.size() && used + tokens[k].size() <= kQpWidth) {
      out += tokens[k];
      used += tokens[k].size();
      ++k;
    }
    out += "=\r\n";
    remaining -= used;
  }
  for (; k < tokens.size(); ++k) out += tokens[k];
}

}  // namespace

int ClassifyContent(std::string_view content) {
  if (content.empty()) return kEnc7bit;
  size_t printable = 0;
  bool other = false;
  for (char ch : content) {
    uint8_t c = static_cast<uint8_t>(ch);
    if (IsPrintable(c))
      ++printable;
    else
      other = true;
  }
  if (printable * 10 < content.size() * 9) return kEncBase64;
  for (const Line& l : SplitLines(content))
    if (l.text.size() > kWrapWidth) return kEncQuotedPrintable;
  return other ? kEnc8bit : kEnc7bit;
}

std::string WrapLines76(std::string_view content) {
  std::string out;
  out.reserve(content.size() + content.size() / 38 + 2);
  for (const Line& l : SplitLines(content)) {
    WrapOneLine(l.text, out);
    if (l.ended) out += "\r\n";
  }
  return out;
}

std::string Encode7bit(std::string_view content) {
  std::string s(content);
  for (char& ch : s)
    if (static_cast<uint8_t>(ch) >= 127) ch = '?';
  return WrapLines76(s);
}

std::string Encode8bit(std::string_view content) { return WrapLines76(content); }

std::string EncodeQuotedPrintable(std::string_view content) {
  std::string out;
  out.reserve(content.size() + content.size() / 8 + 2);
  for (const Line& l : SplitLines(content)) {
    QpOneLine(l.text, out);
    if (l.ended) out += "\r\n";
  }
  return out;
}

std::string Base64Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(data[i]) << 16 | static_cast<uint8_t>(data[i + 1]) << 8 |
                 static_cast<uint8_t>(data[i + 2]);
    out += kBase64Chars[v >> 18];
    out += kBase64Chars[(v >> 12) & 63];
    out += kBase64Chars[(v >> 6) & 63];
    out += kBase64Chars[v & 63];
  }
  size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint8_t>(data[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(data[i + 1]) << 8;
    out += kBase64Chars[v >> 18];
    out += kBase64Chars[(v >> 12) & 63];
    out += rest == 2 ? kBase64Chars[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string& out) {
  out.clear();
  uint32_t acc = 0;
  int bits = 0;
  for (char ch : text) {
    if (ch == '=') break;
    if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') continue;
    int v;
    if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
    else if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
    else if (ch == '+') v = 62;
    else if (ch == '/') v = 63;
    else return false;
    acc = (acc << 6 | static_cast<uint32_t>(v)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return true;
}

std::string EncodeBase64Body(std::string_view content) { return WrapLines76(Base64Encode(content)); }

std::string DotStuff(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    bool lineStart = i == 0 || (i >= 2 && text[i - 2] == '\r' && text[i - 1] == '\n');
    if (lineStart && text[i] == '.') out += '.';
    out += text[i];
  }
  return out;
}

EncodedBody EncodeBody(int selector, std::string_view content) {
  if (selector == kEncAuto) selector = ClassifyContent(content);
  EncodedBody body;
  switch (selector) {
    case kEnc7bit: body = {"7bit", Encode7bit(content)}; break;
    case kEnc8bit: body = {"8bit", Encode8bit(content)}; break;
    case kEncQuotedPrintable: body = {"quoted-printable", EncodeQuotedPrintable(content)}; break;
    case kEncBase64: body = {"base64", EncodeBase64Body(content)}; break;
    default: return {"7bit", ""};
  }
  body.text = DotStuff(body.text);
  return body;
}
