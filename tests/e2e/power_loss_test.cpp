// Power loss: an XFS file system on a loop device is shut down (xfs_io shutdown -f: what the
// log holds survives, unflushed file data does not) right after each kind of write, then
// mounted again. Every write that was reported done must be there, whole.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

bool Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A small XFS image mounted on a loop device for one test; why() says what was missing.
class XfsMount {
 public:
  XfsMount() {
    if (::geteuid() != 0) {
      why_ = "needs root to mount a loop device";
      return;
    }
    if (!Run("command -v mkfs.xfs") || !Run("command -v xfs_io")) {
      why_ = "xfsprogs (mkfs.xfs, xfs_io) is not installed";
      return;
    }
    char tmpl[] = "/tmp/vorn-xfs-XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    base_ = tmpl;
    mnt_ = base_ + "/mnt/";
    std::filesystem::create_directory(mnt_);
    // 300 MiB is the smallest file system mkfs.xfs makes; the image file is sparse.
    if (!Run("truncate -s 300M " + base_ + "/img") || !Run("mkfs.xfs -q -f " + base_ + "/img")) {
      why_ = "mkfs.xfs failed";
      return;
    }
    mounted_ = Mount();
    if (!mounted_) why_ = "cannot mount a loop device here";
  }
  ~XfsMount() {
    if (mounted_) ::umount2(mnt_.c_str(), MNT_DETACH);
    if (!base_.empty()) std::filesystem::remove_all(base_);
  }
  bool ok() const { return mounted_; }
  const std::string& why() const { return why_; }
  std::string path() const { return mnt_; }
  // Shuts the file system down as a power loss would, then mounts it again (log recovery).
  bool PowerCycle() {
    if (!Run("xfs_io -x -c 'shutdown -f' " + mnt_)) return false;
    mounted_ = !Run("umount " + mnt_);
    return !mounted_ && (mounted_ = Mount());
  }

 private:
  bool Mount() { return Run("mount -o loop " + base_ + "/img " + mnt_); }
  std::string base_, mnt_, why_;
  bool mounted_ = false;
};

// Starts a server on a data folder; the caller kills it.
pid_t Spawn(const std::string& program, const std::string& dataPath) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("VORN_PATH", dataPath.c_str(), 1);
    std::string exe = std::string(VORN_BIN_DIR) + "/" + program;
    ::execl(exe.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PowerLoss, WhatWasReportedDoneSurvives) {
  XfsMount m;
  if (!m.ok()) GTEST_SKIP() << "skipped: " << m.why();
  // A data folder on the image, with the servers' ports from a folder of the usual kind.
  DataDir ports;
  std::string d = m.path();
  for (const char* sub : {"Db", "Cookie", "olm"}) std::filesystem::create_directory(d + sub);
  std::ofstream(d + "vorn.ini") << "[Main]\nBOS_Port=" << ports.bosPort << "\nAuth_Port=" << ports.authPort
                                << "\nLogLevel=11\n";
  std::ofstream(d + "Db/1000.ini") << "[Main]\nPass=old\nNick=alice\n";
  ::sync();

  std::string out;
  ASSERT_EQ(RunProgram("vornadmin", {"--data", d, "user", "add", "1009", "--password", "pw9"}, out), 0) << out;
  ASSERT_EQ(RunProgram("vornadmin", {"--data", d, "user", "passwd", "1000", "--password", "new"}, out), 0) << out;
  // An offline message acknowledged by the session server, and a password set through it.
  pid_t authPid = Spawn("VornAuth", d), bosPid = Spawn("VornBOS", d);
  OscarClient a;
  bool signedOn = WaitFor([&] { return a.SignOn(ports.authPort, ports.bosPort, 1000, "new"); }, 5000);
  if (signedOn) {
    Bytes tlv = Channel1Tlv("after the storm");
    a.SendSnac(0x0004, 0x0006, 7,
               Cat({Bytes(8, 1), Be16(1), Bytes{4}, Text("2000"), Be16(2), Be16(static_cast<uint16_t>(tlv.size())),
                    tlv, Be16(3), Be16(0)}));
    EXPECT_TRUE(a.WaitSnac(0x0004, 0x000C));
    Bytes nick = Cat({Le16(3), Text("bo"), Bytes{0}});
    Bytes meta = Cat({Le32(1000), Le16(0x07D0), Le16(2), Le16(0x03EA), nick});
    a.SendSnac(0x15, 2, 9, Cat({Be16(1), Be16(static_cast<uint16_t>(meta.size() + 2)),
                                Le16(static_cast<uint16_t>(meta.size())), meta}));
    EXPECT_TRUE(a.WaitSnac(0x15, 3));
  }
  ::kill(bosPid, SIGKILL);
  ::kill(authPid, SIGKILL);
  ::waitpid(bosPid, nullptr, 0);
  ::waitpid(authPid, nullptr, 0);
  ASSERT_TRUE(signedOn);
  ASSERT_TRUE(m.PowerCycle());
  EXPECT_NE(ReadAll(d + "Db/1009.ini").find("Pass=pw9"), std::string::npos);
  std::string u = ReadAll(d + "Db/1000.ini");
  EXPECT_NE(u.find("Pass=new"), std::string::npos) << u;
  EXPECT_NE(u.find("Nick=bo"), std::string::npos) << u;
  EXPECT_NE(ReadAll(d + "olm/2000.olm").find("after the storm"), std::string::npos);
}

}  // namespace
