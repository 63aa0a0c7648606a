#include "bench/vornload/spawn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <sstream>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vl {

namespace {

std::string ProgramDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

bool PortAccepts(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

}  // namespace

uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

bool MakeDataDir(Spawned& s, int logLevel, uint32_t firstUin, int users, const std::string& password) {
  char tmpl[] = "/tmp/vornload-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  s.dataDir = std::string(tmpl) + "/";
  for (const char* sub : {"Db", "Cookie", "olm"}) mkdir((s.dataDir + sub).c_str(), 0755);
  s.authPort = FreePort();
  s.bosPort = FreePort();
  s.relayPort = FreePort();
  std::ofstream(s.dataDir + "vorn.ini") << "[Main]\nAuth_Port=" << s.authPort << "\nBOS_Port=" << s.bosPort
                                        << "\nBOS_IP=127.0.0.1\nLogLevel=" << logLevel << "\n";
  for (int i = 0; i < users; ++i) {
    uint32_t uin = firstUin + static_cast<uint32_t>(i);
    std::ofstream(s.dataDir + "Db/" + std::to_string(uin) + ".ini")
        << "[Main]\nPass=" << password << "\nNick=load" << uin << "\nFirst=Load\nLast=User" << uin << "\n";
  }
  return true;
}

pid_t StartProgram(const std::string& name, const std::vector<std::string>& args, const std::string& vornPath,
                   uint16_t port, const std::string& wrap) {
  std::string path = ProgramDir() + name;
  std::vector<std::string> words;
  std::istringstream split(wrap);
  for (std::string w; split >> w;) words.push_back(w);
  pid_t pid = fork();
  if (pid == 0) {
    if (!vornPath.empty()) setenv("VORN_PATH", vornPath.c_str(), 1);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (words.empty())
      execv(path.c_str(), argv.data());
    else
      execvp(argv[0], argv.data());
    _exit(127);
  }
  // A program under valgrind takes seconds to start.
  int tries = words.empty() ? 500 : 6000;
  for (int i = 0; i < tries; ++i) {
    if (PortAccepts(port)) return pid;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

void StopProgram(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

void RemoveDataDir(const Spawned& s) {
  std::error_code ec;
  if (!s.dataDir.empty()) std::filesystem::remove_all(s.dataDir, ec);
}

}  // namespace vl
