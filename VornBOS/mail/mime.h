// Turns a MailMessage into the DATA content of an SMTP transaction.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "VornBOS/mail/message.h"

// The X-Mailer value.
extern const char kMailerName[];

// "Sun, 6 Dec 2026 17:45:56 +1000": English names whatever the locale; the sign is '+'
// only for zones east of UTC, so UTC itself gives "-0000".
std::string FormatMailDate(const std::tm& t, int zone);

// The MIME type of a file by the extension after the first dot of its name, from a
// mime.types table; "application/octet-stream" when the table or the entry is missing.
std::string LookupMimeType(const std::string& fileName,
                           const std::string& table = "/etc/mime.types");

// "\"Name\" <address>" with the parts that are present.
std::string FormatMailbox(const MailAddress& a);

// The whole message: headers, then the parts and attachments with their boundaries.
// The boundaries carry the given tick value; the message itself is not changed.
std::string BuildMimeContent(const MailMessage& msg, uint64_t tick);
std::string BuildMimeContent(const MailMessage& msg);
