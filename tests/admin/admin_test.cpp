// vornadmin over a real data folder: users, broadcast lists, check, and bad input.
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/admin/admin_support.h"

using namespace vt;
namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(AdminUsers, AddShowListPasswdDelete) {
  DataDir dir;
  dir.WriteIni(8);
  mode_t old = ::umask(0);  // the password file is private whatever the umask
  AdminRun r = Admin(dir, {"user", "add", "1000", "--password", "s3cret", "--nick", "Ann", "--first", "Ann",
                           "--last", "Lee", "--email", "ann@x.test"});
  ::umask(old);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "user 1000 added\n");
  EXPECT_EQ(dir.ReadFile("Db/1000.ini"), "[Main]\nPass=s3cret\nNick=Ann\nFirst=Ann\nLast=Lee\nEmail=ann@x.test\n");
  EXPECT_EQ(ModeOf(dir.path() + "Db/1000.ini"), 0600u);
  EXPECT_EQ(Names(dir.path() + "Db"), std::vector<std::string>{"1000.ini"});  // no temporary file left

  r = Admin(dir, {"user", "add", "1000", "--password", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "vornadmin: user 1000 already exists\n");
  EXPECT_EQ(Admin(dir, {"user", "add", "1001", "--password-stdin", "--nick", "bob"}, "pw2\n").code, 0);
  EXPECT_EQ(dir.ReadFile("Db/1001.ini"), "[Main]\nPass=pw2\nNick=bob\n");

  r = Admin(dir, {"user", "show", "1000"});
  EXPECT_EQ(r.out, "number:   1000\nnick:     Ann\nfirst:    Ann\nlast:     Lee\nemail:    ann@x.test\n"
                   "password: set\noffline:  0 bytes waiting\n");
  r = Admin(dir, {"--json", "user", "show", "1001"});
  EXPECT_EQ(r.out, "{\"uin\": 1001, \"nick\": \"bob\", \"first\": \"\", \"last\": \"\", \"email\": \"\", "
                   "\"password\": true, \"offline_bytes\": 0}\n");

  r = Admin(dir, {"user", "list"});
  EXPECT_EQ(r.out, "1000        Ann                   Ann Lee                         ann@x.test\n1001        bob\n");
  r = Admin(dir, {"--json", "user", "list", "--match", "LEE"});
  EXPECT_EQ(r.out, "[{\"uin\": 1000, \"nick\": \"Ann\", \"first\": \"Ann\", \"last\": \"Lee\", \"email\": "
                   "\"ann@x.test\", \"password\": true}]\n");

  // A user file the operator wrote 0644 becomes private when it gets a password.
  dir.WriteUser(1002, "[Main]\nNick=c\n");
  ::chmod((dir.path() + "Db/1002.ini").c_str(), 0644);
  EXPECT_EQ(Admin(dir, {"user", "passwd", "1002", "--password", "new"}).code, 0);
  EXPECT_EQ(dir.ReadFile("Db/1002.ini"), "[Main]\nNick=c\nPass=new\n");
  EXPECT_EQ(ModeOf(dir.path() + "Db/1002.ini"), 0600u);

  dir.WriteFile("olm/1000.olm", "x");
  dir.WriteFile("Cookie/1000", "c");
  dir.WriteFile("Db/1000.ssi", "[x]\n");
  r = Admin(dir, {"--json", "user", "delete", "1000"});
  EXPECT_EQ(r.code, 0);
  for (const char* f : {"Db/1000.ini", "olm/1000.olm", "Cookie/1000", "Db/1000.ssi"}) EXPECT_FALSE(dir.Exists(f)) << f;
  EXPECT_NE(r.out.find("\"removed\": ["), std::string::npos);
  EXPECT_EQ(Admin(dir, {"user", "delete", "1000"}).code, 1);
  EXPECT_TRUE(dir.Exists("Db/1001.ini"));
}

TEST(AdminUsers, BadInputIsRefusedWithAClearMessage) {
  DataDir dir;
  dir.WriteIni(8, "[Lists]\nSendAll=9000\n");
  for (const char* bad : {"12a", "0", "4294967296", "-5", "", " 7", "+7"}) {
    AdminRun r = Admin(dir, {"user", "add", bad, "--password", "x"});
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              std::string("vornadmin: '") + bad + "' is not a user number (a number from 1 to 4294967295)");
  }
  EXPECT_EQ(Admin(dir, {"user", "add", "1000"}).code, 2);  // no password and no terminal
  EXPECT_EQ(Admin(dir, {"user", "add", "1000", "--password", "x", "--password-stdin"}, "y\n").code, 2);
  EXPECT_EQ(Admin(dir, {"user", "add", "1000", "--password", "a\tb"}).code, 2);
  EXPECT_EQ(Admin(dir, {"user", "add", "1000", "--password", " pad"}).code, 2);
  EXPECT_EQ(Admin(dir, {"user", "add", "1000", "--password", "01234567890123456789"}).code, 2);
  EXPECT_EQ(Admin(dir, {"user", "show", "1000", "--nick", "x"}).code, 2);
  EXPECT_EQ(Admin(dir, {"user", "frob"}).code, 2);
  EXPECT_EQ(Admin(dir, {"--bogus"}).code, 2);
  EXPECT_EQ(Admin(dir, {}).code, 2);
  AdminRun r = Admin(dir, {"user", "add", "9000", "--password", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "vornadmin: 9000 is a broadcast list number (see 'vornadmin list')\n");
  EXPECT_EQ(Names(dir.path() + "Db"), std::vector<std::string>{});

  std::vector<std::string> args = {"--data", dir.path() + "nowhere", "user", "list"};
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(vornadmin::RunAdmin(args, in, out, err, false), 1);
  EXPECT_EQ(err.str(), "vornadmin: data folder " + dir.path() + "nowhere/ does not exist (give --data DIR or set VORN_PATH)\n");
}

// Runs the real program; as root it drops to nobody, so that a folder without write
// permission is read-only for it.
int RunAs(const std::vector<std::string>& args, std::string& err, const std::string& input = "") {
  int inPipe[2], errPipe[2];
  if (::pipe(inPipe) != 0 || ::pipe(errPipe) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(errPipe[1], 2);
    ::close(inPipe[1]);
    ::close(errPipe[0]);
    std::vector<std::string> full;
    if (::geteuid() == 0) full = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    full.push_back(std::string(VORN_BIN_DIR) + "/vornadmin");
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(errPipe[1]);
  if (!input.empty()) (void)!::write(inPipe[1], input.data(), input.size());
  ::close(inPipe[1]);
  err.clear();
  char buf[4096];
  ssize_t n;
  while ((n = ::read(errPipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
  ::close(errPipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(AdminUsers, ReadOnlyFolderChangesNothing) {
  DataDir dir;
  dir.WriteIni(8, "[Lists]\n0=9000\n");
  dir.WriteUser(1000, "[Main]\nPass=old\n");
  dir.WriteUser(9000, "[List]\n0=1000\n");
  for (const char* sub : {"", "Db", "Cookie", "olm"}) ::chmod((dir.path() + sub).c_str(), 0555);
  ::chmod((dir.path() + "Db/1000.ini").c_str(), 0644);
  ::chmod((dir.path() + "vorn.ini").c_str(), 0644);
  ::chmod((dir.path() + "Db/9000.ini").c_str(), 0644);
  std::string err;
  EXPECT_EQ(RunAs({"--data", dir.path(), "user", "add", "1001", "--password-stdin"}, err, "pw\n"), 1);
  EXPECT_EQ(err, "vornadmin: cannot create a file in " + dir.path() + "Db/: Permission denied\n");
  EXPECT_EQ(RunAs({"--data", dir.path(), "user", "passwd", "1000", "--password", "new"}, err), 1);
  EXPECT_EQ(err.rfind("vornadmin: cannot ", 0), 0u) << err;
  EXPECT_EQ(RunAs({"--data", dir.path(), "user", "delete", "1000"}, err), 1);
  EXPECT_NE(err.find("(nothing was removed)"), std::string::npos) << err;
  EXPECT_EQ(RunAs({"--data", dir.path(), "list", "add", "9000", "1001"}, err), 1);
  EXPECT_NE(err.find("cannot write " + dir.path() + "Db/9000.ini: Permission denied (nothing was changed)"),
            std::string::npos)
      << err;
  for (const char* sub : {"", "Db", "Cookie", "olm"}) ::chmod((dir.path() + sub).c_str(), 0755);
  EXPECT_EQ(dir.ReadFile("Db/1000.ini"), "[Main]\nPass=old\n");
  EXPECT_EQ(dir.ReadFile("Db/9000.ini"), "[List]\n0=1000\n");
  EXPECT_EQ(Names(dir.path() + "Db"), (std::vector<std::string>{"1000.ini", "9000.ini"}));
}

// Run as root, the tool leaves files to the folder's owner, so the servers' user can read them.
TEST(AdminUsers, AsRootFilesGoToTheFolderOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  DataDir dir;
  dir.WriteIni(8);
  ASSERT_EQ(::chown((dir.path() + "Db").c_str(), 65534, 65534), 0);
  ASSERT_EQ(Admin(dir, {"user", "add", "1000", "--password", "a"}).code, 0);
  ASSERT_EQ(Admin(dir, {"user", "passwd", "1000", "--password", "b"}).code, 0);
  ASSERT_EQ(Admin(dir, {"list", "create", "9100", "1000"}).code, 0);
  for (const char* f : {"Db/1000.ini", "Db/9100.ini"}) {
    struct stat st{};
    ASSERT_EQ(::stat((dir.path() + f).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u) << f;
    EXPECT_EQ(st.st_gid, 65534u) << f;
  }
  EXPECT_EQ(ModeOf(dir.path() + "Db/1000.ini"), 0600u);
}

// At a terminal the password is asked for twice and never echoed.
TEST(AdminUsers, TypedPasswordIsNotEchoed) {
  DataDir dir;
  dir.WriteIni(8);
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string exe = std::string(VORN_BIN_DIR) + "/vornadmin";
    std::string data = dir.path();
    ::execl(exe.c_str(), exe.c_str(), "--data", data.c_str(), "user", "add", "1000", nullptr);
    ::_exit(127);
  }
  std::string seen;
  auto readUntil = [&](const std::string& text) {
    char buf[256];
    while (seen.find(text) == std::string::npos) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 3000) <= 0) return false;
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) return false;
      seen.append(buf, static_cast<size_t>(n));
    }
    return true;
  };
  ASSERT_TRUE(readUntil("Password: "));
  ASSERT_EQ(::write(master, "t0ps3cret\n", 10), 10);
  ASSERT_TRUE(readUntil("Repeat password: "));
  ASSERT_EQ(::write(master, "t0ps3cret\n", 10), 10);
  readUntil("added");
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_EQ(seen.find("t0ps3cret"), std::string::npos) << seen;
  EXPECT_EQ(dir.ReadFile("Db/1000.ini"), "[Main]\nPass=t0ps3cret\n");
}

TEST(AdminLists, CreateChangeShowDelete) {
  DataDir dir;
  // Key 1 ends the lists; the stale key 2 behind it must not come back to life.
  dir.WriteIni(8, "[Lists]\nSendOnLine=9999\nSendAll=9001\n0=9100\n1=-\n2=9300\n");
  dir.WriteUser(9100, "[List]\n0=1000\n");
  dir.WriteUser(1000, "[Main]\nPass=x\n");
  EXPECT_EQ(Admin(dir, {"list", "create", "9200", "1001", "1002", "1001"}).code, 0);
  EXPECT_NE(dir.ReadFile("vorn.ini").find("0=9100\n1=9200\n2=-\n"), std::string::npos) << dir.ReadFile("vorn.ini");
  EXPECT_EQ(dir.ReadFile("Db/9200.ini"), "[List]\n0=1001\n1=1002\n");
  EXPECT_EQ(Admin(dir, {"list", "add", "9200", "1003", "1001"}).out, "9200: 1001 1002 1003\n");
  EXPECT_EQ(Admin(dir, {"list", "remove", "9200", "1001"}).out, "9200: 1002 1003\n");
  EXPECT_EQ(dir.ReadFile("Db/9200.ini"), "[List]\n0=1002\n1=1003\n");
  EXPECT_EQ(Admin(dir, {"list", "chat", "on"}).code, 0);
  EXPECT_EQ(Admin(dir, {"list", "show"}).out,
            "SendOnLine: 9999\nSendAll:    9001 (every user)\nchat:       on\n9100: 1000\n9200: 1002 1003\n");
  EXPECT_EQ(Admin(dir, {"--json", "list", "show", "9100"}).out, "{\"list\": 9100, \"members\": [1000]}\n");

  EXPECT_EQ(Admin(dir, {"list", "create", "1000"}).code, 1);  // a user's number
  EXPECT_EQ(Admin(dir, {"list", "create", "9001"}).code, 1);  // SendAll
  EXPECT_EQ(Admin(dir, {"list", "add", "9001", "5"}).err,
            "vornadmin: 9001 is the SendAll list: it holds every user and is not edited\n");
  EXPECT_EQ(Admin(dir, {"list", "add", "9555", "5"}).code, 1);
  EXPECT_EQ(Admin(dir, {"list", "add", "9200", "x"}).code, 2);

  EXPECT_EQ(Admin(dir, {"list", "delete", "9100"}).code, 0);
  EXPECT_FALSE(dir.Exists("Db/9100.ini"));
  EXPECT_EQ(Admin(dir, {"--json", "list", "show"}).out,
            "{\"send_online\": 9999, \"send_all\": 9001, \"chat\": true, \"lists\": [{\"list\": 9200, \"members\": "
            "[1002, 1003]}]}\n");
}

TEST(AdminCheck, CleanFolderAndEachProblem) {
  DataDir dir;
  dir.WriteIni(8);
  dir.WriteUser(1000, "[Main]\nPass=x\n");
  ::chmod((dir.path() + "Db/1000.ini").c_str(), 0600);
  dir.WriteFile("vorn.ini", "[Main]\nBOS_IP=192.0.2.7\n");
  AdminRun r = Admin(dir, {"check"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, dir.path() + ": no problems found\n");

  dir.WriteIni(8, "CmdAllow=127.0.0.1,10.0.0.300\n[Lists]\n0=9100\n[SendSetting]\nsms0=<to>x</to>\n");
  dir.WriteFile("Db/1001.ini.Ab12Cd", "[Main]\n");
  ::chmod((dir.path() + "Db/1000.ini").c_str(), 0644);
  fs::remove(dir.path() + "olm");
  ::chmod((dir.path() + "Cookie").c_str(), 0777);
  r = Admin(dir, {"check"});
  EXPECT_EQ(r.code, 1);
  std::string ini = dir.path() + "vorn.ini";
  for (const std::string& line :
       {dir.path() + "olm/: folder missing; mkdir " + dir.path() + "olm/",
        ini + ": [Main] CmdAllow entry '10.0.0.300' is neither an address nor a range",
        ini + ": SMS routes are set but [SendSetting] smtp_server is not",
        dir.path() + "Db/9100.ini: list 9100 has no member file",
        dir.path() + "Db/1001.ini.Ab12Cd: left over from an interrupted write",
        dir.path() + "Cookie/: writable by every user of this machine; chmod o-w " + dir.path() + "Cookie/\n",
        dir.path() + "Db/1000.ini: readable by others but holds a password; chmod 600 " + dir.path() + "Db/1000.ini\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n---\n" << r.out;
  r = Admin(dir, {"--json", "check"});
  EXPECT_EQ(r.out.rfind("{\"ok\": false, \"problems\": [{\"path\": ", 0), 0u) << r.out;
}

// The servers listen on every address; a loopback BOS_IP works only for clients on this
// machine: a warning (exit code 0), not a problem.
TEST(AdminCheck, LoopbackBosAddressIsAWarning) {
  DataDir dir;
  const std::string ini = dir.path() + "vorn.ini";
  const struct {
    const char* ip;
    bool warned;
  } cases[] = {{"127.0.0.1", true}, {"127.255.0.9", true}, {"128.0.0.1", false}, {"10.0.0.5", false}};
  for (const auto& c : cases) {
    dir.WriteFile("vorn.ini", std::string("[Main]\nBOS_IP=") + c.ip + "\n");
    const std::string warning = ini + ": warning: [Main] BOS_IP=" + c.ip +
                                " is a loopback address while the servers listen on all addresses: clients on other "
                                "machines log in and then cannot reach VornBOS; set BOS_IP to this machine's address "
                                "as the clients reach it (keep it only if every client runs here)\n";
    AdminRun r = Admin(dir, {"check"});
    EXPECT_EQ(r.code, 0) << c.ip;
    EXPECT_EQ(r.out, (c.warned ? warning : "") + dir.path() + ": no problems found\n") << c.ip;
    r = Admin(dir, {"--json", "check"});
    EXPECT_EQ(r.out.rfind(std::string("{\"ok\": true, \"problems\": [], \"warnings\": [") + (c.warned ? "{" : "]"), 0),
              0u)
        << r.out;
  }
}

}  // namespace
