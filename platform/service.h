// The service host: command line (setup, delete, /?), the foreground service process, and
// the controls stop, pause, continue and interrogate. On POSIX the controls are signals:
// SIGTERM and SIGINT stop, SIGUSR1 pauses, SIGUSR2 continues, SIGHUP asks for a configuration
// reload (SERVICE_CONTROL_PARAMCHANGE; VornBOS answers it with a pause and a continue).
// Controls are handed to onControl on the main thread; the server serialises them into its
// event loop.
#pragma once
#include <atomic>
#include <functional>
#include <string>

namespace plat {

constexpr int SERVICE_CONTROL_STOP = 1;
constexpr int SERVICE_CONTROL_PAUSE = 2;
constexpr int SERVICE_CONTROL_CONTINUE = 3;
constexpr int SERVICE_CONTROL_INTERROGATE = 4;
constexpr int SERVICE_CONTROL_PARAMCHANGE = 6;

constexpr int SERVICE_STOPPED = 1;
constexpr int SERVICE_START_PENDING = 2;
constexpr int SERVICE_RUNNING = 4;
constexpr int SERVICE_PAUSED = 7;

struct ServiceDefinition {
  std::string name;                       // service and unit name, e.g. "VornBOS"
  std::function<void()> printUsage;       // for "/?"
  std::function<void()> serverThread;     // runs until the stop control ends it
  std::function<void(int)> onControl;     // one control code
  // Called when the service control manager cannot be reached (a start from a console);
  // Windows only.
  std::function<void()> onDispatcherFailed;
};

// The current service state, read by the accept handlers.
extern std::atomic<int> ServiceState;

// Runs the command line; returns the process exit code.
int RunService(const ServiceDefinition& def, int argc, char** argv);

// Unit-file installation, exposed for tests: exit codes as the command line gives them.
int InstallService(const std::string& name);
int RemoveService(const std::string& name);

}  // namespace plat
