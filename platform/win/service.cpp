// The service host on Windows: the service control manager starts the program without
// arguments; the service main function starts the server thread and the control handler
// hands stop, pause, continue and interrogate to the server.
#include "platform/service.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/files.h"

namespace plat {

std::atomic<int> ServiceState{SERVICE_STOPPED};

namespace {

const ServiceDefinition* g_def = nullptr;
SERVICE_STATUS g_status{};
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_serverThread = nullptr;
constexpr DWORD kStopWaitMs = 3000;

DWORD WINAPI ServerThreadMain(LPVOID) {
  g_def->serverThread();
  return 0;
}

void Report(DWORD state) {
  g_status.dwCurrentState = state;
  g_status.dwCheckPoint = 0;
  g_status.dwWaitHint = 0;
  SetServiceStatus(g_statusHandle, &g_status);
}

void WINAPI ControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      g_status.dwWin32ExitCode = 0;
      g_def->onControl(SERVICE_CONTROL_STOP);
      // The server writes its finish line after the loop ends; the process ends once the
      // stopped state is reported, so the report waits for the thread (at most 3 s).
      if (g_serverThread) WaitForSingleObject(g_serverThread, kStopWaitMs);
      Report(SERVICE_STOPPED);
      return;
    case SERVICE_CONTROL_PAUSE:
      g_def->onControl(SERVICE_CONTROL_PAUSE);
      Report(SERVICE_PAUSED);
      return;
    case SERVICE_CONTROL_CONTINUE:
      g_def->onControl(SERVICE_CONTROL_CONTINUE);
      Report(SERVICE_RUNNING);
      return;
    case SERVICE_CONTROL_INTERROGATE:
      SetServiceStatus(g_statusHandle, &g_status);
      return;
    default:
      g_def->onControl(static_cast<int>(control));
      SetServiceStatus(g_statusHandle, &g_status);
      return;
  }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  g_status.dwServiceType = 0x30;
  g_status.dwCurrentState = SERVICE_START_PENDING;
  // Parameter change is the reload that SIGHUP asks for on other systems.
  g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_PARAMCHANGE;
  g_statusHandle = RegisterServiceCtrlHandlerA(g_def->name.c_str(), ControlHandler);
  if (g_statusHandle == nullptr) return;
  ServiceState = SERVICE_RUNNING;
  Report(SERVICE_RUNNING);
  g_serverThread = CreateThread(nullptr, 0, ServerThreadMain, nullptr, 0, nullptr);
}

int RunDispatcher(const ServiceDefinition& def) {
  g_def = &def;
  std::string name = def.name;
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    if (def.onDispatcherFailed) def.onDispatcherFailed();
    return 0;
  }
  return 0;
}

}  // namespace

int InstallService(const std::string& name) {
  std::string quoted = "\"" + ProgramPath() + "\"";
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (scm == nullptr) {
    std::printf("Can't open SCM\n");
    return 1;
  }
  SC_HANDLE svc = CreateServiceA(scm, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr);
  if (svc == nullptr) {
    std::printf("Registration error!\n");
    CloseServiceHandle(scm);
    return 2;
  }
  std::printf("Successfully registered %s\n", quoted.c_str());
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return 0;
}

int RemoveService(const std::string& name) {
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (scm == nullptr) {
    std::printf("Can't open SCM\n");
    return 1;
  }
  SC_HANDLE svc = OpenServiceA(scm, name.c_str(), DELETE);
  if (svc == nullptr) {
    std::printf("Can't open service\n");
    CloseServiceHandle(scm);
    return 2;
  }
  if (!DeleteService(svc)) {
    std::printf("Can't delete service\n");
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return 3;
  }
  std::printf("Service deleted\n");
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return 0;
}

int RunService(const ServiceDefinition& def, int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "/?") == 0) {
    def.printUsage();
    return 0;
  }
  if (argc >= 2 && _stricmp(argv[1], "delete") == 0) return RemoveService(def.name);
  if (argc >= 2 && _stricmp(argv[1], "setup") == 0) return InstallService(def.name);
  return RunDispatcher(def);
}

}  // namespace plat
