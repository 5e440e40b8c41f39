// The printing control's interfaces and identifiers. The control is found
// by class id through the page's OBJECT element; the host calls it only
// through IPrinterControl's method table and listens on IPrinterEvent.
//
// The order of the virtual members is the interface's layout: slots 0-6 are
// IUnknown and IDispatch, the comment after each member gives its slot. A
// replacement control must keep every slot, including the reserved ones.
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
  virtual HRESULT print(IDispatch* job, VARIANT_BOOL prompt) = 0;  // 7
  virtual HRESULT printPreview(IDispatch* job, VARIANT_BOOL prompt) = 0;  // 8
  virtual HRESULT reserved9() = 0;  // 9: not called by the host
  virtual HRESULT reserved10() = 0;  // 10: not called by the host
  virtual HRESULT getPrinters(VARIANT* result) = 0;  // 11
  virtual HRESULT getVersion(BSTR* result) = 0;  // 12
  virtual HRESULT getFonts(VARIANT* result) = 0;  // 13
  virtual HRESULT reserved14() = 0;  // 14: not called by the host
  virtual HRESULT setPageURL(BSTR url) = 0;  // 15
  virtual HRESULT reserved16() = 0;  // 16: not called by the host
  virtual HRESULT reserved17() = 0;  // 17: not called by the host
  virtual HRESULT reserved18() = 0;  // 18: not called by the host
  virtual HRESULT reserved19() = 0;  // 19: not called by the host
  virtual HRESULT getLocalMacAddress(BSTR* result) = 0;  // 20
  virtual HRESULT getCPUSerialNo(BSTR* result) = 0;  // 21
  virtual HRESULT reserved22() = 0;  // 22: not called by the host
  virtual HRESULT reserved23() = 0;  // 23: not called by the host
  virtual HRESULT setupNormalOffset(BSTR offset) = 0;  // 24
  virtual HRESULT reserved25() = 0;  // 25: not called by the host
  virtual HRESULT getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) = 0;  // 26
  virtual HRESULT reserved27() = 0;  // 27: not called by the host
  virtual HRESULT printToPDF(IDispatch* job, BSTR path, BOOL* result) = 0;  // 28
  virtual HRESULT reserved29() = 0;  // 29: not called by the host
  virtual HRESULT openFile(BSTR path) = 0;  // 30
  virtual HRESULT exportAsExcel(VARIANT* element, BSTR path, VARIANT_BOOL open, BOOL* result) = 0;  // 31
  virtual HRESULT getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) = 0;  // 32
  virtual HRESULT reserved33() = 0;  // 33: not called by the host
  virtual HRESULT printTIFF(BSTR path, IDispatch* job, BSTR printer) = 0;  // 34
  virtual HRESULT getPapers(BSTR printer, VARIANT* result) = 0;  // 35
  virtual HRESULT reserved36() = 0;  // 36: not called by the host
  virtual HRESULT reserved37() = 0;  // 37: not called by the host
  virtual HRESULT isCustomPaperSupported(BSTR printer, BOOL* result) = 0;  // 38
  virtual HRESULT isImplemented(BSTR name, BOOL* result) = 0;  // 39
  virtual HRESULT reserved40() = 0;  // 40: not called by the host
  virtual HRESULT reserved41() = 0;  // 41: not called by the host
  virtual HRESULT isExcelInstalled(BOOL* result) = 0;  // 42
  virtual HRESULT getDefaultPrinter(VARIANT* result) = 0;  // 43
  virtual HRESULT reserved44() = 0;  // 44: not called by the host
  virtual HRESULT reserved45() = 0;  // 45: not called by the host
  virtual HRESULT showPageSetupDialog(VARIANT* result) = 0;  // 46
  virtual HRESULT reserved47() = 0;  // 47: not called by the host
  virtual HRESULT reserved48() = 0;  // 48: not called by the host
  virtual HRESULT reserved49() = 0;  // 49: not called by the host
  virtual HRESULT getLastSettings(BSTR key, VARIANT* result) = 0;  // 50
  virtual HRESULT setLastSettings(BSTR key, VARIANT* settings) = 0;  // 51
  virtual HRESULT clearLastSettings(BSTR key) = 0;  // 52
  virtual HRESULT setDefaultPrinter(BSTR printer) = 0;  // 53
  virtual HRESULT setDragCSS(BSTR selector, BSTR css) = 0;  // 54
  virtual HRESULT reserved55() = 0;  // 55: not called by the host
  virtual HRESULT getPrinterInfo(BSTR printer, VARIANT* result) = 0;  // 56
  virtual HRESULT reserved57() = 0;  // 57: not called by the host
  virtual HRESULT copied(BSTR path, BSTR* result) = 0;  // 58
  virtual HRESULT copy(BSTR source, BSTR target) = 0;  // 59
  virtual HRESULT writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) = 0;  // 60
  virtual HRESULT readString(BSTR path, BSTR encoding, BSTR* result) = 0;  // 61
  virtual HRESULT readHTML(BSTR path, BSTR encoding, BSTR* result) = 0;  // 62
  virtual HRESULT writeBase64(BSTR path, BSTR data, BOOL* result) = 0;  // 63
  virtual HRESULT download(BSTR url, BSTR path, BOOL* result) = 0;  // 64
  virtual HRESULT liveUpdate(BSTR url, BSTR version, LONG* result) = 0;  // 65
  virtual HRESULT reserved66() = 0;  // 66: not called by the host
  virtual HRESULT reserved67() = 0;  // 67: not called by the host
  virtual HRESULT about() = 0;  // 68
  virtual HRESULT reserved69() = 0;  // 69: not called by the host
  virtual HRESULT readBase64(BSTR path, BSTR* result) = 0;  // 70
  virtual HRESULT reserved71() = 0;  // 71: not called by the host
  virtual HRESULT exportAsImage(VARIANT* element, BSTR path, BSTR* result) = 0;  // 72
  virtual HRESULT printToImage(IDispatch* job, BSTR path, BOOL* result) = 0;  // 73
  virtual HRESULT reserved74() = 0;  // 74: not called by the host
  virtual HRESULT reserved75() = 0;  // 75: not called by the host
  virtual HRESULT chooseFile(BSTR title, BSTR filter, VARIANT_BOOL save, BSTR* result) = 0;  // 76
  virtual HRESULT setPrintBackground(VARIANT_BOOL enabled, BOOL* result) = 0;  // 77
  virtual HRESULT reserved78() = 0;  // 78: not called by the host
  virtual HRESULT setHostCode(LONG code) = 0;  // 79
  virtual HRESULT setOffsetPage(LONG offset) = 0;  // 80
  virtual HRESULT reserved81() = 0;  // 81: not called by the host
  virtual HRESULT printDocument(VARIANT* document, VARIANT* options) = 0;  // 82
  virtual HRESULT isPrintableFileType(BSTR type, BOOL* result) = 0;  // 83

 protected:
  ~IPrinterControl() = default;
};

// The outgoing event interface. The control calls a sink through
// IDispatch::Invoke with the dispatch ids above; arguments in DISPPARAMS
// order (the last argument first).
struct IPrinterEvent : IDispatch {
  virtual HRESULT OnDone(BSTR text, IDispatch* object) = 0;
  virtual HRESULT OnJobState(IDispatch* job) = 0;
  virtual HRESULT OnMessage(IDispatch* object) = 0;

 protected:
  ~IPrinterEvent() = default;
};
