// The browser interfaces the stand-in implements, as its base classes.
//
// Here the platform declares them with just the members the host calls. The
// Windows SDK declares the document's and the object element's interfaces
// with about a hundred members each; there (test builds only) the stand-in
// implements the one member the host calls, get_Script or get_object, which
// the SDK places first after IDispatch, so a caller built against the SDK
// reaches it. Its IWebBrowser2 is the SDK's, the members it does not offer
// answering E_NOTIMPL (WebBrowserStubs.h).
#pragma once

#include "platform/WebBrowserApi.h"

#ifdef _WIN32
#include "platform/webbrowser/WebBrowserStubs.h"

struct StandInDocument : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Script(IDispatch** script) = 0;

 protected:
  ~StandInDocument() = default;
};
struct StandInObjectElement : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_object(IDispatch** control) = 0;

 protected:
  ~StandInObjectElement() = default;
};
using StandInBrowser = WebBrowser2Stubs;
#else
using StandInDocument = IHTMLDocument2;
using StandInObjectElement = IHTMLObjectElement;
using StandInBrowser = IWebBrowser2;
#endif
