// The DLL module: its handle, the lock count behind DllCanUnloadNow, and the type library
// embedded as resource TYPELIB 1.
#pragma once
#include <windows.h>
#include <oleauto.h>

namespace vorn::ax {

HMODULE ModuleHandle();
void ModuleLock();
void ModuleUnlock();
HRESULT LoadModuleTypeLib(ITypeLib** lib);

}  // namespace vorn::ax
