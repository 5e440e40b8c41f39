// A small script engine seen only through IDispatch / IDispatchEx: objects
// with ordered members, arrays with "push" and "length", and a context object
// whose "Object" and "Array" members construct them. Every call is counted
// and (optionally) logged, any call can be made to fail, and live objects are
// counted so tests can prove that no reference is lost.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ComPtr.h"

enum class FakeOp { QueryInterface, GetIDsOfNames, Invoke, InvokeEx, GetDispID, GetMemberName, GetNextDispID };

class FakeObject;

class FakeEngine {
 public:
  // Makes every matching call fail with hr. name: the member (or interface
  // "IDispatchEx" for QueryInterface, the constructor for InvokeEx); empty
  // matches any. flags: the Invoke kind; 0 matches any. skip: matching calls
  // let through before the failures start; times: failures, -1 for all.
  void Fail(FakeOp op, std::u16string name = u"", WORD flags = 0, int skip = 0, int times = -1,
            HRESULT hr = E_FAIL);

  FakeObject* NewObject();   // one reference for the caller
  FakeObject* NewArray();    // one reference for the caller
  FakeObject* NewContext();  // the global object with "Object" and "Array"

  long live = 0;           // objects alive
  long nameLookups = 0;    // GetIDsOfNames calls
  bool logging = true;
  std::vector<std::string> log;  // "GetDispID b", "PUTREF b", "push", "Construct Array", ...

  // Internal: the failure (or S_OK) for a call.
  HRESULT Check(FakeOp op, const std::u16string& name, WORD flags = 0);
  void Log(const std::string& what, const std::u16string& name);

 private:
  struct Rule {
    FakeOp op;
    std::u16string name;
    WORD flags;
    int skip;
    int times;
    HRESULT hr;
  };
  std::vector<Rule> m_rules;
};

class FakeObject final : public IDispatchEx {
 public:
  enum class Kind { Object, Array, Context };
  FakeObject(FakeEngine& engine, Kind kind);

  // Test access: set, read and list members directly (no log, no failures).
  void Set(const std::u16string& name, const VARIANT& value);
  void SetDispatch(const std::u16string& name, IDispatch* value);
  const VARIANT* Find(const std::u16string& name) const;
  std::vector<std::u16string> Names() const;  // in creation order
  void ClearMembers();                        // breaks reference cycles
  Kind GetKind() const { return m_kind; }
  ULONG Refs() const { return m_refs; }

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

 private:
  ~FakeObject();
  static constexpr DISPID kFirstId = 1000;
  static constexpr DISPID kPushId = 500;
  struct Member {
    std::u16string name;
    Variant value;
  };
  const Member* ById(DISPID id) const;
  Member* Ensure(const std::u16string& name);

  FakeEngine& m_engine;
  Kind m_kind;
  ULONG m_refs = 1;
  std::vector<Member> m_members;
  std::unordered_map<std::u16string, size_t> m_index;
};

// A readable form of what the bridge built: "I4:5", "BSTR:x", "EMPTY",
// "Object{a=I4:1,b=Array[BOOL:-1]}" (members in creation order).
std::string Describe(const VARIANT& v);
