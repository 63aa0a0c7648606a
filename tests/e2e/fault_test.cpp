// The servers under file-system faults: a read-only or full data folder and a missing
// folder stop the start with a message on standard error and a non-zero exit code; a folder
// that vanishes while running costs only what was meant for it; leftovers of a killed
// atomic write are removed at start; the user and cookie files are private.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <fstream>

#include "tests/support/oscar_client.h"
#include "tests/support/scratch_mount.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

struct Outcome {
  int exitCode = -1;  // -1: still running after the wait (it was then killed)
  std::string err;
};

// Runs a server on the data folder and waits for it to end by itself.
Outcome RunUntilExit(const std::string& program, const std::string& dataPath, int waitMs = 5000) {
  int pipeFd[2];
  if (::pipe(pipeFd) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFd[1], 2);
    ::close(pipeFd[0]);
    ::setenv("VORN_PATH", dataPath.c_str(), 1);
    std::string path = std::string(VORN_BIN_DIR) + "/" + program;
    ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFd[1]);
  Outcome out;
  int status = 0;
  bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, waitMs);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    out.exitCode = WEXITSTATUS(status);
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0) out.err.append(buf, static_cast<size_t>(n));
  ::close(pipeFd[0]);
  return out;
}

// A service has no standard error for the start check's message.
constexpr const char* kNoStandardError = "a service has no standard error for the start check to write to";

void MakeDataFolder(const std::string& path) {
  for (const char* d : {"Db", "Cookie", "olm"}) std::filesystem::create_directories(path + d);
  std::ofstream(path + "vorn.ini") << "[Main]\nBOS_Port=" << FreePort() << "\nAuth_Port=" << FreePort() << "\n";
}

TEST(StartChecks, AReadOnlyDataFolderStopsBothServersWithAMessage) {
  VORN_SKIP_ON_WINDOWS(kNoStandardError);
  ScratchMount m(256 * 1024);
  VORN_REQUIRE_MOUNT(m);
  MakeDataFolder(m.path());
  ASSERT_TRUE(m.SetReadOnly(true));
  for (const char* program : {"VornBOS", "VornAuth"}) {
    Outcome o = RunUntilExit(program, m.path());
    EXPECT_NE(o.exitCode, 0) << program;
    EXPECT_NE(o.exitCode, -1) << program << " kept running";
    EXPECT_NE(o.err.find(std::string(program) + ": cannot write the user folder " + m.path() + "Db/: Read-only file system"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("cannot write the log file"), std::string::npos) << o.err;
  }
}

TEST(StartChecks, AFullDiskStopsTheStart) {
  VORN_SKIP_ON_WINDOWS(kNoStandardError);
  ScratchMount m(64 * 1024);
  VORN_REQUIRE_MOUNT(m);
  MakeDataFolder(m.path());
  std::ofstream(m.path() + "filler", std::ios::binary) << std::string(128 * 1024, 'f');
  Outcome o = RunUntilExit("VornBOS", m.path());
  EXPECT_GT(o.exitCode, 0);
  EXPECT_NE(o.err.find("No space left on device"), std::string::npos) << o.err;
}

TEST(StartChecks, AMissingFolderIsNamed) {
  VORN_SKIP_ON_WINDOWS(kNoStandardError);
  DataDir dir;
  dir.WriteIni(0);
  std::filesystem::remove_all(dir.path() + "olm");
  Outcome o = RunUntilExit("VornBOS", dir.path());
  EXPECT_GT(o.exitCode, 0);
  EXPECT_NE(o.err.find("cannot write the offline-message folder " + dir.path() + "olm/: No such file or directory"),
            std::string::npos)
      << o.err;
}

TEST(StartChecks, LeftoversOfAKilledWriteAreRemovedAtStart) {
  DataDir dir;
  dir.WriteIni(0);
  dir.WriteFile("Db/1015.ini.Xx3Xon", "[Main]\nPass=half");
  dir.WriteFile("Cookie/1015.aB3dE9", "half");
  dir.WriteFile("Db/1015.ini", "[Main]\nPass=pw\n");
  utimbuf old{1000000000, 1000000000};
  ::utime((dir.path() + "Db/1015.ini.Xx3Xon").c_str(), &old);
  ::utime((dir.path() + "Cookie/1015.aB3dE9").c_str(), &old);
  ServerProcess bos;
  ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  EXPECT_FALSE(dir.Exists("Db/1015.ini.Xx3Xon"));
  EXPECT_FALSE(dir.Exists("Cookie/1015.aB3dE9"));
  EXPECT_TRUE(dir.Exists("Db/1015.ini"));
  EXPECT_NE(dir.Log("VornBOS").find("Removed stale temporary file " + dir.ServerPath("Db/1015.ini.Xx3Xon")),
            std::string::npos);
}

TEST(RunningFaults, AnOfflineFolderThatVanishesLosesOnlyThoseMessages) {
  DataDir dir;
  dir.WriteIni(0);
  for (uint32_t u : {1000u, 1001u}) dir.WriteUser(u, "[Main]\nPass=pw\n");
  ServerProcess auth, bos;
  ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  OscarClient a;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  std::filesystem::remove_all(dir.path() + "olm");
  a.SendMessage(1001, "lost");
  EXPECT_TRUE(WaitFor([&] { return dir.Log("VornBOS").find("Can't create OLM to 1001") != std::string::npos; }));
  std::filesystem::create_directory(dir.path() + "olm");
  a.SendMessage(1001, "kept");
  EXPECT_TRUE(WaitFor([&] { return dir.ReadFile("olm/1001.olm").find("kept") != std::string::npos; }));
  EXPECT_EQ(dir.ReadFile("olm/1001.olm").find("lost"), std::string::npos);
}

TEST(SecretFiles, CookieAndUserFilesArePrivateUnderAnyUmask) {
  VORN_SKIP_ON_WINDOWS("file modes: Wine makes every file with the umask's mode, Windows rights are not modes");
  DataDir dir;
  dir.WriteIni(0);
  dir.WriteUser(1000, "[Main]\nPass=pw\n");
  // A cookie file from before, readable by all and longer than a cookie: the authorization
  // server narrows it at start and then writes cookies into it in place.
  std::string cookie = dir.path() + "Cookie/1000";
  std::ofstream(cookie) << std::string(300, 'x');
  ASSERT_EQ(::chmod(cookie.c_str(), 0644), 0);
  mode_t old = ::umask(0);  // the servers inherit it
  ServerProcess auth, bos;
  bool started = auth.Start("VornAuth", dir, dir.authPort) && bos.Start("VornBOS", dir, dir.bosPort);
  ::umask(old);
  ASSERT_TRUE(started);
  OscarClient a;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  // A password change rewrites the user file.
  Bytes pass = Cat({Le16(3), Text("np"), Bytes{0}});
  Bytes meta = Cat({Le32(1000), Le16(0x07D0), Le16(2), Le16(0x042E), pass});
  a.SendSnac(0x15, 2, 9, Cat({Be16(1), Be16(static_cast<uint16_t>(meta.size() + 2)), Le16(static_cast<uint16_t>(meta.size())), meta}));
  ASSERT_TRUE(a.WaitSnac(0x15, 3).has_value());
  struct stat st{};
  ASSERT_EQ(::stat(cookie.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 256);
  EXPECT_NE(dir.Log("VornAuth").find("Cookie file " + cookie + " narrowed"), std::string::npos);
  ASSERT_EQ(::stat((dir.path() + "Db/1000.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
