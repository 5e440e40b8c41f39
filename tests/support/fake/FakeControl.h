// A fake printing control for tests: records every member call with its
// arguments, returns what a test sets, fires the three job events, and can be
// slow to appear (its factory answers E_PENDING a number of times).
//
// The test builds of the host register it from the environment:
//   KESTRIX_FAKE_SLOW=N      the control appears after N creation attempts
//   KESTRIX_FAKE_RESULTS=F   a JSON file {member: result} overriding the defaults
// Without settings every member answers a small default result, so a session
// with the real host can exercise every command (see DefaultResults).
#pragma once

#include <json/json.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "interfaces/PrinterControl.h"
#include "platform/OleText.h"
#include "platform/Window.h"

class FakeControl final : public IPrinterControl, public IConnectionPointContainer, public IConnectionPoint {
 public:
  // A new instance with one reference owned by the caller.
  static FakeControl* Create();

  // {"member": name, "args": [...]} for every member call, in order. BSTRs are
  // recorded as strings (null for a null BSTR), VARIANT_BOOL and BOOL as
  // integers, objects and VARIANTs as {"vt": tag, "value": JSON form}.
  std::vector<Json::Value> calls;
  // Results by member name; a member listed in "fail" (an array) returns
  // E_FAIL without touching its out-parameter, one listed in "throw" raises
  // std::runtime_error. Change them through Results() each time: the fake
  // indexes them again at the next call after Results() was asked for (a
  // benchmark's calls then cost no lookups in the whole object).
  Json::Value& Results() {
    m_indexed = false;
    return m_results;
  }
  // {member: ms}: that member takes so long (the "sleepMs" of the results
  // file that the test builds of the host read).
  Json::Value sleepMs;
  // Events fired after each print-type member (through a posted message).
  bool fireJobEvents = true;
  // Whether calls are recorded; the test builds of the host turn it off so
  // that a long session does not grow (and benchmarks time the host, not this).
  bool record = true;

  static Json::Value DefaultResults();
  std::vector<std::string> CalledMembers() const;

  // Calls every connected sink through IDispatch::Invoke, as the real control does.
  void FireDone(const std::string& text, const Json::Value& object);
  void FireJobState(const Json::Value& job);
  void FireMessage(const Json::Value& object);
  size_t SinkCount() const { return m_sinks.size(); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch (not used by the host: it calls the method table)
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override;
  // IConnectionPointContainer / IConnectionPoint for IPrinterEvent
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

  // IPrinterControl
#define KX_FAKE_RESERVED(n) \
  HRESULT STDMETHODCALLTYPE reserved##n() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE print(IDispatch* job, VARIANT_BOOL prompt) override;
  HRESULT STDMETHODCALLTYPE printPreview(IDispatch* job, VARIANT_BOOL prompt) override;
  KX_FAKE_RESERVED(9)
  KX_FAKE_RESERVED(10)
  HRESULT STDMETHODCALLTYPE getPrinters(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE getVersion(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE getFonts(VARIANT* result) override;
  KX_FAKE_RESERVED(14)
  HRESULT STDMETHODCALLTYPE setPageURL(BSTR url) override;
  KX_FAKE_RESERVED(16)
  KX_FAKE_RESERVED(17)
  KX_FAKE_RESERVED(18)
  KX_FAKE_RESERVED(19)
  HRESULT STDMETHODCALLTYPE getLocalMacAddress(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE getCPUSerialNo(BSTR* result) override;
  KX_FAKE_RESERVED(22)
  KX_FAKE_RESERVED(23)
  HRESULT STDMETHODCALLTYPE setupNormalOffset(BSTR offset) override;
  KX_FAKE_RESERVED(25)
  HRESULT STDMETHODCALLTYPE getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) override;
  KX_FAKE_RESERVED(27)
  HRESULT STDMETHODCALLTYPE printToPDF(IDispatch* job, BSTR path, BOOL* result) override;
  KX_FAKE_RESERVED(29)
  HRESULT STDMETHODCALLTYPE openFile(BSTR path) override;
  HRESULT STDMETHODCALLTYPE exportAsExcel(VARIANT* element, BSTR path, VARIANT_BOOL open, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) override;
  KX_FAKE_RESERVED(33)
  HRESULT STDMETHODCALLTYPE printTIFF(BSTR path, IDispatch* job, BSTR printer) override;
  HRESULT STDMETHODCALLTYPE getPapers(BSTR printer, VARIANT* result) override;
  KX_FAKE_RESERVED(36)
  KX_FAKE_RESERVED(37)
  HRESULT STDMETHODCALLTYPE isCustomPaperSupported(BSTR printer, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE isImplemented(BSTR name, BOOL* result) override;
  KX_FAKE_RESERVED(40)
  KX_FAKE_RESERVED(41)
  HRESULT STDMETHODCALLTYPE isExcelInstalled(BOOL* result) override;
  HRESULT STDMETHODCALLTYPE getDefaultPrinter(VARIANT* result) override;
  KX_FAKE_RESERVED(44)
  KX_FAKE_RESERVED(45)
  HRESULT STDMETHODCALLTYPE showPageSetupDialog(VARIANT* result) override;
  KX_FAKE_RESERVED(47)
  KX_FAKE_RESERVED(48)
  KX_FAKE_RESERVED(49)
  HRESULT STDMETHODCALLTYPE getLastSettings(BSTR key, VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE setLastSettings(BSTR key, VARIANT* settings) override;
  HRESULT STDMETHODCALLTYPE clearLastSettings(BSTR key) override;
  HRESULT STDMETHODCALLTYPE setDefaultPrinter(BSTR printer) override;
  HRESULT STDMETHODCALLTYPE setDragCSS(BSTR selector, BSTR css) override;
  KX_FAKE_RESERVED(55)
  HRESULT STDMETHODCALLTYPE getPrinterInfo(BSTR printer, VARIANT* result) override;
  KX_FAKE_RESERVED(57)
  HRESULT STDMETHODCALLTYPE copied(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE copy(BSTR source, BSTR target) override;
  HRESULT STDMETHODCALLTYPE writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE readString(BSTR path, BSTR encoding, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE readHTML(BSTR path, BSTR encoding, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE writeBase64(BSTR path, BSTR data, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE download(BSTR url, BSTR path, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE liveUpdate(BSTR url, BSTR version, LONG* result) override;
  KX_FAKE_RESERVED(66)
  KX_FAKE_RESERVED(67)
  HRESULT STDMETHODCALLTYPE about() override;
  KX_FAKE_RESERVED(69)
  HRESULT STDMETHODCALLTYPE readBase64(BSTR path, BSTR* result) override;
  KX_FAKE_RESERVED(71)
  HRESULT STDMETHODCALLTYPE exportAsImage(VARIANT* element, BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE printToImage(IDispatch* job, BSTR path, BOOL* result) override;
  KX_FAKE_RESERVED(74)
  KX_FAKE_RESERVED(75)
  HRESULT STDMETHODCALLTYPE chooseFile(BSTR title, BSTR filter, VARIANT_BOOL save, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE setPrintBackground(VARIANT_BOOL enabled, BOOL* result) override;
  KX_FAKE_RESERVED(78)
  HRESULT STDMETHODCALLTYPE setHostCode(LONG code) override;
  HRESULT STDMETHODCALLTYPE setOffsetPage(LONG offset) override;
  KX_FAKE_RESERVED(81)
  HRESULT STDMETHODCALLTYPE printDocument(VARIANT* document, VARIANT* options) override;
  HRESULT STDMETHODCALLTYPE isPrintableFileType(BSTR type, BOOL* result) override;
#undef KX_FAKE_RESERVED

 private:
  struct Result {
    const Json::Value* value;
    OleString text;  // a string result, converted once
  };

  FakeControl();
  ~FakeControl();

  class EventWindow;
  bool Fails(const char* member);
  // The result set for member, or null when none is (indexed as needed).
  const Json::Value* ResultOf(const char* member) {
    const Result* r = IndexedResult(member);
    return r ? r->value : nullptr;
  }
  const Result* IndexedResult(const char* member);
  void Index();
  void Record(const char* member, Json::Value args);
  HRESULT STDMETHODCALLTYPE OutVariant(const char* member, VARIANT* result);
  HRESULT STDMETHODCALLTYPE OutText(const char* member, BSTR* result, const std::string& fallback);
  HRESULT STDMETHODCALLTYPE OutBool(const char* member, BOOL* result);
  HRESULT STDMETHODCALLTYPE OutLong(const char* member, LONG* result);
  void JobStarted(const char* member, IDispatch* job);
  void Fire(DISPID id, VARIANT* args, UINT count);

  Json::Value m_results = DefaultResults();
  // What Index() made of m_results: the members that fail or throw, and
  // each member's result (pointing into m_results, whose nodes stay put).
  bool m_indexed = false;
  std::vector<std::string> m_failing;
  std::vector<std::string> m_throwing;
  std::unordered_map<std::string_view, Result> m_byMember;

  ULONG m_refs = 1;
  std::vector<std::pair<DWORD, IDispatch*>> m_sinks;
  DWORD m_nextCookie = 1;
  EventWindow* m_window = nullptr;
};

// Registers the fake under the printing control's class id. The factory
// answers E_PENDING slowAttempts times before it creates the control.
// lastCreated (optional) receives a borrowed pointer to each new instance.
void RegisterFakeControl(int slowAttempts = 0, FakeControl** lastCreated = nullptr);
// Reads KESTRIX_FAKE_SLOW and KESTRIX_FAKE_RESULTS, then registers.
void RegisterFakeControlFromEnvironment();
