// OBJECT elements: controls created by class id through the class registry,
// only while messages are pumped, asked again while the factory is not ready,
// never for markup that was removed first or laid out in a frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "BrowserTestSupport.h"
#include "platform/webbrowser/AxHost.h"
#include "platform/webbrowser/HtmlDocument.h"
#include "platform/webbrowser/ScriptEngine.h"
#include "platform/webbrowser/WebBrowser.h"

using namespace browsertest;

namespace {

constexpr CLSID kTestClass = MakeGuid("0B6A43E1-2C2F-4E7B-9D5A-1F0E2C3D4B5A");
constexpr const char* kTestClassText = "0B6A43E1-2C2F-4E7B-9D5A-1F0E2C3D4B5A";

// Registers a factory for kTestClass that counts instances and can answer
// E_PENDING a given number of times first.
class ObjectElementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    created_ = std::make_shared<int>(0);
    pendingLeft_ = std::make_shared<int>(0);
    auto created = created_;
    auto pending = pendingLeft_;
    RegisterControlClass(kTestClass, [created, pending](IUnknown** out) -> HRESULT {
      if (*pending > 0) {
        --*pending;
        return E_PENDING;
      }
      ++*created;
      *out = new CountedObject();
      return S_OK;
    });
    // The page lives in a real browser so that posted work has a window.
    ASSERT_EQ(CreateWebBrowser(&browser_), S_OK);
    path_ = ::testing::TempDir() + "object_element_test_" + std::to_string(getpid()) + ".htm";
    FILE* f = fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("<html><head><script>function put(html) { document.getElementById('w').innerHTML = html; }"
          "function get(id) { return document.getElementById(id); }</script></head>"
          "<body><div id='w'></div><iframe id='f'></iframe></body></html>",
          f);
    fclose(f);
    Variant url = Variant::FromString(Utf8ToUtf16(path_));
    ASSERT_EQ(browser_->Navigate2(&url, nullptr, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(PumpUntil([&] {
      ComPtr<IDispatch> d;
      return SUCCEEDED(browser_->get_Document(&d)) && d;
    }));
    ComPtr<IDispatch> d;
    browser_->get_Document(&d);
    ComPtr<IHTMLDocument2> doc;
    ASSERT_EQ(d.QueryInterface(IID_IHTMLDocument2, std::addressof(doc)), S_OK);
    ASSERT_EQ(doc->get_Script(&global_), S_OK);
  }
  void TearDown() override {
    global_.Release();
    if (browser_) browser_->Release();
    UnregisterControlClass(kTestClass);
    remove(path_.c_str());
  }

  std::string Object(const char* id, const char* classText) {
    return std::string("<object id='") + id + "' classid='CLSID:" + classText + "'></object>";
  }
  ComPtr<IHTMLObjectElement> Element(const char16_t* id) {
    Variant v;
    EXPECT_EQ(Call(global_.Get(), u"get", {Variant::FromString(id)}, &v), S_OK);
    ComPtr<IHTMLObjectElement> element;
    if (v.vt == VT_DISPATCH && v.pdispVal)
      ComPtr<IDispatch>(v.pdispVal).QueryInterface(IID_IHTMLObjectElement, std::addressof(element));
    return element;
  }
  HRESULT ObjectOf(IHTMLObjectElement* element, ComPtr<IDispatch>* control) { return element->get_object(&*control); }

  std::shared_ptr<int> created_, pendingLeft_;
  IWebBrowser2* browser_ = nullptr;
  std::string path_;
  ComPtr<IDispatch> global_;
};

TEST_F(ObjectElementTest, ControlAppearsOnlyWhenMessagesArePumped) {
  ASSERT_EQ(Call(global_.Get(), u"put", {Variant::FromString(Utf8ToUtf16(Object("o", kTestClassText)))}, nullptr),
            S_OK);
  ComPtr<IHTMLObjectElement> element = Element(u"o");
  ASSERT_TRUE(element);
  ComPtr<IDispatch> control;
  EXPECT_EQ(element->get_object(&control), S_OK);
  EXPECT_FALSE(control) << "not before the posted creation runs";
  EXPECT_EQ(*created_, 0);
  ASSERT_TRUE(PumpUntil([&] { return SUCCEEDED(element->get_object(&control)) && control; }));
  EXPECT_EQ(*created_, 1);
  // The same control every time, and the element reference keeps it.
  ComPtr<IDispatch> again;
  ASSERT_EQ(Element(u"o")->get_object(&again), S_OK);
  EXPECT_EQ(again.Get(), control.Get());
  // Script sees the control as the element's object.
  ASSERT_TRUE(SUCCEEDED(Call(global_.Get(), u"get", {Variant::FromString(u"o")}, nullptr)));
}

TEST_F(ObjectElementTest, SlowControlIsAskedAgainOnATimer) {
  *pendingLeft_ = 3;
  ASSERT_EQ(Call(global_.Get(), u"put", {Variant::FromString(Utf8ToUtf16(Object("slow", kTestClassText)))}, nullptr),
            S_OK);
  ComPtr<IHTMLObjectElement> element = Element(u"slow");
  ASSERT_TRUE(element);
  ComPtr<IDispatch> control;
  ASSERT_TRUE(PumpUntil([&] { return SUCCEEDED(element->get_object(&control)) && control; }));
  EXPECT_EQ(*pendingLeft_, 0);
  EXPECT_EQ(*created_, 1);
}

TEST_F(ObjectElementTest, UnknownOrMalformedClassesFailForGood) {
  ASSERT_EQ(Call(global_.Get(), u"put",
                 {Variant::FromString(Utf8ToUtf16(Object("u", "11111111-2222-3333-4444-555555555555") +
                                                  "<object id='m' classid='nonsense'></object>"))},
                 nullptr),
            S_OK);
  ComPtr<IHTMLObjectElement> unknown = Element(u"u"), malformed = Element(u"m");
  ASSERT_TRUE(unknown && malformed);
  ComPtr<IDispatch> control;
  ASSERT_TRUE(PumpUntil([&] { return FAILED(unknown->get_object(&control)); }));
  EXPECT_EQ(unknown->get_object(&control), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(control);
  EXPECT_EQ(malformed->get_object(&control), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(ObjectElementTest, RemovedBeforeItsTurnIsNeverCreated) {
  ASSERT_EQ(Call(global_.Get(), u"put", {Variant::FromString(Utf8ToUtf16(Object("gone", kTestClassText)))}, nullptr),
            S_OK);
  ComPtr<IHTMLObjectElement> element = Element(u"gone");
  ASSERT_TRUE(element);
  ASSERT_EQ(Call(global_.Get(), u"put", {Variant::FromString(u"")}, nullptr), S_OK);
  ComPtr<IDispatch> control;
  ASSERT_TRUE(PumpUntil([&] { return element->get_object(&control) != S_OK; }));
  EXPECT_EQ(element->get_object(&control), E_ABORT);
  EXPECT_EQ(*created_, 0);
}

TEST_F(ObjectElementTest, MarkupInAFrameDocumentIsNeverInstantiated) {
  std::string program = "var d = document.getElementById('f').contentWindow.document; d.open(); d.writeln(\"" +
                        Object("framed", kTestClassText) + "\"); d.close(); var framed = d.getElementById('framed');";
  ComPtr<IDispatch> d;
  browser_->get_Document(&d);
  ComPtr<IDispatch> unused;
  // Run through the document's script engine.
  Variant v;
  LPOLESTR evalName = const_cast<LPOLESTR>(u"eval");
  DISPID evalId;
  ASSERT_EQ(global_->GetIDsOfNames(IID_NULL, &evalName, 1, 0, &evalId), S_OK);
  Variant source = Variant::FromString(Utf8ToUtf16(program));
  DISPPARAMS dp{&source, nullptr, 1, 0};
  ASSERT_EQ(global_->Invoke(evalId, IID_NULL, 0, DISPATCH_METHOD, &dp, &v, nullptr, nullptr), S_OK);
  Variant framed;
  ASSERT_EQ(Get(global_.Get(), u"framed", &framed), S_OK);
  ASSERT_EQ(framed.vt, VT_DISPATCH);
  ComPtr<IHTMLObjectElement> element;
  ASSERT_EQ(ComPtr<IDispatch>(framed.pdispVal).QueryInterface(IID_IHTMLObjectElement, std::addressof(element)), S_OK);
  PumpPending();
  ComPtr<IDispatch> control;
  EXPECT_EQ(element->get_object(&control), E_ACCESSDENIED);
  EXPECT_EQ(*created_, 0);
}

TEST_F(ObjectElementTest, NavigatingAwayReleasesTheControls) {
  int before = CountedObject::live;
  ASSERT_EQ(Call(global_.Get(), u"put", {Variant::FromString(Utf8ToUtf16(Object("o", kTestClassText)))}, nullptr),
            S_OK);
  ComPtr<IHTMLObjectElement> element = Element(u"o");
  ComPtr<IDispatch> control;
  ASSERT_TRUE(PumpUntil([&] { return SUCCEEDED(element->get_object(&control)) && control; }));
  EXPECT_EQ(CountedObject::live, before + 1);
  control.Release();
  browser_->Release();  // the browser and its document go
  browser_ = nullptr;
  EXPECT_EQ(CountedObject::live, before);
  EXPECT_EQ(element->get_object(&control), E_UNEXPECTED) << "the element's heap is gone";
}

}  // namespace
