// The COM face of a script object: IDispatchEx over one value of a
// ScriptEngine heap, kept alive by a reference in the heap's stash for as
// long as the wrapper lives. A wrapper of a DOM OBJECT element also answers
// IHTMLObjectElement. When the heap is gone every call fails with
// E_UNEXPECTED; the wrapper itself stays safe to call and release.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/WebBrowserApi.h"
#include "platform/webbrowser/ScriptEngine.h"

// Answered only by ScriptObject: lets a heap recognise its own wrappers.
inline constexpr IID IID_IScriptObjectWrapper = MakeGuid("4B6F1E2A-7C3D-4A59-8E21-6D0F9B3C5A17");

class ScriptObject final : public IDispatchEx, public IHTMLObjectElement {
 public:
  // Takes over a kept value (key); the result carries one reference. Null
  // when memory runs out (the key is then dropped).
  static ScriptObject* New(std::shared_ptr<ScriptEngine> engine, uint32_t key) noexcept;

  ScriptEngine* Engine() const { return m_engine.get(); }
  uint32_t Key() const { return m_key; }

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // IDispatch
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  // IDispatchEx
  HRESULT GetDispID(BSTR bstrName, DWORD grfdex, DISPID* pid) override;
  HRESULT InvokeEx(DISPID id, LCID lcid, WORD wFlags, DISPPARAMS* pdp, VARIANT* pvarRes, EXCEPINFO* pei,
                   IServiceProvider* pspCaller) override;
  HRESULT DeleteMemberByName(BSTR bstrName, DWORD grfdex) override;
  HRESULT DeleteMemberByDispID(DISPID id) override;
  HRESULT GetMemberProperties(DISPID id, DWORD grfdexFetch, DWORD* pgrfdex) override;
  HRESULT GetMemberName(DISPID id, BSTR* pbstrName) override;
  HRESULT GetNextDispID(DWORD grfdex, DISPID id, DISPID* pid) override;
  HRESULT GetNameSpaceParent(IUnknown** ppunk) override;
  // IHTMLObjectElement (only reachable on OBJECT elements): the hosted
  // control; S_OK with null while it is being created, the creation's
  // failure code (with null) once it has failed for good.
  HRESULT get_object(IDispatch** control) override;

 private:
  ScriptObject(std::shared_ptr<ScriptEngine> engine, uint32_t key) : m_engine(std::move(engine)), m_key(key) {}
  ~ScriptObject();
  HRESULT InvokeCore(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep);
  HRESULT HasMember(const std::string& cesuName, bool* exists);
  dom::Node* ObjectElement();

  std::atomic<ULONG> m_ref{1};
  std::shared_ptr<ScriptEngine> m_engine;
  uint32_t m_key;
  // Own member ids taken at DISPID_STARTENUM; later walks continue from it.
  std::vector<DISPID> m_enum;
  size_t m_enumPos = 0;
};
