// The COM object: ICmd (dual) over vorn::ax::Cmd.
#pragma once
#include "VornAX/cmd.h"
#include "vornax_h.h"

namespace vorn::ax {

class CmdObject final : public ICmd {
 public:
  CmdObject();
  ~CmdObject();
  CmdObject(const CmdObject&) = delete;
  CmdObject& operator=(const CmdObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch, from the type library
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;
  // ICmd
  HRESULT STDMETHODCALLTYPE SendMsg() override;
  HRESULT STDMETHODCALLTYPE SendFile() override;
  HRESULT STDMETHODCALLTYPE get_Status(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE get_ICQServer(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_ICQServer(BSTR v) override;
  HRESULT STDMETHODCALLTYPE get_ICQPort(USHORT* pVal) override;
  HRESULT STDMETHODCALLTYPE put_ICQPort(USHORT v) override;
  HRESULT STDMETHODCALLTYPE get_Message(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Message(BSTR v) override;
  HRESULT STDMETHODCALLTYPE get_MessageFile(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_MessageFile(BSTR v) override;
  HRESULT STDMETHODCALLTYPE get_UINto(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE put_UINto(LONG v) override;
  HRESULT STDMETHODCALLTYPE get_UINfrom(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE put_UINfrom(LONG v) override;
  HRESULT STDMETHODCALLTYPE GetUinInfo(ULONG uin) override;
  HRESULT STDMETHODCALLTYPE get_uinInfo(unsigned char tp, ULONG* pVal) override;

 private:
  HRESULT TypeInfo(ITypeInfo** out);  // borrowed pointer
  LONG refs_ = 1;
  ITypeInfo* typeInfo_ = nullptr;
  Cmd cmd_;
};

}  // namespace vorn::ax
