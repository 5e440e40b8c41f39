// A read-only script-like object over a JSON value: how a control hands
// results and event arguments back to its caller (the Linux control and the
// fake control of the tests alike). Objects answer their members by name; arrays answer
// "length" and "0", "1", ...; both enumerate through IDispatchEx
// (GetNextDispID / GetMemberName), the way the host walks script objects.
// Members that are objects or arrays come back as further objects of this kind
// sharing the same document.
#pragma once

#include <json/json.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Automation.h"
#include "platform/ComPtr.h"

class CJsonDispatch : public IDispatchEx {
 public:
  // value should be an object or an array; any other value gives an object
  // with no members whose DISPID_VALUE is the value.
  static ComPtr<IDispatch> Create(Json::Value value);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  // IDispatchEx
  HRESULT STDMETHODCALLTYPE GetDispID(BSTR bstrName, DWORD grfdex, DISPID* pid) override;
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID lcid, WORD wFlags, DISPPARAMS* pdp, VARIANT* pvarRes, EXCEPINFO* pei,
                   IServiceProvider* pspCaller) override;
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR bstrName, DWORD grfdex) override;
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID id) override;
  HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID id, DWORD grfdexFetch, DWORD* pgrfdex) override;
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID id, BSTR* pbstrName) override;
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD grfdex, DISPID id, DISPID* pid) override;
  HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown** ppunk) override;

 private:
  CJsonDispatch(std::shared_ptr<const Json::Value> root, const Json::Value* node);
  virtual ~CJsonDispatch() = default;

  // Dispatch ids: member i (object) or index i (array) is i + 1; an array's
  // "length" is size + 1. 0 stays DISPID_VALUE.
  DISPID FindName(const std::string& name, bool caseInsensitive) const;
  const Json::Value* MemberById(DISPID id) const;
  bool IsLengthId(DISPID id) const;
  HRESULT STDMETHODCALLTYPE Get(DISPID id, WORD flags, VARIANT* result);

  std::atomic<ULONG> m_refs{0};
  std::shared_ptr<const Json::Value> m_root;  // keeps m_node alive
  const Json::Value* m_node;
  std::vector<std::string> m_names;  // object members, in the document's order
  // Members whose names are not valid UTF-8, by the name GetMemberName
  // reports for them (invalid bytes replaced): a caller that lists the
  // members and reads each by its reported name finds them too.
  mutable std::vector<std::pair<std::string, DISPID>> m_reportedNames;
  mutable bool m_reportedNamesKnown = false;  // m_reportedNames has been worked out
};

// Stores value in out as the control hands results back: null -> VT_NULL,
// booleans -> VT_BOOL, integers -> VT_I4 (VT_R8 beyond its range), reals ->
// VT_R8, strings -> VT_BSTR, objects and arrays -> VT_DISPATCH of a
// CJsonDispatch. out is cleared first.
void JsonToResultVariant(const Json::Value& value, VARIANT* out);
