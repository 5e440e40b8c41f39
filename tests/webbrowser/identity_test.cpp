// Identity across the COM boundary: one wrapper (one IUnknown) per script
// object, one script object per DOM node, and wrappers that outlive their heap.
#include <gtest/gtest.h>

#include <memory>

#include "BrowserTestSupport.h"
#include "platform/webbrowser/HtmlDocument.h"
#include "platform/webbrowser/ScriptEngine.h"

using namespace browsertest;

namespace {

constexpr const char* kPage = R"(<html><head><script>
var shared = {name: "shared"};
var ring = {n: 1}; ring.self = ring;
function same(a, b) { return a === b; }
function fresh() { return {}; }
var held = null;
function hold(v) { held = v; }
</script></head><body><div id="a"><p id="p">x</p></div></body></html>)";

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc_ = HtmlDocument::LoadText(kPage, nullptr);
    ASSERT_TRUE(doc_);
    doc_->RunPageScripts();
    ASSERT_EQ(doc_->get_Script(&global_), S_OK);
  }
  void TearDown() override {
    global_.Release();
    if (doc_) doc_->Close();
  }
  Variant Value(const char* expression) {
    std::string error;
    EXPECT_TRUE(doc_->Engine()->Eval(std::string("var __r = ") + expression + ";", &error)) << error;
    Variant v;
    EXPECT_EQ(Get(global_.Get(), u"__r", &v), S_OK);
    return v;
  }
  std::u16string Text(const char* expression) {
    return browsertest::Text(Value(("String(" + std::string(expression) + ")").c_str()));
  }
  static ComPtr<IUnknown> Identity(const VARIANT& v) {
    ComPtr<IUnknown> unknown;
    if (v.vt == VT_DISPATCH && v.pdispVal)
      ComPtr<IDispatch>(v.pdispVal).QueryInterface(IID_IUnknown, std::addressof(unknown));
    return unknown;
  }

  ComPtr<HtmlDocument> doc_;
  ComPtr<IDispatch> global_;
};

TEST_F(IdentityTest, AnObjectReadTwiceIsOneComObject) {
  Variant first, second;
  ASSERT_EQ(Get(global_.Get(), u"shared", &first), S_OK);
  ASSERT_EQ(Get(global_.Get(), u"shared", &second), S_OK);
  ASSERT_EQ(first.vt, VT_DISPATCH);
  EXPECT_EQ(first.pdispVal, second.pdispVal);
  ComPtr<IUnknown> a = Identity(first), b = Identity(second);
  ASSERT_TRUE(a);
  EXPECT_EQ(a.Get(), b.Get());

  // Reached along another path (a member of itself, a call result) it is
  // still the same.
  Variant ring, self;
  ASSERT_EQ(Get(global_.Get(), u"ring", &ring), S_OK);
  ASSERT_EQ(Get(ring.pdispVal, u"self", &self), S_OK);
  EXPECT_EQ(Identity(ring).Get(), Identity(self).Get());
  Variant echoed;
  ASSERT_EQ(Call(global_.Get(), u"hold", {first}, nullptr), S_OK);
  ASSERT_EQ(Get(global_.Get(), u"held", &echoed), S_OK);
  EXPECT_EQ(Identity(echoed).Get(), a.Get());

  // Different objects stay different.
  Variant x, y;
  ASSERT_EQ(Call(global_.Get(), u"fresh", {}, &x), S_OK);
  ASSERT_EQ(Call(global_.Get(), u"fresh", {}, &y), S_OK);
  EXPECT_NE(Identity(x).Get(), Identity(y).Get());
}

TEST_F(IdentityTest, TheGlobalObjectIsOneComObject) {
  ComPtr<IDispatch> again;
  ASSERT_EQ(doc_->get_Script(&again), S_OK);
  EXPECT_EQ(again.Get(), global_.Get());
  Variant window;
  ASSERT_EQ(Get(global_.Get(), u"window", &window), S_OK);
  EXPECT_EQ(Identity(window).Get(), Identity(Variant::FromDispatch(global_.Get())).Get());
}

TEST_F(IdentityTest, AWrapperLetGoComesBackForTheSameObject) {
  Variant first;
  ASSERT_EQ(Get(global_.Get(), u"shared", &first), S_OK);
  first.Clear();  // the only reference: the wrapper goes
  ASSERT_TRUE(doc_->Engine()->Eval("Duktape.gc();", nullptr));
  Variant again;
  ASSERT_EQ(Get(global_.Get(), u"shared", &again), S_OK);
  Variant name;
  ASSERT_EQ(Get(again.pdispVal, u"name", &name), S_OK);
  EXPECT_EQ(browsertest::Text(name), u"shared");
  Variant same;
  ASSERT_EQ(Call(global_.Get(), u"same", {again, Value("shared")}, &same), S_OK);
  EXPECT_EQ(same.boolVal, VARIANT_TRUE);
}

TEST_F(IdentityTest, ADomNodeLookedUpTwiceIsOneScriptObject) {
  EXPECT_EQ(Text("document.getElementById('a') === document.getElementById('a')"), u"true");
  EXPECT_EQ(Text("document.body.firstChild === document.getElementById('a')"), u"true");
  EXPECT_EQ(Text("document.getElementById('p').parentNode === document.getElementById('a')"), u"true");
  EXPECT_EQ(Text("document.getElementsByTagName('p')[0] === document.getElementById('a').childNodes[0]"), u"true");
  EXPECT_EQ(Text("document.body.ownerDocument === document"), u"true");
  EXPECT_EQ(Text("document.getElementById('a') !== document.getElementById('p')"), u"true");

  // And through COM: one IUnknown for the node.
  Variant document, a1, a2;
  ASSERT_EQ(Get(global_.Get(), u"document", &document), S_OK);
  ASSERT_EQ(Call(document.pdispVal, u"getElementById", {Variant::FromString(u"a")}, &a1), S_OK);
  ASSERT_EQ(Call(document.pdispVal, u"getElementById", {Variant::FromString(u"a")}, &a2), S_OK);
  ASSERT_EQ(a1.vt, VT_DISPATCH);
  EXPECT_EQ(Identity(a1).Get(), Identity(a2).Get());
}

TEST_F(IdentityTest, ANodeForgottenByScriptIsLookedUpAfresh) {
  // Script keeps members of its own on the node object while it holds it...
  ASSERT_TRUE(doc_->Engine()->Eval("var keep = document.getElementById('p'); keep.mark = 7;", nullptr));
  EXPECT_EQ(Text("document.getElementById('p').mark"), u"7");
  // ...and once nothing holds it, a collection may end it: the next lookup
  // gives a working object again, the same one for every lookup.
  ASSERT_TRUE(doc_->Engine()->Eval("keep = null; Duktape.gc(); Duktape.gc();", nullptr));
  EXPECT_EQ(Text("document.getElementById('p').id"), u"p");
  EXPECT_EQ(Text("document.getElementById('p') === document.getElementById('a').firstChild"), u"true");
  // A node taken out of the tree stays the node script holds.
  EXPECT_EQ(Text("(function () { var p = document.getElementById('p'); p.removeNode(true);"
                 " return p.parentNode === null && p.id === 'p'; })()"),
            u"true");
}

TEST_F(IdentityTest, WrappersOutliveTheirHeapSafely) {
  Variant shared, node, document;
  ASSERT_EQ(Get(global_.Get(), u"shared", &shared), S_OK);
  ASSERT_EQ(Get(global_.Get(), u"document", &document), S_OK);
  ASSERT_EQ(Call(document.pdispVal, u"getElementById", {Variant::FromString(u"a")}, &node), S_OK);
  Variant sharedAgain = shared;  // a second reference to the same wrapper
  doc_->Close();
  DISPID id;
  Variant r;
  EXPECT_EQ(IdOf(shared.pdispVal, u"name", &id), E_UNEXPECTED);
  EXPECT_EQ(IdOf(node.pdispVal, u"id", &id), E_UNEXPECTED);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(sharedAgain.pdispVal->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr),
            E_UNEXPECTED);
  EXPECT_EQ(r.vt, VT_EMPTY);
  ComPtr<IUnknown> unknown = Identity(shared);
  EXPECT_TRUE(unknown) << "identity still answers";
  shared.Clear();
  sharedAgain.Clear();
  node.Clear();
  document.Clear();
}

}  // namespace
