// The embedded browser's interfaces, as far as the host uses them: the
// browser control, its HTML document with the page's script object, and the
// OBJECT element that yields a hosted control.
#pragma once

#include "platform/Automation.h"

inline constexpr CLSID CLSID_WebBrowser = MakeGuid("8856F961-340A-11D0-A96B-00C04FD705A2");
inline constexpr IID IID_IWebBrowser2 = MakeGuid("D30C1661-CDAF-11D0-8A3E-00C04FC9E26E");
inline constexpr IID IID_IHTMLDocument2 = MakeGuid("332C4425-26CB-11D0-B483-00C04FD90119");
inline constexpr IID IID_IHTMLObjectElement = MakeGuid("3050F24F-98B5-11CF-BB82-00AA00BDCE0B");

struct IWebBrowser2 : IDispatch {
  // The browser shows no dialog boxes of its own.
  virtual HRESULT STDMETHODCALLTYPE put_Silent(VARIANT_BOOL silent) = 0;
  // url: VT_BSTR holding a plain file-system path. Returns at once; the page
  // loads when the thread next pumps its messages.
  virtual HRESULT STDMETHODCALLTYPE Navigate2(VARIANT* url, VARIANT* flags, VARIANT* targetFrameName, VARIANT* postData,
                            VARIANT* headers) = 0;
  // The current document (null while none has loaded).
  virtual HRESULT STDMETHODCALLTYPE get_Document(IDispatch** document) = 0;

 protected:
  ~IWebBrowser2() = default;
};

struct IHTMLDocument2 : IDispatch {
  // The page's script global object (an IDispatchEx).
  virtual HRESULT STDMETHODCALLTYPE get_Script(IDispatch** script) = 0;

 protected:
  ~IHTMLDocument2() = default;
};

struct IHTMLObjectElement : IDispatch {
  // The control hosted by the element; null while it is not yet created.
  virtual HRESULT STDMETHODCALLTYPE get_object(IDispatch** control) = 0;

 protected:
  ~IHTMLObjectElement() = default;
};
