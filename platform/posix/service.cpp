#include "platform/service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <strings.h>
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

std::string UnitText(const std::string& name, const std::string& quotedPath) {
  std::string text = "[Unit]\nDescription=" + name + "\nAfter=network.target\n\n[Service]\n";
  text += "ExecStart=" + quotedPath + "\n";
  if (const char* p = std::getenv("VORN_PATH")) text += "Environment=\"VORN_PATH=" + std::string(p) + "\"\n";
  // Every client holds a descriptor: room for 100,000 sessions where the system allows it.
  text += "Restart=on-failure\nLimitNOFILE=100000\n\n[Install]\nWantedBy=multi-user.target\n";
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
  std::string text = UnitText(name, quoted);
  if (FileExists(unit) || !WriteFileAtomic(unit, text.data(), text.size())) {
    std::printf("Registration error!\n");
    return 2;
  }
  std::printf("Successfully registered %s\n", quoted.c_str());
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
