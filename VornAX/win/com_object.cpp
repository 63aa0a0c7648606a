// The COM class Cmd: the ICmd dual interface over the portable command object, with
// IDispatch answered from the type library embedded in this DLL.
#include "VornAX/win/com_object.h"

#include <new>

#include "VornAX/win/module.h"

#undef SetPort  // a Win32 printing macro; here it is the port property of Cmd

namespace vorn::ax {

namespace {

BSTR ToBstr(const OptText& text) {
  if (!text) return nullptr;
  int n = MultiByteToWideChar(CP_ACP, 0, text->data(), static_cast<int>(text->size()), nullptr, 0);
  BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (b && n > 0) MultiByteToWideChar(CP_ACP, 0, text->data(), static_cast<int>(text->size()), b, n);
  return b;
}

// Narrow text in the thread's ANSI code page; a null BSTR clears the property.
bool FromBstr(BSTR b, OptText& out) {
  if (b == nullptr) {
    out.reset();
    return true;
  }
  int len = static_cast<int>(SysStringLen(b));
  int n = WideCharToMultiByte(CP_ACP, 0, b, len, nullptr, 0, nullptr, nullptr);
  try {
    std::string s(static_cast<size_t>(n), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, b, len, s.data(), n, nullptr, nullptr);
    out = std::move(s);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

HRESULT GetText(const OptText& text, BSTR* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = ToBstr(text);
  return (text && *pVal == nullptr) ? E_OUTOFMEMORY : S_OK;
}

template <class Set>
HRESULT PutText(BSTR b, Set set) {
  OptText v;
  if (!FromBstr(b, v)) return E_OUTOFMEMORY;
  set(std::move(v));
  return S_OK;
}

}  // namespace

CmdObject::CmdObject() { ModuleLock(); }
CmdObject::~CmdObject() {
  if (typeInfo_) typeInfo_->Release();
  ModuleUnlock();
}

HRESULT CmdObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_ICmd)) {
    *ppv = static_cast<ICmd*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CmdObject::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG CmdObject::Release() {
  LONG n = InterlockedDecrement(&refs_);
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

HRESULT CmdObject::TypeInfo(ITypeInfo** out) {
  if (!typeInfo_) {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadModuleTypeLib(&lib);
    if (FAILED(hr)) return hr;
    hr = lib->GetTypeInfoOfGuid(IID_ICmd, &typeInfo_);
    lib->Release();
    if (FAILED(hr)) return hr;
  }
  *out = typeInfo_;
  return S_OK;
}

HRESULT CmdObject::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT CmdObject::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  ITypeInfo* ti = nullptr;
  HRESULT hr = TypeInfo(&ti);
  if (FAILED(hr)) return hr;
  ti->AddRef();
  *ppTInfo = ti;
  return S_OK;
}

HRESULT CmdObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  ITypeInfo* ti = nullptr;
  HRESULT hr = TypeInfo(&ti);
  if (FAILED(hr)) return hr;
  return DispGetIDsOfNames(ti, names, count, ids);
}

HRESULT CmdObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                          EXCEPINFO* excep, UINT* argErr) {
  ITypeInfo* ti = nullptr;
  HRESULT hr = TypeInfo(&ti);
  if (FAILED(hr)) return hr;
  return DispInvoke(static_cast<ICmd*>(this), ti, id, flags, params, result, excep, argErr);
}

HRESULT CmdObject::SendMsg() {
  cmd_.SendMsg();
  return S_OK;
}
HRESULT CmdObject::SendFile() {
  cmd_.SendFile();
  return S_OK;
}
HRESULT CmdObject::get_Status(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = cmd_.Status();
  return S_OK;
}
HRESULT CmdObject::get_ICQServer(BSTR* pVal) { return GetText(cmd_.Server(), pVal); }
HRESULT CmdObject::put_ICQServer(BSTR v) {
  return PutText(v, [&](OptText t) { cmd_.SetServer(std::move(t)); });
}
HRESULT CmdObject::get_ICQPort(USHORT* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = cmd_.Port();
  return S_OK;
}
HRESULT CmdObject::put_ICQPort(USHORT v) {
  cmd_.SetPort(v);
  return S_OK;
}
HRESULT CmdObject::get_Message(BSTR* pVal) { return GetText(cmd_.Message(), pVal); }
HRESULT CmdObject::put_Message(BSTR v) {
  return PutText(v, [&](OptText t) { cmd_.SetMessage(std::move(t)); });
}
HRESULT CmdObject::get_MessageFile(BSTR* pVal) { return GetText(cmd_.MessageFile(), pVal); }
HRESULT CmdObject::put_MessageFile(BSTR v) {
  return PutText(v, [&](OptText t) { cmd_.SetMessageFile(std::move(t)); });
}
HRESULT CmdObject::get_UINto(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = cmd_.UinTo();
  return S_OK;
}
HRESULT CmdObject::put_UINto(LONG v) {
  cmd_.SetUinTo(v);
  return S_OK;
}
HRESULT CmdObject::get_UINfrom(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = cmd_.UinFrom();
  return S_OK;
}
HRESULT CmdObject::put_UINfrom(LONG v) {
  cmd_.SetUinFrom(v);
  return S_OK;
}
HRESULT CmdObject::GetUinInfo(ULONG uin) {
  cmd_.GetUinInfo(uin);
  return S_OK;
}
HRESULT CmdObject::get_uinInfo(unsigned char tp, ULONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = cmd_.UinInfo(tp);
  return S_OK;
}

}  // namespace vorn::ax
