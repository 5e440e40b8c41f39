// The new-window manager is declared for the browser of XP SP2 (6.0 SP2)
// and later; an earlier one never asks for it.
#define _WIN32_IE 0x0603
#include "platform/PageSecurity.h"

#include <downloadmgr.h>
#include <shobjidl.h>

#include <atomic>
#include <cstring>

#include "platform/HostPage.h"

namespace {

// Declared by urlmon.h, defined in no import library.
constexpr GUID kConfirmObjectSafety = {0x10200490, 0xfa38, 0x11d0, {0xac, 0x0e, 0x00, 0xa0, 0xc9, 0x0f, 0xff, 0xc0}};

bool IsOurPage(LPCWSTR url) { return url && IsThisHostsBootstrapPage(url); }

// Actions about creating, initialising or scripting a control, or
// downloading its code: decided here for every page.
bool IsControlAction(DWORD action) {
  return (action >= URLACTION_DOWNLOAD_MIN && action <= URLACTION_ACTIVEX_MAX) ||
         action == URLACTION_SCRIPT_OVERRIDE_SAFETY || action == URLACTION_SCRIPT_SAFE_ACTIVEX;
}

// Scripting a control may be asked without naming its class: in the
// bootstrap page the only control there can be is ours.
bool IsScriptingAction(DWORD action) {
  return action == URLACTION_SCRIPT_OVERRIDE_SAFETY || action == URLACTION_SCRIPT_SAFE_ACTIVEX ||
         action == URLACTION_ACTIVEX_OVERRIDE_SCRIPT_SAFETY;
}

// Actions whose "allow" takes a right away: treat the control as untrusted,
// keep script away from an embedded browser.
bool IsRestrictingAction(DWORD action) {
  return action == URLACTION_ACTIVEX_TREATASUNTRUSTED || action == URLACTION_ACTIVEX_NO_WEBOC_SCRIPT;
}

// The policy into the caller's buffer; S_OK when it lets the page go on.
HRESULT Answer(DWORD policy, BYTE* out, DWORD size, bool allowed) {
  if (out && size >= sizeof(DWORD)) std::memcpy(out, &policy, sizeof policy);
  return allowed ? S_OK : S_FALSE;
}
HRESULT Answer(DWORD policy, BYTE* out, DWORD size) {
  // The special policies (credentials, ...) are above the permission bits.
  return Answer(policy, out, size, policy >= 0x10000 || GetUrlPolicyPermissions(policy) == URLPOLICY_ALLOW);
}

// What the Internet zone allows, without a prompt; a refusal when the
// zone's settings cannot be read.
DWORD InternetPolicy(DWORD action) {
  if (action == URLACTION_CREDENTIALS_USE) return URLPOLICY_CREDENTIALS_ANONYMOUS_ONLY;
  ComPtr<IInternetZoneManager> zones;
  DWORD policy = URLPOLICY_DISALLOW;
  if (FAILED(::CoInternetCreateZoneManager(nullptr, &zones, 0)) || !zones ||
      FAILED(zones->GetZoneActionPolicy(URLZONE_INTERNET, action, reinterpret_cast<BYTE*>(&policy), sizeof policy,
                                        URLZONEREG_DEFAULT)))
    return URLPOLICY_DISALLOW;
  if (policy < 0x10000 && GetUrlPolicyPermissions(policy) != URLPOLICY_ALLOW) return URLPOLICY_DISALLOW;
  return policy;
}

// A custom policy of the Internet zone, in memory the caller frees
// (CoTaskMemFree); the zone's error when it has none.
HRESULT InternetCustomPolicy(REFGUID key, BYTE** policy, DWORD* size) {
  ComPtr<IInternetZoneManager> zones;
  HRESULT hr = ::CoInternetCreateZoneManager(nullptr, &zones, 0);
  if (FAILED(hr) || !zones) return FAILED(hr) ? hr : E_FAIL;
  hr = zones->GetZoneCustomPolicy(URLZONE_INTERNET, key, policy, size, URLZONEREG_DEFAULT);
  if (FAILED(hr) || hr == INET_E_DEFAULT_ACTION) {
    if (*policy) ::CoTaskMemFree(*policy);
    *policy = nullptr;
    *size = 0;
    return hr == INET_E_DEFAULT_ACTION ? E_FAIL : hr;
  }
  return hr;
}

// The browser may ask from its binding threads as well: counted atomically,
// and the decisions keep no state.
class PageSecurityManager final : public IInternetSecurityManager {
 public:
  explicit PageSecurityManager(const CLSID& pageControl) : m_control(pageControl) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IInternetSecurityManager) return E_NOINTERFACE;
    *ppv = static_cast<IInternetSecurityManager*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }

  // The browser's own manager keeps its site.
  HRESULT STDMETHODCALLTYPE SetSecuritySite(IInternetSecurityMgrSite*) override { return INET_E_DEFAULT_ACTION; }
  HRESULT STDMETHODCALLTYPE GetSecuritySite(IInternetSecurityMgrSite** site) override {
    if (site) *site = nullptr;
    return INET_E_DEFAULT_ACTION;
  }

  HRESULT STDMETHODCALLTYPE MapUrlToZone(LPCWSTR url, DWORD* zone, DWORD) override {
    if (!zone) return E_INVALIDARG;
    *zone = IsOurPage(url) ? URLZONE_LOCAL_MACHINE : URLZONE_INTERNET;
    return S_OK;
  }

  // The default identity (scheme, host) with the zone MapUrlToZone gives:
  // another file is never the same origin as the bootstrap page.
  HRESULT STDMETHODCALLTYPE GetSecurityId(LPCWSTR url, BYTE* id, DWORD* size, DWORD_PTR reserved) override {
    if (!url || !id || !size) return E_INVALIDARG;
    if (IsOurPage(url)) return INET_E_DEFAULT_ACTION;
    ComPtr<IInternetSecurityManager> standard;
    HRESULT hr = ::CoInternetCreateSecurityManager(nullptr, &standard, 0);
    if (FAILED(hr)) return hr;
    hr = standard->GetSecurityId(url, id, size, reserved);
    if (FAILED(hr)) return hr;
    // The identity ends with its zone.
    if (*size < sizeof(DWORD)) return E_UNEXPECTED;
    const DWORD internet = URLZONE_INTERNET;
    std::memcpy(id + *size - sizeof internet, &internet, sizeof internet);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ProcessUrlAction(LPCWSTR url, DWORD action, BYTE* policy, DWORD policySize,
                                             BYTE* context, DWORD contextSize, DWORD, DWORD) override {
    const bool ourPage = IsOurPage(url);
    if (IsControlAction(action)) {
      const CLSID* cls = contextSize == sizeof(CLSID) && context ? reinterpret_cast<const CLSID*>(context) : nullptr;
      const bool download = action <= URLACTION_DOWNLOAD_MAX;
      const bool ourControl = HasControl() && (cls ? IsEqualCLSID(*cls, m_control) : IsScriptingAction(action));
      const bool granted = ourPage && ourControl && !download;
      if (IsRestrictingAction(action))
        return Answer(granted ? URLPOLICY_DISALLOW : URLPOLICY_ALLOW, policy, policySize);
      return Answer(granted ? URLPOLICY_ALLOW : URLPOLICY_DISALLOW, policy, policySize);
    }
    switch (action) {
      case URLACTION_JAVA_PERMISSIONS: return Answer(URLPOLICY_JAVA_PROHIBIT, policy, policySize, false);
      case URLACTION_HTML_JAVA_RUN:
      case URLACTION_SHELL_FILE_DOWNLOAD: return Answer(URLPOLICY_DISALLOW, policy, policySize);
      default: break;
    }
    if (ourPage) return INET_E_DEFAULT_ACTION;
    return Answer(InternetPolicy(action), policy, policySize);
  }

  HRESULT STDMETHODCALLTYPE QueryCustomPolicy(LPCWSTR url, REFGUID key, BYTE** policy, DWORD* policySize,
                                              BYTE* context, DWORD contextSize, DWORD) override {
    if (!policy || !policySize) return E_INVALIDARG;
    *policy = nullptr;
    *policySize = 0;
    if (!IsEqualGUID(key, kConfirmObjectSafety)) {
      if (IsOurPage(url)) return INET_E_DEFAULT_ACTION;
      // The browser's own manager would answer for a file's zone (the local machine).
      return InternetCustomPolicy(key, policy, policySize);
    }
    const auto* safety = contextSize >= sizeof(CONFIRMSAFETY) && context ? reinterpret_cast<CONFIRMSAFETY*>(context)
                                                                         : nullptr;
    const bool safe = safety && HasControl() && IsEqualCLSID(safety->clsid, m_control) && IsOurPage(url);
    auto* out = static_cast<BYTE*>(::CoTaskMemAlloc(sizeof(DWORD)));
    if (!out) return E_OUTOFMEMORY;
    *policy = out;
    *policySize = sizeof(DWORD);
    return Answer(safe ? URLPOLICY_ALLOW : URLPOLICY_DISALLOW, out, sizeof(DWORD));
  }

  HRESULT STDMETHODCALLTYPE SetZoneMapping(DWORD, LPCWSTR, DWORD) override { return INET_E_DEFAULT_ACTION; }
  HRESULT STDMETHODCALLTYPE GetZoneMappings(DWORD, IEnumString** mappings, DWORD) override {
    if (mappings) *mappings = nullptr;
    return INET_E_DEFAULT_ACTION;
  }

 private:
  ~PageSecurityManager() = default;
  bool HasControl() const { return !IsEqualCLSID(m_control, GUID_NULL); }
  const CLSID m_control;
  std::atomic<ULONG> m_refs{1};
};

class PromptRefusal final : public IDownloadManager, public INewWindowManager {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == __uuidof(IDownloadManager))
      *ppv = static_cast<IDownloadManager*>(this);
    else if (riid == __uuidof(INewWindowManager))
      *ppv = static_cast<INewWindowManager*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  // Handled, so the browser shows no dialog of its own: nothing is fetched.
  HRESULT STDMETHODCALLTYPE Download(IMoniker*, IBindCtx*, DWORD, LONG, BINDINFO*, LPCOLESTR, LPCOLESTR,
                                     UINT) override {
    return S_OK;
  }
  // Blocked (S_FALSE; E_FAIL would leave it to the browser's own pop-up rules).
  HRESULT STDMETHODCALLTYPE EvaluateNewWindow(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, BOOL, DWORD, DWORD) override {
    return S_FALSE;
  }

 private:
  ~PromptRefusal() = default;
  std::atomic<ULONG> m_refs{1};
};

class PageServices final : public IServiceProvider {
 public:
  explicit PageServices(const CLSID& pageControl)
      : m_security(MakePageSecurityManager(pageControl)),
        m_refusal(ComPtr<IUnknown>::Attach(static_cast<IDownloadManager*>(new PromptRefusal))) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IServiceProvider) return E_NOINTERFACE;
    *ppv = static_cast<IServiceProvider*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  // The download and new-window services are named by their interface ids.
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(service, SID_SInternetSecurityManager)) return m_security->QueryInterface(riid, ppv);
    if (IsEqualGUID(service, __uuidof(IDownloadManager)) || IsEqualGUID(service, __uuidof(INewWindowManager)))
      return m_refusal->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
  }

 private:
  ~PageServices() = default;
  ComPtr<IInternetSecurityManager> m_security;
  ComPtr<IUnknown> m_refusal;
  std::atomic<ULONG> m_refs{1};
};

}  // namespace

ComPtr<IInternetSecurityManager> MakePageSecurityManager(const CLSID& pageControl) {
  return ComPtr<IInternetSecurityManager>::Attach(new PageSecurityManager(pageControl));
}

ComPtr<IServiceProvider> MakePageServices(const CLSID& pageControl) {
  return ComPtr<IServiceProvider>::Attach(new PageServices(pageControl));
}
