#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace vt {

namespace fs = std::filesystem;

namespace {

bool BindsOnLoopback(uint16_t port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  ::close(s);
  return ok;
}

}  // namespace

// A port below the range the system hands out to outgoing connections: a port from that
// range, free when asked for, can become the local end of another test's client socket
// before the server binds it. Where that range starts too low, the system picks.
uint16_t FreePort() {
  static std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  for (int i = 0; low > 12000 && i < 500; ++i) {
    uint16_t port = static_cast<uint16_t>(10000 + pick() % static_cast<unsigned>(low - 10000));
    if (BindsOnLoopback(port)) return port;
  }
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t l = sizeof sa;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &l);
  ::close(s);
  return ntohs(sa.sin_port);
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

DataDir::DataDir() {
  char tmpl[] = "/tmp/vorn-test-XXXXXX";
  path_ = std::string(::mkdtemp(tmpl)) + "/";
  for (const char* d : {"Db", "Cookie", "olm"}) fs::create_directory(path_ + d);
  bosPort = FreePort();
  authPort = FreePort();
  while (authPort == bosPort) authPort = FreePort();
}

DataDir::~DataDir() {
  std::error_code ec;
  if (!std::getenv("VORN_KEEP_TEST_DIRS")) fs::remove_all(path_, ec);
}

void DataDir::WriteIni(int logLevel, const std::string& extra) {
  std::ostringstream ini;
  ini << "[Main]\nBOS_Port=" << bosPort << "\nAuth_Port=" << authPort << "\nBOS_IP=127.0.0.1\nLogLevel=" << logLevel
      << "\n" << extra;
  WriteFile("vorn.ini", ini.str());
}

void DataDir::WriteFile(const std::string& relative, const std::string& content) const {
  std::ofstream(path_ + relative, std::ios::binary) << content;
}

std::string DataDir::ReadFile(const std::string& relative) const {
  std::ifstream in(path_ + relative, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool DataDir::Exists(const std::string& relative) const { return fs::exists(path_ + relative); }

void DataDir::WriteUser(uint32_t uin, const std::string& content) const {
  WriteFile("Db/" + std::to_string(uin) + ".ini", content);
}

std::string DataDir::ServerPath(const std::string& relative) const {
  std::string p = path_ + relative;
  if (!WindowsServers()) return p;
  std::replace(p.begin(), p.end(), '/', '\\');
  return "Z:" + p;
}

std::string DataDir::Log(const std::string& program) const {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char name[64];
  std::strftime(name, sizeof name, ".%d.%m.%y.log", &tm);
  return ReadFile(program + name);
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop(3000);
}

// Connects, then ends the connection the way a client does: its sending side first, the
// socket itself once the server has closed. Closing at once would reset the connection
// whenever the server's hello had already arrived unread, and the server would log that
// as an error (which tests look for).
static bool PortAccepts(uint16_t port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (ok) {
    ::shutdown(s, SHUT_WR);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char buf[512];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{s, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      if (::recv(s, buf, sizeof buf, 0) <= 0) break;
    }
  }
  ::close(s);
  return ok;
}

bool WindowsServers() { return std::getenv("VORN_SERVER_LAUNCHER") != nullptr; }

// Starting a service under Wine takes a few Wine processes; on a loaded machine that is
// seconds.
constexpr int kServiceStartMs = 30000;

// The folder of the programs under test: VORN_SERVER_BIN when set (the Windows build),
// else this build's own.
static std::string ServerBin() {
  const char* bin = std::getenv("VORN_SERVER_BIN");
  return bin && *bin ? bin : VORN_BIN_DIR;
}

bool ServerProcess::Start(const std::string& program, const DataDir& dir, uint16_t port, bool wait) {
  std::string exe = ServerBin() + "/" + program;
  const char* launcher = std::getenv("VORN_SERVER_LAUNCHER");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setenv("VORN_PATH", dir.path().c_str(), 1);
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    // A launcher stands in for the server: it is signalled and waited for the same way.
    if (launcher && *launcher)
      ::execl(launcher, launcher, exe.c_str(), static_cast<char*>(nullptr));
    else
      ::execl(exe.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (!wait) return pid_ > 0;
  // The probe connection shows up in the server's log as an accepted and closed socket.
  return WaitFor([&] { return PortAccepts(port); }, WindowsServers() ? kServiceStartMs : 5000);
}

void ServerProcess::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int ServerProcess::Stop(int timeoutMs) {
  if (pid_ <= 0) return -1;
  // A service's stop passes through Wine's service control manager: allow it more time.
  if (WindowsServers()) timeoutMs *= 4;
  ::kill(pid_, SIGTERM);
  int status = 0;
  bool done = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs);
  if (!done) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string& output,
               const std::string& vornPath, const std::string& unitDir, std::string* errors) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return -1;
  // Standard error goes to a file, read after the end: two pipes would need polling.
  char errName[] = "/tmp/vorn-stderr-XXXXXX";
  int errFd = errors ? ::mkstemp(errName) : -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    if (errFd >= 0) ::dup2(errFd, 2);
    ::close(pipeFds[0]);
    if (!vornPath.empty()) ::setenv("VORN_PATH", vornPath.c_str(), 1);
    if (!unitDir.empty()) ::setenv("VORN_UNIT_DIR", unitDir.c_str(), 1);
    std::vector<char*> argv;
    bool ours = program.find('/') == std::string::npos;
    std::string exe = ours ? ServerBin() + "/" + program : program;
    // The programs of the Windows build run through VORN_PROGRAM_LAUNCHER (Wine).
    const char* launcher = std::getenv("VORN_PROGRAM_LAUNCHER");
    std::string run = ours && launcher && *launcher ? launcher : exe;
    if (run != exe && !fs::exists(exe) && fs::exists(exe + ".exe")) exe += ".exe";
    if (run != exe) argv.push_back(const_cast<char*>(run.c_str()));
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(run.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  output.clear();
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) output.append(buf, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  // Windows programs end their lines with CR LF.
  if (std::getenv("VORN_PROGRAM_LAUNCHER")) std::erase(output, '\r');
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (errFd >= 0) {
    errors->clear();
    ::lseek(errFd, 0, SEEK_SET);
    while ((n = ::read(errFd, buf, sizeof buf)) > 0) errors->append(buf, static_cast<size_t>(n));
    ::close(errFd);
    ::unlink(errName);
    if (std::getenv("VORN_PROGRAM_LAUNCHER")) std::erase(*errors, '\r');
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vt
