// The SMS gateway: routes an SMS by the leading digits of its number to an operator's
// mail-to-SMS address and sends it as mail through the mail workers (mail_pool.h).
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct MailMessage;

struct SmsRoute {
  std::string sign;  // number prefix, lower case
  std::string to;    // mail address with "%number%", lower case
  std::string subj;  // subject with "%number%"
};

// The text between "<tag>" and the following "</tag>" (tags compared without case).
std::string GetXmlTag(std::string_view text, std::string_view tag);

// Builds a route from a configuration value "<sign>..</sign><to>..</to><subj>..</subj>".
void AddSmsRoute(const std::string& value);
void ClearSmsRoutes();
const std::vector<SmsRoute>& SmsRoutes();

// The mail thread's work: sends one message through the relay named in the configuration
// file iniFile (a copy of the path, so the thread shares nothing with the server thread).
void SendSmsMail(std::unique_ptr<MailMessage> message, const std::string& iniFile);
// Waits for queued and running mail, at most the mailer's time-out (30 s).
void WaitForMailThreads();
