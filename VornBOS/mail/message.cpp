#include "VornBOS/mail/message.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/system.h"

MailMessage::MailMessage() {
  created = plat::LocalTimeNow();
  zone = ZoneFromGmtOffset(plat::GmtOffsetSeconds(created));
}

void MailMessage::AddTextPart(const std::string& text, const std::string& contentType,
                              const std::string& charset, int encoding) {
  MailPart part;
  part.contentType = contentType;
  part.charset = charset;
  part.encoding = encoding;
  part.text = text;
  parts.push_back(std::move(part));
}

int ZoneFromGmtOffset(long seconds) {
  long minutes = (seconds < 0 ? -seconds : seconds) / 60;
  int hhmm = static_cast<int>(minutes / 60 * 100 + minutes % 60);
  return seconds < 0 ? -hhmm : hhmm;
}

void RemoveHeader(MailHeaders& headers, const std::string& name) {
  std::erase_if(headers, [&](const auto& h) { return h.first == name; });
}

bool HasHeader(const MailHeaders& headers, const std::string& name) {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& h) { return h.first == name; });
}

void ReplaceHeader(MailHeaders& headers, const std::string& name, const std::string& value) {
  RemoveHeader(headers, name);
  headers.emplace_back(name, value);
}

void AddHeaderIfAbsent(MailHeaders& headers, const std::string& name, const std::string& value) {
  if (!HasHeader(headers, name)) headers.emplace_back(name, value);
}
