// The mail message model: addresses, text parts, file attachments and free headers.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

struct MailAddress {
  std::string name;     // display name, may be empty
  std::string address;  // user@host
};

// Transfer encodings a part can ask for; Auto lets the encoder classify the content.
enum MailEncoding : int {
  kEncAuto = 0,
  kEnc7bit = 1,
  kEnc8bit = 2,
  kEncQuotedPrintable = 3,
  kEncBase64 = 4,
};

struct MailPart {
  std::string contentType;  // "text/plain"
  std::string charset;      // written only for "text/..." types
  std::string contentId;    // Content-ID line when not empty
  int encoding = kEncAuto;
  std::string text;         // the part's content (any bytes)
};

// A file sent with the message. contentType, when set, is taken as is; when empty the
// type is looked up by the file's extension.
struct MailAttachment : MailPart {
  std::string path;
  bool isInline = false;
};

enum MultipartKind : int {
  kMultipartAuto = 0,
  kMultipartMixed = 1,
  kMultipartAlternative = 2,
  kMultipartRelated = 3,
};

using MailHeaders = std::vector<std::pair<std::string, std::string>>;

struct MailMessage {
  // Takes the local date, time and offset from UTC.
  MailMessage();

  MailAddress from;
  MailAddress to;
  std::vector<MailAddress> cc;   // listed in the To header
  std::vector<MailAddress> bcc;  // envelope only
  std::string subject;
  std::vector<MailPart> parts;
  std::vector<MailAttachment> attachments;
  MailHeaders headers;           // free headers, in order; names compared exactly
  std::tm created{};
  int zone = 0;                  // +-HHMM, east of UTC positive (UTC+10:00 gives 1000)
  int multipartKind = kMultipartAuto;
  std::string messageId;         // empty: no Message-ID header

  // Appends a text part with the given type and character set.
  void AddTextPart(const std::string& text, const std::string& contentType,
                   const std::string& charset, int encoding = kEncAuto);
};

// The +-HHMM form of an offset from UTC given in seconds east.
int ZoneFromGmtOffset(long seconds);

// Header list edits (names compared exactly).
void RemoveHeader(MailHeaders& headers, const std::string& name);
bool HasHeader(const MailHeaders& headers, const std::string& name);
// Removes every entry of that name and appends one at the end.
void ReplaceHeader(MailHeaders& headers, const std::string& name, const std::string& value);
void AddHeaderIfAbsent(MailHeaders& headers, const std::string& name, const std::string& value);
