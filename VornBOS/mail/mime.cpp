#include "VornBOS/mail/mime.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "VornBOS/mail/encode.h"
#include "platform/clock.h"
#include "platform/system.h"

const char kMailerName[] = "Vorn CSmtp mailer 1.0";

namespace {

// The system's own MIME table first (the registry on Windows), then the mime.types table.
std::string AttachmentMimeType(const std::string& fileName) {
  size_t dot = fileName.find('.');
  if (dot != std::string::npos && dot + 1 < fileName.size())
    if (auto type = plat::SystemMimeType(fileName.substr(dot + 1))) return *type;
  return LookupMimeType(fileName);
}

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Header text taken from data: line breaks would start new headers (or commands), so
// they become blanks.
std::string HeaderSafe(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

// The inside of a quoted string: quotes and backslashes escaped, no line breaks.
std::string QuotedText(const std::string& s) {
  std::string out;
  for (char c : HeaderSafe(s)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

bool IsTextType(const std::string& type) {
  if (type.size() < 5) return false;
  std::string head = type.substr(0, 5);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return head == "text/";
}

// Every text part names its character set, an empty one as charset="".
std::string CharsetParam(const MailPart& p, const std::string& type) {
  if (!IsTextType(type)) return "";
  return ";\r\n\tcharset=\"" + QuotedText(p.charset) + "\"";
}

std::string ContentIdLine(const MailPart& p) {
  if (p.contentId.empty()) return "";
  return "\r\nContent-ID: <" + HeaderSafe(p.contentId) + ">";
}

std::string Boundary(const char* prefix, uint64_t tick) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%8.8X", prefix, static_cast<unsigned>(tick & 0xFFFFFFFFu));
  return buf;
}

std::string ToHeader(const MailMessage& msg) {
  std::string v = FormatMailbox(msg.to);
  for (const MailAddress& a : msg.cc) {
    if (!v.empty()) v += ",\r\n\t";
    v += FormatMailbox(a);
  }
  return v;
}

void PrepareHeaders(const MailMessage& msg, MailHeaders& h, bool multipart, int kind,
                    const std::string& b1) {
  static const char* const kKinds[] = {"mixed", "alternative", "related"};
  RemoveHeader(h, "Content-Type");
  if (multipart) {
    h.emplace_back("Content-Type", std::string("multipart/") + kKinds[kind - 1] +
                                       ";\r\n\tboundary=\"" + b1 + "\"");
  }
  ReplaceHeader(h, "MIME-Version", "1.0");
  RemoveHeader(h, "Message-ID");
  if (!msg.messageId.empty()) h.emplace_back("Message-ID", "<" + HeaderSafe(msg.messageId) + ">");
  AddHeaderIfAbsent(h, "X-Priority", "3 (Normal)");
  AddHeaderIfAbsent(h, "X-MSMail-Priority", "Normal");
  AddHeaderIfAbsent(h, "X-Mailer", kMailerName);
  AddHeaderIfAbsent(h, "Importance", "Normal");
  ReplaceHeader(h, "Date", FormatMailDate(msg.created, msg.zone));
  ReplaceHeader(h, "Subject", HeaderSafe(msg.subject));
  ReplaceHeader(h, "To", ToHeader(msg));
  ReplaceHeader(h, "From", FormatMailbox(msg.from));
}

void WritePart(const MailPart& p, const std::string& boundary, std::string& out) {
  if (!boundary.empty()) out += "\r\n--" + boundary + "\r\n";
  EncodedBody body = EncodeBody(p.encoding, p.text);
  out += "Content-Type: " + HeaderSafe(p.contentType) + CharsetParam(p, p.contentType) + "\r\n";
  out += "Content-Transfer-Encoding: " + body.encoding;
  out += ContentIdLine(p);
  out += "\r\n\r\n";
  out += body.text;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void WriteAttachment(const MailAttachment& a, const std::string& boundary, std::string& out) {
  std::string data;
  if (!ReadWholeFile(a.path, data)) return;
  std::string name = QuotedText(BaseName(a.path));
  std::string type = a.contentType.empty() ? AttachmentMimeType(BaseName(a.path)) : a.contentType;
  EncodedBody body = EncodeBody(a.encoding, data);
  if (!boundary.empty()) out += "\r\n--" + boundary + "\r\n";
  out += "Content-Type: " + HeaderSafe(type) + CharsetParam(a, type);
  out += ";\r\n\tname=\"" + name + "\"\r\n";
  out += "Content-Transfer-Encoding: " + body.encoding + "\r\n";
  out += std::string("Content-Disposition: ") + (a.isInline ? "inline" : "attachment") +
         ";\r\n\tfilename=\"" + name + "\"";
  out += ContentIdLine(a);
  out += "\r\n\r\n";
  out += body.text;
}

}  // namespace

std::string FormatMailDate(const std::tm& t, int zone) {
  char buf[96];
  int wday = t.tm_wday >= 0 && t.tm_wday < 7 ? t.tm_wday : 0;
  int mon = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
  std::snprintf(buf, sizeof buf, "%s, %d %s %d %d:%02d:%02d %c%4.4d", kDays[wday], t.tm_mday,
                kMonths[mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                zone > 0 ? '+' : '-', zone < 0 ? -zone : zone);
  return buf;
}

std::string LookupMimeType(const std::string& fileName, const std::string& table) {
  const std::string kDefault = "application/octet-stream";
  size_t dot = fileName.find('.');
  if (dot == std::string::npos || dot + 1 >= fileName.size()) return kDefault;
  std::string ext = fileName.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::ifstream f(table);
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string type, word;
    if (!(words >> type)) continue;
    while (words >> word)
      if (word == ext) return type;
  }
  return kDefault;
}

std::string FormatMailbox(const MailAddress& a) {
  std::string v;
  if (!a.name.empty()) v += "\"" + QuotedText(a.name) + "\" ";
  if (!a.address.empty()) v += "<" + HeaderSafe(a.address) + ">";
  return v;
}

std::string BuildMimeContent(const MailMessage& msg) { return BuildMimeContent(msg, plat::TickMs()); }

std::string BuildMimeContent(const MailMessage& msg, uint64_t tick) {
  bool multipart = msg.parts.size() + msg.attachments.size() >= 2;
  int kind = msg.multipartKind;
  if (kind < kMultipartMixed || kind > kMultipartRelated)
    kind = msg.attachments.empty() ? kMultipartAlternative : kMultipartMixed;
  std::string b1 = multipart ? Boundary("CSmtpMsgPart123X456_000_", tick) : "";
  MailHeaders h = msg.headers;
  // Free headers come from callers: their names and values get no line breaks either.
  for (auto& [name, value] : h) {
    name = HeaderSafe(name);
    value = HeaderSafe(value);
  }
  PrepareHeaders(msg, h, multipart, kind, b1);

  std::string out;
  for (const auto& [name, value] : h) out += name + ": " + value + "\r\n";
  if (multipart) out += "\r\nThis is a multipart message in MIME format\r\n";

  bool nested = multipart && !msg.attachments.empty() && msg.parts.size() >= 2;
  std::string b2 = nested ? Boundary("CSmtpMsgPart123X456_001_", tick) : "";
  if (nested) {
    out += "\r\n--" + b1 + "\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"" + b2 +
           "\"\r\n";
  }
  for (const MailPart& p : msg.parts) WritePart(p, nested ? b2 : b1, out);
  if (nested) out += "\r\n--" + b2 + "--\r\n";
  for (const MailAttachment& a : msg.attachments) WriteAttachment(a, b1, out);
  if (multipart) out += "\r\n--" + b1 + "--\r\n";
  return out;
}
