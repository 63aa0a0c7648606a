#include "mail_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "server-core/log.h"

extern char** environ;

namespace {

std::string Unhex(const std::string& field) {
  std::string out;
  for (size_t i = 1; i + 1 < field.size(); i += 2)
    out += static_cast<char>(std::stoi(field.substr(i, 2), nullptr, 16));
  return out;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

}  // namespace

SmtpServerProcess::SmtpServerProcess(const std::vector<std::string>& args) {
  std::string script = std::string(VORN_SOURCE_DIR) + "/tests/mail/smtp_server.py";
  std::vector<std::string> argv = {"/usr/bin/python3", script, "--lifetime", "60"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  if (posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, cargv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  out_ = fds[0];
  std::string line;
  if (pid_ > 0 && ReadLine(line, 15000) && line.rfind("PORT ", 0) == 0)
    port_ = static_cast<uint16_t>(std::stoi(line.substr(5)));
}

SmtpServerProcess::~SmtpServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

bool SmtpServerProcess::ReadLine(std::string& line, int timeoutMs) {
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

bool SmtpServerProcess::NextRecord(MailRecord& rec, int timeoutMs) {
  rec = MailRecord{};
  for (std::string line; ReadLine(line, timeoutMs);) {
    std::vector<std::string> w = Words(line);
    if (w.empty()) continue;
    if (w[0] == "END") return true;
    if (w.size() < 2) continue;
    if (w[0] == "MAIL") rec.mailFrom = Unhex(w[1]);
    if (w[0] == "RCPT") rec.rcpts.push_back(Unhex(w[1]));
    if (w[0] == "LOGIN") rec.login = Unhex(w[1]);
    if (w[0] == "DATA") rec.data = Unhex(w[1]);
    if (w[0] == "DATE") rec.date = Unhex(w[1]);
    if (w[0] == "PART" && w.size() == 7) {
      rec.parts.push_back({Unhex(w[1]), Unhex(w[2]), Unhex(w[3]), Unhex(w[4]), Unhex(w[5]),
                           std::stoi(Unhex(w[6]))});
    }
  }
  return false;
}

FakeServer::FakeServer(std::function<void(int fd)> script) {
  listen_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(listen_, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(listen_, 1) != 0) return;
  getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this, script] {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return;
    int fd = accept(listen_, nullptr, nullptr);
    if (fd < 0) return;
    script(fd);
    close(fd);
  });
}

FakeServer::~FakeServer() {
  if (thread_.joinable()) thread_.join();
  if (listen_ >= 0) close(listen_);
}

uint16_t UnusedLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(s, reinterpret_cast<sockaddr*>(&sa), len);
  getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  close(s);
  return ntohs(sa.sin_port);
}

void SendText(int fd, const std::string& text) {
  (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

std::string ReadUntil(int fd, const std::string& tail, int timeoutMs) {
  std::string got;
  char c;
  while (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail)) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || recv(fd, &c, 1, 0) != 1) break;
    got += c;
  }
  return got;
}

std::string ReadLine(int fd, int timeoutMs) { return ReadUntil(fd, "\r\n", timeoutMs); }

std::string NewLogText() {
  static std::string dir;
  static uintmax_t seen = 0;
  if (dir.empty()) {
    char tmpl[] = "/tmp/vorn-mail-log-XXXXXX";
    dir = std::string(mkdtemp(tmpl)) + "/";
    SetLogFile("VornBOS", dir);
    LogLevel = 0;
  }
  FlushLog();
  std::string all;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream f(e.path(), std::ios::binary);
    all.append(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::string fresh = all.size() > seen ? all.substr(seen) : "";
  seen = all.size();
  return fresh;
}
