// Runs one Vorn server as a real Windows service for the end-to-end tests, in one Wine
// process: points the data-folder registry value at the test's folder, installs and starts
// the service, then carries out the controls read from standard input, one per line
// ("pause", "continue", "reload", "stop"; end of input is a stop). After the stop it waits for the
// stopped state, removes the service and exits with the service's exit code.
//   service_host NAME PROGRAM.exe DATA-FOLDER\  (the folder ends in a backslash)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool WaitState(SC_HANDLE svc, DWORD state, DWORD timeoutMs, SERVICE_STATUS& status) {
  for (DWORD waited = 0;; waited += 20) {
    if (!QueryServiceStatus(svc, &status)) return false;
    if (status.dwCurrentState == state) return true;
    if (waited >= timeoutMs) return false;
    Sleep(20);
  }
}

// Stops and removes a service of that name left behind by a run that was killed.
void RemoveLeftover(SC_HANDLE scm, const char* name) {
  SC_HANDLE svc = OpenServiceA(scm, name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!svc) return;
  SERVICE_STATUS status{};
  ControlService(svc, SERVICE_CONTROL_STOP, &status);
  WaitState(svc, SERVICE_STOPPED, 5000, status);
  DeleteService(svc);
  CloseServiceHandle(svc);
}

bool SetDataFolder(const char* folder) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarn\\Vorn", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder),
                           static_cast<DWORD>(std::strlen(folder) + 1));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: service_host NAME PROGRAM.exe DATA-FOLDER\\\n");
    return 2;
  }
  const char* name = argv[1];
  std::string binary = std::string("\"") + argv[2] + "\"";
  if (!SetDataFolder(argv[3])) return std::fprintf(stderr, "service_host: registry value not written\n"), 3;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!scm) return std::fprintf(stderr, "service_host: OpenSCManager failed: %lu\n", GetLastError()), 3;
  RemoveLeftover(scm, name);
  // A service removed while its process was still ending stays "marked for deletion" until
  // the process is gone: wait for that, up to 15 s.
  SC_HANDLE svc = nullptr;
  for (int waited = 0; waited <= 15000; waited += 50) {
    svc = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                         SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (svc || GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) break;
    Sleep(50);
  }
  if (!svc) return std::fprintf(stderr, "service_host: CreateService failed: %lu\n", GetLastError()), 3;
  int rc = 3;
  SERVICE_STATUS status{};
  if (!StartServiceA(svc, 0, nullptr)) {
    std::fprintf(stderr, "service_host: StartService failed: %lu\n", GetLastError());
  } else {
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
      DWORD control = 0;
      if (!std::strncmp(line, "pause", 5)) control = SERVICE_CONTROL_PAUSE;
      else if (!std::strncmp(line, "continue", 8)) control = SERVICE_CONTROL_CONTINUE;
      else if (!std::strncmp(line, "reload", 6)) control = SERVICE_CONTROL_PARAMCHANGE;
      else if (!std::strncmp(line, "stop", 4)) break;
      if (control != 0 && !ControlService(svc, control, &status))
        std::fprintf(stderr, "service_host: control %lu failed: %lu\n", control, GetLastError());
    }
    ControlService(svc, SERVICE_CONTROL_STOP, &status);
    if (WaitState(svc, SERVICE_STOPPED, 10000, status))
      rc = static_cast<int>(status.dwWin32ExitCode);
    else
      std::fprintf(stderr, "service_host: %s did not stop\n", name);
  }
  DeleteService(svc);
  CloseServiceHandle(svc);
  // The next test installs the same name: end only when the service is really gone.
  for (int waited = 0; waited < 10000; waited += 50) {
    SC_HANDLE left = OpenServiceA(scm, name, SERVICE_QUERY_STATUS);
    if (!left) break;
    CloseServiceHandle(left);
    Sleep(50);
  }
  CloseServiceHandle(scm);
  return rc;
}
