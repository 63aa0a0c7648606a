// Sends one control to a service through ControlService and prints the state it reports
// (Wine's "sc pause" and "sc continue" do nothing, and "net pause" is missing).
//   service_control NAME pause|continue|stop|interrogate
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service_control NAME pause|continue|stop|interrogate\n");
    return 2;
  }
  DWORD control = 0;
  if (!std::strcmp(argv[2], "pause")) control = SERVICE_CONTROL_PAUSE;
  else if (!std::strcmp(argv[2], "continue")) control = SERVICE_CONTROL_CONTINUE;
  else if (!std::strcmp(argv[2], "stop")) control = SERVICE_CONTROL_STOP;
  else if (!std::strcmp(argv[2], "interrogate")) control = SERVICE_CONTROL_INTERROGATE;
  else return 2;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return std::printf("OpenSCManager failed: %lu\n", GetLastError()), 1;
  SC_HANDLE svc = OpenServiceA(scm, argv[1], SERVICE_PAUSE_CONTINUE | SERVICE_STOP | SERVICE_INTERROGATE |
                                                SERVICE_QUERY_STATUS);
  if (!svc) return std::printf("OpenService failed: %lu\n", GetLastError()), 1;
  SERVICE_STATUS status{};
  BOOL ok = ControlService(svc, control, &status);
  if (!ok) std::printf("ControlService failed: %lu\n", GetLastError());
  else std::printf("state %lu\n", status.dwCurrentState);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return ok ? 0 : 1;
}
