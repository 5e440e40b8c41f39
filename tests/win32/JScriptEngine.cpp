#include "JScriptEngine.h"

#include <algorithm>
#include <vector>

namespace {

// JScript's class id (the engine behind "JScript" in the registry).
constexpr CLSID kClsidJScript = MakeGuid("F414C260-6AC0-11CF-B6D1-00AA00BBBB58");
constexpr IID kIidActiveScriptParse = MakeGuid("BB1A2AE2-A4F9-11CF-8F20-00805F2CD064");

// The smallest site: no named items, errors ignored.
class Site final : public IActiveScriptSite {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IActiveScriptSite) {
      *ppv = static_cast<IActiveScriptSite*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_refs;
    if (!n) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE GetLCID(LCID* lcid) override {
    *lcid = LOCALE_USER_DEFAULT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR, DWORD, IUnknown**, ITypeInfo**) override {
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

 private:
  ULONG m_refs = 1;
};

}  // namespace

JScriptEngine::JScriptEngine(const wchar_t* script) {
  if (FAILED(::CoCreateInstance(kClsidJScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                reinterpret_cast<void**>(&m_engine))))
    return;
  ComPtr<IActiveScriptParse> parse;
  if (FAILED(m_engine->QueryInterface(kIidActiveScriptParse, reinterpret_cast<void**>(&parse)))) return;
  m_site = new Site;
  if (FAILED(parse->InitNew()) || FAILED(m_engine->SetScriptSite(m_site))) return;
  EXCEPINFO error{};
  if (FAILED(parse->ParseScriptText(script, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, &error))) return;
  if (FAILED(m_engine->SetScriptState(SCRIPTSTATE_STARTED))) return;
  m_engine->GetScriptDispatch(nullptr, &m_global);
}

JScriptEngine::~JScriptEngine() {
  m_global = nullptr;
  if (m_engine) m_engine->Close();
  m_engine = nullptr;
  if (m_site) m_site->Release();
}

bool JScriptEngine::Call(const wchar_t* name, std::initializer_list<VARIANT> args, VARIANT* result) {
  if (!m_global) return false;
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(m_global->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  std::vector<VARIANT> reversed(args.begin(), args.end());
  std::reverse(reversed.begin(), reversed.end());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  return SUCCEEDED(
      m_global->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr, nullptr));
}
