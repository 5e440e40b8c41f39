// CPrinterListener: the sink on the control's IPrinterEvent connection point.
// Each event the control fires becomes one JSON message for the extension,
// named by the callback object's "done", "onState" and "listener" members.
#pragma once

#include <json/json.h>

#include <atomic>
#include <string>

#include "bridge/ScriptValueBridge.h"
#include "interfaces/PrinterControl.h"

// What the listener needs from the object that attached it (the control
// proxy): value conversion, the stored tab and the output writer.
class ListenerOwner {
 public:
  virtual ~ListenerOwner() = default;
  virtual ScriptValueBridge& Bridge() = 0;
  virtual Json::Value GetTab() const = 0;
  virtual void WriteMessage(const std::string& text) = 0;
};

// Reads a member by name (GetIDsOfNames + DISPATCH_PROPERTYGET) as text in the
// thread's code page; "" when it cannot be read or is not a string.
std::string ReadStringProperty(IDispatch* object, const OleString& name);

class CPrinterListener : public IPrinterEvent {
 public:
  // Created with reference count 0, as the creatable-object wrapper does.
  static CPrinterListener* CreateInstance();

  void SetEventNames(IDispatch* callback, ListenerOwner* proxy);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch, served from the fixed table of the control's dispatch ids.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override;
  // IPrinterEvent
  HRESULT STDMETHODCALLTYPE OnDone(BSTR text, IDispatch* object) override;
  HRESULT STDMETHODCALLTYPE OnJobState(IDispatch* job) override;
  HRESULT STDMETHODCALLTYPE OnMessage(IDispatch* object) override;

  const std::string& DoneEvent() const { return m_doneEvent; }
  const std::string& StateEvent() const { return m_stateEvent; }
  const std::string& ListenerEvent() const { return m_listenerEvent; }

 protected:
  CPrinterListener() = default;
  virtual ~CPrinterListener() = default;

 private:
  // The object passed as VT_DISPATCH through the owner's bridge.
  Json::Value ObjectToJson(IDispatch* object);

  ListenerOwner* m_pProxy = nullptr;
  std::string m_doneEvent;
  std::string m_stateEvent;
  std::string m_listenerEvent;
  std::atomic<ULONG> m_refs{0};
};
