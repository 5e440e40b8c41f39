// Helpers shared by the browser stand-in's tests (and the page's): pumping
// with a deadline, calls through IDispatch, and a COM object that counts
// its instances and references.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>

#include "platform/ComPtr.h"
#include "platform/MessageLoop.h"

namespace browsertest {

// Dispatches the thread's messages until done() holds; false at the deadline.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return done();
    MSG msg;
    if (GetMessageTimeout(&msg, static_cast<DWORD>(left.count())) && msg.message != WM_QUIT) DispatchMessageW(&msg);
  }
  return true;
}

// Dispatches whatever is queued now (timers that are due included).
inline void PumpPending() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    if (msg.message != WM_QUIT) DispatchMessageW(&msg);
}

inline HRESULT IdOf(IDispatch* object, const char16_t* name, DISPID* id) {
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

// Calls object.name(args...) with args in call order; result may be null.
inline HRESULT Call(IDispatch* object, const char16_t* name, std::initializer_list<Variant> args, Variant* result,
                    EXCEPINFO* excep = nullptr) {
  if (result) result->Clear();  // the callee overwrites the slot
  DISPID id;
  HRESULT hr = IdOf(object, name, &id);
  if (FAILED(hr)) return hr;
  VARIANT argv[16];
  UINT n = 0;
  for (auto it = args.end(); it != args.begin() && n < 16;) argv[n++] = *--it;  // shallow: last first
  DISPPARAMS dp{n ? argv : nullptr, nullptr, n, 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, result, excep, nullptr);
}

inline HRESULT Get(IDispatch* object, const char16_t* name, Variant* result) {
  result->Clear();
  DISPID id;
  HRESULT hr = IdOf(object, name, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result, nullptr, nullptr);
}

inline HRESULT Put(IDispatchEx* object, const char16_t* name, const VARIANT& value,
                   WORD flags = DISPATCH_PROPERTYPUT) {
  Bstr n(name);
  DISPID id;
  HRESULT hr = object->GetDispID(n.Get(), fdexNameCaseSensitive | fdexNameEnsure, &id);
  if (FAILED(hr)) return hr;
  VARIANT arg = value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS dp{&arg, &named, 1, 1};
  return object->InvokeEx(id, LOCALE_USER_DEFAULT, flags, &dp, nullptr, nullptr, nullptr);
}

inline std::u16string Text(const VARIANT& v) {
  return v.vt == VT_BSTR && v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"<not a string>";
}

inline ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

// An IDispatch with no members, for foreign objects handed to script;
// subclasses add what a test watches for.
class EmptyDispatch : public IDispatch {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_ref; }
  ULONG Release() override {
    ULONG r = --m_ref;
    if (r == 0) delete this;
    return r;
  }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  virtual ~EmptyDispatch() = default;

 private:
  std::atomic<ULONG> m_ref{1};
};

// An IDispatch with no members that counts live instances.
class CountedObject final : public EmptyDispatch {
 public:
  static inline std::atomic<int> live{0};
  CountedObject() { ++live; }

 private:
  ~CountedObject() override { --live; }
};

}  // namespace browsertest
