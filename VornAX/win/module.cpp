// The in-process server's exports: the class factory of Cmd, the unload check and the
// registration of the class, its ProgIDs, its AppID and the type library.
#include "VornAX/win/module.h"

#include <initguid.h>
#include <olectl.h>

#include <string>

#include "VornAX/win/com_object.h"

namespace vorn::ax {

namespace {

HMODULE g_module = nullptr;
LONG g_locks = 0;

constexpr char kClsid[] = "{7D3A6C10-4E2B-4B8F-9A61-2C5E8F0B1A03}";
constexpr char kLibid[] = "{7D3A6C10-4E2B-4B8F-9A61-2C5E8F0B1A01}";
constexpr char kAppid[] = "{7D3A6C10-4E2B-4B8F-9A61-2C5E8F0B1A04}";

std::wstring ModulePath() {
  wchar_t buf[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(g_module, buf, MAX_PATH * 2);
  return std::wstring(buf, n);
}

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static; its references keep the module loaded.
  ULONG STDMETHODCALLTYPE AddRef() override {
    ModuleLock();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    ModuleUnlock();
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    CmdObject* obj = new (std::nothrow) CmdObject;
    if (!obj) return E_OUTOFMEMORY;
    HRESULT hr = obj->QueryInterface(riid, ppv);
    obj->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      ModuleLock();
    else
      ModuleUnlock();
    return S_OK;
  }
};

ClassFactory g_factory;

// Sets a key's default value (value name null) or a named value.
bool SetText(const std::string& key, const char* name, const std::string& value) {
  HKEY h;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) != ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
  RegCloseKey(h);
  return rc == ERROR_SUCCESS;
}

bool MakeKey(const std::string& key) {
  HKEY h;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) != ERROR_SUCCESS)
    return false;
  RegCloseKey(h);
  return true;
}

void RemoveTree(const std::string& key) { RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str()); RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str()); }

std::string Narrow(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

}  // namespace

HMODULE ModuleHandle() { return g_module; }
void ModuleLock() { InterlockedIncrement(&g_locks); }
void ModuleUnlock() { InterlockedDecrement(&g_locks); }

HRESULT LoadModuleTypeLib(ITypeLib** lib) { return LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, lib); }

}  // namespace vorn::ax

using namespace vorn::ax;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllCanUnloadNow() { return g_locks == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_Cmd)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllRegisterServer() {
  const std::string clsidKey = std::string("CLSID\\") + kClsid;
  const std::string path = Narrow(ModulePath());
  RemoveTree(clsidKey);  // the class key is replaced whole
  bool ok = SetText(std::string("AppID\\") + kAppid, nullptr, "VornAX") &&
            SetText("AppID\\VornAX.DLL", "AppID", kAppid) &&
            SetText("VornAX.Cmd.1", nullptr, "Cmd Class") && SetText("VornAX.Cmd.1\\CLSID", nullptr, kClsid) &&
            SetText("VornAX.Cmd", nullptr, "Cmd Class") && SetText("VornAX.Cmd\\CLSID", nullptr, kClsid) &&
            SetText("VornAX.Cmd\\CurVer", nullptr, "VornAX.Cmd.1") && SetText(clsidKey, nullptr, "Cmd Class") &&
            SetText(clsidKey + "\\ProgID", nullptr, "VornAX.Cmd.1") &&
            SetText(clsidKey + "\\VersionIndependentProgID", nullptr, "VornAX.Cmd") &&
            MakeKey(clsidKey + "\\Programmable") && SetText(clsidKey + "\\InprocServer32", nullptr, path) &&
            SetText(clsidKey + "\\InprocServer32", "ThreadingModel", "Apartment") &&
            SetText(clsidKey, "AppID", kAppid) && SetText(clsidKey + "\\TypeLib", nullptr, kLibid);
  if (!ok) return SELFREG_E_CLASS;
  ITypeLib* lib = nullptr;
  std::wstring wpath = ModulePath();
  HRESULT hr = LoadModuleTypeLib(&lib);
  if (FAILED(hr)) return hr;
  hr = RegisterTypeLib(lib, wpath.data(), nullptr);
  lib->Release();
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

STDAPI DllUnregisterServer() {
  UnRegisterTypeLib(LIBID_VornAXLib, 1, 0, LOCALE_NEUTRAL, SYS_WIN64);
  RemoveTree(std::string("CLSID\\") + kClsid);
  RemoveTree("VornAX.Cmd.1");
  RemoveTree("VornAX.Cmd");
  RemoveTree(std::string("AppID\\") + kAppid);
  RemoveTree("AppID\\VornAX.DLL");
  return S_OK;
}
