// Helpers for the mailer tests: the aiosmtpd-based server process, scripted one-shot
// fake servers and the log folder.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

// One message as recorded by smtp_server.py.
struct MailRecord {
  struct Part {
    std::string type, encoding, charset, filename, payload;
    int defects = 0;
  };
  std::string mailFrom;
  std::vector<std::string> rcpts;
  std::string login;
  std::string data;
  std::string date;  // ISO form as parsed by the email package, "invalid" when unparsable
  std::vector<Part> parts;
};

// Runs tests/mail/smtp_server.py under /usr/bin/python3.
class SmtpServerProcess {
 public:
  explicit SmtpServerProcess(const std::vector<std::string>& args = {});
  ~SmtpServerProcess();
  bool Started() const { return port_ != 0; }
  uint16_t Port() const { return port_; }
  // The next delivered message; false when none arrives within timeoutMs.
  bool NextRecord(MailRecord& rec, int timeoutMs = 5000);

 private:
  bool ReadLine(std::string& line, int timeoutMs);

  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  uint16_t port_ = 0;
};

// Listens on a free loopback port and runs the script on the first connection.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(int fd)> script);
  ~FakeServer();
  uint16_t Port() const { return port_; }

 private:
  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A loopback port that nothing listens on.
uint16_t UnusedLoopbackPort();

// Socket helpers for fake-server scripts.
void SendText(int fd, const std::string& text);
// One line including its CR LF, or what arrived before the peer closed or the time ran out.
std::string ReadLine(int fd, int timeoutMs = 5000);
// Reads until the text ends with the given tail.
std::string ReadUntil(int fd, const std::string& tail, int timeoutMs = 5000);

// Points the log at a fresh temporary folder (once per process) and returns the text
// written since the last call.
std::string NewLogText();
