#include "platform/service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/files.h"

namespace plat {

std::atomic<int> ServiceState{SERVICE_STOPPED};

namespace {

std::string UnitDir() {
  const char* dir = std::getenv("VORN_UNIT_DIR");
  std::string d = (dir && *dir) ? dir : "/etc/systemd/system";
  if (d.back() != '/') d += '/';
  return d;
}

// What the packaged units also confine the servers to: the data folder is the only place they
// write, network sockets the only thing they open, and nothing of the kernel, the devices or
// other users is within reach.
constexpr const char kHardening[] =
    "NoNewPrivileges=yes\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "ProtectSystem=strict\n"
    "PrivateTmp=yes\n"
    "ProtectHome=yes\n"
    "PrivateDevices=yes\n"
    "PrivateUsers=yes\n"
    "ProtectHostname=yes\n"
    "ProtectClock=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged\n"
    "SystemCallErrorNumber=EPERM\n"
    "DevicePolicy=closed\n";

// The data folder the unit is for: VORN_PATH, else the current folder, as an absolute path
// ending in '/'.
std::string UnitDataPath() {
  const char* p = std::getenv("VORN_PATH");
  std::string d;
  if (p && *p) {
    d = p;
  } else {
    char buf[4096];
    if (!::getcwd(buf, sizeof buf)) return "";
    d = buf;
  }
  if (d.back() != '/') d += '/';
  return d;
}

// The unit runs the server as the owner of its data folder, so the files it makes belong to
// the same user as those already there (and a folder of root's runs it as root, said aloud).
std::string UnitText(const std::string& name, const std::string& quotedPath, const std::string& data,
                     const std::string& user, const std::string& group) {
  std::string text = "[Unit]\nDescription=" + name + "\nAfter=network.target\n\n[Service]\n";
  text += "User=" + user + "\nGroup=" + group + "\n";
  text += "ExecStart=" + quotedPath + "\n";
  text += "ExecReload=/bin/kill -HUP $MAINPID\n";
  text += "Environment=\"VORN_PATH=" + data + "\"\n";
  text += "WorkingDirectory=" + data + "\n";
  // Every client holds a descriptor: room for 100,000 sessions where the system allows it.
  text += "Restart=on-failure\nUMask=0077\nLimitNOFILE=100000\n";
  text += kHardening;
  text += "ReadWritePaths=" + data + "\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

int RunForeground(const ServiceDefinition& def) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  ServiceState = SERVICE_START_PENDING;
  std::atomic<bool> serverDone{false};
  ServiceState = SERVICE_RUNNING;
  std::thread server([&] {
    def.serverThread();
    serverDone = true;
  });
  bool stopping = false;
  while (!serverDone) {
    timespec wait{0, 100 * 1000 * 1000};
    int sig = sigtimedwait(&set, nullptr, &wait);
    if (sig < 0 || stopping) continue;
    if (sig == SIGTERM || sig == SIGINT) {
      stopping = true;
      def.onControl(SERVICE_CONTROL_STOP);
    } else if (sig == SIGUSR1) {
      def.onControl(SERVICE_CONTROL_PAUSE);
    } else if (sig == SIGUSR2) {
      def.onControl(SERVICE_CONTROL_CONTINUE);
    } else if (sig == SIGHUP) {
      def.onControl(SERVICE_CONTROL_PARAMCHANGE);
    }
  }
  server.join();
  // A server thread that ended without a stop request failed to start.
  return stopping ? 0 : 1;
}

}  // namespace

int InstallService(const std::string& name) {
  std::string quoted = "\"" + ProgramPath() + "\"";
  std::string dir = UnitDir();
  if (::access(dir.c_str(), W_OK) != 0) {
    std::printf("Can't open SCM\n");
    return 1;
  }
  std::string unit = dir + name + ".service";
  std::string data = UnitDataPath();
  struct stat st {};
  if (data.empty() || ::stat(data.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "%s: the data folder %s does not exist (set VORN_PATH)\n", name.c_str(), data.c_str());
    std::printf("Registration error!\n");
    return 2;
  }
  const passwd* pw = ::getpwuid(st.st_uid);
  const group* gr = ::getgrgid(st.st_gid);
  std::string user = pw ? pw->pw_name : std::to_string(st.st_uid);
  std::string grp = gr ? gr->gr_name : std::to_string(st.st_gid);
  std::string text = UnitText(name, quoted, data, user, grp);
  if (FileExists(unit) || !WriteFileAtomic(unit, text.data(), text.size())) {
    std::printf("Registration error!\n");
    return 2;
  }
  std::printf("Successfully registered %s\n", quoted.c_str());
  if (st.st_uid == 0)
    std::fprintf(stderr, "%s: warning: %s belongs to root, so the service runs as root; give the folder to a "
                         "service user (chown -R) and run setup again\n", name.c_str(), data.c_str());
  return 0;
}

int RemoveService(const std::string& name) {
  std::string dir = UnitDir();
  if (::access(dir.c_str(), W_OK) != 0) {
    std::printf("Can't open SCM\n");
    return 1;
  }
  std::string unit = dir + name + ".service";
  if (!FileExists(unit)) {
    std::printf("Can't open service\n");
    return 2;
  }
  if (!RemoveFile(unit)) {
    std::printf("Can't delete service\n");
    return 3;
  }
  std::printf("Service deleted\n");
  return 0;
}

int RunService(const ServiceDefinition& def, int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "/?") {
    def.printUsage();
    return 0;
  }
  if (argc >= 2 && strcasecmp(argv[1], "delete") == 0) return RemoveService(def.name);
  if (argc >= 2 && strcasecmp(argv[1], "setup") == 0) return InstallService(def.name);
  return RunForeground(def);
}

}  // namespace plat
