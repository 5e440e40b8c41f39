// The printing control's interfaces and identifiers. The control is found
// by class id through the page's OBJECT element; the host calls it only
// through IPrinterControl's method table and listens on IPrinterEvent.
//
// The order of the virtual members is the interface's layout: slots 0-6 are
// IUnknown and IDispatch, the comment after each member gives its slot. A
// replacement control must keep every slot, including the reserved ones.
// Every member is STDMETHODCALLTYPE like IUnknown's: on 32-bit Windows a
// member without it would be called thiscall, and a separately built control
// would crash on the first call.
#pragma once

#include "platform/Automation.h"

// Class id of the control, as the page's OBJECT element names it.
inline constexpr const char kPrinterControlClassId[] = "5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58";
// MIME type of the control, removed from HTML laid out by the page.
inline constexpr const char kPrinterControlMimeType[] = "application/x-vnd.kestrixPrinter";

inline constexpr CLSID CLSID_KestrixPrinter = MakeGuid(kPrinterControlClassId);
inline constexpr IID IID_IPrinterControl = MakeGuid("7D3B2A64-1F0C-4E59-9B8A-5C6D2E4F1A30");
inline constexpr IID IID_IPrinterEvent = MakeGuid("8AEAF9DC-BA35-446B-8781-F4457374B713");
// The control's type library, version 1.0.
inline constexpr GUID LIBID_KESTRIXPRINTERLib = MakeGuid("C60E349A-383D-4BD8-8A0F-A153A7577D0B");

// Dispatch ids of the event methods on IPrinterEvent.
constexpr DISPID DISPID_PRINTEREVENT_ONDONE = 1;
constexpr DISPID DISPID_PRINTEREVENT_ONJOBSTATE = 2;
constexpr DISPID DISPID_PRINTEREVENT_ONMESSAGE = 3;

// Every method returns an HRESULT; results come back through the trailing
// out-parameter, which the caller initialises (VARIANT empty, BSTR null,
// BOOL 0, LONG 0) and owns afterwards.
struct IPrinterControl : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE print(IDispatch* job, VARIANT_BOOL prompt) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE printPreview(IDispatch* job, VARIANT_BOOL prompt) = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE reserved9() = 0;  // 9: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved10() = 0;  // 10: not called by the host
  virtual HRESULT STDMETHODCALLTYPE getPrinters(VARIANT* result) = 0;  // 11
  virtual HRESULT STDMETHODCALLTYPE getVersion(BSTR* result) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE getFonts(VARIANT* result) = 0;  // 13
  virtual HRESULT STDMETHODCALLTYPE reserved14() = 0;  // 14: not called by the host
  virtual HRESULT STDMETHODCALLTYPE setPageURL(BSTR url) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE reserved16() = 0;  // 16: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved17() = 0;  // 17: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved18() = 0;  // 18: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved19() = 0;  // 19: not called by the host
  virtual HRESULT STDMETHODCALLTYPE getLocalMacAddress(BSTR* result) = 0;  // 20
  virtual HRESULT STDMETHODCALLTYPE getCPUSerialNo(BSTR* result) = 0;  // 21
  virtual HRESULT STDMETHODCALLTYPE reserved22() = 0;  // 22: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved23() = 0;  // 23: not called by the host
  virtual HRESULT STDMETHODCALLTYPE setupNormalOffset(BSTR offset) = 0;  // 24
  virtual HRESULT STDMETHODCALLTYPE reserved25() = 0;  // 25: not called by the host
  virtual HRESULT STDMETHODCALLTYPE getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) = 0;  // 26
  virtual HRESULT STDMETHODCALLTYPE reserved27() = 0;  // 27: not called by the host
  virtual HRESULT STDMETHODCALLTYPE printToPDF(IDispatch* job, BSTR path, BOOL* result) = 0;  // 28
  virtual HRESULT STDMETHODCALLTYPE reserved29() = 0;  // 29: not called by the host
  virtual HRESULT STDMETHODCALLTYPE openFile(BSTR path) = 0;  // 30
  virtual HRESULT STDMETHODCALLTYPE exportAsExcel(VARIANT* element, BSTR path, VARIANT_BOOL open, BOOL* result) = 0;  // 31
  virtual HRESULT STDMETHODCALLTYPE getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) = 0;  // 32
  virtual HRESULT STDMETHODCALLTYPE reserved33() = 0;  // 33: not called by the host
  virtual HRESULT STDMETHODCALLTYPE printTIFF(BSTR path, IDispatch* job, BSTR printer) = 0;  // 34
  virtual HRESULT STDMETHODCALLTYPE getPapers(BSTR printer, VARIANT* result) = 0;  // 35
  virtual HRESULT STDMETHODCALLTYPE reserved36() = 0;  // 36: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved37() = 0;  // 37: not called by the host
  virtual HRESULT STDMETHODCALLTYPE isCustomPaperSupported(BSTR printer, BOOL* result) = 0;  // 38
  virtual HRESULT STDMETHODCALLTYPE isImplemented(BSTR name, BOOL* result) = 0;  // 39
  virtual HRESULT STDMETHODCALLTYPE reserved40() = 0;  // 40: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved41() = 0;  // 41: not called by the host
  virtual HRESULT STDMETHODCALLTYPE isExcelInstalled(BOOL* result) = 0;  // 42
  virtual HRESULT STDMETHODCALLTYPE getDefaultPrinter(VARIANT* result) = 0;  // 43
  virtual HRESULT STDMETHODCALLTYPE reserved44() = 0;  // 44: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved45() = 0;  // 45: not called by the host
  virtual HRESULT STDMETHODCALLTYPE showPageSetupDialog(VARIANT* result) = 0;  // 46
  virtual HRESULT STDMETHODCALLTYPE reserved47() = 0;  // 47: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved48() = 0;  // 48: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved49() = 0;  // 49: not called by the host
  virtual HRESULT STDMETHODCALLTYPE getLastSettings(BSTR key, VARIANT* result) = 0;  // 50
  virtual HRESULT STDMETHODCALLTYPE setLastSettings(BSTR key, VARIANT* settings) = 0;  // 51
  virtual HRESULT STDMETHODCALLTYPE clearLastSettings(BSTR key) = 0;  // 52
  virtual HRESULT STDMETHODCALLTYPE setDefaultPrinter(BSTR printer) = 0;  // 53
  virtual HRESULT STDMETHODCALLTYPE setDragCSS(BSTR selector, BSTR css) = 0;  // 54
  virtual HRESULT STDMETHODCALLTYPE reserved55() = 0;  // 55: not called by the host
  virtual HRESULT STDMETHODCALLTYPE getPrinterInfo(BSTR printer, VARIANT* result) = 0;  // 56
  virtual HRESULT STDMETHODCALLTYPE reserved57() = 0;  // 57: not called by the host
  virtual HRESULT STDMETHODCALLTYPE copied(BSTR path, BSTR* result) = 0;  // 58
  virtual HRESULT STDMETHODCALLTYPE copy(BSTR source, BSTR target) = 0;  // 59
  virtual HRESULT STDMETHODCALLTYPE writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) = 0;  // 60
  virtual HRESULT STDMETHODCALLTYPE readString(BSTR path, BSTR encoding, BSTR* result) = 0;  // 61
  virtual HRESULT STDMETHODCALLTYPE readHTML(BSTR path, BSTR encoding, BSTR* result) = 0;  // 62
  virtual HRESULT STDMETHODCALLTYPE writeBase64(BSTR path, BSTR data, BOOL* result) = 0;  // 63
  virtual HRESULT STDMETHODCALLTYPE download(BSTR url, BSTR path, BOOL* result) = 0;  // 64
  virtual HRESULT STDMETHODCALLTYPE liveUpdate(BSTR url, BSTR version, LONG* result) = 0;  // 65
  virtual HRESULT STDMETHODCALLTYPE reserved66() = 0;  // 66: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved67() = 0;  // 67: not called by the host
  virtual HRESULT STDMETHODCALLTYPE about() = 0;  // 68
  virtual HRESULT STDMETHODCALLTYPE reserved69() = 0;  // 69: not called by the host
  virtual HRESULT STDMETHODCALLTYPE readBase64(BSTR path, BSTR* result) = 0;  // 70
  virtual HRESULT STDMETHODCALLTYPE reserved71() = 0;  // 71: not called by the host
  virtual HRESULT STDMETHODCALLTYPE exportAsImage(VARIANT* element, BSTR path, BSTR* result) = 0;  // 72
  virtual HRESULT STDMETHODCALLTYPE printToImage(IDispatch* job, BSTR path, BOOL* result) = 0;  // 73
  virtual HRESULT STDMETHODCALLTYPE reserved74() = 0;  // 74: not called by the host
  virtual HRESULT STDMETHODCALLTYPE reserved75() = 0;  // 75: not called by the host
  virtual HRESULT STDMETHODCALLTYPE chooseFile(BSTR title, BSTR filter, VARIANT_BOOL save, BSTR* result) = 0;  // 76
  virtual HRESULT STDMETHODCALLTYPE setPrintBackground(VARIANT_BOOL enabled, BOOL* result) = 0;  // 77
  virtual HRESULT STDMETHODCALLTYPE reserved78() = 0;  // 78: not called by the host
  virtual HRESULT STDMETHODCALLTYPE setHostCode(LONG code) = 0;  // 79
  virtual HRESULT STDMETHODCALLTYPE setOffsetPage(LONG offset) = 0;  // 80
  virtual HRESULT STDMETHODCALLTYPE reserved81() = 0;  // 81: not called by the host
  virtual HRESULT STDMETHODCALLTYPE printDocument(VARIANT* document, VARIANT* options) = 0;  // 82
  virtual HRESULT STDMETHODCALLTYPE isPrintableFileType(BSTR type, BOOL* result) = 0;  // 83

 protected:
  ~IPrinterControl() = default;
};

// The outgoing event interface. The control calls a sink through
// IDispatch::Invoke with the dispatch ids above; arguments in DISPPARAMS
// order (the last argument first).
struct IPrinterEvent : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE OnDone(BSTR text, IDispatch* object) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnJobState(IDispatch* job) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnMessage(IDispatch* object) = 0;

 protected:
  ~IPrinterEvent() = default;
};
