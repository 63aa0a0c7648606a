// What an operator sees at the edges: the servers' command line, a port that cannot be
// taken, and a reload of VornAuth's vorn.ini by SIGHUP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pwd.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"
#include "vorn_version.h"

using namespace vt;

namespace {

const std::string kMore =
    "\t%P \t- run the server in the foreground (VORN_PATH names the data folder)\n"
    "\t%P --version \t- print the version\n";

std::string Usage(const std::string& program, const std::string& banner) {
  return banner + "\n\nUsage:\n\t" + program + " setup \t- install services\n\t" + program +
         " delete \t- remove services\n";
}

std::string WithProgram(std::string text, const std::string& program) {
  for (size_t at; (at = text.find("%P")) != std::string::npos;) text.replace(at, 2, program);
  return text;
}

// Every command line that is not "setup", "delete" or none is answered without starting the
// server: anything unknown is refused with exit code 2 and the usage on standard error.
TEST(ServerCommandLine, HelpVersionAndUnknownArgumentsNeverStartTheServer) {
  VORN_SKIP_ON_WINDOWS("the usage texts name the programs with .exe");
  const struct {
    const char* program;
    std::string banner;
  } programs[] = {{"VornAuth", "Vorn (Authorization) v." VORN_VERSION " Tarn"}, {"VornBOS", "Vorn (BOS) v." VORN_VERSION}};
  for (const auto& p : programs) {
    const std::string usage = Usage(p.program, p.banner);
    const std::string help = usage + WithProgram(kMore, p.program);
    const struct {
      std::vector<std::string> args;
      int exit;
      std::string out, err;
    } cases[] = {
        {{"/?"}, 0, usage, ""},
        {{"--help"}, 0, help, ""},
        {{"-h"}, 0, help, ""},
        {{"--version"}, 0, std::string(p.program) + " " VORN_VERSION "\n", ""},
        {{"--verbose"}, 2, "", std::string(p.program) + ": unknown argument \"--verbose\"\n" + help},
        {{"start"}, 2, "", std::string(p.program) + ": unknown argument \"start\"\n" + help},
        {{"/?", "x"}, 2, "", std::string(p.program) + ": unknown argument \"x\"\n" + help},
    };
    DataDir dir;  // should the server start after all, it would start here and the test time out
    dir.WriteIni(8);
    for (const auto& c : cases) {
      std::string out, err;
      EXPECT_EQ(RunProgram(p.program, c.args, out, dir.path(), "", &err), c.exit) << p.program << " " << c.args[0];
      EXPECT_EQ(out, c.out) << p.program << " " << c.args[0];
      EXPECT_EQ(err, c.err) << p.program << " " << c.args[0];
    }
    EXPECT_EQ(dir.Log(p.program), "");  // nothing started, nothing logged
  }
}

// A port another program holds: both servers end with exit code 1 and say where and why, on
// standard error and in the log after the failure line.
TEST(ServerStart, APortThatIsTakenIsReportedWithAddressPortAndReason) {
  VORN_SKIP_ON_WINDOWS("a service's exit code and standard error go to the service control manager");
  for (const char* program : {"VornAuth", "VornBOS"}) {
    DataDir dir;
    dir.WriteIni(8);
    const uint16_t port = std::string(program) == "VornAuth" ? dir.authPort : dir.bosPort;
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    std::string out, err;
    EXPECT_EQ(RunProgram(program, {}, out, dir.path(), "", &err), 1) << program;
    ::close(holder);
    const std::string detail = "cannot listen on 0.0.0.0:" + std::to_string(port) + ": " + std::strerror(EADDRINUSE) +
                               " (error " + std::to_string(EADDRINUSE) + ")";
    EXPECT_EQ(err, std::string(program) + ": " + detail + "\n");
    const std::string log = dir.Log(program);
    const size_t failed = log.find("bind() failed with error");
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_NE(log.find(detail, failed), std::string::npos) << log;
  }
}

// SIGHUP: VornAuth hands out the new BOS address to the next login; the listening port stays
// and the log says the new one needs a restart.
TEST(AuthReload, SighupRereadsTheBosAddressAndKeepsTheListeningPort) {
  DataDir dir;
  dir.WriteIni(0);
  dir.WriteUser(1000, "[Main]\nPass=secret\n");
  ServerProcess auth;
  ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  const uint16_t otherPort = FreePort();
  dir.WriteFile("vorn.ini", "[Main]\nBOS_Port=6000\nAuth_Port=" + std::to_string(otherPort) +
                                "\nBOS_IP=127.0.0.9\nLogLevel=0\n");
  auth.Signal(SIGHUP);
  const std::string moved = "Auth_Port " + std::to_string(otherPort) + " takes effect at the next start; still listening on " +
                            std::to_string(dir.authPort);
  ASSERT_TRUE(WaitFor([&] { return dir.Log("VornAuth").find(moved) != std::string::npos; }));
  OscarClient c;
  auto reply = c.AuthLogin(dir.authPort, 1000, "secret");
  ASSERT_TRUE(reply);
  EXPECT_EQ(ParseTlvs(reply->data, 0)[5], Text("127.0.0.9:6000"));
  EXPECT_EQ(auth.Stop(), 0);
}

// The exposure score "systemd-analyze security" gives a unit file, or -1 when it cannot tell.
double ExposureOf(const std::string& unit) {
  std::string cmd = "systemd-analyze security --offline=true '" + unit + "' 2>/dev/null | grep 'Overall exposure'";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return -1;
  char line[512] = {};
  std::string text = std::fgets(line, sizeof line, p) ? line : "";
  ::pclose(p);
  size_t colon = text.rfind(": ");
  return colon == std::string::npos ? -1 : std::atof(text.c_str() + colon + 2);
}

std::string SourceFile(const std::string& relative) {
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/" + relative);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// "setup" writes a unit that runs the server as the owner of its data folder, confined as the
// packaged units are; both score at most 2.0 ("OK") in systemd-analyze security.
TEST(ServiceSetup, UnitRunsAsTheDataFolderOwnerWithThePackagedHardening) {
  VORN_SKIP_ON_WINDOWS("setup writes systemd units here; the service control manager's are in win_services");
  for (const char* program : {"VornAuth", "VornBOS"}) {
    DataDir dir;
    dir.WriteIni(8);
    std::string owner = ::getpwuid(::geteuid())->pw_name;
    if (::geteuid() == 0 && ::chown(dir.path().c_str(), 65534, 65534) == 0) owner = ::getpwuid(65534)->pw_name;
    const std::string units = dir.path() + "units";
    std::filesystem::create_directory(units);
    std::string out;
    ASSERT_EQ(RunProgram(program, {"setup"}, out, dir.path(), units), 0) << out;
    const std::string unit = dir.ReadFile(std::string("units/") + program + ".service");
    EXPECT_NE(unit.find("\nUser=" + owner + "\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nReadWritePaths=" + dir.path() + "\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nWorkingDirectory=" + dir.path() + "\n"), std::string::npos) << unit;
    const std::string packagedName = std::string("packaging/systemd/") + (program[4] == 'A' ? "vornauth" : "vornbos") + ".service";
    std::istringstream packaged(SourceFile(packagedName));
    int confining = 0;
    for (std::string line; std::getline(packaged, line);) {
      if (line.empty() || line[0] == '#' || line[0] == '[' || line.find('=') == std::string::npos) continue;
      const std::string key = line.substr(0, line.find('='));
      if (key.find("Protect") == std::string::npos && key.find("Restrict") == std::string::npos &&
          key.find("Private") == std::string::npos && key.find("Capabilit") == std::string::npos &&
          key.find("SystemCall") == std::string::npos && key != "NoNewPrivileges" && key != "LockPersonality" &&
          key != "MemoryDenyWriteExecute" && key != "DevicePolicy" && key != "ProcSubset" && key != "UMask")
        continue;
      ++confining;
      EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << program << " lacks " << line;
    }
    EXPECT_GE(confining, 20) << packagedName;
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze not installed";
    for (const std::string& file : {units + "/" + program + ".service", std::string(VORN_SOURCE_DIR) + "/" + packagedName}) {
      const double score = ExposureOf(file);
      EXPECT_GE(score, 0.0) << file;
      EXPECT_LE(score, 2.0) << file;
    }
  }
}

}  // namespace
