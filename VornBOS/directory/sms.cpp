#include "VornBOS/directory/sms.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "VornBOS/admin/metrics.h"
#include "VornBOS/directory/handlers.h"
#include "VornBOS/directory/mail_pool.h"
#include "VornBOS/mail/smtp.h"
#include "VornBOS/session.h"
#include "platform/ini.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

namespace {

constexpr int kMailTimeoutSeconds = 30;

std::vector<SmsRoute> routes;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return std::tolower(ch); });
  return s;
}

size_t FindNoCase(std::string_view text, std::string_view what, size_t from) {
  if (what.size() > text.size()) return std::string_view::npos;
  for (size_t i = from; i + what.size() <= text.size(); ++i) {
    bool same = true;
    for (size_t k = 0; k < what.size() && same; ++k)
      same = std::tolower(static_cast<unsigned char>(text[i + k])) == std::tolower(static_cast<unsigned char>(what[k]));
    if (same) return i;
  }
  return std::string_view::npos;
}

void ReplaceAll(std::string& text, const std::string& token, const std::string& value) {
  for (size_t pos = text.find(token); pos != std::string::npos; pos = text.find(token, pos + value.size()))
    text.replace(pos, token.size(), value);
}

const SmsRoute* FindRoute(const std::string& destination) {
  for (const SmsRoute& r : routes)
    if (destination.compare(0, r.sign.size(), r.sign) == 0 && r.sign.size() <= destination.size()) return &r;
  return nullptr;
}

std::string SuccessText(const SmsRoute& r, const std::string& address, const std::string& destination) {
  return "<sms_response>\n<source>" + r.sign + "</source>\n<deliverable>Yes</deliverable><network>" + address +
         "</network><message_id>1</message_id>\n<messages_left>" + destination + "</messages_left>\n</sms_response>\n";
}

std::string FailureText(const std::string& destination) {
  return "<sms_response>\n<source>Not find</source>\n<deliverable>No</deliverable><error><id>" + destination +
         "</id>\n<params><param>Not find where</param></params></error>\n</sms_response>\n";
}

void SendSmsReply(const MetaRequest& req, const std::string& response) {
  WireWriter w = StartMetaReply(0x0096, kMetaSuccess);
  w.be16(0x0001).be16(0x000D).be16(0x000B);
  w.be16(4).bytes("Vorn");
  w.be16(static_cast<uint16_t>(response.size() + 1)).bytes(response).u8(0);
  SendMetaTemplate(req, w.buffer());
}

}  // namespace

std::string GetXmlTag(std::string_view text, std::string_view tag) {
  if (text.empty()) return std::string();
  std::string open = "<" + std::string(tag) + ">";
  std::string close = "</" + std::string(tag) + ">";
  size_t start = FindNoCase(text, open, 0);
  if (start == std::string_view::npos) return std::string();
  start += open.size();
  size_t end = FindNoCase(text, close, start);
  if (end == std::string_view::npos) return std::string();
  return std::string(text.substr(start, end - start));
}

void AddSmsRoute(const std::string& value) {
  SmsRoute r;
  r.sign = Lower(GetXmlTag(value, "sign"));
  r.to = Lower(GetXmlTag(value, "to"));
  r.subj = GetXmlTag(value, "subj");
  ReplaceAll(r.subj, "%NUMBER%", "%number%");
  routes.push_back(std::move(r));
}

void ClearSmsRoutes() { routes.clear(); }

const std::vector<SmsRoute>& SmsRoutes() { return routes; }

void SendSms(const MetaRequest& req) {
  ClientInfo& c = req.client;
  // The XML text starts 25 bytes into the request and ends at the first NUL.
  std::string_view xml;
  if (req.len > 25) {
    xml = std::string_view(reinterpret_cast<const char*>(req.data) + 25, req.len - 25);
    xml = xml.substr(0, xml.find('\0'));
  }
  bool receipt = Lower(GetXmlTag(xml, "delivery_receipt")) == "yes";
  std::string destination = Lower(GetXmlTag(xml, "destination"));
  std::string text = GetXmlTag(xml, "text");
  const SmsRoute* route = FindRoute(destination);
  std::string response;
  if (route) {
    std::string number = destination.substr(route->sign.size());
    auto msg = std::make_unique<MailMessage>();
    msg->to.address = route->to;
    ReplaceAll(msg->to.address, "%number%", number);
    msg->subject = route->subj;
    ReplaceAll(msg->subject, "%number%", number);
    msg->from.name = ReadUserString(c.UIN, "Main", "First", " ", 24) + " " +
                     ReadUserString(c.UIN, "Main", "Last", " ", 24);
    msg->AddTextPart(text, "text/plain", "Windows-1251");
    std::string address = msg->to.address;
    auto job = [m = std::shared_ptr<MailMessage>(std::move(msg)), ini = Cfg.iniFile]() mutable {
      SendSmsMail(std::make_unique<MailMessage>(std::move(*m)), ini);
    };
    if (QueueMailJob(std::move(job))) {
      WriteLog("Send SMS from %d to %s. Size=%d", 9, c.addr.c_str(), c.UIN, c.UIN, address.c_str(),
               static_cast<int>(text.size()));
      if (receipt) response = SuccessText(*route, address, destination);
    } else {
      // Every mail worker is busy and the queue is full: the request fails now.
      Count(Counters().smsFailed);
      WriteLog("SMS queue full. Mail to %s dropped", 11, c.addr.c_str(), c.UIN, address.c_str());
      if (receipt) response = FailureText(destination);
    }
  } else if (receipt) {
    response = FailureText(destination);
  }
  if (receipt) SendSmsReply(req, response);
}

void SendSmsMail(std::unique_ptr<MailMessage> message, const std::string& ini) {
  CSmtp smtp;
  smtp.timeout = kMailTimeoutSeconds;
  message->from.address = plat::GetProfileString("SendSetting", "smtp_from", "", 300, ini);
  smtp.port = static_cast<uint16_t>(plat::AtoI(plat::GetProfileString("SendSetting", "smtp_port", "25", 300, ini)));
  std::string server = plat::GetProfileString("SendSetting", "smtp_server", "-", 128, ini);
  bool sent = false;
  if (smtp.ConnectServer(server)) {
    sent = smtp.SendMail(*message) == 0;
    smtp.Disconnect();
  }
  Count(sent ? Counters().smsSent : Counters().smsFailed);
}

void WaitForMailThreads() { WaitForMailJobs(kMailTimeoutSeconds); }
