// Runs VornBOS / VornAuth as real processes on free loopback ports, each test with a data
// folder of its own.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vt {

uint16_t FreePort();

// True when the servers under test are the Windows programs, run as services under Wine
// through VORN_SERVER_LAUNCHER (VORN_SERVER_BIN names their folder).
bool WindowsServers();

// Skips the current test when the servers are the Windows programs; the reason names the
// difference of the system and is listed in tests/win/README.md.
#define VORN_SKIP_ON_WINDOWS(reason) \
  do {                                \
    if (::vt::WindowsServers()) GTEST_SKIP() << "Windows servers: " << (reason); \
  } while (0)

// A temporary data folder with Db/, Cookie/ and olm/ and a vorn.ini.
class DataDir {
 public:
  DataDir();
  ~DataDir();
  DataDir(const DataDir&) = delete;
  DataDir& operator=(const DataDir&) = delete;

  const std::string& path() const { return path_; }  // ends in '/'
  uint16_t bosPort = 0;
  uint16_t authPort = 0;

  // Writes vorn.ini: [Main] ports and LogLevel, then the extra text as it is.
  void WriteIni(int logLevel = 0, const std::string& extra = "");
  void WriteFile(const std::string& relative, const std::string& content) const;
  std::string ReadFile(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void WriteUser(uint32_t uin, const std::string& content) const;
  // A path below the folder as the servers spell it in their log: with a drive letter and
  // backslashes when they are the Windows programs under Wine.
  std::string ServerPath(const std::string& relative) const;
  // Today's log of a program ("VornBOS", "VornAuth").
  std::string Log(const std::string& program) const;

 private:
  std::string path_;
};

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the program with VORN_PATH set to the folder and (unless told not to) waits
  // until port accepts.
  bool Start(const std::string& program, const DataDir& dir, uint16_t port, bool wait = true);
  void Signal(int sig);
  // SIGTERM and wait; returns the exit status (-1 when it had to be killed).
  int Stop(int timeoutMs = 5000);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// Runs a program to its end; returns its exit code and collects its standard output (and its
// standard error when `errors` is given; otherwise standard error is the test's own).
int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string& output,
               const std::string& vornPath = "", const std::string& unitDir = "", std::string* errors = nullptr);

// Polls a condition every 10 ms until it holds or the time is up.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 3000);

}  // namespace vt
