#include "VornBOS/mail/smtp.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "VornBOS/mail/encode.h"
#include "VornBOS/mail/mime.h"
#include "VornBOS/mail/reply.h"
#include "platform/clock.h"
#include "server-core/log.h"

namespace {

constexpr size_t kPiece = 1024;
constexpr size_t kMaxDiscard = 64 * 1024;
constexpr int kMaxAuthAttempts = 3;

void MailLog(const char* text) { WriteLog("%s", 11, "", 0, text); }

// Errors that come from creating the socket rather than from connecting it.
bool IsSocketCreationError(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM ||
         err == EAFNOSUPPORT || err == EPROTONOSUPPORT;
}

// A failed step's result: a reply without a code gives 0, which must not read as success.
int FailureCode(int code) { return code > 0 ? code : -1; }

// The time-out in milliseconds, kept to a day so that no wait overflows.
int TimeoutMs(int seconds) { return std::clamp(seconds, 0, 86400) * 1000; }

bool EqualsNoCase(const std::string& a, const char* b) {
  std::string lb(b);
  return a.size() == lb.size() &&
         std::equal(a.begin(), a.end(), lb.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// An envelope address goes inside "<...>" on a command line: no line breaks, no
// control characters and no angle brackets.
bool EnvelopeSafe(const std::string& addr) {
  return std::none_of(addr.begin(), addr.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 32 || u == 127 || c == '<' || c == '>';
  });
}

bool EnvelopeSafe(const MailMessage& msg) {
  auto safe = [](const MailAddress& a) { return EnvelopeSafe(a.address); };
  return safe(msg.from) && safe(msg.to) && std::all_of(msg.cc.begin(), msg.cc.end(), safe) &&
         std::all_of(msg.bcc.begin(), msg.bcc.end(), safe);
}

}  // namespace

CSmtp::~CSmtp() { Close(); }

int CSmtp::OnWarning(int, const std::string&) { return 0; }
int CSmtp::OnError(int, const std::string&) { return 0; }
void CSmtp::OnReply(const std::string&, int, const std::string&) {}
int CSmtp::OnProgress(const std::string&, size_t, size_t) { return 1; }

void CSmtp::Close() {
  plat::CloseSocket(socket_);
  socket_ = plat::kInvalidSocket;
  greeted_ = false;
}

bool CSmtp::ConnectServer(const std::string& server) {
  Close();
  uint32_t addr = 0;
  if (!plat::ResolveHostV4(server, addr)) {
    OnError(-1, lastReply_);
    return false;
  }
  int err = 0;
  socket_ = plat::TcpConnect(addr, port, TimeoutMs(timeout), err);
  if (socket_ == plat::kInvalidSocket) {
    MailLog(IsSocketCreationError(err) ? "SMTP:socket call failed" : "SMTP:connect call failed");
    OnError(-1, lastReply_);
    return false;
  }
  int code = SendCmd("");
  if (code != 220) {
    MailLog("SMTP:Cmd NULL not accept");
    OnError(code, lastReply_);
    Close();
    return false;
  }
  code = SendCmd("HELO " + plat::HostName() + "\r\n");
  if (code != 250) {
    OnError(code, lastReply_);
    MailLog("SMTP:Cmd HELLO not accept");
    Close();
    return false;
  }
  greeted_ = true;
  if (serverOffersAuth) AuthLogin();
  return true;
}

void CSmtp::DiscardWaiting() {
  char buf[kPiece];
  size_t total = 0;
  int err = 0;
  while (total < kMaxDiscard && plat::WaitReadable(socket_, 0, err) == 1) {
    long n = plat::Recv(socket_, buf, sizeof buf, err);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
}

int CSmtp::SendPieces(const std::string& command) {
  if (socket_ == plat::kInvalidSocket) return -1;
  size_t total = command.size();
  for (size_t sent = 0; sent < total;) {
    size_t len = std::min(kPiece, total - sent);
    int err = 0;
    if (plat::SendAll(socket_, command.data() + sent, len, err) < 0) return -1;
    sent += len;
    if (total > kPiece && OnProgress(command, sent, total) == 0) return 0;
  }
  return 1;
}

int CSmtp::ReadReply(const std::string& command) {
  ReplyReader reply;
  if (socket_ != plat::kInvalidSocket) {
    const uint64_t deadline = plat::TickMs() + static_cast<uint64_t>(TimeoutMs(timeout));
    char buf[kPiece];
    for (uint64_t now = plat::TickMs(); !reply.Done() && now < deadline; now = plat::TickMs()) {
      int err = 0;
      int ready = plat::WaitReadable(socket_, static_cast<int>(deadline - now), err);
      if (ready < 0) MailLog("SMTP: Get ret in SendCMD == SOCKET_ERROR");
      if (ready <= 0) break;
      long n = plat::Recv(socket_, buf, sizeof buf, err);
      if (n <= 0) break;
      reply.Feed(buf, static_cast<size_t>(n));
    }
  }
  // A reply cut short by the time-out or a closed connection still counts with what
  // arrived of it; only a reply of which nothing came is an error.
  lastReply_ = reply.Done() ? reply.Line() : reply.Unfinished();
  if (!reply.Any()) {
    MailLog("SMTO: Error in SendCmd");
    return -1;
  }
  int code = ReplyCode(lastReply_);
  OnReply(command, code, lastReply_);
  return code;
}

int CSmtp::SendCmd(const std::string& command) {
  if (!command.empty()) {
    if (socket_ != plat::kInvalidSocket) DiscardWaiting();
    int sent = SendPieces(command);
    if (sent < 0) {
      MailLog("SMTP: SandCmd nRet == SOCKET_ERROR");
      return -1;
    }
    if (sent == 0) {
      // The server may be inside a half-sent command (a DATA body): only closing the
      // connection makes it drop what it got.
      Close();
      return -1;
    }
  }
  return ReadReply(command);
}

int CSmtp::AnswerChallenges() {
  int code = 334;
  while (code == 334) {
    std::string prompt;
    Base64Decode(lastReply_.size() > 4 ? lastReply_.substr(4) : std::string(), prompt);
    if (EqualsNoCase(prompt, "Username:")) {
      code = SendCmd(Base64Encode(username) + "\r\n");
    } else if (EqualsNoCase(prompt, "Password:")) {
      code = SendCmd(Base64Encode(password) + "\r\n");
    } else {
      // Unknown challenge: cancel the exchange so that the next command is read as one.
      SendCmd("*\r\n");
      break;
    }
  }
  return code;
}

bool CSmtp::AuthLogin() {
  if (username.empty()) return false;
  for (int attempt = 1;; ++attempt) {
    int code = SendCmd("AUTH LOGIN\r\n");
    if (code != 334) {
      OnWarning(code, lastReply_);
      return false;
    }
    code = AnswerChallenges();
    if (code == 235) return true;
    if (code == 535 && OnWarning(code, lastReply_) == 1 && attempt < kMaxAuthAttempts) continue;
    OnError(code, lastReply_);
    return false;
  }
}

int CSmtp::SendMail(const MailMessage& msg) {
  if (msg.from.address.empty() || (msg.to.address.empty() && msg.cc.empty())) return -1;
  if (!EnvelopeSafe(msg)) {
    OnError(-1, lastReply_);
    return -1;
  }
  const std::string mailFrom = "MAIL FROM: <" + msg.from.address + ">\r\n";
  int code = SendCmd(mailFrom);
  if (code == 530 && !username.empty()) {
    // One authentication per transaction: a server that keeps asking is refused.
    AuthLogin();
    code = SendCmd(mailFrom);
  }
  if (code != 250) {
    code = FailureCode(code);
    OnError(code, lastReply_);
    return code;
  }
  std::vector<const MailAddress*> rcpts;
  if (!msg.to.address.empty()) rcpts.push_back(&msg.to);
  for (const auto& a : msg.cc) rcpts.push_back(&a);
  for (const auto& a : msg.bcc) rcpts.push_back(&a);
  int accepted = 0;
  for (const MailAddress* a : rcpts) {
    code = SendCmd("RCPT TO: <" + a->address + ">\r\n");
    if (code == 250 || code == 251)
      ++accepted;
    else
      OnWarning(code, lastReply_);
  }
  if (accepted == 0) {
    code = FailureCode(code);
    OnError(code, lastReply_);
    return ResetTransaction(code);
  }
  code = SendCmd("DATA\r\n");
  if (code != 354) {
    code = FailureCode(code);
    OnError(code, lastReply_);
    return ResetTransaction(code);
  }
  code = SendCmd(BuildMimeContent(msg) + "\r\n.\r\n");
  if (code != 250) {
    code = FailureCode(code);
    OnError(code, lastReply_);
    return code;
  }
  return 0;
}

int CSmtp::ResetTransaction(int code) {
  if (code != -1) SendCmd("RSET\r\n");
  return code;
}

void CSmtp::Disconnect() {
  if (greeted_) {
    int code = SendCmd("QUIT\r\n");
    if (code != 221) OnError(code, lastReply_);
  }
  Close();
}
