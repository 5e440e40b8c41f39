// The page's script functions, run in the browser stand-in exactly as the
// host loads them: written by WriteBootstrapPage, navigated to, pumped.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "browser/BootstrapPage.h"
#include "interfaces/PrinterControl.h"
#include "platform/Kernel.h"
#include "platform/webbrowser/AxHost.h"
#include "platform/webbrowser/WebBrowser.h"
#include "webbrowser/BrowserTestSupport.h"

using namespace browsertest;

namespace {

const std::u16string kClassIdText = u"5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58";
const std::u16string kMimeText = u"application/x-vnd.kestrixPrinter";

size_t Count(const std::u16string& text, const std::u16string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::u16string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class PageFunctionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    created_ = std::make_shared<int>(0);
    auto created = created_;
    RegisterControlClass(CLSID_KestrixPrinter, [created](IUnknown** out) -> HRESULT {
      ++*created;
      *out = new CountedObject();
      return S_OK;
    });
    std::string pattern = ::testing::TempDir() + "pagefnXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
    std::string path = WriteBootstrapPageIn(GetModuleFileNameA(), dir_);
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(CreateWebBrowser(&browser_), S_OK);
    Variant url = Variant::FromString(Utf8ToUtf16(path));
    ASSERT_EQ(browser_->Navigate2(&url, nullptr, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(PumpUntil([&] {
      ComPtr<IDispatch> d;
      if (FAILED(browser_->get_Document(&d)) || !d) return false;
      ComPtr<IHTMLDocument2> doc;
      d.QueryInterface(IID_IHTMLDocument2, std::addressof(doc));
      return doc && SUCCEEDED(doc->get_Script(&script_)) && script_;
    }));
  }
  void TearDown() override {
    script_.Release();
    if (browser_) browser_->Release();
    UnregisterControlClass(CLSID_KestrixPrinter);
    std::filesystem::remove_all(dir_);
  }

  // Calls a page function; the result as a VARIANT.
  Variant CallPage(const char16_t* name, std::initializer_list<Variant> args, HRESULT expected = S_OK) {
    Variant r;
    EXCEPINFO ei{};
    HRESULT hr = Call(script_.Get(), name, args, &r, &ei);
    EXPECT_EQ(hr, expected) << "calling the page's function";
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    return r;
  }
  Variant Prop(const VARIANT& object, const char16_t* name) {
    Variant r;
    EXPECT_EQ(object.vt, VT_DISPATCH);
    if (object.vt == VT_DISPATCH) {
      EXPECT_EQ(Get(object.pdispVal, name, &r), S_OK) << "reading a member";
    }
    return r;
  }
  Variant ById(const char16_t* id) { return CallPage(u"$", {Variant::FromString(id)}); }
  std::u16string IeBodyHtml() { return Text(Prop(ById(u"iebody"), u"innerHTML")); }
  ComPtr<IDispatch> ControlOf(const VARIANT& element) {
    ComPtr<IHTMLObjectElement> object;
    if (element.vt != VT_DISPATCH) return nullptr;
    ComPtr<IDispatch>(element.pdispVal).QueryInterface(IID_IHTMLObjectElement, std::addressof(object));
    if (!object) return nullptr;
    ComPtr<IDispatch> control;
    PumpUntil([&] { return SUCCEEDED(object->get_object(&control)) && control; });
    return control;
  }

  std::shared_ptr<int> created_;
  std::string dir_;
  IWebBrowser2* browser_ = nullptr;
  ComPtr<IDispatch> script_;
};

TEST_F(PageFunctionsTest, GetKpTwiceGivesOneControl) {
  Variant first = CallPage(u"getKP", {});
  ComPtr<IDispatch> control = ControlOf(first);
  ASSERT_TRUE(control);
  Variant second = CallPage(u"getKP", {});
  ComPtr<IDispatch> again = ControlOf(second);
  EXPECT_EQ(again.Get(), control.Get());
  Variant third = CallPage(u"createKestrixPrinter", {});
  EXPECT_EQ(Text(Prop(third, u"id")), u"_kestrixPrinter");
  PumpPending();
  EXPECT_EQ(*created_, 1) << "instantiated once per page";
  EXPECT_EQ(Text(Prop(ById(u"kp-wrapper"), u"innerHTML")).find(u"_kestrixPrinter") != std::u16string::npos, true);
}

TEST_F(PageFunctionsTest, LoadHtmlWithAnIdGivesThatElement) {
  Variant found = CallPage(u"loadHTML", {Variant::FromString(u"<div id='a'>x</div><p id='b'>y</p>"),
                                         Variant::FromString(u"b")});
  EXPECT_EQ(Text(Prop(found, u"tagName")), u"P");
  EXPECT_EQ(Text(Prop(found, u"innerHTML")), u"y");
  Variant missing = CallPage(u"loadHTML", {Variant::FromString(u"<div>x</div>"), Variant::FromString(u"nothere")});
  EXPECT_EQ(missing.vt, VT_NULL);
  // The page's own elements are not in the loader's document.
  Variant own = CallPage(u"loadHTML", {Variant::FromString(u"<div>x</div>"), Variant::FromString(u"iebody")});
  EXPECT_EQ(own.vt, VT_NULL);
}

TEST_F(PageFunctionsTest, LoadHtmlWithoutAnIdGivesTheFirstChildOfTheBody) {
  Variant element = CallPage(u"loadHTML", {Variant::FromString(u"<table id='t'><tr><td>1</td></tr></table>tail")});
  EXPECT_EQ(Text(Prop(element, u"id")), u"t");
  Variant text = CallPage(u"loadHTML", {Variant::FromString(u"lead text<b>bold</b>"), Variant::FromBool(false)});
  Variant type = Prop(text, u"nodeType");
  EXPECT_EQ(type.lVal, 3) << "a text node";
  EXPECT_EQ(Text(Prop(text, u"nodeValue")), u"lead text");
  // A later call replaces what the earlier one laid out.
  Variant next = CallPage(u"loadHTML", {Variant::FromString(u"<i>new</i>"), Variant()});
  EXPECT_EQ(Text(Prop(next, u"tagName")), u"I");
}

TEST_F(PageFunctionsTest, LoadHtmlIeRemovesFirstOccurrencesAndEveryObject) {
  const std::u16string html =
      u"<p id='one'>CLSID:" + kClassIdText + u" then " + kMimeText + u"</p>" + u"<p id='two'>" + kClassIdText + u" " +
      kMimeText + u"</p>" + u"<object id='o1' classid='clsid:" + kClassIdText + u"' type='" + kMimeText +
      u"'></object>" + u"<div><object id='o2' data='x'></object><span>kept</span></div>";
  CallPage(u"loadHTMLIE", {Variant::FromString(html), Variant::FromString(u"http://example.test/base/")});

  std::u16string body = IeBodyHtml();
  EXPECT_EQ(Count(body, kClassIdText), Count(html, kClassIdText) - 2) << "the first removed; the one in an OBJECT went with it";
  EXPECT_EQ(Text(Prop(ById(u"one"), u"innerHTML")), u"CLSID: then ");
  EXPECT_EQ(Text(Prop(ById(u"two"), u"innerHTML")), kClassIdText + u" " + kMimeText);
  EXPECT_EQ(Count(body, u"<object"), 0u);
  EXPECT_NE(body.find(u"<span>kept</span>"), std::u16string::npos);
  EXPECT_EQ(ById(u"htmlloader").vt, VT_NULL) << "the loader frame is gone";
  Variant bases = CallPage(u"eval", {Variant::FromString(u"document.getElementsByTagName('base')[0].href")});
  EXPECT_EQ(Text(bases), u"http://example.test/base/");
  PumpPending();
  EXPECT_EQ(*created_, 0) << "the OBJECTs were removed before they could be instantiated";
  // loadHTML needs the frame that is gone now.
  CallPage(u"loadHTML", {Variant::FromString(u"<p>x</p>")}, DISP_E_EXCEPTION);
}

TEST_F(PageFunctionsTest, SecondLoadHtmlIeStopsAtItsFourthStep) {
  CallPage(u"loadHTMLIE", {Variant::FromString(u"<p>first</p>"), Variant::FromString(u"http://one.test/")});
  CallPage(u"loadHTMLIE",
           {Variant::FromString(u"<p>second</p><object id='stays'></object>"), Variant::FromString(u"http://two.test/")},
           DISP_E_EXCEPTION);
  std::u16string body = IeBodyHtml();
  EXPECT_NE(body.find(u"second"), std::u16string::npos) << "step 3 ran";
  EXPECT_EQ(Count(body, u"<object"), 1u) << "step 5 did not run";
  Variant base = CallPage(u"eval", {Variant::FromString(u"document.getElementsByTagName('base')[0].href")});
  EXPECT_EQ(Text(base), u"http://two.test/");
}

TEST_F(PageFunctionsTest, ScriptsInLoadedHtmlNeverRun) {
  const std::u16string hostile =
      u"<script>window.pwned = 1; getKP();</script><img src=x onerror='window.pwned = 2; getKP()'>"
      u"<body onload='window.pwned = 3'><div onclick='getKP()'>x</div>";
  CallPage(u"loadHTML", {Variant::FromString(hostile)});
  CallPage(u"loadHTMLIE", {Variant::FromString(hostile), Variant::FromString(u"")});
  PumpPending();
  DISPID id;
  EXPECT_EQ(IdOf(script_.Get(), u"pwned", &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(*created_, 0) << "no getKP ran";
}

}  // namespace
