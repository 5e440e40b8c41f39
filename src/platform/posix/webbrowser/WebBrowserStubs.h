// Windows test builds only: the SDK's IWebBrowser2 has 64 members, of which
// the host calls three (put_Silent, Navigate2, get_Document). The stand-in
// implements those; every other member answers E_NOTIMPL.
#pragma once

#include "platform/WebBrowserApi.h"

#define KX_NOT_OFFERED(name, params) \
  HRESULT STDMETHODCALLTYPE name params override { return E_NOTIMPL; }

class WebBrowser2Stubs : public IWebBrowser2 {
 public:
  KX_NOT_OFFERED(GoBack, ())
  KX_NOT_OFFERED(GoForward, ())
  KX_NOT_OFFERED(GoHome, ())
  KX_NOT_OFFERED(GoSearch, ())
  KX_NOT_OFFERED(Navigate, (BSTR URL, VARIANT *Flags, VARIANT *TargetFrameName, VARIANT *PostData, VARIANT *Headers))
  KX_NOT_OFFERED(Refresh, ())
  KX_NOT_OFFERED(Refresh2, (VARIANT *Level))
  KX_NOT_OFFERED(Stop, ())
  KX_NOT_OFFERED(get_Application, (IDispatch **ppDisp))
  KX_NOT_OFFERED(get_Parent, (IDispatch **ppDisp))
  KX_NOT_OFFERED(get_Container, (IDispatch **ppDisp))
  KX_NOT_OFFERED(get_TopLevelContainer, (VARIANT_BOOL *pBool))
  KX_NOT_OFFERED(get_Type, (BSTR *Type))
  KX_NOT_OFFERED(get_Left, (LONG *pl))
  KX_NOT_OFFERED(put_Left, (LONG Left))
  KX_NOT_OFFERED(get_Top, (LONG *pl))
  KX_NOT_OFFERED(put_Top, (LONG Top))
  KX_NOT_OFFERED(get_Width, (LONG *pl))
  KX_NOT_OFFERED(put_Width, (LONG Width))
  KX_NOT_OFFERED(get_Height, (LONG *pl))
  KX_NOT_OFFERED(put_Height, (LONG Height))
  KX_NOT_OFFERED(get_LocationName, (BSTR *LocationName))
  KX_NOT_OFFERED(get_LocationURL, (BSTR *LocationURL))
  KX_NOT_OFFERED(get_Busy, (VARIANT_BOOL *pBool))
  KX_NOT_OFFERED(Quit, ())
  KX_NOT_OFFERED(ClientToWindow, (int *pcx, int *pcy))
  KX_NOT_OFFERED(PutProperty, (BSTR Property, VARIANT vtValue))
  KX_NOT_OFFERED(GetProperty, (BSTR Property, VARIANT *pvtValue))
  KX_NOT_OFFERED(get_Name, (BSTR *Name))
  KX_NOT_OFFERED(get_HWND, (SHANDLE_PTR *pHWND))
  KX_NOT_OFFERED(get_FullName, (BSTR *FullName))
  KX_NOT_OFFERED(get_Path, (BSTR *Path))
  KX_NOT_OFFERED(get_Visible, (VARIANT_BOOL *pBool))
  KX_NOT_OFFERED(put_Visible, (VARIANT_BOOL Value))
  KX_NOT_OFFERED(get_StatusBar, (VARIANT_BOOL *pBool))
  KX_NOT_OFFERED(put_StatusBar, (VARIANT_BOOL Value))
  KX_NOT_OFFERED(get_StatusText, (BSTR *StatusText))
  KX_NOT_OFFERED(put_StatusText, (BSTR StatusText))
  KX_NOT_OFFERED(get_ToolBar, (int *Value))
  KX_NOT_OFFERED(put_ToolBar, (int Value))
  KX_NOT_OFFERED(get_MenuBar, (VARIANT_BOOL *Value))
  KX_NOT_OFFERED(put_MenuBar, (VARIANT_BOOL Value))
  KX_NOT_OFFERED(get_FullScreen, (VARIANT_BOOL *pbFullScreen))
  KX_NOT_OFFERED(put_FullScreen, (VARIANT_BOOL bFullScreen))
  KX_NOT_OFFERED(QueryStatusWB, (OLECMDID cmdID, OLECMDF *pcmdf))
  KX_NOT_OFFERED(ExecWB, (OLECMDID cmdID, OLECMDEXECOPT cmdexecopt, VARIANT *pvaIn, VARIANT *pvaOut))
  KX_NOT_OFFERED(ShowBrowserBar, (VARIANT *pvaClsid, VARIANT *pvarShow, VARIANT *pvarSize))
  KX_NOT_OFFERED(get_ReadyState, (READYSTATE *plReadyState))
  KX_NOT_OFFERED(get_Offline, (VARIANT_BOOL *pbOffline))
  KX_NOT_OFFERED(put_Offline, (VARIANT_BOOL bOffline))
  KX_NOT_OFFERED(get_Silent, (VARIANT_BOOL *pbSilent))
  KX_NOT_OFFERED(get_RegisterAsBrowser, (VARIANT_BOOL *pbRegister))
  KX_NOT_OFFERED(put_RegisterAsBrowser, (VARIANT_BOOL bRegister))
  KX_NOT_OFFERED(get_RegisterAsDropTarget, (VARIANT_BOOL *pbRegister))
  KX_NOT_OFFERED(put_RegisterAsDropTarget, (VARIANT_BOOL bRegister))
  KX_NOT_OFFERED(get_TheaterMode, (VARIANT_BOOL *pbRegister))
  KX_NOT_OFFERED(put_TheaterMode, (VARIANT_BOOL bRegister))
  KX_NOT_OFFERED(get_AddressBar, (VARIANT_BOOL *Value))
  KX_NOT_OFFERED(put_AddressBar, (VARIANT_BOOL Value))
  KX_NOT_OFFERED(get_Resizable, (VARIANT_BOOL *Value))
  KX_NOT_OFFERED(put_Resizable, (VARIANT_BOOL Value))

 protected:
  ~WebBrowser2Stubs() = default;
};

#undef KX_NOT_OFFERED
