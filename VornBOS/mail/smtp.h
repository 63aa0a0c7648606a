// SMTP client: connects to a relay, greets with HELO, optionally authenticates with
// AUTH LOGIN, sends one message per SendMail and quits. Blocking, with a time-out on
// every reply; meant for a worker thread of its own, one CSmtp per thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "VornBOS/mail/message.h"
#include "platform/net.h"

class CSmtp {
 public:
  CSmtp() = default;
  CSmtp(const CSmtp&) = delete;
  CSmtp& operator=(const CSmtp&) = delete;
  // Closes the connection without QUIT.
  virtual ~CSmtp();

  // A recipient was refused, AUTH LOGIN was not answered with 334, or the server
  // answered 535. Returning 1 after a 535 tries AUTH LOGIN again.
  virtual int OnWarning(int code, const std::string& lastReply);
  // Any other failed step; code is -1 for transport failures.
  virtual int OnError(int code, const std::string& lastReply);
  // After every reply read by SendCmd (command is empty for the greeting).
  virtual void OnReply(const std::string& command, int code, const std::string& line);
  // After each 1024-byte piece of a command longer than 1024 bytes; 0 aborts the
  // command and drops the connection.
  virtual int OnProgress(const std::string& command, size_t sent, size_t total);

  // Resolves the server (dotted address or name), connects to `port`, reads the 220
  // greeting and sends HELO. True when connected and greeted.
  bool ConnectServer(const std::string& server);
  // Sends the command (nothing when empty: reads the greeting) and reads the whole
  // reply. Returns its three-digit code (0 for a line without one), or -1 on a send
  // failure or when nothing of a reply came in time; a reply cut short counts as read.
  int SendCmd(const std::string& command);
  // One mail transaction. 0 on success, otherwise the failing reply code or -1.
  int SendMail(const MailMessage& msg);
  // AUTH LOGIN with username and password; true on 235. Does nothing without a user.
  bool AuthLogin();
  // QUIT when greeted (expects 221), then closes the connection.
  void Disconnect();

  const std::string& LastReply() const { return lastReply_; }
  bool Greeted() const { return greeted_; }
  bool Connected() const { return socket_ != plat::kInvalidSocket; }

  int timeout = 30;        // seconds to wait for one reply (and for the connect)
  uint16_t port = 26;      // host order; callers set the configured port
  std::string username;    // empty: never authenticate
  std::string password;
  bool serverOffersAuth = false;  // when set before the greeting ends, AUTH LOGIN follows HELO

 private:
  void Close();
  void DiscardWaiting();
  // 1 sent, 0 aborted by OnProgress, -1 send failure.
  int SendPieces(const std::string& command);
  int ReadReply(const std::string& command);
  // Ends a failed transaction with RSET so that the connection can carry the next
  // message; returns the code it was given.
  int ResetTransaction(int code);
  // Answers the 334 prompts of AUTH LOGIN; returns the first other reply code.
  int AnswerChallenges();

  plat::Socket socket_ = plat::kInvalidSocket;
  std::string lastReply_;
  bool greeted_ = false;
};
