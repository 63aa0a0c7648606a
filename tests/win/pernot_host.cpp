// A host for Pernot.dll: loads it through its exports, serves the host services it calls,
// takes its message boxes through the plug-in's hook, and runs a message loop in which the
// plug-in's thread timer must tick. Prints "PERNOT SMOKE OK" when all checks hold.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Pernot/host_interface.h"

// user32 and kernel32, declared with plain types: the host header has window handles of its
// own, so <windows.h> cannot be included beside it.
extern "C" {
struct HostMsg {
  void* hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  long x, y;
  DWORD extra;
};
__declspec(dllimport) int __stdcall GetMessageA(HostMsg* msg, void* hwnd, UINT min, UINT max);
__declspec(dllimport) LPARAM __stdcall DispatchMessageA(const HostMsg* msg);
__declspec(dllimport) UINT_PTR __stdcall SetTimer(void* window, UINT_PTR id, UINT elapseMs, void* proc);
__declspec(dllimport) void __stdcall PostQuitMessage(int code);
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) DWORD __stdcall GetTickCount(void);
}

namespace {

int g_globalStatus = ID_STATUS_OFFLINE;
int g_protoStatus = ID_STATUS_OFFLINE;
int g_ticks = 0;             // timer ticks seen (each reads the global status once)
int g_globalSets = 0;        // CList/SetStatusMode calls
int g_protoSets = 0;         // ICQ/SetStatus calls
std::vector<std::string> g_boxes;
PROTOCOLDESCRIPTOR g_icq{sizeof(PROTOCOLDESCRIPTOR), "ICQ"};
PROTOCOLDESCRIPTOR* g_protocols[] = {&g_icq};

HANDLE HookEvent(const char*, MIRANDAHOOK) { return reinterpret_cast<HANDLE>(1); }
int UnhookEvent(HANDLE) { return 0; }

INT_PTR CallService(const char* name, WPARAM wParam, LPARAM lParam) {
  std::string n = name;
  if (n == MS_CLIST_GETSTATUSMODE) {
    ++g_ticks;
    return g_globalStatus;
  }
  if (n == MS_CLIST_SETSTATUSMODE) {
    ++g_globalSets;
    g_globalStatus = static_cast<int>(wParam);
    return 0;
  }
  if (n == MS_PROTO_ENUMPROTOCOLS) {
    *reinterpret_cast<int*>(wParam) = 1;
    *reinterpret_cast<PROTOCOLDESCRIPTOR***>(lParam) = g_protocols;
    return 0;
  }
  if (n == std::string("ICQ") + PS_GETSTATUS) return g_protoStatus;
  if (n == std::string("ICQ") + PS_SETSTATUS) {
    ++g_protoSets;
    g_protoStatus = static_cast<int>(wParam & 0xFFFF);
    return 0;
  }
  if (n == MS_DB_CONTACT_GETSETTING) {
    auto* req = reinterpret_cast<DBCONTACTGETSETTING*>(lParam);
    req->pValue->type = DBVT_DWORD;
    if (std::strcmp(req->szSetting, "iTimeOut") == 0) req->pValue->dVal = 1000;  // the shortest interval the plug-in accepts
    else if (std::strcmp(req->szSetting, "iDebugMsg") == 0) req->pValue->dVal = 1;
    else return 1;
    return 0;
  }
  if (n == MS_DB_CONTACT_WRITESETTING || n == MS_OPT_ADDPAGE || n == MS_LANGPACK_TRANSLATEDIALOG) return 0;
  if (n == MS_LANGPACK_TRANSLATESTRING) return lParam;
  return CALLSERVICE_NOTFOUND;
}

int __stdcall TakeBox(const char* text, const char* caption) {
  g_boxes.push_back(std::string(caption) + "|" + text);
  return 1;
}

void __stdcall GiveUp(void*, UINT, UINT_PTR, DWORD) { PostQuitMessage(1); }

bool Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  return ok;
}

}  // namespace

int main() {
  void* lib = LoadLibraryA("Pernot.dll");
  if (!lib) return std::puts("Pernot.dll not loaded"), 1;
  auto info = reinterpret_cast<MIRANDAPLUGININFO_FN>(GetProcAddress(lib, "MirandaPluginInfo"));
  auto load = reinterpret_cast<LOAD_FN>(GetProcAddress(lib, "Load"));
  auto unload = reinterpret_cast<UNLOAD_FN>(GetProcAddress(lib, "Unload"));
  using HookFn = void(__stdcall*)(int(__stdcall*)(const char*, const char*));
  auto setHook = reinterpret_cast<HookFn>(GetProcAddress(lib, "PernotSetMessageBoxHook"));
  if (!info || !load || !unload || !setHook) return std::puts("exports missing"), 1;
  setHook(&TakeBox);

  PLUGININFO* pi = info(0);
  bool ok = Check(pi && std::strcmp(pi->shortName, "Pernet") == 0 && pi->version == 0x00020102, "plug-in info");
  static PLUGINLINK link{HookEvent, UnhookEvent, CallService};
  ok &= Check(load(&link) == 0, "Load");
  ok &= Check(g_boxes.size() == 2 && g_boxes[0] == "Pernot:Debug|Pernot:Try to reconnect." &&
                  g_boxes[1] == "Pernot:Debug|Pernot:Loaded succefully.",
              "Load's two debug boxes went through the hook");

  // The plug-in's 1 s timer must tick through this loop; give up after 6 s.
  SetTimer(nullptr, 0, 6000, reinterpret_cast<void*>(&GiveUp));
  DWORD start = GetTickCount();
  HostMsg msg;
  while (g_ticks < 2 && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  DWORD elapsed = GetTickCount() - start;
  std::printf("%d ticks in %lu ms\n", g_ticks, static_cast<unsigned long>(elapsed));
  ok &= Check(g_ticks >= 2, "timer ticked twice through the message loop");
  ok &= Check(elapsed >= 1900, "ticks came at the configured interval");
  ok &= Check(g_globalStatus == ID_STATUS_ONLINE && g_globalSets >= 1, "global status restored to online");
  ok &= Check(g_protoStatus == ID_STATUS_ONLINE && g_protoSets >= 1, "protocol status restored to online");
  ok &= Check(unload() == 0, "Unload");
  ok &= Check(!g_boxes.empty() && g_boxes.back() == "Pernot:Debug|Pernot:Unloaded succefully.", "Unload's box");
  if (ok) std::puts("PERNOT SMOKE OK");
  return ok ? 0 : 1;
}
