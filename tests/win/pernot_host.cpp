// A host for Pernot.dll: loads it through its exports, serves the host services it calls
// (settings in a database of its own), takes its message boxes through the plug-in's hook,
// runs a message loop in which the plug-in's thread timer must tick, and opens the options
// page from the page record the plug-in adds, to change it through its controls. Prints
// "PERNOT SMOKE OK" when all checks hold.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Pernot/host_interface.h"
#include "tests/win/pernot_page.h"

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
int g_jabberSets = 0;        // JABBER/SetStatus calls
std::vector<std::string> g_boxes;
PROTOCOLDESCRIPTOR g_icq{sizeof(PROTOCOLDESCRIPTOR), "ICQ"};
PROTOCOLDESCRIPTOR g_jabber{sizeof(PROTOCOLDESCRIPTOR), "JABBER"};
PROTOCOLDESCRIPTOR* g_protocols[] = {&g_icq, &g_jabber};
// The host's settings of module "Pernot"; 1000 ms is the shortest interval the check waits for.
std::map<std::string, DWORD> g_settings = {{"iTimeOut", 1000}, {"iDebugMsg", 1}, {"iRestore_JABBER", 0}};
std::map<std::string, MIRANDAHOOK> g_hooks;
OPTIONSDIALOGPAGE g_page{};
int g_pages = 0;

HANDLE HookEvent(const char* name, MIRANDAHOOK hook) {
  g_hooks[name] = hook;
  return reinterpret_cast<HANDLE>(g_hooks.size());
}
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
    *reinterpret_cast<int*>(wParam) = 2;
    *reinterpret_cast<PROTOCOLDESCRIPTOR***>(lParam) = g_protocols;
    return 0;
  }
  if (n == std::string("ICQ") + PS_GETSTATUS) return g_protoStatus;
  if (n == std::string("ICQ") + PS_SETSTATUS) {
    ++g_protoSets;
    g_protoStatus = static_cast<int>(wParam & 0xFFFF);
    return 0;
  }
  if (n == std::string("JABBER") + PS_GETSTATUS) return ID_STATUS_OFFLINE;  // switched off: stays so
  if (n == std::string("JABBER") + PS_SETSTATUS) return ++g_jabberSets, 0;
  if (n == MS_DB_CONTACT_GETSETTING) {
    auto* req = reinterpret_cast<DBCONTACTGETSETTING*>(lParam);
    auto it = g_settings.find(req->szSetting);
    if (std::strcmp(req->szModule, "Pernot") != 0 || it == g_settings.end()) return 1;
    req->pValue->type = DBVT_DWORD;
    req->pValue->dVal = it->second;
    return 0;
  }
  if (n == MS_DB_CONTACT_WRITESETTING) {
    auto* req = reinterpret_cast<DBCONTACTWRITESETTING*>(lParam);
    if (std::strcmp(req->szModule, "Pernot") == 0 && req->value.type == DBVT_DWORD)
      g_settings[req->szSetting] = req->value.dVal;
    return 0;
  }
  if (n == MS_OPT_ADDPAGE) {
    g_page = *reinterpret_cast<OPTIONSDIALOGPAGE*>(lParam);
    ++g_pages;
    return 0;
  }
  if (n == MS_LANGPACK_TRANSLATEDIALOG) return 0;
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

// Opens the page as the host's options dialog does, changes it through its controls and
// applies; the settings must hold what was chosen, and a bad interval must be refused.
bool CheckOptionsPage() {
  constexpr int kEdit = 1001, kDebug = 1002, kList = 1003;
  auto init = g_hooks.find(ME_OPT_INITIALISE);
  if (!Check(init != g_hooks.end(), "options hook")) return false;
  init->second(77, 0);
  bool ok = Check(g_pages == 1 && g_page.cbSize == sizeof(OPTIONSDIALOGPAGE) &&
                      g_page.pszTemplate == MAKEINTRESOURCE(101) && std::strcmp(g_page.pszTitle, "Pernot") == 0 &&
                      std::strcmp(g_page.pszGroup, "Plugins") == 0,
                  "page record: template 101, title and group");
  void* page = page_driver::Open(const_cast<MODULERESOURCES*>(g_page.hInstance), g_page.pszTemplate,
                                 reinterpret_cast<void*>(g_page.pfnDlgProc));
  if (!Check(page != nullptr, "page created from the dialog resource")) return false;
  ok &= Check(page_driver::Text(page, kEdit) == "1000" && page_driver::Checked(page, kDebug),
              "initialised from the settings");
  auto rows = page_driver::ListRows(page, kList);
  ok &= Check(rows == std::vector<std::string>{"ICQ=1", "JABBER=0"}, "protocol list: the host's protocols");

  page_driver::SetText(page, kEdit, "5000");
  page_driver::Click(page, kDebug);
  page_driver::SetListCheck(page, kList, 0, false);
  page_driver::SetListCheck(page, kList, 1, true);
  size_t boxes = g_boxes.size();
  ok &= Check(page_driver::Apply(page) == 0, "apply accepted");
  ok &= Check(g_settings["iTimeOut"] == 5000 && g_settings["iDebugMsg"] == 0 && g_settings["iRestore_ICQ"] == 0 &&
                  g_settings["iRestore_JABBER"] == 1,
              "stored: interval 5000, debug off, ICQ off, JABBER on");
  ok &= Check(g_boxes.size() == boxes, "no debug box once debug is off");

  page_driver::SetText(page, kEdit, "12x");
  page_driver::Click(page, kDebug);
  ok &= Check(page_driver::Apply(page) != 0, "apply refused for an interval that is no number");
  ok &= Check(g_settings["iTimeOut"] == 5000 && g_settings["iDebugMsg"] == 0, "nothing stored by a refused apply");
  page_driver::SetText(page, kEdit, "0");
  ok &= Check(page_driver::Apply(page) != 0, "apply refused for interval 0");
  page_driver::SetText(page, kEdit, "7000");
  ok &= Check(page_driver::Apply(page) == 0 && g_settings["iTimeOut"] == 7000 && g_settings["iDebugMsg"] == 1,
              "a good interval is stored");
  ok &= Check(!g_boxes.empty() && g_boxes.back() == "Pernot:Debug|Pernot:Your changes stored succefully.",
              "debug box after storing with debug on");
  page_driver::Close(page);
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
  ok &= Check(g_jabberSets == 0, "a protocol switched off is not restored");
  ok &= CheckOptionsPage();
  ok &= Check(unload() == 0, "Unload");
  ok &= Check(!g_boxes.empty() && g_boxes.back() == "Pernot:Debug|Pernot:Unloaded succefully.", "Unload's box");
  if (ok) std::puts("PERNOT SMOKE OK");
  return ok ? 0 : 1;
}
